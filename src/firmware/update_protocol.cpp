// SPDX-License-Identifier: GPL-3.0-or-later
#include "firmware/update_protocol.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <optional>
#include <string>

#include "link/bounded_text.h"
#include "link/ftdi_device.h"
#include "link/handshakes.h"

namespace ktal {

namespace {

constexpr std::uint8_t kBootVersionRequest = 0x14;
constexpr std::uint8_t kFirmwareVersionRequest = 0x2D;
constexpr std::uint8_t kCameraVersionsRequest = 0x2E;
constexpr std::uint8_t kUploadHcCommand = 0xE6;
constexpr std::uint8_t kUploadCamCommand = 0xC6;
constexpr std::uint8_t kUploadCcdbCommand = 0xC7;
constexpr std::uint8_t kReadEepromCommand = 0x31;
constexpr std::uint8_t kWriteEepromCommand = 0x32;

constexpr std::uint8_t kAck = 0x11;
constexpr std::uint8_t kByteModeAnswer = 0x33;
constexpr std::uint8_t kUploadReady = 0x00;
constexpr std::uint8_t kHcEnd = 0xDC;
constexpr std::uint8_t kCameraEnd = 0x0D;
constexpr std::uint8_t kCamEscape = 0x55;
constexpr std::uint8_t kCamEndMarker[] = {0x55, 0xF0};
constexpr std::uint8_t kReadReady = 0xEE;
constexpr std::uint8_t kReadEnd = 0xDE;
constexpr std::uint8_t kWriteReady = 0xEF;
constexpr std::uint8_t kWriteEnd = 0xDF;
constexpr std::uint8_t kNextEepromByte = 0x00;
constexpr std::uint8_t kLastEepromByte = 0x33;
constexpr std::uint8_t kEepromStart[] = {0x00, 0x00};
constexpr std::uint8_t kEepromLength[] = {kEepromTransferSize & 0xFF, kEepromTransferSize >> 8};

constexpr std::size_t kBlockBytes = 15;
constexpr int kEepromAckEvery = 8;

// The guider's programming code needs a moment after each command byte
// before it listens; its CCD board longer.
constexpr std::uint32_t kCommandSettleMs = 50;
constexpr std::uint32_t kCcdbSettleMs = 200;
// The new firmware starts before update mode can be entered again.
constexpr std::uint32_t kRestartMs = 1000;
// Programming a flash block can take long; the end byte comes after the
// whole image has been checked.
constexpr int kUploadReadTimeoutMs = 8000;
constexpr int kUploadWriteTimeoutMs = 500;
constexpr int kCcdbTimeoutMs = 3000;
constexpr int kEepromTimeoutMs = 1000;
constexpr int kCameraLatencyMs = 2;

constexpr char kTooManyAfterAck[] = " ..failed: too many bytes to receive after ACK";
constexpr char kTooManyAfterAckLine[] = " ..failed: too many bytes to receive after ACK\r\n";
constexpr char kNoDoneByte[] = " ..failed in Read 'done' byte";

bool WriteAll(CFtdiDevice& device, const std::uint8_t* bytes, std::size_t count) {
  return device.Write(bytes, static_cast<int>(count)) == static_cast<int>(count);
}

bool WriteByte(CFtdiDevice& device, std::uint8_t byte) { return WriteAll(device, &byte, 1); }

bool ReadByte(CFtdiDevice& device, std::uint8_t* byte) { return device.Read(byte, 1) == 1; }

std::string WithByte(const char* format, std::uint8_t byte) {
  char text[128];
  std::snprintf(text, sizeof text, format, static_cast<unsigned>(byte));
  return text;
}

// The link stays open.
int Plain(int result, const std::string& text) {
  FormatBounded(g_protocolMessage, sizeof g_protocolMessage, "%s\n", text.c_str());
  return result;
}

int Closing(CFtdiDevice& device, int result, const std::string& text) {
  SetProtocolMessage(device, text.c_str());
  device.Close();
  return result;
}

int LinkFailure(CFtdiDevice& device) {
  SetProtocolDeviceError(device);
  device.Close();
  return -1;
}

// A wrong answer byte is the EEPROM transfers' result; 0x00 must not read
// as success.
int WrongByte(std::uint8_t byte) { return byte == 0 ? kWrongByteZero : byte; }

// Bytes waiting after an acknowledgement, or -1 when the query failed: a
// failed query must not pass for an empty queue.
int QueuedBytes(CFtdiDevice& device) {
  const int queued = device.QueryReadBufLen();
  return device.status == FT_OK ? queued : -1;
}

void Report(const ProgressCallback& progress, std::size_t done, std::size_t total) {
  if (!progress || total == 0) return;
  progress(static_cast<int>(static_cast<double>(done) / static_cast<double>(total) * 100.0 + 0.5));
}

// The image to send; empty when it is empty or not inside `firmware`.
std::span<const std::uint8_t> ImageIn(std::span<const std::uint8_t> firmware, std::size_t start,
                                      std::size_t length) {
  if (length == 0 || start > firmware.size() || length > firmware.size() - start) return {};
  return firmware.subspan(start, length);
}

int Rejected() {
  return Plain(kUploadImageRejected,
               "the firmware image is empty or lies outside the file: nothing sent");
}

// After an image the hand controller restarts; the upload counts only once
// it is back in update mode.
int ReenterUpdateMode(CFtdiDevice& device) {
  device.Wait(kRestartMs);
  // The handshake may leave a text from a step it got past; a successful
  // upload leaves the caller's text alone.
  char before[kProtocolMessageSize];
  FormatBounded(before, sizeof before, "%s", g_protocolMessage);
  const int code = EnterDeviceMode(device, kUpdateMode);
  if (code == 0) {
    FormatBounded(g_protocolMessage, sizeof g_protocolMessage, "%s", before);
    return 0;
  }
  char handshake[kProtocolMessageSize];
  FormatBounded(handshake, sizeof handshake, "%s", g_protocolMessage);
  FormatBounded(g_protocolMessage, sizeof g_protocolMessage,
                "can't re-enter update mode after the upload (code %s$%x)\n%s", code < 0 ? "-" : "",
                static_cast<unsigned>(code < 0 ? -code : code), handshake);
  device.Close();
  return -1;
}

// The camera's stream: one write per byte, and an acknowledgement after
// every 15 counted bytes. The camera takes the stream's first byte apart,
// so counting starts with the second, and it runs on into the end marker.
class CameraStream {
 public:
  CameraStream(CFtdiDevice& device, const ProgressCallback& progress, std::size_t total)
      : device_(device), progress_(progress), total_(total) {}

  // Sends one byte. Empty to go on, else the upload's result. `consumed`
  // is how many image bytes the stream has taken so far.
  std::optional<int> Put(std::uint8_t byte, bool endMarker, std::size_t consumed) {
    if (!WriteByte(device_, byte)) {
      return endMarker ? Closing(device_, 1, " (eofw) ..failed in Write") : LinkFailure(device_);
    }
    if (first_) {
      first_ = false;
      return std::nullopt;
    }
    if (++counted_ < kBlockBytes) return std::nullopt;
    counted_ = 0;
    std::uint8_t ack = 0;
    if (!ReadByte(device_, &ack)) return LinkFailure(device_);
    if (ack != kAck) {
      return Plain(endMarker ? 4 : 3,
                   WithByte(" ..failed: invalid ACK byte received ($%02x)\r\n", ack));
    }
    const int queued = QueuedBytes(device_);
    if (queued < 0) return LinkFailure(device_);
    if (queued > 0) {
      return endMarker ? Closing(device_, 4, kTooManyAfterAck)
                       : Closing(device_, 1, kTooManyAfterAckLine);
    }
    if (!endMarker) Report(progress_, consumed, total_);
    return std::nullopt;
  }

 private:
  CFtdiDevice& device_;
  const ProgressCallback& progress_;
  std::size_t total_;
  bool first_ = true;
  std::size_t counted_ = 0;
};

}  // namespace

int UploadHC(CFtdiDevice& device, std::span<const std::uint8_t> firmware, std::size_t start,
             std::size_t length, const ProgressCallback& progress) {
  if (!device.IsOpen()) return Closing(device, -1, "FT232 is not open in 'upload HC'\n");
  const std::span<const std::uint8_t> image = ImageIn(firmware, start, length);
  if (image.empty()) return Rejected();

  if (!WriteByte(device, kUploadHcCommand)) return LinkFailure(device);
  device.Wait(kCommandSettleMs);
  if (device.SetTimeouts(kUploadReadTimeoutMs, kUploadWriteTimeoutMs) != 0) {
    return LinkFailure(device);
  }

  // The hand controller may ask for the rest one byte at a time (0x33),
  // when it cannot keep up with whole blocks.
  bool byteMode = false;
  std::size_t sent = 0;
  std::size_t chunk = 0;
  for (;;) {
    chunk = std::min(byteMode ? std::size_t{1} : kBlockBytes, length - sent);
    if (!WriteAll(device, image.data() + sent, chunk)) return LinkFailure(device);
    sent += chunk;
    if (sent == length) break;

    std::uint8_t answer = 0;
    if (!ReadByte(device, &answer)) return LinkFailure(device);
    if (answer == kByteModeAnswer) {
      byteMode = true;
      continue;
    }
    if (answer != kAck) {
      return Closing(device, 3, WithByte(" ..failed: invalid ACK byte received ($%02x)", answer));
    }
    if (!byteMode) {
      const int queued = QueuedBytes(device);
      if (queued < 0) return LinkFailure(device);
      if (queued > 0) return Closing(device, 3, kTooManyAfterAck);
    }
    const std::size_t remaining = length - sent;
    if (byteMode ? remaining % 100 == 0 : remaining / kBlockBytes % 20 == 0) {
      Report(progress, sent, length);
    }
  }

  // A guider that finds the end of the image by the line falling quiet
  // cannot tell a full last block from any other and acknowledges it too;
  // one that knows the length does not. Either way the end byte follows.
  const bool fullLastBlock = !byteMode && chunk == kBlockBytes;
  std::uint8_t end = 0;
  if (!ReadByte(device, &end)) return Closing(device, 4, kNoDoneByte);
  if (fullLastBlock && end == kAck && !ReadByte(device, &end)) {
    return Closing(device, 4, kNoDoneByte);
  }
  if (end != kHcEnd) {
    return Closing(device, 4, WithByte(" ..failed: invalid EOF byte received ($%02x)\r\n", end));
  }
  return ReenterUpdateMode(device);
}

int UploadCam(CFtdiDevice& device, std::span<const std::uint8_t> firmware, std::size_t start,
              std::size_t length, const ProgressCallback& progress) {
  if (!device.IsOpen()) return Closing(device, -1, "FT232 is not open in 'upload Cam'\n");
  const std::span<const std::uint8_t> image = ImageIn(firmware, start, length);
  if (image.empty()) return Rejected();

  // The camera answers within a byte time; a short latency brings each
  // acknowledgement to the host at once.
  if (device.SetTimeouts(kUploadReadTimeoutMs, kUploadWriteTimeoutMs) != 0 ||
      device.SetLatencyTimer(kCameraLatencyMs) != 0) {
    return LinkFailure(device);
  }
  if (!WriteByte(device, kUploadCamCommand)) return LinkFailure(device);
  device.Wait(kCommandSettleMs);
  std::uint8_t answer = 0;
  if (!ReadByte(device, &answer)) return LinkFailure(device);
  if (answer != kUploadReady) {
    return Plain(2, WithByte(" ERROR, \"upload fw. cmd\" returned: $%02x", answer));
  }

  // 0x55 starts the end marker, so a data byte 0x55 goes twice.
  CameraStream stream(device, progress, length);
  for (std::size_t i = 0; i < length; ++i) {
    const std::uint8_t byte = image[i];
    if (auto result = stream.Put(byte, false, i + 1)) return *result;
    if (byte == kCamEscape) {
      if (auto result = stream.Put(byte, false, i + 1)) return *result;
    }
  }
  for (const std::uint8_t byte : kCamEndMarker) {
    if (auto result = stream.Put(byte, true, length)) return *result;
  }

  std::uint8_t end = 0;
  if (!ReadByte(device, &end)) return Closing(device, 4, kNoDoneByte);
  if (end != kCameraEnd) {
    return Plain(4, WithByte(" ..failed: invalid EOF byte received ($%02x)\r\n", end));
  }
  return ReenterUpdateMode(device);
}

int UploadCCDB(CFtdiDevice& device, std::span<const std::uint8_t> firmware, std::size_t start,
               std::size_t length, const ProgressCallback& progress) {
  if (!device.IsOpen()) return Closing(device, -1, "FT232 is not open in 'upload Cam'\n");
  const std::span<const std::uint8_t> image = ImageIn(firmware, start, length);
  if (image.empty()) return Rejected();

  if (device.SetTimeouts(kCcdbTimeoutMs, kCcdbTimeoutMs) != 0) return LinkFailure(device);
  if (!WriteByte(device, kUploadCcdbCommand)) return LinkFailure(device);
  device.Wait(kCcdbSettleMs);
  std::uint8_t answer = 0;
  if (!ReadByte(device, &answer)) return LinkFailure(device);
  if (answer != kUploadReady) {
    return Plain(1, WithByte(" ! ERROR: can't enter CCDB programming mode: 0x%02x\r\n", answer));
  }

  for (std::size_t sent = 0; sent < length;) {
    const std::size_t chunk = std::min(kBlockBytes, length - sent);
    if (!WriteAll(device, image.data() + sent, chunk)) return LinkFailure(device);
    sent += chunk;
    // The board acknowledges whole blocks only, the last one too.
    if (chunk == kBlockBytes) {
      std::uint8_t ack = 0;
      if (!ReadByte(device, &ack)) return LinkFailure(device);
      if (ack != kAck) {
        return Plain(2, WithByte(" ..failed: invalid ACK byte received ($%02x)\r\n", ack));
      }
      const int queued = QueuedBytes(device);
      if (queued < 0) return LinkFailure(device);
      if (queued > 0) return Closing(device, 1, kTooManyAfterAck);
    }
    if ((length - sent) / kBlockBytes % 20 == 0) Report(progress, sent, length);
  }

  std::uint8_t end = 0;
  if (!ReadByte(device, &end)) return Closing(device, 4, kNoDoneByte);
  if (end != kCameraEnd) {
    return Plain(4, WithByte(" ..failed: invalid DONE byte received ($%02x)\r\n", end));
  }
  return ReenterUpdateMode(device);
}

int DownloadEEPROM(CFtdiDevice& device, VariableSet& variables, const ProgressCallback& progress) {
  if (!device.IsOpen()) return Closing(device, -1, "FT232 is not open in 'download EEPROM'\n");
  if (device.SetTimeouts(kEepromTimeoutMs, kEepromTimeoutMs) != 0) return LinkFailure(device);
  if (!WriteByte(device, kReadEepromCommand)) return LinkFailure(device);
  device.Wait(kCommandSettleMs);
  std::uint8_t answer = 0;
  if (!ReadByte(device, &answer)) return LinkFailure(device);
  if (answer != kReadReady) {
    return Closing(device, WrongByte(answer),
                   WithByte("bad byte read for Read EEPROM cmd: 0x%02x\r\n", answer));
  }
  if (!WriteAll(device, kEepromStart, sizeof kEepromStart)) return LinkFailure(device);

  // Each byte is asked for by the answer to the one before; 0x33 after the
  // last tells the guider the read is over.
  std::array<std::uint8_t, kEepromTransferSize> bytes{};
  for (int i = 0; i < kEepromTransferSize; ++i) {
    if (!ReadByte(device, &bytes[i])) return LinkFailure(device);
    const bool last = i + 1 == kEepromTransferSize;
    if (!WriteByte(device, last ? kLastEepromByte : kNextEepromByte)) return LinkFailure(device);
    Report(progress, static_cast<std::size_t>(i), kEepromTransferSize - 1);
  }
  std::uint8_t end = 0;
  if (!ReadByte(device, &end)) return LinkFailure(device);
  if (end != kReadEnd)
    return Closing(device, WrongByte(end), WithByte("bad END byte read: 0x%02x\r\n", end));

  std::copy(bytes.begin(), bytes.end(), variables.image.begin());
  const std::uint16_t version = variables.ImageVersion();
  if (version != kErasedImageVersion) variables.ReadFromImage(version);
  return 0;
}

int UploadEEPROM(CFtdiDevice& device, VariableSet& variables, const ProgressCallback& progress,
                 bool alreadyLaidOut) {
  if (!device.IsOpen()) return Closing(device, -1, "FT232 is not open in 'upload EEPROM'\n");
  if (!alreadyLaidOut) {
    const std::uint16_t version = variables.ImageVersion();
    if (version != kErasedImageVersion) variables.WriteToImage(version);
  }
  if (device.SetTimeouts(kEepromTimeoutMs, kEepromTimeoutMs) != 0) return LinkFailure(device);
  if (!WriteByte(device, kWriteEepromCommand)) return LinkFailure(device);
  device.Wait(kCommandSettleMs);
  std::uint8_t answer = 0;
  if (!ReadByte(device, &answer)) return LinkFailure(device);
  if (answer != kWriteReady) {
    return Closing(device, WrongByte(answer),
                   WithByte("bad byte read for Write EEPROM cmd: 0x%02x\r\n", answer));
  }
  if (!WriteAll(device, kEepromStart, sizeof kEepromStart) ||
      !WriteAll(device, kEepromLength, sizeof kEepromLength)) {
    return LinkFailure(device);
  }

  for (int i = 0; i < kEepromTransferSize; ++i) {
    if (!WriteByte(device, variables.image[i])) return LinkFailure(device);
    if ((i + 1) % kEepromAckEvery == 0) {
      std::uint8_t ack = 0;
      if (!ReadByte(device, &ack)) return LinkFailure(device);
      if (ack != kAck) {
        return Closing(device, WrongByte(ack),
                       WithByte("bad byte read as ACK (required 0x11): 0x%02x\r\n", ack));
      }
    }
    Report(progress, static_cast<std::size_t>(i), kEepromTransferSize - 1);
  }
  std::uint8_t end = 0;
  if (!ReadByte(device, &end)) return LinkFailure(device);
  if (end != kWriteEnd)
    return Closing(device, WrongByte(end), WithByte("bad END byte read: 0x%02x\r\n", end));
  return 0;
}

namespace {

// 0 with the whole answer, -1 when nothing came, 1 when part of it.
int ReadAnswer(CFtdiDevice& device, std::uint8_t* bytes, int count) {
  const int got = device.Read(bytes, count);
  if (got == count) return 0;
  return got == 0 ? -1 : 1;
}

}  // namespace

int ReadUpdateModeVersions(CFtdiDevice& device, UpdateModeVersions& versions) {
  versions = {};
  if (!WriteByte(device, kBootVersionRequest)) return -1;
  if (const int r = ReadAnswer(device, &versions.bootVersion, 1)) return r;

  if (!WriteByte(device, kFirmwareVersionRequest)) return -1;
  if (const int r = ReadAnswer(device, &versions.firmwareStatus, 1)) return r;
  if (versions.firmwareStatus != 0) return 0;
  std::uint8_t word[2] = {};
  if (const int r = ReadAnswer(device, word, 2)) return r;
  versions.firmwareVersion = static_cast<std::uint16_t>(word[0] | word[1] << 8);

  if (!WriteByte(device, kCameraVersionsRequest)) return -1;
  if (const int r = ReadAnswer(device, &versions.cameraStatus, 1)) return r;
  if (versions.cameraStatus != 0) return 0;
  if (const int r = ReadAnswer(device, &versions.cameraBootVersion, 1)) return r;
  // The first of the three is not used.
  std::uint8_t tail[3] = {};
  if (const int r = ReadAnswer(device, tail, 3)) return r;
  versions.cameraFirmwareVersion = static_cast<std::uint16_t>(tail[1] | tail[2] << 8);
  return 0;
}

}  // namespace ktal
