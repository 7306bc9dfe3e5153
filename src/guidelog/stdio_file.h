// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdio>
#include <memory>

namespace ktal {

struct StdioFileCloser {
  void operator()(std::FILE* file) const noexcept {
    if (file != nullptr) std::fclose(file);
  }
};

// A C stream that closes itself. Writers that must know whether the last
// buffered bytes reached the disk call CloseChecked instead.
using StdioFile = std::unique_ptr<std::FILE, StdioFileCloser>;

inline StdioFile OpenStdioFile(const char* path, const char* mode) {
  return StdioFile(std::fopen(path, mode));
}

// Closes the stream; true when the close, and so the final flush, succeeded.
inline bool CloseChecked(StdioFile& file) { return file && std::fclose(file.release()) == 0; }

}  // namespace ktal
