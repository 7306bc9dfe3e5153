// SPDX-License-Identifier: GPL-3.0-or-later
#include "firmware/firmware_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "sim/firmware_files.h"
#include "tests/guidelog/guidelog_test_util.h"

namespace ktal {
namespace {

// A file of `size` bytes: the three offsets, then `fill` (so every version
// word read from the body is `fill` * 0x0101).
std::vector<std::uint8_t> RawFile(std::int32_t hc, std::int32_t camera, std::int32_t ccdb,
                                  std::size_t size, std::uint8_t fill = 0x01) {
  std::vector<std::uint8_t> bytes(size, fill);
  const std::int32_t offsets[] = {hc, camera, ccdb};
  for (int i = 0; i < 12 && i < static_cast<int>(size); ++i) {
    bytes[i] =
        static_cast<std::uint8_t>(static_cast<std::uint32_t>(offsets[i / 4]) >> (8 * (i % 4)));
  }
  return bytes;
}

// Room for a CCD-board image behind a word at `ccdb`.
std::size_t WithCcdb(std::int32_t ccdb) { return static_cast<std::size_t>(ccdb) + 2 + 2049; }

TEST(FirmwareFileTest, HeadersPointingOutsideTheFileAreRefused) {
  struct Case {
    const char* name;
    std::vector<std::uint8_t> file;
  };
  const std::vector<Case> cases = {
      {"empty file", {}},
      // With a twelfth byte of 0 this would be a valid header of empty
      // sections.
      {"shorter than the header", {0, 0, 0, 0, 2, 0, 0, 0, 6, 0, 0}},
      {"header only, every offset at the end", RawFile(12, 12, 12, 12)},
      {"header of zeros: sections on top of each other", RawFile(0, 0, 0, 12, 0)},
      {"negative hand-controller offset", RawFile(-1, 14, 16, 18, 0)},
      {"negative camera offset", RawFile(12, -2, 16, 18, 0)},
      {"negative CCD-board offset", RawFile(12, 14, -4, 18, 0)},
      {"hand-controller offset past the end", RawFile(40, 14, 16, 18, 0)},
      {"CCD-board word half outside", RawFile(12, 14, 17, 18, 0)},
      {"hand-controller offset at the 32-bit limit", RawFile(0x7FFFFFFF, 14, 16, 18, 0)},
      {"camera before hand controller: negative image length", RawFile(20, 12, 40, 42, 0)},
      {"CCD board before camera: negative image length", RawFile(12, 40, 20, 42, 0)},
      {"version words overlapping: image length -1", RawFile(12, 13, 20, 22, 0)},
      {"CCD-board image one byte short", RawFile(12, 14, 16, WithCcdb(16) - 1)},
      {"CCD-board word at the end, image missing", RawFile(12, 14, 16, 18)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const FirmwareFileLoad load = ParseFirmwareFile(c.file);
    EXPECT_EQ(load.status, FirmwareFileStatus::kBadFile);
    EXPECT_EQ(load.description, "ERROR: bad firmware file");
    EXPECT_EQ(load.errorBoxText, "ERROR: bad firmware file");
    EXPECT_FALSE(load.firmware.HasFirmware());
    EXPECT_EQ(load.firmware.cameraVersion, 0);
    EXPECT_EQ(load.firmware.ccdbVersion, 0);
    EXPECT_TRUE(load.firmware.contents.empty());
    EXPECT_TRUE(load.firmware.HcImage().empty());
  }
}

TEST(FirmwareFileTest, AcceptedHeadersAndTheirDescription) {
  struct Case {
    const char* name;
    std::vector<std::uint8_t> file;
    int hcLength;
    int cameraLength;
    bool ccdbImage;
    const char* description;
  };
  // Body bytes are 0x01 unless a case says otherwise: version words 0x0101.
  auto zeroAt = [](std::vector<std::uint8_t> file, std::size_t at) {
    file[at] = 0;
    file[at + 1] = 0;
    return file;
  };
  const std::vector<Case> cases = {
      {"all three sections", RawFile(12, 20, 30, WithCcdb(30)), 6, 8, true,
       "HandController version:  $0101\nCamera version:  $0101\n"},
      {"camera word without image bytes", RawFile(12, 20, 22, WithCcdb(22)), 6, 0, true,
       "HandController version:  $0101\nCamera version:  -\n"},
      {"camera image with version 0", zeroAt(RawFile(12, 20, 30, WithCcdb(30)), 20), 6, 8, true,
       "HandController version:  $0101\nCamera version:  $0000\n"},
      {"no hand-controller image", RawFile(12, 14, 30, WithCcdb(30)), 0, 14, true,
       "HandController version:  -\nCamera version:  $0101\n"},
      {"no CCD board: the file ends at its word", zeroAt(RawFile(12, 20, 30, 32), 30), 6, 8, false,
       "HandController version:  $0101\nCamera version:  $0101\n"},
      {"bytes after the CCD-board image are ignored", RawFile(12, 20, 30, WithCcdb(30) + 100), 6, 8,
       true, "HandController version:  $0101\nCamera version:  $0101\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const FirmwareFileLoad load = ParseFirmwareFile(c.file);
    ASSERT_EQ(load.status, FirmwareFileStatus::kOk);
    EXPECT_EQ(load.errorBoxText, "");
    EXPECT_EQ(load.description, c.description);
    EXPECT_EQ(load.firmware.hcImageLength, c.hcLength);
    EXPECT_EQ(load.firmware.cameraImageLength, c.cameraLength);
    EXPECT_EQ(load.firmware.HcImage().size(), static_cast<std::size_t>(c.hcLength));
    EXPECT_EQ(load.firmware.CameraImage().size(), static_cast<std::size_t>(c.cameraLength));
    EXPECT_EQ(load.firmware.CcdbImage().size(), c.ccdbImage ? 2049u : 0u);
    EXPECT_EQ(load.firmware.contents, c.file);
  }
}

// What is not a regular file, or is larger than any firmware file can be,
// is refused before anything is read: a pipe would never end, a huge file
// would be held whole. Each refusal says why.
TEST(FirmwareFileTest, FilesThatCannotBeRead) {
  logtest::TempDir dir;
  std::filesystem::create_directory("a-folder.fw");
  ASSERT_EQ(mkfifo("a-pipe.fw", 0600), 0);
  const auto sparse = [&](const char* name, std::int64_t size) {
    std::ofstream(dir.path() / name).close();
    std::filesystem::resize_file(dir.path() / name, static_cast<std::uintmax_t>(size));
    return dir.path() / name;
  };
  struct Case {
    const char* name;
    std::filesystem::path path;
    FirmwareFileStatus status;
    std::string description;
    std::string box;  // how the box's text begins
  };
  const std::string cantOpen = "Can't open file!";
  const std::string notRegular = cantOpen + "\n\nIt is not a regular file";
  const std::vector<Case> cases = {
      {"no such file", dir.path() / "missing.fw", FirmwareFileStatus::kCantOpen,
       "ERROR opening file...", cantOpen},
      {"a folder", dir.path() / "a-folder.fw", FirmwareFileStatus::kNotRegularFile,
       "ERROR opening file...", notRegular},
      {"a pipe no one writes to", dir.path() / "a-pipe.fw", FirmwareFileStatus::kNotRegularFile,
       "ERROR opening file...", notRegular},
      {"a device", "/dev/zero", FirmwareFileStatus::kNotRegularFile, "ERROR opening file...",
       notRegular},
      {"one byte over the largest firmware file", sparse("big.fw", kMaxFirmwareFileSize + 1),
       FirmwareFileStatus::kTooLarge, "ERROR: bad firmware file",
       "ERROR: bad firmware file\n\nThe file holds 4327444 bytes; no firmware file for the "
       "guider holds more than 4327443."},
      // Read whole, and then its header of zeros is refused.
      {"the largest firmware file", sparse("largest.fw", kMaxFirmwareFileSize),
       FirmwareFileStatus::kBadFile, "ERROR: bad firmware file", "ERROR: bad firmware file"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const FirmwareFileLoad load = LoadFirmwareFile(c.path);
    EXPECT_EQ(load.status, c.status);
    EXPECT_EQ(load.description, c.description);
    EXPECT_TRUE(load.errorBoxText.starts_with(c.box)) << load.errorBoxText;
    EXPECT_FALSE(load.firmware.HasFirmware());
    EXPECT_TRUE(load.firmware.contents.empty());
  }
}

TEST(FirmwareFileTest, VersionWords) {
  EXPECT_EQ(FormatVersionWord(0x0250), "$0250");
  EXPECT_EQ(FormatVersionWord(0x0000), "$0000");
  EXPECT_EQ(FormatVersionWord(0xABCD), "$abcd");

  struct Case {
    const char* text;
    std::optional<std::uint16_t> version;
  };
  const Case cases[] = {
      {"2.60", 0x0260},    {"1.11", 0x0111},   {"2.6", 0x0206},         {"a.b", 0x0A0B},
      {"2", std::nullopt}, {"", std::nullopt}, {"v2.60", std::nullopt}, {"2.100", std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ParseVersionText(c.text), c.version) << '"' << c.text << '"';
  }
  // The limit a hand-controller version is held against before uploading.
  EXPECT_EQ(ApplicationFirmwareLimit(), 0x0260);
}

// ---- The sample files the simulated guider offers ----

TEST(FirmwareFilesTest, BuiltFileBytesAndTheImagesLoadedFromThem) {
  const FirmwareImage hc{0x0250, {0xA1, 0xA2, 0xA3}};
  const FirmwareImage camera{0x0131, {0x55}};
  const std::vector<std::uint8_t> file = BuildFirmwareFile(hc, camera, std::nullopt);
  const std::vector<std::uint8_t> golden = {
      0x0C, 0x00, 0x00, 0x00,                                      // hand controller at 12
      0x11, 0x00, 0x00, 0x00,                                      // camera at 17
      0x14, 0x00, 0x00, 0x00,                                      // CCD board at 20
      0x50, 0x02, 0xA1, 0xA2, 0xA3, 0x31, 0x01, 0x55, 0x00, 0x00,  // no CCD board
  };
  EXPECT_EQ(file, golden);

  const FirmwareImage ccdb{0x0102, PseudoRandomImage(2049, 9)};
  const FirmwareFileLoad load = ParseFirmwareFile(BuildFirmwareFile(hc, camera, ccdb));
  ASSERT_EQ(load.status, FirmwareFileStatus::kOk);
  const LoadedFirmware& fw = load.firmware;
  EXPECT_EQ(fw.hcVersion, 0x0250);
  EXPECT_EQ(fw.cameraVersion, 0x0131);
  EXPECT_EQ(fw.ccdbVersion, 0x0102);
  auto bytes = [](std::span<const std::uint8_t> s) { return std::vector(s.begin(), s.end()); };
  EXPECT_EQ(bytes(fw.HcImage()), hc.bytes);
  EXPECT_EQ(bytes(fw.CameraImage()), camera.bytes);
  EXPECT_EQ(bytes(fw.CcdbImage()), ccdb.bytes);
}

TEST(FirmwareFilesTest, SampleFilesLoadAsDescribed) {
  struct Expected {
    const char* name;
    FirmwareFileStatus status;
    std::uint16_t hcVersion;
    bool camera;  // camera and CCD-board images present
  };
  const Expected expected[] = {
      {"hc250-camera-ccdb.fw", FirmwareFileStatus::kOk, 0x0250, true},
      {"hc260-only.fw", FirmwareFileStatus::kOk, 0x0260, false},
      {"camera-only.fw", FirmwareFileStatus::kOk, 0x0000, true},
      {"hc261-newer.fw", FirmwareFileStatus::kOk, 0x0261, true},
      {"damaged-header.fw", FirmwareFileStatus::kBadFile, 0x0000, false},
  };
  logtest::TempDir dir;
  const std::vector<std::filesystem::path> written = WriteSampleFirmwareFiles(dir.path() / "fw");
  ASSERT_EQ(written.size(), std::size(expected));
  for (std::size_t i = 0; i < written.size(); ++i) {
    const Expected& want = expected[i];
    SCOPED_TRACE(want.name);
    EXPECT_EQ(written[i].filename(), want.name);
    const FirmwareFileLoad load = LoadFirmwareFile(written[i]);
    ASSERT_EQ(load.status, want.status);
    const LoadedFirmware& fw = load.firmware;
    EXPECT_EQ(fw.hcVersion, want.hcVersion);
    if (want.status != FirmwareFileStatus::kOk) continue;
    EXPECT_EQ(fw.HcImage().size(), want.hcVersion != 0 ? kSampleHcImageSize : 0u);
    EXPECT_EQ(fw.CameraImage().size(), want.camera ? kSampleCameraImageSize : 0u);
    EXPECT_EQ(fw.CcdbImage().size(), want.camera ? kSampleCcdbImageSize : 0u);
    EXPECT_EQ(fw.cameraVersion != 0, want.camera);
  }
}

// The samples go into a new folder only this user can enter, and a link
// planted at a sample's name is replaced, not written through.
TEST(FirmwareFilesTest, SampleFolderIsPrivateAndNoLinkInItIsFollowed) {
  logtest::TempDir dir;
  const std::filesystem::path first = WriteSampleFirmwareFolder(dir.path());
  const std::filesystem::path second = WriteSampleFirmwareFolder(dir.path());
  ASSERT_FALSE(first.empty());
  EXPECT_NE(first, second);
  struct stat info {};
  ASSERT_EQ(lstat(first.c_str(), &info), 0);
  EXPECT_TRUE(S_ISDIR(info.st_mode));
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  EXPECT_EQ(info.st_uid, getuid());
  EXPECT_TRUE(std::filesystem::is_regular_file(first / "hc250-camera-ccdb.fw"));

  const std::filesystem::path target = dir.path() / "someone-elses-file";
  std::ofstream(target) << "keep";
  std::filesystem::remove(second / "hc260-only.fw");
  std::filesystem::create_symlink(target, second / "hc260-only.fw");
  ASSERT_EQ(WriteSampleFirmwareFiles(second).size(), SampleFirmwareFiles().size());
  EXPECT_EQ(logtest::ReadText(target), "keep");
  EXPECT_FALSE(std::filesystem::is_symlink(second / "hc260-only.fw"));
  EXPECT_EQ(LoadFirmwareFile(second / "hc260-only.fw").firmware.hcVersion, 0x0260);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(second), {}),
            static_cast<std::ptrdiff_t>(SampleFirmwareFiles().size()));
}

}  // namespace
}  // namespace ktal
