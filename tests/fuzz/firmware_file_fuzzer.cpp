// SPDX-License-Identifier: GPL-3.0-or-later
// Fuzz harness: the firmware file loader on any file contents. A file it
// accepts must give images that lie inside the file, of the lengths it
// reports; one it refuses must hold no firmware.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string_view>
#include <vector>

#include "firmware/firmware_file.h"

namespace {

[[noreturn]] void Broken(const char* what) {
  std::fprintf(stderr, "broken promise: %s\n", what);
  std::abort();
}

void ExpectInside(std::span<const std::uint8_t> image, const std::vector<std::uint8_t>& contents,
                  const char* what) {
  if (image.empty()) return;
  const std::uint8_t* begin = contents.data();
  const std::uint8_t* end = begin + contents.size();
  if (image.data() < begin || image.data() + image.size() > end) Broken(what);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ktal::FirmwareFileLoad load =
      ktal::ParseFirmwareFile(std::vector<std::uint8_t>(data, data + size));
  const ktal::LoadedFirmware& fw = load.firmware;
  if (load.status != ktal::FirmwareFileStatus::kOk) {
    if (fw.HasFirmware() || !fw.HcImage().empty() || !fw.CameraImage().empty() ||
        !fw.CcdbImage().empty() || load.errorBoxText.empty())
      Broken("a refused file holds firmware");
    return 0;
  }
  ExpectInside(fw.HcImage(), fw.contents, "hand-controller image outside the file");
  ExpectInside(fw.CameraImage(), fw.contents, "camera image outside the file");
  ExpectInside(fw.CcdbImage(), fw.contents, "CCD-board image outside the file");
  if (fw.HcImage().size() != static_cast<std::size_t>(fw.hcImageLength) && fw.HasFirmware())
    Broken("hand-controller image length");
  if (fw.hcImageLength < 0 || fw.cameraImageLength < 0) Broken("negative image length");
  if (ktal::DescribeFirmware(fw).empty() || load.description.empty()) Broken("no description");

  // The version texts the window shows and reads back.
  const std::string text(reinterpret_cast<const char*>(data), size < 16 ? size : 16);
  if (const auto version = ktal::ParseVersionText(text)) {
    if (ktal::FormatVersionWord(*version).size() != 5) Broken("version word text");
  }
  return 0;
}
