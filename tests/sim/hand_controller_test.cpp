// SPDX-License-Identifier: GPL-3.0-or-later
#include "sim/hand_controller.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <tuple>
#include <vector>

namespace ktal::sim {
namespace {

using Bytes = std::vector<std::uint8_t>;

const LineSettings kBoot{9600};
const LineSettings kFirmware{250000};

// The hand controller with a sink that takes every byte, the way a chip at
// the right speed would.
struct Bench {
  explicit Bench(HandControllerConfig config = {}) : guider(clock, config) {
    guider.SetSink([this](std::uint8_t byte, const LineSettings& sender) {
      received.push_back(byte);
      bauds.push_back(sender.baud);
      return LineFate::kDelivered;
    });
  }
  void Host(const Bytes& bytes, const LineSettings& line) {
    for (const std::uint8_t b : bytes) guider.ReceiveFromHost(b, line);
  }
  // What the guider answers to `bytes`.
  Bytes Ask(const Bytes& bytes, const LineSettings& line) {
    received.clear();
    Host(bytes, line);
    return received;
  }
  // CBUS line `bit` driven high for `highMicros`, then low.
  void Pulse(std::uint8_t bit, std::int64_t highMicros) {
    guider.OnCbusChanged(bit, bit);
    clock.AdvanceBy(highMicros);
    guider.OnCbusChanged(bit, 0);
  }

  VirtualClock clock;
  HandController guider;
  Bytes received;
  std::vector<std::uint32_t> bauds;
};

HandControllerConfig Starting(ControllerMode mode) {
  HandControllerConfig config;
  config.startMode = mode;
  return config;
}

const Bytes kIdentify{0xAA, 0x01, 0x01};

// ---- Boot loader ----

TEST(BootLoaderTest, AnswersIdentifyOnlyAt9600) {
  Bench bench(Starting(ControllerMode::kBootLoader));
  EXPECT_EQ(bench.Ask(kIdentify, kFirmware), Bytes{});
  EXPECT_EQ(bench.guider.line_trace().back().fate, LineFate::kBaudMismatch);

  EXPECT_EQ(bench.Ask(kIdentify, kBoot), (Bytes{0x55, 0x03, 0x01, 0x80, 0x01}));
  EXPECT_EQ(bench.bauds.back(), 9600u);
}

TEST(BootLoaderTest, SpeedsWithinThreePercentAgree) {
  Bench bench(Starting(ControllerMode::kBootLoader));
  EXPECT_EQ(bench.Ask(kIdentify, LineSettings{9888}).size(), 5u);
  EXPECT_EQ(bench.Ask(kIdentify, LineSettings{9312}).size(), 5u);
  EXPECT_EQ(bench.Ask(kIdentify, LineSettings{9900}), Bytes{});
  EXPECT_EQ(bench.Ask(kIdentify, LineSettings{9300}), Bytes{});
}

TEST(BootLoaderTest, LineTraceTellsWhatBecameOfEachByte) {
  Bench bench(Starting(ControllerMode::kBootLoader));
  bench.Host({0xAA}, kFirmware);
  bench.clock.AdvanceBy(1042);
  bench.Host({0xAA, 0x01, 0x01}, kBoot);
  const std::string text = FormatLineTrace(bench.guider.line_trace());
  EXPECT_EQ(text.substr(0, text.find('\n') + 1),
            "       0.000 ms  host>guider  AA  250000  (baud mismatch)\n");
  EXPECT_NE(text.find("       1.042 ms  guider>host  55  9600\n"), std::string::npos) << text;
}

TEST(BootLoaderTest, ConfiguredIdentifierAndWrongFormatLost) {
  HandControllerConfig config = Starting(ControllerMode::kBootLoader);
  config.identifier = {0x55, 0x04, 0x01, 0x80, 0x01};
  Bench bench(config);
  LineSettings sevenBits = kBoot;
  sevenBits.wordLength = 7;
  EXPECT_EQ(bench.Ask(kIdentify, sevenBits), Bytes{});
  EXPECT_EQ(bench.guider.line_trace().back().fate, LineFate::kFormatMismatch);
  EXPECT_EQ(bench.Ask(kIdentify, kBoot), (Bytes{0x55, 0x04, 0x01, 0x80, 0x01}));
}

TEST(BootLoaderTest, BrokenIdentifyGetsNoAnswerButTheNextOneDoes) {
  Bench bench(Starting(ControllerMode::kBootLoader));
  EXPECT_EQ(bench.Ask({0xAA, 0x01, 0x02}, kBoot), Bytes{});
  EXPECT_EQ(bench.Ask(kIdentify, kBoot).size(), 5u);
}

TEST(BootLoaderTest, StartFirmwareAnswersProbeWithinHundredMs) {
  Bench bench(Starting(ControllerMode::kBootLoader));
  EXPECT_EQ(bench.guider.selected_firmware_mode(), ControllerMode::kNormal);
  bench.Host({'B'}, kBoot);
  EXPECT_EQ(bench.guider.mode(), ControllerMode::kRestarting);
  EXPECT_EQ(bench.Ask({0x00}, kFirmware), Bytes{});  // still starting
  EXPECT_EQ(bench.guider.line_trace().back().fate, LineFate::kNotListening);
  bench.clock.AdvanceBy(100'000);
  EXPECT_EQ(bench.guider.mode(), ControllerMode::kNormal);
  EXPECT_EQ(bench.Ask({0x00}, kFirmware), Bytes{0x00});
  EXPECT_EQ(bench.Ask(kIdentify, kBoot), Bytes{});  // the boot loader is gone
}

// ---- Running firmware ----

TEST(FirmwareTest, ProbeTellsTheMode) {
  Bench normal;
  EXPECT_EQ(normal.Ask({0x00}, kFirmware), Bytes{0x00});
  EXPECT_EQ(normal.Ask({0x00}, kBoot), Bytes{});  // a 9600-baud probe is garbage to it
  Bench update(Starting(ControllerMode::kUpdate));
  EXPECT_EQ(update.Ask({0x00}, kFirmware), Bytes{0xFF});
}

TEST(FirmwareTest, VersionOnlyInNormalMode) {
  HandControllerConfig config;
  config.firmwareVersion = 0x0203;
  Bench normal(config);
  EXPECT_EQ(normal.Ask({0x03}, kFirmware), (Bytes{0x03, 0x03, 0x02}));
  Bench update(Starting(ControllerMode::kUpdate));
  EXPECT_EQ(update.Ask({0x03}, kFirmware), Bytes{});
}

TEST(FirmwareTest, SwitchCommandRestartsIntoBootLoaderReadyBeforeTheIdentify) {
  for (const auto& [command, wanted, probe] : {std::tuple{0xEB, ControllerMode::kUpdate, 0xFF},
                                               std::tuple{0xE1, ControllerMode::kNormal, 0x00}}) {
    Bench bench(Starting(command == 0xEB ? ControllerMode::kNormal : ControllerMode::kUpdate));
    bench.Host({static_cast<std::uint8_t>(command)}, kFirmware);
    EXPECT_EQ(bench.guider.mode(), ControllerMode::kRestarting);
    bench.clock.AdvanceBy(299'000);
    EXPECT_EQ(bench.Ask(kIdentify, kBoot), Bytes{}) << "not yet listening";
    bench.clock.AdvanceBy(1'000);
    EXPECT_EQ(bench.guider.mode(), ControllerMode::kBootLoader);
    EXPECT_EQ(bench.guider.selected_firmware_mode(), wanted);
    // The boot loader waits for the host however long it takes.
    bench.clock.AdvanceBy(10'000'000);
    EXPECT_EQ(bench.Ask(kIdentify, kBoot).size(), 5u);
    bench.Host({'B'}, kBoot);
    bench.clock.AdvanceBy(100'000);
    EXPECT_EQ(bench.Ask({0x00}, kFirmware), Bytes{static_cast<std::uint8_t>(probe)});
  }
}

TEST(FirmwareTest, UnknownCommandIsIgnored) {
  Bench bench;
  EXPECT_EQ(bench.Ask({0x5A, 'B', 0xAA}, kFirmware), Bytes{});
  EXPECT_EQ(bench.guider.mode(), ControllerMode::kNormal);
}

// ---- Requests added from outside ----

// A two-byte request that echoes its argument + 1 and then changes mode.
class AddOne final : public Request {
 public:
  bool OnByte(HandController& hc, std::uint8_t byte) override {
    if (!started_) {
      started_ = true;
      return true;
    }
    started_ = false;
    hc.Send(static_cast<std::uint8_t>(byte + 1));
    hc.EnterMode(ControllerMode::kFileSystem);
    return false;
  }
  void Abort() override {
    started_ = false;
    ++aborts;
  }
  bool started_ = false;
  int aborts = 0;
};

TEST(RequestTest, AddedRequestIsFedByteByByteAndMaySwitchMode) {
  Bench bench;
  auto request = std::make_unique<AddOne>();
  bench.guider.AddRequest(ControllerMode::kNormal, 0x77, std::move(request));
  // The argument 0x00 belongs to the request, it is not taken as a probe.
  EXPECT_EQ(bench.Ask({0x77, 0x00}, kFirmware), Bytes{0x01});
  EXPECT_EQ(bench.guider.mode(), ControllerMode::kFileSystem);
  EXPECT_EQ(bench.guider.line().baud, 250000u);
  // File-system mode has no probe of its own yet.
  EXPECT_EQ(bench.Ask({0x00}, kFirmware), Bytes{});
}

TEST(RequestTest, PowerLossAbortsHalfReceivedRequest) {
  Bench bench;
  auto request = std::make_unique<AddOne>();
  AddOne* seen = request.get();
  bench.guider.AddRequest(ControllerMode::kNormal, 0x77, std::move(request));
  bench.Host({0x77}, kFirmware);
  bench.guider.PowerOff();
  EXPECT_EQ(seen->aborts, 1);
  bench.guider.PowerOn();
  bench.clock.AdvanceBy(1'000'000);
  // The 0x00 now is a plain probe again.
  EXPECT_EQ(bench.Ask({0x00}, kFirmware), Bytes{0x00});
}

// ---- CBUS lines ----

TEST(CbusTest, PowerPulseSwitchesOnIntoFirmware) {
  Bench bench(Starting(ControllerMode::kOff));
  EXPECT_EQ(bench.Ask({0x00}, kFirmware), Bytes{});
  bench.Pulse(0x02, 50'000);
  EXPECT_EQ(bench.guider.mode(), ControllerMode::kRestarting);
  bench.clock.AdvanceBy(349'000);
  EXPECT_EQ(bench.guider.mode(), ControllerMode::kRestarting);
  bench.clock.AdvanceBy(1'000);
  EXPECT_EQ(bench.guider.mode(), ControllerMode::kNormal);
  EXPECT_EQ(bench.Ask({0x00}, kFirmware), Bytes{0x00});
  ASSERT_EQ(bench.guider.cbus_history().size(), 2u);
  EXPECT_EQ(bench.guider.cbus_history()[0].levels, 0x02);
  EXPECT_EQ(bench.guider.cbus_history()[1].atMicros - bench.guider.cbus_history()[0].atMicros,
            50'000);
}

TEST(CbusTest, PowerOnModeIsConfigurable) {
  HandControllerConfig config = Starting(ControllerMode::kOff);
  config.powerOnMode = ControllerMode::kUpdate;
  Bench bench(config);
  bench.Pulse(0x02, 50'000);
  bench.clock.AdvanceBy(400'000);
  EXPECT_EQ(bench.Ask({0x00}, kFirmware), Bytes{0xFF});
}

TEST(CbusTest, LinesThatDoNotPulseLeaveItOff) {
  Bench bench(Starting(ControllerMode::kOff));
  bench.Pulse(0x02, 5'000);                // too short for the input filter
  bench.guider.OnCbusChanged(0x00, 0x0F);  // inputs pulled high: nothing driven
  bench.guider.OnCbusChanged(0x0F, 0x00);  // all outputs low, as a link reset leaves them
  bench.guider.OnCbusChanged(0x00, 0x00);
  bench.Pulse(0x04, 50'000);  // CBUS2 is wired to nothing
  bench.clock.AdvanceBy(2'000'000);
  EXPECT_EQ(bench.guider.mode(), ControllerMode::kOff);
}

TEST(CbusTest, ReleasingAHighLineEndsThePulse) {
  Bench bench(Starting(ControllerMode::kOff));
  bench.guider.OnCbusChanged(0x02, 0x02);
  bench.clock.AdvanceBy(50'000);
  bench.guider.OnCbusChanged(0x00, 0x02);  // made an input again
  bench.clock.AdvanceBy(400'000);
  EXPECT_EQ(bench.guider.mode(), ControllerMode::kNormal);
}

TEST(CbusTest, ResetPulseRestartsKeepingTheSelectedMode) {
  Bench bench(Starting(ControllerMode::kUpdate));
  bench.Pulse(0x01, 50'000);
  EXPECT_EQ(bench.guider.mode(), ControllerMode::kRestarting);
  EXPECT_EQ(bench.Ask({0x00}, kFirmware), Bytes{});
  bench.clock.AdvanceBy(350'000);
  EXPECT_EQ(bench.Ask({0x00}, kFirmware), Bytes{0xFF});
}

TEST(CbusTest, ResetPulsePowersOnWhenOff) {
  Bench bench(Starting(ControllerMode::kOff));
  bench.Pulse(0x01, 50'000);
  bench.clock.AdvanceBy(350'000);
  EXPECT_EQ(bench.Ask({0x00}, kFirmware), Bytes{0x00});
}

TEST(CbusTest, PowerPulseOnARunningGuiderChangesNothing) {
  Bench bench;
  bench.Pulse(0x02, 50'000);
  EXPECT_EQ(bench.guider.mode(), ControllerMode::kNormal);
  EXPECT_EQ(bench.Ask({0x00}, kFirmware), Bytes{0x00});
}

// ---- Faults ----

TEST(GuiderFaultTest, SilentGuiderActsButSendsNothing) {
  Bench bench;
  bench.guider.SetSilent(true);
  EXPECT_EQ(bench.Ask({0x00}, kFirmware), Bytes{});
  EXPECT_EQ(bench.guider.line_trace().back().fate, LineFate::kDropped);
  bench.Host({0xEB}, kFirmware);
  EXPECT_EQ(bench.guider.mode(), ControllerMode::kRestarting);
  bench.guider.SetSilent(false);
  bench.clock.AdvanceBy(300'000);
  EXPECT_EQ(bench.Ask(kIdentify, kBoot).size(), 5u);
}

TEST(GuiderFaultTest, ReplacedAnswerIsUsedOnce) {
  Bench bench;
  bench.guider.ReplaceNextAnswer(0x00, {0x55});
  bench.guider.ReplaceNextAnswer(0x03, {0x03, 0x60});
  EXPECT_EQ(bench.Ask({0x03}, kFirmware), (Bytes{0x03, 0x60}));
  EXPECT_EQ(bench.Ask({0x00}, kFirmware), Bytes{0x55});
  EXPECT_EQ(bench.Ask({0x00}, kFirmware), Bytes{0x00});
  EXPECT_EQ(bench.Ask({0x03}, kFirmware), (Bytes{0x03, 0x60, 0x02}));
}

TEST(GuiderFaultTest, ReplacedIdentifyAnswerWaitsForTheWholeCommand) {
  Bench bench(Starting(ControllerMode::kBootLoader));
  bench.guider.ReplaceNextAnswer(0xAA, {0x55, 0x03});
  EXPECT_EQ(bench.Ask(kIdentify, kBoot), (Bytes{0x55, 0x03}));
  EXPECT_EQ(bench.Ask(kIdentify, kBoot).size(), 5u);
}

TEST(GuiderFaultTest, NthSentByteReplacedOrDropped) {
  Bench bench(Starting(ControllerMode::kBootLoader));
  bench.guider.ReplaceSentByte(2, 0x04);
  bench.guider.DropSentByte(5);
  EXPECT_EQ(bench.Ask(kIdentify, kBoot), (Bytes{0x55, 0x04, 0x01, 0x80}));
  EXPECT_EQ(bench.Ask(kIdentify, kBoot), (Bytes{0x55, 0x03, 0x01, 0x80, 0x01}));
  EXPECT_EQ(bench.guider.SentBytes().size(), 9u);
}

TEST(GuiderFaultTest, DroppedReceivedByteBreaksTheRequest) {
  Bench bench(Starting(ControllerMode::kBootLoader));
  bench.guider.DropReceivedByte(2);
  EXPECT_EQ(bench.Ask(kIdentify, kBoot), Bytes{});
  EXPECT_EQ(bench.guider.ReceivedBytes(), (Bytes{0xAA, 0x01}));
}

TEST(GuiderFaultTest, PowerOffAtTime) {
  Bench bench;
  bench.guider.PowerOffAt(2'000'000);
  bench.clock.AdvanceTo(1'999'999);
  EXPECT_EQ(bench.Ask({0x00}, kFirmware), Bytes{0x00});
  bench.clock.AdvanceTo(2'000'000);
  EXPECT_FALSE(bench.guider.powered());
  EXPECT_EQ(bench.Ask({0x00}, kFirmware), Bytes{});
}

TEST(GuiderFaultTest, PowerOffAfterNthReceivedByte) {
  Bench bench;
  bench.guider.PowerOffAfterReceived(2);
  EXPECT_EQ(bench.Ask({0x00}, kFirmware), Bytes{0x00});
  EXPECT_EQ(bench.Ask({0x00}, kFirmware), Bytes{});  // arrives, power fails
  EXPECT_EQ(bench.guider.line_trace().back().fate, LineFate::kDelivered);
  EXPECT_EQ(bench.guider.mode(), ControllerMode::kOff);
}

TEST(GuiderFaultTest, ClearFaultsRestoresNormalAnswers) {
  Bench bench;
  bench.guider.SetSilent(true);
  bench.guider.ReplaceNextAnswer(0x00, {0x12});
  bench.guider.DropReceivedByte(1);
  bench.guider.PowerOffAt(10);
  bench.guider.ClearFaults();
  bench.clock.AdvanceBy(100);
  EXPECT_EQ(bench.Ask({0x00}, kFirmware), Bytes{0x00});
}

TEST(GuiderFaultTest, PendingRestartDoesNotSurvivePowerLoss) {
  Bench bench;
  bench.Host({0xEB}, kFirmware);
  bench.guider.PowerOff();
  bench.clock.AdvanceBy(1'000'000);
  EXPECT_EQ(bench.guider.mode(), ControllerMode::kOff);
}

}  // namespace
}  // namespace ktal::sim

namespace ktal::sim {
namespace {

// A request that answers, then switches the line to 2 Mbaud, the way the
// camera's frame download does.
class AnswerThenSpeedUp final : public Request {
 public:
  bool OnByte(HandController& hc, std::uint8_t byte) override {
    hc.Send(byte);
    hc.SetLineBaud(2'000'000);
    hc.Send(0x77);
    return false;
  }
};

// A request of three bytes that echoes each one.
class EchoThree final : public Request {
 public:
  bool OnByte(HandController& hc, std::uint8_t byte) override {
    hc.Send(byte);
    return ++count_ % 3 != 0;
  }
  void Abort() override { count_ = 0; }

 private:
  int count_ = 0;
};

TEST(RequestTest, EachAnswerByteKeepsTheSpeedItWasSentAt) {
  Bench bench;
  bench.guider.AddRequest(ControllerMode::kNormal, 0x42, std::make_unique<AnswerThenSpeedUp>());
  EXPECT_EQ(bench.Ask({0x42}, kFirmware), (Bytes{0x42, 0x77}));
  EXPECT_EQ(bench.bauds, (std::vector<std::uint32_t>{250000, 2000000}));
}

TEST(RequestTest, AnswerFaultIsKeyedByTheCommandByte) {
  Bench bench;
  bench.guider.AddRequest(ControllerMode::kNormal, 0x42, std::make_unique<EchoThree>());
  bench.guider.ReplaceNextAnswer(0x42, {0x99});
  // The request's last byte is 0x03, the version command: neither it nor
  // the version request takes the fault.
  EXPECT_EQ(bench.Ask({0x42, 0x01, 0x03}, kFirmware), (Bytes{0x42, 0x01, 0x99}));
  EXPECT_EQ(bench.Ask({0x03}, kFirmware).size(), 3u);
}

TEST(RequestTest, HalfRequestIsForgottenAfterSilence) {
  Bench bench;
  bench.guider.AddRequest(ControllerMode::kNormal, 0x42, std::make_unique<EchoThree>());
  bench.Host({0x42, 0x01}, kFirmware);
  bench.clock.AdvanceBy(400'000);
  // Still within the request: 0x03 is its third byte, not the version.
  EXPECT_EQ(bench.Ask({0x03}, kFirmware), Bytes{0x03});
  bench.Host({0x42}, kFirmware);
  bench.clock.AdvanceBy(600'000);
  EXPECT_EQ(bench.Ask({0x03}, kFirmware), (Bytes{0x03, 0x60, 0x02}));
}

}  // namespace
}  // namespace ktal::sim
