// SPDX-License-Identifier: GPL-3.0-or-later
#include "link/bounded_text.h"

#include <cstdarg>
#include <cstdio>

namespace ktal {

void FormatBounded(char* buffer, std::size_t size, const char* format, ...) {
  if (size == 0) return;
  va_list args;
  va_start(args, format);
  std::vsnprintf(buffer, size, format, args);
  va_end(args);
}

}  // namespace ktal
