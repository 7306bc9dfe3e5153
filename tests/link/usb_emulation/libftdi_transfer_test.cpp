// SPDX-License-Identifier: GPL-3.0-or-later
// A whole camera frame at 2 Mbaud through libftdi and the emulated chip, read
// in blocks of one full USB transfer: every byte arrives, in order, and the
// backend keeps up with the line.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "emulated_usb_fixture.h"
#include "link/handshakes.h"
#include "transfer_pattern.h"

namespace ktal::usbemu {
namespace {

class LibftdiFrameTransfer : public EmulatedUsbTest {};

TEST_F(LibftdiFrameTransfer, FrameAt2MbaudArrivesWholeAndInOrder) {
  EmulatedFt232r& chip = PlugGuider();
  guider_.PowerOff();
  OpenLink();
  ASSERT_EQ(ConfigureRunningModeLink(), 0) << g_protocolMessage;
  ASSERT_EQ(g_device.SetBaudRate(2000000), 0) << g_device.errorText;

  const std::vector<std::uint8_t> frame = FramePattern();
  const std::int64_t start = clock_.NowMicros();
  ASSERT_EQ(chip.PlayLine(frame, {2000000, 8, 0, 0}), frame.size());

  std::vector<std::uint8_t> got(frame.size());
  std::size_t total = 0;
  while (total < got.size()) {
    const int want = static_cast<int>(std::min(kTransferBlock, got.size() - total));
    const int n = g_device.Read(got.data() + total, want);
    ASSERT_EQ(n, want) << "block at " << total << ": " << g_device.errorText;
    total += static_cast<std::size_t>(n);
  }
  EXPECT_EQ(chip.overrun_bytes(), 0u);
  const auto mismatch = std::mismatch(frame.begin(), frame.end(), got.begin());
  EXPECT_EQ(mismatch.first, frame.end())
      << "first wrong byte at " << (mismatch.first - frame.begin());

  // 437664 characters of 10 bits at 2 Mbaud are 2.188 s of line time; the
  // last block waits at most one latency period more.
  const std::int64_t tookMicros = clock_.NowMicros() - start;
  EXPECT_GE(tookMicros, 2'188'320);
  EXPECT_LE(tookMicros, 2'188'320 + 2'000);
}

// Polling the queue count and reading what it reports, as a caller that
// wants no blocking read does: the bytes counted in the backend's queue and
// in libftdi's buffer come out whole and in order.
TEST_F(LibftdiFrameTransfer, FrameReadByPollingTheQueueCount) {
  EmulatedFt232r& chip = PlugGuider();
  guider_.PowerOff();
  OpenLink();
  ASSERT_EQ(ConfigureRunningModeLink(), 0) << g_protocolMessage;
  ASSERT_EQ(g_device.SetBaudRate(2000000), 0) << g_device.errorText;

  const std::vector<std::uint8_t> frame = FramePattern();
  const std::int64_t start = clock_.NowMicros();
  chip.PlayLine(frame, {2000000, 8, 0, 0});
  std::vector<std::uint8_t> got(frame.size());
  std::size_t total = 0;
  int polls = 0;
  while (total < got.size() && polls < 10'000) {
    ++polls;
    const int waiting = g_device.QueryReadBufLen();
    if (waiting == 0) continue;
    const int want = static_cast<int>(std::min<std::size_t>(waiting, got.size() - total));
    ASSERT_EQ(g_device.Read(got.data() + total, want), want) << g_device.errorText;
    total += static_cast<std::size_t>(want);
  }
  ASSERT_EQ(total, got.size());
  EXPECT_EQ(chip.overrun_bytes(), 0u);
  EXPECT_TRUE(std::equal(frame.begin(), frame.end(), got.begin()));
  // Each poll in full flow takes one transfer of 3968 bytes.
  EXPECT_LT(polls, 120);
  EXPECT_LE(clock_.NowMicros() - start, 2'188'320 + 22'000);
}

// A read that asks for more than the line brings within the read time-out
// ends at the time-out with what came, even while data keep coming; the
// rest is not lost.
TEST_F(LibftdiFrameTransfer, ReadLongerThanItsTimeOutEndsOnTime) {
  EmulatedFt232r& chip = PlugGuider();
  guider_.PowerOff();
  OpenLink();
  ASSERT_EQ(ConfigureRunningModeLink(), 0) << g_protocolMessage;
  ASSERT_EQ(g_device.SetBaudRate(2000000), 0) << g_device.errorText;

  const std::vector<std::uint8_t> frame = FramePattern();
  chip.PlayLine(frame, {2000000, 8, 0, 0});
  std::vector<std::uint8_t> got(frame.size());
  std::strcpy(g_device.errorText, "untouched");
  const std::int64_t start = clock_.NowMicros();
  const int first = g_device.Read(got.data(), static_cast<int>(got.size()));
  const std::int64_t tookMicros = clock_.NowMicros() - start;
  // A transfer, once begun, runs until it is full: up to 3968 bytes, which
  // take 19.84 ms at 2 Mbaud.
  EXPECT_GE(tookMicros, 1'000'000);
  EXPECT_LE(tookMicros, 1'022'000);
  // 1 s of a 2 Mbaud line is 200000 characters.
  EXPECT_GT(first, 195'000);
  EXPECT_LT(first, 205'000);
  EXPECT_STREQ(g_device.errorText, "untouched");

  std::size_t total = static_cast<std::size_t>(first);
  while (total < got.size()) {
    const int n = g_device.Read(got.data() + total, static_cast<int>(got.size() - total));
    ASSERT_GT(n, 0) << g_device.errorText;
    total += static_cast<std::size_t>(n);
  }
  EXPECT_EQ(chip.overrun_bytes(), 0u);
  EXPECT_TRUE(std::equal(frame.begin(), frame.end(), got.begin()));
}

}  // namespace
}  // namespace ktal::usbemu
