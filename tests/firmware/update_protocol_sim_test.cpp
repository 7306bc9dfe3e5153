// SPDX-License-Identifier: GPL-3.0-or-later
// The update-mode cases on the simulated driver, and what only that driver
// can show: the driver calls each transfer makes.
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "firmware/update_protocol.h"
#include "firmware/variable_set.h"
#include "link/ftdi_device.h"
#include "link/handshakes.h"
#include "sim/firmware_files.h"
#include "sim/simulated_guider.h"
#include "tests/firmware/update_protocol_cases.h"

namespace ktal::testing {

INSTANTIATE_TEST_SUITE_P(Backends, UpdateProtocolTest, ::testing::Values(SimDriverRig()),
                         [](const auto& info) { return info.param.name; });

namespace {

std::string Hex(const std::vector<std::uint8_t>& bytes) {
  std::string text;
  char item[4];
  for (const std::uint8_t byte : bytes) {
    std::snprintf(item, sizeof item, text.empty() ? "%02X" : " %02X", byte);
    text += item;
  }
  return text;
}

// The first `count` calls the driver saw, one a line.
std::string FirstCalls(const sim::SimFtdiDriver& driver, std::size_t count) {
  std::vector<sim::DriverCallRecord> calls = driver.calls();
  if (calls.size() > count) calls.resize(count);
  return sim::FormatTrace(calls);
}

// Each transfer sets its own time-outs (the camera also the latency timer)
// before its command, then writes a whole block, or a single byte, per call
// and reads one answer byte at a time.
TEST(UpdateProtocolDriverCalls, TimeOutsThenOneCallPerBlockOrByte) {
  struct Case {
    const char* name;
    std::function<int()> call;
    std::vector<std::string> calls;
  };
  const std::vector<std::uint8_t> hc = PseudoRandomImage(40, 1);
  const std::vector<std::uint8_t> camera = {0x01, 0x55, 0x02};
  const std::vector<std::uint8_t> ccdb(2049, 0x3C);
  // The guider's EEPROM is erased; the image written holds 0x6B.
  const auto eepromRead = [] {
    VariableSet variables;
    variables.SetDefaults();
    return DownloadEEPROM(variables, nullptr);
  };
  const auto eepromWrite = [] {
    VariableSet variables;
    variables.image.fill(0x6B);
    return UploadEEPROM(variables, nullptr, true);
  };
  const Case cases[] = {
      {"hand controller",
       [&] { return UploadHC(hc, 0, hc.size(), nullptr); },
       {"Write(E6) -> 1", "SetTimeouts(8000, 500)",
        "Write(" + Hex({hc.begin(), hc.begin() + 15}) + ") -> 15", "Read(1) -> 11",
        "GetQueueStatus() -> 0"}},
      {"camera",
       [&] { return UploadCam(camera, 0, camera.size(), nullptr); },
       {"SetTimeouts(8000, 500)", "SetLatencyTimer(2)", "Write(C6) -> 1", "Read(1) -> 00",
        "Write(01) -> 1", "Write(55) -> 1", "Write(55) -> 1", "Write(02) -> 1", "Write(55) -> 1",
        "Write(F0) -> 1", "Read(1) -> 0D"}},
      {"CCD board",
       [&] { return UploadCCDB(ccdb, 0, ccdb.size(), nullptr); },
       {"SetTimeouts(3000, 3000)", "Write(C7) -> 1", "Read(1) -> 00",
        "Write(3C 3C 3C 3C 3C 3C 3C 3C 3C 3C 3C 3C 3C 3C 3C) -> 15", "Read(1) -> 11",
        "GetQueueStatus() -> 0"}},
      {"EEPROM read",
       eepromRead,
       {"SetTimeouts(1000, 1000)", "Write(31) -> 1", "Read(1) -> EE", "Write(00 00) -> 2",
        "Read(1) -> FF", "Write(00) -> 1", "Read(1) -> FF", "Write(00) -> 1"}},
      {"EEPROM write",
       eepromWrite,
       {"SetTimeouts(1000, 1000)", "Write(32) -> 1", "Read(1) -> EF", "Write(00 00) -> 2",
        "Write(00 05) -> 2", "Write(6B) -> 1", "Write(6B) -> 1"}},
  };
  for (const Case& row : cases) {
    SCOPED_TRACE(row.name);
    sim::HandControllerConfig config;
    config.startMode = sim::ControllerMode::kUpdate;
    sim::SimulatedGuider sim(config);
    g_device.AttachDriver(&sim.driver(), &sim.clock());
    g_device.deviceKind = kDeviceKindGuider;
    ASSERT_EQ(EnterDeviceMode(kUpdateMode), 0) << g_protocolMessage;
    sim.driver().clear_calls();
    EXPECT_EQ(row.call(), 0) << g_protocolMessage;
    std::string expected;
    for (const std::string& call : row.calls) expected += call + "\n";
    EXPECT_EQ(FirstCalls(sim.driver(), row.calls.size()), expected);
    g_device.Close();
    g_device.AttachDriver(nullptr, nullptr);
  }
}

}  // namespace
}  // namespace ktal::testing
