// SPDX-License-Identifier: GPL-3.0-or-later
#include "guidelog/phd2_guide_log.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <sstream>

#include "full_disk.h"
#include "guidelog/guiding_summary.h"
#include "guidelog/raw_copy.h"
#include "guidelog/stdio_file.h"
#include "report_test_support.h"
#include "sim/log_writer.h"
#include "sim/session_generator.h"

namespace ktal {
namespace {

using namespace report_test;
namespace fs = std::filesystem;

std::string ReadText(const fs::path& path) {
  const std::vector<std::uint8_t> bytes = ReadBytes(path);
  return std::string(bytes.begin(), bytes.end());
}

void BuildThroughPages(GuideLog& log, const EntityList& entities) {
  LogWriter writer;
  ASSERT_EQ(writer.Append(entities), LogWriter::kOk);
  ASSERT_EQ(log.BeginLog(kTestDate, 0x1500, kUnsetDate, 0), 0);
  for (const DataPage& page : writer.Pages(0x2A)) ASSERT_EQ(log.AddPage(page), 0);
  ASSERT_EQ(log.BuildEntities(), 0);
}

// Writes the log into the current folder and returns the file's text.
std::string Write(const GuideLog& log, const Phd2LogSettings& settings) {
  std::string name;
  EXPECT_EQ(WritePhd2GuideLog(log, 0x2A, settings, {}, nullptr, &name), 0);
  EXPECT_EQ(name, Phd2GuideLogName(log));
  return ReadText(name);
}

// --- The file as PHD Log Viewer reads it ---

struct ViewerRow {
  int error = 0;
  double ra = 0.0;  // RARawDistance
  double dec = 0.0;
  bool settling = false;
};

struct ViewerSection {
  std::string label;  // AE001, XE001, or empty for an unguided run
  bool guiding = false;
  double pixel_scale = 1.0;
  std::vector<ViewerRow> rows;
  std::vector<std::string> infos;
};

// Sections begin at "Guiding Begins at", take header lines up to the
// column line, and end at a blank line or "Guiding Ends"; rows start with
// 1 to 9, DROP rows (error code 2) and settling rows leave the figures.
std::vector<ViewerSection> ParseAsViewer(const std::string& text) {
  std::vector<ViewerSection> sections;
  enum { kSkip, kHeader, kRows } state = kSkip;
  bool settling = false;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    EXPECT_EQ(text[end - 1], '\r') << "a line without CR LF";
    const std::string line = text.substr(start, end - 1 - start);
    if (state == kSkip && line.rfind("Guiding Begins at ", 0) == 0) {
      sections.emplace_back();
      settling = false;
      state = kHeader;
    } else if (state == kHeader) {
      ViewerSection& s = sections.back();
      if (line.rfind("Frame,Time,mount", 0) == 0) state = kRows;
      if (line.rfind("Pixel scale = ", 0) == 0)
        s.pixel_scale = std::strtod(line.c_str() + 14, nullptr);
      if (line.rfind("Mount = ", 0) == 0)
        s.guiding = line.find(", guiding enabled, ") != std::string::npos;
      if (const std::size_t at = line.find("exposure "); at != std::string::npos && s.label.empty())
        s.label = line.substr(at + 9, 5);
    } else if (state == kRows) {
      ViewerSection& s = sections.back();
      if (line.empty() || line.rfind("Guiding Ends", 0) == 0) {
        state = kSkip;
      } else if (line[0] >= '1' && line[0] <= '9') {
        std::vector<std::string> f;
        std::stringstream cells(line);
        for (std::string cell; std::getline(cells, cell, ',');) f.push_back(cell);
        if (line.back() == ',') f.emplace_back();
        EXPECT_EQ(f.size(), f[2] == "\"DROP\"" ? 19u : 18u) << line;
        ViewerRow row;
        row.error = std::atoi(f[17].c_str());
        row.ra = std::atof(f[5].c_str());
        row.dec = std::atof(f[6].c_str());
        EXPECT_EQ(f[3], f[5]) << "dx is the RA distance: " << line;
        row.settling = settling;
        s.rows.push_back(row);
      } else if (line.rfind("INFO: ", 0) == 0) {
        s.infos.push_back(line.substr(6));
        if (line.find("Settling started") != std::string::npos) settling = true;
        if (line.find("Settling complete") != std::string::npos ||
            line.find("Settling failed") != std::string::npos)
          settling = false;
      }
    }
  }
  return sections;
}

// The viewer's RMS: about the mean, divisor n, of the rows that count,
// times the pixel scale.
ErrorFigures ViewerRms(const ViewerSection& s) {
  double n = 0, ra = 0, ra2 = 0, dec = 0, dec2 = 0;
  for (const ViewerRow& r : s.rows) {
    if (r.error != 0 || r.settling) continue;
    n += 1;
    ra += r.ra;
    ra2 += r.ra * r.ra;
    dec += r.dec;
    dec2 += r.dec * r.dec;
  }
  ErrorFigures f;
  f.ra_rms = std::sqrt(std::max(0.0, n * ra2 - ra * ra)) / n * s.pixel_scale;
  f.dec_rms = std::sqrt(std::max(0.0, n * dec2 - dec * dec)) / n * s.pixel_scale;
  f.total_rms = std::hypot(f.ra_rms, f.dec_rms);
  return f;
}

TEST(Phd2GuideLog, TheViewersRmsOfEachExposureIsTheSummarys) {
  struct Case {
    const char* what;
    std::optional<double> focal_mm;
    double dec_deg;
  };
  for (const Case& c : {Case{"1000 mm, a pixel of 1.0004 arc-sec", 1000.0, 0.0},
                        Case{"1234 mm, rounded to 0.81 arc-sec", 1234.0, 40.0},
                        Case{"no focal length: pixels", std::nullopt, 0.0}}) {
    SCOPED_TRACE(c.what);
    ScopedWorkDir dir;
    SessionOptions options;
    options.seed = 7;
    options.position_run_s = 600.0;
    options.exposures = 4;
    options.external_exposures = 2;
    options.lost_star_probability = 0.05;
    options.star_dec_deg = c.dec_deg;
    GuideLog log;
    BuildThroughPages(log, GenerateSession(options));
    const std::vector<ViewerSection> sections =
        ParseAsViewer(Write(log, {c.focal_mm, 480.0, c.dec_deg, "test"}));

    SummaryOptions summary_options;
    summary_options.focal_length_mm = c.focal_mm;
    const GuideSeries series = ExtractGuideSeries(log);
    const GuidingSummary summary = SummarizeGuiding(series, summary_options);
    std::map<std::string, const ViewerSection*> by_label;
    int unguided = 0;
    for (const ViewerSection& s : sections) {
      if (s.guiding) by_label[s.label] = &s;
      unguided += s.guiding ? 0 : 1;
    }
    EXPECT_EQ(unguided, 1);
    // The position run is the report's XE001 as well; it has no drift.
    ASSERT_EQ(by_label.size(), 6u);
    for (const ExposureSummary& e : summary.exposures) {
      const ExposureSpan& span = series.exposures[e.exposure];
      char label[8];
      std::snprintf(label, sizeof label, "%cE%03d", span.kind, span.number);
      SCOPED_TRACE(label);
      const auto found = by_label.find(label);
      if (e.guiding.drift_samples == 0) {
        EXPECT_EQ(found, by_label.end());
        continue;
      }
      ASSERT_NE(found, by_label.end());
      const ViewerSection& s = *found->second;
      int counted = 0, dropped = 0;
      for (const ViewerRow& r : s.rows) {
        counted += r.error == 0 && !r.settling ? 1 : 0;
        dropped += r.error == 2 ? 1 : 0;
      }
      EXPECT_EQ(counted, e.guiding.drift_samples);
      EXPECT_EQ(dropped, e.guiding.lost_stars);
      // The summary prints three decimals.
      const ErrorFigures& want = c.focal_mm ? *e.guiding.arcsec : *e.guiding.px;
      const ErrorFigures got = ViewerRms(s);
      EXPECT_NEAR(got.ra_rms, want.ra_rms, 0.0005);
      EXPECT_NEAR(got.dec_rms, want.dec_rms, 0.0005);
      EXPECT_NEAR(got.total_rms, want.total_rms, 0.0005);
    }
  }
}

// One frame during WAIT, an exposure with a lost star and an absolute
// position, and a settling that ends in IDLE.
TEST(Phd2GuideLog, LostStarsAreDropRowsAndWaitAndMlAreSettling) {
  ScopedWorkDir dir;
  GuideLog log;
  LogEntity position = MakeStar(9.0, 300.0, 200.0);
  position.star.is_position = 1;
  SetEntities(log, {MakeAe(0.0, kAeWait), MakeStar(1.0, 0.5, 0.5), MakeAe(2.0, kAeMl),
                    MakeAe(3.0, kAeExp), MakeStar(4.0, 0.25, -0.5, Corr(8), Corr(-3)),
                    MakeLostStar(6.0), MakeStar(8.0, -0.25, 0.5), position, MakeAe(10.0, kAeWait),
                    MakeAe(11.0, kAeIdle), MakeAe(12.0, kAeWait), MakeAe(13.0, kAeIdle)});
  const std::string text = Write(log, {});
  const std::vector<ViewerSection> sections = ParseAsViewer(text);
  // The position is an unguided run of its own as well.
  ASSERT_EQ(sections.size(), 3u);
  EXPECT_FALSE(sections[2].guiding);
  EXPECT_EQ(sections[2].rows.size(), 1u);
  // The frame during WAIT is an external exposure, all of it settling.
  EXPECT_EQ(sections[0].label, "XE001");
  ASSERT_EQ(sections[0].rows.size(), 1u);
  EXPECT_TRUE(sections[0].rows[0].settling);
  EXPECT_EQ(sections[0].infos, std::vector<std::string>{"SETTLING STATE CHANGE, Settling started"});
  // The exposure begins at EXP, entered from M.L.: settling until then.
  EXPECT_EQ(sections[1].label, "AE001");
  EXPECT_EQ(sections[1].infos,
            (std::vector<std::string>{"SETTLING STATE CHANGE, Settling started", "AutoExposure EXP",
                                      "SETTLING STATE CHANGE, Settling complete",
                                      "absolute star position x = 300.000, y = 200.000 px, not a "
                                      "drift and not in the figures"}));
  for (const ViewerRow& r : sections[1].rows) EXPECT_FALSE(r.settling);
  // Rows timed from EXP; corrections of 8/32 s east and 3/32 s north.
  EXPECT_NE(
      text.find("\r\n1,1.000,\"Mount\",0.250,-0.500,0.250,-0.500,0.250,-0.500,250,E,94,N,,,,,0"
                "\r\n2,3.000,\"DROP\",,,,,,,,,,,,,,,2,\"Star lost - low SNR\"\r\n"
                "3,5.000,\"Mount\",-0.250,0.500,-0.250,0.500,0.000,0.000,0,,0,,,,,,0\r\n"
                "INFO: absolute star position"),
      std::string::npos)
      << text;
  EXPECT_NE(text.find(" figures\r\nGuiding Ends at 2014-03-21 21:00:10\r\n"), std::string::npos);
  // The next WAIT ends in IDLE: no exposure, no section.
  EXPECT_EQ(text.find("Settling failed"), std::string::npos);
  EXPECT_NE(text.find("Pixel scale = 1.00 arc-sec/px, Binning = 1, Focal length = 0 mm\r\n"),
            std::string::npos);
}

TEST(Phd2GuideLog, NamedAfterTheFirstRecordAndDatedAcrossMidnight) {
  ScopedWorkDir dir;
  GuideLog log;
  std::vector<LogEntity> e = {
      MakeAe(0.0, kAeWait),    MakeAe(1.5, kAeIdle),     MakeAe(2.0, kAeWait), MakeAe(3.0, kAeExp),
      MakeStar(5.0, 0.1, 0.1), MakeStar(15.0, 0.1, 0.1), MakeAe(16.0, kAeIdle)};
  // 23:59:55.7 on the last day of February; the second frame is past
  // midnight.
  for (LogEntity& entity : e) {
    entity.clock_date = PackDate(2014, 2, 28);
    entity.clock_tenths += 2 * 36000 + 59 * 600 + 557;
    if (entity.clock_tenths >= kTenthsPerDay) {
      entity.clock_tenths -= kTenthsPerDay;
      entity.clock_date = PackDate(2014, 3, 1);
    }
  }
  SetEntities(log, e);
  EXPECT_EQ(Phd2GuideLogName(log), "PHD2_GuideLog_2014-02-28_235955.txt");
  const std::string text = Write(log, {1000.0, std::nullopt, std::nullopt, "9.9.9"});
  EXPECT_EQ(text.rfind("PHD2 version 9.9.9, Log version 2.5. Log enabled at 2014-02-28 23:59:55\r\n"
                       "\r\nGuiding Begins at 2014-02-28 23:59:55\r\n",
                       0),
            0u)
      << text;
  // Settling failed when WAIT went back to IDLE, started again.
  EXPECT_NE(text.find("INFO: SETTLING STATE CHANGE, Settling failed\r\nINFO: AutoExposure WAIT\r\n"
                      "INFO: SETTLING STATE CHANGE, Settling started\r\n"),
            std::string::npos);
  EXPECT_NE(text.find("\r\n2,15.700,\"Mount\""), std::string::npos) << text;
  EXPECT_NE(text.find("Guiding Ends at 2014-03-01 00:00:11\r\n"), std::string::npos) << text;
}

TEST(Phd2GuideLog, AFileNotWrittenWholeIsRemovedAndSaysWhy) {
  ScopedWorkDir dir;
  SessionOptions options;
  options.exposures = 2;
  GuideLog log;
  BuildThroughPages(log, GenerateSession(options));
  const std::string name = Phd2GuideLogName(log);
  struct Case {
    const char* what;
    std::function<int()> write;
    int code;
    const char* message;
  };
  OutputBudget no_file(0, 1'000'000);
  OutputBudget few_bytes(1, 5'000);
  for (const Case& c :
       {Case{"no file left in the budget",
             [&] { return WritePhd2GuideLog(log, 1, {}, {}, &no_file); }, kPhd2OverBudget,
             "would exceed their budget"},
        Case{"bytes over the budget", [&] { return WritePhd2GuideLog(log, 1, {}, {}, &few_bytes); },
             kPhd2OverBudget, "would exceed their budget"},
        Case{"no such folder", [&] { return WritePhd2GuideLog(log, 1, {}, "missing"); },
             kPhd2NotCreated, "ERROR: can't create PHD2 guide log file"},
        Case{"a full disk",
             [&] {
               return full_disk::RunWithFileSizeLimit(10'000,
                                                      [&] { return WritePhd2GuideLog(log, 1, {}); })
                   .result;
             },
             kPhd2WriteShort, nullptr}}) {
    SCOPED_TRACE(c.what);
    testing::internal::CaptureStdout();
    EXPECT_EQ(c.write(), c.code);
    const std::string out = testing::internal::GetCapturedStdout();
    if (c.message != nullptr) {
      EXPECT_NE(out.find(c.message), std::string::npos) << out;
    }
    EXPECT_FALSE(fs::exists(name));
  }
  // Within the budget it is written, into the folder asked for.
  fs::create_directory("out");
  OutputBudget enough(1, 200'000);
  EXPECT_EQ(WritePhd2GuideLog(log, 1, {}, "out", &enough), 0);
  EXPECT_TRUE(fs::exists(fs::path("out") / name));
}

// The golden file: a short night of a few frames per exposure, with the
// telescope settings given. KTAL_UPDATE_GOLDEN=1 rewrites it.
TEST(Phd2GuideLog, GoldenLogOfASmallGeneratedNight) {
  ScopedWorkDir dir;
  SessionOptions options;
  options.seed = 3;
  options.position_run_s = 10.0;
  options.exposures = 2;
  options.exposure_s = 16.0;
  options.external_exposures = 1;
  options.lost_star_probability = 0.1;
  GuideLog log;
  BuildThroughPages(log, GenerateSession(options));
  const std::string actual = Write(log, {1000.0, 480.0, 12.5, "2.60.0"});
  const fs::path golden = fs::path(KTAL_GOLDEN_DIR) / "phd2_small_night.txt";
  if (const char* update = std::getenv("KTAL_UPDATE_GOLDEN"); update != nullptr && update[0] == '1')
    WriteBytes(golden, std::vector<std::uint8_t>(actual.begin(), actual.end()));
  const std::string expected = ReadText(golden);
  ASSERT_FALSE(expected.empty()) << "missing golden file " << golden;
  std::istringstream want(expected);
  std::istringstream got(actual);
  int line = 1;
  for (std::string w, g; std::getline(want, w); ++line) {
    ASSERT_TRUE(std::getline(got, g)) << "the log ends before line " << line;
    ASSERT_EQ(g, w) << "first difference in line " << line;
  }
  EXPECT_EQ(actual, expected);
}

// --- As one of ProcessRawFile's outputs ---

class Phd2FromProcessRawFile : public ::testing::Test {
 protected:
  int Process(std::string* phd2_name) {
    SessionOptions options;
    options.exposures = 2;
    LogWriter writer;
    EXPECT_EQ(WriteSession(options, writer), 0);
    DirectoryEntry entry;
    SetFileId(entry.file_id, 0xBEEF);
    entry.created_date = options.start_date;
    WriteBytes("input.dat", writer.RawFile(entry));
    StdioFile file = OpenStdioFile("input.dat", "rb");
    GuideLog log;
    DirectoryEntry read;
    testing::internal::CaptureStdout();
    ReportSettings settings;
    settings.phd2_log = true;
    const int code = ProcessRawFile(log, file.get(), read, settings, {}, phd2_name);
    testing::internal::GetCapturedStdout();
    return code;
  }

  ScopedWorkDir dir;
};

TEST_F(Phd2FromProcessRawFile, WrittenLastWithItsNameAndA599WhenItCannotBeCreated) {
  std::string name;
  EXPECT_EQ(Process(&name), 0);
  EXPECT_NE(ReadText(name).find("QD00beef"), std::string::npos) << name;
  fs::remove(name);
  fs::create_directory(name);
  std::string blocked;
  EXPECT_EQ(Process(&blocked), 599);
  EXPECT_TRUE(blocked.empty());
  EXPECT_TRUE(fs::exists("events.csv"));
}

}  // namespace
}  // namespace ktal
