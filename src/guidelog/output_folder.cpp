// SPDX-License-Identifier: GPL-3.0-or-later
#include "guidelog/output_folder.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace ktal {
namespace {

// The names in the folder open as `folder_fd`, but "." and "..".
std::vector<std::string> NamesIn(int folder_fd) {
  std::vector<std::string> names;
  const int fd = ::openat(folder_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return names;
  DIR* dir = ::fdopendir(fd);
  if (dir == nullptr) {
    ::close(fd);
    return names;
  }
  while (const dirent* item = ::readdir(dir)) {
    if (std::strcmp(item->d_name, ".") != 0 && std::strcmp(item->d_name, "..") != 0)
      names.emplace_back(item->d_name);
  }
  ::closedir(dir);
  return names;
}

// Removes the folder `name` in `parent_fd` with the files in it. A link
// at the name, or anything in the folder that is not a file, stays.
void RemoveFolderOfFiles(int parent_fd, const std::string& name) {
  const int fd = ::openat(parent_fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return;
  for (const std::string& file : NamesIn(fd)) ::unlinkat(fd, file.c_str(), 0);
  ::close(fd);
  ::unlinkat(parent_fd, name.c_str(), AT_REMOVEDIR);
}

}  // namespace

OutputFolderLock::Result OutputFolderLock::Take(const std::string& folder) {
  Release();
  folder_fd_ = ::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (folder_fd_ < 0) return Result::kUnavailable;
  for (int attempt = 0; attempt < 16; ++attempt) {
    const int fd = ::openat(folder_fd_, kOutputLockName,
                            O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0) {
      // A link at the name is none of ours: it goes, what it points to stays.
      if (errno == ELOOP && ::unlinkat(folder_fd_, kOutputLockName, 0) == 0) continue;
      break;
    }
    struct stat held {};
    if (::fstat(fd, &held) != 0 || !S_ISREG(held.st_mode)) {
      ::close(fd);
      errno = EEXIST;
      break;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      const int error = errno;
      ::close(fd);
      if (error == EINTR) continue;
      if (error == EWOULDBLOCK) {
        Release();
        return Result::kBusy;
      }
      errno = error;
      break;
    }
    // The run before removes the name as it ends: a file it removed after
    // this one opened it is no lock any more.
    struct stat named {};
    if (::fstatat(folder_fd_, kOutputLockName, &named, AT_SYMLINK_NOFOLLOW) != 0 ||
        named.st_dev != held.st_dev || named.st_ino != held.st_ino) {
      ::close(fd);
      continue;
    }
    fd_ = fd;
    for (const std::string& name : NamesIn(folder_fd_)) {
      if (name.rfind(kStagingPrefix, 0) == 0) RemoveFolderOfFiles(folder_fd_, name);
    }
    return Result::kTaken;
  }
  const int error = errno;
  Release();
  errno = error;
  return Result::kUnavailable;
}

void OutputFolderLock::Release() {
  if (fd_ >= 0) {
    // Removed while still held, so that no other run takes a lock on a
    // file about to lose its name.
    ::unlinkat(folder_fd_, kOutputLockName, 0);
    ::close(fd_);
    fd_ = -1;
  }
  if (folder_fd_ >= 0) ::close(folder_fd_);
  folder_fd_ = -1;
}

StagingFolder::StagingFolder(const std::string& parent) {
  parent_fd_ = ::open(parent.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (parent_fd_ < 0) return;
  const std::string name = std::string(kStagingPrefix) + "XXXXXX";
  std::string path = parent + "/" + name;
  if (::mkdtemp(path.data()) == nullptr) return;
  name_ = path.substr(path.size() - name.size());
  fd_ = ::openat(parent_fd_, name_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

StagingFolder::~StagingFolder() {
  if (fd_ >= 0) ::close(fd_);
  if (!name_.empty()) RemoveFolderOfFiles(parent_fd_, name_);
  if (parent_fd_ >= 0) ::close(parent_fd_);
}

std::vector<std::string> StagingFolder::Names() const {
  return fd_ >= 0 ? NamesIn(fd_) : std::vector<std::string>();
}

bool StagingFolder::FolderInTheWay(const std::string& name) const {
  struct stat status {};
  return ::fstatat(parent_fd_, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 &&
         S_ISDIR(status.st_mode);
}

bool StagingFolder::MoveOut(const std::string& name) {
  return ::renameat(fd_, name.c_str(), parent_fd_, name.c_str()) == 0;
}

void StagingFolder::SyncParent() const {
  const int fd = ::openat(parent_fd_, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

ScopedCurrentDirectory::ScopedCurrentDirectory(int folder_fd) {
  previous_fd_ = ::open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);
  entered_ = previous_fd_ >= 0 && ::fchdir(folder_fd) == 0;
}

ScopedCurrentDirectory::~ScopedCurrentDirectory() {
  // The folder is still open: going back cannot fail for want of it.
  if (entered_) {
    [[maybe_unused]] const int back = ::fchdir(previous_fd_);
  }
  if (previous_fd_ >= 0) ::close(previous_fd_);
}

}  // namespace ktal
