// SPDX-License-Identifier: GPL-3.0-or-later
#include "sim/vui_requests.h"

#include <memory>

#include "sim/front_panel.h"
#include "sim/hand_controller.h"

namespace ktal::sim {

namespace {

constexpr std::uint8_t kPrefix = 0x5D;
constexpr std::uint8_t kReadScreen = 0x0D;
constexpr std::uint8_t kReadLeds = 0x0A;
constexpr std::uint8_t kKey = 0x01;
constexpr std::int64_t kSwitchOffMicros = 1'000'000;

class PanelRequest final : public Request {
 public:
  explicit PanelRequest(FrontPanel& panel) : panel_(panel) {}

  bool OnByte(HandController& hc, std::uint8_t byte) override {
    switch (step_) {
      case Step::kPrefix:
        hc.Send(kPrefix);
        step_ = Step::kCommand;
        return true;
      case Step::kCommand:
        command_ = byte;
        arguments_ = 0;
        if (byte == kReadScreen || byte == kReadLeds || byte == kKey) {
          step_ = Step::kArguments;
          return true;
        }
        break;
      case Step::kArguments:
        argument_[arguments_++] = byte;
        if (command_ == kReadScreen && arguments_ < 3) return true;
        Serve(hc);
        break;
    }
    Abort();
    return false;
  }
  void Abort() override { step_ = Step::kPrefix; }

 private:
  enum class Step { kPrefix, kCommand, kArguments };

  void Serve(HandController& hc) {
    const std::int64_t now = hc.clock().NowMicros();
    const std::uint16_t version = hc.config().firmwareVersion;
    if (command_ == kReadScreen) {
      const ScreenFrame& screen = panel_.Screen(now, version);
      const int start = argument_[0] | argument_[1] << 8;
      const int count = argument_[2] == 0 ? 256 : argument_[2];
      for (int i = start; i < start + count; ++i) {
        hc.Send(i < kPanelFrameBytes ? screen[static_cast<std::size_t>(i)] : std::uint8_t{0});
      }
    } else if (command_ == kReadLeds) {
      if (panel_.ledsSupported) hc.Send(panel_.Leds(now));
    } else if (panel_.OnKey(argument_[0], now, version)) {
      FrontPanel& panel = panel_;
      hc.After(kSwitchOffMicros, [&hc, &panel] {
        panel.Reset();
        hc.PowerOff();
      });
    }
  }

  FrontPanel& panel_;
  Step step_ = Step::kPrefix;
  std::uint8_t command_ = 0;
  std::uint8_t argument_[3] = {};
  int arguments_ = 0;
};

}  // namespace

void InstallVuiRequests(HandController& controller, FrontPanel& panel) {
  controller.AddRequest(ControllerMode::kNormal, kPrefix, std::make_unique<PanelRequest>(panel));
}

}  // namespace ktal::sim
