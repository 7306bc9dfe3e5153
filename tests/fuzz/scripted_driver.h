// SPDX-License-Identifier: GPL-3.0-or-later
// A driver whose guider answers come from a script (the fuzz input), on a
// clock of its own that moves only when the link waits, so that no input
// ever makes a harness sleep.
//
// The script is a list of answers. The guider takes the next one each time
// the link is opened and each time the host writes; the answer replaces
// whatever the host left unread of the previous one. Each answer begins
// with a 16-bit little-endian word v:
//   v < 0xF000          v answer bytes follow (fewer when the script ends)
//   0xF000 .. 0xF0FF    the write stalls after (v & 0xFF) bytes and runs
//                       into its time-out; no answer
//   0xF100 .. 0xFEFF    no answer (the guider stays silent)
//   0xFF00 .. 0xFFFD    the write call itself fails
//   0xFFFE              the write goes out, then the guider is unplugged
//   0xFFFF              the guider is unplugged before the write
// Once unplugged, every driver call fails and the device list is empty.
// When the script runs out, the guider answers nothing.
//
// A read that finds fewer bytes than it asks for waits for its time-out
// (1 ms when the time-out is "for ever", as a polling loop must see time
// pass) and returns what there is; so does a queue query on an empty queue.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "link/clock.h"
#include "link/ftdi_driver.h"

namespace ktal::fuzz {

// Answer words with a meaning of their own.
inline constexpr std::uint16_t kAnswerWriteStall = 0xF000;
inline constexpr std::uint16_t kAnswerSilent = 0xF100;
inline constexpr std::uint16_t kAnswerWriteFails = 0xFF00;
inline constexpr std::uint16_t kAnswerUnplugAfterWrite = 0xFFFE;
inline constexpr std::uint16_t kAnswerUnplug = 0xFFFF;
inline constexpr std::uint16_t kLongestAnswer = 0xEFFF;

class ScriptClock final : public Clock {
 public:
  std::int64_t NowMicros() override { return now_; }
  void SleepMs(std::uint32_t milliseconds) override { now_ += std::int64_t{milliseconds} * 1000; }
  void AdvanceMs(std::uint32_t milliseconds) { SleepMs(milliseconds); }

 private:
  std::int64_t now_ = 0;
};

class ScriptedDriver final : public FtdiDriver {
 public:
  ScriptedDriver(std::span<const std::uint8_t> script, ScriptClock& clock)
      : script_(script), clock_(clock) {}

  FtStatus CreateDeviceInfoList(std::uint32_t* count) override;
  FtStatus GetDeviceInfoList(FtDeviceListInfoNode* list, std::uint32_t* count) override;
  FtStatus Open(int index, FtHandle* handle) override;
  FtStatus Close(FtHandle handle) override;
  FtStatus SetDataCharacteristics(FtHandle handle, std::uint8_t, std::uint8_t,
                                  std::uint8_t) override {
    return Plain(handle);
  }
  FtStatus SetBaudRate(FtHandle handle, std::uint32_t) override { return Plain(handle); }
  FtStatus SetTimeouts(FtHandle handle, std::uint32_t readTimeout,
                       std::uint32_t writeTimeout) override;
  FtStatus SetLatencyTimer(FtHandle handle, std::uint8_t) override { return Plain(handle); }
  FtStatus SetUSBParameters(FtHandle handle, std::uint32_t, std::uint32_t) override {
    return Plain(handle);
  }
  FtStatus GetDeviceInfo(FtHandle handle, std::uint32_t* type, std::uint32_t* id,
                         char* serialNumber, char* description) override;
  FtStatus Purge(FtHandle handle, std::uint32_t) override { return Plain(handle); }
  FtStatus Write(FtHandle handle, const void* buffer, std::uint32_t count,
                 std::uint32_t* written) override;
  FtStatus Read(FtHandle handle, void* buffer, std::uint32_t count, std::uint32_t* read) override;
  FtStatus GetQueueStatus(FtHandle handle, std::uint32_t* rxBytes) override;
  FtStatus GetStatus(FtHandle handle, std::uint32_t* rxBytes, std::uint32_t* txBytes,
                     std::uint32_t* eventStatus) override;
  FtStatus SetBitMode(FtHandle handle, std::uint8_t, std::uint8_t) override {
    return Plain(handle);
  }
  FtStatus GetBitMode(FtHandle handle, std::uint8_t* mode) override;
  FtStatus ResetDevice(FtHandle handle) override { return Plain(handle); }

  bool open() const { return open_; }

 private:
  enum class Step { kAnswer, kStall, kWriteFails, kUnplugAfter, kUnplugBefore };
  // Takes the next answer off the script into the receive queue.
  Step NextAnswer(std::uint32_t* stallBytes);
  FtStatus Plain(FtHandle handle) const;

  std::span<const std::uint8_t> script_;
  std::size_t next_ = 0;
  ScriptClock& clock_;
  bool open_ = false;
  bool unplugged_ = false;
  std::uint32_t readTimeoutMs_ = 0;
  std::uint32_t writeTimeoutMs_ = 0;
  std::vector<std::uint8_t> queue_;
  std::size_t queueHead_ = 0;
};

}  // namespace ktal::fuzz
