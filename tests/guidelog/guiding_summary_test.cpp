// SPDX-License-Identifier: GPL-3.0-or-later
// Guiding summary: logs written by the simulator's log writer with known
// drift, periodic error and mount drift, read back and summarised.
#include "guidelog/guiding_summary.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <vector>

#include "guidelog/exposure_analysis.h"
#include "guidelog/guide_log.h"
#include "guidelog/raw_copy.h"
#include "guidelog/stdio_file.h"
#include "guidelog_test_util.h"
#include "sim/log_writer.h"
#include "sim/session_generator.h"

namespace ktal {
namespace {

using namespace logtest;

constexpr double kPi = 3.14159265358979323846;
constexpr std::uint32_t kStart = 21 * 36000;
// Arcseconds per x pixel at 1000 mm.
constexpr double kArcsecPerPx1000 = 0.00485 / 1000.0 * 3600.0 * 57.29577951309679;
constexpr double kYScale = 0.9587629437446594;

std::unique_ptr<GuideLog> Built(const EntityList& entities) {
  auto log = std::make_unique<GuideLog>();
  LogWriter w;
  EXPECT_EQ(w.Append(entities), LogWriter::kOk);
  EXPECT_EQ(LoadAndBuild(*log, w), 0);
  return log;
}

std::uint32_t At(double seconds) {
  return kStart + static_cast<std::uint32_t>(std::lround(seconds * 10));
}

// An AutoExposure exposure from `begin` with `n` frames 2 s apart; the RA
// and DEC drift are sines of whole cycles with the given RMS around the
// given means, so their RMS about the mean is known exactly. Every tenth
// frame carries corrections, every 25th is a lost star.
void AppendExposure(std::vector<LogEntity>& v, double begin, int n, double ra_rms, double dec_rms,
                    double mean_ra = 0.3, double mean_dec = -0.2) {
  v.push_back(Ae(At(begin), kAeWait));
  v.push_back(Ae(At(begin + 2), kAeMl));
  v.push_back(Ae(At(begin + 3), kAeExp));
  for (int i = 0; i < n; ++i) {
    const double t = begin + 4 + 2.0 * i;
    if (i % 25 == 24) {
      v.push_back(LostStar(At(t)));
      continue;
    }
    const double phase = 2.0 * kPi * 7.0 * i / n;
    const double x = mean_ra + ra_rms * std::sqrt(2.0) * std::sin(phase);
    const double y = mean_dec + dec_rms * std::sqrt(2.0) * std::cos(3.0 * phase);
    const bool corrected = i % 10 == 0;
    v.push_back(Drift(At(t), static_cast<int>(std::lround(x * 256)),
                      static_cast<int>(std::lround(y * 256)), corrected ? -5 : 0, corrected,
                      corrected ? 3 : 0, corrected));
  }
  v.push_back(Ae(At(begin + 4 + 2.0 * n), kAeIdle));
}

TEST(GuidingSummary, DriftOfKnownRmsComesBackPerExposureAndForTheNight) {
  struct Case {
    double ra_rms_a, dec_rms_a, ra_rms_b, dec_rms_b;
  } cases[] = {
      {0.5, 0.25, 0.5, 0.25},
      {1.2, 0.4, 0.3, 0.9},
      {3.0, 2.0, 0.1, 0.05},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.ra_rms_a);
    std::vector<LogEntity> v{OpenRecord(At(0), 2, 0x60)};
    AppendExposure(v, 10, 1000, c.ra_rms_a, c.dec_rms_a);
    AppendExposure(v, 3000, 500, c.ra_rms_b, c.dec_rms_b);
    const auto log = Built(v);
    const GuideSeries series = ExtractGuideSeries(*log);
    ASSERT_EQ(series.exposures.size(), 2u);
    SummaryOptions options;
    options.focal_length_mm = 1000;
    const GuidingSummary s = SummarizeGuiding(series, options);

    const double expect_ra[] = {c.ra_rms_a, c.ra_rms_b};
    const double expect_dec[] = {c.dec_rms_a, c.dec_rms_b};
    const int frames[] = {1000, 500};
    for (int k = 0; k < 2; ++k) {
      const GuidingFigures& g = s.exposures[k].guiding;
      EXPECT_EQ(g.lost_stars, frames[k] / 25);
      EXPECT_EQ(g.drift_samples, frames[k] - frames[k] / 25);
      EXPECT_EQ(g.ra_corrections, frames[k] / 10);
      EXPECT_EQ(g.dec_corrections, frames[k] / 10);
      ASSERT_TRUE(g.px && g.arcsec);
      // Lost stars take a few points out of the whole cycles; 1 % holds.
      EXPECT_NEAR(g.px->ra_rms, expect_ra[k], 0.01 * expect_ra[k]);
      EXPECT_NEAR(g.px->dec_rms, expect_dec[k], 0.01 * expect_dec[k]);
      EXPECT_NEAR(g.px->total_rms, std::hypot(expect_ra[k], expect_dec[k]),
                  0.01 * std::hypot(expect_ra[k], expect_dec[k]));
      EXPECT_NEAR(g.px->ra_peak, expect_ra[k] * std::sqrt(2.0), 0.01 * expect_ra[k]);
      EXPECT_NEAR(g.arcsec->ra_rms, expect_ra[k] * kArcsecPerPx1000, 0.01 * expect_ra[k]);
      EXPECT_NEAR(g.arcsec->dec_rms, expect_dec[k] * kArcsecPerPx1000 * kYScale,
                  0.01 * expect_dec[k]);
      EXPECT_NEAR(g.mean_ra_px, 0.3, 0.01);
    }
    // Both exposures share their means, so the night's variance is the
    // frame-weighted mean of theirs.
    const double n_a = 960, n_b = 480;
    const double night_ra =
        std::sqrt((n_a * c.ra_rms_a * c.ra_rms_a + n_b * c.ra_rms_b * c.ra_rms_b) / (n_a + n_b));
    ASSERT_TRUE(s.night.px);
    EXPECT_NEAR(s.night.px->ra_rms, night_ra, 0.01 * night_ra);
    EXPECT_EQ(s.night.lost_stars, 60);
    EXPECT_EQ(s.night.ra_corrections, 150);
  }
}

// The exposures of the series are the report's, sample for sample, and an
// exposure's RMS is the spread the report prints. The session crosses
// midnight, is reopened, and starts with an unguided run.
TEST(GuidingSummary, ExposuresAndTheirSpreadMatchTheReport) {
  SessionOptions o;
  o.start_tenths = 23 * 36000 + 50 * 600;
  o.position_run_s = 600;
  o.exposures = 4;
  o.exposure_s = 200;
  o.external_exposures = 2;
  o.reopen = true;
  o.lost_star_probability = 0.05;
  LogWriter w;
  ASSERT_EQ(WriteSession(o, w), LogWriter::kOk);
  GuideLog log;
  ASSERT_EQ(LoadAndBuild(log, w), 0);
  const GuideSeries series = ExtractGuideSeries(log);
  const GuidingSummary s = SummarizeGuiding(series, {});

  for (std::size_t i = 1; i < series.samples.size(); ++i)
    ASSERT_GE(series.samples[i].t, series.samples[i - 1].t);
  EXPECT_GT(series.end_s, 600 + 4 * 200 + 2 * 200);
  ASSERT_EQ(series.runs.size(), 1u);
  EXPECT_NEAR(series.runs[0].end_s - series.runs[0].begin_s, 600, 3);

  log.scan_cursor = log.begin_pos();
  std::size_t k = 0;
  int numbers[2] = {0, 0};
  while (NextGuidedExposure(log) == 0) {
    if (log.positions.empty()) continue;
    ASSERT_LT(k, series.exposures.size());
    const ExposureSpan& span = series.exposures[k];
    const bool ae = log.exposure.ae_flag == 1;
    EXPECT_EQ(span.kind, ae ? 'A' : 'X');
    EXPECT_EQ(span.number, ++numbers[ae ? 0 : 1]);
    EXPECT_EQ(span.end_sample - span.first_sample, log.positions.size());
    const GuidingFigures& g = s.exposures[k].guiding;
    if (g.drift_samples == 0) {
      // The unguided run is an exposure to the report, with no drift.
      EXPECT_GE(span.first_sample, series.runs[0].first_sample);
      EXPECT_LE(span.end_sample, series.runs[0].end_sample);
    } else {
      ASSERT_TRUE(g.px);
      EXPECT_NEAR(g.px->ra_rms, log.exposure.std_ra, 1e-9);
      EXPECT_NEAR(g.px->dec_rms, log.exposure.std_dec, 1e-9);
      EXPECT_EQ(g.ra_corrections, log.exposure.ra_count);
      EXPECT_EQ(g.dec_corrections, log.exposure.dec_count);
    }
    ++k;
  }
  EXPECT_EQ(k, series.exposures.size());
  EXPECT_EQ(numbers[1], 3);  // the unguided run and the two external ones
}

struct MountCase {
  double period_s;
  double amplitude_arcsec;
  double dec_deg;
  double drift_ra, drift_dec;  // arcsec per minute on the sky, before cos(dec)
  bool worm_known;
};

GuidingSummary MountRun(const MountCase& c, GuideSeries& series) {
  SessionOptions o;
  o.position_run_s = 3600;
  o.exposures = 0;
  o.worm_period_s = c.period_s;
  o.pe_amplitude_arcsec = c.amplitude_arcsec;
  o.star_dec_deg = c.dec_deg;
  o.drift_ra_arcsec_per_min = c.drift_ra;
  o.drift_dec_arcsec_per_min = c.drift_dec;
  o.pe_phase_rad = 0.7;
  LogWriter w;
  EXPECT_EQ(WriteSession(o, w), LogWriter::kOk);
  GuideLog log;
  EXPECT_EQ(LoadAndBuild(log, w), 0);
  series = ExtractGuideSeries(log);
  SummaryOptions options;
  options.focal_length_mm = 1000;
  options.declination_deg = c.dec_deg;
  if (c.worm_known) options.worm_period_s = c.period_s;
  return SummarizeGuiding(series, options);
}

TEST(GuidingSummary, PeriodicErrorOfKnownPeriodAndAmplitudeIsTheStrongestPeak) {
  const MountCase cases[] = {
      {480, 10, 0, 0.5, 0.2, true},
      {600, 5, 40, 0.0, -0.3, false},
      {300, 20, -60, 1.0, 0.0, true},
  };
  for (const MountCase& c : cases) {
    SCOPED_TRACE(c.period_s);
    GuideSeries series;
    const GuidingSummary s = MountRun(c, series);
    ASSERT_EQ(s.runs.size(), 1u);
    const UnguidedRunSummary& u = s.runs[0];
    ASSERT_TRUE(u.has_figures);
    ASSERT_FALSE(u.periodogram.peaks.empty());
    const SpectrumPeak& top = u.periodogram.peaks.front();
    EXPECT_NEAR(top.period_s, c.period_s, 0.01 * c.period_s);
    EXPECT_EQ(top.harmonic, c.worm_known ? 1 : 0);
    ASSERT_TRUE(top.amplitude_arcsec);
    EXPECT_NEAR(*top.amplitude_arcsec, c.amplitude_arcsec, 0.02 * c.amplitude_arcsec);
    ASSERT_TRUE(u.pe_peak_to_peak_arcsec && u.pe_max_slope_arcsec_per_s);
    EXPECT_NEAR(*u.pe_peak_to_peak_arcsec, 2 * c.amplitude_arcsec, 0.02 * 2 * c.amplitude_arcsec);
    const double slope = 2 * kPi * c.amplitude_arcsec / c.period_s;
    EXPECT_NEAR(*u.pe_max_slope_arcsec_per_s, slope, 0.05 * slope);
    if (c.worm_known) {
      ASSERT_FALSE(u.periodogram.worm_harmonics.empty());
      EXPECT_EQ(u.periodogram.worm_harmonics[0].harmonic, 1);
      EXPECT_GT(u.periodogram.worm_harmonics[0].power, 0.9);
    }
  }
}

// A worm error with a second harmonic over three periods: the two are the
// two strongest periods, marked, and none of the fundamental's sidelobes
// comes between them.
TEST(GuidingSummary, TheWormHarmonicIsFoundBesideTheFundamental) {
  std::vector<LogEntity> v;
  for (int i = 0; i <= 720; ++i) {
    const double t = 2.0 * i;
    const double x = 300 + 8 * std::sin(2 * kPi * t / 480) + 2.4 * std::sin(2 * kPi * t / 240 + 1);
    v.push_back(Position(At(t), static_cast<int>(std::lround(x * 256)), 256 * 200));
  }
  const auto log = Built(v);
  const GuideSeries series = ExtractGuideSeries(*log);
  SummaryOptions options;
  options.worm_period_s = 480;
  const GuidingSummary s = SummarizeGuiding(series, options);
  ASSERT_EQ(s.runs.size(), 1u);
  const Periodogram& g = s.runs[0].periodogram;
  ASSERT_GE(g.peaks.size(), 2u);
  EXPECT_EQ(g.peaks[0].harmonic, 1);
  EXPECT_NEAR(g.peaks[0].amplitude_px, 8, 0.08);
  EXPECT_EQ(g.peaks[1].harmonic, 2);
  // Over three periods the fundamental's leakage moves the weaker peak a
  // little; the value at the harmonic itself measures it.
  EXPECT_NEAR(g.peaks[1].period_s, 240, 0.03 * 240);
  ASSERT_GE(g.worm_harmonics.size(), 2u);
  EXPECT_NEAR(g.worm_harmonics[1].amplitude_px, 2.4, 0.05);
  EXPECT_FALSE(g.peaks[0].amplitude_arcsec);  // no focal length
}

TEST(GuidingSummary, LinearDriftGivesTheDriftRateAndThePolarError) {
  const MountCase cases[] = {
      {480, 0, 0, 0.8, 0.4, true},
      {480, 0, 50, -0.5, 1.5, false},
      // The periodic error is fitted with the line and does not tilt it.
      {480, 15, 20, 0.3, -0.6, true},
  };
  for (const MountCase& c : cases) {
    SCOPED_TRACE(c.dec_deg);
    GuideSeries series;
    const GuidingSummary s = MountRun(c, series);
    ASSERT_EQ(s.runs.size(), 1u);
    const UnguidedRunSummary& u = s.runs[0];
    ASSERT_TRUE(u.has_figures && u.ra_rate_arcsec_per_min && u.dec_rate_arcsec_per_min &&
                u.polar_error_arcmin);
    const double ra_sky = c.drift_ra * std::cos(c.dec_deg / 180 * kPi);
    EXPECT_NEAR(*u.ra_rate_arcsec_per_min, ra_sky, 0.01);
    EXPECT_NEAR(*u.dec_rate_arcsec_per_min, c.drift_dec, 0.01);
    // 1 / (3600 * sidereal rate in rad/s)
    EXPECT_NEAR(*u.polar_error_arcmin, 3.8093 * std::fabs(c.drift_dec), 0.05);
  }
}

// Leaving a range out is the same as a log without its samples: every
// figure of the summary (JSON with ten digits) is the same.
TEST(GuidingSummary, AnExcludedRangeEqualsTheLogWithoutItsSamples) {
  SessionOptions o;
  o.position_run_s = 2400;
  o.exposures = 3;
  o.exposure_s = 300;
  o.lost_star_probability = 0.05;
  const EntityList entities = GenerateSession(o);
  const auto whole = Built(entities);
  const GuideSeries series = ExtractGuideSeries(*whole);
  ASSERT_EQ(series.runs.size(), 1u);
  ASSERT_GE(series.exposures.size(), 3u);

  // One range across the middle of the run, one inside the last exposure.
  const RunSpan& run = series.runs[0];
  const ExposureSpan& last = series.exposures.back();
  const std::vector<TimeRange> ranges{{run.begin_s + 700, run.begin_s + 1100},
                                      {last.begin_s + 150, last.begin_s + 100}};
  auto inside = [&](std::size_t sample) {
    const double t = series.samples[sample].t;
    return (t >= ranges[0].begin_s && t <= ranges[0].end_s) ||
           (t >= ranges[1].end_s && t <= ranges[1].begin_s);
  };
  std::vector<LogEntity> kept;
  std::size_t sample = 0;
  for (const LogEntity& e : whole->entities) {
    if (e.type == ENTITY_EOF) continue;
    if (e.type == ENTITY_STAR && inside(sample++)) continue;
    kept.push_back(e);
  }
  ASSERT_EQ(sample, series.samples.size());
  const auto cut = Built(kept);
  const GuideSeries cut_series = ExtractGuideSeries(*cut);

  SummaryOptions options;
  options.focal_length_mm = 1200;
  options.worm_period_s = 480;
  options.declination_deg = 25;
  const std::string full = GuidingSummaryJson(series, SummarizeGuiding(series, options));
  SummaryOptions excluding = options;
  excluding.excluded = ranges;
  const std::string excluded = GuidingSummaryJson(series, SummarizeGuiding(series, excluding));
  const std::string removed = GuidingSummaryJson(cut_series, SummarizeGuiding(cut_series, options));
  EXPECT_NE(excluded, full);
  EXPECT_EQ(excluded, removed);
}

TEST(GuidingSummary, LogsWithoutEnoughSamplesGiveNoFigures) {
  struct Case {
    const char* what;
    std::vector<LogEntity> entities;
  } cases[] = {
      {"no star at all", {OpenRecord(At(0), 2, 0x60)}},
      {"only lost stars", {LostStar(At(1)), LostStar(At(3))}},
      {"two positions",
       {Position(At(1), 256 * 300, 256 * 200), Position(At(3), 256 * 301, 256 * 200)}},
      {"three positions at one time",
       {Position(At(1), 256 * 300, 256 * 200), Position(At(1), 256 * 301, 256 * 200),
        Position(At(1), 256 * 302, 256 * 200)}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const auto log = Built(c.entities);
    const GuideSeries series = ExtractGuideSeries(*log);
    SummaryOptions options;
    options.focal_length_mm = 1000;
    options.worm_period_s = 480;
    const GuidingSummary s = SummarizeGuiding(series, options);
    EXPECT_EQ(s.night.drift_samples, 0);
    EXPECT_FALSE(s.night.px);
    EXPECT_FALSE(s.night.arcsec);
    for (const UnguidedRunSummary& u : s.runs) EXPECT_FALSE(u.has_figures);
    EXPECT_FALSE(GuidingSummaryJson(series, s).empty());
  }
}

TEST(GuidingSummary, AZeroBitLogIsRefusedAsProcessingRefusesIt) {
  // Every bit 0 is one more entity without a payload: kept, a full log of
  // them is sixteen million entities; read as processing reads it, one.
  TempDir dir;
  LogWriter zeros;
  for (int i = 0; i < 8 * 4088; ++i) zeros.WriteBit(0);
  DirectoryEntry entry;
  entry.first_page = 0;
  entry.created_date = PackDate(2014, 3, 21);
  const std::vector<std::uint8_t> raw = zeros.RawFile(entry);
  {
    StdioFile out = OpenStdioFile("zeros.dat", "wb");
    ASSERT_EQ(std::fwrite(raw.data(), 1, raw.size(), out.get()), raw.size());
  }
  StdioFile in = OpenStdioFile("zeros.dat", "rb");
  auto summarised = std::make_unique<GuideLog>();
  DirectoryEntry read;
  const int code = ReadLogForSummary(*summarised, in.get(), read);
  EXPECT_LE(summarised->entities.size(), 2u);
  std::rewind(in.get());
  auto processed = std::make_unique<GuideLog>();
  testing::internal::CaptureStdout();
  EXPECT_EQ(code, ProcessRawFile(*processed, in.get(), read,
                                 StoredReportSettings(true, false, false), "x"));
  testing::internal::GetCapturedStdout();
  EXPECT_NE(code, 0);
}

}  // namespace
}  // namespace ktal
