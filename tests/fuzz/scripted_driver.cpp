// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/fuzz/scripted_driver.h"

#include <algorithm>
#include <cstring>

#include "link/ftdi_device.h"

namespace ktal::fuzz {

namespace {

// What enumeration reports: one guider on an FT232R.
void FillGuiderNode(FtDeviceListInfoNode& node) {
  node = {};
  node.Type = FT_DEVICE_232R;
  node.ID = 0x04036001;
  std::strncpy(node.SerialNumber, "KTFUZZ01", sizeof node.SerialNumber - 1);
  std::strncpy(node.Description, kGuiderDescription, sizeof node.Description - 1);
}

}  // namespace

FtStatus ScriptedDriver::Plain(FtHandle handle) const {
  if (unplugged_) return FT_IO_ERROR;
  if (!open_ || handle != this) return FT_INVALID_HANDLE;
  return FT_OK;
}

ScriptedDriver::Step ScriptedDriver::NextAnswer(std::uint32_t* stallBytes) {
  queue_.clear();
  queueHead_ = 0;
  if (next_ + 2 > script_.size()) {
    next_ = script_.size();
    return Step::kAnswer;  // the script has ended: silence
  }
  const std::uint16_t word = static_cast<std::uint16_t>(script_[next_] | (script_[next_ + 1] << 8));
  next_ += 2;
  if (word <= kLongestAnswer) {
    const std::size_t length = std::min<std::size_t>(word, script_.size() - next_);
    queue_.assign(script_.begin() + static_cast<std::ptrdiff_t>(next_),
                  script_.begin() + static_cast<std::ptrdiff_t>(next_ + length));
    next_ += length;
    return Step::kAnswer;
  }
  if (word < kAnswerSilent) {
    *stallBytes = word & 0xFFu;
    return Step::kStall;
  }
  if (word < kAnswerWriteFails) return Step::kAnswer;
  if (word < kAnswerUnplugAfterWrite) return Step::kWriteFails;
  return word == kAnswerUnplugAfterWrite ? Step::kUnplugAfter : Step::kUnplugBefore;
}

FtStatus ScriptedDriver::CreateDeviceInfoList(std::uint32_t* count) {
  *count = unplugged_ ? 0 : 1;
  return FT_OK;
}

FtStatus ScriptedDriver::GetDeviceInfoList(FtDeviceListInfoNode* list, std::uint32_t* count) {
  if (unplugged_ || *count == 0) {
    *count = 0;
    return FT_OK;
  }
  FillGuiderNode(list[0]);
  if (open_) list[0].Flags = FT_FLAGS_OPENED;
  *count = 1;
  return FT_OK;
}

FtStatus ScriptedDriver::Open(int index, FtHandle* handle) {
  if (unplugged_ || index != 0) return FT_DEVICE_NOT_FOUND;
  if (open_) return FT_DEVICE_NOT_OPENED;
  std::uint32_t stall = 0;
  switch (NextAnswer(&stall)) {
    case Step::kWriteFails:
      return FT_DEVICE_NOT_OPENED;
    case Step::kUnplugBefore:
      unplugged_ = true;
      return FT_DEVICE_NOT_FOUND;
    case Step::kUnplugAfter:
      unplugged_ = true;
      break;
    default:
      break;
  }
  open_ = true;
  readTimeoutMs_ = 0;
  writeTimeoutMs_ = 0;
  *handle = this;
  return FT_OK;
}

FtStatus ScriptedDriver::Close(FtHandle handle) {
  if (!open_ || handle != this) return FT_INVALID_HANDLE;
  open_ = false;
  queue_.clear();
  queueHead_ = 0;
  return FT_OK;
}

FtStatus ScriptedDriver::SetTimeouts(FtHandle handle, std::uint32_t readTimeout,
                                     std::uint32_t writeTimeout) {
  if (const FtStatus status = Plain(handle); status != FT_OK) return status;
  readTimeoutMs_ = readTimeout;
  writeTimeoutMs_ = writeTimeout;
  return FT_OK;
}

FtStatus ScriptedDriver::GetDeviceInfo(FtHandle handle, std::uint32_t* type, std::uint32_t* id,
                                       char* serialNumber, char* description) {
  if (const FtStatus status = Plain(handle); status != FT_OK) return status;
  FtDeviceListInfoNode node;
  FillGuiderNode(node);
  if (type != nullptr) *type = node.Type;
  if (id != nullptr) *id = node.ID;
  if (serialNumber != nullptr) std::memcpy(serialNumber, node.SerialNumber, 16);
  if (description != nullptr) std::memcpy(description, node.Description, 64);
  return FT_OK;
}

FtStatus ScriptedDriver::Write(FtHandle handle, const void* buffer, std::uint32_t count,
                               std::uint32_t* written) {
  *written = 0;
  if (const FtStatus status = Plain(handle); status != FT_OK) return status;
  if (buffer == nullptr) return FT_INVALID_PARAMETER;
  std::uint32_t stall = 0;
  switch (NextAnswer(&stall)) {
    case Step::kAnswer:
      break;
    case Step::kStall:
      clock_.AdvanceMs(std::max<std::uint32_t>(writeTimeoutMs_, 1));
      *written = std::min(stall, count);
      return FT_OK;
    case Step::kWriteFails:
      return FT_IO_ERROR;
    case Step::kUnplugBefore:
      unplugged_ = true;
      return FT_IO_ERROR;
    case Step::kUnplugAfter:
      unplugged_ = true;
      break;
  }
  *written = count;
  return FT_OK;
}

FtStatus ScriptedDriver::Read(FtHandle handle, void* buffer, std::uint32_t count,
                              std::uint32_t* read) {
  *read = 0;
  if (const FtStatus status = Plain(handle); status != FT_OK) return status;
  if (buffer == nullptr && count > 0) return FT_INVALID_PARAMETER;
  const std::size_t ready = queue_.size() - queueHead_;
  const std::size_t take = std::min<std::size_t>(count, ready);
  if (take > 0) std::memcpy(buffer, queue_.data() + queueHead_, take);
  queueHead_ += take;
  if (take < count) clock_.AdvanceMs(std::max<std::uint32_t>(readTimeoutMs_, 1));
  *read = static_cast<std::uint32_t>(take);
  return FT_OK;
}

FtStatus ScriptedDriver::GetQueueStatus(FtHandle handle, std::uint32_t* rxBytes) {
  *rxBytes = 0;
  if (const FtStatus status = Plain(handle); status != FT_OK) return status;
  *rxBytes = static_cast<std::uint32_t>(queue_.size() - queueHead_);
  if (*rxBytes == 0) clock_.AdvanceMs(1);
  return FT_OK;
}

FtStatus ScriptedDriver::GetStatus(FtHandle handle, std::uint32_t* rxBytes, std::uint32_t* txBytes,
                                   std::uint32_t* eventStatus) {
  if (txBytes != nullptr) *txBytes = 0;
  if (eventStatus != nullptr) *eventStatus = 0;
  return GetQueueStatus(handle, rxBytes);
}

FtStatus ScriptedDriver::GetBitMode(FtHandle handle, std::uint8_t* mode) {
  if (const FtStatus status = Plain(handle); status != FT_OK) return status;
  *mode = 0;
  return FT_OK;
}

}  // namespace ktal::fuzz
