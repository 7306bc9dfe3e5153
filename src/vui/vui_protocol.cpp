// SPDX-License-Identifier: GPL-3.0-or-later
#include "vui/vui_protocol.h"

#include "link/ftdi_device.h"

namespace ktal {

namespace {

constexpr std::uint8_t kPrefix = 0x5D;
constexpr std::uint8_t kReadScreen = 0x0D;
constexpr std::uint8_t kReadLeds = 0x0A;
constexpr std::uint8_t kLedCountArgument = 0x01;
constexpr std::uint8_t kPressKey = 0x01;
constexpr std::uint8_t kVersionRequest = 0x03;

constexpr int kPollLatencyMs = 2;
constexpr int kPollTimeoutMs = 500;
// A band takes about 5 ms on the line at 250000 baud; the hand controller
// may be busy drawing for a while before it starts to send.
constexpr std::uint32_t kQueueCheckMs = 10;
constexpr int kQueueChecks = 52;

bool WriteByte(CFtdiDevice& device, std::uint8_t byte) { return device.Write(&byte, 1) == 1; }

bool ReadByte(CFtdiDevice& device, std::uint8_t* byte) { return device.Read(byte, 1) == 1; }

// What the failed call just recorded: a read or write that moved nothing
// before its time-out, or a driver failure. Only asked right after the
// failing call, so an older failure's flag cannot answer for it.
int FailureOfLastCall(const CFtdiDevice& device) {
  return device.timedOut != 0 ? kVuiTimedOut : kVuiLinkFailed;
}

// Sends the prefix and checks its echo.
int SendPrefix(CFtdiDevice& device) {
  if (!WriteByte(device, kPrefix)) return FailureOfLastCall(device);
  std::uint8_t echo = 0;
  if (!ReadByte(device, &echo)) return FailureOfLastCall(device);
  return echo == kPrefix ? kVuiOk : kVuiWrongEcho;
}

}  // namespace

void ConfigureScreenPollLink(CFtdiDevice& device) {
  device.SetLatencyTimer(kPollLatencyMs);
  device.SetTimeouts(kPollTimeoutMs, kPollTimeoutMs);
}

int ReadFirmwareVersion(CFtdiDevice& device, std::uint16_t* version) {
  std::uint8_t answer = 0;
  std::uint8_t low = 0;
  std::uint8_t high = 0;
  if (!WriteByte(device, kVersionRequest) || !ReadByte(device, &answer) ||
      !ReadByte(device, &low) || !ReadByte(device, &high)) {
    return -1;
  }
  *version = static_cast<std::uint16_t>(low | high << 8);
  return 0;
}

int ReadScreenBand(CFtdiDevice& device, int band, std::uint8_t* bytes) {
  if (!device.IsOpen()) return kVuiLinkFailed;
  const int prefix = SendPrefix(device);
  if (prefix != kVuiOk) return prefix;

  const int address = kBandBytes * band;
  const std::uint8_t request[] = {kReadScreen, static_cast<std::uint8_t>(address & 0xFF),
                                  static_cast<std::uint8_t>(address >> 8), kBandBytes};
  const int written = device.Write(request, sizeof request);
  if (written == 0) return FailureOfLastCall(device);
  // Part of the request went before the write time-out ran out.
  if (written < static_cast<int>(sizeof request)) return kVuiTimedOut;

  for (int checks = 0; device.QueryReadBufLen() < kBandBytes && checks < kQueueChecks; ++checks) {
    device.Wait(kQueueCheckMs);
  }
  const int got = device.Read(bytes, kBandBytes);
  if (got == 0) return FailureOfLastCall(device);
  // A short read means the read time-out ran out part-way.
  return got == kBandBytes ? kVuiOk : kVuiTimedOut;
}

int ReadLeds(CFtdiDevice& device, std::uint8_t* leds) {
  if (!device.IsOpen()) return kVuiLinkFailed;
  const int prefix = SendPrefix(device);
  if (prefix != kVuiOk) return prefix;
  const std::uint8_t request[] = {kReadLeds, kLedCountArgument};
  // A request that did not go out whole gets no LED byte either.
  if (device.Write(request, sizeof request) != static_cast<int>(sizeof request) ||
      !ReadByte(device, leds)) {
    return kVuiNoLedByte;
  }
  return kVuiOk;
}

int SendKey(CFtdiDevice& device, std::uint8_t code) {
  if (!device.IsOpen()) return 0;
  std::uint8_t answer = 0;
  if (!WriteByte(device, kPrefix) || !ReadByte(device, &answer) || !WriteByte(device, kPressKey) ||
      !WriteByte(device, code)) {
    return -1;
  }
  return 0;
}

}  // namespace ktal
