// SPDX-License-Identifier: GPL-3.0-or-later
// The shell's facilities for long operations, on the offscreen platform.
#include "shell/shell.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <thread>

namespace ktal {
namespace {

// The work runs on a thread of its own while this thread goes on handling
// its events: work that waits for an event handled here ends at all only
// when both are true. A deadline keeps a wrong answer from hanging the test.
TEST(ShellTest, RunBesideEventLoopHandlesEventsWhileTheWorkRuns) {
  std::atomic<bool> handled{false};
  bool sawEventWhileWorking = false;
  std::thread::id workThread;
  QTimer::singleShot(0, [&] { handled = true; });
  RunBesideEventLoop([&] {
    workThread = std::this_thread::get_id();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!handled && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    sawEventWhileWorking = handled;
  });
  EXPECT_TRUE(sawEventWhileWorking);
  EXPECT_NE(workThread, std::this_thread::get_id());

  // Work that ends before the loop starts still ends the call.
  int runs = 0;
  RunBesideEventLoop([&] { ++runs; });
  EXPECT_EQ(runs, 1);
}

}  // namespace
}  // namespace ktal
