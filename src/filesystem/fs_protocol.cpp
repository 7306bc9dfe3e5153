// SPDX-License-Identifier: GPL-3.0-or-later
#include "filesystem/fs_protocol.h"

#include <algorithm>

#include "guidelog/log_format.h"
#include "link/bounded_text.h"
#include "link/ftdi_device.h"
#include "link/handshakes.h"

namespace ktal {

namespace {

constexpr std::uint8_t kFsCommand = 0xD3;
constexpr std::uint8_t kEnterArgument = 0x80;
constexpr std::uint8_t kLeaveArgument = 0x00;
constexpr std::uint8_t kInFsMode = 0xAA;
constexpr std::uint8_t kBusy = 0x00;
constexpr std::uint8_t kLeft = 0x55;
constexpr std::uint8_t kReadPageCommand = 0xDD;
constexpr std::uint8_t kReadPageArgument = 0x01;
constexpr std::uint8_t kPageTrailer = 0xFF;
constexpr std::uint8_t kMarkCommand = 0xDF;
constexpr std::uint8_t kMarkBase = 0x10;
constexpr std::uint8_t kMarked = 0x00;

constexpr int kAttempts = 5;
constexpr int kChunkBytes = 120;

constexpr char kUnsupportedEnter[] =
    "FS mode: unsupported command (no ACK received)\nThe firmware may not support File System "
    "handling...\n";
constexpr char kUnsupportedLeave[] = "FS mode: unsupported command (no ACK received)\n";
constexpr char kInvalidAnswer[] = "FS mode: invalid answer byte\n";
constexpr char kCantEnter[] =
    "Can't enter into FileSystem mode...\nThe device may be in some exclusive mode (screen).\n"
    "Go to main menu or power off, then start the device and try again!\n";

bool WriteByte(CFtdiDevice& device, std::uint8_t byte) { return device.Write(&byte, 1) == 1; }

// One answer byte: true with `answer` set, false when the read failed or
// nothing came.
bool ReadByte(CFtdiDevice& device, std::uint8_t* answer) { return device.Read(answer, 1) == 1; }

int FailWith(CFtdiDevice& device, const char* text) {
  SetProtocolMessage(device, text);
  device.Close();
  return 1;
}

int FailWithCommunicationError(CFtdiDevice& device) {
  FormatBounded(g_protocolMessage, sizeof g_protocolMessage, "FS mode: communication error: %s\n",
                device.errorText);
  device.Close();
  return 1;
}

// The hand controller needs a moment after a busy answer; the first retry
// comes soon, later ones give a screen the user is in time to be left.
std::uint32_t BusyWaitMs(int attempt) { return attempt == 0 ? 100 : 1000; }

// Reads `count` bytes; on failure says whether nothing came or part of it.
bool ReadWhole(CFtdiDevice& device, std::uint8_t* buffer, int count, PageReadFault* fault) {
  const int got = device.Read(buffer, count);
  if (got == count) return true;
  if (got > 0) {
    *fault = PageReadFault::kShortChunk;
  } else {
    *fault = device.timedOut != 0 ? PageReadFault::kNoAnswer : PageReadFault::kLinkFailed;
  }
  return false;
}

}  // namespace

int EnterFileSystemMode(CFtdiDevice& device) {
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    if (!WriteByte(device, kFsCommand)) return FailWithCommunicationError(device);
    const int ack = device.ReadAck(kFsCommand);
    if (ack != 0) {
      // A firmware without file-system support does not echo; a link that
      // failed outright is a communication error, not an old firmware.
      if (ack < 0 && device.timedOut == 0) return FailWithCommunicationError(device);
      return FailWith(device, kUnsupportedEnter);
    }
    if (!WriteByte(device, kEnterArgument)) return FailWithCommunicationError(device);
    std::uint8_t answer = 0;
    if (!ReadByte(device, &answer)) return FailWithCommunicationError(device);
    if (answer == kInFsMode) return 0;
    if (answer != kBusy) return FailWith(device, kInvalidAnswer);
    device.Wait(BusyWaitMs(attempt));
  }
  return FailWith(device, kCantEnter);
}

int LeaveFileSystemMode(CFtdiDevice& device) {
  for (int pass = 0; pass < kAttempts; ++pass) {
    if (!WriteByte(device, kFsCommand)) return FailWith(device, "FS mode: communication error\n");
    if (device.ReadAck(kFsCommand) != 0) return FailWith(device, kUnsupportedLeave);
    if (!WriteByte(device, kLeaveArgument)) {
      return FailWith(device, "FS mode: communication error:\n");
    }
    std::uint8_t answer = 0;
    if (!ReadByte(device, &answer)) return FailWith(device, "FS mode: communication error:\n");
    // Every pass is sent, whatever the answer: the hand controller takes
    // several to leave the mode for good.
    if (answer == kBusy) {
      device.Wait(BusyWaitMs(pass));
    } else if (answer != kLeft) {
      return FailWith(device, kInvalidAnswer);
    }
  }
  return 0;
}

int ReadPage(CFtdiDevice& device, std::uint16_t page, std::uint8_t* buffer, PageReadFault* fault) {
  PageReadFault ignored = PageReadFault::kNone;
  if (fault == nullptr) fault = &ignored;
  *fault = PageReadFault::kNone;

  const std::uint8_t request[] = {kReadPageCommand, static_cast<std::uint8_t>(page & 0xFF),
                                  static_cast<std::uint8_t>(page >> 8), kReadPageArgument};
  for (const std::uint8_t byte : request) {
    if (!WriteByte(device, byte)) {
      *fault = PageReadFault::kLinkFailed;
      return 1;
    }
  }
  for (int offset = 0; offset < static_cast<int>(kDataPageSize); offset += kChunkBytes) {
    const int chunk = std::min<int>(kChunkBytes, static_cast<int>(kDataPageSize) - offset);
    // A chunk cut short leaves a page that cannot be trusted: the whole
    // read fails rather than hand on a page with a hole in it.
    if (!ReadWhole(device, buffer + offset, chunk, fault)) return 1;
    const bool last = offset + chunk >= static_cast<int>(kDataPageSize);
    if (!last && !WriteByte(device, kReadPageCommand)) {
      *fault = PageReadFault::kLinkFailed;
      return 1;
    }
  }
  std::uint8_t trailer = 0;
  if (!ReadWhole(device, &trailer, 1, fault)) return 1;
  if (trailer != kPageTrailer) {
    *fault = PageReadFault::kBadTrailer;
    return 1;
  }
  return 0;
}

int MarkDownloaded(CFtdiDevice& device, unsigned index) {
  if (index > static_cast<unsigned>(kDirectoryEntries)) return 2;
  if (!WriteByte(device, kMarkCommand)) return 1;
  if (device.ReadAck(kMarkCommand) != 0) return 1;
  if (!WriteByte(device, static_cast<std::uint8_t>(kMarkBase + index))) return 1;
  std::uint8_t answer = 0;
  if (!ReadByte(device, &answer)) return 1;
  return answer == kMarked ? 0 : 1;
}

}  // namespace ktal
