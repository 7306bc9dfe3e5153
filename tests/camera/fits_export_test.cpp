// The master dark and the hot-pixel maps as FITS files, read back with
// CFITSIO: the pixels and rows as given, the cards with their values and
// none without one, and the replacement of the target that a failure never
// half-does.
#include "camera/fits_export.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "sim/dark_frame_model.h"
#include "tests/camera/fits_reader.h"
#include "tests/guidelog/full_disk.h"

namespace ktal {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using testing::Entries;
using testing::FitsReader;

// 2023-11-14 22:13:20 UTC.
constexpr std::time_t kStart = 1700000000;

// A master dark as the window stacks it, from the simulated camera's darks.
Bytes StackedDark(int n) {
  const sim::DarkFrameModel model;
  std::vector<Bytes> frames;
  std::vector<const std::uint8_t*> pointers;
  for (int k = 0; k < n; ++k) {
    const Bytes raw = model.Frame(k);
    frames.emplace_back(kFrameBytes);
    PrepareDarkFrame(raw.data(), frames.back().data());
    pointers.push_back(frames.back().data());
  }
  Bytes master(kFrameBytes);
  EXPECT_EQ(StackDarkFrames(kStackIterations, kReadNoise, kGain, n, pointers.data(), master.data(),
                            kFrameBytes),
            0);
  return master;
}

// The maps the window would store for this dark.
HotPixelMapRecord FoundMaps(const Bytes& dark, int n1x1, int n2x2) {
  std::copy(dark.begin(), dark.end(), g_masterDark);
  Bin2x2(n2x2);
  FindHotPixels(g_masterDark, kFrameWidth, kFrameHeight, n1x1);
  return MapRecordFromLists(g_hotList, g_hotList2x2);
}

// Every HDU's cards carry a real value: none undefined, blank or standing
// in for one.
void ExpectNoPlaceholders(const std::string& path) {
  FitsReader fits(path);
  ASSERT_TRUE(fits.ok());
  for (int hdu = 1; hdu <= fits.HduCount(); ++hdu) {
    ASSERT_TRUE(fits.MoveTo(hdu));
    for (const auto& [key, value] : fits.ValueCards()) {
      std::string bare;
      for (char c : value) {
        if (c != '\'' && c != ' ') bare += static_cast<char>(std::toupper(c));
      }
      EXPECT_FALSE(bare.empty()) << "HDU " << hdu << " " << key;
      for (const char* stand_in : {"UNKNOWN", "N/A", "NONE", "TBD", "NULL", "NAN"}) {
        EXPECT_NE(bare, stand_in) << "HDU " << hdu << " " << key;
      }
    }
  }
}

class FitsExportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("ktal-fits-test-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
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

  fs::path dir_;
};

// ---- The master dark ----

struct DarkCase {
  const char* name;
  int width;
  int height;
  std::optional<std::time_t> start;
  const char* dateObs;  // nullptr: no DATE-OBS card
};

TEST_F(FitsExportTest, MasterDarkReadsBackAsStackedWithItsCards) {
  const Bytes dark = StackedDark(3);
  const DarkCase cases[] = {
      {"full frame with its start", kFrameWidth, kFrameHeight, kStart, "2023-11-14T22:13:20"},
      {"another size, start unknown", kBinnedWidth, kBinnedHeight, std::nullopt, nullptr},
  };
  for (const DarkCase& c : cases) {
    SCOPED_TRACE(c.name);
    MasterDarkFacts facts;
    facts.pixels = dark.data();
    facts.width = c.width;
    facts.height = c.height;
    facts.exposureSeconds = 4.0;
    facts.framesStacked = 3;
    facts.firstExposureUtc = c.start;
    // Parameters other than the run's, so that each card shows it comes
    // from what was given.
    facts.iterations = 3;
    facts.readNoise = 6.25f;
    facts.gain = 1.5f;
    facts.pedestal = 2;
    const std::string path = Path("dark.fits");
    std::string text;
    ASSERT_EQ(WriteMasterDarkFits(path, facts, text), kFitsWritten) << text;

    FitsReader fits(path);
    ASSERT_TRUE(fits.ok());
    EXPECT_EQ(fits.HduCount(), 1);
    long width = 0, height = 0;
    int bitpix = 0;
    const Bytes pixels = fits.Image(width, height, bitpix);
    EXPECT_EQ(bitpix, BYTE_IMG);
    EXPECT_EQ(width, c.width);
    EXPECT_EQ(height, c.height);
    EXPECT_TRUE(std::equal(pixels.begin(), pixels.end(), dark.begin()));

    EXPECT_EQ(fits.Text("IMAGETYP"), "Dark Frame");
    EXPECT_EQ(fits.Real("EXPTIME"), 4.0);
    EXPECT_EQ(fits.Integer("STACKCNT"), 3);
    EXPECT_EQ(fits.Text("DATE-OBS"),
              c.dateObs ? std::optional<std::string>(c.dateObs) : std::nullopt);
    EXPECT_EQ(fits.Text("ROWORDER"), "TOP-DOWN");
    EXPECT_EQ(fits.Integer("STACKITR"), 3);
    EXPECT_EQ(fits.Real("RDNOISE"), 6.25);
    EXPECT_EQ(fits.Real("EGAIN"), 1.5);
    EXPECT_EQ(fits.Integer("PEDESTAL"), 2);
    EXPECT_FALSE(fits.Text("INSTRUME").value_or("").empty());
    EXPECT_TRUE(fits.Text("CREATOR").value_or("").starts_with("ktal-companion "));
    ExpectNoPlaceholders(path);
  }
}

TEST_F(FitsExportTest, TheRunsParametersReadAsDecimalsOnTheirCards) {
  // 2.77f is 2.7699999... in binary; a reader shows the card as written.
  const Bytes dark(kFrameBytes, 7);
  MasterDarkFacts facts;
  facts.pixels = dark.data();
  facts.exposureSeconds = ExposureTicksToSeconds(DarkFrameRequest().exposureTicks);
  facts.framesStacked = 5;
  std::string text;
  ASSERT_EQ(WriteMasterDarkFits(Path("dark.fits"), facts, text), kFitsWritten) << text;
  FitsReader fits(Path("dark.fits"));
  const auto cards = fits.ValueCards();
  auto value = [&](const std::string& key) {
    const auto at = std::find_if(cards.begin(), cards.end(),
                                 [&](const auto& card) { return card.first == key; });
    return at == cards.end() ? std::string("(absent)") : at->second;
  };
  EXPECT_EQ(value("EGAIN"), "2.77");
  EXPECT_EQ(value("RDNOISE"), "7.5");
  EXPECT_EQ(value("EXPTIME"), "4.");
}

// ---- Hot-pixel maps ----

TEST_F(FitsExportTest, HotPixelTablesHoldTheMapsRowsAndSayWhereTheyCameFrom) {
  const Bytes dark = StackedDark(3);
  struct MapCase {
    const char* name;
    HotPixelMapRecord map;
    std::optional<HotPixelSearchFacts> search;
  };
  const HotPixelSearchFacts search{12, 0, 4.0, 3, kStart};
  const MapCase cases[] = {
      {"new map, empty 2x2 table", FoundMaps(dark, 12, 0), search},
      {"read from the camera", FoundMaps(dark, 50, 30), std::nullopt},
  };
  for (const MapCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = Path("map.fits");
    std::string text;
    ASSERT_EQ(WriteHotPixelMapFits(path, c.map, c.search, text), kFitsWritten) << text;

    FitsReader fits(path);
    ASSERT_TRUE(fits.ok());
    EXPECT_EQ(fits.HduCount(), 3);
    EXPECT_EQ(fits.Text("MAPSRC"), c.search ? "search" : "camera");
    struct Table {
      const char* extname;
      std::vector<HotPixelEntry> entries;
      int binning;
      int requested;
    };
    const Table tables[] = {
        {"HOTPIX1X1", Entries(c.map.entries1x1, c.map.count1x1), 1, search.hotPixels1x1},
        {"HOTPIX2X2", Entries(c.map.entries2x2, c.map.count2x2), 2, search.hotPixels2x2},
    };
    for (const Table& table : tables) {
      SCOPED_TRACE(table.extname);
      ASSERT_TRUE(fits.MoveTo(table.extname));
      EXPECT_EQ(fits.Table(), table.entries);
      EXPECT_EQ(fits.Integer("XYORIGIN"), 0);
      EXPECT_EQ(fits.Integer("XBINNING"), table.binning);
      EXPECT_EQ(fits.Integer("FRAMEW"), kFrameWidth / table.binning);
      EXPECT_EQ(fits.Integer("FRAMEH"), kFrameHeight / table.binning);
      EXPECT_EQ(fits.Text("MAPSRC"), c.search ? "search" : "camera");
      if (c.search) {
        EXPECT_EQ(fits.Integer("HOTPIXN"), table.requested);
        EXPECT_EQ(fits.Real("EXPTIME"), 4.0);
        EXPECT_EQ(fits.Integer("STACKCNT"), 3);
        EXPECT_EQ(fits.Text("DATE-OBS"), "2023-11-14T22:13:20");
      } else {
        // The camera keeps no more than the table.
        for (const char* key : {"HOTPIXN", "HOTMETH", "EXPTIME", "STACKCNT", "DATE-OBS"})
          EXPECT_FALSE(fits.Text(key).has_value()) << key;
      }
    }
    ExpectNoPlaceholders(path);
  }
}

// ---- Replacing the target ----

std::string Contents(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

void WriteText(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

TEST_F(FitsExportTest, TheTargetIsReplacedWholeOrNotAtAll) {
  const Bytes dark(kFrameBytes, 9);
  MasterDarkFacts facts;
  facts.pixels = dark.data();
  facts.exposureSeconds = 4.0;
  facts.framesStacked = 1;
  const std::string target = Path("dark.fits");
  std::string text;

  // A symlink at the target is replaced by the file; what it pointed to
  // stays as it was.
  WriteText(Path("elsewhere"), "not a dark");
  fs::create_symlink(Path("elsewhere"), target);
  ASSERT_EQ(WriteMasterDarkFits(target, facts, text), kFitsWritten) << text;
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(target)));
  EXPECT_EQ(Contents(Path("elsewhere")), "not a dark");
  fs::remove(Path("elsewhere"));

  // A temporary file someone left is neither used nor removed.
  WriteText(target + ".tmp", "left over");
  ASSERT_EQ(WriteMasterDarkFits(target, facts, text), kFitsWritten) << text;
  EXPECT_EQ(Contents(target + ".tmp"), "left over");
  EXPECT_EQ(Listing(), (std::vector<std::string>{"dark.fits", "dark.fits.tmp"}));
  fs::remove(target + ".tmp");
  const std::string good = Contents(target);

  // A full disk: the old file stays whole, and nothing is left beside it.
  const full_disk::Outcome full = full_disk::RunWithFileSizeLimit(100000, [&] {
    std::string message;
    const int result = WriteMasterDarkFits(target, facts, message);
    std::printf("%s", message.c_str());
    return result;
  });
  EXPECT_EQ(full.result, kFitsCannotWrite);
  EXPECT_NE(full.out.find("Can't write"), std::string::npos) << full.out;
  EXPECT_EQ(Contents(target), good);
  EXPECT_EQ(Listing(), std::vector<std::string>{"dark.fits"});

  // No folder to write in.
  const std::string missing = (dir_ / "gone" / "dark.fits").string();
  EXPECT_EQ(WriteMasterDarkFits(missing, facts, text), kFitsCannotCreate);
  EXPECT_NE(text.find("gone"), std::string::npos) << text;

  // A folder at the target cannot be replaced; the temporary goes again.
  fs::create_directory(Path("folder.fits"));
  EXPECT_EQ(WriteMasterDarkFits(Path("folder.fits"), facts, text), kFitsCannotRename);
  EXPECT_EQ(Listing(), (std::vector<std::string>{"dark.fits", "folder.fits"}));
}

TEST_F(FitsExportTest, DataThatCannotBeWrittenLeavesNoFile) {
  std::string text;
  MasterDarkFacts noPixels;
  noPixels.framesStacked = 1;
  EXPECT_EQ(WriteMasterDarkFits(Path("a.fits"), noPixels, text), kFitsBadData);
  HotPixelMapRecord damaged{};
  damaged.marker = kMapsValid;
  damaged.count2x2 = kMaxHotPixels + 1;
  EXPECT_EQ(WriteHotPixelMapFits(Path("b.fits"), damaged, std::nullopt, text), kFitsBadData);
  EXPECT_FALSE(text.empty());
  EXPECT_TRUE(Listing().empty());
}

}  // namespace
}  // namespace ktal
