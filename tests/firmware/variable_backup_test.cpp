// SPDX-License-Identifier: GPL-3.0-or-later
#include "firmware/variable_backup.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/guidelog/guidelog_test_util.h"

namespace ktal {
namespace {

std::tm At(int year, int month, int day, int hour, int minute, int second) {
  std::tm t{};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  return t;
}

std::vector<std::uint8_t> Bytes(const std::filesystem::path& path) {
  const std::string text = logtest::ReadText(path);
  return {text.begin(), text.end()};
}

// Saves in one second never replace each other; each file holds exactly the
// image it was given.
TEST(VariableBackupTest, SavesKeepEveryEarlierBackup) {
  logtest::TempDir dir;
  const std::tm when = At(2026, 12, 9, 21, 31, 5);
  std::vector<std::vector<std::uint8_t>> images;
  for (std::uint8_t fill : {0x11, 0x22, 0x33}) images.emplace_back(1280, fill);

  const char* names[] = {"variables_fw0250_2026-12-09_213105.eep",
                         "variables_fw0250_2026-12-09_213105_2.eep",
                         "variables_fw0250_2026-12-09_213105_3.eep"};
  for (std::size_t i = 0; i < images.size(); ++i) {
    const VariableBackup backup = SaveVariableBackup(images[i], 0x0250, when, dir.path());
    ASSERT_TRUE(backup.Saved()) << backup.error;
    EXPECT_EQ(backup.path, dir.path() / names[i]);
  }
  for (std::size_t i = 0; i < images.size(); ++i)
    EXPECT_EQ(Bytes(dir.path() / names[i]), images[i]);
  EXPECT_EQ(VariableBackupName(0xFFFF, At(2027, 1, 2, 3, 4, 5)),
            "variables_fwffff_2027-01-02_030405.eep");
}

TEST(VariableBackupTest, AFolderThatCannotBeWrittenSavesNothing) {
  logtest::TempDir dir;
  const VariableBackup backup = SaveVariableBackup(std::vector<std::uint8_t>(1280, 0xFF), 0x0250,
                                                   At(2026, 12, 9, 21, 31, 5), dir.path() / "gone");
  EXPECT_FALSE(backup.Saved());
  EXPECT_TRUE(backup.path.empty());
  EXPECT_FALSE(backup.error.empty());
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

TEST(VariableBackupTest, ReadBackComparison) {
  const std::vector<std::uint8_t> written = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  struct Case {
    std::vector<std::uint8_t> readBack;
    std::vector<int> differing;
    std::string text;
  };
  const Case cases[] = {
      {written, {}, "variables verified"},
      {{1, 2, 3, 4, 0, 6, 7, 8, 9, 10, 11, 0}, {4, 11}, "variables differ at 0x004, 0x00b"},
      {{1, 2, 3},
       {3, 4, 5, 6, 7, 8, 9, 10, 11},
       "variables differ at 0x003, 0x004, 0x005, 0x006, 0x007, 0x008, 0x009, 0x00a and 1 more"},
  };
  for (const Case& c : cases) {
    const std::vector<int> differing = DifferingOffsets(written, c.readBack);
    EXPECT_EQ(differing, c.differing) << c.text;
    EXPECT_EQ(DescribeReadBack(differing), c.text);
  }
}

}  // namespace
}  // namespace ktal
