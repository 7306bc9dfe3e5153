// SPDX-License-Identifier: GPL-3.0-or-later
#include "sim/filesystem_requests.h"

#include <algorithm>
#include <memory>
#include <span>

#include "sim/hand_controller.h"

namespace ktal::sim {
namespace {

constexpr std::uint8_t kFsCommand = 0xD3;
constexpr std::uint8_t kEnter = 0x80;
constexpr std::uint8_t kLeave = 0x00;
constexpr std::uint8_t kInFsMode = 0xAA;
constexpr std::uint8_t kBusy = 0x00;
constexpr std::uint8_t kLeft = 0x55;
constexpr std::uint8_t kReadPage = 0xDD;
constexpr std::uint8_t kTrailer = 0xFF;
constexpr std::uint8_t kMark = 0xDF;
constexpr std::uint8_t kMarkBase = 0x10;
constexpr std::uint8_t kMarked = 0x00;
constexpr std::uint8_t kRefused = 0x01;
constexpr int kChunkBytes = 120;
constexpr int kChunks = 5;

// 0xD3 and its argument.
class ModeRequest final : public Request {
 public:
  explicit ModeRequest(FileSystemFaults& faults) : faults_(faults) {}

  bool OnByte(HandController& hc, std::uint8_t byte) override {
    if (!have_command_) {
      if (!faults_.supported) return false;
      have_command_ = true;
      hc.Send(kFsCommand);
      return true;
    }
    have_command_ = false;
    if (byte == kEnter) {
      if (faults_.enterBusyAnswers > 0) {
        --faults_.enterBusyAnswers;
        hc.Send(kBusy);
        return false;
      }
      hc.Send(kInFsMode);
      if (hc.mode() != ControllerMode::kFileSystem) hc.EnterMode(ControllerMode::kFileSystem);
    } else if (byte == kLeave) {
      if (faults_.leaveBusyAnswers > 0) {
        --faults_.leaveBusyAnswers;
        hc.Send(kBusy);
        return false;
      }
      hc.Send(kLeft);
      if (hc.mode() != ControllerMode::kNormal) hc.EnterMode(ControllerMode::kNormal);
    }
    return false;
  }
  void Abort() override { have_command_ = false; }

 private:
  FileSystemFaults& faults_;
  bool have_command_ = false;
};

class ReadPageRequest final : public Request {
 public:
  ReadPageRequest(FlashStore& flash, FileSystemFaults& faults) : flash_(flash), faults_(faults) {}

  bool OnByte(HandController& hc, std::uint8_t byte) override {
    if (received_ < 4) {
      header_[received_++] = byte;
      if (received_ < 4) return true;
      const auto page = static_cast<std::uint16_t>((header_[1] | header_[2] << 8) & 0x0FFF);
      bytes_ = flash_.PageBytes(page);
      page_ = page;
      chunk_ = 0;
      ++faults_.pageReads;
      return SendChunk(hc);
    }
    if (byte != kReadPage) {  // not a continuation: the read is abandoned
      Abort();
      return false;
    }
    return SendChunk(hc);
  }
  void Abort() override { received_ = 0; }

 private:
  // Sends the next chunk; false when the request is over.
  bool SendChunk(HandController& hc) {
    const int offset = chunk_ * kChunkBytes;
    int length = std::min<int>(kChunkBytes, static_cast<int>(kDataPageSize) - offset);
    const bool last = chunk_ == kChunks - 1;
    auto& cut = faults_.shortChunk;
    if (cut && cut->page == page_ && cut->chunk == chunk_) {
      hc.Send(std::span<const std::uint8_t>(
          bytes_.data() + offset, static_cast<std::size_t>(std::clamp(cut->bytes, 0, length))));
      cut.reset();
      Abort();
      return false;
    }
    hc.Send(
        std::span<const std::uint8_t>(bytes_.data() + offset, static_cast<std::size_t>(length)));
    ++chunk_;
    if (!last) return true;
    std::uint8_t trailer = kTrailer;
    if (faults_.badTrailerPage == page_) {
      trailer = 0x00;
      faults_.badTrailerPage.reset();
    }
    hc.Send(trailer);
    Abort();
    return false;
  }

  FlashStore& flash_;
  FileSystemFaults& faults_;
  std::uint8_t header_[4] = {};
  int received_ = 0;
  std::uint16_t page_ = 0;
  int chunk_ = 0;
  std::array<std::uint8_t, kDataPageSize> bytes_{};
};

class MarkRequest final : public Request {
 public:
  MarkRequest(FlashStore& flash, FileSystemFaults& faults) : flash_(flash), faults_(faults) {}

  bool OnByte(HandController& hc, std::uint8_t byte) override {
    if (!have_command_) {
      have_command_ = true;
      hc.Send(kMark);
      return true;
    }
    have_command_ = false;
    const int index = byte - kMarkBase;
    if (faults_.refusedMarks > 0 || index < 0 || index >= FlashStore::kEntries) {
      if (faults_.refusedMarks > 0) --faults_.refusedMarks;
      hc.Send(kRefused);
      return false;
    }
    flash_.entry(index).flags |= kDownloadedFlag;
    hc.Send(kMarked);
    return false;
  }
  void Abort() override { have_command_ = false; }

 private:
  FlashStore& flash_;
  FileSystemFaults& faults_;
  bool have_command_ = false;
};

}  // namespace

void InstallFileSystemRequests(HandController& controller, FlashStore& flash,
                               FileSystemFaults& faults) {
  for (ControllerMode mode : {ControllerMode::kNormal, ControllerMode::kFileSystem}) {
    controller.AddRequest(mode, kFsCommand, std::make_unique<ModeRequest>(faults));
  }
  controller.AddRequest(ControllerMode::kFileSystem, kReadPage,
                        std::make_unique<ReadPageRequest>(flash, faults));
  controller.AddRequest(ControllerMode::kFileSystem, kMark,
                        std::make_unique<MarkRequest>(flash, faults));
}

}  // namespace ktal::sim
