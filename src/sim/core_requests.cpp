// SPDX-License-Identifier: GPL-3.0-or-later
#include "sim/core_requests.h"

#include <memory>

#include "sim/hand_controller.h"

namespace ktal::sim {
namespace {

constexpr std::uint8_t kIdentify = 0xAA;
constexpr std::uint8_t kIdentifyArgument = 0x01;
constexpr std::uint8_t kStartFirmware = 'B';
constexpr std::uint8_t kProbe = 0x00;
constexpr std::uint8_t kToUpdateMode = 0xEB;
constexpr std::uint8_t kToNormalMode = 0xE1;
constexpr std::uint8_t kVersion = 0x03;

// 0xAA 0x01 0x01. The boot loader only answers the complete command, so a
// line glitch in the middle gets no half answer.
class IdentifyRequest final : public Request {
 public:
  bool OnByte(HandController& controller, std::uint8_t byte) override {
    if (received_ == 0) {
      received_ = 1;  // the command byte itself
      return true;
    }
    if (byte != kIdentifyArgument) {
      received_ = 0;
      return false;
    }
    if (++received_ < 3) return true;
    received_ = 0;
    controller.Send(controller.config().identifier);
    return false;
  }
  void Abort() override { received_ = 0; }

 private:
  int received_ = 0;
};

void InstallFirmwareCommon(HandController& controller, ControllerMode mode) {
  const std::uint8_t probeAnswer = mode == ControllerMode::kUpdate ? 0xFF : 0x00;
  controller.AddCommand(mode, kProbe, [probeAnswer](HandController& hc) { hc.Send(probeAnswer); });
  controller.AddCommand(mode, kToUpdateMode, [](HandController& hc) {
    hc.RestartIntoBootLoader(ControllerMode::kUpdate);
  });
  controller.AddCommand(mode, kToNormalMode, [](HandController& hc) {
    hc.RestartIntoBootLoader(ControllerMode::kNormal);
  });
}

}  // namespace

void InstallCoreRequests(HandController& controller) {
  controller.AddRequest(ControllerMode::kBootLoader, kIdentify,
                        std::make_unique<IdentifyRequest>());
  controller.AddCommand(ControllerMode::kBootLoader, kStartFirmware,
                        [](HandController& hc) { hc.StartFirmware(); });

  InstallFirmwareCommon(controller, ControllerMode::kUpdate);
  InstallFirmwareCommon(controller, ControllerMode::kNormal);

  controller.AddCommand(ControllerMode::kNormal, kVersion, [](HandController& hc) {
    const std::uint16_t version = hc.config().firmwareVersion;
    const std::uint8_t answer[] = {kVersion, static_cast<std::uint8_t>(version & 0xFF),
                                   static_cast<std::uint8_t>(version >> 8)};
    hc.Send(answer);
  });
}

}  // namespace ktal::sim
