// SPDX-License-Identifier: GPL-3.0-or-later
// printf into a std::string of whatever length the text needs: the runs'
// messages, the windows' table cells and the USB backend's device names.
// It lives here, the lowest layer that words texts for the user, so that
// the Qt-free runs and the windows share one without linking Qt. For the
// link's fixed message buffers, where a cut text is intended, see
// bounded_text.h.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <string>

namespace ktal {

inline std::string Printf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Empty when the format cannot be applied (an encoding error).
inline std::string Printf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list measure;
  va_copy(measure, args);
  const int size = std::vsnprintf(nullptr, 0, format, measure);
  va_end(measure);
  std::string text;
  if (size > 0) {
    text.resize(static_cast<std::size_t>(size) + 1);
    std::vsnprintf(text.data(), text.size(), format, args);
    text.resize(static_cast<std::size_t>(size));
  }
  va_end(args);
  return text;
}

}  // namespace ktal
