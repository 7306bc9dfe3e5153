// SPDX-License-Identifier: GPL-3.0-or-later
#include "filesystem/output_root.h"

#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <system_error>

#include "guidelog/log_format.h"
#include "guidelog/stdio_file.h"

namespace ktal {

FolderState CheckOutputFolder(const std::filesystem::path& folder) {
  std::error_code error;
  const std::filesystem::file_status status = std::filesystem::status(folder, error);
  if (!std::filesystem::exists(status)) return FolderState::kMissing;
  if (!std::filesystem::is_directory(status)) return FolderState::kNotAFolder;
  std::string probe = (folder / ".ktal-write-probe-XXXXXX").string();
  const int fd = ::mkstemp(probe.data());
  if (fd < 0) return FolderState::kNotWritable;
  ::close(fd);
  ::unlink(probe.c_str());
  return FolderState::kUsable;
}

std::filesystem::path LocalOutputFolder(const std::filesystem::path& rawFile,
                                        const std::filesystem::path& root) {
  StdioFile file = OpenStdioFile(rawFile.c_str(), "rb");
  if (!file) return {};
  // Only the directory entry after the header names the folder: the log
  // itself is read once, by the run.
  std::uint8_t bytes[kRawHeaderSize + kDirectoryEntrySize];
  if (std::fread(bytes, 1, sizeof bytes, file.get()) != sizeof bytes ||
      std::memcmp(bytes, kRawHeaderText, sizeof kRawHeaderText) != 0) {
    return {};
  }
  const DirectoryEntry entry = DecodeDirectoryEntry(bytes + kRawHeaderSize);
  const std::string name = GuiderFileName(FileIdOf(entry.file_id)) + ".dat.content";
  const std::filesystem::path own = rawFile.parent_path();
  std::error_code error;
  if (own.filename() == name && std::filesystem::equivalent(own.parent_path(), root, error))
    return own;
  return root / name;
}

}  // namespace ktal
