// SPDX-License-Identifier: GPL-3.0-or-later
// The link over the real libftdi backend, checked on the emulated wire:
// the control requests the chip receives, the bytes on the serial line, and
// what reads and writes return in virtual time.
#include <gtest/gtest.h>

#include <cstring>
#include <numeric>
#include <vector>

#include "emulated_usb_fixture.h"
#include "link/handshakes.h"

namespace ktal::usbemu {
namespace {

constexpr std::uint16_t kCbusMode = 0x2000;
const sim::LineSettings kRunningLine{250000, 8, 0, 0};

class LibftdiEnumeration : public EmulatedUsbTest {};

TEST_F(LibftdiEnumeration, ListsBothProductsWithTheirTexts) {
  ChipConfig factory;  // "FT232R USB UART"
  factory.address = 3;
  ChipConfig noSerial = GuiderChip(&guider_, "");
  noSerial.address = 4;
  ChipConfig ftx = FtxGuiderChip(nullptr);
  ftx.address = 5;
  ChipConfig other;  // another FTDI product: not ours to list
  other.productId = 0x6010;
  other.address = 6;
  UsbBus::Get().Plug(ftx);
  UsbBus::Get().Plug(factory);
  UsbBus::Get().Plug(noSerial);
  UsbBus::Get().Plug(other);

  std::uint32_t count = 0;
  ASSERT_EQ(driver_->CreateDeviceInfoList(&count), FT_OK);
  ASSERT_EQ(count, 3u);
  std::vector<FtDeviceListInfoNode> nodes(count);
  ASSERT_EQ(driver_->GetDeviceInfoList(nodes.data(), &count), FT_OK);
  ASSERT_EQ(count, 3u);
  // 0x6001 chips first, in bus order; then 0x6015.
  EXPECT_EQ(nodes[0].ID, 0x04036001u);
  EXPECT_STREQ(nodes[0].Description, "FT232R USB UART");
  EXPECT_STREQ(nodes[0].SerialNumber, "A50285BI");
  EXPECT_EQ(nodes[0].Type, FT_DEVICE_232R);
  EXPECT_EQ(nodes[0].LocId, 0x103u);
  // A chip without a serial number string still shows its description.
  EXPECT_STREQ(nodes[1].Description, kGuiderDescription);
  EXPECT_STREQ(nodes[1].SerialNumber, "");
  EXPECT_EQ(nodes[2].ID, 0x04036015u);
  EXPECT_EQ(nodes[2].Type, FT_DEVICE_X_SERIES);
  EXPECT_STREQ(nodes[2].SerialNumber, "KTX00001");
  EXPECT_TRUE(driver_->LastErrorDetail().empty()) << driver_->LastErrorDetail();
}

TEST_F(LibftdiEnumeration, OpenTakesTheGuiderNotTheFactoryChip) {
  ChipConfig factory;
  factory.address = 3;
  EmulatedFt232r& plain = UsbBus::Get().Plug(factory);
  EmulatedFt232r& chip = UsbBus::Get().Plug(FtxGuiderChip(&guider_));
  OpenLink();
  EXPECT_TRUE(chip.claimed());
  EXPECT_FALSE(plain.claimed());
  EXPECT_STREQ(g_device.QuerySerial(), "KTX00001");
}

TEST_F(LibftdiEnumeration, CloseGivesTheKernelDriverBack) {
  EmulatedFt232r& chip = PlugGuider();
  ASSERT_TRUE(chip.kernelDriverAttached());
  OpenLink();
  EXPECT_FALSE(chip.kernelDriverAttached());
  EXPECT_TRUE(chip.claimed());
  EXPECT_EQ(g_device.Close(), 0);
  EXPECT_TRUE(chip.kernelDriverAttached());
  EXPECT_FALSE(chip.claimed());
}

class LibftdiLineSettings : public EmulatedUsbTest {};

TEST_F(LibftdiLineSettings, BootModeLinkOnTheWire) {
  EmulatedFt232r& chip = PlugGuider();
  OpenLink();
  chip.clear_controls();
  ASSERT_EQ(ConfigureBootModeLink(), 0) << g_protocolMessage;

  const auto& c = chip.controls();
  ASSERT_EQ(c.size(), 5u);
  EXPECT_EQ(c[0].request, kReqReset);
  EXPECT_EQ(c[0].value, 0);  // SIO reset
  EXPECT_EQ(c[1].request, kReqSetBitMode);
  EXPECT_EQ(c[1].value, kCbusMode | 0xF0);  // all four lines outputs, low
  EXPECT_EQ(c[2].request, kReqSetData);
  EXPECT_EQ(c[2].value, 0x0008);  // 8 bits, no parity, 1 stop bit
  EXPECT_EQ(c[3].request, kReqSetBaudRate);
  EXPECT_EQ(c[4].request, kReqSetLatency);
  for (const auto& r : c) EXPECT_EQ(r.requestType, 0x40);
  EXPECT_EQ(chip.BaudRates(), std::vector<std::uint32_t>{9600});
  EXPECT_EQ(chip.LatencyValues(), std::vector<std::uint8_t>{10});
  EXPECT_EQ(chip.cbusDirections(), 0x0F);
  EXPECT_EQ(chip.cbusLevels(), 0x00);
}

// CBUS mode comes first in every set-up; libftdi would then ask for four
// times the rate (1 Mbaud for 250000, and refuse 2000000).
TEST_F(LibftdiLineSettings, RatesAfterCbusModeAreTheRatesAsked) {
  EmulatedFt232r& chip = PlugGuider();
  OpenLink();
  chip.clear_controls();
  ASSERT_EQ(ConfigureRunningModeLink(), 0) << g_protocolMessage;
  ASSERT_EQ(g_device.SetBaudRate(2000000), 0) << g_device.errorText;
  ASSERT_EQ(g_device.SetBaudRate(9600), 0) << g_device.errorText;
  EXPECT_EQ(chip.BaudRates(), (std::vector<std::uint32_t>{250000, 2000000, 9600}));
  EXPECT_EQ(chip.LatencyValues(), std::vector<std::uint8_t>{2});
  EXPECT_EQ(chip.line().baud, 9600u);
}

TEST_F(LibftdiLineSettings, PowerOnAndResetPulsesOnCbus) {
  guider_.PowerOff();
  EmulatedFt232r& chip = PlugGuider();
  OpenLink();
  ASSERT_EQ(g_device.bitValues, 0u);  // what READ_PINS gave
  chip.clear_controls();

  ASSERT_EQ(g_device.SetBitOutput(0x02, 0x02), 0);
  g_device.Wait(50);
  ASSERT_EQ(g_device.SetBitOutput(0x02, 0x00), 0);
  g_device.Wait(50);
  ASSERT_EQ(g_device.SetBitOutput(0x01, 0x01), 0);
  g_device.Wait(50);
  ASSERT_EQ(g_device.SetBitOutput(0x01, 0x00), 0);
  EXPECT_EQ(chip.BitModeValues(), (std::vector<std::uint16_t>{kCbusMode | 0x22, kCbusMode | 0x20,
                                                              kCbusMode | 0x31, kCbusMode | 0x30}));
  EXPECT_TRUE(guider_.powered());

  // The reset pulse alone, on a fresh link: 0x11 then 0x10.
  ASSERT_EQ(g_device.Close(), 0);
  OpenLink();
  chip.clear_controls();
  ASSERT_EQ(g_device.SetBitOutput(0x01, 0x01), 0);
  g_device.Wait(50);
  ASSERT_EQ(g_device.SetBitOutput(0x01, 0x00), 0);
  EXPECT_EQ(chip.BitModeValues(), (std::vector<std::uint16_t>{kCbusMode | 0x11, kCbusMode | 0x10}));

  // The guider came up in its firmware and answers the probe.
  g_device.Wait(1000);
  EXPECT_EQ(ProbeDeviceMode(), kNormalMode) << g_protocolMessage;
}

TEST_F(LibftdiLineSettings, PinsReadBackAsOpenLeftThem) {
  ChipConfig config = GuiderChip(&guider_);
  config.inputLevels = 0x05;
  EmulatedFt232r& chip = UsbBus::Get().Plug(config);
  OpenLink();
  EXPECT_EQ(g_device.bitValues, 0x05u);
  chip.clear_controls();
  ASSERT_EQ(g_device.SetBitOutput(2, 2), 0);
  ASSERT_EQ(g_device.SetBitOutput(2, 0), 0);
  EXPECT_EQ(chip.BitModeValues(), (std::vector<std::uint16_t>{kCbusMode | 0x27, kCbusMode | 0x25}));
}

TEST_F(LibftdiLineSettings, ResetDeviceDrivesTheLinesLow) {
  EmulatedFt232r& chip = PlugGuider();
  OpenLink();
  ASSERT_EQ(g_device.SetBitOutput(0x0F, 0x0F), 0);
  chip.clear_controls();
  ASSERT_EQ(g_device.ResetDevice(), 0) << g_device.errorText;
  ASSERT_EQ(chip.controls().size(), 2u);
  EXPECT_EQ(chip.controls()[0].request, kReqReset);
  EXPECT_EQ(chip.controls()[1].value, kCbusMode | 0xF0);
  EXPECT_EQ(chip.cbusLevels(), 0);
}

class LibftdiReads : public EmulatedUsbTest {
 protected:
  void SetUp() override {
    chip_ = &PlugGuider();
    guider_.PowerOff();  // nothing but what a test plays
    OpenLink();
    ASSERT_EQ(ConfigureRunningModeLink(), 0) << g_protocolMessage;
    std::strcpy(g_device.errorText, "untouched");
  }
  void Play(std::vector<std::uint8_t> bytes) { chip_->PlayLine(bytes, kRunningLine); }

  EmulatedFt232r* chip_ = nullptr;
};

TEST_F(LibftdiReads, ShortReadReturnsWhatCameAfterTheTimeOut) {
  Play({0x11, 0x22, 0x33});
  std::uint8_t buf[5] = {};
  const std::int64_t start = NowMs();
  EXPECT_EQ(g_device.Read(buf, 5), 3);
  EXPECT_EQ(buf[0], 0x11);
  EXPECT_EQ(buf[2], 0x33);
  const std::int64_t took = NowMs() - start;
  EXPECT_GE(took, 1000);
  EXPECT_LE(took, 1004);  // at most one latency period more
  EXPECT_STREQ(g_device.errorText, "untouched");
}

TEST_F(LibftdiReads, NothingArrivingIsATimeOut) {
  std::uint8_t buf[1] = {};
  EXPECT_EQ(g_device.Read(buf, 1), 0);
  EXPECT_STREQ(g_device.errorText, "FT_Read timed out (code 0 ($0))");
  EXPECT_EQ(g_device.timedOut, 1);
  EXPECT_EQ(g_device.ReadAck(0x03), -1);
}

TEST_F(LibftdiReads, FullReadReturnsAsSoonAsTheBytesAreIn) {
  const std::int64_t start = clock_.NowMicros();
  Play({1, 2, 3, 4, 5});
  std::uint8_t buf[5] = {};
  EXPECT_EQ(g_device.Read(buf, 5), 5);
  // 5 characters at 40 us, then at most one 2 ms latency period.
  EXPECT_LE(clock_.NowMicros() - start, 2'200);
  EXPECT_TRUE(clock_.waits().empty());
  EXPECT_EQ(buf[4], 5);
}

TEST_F(LibftdiReads, QueueCountSeesWaitingBytesAndReadsTakeThemInOrder) {
  std::vector<std::uint8_t> bytes(100);
  std::iota(bytes.begin(), bytes.end(), 0);
  Play(bytes);
  EXPECT_EQ(g_device.QueryReadBufLen(), 0);  // nothing in yet
  clock_.AdvanceBy(10'000);
  EXPECT_EQ(g_device.QueryReadBufLen(), 100);
  std::uint8_t buf[100] = {};
  EXPECT_EQ(g_device.Read(buf, 1), 1);
  EXPECT_EQ(g_device.QueryReadBufLen(), 99);
  EXPECT_EQ(g_device.Read(buf + 1, 99), 99);
  EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), buf));
  EXPECT_EQ(g_device.QueryReadBufLen(), 0);
}

// libftdi throws its buffer away when the transfer size changes.
TEST_F(LibftdiReads, TransferSizeChangeKeepsBufferedBytes) {
  std::vector<std::uint8_t> bytes(100);
  std::iota(bytes.begin(), bytes.end(), 0);
  Play(bytes);
  clock_.AdvanceBy(10'000);
  std::uint8_t buf[100] = {};
  ASSERT_EQ(g_device.Read(buf, 10), 10);
  ASSERT_EQ(g_device.SetXferSize(65536), 0) << g_device.errorText;
  EXPECT_EQ(g_device.Read(buf + 10, 90), 90);
  EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), buf));
}

TEST_F(LibftdiReads, FlushDropsWhatWasWaiting) {
  Play(std::vector<std::uint8_t>(300, 0xEE));  // more than the chip's FIFO
  clock_.AdvanceBy(20'000);
  std::uint8_t buf[4] = {};
  ASSERT_EQ(g_device.Read(buf, 1), 1);  // some now in the backend's hands
  ASSERT_EQ(g_device.FlushInBuffer(), 0) << g_device.errorText;
  EXPECT_EQ(g_device.QueryReadBufLen(), 0);
  Play({0x42});
  EXPECT_EQ(g_device.Read(buf, 1), 1);
  EXPECT_EQ(buf[0], 0x42);
}

class LibftdiWrites : public EmulatedUsbTest {
 protected:
  void SetUp() override {
    chip_ = &PlugGuider();
    guider_.PowerOff();
    OpenLink();
    ASSERT_EQ(ConfigureBootModeLink(), 0) << g_protocolMessage;  // 9600 baud
  }
  EmulatedFt232r* chip_ = nullptr;
};

// 4096 bytes take 4.3 s at 9600 baud: a 1000 ms write time-out ends the
// write with the part that went, not with nothing.
TEST_F(LibftdiWrites, WriteTimeOutAt9600EndsWithWhatWent) {
  std::vector<std::uint8_t> data(4096);
  std::iota(data.begin(), data.end(), 0);
  const std::int64_t start = NowMs();
  const int written = g_device.Write(data.data(), static_cast<int>(data.size()));
  const std::int64_t took = NowMs() - start;
  EXPECT_GT(written, 900);
  EXPECT_LT(written, 1200);
  EXPECT_GE(took, 1000);
  EXPECT_LT(took, 1150);
  clock_.AdvanceBy(1'000'000);
  const auto& out = chip_->line_out();
  ASSERT_EQ(out.size(), static_cast<std::size_t>(written));
  EXPECT_TRUE(std::equal(out.begin(), out.end(), data.begin()));
}

TEST_F(LibftdiWrites, LongWriteWithTimeToSpareGoesWhole) {
  ASSERT_EQ(g_device.SetTimeouts(1000, 6000), 0);
  std::vector<std::uint8_t> data(4096, 0x5A);
  EXPECT_EQ(g_device.Write(data.data(), 4096), 4096);
  // All but the chip's FIFO is on the line when Write returns.
  EXPECT_GE(NowMs(), (4096 - 1 - 128) * 1042 / 1000);
  EXPECT_GT(g_device.QueryWriteBufLen(), 0);
  g_device.Wait(200);
  EXPECT_EQ(g_device.QueryWriteBufLen(), 0);
  EXPECT_EQ(chip_->line_out().size(), 4096u);
}

}  // namespace
}  // namespace ktal::usbemu
