// SPDX-License-Identifier: GPL-3.0-or-later
// Output files that never write through what already sits at their name:
// each is created new and takes its name by a rename once complete.
#pragma once

#include <cstdio>
#include <string>

#include "guidelog/stdio_file.h"

namespace ktal {

// Opens `path` for writing as a file created new: fails when anything,
// a link included, is at that name. Mode 0666 less the umask. The
// descriptor, or -1 with errno set.
int CreateNewFile(const char* path);
// The same as a stream for writing bytes.
StdioFile CreateNewStdioFile(const char* path);

// A file that replaces `path` only when it is complete. The bytes go to a
// temporary name beside it, created new; Commit renames that over `path`,
// which replaces a file or a link there instead of writing into it. A
// file not committed is removed again, so a failure leaves what was at
// `path` as it was.
class ReplacingFile {
 public:
  enum class CommitResult { kDone, kWriteFailed, kNameNotTaken };

  // Creates the temporary file; false (see operator bool) when it cannot
  // be, or when a folder is in the way at `path`.
  explicit ReplacingFile(std::string path);
  ReplacingFile(const ReplacingFile&) = delete;
  ReplacingFile& operator=(const ReplacingFile&) = delete;
  ~ReplacingFile() { Discard(); }

  explicit operator bool() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  // A buffered stream on the file, made on first use; nullptr when the
  // file was not created or the stream cannot be made.
  std::FILE* stream();

  // Closes the file, flushing its stream, and renames it over `path`.
  // `written` false says a write to it failed: it is removed then, as
  // when the close fails (kWriteFailed: the last bytes may be lost) or
  // the rename does (kNameNotTaken).
  CommitResult Commit(bool written = true);
  // Closes and removes the file unless it was committed.
  void Discard();

 private:
  bool Close();

  std::string path_;
  std::string temporary_;
  int fd_ = -1;
  std::FILE* stream_ = nullptr;
};

}  // namespace ktal
