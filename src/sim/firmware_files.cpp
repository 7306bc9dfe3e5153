// SPDX-License-Identifier: GPL-3.0-or-later
#include "sim/firmware_files.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <system_error>

namespace ktal {

namespace {

constexpr int kHeaderSize = 12;

void PutInt32(std::vector<std::uint8_t>& out, int at, std::int32_t value) {
  const auto bits = static_cast<std::uint32_t>(value);
  for (int i = 0; i < 4; ++i) out[at + i] = static_cast<std::uint8_t>(bits >> (8 * i));
}

// Appends one section and returns its offset.
std::int32_t AppendSection(std::vector<std::uint8_t>& out,
                           const std::optional<FirmwareImage>& image) {
  const auto offset = static_cast<std::int32_t>(out.size());
  const std::uint16_t version = image ? image->version : 0;
  out.push_back(static_cast<std::uint8_t>(version));
  out.push_back(static_cast<std::uint8_t>(version >> 8));
  if (image) out.insert(out.end(), image->bytes.begin(), image->bytes.end());
  return offset;
}

// Versions of the camera parts in the samples: the camera firmware and the
// CCD board change far less often than the hand controller's.
constexpr std::uint16_t kSampleCameraVersion = 0x0131;
constexpr std::uint16_t kSampleCcdbVersion = 0x0102;

FirmwareImage SampleImage(std::uint16_t version, std::size_t size, std::uint32_t salt) {
  return {version, PseudoRandomImage(size, version * 0x10000u + salt)};
}

bool WriteAll(int fd, const std::vector<std::uint8_t>& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t put = write(fd, bytes.data() + done, bytes.size() - done);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    done += static_cast<std::size_t>(put);
  }
  return true;
}

// The temporary name is created new (a name someone planted makes it fail
// rather than be followed), and the rename replaces whatever sits at
// `path`, a link included, instead of writing through it.
bool WriteNewThenRename(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes) {
  const std::string temporary = path.string() + ".new-" + std::to_string(getpid());
  const int fd =
      open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  const bool written = WriteAll(fd, bytes);
  const bool closed = close(fd) == 0;
  if (!written || !closed || rename(temporary.c_str(), path.c_str()) != 0) {
    unlink(temporary.c_str());
    return false;
  }
  return true;
}

}  // namespace

std::vector<std::uint8_t> BuildFirmwareFile(const std::optional<FirmwareImage>& hc,
                                            const std::optional<FirmwareImage>& camera,
                                            const std::optional<FirmwareImage>& ccdb) {
  std::vector<std::uint8_t> out(kHeaderSize, 0);
  const std::int32_t hcOffset = AppendSection(out, hc);
  const std::int32_t cameraOffset = AppendSection(out, camera);
  const std::int32_t ccdbOffset = AppendSection(out, ccdb);
  PutInt32(out, 0, hcOffset);
  PutInt32(out, 4, cameraOffset);
  PutInt32(out, 8, ccdbOffset);
  return out;
}

std::vector<std::uint8_t> PseudoRandomImage(std::size_t size, std::uint32_t seed) {
  // mt19937's output is fixed by the standard (unlike the distributions),
  // so the images are the same on every platform.
  std::mt19937 random(seed);
  std::vector<std::uint8_t> bytes(size);
  for (auto& byte : bytes) byte = static_cast<std::uint8_t>(random() >> 24);
  return bytes;
}

std::vector<SampleFirmwareFile> SampleFirmwareFiles() {
  const FirmwareImage camera = SampleImage(kSampleCameraVersion, kSampleCameraImageSize, 1);
  const FirmwareImage ccdb = SampleImage(kSampleCcdbVersion, kSampleCcdbImageSize, 2);
  std::vector<SampleFirmwareFile> files;
  files.push_back({"hc250-camera-ccdb.fw", "hand controller 2.50 with camera and CCD-board images",
                   BuildFirmwareFile(SampleImage(0x0250, kSampleHcImageSize, 0), camera, ccdb)});
  files.push_back(
      {"hc260-only.fw", "hand controller 2.60 alone",
       BuildFirmwareFile(SampleImage(0x0260, kSampleHcImageSize, 0), std::nullopt, std::nullopt)});
  files.push_back({"camera-only.fw",
                   "camera and CCD board without hand-controller firmware (nothing is uploaded)",
                   BuildFirmwareFile(std::nullopt, camera, ccdb)});
  files.push_back({"hc261-newer.fw", "hand controller 2.61, newer than this program handles",
                   BuildFirmwareFile(SampleImage(0x0261, kSampleHcImageSize, 0), camera, ccdb)});
  // The camera section put before the hand controller's: the hand
  // controller's image length comes out negative.
  std::vector<std::uint8_t> damaged =
      BuildFirmwareFile(SampleImage(0x0250, 4096, 0), camera, std::nullopt);
  const std::vector<std::uint8_t> swapped{damaged[4], damaged[5], damaged[6], damaged[7],
                                          damaged[0], damaged[1], damaged[2], damaged[3]};
  std::copy(swapped.begin(), swapped.end(), damaged.begin());
  files.push_back(
      {"damaged-header.fw", "sections out of order: refused as a bad file", std::move(damaged)});
  return files;
}

std::vector<std::filesystem::path> WriteSampleFirmwareFiles(const std::filesystem::path& folder) {
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  if (error) return {};
  std::vector<std::filesystem::path> written;
  for (const SampleFirmwareFile& file : SampleFirmwareFiles()) {
    const std::filesystem::path path = folder / file.name;
    if (!WriteNewThenRename(path, file.bytes)) return {};
    written.push_back(path);
  }
  return written;
}

std::filesystem::path WriteSampleFirmwareFolder(const std::filesystem::path& parent) {
  std::string pattern = (parent / "ktal-companion-sample-firmware-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) return {};
  const std::filesystem::path folder = pattern;
  if (WriteSampleFirmwareFiles(folder).empty()) {
    std::error_code error;
    std::filesystem::remove_all(folder, error);
    return {};
  }
  return folder;
}

}  // namespace ktal
