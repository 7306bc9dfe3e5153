// SPDX-License-Identifier: GPL-3.0-or-later
// CFtdiDevice on the simulated FT232R: device selection, failure texts and
// the CBUS masks, checked against the driver calls it made.
#include "link/ftdi_device.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "link/handshakes.h"
#include "sim/simulated_guider.h"

namespace ktal {
namespace {

using sim::DriverCall;
using Bytes = std::vector<std::uint8_t>;

// A driver with a chosen device list and no default guider.
class DeviceListTest : public ::testing::Test {
 protected:
  DeviceListTest() : driver_(clock_) {}
  void SetUp() override {
    g_device.AttachDriver(&driver_, &clock_);
    g_device.deviceKind = kDeviceKindGuider;
  }
  void TearDown() override {
    g_device.Close();
    g_device.AttachDriver(nullptr, nullptr);
  }

  sim::VirtualClock clock_;
  sim::SimFtdiDriver driver_;
};

TEST_F(DeviceListTest, NothingAttached) {
  EXPECT_NE(g_device.Open(), 0);
  EXPECT_EQ(g_device.handle, nullptr);
  EXPECT_STREQ(g_device.errorText, "No proper USB device found");
  EXPECT_EQ(g_device.errorString, L"No proper USB device found");
}

TEST_F(DeviceListTest, NoDriverMeansNoDevice) {
  g_device.AttachDriver(nullptr, nullptr);
  EXPECT_NE(g_device.Open(), 0);
  EXPECT_STREQ(g_device.errorText, "No proper USB device found");
}

TEST_F(DeviceListTest, FactoryChipIsNotTheGuider) {
  driver_.AddDevice(sim::FactoryChipDevice());
  EXPECT_NE(g_device.Open(), 0);
  EXPECT_STREQ(g_device.errorText, "No proper USB device found");
  EXPECT_TRUE(driver_.CallsOf(DriverCall::kOpen).empty());

  g_device.deviceKind = kDeviceKindFactoryChip;
  EXPECT_EQ(g_device.Open(), 0);
}

TEST_F(DeviceListTest, RightDescriptionOnAnotherProductIsRefused) {
  driver_.AddDevice(sim::WrongProductDevice());
  EXPECT_NE(g_device.Open(), 0);
  EXPECT_STREQ(g_device.errorText, "No proper USB device found");
  // Kind 0 takes any description, but still only the two product IDs.
  g_device.deviceKind = kDeviceKindAny;
  EXPECT_NE(g_device.Open(), 0);
}

TEST_F(DeviceListTest, FirstMatchingDeviceInTheListIsOpened) {
  sim::HandController first(clock_);
  sim::HandController second(clock_);
  driver_.AddDevice(sim::FactoryChipDevice());
  driver_.AddDevice(sim::WrongProductDevice());
  driver_.AddDevice(sim::FtxGuiderDevice(&first));
  driver_.AddDevice(sim::GuiderDevice(&second));
  ASSERT_EQ(g_device.Open(), 0);
  EXPECT_EQ(driver_.IndexOf(g_device.handle), 2);
  EXPECT_STREQ(g_device.QuerySerial(), "KTX00001");
  EXPECT_STREQ(g_deviceDescription, "Orvelia K-Tal StandAlone AutoGuider");

  g_device.deviceKind = kDeviceKindAny;
  ASSERT_EQ(g_device.Open(), 0);
  EXPECT_EQ(driver_.IndexOf(g_device.handle), 0);
}

TEST_F(DeviceListTest, DescriptionsAreComparedExactly) {
  sim::SimDevice almost = sim::FactoryChipDevice();
  std::strcpy(almost.node.Description, "Orvelia K-Tal StandAlone AutoGuider ");
  driver_.AddDevice(almost);
  std::strcpy(almost.node.Description, "orvelia K-Tal StandAlone AutoGuider");
  driver_.AddDevice(almost);
  // A description that fills its field without a terminator.
  std::memset(almost.node.Description, 'X', sizeof almost.node.Description);
  driver_.AddDevice(almost);
  EXPECT_NE(g_device.Open(), 0);
}

TEST_F(DeviceListTest, ProgrammerNeedsItsSerialNumberToo) {
  sim::SimDevice programmer = sim::FactoryChipDevice("XPROGBXX");
  std::strcpy(programmer.node.Description, "KTal's XPROGBX");
  driver_.AddDevice(programmer);
  g_device.deviceKind = kDeviceKindProgrammer;
  EXPECT_NE(g_device.Open(), 0);

  std::strcpy(programmer.node.SerialNumber, "XPROGBXM");
  driver_.AddDevice(programmer);
  ASSERT_EQ(g_device.Open(), 0);
  EXPECT_EQ(driver_.IndexOf(g_device.handle), 1);
}

TEST_F(DeviceListTest, EveryKindHasItsDescription) {
  struct Case {
    std::int32_t kind;
    const char* description;
  };
  const Case cases[] = {{1, "Pentrox DuviZazev"},  {2, "Orvelia K-Tal StandAlone AutoGuider"},
                        {3, "TVX Circuit Tester"}, {4, "TVX Circuit Tester for v2.21"},
                        {5, "TVX RizoZIR Tester"}, {99, "FT232R USB UART"}};
  for (const Case& c : cases) {
    sim::SimDevice device = sim::FactoryChipDevice();
    std::strcpy(device.node.Description, c.description);
    driver_.AddDevice(device);
  }
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    g_device.deviceKind = cases[i].kind;
    ASSERT_EQ(g_device.Open(), 0) << cases[i].description;
    EXPECT_EQ(driver_.IndexOf(g_device.handle), static_cast<int>(i)) << cases[i].description;
  }
  for (std::int32_t unknown : {6, 7, 79, 81, 98, 100, -1}) {
    g_device.deviceKind = unknown;
    EXPECT_NE(g_device.Open(), 0) << unknown;
  }
}

TEST_F(DeviceListTest, EnumerationFailures) {
  sim::HandController guider(clock_);
  driver_.AddDevice(sim::GuiderDevice(&guider));

  driver_.FailCall(DriverCall::kCreateDeviceInfoList, FT_IO_ERROR);
  EXPECT_EQ(g_device.Open(), static_cast<int>(FT_IO_ERROR));
  EXPECT_STREQ(g_device.errorText, "FT_CreateDeviceInfoList failed (code 4 ($4))");

  driver_.FailCall(DriverCall::kGetDeviceInfoList, FT_DEVICE_LIST_NOT_READY);
  EXPECT_EQ(g_device.Open(), 1);
  EXPECT_STREQ(g_device.errorText, "FT_GetDeviceInfoList failed (code 19 ($13))");

  driver_.FailCall(DriverCall::kOpen, FT_DEVICE_NOT_OPENED);
  EXPECT_EQ(g_device.Open(), static_cast<int>(FT_DEVICE_NOT_OPENED));
  EXPECT_STREQ(g_device.errorText, "FT_Open failed (code 3 ($3))");
  EXPECT_EQ(g_device.handle, nullptr);
  EXPECT_EQ(g_device.status, FT_DEVICE_NOT_OPENED);
}

TEST_F(DeviceListTest, BitModeFailureLeavesTheHandleForClose) {
  sim::HandController guider(clock_);
  driver_.AddDevice(sim::GuiderDevice(&guider));
  driver_.FailCall(DriverCall::kGetBitMode, FT_IO_ERROR);
  EXPECT_EQ(g_device.Open(), static_cast<int>(FT_IO_ERROR));
  EXPECT_STREQ(g_device.errorText, "FT_GetBitMode failed (code 4 ($4))");
  EXPECT_NE(g_device.handle, nullptr);
  EXPECT_EQ(g_device.Close(), 0);
  EXPECT_FALSE(driver_.chip(0).open);
}

// ---- One guider attached ----

class DeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_device.AttachDriver(&sim_.driver(), &sim_.clock());
    g_device.deviceKind = kDeviceKindGuider;
  }
  void TearDown() override {
    g_device.Close();
    g_device.AttachDriver(nullptr, nullptr);
  }
  // Opens and sets the line up as the handshakes do.
  void OpenAt(int baud) {
    ASSERT_EQ(g_device.Open(), 0);
    ASSERT_EQ(g_device.ResetDevice(), 0);
    ASSERT_EQ(g_device.SetDataFormat(8, 0, 0), 0);
    ASSERT_EQ(g_device.SetBaudRate(baud), 0);
    ASSERT_EQ(g_device.SetTimeouts(1000, 1000), 0);
    sim_.driver().clear_calls();
  }

  sim::SimulatedGuider sim_;
};

TEST_F(DeviceTest, OperationsOnAClosedDevice) {
  struct Case {
    const char* text;
    std::function<int()> call;
    int failure;
  };
  std::uint8_t buffer[4] = {1, 2, 3, 4};
  const Case cases[] = {
      {"Device not open in SetDataFormat()", [] { return g_device.SetDataFormat(8, 0, 0); }, 1},
      {"Device not open in SetBaudRate()", [] { return g_device.SetBaudRate(9600); }, 1},
      {"Device not open in SetTimeouts()", [] { return g_device.SetTimeouts(1, 1); }, 1},
      {"Device not open in SetLatencyTimer()", [] { return g_device.SetLatencyTimer(2); }, 1},
      {"Device not open in SetXferSize()", [] { return g_device.SetXferSize(4096); }, 1},
      {"Device not open in QuerySerial()", [] { return g_device.QuerySerial()[0] == '\0' ? 1 : 0; },
       1},
      {"Device not open in FlushInBuffer()", [] { return g_device.FlushInBuffer(); }, 1},
      {"Device not open in Write()", [&] { return g_device.Write(buffer, 4); }, 0},
      {"Device not open in Read()", [&] { return g_device.Read(buffer, 4); }, 0},
      {"Device not open in Read()", [] { return g_device.ReadAck(3); }, -1},
      {"Device not open in QueryReadBufLen()", [] { return g_device.QueryReadBufLen(); }, 0},
      {"Device not open in QueryWriteBufLen()", [] { return g_device.QueryWriteBufLen(); }, 0},
      {"Device not open in SetBitOutput()", [] { return g_device.SetBitOutput(1, 1); }, 1},
      {"Device not open in ResetDevice()", [] { return g_device.ResetDevice(); }, 1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.call(), c.failure) << c.text;
    EXPECT_STREQ(g_device.errorText, c.text);
    EXPECT_EQ(g_device.errorString, std::wstring(c.text, c.text + std::strlen(c.text)));
  }
  EXPECT_TRUE(sim_.driver().calls().empty());
}

TEST_F(DeviceTest, DriverFailuresAreRecordedWithTheirStatus) {
  struct Case {
    DriverCall call;
    const char* text;
    std::function<int()> run;
    int failure;
  };
  std::uint8_t buffer[4] = {1, 2, 3, 4};
  const Case cases[] = {
      {DriverCall::kSetDataCharacteristics, "FT_SetDataCharacteristics failed",
       [] { return g_device.SetDataFormat(8, 0, 0); }, 1},
      {DriverCall::kSetBaudRate, "FT_SetBaudRate failed", [] { return g_device.SetBaudRate(9600); },
       1},
      {DriverCall::kSetTimeouts, "FT_SetTimeouts failed", [] { return g_device.SetTimeouts(1, 1); },
       1},
      {DriverCall::kSetLatencyTimer, "FT_SetLatencyTimer failed",
       [] { return g_device.SetLatencyTimer(2); }, 1},
      {DriverCall::kSetUSBParameters, "FT_SetUSBParameters failed",
       [] { return g_device.SetXferSize(64); }, 1},
      {DriverCall::kGetDeviceInfo, "FT_GetDeviceInfo failed",
       [] { return g_device.QuerySerial()[0] == '\0' ? 1 : 0; }, 1},
      {DriverCall::kPurge, "FT_Purge failed", [] { return g_device.FlushInBuffer(); }, 1},
      {DriverCall::kWrite, "FT_Write failed", [&] { return g_device.Write(buffer, 4); }, 0},
      {DriverCall::kRead, "FT_Read failed", [&] { return g_device.Read(buffer, 4); }, 0},
      {DriverCall::kGetQueueStatus, "FT_GetQueueStatus failed",
       [] { return g_device.QueryReadBufLen(); }, 0},
      {DriverCall::kGetStatus, "FT_GetStatus failed", [] { return g_device.QueryWriteBufLen(); },
       0},
      {DriverCall::kSetBitMode, "FT_SetBitMode failed", [] { return g_device.SetBitOutput(1, 1); },
       1},
      {DriverCall::kResetDevice, "FT_ResetDevice failed", [] { return g_device.ResetDevice(); }, 1},
  };
  ASSERT_EQ(g_device.Open(), 0);
  for (const Case& c : cases) {
    g_device.errorString = L"untouched";
    g_device.timedOut = 1;
    sim_.driver().FailCall(c.call, FT_IO_ERROR);
    EXPECT_EQ(c.run(), c.failure) << c.text;
    EXPECT_EQ(std::string(g_device.errorText), std::string(c.text) + " (code 4 ($4))");
    EXPECT_EQ(g_device.status, FT_IO_ERROR);
    EXPECT_EQ(g_device.timedOut, 0);
    EXPECT_EQ(g_device.errorString, L"untouched");
    EXPECT_TRUE(g_device.IsOpen()) << "a failed operation never closes by itself";
  }
  sim_.driver().FailCall(DriverCall::kSetBaudRate, 26);
  g_device.SetBaudRate(9600);
  EXPECT_STREQ(g_device.errorText, "FT_SetBaudRate failed (code 26 ($1a))");
}

TEST_F(DeviceTest, ZeroLengthTransfersFailWithoutTheDriver) {
  ASSERT_EQ(g_device.Open(), 0);
  sim_.driver().clear_calls();
  std::uint8_t byte = 0;
  EXPECT_EQ(g_device.Write(&byte, 0), 0);
  EXPECT_STREQ(g_device.errorText, "0 bytes written");
  EXPECT_EQ(g_device.Read(&byte, 0), 0);
  EXPECT_STREQ(g_device.errorText, "0 bytes read");
  EXPECT_EQ(g_device.errorString, L"0 bytes read");
  EXPECT_TRUE(sim_.driver().calls().empty());
}

TEST_F(DeviceTest, ShortReadReturnsWhatArrivedAndRecordsNothing) {
  sim::SimulatedGuider boot({.startMode = sim::ControllerMode::kBootLoader});
  boot.guider().ReplaceNextAnswer(0xAA, {0x55, 0x03, 0x01});
  g_device.AttachDriver(&boot.driver(), &boot.clock());
  OpenAt(9600);
  std::snprintf(g_device.errorText, sizeof g_device.errorText, "%s", "earlier");
  const std::uint8_t identify[] = {0xAA, 0x01, 0x01};
  ASSERT_EQ(g_device.Write(identify, 3), 3);
  const std::int64_t before = boot.clock().NowMicros();
  std::uint8_t answer[5] = {};
  EXPECT_EQ(g_device.Read(answer, 5), 3);
  EXPECT_EQ(Bytes(answer, answer + 3), (Bytes{0x55, 0x03, 0x01}));
  EXPECT_STREQ(g_device.errorText, "earlier");
  EXPECT_GE(boot.clock().NowMicros() - before, 1'000'000);
  g_device.Close();
}

TEST_F(DeviceTest, ReadOfNothingTimesOut) {
  OpenAt(250000);
  std::uint8_t buffer[5];
  const std::int64_t before = sim_.clock().NowMicros();
  EXPECT_EQ(g_device.Read(buffer, 5), 0);
  EXPECT_STREQ(g_device.errorText, "FT_Read timed out (code 0 ($0))");
  EXPECT_EQ(g_device.timedOut, 1);
  EXPECT_EQ(g_device.status, FT_OK);
  EXPECT_EQ(sim_.clock().NowMicros() - before, 1'000'000);
  EXPECT_TRUE(sim_.clock().waits().empty()) << "a read time-out is not a wait";
}

TEST_F(DeviceTest, WriteThatMovesNothingTimesOut) {
  OpenAt(250000);
  sim_.driver().InjectWriteTimeout(1, 0);
  const std::uint8_t probe = 0x00;
  EXPECT_EQ(g_device.Write(&probe, 1), 0);
  EXPECT_STREQ(g_device.errorText, "FT_Write timed out (code 0 ($0))");
  EXPECT_EQ(g_device.timedOut, 1);
}

TEST_F(DeviceTest, ReadAckExpectsTheLastByteWritten) {
  OpenAt(250000);
  // The probe answers 0x00, the version request echoes 0x03.
  const std::uint8_t requests[] = {0x00, 0x03};
  ASSERT_EQ(g_device.Write(requests, 2), 2);
  EXPECT_EQ(g_device.lastWrittenByte, 0x03);
  EXPECT_EQ(g_device.ReadAck(), 1);  // 0x00 is not 0x03
  EXPECT_EQ(g_device.ReadAck(), 0);  // the echo
  EXPECT_EQ(g_device.ReadAck(0x60), 0);
  EXPECT_EQ(g_device.ReadAck(0x02), 0);
  EXPECT_EQ(g_device.ReadAck(), -1);  // nothing more
  EXPECT_EQ(g_device.timedOut, 1);
}

TEST_F(DeviceTest, QueueCountsTellWhatWaits) {
  OpenAt(250000);
  const std::uint8_t version = 0x03;
  ASSERT_EQ(g_device.Write(&version, 1), 1);
  sim_.clock().AdvanceBy(1000);
  EXPECT_EQ(g_device.QueryReadBufLen(), 3);
  EXPECT_EQ(g_device.QueryWriteBufLen(), 0);
  EXPECT_EQ(g_device.FlushInBuffer(), 0);
  EXPECT_EQ(g_device.QueryReadBufLen(), 0);
}

TEST_F(DeviceTest, BitOutputKeepsTheOtherLinesAsInputs) {
  sim::SimulatedGuider sim;
  sim::SimFtdiDriver driver(sim.clock());
  sim::SimDevice device = sim::GuiderDevice(&sim.guider());
  device.pinLevels = 0x05;
  driver.AddDevice(device);
  g_device.AttachDriver(&driver, &sim.clock());
  ASSERT_EQ(g_device.Open(), 0);
  EXPECT_EQ(g_device.bitDirections, 0u);
  EXPECT_EQ(g_device.bitValues, 0x05u);
  EXPECT_EQ(g_device.SetBitOutput(2, 2), 0);
  EXPECT_EQ(g_device.SetBitOutput(2, 0), 0);
  EXPECT_EQ(driver.BitModeMasks(), (Bytes{0x27, 0x25}));
  for (const auto& call : driver.CallsOf(DriverCall::kSetBitMode)) EXPECT_EQ(call.b, 0x20u);
  // Open forgets the directions again.
  ASSERT_EQ(g_device.Open(), 0);
  EXPECT_EQ(g_device.bitDirections, 0u);
  g_device.Close();
}

TEST_F(DeviceTest, ResetDeviceDrivesAllFourLinesLow) {
  ASSERT_EQ(g_device.Open(), 0);
  sim_.driver().clear_calls();
  EXPECT_EQ(g_device.ResetDevice(), 0);
  const auto& calls = sim_.driver().calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].call, DriverCall::kResetDevice);
  EXPECT_EQ(calls[1].call, DriverCall::kSetBitMode);
  EXPECT_EQ(calls[1].a, 0xF0u);
  EXPECT_EQ(calls[1].b, 0x20u);
}

TEST_F(DeviceTest, OpenAgainClosesTheOldHandleFirst) {
  ASSERT_EQ(g_device.Open(), 0);
  sim_.driver().clear_calls();
  ASSERT_EQ(g_device.Open(), 0);
  const auto& calls = sim_.driver().calls();
  ASSERT_FALSE(calls.empty());
  EXPECT_EQ(calls.front().call, DriverCall::kClose);
}

TEST_F(DeviceTest, CloseFailures) {
  ASSERT_EQ(g_device.Open(), 0);
  sim_.driver().FailCall(DriverCall::kClose, FT_IO_ERROR);
  EXPECT_EQ(g_device.Open(), 1);
  EXPECT_STREQ(g_device.errorText, "FT_Close failed ..in function Open()");
  EXPECT_EQ(g_device.errorString, L"FT_Close failed ..in function Open()");
  EXPECT_NE(g_device.handle, nullptr);

  sim_.driver().FailCall(DriverCall::kClose, FT_IO_ERROR);
  EXPECT_EQ(g_device.Close(), 1);
  EXPECT_STREQ(g_device.errorText, "FT_Close failed");
  EXPECT_NE(g_device.handle, nullptr);
  EXPECT_EQ(g_device.Close(), 0);
  EXPECT_EQ(g_device.handle, nullptr);

  sim_.driver().clear_calls();
  EXPECT_EQ(g_device.Close(), 0);
  EXPECT_TRUE(sim_.driver().calls().empty());
}

// ---- Handshakes: what only the simulated driver can show ----

TEST_F(DeviceTest, HandshakeConfiguresTheLineInOrder) {
  sim_.driver().clear_calls();
  ASSERT_EQ(EnterDeviceMode(kNormalMode), 0);
  std::vector<std::string> names;
  for (const auto& call : sim_.driver().calls()) {
    if (call.call == DriverCall::kSetBaudRate || call.call == DriverCall::kSetLatencyTimer ||
        call.call == DriverCall::kSetTimeouts || call.call == DriverCall::kSetDataCharacteristics ||
        call.call == DriverCall::kResetDevice || call.call == DriverCall::kSetBitMode) {
      names.push_back(sim::FormatCall(call));
    }
  }
  const std::vector<std::string> expected = {
      "ResetDevice()",       "SetBitMode(0xF0, 0x20)", "SetDataCharacteristics(8, 0, 0)",
      "SetBaudRate(9600)",   "SetLatencyTimer(10)",    "SetTimeouts(1000, 1000)",
      "ResetDevice()",       "SetBitMode(0xF0, 0x20)", "SetDataCharacteristics(8, 0, 0)",
      "SetBaudRate(250000)", "SetLatencyTimer(2)",     "SetTimeouts(1000, 1000)"};
  EXPECT_EQ(names, expected) << sim_.driver().FormatCalls();
}

TEST_F(DeviceTest, ConfigurationFailureClosesTheLink) {
  sim_.driver().FailCall(DriverCall::kSetBaudRate, FT_INVALID_BAUD_RATE);
  EXPECT_EQ(ConnectCommandMode(), -1);
  EXPECT_FALSE(g_device.IsOpen());
  EXPECT_STREQ(g_protocolMessage, "FT232 error\n (FT_SetBaudRate failed (code 7 ($7)))\n");
}

TEST_F(DeviceTest, WriteFailureDuringTheSwitchClosesTheLink) {
  sim::SimulatedGuider update({.startMode = sim::ControllerMode::kUpdate});
  g_device.AttachDriver(&update.driver(), &update.clock());
  // Writes: identify (ignored at 9600), the probe, then the switch command.
  update.driver().FailCall(DriverCall::kWrite, FT_IO_ERROR, 3);
  EXPECT_EQ(EnterDeviceMode(kNormalMode), -1);
  EXPECT_FALSE(g_device.IsOpen());
  EXPECT_STREQ(g_protocolMessage, "FT232 error\n (FT_Write failed (code 4 ($4)))\n");
}

TEST_F(DeviceTest, NoGuiderAttachedCannotBeOpened) {
  sim::VirtualClock clock;
  sim::SimFtdiDriver empty(clock);
  g_device.AttachDriver(&empty, &clock);
  EXPECT_EQ(EnterDeviceMode(kNormalMode), -1);
  EXPECT_STREQ(g_protocolMessage,
               "Can't open connection to FT232 device\n\n (No proper USB device found)\n");
}

// The system clock hands a long wait's time to an idle handler piece by
// piece, and the wait still lasts as long as asked: the handler's time is
// part of it.
TEST(SteadyClockTest, LongWaitCallsTheIdleHandlerAndLastsAsAsked) {
  SteadyClock clock;
  std::vector<std::int64_t> calls;
  const ScopedIdleHandler idle(
      clock, [&] { calls.push_back(clock.NowMicros()); }, 20);
  const std::int64_t start = clock.NowMicros();
  clock.SleepMs(100);
  const std::int64_t end = clock.NowMicros();
  EXPECT_GE(end - start, 100'000);
  // However late the machine wakes the thread, every piece ends in a call.
  ASSERT_FALSE(calls.empty());
  EXPECT_GE(calls.front() - start, 20'000);
  EXPECT_LE(calls.back(), end);
}

}  // namespace
}  // namespace ktal
