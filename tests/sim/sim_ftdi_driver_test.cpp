// SPDX-License-Identifier: GPL-3.0-or-later
#include "sim/sim_ftdi_driver.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "sim/simulated_guider.h"

namespace ktal::sim {
namespace {

using Bytes = std::vector<std::uint8_t>;

const Bytes kIdentify{0xAA, 0x01, 0x01};
const Bytes kIdentifier{0x55, 0x03, 0x01, 0x80, 0x01};

HandControllerConfig Starting(ControllerMode mode) {
  HandControllerConfig config;
  config.startMode = mode;
  return config;
}

// The host side, talking to device 0 through the driver calls only.
class Host {
 public:
  explicit Host(SimulatedGuider& sim) : sim_(sim), driver_(sim.driver()) {}

  FtHandle OpenFirst() {
    EXPECT_EQ(driver_.Open(0, &handle_), FT_OK);
    return handle_;
  }
  // The line as every handshake sets it up.
  void Configure(std::uint32_t baud) {
    ASSERT_EQ(driver_.ResetDevice(handle_), FT_OK);
    ASSERT_EQ(driver_.SetDataCharacteristics(handle_, FT_BITS_8, FT_STOP_BITS_1, FT_PARITY_NONE),
              FT_OK);
    ASSERT_EQ(driver_.SetBaudRate(handle_, baud), FT_OK);
    ASSERT_EQ(driver_.SetLatencyTimer(handle_, baud == 9600 ? 10 : 2), FT_OK);
    ASSERT_EQ(driver_.SetTimeouts(handle_, 1000, 1000), FT_OK);
  }
  std::uint32_t Write(const Bytes& bytes) {
    std::uint32_t written = 0;
    EXPECT_EQ(
        driver_.Write(handle_, bytes.data(), static_cast<std::uint32_t>(bytes.size()), &written),
        FT_OK);
    return written;
  }
  Bytes Read(std::uint32_t count) {
    Bytes buffer(count);
    std::uint32_t got = 0;
    EXPECT_EQ(driver_.Read(handle_, buffer.data(), count, &got), FT_OK);
    buffer.resize(got);
    return buffer;
  }
  Bytes Ask(const Bytes& request, std::uint32_t answer) {
    Write(request);
    return Read(answer);
  }
  std::int64_t now() { return sim_.clock().NowMicros(); }
  FtHandle handle() const { return handle_; }

 private:
  SimulatedGuider& sim_;
  SimFtdiDriver& driver_;
  FtHandle handle_ = nullptr;
};

// ---- Enumeration, open and close ----

TEST(SimDeviceListTest, ReportsEveryAttachedDevice) {
  SimulatedGuider sim;
  HandController second(sim.clock());
  sim.driver().AddDevice(FactoryChipDevice());
  sim.driver().AddDevice(WrongProductDevice());
  sim.driver().AddDevice(FtxGuiderDevice(&second));

  std::uint32_t count = 0;
  ASSERT_EQ(sim.driver().CreateDeviceInfoList(&count), FT_OK);
  ASSERT_EQ(count, 4u);
  std::vector<FtDeviceListInfoNode> nodes(count);
  ASSERT_EQ(sim.driver().GetDeviceInfoList(nodes.data(), &count), FT_OK);

  EXPECT_EQ(nodes[0].ID, 0x04036001u);
  EXPECT_STREQ(nodes[0].Description, "Orvelia K-Tal StandAlone AutoGuider");
  EXPECT_STREQ(nodes[1].Description, "FT232R USB UART");
  EXPECT_EQ(nodes[1].ID, 0x04036001u);
  EXPECT_STREQ(nodes[2].Description, "Orvelia K-Tal StandAlone AutoGuider");
  EXPECT_NE(nodes[2].ID & 0xFFFF, 0x6001u);
  EXPECT_NE(nodes[2].ID & 0xFFFF, 0x6015u);
  EXPECT_EQ(nodes[3].ID, 0x04036015u);
  EXPECT_EQ(nodes[3].Type, FT_DEVICE_X_SERIES);
  EXPECT_NE(nodes[0].LocId, nodes[3].LocId);
}

TEST(SimDeviceListTest, ShortListGetsOnlyWhatFits) {
  SimulatedGuider sim;
  sim.driver().AddDevice(FactoryChipDevice());
  FtDeviceListInfoNode node[1];
  std::uint32_t count = 1;
  ASSERT_EQ(sim.driver().GetDeviceInfoList(node, &count), FT_OK);
  EXPECT_EQ(count, 2u);  // how many there are; one was copied
  EXPECT_STREQ(node[0].Description, "Orvelia K-Tal StandAlone AutoGuider");
}

TEST(SimOpenTest, OpenFlagsAndHandles) {
  SimulatedGuider sim;
  SimFtdiDriver& driver = sim.driver();
  FtHandle handle = nullptr;
  EXPECT_EQ(driver.Open(1, &handle), FT_DEVICE_NOT_FOUND);
  EXPECT_EQ(driver.Open(-1, &handle), FT_DEVICE_NOT_FOUND);
  ASSERT_EQ(driver.Open(0, &handle), FT_OK);
  ASSERT_NE(handle, nullptr);
  FtHandle again = nullptr;
  EXPECT_EQ(driver.Open(0, &again), FT_DEVICE_NOT_OPENED);

  FtDeviceListInfoNode node;
  std::uint32_t count = 1;
  driver.GetDeviceInfoList(&node, &count);
  EXPECT_EQ(node.Flags & FT_FLAGS_OPENED, FT_FLAGS_OPENED);

  std::uint32_t type = 0, id = 0;
  char serial[16], description[64];
  ASSERT_EQ(driver.GetDeviceInfo(handle, &type, &id, serial, description), FT_OK);
  EXPECT_EQ(id, 0x04036001u);
  EXPECT_STREQ(serial, "KT000001");
  EXPECT_STREQ(description, "Orvelia K-Tal StandAlone AutoGuider");

  ASSERT_EQ(driver.Close(handle), FT_OK);
  EXPECT_EQ(driver.Close(handle), FT_INVALID_HANDLE);
  EXPECT_EQ(driver.SetBaudRate(handle, 9600), FT_INVALID_HANDLE);
  driver.GetDeviceInfoList(&node, &count);
  EXPECT_EQ(node.Flags & FT_FLAGS_OPENED, 0u);
}

TEST(SimOpenTest, RejectsSettingsTheChipCannotTake) {
  SimulatedGuider sim;
  Host host(sim);
  FtHandle h = host.OpenFirst();
  SimFtdiDriver& driver = sim.driver();
  EXPECT_EQ(driver.SetBaudRate(h, 0), FT_INVALID_BAUD_RATE);
  EXPECT_EQ(driver.SetBaudRate(h, 4'000'000), FT_INVALID_BAUD_RATE);
  EXPECT_EQ(driver.SetDataCharacteristics(h, 9, 0, 0), FT_INVALID_PARAMETER);
  EXPECT_EQ(driver.SetLatencyTimer(h, 0), FT_INVALID_PARAMETER);
  EXPECT_EQ(driver.SetUSBParameters(h, 100, 100), FT_INVALID_PARAMETER);
  EXPECT_EQ(driver.chip(0).line.baud, 9600u);  // unchanged by the refusals
  ASSERT_EQ(driver.SetUSBParameters(h, 4096, 4096), FT_OK);
  ASSERT_EQ(driver.SetLatencyTimer(h, 2), FT_OK);
  EXPECT_EQ(driver.chip(0).latencyMs, 2);
}

// ---- The guider behind the chip ----

TEST(SimLinkTest, IdentifyAnsweredAt9600FromTheBootLoader) {
  SimulatedGuider sim(Starting(ControllerMode::kBootLoader));
  Host host(sim);
  host.OpenFirst();
  host.Configure(9600);
  const std::int64_t start = host.now();
  EXPECT_EQ(host.Ask(kIdentify, 5), kIdentifier);
  // 3 characters out and 5 back at 1042 us each: no time-out was waited.
  EXPECT_EQ(host.now() - start, 8 * 1042);
  EXPECT_TRUE(sim.clock().waits().empty());
}

TEST(SimLinkTest, RunningFirmwareIgnoresIdentifyAt9600AndAt250000) {
  SimulatedGuider sim;  // normal mode
  Host host(sim);
  host.OpenFirst();
  host.Configure(9600);
  EXPECT_EQ(host.Ask(kIdentify, 5), Bytes{});
  EXPECT_EQ(sim.guider().line_trace().back().fate, LineFate::kBaudMismatch);
  host.Configure(250000);
  EXPECT_EQ(host.Ask(kIdentify, 5), Bytes{});
  EXPECT_EQ(sim.guider().line_trace().back().fate, LineFate::kDelivered);
}

TEST(SimLinkTest, ProbeAnswers) {
  SimulatedGuider normal;
  Host a(normal);
  a.OpenFirst();
  a.Configure(250000);
  EXPECT_EQ(a.Ask({0x00}, 1), Bytes{0x00});
  EXPECT_EQ(a.Ask({0x03}, 3), (Bytes{0x03, 0x60, 0x02}));

  SimulatedGuider update(Starting(ControllerMode::kUpdate));
  Host b(update);
  b.OpenFirst();
  b.Configure(250000);
  EXPECT_EQ(b.Ask({0x00}, 1), Bytes{0xFF});
  EXPECT_EQ(b.Ask({0x03}, 3), Bytes{});
}

// The update-mode switch as the handshake runs it: probe, 0xEB, 100 ms,
// purge, 1000 ms, identify at 9600, 'B', 200 ms, probe again.
TEST(SimLinkTest, SwitchToUpdateModeThroughTheBootLoader) {
  SimulatedGuider sim;
  Host host(sim);
  SimFtdiDriver& driver = sim.driver();
  host.OpenFirst();
  host.Configure(250000);
  ASSERT_EQ(host.Ask({0x00}, 1), Bytes{0x00});
  host.Write({0xEB});
  sim.clock().SleepMs(100);
  ASSERT_EQ(driver.Purge(host.handle(), FT_PURGE_RX), FT_OK);
  sim.clock().SleepMs(1000);
  host.Configure(9600);
  EXPECT_EQ(host.Ask(kIdentify, 5), kIdentifier);
  host.Write({'B'});
  sim.clock().SleepMs(200);
  host.Configure(250000);
  EXPECT_EQ(host.Ask({0x00}, 1), Bytes{0xFF});
  EXPECT_EQ(sim.clock().waits(), (std::vector<std::uint32_t>{100, 1000, 200}));
}

TEST(SimLinkTest, FirmwareAnswersProbeHundredMsAfterB) {
  SimulatedGuider sim(Starting(ControllerMode::kBootLoader));
  Host host(sim);
  host.OpenFirst();
  host.Configure(9600);
  host.Write({'B'});
  sim.clock().SleepMs(100);
  host.Configure(250000);
  EXPECT_EQ(host.Ask({0x00}, 1), Bytes{0x00});
}

TEST(SimLinkTest, GuiderBytesAtAnotherSpeedOrWithThePortClosedAreLost) {
  SimulatedGuider sim;
  Host host(sim);
  host.OpenFirst();
  host.Configure(9600);
  sim.guider().Send(0x42);  // unasked, at 250000
  EXPECT_EQ(sim.guider().line_trace().back().fate, LineFate::kBaudMismatch);
  host.Configure(250000);
  sim.guider().Send(0x43);
  sim.driver().Close(host.handle());
  sim.guider().Send(0x44);
  EXPECT_EQ(sim.guider().line_trace().back().fate, LineFate::kNotListening);
  host.OpenFirst();
  host.Configure(250000);
  EXPECT_EQ(host.Read(1), Bytes{});  // 0x43 went with the closed handle
}

// ---- Read and write timing ----

TEST(SimReadTest, TimeOutAdvancesVirtualTimeExactlyAndReturnsWhatCame) {
  SimulatedGuider sim;
  Host host(sim);
  host.OpenFirst();
  host.Configure(250000);
  host.Write({0x03});
  const std::int64_t start = host.now();
  EXPECT_EQ(host.Read(5), (Bytes{0x03, 0x60, 0x02}));  // 3 of 5
  EXPECT_EQ(host.now() - start, 1'000'000);
  EXPECT_TRUE(sim.clock().waits().empty());  // a time-out is not a wait

  const std::int64_t again = host.now();
  EXPECT_EQ(host.Read(1), Bytes{});
  EXPECT_EQ(host.now() - again, 1'000'000);
}

TEST(SimReadTest, ReadReturnsAsSoonAsTheCountIsIn) {
  SimulatedGuider sim;
  Host host(sim);
  host.OpenFirst();
  host.Configure(250000);
  host.Write({0x03});
  const std::int64_t start = host.now();
  EXPECT_EQ(host.Read(1), Bytes{0x03});
  EXPECT_EQ(host.now() - start, 40);  // one character at 250000
  EXPECT_EQ(host.Read(2), (Bytes{0x60, 0x02}));
  EXPECT_EQ(host.now() - start, 120);
}

TEST(SimReadTest, ReadWaitsForTheGuiderToComeUp) {
  // A byte the guider sends when its restart is over is still caught by a
  // read that was waiting for it.
  SimulatedGuider sim(Starting(ControllerMode::kBootLoader));
  Host host(sim);
  host.OpenFirst();
  host.Configure(250000);
  sim.guider().AddCommand(ControllerMode::kNormal, 0x00,
                          [](HandController& hc) { hc.After(500'000, [&hc] { hc.Send(0x5A); }); });
  sim.guider().EnterMode(ControllerMode::kNormal);
  host.Write({0x00});
  const std::int64_t start = host.now();
  EXPECT_EQ(host.Read(1), Bytes{0x5A});
  EXPECT_EQ(host.now() - start, 500'000 + 40);
}

TEST(SimReadTest, NoTimeOutSetNeverHangs) {
  SimulatedGuider sim;
  Host host(sim);
  host.OpenFirst();  // read time-out 0: the driver's "for ever"
  sim.driver().SetBaudRate(host.handle(), 250000);
  EXPECT_EQ(host.Ask({0x00}, 1), Bytes{0x00});
  const std::int64_t start = host.now();
  EXPECT_EQ(host.Read(1), Bytes{});
  EXPECT_EQ(host.now(), start);  // nothing was due, so nothing to wait for
}

TEST(SimReadTest, NoTimeOutSetStillWaitsForBytesOnTheWire) {
  SimulatedGuider sim(Starting(ControllerMode::kBootLoader));
  Host host(sim);
  host.OpenFirst();  // 9600 baud, read time-out 0
  host.Write(kIdentify);
  EXPECT_EQ(host.Read(5), kIdentifier);
}

TEST(SimReadTest, LongAnswerArrivesAtTheLineRateInOneRead) {
  SimulatedGuider sim;
  Host host(sim);
  host.OpenFirst();
  host.Configure(250000);
  Bytes block(4000);
  for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<std::uint8_t>(i * 7);
  sim.guider().AddCommand(ControllerMode::kNormal, 0x77,
                          [&block](HandController& hc) { hc.Send(block); });
  host.Write({0x77});
  const std::int64_t start = host.now();
  EXPECT_EQ(host.Read(4000), block);
  EXPECT_EQ(host.now() - start, 4000 * 40);
}

TEST(SimReadTest, QueueStatusLetsPollingLoopsProgress) {
  SimulatedGuider sim;
  Host host(sim);
  host.OpenFirst();
  host.Configure(250000);
  host.Write({0x03});
  std::uint32_t waiting = 0;
  int polls = 0;
  while (waiting < 3 && polls < 1000) {
    ASSERT_EQ(sim.driver().GetQueueStatus(host.handle(), &waiting), FT_OK);
    ++polls;
  }
  EXPECT_EQ(waiting, 3u);
  EXPECT_LT(polls, 10);
  std::uint32_t rx = 0, tx = 99, events = 99;
  ASSERT_EQ(sim.driver().GetStatus(host.handle(), &rx, &tx, &events), FT_OK);
  EXPECT_EQ(rx, 3u);
  EXPECT_EQ(tx, 0u);
}

TEST(SimWriteTest, WriteTakesTheLineTimeAndStopsAtItsTimeOut) {
  SimulatedGuider sim;
  Host host(sim);
  host.OpenFirst();
  host.Configure(9600);
  std::int64_t start = host.now();
  EXPECT_EQ(host.Write(kIdentify), 3u);
  EXPECT_EQ(host.now() - start, 3 * 1042);

  // 1000 ms hold 959 characters of 1042 us.
  start = host.now();
  EXPECT_EQ(host.Write(Bytes(2000, 0x11)), 959u);
  EXPECT_EQ(host.now() - start, 1'000'000);
}

TEST(SimPurgeTest, PurgeDropsWhatArrivedOnly) {
  SimulatedGuider sim(Starting(ControllerMode::kBootLoader));
  Host host(sim);
  host.OpenFirst();
  host.Configure(9600);
  host.Write(kIdentify);
  sim.clock().AdvanceBy(2 * 1042);  // two of five answer bytes are in
  ASSERT_EQ(sim.driver().Purge(host.handle(), FT_PURGE_RX | FT_PURGE_TX), FT_OK);
  EXPECT_EQ(host.Read(5), (Bytes{0x01, 0x80, 0x01}));
}

TEST(SimPurgeTest, ResetDeviceEmptiesTheReceiveQueueAndKeepsTheLine) {
  SimulatedGuider sim;
  Host host(sim);
  host.OpenFirst();
  host.Configure(250000);
  host.Write({0x00});
  sim.clock().AdvanceBy(1000);
  ASSERT_EQ(sim.driver().ResetDevice(host.handle()), FT_OK);
  EXPECT_EQ(host.Read(1), Bytes{});
  EXPECT_EQ(sim.driver().chip(0).line.baud, 250000u);
}

// ---- CBUS ----

TEST(SimCbusTest, PinsAtOpenAndMaskBytes) {
  SimulatedGuider sim;
  SimDevice device = FactoryChipDevice();
  device.pinLevels = 0x05;
  sim.driver().AddDevice(device);
  FtHandle h = nullptr;
  ASSERT_EQ(sim.driver().Open(1, &h), FT_OK);
  std::uint8_t pins = 0;
  ASSERT_EQ(sim.driver().GetBitMode(h, &pins), FT_OK);
  EXPECT_EQ(pins, 0x05);
  ASSERT_EQ(sim.driver().SetBitMode(h, 0x27, FT_BITMODE_CBUS_BITBANG), FT_OK);
  sim.driver().GetBitMode(h, &pins);
  EXPECT_EQ(pins, 0x07);  // CBUS1 driven high, CBUS0 and CBUS2 still read high
  ASSERT_EQ(sim.driver().SetBitMode(h, 0x20, FT_BITMODE_CBUS_BITBANG), FT_OK);
  sim.driver().GetBitMode(h, &pins);
  EXPECT_EQ(pins, 0x05);  // CBUS1 driven low, the inputs read their outside level
  ASSERT_EQ(sim.driver().SetBitMode(h, 0xF0, FT_BITMODE_CBUS_BITBANG), FT_OK);
  sim.driver().GetBitMode(h, &pins);
  EXPECT_EQ(pins, 0x00);
  EXPECT_EQ(sim.driver().BitModeMasks(), (Bytes{0x27, 0x20, 0xF0}));

  // The chip keeps driving its lines across close and open.
  sim.driver().SetBitMode(h, 0xF2, FT_BITMODE_CBUS_BITBANG);
  sim.driver().Close(h);
  ASSERT_EQ(sim.driver().Open(1, &h), FT_OK);
  sim.driver().GetBitMode(h, &pins);
  EXPECT_EQ(pins, 0x02);
}

TEST(SimCbusTest, PowerOnPulseThroughTheChip) {
  SimulatedGuider sim(Starting(ControllerMode::kOff));
  Host host(sim);
  FtHandle h = host.OpenFirst();
  ASSERT_EQ(sim.driver().SetBitMode(h, 0x22, FT_BITMODE_CBUS_BITBANG), FT_OK);
  sim.clock().SleepMs(50);
  ASSERT_EQ(sim.driver().SetBitMode(h, 0x20, FT_BITMODE_CBUS_BITBANG), FT_OK);
  sim.clock().SleepMs(50);
  sim.driver().Close(h);

  const auto& history = sim.guider().cbus_history();
  ASSERT_EQ(history.size(), 2u);
  EXPECT_EQ(history[0].directions, 0x02);
  EXPECT_EQ(history[0].levels, 0x02);
  EXPECT_EQ(history[1].levels, 0x00);
  EXPECT_EQ(history[1].atMicros - history[0].atMicros, 50'000);

  // The next probe, as the handshake would send it after its 1000 ms
  // identify time-out, finds the firmware running.
  host.OpenFirst();
  host.Configure(9600);
  EXPECT_EQ(host.Ask(kIdentify, 5), Bytes{});
  host.Configure(250000);
  EXPECT_EQ(host.Ask({0x00}, 1), Bytes{0x00});
}

TEST(SimCbusTest, ResetPulseThroughTheChipRestartsTheGuider) {
  SimulatedGuider sim(Starting(ControllerMode::kUpdate));
  Host host(sim);
  FtHandle h = host.OpenFirst();
  sim.driver().SetBitMode(h, 0x11, FT_BITMODE_CBUS_BITBANG);
  sim.clock().SleepMs(50);
  sim.driver().SetBitMode(h, 0x10, FT_BITMODE_CBUS_BITBANG);
  EXPECT_EQ(sim.guider().mode(), ControllerMode::kRestarting);
  // A link reset afterwards drives all four lines low: no further pulse.
  sim.driver().SetBitMode(h, 0xF0, FT_BITMODE_CBUS_BITBANG);
  sim.clock().SleepMs(400);
  host.Configure(250000);
  EXPECT_EQ(host.Ask({0x00}, 1), Bytes{0xFF});
}

// ---- Trace ----

TEST(SimTraceTest, RecordsEveryCallWithArgumentsAndResults) {
  SimulatedGuider sim;
  Host host(sim);
  std::uint32_t count = 0;
  sim.driver().CreateDeviceInfoList(&count);
  FtHandle h = host.OpenFirst();
  std::uint8_t pins = 0;
  sim.driver().GetBitMode(h, &pins);
  host.Configure(250000);
  host.Ask({0x03}, 4);
  sim.driver().SetBitMode(h, 0x22, FT_BITMODE_CBUS_BITBANG);
  sim.driver().Purge(h, FT_PURGE_RX);
  sim.driver().Close(h);
  EXPECT_EQ(sim.driver().FormatCalls(),
            "CreateDeviceInfoList() -> 1\n"
            "Open(0)\n"
            "GetBitMode() -> 0x00\n"
            "ResetDevice()\n"
            "SetDataCharacteristics(8, 0, 0)\n"
            "SetBaudRate(250000)\n"
            "SetLatencyTimer(2)\n"
            "SetTimeouts(1000, 1000)\n"
            "Write(03) -> 1\n"
            "Read(4) -> 03 60 02\n"
            "SetBitMode(0x22, 0x20)\n"
            "Purge(1)\n"
            "Close()\n");
  EXPECT_EQ(sim.driver().WrittenBytes(), Bytes{0x03});
  EXPECT_EQ(sim.driver().ReadBytes(), (Bytes{0x03, 0x60, 0x02}));
  const auto reads = sim.driver().CallsOf(DriverCall::kRead);
  ASSERT_EQ(reads.size(), 1u);
  EXPECT_EQ(reads[0].a, 4u);
  EXPECT_EQ(reads[0].result, 3u);
}

TEST(SimTraceTest, LineTraceShowsBothDirectionsWithSpeeds) {
  SimulatedGuider sim;
  Host host(sim);
  host.OpenFirst();
  host.Configure(250000);
  host.Ask({0x00}, 1);
  const auto& trace = sim.guider().line_trace();
  ASSERT_EQ(trace.size(), 2u);
  EXPECT_EQ(trace[0].direction, LineDirection::kHostToGuider);
  EXPECT_EQ(trace[0].byte, 0x00);
  EXPECT_EQ(trace[0].baud, 250000u);
  EXPECT_EQ(trace[1].direction, LineDirection::kGuiderToHost);
  EXPECT_EQ(trace[1].atMicros, trace[0].atMicros);  // answered on arrival
}

// ---- Driver faults ----

TEST(SimDriverFaultTest, FailedCallReturnsStatusAndHasNoEffect) {
  SimulatedGuider sim;
  Host host(sim);
  FtHandle h = host.OpenFirst();
  sim.driver().FailCall(DriverCall::kSetBaudRate, FT_IO_ERROR);
  EXPECT_EQ(sim.driver().SetBaudRate(h, 250000), FT_IO_ERROR);
  EXPECT_EQ(sim.driver().chip(0).line.baud, 9600u);
  EXPECT_EQ(sim.driver().SetBaudRate(h, 250000), FT_OK);  // only once
  EXPECT_EQ(sim.driver().calls().back().status, FT_OK);
  EXPECT_NE(sim.driver().FormatCalls().find("SetBaudRate(250000) = status 4\n"), std::string::npos);
}

TEST(SimDriverFaultTest, NthOccurrenceAndEveryCall) {
  SimulatedGuider sim;
  Host host(sim);
  FtHandle h = host.OpenFirst();
  sim.driver().FailCall(DriverCall::kSetBitMode, FT_OTHER_ERROR, 2);
  EXPECT_EQ(sim.driver().SetBitMode(h, 0x22, FT_BITMODE_CBUS_BITBANG), FT_OK);
  EXPECT_EQ(sim.driver().SetBitMode(h, 0x20, FT_BITMODE_CBUS_BITBANG), FT_OTHER_ERROR);
  EXPECT_EQ(sim.driver().chip(0).cbusLevels, 0x02);     // still high
  EXPECT_EQ(sim.driver().BitModeMasks(), Bytes{0x22});  // failed calls sent nothing

  sim.driver().FailCall(DriverCall::kRead, FT_IO_ERROR, 0);
  std::uint8_t byte = 0;
  std::uint32_t got = 7;
  EXPECT_EQ(sim.driver().Read(h, &byte, 1, &got), FT_IO_ERROR);
  EXPECT_EQ(got, 0u);
  EXPECT_EQ(sim.driver().Read(h, &byte, 1, &got), FT_IO_ERROR);
  sim.driver().ClearFaults();
  EXPECT_EQ(sim.driver().Read(h, &byte, 1, &got), FT_OK);

  sim.driver().FailCall(DriverCall::kOpen, FT_DEVICE_NOT_FOUND);
  sim.driver().Close(h);
  EXPECT_EQ(sim.driver().Open(0, &h), FT_DEVICE_NOT_FOUND);
  EXPECT_FALSE(sim.driver().chip(0).open);
}

TEST(SimDriverFaultTest, InjectedWriteTimeOut) {
  SimulatedGuider sim;
  Host host(sim);
  host.OpenFirst();
  host.Configure(250000);
  sim.driver().InjectWriteTimeout(2);
  EXPECT_EQ(host.Write({0x00}), 1u);
  EXPECT_EQ(host.Read(1), Bytes{0x00});
  std::int64_t start = host.now();
  EXPECT_EQ(host.Write({0x00}), 0u);
  EXPECT_EQ(host.now() - start, 1'000'000);
  EXPECT_EQ(host.Read(1), Bytes{});  // the guider got nothing

  sim.driver().InjectWriteTimeout(1, 1);
  EXPECT_EQ(host.Write({0x03, 0x00}), 1u);
  EXPECT_EQ(sim.guider().ReceivedBytes().back(), 0x03);
  EXPECT_EQ(host.Write({0x00}), 1u);  // one-shot
}

TEST(SimDriverFaultTest, GuiderFaultsSeenThroughTheChip) {
  SimulatedGuider sim;
  Host host(sim);
  host.OpenFirst();
  host.Configure(250000);
  sim.guider().ReplaceNextAnswer(0x00, {0x42});
  EXPECT_EQ(host.Ask({0x00}, 1), Bytes{0x42});
  sim.guider().DropSentByte(2);
  EXPECT_EQ(host.Ask({0x03}, 3), (Bytes{0x03, 0x02}));
  sim.guider().PowerOffAfterReceived(1);
  EXPECT_EQ(host.Ask({0x00}, 1), Bytes{});
  EXPECT_FALSE(sim.guider().powered());
}

TEST(SimDriverFaultTest, GuiderSilentFromAByteOrTakingAChangedByte) {
  SimulatedGuider sim;
  Host host(sim);
  host.OpenFirst();
  host.Configure(250000);
  sim.guider().SilenceFromSentByte(2);
  EXPECT_EQ(host.Ask({0x03}, 3), Bytes{0x03});
  EXPECT_EQ(host.Ask({0x00}, 1), Bytes{});
  sim.guider().ClearFaults();
  // The probe byte arrives as the version request.
  sim.guider().ReplaceReceivedByte(1, 0x03);
  EXPECT_EQ(host.Ask({0x00}, 3), (Bytes{0x03, 0x60, 0x02}));
  EXPECT_EQ(sim.guider().ReceivedBytes().back(), 0x03);
}

// The cable is pulled as the n-th byte passes, either way: that byte is
// lost, every later call on the handle fails, Close still lets it go, and
// the chip is not listed until it is plugged in again.
TEST(SimDriverFaultTest, UnplugAtALineByte) {
  struct Case {
    const char* name;
    std::size_t at;
    Bytes received;  // what the guider got of 00 then 03
  };
  const Case cases[] = {
      {"on the host's byte", 1, {}},
      {"on the guider's answer", 2, {0x00}},
      {"on the next request", 3, {0x00}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SimulatedGuider sim;
    SimFtdiDriver& driver = sim.driver();
    Host host(sim);
    host.OpenFirst();
    host.Configure(250000);
    sim.guider().clear_traces();
    driver.UnplugAtLineByte(c.at);
    const std::uint8_t probe = 0x00;
    const std::uint8_t version = 0x03;
    std::uint32_t moved = 0;
    std::uint8_t answer = 0;
    FtStatus status = driver.Write(host.handle(), &probe, 1, &moved);
    if (status == FT_OK) status = driver.Read(host.handle(), &answer, 1, &moved);
    if (status == FT_OK) status = driver.Write(host.handle(), &version, 1, &moved);
    EXPECT_EQ(status, FT_IO_ERROR);
    EXPECT_TRUE(driver.unplugged(0));
    EXPECT_EQ(sim.guider().ReceivedBytes(), c.received);
    std::uint32_t queued = 1;
    EXPECT_EQ(driver.GetQueueStatus(host.handle(), &queued), FT_IO_ERROR);
    std::uint32_t count = 1;
    EXPECT_EQ(driver.CreateDeviceInfoList(&count), FT_OK);
    EXPECT_EQ(count, 0u);
    FtHandle other = nullptr;
    EXPECT_EQ(driver.Open(0, &other), FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(driver.Close(host.handle()), FT_OK);

    driver.Replug(0);
    EXPECT_EQ(driver.CreateDeviceInfoList(&count), FT_OK);
    EXPECT_EQ(count, 1u);
    host.OpenFirst();
    host.Configure(250000);
    EXPECT_EQ(host.Ask({0x00}, 1), Bytes{0x00});
  }
}

TEST(SimulatedGuiderTest, ControllerOutlivingItsChipLosesItsBytes) {
  VirtualClock clock;
  HandController guider(clock);
  {
    SimFtdiDriver driver(clock);
    driver.AddDevice(GuiderDevice(&guider));
  }
  guider.Send(0x00);
  EXPECT_EQ(guider.line_trace().back().fate, LineFate::kNotListening);
}

TEST(SimulatedGuiderTest, InteractiveModeKeepsNoTraces) {
  SimulatedGuider sim;
  sim.SetInteractive(0);
  Host host(sim);
  host.OpenFirst();
  host.Configure(250000);
  EXPECT_EQ(host.Ask({0x00}, 1), Bytes{0x00});
  sim.clock().SleepMs(50);
  EXPECT_TRUE(sim.driver().calls().empty());
  EXPECT_TRUE(sim.guider().line_trace().empty());
  EXPECT_TRUE(sim.clock().waits().empty());
  EXPECT_GE(sim.clock().NowMicros(), 50'000);
}

TEST(SimulatedGuiderTest, DefaultsAreARunningGuiderWithFirmware260) {
  SimulatedGuider sim;
  EXPECT_EQ(sim.guider().mode(), ControllerMode::kNormal);
  EXPECT_EQ(sim.guider().config().firmwareVersion, 0x0260);
  EXPECT_EQ(sim.driver().device_count(), 1u);
  EXPECT_EQ(sim.clock().NowMicros(), 0);
}

}  // namespace
}  // namespace ktal::sim
