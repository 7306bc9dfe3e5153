// SPDX-License-Identifier: GPL-3.0-or-later
// printf into a fixed buffer, cutting the text to fit. The link's message
// buffers are fixed in size; a cut text is the intended outcome, not a fault.
#pragma once

#include <cstddef>

namespace ktal {

void FormatBounded(char* buffer, std::size_t size, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

}  // namespace ktal
