// SPDX-License-Identifier: GPL-3.0-or-later
#include "sim/camera_requests.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <span>

#include "sim/hand_controller.h"

namespace ktal::sim {
namespace {

constexpr std::uint8_t kCameraMode = 0xDC;
constexpr std::uint8_t kLeaveCameraMode = 0xFF;
constexpr std::uint8_t kQueryState = 0xC0;
constexpr std::uint8_t kStart = 0xC1;
constexpr std::uint8_t kReadMemory = 0x33;
constexpr std::uint8_t kWriteMemory = 0x3C;
constexpr std::uint8_t kCommand = 0x5A;
constexpr std::uint8_t kGeometry = 0x58;
constexpr std::uint8_t kExposureEnd = 0x55;
constexpr std::uint8_t kDownload = 0xEE;

constexpr std::uint8_t kNoCameraMode = 0x00;
constexpr std::uint8_t kAccepted = 0x00;
constexpr std::uint8_t kRefused = 0x0F;
constexpr std::uint8_t kReady = 0x00;
constexpr std::uint8_t kStarted = 0x00;

constexpr std::uint8_t kSubD9 = 0xD9;
constexpr std::uint8_t kSubD0 = 0xD0;
constexpr std::uint8_t kSub6B = 0x6B;
constexpr std::uint8_t kPrepare = 0xC4;
constexpr std::uint8_t kExtraPresent = 0x40;
constexpr std::int64_t kMicrosPerTick = 64;
constexpr std::uint32_t kRunningBaud = 250000;

// Echoes `command`, or sends what a fault put in its place.
void Acknowledge(HandController& hc, CameraState& state, std::uint8_t command) {
  auto& acks = state.faults.acks;
  const auto fault = acks.find(command);
  if (fault == acks.end()) {
    hc.Send(command);
    return;
  }
  const std::vector<std::uint8_t> answer = std::move(fault->second);
  acks.erase(fault);
  hc.Send(answer);
}

int Word(std::span<const std::uint8_t> bytes, std::size_t at) {
  return bytes[at] | bytes[at + 1] << 8;
}

void SendWord(HandController& hc, std::uint16_t word) {
  const std::uint8_t bytes[] = {static_cast<std::uint8_t>(word & 0xFF),
                                static_cast<std::uint8_t>(word >> 8)};
  hc.Send(bytes);
}

// 0x33 and 0x3C: command, count, address, and for a write the data.
class MemoryRequest final : public Request {
 public:
  MemoryRequest(CameraState& state, bool write) : state_(state), write_(write) {}

  bool OnByte(HandController& hc, std::uint8_t byte) override {
    if (step_ == 0) {
      Acknowledge(hc, state_, write_ ? kWriteMemory : kReadMemory);
      step_ = 1;
      return true;
    }
    if (step_ < 4) {
      header_[step_ - 1] = byte;
      if (++step_ < 4) return true;
      count_ = header_[0];
      address_ = static_cast<std::size_t>(header_[1] | header_[2] << 8);
      data_.clear();
      if (!write_) {
        AnswerRead(hc);
        return Done();
      }
      return count_ > 0 || Finish(hc);
    }
    data_.push_back(byte);
    if (data_.size() < count_) return true;
    return Finish(hc);
  }

  void Abort() override { step_ = 0; }

 private:
  bool Done() {
    step_ = 0;
    return false;
  }

  std::uint16_t Status() {
    if (auto& fault = state_.faults.memoryStatus) {
      const std::uint16_t status = *fault;
      fault.reset();
      return status;
    }
    if (state_.state == 0) return kCameraOffStatus;
    if (address_ + count_ > kCameraMemoryBytes) return kMemoryRangeStatus;
    return 0;
  }

  void AnswerRead(HandController& hc) {
    const std::uint16_t status = Status();
    SendWord(hc, status);
    for (std::size_t i = 0; i < count_; ++i) {
      const std::size_t at = address_ + i;
      hc.Send(status == 0 && at < kCameraMemoryBytes ? state_.memory[at] : std::uint8_t{0});
    }
  }

  // The camera writes its memory, then answers.
  bool Finish(HandController& hc) {
    const std::uint16_t status = Status();
    if (status == 0) {
      std::copy(data_.begin(), data_.end(),
                state_.memory.begin() + static_cast<std::ptrdiff_t>(address_));
    }
    hc.After(state_.memoryWriteMicros, [&hc, status] { SendWord(hc, status); });
    return Done();
  }

  CameraState& state_;
  const bool write_;
  int step_ = 0;
  std::uint8_t header_[3] = {};
  std::size_t count_ = 0;
  std::size_t address_ = 0;
  std::vector<std::uint8_t> data_;
};

// 0x5A: length and payload.
class CommandRequest final : public Request {
 public:
  explicit CommandRequest(CameraState& state) : state_(state) {}

  bool OnByte(HandController& hc, std::uint8_t byte) override {
    if (step_ == 0) {
      Acknowledge(hc, state_, kCommand);
      step_ = 1;
      return true;
    }
    if (step_ == 1) {
      length_ = byte;
      payload_.clear();
      step_ = 2;
      if (length_ > 0) return true;
    } else {
      payload_.push_back(byte);
      if (payload_.size() < length_) return true;
    }
    step_ = 0;
    Answer(hc);
    return false;
  }

  void Abort() override { step_ = 0; }

 private:
  void Answer(HandController& hc) {
    CameraFaults& faults = state_.faults;
    const bool refusedByFault = faults.refuseCommand > 0 && --faults.refuseCommand == 0;
    std::optional<std::uint8_t> answer;
    if (!refusedByFault && state_.state != 0) answer = Carry(hc);
    if (!answer) {
      hc.Send(kRefused);
      return;
    }
    const std::uint8_t reply[] = {kAccepted, *answer};
    hc.Send(reply);
  }

  // Carries the command out; its answer byte, or nothing when refused.
  std::optional<std::uint8_t> Carry(HandController& hc) {
    const std::span<const std::uint8_t> p(payload_);
    if (p.size() == 2) {
      switch (p[0]) {
        case kSubD9:
          state_.parameterD9 = p[1];
          return 0;
        case kSubD0:
          state_.parameterD0 = p[1];
          return 0;
        case kSub6B:
          state_.parameter6B = p[1];
          return 0;
        case kPrepare: {
          auto& fault = state_.faults.prepareAnswer;
          const std::uint8_t ready = fault.value_or(kReady);
          fault.reset();
          return ready;
        }
        default:
          return std::nullopt;
      }
    }
    if (p.size() != 13 && p.size() != 14) return std::nullopt;
    const bool extra = (p[11] & kExtraPresent) != 0;
    if (p.size() != (extra ? 14u : 13u)) return std::nullopt;
    ExposureSettings exposure;
    exposure.width = Word(p, 0);
    exposure.height = Word(p, 2);
    exposure.xOffset = Word(p, 4);
    exposure.yOffset = Word(p, 6);
    exposure.ticks = Word(p, 8);
    exposure.option = p[10];
    exposure.modeByte = p[11];
    if (extra) exposure.extraValue = p[12];
    exposure.flags = p.back();
    state_.lastExposure = exposure;
    ++state_.exposures;
    state_.exposureEndsAt = hc.clock().NowMicros() + exposure.ticks * kMicrosPerTick;
    return 0;
  }

  CameraState& state_;
  int step_ = 0;
  std::size_t length_ = 0;
  std::vector<std::uint8_t> payload_;
};

// 0x58 and the reply length.
class GeometryRequest final : public Request {
 public:
  explicit GeometryRequest(CameraState& state) : state_(state) {}

  bool OnByte(HandController& hc, std::uint8_t byte) override {
    if (!have_command_) {
      Acknowledge(hc, state_, kGeometry);
      have_command_ = true;
      return true;
    }
    have_command_ = false;
    const std::uint16_t words[] = {state_.reportedWidth, state_.reportedHeight,
                                   state_.reportedThird};
    std::vector<std::uint8_t> reply;
    for (const std::uint16_t w : words) {
      reply.push_back(static_cast<std::uint8_t>(w & 0xFF));
      reply.push_back(static_cast<std::uint8_t>(w >> 8));
    }
    std::size_t length = std::min<std::size_t>(byte, reply.size());
    if (auto& fault = state_.faults.geometryReplyBytes) {
      length = std::min<std::size_t>(static_cast<std::size_t>(std::max(*fault, 0)), length);
      fault.reset();
    }
    hc.Send(std::span<const std::uint8_t>(reply.data(), length));
    return false;
  }

  void Abort() override { have_command_ = false; }

 private:
  CameraState& state_;
  bool have_command_ = false;
};

// 0xEE and the block requests that follow at 2000000 baud.
class DownloadRequest final : public Request {
 public:
  explicit DownloadRequest(CameraState& state) : state_(state) {}

  bool OnByte(HandController& hc, std::uint8_t byte) override {
    if (step_ < 6) {
      header_[step_] = byte;
      if (++step_ < 6) return true;
      Begin(hc);
      return true;
    }
    return SendBlock(hc);
  }

  void Abort() override {
    step_ = 0;
    ++requests_;  // voids a pending idle check
  }

 private:
  void Begin(HandController& hc) {
    Acknowledge(hc, state_, kDownload);
    const std::size_t total =
        header_[1] | header_[2] << 8 | static_cast<std::size_t>(header_[3]) << 16;
    frame_ = state_.ExposedFrame();
    frame_.resize(total, 0);
    sent_ = 0;
    block_ = 0;
    ++state_.downloads;
    state_.blocksSent = 0;
    // The echo above still goes out at 250000 baud: each byte keeps the
    // speed it was sent at.
    hc.SetLineBaud(kDownloadBaud);
    WatchForSilence(hc);
  }

  bool SendBlock(HandController& hc) {
    ++requests_;
    ++block_;
    std::size_t length = std::min<std::size_t>(kDownloadBlockBytes, frame_.size() - sent_);
    bool cut = false;
    auto& fault = state_.faults.shortBlock;
    if (fault && fault->block == block_) {
      length = std::min(length, static_cast<std::size_t>(std::max(fault->bytes, 0)));
      fault.reset();
      cut = true;
    }
    hc.Send(std::span<const std::uint8_t>(frame_.data() + sent_, length));
    sent_ += length;
    ++state_.blocksSent;
    if (cut || sent_ >= frame_.size()) return End(hc);
    WatchForSilence(hc);
    return true;
  }

  bool End(HandController& hc) {
    hc.SetLineBaud(kRunningBaud);
    step_ = 0;
    frame_.clear();
    return false;
  }

  // A host that stopped asking has given up: the guider goes back to its
  // running speed, where the host will talk to it next.
  void WatchForSilence(HandController& hc) {
    const std::uint64_t seen = requests_;
    hc.After(hc.config().requestIdleMicros, [this, &hc, seen] {
      if (step_ == 6 && requests_ == seen) End(hc);
    });
  }

  CameraState& state_;
  int step_ = 0;
  std::uint8_t header_[6] = {};
  std::vector<std::uint8_t> frame_;
  std::size_t sent_ = 0;
  int block_ = 0;
  std::uint64_t requests_ = 0;
};

}  // namespace

std::vector<std::uint8_t> CameraState::ExposedFrame() const {
  if (!lastExposure || exposures == 0) return {};
  const ExposureSettings& e = *lastExposure;
  const bool fullRows = (e.modeByte & 0x03) == 1;
  // Only the pixels the window shows are made.
  const int darkWidth = std::min(e.width, kSensorWidth);
  const std::vector<std::uint8_t> dark = darks.Window(
      exposures - 1, static_cast<double>(e.ticks * kMicrosPerTick) / 1e6, e.width, e.height);
  const auto bias =
      static_cast<std::uint8_t>(std::clamp(std::floor(darks.options().bias + 0.5), 0.0, 255.0));
  const auto pixel = [&](int x, int y) -> int {
    if (x >= kSensorWidth || y >= kSensorHeight) return bias;
    return dark[static_cast<std::size_t>(y * darkWidth + x)];
  };
  const int rows = fullRows ? e.height : e.height / 2;
  std::vector<std::uint8_t> frame;
  frame.reserve(static_cast<std::size_t>(e.width * rows));
  for (int r = 0; r < rows; ++r) {
    for (int x = 0; x < e.width; ++x) {
      const int value =
          fullRows ? pixel(x, r) : std::min(255, pixel(x, 2 * r) + pixel(x, 2 * r + 1));
      frame.push_back(static_cast<std::uint8_t>(value));
    }
  }
  return frame;
}

void InstallCameraRequests(HandController& controller, CameraState& state) {
  constexpr ControllerMode kMode = ControllerMode::kCamera;
  controller.AddCommand(ControllerMode::kFileSystem, kCameraMode, [&state](HandController& hc) {
    if (!state.cameraModeSupported) {
      hc.Send(kNoCameraMode);
      return;
    }
    Acknowledge(hc, state, kCameraMode);
    hc.EnterMode(ControllerMode::kCamera);
  });
  controller.AddCommand(kMode, kLeaveCameraMode,
                        [](HandController& hc) { hc.EnterMode(ControllerMode::kFileSystem); });
  controller.AddCommand(kMode, kQueryState, [&state](HandController& hc) {
    Acknowledge(hc, state, kQueryState);
    hc.Send(state.state);
  });
  controller.AddCommand(kMode, kStart, [&state](HandController& hc) {
    Acknowledge(hc, state, kStart);
    hc.After(state.startMicros, [&hc, &state] {
      auto& fault = state.faults.startAnswer;
      const std::uint8_t answer = fault.value_or(kStarted);
      fault.reset();
      if (answer == kStarted) state.state = 1;
      hc.Send(answer);
    });
  });
  controller.AddCommand(kMode, kExposureEnd, [&state](HandController& hc) {
    const std::int64_t left = state.exposureEndsAt - hc.clock().NowMicros();
    if (left <= 0) {
      Acknowledge(hc, state, kExposureEnd);
      return;
    }
    hc.After(left, [&hc, &state] { Acknowledge(hc, state, kExposureEnd); });
  });
  controller.AddRequest(kMode, kReadMemory, std::make_unique<MemoryRequest>(state, false));
  controller.AddRequest(kMode, kWriteMemory, std::make_unique<MemoryRequest>(state, true));
  controller.AddRequest(kMode, kCommand, std::make_unique<CommandRequest>(state));
  controller.AddRequest(kMode, kGeometry, std::make_unique<GeometryRequest>(state));
  controller.AddRequest(kMode, kDownload, std::make_unique<DownloadRequest>(state));
}

}  // namespace ktal::sim
