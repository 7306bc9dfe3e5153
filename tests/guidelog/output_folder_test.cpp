// SPDX-License-Identifier: GPL-3.0-or-later
// The lock that keeps two runs out of one output folder, and what the
// holder of it clears away.
#include "guidelog/output_folder.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "report_test_support.h"

namespace ktal {
namespace {

using report_test::ReadBytes;
using report_test::ScopedWorkDir;
using report_test::WriteBytes;
namespace fs = std::filesystem;
using Result = OutputFolderLock::Result;

TEST(OutputFolderLock, ASecondRunIsRefusedUntilTheFirstEndsEvenWhenItIsKilled) {
  ScopedWorkDir dir;
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t holder = ::fork();
  if (holder == 0) {
    OutputFolderLock lock;
    const char taken = lock.Take(".") == Result::kTaken ? 'y' : 'n';
    if (::write(ready[1], &taken, 1) != 1) ::_exit(1);
    for (;;) ::pause();
  }
  ::close(ready[1]);
  char taken = 0;
  const bool told = ::read(ready[0], &taken, 1) == 1;
  ::close(ready[0]);
  OutputFolderLock second;
  const Result while_held = second.Take(".");
  ::kill(holder, SIGKILL);
  ::waitpid(holder, nullptr, 0);
  ASSERT_TRUE(told && taken == 'y');
  EXPECT_EQ(while_held, Result::kBusy);
  EXPECT_EQ(second.Take("."), Result::kTaken);
  OutputFolderLock third;
  EXPECT_EQ(third.Take("."), Result::kBusy);
  second.Release();
  EXPECT_EQ(third.Take("."), Result::kTaken);
  // A run that ends well leaves nothing of its lock in the folder.
  third.Release();
  EXPECT_TRUE(fs::is_empty(dir.path()));
}

TEST(OutputFolderLock, TakingItClearsWhatAKilledRunLeftAndNothingElse) {
  ScopedWorkDir dir;
  const std::string staging = std::string(kStagingPrefix) + "Ab12Cd";
  fs::create_directory(staging);
  WriteBytes(staging + "/index.html", {'<', 'h', 't'});
  WriteBytes(staging + "/AE001_err.bmp", {'B', 'M'});
  // Names of that form that are links are no run's own: neither they nor
  // what they point to go; a link at the lock's name is not written
  // through either.
  fs::create_directory("theirs");
  WriteBytes("theirs/file", {0x77});
  const std::string link = std::string(kStagingPrefix) + "link";
  fs::create_directory_symlink(fs::absolute("theirs"), link);
  fs::create_symlink(fs::absolute("theirs/file"), kOutputLockName);
  WriteBytes("events.csv", {0x01});

  OutputFolderLock lock;
  ASSERT_EQ(lock.Take("."), Result::kTaken);
  EXPECT_FALSE(fs::exists(staging));
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(ReadBytes("theirs/file"), std::vector<std::uint8_t>{0x77});
  EXPECT_EQ(ReadBytes("events.csv"), std::vector<std::uint8_t>{0x01});
}

}  // namespace
}  // namespace ktal
