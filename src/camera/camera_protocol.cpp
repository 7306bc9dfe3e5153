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

bool WriteAll(const std::uint8_t* bytes, int count) {
  return g_device.Write(bytes, count) == count;
}
bool WriteByte(std::uint8_t byte) { return WriteAll(&byte, 1); }
bool ReadAll(std::uint8_t* bytes, int count) { return g_device.Read(bytes, count) == count; }

// An acknowledgement whose check is traced: 0 the echo came, 1 another
// byte came, -1 nothing came or the read failed.
int TracedAck(std::uint8_t sent) {
  std::uint8_t got = 0;
  int result = -1;
  if (g_device.Read(&got, 1) == 1) result = got == sent ? 0 : 1;
  Trace("ACKread($%02x)=%d: $%02x, $%02x", sent, result, sent, got);
  return result;
}

int FailWithDeviceError() {
  SetProtocolDeviceError();
  g_device.Close();
  return kCameraLinkFailure;
}

bool RestoreTimeouts() { return g_device.SetTimeouts(kLinkTimeoutMs, kLinkTimeoutMs) == 0; }

// The camera's two status bytes; a zero first byte means success whatever
// the second holds.
int StatusWord(const std::uint8_t status[2]) {
  return status[0] == 0 ? 0 : status[0] + 256 * status[1];
}

// The command byte, its echo, then the count and the address as separate
// writes.
int BeginMemoryRequest(std::uint8_t command, int count, std::uint16_t address) {
  if (!WriteByte(command)) return kCameraLinkFailure;
  if (g_device.ReadAck(command) != 0) return kCameraNotAcknowledged;
  const std::uint8_t countByte = static_cast<std::uint8_t>(count);
  const std::uint8_t addressBytes[2] = {static_cast<std::uint8_t>(address & 0xFF),
                                        static_cast<std::uint8_t>(address >> 8)};
  if (!WriteByte(countByte) || !WriteAll(addressBytes, 2)) return kCameraLinkFailure;
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
bool WaitForTransmitQueue() {
  const std::int64_t deadline = g_device.clock().NowMicros() + kTransmitDrainLimitMicros;
  for (;;) {
    const int pending = g_device.QueryWriteBufLen();
    if (g_device.status != FT_OK) return false;
    if (pending == 0) return true;
    if (g_device.clock().NowMicros() >= deadline) return false;
    g_device.Wait(kTransmitPollMs);
  }
}

// 0, or -1 at the first setting that failed.
int RaiseLink() {
  if (g_device.SetXferSize(kTransferSize) != 0 || g_device.SetDataFormat(8, 0, 0) != 0 ||
      g_device.SetBaudRate(kDownloadBaud) != 0 || g_device.SetLatencyTimer(kLatencyMs) != 0 ||
      g_device.SetTimeouts(kDownloadTimeoutMs, kDownloadTimeoutMs) != 0 ||
      g_device.FlushInBuffer() != 0) {
    return kCameraLinkFailure;
  }
  return 0;
}

// Every step is tried even after one failed, so that as much as possible
// of the running-mode line comes back. A link that cannot be put back to
// 250000 baud is closed: nothing may talk to the guider at 2 Mbaud by
// mistake, and the next user starts again with a handshake.
int RestoreLink() {
  bool ok = g_device.SetDataFormat(8, 0, 0) == 0;
  const bool baud = g_device.SetBaudRate(kRunningBaud) == 0;
  ok = g_device.SetLatencyTimer(kLatencyMs) == 0 && ok;
  ok = RestoreTimeouts() && ok;
  ok = g_device.SetXferSize(kTransferSize) == 0 && ok;
  ok = g_device.FlushInBuffer() == 0 && ok;
  if (!baud) g_device.Close();
  return ok && baud ? 0 : kCameraLinkFailure;
}

int FetchBlocks(std::uint8_t* destination, int byteCount) {
  std::uint8_t request = 1;
  int total = 0;
  int remaining = byteCount;
  while (remaining > 0) {
    Trace(" (new wrval=%d)", request);
    if (!WriteByte(request)) return kBlockRequestFailed;
    // The guider takes 0xFF for something else: the requests skip it.
    request = request == 254 ? 0 : static_cast<std::uint8_t>(request + 1);
    const int block = std::min(remaining, kBlockBytes);
    Trace(" (reading %d bytes)", block);
    const int got = g_device.Read(destination + total, block);
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

int EnterCameraMode() {
  const int fs = EnterFileSystemMode();
  if (fs != 0) return fs;
  std::uint8_t answer = 0;
  if (!WriteByte(kCameraModeCommand) || !ReadAll(&answer, 1)) return FailWithDeviceError();
  if (answer == kCameraModeCommand) {
    g_device.Wait(kModeSettleMs);
    return 0;
  }
  // Camera mode is reached only through file-system mode; the guider must
  // not be left there.
  LeaveFileSystemMode();
  return kCameraModeRefused;
}

int LeaveCameraMode() {
  if (!WriteByte(kLeaveCameraCommand)) return FailWithDeviceError();
  g_device.Wait(kModeSettleMs);
  return LeaveFileSystemMode();
}

int QueryCameraState() {
  if (!WriteByte(kQueryStateCommand)) return kCameraLinkFailure;
  if (g_device.ReadAck(kQueryStateCommand) != 0) return kCameraNotAcknowledged;
  std::uint8_t state = 0;
  if (!ReadAll(&state, 1)) return kCameraLinkFailure;
  return state;
}

int StartCamera() {
  // The camera takes up to a few seconds to answer a start.
  if (g_device.SetTimeouts(kStartReadTimeoutMs, kLinkTimeoutMs) != 0) return kCameraLinkFailure;
  int result = 0;
  std::uint8_t answer = 0;
  if (!WriteByte(kStartCommand)) {
    result = kCameraLinkFailure;
  } else if (g_device.ReadAck(kStartCommand) != 0) {
    result = kCameraNotAcknowledged;
  } else if (!ReadAll(&answer, 1)) {
    result = kCameraLinkFailure;
  } else {
    result = answer;
  }
  // Back to the running-mode time-outs on every path, failures included.
  if (!RestoreTimeouts()) return kCameraLinkFailure;
  return result;
}

int ReadCameraMemory(int count, std::uint16_t address, std::uint8_t* destination) {
  // The count goes out as one byte: a larger one would ask the camera for
  // fewer bytes than the caller then waits for.
  if (count < 1 || count > kMaxMemoryCount) return 1;
  const int begun = BeginMemoryRequest(kReadMemoryCommand, count, address);
  if (begun != 0) return begun;
  std::uint8_t status[2] = {};
  if (!ReadAll(status, 2)) return kCameraLinkFailure;
  // The camera sends the bytes whatever its status says.
  if (!ReadAll(destination, count)) return kCameraLinkFailure;
  return StatusWord(status);
}

int WriteCameraMemory(int count, std::uint16_t address, const std::uint8_t* source) {
  if (count < 1 || count > kMaxMemoryCount) return 1;
  const int begun = BeginMemoryRequest(kWriteMemoryCommand, count, address);
  if (begun != 0) return begun;
  std::uint8_t transmit[kMaxMemoryCount];
  std::memcpy(transmit, source, static_cast<std::size_t>(count));
  // The camera takes its memory bytes one at a time.
  for (int i = 0; i < count; ++i) {
    std::this_thread::yield();
    if (!WriteByte(transmit[i])) return kCameraLinkFailure;
  }
  // The camera writes its memory before it answers.
  if (g_device.SetTimeouts(kMemoryWriteReadTimeoutMs, kLinkTimeoutMs) != 0) {
    return kCameraLinkFailure;
  }
  std::uint8_t status[2] = {};
  const bool answered = ReadAll(status, 2);
  if (!RestoreTimeouts() || !answered) return kCameraLinkFailure;
  return StatusWord(status);
}

int ReadHotPixelMaps(HotPixelMapRecord& record) {
  auto* bytes = reinterpret_cast<std::uint8_t*>(&record);
  // A failed read leaves no half-read map behind for a caller that does
  // not look at the code.
  const auto failed = [&record](int code) {
    ReadAsNoMaps(record);
    return code;
  };
  int code = ReadCameraMemory(2, 0, bytes);
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
    code = ReadCameraMemory(record.count1x1 * static_cast<int>(kEntryBytes), 2,
                            bytes + offsetof(HotPixelMapRecord, entries1x1));
    if (code != 0) return failed(code);
  }
  code = ReadCameraMemory(1, kMap2x2Address, bytes + offsetof(HotPixelMapRecord, count2x2));
  if (code != 0) return failed(code);
  if (record.count2x2 > kMaxHotPixels) {
    ReadAsNoMaps(record);
    return 0;
  }
  if (record.count2x2 > 0) {
    code = ReadCameraMemory(record.count2x2 * static_cast<int>(kEntryBytes), kMap2x2Address + 1,
                            bytes + offsetof(HotPixelMapRecord, entries2x2));
    if (code != 0) return failed(code);
  }
  return 0;
}

int StoreHotPixelMaps(const HotPixelMapRecord& record) {
  if (record.count1x1 > kMaxHotPixels || record.count2x2 > kMaxHotPixels) return kMapsTooLong;
  // The tables go first under an invalid marker.
  HotPixelMapRecord invalid = record;
  invalid.marker = kNoMaps;
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(&invalid);
  int code = WriteCameraMemory(record.count1x1 * static_cast<int>(kEntryBytes) + 2, 0, bytes);
  if (code != 0) return code;
  code = WriteCameraMemory(record.count2x2 * static_cast<int>(kEntryBytes) + 1, kMap2x2Address,
                           bytes + offsetof(HotPixelMapRecord, count2x2));
  if (code != 0) return code;
  return WriteCameraMemory(1, 0, &record.marker);
}

int SendCameraCommand(const std::uint8_t* payload, int length) {
  if (length < 0 || length > kMaxCommandLength) return kCommandTooLong;
  if (!WriteByte(kCameraCommand)) return kCameraLinkFailure;
  if (TracedAck(kCameraCommand) != 0) return kCommandNotAcknowledged;
  std::uint8_t transmit[kMaxCommandLength + 1];
  transmit[0] = static_cast<std::uint8_t>(length & 0xFF);
  if (length > 0) std::memcpy(transmit + 1, payload, static_cast<std::size_t>(length));
  // A command cut short would leave the camera waiting for the rest.
  if (!WriteAll(transmit, length + 1)) return kCameraLinkFailure;
  std::uint8_t answer = 0;
  if (!ReadAll(&answer, 1)) return kCameraLinkFailure;
  if (answer == kCommandRefusedAnswer) return kCommandRefused;
  if (!ReadAll(&answer, 1)) return kCameraLinkFailure;
  g_lastCameraAnswer = answer;
  return 0;
}

int SetCameraParameters(std::uint8_t v6B, int vD9, int vD0) {
  const std::uint8_t commands[3][2] = {
      {kSubcommandD9, static_cast<std::uint8_t>(std::clamp(vD9, 0, 10))},
      {kSubcommandD0, static_cast<std::uint8_t>(std::clamp(vD0, 4, 19) - 4)},
      {kSubcommand6B, v6B},
  };
  for (const auto& command : commands) {
    const int code = SendCameraCommand(command, 2);
    if (code != 0) return code;
  }
  if (!WriteByte(kGeometryQuery)) return kCameraLinkFailure;
  if (g_device.ReadAck(kGeometryQuery) != 0) return kQueryNotAcknowledged;
  if (!WriteByte(kGeometryReplyBytes)) return kCameraLinkFailure;
  // Width, height and a third value in 1/256: nothing here needs them.
  std::uint8_t reply[kGeometryReplyBytes] = {};
  if (!ReadAll(reply, kGeometryReplyBytes)) return kQueryReplyShort;
  return 0;
}

int ExposeAndDownload(const ExposureRequest& request) {
  if (!RequestInRange(request)) return kExposureOutOfRange;
  // Width and height may each reach 1023, but the frame buffer holds one
  // full frame and no more.
  const int byteCount = FrameByteCount(request);
  if (byteCount > kFrameBytes) return kExposureOutOfRange;

  const std::uint8_t prepare[2] = {kPrepareExposure, 0x00};
  int code = SendCameraCommand(prepare, 2);
  if (code != 0) return code;
  if (g_lastCameraAnswer != 0) return kExposureNotReady;
  std::uint8_t block[14];
  code = SendCameraCommand(block, BuildExposureBlock(request, block));
  if (code != 0) return code;

  g_device.Wait(kExposureSettleMs);
  // The echo of 0x55 comes when the exposure has ended.
  const int readTimeoutMs = request.exposureTicks * 64 / 1000 + kLinkTimeoutMs;
  if (g_device.SetTimeouts(readTimeoutMs, kLinkTimeoutMs) != 0) return kCameraLinkFailure;
  if (!WriteByte(kExposureEnd)) {
    RestoreTimeouts();
    return kCameraLinkFailure;
  }
  if (TracedAck(kExposureEnd) != 0) {
    return RestoreTimeouts() ? kExposureEndNotAcknowledged : kCameraLinkFailure;
  }
  if (!RestoreTimeouts() || g_device.SetLatencyTimer(kLatencyMs) != 0) return kCameraLinkFailure;
  return DownloadFrame(g_rawFrame, byteCount, request.width);
}

int DownloadFrame(std::uint8_t* destination, int byteCount, int width) {
  const auto n = static_cast<std::uint32_t>(byteCount);
  const std::uint8_t command[6] = {kDownloadCommand,
                                   static_cast<std::uint8_t>(n & 0xFF),
                                   static_cast<std::uint8_t>((n >> 8) & 0xFF),
                                   static_cast<std::uint8_t>((n >> 16) & 0xFF),
                                   static_cast<std::uint8_t>(width & 0xFF),
                                   static_cast<std::uint8_t>((width >> 8) & 0xFF)};
  if (!WriteAll(command, 6) || !WaitForTransmitQueue()) return kCameraLinkFailure;
  g_device.Wait(kDownloadCommandSettleMs);

  // From here the guider sends at 2000000 baud. The running-mode line
  // comes back on every path, also when raising it failed half-way.
  int result = RaiseLink();
  if (result == 0) {
    g_device.Wait(kRaisedSettleMs);
    result = FetchBlocks(destination, byteCount);
  }
  if (RestoreLink() != 0) return kCameraLinkFailure;
  g_device.Wait(kRestoredSettleMs);
  return result;
}

}  // namespace ktal
