// SPDX-License-Identifier: GPL-3.0-or-later
// The hand controller's update mode: the version readout, the uploads of
// its own firmware, the camera's firmware and the CCD board's image, and
// the transfers of its EEPROM, served from an UpdateModeState.
//
// Update mode only (250000 baud):
//   0x14 -> the boot loader's version (1 byte)
//   0x2D -> the firmware status (0: intact), then, when intact, the
//           firmware version (HandControllerConfig::firmwareVersion), low
//           byte first
//   0x2E -> the camera status (0: the camera answered), then, when 0, the
//           camera's boot version, one unused byte and its firmware version,
//           low byte first
//   0xE6 image -> the hand controller's firmware in 15-byte blocks, each
//           full one answered 0x11 (the last one too, unless the length is
//           known); at block byteModeAfterBlock the answer is 0x33 and the
//           rest comes one byte at a time, each but the last answered 0x11
//           (the length must be known then). After the check, 0xDC, and the hand
//           controller restarts into its boot loader with update mode
//           selected, so that the host finds it there a second later; an
//           image that failed the check leaves it in update mode.
//   0xC6 -> 0x00, then the camera stream: 0x55 0x55 carries a data byte
//           0x55, 0x55 0xF0 ends the image. Every 15th byte after the first
//           (escape and end bytes count too) is answered 0x11. After the
//           check, 0x0D.
//   0xC7 -> 0x00, then the 2049 bytes of the CCD board's image, every 15th
//           answered 0x11. After the check, 0x0D.
//   0x31 lo hi -> 0xEE, then the EEPROM from address (hi << 8 | lo), one
//           byte now and one more for each 0x00 the host sends; the host's
//           0x33 ends the read with 0xDE
//   0x32 lo hi n_lo n_hi -> 0xEF, then n bytes into the EEPROM from the
//           address, every 8th answered 0x11; after the last, 0xDF
// Addresses wrap at the end of the EEPROM.
//
// Where a hand-controller image ends: nothing on the line says so, and the
// host waits for the end byte where it would otherwise send the next block.
// The simulated boot loader takes handControllerImageLength bytes when that
// is set, without acknowledging the last block. Otherwise it ends the image
// when the line stays quiet: for kImageEndQuietMicros after a block shorter
// than 15 bytes, for kFullBlockEndQuietMicros after a full block, which it
// has acknowledged like any other. An image sent in byte mode needs
// handControllerImageLength.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace ktal::sim {

class HandController;

inline constexpr std::size_t kEepromBytes = 1280;
inline constexpr std::size_t kCcdBoardImageBytes = 2049;
inline constexpr std::int64_t kImageEndQuietMicros = 2'000;
// After a full block the host first reads the acknowledgement, which the
// chip may hold back for its latency timer (at most 255 ms); and a host that
// gave up on an image comes back with the mode handshake, whose probe
// follows the identify's 1000 ms time-out, and must find the guider still in
// update mode. The guider waits longer than both before it takes a full
// block for the last one.
inline constexpr std::int64_t kFullBlockEndQuietMicros = 2'000'000;
// The end byte of an image that failed the device's check, and the firmware
// status that 0x2D reports after a hand-controller image failed it.
inline constexpr std::uint8_t kCheckFailedEndByte = 0xCE;
inline constexpr std::uint8_t kFirmwareCrcError = 0x01;

// Faults a test puts in place for the next transfer; each is used once.
struct UpdateModeFaults {
  // The answer to the next command byte of an upload or EEPROM transfer,
  // instead of 0x00 (0xC6, 0xC7), 0xEE (0x31) or 0xEF (0x32); empty: none.
  // The guider then does not take the transfer: its request ends there.
  std::optional<std::vector<std::uint8_t>> commandAnswer;
  // The n-th acknowledgement (1 = the first) that one transfer sends is
  // `answer` instead of 0x11: nothing, another byte, or 0x11 with stray
  // bytes after it. Counted from the start of each transfer.
  struct Ack {
    int n = 1;
    std::vector<std::uint8_t> answer;
  };
  std::optional<Ack> ack;
  // The next end byte (0xDC, 0x0D, 0xDE or 0xDF) is this instead; empty:
  // none is sent.
  std::optional<std::vector<std::uint8_t>> endAnswer;
  // The next image sent with this command byte (0xE6, 0xC6, 0xC7) fails
  // the device's check: it ends with kCheckFailedEndByte and is not kept;
  // a hand-controller image also leaves the firmware status at
  // kFirmwareCrcError.
  std::optional<std::uint8_t> checkFailsFor;
};

struct UpdateModeState {
  // ---- What the version readout reports ----
  std::uint8_t bootVersion = 0x12;
  std::uint8_t firmwareStatus = 0;
  std::uint8_t cameraStatus = 0;
  std::uint8_t cameraBootVersion = 0x21;
  std::uint16_t cameraFirmwareVersion = 0x0131;

  // ---- What the guider keeps ----
  // Erased (0xFF) until a test or an upload fills it.
  std::array<std::uint8_t, kEepromBytes> eeprom = [] {
    std::array<std::uint8_t, kEepromBytes> erased{};
    erased.fill(0xFF);
    return erased;
  }();
  // The last image of each kind that passed the check, byte for byte.
  std::vector<std::uint8_t> handControllerImage;
  std::vector<std::uint8_t> cameraImage;
  std::vector<std::uint8_t> ccdBoardImage;
  // The versions that the new firmware reports once its image passed the
  // check (the images carry none the guider could read); unset: unchanged.
  std::optional<std::uint16_t> firmwareVersionAfterUpload;
  std::optional<std::uint16_t> cameraVersionAfterUpload;

  // ---- How it takes images ----
  // 0: find the end of a hand-controller image at its short last block.
  std::size_t handControllerImageLength = 0;
  // Answer this block (1 = the first) of a hand-controller image with 0x33;
  // 0: never.
  int byteModeAfterBlock = 0;
  // From an image's last byte to its end byte: the device checks it.
  std::int64_t imageCheckMicros = 20'000;

  UpdateModeFaults faults;
};

// Adds the update-mode requests to `controller`; `state` must outlive it.
void InstallUpdateModeRequests(HandController& controller, UpdateModeState& state);

}  // namespace ktal::sim
