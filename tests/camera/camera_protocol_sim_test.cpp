// SPDX-License-Identifier: GPL-3.0-or-later
// The camera-mode cases on the simulated driver, and what only that driver
// can show: the order of the line settings around a download, and driver
// calls that fail while the link runs at 2 Mbaud.
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "camera/camera_protocol.h"
#include "filesystem/fs_protocol.h"
#include "link/ftdi_device.h"
#include "link/handshakes.h"
#include "sim/simulated_guider.h"
#include "tests/camera/camera_protocol_cases.h"

namespace ktal::testing {

INSTANTIATE_TEST_SUITE_P(Backends, CameraProtocolTest, ::testing::Values(SimDriverRig()),
                         [](const auto& info) { return info.param.name; });

namespace {

using sim::DriverCall;

// The calls from the end-of-exposure time-out on, one a line.
std::string CallsFromExposureEnd(const sim::SimFtdiDriver& driver) {
  const std::vector<sim::DriverCallRecord>& calls = driver.calls();
  auto from = calls.begin();
  for (auto it = calls.begin(); it != calls.end(); ++it) {
    if (it->call == DriverCall::kSetTimeouts && it->a == 5000) {
      from = it;
      break;
    }
  }
  return sim::FormatTrace({from, calls.end()});
}

std::string Hex(const std::vector<std::uint8_t>& bytes) {
  std::string text;
  char item[4];
  for (const std::uint8_t byte : bytes) {
    std::snprintf(item, sizeof item, text.empty() ? "%02X" : " %02X", byte);
    text += item;
  }
  return text;
}

std::string Lines(std::initializer_list<const char*> lines) {
  std::string text;
  for (const char* line : lines) text += std::string(line) + "\n";
  return text;
}

// The running-mode line, from the download command on: the transmit queue
// is asked before the speed changes; the speed goes up, then the latency,
// the time-outs and the purge; afterwards every setting comes back, also
// when one of them cannot.
TEST(CameraProtocolDriverCalls, LineSettingsAroundTheDownload) {
  struct Case {
    const char* name;
    std::function<void(sim::SimFtdiDriver&)> fault;
    int result;
    std::string calls;
    bool open;
  };
  // The guider's echo of the download command waits in the receive queue
  // (GetStatus -> 1) until the purge.
  const char* kEndOfExposure[] = {"SetTimeouts(5000, 1000)", "Write(55) -> 1",
                                  "Read(1) -> 55",           "SetTimeouts(1000, 1000)",
                                  "SetLatencyTimer(2)",      "Write(EE 04 00 00 02 00) -> 6",
                                  "GetStatus() -> 1"};
  const auto head = [&](std::initializer_list<const char*> more) {
    std::string text;
    for (const char* line : kEndOfExposure) text += std::string(line) + "\n";
    return text + Lines(more);
  };
  const std::string restore =
      Lines({"SetDataCharacteristics(8, 0, 0)", "SetBaudRate(250000)", "SetLatencyTimer(2)",
             "SetTimeouts(1000, 1000)", "SetUSBParameters(4096, 4096)", "Purge(1)"});
  const Case cases[] = {
      {"a one-block frame", nullptr, 0,
       head({"SetUSBParameters(4096, 4096)", "SetDataCharacteristics(8, 0, 0)",
             "SetBaudRate(2000000)", "SetLatencyTimer(2)", "SetTimeouts(2000, 2000)", "Purge(1)",
             "Write(01) -> 1", "Read(4) -> FRAME"}) +
           restore,
       true},
      {"raising fails at the latency timer",
       [](sim::SimFtdiDriver& d) { d.FailCall(DriverCall::kSetLatencyTimer, FT_IO_ERROR, 2); }, -1,
       head({"SetUSBParameters(4096, 4096)", "SetDataCharacteristics(8, 0, 0)",
             "SetBaudRate(2000000)", "SetLatencyTimer(2) = status 4"}) +
           restore,
       true},
      {"a block request cannot be written", [](sim::SimFtdiDriver& d) { d.InjectWriteTimeout(7); },
       -10,
       head({"SetUSBParameters(4096, 4096)", "SetDataCharacteristics(8, 0, 0)",
             "SetBaudRate(2000000)", "SetLatencyTimer(2)", "SetTimeouts(2000, 2000)", "Purge(1)",
             "Write(01) -> 0"}) +
           restore,
       true},
      // Nothing may go on at 2 Mbaud: a link whose speed did not come back
      // is closed.
      {"the speed cannot be restored",
       [](sim::SimFtdiDriver& d) { d.FailCall(DriverCall::kSetBaudRate, FT_IO_ERROR, 2); }, -1,
       head({"SetUSBParameters(4096, 4096)", "SetDataCharacteristics(8, 0, 0)",
             "SetBaudRate(2000000)", "SetLatencyTimer(2)", "SetTimeouts(2000, 2000)", "Purge(1)",
             "Write(01) -> 1", "Read(4) -> FRAME", "SetDataCharacteristics(8, 0, 0)",
             "SetBaudRate(250000) = status 4", "SetLatencyTimer(2)", "SetTimeouts(1000, 1000)",
             "SetUSBParameters(4096, 4096)", "Purge(1)", "Close()"}),
       false},
      // Without knowing the queue is empty the speed is not touched.
      {"the transmit queue cannot be asked",
       [](sim::SimFtdiDriver& d) { d.FailCall(DriverCall::kGetStatus, FT_IO_ERROR); }, -1,
       Lines({"SetTimeouts(5000, 1000)", "Write(55) -> 1", "Read(1) -> 55",
              "SetTimeouts(1000, 1000)", "SetLatencyTimer(2)", "Write(EE 04 00 00 02 00) -> 6",
              "GetStatus() -> 0 = status 4"}),
       true},
      // The longer read time-out of the exposure ends with it.
      {"the end of the exposure cannot be asked for",
       [](sim::SimFtdiDriver& d) { d.FailCall(DriverCall::kWrite, FT_IO_ERROR, 5); }, -1,
       Lines({"SetTimeouts(5000, 1000)", "Write(55) -> 0 = status 4", "SetTimeouts(1000, 1000)"}),
       true},
  };
  for (const Case& row : cases) {
    SCOPED_TRACE(row.name);
    sim::SimulatedGuider sim;
    g_device.AttachDriver(&sim.driver(), &sim.clock());
    g_device.deviceKind = kDeviceKindGuider;
    ASSERT_EQ(EnterDeviceMode(kNormalMode), 0) << g_protocolMessage;
    ASSERT_EQ(EnterCameraMode(), 0) << g_protocolMessage;
    sim.features().camera.state = 1;
    sim.driver().clear_calls();
    if (row.fault) row.fault(sim.driver());
    ExposureRequest request = DarkFrameRequest();
    request.width = 2;
    request.height = 2;
    EXPECT_EQ(ExposeAndDownload(request), row.result);
    // The four pixels the guider sent, as the download read them.
    std::string expected = row.calls;
    if (const auto at = expected.find("FRAME"); at != std::string::npos) {
      expected.replace(at, 5, Hex(sim.features().camera.ExposedFrame()));
    }
    EXPECT_EQ(CallsFromExposureEnd(sim.driver()), expected);
    EXPECT_EQ(g_device.IsOpen(), row.open);
    g_device.Close();
    g_device.AttachDriver(nullptr, nullptr);
  }
}

}  // namespace
}  // namespace ktal::testing
