// SPDX-License-Identifier: GPL-3.0-or-later
#include "guidelog/replacing_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <utility>

namespace ktal {
namespace {

// The temporary names need only be unlikely to meet: a name that exists
// is passed over by the exclusive create.
std::uint64_t Mix(std::uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

// ".<name>.<six letters or digits>" in the folder of `path`: hidden, and
// never the name of an output.
std::string TemporaryName(const std::string& path, std::uint64_t seed) {
  static constexpr char kLetters[] =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  const std::size_t slash = path.rfind('/');
  const std::size_t base = slash == std::string::npos ? 0 : slash + 1;
  std::string name = path.substr(0, base) + '.' + path.substr(base) + '.';
  for (int i = 0; i < 6; ++i, seed /= 62) name += kLetters[seed % 62];
  return name;
}

}  // namespace

int CreateNewFile(const char* path) {
  return ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
}

StdioFile CreateNewStdioFile(const char* path) {
  const int fd = CreateNewFile(path);
  if (fd < 0) return nullptr;
  StdioFile file(::fdopen(fd, "wb"));
  if (!file) ::close(fd);
  return file;
}

ReplacingFile::ReplacingFile(std::string path) : path_(std::move(path)) {
  // Nothing can be renamed over a folder: fail now, before any work.
  struct stat status {};
  if (::lstat(path_.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) {
    errno = EISDIR;
    return;
  }
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  std::uint64_t seed =
      Mix(static_cast<std::uint64_t>(now.tv_nsec) ^ (static_cast<std::uint64_t>(::getpid()) << 32) ^
          reinterpret_cast<std::uintptr_t>(this));
  for (int attempt = 0; attempt < 100; ++attempt, seed = Mix(seed)) {
    temporary_ = TemporaryName(path_, seed);
    fd_ = CreateNewFile(temporary_.c_str());
    if (fd_ >= 0 || errno != EEXIST) return;
  }
}

std::FILE* ReplacingFile::stream() {
  if (stream_ == nullptr && fd_ >= 0) stream_ = ::fdopen(fd_, "wb");
  return stream_;
}

bool ReplacingFile::Close() {
  bool closed = true;
  if (stream_ != nullptr) {
    closed = std::fclose(stream_) == 0;
  } else if (fd_ >= 0) {
    closed = ::close(fd_) == 0;
  }
  stream_ = nullptr;
  fd_ = -1;
  return closed;
}

ReplacingFile::CommitResult ReplacingFile::Commit(bool written) {
  if (fd_ < 0) return CommitResult::kNameNotTaken;
  // A close that fails may have lost what was written.
  if (!Close() || !written) {
    ::unlink(temporary_.c_str());
    return CommitResult::kWriteFailed;
  }
  if (::rename(temporary_.c_str(), path_.c_str()) != 0) {
    ::unlink(temporary_.c_str());
    return CommitResult::kNameNotTaken;
  }
  temporary_.clear();
  return CommitResult::kDone;
}

void ReplacingFile::Discard() {
  if (fd_ < 0) return;
  Close();
  ::unlink(temporary_.c_str());
}

}  // namespace ktal
