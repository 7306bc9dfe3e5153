// SPDX-License-Identifier: GPL-3.0-or-later
// A firmware file (*.fw): up to three images (hand controller, camera, the
// camera's CCD board) behind a header of three section offsets.
//
//   0  hcOffset     (signed 32-bit, little-endian, like every number here)
//   4  cameraOffset
//   8  ccdbOffset
//   each section: a 2-byte version word (0: no such firmware), then its
//   image up to the next section; the CCD-board image is always 2049 bytes.
//
// The file is passed to the guider byte for byte; the guider checks the
// images itself.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace ktal {

inline constexpr int kFirmwareHeaderSize = 12;
inline constexpr int kCcdbImageLength = 2049;

// The largest file that can hold firmware for the guider. The file says
// nothing of the images' sizes beyond where they lie, so the bound comes
// from the guider: no memory in it is larger than its log flash, 4096 pages
// of 528 bytes, so neither the hand controller's nor the camera's image can
// be larger. Header, two such images with their version words, and the
// CCD-board section make 4,327,443 bytes. Anything larger is refused before
// it is read.
inline constexpr std::int64_t kGuiderLargestMemory = 4096 * 528;
inline constexpr std::int64_t kMaxFirmwareFileSize =
    kFirmwareHeaderSize + 2 * (2 + kGuiderLargestMemory) + 2 + kCcdbImageLength;

// Version words: major and minor as two hexadecimal bytes, 0x0250 = 2.50,
// compared as plain numbers.
//
// The newest firmware whose stored-variable layout this program knows.
inline constexpr char kApplicationFirmwareLimitText[] = "2.60";

// "$%04x": 0x0250 -> "$0250".
std::string FormatVersionWord(std::uint16_t version);
// Reads "major.minor" with both parts hexadecimal ("2.60" -> 0x0260);
// empty when the text is not of that form or a part exceeds a byte.
std::optional<std::uint16_t> ParseVersionText(std::string_view text);
// kApplicationFirmwareLimitText as a version word.
std::uint16_t ApplicationFirmwareLimit();

// A firmware file held in memory. All versions are 0 while no valid file
// is loaded.
struct LoadedFirmware {
  std::vector<std::uint8_t> contents;
  std::int32_t hcOffset = 0;
  std::int32_t cameraOffset = 0;
  std::int32_t ccdbOffset = 0;
  std::uint16_t hcVersion = 0;
  std::uint16_t cameraVersion = 0;
  std::uint16_t ccdbVersion = 0;
  int hcImageLength = 0;
  int cameraImageLength = 0;
  static constexpr int ccdbImageLength = kCcdbImageLength;

  // A hand-controller version of 0 counts as no file: nothing is uploaded.
  bool HasFirmware() const { return hcVersion != 0; }
  // The images inside `contents`; empty while no file is loaded. The
  // CCD-board image is empty when its version word is 0.
  std::span<const std::uint8_t> HcImage() const;
  std::span<const std::uint8_t> CameraImage() const;
  std::span<const std::uint8_t> CcdbImage() const;
};

enum class FirmwareFileStatus {
  kOk,
  kCantOpen,        // "ERROR opening file..." / "Can't open file!"
  kNotRegularFile,  // a folder, pipe or device: "ERROR opening file..."
  kTooLarge,        // over kMaxFirmwareFileSize: "ERROR: bad firmware file"
  kReadFailed,      // "ERROR: reading file"
  kOutOfMemory,     // "ERROR: out of memory"
  kBadFile,         // "ERROR: bad firmware file"
};

inline constexpr char kFirmwareOpenFailedText[] = "ERROR opening file...";
inline constexpr char kFirmwareOpenFailedBox[] = "Can't open file!";
inline constexpr char kFirmwareReadFailedText[] = "ERROR: reading file";
inline constexpr char kFirmwareOutOfMemoryText[] = "ERROR: out of memory";
inline constexpr char kFirmwareBadFileText[] = "ERROR: bad firmware file";

struct FirmwareFileLoad {
  FirmwareFileStatus status = FirmwareFileStatus::kCantOpen;
  // Holds nothing (every version 0) unless status is kOk.
  LoadedFirmware firmware;
  // What the window shows under the file name: the versions of a loaded
  // file, or the failure text.
  std::string description;
  // Empty on success; else the text of the "ERROR" box to show.
  std::string errorBoxText;
};

// Reads and checks a firmware file. Only a regular file of at most
// kMaxFirmwareFileSize bytes is read: a pipe would never end and a huge file
// would be held whole. Every offset and length in the header must point
// inside the file and the sections must follow each other, so a loaded file
// never yields a negative or overlong image.
FirmwareFileLoad LoadFirmwareFile(const std::filesystem::path& path);
// The same checks on file contents already in memory.
FirmwareFileLoad ParseFirmwareFile(std::vector<std::uint8_t> contents);

// "HandController version:  $0250\nCamera version:  -\n" and the like; "-"
// stands for an image of no bytes.
std::string DescribeFirmware(const LoadedFirmware& firmware);

}  // namespace ktal
