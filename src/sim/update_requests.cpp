// SPDX-License-Identifier: GPL-3.0-or-later
#include "sim/update_requests.h"

#include <memory>
#include <utility>

#include "sim/hand_controller.h"

namespace ktal::sim {
namespace {

constexpr std::uint8_t kBootVersion = 0x14;
constexpr std::uint8_t kFirmwareVersion = 0x2D;
constexpr std::uint8_t kCameraVersions = 0x2E;
constexpr std::uint8_t kUploadHandController = 0xE6;
constexpr std::uint8_t kUploadCamera = 0xC6;
constexpr std::uint8_t kUploadCcdBoard = 0xC7;
constexpr std::uint8_t kReadEeprom = 0x31;
constexpr std::uint8_t kWriteEeprom = 0x32;

constexpr std::uint8_t kAck = 0x11;
constexpr std::uint8_t kByteMode = 0x33;
constexpr std::uint8_t kUploadReady = 0x00;
constexpr std::uint8_t kHandControllerEnd = 0xDC;
constexpr std::uint8_t kCameraEnd = 0x0D;
constexpr std::uint8_t kReadReady = 0xEE;
constexpr std::uint8_t kReadEnd = 0xDE;
constexpr std::uint8_t kWriteReady = 0xEF;
constexpr std::uint8_t kWriteEnd = 0xDF;
constexpr std::uint8_t kEscape = 0x55;
constexpr std::uint8_t kEndMarker = 0xF0;
constexpr std::uint8_t kNextByte = 0x00;
constexpr std::uint8_t kLastByte = 0x33;

constexpr std::size_t kBlockBytes = 15;
constexpr std::size_t kEepromAckEvery = 8;

enum class ImageKind { kHandController, kCamera, kCcdBoard };

// What every transfer shares: its acknowledgements and the answers a test
// may replace.
class Transfer : public Request {
 public:
  explicit Transfer(UpdateModeState& state) : state_(state) {}

 protected:
  // Answers the command byte; false when a fault refused the transfer.
  bool AnswerCommand(HandController& hc, std::uint8_t answer) {
    acks_ = 0;
    auto& fault = state_.faults.commandAnswer;
    if (!fault) {
      hc.Send(answer);
      return true;
    }
    const std::vector<std::uint8_t> sent = std::move(*fault);
    fault.reset();
    hc.Send(sent);
    return sent == std::vector<std::uint8_t>{answer};
  }

  void Ack(HandController& hc) {
    ++acks_;
    auto& fault = state_.faults.ack;
    if (fault && fault->n == acks_) {
      hc.Send(fault->answer);
      fault.reset();
      return;
    }
    hc.Send(kAck);
  }

  std::vector<std::uint8_t> EndAnswer(std::uint8_t end) {
    auto& fault = state_.faults.endAnswer;
    if (!fault) return {end};
    std::vector<std::uint8_t> answer = std::move(*fault);
    fault.reset();
    return answer;
  }

  // The image is in: the device checks it and answers after the check
  // time. A hand controller whose image passed then restarts into its boot
  // loader, its new firmware selected to start in update mode.
  void FinishImage(HandController& hc, ImageKind kind, std::vector<std::uint8_t> image) {
    const std::uint8_t command = kind == ImageKind::kHandController ? kUploadHandController
                                 : kind == ImageKind::kCamera       ? kUploadCamera
                                                                    : kUploadCcdBoard;
    bool passed = true;
    if (state_.faults.checkFailsFor == command) {
      passed = false;
      state_.faults.checkFailsFor.reset();
    }
    const std::uint8_t end = !passed                              ? kCheckFailedEndByte
                             : kind == ImageKind::kHandController ? kHandControllerEnd
                                                                  : kCameraEnd;
    const std::vector<std::uint8_t> answer = EndAnswer(end);
    UpdateModeState& state = state_;
    hc.After(state.imageCheckMicros, [&hc, &state, kind, passed, answer, image] {
      hc.Send(answer);
      switch (kind) {
        case ImageKind::kHandController:
          if (passed) {
            state.handControllerImage = image;
            state.firmwareStatus = 0;
            if (state.firmwareVersionAfterUpload) {
              hc.mutable_config().firmwareVersion = *state.firmwareVersionAfterUpload;
            }
            hc.RestartIntoBootLoader(ControllerMode::kUpdate);
          } else {
            // The old firmware is gone; the update code starts over, ready
            // for another attempt.
            state.firmwareStatus = kFirmwareCrcError;
            hc.EnterMode(ControllerMode::kUpdate);
          }
          break;
        case ImageKind::kCamera:
          if (!passed) break;
          state.cameraImage = image;
          if (state.cameraVersionAfterUpload) {
            state.cameraFirmwareVersion = *state.cameraVersionAfterUpload;
          }
          break;
        case ImageKind::kCcdBoard:
          if (passed) state.ccdBoardImage = image;
          break;
      }
    });
  }

  UpdateModeState& state_;
  int acks_ = 0;
};

class HandControllerUpload final : public Transfer {
 public:
  using Transfer::Transfer;

  bool OnByte(HandController& hc, std::uint8_t byte) override {
    if (!started_) {  // the command byte: no answer before the data
      Abort();
      started_ = true;
      acks_ = 0;
      return true;
    }
    image_.push_back(byte);
    ++arrivals_;
    const std::size_t expected = state_.handControllerImageLength;
    if (expected != 0 && image_.size() >= expected) return End(hc);
    if (byteMode_) {
      Ack(hc);
      return true;
    }
    if (++inBlock_ < kBlockBytes) {
      if (expected == 0) WatchForEnd(hc, kImageEndQuietMicros);
      return true;
    }
    inBlock_ = 0;
    if (++blocks_ == state_.byteModeAfterBlock) {
      hc.Send(kByteMode);
      byteMode_ = true;
    } else {
      Ack(hc);
      if (expected == 0) WatchForEnd(hc, kFullBlockEndQuietMicros);
    }
    return true;
  }

  void Abort() override {
    started_ = false;
    byteMode_ = false;
    inBlock_ = 0;
    blocks_ = 0;
    ++arrivals_;  // voids a pending end watch
    image_.clear();
  }

 private:
  // A block is the last one if nothing follows it within `quietMicros`: the
  // host is then waiting for the end byte.
  void WatchForEnd(HandController& hc, std::int64_t quietMicros) {
    const std::uint64_t seen = arrivals_;
    hc.After(quietMicros, [this, &hc, seen] {
      if (started_ && arrivals_ == seen) End(hc);
    });
  }

  // What follows the check (a restart, or the update code starting over)
  // ends the request.
  bool End(HandController& hc) {
    std::vector<std::uint8_t> image = std::move(image_);
    Abort();
    FinishImage(hc, ImageKind::kHandController, std::move(image));
    return false;
  }

  bool started_ = false;
  bool byteMode_ = false;
  std::size_t inBlock_ = 0;
  int blocks_ = 0;
  std::uint64_t arrivals_ = 0;
  std::vector<std::uint8_t> image_;
};

class CameraUpload final : public Transfer {
 public:
  using Transfer::Transfer;

  bool OnByte(HandController& hc, std::uint8_t byte) override {
    if (!started_) {
      Abort();
      started_ = AnswerCommand(hc, kUploadReady);
      return started_;
    }
    // The camera's boot loader takes the stream's first byte apart from
    // the rest; it counts every later byte on the line.
    if (lineBytes_++ > 0 && ++counted_ == kBlockBytes) {
      counted_ = 0;
      Ack(hc);
    }
    if (escape_) {
      escape_ = false;
      if (byte == kEndMarker) {
        std::vector<std::uint8_t> image = std::move(image_);
        Abort();
        FinishImage(hc, ImageKind::kCamera, std::move(image));
        return false;
      }
      image_.push_back(kEscape);
      if (byte == kEscape) return true;
    } else if (byte == kEscape) {
      escape_ = true;
      return true;
    }
    image_.push_back(byte);
    return true;
  }

  void Abort() override {
    started_ = false;
    escape_ = false;
    lineBytes_ = 0;
    counted_ = 0;
    image_.clear();
  }

 private:
  bool started_ = false;
  bool escape_ = false;
  std::size_t lineBytes_ = 0;
  std::size_t counted_ = 0;
  std::vector<std::uint8_t> image_;
};

class CcdBoardUpload final : public Transfer {
 public:
  using Transfer::Transfer;

  bool OnByte(HandController& hc, std::uint8_t byte) override {
    if (!started_) {
      Abort();
      started_ = AnswerCommand(hc, kUploadReady);
      return started_;
    }
    image_.push_back(byte);
    if (image_.size() % kBlockBytes == 0) Ack(hc);
    if (image_.size() < kCcdBoardImageBytes) return true;
    std::vector<std::uint8_t> image = std::move(image_);
    Abort();
    FinishImage(hc, ImageKind::kCcdBoard, std::move(image));
    return false;
  }

  void Abort() override {
    started_ = false;
    image_.clear();
  }

 private:
  bool started_ = false;
  std::vector<std::uint8_t> image_;
};

class EepromRead final : public Transfer {
 public:
  using Transfer::Transfer;

  bool OnByte(HandController& hc, std::uint8_t byte) override {
    switch (step_) {
      case 0:
        if (!AnswerCommand(hc, kReadReady)) return false;
        step_ = 1;
        return true;
      case 1:
        address_ = byte;
        step_ = 2;
        return true;
      case 2:
        address_ |= static_cast<std::size_t>(byte) << 8;
        step_ = 3;
        SendNext(hc);
        return true;
      default:
        if (byte == kNextByte) {
          SendNext(hc);
          return true;
        }
        if (byte == kLastByte) hc.Send(EndAnswer(kReadEnd));
        Abort();
        return false;
    }
  }

  void Abort() override { step_ = 0; }

 private:
  void SendNext(HandController& hc) { hc.Send(state_.eeprom[address_++ % kEepromBytes]); }

  int step_ = 0;
  std::size_t address_ = 0;
};

class EepromWrite final : public Transfer {
 public:
  using Transfer::Transfer;

  bool OnByte(HandController& hc, std::uint8_t byte) override {
    if (step_ == 0) {
      if (!AnswerCommand(hc, kWriteReady)) return false;
      step_ = 1;
      return true;
    }
    if (step_ <= 4) {
      header_[step_ - 1] = byte;
      if (++step_ <= 4) return true;
      address_ = header_[0] | static_cast<std::size_t>(header_[1]) << 8;
      length_ = header_[2] | static_cast<std::size_t>(header_[3]) << 8;
      written_ = 0;
      if (length_ > 0) return true;
    } else {
      // Written as it comes: a guider switched off half-way keeps what
      // arrived before.
      state_.eeprom[(address_ + written_) % kEepromBytes] = byte;
      if (++written_ % kEepromAckEvery == 0) Ack(hc);
      if (written_ < length_) return true;
    }
    hc.Send(EndAnswer(kWriteEnd));
    Abort();
    return false;
  }

  void Abort() override { step_ = 0; }

 private:
  int step_ = 0;
  std::uint8_t header_[4] = {};
  std::size_t address_ = 0;
  std::size_t length_ = 0;
  std::size_t written_ = 0;
};

void SendWord(HandController& hc, std::uint16_t word) {
  const std::uint8_t bytes[] = {static_cast<std::uint8_t>(word & 0xFF),
                                static_cast<std::uint8_t>(word >> 8)};
  hc.Send(bytes);
}

}  // namespace

void InstallUpdateModeRequests(HandController& controller, UpdateModeState& state) {
  constexpr ControllerMode kMode = ControllerMode::kUpdate;
  controller.AddCommand(kMode, kBootVersion,
                        [&state](HandController& hc) { hc.Send(state.bootVersion); });
  controller.AddCommand(kMode, kFirmwareVersion, [&state](HandController& hc) {
    hc.Send(state.firmwareStatus);
    if (state.firmwareStatus == 0) SendWord(hc, hc.config().firmwareVersion);
  });
  controller.AddCommand(kMode, kCameraVersions, [&state](HandController& hc) {
    hc.Send(state.cameraStatus);
    if (state.cameraStatus != 0) return;
    const std::uint8_t head[] = {state.cameraBootVersion, 0x00};
    hc.Send(head);
    SendWord(hc, state.cameraFirmwareVersion);
  });
  controller.AddRequest(kMode, kUploadHandController,
                        std::make_unique<HandControllerUpload>(state));
  controller.AddRequest(kMode, kUploadCamera, std::make_unique<CameraUpload>(state));
  controller.AddRequest(kMode, kUploadCcdBoard, std::make_unique<CcdBoardUpload>(state));
  controller.AddRequest(kMode, kReadEeprom, std::make_unique<EepromRead>(state));
  controller.AddRequest(kMode, kWriteEeprom, std::make_unique<EepromWrite>(state));
}

}  // namespace ktal::sim
