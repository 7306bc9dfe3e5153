// SPDX-License-Identifier: GPL-3.0-or-later
// Firmware files (*.fw) for the simulated guider and the tests, made here
// from pseudo-random images of realistic sizes. The guider accepts any
// image, so the bytes only need to be repeatable.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace ktal {

struct FirmwareImage {
  std::uint16_t version = 0;
  std::vector<std::uint8_t> bytes;
};

// The bytes of a .fw file: the header, then the hand-controller, camera and
// CCD-board sections in that order. An absent section gets the version
// word 0 and no image bytes (an absent CCD board ends the file at its
// version word). The images are written as given, so a test can also make
// a CCD-board image of the wrong size.
std::vector<std::uint8_t> BuildFirmwareFile(const std::optional<FirmwareImage>& hc,
                                            const std::optional<FirmwareImage>& camera,
                                            const std::optional<FirmwareImage>& ccdb);

// `size` repeatable pseudo-random bytes; a different seed, different bytes.
std::vector<std::uint8_t> PseudoRandomImage(std::size_t size, std::uint32_t seed);

// Sizes of the sample images, near those of the real parts.
inline constexpr std::size_t kSampleHcImageSize = 64 * 1024 - 96;
inline constexpr std::size_t kSampleCameraImageSize = 32 * 1024 - 160;
inline constexpr std::size_t kSampleCcdbImageSize = 2049;

struct SampleFirmwareFile {
  std::string name;
  std::string what;  // one line for a person choosing among them
  std::vector<std::uint8_t> bytes;
};

// A few files that between them exercise every path of the firmware
// window: a full 2.50 file, a 2.60 hand-controller-only file, a camera-only
// file (no hand-controller version, so nothing is uploaded), a 2.61 file
// newer than this program handles, and one whose header is damaged.
std::vector<SampleFirmwareFile> SampleFirmwareFiles();
// Writes SampleFirmwareFiles() into `folder` (created if missing) and
// returns the paths written; empty when the folder or a file can't be
// written. Each file is written under a new name of its own and renamed
// over its final name, so a link found there is replaced, never written
// through.
std::vector<std::filesystem::path> WriteSampleFirmwareFiles(const std::filesystem::path& folder);

// Makes a new folder "ktal-companion-sample-firmware-XXXXXX" under `parent`
// that only this user can enter (mkdtemp: a name no one else has taken,
// mode 0700) and writes the sample files into it. Returns the folder, or
// an empty path when it can't be made or filled (then nothing is left).
std::filesystem::path WriteSampleFirmwareFolder(const std::filesystem::path& parent);

}  // namespace ktal
