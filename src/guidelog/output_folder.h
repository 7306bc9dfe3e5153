// SPDX-License-Identifier: GPL-3.0-or-later
// One run at a time in an output folder, and the private folder a run
// writes its outputs into before they take their names.
#pragma once

#include <string>
#include <vector>

namespace ktal {

// Names inside an output folder that belong to the runs themselves.
inline constexpr char kOutputLockName[] = ".ktal-lock";
inline constexpr char kStagingPrefix[] = ".ktal-staging-";

// The lock of an output folder, held for a whole run by the process that
// writes into the folder. The kernel releases it when that process ends,
// however it ends.
class OutputFolderLock {
 public:
  enum class Result {
    kTaken,
    kBusy,         // another run holds it
    kUnavailable,  // no lock can be made there (errno says why)
  };

  OutputFolderLock() = default;
  OutputFolderLock(const OutputFolderLock&) = delete;
  OutputFolderLock& operator=(const OutputFolderLock&) = delete;
  ~OutputFolderLock() { Release(); }

  // Takes the lock of `folder` without waiting. Once it is taken, what a
  // killed run left in its staging folders is removed.
  Result Take(const std::string& folder);
  void Release();

 private:
  int folder_fd_ = -1;
  int fd_ = -1;
};

// A folder created new in the folder `parent`, readable by its owner
// alone, that holds the outputs of one run until they are complete. What
// is not moved out is removed with it.
class StagingFolder {
 public:
  explicit StagingFolder(const std::string& parent = ".");
  StagingFolder(const StagingFolder&) = delete;
  StagingFolder& operator=(const StagingFolder&) = delete;
  ~StagingFolder();

  // False when the folder could not be created.
  bool ok() const { return fd_ >= 0; }
  int fd() const { return fd_; }

  // The names of the files in it.
  std::vector<std::string> Names() const;
  // Whether `name` in the folder the staging folder lies in is a folder,
  // which no file can be renamed over.
  bool FolderInTheWay(const std::string& name) const;
  // Renames `name` over the same name in the folder the staging folder
  // lies in; false when that fails.
  bool MoveOut(const std::string& name);
  // Makes the renames durable.
  void SyncParent() const;

 private:
  int parent_fd_ = -1;
  int fd_ = -1;
  std::string name_;
};

// Makes the folder open as `folder_fd` the current directory while it
// lives, and the previous one again afterwards.
class ScopedCurrentDirectory {
 public:
  explicit ScopedCurrentDirectory(int folder_fd);
  ScopedCurrentDirectory(const ScopedCurrentDirectory&) = delete;
  ScopedCurrentDirectory& operator=(const ScopedCurrentDirectory&) = delete;
  ~ScopedCurrentDirectory();

  bool ok() const { return entered_; }

 private:
  int previous_fd_ = -1;
  bool entered_ = false;
};

}  // namespace ktal
