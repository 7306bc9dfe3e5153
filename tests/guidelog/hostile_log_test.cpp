// SPDX-License-Identifier: GPL-3.0-or-later
// Well-formed logs that no guider writes, built with the log writer: what
// processing them may cost in memory and in output files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "guidelog/analysis_page.h"
#include "guidelog/events_table.h"
#include "guidelog/html_report.h"
#include "guidelog/output_budget.h"
#include "guidelog/raw_copy.h"
#include "guidelog/report_settings.h"
#include "guidelog/stdio_file.h"
#include "report_test_support.h"
#include "sim/log_writer.h"

namespace ktal {
namespace {

using namespace report_test;
namespace fs = std::filesystem;

class HostileLog : public ::testing::Test {
 protected:
  void SetUp() override {
    g_csvFormat = 0;
    g_focalLength = 1000;
    g_wormPeriod = 480;
    g_starDec = 0.0f;
  }

  int Process(const LogWriter& writer, bool events, bool html, bool pe) {
    DirectoryEntry entry;
    entry.first_page = 0;
    entry.created_date = kTestDate;
    WriteBytes("input.dat", writer.RawFile(entry));
    StdioFile file = OpenStdioFile("input.dat", "rb");
    DirectoryEntry read;
    testing::internal::CaptureStdout();
    const int code = ProcessRawFile(log, file.get(), read, StoredReportSettings(events, html, pe),
                                    "2014 Mar  1 09:05");
    output = testing::internal::GetCapturedStdout();
    return code;
  }

  // Files and bytes in the folder, the input left out.
  std::uint64_t OutputBytes() const {
    std::uint64_t bytes = 0;
    for (const std::string& name : Outputs()) bytes += fs::file_size(name);
    return bytes;
  }

  std::vector<std::string> Outputs() const {
    std::vector<std::string> names;
    for (const auto& item : fs::directory_iterator(dir.path()))
      if (item.path().filename() != "input.dat") names.push_back(item.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  ScopedWorkDir dir;
  GuideLog log;
  std::string output;
};

TEST_F(HostileLog, ZeroBitsKeepOneEntityAndTheListNeverOutgrowsItsRoom) {
  // Every bit 0 is one more payload-less entity of the type before it:
  // 4088 a page, sixteen million in a full log.
  LogWriter zeros;
  for (int i = 0; i < 3 * 4088; ++i) zeros.WriteBit(0);
  ASSERT_EQ(zeros.page_count(), 4);

  struct Case {
    bool events;
    int code;
    std::vector<std::string> written;
  };
  for (const Case& c : {Case{true, 301, {"events.csv"}},
                        Case{false, 0, {"analysis.html", "exposures.csv", "index.html"}}}) {
    SCOPED_TRACE(c.events ? "with the events table" : "report and tables only");
    for (const std::string& name : Outputs()) fs::remove(name);
    EXPECT_EQ(Process(zeros, c.events, true, true), c.code);
    EXPECT_EQ(Outputs(), c.written);
    ASSERT_EQ(log.entities.size(), 2u);
    EXPECT_EQ(log.entities[0].type, ENTITY_UNNAMED_FF);
    // The list never takes room for more than one entity per byte of
    // the stream, 32 bytes each: under 70 MB for a full log of any bits,
    // of which only what is written is ever touched.
    EXPECT_LE(log.entities.capacity(), static_cast<std::size_t>(log.page_count) * 511 + 2);
  }
}

LogEntity MakeMarker(double seconds) { return MakeEntity(ENTITY_MARKER, seconds); }

LogEntity MakePosition(double seconds, double x_px) {
  LogEntity e = MakeStar(seconds, x_px, 300.0);
  e.star.is_position = 1;
  return e;
}

// What is left of a budget, found on copies of it.
bool FileLeft(OutputBudget budget) { return budget.TakeFile(); }
std::uint64_t BytesLeft(const OutputBudget& budget) {
  std::uint64_t low = 0;
  std::uint64_t high = budget.bytes();
  while (low < high) {
    const std::uint64_t middle = low + (high - low + 1) / 2;
    OutputBudget probe = budget;
    if (probe.TakeBytes(middle))
      low = middle;
    else
      high = middle - 1;
  }
  return low;
}

TEST_F(HostileLog, OutputsStopAtTheBudgetOfTheLogsPagesAndTime) {
  // A run of one position ended by a lost star: 85 bits, 48 tables a page,
  // one every ten seconds as a flickering star may give them; within the
  // budget.
  LogWriter runs;
  for (int i = 0; i < 150; ++i) {
    runs.Append(MakePosition(i * 10.0, 400.0 + i % 3));
    runs.Append(MakeLostStar(i * 10.0 + 1.0));
  }
  // Exposures of one lost star each, ended by a marker: 32 bits and three
  // images, four times as many files a page as a guider writes.
  LogWriter one_frame;
  for (int i = 0; i < 160; ++i) {
    one_frame.Append(MakeLostStar(i * 1.0));
    one_frame.Append(MakeMarker(i * 1.0 + 0.5));
  }
  // Exposures of 22 frames, one of them 98 s after the rest: the typical
  // interval stays 0.1 s and the plots are 2034 columns wide, 530 KB for
  // each exposure out of a few dozen bytes of log.
  LogWriter wide;
  for (int k = 0; k < 6; ++k) {
    const double start = k * 200.0;
    for (int i = 0; i <= 20; ++i) wide.Append(MakeLostStar(start + i * 0.1));
    wide.Append(MakeLostStar(start + 100.0));
    wide.Append(MakeMarker(start + 101.0));
  }

  struct Case {
    const char* what;
    const LogWriter* log;
    bool html, pe;
    int code;
    std::size_t files;      // written when the log fits, events.csv included
    std::uint64_t largest;  // bytes of the largest output of the log
  };
  for (const Case& c : {Case{"runs of one position", &runs, false, true, 0, 151, 0},
                        Case{"one-frame exposures", &one_frame, true, false, 195, 0, 17462},
                        Case{"wide plots", &wide, true, false, 195, 0, 257614}}) {
    SCOPED_TRACE(c.what);
    for (const std::string& name : Outputs()) fs::remove(name);
    EXPECT_EQ(Process(*c.log, true, c.html, c.pe), c.code);
    const OutputBudget budget = OutputBudget::ForLog(log);
    const std::uint64_t bytes = OutputBytes();
    const std::size_t files = Outputs().size();
    EXPECT_LE(bytes, budget.bytes());
    EXPECT_LE(files, budget.files());
    if (c.code == 0) {
      EXPECT_EQ(output, "");
      EXPECT_EQ(files, c.files);
      continue;
    }
    // The line names the first file that did not fit; the run leaves none
    // of its files.
    ASSERT_NE(output.find("would exceed their budget"), std::string::npos) << output;
    EXPECT_EQ(files, 0u);
    // The same generators on their own stop at the same file, and only
    // once the budget was spent.
    OutputBudget alone = OutputBudget::ForLog(log);
    testing::internal::CaptureStdout();
    EXPECT_EQ(WriteEventsTable(log, g_csvFormat, &alone), 0);
    EXPECT_EQ(WriteHtmlReport(log, 1, "2014 Mar  1 09:05", &alone), c.code - 200);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), output);
    EXPECT_TRUE(!FileLeft(alone) || BytesLeft(alone) < c.largest) << BytesLeft(alone);
  }
}

TEST_F(HostileLog, TheTimeOfTheClockBoundsTheOutputsAndABackwardsClockCountsItOnce) {
  // Exposures of ten lost stars a tenth apart, within the budget of their
  // bits: ten seconds apart they fit the time of the log too; with the
  // clock put back to the start for every one, the same bytes cover one
  // second, and only what a minute holds is written.
  struct Case {
    const char* what;
    double every;  // seconds from one exposure to the next
    int code;
  };
  for (const Case& c : {Case{"forwards", 10.0, 0}, Case{"back to the start", 0.0, 195}}) {
    SCOPED_TRACE(c.what);
    LogWriter writer;
    for (int k = 0; k < 100; ++k) {
      for (int i = 0; i < 10; ++i) writer.Append(MakeLostStar(k * c.every + i * 0.1));
      writer.Append(MakeMarker(k * c.every + 1.0));
    }
    for (const std::string& name : Outputs()) fs::remove(name);
    EXPECT_EQ(Process(writer, true, true, false), c.code) << output;
    const OutputBudget budget = OutputBudget::ForLog(log);
    EXPECT_LE(OutputBytes(), budget.bytes());
    EXPECT_LE(Outputs().size(), budget.files());
    if (c.code == 0) {
      EXPECT_EQ(Outputs().size(), 304u);
      continue;
    }
    EXPECT_NE(output.find("would exceed their budget"), std::string::npos) << output;
    EXPECT_LT(Outputs().size(), 40u);
  }
}

TEST(OutputBudget, AFullLogStaysUnderFiftyThousandFilesAndAGigabyteOnDisk) {
  // Whatever its clock claims; each file may end in part of a 4 KB block.
  for (double seconds : {0.0, 3600.0, 86400.0, 1.0e9, std::nan("")}) {
    SCOPED_TRACE(seconds);
    const OutputBudget budget = OutputBudget::For(kMaxLogPages - 2, seconds);
    EXPECT_LT(budget.files(), 50'000u);
    EXPECT_LT(budget.bytes() + budget.files() * 4096, 1'000'000'000u);
  }
  // A night's time buys no more than its pages hold, nor the pages more
  // than the time: the smaller side decides.
  EXPECT_LT(OutputBudget::For(2, 86400.0).bytes(), OutputBudget::For(3, 86400.0).bytes());
  EXPECT_LT(OutputBudget::For(4094, 600.0).files(), OutputBudget::For(4094, 6000.0).files());
  EXPECT_EQ(OutputBudget::For(4094, 86400.0).bytes(), OutputBudget::For(4094, 1.0e9).bytes());
}

TEST_F(HostileLog, AnAnalysisPageOverItsBudgetIsRemovedNotLeftCut) {
  // Lost stars alone: the page's data runs to several written pieces.
  std::vector<LogEntity> stars;
  for (int i = 0; i < 20000; ++i) stars.push_back(MakeLostStar(i * 0.1));
  SetEntities(log, std::move(stars));
  const std::uint64_t whole = [&] {
    EXPECT_EQ(WriteAnalysisPage(log, 1, {}, "2014 Mar  1 09:05"), 0);
    return fs::file_size(kAnalysisPageName);
  }();
  struct Case {
    std::uint64_t bytes;
    int code;
    std::vector<std::string> written;
  };
  for (const Case& c :
       {Case{whole, 0, {kAnalysisPageName}}, Case{whole - 1, kAnalysisOverBudget, {}},
        Case{whole - 200'000, kAnalysisOverBudget, {}}}) {
    SCOPED_TRACE(c.bytes);
    fs::remove(kAnalysisPageName);
    OutputBudget budget(1, c.bytes);
    testing::internal::CaptureStdout();
    EXPECT_EQ(WriteAnalysisPage(log, 1, {}, "2014 Mar  1 09:05", &budget), c.code);
    output = testing::internal::GetCapturedStdout();
    EXPECT_EQ(Outputs(), c.written);
    EXPECT_EQ(output.find("would exceed their budget") != std::string::npos, c.code != 0) << output;
  }
}

}  // namespace
}  // namespace ktal
