// SPDX-License-Identifier: GPL-3.0-or-later
// The guider's camera mode: entering and leaving it, the camera's state and
// start, its small memory with the two hot-pixel maps, camera commands and
// parameters, and one exposure with its frame downloaded at 2000000 baud.
//
// Every function talks through the link it is given after
// EnterDeviceMode(3) has left it at 250000 baud, 8N1, latency 2 ms,
// time-outs 1000 / 1000 ms, and leaves it at those settings again; the
// forms without a link work on g_device. Camera mode is entered from the
// file-system mode. Only EnterCameraMode and LeaveCameraMode write
// g_protocolMessage; the others report by their code alone. No Qt.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <functional>

#include "link/ftdi_device.h"

namespace ktal {

// ---- The frame ----

inline constexpr int kFrameWidth = 752;
inline constexpr int kFrameHeight = 582;
inline constexpr int kFrameBytes = kFrameWidth * kFrameHeight;  // 437664
inline constexpr int kBinnedWidth = 376;
inline constexpr int kBinnedHeight = 291;
inline constexpr int kBinnedBytes = kBinnedWidth * kBinnedHeight;  // 109416

// The download buffer: one unsigned byte per pixel, row 0 (the top) first.
extern std::uint8_t g_rawFrame[kFrameBytes];
// The answer byte of the last command SendCameraCommand saw accepted.
extern std::uint8_t g_lastCameraAnswer;

// ---- The hot-pixel maps ----

inline constexpr int kMaxHotPixels = 50;
// Marker byte of the camera's map store.
inline constexpr std::uint8_t kMapsValid = 0xEE;
inline constexpr std::uint8_t kNoMaps = 0xFF;

// Neighbour flags of a hot pixel: which neighbour may stand in for it.
inline constexpr std::uint8_t kNeighbourAbove = 1;
inline constexpr std::uint8_t kNeighbourBelow = 2;
inline constexpr std::uint8_t kNeighbourLeft = 4;
inline constexpr std::uint8_t kNeighbourRight = 8;

// The records are the camera's memory image byte for byte: packed and
// little-endian.
static_assert(std::endian::native == std::endian::little,
              "the hot-pixel records are the camera's little-endian memory image");

#pragma pack(push, 1)
struct HotPixelEntry {
  std::uint16_t x;
  std::uint16_t y;
  std::uint8_t flags;
};

// The window's copy of the camera's maps. The camera keeps count2x2 at
// address 256; here it follows the 1x1 table directly.
struct HotPixelMapRecord {
  std::uint8_t marker;
  std::uint8_t count1x1;
  HotPixelEntry entries1x1[kMaxHotPixels];
  std::uint8_t count2x2;
  HotPixelEntry entries2x2[kMaxHotPixels];
};
#pragma pack(pop)

static_assert(sizeof(HotPixelEntry) == 5);
static_assert(sizeof(HotPixelMapRecord) == 503);
static_assert(offsetof(HotPixelMapRecord, count2x2) == 252);
static_assert(offsetof(HotPixelMapRecord, entries2x2) == 253);

// ---- One exposure ----

struct ExposureRequest {
  int width = 0;          // 2 .. 1023
  int height = 0;         // 2 .. 1023
  int xOffset = 0;        // 0 .. 1023
  int yOffset = 0;        // 0 .. 1023
  int exposureTicks = 0;  // 0 .. 65535, units of 64 us
  int optionFlag = 0;     // 0 .. 1
  int readoutMode = 0;    // 0 .. 3; 1: width x height bytes, else width x (height / 2)
  int extraValue = 0;     // 0 .. 10, sent only when nonzero
  int extraFlag = 0;      // effective only with extraValue
  int finalFlag = 0;
};

// Seconds of `ticks` exposure units of 64 us.
inline constexpr double ExposureTicksToSeconds(int ticks) { return ticks * 64.0 / 1e6; }

// What the dark-frame run asks for: the whole frame, 4 s.
ExposureRequest DarkFrameRequest();
// The bytes a request downloads: width x height for readout mode 1,
// width x (height / 2) for the others.
int FrameByteCount(const ExposureRequest& request);
// The payload of the exposure command, 13 or 14 bytes; returns its length.
int BuildExposureBlock(const ExposureRequest& request, std::uint8_t block[14]);

// ---- Result codes ----

inline constexpr int kCameraLinkFailure = -1;  // text in g_protocolMessage only where said
inline constexpr int kCameraNotAcknowledged = -2;
inline constexpr int kBlockRequestFailed = -10;
inline constexpr int kBlockShort = -12;
inline constexpr int kCameraModeRefused = 100;
inline constexpr int kMapsTooLong = 99;
// SendCameraCommand
inline constexpr int kCommandTooLong = 1;
inline constexpr int kCommandNotAcknowledged = 2;
inline constexpr int kCommandRefused = 3;
// SetCameraParameters, ExposeAndDownload
inline constexpr int kQueryNotAcknowledged = 2;
inline constexpr int kQueryReplyShort = 4;
inline constexpr int kExposureOutOfRange = 4;
inline constexpr int kExposureNotReady = 5;
inline constexpr int kExposureEndNotAcknowledged = 2;

// ---- Operations ----

// 0 in camera mode; 1 file-system mode could not be entered (its text in
// g_protocolMessage, link closed); 100 the hand controller refused camera
// mode (file-system mode has been left again, whatever that leave gave);
// -1 the link failed on the camera-mode request ("FT232 error" text, link
// closed). No other result.
int EnterCameraMode(CFtdiDevice& device);
// 0 done; -1 the leave request could not be written ("FT232 error" text,
// link closed); otherwise the result of LeaveFileSystemMode.
int LeaveCameraMode(CFtdiDevice& device);

// >= 0 the state byte (0 camera off, 1 and 2 on); -1 link failure; -2 not
// acknowledged.
int QueryCameraState(CFtdiDevice& device);
// 0 started; positive the hand controller's answer (not started); -1 link
// failure; -2 not acknowledged. Waits up to 3 s for the camera.
int StartCamera(CFtdiDevice& device);

// `count` bytes (1..255) of camera memory at `address`. 0 success; 1 count
// out of range (nothing sent); -1 link failure; -2 not acknowledged; other:
// the camera's status word (its bytes are read anyway).
int ReadCameraMemory(CFtdiDevice& device, int count, std::uint16_t address,
                     std::uint8_t* destination);
// Same codes. The camera writes its memory before it answers; up to 10 s.
int WriteCameraMemory(CFtdiDevice& device, int count, std::uint16_t address,
                      const std::uint8_t* source);

// Fills `record` from the camera. 0, or the first failing ReadCameraMemory
// code. A store whose marker is not 0xEE reads as no maps (both counts 0).
// A stored count above 50 cannot come from a whole map: the store is
// damaged, and the record reads as no maps (marker 0xFF, both counts 0),
// with nothing read past that count. After a failing code the record also
// reads as no maps, so that no half-read table is ever shown.
int ReadHotPixelMaps(CFtdiDevice& device, HotPixelMapRecord& record);
// Writes both tables, the marker last, so that the camera never holds a
// valid marker over half-written tables. 0; 99 a count above 50 (nothing
// sent); or the first failing WriteCameraMemory code.
int StoreHotPixelMaps(CFtdiDevice& device, const HotPixelMapRecord& record);

// Command 0x5A with `length` payload bytes (0..256; the length goes out as
// its low 8 bits). 0 accepted, answer in g_lastCameraAnswer; 1 length
// above 256 (nothing sent); 2 not acknowledged; 3 refused; -1 link failure.
int SendCameraCommand(CFtdiDevice& device, const std::uint8_t* payload, int length);
// Sends 0xD9 (vD9 clamped to 0..10), 0xD0 ((vD0 clamped to 4..19) - 4) and
// 0x6B (v6B), then queries the frame geometry. 0; a failing
// SendCameraCommand code; 2 query not acknowledged; 4 reply shorter than 6
// bytes; -1 link failure. The dark-frame run sends (0, 8, 4).
int SetCameraParameters(CFtdiDevice& device, std::uint8_t v6B, int vD9, int vD0);

// Exposes and downloads the frame into g_rawFrame. 0; 4 a field out of its
// range, or more bytes than g_rawFrame holds (nothing sent); a failing
// SendCameraCommand code; 5 the preparation answered nonzero; 2 the end of
// the exposure was not acknowledged; -1 link or link-configuration failure;
// -10 a block request could not be written; -12 a block came back short or
// not at all. The link is back at 250000 baud whenever it was raised; a
// link that cannot be brought back is closed.
int ExposeAndDownload(CFtdiDevice& device, const ExposureRequest& request);

// The download half of ExposeAndDownload, after the exposure has ended:
// asks for `byteCount` bytes (rows `width` wide), raises the link to
// 2000000 baud, fetches the bytes in blocks of 3968 into `destination`,
// each asked for by one request byte (1, 2, ..., 254, 0, 1, ...: never
// 0xFF), and restores the link. 0, -1, -10 or -12.
int DownloadFrame(CFtdiDevice& device, std::uint8_t* destination, int byteCount, int width);

// On g_device.
inline int EnterCameraMode() { return EnterCameraMode(g_device); }
inline int LeaveCameraMode() { return LeaveCameraMode(g_device); }
inline int QueryCameraState() { return QueryCameraState(g_device); }
inline int StartCamera() { return StartCamera(g_device); }
inline int ReadCameraMemory(int count, std::uint16_t address, std::uint8_t* destination) {
  return ReadCameraMemory(g_device, count, address, destination);
}
inline int WriteCameraMemory(int count, std::uint16_t address, const std::uint8_t* source) {
  return WriteCameraMemory(g_device, count, address, source);
}
inline int ReadHotPixelMaps(HotPixelMapRecord& record) {
  return ReadHotPixelMaps(g_device, record);
}
inline int StoreHotPixelMaps(const HotPixelMapRecord& record) {
  return StoreHotPixelMaps(g_device, record);
}
inline int SendCameraCommand(const std::uint8_t* payload, int length) {
  return SendCameraCommand(g_device, payload, length);
}
inline int SetCameraParameters(std::uint8_t v6B, int vD9, int vD0) {
  return SetCameraParameters(g_device, v6B, vD9, vD0);
}
inline int ExposeAndDownload(const ExposureRequest& request) {
  return ExposeAndDownload(g_device, request);
}
inline int DownloadFrame(std::uint8_t* destination, int byteCount, int width) {
  return DownloadFrame(g_device, destination, byteCount, width);
}

// Diagnostic lines of the acknowledgement checks and of each download
// block. Without a hook they are discarded.
using CameraTraceHook = std::function<void(const char* line)>;
void SetCameraTraceHook(CameraTraceHook hook);

}  // namespace ktal
