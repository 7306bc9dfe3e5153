// SPDX-License-Identifier: GPL-3.0-or-later
// The FITS files of the camera window pass fitsverify, the FITS standard's
// own checker, without an error or a warning. Without fitsverify (Debian
// package fitsverify) on the PATH the test reports itself skipped (exit
// code 77).
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "camera/fits_export.h"
#include "sim/dark_frame_model.h"

namespace ktal {
namespace {

namespace fs = std::filesystem;

// fitsverify's report and exit code (the number of errors and warnings).
int Verify(const std::string& file, std::string& report) {
  std::FILE* pipe = ::popen(("fitsverify '" + file + "' 2>&1").c_str(), "r");
  if (pipe == nullptr) return -1;
  char buffer[4096];
  for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
    report.append(buffer, got);
  const int status = ::pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(FitsVerifyTest, MasterDarkAndHotPixelMapsPassWithoutErrorOrWarning) {
  const fs::path dir = fs::temp_directory_path() / ("ktal-fitsverify-" + std::to_string(getpid()));
  fs::create_directories(dir);
  const auto frame = sim::DarkFrameModel().Frame(0);
  std::copy(frame.begin(), frame.end(), g_masterDark);
  Bin2x2(30);
  FindHotPixels(g_masterDark, kFrameWidth, kFrameHeight, 50);
  const HotPixelMapRecord found = MapRecordFromLists(g_hotList, g_hotList2x2);
  const MasterDarkFacts dark{g_masterDark, kFrameWidth, kFrameHeight, 4.0, 3, 1700000000};

  std::string text;
  EXPECT_EQ(WriteMasterDarkFits((dir / "dark.fits").string(), dark, text), kFitsWritten);
  EXPECT_EQ(WriteHotPixelMapFits((dir / "new.fits").string(), found,
                                 HotPixelSearchFacts{50, 30, 4.0, 3, 1700000000}, text),
            kFitsWritten);
  EXPECT_EQ(WriteHotPixelMapFits((dir / "camera.fits").string(), found, std::nullopt, text),
            kFitsWritten);
  EXPECT_EQ(WriteHotPixelMapFits((dir / "empty.fits").string(), {}, std::nullopt, text),
            kFitsWritten);
  for (const char* name : {"dark.fits", "new.fits", "camera.fits", "empty.fits"}) {
    std::string report;
    EXPECT_EQ(Verify((dir / name).string(), report), 0) << report;
    EXPECT_NE(report.find("0 warning(s) and 0 error(s)"), std::string::npos) << report;
  }
  fs::remove_all(dir);
}

}  // namespace
}  // namespace ktal

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (std::system("command -v fitsverify >/dev/null 2>&1") != 0) {
    std::printf("Skipped: no fitsverify found (install the fitsverify package).\n");
    return 77;
  }
  return RUN_ALL_TESTS();
}
