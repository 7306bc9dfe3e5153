#include "firmware/firmware_file.h"

#include <cstdio>
#include <memory>
#include <new>
#include <stdexcept>
#include <system_error>

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

FirmwareFileLoad Failed(FirmwareFileStatus status, const char* description, const char* boxText) {
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

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

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
  // A folder opens for reading on some systems but is no file to load.
  std::error_code error;
  if (std::filesystem::is_directory(path, error)) {
    return Failed(FirmwareFileStatus::kCantOpen, kFirmwareOpenFailedText, kFirmwareOpenFailedBox);
  }
  const std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
  if (!file) {
    return Failed(FirmwareFileStatus::kCantOpen, kFirmwareOpenFailedText, kFirmwareOpenFailedBox);
  }
  if (std::fseek(file.get(), 0, SEEK_END) != 0) {
    return Failed(FirmwareFileStatus::kReadFailed, kFirmwareReadFailedText);
  }
  const long size = std::ftell(file.get());
  if (size < 0 || std::fseek(file.get(), 0, SEEK_SET) != 0) {
    return Failed(FirmwareFileStatus::kReadFailed, kFirmwareReadFailedText);
  }
  std::vector<std::uint8_t> contents;
  try {
    contents.resize(static_cast<std::size_t>(size));
  } catch (const std::bad_alloc&) {
    return Failed(FirmwareFileStatus::kOutOfMemory, kFirmwareOutOfMemoryText);
  } catch (const std::length_error&) {
    return Failed(FirmwareFileStatus::kOutOfMemory, kFirmwareOutOfMemoryText);
  }
  if (std::fread(contents.data(), 1, contents.size(), file.get()) != contents.size()) {
    return Failed(FirmwareFileStatus::kReadFailed, kFirmwareReadFailedText);
  }
  return ParseFirmwareFile(std::move(contents));
}

}  // namespace ktal
