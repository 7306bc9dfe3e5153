// SPDX-License-Identifier: GPL-3.0-or-later
// Periodic-error tables: runs of positions, the spans that give a table,
// the drift line, and a generated mount whose error is known.
#include "guidelog/periodic_error.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "full_disk.h"
#include "guidelog/guide_log.h"
#include "guidelog/report_settings.h"
#include "guidelog_test_util.h"
#include "sim/log_writer.h"
#include "sim/session_generator.h"

namespace ktal {
namespace {

using namespace logtest;

constexpr std::uint32_t kStart = 21 * 36000;

// The report settings of one test.
struct Settings : ReportSettings {
  Settings(int format, int focal_length, int worm_period, float dec) {
    csv_format = format;
    focal_length_mm = focal_length;
    worm_period_s = worm_period;
    star_dec_deg = dec;
  }
};

struct Row {
  double t, ra, dec;
};

// The rows of a table after its header (format 1 numbers).
std::vector<Row> ReadRows(const char* name, std::string* header = nullptr) {
  std::vector<Row> rows;
  const std::vector<std::string> lines = CrLfLines(ReadText(name));
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (i == 0) {
      if (header) *header = lines[0];
      continue;
    }
    Row r{};
    if (std::sscanf(lines[i].c_str(), "%lf,%lf,%lf", &r.t, &r.ra, &r.dec) == 3) rows.push_back(r);
  }
  return rows;
}

void Build(GuideLog& log, const std::vector<LogEntity>& entities) {
  LogWriter w;
  ASSERT_EQ(w.Append(entities), LogWriter::kOk);
  ASSERT_EQ(LoadAndBuild(log, w), 0);
}

// Positions every `step` seconds from 0 to `span` seconds; x from the
// function, y fixed.
template <typename F>
std::vector<LogEntity> PositionRun(double span, double step, F x_px, double offset_s = 0) {
  std::vector<LogEntity> v;
  for (double t = 0; t <= span + 1e-9; t += step) {
    const auto tenths = static_cast<std::uint32_t>(std::lround((offset_s + t) * 10));
    v.push_back(Position(kStart + tenths, static_cast<int>(std::lround(x_px(t) * 256)), 256 * 300));
  }
  return v;
}

TEST(PeriodicErrorTest, RunsAreSplitByOtherEntitiesButNotByClocks) {
  GuideLog log;
  std::vector<LogEntity> v = PositionRun(50, 10, [](double) { return 100.0; });
  v.push_back(OpenRecord(kStart + 505, 2, 0x60));  // a clock entity
  for (LogEntity e : PositionRun(
           50, 10, [](double) { return 100.0; }, 60))
    v.push_back(e);
  v.push_back(Drift(kStart + 1200, 0, 0));
  for (LogEntity e : PositionRun(
           20, 10, [](double) { return 100.0; }, 130))
    v.push_back(e);
  Build(log, v);
  log.scan_cursor = 0;
  ASSERT_EQ(NextPositionRun(log), 0);
  // The first two runs with clock entities (inserted ones included) inside.
  EXPECT_EQ(log.positions.size(), 12u);
  EXPECT_EQ(log.entities[log.scan_cursor].type, ENTITY_STAR);
  EXPECT_EQ(log.entities[log.scan_cursor].star.is_position, 0);
  ASSERT_EQ(NextPositionRun(log), 0);
  EXPECT_EQ(log.positions.size(), 3u);
  EXPECT_EQ(log.entities[log.scan_cursor].type, ENTITY_EOF);
  EXPECT_EQ(NextPositionRun(log), 1);
  EXPECT_TRUE(log.positions.empty());
  EXPECT_EQ(log.scan_cursor, log.sentinel());
}

TEST(PeriodicErrorTest, LogWithoutPositionsWritesNoTable) {
  TempDir dir;
  Settings settings(0, 1000, 480, 0);
  GuideLog log;
  Build(log, {Drift(kStart, 1, 1), LostStar(kStart + 10)});
  EXPECT_EQ(WritePeriodicErrorTables(log, settings), 0);
  EXPECT_FALSE(Exists("pe1.csv"));
}

TEST(PeriodicErrorTest, ShortRunGivesHeaderOnlyTableAndTheNextRunGoesOn) {
  TempDir dir;
  Settings settings(0, 1000, 480, 0);
  GuideLog log;
  std::vector<LogEntity> v = PositionRun(300, 10, [](double) { return 500.0; });
  v.push_back(Marker(0, 0));
  for (LogEntity e : PositionRun(
           600, 10, [](double t) { return 500.0 + std::sin(t / 50); }, 400)) {
    v.push_back(e);
  }
  Build(log, v);
  EXPECT_EQ(WritePeriodicErrorTables(log, settings), 0);
  EXPECT_EQ(ReadText("pe1.csv"), "time;RA;DEC;;The scale is seconds and arcseconds.\r\n");
  const std::vector<std::string> lines = CrLfLines(ReadText("pe2.csv"));
  EXPECT_EQ(lines.size(), 62u);
  EXPECT_FALSE(Exists("pe3.csv"));
}

TEST(PeriodicErrorTest, WholePeriodsExactlyStopTheExport) {
  TempDir dir;
  Settings settings(1, 1000, 480, 0);
  GuideLog log;
  std::vector<LogEntity> v =
      PositionRun(960, 10, [](double t) { return 500.0 + std::sin(t / 50); });
  v.push_back(Marker(0, 0));
  for (LogEntity e : PositionRun(
           600, 10, [](double) { return 500.0; }, 1000))
    v.push_back(e);
  Build(log, v);
  EXPECT_EQ(WritePeriodicErrorTables(log, settings), 0);
  EXPECT_EQ(ReadText("pe1.csv"),
            "time,RA,DEC,,The scale is seconds and arcseconds.\r\n"
            "ERROR: less data is present than a period!");
  EXPECT_FALSE(Exists("pe2.csv"));
}

TEST(PeriodicErrorTest, DriftLinePassesThroughTheWindowEnds) {
  // Span 1000 s with P = 480: two periods, margin 20 s. The line goes
  // through the first positions after 20 s (30 s) and after 980 s (990 s).
  // A linear drift with three positions off it (at 10, 20 and 1000 s):
  // taking the line through those two leaves every position on the drift
  // with one and the same value.
  TempDir dir;
  Settings settings(1, 1000, 480, 0);
  GuideLog log;
  Build(log, PositionRun(1000, 10, [](double t) {
          const bool off = t == 10 || t == 20 || t == 1000;
          return 400.0 + 0.025 * t + (off ? 3.0 : 0.0);  // whole 1/256 pixels
        }));
  ASSERT_EQ(WritePeriodicErrorTables(log, settings), 0);
  const std::vector<Row> rows = ReadRows("pe1.csv");
  ASSERT_EQ(rows.size(), 101u);  // every position of the run is listed
  EXPECT_DOUBLE_EQ(rows.front().t, 0.0);
  EXPECT_DOUBLE_EQ(rows.back().t, 1000.0);
  const double on_line = rows[0].ra;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const bool off = i == 1 || i == 2 || i == 100;
    if (off) {
      // 3 px at 1000 mm: 3.0011 arcseconds above the others.
      EXPECT_NEAR(rows[i].ra - on_line, 3 * 1.00038, 2e-3) << i;
    } else {
      EXPECT_NEAR(rows[i].ra, on_line, 5e-4) << i;
    }
    EXPECT_NEAR(rows[i].dec, 0.0, 1e-4) << i;
  }
}

// Positions 1001 and 999 px in turn every 10 s over 490 s: the drift line
// through the first positions after 5 s and after 485 s is the constant
// 1001, the means then leave +1 and -1 pixel, and there is no rotation.
std::vector<LogEntity> Alternating() {
  return PositionRun(490, 10,
                     [](double t) { return static_cast<long>(t / 10) % 2 ? 1001.0 : 999.0; });
}

TEST(PeriodicErrorTest, OnePixelIsAboutOneArcsecondAt1000Mm) {
  TempDir dir;
  Settings settings(0, 1000, 480, 0);
  GuideLog log;
  Build(log, Alternating());
  ASSERT_EQ(WritePeriodicErrorTables(log, settings), 0);
  const std::vector<std::string> lines = CrLfLines(ReadText("pe1.csv"));
  ASSERT_EQ(lines.size(), 51u);
  EXPECT_EQ(lines[0], "time;RA;DEC;;The scale is seconds and arcseconds.");
  EXPECT_EQ(lines[1], " 0,0;-1,0004; 0,0000");
  EXPECT_EQ(lines[2], " 10,0; 1,0004; 0,0000");
  EXPECT_EQ(lines[50], " 490,0; 1,0004; 0,0000");
}

TEST(PeriodicErrorTest, DeclinationScalesTheRaColumnOnly) {
  TempDir dir;
  Settings settings(1, 500, 480, 60.0f);
  GuideLog log;
  Build(log, Alternating());
  ASSERT_EQ(WritePeriodicErrorTables(log, settings), 0);
  const std::vector<Row> rows = ReadRows("pe1.csv");
  ASSERT_EQ(rows.size(), 50u);
  // Half the focal length doubles the scale, cos(60 deg) doubles it again.
  EXPECT_NEAR(rows[0].ra, -4.0015, 2e-4);
  EXPECT_NEAR(rows[1].ra, 4.0015, 2e-4);
}

TEST(PeriodicErrorTest, SensorTurnedAgainstTheSkyIsTurnedBack) {
  // The same motion along a line of 30 degrees to the x axis: the table
  // shows it along RA, with nothing across.
  TempDir dir;
  Settings settings(1, 1000, 480, 0);
  std::vector<LogEntity> v = Alternating();
  const double yscale = 4.65 / 4.85;
  for (std::size_t i = 0; i < v.size(); ++i) {
    const double d = i % 2 ? 1.0 : -1.0;
    v[i].star.x = static_cast<int>(std::lround((1000 + d * std::cos(M_PI / 6)) * 256));
    v[i].star.y = static_cast<int>(std::lround((300 + d * std::sin(M_PI / 6) / yscale) * 256));
  }
  GuideLog log;
  Build(log, v);
  ASSERT_EQ(WritePeriodicErrorTables(log, settings), 0);
  const std::vector<Row> rows = ReadRows("pe1.csv");
  ASSERT_EQ(rows.size(), 50u);
  for (const Row& r : rows) {
    EXPECT_NEAR(std::fabs(r.ra), 1.0004, 3e-3);
    EXPECT_NEAR(r.dec, 0.0, 3e-3);
  }
}

// Amplitude of the RA column at the worm period (a least-squares sine fit).
double AmplitudeAt(const std::vector<Row>& rows, double period) {
  double s = 0, c = 0, ss = 0, cc = 0, sc = 0;
  for (const Row& r : rows) {
    const double w = 2 * M_PI * r.t / period;
    s += r.ra * std::sin(w);
    c += r.ra * std::cos(w);
    ss += std::sin(w) * std::sin(w);
    cc += std::cos(w) * std::cos(w);
    sc += std::sin(w) * std::cos(w);
  }
  const double det = ss * cc - sc * sc;
  const double a = (s * cc - c * sc) / det;
  const double b = (c * ss - s * sc) / det;
  return std::hypot(a, b);
}

void ExpectKnownAmplitude(double dec) {
  TempDir dir;
  Settings settings(1, 1200, 480, static_cast<float>(dec));
  SessionOptions o;
  o.seed = 7;
  o.focal_length_mm = 1200;
  o.star_dec_deg = dec;
  o.camera_angle_deg = 20.0;
  o.worm_period_s = 480.0;
  o.pe_amplitude_arcsec = 12.0;
  o.pe_phase_rad = 0.7;
  o.drift_ra_arcsec_per_min = 1.5;
  o.drift_dec_arcsec_per_min = -0.8;
  o.noise_px = 0.05;
  o.position_run_s = 3 * 480 + 100;
  o.exposures = 1;
  o.exposure_s = 60;
  LogWriter w;
  ASSERT_EQ(WriteSession(o, w), LogWriter::kOk);
  GuideLog log;
  ASSERT_EQ(LoadAndBuild(log, w), 0);
  ASSERT_EQ(WritePeriodicErrorTables(log, settings), 0);
  const std::vector<Row> rows = ReadRows("pe1.csv");
  ASSERT_GT(rows.size(), 700u);
  EXPECT_FALSE(Exists("pe2.csv"));
  EXPECT_NEAR(AmplitudeAt(rows, 480.0), 12.0, 12.0 * 0.03);
  // Peak to peak as a person reads it off a plot, noise and all.
  double lo = 1e9, hi = -1e9, dec_lo = 1e9, dec_hi = -1e9;
  for (const Row& r : rows) {
    lo = std::min(lo, r.ra);
    hi = std::max(hi, r.ra);
    dec_lo = std::min(dec_lo, r.dec);
    dec_hi = std::max(dec_hi, r.dec);
  }
  EXPECT_NEAR((hi - lo) / 2, 12.0, 12.0 * 0.08);
  // Across the motion only the noise and the DEC drift's remains.
  EXPECT_LT(dec_hi - dec_lo, 2.0);
}

TEST(PeriodicErrorTest, GeneratedMountErrorComesOutAtDec0) { ExpectKnownAmplitude(0.0); }

TEST(PeriodicErrorTest, GeneratedMountErrorComesOutAtDec60) { ExpectKnownAmplitude(60.0); }

TEST(PeriodicErrorTest, TableThatCannotBeCreated) {
  TempDir dir;
  Settings settings(0, 1000, 480, 0);
  GuideLog log;
  std::vector<LogEntity> v =
      PositionRun(600, 10, [](double t) { return 500.0 + std::sin(t / 50); });
  v.push_back(Marker(0, 0));
  for (LogEntity e : PositionRun(
           600, 10, [](double t) { return 500.0 + std::sin(t / 50); }, 700)) {
    v.push_back(e);
  }
  Build(log, v);
  ASSERT_EQ(::mkdir("pe2.csv", 0755), 0);
  testing::internal::CaptureStdout();
  EXPECT_EQ(WritePeriodicErrorTables(log, settings), -1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "ERROR: can't create CSV (PE) file\n");
  EXPECT_EQ(CrLfLines(ReadText("pe1.csv")).size(), 62u);  // the earlier table stays
}

TEST(PeriodicErrorTest, TwoRunsSplitByADriftGiveTwoTables) {
  TempDir dir;
  Settings settings(1, 1000, 480, 0);
  GuideLog log;
  std::vector<LogEntity> v =
      PositionRun(600, 10, [](double t) { return 500.0 + std::sin(t / 50); });
  v.push_back(Drift(kStart + 6050, 3, 3));
  for (LogEntity e : PositionRun(
           700, 10, [](double t) { return 500.0 + std::cos(t / 50); }, 700)) {
    v.push_back(e);
  }
  Build(log, v);
  ASSERT_EQ(WritePeriodicErrorTables(log, settings), 0);
  EXPECT_EQ(ReadRows("pe1.csv").size(), 61u);
  const std::vector<Row> second = ReadRows("pe2.csv");
  ASSERT_EQ(second.size(), 71u);
  EXPECT_DOUBLE_EQ(second.front().t, 0.0);  // times count from the run's start
  EXPECT_DOUBLE_EQ(second.back().t, 700.0);
  EXPECT_FALSE(Exists("pe3.csv"));
}

TEST(PeriodicErrorTest, ATableCutShortByAFullDiskEndsTheTables) {
  // A header-only first table fits under the limit, the long second one
  // does not; the third run gets no table.
  TempDir dir;
  Settings settings(1, 1000, 480, 0);
  GuideLog log;
  std::vector<LogEntity> v = PositionRun(300, 10, [](double) { return 500.0; });
  v.push_back(Drift(kStart + 3050, 3, 3));
  for (LogEntity e : PositionRun(
           2000, 10, [](double t) { return 500.0 + std::sin(t / 50); }, 400)) {
    v.push_back(e);
  }
  v.push_back(Drift(kStart + 25000, 3, 3));
  for (LogEntity e : PositionRun(
           300, 10, [](double) { return 500.0; }, 2600))
    v.push_back(e);
  Build(log, v);
  const full_disk::Outcome outcome =
      full_disk::RunWithFileSizeLimit(200, [&] { return WritePeriodicErrorTables(log, settings); });
  EXPECT_EQ(outcome.result, -2);
  EXPECT_EQ(outcome.out, "ERROR: can't write CSV (PE) file\n");
  EXPECT_TRUE(ReadRows("pe1.csv").empty());
  // The table cut short is not left behind.
  EXPECT_FALSE(Exists("pe2.csv"));
  EXPECT_FALSE(Exists("pe3.csv"));
}

TEST(PeriodicErrorTest, WindowEndsOnOnePositionGivesFiniteRows) {
  // Two positions 700 s apart with P = 480: margin 110 s, and both window
  // ends fall on the second position. The drift line has no slope; the
  // table still holds numbers.
  TempDir dir;
  Settings settings(1, 1000, 480, 0);
  GuideLog log;
  Build(log,
        {Position(kStart, 256 * 500, 256 * 300), Position(kStart + 7000, 256 * 502, 256 * 300)});
  ASSERT_EQ(WritePeriodicErrorTables(log, settings), 0);
  const std::vector<Row> rows = ReadRows("pe1.csv");
  ASSERT_EQ(rows.size(), 2u);
  for (const Row& r : rows) {
    EXPECT_TRUE(std::isfinite(r.ra));
    EXPECT_TRUE(std::isfinite(r.dec));
  }
  EXPECT_NEAR(rows[1].ra - rows[0].ra, 2 * 1.00038, 1e-3);
}

}  // namespace
}  // namespace ktal
