// SPDX-License-Identifier: GPL-3.0-or-later
// The master dark and the hot-pixel maps as FITS files, read back with
// CFITSIO: pixels and rows as given, the cards with their values and none
// without one, and a target that is replaced whole or not at all.
#include "camera/fits_export.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <tuple>

#include "sim/dark_frame_model.h"
#include "tests/camera/fits_reader.h"
#include "tests/guidelog/full_disk.h"

namespace ktal {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using testing::FitsReader;

constexpr std::time_t kStart = 1700000000;  // 2023-11-14 22:13:20 UTC

// No card of any HDU is blank or stands in for a value.
void ExpectNoPlaceholders(FitsReader& fits) {
  for (int hdu = 1; hdu <= fits.HduCount() && fits.MoveTo(hdu); ++hdu) {
    for (auto [key, value] : fits.ValueCards()) {
      std::erase_if(value, [](char c) { return c == '\'' || c == ' '; });
      std::transform(value.begin(), value.end(), value.begin(), ::toupper);
      for (const char* stand_in : {"", "UNKNOWN", "N/A", "NONE", "NULL", "NAN"})
        EXPECT_NE(value, stand_in) << "HDU " << hdu << " " << key;
    }
  }
}

class FitsExportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string Path(const char* name) const { return (dir_ / name).string(); }
  std::vector<std::string> Listing() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir_))
      names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  const fs::path dir_ = fs::temp_directory_path() / ("ktal-fits-test-" + std::to_string(getpid()));
  // A frame of the simulated camera: every value, hot pixels, noise.
  const Bytes frame_ = sim::DarkFrameModel().Frame(0);
};

TEST_F(FitsExportTest, MasterDarkReadsBackAsStackedWithItsCards) {
  struct Case {
    const char* name;
    MasterDarkFacts facts;
    std::map<std::string, std::optional<std::string>> cards;
  };
  const Case cases[] = {
      {"the run's dark",
       {frame_.data(), kFrameWidth, kFrameHeight,
        ExposureTicksToSeconds(DarkFrameRequest().exposureTicks), 5, kStart},
       // 2.77f is 2.7699999... in binary; the card keeps the decimal.
       {{"IMAGETYP", "Dark Frame"},
        {"EXPTIME", "4."},
        {"STACKCNT", "5"},
        {"DATE-OBS", "2023-11-14T22:13:20"},
        {"STACKITR", "5"},
        {"RDNOISE", "7.5"},
        {"EGAIN", "2.77"},
        {"PEDESTAL", "4"},
        {"ROWORDER", "TOP-DOWN"}}},
      {"another size and stack, start unknown",
       {frame_.data(), kBinnedWidth, kBinnedHeight, 0.5, 2, std::nullopt, 3, 6.25f, 1.5f, 2},
       {{"EXPTIME", "0.5"},
        {"STACKCNT", "2"},
        {"DATE-OBS", std::nullopt},
        {"STACKITR", "3"},
        {"RDNOISE", "6.25"},
        {"EGAIN", "1.5"},
        {"PEDESTAL", "2"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string text;
    ASSERT_EQ(WriteMasterDarkFits(Path("dark.fits"), c.facts, text), kFitsWritten) << text;
    FitsReader fits(Path("dark.fits"));
    ASSERT_TRUE(fits.ok());
    long size[2] = {};
    const Bytes pixels = fits.Image(size);
    EXPECT_EQ(size[0], c.facts.width);
    EXPECT_EQ(size[1], c.facts.height);
    EXPECT_TRUE(std::equal(pixels.begin(), pixels.end(), frame_.begin()));
    for (const auto& [key, value] : c.cards) EXPECT_EQ(fits.Card(key.c_str()), value) << key;
    EXPECT_NE(fits.Card("INSTRUME"), std::nullopt);
    EXPECT_TRUE(fits.Card("CREATOR").value_or("").starts_with("ktal-companion "));
    ExpectNoPlaceholders(fits);
  }
}

TEST_F(FitsExportTest, HotPixelTablesHoldTheMapsRowsAndSayWhereTheyCameFrom) {
  std::copy(frame_.begin(), frame_.end(), g_masterDark);
  Bin2x2(0);
  FindHotPixels(g_masterDark, kFrameWidth, kFrameHeight, 12);
  const HotPixelMapRecord found = MapRecordFromLists(g_hotList, g_hotList2x2);
  Bin2x2(30);
  const HotPixelMapRecord camera = MapRecordFromLists(g_hotList, g_hotList2x2);
  const HotPixelSearchFacts search{12, 0, 4.0, 3, kStart};
  struct Case {
    const char* name;
    const HotPixelMapRecord& map;
    std::optional<HotPixelSearchFacts> search;
  };
  for (const Case& c : {Case{"new map, empty 2x2 table", found, search},
                        Case{"read from the camera", camera, std::nullopt}}) {
    SCOPED_TRACE(c.name);
    std::string text;
    ASSERT_EQ(WriteHotPixelMapFits(Path("map.fits"), c.map, c.search, text), kFitsWritten) << text;
    FitsReader fits(Path("map.fits"));
    ASSERT_EQ(fits.HduCount(), 3);
    const auto tables = {std::tuple("HOTPIX1X1", c.map.entries1x1, c.map.count1x1, 1, 12),
                         std::tuple("HOTPIX2X2", c.map.entries2x2, c.map.count2x2, 2, 0)};
    for (const auto& [extname, entries, count, binning, requested] : tables) {
      SCOPED_TRACE(extname);
      ASSERT_TRUE(fits.MoveTo(extname));
      EXPECT_EQ(fits.Table(), testing::Entries(entries, count));
      EXPECT_EQ(fits.Card("XYORIGIN"), "0");
      EXPECT_EQ(fits.Card("XBINNING"), std::to_string(binning));
      EXPECT_EQ(fits.Card("FRAMEW"), std::to_string(kFrameWidth / binning));
      EXPECT_EQ(fits.Card("MAPSRC"), c.search ? "search" : "camera");
      // The camera keeps no more than the tables.
      EXPECT_EQ(fits.Card("HOTPIXN"),
                c.search ? std::optional(std::to_string(requested)) : std::nullopt);
      EXPECT_EQ(fits.Card("STACKCNT"), c.search ? std::optional("3") : std::nullopt);
      EXPECT_EQ(fits.Card("DATE-OBS"),
                c.search ? std::optional("2023-11-14T22:13:20") : std::nullopt);
    }
    ExpectNoPlaceholders(fits);
  }
}

std::string Contents(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

TEST_F(FitsExportTest, TheTargetIsReplacedWholeOrNotAtAll) {
  const MasterDarkFacts facts{frame_.data(), kFrameWidth, kFrameHeight, 4.0, 1};
  const std::string target = Path("dark.fits");
  std::string text;

  // A symlink at the target is replaced, what it points to left alone; a
  // temporary file someone left is neither used nor removed.
  std::ofstream(Path("elsewhere")) << "not a dark";
  std::ofstream(target + ".tmp") << "left over";
  fs::create_symlink(Path("elsewhere"), target);
  ASSERT_EQ(WriteMasterDarkFits(target, facts, text), kFitsWritten) << text;
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(target)));
  EXPECT_EQ(Contents(Path("elsewhere")), "not a dark");
  EXPECT_EQ(Contents(target + ".tmp"), "left over");
  fs::remove(Path("elsewhere"));
  fs::remove(target + ".tmp");
  const std::string written = Contents(target);

  // A full disk keeps the old file whole, with nothing left beside it.
  const full_disk::Outcome full = full_disk::RunWithFileSizeLimit(100000, [&] {
    const int result = WriteMasterDarkFits(target, facts, text);
    std::printf("%s", text.c_str());
    return result;
  });
  EXPECT_EQ(full.result, kFitsCannotWrite);
  EXPECT_TRUE(full.out.starts_with("Can't write")) << full.out;
  EXPECT_EQ(Contents(target), written);

  EXPECT_EQ(WriteMasterDarkFits(Path("gone/dark.fits"), facts, text), kFitsCannotCreate);
  EXPECT_NE(text.find("gone"), std::string::npos) << text;
  fs::create_directory(Path("folder.fits"));
  EXPECT_EQ(WriteMasterDarkFits(Path("folder.fits"), facts, text), kFitsCannotRename);
  EXPECT_EQ(WriteMasterDarkFits(Path("a.fits"), MasterDarkFacts{}, text), kFitsBadData);
  HotPixelMapRecord damaged{};
  damaged.count2x2 = kMaxHotPixels + 1;
  EXPECT_EQ(WriteHotPixelMapFits(Path("b.fits"), damaged, std::nullopt, text), kFitsBadData);
  EXPECT_EQ(Listing(), (std::vector<std::string>{"dark.fits", "folder.fits"}));
}

}  // namespace
}  // namespace ktal
