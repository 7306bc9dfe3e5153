// SPDX-License-Identifier: GPL-3.0-or-later
// The periodogram of the guided RA drift, on series made sample by sample:
// a sine of known period and amplitude left in the guiding comes back as
// the strongest peak, per exposure and for the night.
#include "guidelog/guided_periodogram.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <random>

namespace ktal {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kArcsecPerPx1000 = 0.00485 / 1000.0 * 3600.0 * 57.29577951309679;

struct Night {
  int exposures = 4;
  double exposure_s = 600.0;
  double pause_s = 60.0;
  double frame_s = 2.0;
  double period_s = 137.0;
  double amplitude_px = 0.8;
  double noise_px = 0.2;
  // Each exposure's star sits this much further off its lock position
  // than the one before: what a dither or a new lock does.
  double offset_step_px = 3.0;
  int lost_every = 0;  // every n-th frame a lost star (0: none)
};

// Tenths, as the log holds times.
double Tenths(double t) { return std::round(t * 10.0) / 10.0; }

GuideSeries MakeNight(const Night& n, std::uint32_t seed = 5) {
  GuideSeries series;
  std::mt19937 random(seed);
  std::normal_distribution<double> noise(0.0, n.noise_px);
  double t = 0.0;
  for (int e = 0; e < n.exposures; ++e) {
    ExposureSpan span;
    span.kind = 'A';
    span.number = e + 1;
    span.begin_s = t;
    span.first_sample = series.samples.size();
    const int frames = static_cast<int>(n.exposure_s / n.frame_s);
    for (int i = 0; i < frames; ++i, t += n.frame_s) {
      GuideSample s;
      s.t = Tenths(t);
      if (n.lost_every > 0 && i % n.lost_every == n.lost_every - 1) {
        s.lost = true;
      } else {
        const double x = e * n.offset_step_px +
                         n.amplitude_px * std::sin(2.0 * kPi * s.t / n.period_s) + noise(random);
        // Whole 1/256 pixels, as the log holds them.
        s.ra_px = static_cast<float>(std::round(x * 256.0) / 256.0);
        s.dec_px = static_cast<float>(std::round(noise(random) * 256.0) / 256.0);
      }
      series.samples.push_back(s);
    }
    span.end_sample = series.samples.size();
    span.end_s = Tenths(t);
    series.exposures.push_back(span);
    t += n.pause_s;
  }
  series.end_s = Tenths(t);
  return series;
}

SummaryOptions Telescope(std::optional<double> worm = 480.0) {
  SummaryOptions o;
  o.focal_length_mm = 1000.0;
  o.worm_period_s = worm;
  return o;
}

TEST(GuidedRaPeriodogram, AnInjectedPeriodIsTheStrongestPeakOfTheNightAndOfEachExposure) {
  struct Case {
    const char* what;
    Night night;
    double night_period_tolerance;  // relative
  };
  Night fast;
  fast.frame_s = 0.5;
  fast.period_s = 61.0;
  fast.amplitude_px = 0.3;
  fast.lost_every = 13;
  Night slow;
  slow.frame_s = 5.0;
  slow.period_s = 211.0;
  slow.exposures = 6;
  slow.offset_step_px = -7.5;
  Night long_period;
  long_period.period_s = 300.0;
  long_period.exposure_s = 1200.0;
  long_period.exposures = 3;
  for (const Case& c :
       {Case{"2 s frames, offsets between exposures", Night{}, 0.003},
        Case{"0.5 s frames in bins, lost stars", fast, 0.003}, Case{"5 s frames", slow, 0.003},
        Case{"a period of a quarter exposure", long_period, 0.003}}) {
    SCOPED_TRACE(c.what);
    const GuideSeries series = MakeNight(c.night);
    const GuidedRaSummary s = SummarizeGuidedRa(series, Telescope(std::nullopt));
    const Periodogram& night = s.night.periodogram;
    ASSERT_FALSE(night.peaks.empty());
    EXPECT_NEAR(night.peaks[0].period_s, c.night.period_s,
                c.night_period_tolerance * c.night.period_s);
    // Binning, noise and the means taken off cost a few per cent at most.
    EXPECT_NEAR(night.peaks[0].amplitude_px, c.night.amplitude_px, 0.06 * c.night.amplitude_px);
    ASSERT_TRUE(night.peaks[0].amplitude_arcsec);
    EXPECT_NEAR(*night.peaks[0].amplitude_arcsec, night.peaks[0].amplitude_px * kArcsecPerPx1000,
                1e-12);
    EXPECT_GT(night.peaks[0].power, 0.5);
    EXPECT_EQ(night.peaks[0].harmonic, 0);
    EXPECT_TRUE(night.worm_harmonics.empty());
    // The grid reaches from a whole exposure down to the shortest period.
    ASSERT_GT(night.power.size(), 10u);
    const double exposure_span = c.night.exposure_s - c.night.frame_s;
    EXPECT_GE(night.first_hz, 1.0 / exposure_span - 1e-12);
    EXPECT_LT(night.first_hz - night.step_hz, 1.0 / exposure_span);
    EXPECT_GE(1.0 / (night.first_hz + (night.power.size() - 1) * night.step_hz), 20.0);
    EXPECT_LE(night.step_hz, 1.0 / (2.0 * s.night.span_s));

    ASSERT_EQ(s.exposures.size(), series.exposures.size());
    for (const GuidedRaPeriodogram& e : s.exposures) {
      ASSERT_FALSE(e.periodogram.peaks.empty());
      // A single exposure resolves the period to about 1 / its span.
      EXPECT_NEAR(e.periodogram.peaks[0].period_s, c.night.period_s,
                  0.5 * c.night.period_s * c.night.period_s / e.span_s);
    }
  }
}

TEST(GuidedRaPeriodogram, TheWormAndItsHarmonicsAreMarked) {
  Night n;
  n.period_s = 240.0;  // half the worm period
  const GuidedRaSummary s = SummarizeGuidedRa(MakeNight(n), Telescope(480.0));
  const Periodogram& g = s.night.periodogram;
  ASSERT_FALSE(g.peaks.empty());
  EXPECT_EQ(g.peaks[0].harmonic, 2);
  // P/1 (480 s) lies within the band of 600 s exposures, and P/2 .. P/8
  // (60 s) above its 20 s floor.
  ASSERT_EQ(g.worm_harmonics.size(), 8u);
  for (std::size_t k = 0; k < g.worm_harmonics.size(); ++k) {
    EXPECT_EQ(g.worm_harmonics[k].harmonic, static_cast<int>(k + 1));
    EXPECT_DOUBLE_EQ(g.worm_harmonics[k].period_s, 480.0 / (k + 1));
  }
  EXPECT_NEAR(g.worm_harmonics[1].amplitude_px, n.amplitude_px, 0.06 * n.amplitude_px);
  EXPECT_LT(g.worm_harmonics[0].power, 0.05);
}

TEST(GuidedRaPeriodogram, ExcludedSamplesAndShortExposuresAreLeftOut) {
  const GuideSeries series = MakeNight(Night{});
  const ExposureSpan& second = series.exposures[1];
  const ExposureSpan& third = series.exposures[2];
  SummaryOptions options = Telescope();
  // The whole second exposure, and all but the first sample of the third
  // (a range given backwards).
  options.excluded = {{second.begin_s, second.end_s}, {third.end_s, third.begin_s + 1.0}};
  const GuidedRaSummary all = SummarizeGuidedRa(series, Telescope());
  const GuidedRaSummary s = SummarizeGuidedRa(series, options);
  EXPECT_EQ(s.exposures[1].samples, 0);
  EXPECT_TRUE(s.exposures[1].periodogram.power.empty());
  EXPECT_TRUE(s.exposures[2].periodogram.peaks.empty());
  EXPECT_EQ(s.exposures[0].samples, all.exposures[0].samples);
  EXPECT_EQ(s.night.samples, all.exposures[0].samples + all.exposures[3].samples);
  ASSERT_FALSE(s.night.periodogram.peaks.empty());
  EXPECT_NEAR(s.night.periodogram.peaks[0].period_s, 137.0, 1.0);
}

TEST(GuidedRaPeriodogram, AClockJumpOfDaysWidensTheBinsNotTheWork) {
  Night n;
  n.exposures = 2;
  GuideSeries series = MakeNight(n);
  // The second exposure ten days later.
  for (std::size_t i = series.exposures[1].first_sample; i < series.samples.size(); ++i)
    series.samples[i].t += 864000.0;
  series.exposures[1].begin_s += 864000.0;
  series.exposures[1].end_s += 864000.0;
  const auto start = std::chrono::steady_clock::now();
  const GuidedRaSummary s = SummarizeGuidedRa(series, Telescope());
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_GE(s.night.bin_s, s.night.span_s / 65535.0);
  EXPECT_LE(s.night.periodogram.power.size(), 131072u / 10u);
  EXPECT_LT(seconds, 2.0);
  // Each exposure alone still finds its period.
  EXPECT_NEAR(s.exposures[1].periodogram.peaks.at(0).period_s, 137.0, 15.0);
}

TEST(GuidedRaPeriodogram, WithoutEnoughSamplesThereIsNoGrid) {
  struct Case {
    const char* what;
    Night night;
    std::optional<double> focal;
  };
  Night two_frames;
  two_frames.exposures = 1;
  two_frames.exposure_s = 4.0;
  Night short_exposures;
  short_exposures.exposure_s = 16.0;  // shorter than the 20 s floor
  for (const Case& c : {Case{"two frames", two_frames, 1000.0},
                        Case{"exposures shorter than the shortest period", short_exposures, {}}}) {
    SCOPED_TRACE(c.what);
    SummaryOptions o;
    o.focal_length_mm = c.focal;
    const GuidedRaSummary s = SummarizeGuidedRa(MakeNight(c.night), o);
    EXPECT_EQ(s.night.bin_s, 0.0);
    EXPECT_TRUE(s.night.periodogram.power.empty());
    EXPECT_TRUE(s.night.periodogram.peaks.empty());
  }
}

}  // namespace
}  // namespace ktal
