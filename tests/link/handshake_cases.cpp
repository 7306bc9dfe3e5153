// SPDX-License-Identifier: GPL-3.0-or-later
// Handshakes against a guider in each of its states. Every case checks what
// the guider received, the result, the message and the state of the link.
#include "tests/link/handshake_cases.h"

#include "link/direct_control.h"
#include "link/ftdi_device.h"
#include "link/handshakes.h"

namespace ktal::testing {

using sim::ControllerMode;
using Bytes = std::vector<std::uint8_t>;
using Waits = std::vector<std::uint32_t>;

void HandshakeTest::Start(const sim::HandControllerConfig& config) {
  StartRig(config);
  g_protocolMessage[0] = '\0';
}

void HandshakeTest::StartIn(ControllerMode mode) {
  sim::HandControllerConfig config;
  config.startMode = mode;
  Start(config);
}

std::string HandshakeTest::Framed(const std::string& message) {
  return message + "\n (" + g_device.errorText + ")\n";
}

// ---- ConnectCommandMode ----

TEST_P(HandshakeTest, BootLoaderIdentifiesAndLinkStaysOpen) {
  StartIn(ControllerMode::kBootLoader);
  EXPECT_EQ(ConnectCommandMode(), 0);
  EXPECT_TRUE(g_device.IsOpen());
  EXPECT_EQ(received(), (Bytes{0xAA, 0x01, 0x01}));
  EXPECT_EQ(sent(), (Bytes{0x55, 0x03, 0x01, 0x80, 0x01}));
  EXPECT_EQ(guider().line().baud, 9600u);
}

TEST_P(HandshakeTest, IdentifierAcceptsOneOrTwoInAnyPlace) {
  sim::HandControllerConfig config;
  config.startMode = ControllerMode::kBootLoader;
  config.identifier = {0x55, 0x03, 0x02, 0x80, 0x02};
  Start(config);
  EXPECT_EQ(ConnectCommandMode(), 0);

  config.identifier = {0x01, 0x02, 0x01, 0x02, 0x01};
  Start(config);
  EXPECT_EQ(ConnectCommandMode(), 0);
}

TEST_P(HandshakeTest, WrongIdentifierClosesTheLink) {
  sim::HandControllerConfig config;
  config.startMode = ControllerMode::kBootLoader;
  config.identifier = {0x55, 0x04, 0x01, 0x80, 0x01};
  Start(config);
  EXPECT_EQ(ConnectCommandMode(), 2);
  EXPECT_FALSE(g_device.IsOpen());
  EXPECT_EQ(std::string(g_protocolMessage), Framed("bad device (C.mode) ID received"));
}

TEST_P(HandshakeTest, RunningFirmwareDoesNotHearTheIdentifyAtBootSpeed) {
  StartIn(ControllerMode::kNormal);
  const std::int64_t before = clock().NowMicros();
  EXPECT_EQ(ConnectCommandMode(), 1);
  // The whole read time-out passed, and the link is left open for a probe.
  EXPECT_GE(clock().NowMicros() - before, 1'000'000);
  EXPECT_LT(clock().NowMicros() - before, 1'100'000);
  EXPECT_TRUE(g_device.IsOpen());
  EXPECT_TRUE(received().empty());
  EXPECT_EQ(std::string(g_protocolMessage),
            Framed("device may be invalid, turned off or is in normal mode"));
  EXPECT_TRUE(waits().empty());
}

TEST_P(HandshakeTest, ShortIdentifierCountsAsNoAnswer) {
  StartIn(ControllerMode::kBootLoader);
  guider().ReplaceNextAnswer(0xAA, {0x55, 0x03, 0x01});
  EXPECT_EQ(ConnectCommandMode(), 1);
  EXPECT_TRUE(g_device.IsOpen());
}

// ---- ProbeDeviceMode ----

TEST_P(HandshakeTest, ProbeTellsEachMode) {
  StartIn(ControllerMode::kBootLoader);
  EXPECT_EQ(ProbeDeviceMode(), kBootMode);
  EXPECT_EQ(received(), (Bytes{0xAA, 0x01, 0x01}));

  StartIn(ControllerMode::kUpdate);
  EXPECT_EQ(ProbeDeviceMode(), kUpdateMode);
  EXPECT_EQ(received(), (Bytes{0x00}));
  EXPECT_TRUE(g_device.IsOpen());
  EXPECT_EQ(guider().line().baud, 250000u);

  StartIn(ControllerMode::kNormal);
  EXPECT_EQ(ProbeDeviceMode(), kNormalMode);
  EXPECT_EQ(received(), (Bytes{0x00}));
  EXPECT_EQ(sent(), (Bytes{0x00}));
  EXPECT_TRUE(g_device.IsOpen());
}

TEST_P(HandshakeTest, ProbeAnswerOtherThanZeroCountsAsUpdateMode) {
  StartIn(ControllerMode::kNormal);
  guider().ReplaceNextAnswer(0x00, {0x42});
  EXPECT_EQ(ProbeDeviceMode(), kUpdateMode);
}

TEST_P(HandshakeTest, ProbeOfASwitchedOffGuiderFails) {
  StartIn(ControllerMode::kOff);
  EXPECT_EQ(ProbeDeviceMode(), -1);
  EXPECT_FALSE(g_device.IsOpen());
  EXPECT_EQ(std::string(g_protocolMessage), Framed("device does not respond"));
  EXPECT_EQ(std::string(g_device.errorText), "FT_Read timed out (code 0 ($0))");
  EXPECT_EQ(g_device.timedOut, 1);
}

// ---- EnterDeviceMode and SwitchRunningMode ----

TEST_P(HandshakeTest, NormalModeWantedAndFoundNeedsNoSwitch) {
  StartIn(ControllerMode::kNormal);
  EXPECT_EQ(EnterDeviceMode(kNormalMode), 0);
  EXPECT_TRUE(g_device.IsOpen());
  EXPECT_EQ(received(), (Bytes{0x00}));
  EXPECT_TRUE(waits().empty());
}

TEST_P(HandshakeTest, UpdateModeFromNormalModeTakesOneSwitch) {
  StartIn(ControllerMode::kNormal);
  EXPECT_EQ(EnterDeviceMode(kUpdateMode), 0);
  EXPECT_EQ(guider().mode(), ControllerMode::kUpdate);
  EXPECT_TRUE(g_device.IsOpen());
  // probe, switch, identify in the boot loader, start, probe again.
  EXPECT_EQ(received(), (Bytes{0x00, 0xEB, 0xAA, 0x01, 0x01, 0x42, 0x00}));
  EXPECT_EQ(sent(), (Bytes{0x00, 0x55, 0x03, 0x01, 0x80, 0x01, 0xFF}));
  EXPECT_EQ(waits(), (Waits{100, 1000, 200}));
}

TEST_P(HandshakeTest, NormalModeFromUpdateModeUsesTheOtherSwitch) {
  StartIn(ControllerMode::kUpdate);
  EXPECT_EQ(EnterDeviceMode(kNormalMode), 0);
  EXPECT_EQ(guider().mode(), ControllerMode::kNormal);
  EXPECT_EQ(received(), (Bytes{0x00, 0xE1, 0xAA, 0x01, 0x01, 0x42, 0x00}));
}

TEST_P(HandshakeTest, BootLoaderIsStartedBeforeTheProbe) {
  StartIn(ControllerMode::kBootLoader);
  EXPECT_EQ(EnterDeviceMode(kNormalMode), 0);
  EXPECT_EQ(guider().mode(), ControllerMode::kNormal);
  // No switch command: the firmware came up in the wanted mode.
  EXPECT_EQ(received(), (Bytes{0xAA, 0x01, 0x01, 0x42, 0x00}));
  EXPECT_EQ(waits(), (Waits{100}));
}

TEST_P(HandshakeTest, OddProbeAnswerIsAWrongModeEitherWay) {
  StartIn(ControllerMode::kNormal);
  guider().ReplaceNextAnswer(0x00, {0x42});
  EXPECT_EQ(EnterDeviceMode(kNormalMode), 0);
  EXPECT_EQ(received(), (Bytes{0x00, 0xE1, 0xAA, 0x01, 0x01, 0x42, 0x00}));

  StartIn(ControllerMode::kUpdate);
  guider().ReplaceNextAnswer(0x00, {0x42});
  EXPECT_EQ(EnterDeviceMode(kUpdateMode), 0);
  EXPECT_EQ(received(), (Bytes{0x00, 0xEB, 0xAA, 0x01, 0x01, 0x42, 0x00}));
}

TEST_P(HandshakeTest, ModeThatWillNotChangeGivesUpAfterTwoSwitches) {
  StartIn(ControllerMode::kNormal);
  // This firmware restarts on the switch but always comes back in normal mode.
  guider().AddCommand(ControllerMode::kNormal, 0xEB, [](sim::HandController& c) {
    c.RestartIntoBootLoader(ControllerMode::kNormal);
  });
  EXPECT_EQ(EnterDeviceMode(kUpdateMode), -1);
  EXPECT_FALSE(g_device.IsOpen());
  EXPECT_EQ(std::string(g_protocolMessage), Framed("can't switch to normal mode (2nd try)"));
  const Bytes pass = {0x00, 0xEB, 0xAA, 0x01, 0x01, 0x42};
  Bytes both = pass;
  both.insert(both.end(), pass.begin(), pass.end());
  // Two probes and two switches; no third probe.
  EXPECT_EQ(received(), both);
  EXPECT_EQ(waits(), (Waits{100, 1000, 200, 100, 1000, 200}));
}

TEST_P(HandshakeTest, NoBootLoaderAfterTheSwitch) {
  StartIn(ControllerMode::kNormal);
  // This firmware ignores the switch command.
  guider().AddCommand(ControllerMode::kNormal, 0xEB, [](sim::HandController&) {});
  EXPECT_EQ(EnterDeviceMode(kUpdateMode), -1);
  EXPECT_FALSE(g_device.IsOpen());
  EXPECT_EQ(std::string(g_protocolMessage),
            Framed("can't enter boot mode from normal - device may be in invalid state"));
}

TEST_P(HandshakeTest, SilentGuiderDoesNotRespond) {
  StartIn(ControllerMode::kOff);
  EXPECT_EQ(EnterDeviceMode(kNormalMode), 1);
  EXPECT_FALSE(g_device.IsOpen());
  EXPECT_EQ(std::string(g_protocolMessage), Framed("device does not respond...\n"));
}

TEST_P(HandshakeTest, GuiderThatDiesAfterTheSwitchIsReported) {
  StartIn(ControllerMode::kNormal);
  guider().PowerOffAfterReceived(2);  // the probe, then the switch
  EXPECT_EQ(EnterDeviceMode(kUpdateMode), -1);
  EXPECT_FALSE(g_device.IsOpen());
  EXPECT_EQ(std::string(g_protocolMessage),
            Framed("can't enter boot mode from normal - device may be in invalid state"));
}

TEST_P(HandshakeTest, OnlyUpdateAndNormalModeCanBeEntered) {
  StartIn(ControllerMode::kNormal);
  std::snprintf(g_protocolMessage, sizeof g_protocolMessage, "%s", "earlier text");
  EXPECT_EQ(EnterDeviceMode(kBootMode), -1);
  EXPECT_EQ(EnterDeviceMode(4), -1);
  EXPECT_EQ(std::string(g_protocolMessage), "earlier text");
  EXPECT_FALSE(g_device.IsOpen());
  EXPECT_TRUE(guider().line_trace().empty());
}

// ---- StartFirmware, QueryFirmwareVersion, DisconnectDevice ----

TEST_P(HandshakeTest, StartFirmwareFromTheBootLoader) {
  StartIn(ControllerMode::kBootLoader);
  ASSERT_EQ(ConnectCommandMode(), 0);
  EXPECT_EQ(StartFirmware(), 0);
  EXPECT_EQ(waits(), (Waits{100}));
  EXPECT_EQ(guider().mode(), ControllerMode::kNormal);
}

TEST_P(HandshakeTest, FirmwareVersionAgainstAMinimum) {
  sim::HandControllerConfig config;
  config.firmwareVersion = 0x0203;
  Start(config);
  ASSERT_EQ(EnterDeviceMode(kNormalMode), 0);
  EXPECT_EQ(QueryFirmwareVersion(0x0204), 1);
  EXPECT_EQ(sent().back(), 0x02);  // 0x03 0x03 0x02: echo, then low byte first

  config.firmwareVersion = 0x0260;
  Start(config);
  ASSERT_EQ(EnterDeviceMode(kNormalMode), 0);
  EXPECT_EQ(QueryFirmwareVersion(0x0204), 0x0260);
  EXPECT_TRUE(g_device.IsOpen());
}

TEST_P(HandshakeTest, FirmwareWithoutTheVersionRequest) {
  StartIn(ControllerMode::kNormal);
  ASSERT_EQ(EnterDeviceMode(kNormalMode), 0);
  std::snprintf(g_protocolMessage, sizeof g_protocolMessage, "%s", "earlier text");
  guider().ReplaceNextAnswer(0x03, {});
  EXPECT_EQ(QueryFirmwareVersion(0x0204), 0);
  EXPECT_TRUE(g_device.IsOpen());
  EXPECT_EQ(std::string(g_protocolMessage), "earlier text");

  guider().ReplaceNextAnswer(0x03, {0x14});
  EXPECT_EQ(QueryFirmwareVersion(0x0204), 0);
}

TEST_P(HandshakeTest, VersionCutShortIsALinkFailure) {
  StartIn(ControllerMode::kNormal);
  ASSERT_EQ(EnterDeviceMode(kNormalMode), 0);
  guider().ReplaceNextAnswer(0x03, {0x03, 0x60});
  EXPECT_EQ(QueryFirmwareVersion(0x0204), -1);
  EXPECT_FALSE(g_device.IsOpen());
  EXPECT_EQ(std::string(g_protocolMessage).rfind("FT232 error\n (", 0), 0u);
}

TEST_P(HandshakeTest, DisconnectEmptiesTheMessageAndCloses) {
  StartIn(ControllerMode::kOff);
  EXPECT_EQ(EnterDeviceMode(kNormalMode), 1);
  ASSERT_NE(g_protocolMessage[0], '\0');
  ASSERT_EQ(g_device.Open(), 0);
  EXPECT_EQ(DisconnectDevice(), 0);
  EXPECT_EQ(g_protocolMessage[0], '\0');
  EXPECT_FALSE(g_device.IsOpen());
}

// ---- Power ON and RESET pulses ----

TEST_P(HandshakeTest, PowerOnPulsesASwitchedOffGuiderOn) {
  StartIn(ControllerMode::kOff);
  EXPECT_TRUE(PowerOnGuider());
  EXPECT_FALSE(g_device.IsOpen());
  EXPECT_EQ(waits(), (Waits{50, 50}));
  // CBUS1 went high as an output for 50 ms, then low.
  const auto& history = guider().cbus_history();
  ASSERT_GE(history.size(), 2u);
  const sim::CbusSample& high = history[history.size() - 2];
  const sim::CbusSample& low = history.back();
  EXPECT_EQ(high.directions & 0x02, 0x02);
  EXPECT_EQ(high.levels & 0x02, 0x02);
  EXPECT_EQ(low.levels & 0x02, 0x00);
  EXPECT_EQ(low.atMicros - high.atMicros, 50'000);

  EXPECT_EQ(ProbeDeviceMode(), kNormalMode);
}

TEST_P(HandshakeTest, PowerOnLeavesARunningGuiderAlone) {
  StartIn(ControllerMode::kNormal);
  const DirectResult result = PowerOnGuider();
  EXPECT_EQ(result.outcome, DirectOutcome::kAlreadyRunning);
  EXPECT_EQ(result.runningMode, kNormalMode);
  EXPECT_TRUE(waits().empty());
  EXPECT_TRUE(g_device.IsOpen());  // as the probe left it
  for (const sim::CbusSample& s : guider().cbus_history()) EXPECT_EQ(s.levels, 0x00);
}

TEST_P(HandshakeTest, ResetRestartsTheGuider) {
  StartIn(ControllerMode::kUpdate);
  EXPECT_TRUE(ResetGuider());
  EXPECT_FALSE(g_device.IsOpen());
  EXPECT_EQ(waits(), (Waits{50, 50, 100}));
  const auto& history = guider().cbus_history();
  ASSERT_GE(history.size(), 2u);
  EXPECT_EQ(history[history.size() - 2].levels & 0x01, 0x01);
  EXPECT_EQ(history.back().levels & 0x01, 0x00);
  EXPECT_EQ(ProbeDeviceMode(), kUpdateMode);
}

TEST_P(HandshakeTest, ResetSwitchesAnOffGuiderOn) {
  StartIn(ControllerMode::kOff);
  EXPECT_TRUE(ResetGuider());
  EXPECT_EQ(ProbeDeviceMode(), kNormalMode);
}

}  // namespace ktal::testing
