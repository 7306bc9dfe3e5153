// SPDX-License-Identifier: GPL-3.0-or-later
// "exposures.csv": every cell of a generated night read back and checked
// against the guiding summary it is made from, in both dialects; dates
// across midnight and month ends; the failures of the file.
#include "guidelog/exposure_table.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "full_disk.h"
#include "guidelog/guide_log.h"
#include "guidelog_test_util.h"
#include "report_test_support.h"
#include "sim/log_writer.h"
#include "sim/session_generator.h"

namespace ktal {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> Cells(const std::string& line, char sep) {
  std::vector<std::string> cells;
  std::size_t start = 0;
  for (std::size_t at; (at = line.find(sep, start)) != std::string::npos; start = at + 1)
    cells.push_back(line.substr(start, at - start));
  cells.push_back(line.substr(start));
  return cells;
}

// The value of a number cell of either dialect.
double Number(std::string cell) {
  for (char& c : cell)
    if (c == ',') c = '.';
  char* end = nullptr;
  const double value = std::strtod(cell.c_str(), &end);
  EXPECT_TRUE(!cell.empty() && *end == '\0') << "not a number cell: '" << cell << "'";
  return value;
}

// "hh:mm:ss" and the tenth after the dialect's mark, as tenths of the day.
long long ClockTenths(const std::string& cell, char mark) {
  int h = -1, m = -1, s = -1, tenth = -1;
  char got = 0;
  EXPECT_EQ(std::sscanf(cell.c_str(), "%2d:%2d:%2d%c%1d", &h, &m, &s, &got, &tenth), 5) << cell;
  EXPECT_EQ(got, mark) << cell;
  EXPECT_EQ(cell.size(), 10u) << cell;
  return ((h * 60LL + m) * 60 + s) * 10 + tenth;
}

// A night crossing midnight, with an unguided run (an external exposure
// without drift to the report), AutoExposure and external exposures and
// lost stars.
GuideSeries MidnightNight() {
  SessionOptions o;
  o.start_tenths = 23 * 36000 + 50 * 600;
  o.position_run_s = 300;
  o.exposures = 4;
  o.exposure_s = 200;
  o.external_exposures = 2;
  o.lost_star_probability = 0.05;
  LogWriter w;
  EXPECT_EQ(WriteSession(o, w), LogWriter::kOk);
  GuideLog log;
  EXPECT_EQ(logtest::LoadAndBuild(log, w), 0);
  return ExtractGuideSeries(log);
}

TEST(ExposureTable, EveryCellIsTheSummarysFigureInEitherDialect) {
  logtest::TempDir dir;
  const GuideSeries series = MidnightNight();
  ASSERT_EQ(series.exposures.size(), 7u);
  struct Case {
    int csv_format;
    std::optional<double> focal_mm;
  };
  for (const Case& c : {Case{0, 1000.0}, Case{1, 1000.0}, Case{0, std::nullopt}}) {
    SCOPED_TRACE(testing::Message() << "format " << c.csv_format << (c.focal_mm ? "" : ", px"));
    SummaryOptions options;
    options.focal_length_mm = c.focal_mm;
    const GuidingSummary summary = SummarizeGuiding(series, options);
    ASSERT_EQ(WriteExposureTable(series, summary, c.csv_format), 0);
    const std::string text = logtest::ReadText(kExposureTableName);
    ASSERT_GE(text.size(), 2u);
    EXPECT_EQ(text.substr(text.size() - 2), "\r\n");
    const std::vector<std::string> lines = logtest::CrLfLines(text);
    const char sep = c.csv_format == 0 ? ';' : ',';
    const char mark = c.csv_format == 0 ? ',' : '.';
    const std::vector<std::string> header = Cells(lines.at(0), sep);
    const std::size_t columns = c.focal_mm ? 21 : 15;
    ASSERT_EQ(header.size(), columns);
    EXPECT_EQ(header[0], "Exposure");
    EXPECT_EQ(header[9], "Total RMS (px)");
    if (c.focal_mm) {
      EXPECT_EQ(header[15], "Total RMS (arcsec)");
    }
    ASSERT_EQ(lines.size(), 1 + series.exposures.size());

    int after_midnight = 0;
    for (std::size_t k = 0; k < series.exposures.size(); ++k) {
      SCOPED_TRACE(lines[k + 1]);
      const ExposureSpan& span = series.exposures[k];
      const GuidingFigures& g = summary.exposures[k].guiding;
      const std::vector<std::string> cells = Cells(lines[k + 1], sep);
      ASSERT_EQ(cells.size(), columns);
      char name[8];
      std::snprintf(name, sizeof name, "%c%03d", span.kind, span.number);
      EXPECT_EQ(cells[0], name);
      const long long start = series.origin_tenths + std::llround(span.begin_s * 10.0);
      const long long end = series.origin_tenths + std::llround(span.end_s * 10.0);
      after_midnight += start >= kTenthsPerDay ? 1 : 0;
      EXPECT_EQ(cells[1], start >= kTenthsPerDay ? "2014-03-22" : "2014-03-21");
      EXPECT_EQ(ClockTenths(cells[2], mark), start % kTenthsPerDay);
      EXPECT_EQ(ClockTenths(cells[3], mark), end % kTenthsPerDay);
      EXPECT_NEAR(Number(cells[4]), span.end_s - span.begin_s, 0.051);
      EXPECT_EQ(cells[5], std::to_string(g.drift_samples + g.lost_stars));
      EXPECT_EQ(cells[6], std::to_string(g.lost_stars));
      EXPECT_EQ(cells[columns - 2], std::to_string(g.ra_corrections));
      EXPECT_EQ(cells[columns - 1], std::to_string(g.dec_corrections));
      const double ErrorFigures::*figures[] = {&ErrorFigures::ra_rms,    &ErrorFigures::dec_rms,
                                               &ErrorFigures::total_rms, &ErrorFigures::ra_peak,
                                               &ErrorFigures::dec_peak,  &ErrorFigures::total_peak};
      for (int f = 0; f < 6; ++f) {
        const std::string& px = cells[7 + f];
        if (!g.px) {
          EXPECT_EQ(px, "");
          continue;
        }
        // Three decimals of pixels, two of arcseconds; a cell of format 0
        // has its sign column.
        EXPECT_NEAR(Number(px), (*g.px).*figures[f], 0.00051);
        EXPECT_EQ(px.find(mark), px.size() - 4) << px;
        if (c.csv_format == 0) {
          EXPECT_EQ(px[0], ' ');
        }
        if (c.focal_mm) {
          ASSERT_TRUE(g.arcsec);
          EXPECT_NEAR(Number(cells[13 + f]), (*g.arcsec).*figures[f], 0.0051);
        }
      }
    }
    // The generated night has exposures on both sides of midnight, and one
    // with no drift at all (the unguided run).
    EXPECT_GT(after_midnight, 0);
    EXPECT_LT(after_midnight, 7);
    EXPECT_FALSE(summary.exposures[0].guiding.px);
  }
}

// A night of one exposure of three drift samples from `origin_tenths` on
// `origin`, starting `begin_s` into the log.
GuideSeries OneExposure(std::uint16_t origin, std::uint32_t origin_tenths, double begin_s) {
  GuideSeries series;
  series.origin_date = origin;
  series.origin_tenths = origin_tenths;
  for (int i = 0; i < 3; ++i) {
    GuideSample s;
    s.t = begin_s + i;
    s.ra_px = 0.25f * i;
    series.samples.push_back(s);
  }
  ExposureSpan e;
  e.kind = 'X';
  e.number = 1;
  e.begin_s = begin_s;
  e.end_s = begin_s + 2.0;
  e.end_sample = 3;
  series.exposures.push_back(e);
  series.end_s = e.end_s;
  return series;
}

TEST(ExposureTable, TheDateFollowsTheCalendarFromTheLogsFirstDate) {
  logtest::TempDir dir;
  constexpr std::uint32_t kLate = 23 * 36000 + 59 * 600;  // 23:59:00.0
  struct Case {
    std::uint16_t origin;
    double begin_s;
    const char* date;
    const char* start;
  } cases[] = {
      {PackDate(2014, 3, 21), 0.0, "2014-03-21", "23:59:00.0"},
      {PackDate(2014, 2, 28), 90.5, "2014-03-01", "00:00:30.5"},
      {PackDate(2016, 2, 28), 90.0, "2016-02-29", "00:00:30.0"},
      {PackDate(2014, 12, 31), 60.0 + 86400.0, "2015-01-02", "00:00:00.0"},
      // No calendar date to count from: the date stays empty.
      {PackDate(2014, 13, 2), 90.0, "", "00:00:30.0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.date);
    const GuideSeries series = OneExposure(c.origin, kLate, c.begin_s);
    ASSERT_EQ(WriteExposureTable(series, SummarizeGuiding(series, {}), 1), 0);
    const std::vector<std::string> lines =
        logtest::CrLfLines(logtest::ReadText(kExposureTableName));
    ASSERT_EQ(lines.size(), 2u);
    const std::vector<std::string> cells = Cells(lines[1], ',');
    ASSERT_GE(cells.size(), 4u);
    EXPECT_EQ(cells[0], "X001");
    EXPECT_EQ(cells[1], c.date);
    EXPECT_EQ(cells[2], c.start);
  }
}

TEST(ExposureTable, AFileThatCannotBeWrittenWholeIsReportedAndNotLeftCut) {
  report_test::ScopedWorkDir dir;
  const GuideSeries series = MidnightNight();
  const GuidingSummary summary = SummarizeGuiding(series, {});
  // Each in a child process, whose files may grow to `limit` bytes and
  // whose printed line comes back.
  struct Case {
    const char* what;
    std::uint64_t budget_files, budget_bytes;
    off_t limit;
    bool folder_in_the_way;
    int code;
    const char* line;
  };
  for (const Case& c : {
           Case{"no file left in the budget", 0, 1 << 20, 1 << 20, false, kExposureTableOverBudget,
                "exceed their budget"},
           Case{"too few bytes left in the budget", 1, 100, 1 << 20, false,
                kExposureTableOverBudget, "exceed their budget"},
           Case{"a folder in the way", 1, 1 << 20, 1 << 20, true, kExposureTableNotCreated,
                "can't create"},
           Case{"a full disk", 1, 1 << 20, 200, false, kExposureTableWriteShort, "can't write"},
       }) {
    SCOPED_TRACE(c.what);
    if (c.folder_in_the_way) fs::create_directory(kExposureTableName);
    const full_disk::Outcome outcome = full_disk::RunWithFileSizeLimit(c.limit, [&] {
      OutputBudget budget(c.budget_files, c.budget_bytes);
      return WriteExposureTable(series, summary, 0, &budget);
    });
    EXPECT_EQ(outcome.result, c.code);
    EXPECT_NE(outcome.out.find(c.line), std::string::npos) << outcome.out;
    EXPECT_FALSE(fs::is_regular_file(kExposureTableName));
    fs::remove_all(kExposureTableName);
  }
}

}  // namespace
}  // namespace ktal
