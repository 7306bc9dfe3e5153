// SPDX-License-Identifier: GPL-3.0-or-later
// The emulated chip on its own: the backend tests are only as good as its
// likeness to the FT232R, so its divisor decoding, packets and pacing are
// checked here against the chip's documented behaviour.
#include <gtest/gtest.h>
#include <libusb.h>

#include <array>
#include <numeric>
#include <vector>

#include "chip_time.h"
#include "emulated_ft232r.h"
#include "sim/virtual_clock.h"

namespace ktal::usbemu {
namespace {

TEST(EmulatedChipBaudDivisor, DecodesAsTheChipDoes) {
  struct Row {
    std::uint16_t value, index;
    std::uint32_t rate;
  };
  // value/index pairs as libftdi computes them for an FT232R.
  const Row rows[] = {
      {0x4138, 0, 9600},     // 312.5
      {0x000C, 0, 250000},   // 12
      {0x0001, 0, 2000000},  // special
      {0x0000, 0, 3000000},  // special
      {0x0002, 0, 1500000},  // 2
      {0x0003, 0, 1000000},  // what 250000 becomes after the x4 slip
      {0x0138, 1, 9604},     // 312.375: the third fraction bit is in wIndex
      {0xC04E, 0, 38400},    // 78.125
      {0x0271, 0, 4800},     // 625
      {0x8271, 0, 4798},     // 625.25
  };
  for (const Row& r : rows) {
    EXPECT_EQ(DecodeBaudRate(r.value, r.index), r.rate)
        << "value 0x" << std::hex << r.value << " index " << r.index;
  }
}

class EmulatedChipTest : public ::testing::Test {
 protected:
  EmulatedChipTest() : chip_(time_, ChipConfig{}) {}

  // Sets the chip's line as libftdi would, without libftdi.
  void SetLine(std::uint16_t divisor, std::uint8_t latencyMs) {
    ASSERT_EQ(chip_.Control(0x40, kReqSetBaudRate, divisor, 0, nullptr, 0), 0);
    ASSERT_EQ(chip_.Control(0x40, kReqSetLatency, latencyMs, 1, nullptr, 0), 0);
  }

  sim::VirtualClock clock_;
  VirtualChipTime time_{clock_};
  EmulatedFt232r chip_;
};

TEST_F(EmulatedChipTest, IdleReadGetsStatusOnlyAfterOneLatencyPeriod) {
  SetLine(0x000C, 2);
  std::array<unsigned char, 4096> buf{};
  int got = -1;
  // The timer ran out long ago: the first poll is answered at once.
  ASSERT_EQ(chip_.BulkIn(buf.data(), buf.size(), &got, 1000), 0);
  EXPECT_EQ(got, 2);
  EXPECT_EQ(clock_.NowMicros(), 0);
  // The next one waits for the timer.
  ASSERT_EQ(chip_.BulkIn(buf.data(), buf.size(), &got, 1000), 0);
  EXPECT_EQ(got, 2);
  EXPECT_EQ(buf[0], 0x01);
  EXPECT_EQ(buf[1], 0x60);  // transmitter empty
  EXPECT_EQ(clock_.NowMicros(), 2000);
}

TEST_F(EmulatedChipTest, PacketsCarry62BytesAfterTwoStatusBytes) {
  SetLine(0x000C, 16);
  int got = 0;
  std::array<unsigned char, 4096> buf{};
  ASSERT_EQ(chip_.BulkIn(buf.data(), buf.size(), &got, 1000), 0);  // timer restarts

  std::vector<std::uint8_t> sent(150);
  std::iota(sent.begin(), sent.end(), 0);
  const sim::LineSettings far{250000, 8, 0, 0};
  ASSERT_EQ(chip_.PlayLine(sent, far), sent.size());

  ASSERT_EQ(chip_.BulkIn(buf.data(), buf.size(), &got, 1000), 0);
  // A full packet as soon as 62 bytes are in (2.48 ms), another at 124
  // (4.96 ms), then the rest when the timer, restarted by each packet, runs
  // out.
  ASSERT_EQ(got, 64 + 64 + 2 + 26);
  EXPECT_EQ(buf[64 + 2], 62);
  EXPECT_EQ(buf[128 + 2], 124);
  EXPECT_EQ(buf[128 + 2 + 25], 149);
  EXPECT_EQ(clock_.NowMicros(), 4960 + 16000);
}

TEST_F(EmulatedChipTest, BytesAtAnotherRateAreLost) {
  SetLine(0x4138, 16);  // 9600
  const std::uint8_t byte = 0x55;
  EXPECT_EQ(chip_.PlayLine({&byte, 1}, {250000, 8, 0, 0}), 0u);
  EXPECT_EQ(chip_.FromFarEnd(byte, {9600, 8, 0, 2}), sim::LineFate::kFormatMismatch);
  EXPECT_EQ(chip_.FromFarEnd(byte, {9600, 8, 0, 0}), sim::LineFate::kDelivered);
}

TEST_F(EmulatedChipTest, FullFifoLosesWhatArrivesWhileNobodyReads) {
  SetLine(0x0001, 2);  // 2 Mbaud: 5 us a byte
  std::vector<std::uint8_t> sent(1000, 0xA5);
  chip_.PlayLine(sent, {2000000, 8, 0, 0});
  clock_.AdvanceBy(10'000);
  std::array<unsigned char, 4096> buf{};
  int got = 0;
  ASSERT_EQ(chip_.BulkIn(buf.data(), buf.size(), &got, 1000), 0);
  EXPECT_EQ(chip_.overrun_bytes(), 1000u - 256u);
  EXPECT_EQ(buf[1] & 0x02, 0x02);  // overrun flag in the first packet
}

TEST_F(EmulatedChipTest, WritesDrainAtTheLineRate) {
  SetLine(0x4138, 16);  // 9600 8N1: 1042 us a character
  std::vector<unsigned char> data(400, 0x33);
  int sent = 0;
  ASSERT_EQ(chip_.BulkOut(data.data(), data.size(), &sent, 5000), 0);
  EXPECT_EQ(sent, 400);
  // Done once all but the FIFO's 128 bytes are on the line.
  EXPECT_EQ(clock_.NowMicros(), 271 * 1042);
  EXPECT_EQ(chip_.line_out().size(), 271u);
  clock_.AdvanceBy(200'000);
  EXPECT_EQ(chip_.line_out().size(), 400u);
}

TEST_F(EmulatedChipTest, SlowLineTimesOutWithTheCountTaken) {
  SetLine(0x4138, 16);
  std::vector<unsigned char> data(4096, 0x33);
  int sent = 0;
  EXPECT_EQ(chip_.BulkOut(data.data(), data.size(), &sent, 1000), LIBUSB_ERROR_TIMEOUT);
  // 128 in the FIFO at once, then one each 1042 us for 1000 ms.
  EXPECT_EQ(sent, 128 + 960);
  EXPECT_EQ(clock_.NowMicros(), 1'000'000);
}

TEST_F(EmulatedChipTest, UnplugEndsAWaitingRead) {
  SetLine(0x000C, 16);
  chip_.UnplugAt(300'000);
  chip_.SetInPacketsStopped(true);
  std::array<unsigned char, 64> buf{};
  int got = 0;
  EXPECT_EQ(chip_.BulkIn(buf.data(), buf.size(), &got, 5000), LIBUSB_ERROR_NO_DEVICE);
  EXPECT_EQ(clock_.NowMicros(), 300'000);
  EXPECT_EQ(chip_.Control(0x40, kReqSetLatency, 2, 1, nullptr, 0), LIBUSB_ERROR_NO_DEVICE);
}

}  // namespace
}  // namespace ktal::usbemu
