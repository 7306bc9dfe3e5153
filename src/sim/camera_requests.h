// SPDX-License-Identifier: GPL-3.0-or-later
// The hand controller's camera mode, served from a CameraState.
//
// File-system mode:
//   0xDC -> 0xDC and camera mode; a guider without camera mode answers 0x00
//           and stays in file-system mode
// Camera mode (250000 baud except during a frame download):
//   0xFF -> back to file-system mode, no answer
//   0xC0 -> echo, then the camera state (0 off, 1 on)
//   0xC1 -> echo; the camera starts and answers 0x00 startMicros later
//   0x33 n lo hi -> echo after 0x33; after the address the status bytes
//           s0 s1 (0 0: done) and n bytes of the memory from the address
//   0x3C n lo hi d1 .. dn -> echo after 0x3C; after the last data byte the
//           camera writes its memory and answers s0 s1 memoryWriteMicros later
//   0x5A L p1 .. pL -> echo after 0x5A; after the payload 0x00 (accepted)
//           and an answer byte, or 0x0F (refused). Payloads: D9 v, D0 v,
//           6B v (parameters), C4 00 (prepare an exposure; answer 0x00:
//           ready), or an exposure block of 13 or 14 bytes, which starts
//           an exposure of its ticks x 64 us. An off camera refuses them all.
//   0x58 L -> echo after 0x58; after L, the first L bytes of width, height
//           and a third value in 1/256 (u16 each)
//   0x55 -> echo once the running exposure has ended
//   0xEE n0 n1 n2 w0 w1 -> echo 0xEE, still at 250000 baud, then the guider
//           runs its line at 2000000 baud: each further byte asks for the
//           next block of 3968 bytes of the exposed frame, n bytes in all.
//           After the last block, or requestIdleMicros without a request,
//           it is back at 250000 baud.
//
// Memory status words: 0xE1 an address range beyond the 512 bytes, 0xC0 the
// camera is off; the bytes of a read are sent whatever the status.
//
// The exposed frame: pixel (x, y) of the requested window is pixel (x, y)
// of the dark frame (the offsets move nothing); outside the sensor it
// reads as the bias. Readout mode 1 sends width x height bytes; the others
// add each pair of rows (saturating), width x (height / 2). The k-th
// exposure since the guider was made shows frame k - 1 of `darks`.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "sim/dark_frame_model.h"

namespace ktal::sim {

class HandController;

inline constexpr std::size_t kCameraMemoryBytes = 512;
inline constexpr int kDownloadBlockBytes = 3968;
inline constexpr std::uint32_t kDownloadBaud = 2000000;
inline constexpr std::uint16_t kMemoryRangeStatus = 0xE1;
inline constexpr std::uint16_t kCameraOffStatus = 0xC0;

// Faults a test puts in place; each is used once.
struct CameraFaults {
  // The acknowledgement of the next request with this command byte (0xDC,
  // 0xC0, 0xC1, 0x33, 0x3C, 0x5A, 0x58, 0x55, 0xEE) is these bytes instead:
  // nothing, another byte, or more. The request goes on as if acknowledged.
  std::map<std::uint8_t, std::vector<std::uint8_t>> acks;
  // The next start answers this (nonzero: not started; the camera stays off).
  std::optional<std::uint8_t> startAnswer;
  // The n-th 0x5A command from now on (1 = the next) is refused (0x0F).
  int refuseCommand = 0;
  // The next exposure preparation answers this instead of 0x00.
  std::optional<std::uint8_t> prepareAnswer;
  // The next 0x58 reply sends only this many bytes.
  std::optional<int> geometryReplyBytes;
  // The next memory request answers this status word (a write then
  // changes nothing).
  std::optional<std::uint16_t> memoryStatus;
  // Of the next download, block `block` (1 = the first) carries only
  // `bytes` bytes; the guider then ends the download.
  struct ShortBlock {
    int block = 1;
    int bytes = 0;
  };
  std::optional<ShortBlock> shortBlock;
};

// An exposure as the last accepted exposure block asked for it.
struct ExposureSettings {
  int width = 0;
  int height = 0;
  int xOffset = 0;
  int yOffset = 0;
  int ticks = 0;
  int option = 0;
  int modeByte = 0;
  std::optional<int> extraValue;
  int flags = 0;
};

struct CameraState {
  // A firmware without camera mode answers 0xDC with 0x00.
  bool cameraModeSupported = true;
  // 0 off; 1 running.
  std::uint8_t state = 0;
  // From the start request to its answer (the host waits up to 3 s).
  std::int64_t startMicros = 1'200'000;
  // The memory with the hot-pixel maps: marker at 0, the 1x1 table from 1,
  // the 2x2 table from 256. Erased: no maps.
  std::array<std::uint8_t, kCameraMemoryBytes> memory = [] {
    std::array<std::uint8_t, kCameraMemoryBytes> erased{};
    erased.fill(0xFF);
    return erased;
  }();
  // From the last byte of a memory write to its status.
  std::int64_t memoryWriteMicros = 200'000;
  // Values of the parameter commands as last received; unset until then.
  std::optional<std::uint8_t> parameterD9;
  std::optional<std::uint8_t> parameterD0;
  std::optional<std::uint8_t> parameter6B;
  // Reported by 0x58: the sensor's size and a third value in 1/256.
  std::uint16_t reportedWidth = 752;
  std::uint16_t reportedHeight = 582;
  std::uint16_t reportedThird = 0x1A80;
  // The darks every exposure shows, and how many exposures were made.
  DarkFrameModel darks;
  int exposures = 0;
  std::optional<ExposureSettings> lastExposure;
  // When the running exposure ends (virtual time).
  std::int64_t exposureEndsAt = 0;
  // Downloads begun, and blocks sent in the current or last one.
  int downloads = 0;
  int blocksSent = 0;

  CameraFaults faults;

  // The bytes the last exposure downloads (its frame in its readout
  // mode); empty before the first exposure.
  std::vector<std::uint8_t> ExposedFrame() const;
};

// Adds the camera-mode requests to `controller`; `state` must outlive it.
void InstallCameraRequests(HandController& controller, CameraState& state);

}  // namespace ktal::sim
