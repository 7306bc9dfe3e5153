// SPDX-License-Identifier: GPL-3.0-or-later
#include "firmware/variable_backup.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <system_error>

namespace ktal {

namespace {

constexpr char kExtension[] = ".eep";
// More names than anyone takes in one second; past it something is wrong
// with the folder rather than busy.
constexpr int kMaxNameTries = 100;
constexpr std::size_t kListedOffsets = 8;

std::string Stem(std::uint16_t layoutVersion, const std::tm& t) {
  char text[64];
  std::snprintf(text, sizeof text, "variables_fw%04x_%04d-%02d-%02d_%02d%02d%02d",
                static_cast<unsigned>(layoutVersion), t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
                t.tm_hour, t.tm_min, t.tm_sec);
  return text;
}

std::string ErrnoText(int error) { return std::generic_category().message(error); }

}  // namespace

std::string VariableBackupName(std::uint16_t layoutVersion, const std::tm& localTime) {
  return Stem(layoutVersion, localTime) + kExtension;
}

VariableBackup SaveVariableBackup(std::span<const std::uint8_t> image, std::uint16_t layoutVersion,
                                  const std::tm& localTime, const std::filesystem::path& folder) {
  const std::string stem = Stem(layoutVersion, localTime);
  VariableBackup backup;
  for (int n = 1; n <= kMaxNameTries; ++n) {
    const std::string name =
        n == 1 ? stem + kExtension : stem + "_" + std::to_string(n) + kExtension;
    const std::filesystem::path path = folder / name;
    // "x": created here or not at all, so that two saves in the same second
    // cannot overwrite each other.
    std::FILE* file = std::fopen(path.c_str(), "wbx");
    if (file == nullptr) {
      if (errno == EEXIST) continue;
      backup.error = ErrnoText(errno);
      return backup;
    }
    const bool written = std::fwrite(image.data(), 1, image.size(), file) == image.size();
    const int writeError = errno;
    const bool closed = std::fclose(file) == 0;
    if (!written || !closed) {
      backup.error = ErrnoText(written ? errno : writeError);
      std::error_code ignored;
      std::filesystem::remove(path, ignored);
      return backup;
    }
    backup.path = path;
    return backup;
  }
  backup.error = "no free file name";
  return backup;
}

std::vector<int> DifferingOffsets(std::span<const std::uint8_t> written,
                                  std::span<const std::uint8_t> readBack) {
  std::vector<int> differing;
  for (std::size_t i = 0; i < written.size(); ++i) {
    if (i >= readBack.size() || readBack[i] != written[i]) differing.push_back(static_cast<int>(i));
  }
  return differing;
}

std::string DescribeReadBack(const std::vector<int>& differing) {
  if (differing.empty()) return "variables verified";
  std::string text = "variables differ at ";
  const std::size_t listed = std::min(differing.size(), kListedOffsets);
  for (std::size_t i = 0; i < listed; ++i) {
    char offset[16];
    std::snprintf(offset, sizeof offset, "%s0x%03x", i == 0 ? "" : ", ",
                  static_cast<unsigned>(differing[i]));
    text += offset;
  }
  if (differing.size() > listed) {
    text += " and " + std::to_string(differing.size() - listed) + " more";
  }
  return text;
}

}  // namespace ktal
