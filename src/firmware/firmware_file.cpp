// SPDX-License-Identifier: GPL-3.0-or-later
#include "firmware/firmware_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <new>

namespace ktal {

namespace {

constexpr int kVersionWordSize = 2;

std::int32_t ReadInt32(const std::vector<std::uint8_t>& bytes, int at) {
  const std::uint32_t value = static_cast<std::uint32_t>(bytes[at]) |
                              static_cast<std::uint32_t>(bytes[at + 1]) << 8 |
                              static_cast<std::uint32_t>(bytes[at + 2]) << 16 |
                              static_cast<std::uint32_t>(bytes[at + 3]) << 24;
  return static_cast<std::int32_t>(value);
}

std::uint16_t ReadWord(const std::vector<std::uint8_t>& bytes, std::int32_t at) {
  return static_cast<std::uint16_t>(bytes[at] | bytes[at + 1] << 8);
}

FirmwareFileLoad Failed(FirmwareFileStatus status, const char* description,
                        const std::string& boxText) {
  FirmwareFileLoad load;
  load.status = status;
  load.description = description;
  load.errorBoxText = boxText;
  return load;
}

FirmwareFileLoad Failed(FirmwareFileStatus status, const char* text) {
  return Failed(status, text, text);
}

// The header's offsets describe the whole file: each section must start
// inside the file with room for its version word, after the one before it
// (else an image length comes out negative), and a CCD-board image that is
// there must end inside the file. Sums are taken in 64 bits, since an
// offset near the 32-bit limit must not wrap.
bool HeaderFits(std::int64_t size, std::int64_t hc, std::int64_t camera, std::int64_t ccdb,
                std::uint16_t ccdbVersion) {
  for (const std::int64_t offset : {hc, camera, ccdb}) {
    if (offset < 0 || offset + kVersionWordSize > size) return false;
  }
  if (camera < hc + kVersionWordSize || ccdb < camera + kVersionWordSize) return false;
  if (ccdbVersion != 0 && ccdb + kVersionWordSize + kCcdbImageLength > size) return false;
  return true;
}

struct FileDescriptor {
  explicit FileDescriptor(int descriptor) : fd(descriptor) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() {
    if (fd >= 0) close(fd);
  }
  int fd;
};

constexpr char kNotRegularFileReason[] =
    "\n\nIt is not a regular file: a folder, pipe or device can't be a firmware file.";
constexpr char kTooLargeReason[] =
    "\n\nThe file holds %lld bytes; no firmware file for the guider holds more than %lld.";

}  // namespace

std::string FormatVersionWord(std::uint16_t version) {
  char text[8];
  std::snprintf(text, sizeof text, "$%04x", version);
  return text;
}

std::optional<std::uint16_t> ParseVersionText(std::string_view text) {
  const std::string copy(text);
  unsigned major = 0;
  unsigned minor = 0;
  if (std::sscanf(copy.c_str(), "%x.%x", &major, &minor) != 2) return std::nullopt;
  if (major > 0xFF || minor > 0xFF) return std::nullopt;
  return static_cast<std::uint16_t>(major * 256 + minor);
}

std::uint16_t ApplicationFirmwareLimit() {
  static const std::uint16_t limit = *ParseVersionText(kApplicationFirmwareLimitText);
  return limit;
}

std::span<const std::uint8_t> LoadedFirmware::HcImage() const {
  if (contents.empty()) return {};
  return std::span(contents).subspan(hcOffset + kVersionWordSize, hcImageLength);
}

std::span<const std::uint8_t> LoadedFirmware::CameraImage() const {
  if (contents.empty()) return {};
  return std::span(contents).subspan(cameraOffset + kVersionWordSize, cameraImageLength);
}

std::span<const std::uint8_t> LoadedFirmware::CcdbImage() const {
  if (contents.empty() || ccdbVersion == 0) return {};
  return std::span(contents).subspan(ccdbOffset + kVersionWordSize, ccdbImageLength);
}

std::string DescribeFirmware(const LoadedFirmware& firmware) {
  std::string text = "HandController version:  ";
  text += firmware.hcImageLength == 0 ? "-\n" : FormatVersionWord(firmware.hcVersion) + "\n";
  text += "Camera version:  ";
  text +=
      firmware.cameraImageLength == 0 ? "-\n" : FormatVersionWord(firmware.cameraVersion) + "\n";
  return text;
}

FirmwareFileLoad ParseFirmwareFile(std::vector<std::uint8_t> contents) {
  const std::int64_t size = static_cast<std::int64_t>(contents.size());
  if (size < kFirmwareHeaderSize) return Failed(FirmwareFileStatus::kBadFile, kFirmwareBadFileText);
  const std::int32_t hc = ReadInt32(contents, 0);
  const std::int32_t camera = ReadInt32(contents, 4);
  const std::int32_t ccdb = ReadInt32(contents, 8);
  // The CCD-board word is read only once its offset is known to be inside.
  const bool ccdbWordInside = ccdb >= 0 && ccdb + std::int64_t{kVersionWordSize} <= size;
  const std::uint16_t ccdbVersion = ccdbWordInside ? ReadWord(contents, ccdb) : 0;
  if (!HeaderFits(size, hc, camera, ccdb, ccdbVersion)) {
    return Failed(FirmwareFileStatus::kBadFile, kFirmwareBadFileText);
  }

  FirmwareFileLoad load;
  load.status = FirmwareFileStatus::kOk;
  LoadedFirmware& fw = load.firmware;
  fw.hcOffset = hc;
  fw.cameraOffset = camera;
  fw.ccdbOffset = ccdb;
  fw.hcVersion = ReadWord(contents, hc);
  fw.cameraVersion = ReadWord(contents, camera);
  fw.ccdbVersion = ccdbVersion;
  fw.hcImageLength = camera - hc - kVersionWordSize;
  fw.cameraImageLength = ccdb - camera - kVersionWordSize;
  fw.contents = std::move(contents);
  load.description = DescribeFirmware(fw);
  return load;
}

FirmwareFileLoad LoadFirmwareFile(const std::filesystem::path& path) {
  // Without O_NONBLOCK, opening a pipe waits for a writer that may never
  // come. Everything below asks the descriptor opened, so that what is read
  // is what was checked.
  const FileDescriptor file(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (file.fd < 0) {
    return Failed(FirmwareFileStatus::kCantOpen, kFirmwareOpenFailedText, kFirmwareOpenFailedBox);
  }
  struct stat info {};
  if (fstat(file.fd, &info) != 0) {
    return Failed(FirmwareFileStatus::kReadFailed, kFirmwareReadFailedText);
  }
  if (!S_ISREG(info.st_mode)) {
    return Failed(FirmwareFileStatus::kNotRegularFile, kFirmwareOpenFailedText,
                  std::string(kFirmwareOpenFailedBox) + kNotRegularFileReason);
  }
  if (info.st_size > kMaxFirmwareFileSize) {
    char reason[160];
    std::snprintf(reason, sizeof reason, kTooLargeReason, static_cast<long long>(info.st_size),
                  static_cast<long long>(kMaxFirmwareFileSize));
    return Failed(FirmwareFileStatus::kTooLarge, kFirmwareBadFileText,
                  std::string(kFirmwareBadFileText) + reason);
  }

  std::vector<std::uint8_t> contents;
  try {
    contents.resize(static_cast<std::size_t>(info.st_size));
  } catch (const std::bad_alloc&) {
    return Failed(FirmwareFileStatus::kOutOfMemory, kFirmwareOutOfMemoryText);
  }
  // A file that shrank since fstat ends early: that is a failed read. One
  // that grew is read only as far as it was checked.
  std::size_t done = 0;
  while (done < contents.size()) {
    const ssize_t got = read(file.fd, contents.data() + done, contents.size() - done);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return Failed(FirmwareFileStatus::kReadFailed, kFirmwareReadFailedText);
    done += static_cast<std::size_t>(got);
  }
  return ParseFirmwareFile(std::move(contents));
}

}  // namespace ktal
