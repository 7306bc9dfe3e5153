// The FITS files of the camera window pass fitsverify, the FITS standard's
// own checker, without an error or a warning. Without fitsverify (Debian
// package fitsverify) the test reports itself skipped (exit code 77); set
// KTAL_FITSVERIFY to use another binary.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "camera/fits_export.h"
#include "sim/dark_frame_model.h"

namespace ktal {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

std::string g_fitsverify;

std::optional<std::string> FindFitsverify() {
  if (const char* chosen = std::getenv("KTAL_FITSVERIFY"); chosen && *chosen) return chosen;
  const char* path = std::getenv("PATH");
  std::string folders = path ? path : "/usr/bin:/bin";
  std::size_t start = 0;
  while (start <= folders.size()) {
    const std::size_t end = std::min(folders.find(':', start), folders.size());
    const fs::path candidate = fs::path(folders.substr(start, end - start)) / "fitsverify";
    if (::access(candidate.c_str(), X_OK) == 0) return candidate.string();
    start = end + 1;
  }
  return std::nullopt;
}

struct Verdict {
  int exitCode = -1;
  std::string report;
};

Verdict Verify(const std::string& file) {
  const std::string command = "'" + g_fitsverify + "' '" + file + "' 2>&1";
  Verdict verdict;
  std::FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return verdict;
  char buffer[4096];
  for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
    verdict.report.append(buffer, got);
  const int status = ::pclose(pipe);
  verdict.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return verdict;
}

class FitsVerifyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("ktal-fitsverify-" + std::to_string(::getpid()));
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path dir_;
};

TEST_F(FitsVerifyTest, MasterDarkAndHotPixelMapsPassWithoutErrorOrWarning) {
  // A master dark stacked from the simulated camera's darks, and its maps.
  const sim::DarkFrameModel model;
  std::vector<Bytes> frames;
  std::vector<const std::uint8_t*> pointers;
  for (int k = 0; k < 3; ++k) {
    const Bytes raw = model.Frame(k);
    frames.emplace_back(kFrameBytes);
    PrepareDarkFrame(raw.data(), frames.back().data());
    pointers.push_back(frames.back().data());
  }
  ASSERT_EQ(StackDarkFrames(kStackIterations, kReadNoise, kGain, 3, pointers.data(), g_masterDark,
                            kFrameBytes),
            0);
  Bin2x2(30);
  FindHotPixels(g_masterDark, kFrameWidth, kFrameHeight, 50);
  const HotPixelMapRecord found = MapRecordFromLists(g_hotList, g_hotList2x2);
  HotPixelMapRecord empty{};
  empty.marker = kNoMaps;

  MasterDarkFacts dark;
  dark.pixels = g_masterDark;
  dark.exposureSeconds = 4.0;
  dark.framesStacked = 3;
  dark.firstExposureUtc = 1700000000;
  const HotPixelSearchFacts search{50, 30, 4.0, 3, 1700000000};

  std::string text;
  const std::string darkPath = (dir_ / "dark.fits").string();
  ASSERT_EQ(WriteMasterDarkFits(darkPath, dark, text), kFitsWritten) << text;
  const std::string newMap = (dir_ / "new-map.fits").string();
  ASSERT_EQ(WriteHotPixelMapFits(newMap, found, search, text), kFitsWritten) << text;
  const std::string cameraMap = (dir_ / "camera-map.fits").string();
  ASSERT_EQ(WriteHotPixelMapFits(cameraMap, found, std::nullopt, text), kFitsWritten) << text;
  const std::string emptyMap = (dir_ / "empty-map.fits").string();
  ASSERT_EQ(WriteHotPixelMapFits(emptyMap, empty, std::nullopt, text), kFitsWritten) << text;

  for (const std::string& file : {darkPath, newMap, cameraMap, emptyMap}) {
    SCOPED_TRACE(file);
    const Verdict verdict = Verify(file);
    EXPECT_EQ(verdict.exitCode, 0) << verdict.report;
    EXPECT_NE(verdict.report.find("0 warning(s) and 0 error(s)"), std::string::npos)
        << verdict.report;
  }
}

}  // namespace
}  // namespace ktal

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  const std::optional<std::string> fitsverify = ktal::FindFitsverify();
  if (!fitsverify) {
    std::printf(
        "Skipped: no fitsverify found (install the fitsverify package, or set "
        "KTAL_FITSVERIFY).\n");
    return 77;
  }
  ktal::g_fitsverify = *fitsverify;
  return RUN_ALL_TESTS();
}
