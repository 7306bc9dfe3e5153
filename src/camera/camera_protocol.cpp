// SPDX-License-Identifier: GPL-3.0-or-later
#include "camera/camera_protocol.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <thread>
#include <utility>

#include "filesystem/fs_protocol.h"
#include "link/ftdi_device.h"
#include "link/handshakes.h"

namespace ktal {

std::uint8_t g_rawFrame[kFrameBytes];
std::uint8_t g_lastCameraAnswer = 0;

namespace {

constexpr std::uint8_t kCameraModeCommand = 0xDC;
constexpr std::uint8_t kLeaveCameraCommand = 0xFF;
constexpr std::uint8_t kQueryStateCommand = 0xC0;
constexpr std::uint8_t kStartCommand = 0xC1;
constexpr std::uint8_t kReadMemoryCommand = 0x33;
constexpr std::uint8_t kWriteMemoryCommand = 0x3C;
constexpr std::uint8_t kCameraCommand = 0x5A;
constexpr std::uint8_t kGeometryQuery = 0x58;
constexpr std::uint8_t kGeometryReplyBytes = 6;
constexpr std::uint8_t kExposureEnd = 0x55;
constexpr std::uint8_t kDownloadCommand = 0xEE;
constexpr std::uint8_t kCommandRefusedAnswer = 0x0F;

constexpr std::uint8_t kSubcommandD9 = 0xD9;
constexpr std::uint8_t kSubcommandD0 = 0xD0;
constexpr std::uint8_t kSubcommand6B = 0x6B;
constexpr std::uint8_t kPrepareExposure = 0xC4;

constexpr int kRunningBaud = 250000;
constexpr int kDownloadBaud = 2000000;
constexpr int kLatencyMs = 2;
constexpr int kLinkTimeoutMs = 1000;
constexpr int kStartReadTimeoutMs = 3000;
constexpr int kMemoryWriteReadTimeoutMs = 10000;
constexpr int kDownloadTimeoutMs = 2000;
constexpr int kTransferSize = 4096;
// One full USB transfer of the chip: 64 packets of 62 data bytes.
constexpr int kBlockBytes = 3968;

constexpr std::uint32_t kModeSettleMs = 50;
constexpr std::uint32_t kExposureSettleMs = 500;
constexpr std::uint32_t kDownloadCommandSettleMs = 100;
constexpr std::uint32_t kRaisedSettleMs = 30;
constexpr std::uint32_t kRestoredSettleMs = 50;
// The download command is six characters (240 us at 250000 baud); a queue
// that has not drained within the write time-out never will.
constexpr std::int64_t kTransmitDrainLimitMicros = 1'000'000;
constexpr std::uint32_t kTransmitPollMs = 1;

constexpr int kMaxMemoryCount = 255;
constexpr int kMaxCommandLength = 256;
constexpr std::uint16_t kMap2x2Address = 256;
constexpr std::size_t kEntryBytes = sizeof(HotPixelEntry);

CameraTraceHook g_traceHook;

void Trace(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Trace(const char* format, ...) {
  if (!g_traceHook) return;
  char line[128];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  g_traceHook(line);
}

bool WriteAll(CFtdiDevice& device, const std::uint8_t* bytes, int count) {
  return device.Write(bytes, count) == count;
}
bool WriteByte(CFtdiDevice& device, std::uint8_t byte) { return WriteAll(device, &byte, 1); }
bool ReadAll(CFtdiDevice& device, std::uint8_t* bytes, int count) {
  return device.Read(bytes, count) == count;
}

// An acknowledgement whose check is traced: 0 the echo came, 1 another
// byte came, -1 nothing came or the read failed.
int TracedAck(CFtdiDevice& device, std::uint8_t sent) {
  std::uint8_t got = 0;
  int result = -1;
  if (device.Read(&got, 1) == 1) result = got == sent ? 0 : 1;
  Trace("ACKread($%02x)=%d: $%02x, $%02x", sent, result, sent, got);
  return result;
}

int FailWithDeviceError(CFtdiDevice& device) {
  SetProtocolDeviceError(device);
  device.Close();
  return kCameraLinkFailure;
}

bool RestoreTimeouts(CFtdiDevice& device) {
  return device.SetTimeouts(kLinkTimeoutMs, kLinkTimeoutMs) == 0;
}

// The camera's two status bytes; a zero first byte means success whatever
// the second holds.
int StatusWord(const std::uint8_t status[2]) {
  return status[0] == 0 ? 0 : status[0] + 256 * status[1];
}

// The command byte, its echo, then the count and the address as separate
// writes.
int BeginMemoryRequest(CFtdiDevice& device, std::uint8_t command, int count,
                       std::uint16_t address) {
  if (!WriteByte(device, command)) return kCameraLinkFailure;
  if (device.ReadAck(command) != 0) return kCameraNotAcknowledged;
  const std::uint8_t countByte = static_cast<std::uint8_t>(count);
  const std::uint8_t addressBytes[2] = {static_cast<std::uint8_t>(address & 0xFF),
                                        static_cast<std::uint8_t>(address >> 8)};
  if (!WriteByte(device, countByte) || !WriteAll(device, addressBytes, 2)) {
    return kCameraLinkFailure;
  }
  return 0;
}

void ReadAsNoMaps(HotPixelMapRecord& record) {
  record.marker = kNoMaps;
  record.count1x1 = 0;
  record.count2x2 = 0;
}

bool InRange(int value, int low, int high) { return value >= low && value <= high; }

bool RequestInRange(const ExposureRequest& r) {
  return InRange(r.width, 2, 1023) && InRange(r.height, 2, 1023) && InRange(r.xOffset, 0, 1023) &&
         InRange(r.yOffset, 0, 1023) && InRange(r.exposureTicks, 0, 65535) &&
         InRange(r.optionFlag, 0, 1) && InRange(r.readoutMode, 0, 3) &&
         InRange(r.extraValue, 0, 10);
}

// The chip must have sent the download command before the line speed
// changes, or its last characters would go out at the new speed.
bool WaitForTransmitQueue(CFtdiDevice& device) {
  const std::int64_t deadline = device.clock().NowMicros() + kTransmitDrainLimitMicros;
  for (;;) {
    const int pending = device.QueryWriteBufLen();
    if (device.status != FT_OK) return false;
    if (pending == 0) return true;
    if (device.clock().NowMicros() >= deadline) return false;
    device.Wait(kTransmitPollMs);
  }
}

// 0, or -1 at the first setting that failed.
int RaiseLink(CFtdiDevice& device) {
  if (device.SetXferSize(kTransferSize) != 0 || device.SetDataFormat(8, 0, 0) != 0 ||
      device.SetBaudRate(kDownloadBaud) != 0 || device.SetLatencyTimer(kLatencyMs) != 0 ||
      device.SetTimeouts(kDownloadTimeoutMs, kDownloadTimeoutMs) != 0 ||
      device.FlushInBuffer() != 0) {
    return kCameraLinkFailure;
  }
  return 0;
}

// Every step is tried even after one failed, so that as much as possible
// of the running-mode line comes back. A link that cannot be put back to
// 250000 baud is closed: nothing may talk to the guider at 2 Mbaud by
// mistake, and the next user starts again with a handshake.
int RestoreLink(CFtdiDevice& device) {
  bool ok = device.SetDataFormat(8, 0, 0) == 0;
  const bool baud = device.SetBaudRate(kRunningBaud) == 0;
  ok = device.SetLatencyTimer(kLatencyMs) == 0 && ok;
  ok = RestoreTimeouts(device) && ok;
  ok = device.SetXferSize(kTransferSize) == 0 && ok;
  ok = device.FlushInBuffer() == 0 && ok;
  if (!baud) device.Close();
  return ok && baud ? 0 : kCameraLinkFailure;
}

int FetchBlocks(CFtdiDevice& device, std::uint8_t* destination, int byteCount) {
  std::uint8_t request = 1;
  int total = 0;
  int remaining = byteCount;
  while (remaining > 0) {
    Trace(" (new wrval=%d)", request);
    if (!WriteByte(device, request)) return kBlockRequestFailed;
    // The guider takes 0xFF for something else: the requests skip it.
    request = request == 254 ? 0 : static_cast<std::uint8_t>(request + 1);
    const int block = std::min(remaining, kBlockBytes);
    Trace(" (reading %d bytes)", block);
    const int got = device.Read(destination + total, block);
    if (got < block) {
      Trace(" error -12: %d, %d, %d, %d", got, block, remaining - got, request);
      return kBlockShort;
    }
    total += block;
    remaining -= block;
    std::this_thread::yield();
  }
  return 0;
}

}  // namespace

void SetCameraTraceHook(CameraTraceHook hook) { g_traceHook = std::move(hook); }

ExposureRequest DarkFrameRequest() {
  ExposureRequest request;
  request.width = kFrameWidth;
  request.height = kFrameHeight;
  request.xOffset = 25;
  request.yOffset = 8;
  request.exposureTicks = 62500;
  request.optionFlag = 1;
  request.readoutMode = 1;
  request.finalFlag = 1;
  return request;
}

int FrameByteCount(const ExposureRequest& request) {
  const int rows = request.readoutMode == 1 ? request.height : request.height / 2;
  return request.width * rows;
}

int BuildExposureBlock(const ExposureRequest& request, std::uint8_t block[14]) {
  int n = 0;
  for (const int value :
       {request.width, request.height, request.xOffset, request.yOffset, request.exposureTicks}) {
    block[n++] = static_cast<std::uint8_t>(value & 0xFF);
    block[n++] = static_cast<std::uint8_t>((value >> 8) & 0xFF);
  }
  block[n++] = static_cast<std::uint8_t>(request.optionFlag);
  const bool extra = request.extraValue != 0;
  block[n++] = static_cast<std::uint8_t>(request.readoutMode | (extra ? 0x40 : 0));
  if (extra) block[n++] = static_cast<std::uint8_t>(request.extraValue);
  std::uint8_t flags = 0;
  if (extra && request.extraFlag != 0) flags |= 0x10;
  if (request.finalFlag != 0) flags |= 0x40;
  block[n++] = flags;
  return n;
}

int EnterCameraMode(CFtdiDevice& device) {
  const int fs = EnterFileSystemMode(device);
  if (fs != 0) return fs;
  std::uint8_t answer = 0;
  if (!WriteByte(device, kCameraModeCommand) || !ReadAll(device, &answer, 1)) {
    return FailWithDeviceError(device);
  }
  if (answer == kCameraModeCommand) {
    device.Wait(kModeSettleMs);
    return 0;
  }
  // Camera mode is reached only through file-system mode; the guider must
  // not be left there.
  LeaveFileSystemMode(device);
  return kCameraModeRefused;
}

int LeaveCameraMode(CFtdiDevice& device) {
  if (!WriteByte(device, kLeaveCameraCommand)) return FailWithDeviceError(device);
  device.Wait(kModeSettleMs);
  return LeaveFileSystemMode(device);
}

int QueryCameraState(CFtdiDevice& device) {
  if (!WriteByte(device, kQueryStateCommand)) return kCameraLinkFailure;
  if (device.ReadAck(kQueryStateCommand) != 0) return kCameraNotAcknowledged;
  std::uint8_t state = 0;
  if (!ReadAll(device, &state, 1)) return kCameraLinkFailure;
  return state;
}

int StartCamera(CFtdiDevice& device) {
  // The camera takes up to a few seconds to answer a start.
  if (device.SetTimeouts(kStartReadTimeoutMs, kLinkTimeoutMs) != 0) return kCameraLinkFailure;
  int result = 0;
  std::uint8_t answer = 0;
  if (!WriteByte(device, kStartCommand)) {
    result = kCameraLinkFailure;
  } else if (device.ReadAck(kStartCommand) != 0) {
    result = kCameraNotAcknowledged;
  } else if (!ReadAll(device, &answer, 1)) {
    result = kCameraLinkFailure;
  } else {
    result = answer;
  }
  // Back to the running-mode time-outs on every path, failures included.
  if (!RestoreTimeouts(device)) return kCameraLinkFailure;
  return result;
}

int ReadCameraMemory(CFtdiDevice& device, int count, std::uint16_t address,
                     std::uint8_t* destination) {
  // The count goes out as one byte: a larger one would ask the camera for
  // fewer bytes than the caller then waits for.
  if (count < 1 || count > kMaxMemoryCount) return 1;
  const int begun = BeginMemoryRequest(device, kReadMemoryCommand, count, address);
  if (begun != 0) return begun;
  std::uint8_t status[2] = {};
  if (!ReadAll(device, status, 2)) return kCameraLinkFailure;
  // The camera sends the bytes whatever its status says.
  if (!ReadAll(device, destination, count)) return kCameraLinkFailure;
  return StatusWord(status);
}

int WriteCameraMemory(CFtdiDevice& device, int count, std::uint16_t address,
                      const std::uint8_t* source) {
  if (count < 1 || count > kMaxMemoryCount) return 1;
  const int begun = BeginMemoryRequest(device, kWriteMemoryCommand, count, address);
  if (begun != 0) return begun;
  std::uint8_t transmit[kMaxMemoryCount];
  std::memcpy(transmit, source, static_cast<std::size_t>(count));
  // The camera takes its memory bytes one at a time.
  for (int i = 0; i < count; ++i) {
    std::this_thread::yield();
    if (!WriteByte(device, transmit[i])) return kCameraLinkFailure;
  }
  // The camera writes its memory before it answers.
  if (device.SetTimeouts(kMemoryWriteReadTimeoutMs, kLinkTimeoutMs) != 0) {
    return kCameraLinkFailure;
  }
  std::uint8_t status[2] = {};
  const bool answered = ReadAll(device, status, 2);
  if (!RestoreTimeouts(device) || !answered) return kCameraLinkFailure;
  return StatusWord(status);
}

int ReadHotPixelMaps(CFtdiDevice& device, HotPixelMapRecord& record) {
  auto* bytes = reinterpret_cast<std::uint8_t*>(&record);
  // A failed read leaves no half-read map behind for a caller that does
  // not look at the code.
  const auto failed = [&record](int code) {
    ReadAsNoMaps(record);
    return code;
  };
  int code = ReadCameraMemory(device, 2, 0, bytes);
  if (code != 0) return failed(code);
  if (record.marker != kMapsValid) {
    record.count1x1 = 0;
    record.count2x2 = 0;
    return 0;
  }
  if (record.count1x1 > kMaxHotPixels) {
    ReadAsNoMaps(record);
    return 0;
  }
  if (record.count1x1 > 0) {
    code = ReadCameraMemory(device, record.count1x1 * static_cast<int>(kEntryBytes), 2,
                            bytes + offsetof(HotPixelMapRecord, entries1x1));
    if (code != 0) return failed(code);
  }
  code = ReadCameraMemory(device, 1, kMap2x2Address, bytes + offsetof(HotPixelMapRecord, count2x2));
  if (code != 0) return failed(code);
  if (record.count2x2 > kMaxHotPixels) {
    ReadAsNoMaps(record);
    return 0;
  }
  if (record.count2x2 > 0) {
    code = ReadCameraMemory(device, record.count2x2 * static_cast<int>(kEntryBytes),
                            kMap2x2Address + 1, bytes + offsetof(HotPixelMapRecord, entries2x2));
    if (code != 0) return failed(code);
  }
  return 0;
}

int StoreHotPixelMaps(CFtdiDevice& device, const HotPixelMapRecord& record) {
  if (record.count1x1 > kMaxHotPixels || record.count2x2 > kMaxHotPixels) return kMapsTooLong;
  // The tables go first under an invalid marker.
  HotPixelMapRecord invalid = record;
  invalid.marker = kNoMaps;
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(&invalid);
  int code =
      WriteCameraMemory(device, record.count1x1 * static_cast<int>(kEntryBytes) + 2, 0, bytes);
  if (code != 0) return code;
  code = WriteCameraMemory(device, record.count2x2 * static_cast<int>(kEntryBytes) + 1,
                           kMap2x2Address, bytes + offsetof(HotPixelMapRecord, count2x2));
  if (code != 0) return code;
  return WriteCameraMemory(device, 1, 0, &record.marker);
}

int SendCameraCommand(CFtdiDevice& device, const std::uint8_t* payload, int length) {
  if (length < 0 || length > kMaxCommandLength) return kCommandTooLong;
  if (!WriteByte(device, kCameraCommand)) return kCameraLinkFailure;
  if (TracedAck(device, kCameraCommand) != 0) return kCommandNotAcknowledged;
  std::uint8_t transmit[kMaxCommandLength + 1];
  transmit[0] = static_cast<std::uint8_t>(length & 0xFF);
  if (length > 0) std::memcpy(transmit + 1, payload, static_cast<std::size_t>(length));
  // A command cut short would leave the camera waiting for the rest.
  if (!WriteAll(device, transmit, length + 1)) return kCameraLinkFailure;
  std::uint8_t answer = 0;
  if (!ReadAll(device, &answer, 1)) return kCameraLinkFailure;
  if (answer == kCommandRefusedAnswer) return kCommandRefused;
  if (!ReadAll(device, &answer, 1)) return kCameraLinkFailure;
  g_lastCameraAnswer = answer;
  return 0;
}

int SetCameraParameters(CFtdiDevice& device, std::uint8_t v6B, int vD9, int vD0) {
  const std::uint8_t commands[3][2] = {
      {kSubcommandD9, static_cast<std::uint8_t>(std::clamp(vD9, 0, 10))},
      {kSubcommandD0, static_cast<std::uint8_t>(std::clamp(vD0, 4, 19) - 4)},
      {kSubcommand6B, v6B},
  };
  for (const auto& command : commands) {
    const int code = SendCameraCommand(device, command, 2);
    if (code != 0) return code;
  }
  if (!WriteByte(device, kGeometryQuery)) return kCameraLinkFailure;
  if (device.ReadAck(kGeometryQuery) != 0) return kQueryNotAcknowledged;
  if (!WriteByte(device, kGeometryReplyBytes)) return kCameraLinkFailure;
  // Width, height and a third value in 1/256: nothing here needs them.
  std::uint8_t reply[kGeometryReplyBytes] = {};
  if (!ReadAll(device, reply, kGeometryReplyBytes)) return kQueryReplyShort;
  return 0;
}

int ExposeAndDownload(CFtdiDevice& device, const ExposureRequest& request) {
  if (!RequestInRange(request)) return kExposureOutOfRange;
  // Width and height may each reach 1023, but the frame buffer holds one
  // full frame and no more.
  const int byteCount = FrameByteCount(request);
  if (byteCount > kFrameBytes) return kExposureOutOfRange;

  const std::uint8_t prepare[2] = {kPrepareExposure, 0x00};
  int code = SendCameraCommand(device, prepare, 2);
  if (code != 0) return code;
  if (g_lastCameraAnswer != 0) return kExposureNotReady;
  std::uint8_t block[14];
  code = SendCameraCommand(device, block, BuildExposureBlock(request, block));
  if (code != 0) return code;

  device.Wait(kExposureSettleMs);
  // The echo of 0x55 comes when the exposure has ended.
  const int readTimeoutMs = request.exposureTicks * 64 / 1000 + kLinkTimeoutMs;
  if (device.SetTimeouts(readTimeoutMs, kLinkTimeoutMs) != 0) return kCameraLinkFailure;
  if (!WriteByte(device, kExposureEnd)) {
    RestoreTimeouts(device);
    return kCameraLinkFailure;
  }
  if (TracedAck(device, kExposureEnd) != 0) {
    return RestoreTimeouts(device) ? kExposureEndNotAcknowledged : kCameraLinkFailure;
  }
  if (!RestoreTimeouts(device) || device.SetLatencyTimer(kLatencyMs) != 0) {
    return kCameraLinkFailure;
  }
  return DownloadFrame(device, g_rawFrame, byteCount, request.width);
}

int DownloadFrame(CFtdiDevice& device, std::uint8_t* destination, int byteCount, int width) {
  const auto n = static_cast<std::uint32_t>(byteCount);
  const std::uint8_t command[6] = {kDownloadCommand,
                                   static_cast<std::uint8_t>(n & 0xFF),
                                   static_cast<std::uint8_t>((n >> 8) & 0xFF),
                                   static_cast<std::uint8_t>((n >> 16) & 0xFF),
                                   static_cast<std::uint8_t>(width & 0xFF),
                                   static_cast<std::uint8_t>((width >> 8) & 0xFF)};
  if (!WriteAll(device, command, 6) || !WaitForTransmitQueue(device)) return kCameraLinkFailure;
  device.Wait(kDownloadCommandSettleMs);

  // From here the guider sends at 2000000 baud. The running-mode line
  // comes back on every path, also when raising it failed half-way.
  int result = RaiseLink(device);
  if (result == 0) {
    device.Wait(kRaisedSettleMs);
    result = FetchBlocks(device, destination, byteCount);
  }
  if (RestoreLink(device) != 0) return kCameraLinkFailure;
  device.Wait(kRestoredSettleMs);
  return result;
}

}  // namespace ktal
