// SPDX-License-Identifier: GPL-3.0-or-later
#include "guidelog/raw_copy.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "full_disk.h"
#include "guidelog/report_settings.h"
#include "guidelog/stdio_file.h"
#include "report_test_support.h"
#include "sim/log_writer.h"
#include "sim/session_generator.h"

namespace ktal {
namespace {

using namespace report_test;
namespace fs = std::filesystem;

constexpr char kRawName[] = "QD012345.dat";

DirectoryEntry EntryFor(std::uint32_t file_id) {
  DirectoryEntry entry;
  entry.first_page = 7;
  SetFileId(entry.file_id, file_id);
  entry.flags = kDownloadedFlag;
  entry.created_date = kTestDate;
  entry.created_time = PackTime(21, 0);
  entry.reserved[3] = 0xA5;
  return entry;
}

// A log of a few pages, stored in `log` as a download leaves it.
std::vector<std::uint8_t> StoreLog(GuideLog& log, const DirectoryEntry& entry, int stars) {
  LogWriter writer;
  for (int i = 0; i < stars; ++i)
    writer.Append(MakeStar(i * 2.0, 0.01 * (i % 7), -0.02 * (i % 5), Corr(i % 9 - 4)));
  EXPECT_EQ(log.BeginLog(entry.created_date, entry.created_time, entry.modified_date,
                         entry.modified_time),
            0);
  for (const DataPage& page : writer.Pages(FileIdOf(entry.file_id), entry.first_page))
    EXPECT_EQ(log.AddPage(page), 0);
  return writer.RawFile(entry);
}

TEST(RawCopy, WritesHeaderEntryAndPagesUnchanged) {
  ScopedWorkDir dir;
  GuideLog log;
  const DirectoryEntry entry = EntryFor(0x012345);
  const std::vector<std::uint8_t> expected = StoreLog(log, entry, 400);
  ASSERT_GT(log.page_count, 1);
  ASSERT_EQ(WriteRawFile(log, entry, kRawName), 0);
  const std::vector<std::uint8_t> written = ReadBytes(kRawName);
  ASSERT_EQ(written.size(), 64 + 528 * static_cast<std::size_t>(log.page_count));
  EXPECT_EQ(written, expected);
  EXPECT_EQ(std::string(written.begin(), written.begin() + 23),
            std::string("ORVELIA K-Tal raw file\0", 23));
  EXPECT_FALSE(fs::exists(std::string(kRawName) + ".bak01"));
  EXPECT_FALSE(fs::exists(TemporaryRawName(kRawName)));
}

TEST(RawCopy, AnOldCopyTakesTheLowestFreeBackupNumber) {
  struct Case {
    std::vector<int> existing;  // backup numbers present before
    int expected;               // number the old copy gets
  };
  for (const Case& c :
       {Case{{}, 1}, Case{{1}, 2}, Case{{2}, 1}, Case{{1, 2, 4}, 3}, Case{{1, 3}, 2}}) {
    ScopedWorkDir dir;
    GuideLog log;
    const DirectoryEntry entry = EntryFor(0x012345);
    const std::vector<std::uint8_t> fresh = StoreLog(log, entry, 50);
    const std::vector<std::uint8_t> old(700, 0x11);
    WriteBytes(kRawName, old);
    for (int n : c.existing) {
      char name[32];
      std::snprintf(name, sizeof name, "%s.bak%02d", kRawName, n);
      WriteBytes(name, {static_cast<std::uint8_t>(n)});
    }
    ASSERT_EQ(WriteRawFile(log, entry, kRawName), 0);
    char backup[32];
    std::snprintf(backup, sizeof backup, "%s.bak%02d", kRawName, c.expected);
    EXPECT_EQ(ReadBytes(backup), old) << backup;
    EXPECT_EQ(ReadBytes(kRawName), fresh);
    // The backups that were there are untouched.
    for (int n : c.existing) {
      char name[32];
      std::snprintf(name, sizeof name, "%s.bak%02d", kRawName, n);
      EXPECT_EQ(ReadBytes(name), std::vector<std::uint8_t>{static_cast<std::uint8_t>(n)}) << name;
    }
  }
}

TEST(RawCopy, WithAll99BackupsPresentNothingIsWritten) {
  ScopedWorkDir dir;
  GuideLog log;
  const DirectoryEntry entry = EntryFor(0x012345);
  StoreLog(log, entry, 20);
  const std::vector<std::uint8_t> old(100, 0x22);
  WriteBytes(kRawName, old);
  for (int n = 1; n <= 99; ++n) {
    char name[32];
    std::snprintf(name, sizeof name, "%s.bak%02d", kRawName, n);
    WriteBytes(name, {0x33});
  }
  testing::internal::CaptureStdout();
  EXPECT_EQ(WriteRawFile(log, entry, kRawName), 2);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "ERROR: can't backup the RAW file.\n");
  EXPECT_EQ(ReadBytes(kRawName), old);
  EXPECT_FALSE(fs::exists(std::string(kRawName) + ".bak100"));
  int files = 0;
  for ([[maybe_unused]] const auto& item : fs::directory_iterator(dir.path())) ++files;
  EXPECT_EQ(files, 100);
}

TEST(RawCopy, AnUnreadableOldCopyOrBackupIsStillKept) {
  ScopedWorkDir dir;
  GuideLog log;
  const DirectoryEntry entry = EntryFor(0x012345);
  const std::vector<std::uint8_t> fresh = StoreLog(log, entry, 20);
  const std::vector<std::uint8_t> old(64, 0x44);
  WriteBytes(kRawName, old);
  WriteBytes(std::string(kRawName) + ".bak01", {0x55});
  fs::permissions(kRawName, fs::perms::none);
  fs::permissions(std::string(kRawName) + ".bak01", fs::perms::none);
  ASSERT_EQ(WriteRawFile(log, entry, kRawName), 0);
  fs::permissions(std::string(kRawName) + ".bak01", fs::perms::owner_read);
  fs::permissions(std::string(kRawName) + ".bak02", fs::perms::owner_read);
  EXPECT_EQ(ReadBytes(std::string(kRawName) + ".bak01"), std::vector<std::uint8_t>{0x55});
  EXPECT_EQ(ReadBytes(std::string(kRawName) + ".bak02"), old);
  EXPECT_EQ(ReadBytes(kRawName), fresh);
}

TEST(RawCopy, AFileThatCannotBeCreatedReturnsMinusOne) {
  ScopedWorkDir dir;
  GuideLog log;
  const DirectoryEntry entry = EntryFor(0x012345);
  StoreLog(log, entry, 5);
  testing::internal::CaptureStdout();
  EXPECT_EQ(WriteRawFile(log, entry, "missing/QD012345.dat"), -1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "ERROR: can't create RAW file 'missing/QD012345.dat'\n");
}

TEST(RawCopy, AFullDiskAtAnyStageLeavesThePreviousCopyUnderItsName) {
  // Twelve pages and more: several buffers of the stream, so the disk fills
  // during a write as well as at the flush.
  GuideLog sized;
  StoreLog(sized, EntryFor(0x012345), 3000);
  ASSERT_GE(sized.page_count, 12);
  const off_t kTotal = 64 + 528 * static_cast<off_t>(sized.page_count);
  struct Stage {
    const char* what;
    off_t limit;
  };
  const Stage stages[] = {
      {"nothing", 0},
      {"inside the header", 20},
      {"the header only", 32},
      {"inside the entry", 50},
      {"header and entry", 64},
      {"one whole page", 64 + 528},
      {"inside the fifth page", 64 + 528 * 4 + 100},
      {"eleven whole pages", 64 + 528 * 11},
      {"all but the last byte", kTotal - 1},
  };
  for (const bool had_copy : {true, false}) {
    for (const Stage& stage : stages) {
      SCOPED_TRACE(testing::Message()
                   << stage.what << (had_copy ? ", with a previous copy" : ", first copy"));
      ScopedWorkDir dir;
      GuideLog log;
      const DirectoryEntry entry = EntryFor(0x012345);
      StoreLog(log, entry, 3000);
      const std::vector<std::uint8_t> old(700, 0x11);
      const std::vector<std::uint8_t> backup{0x01};
      if (had_copy) {
        WriteBytes(kRawName, old);
        WriteBytes(std::string(kRawName) + ".bak01", backup);
      }
      const full_disk::Outcome outcome = full_disk::RunWithFileSizeLimit(
          stage.limit, [&] { return WriteRawFile(log, entry, kRawName); });
      EXPECT_EQ(outcome.result, 1);
      EXPECT_EQ(outcome.out,
                had_copy ? "ERROR: can't write RAW file 'QD012345.dat', the previous copy is kept\n"
                         : "ERROR: can't write RAW file 'QD012345.dat'\n");
      EXPECT_FALSE(fs::exists(TemporaryRawName(kRawName)));
      EXPECT_FALSE(fs::exists(std::string(kRawName) + ".bak02"));
      if (had_copy) {
        EXPECT_EQ(ReadBytes(kRawName), old);
        EXPECT_EQ(ReadBytes(std::string(kRawName) + ".bak01"), backup);
      } else {
        EXPECT_FALSE(fs::exists(kRawName));
      }
    }
  }
  // With room for exactly the whole copy it is written: the limits above
  // were the disk filling, not something else failing.
  ScopedWorkDir dir;
  GuideLog log;
  const DirectoryEntry entry = EntryFor(0x012345);
  const std::vector<std::uint8_t> fresh = StoreLog(log, entry, 3000);
  WriteBytes(kRawName, std::vector<std::uint8_t>(700, 0x11));
  const full_disk::Outcome outcome =
      full_disk::RunWithFileSizeLimit(kTotal, [&] { return WriteRawFile(log, entry, kRawName); });
  EXPECT_EQ(outcome.result, 0);
  EXPECT_EQ(ReadBytes(kRawName), fresh);
  EXPECT_EQ(ReadBytes(std::string(kRawName) + ".bak01"), std::vector<std::uint8_t>(700, 0x11));
}

TEST(RawCopy, AFailureAfterTheBytesLeavesThePreviousCopyUnderItsName) {
  struct Case {
    const char* what;
    bool sync_fails, close_fails;
    std::vector<int>
        failing_renames;  // 1: the old copy to its backup, 2: the new one to the main name, 3: back
    int code;
    const char* out;
    bool old_in_backup;  // the previous copy ends up in .bak01 rather than under the main name
  };
  const Case cases[] = {
      {"sync",
       true,
       false,
       {},
       1,
       "ERROR: can't write RAW file 'QD012345.dat', the previous copy is kept\n",
       false},
      {"close",
       false,
       true,
       {},
       1,
       "ERROR: can't write RAW file 'QD012345.dat', the previous copy is kept\n",
       false},
      {"backup rename",
       false,
       false,
       {1},
       2,
       "ERROR: can't backup file to 'QD012345.dat.bak01'!\n",
       false},
      {"final rename",
       false,
       false,
       {2},
       -1,
       "ERROR: can't create RAW file 'QD012345.dat', the previous copy is kept\n",
       false},
      {"final rename and the way back",
       false,
       false,
       {2, 3},
       -1,
       "ERROR: can't create RAW file 'QD012345.dat', the previous copy is in "
       "'QD012345.dat.bak01'\n",
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ScopedWorkDir dir;
    GuideLog log;
    const DirectoryEntry entry = EntryFor(0x012345);
    StoreLog(log, entry, 200);
    const std::vector<std::uint8_t> old(700, 0x11);
    WriteBytes(kRawName, old);
    RawCopyCalls calls;
    int renames = 0;
    if (c.sync_fails) calls.sync = [](int) { return -1; };
    if (c.close_fails)
      calls.close = [](std::FILE* file) {
        std::fclose(file);
        return -1;
      };
    calls.rename = [&](const char* from, const char* to) {
      ++renames;
      const bool fails = std::find(c.failing_renames.begin(), c.failing_renames.end(), renames) !=
                         c.failing_renames.end();
      return fails ? -1 : std::rename(from, to);
    };
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(WriteRawFile(log, entry, kRawName, calls), c.code);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.out);
    EXPECT_FALSE(fs::exists(TemporaryRawName(kRawName)));
    EXPECT_EQ(ReadBytes(c.old_in_backup ? std::string(kRawName) + ".bak01" : std::string(kRawName)),
              old);
    EXPECT_NE(fs::exists(std::string(kRawName) + ".bak01"), !c.old_in_backup);
    EXPECT_NE(fs::exists(kRawName), c.old_in_backup);
  }
}

TEST(RawCopy, ALinkAtTheTemporaryNameIsRemovedNotWrittenThrough) {
  ScopedWorkDir dir;
  GuideLog log;
  const DirectoryEntry entry = EntryFor(0x012345);
  const std::vector<std::uint8_t> fresh = StoreLog(log, entry, 20);
  fs::create_directory("theirs");
  WriteBytes("theirs/file", {0x77});
  fs::create_symlink(fs::absolute("theirs/file"), TemporaryRawName(kRawName));
  ASSERT_EQ(WriteRawFile(log, entry, kRawName), 0);
  EXPECT_EQ(ReadBytes("theirs/file"), std::vector<std::uint8_t>{0x77});
  EXPECT_EQ(ReadBytes(kRawName), fresh);
  EXPECT_FALSE(fs::exists(fs::symlink_status(TemporaryRawName(kRawName))));
}

TEST(RawCopy, ALeftoverTemporaryFileIsReplaced) {
  // What an interrupted earlier run left behind is no copy of anything.
  ScopedWorkDir dir;
  GuideLog log;
  const DirectoryEntry entry = EntryFor(0x012345);
  const std::vector<std::uint8_t> fresh = StoreLog(log, entry, 20);
  WriteBytes(TemporaryRawName(kRawName), std::vector<std::uint8_t>(9000, 0x66));
  ASSERT_EQ(WriteRawFile(log, entry, kRawName), 0);
  EXPECT_EQ(ReadBytes(kRawName), fresh);
  EXPECT_FALSE(fs::exists(TemporaryRawName(kRawName)));
  EXPECT_FALSE(fs::exists(std::string(kRawName) + ".bak01"));
}

// --- ProcessRawFile ---

class ProcessRawFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_csvFormat = 0;
    g_focalLength = 1000;
    g_wormPeriod = 480;
    g_starDec = 0.0f;
  }

  // Writes the raw file, processes it and returns the code.
  int Process(const std::vector<std::uint8_t>& raw, bool events, bool html, bool pe) {
    WriteBytes("input.dat", raw);
    StdioFile file = OpenStdioFile("input.dat", "rb");
    EXPECT_TRUE(file);
    GuideLog log;
    DirectoryEntry entry;
    testing::internal::CaptureStdout();
    const int code = ProcessRawFile(log, file.get(), entry, StoredReportSettings(events, html, pe),
                                    "2014 Mar  1 09:05");
    output = testing::internal::GetCapturedStdout();
    file_id = FileIdOf(entry.file_id);
    return code;
  }

  // Outputs in the directory, the input left out.
  std::vector<std::string> Outputs() const {
    std::vector<std::string> names;
    for (const auto& item : fs::directory_iterator(dir.path()))
      if (item.path().filename() != "input.dat") names.push_back(item.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  static std::vector<std::uint8_t> SessionRaw(const DirectoryEntry& entry = EntryFor(0x00BEEF)) {
    SessionOptions options;
    options.position_run_s = 1200.0;
    options.exposures = 2;
    options.exposure_s = 120.0;
    LogWriter writer;
    EXPECT_EQ(WriteSession(options, writer), 0);
    return writer.RawFile(entry);
  }

  ScopedWorkDir dir;
  std::string output;
  std::uint32_t file_id = 0;
};

TEST_F(ProcessRawFileTest, WritesEveryAskedForOutput) {
  EXPECT_EQ(Process(SessionRaw(), true, true, true), 0);
  EXPECT_EQ(file_id, 0x00BEEFu);
  const std::vector<std::string> names = Outputs();
  for (const char* name :
       {"events.csv", "pe1.csv", "index.html", "exposures.csv", "analysis.html",
        "AE001_RAdrift.bmp", "AE001_spread.bmp", "AE001_err.bmp", "AE002_err.bmp"})
    EXPECT_NE(std::find(names.begin(), names.end(), name), names.end()) << name;
  const std::vector<std::uint8_t> html = ReadBytes("index.html");
  EXPECT_NE(std::string(html.begin(), html.end()).find("QD00beef"), std::string::npos);
  // The analysis page carries the telescope settings the tables were made
  // with, and the same generation time as the report.
  const std::vector<std::uint8_t> page = ReadBytes("analysis.html");
  const std::string page_text(page.begin(), page.end());
  EXPECT_NE(page_text.find("\"file\":\"QD00beef\",\"generated\":\"2014 Mar  1 09:05\""),
            std::string::npos);
  EXPECT_NE(page_text.find("\"options\":{\"focal_mm\":1000,\"worm_s\":480,\"dec_deg\":0}"),
            std::string::npos);
  // The exposures table in the chosen dialect, with the arcseconds of the
  // focal length the tables were made with.
  const std::vector<std::uint8_t> table = ReadBytes("exposures.csv");
  const std::string table_text(table.begin(), table.end());
  EXPECT_EQ(table_text.rfind("Exposure;Date;", 0), 0u) << table_text;
  EXPECT_NE(table_text.find(";Total RMS (arcsec);"), std::string::npos);
  EXPECT_NE(table_text.find("\r\nA002;"), std::string::npos);
}

TEST_F(ProcessRawFileTest, OnlyTheEventsTableWhenNothingElseIsAskedFor) {
  EXPECT_EQ(Process(SessionRaw(), true, false, false), 0);
  EXPECT_EQ(Outputs(), std::vector<std::string>{"events.csv"});
}

TEST_F(ProcessRawFileTest, TheAnalysisPageWithoutPeriodicErrorSettingsHasPixelsOnly) {
  g_csvFormat = 1;
  EXPECT_EQ(Process(SessionRaw(), false, true, false), 0);
  const std::vector<std::uint8_t> page = ReadBytes("analysis.html");
  EXPECT_NE(std::string(page.begin(), page.end())
                .find("\"options\":{\"focal_mm\":null,\"worm_s\":null,\"dec_deg\":null}"),
            std::string::npos);
  const std::vector<std::uint8_t> table = ReadBytes("exposures.csv");
  const std::string table_text(table.begin(), table.end());
  EXPECT_EQ(table_text.rfind("Exposure,Date,", 0), 0u) << table_text;
  EXPECT_EQ(table_text.find("arcsec"), std::string::npos);
}

TEST_F(ProcessRawFileTest, ReaderFailuresComeBackUnchangedWithNoOutput) {
  const std::vector<std::uint8_t> good = SessionRaw();
  std::vector<std::uint8_t> short_file(good.begin(), good.begin() + 40);
  std::vector<std::uint8_t> cut_page(good.begin(), good.begin() + 64 + 528 + 100);
  std::vector<std::uint8_t> bad_header = good;
  bad_header[3] = 'X';
  DirectoryEntry month13 = EntryFor(0x00BEEF);
  month13.created_date = PackDate(2014, 13, 1);
  const std::vector<std::uint8_t> bad_stamp = SessionRaw(month13);
  struct Case {
    const std::vector<std::uint8_t>* raw;
    int code;
  };
  for (const Case& c :
       {Case{&short_file, 1}, Case{&cut_page, 1}, Case{&bad_header, 2}, Case{&bad_stamp, 3}}) {
    EXPECT_EQ(Process(*c.raw, true, true, true), c.code);
    EXPECT_TRUE(Outputs().empty()) << "code " << c.code;
  }
  GuideLog log;
  DirectoryEntry entry;
  EXPECT_EQ(ProcessRawFile(log, nullptr, entry, StoredReportSettings(true, true, true)), 1);
  EXPECT_TRUE(Outputs().empty());
}

TEST_F(ProcessRawFileTest, AStreamErrorGives101AndNoOutput) {
  LogWriter writer;
  writer.Append(MakeStar(0.0, 0.1, 0.1));
  writer.Append(MakeStar(1.0, 0.1, 0.1));
  // 1, 111, 1 and then 10 instead of 11: no type has that code.
  writer.WriteBit(1);
  writer.WriteBits(3, 7);
  writer.WriteBit(1);
  writer.WriteBits(2, 2);
  EXPECT_EQ(Process(writer.RawFile(EntryFor(1)), true, true, true), 101);
  EXPECT_TRUE(Outputs().empty());
}

TEST_F(ProcessRawFileTest, AnEntityWithoutARowGives301AndStops) {
  LogWriter writer;
  writer.Append(MakeStar(0.0, 0.1, 0.1));
  writer.Append(MakeEntity(ENTITY_UNNAMED_BF, 1.0));
  writer.Append(MakeStar(2.0, 0.1, 0.1));
  EXPECT_EQ(Process(writer.RawFile(EntryFor(1)), true, true, true), 301);
  EXPECT_EQ(Outputs(), std::vector<std::string>{"events.csv"});
}

TEST_F(ProcessRawFileTest, AWriteThatFallsShortFailsTheRunAndLeavesTheEarlierOutputs) {
  // Below 300 bytes every file written fails, whichever generator runs.
  LogWriter no_exposure;
  no_exposure.Append(MakeEntity(ENTITY_MARKER, 1.0));
  struct Case {
    const char* what;
    bool events, html, pe;
    bool with_exposures;
    int code;
    std::vector<std::string> earlier;  // outputs of an earlier run, kept as they were
    off_t limit = 300;                 // bytes a file may have
  };
  for (const Case& c :
       {Case{"events table", true, false, false, true, 297, {"events.csv"}},
        Case{"periodic-error table", false, false, true, true, 398, {"pe1.csv"}},
        Case{"report", false, true, false, false, 198, {"index.html"}},
        Case{"first image", false, true, false, true, 196, {"XE001_RAdrift.bmp", "index.html"}},
        // The analysis page, with the charting library inline, is far
        // larger than a report without sections.
        Case{"analysis page",
             false,
             true,
             false,
             false,
             498,
             {"analysis.html", "exposures.csv", "index.html"},
             4096}}) {
    SCOPED_TRACE(c.what);
    for (const std::string& name : Outputs()) fs::remove_all(name);
    for (const std::string& name : c.earlier) WriteBytes(name, {'o', 'l', 'd'});
    WriteBytes("input.dat", c.with_exposures ? SessionRaw() : no_exposure.RawFile(EntryFor(1)));
    const full_disk::Outcome outcome = full_disk::RunWithFileSizeLimit(c.limit, [&] {
      StdioFile file = OpenStdioFile("input.dat", "rb");
      GuideLog log;
      DirectoryEntry entry;
      return ProcessRawFile(log, file.get(), entry, StoredReportSettings(c.events, c.html, c.pe),
                            "2014 Mar  1 09:05");
    });
    EXPECT_EQ(outcome.result, c.code);
    EXPECT_EQ(Outputs(), c.earlier);
    for (const std::string& name : c.earlier)
      EXPECT_EQ(ReadBytes(name), (std::vector<std::uint8_t>{'o', 'l', 'd'})) << name;
  }
}

TEST_F(ProcessRawFileTest, AFolderInTheWayOfAnOutputFailsTheRunWithItsGeneratorsCode) {
  struct Case {
    const char* blocked;  // a folder where this output goes
    int code;
    const char* line;
  };
  const std::vector<std::uint8_t> raw = SessionRaw();
  for (const Case& c :
       {Case{"events.csv", 298, "ERROR: can't create CSV file\n"},
        Case{"pe1.csv", 399, "ERROR: can't create CSV (PE) file\n"},
        Case{"index.html", 199, "ERROR: can't create HTML file\n"},
        Case{"AE002_err.bmp", 197, "ERROR: can't create image file 'AE002_err.bmp'\n"},
        Case{"exposures.csv", 699, "ERROR: can't create CSV file 'exposures.csv'\n"},
        Case{"analysis.html", 499, "ERROR: can't create analysis HTML file\n"}}) {
    SCOPED_TRACE(c.blocked);
    for (const std::string& name : Outputs()) fs::remove_all(name);
    fs::create_directory(c.blocked);
    EXPECT_EQ(Process(raw, true, true, true), c.code);
    EXPECT_EQ(output, c.line);
    // None of the outputs that could have taken their names did.
    EXPECT_EQ(Outputs(), std::vector<std::string>{c.blocked});
  }
}

TEST_F(ProcessRawFileTest, ALinkAtAnOutputsNameIsReplacedNotWrittenThrough) {
  // As an archive from someone else may carry it.
  fs::create_directory("theirs");
  WriteBytes("theirs/file", {0x77});
  fs::create_symlink(fs::absolute("theirs/file"), "events.csv");
  EXPECT_EQ(Process(SessionRaw(), true, false, false), 0);
  EXPECT_EQ(ReadBytes("theirs/file"), std::vector<std::uint8_t>{0x77});
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status("events.csv")));
}

}  // namespace
}  // namespace ktal
