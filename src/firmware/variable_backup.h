// SPDX-License-Identifier: GPL-3.0-or-later
// Keeping the guider's stored variables safe across a firmware update: a
// copy of the image read from the guider, saved before anything is
// flashed, and the check of the image read back after the restore.
#pragma once

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

namespace ktal {

// "variables_fw0250_2026-12-09_213105.eep": the version of the firmware that
// laid the variables out, and the local time of the read.
std::string VariableBackupName(std::uint16_t layoutVersion, const std::tm& localTime);

struct VariableBackup {
  // The file written; empty when nothing could be written.
  std::filesystem::path path;
  // Why nothing was written; empty on success.
  std::string error;
  bool Saved() const { return error.empty(); }
};

// Writes `image` byte for byte into `folder` under VariableBackupName. An
// earlier backup is never replaced: a name already taken gets "_2", "_3",
// ... before the extension. A file that could not be written whole is
// removed again.
VariableBackup SaveVariableBackup(std::span<const std::uint8_t> image, std::uint16_t layoutVersion,
                                  const std::tm& localTime, const std::filesystem::path& folder);

// Offsets at which the image read back differs from the one written; a
// shorter read-back differs at every offset it lacks.
std::vector<int> DifferingOffsets(std::span<const std::uint8_t> written,
                                  std::span<const std::uint8_t> readBack);

// "variables verified", or "variables differ at 0x014, 0x3ff" with at most
// eight offsets and the count of the rest.
std::string DescribeReadBack(const std::vector<int>& differing);

}  // namespace ktal
