#include "filesystem/output_root.h"

#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <system_error>

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

}  // namespace ktal
