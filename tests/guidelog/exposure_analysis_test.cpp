// SPDX-License-Identifier: GPL-3.0-or-later
#include "guidelog/exposure_analysis.h"

#include <gtest/gtest.h>

#include "report_test_support.h"

namespace ktal {
namespace {

using namespace report_test;

TEST(ExposureSearch, AePhasesAreTimedFromTheirChanges) {
  GuideLog log;
  SetEntities(log, {
                       MakeAe(10.0, kAeWait),      // 0
                       MakeAe(12.5, kAeMl),        // 1
                       MakeAe(13.0, kAeExp),       // 2
                       MakeStar(15.0, 0.1, 0.2),   // 3
                       MakeStar(17.0, -0.1, 0.0),  // 4
                       MakeAe(73.0, kAeIdle),      // 5
                   });
  ASSERT_EQ(NextGuidedExposure(log), 0);
  const ExposureFields& f = log.exposure;
  EXPECT_EQ(f.ae_flag, 1);
  EXPECT_NEAR(f.wait, 2.5, 1e-9);
  EXPECT_NEAR(f.ml, 0.5, 1e-9);
  EXPECT_NEAR(f.exp, 60.0, 1e-9);
  EXPECT_EQ(f.start, 0u);
  EXPECT_EQ(f.end, 5u);
  EXPECT_EQ(log.positions.size(), 2u);
  EXPECT_EQ(log.scan_cursor, 5u);
  EXPECT_EQ(NextGuidedExposure(log), 1);
  EXPECT_EQ(log.scan_cursor, log.sentinel());
}

TEST(ExposureSearch, TheWaitChangeThatEndsOneExposureStartsTheNext) {
  GuideLog log;
  SetEntities(log, {
                       MakeAe(0.0, kAeWait),      // 0
                       MakeAe(2.0, kAeExp),       // 1
                       MakeStar(4.0, 0.0, 0.0),   // 2
                       MakeAe(30.0, kAeWait),     // 3
                       MakeAe(33.0, kAeMl),       // 4
                       MakeAe(34.0, kAeExp),      // 5
                       MakeStar(36.0, 0.0, 0.0),  // 6
                       MakeStar(38.0, 0.0, 0.0),  // 7
                       MakeAe(94.0, kAeIdle),     // 8
                   });
  ASSERT_EQ(NextGuidedExposure(log), 0);
  EXPECT_EQ(log.exposure.ae_flag, 1);
  EXPECT_EQ(log.exposure.start, 0u);
  EXPECT_EQ(log.exposure.end, 3u);
  EXPECT_NEAR(log.exposure.wait, 2.0, 1e-9);
  EXPECT_EQ(log.exposure.ml, -1.0);
  EXPECT_NEAR(log.exposure.exp, 28.0, 1e-9);
  EXPECT_EQ(log.positions.size(), 1u);

  ASSERT_EQ(NextGuidedExposure(log), 0);
  EXPECT_EQ(log.exposure.ae_flag, 1);
  EXPECT_EQ(log.exposure.start, 3u);
  EXPECT_EQ(log.exposure.end, 8u);
  EXPECT_NEAR(log.exposure.wait, 3.0, 1e-9);
  EXPECT_NEAR(log.exposure.ml, 1.0, 1e-9);
  EXPECT_NEAR(log.exposure.exp, 60.0, 1e-9);
  EXPECT_EQ(log.positions.size(), 2u);

  EXPECT_EQ(NextGuidedExposure(log), 1);
}

TEST(ExposureSearch, AnExternalExposureEndsOnlyAtAnAeChangeVariableOrMarker) {
  struct Case {
    std::uint32_t type;
    bool ends;
  };
  for (const Case c :
       {Case{ENTITY_AE_CHANGE, true}, Case{ENTITY_VARIABLE, true}, Case{ENTITY_MARKER, true},
        Case{ENTITY_CLOCK, false}, Case{ENTITY_DEBUG, false}, Case{ENTITY_UNNAMED_BF, false}}) {
    SCOPED_TRACE(c.type);
    GuideLog log;
    LogEntity other = MakeEntity(c.type, 7.0);
    if (c.type == ENTITY_AE_CHANGE) other.ae.ae_state = kAeIdle;
    SetEntities(log, {
                         MakeEntity(ENTITY_CLOCK, 1.0),   // 0: passed over, starts nothing
                         MakeStar(5.0, 0.1, 0.1),         // 1
                         MakeEntity(ENTITY_DEBUG, 5.5),   // 2
                         MakeStar(6.0, 0.1, 0.1),         // 3
                         other,                           // 4
                         MakeStar(8.0, 0.1, 0.1),         // 5
                         MakeEntity(ENTITY_MARKER, 9.5),  // 6
                     });
    ASSERT_EQ(NextGuidedExposure(log), 0);
    EXPECT_EQ(log.exposure.ae_flag, 0);
    EXPECT_EQ(log.exposure.start, 1u);
    if (c.ends) {
      EXPECT_EQ(log.exposure.end, 4u);
      EXPECT_NEAR(log.exposure.exp, 2.0, 1e-9);
      EXPECT_EQ(log.positions.size(), 2u);
      // The rest is a second external exposure.
      ASSERT_EQ(NextGuidedExposure(log), 0);
      EXPECT_EQ(log.exposure.start, 5u);
      EXPECT_EQ(log.exposure.end, 6u);
      EXPECT_EQ(log.positions.size(), 1u);
    } else {
      EXPECT_EQ(log.exposure.end, 6u);
      EXPECT_NEAR(log.exposure.exp, 4.5, 1e-9);
      EXPECT_EQ(log.positions.size(), 3u);
    }
    EXPECT_EQ(log.exposure.wait, -1.0);
    EXPECT_EQ(log.exposure.ml, -1.0);
    EXPECT_EQ(NextGuidedExposure(log), 1);
  }
}

TEST(ExposureSearch, AStarDuringWaitOrMlMakesTheExposureExternal) {
  GuideLog log;
  SetEntities(log, {
                       MakeAe(0.0, kAeWait),     // 0
                       MakeAe(2.0, kAeMl),       // 1
                       MakeStar(3.0, 0.0, 0.0),  // 2
                       MakeAe(4.0, kAeExp),      // 3: ends the external exposure
                       MakeStar(5.0, 0.0, 0.0),  // 4
                       MakeAe(9.0, kAeIdle),     // 5
                   });
  ASSERT_EQ(NextGuidedExposure(log), 0);
  EXPECT_EQ(log.exposure.ae_flag, 0);
  EXPECT_EQ(log.exposure.start, 2u);
  EXPECT_EQ(log.exposure.end, 3u);
  EXPECT_NEAR(log.exposure.wait, 2.0, 1e-9);  // measured before the star came
  EXPECT_NEAR(log.exposure.exp, 1.0, 1e-9);
  // The EXP change that ended it opens an AE exposure without WAIT.
  ASSERT_EQ(NextGuidedExposure(log), 0);
  EXPECT_EQ(log.exposure.ae_flag, 1);
  EXPECT_EQ(log.exposure.start, 3u);
  EXPECT_EQ(log.exposure.end, 5u);
  EXPECT_NEAR(log.exposure.exp, 5.0, 1e-9);
}

TEST(ExposureSearch, AnExposureStillRunningAtTheEndHasNoEndAndNoExp) {
  GuideLog log;
  SetEntities(log, {
                       MakeAe(0.0, kAeWait),
                       MakeAe(1.0, kAeExp),
                       MakeStar(2.0, 0.0, 0.0),
                       MakeEntity(ENTITY_CLOCK, 3.0),
                       MakeStar(4.0, 0.0, 0.0),
                   });
  ASSERT_EQ(NextGuidedExposure(log), 0);
  EXPECT_EQ(log.exposure.ae_flag, 1);
  EXPECT_EQ(log.exposure.end, log.sentinel());
  EXPECT_EQ(log.exposure.exp, -1.0);
  EXPECT_EQ(log.positions.size(), 2u);
  EXPECT_EQ(log.scan_cursor, log.sentinel());
  EXPECT_EQ(NextGuidedExposure(log), 1);
}

TEST(ExposureSearch, ExposuresWithoutStarsAreFoundButEmpty) {
  GuideLog log;
  SetEntities(log, {
                       MakeAe(0.0, kAeWait),   // 0
                       MakeAe(1.0, kAeExp),    // 1
                       MakeAe(5.0, kAeIdle),   // 2
                       MakeAe(6.0, kAeExp),    // 3: straight from IDLE
                       MakeAe(9.0, kAeIdle),   // 4
                       MakeAe(10.0, kAeWait),  // 5: a WAIT the log ends in
                   });
  ASSERT_EQ(NextGuidedExposure(log), 0);
  EXPECT_TRUE(log.positions.empty());
  EXPECT_EQ(log.exposure.start, 0u);
  EXPECT_EQ(log.exposure.end, 2u);
  EXPECT_NEAR(log.exposure.exp, 4.0, 1e-9);
  // Entered from IDLE: the EXP change is its start, and the search goes
  // on instead of ending the report here.
  ASSERT_EQ(NextGuidedExposure(log), 0);
  EXPECT_TRUE(log.positions.empty());
  EXPECT_EQ(log.exposure.start, 3u);
  EXPECT_EQ(log.exposure.end, 4u);
  EXPECT_NEAR(log.exposure.exp, 3.0, 1e-9);
  EXPECT_EQ(log.exposure.wait, -1.0);
  // The last WAIT starts an exposure that never gets anywhere.
  ASSERT_EQ(NextGuidedExposure(log), 0);
  EXPECT_EQ(log.exposure.start, 5u);
  EXPECT_EQ(log.exposure.end, log.sentinel());
  EXPECT_EQ(NextGuidedExposure(log), 1);
}

TEST(ExposureSearch, AnEmptyLogHasNoExposure) {
  GuideLog log;
  SetEntities(log, {});
  EXPECT_EQ(NextGuidedExposure(log), 1);
  SetEntities(
      log, {MakeEntity(ENTITY_VARIABLE, 1.0), MakeEntity(ENTITY_DEBUG, 2.0), MakeAe(3.0, kAeIdle)});
  EXPECT_EQ(NextGuidedExposure(log), 1);
}

// An external exposure of the given stars, closed by a marker.
void AnalyseStars(GuideLog& log, std::vector<LogEntity> stars) {
  const double last = stars.empty() ? 0.0 : (stars.back().clock_tenths - TenthsAt(0.0)) / 10.0;
  stars.push_back(MakeEntity(ENTITY_MARKER, last + 1.0));
  SetEntities(log, std::move(stars));
  ASSERT_EQ(NextGuidedExposure(log), 0);
}

TEST(ExposureStatistics, TheTypicalIntervalLeavesOutTheLongestFivePercent) {
  GuideLog log;
  std::vector<LogEntity> stars;
  double t = 0.0;
  for (int i = 0; i < 21; ++i) {
    stars.push_back(MakeStar(t, 0.0, 0.0));
    t += i == 9 ? 30.0 : 0.5;
  }
  AnalyseStars(log, stars);
  const ExposureFields& f = log.exposure;
  EXPECT_FLOAT_EQ(f.frame_interval, 0.5f);
  EXPECT_NEAR(f.span_seconds, 39.5, 1e-9);
  EXPECT_EQ(f.plot_span, 160);  // 2 * (39.5 + 0.5) / 0.5

  // With 20 positions k = trunc(19 * 0.05) = 0: every interval counts.
  stars.pop_back();
  AnalyseStars(log, stars);
  EXPECT_NEAR(log.exposure.frame_interval, (18 * 0.5 + 30.0) / 19, 1e-5);

  // Pauses far longer than the rhythm, and a clock set back, sort the same.
  for (const auto& [pause, typical] : {std::pair{1000.0, 0.5f}, std::pair{-1000.0, 1.0f}}) {
    stars.clear();
    t = 2000.0;
    for (int i = 0; i < 21; ++i) {
      stars.push_back(MakeStar(t, 0.0, 0.0));
      t += i == 9 ? pause : 0.5;
    }
    AnalyseStars(log, stars);
    EXPECT_FLOAT_EQ(log.exposure.frame_interval, typical) << pause;
  }
}

TEST(ExposureStatistics, ACorrectionCountsUntilTheNextCorrectionAtMost) {
  GuideLog log;
  AnalyseStars(log, {
                        MakeStar(0.0, 0.0, 0.0, Corr(64), Corr(-64)),  // first: adds nothing
                        MakeStar(2.0, 0.0, 0.0, Corr(64), Corr(-64)),  // next RA/DEC 0.8 s later
                        MakeStar(2.8, 0.0, 0.0, Corr(16), Corr(0)),    // 0.5 s, next RA 5 s later
                        MakeStar(7.8, 0.0, 0.0, Corr(0), kNone),       // flag without a value
                        MakeStar(8.0, 0.0, 0.0, Corr(64), kNone),      // last: nothing limits it
                    });
  const ExposureFields& f = log.exposure;
  ASSERT_EQ(f.cumulative_ra.size(), 5u);
  ASSERT_EQ(f.cumulative_dec.size(), 5u);
  EXPECT_FLOAT_EQ(f.cumulative_ra[0], 0.0f);
  EXPECT_NEAR(f.cumulative_ra[1], 0.8f, 1e-5);
  EXPECT_NEAR(f.cumulative_ra[2], 1.3f, 1e-5);
  EXPECT_NEAR(f.cumulative_ra[3], 1.3f, 1e-5);
  EXPECT_NEAR(f.cumulative_ra[4], 3.3f, 1e-5);
  EXPECT_NEAR(f.ra_scale, 3.3, 1e-5);
  // A negative correction is never cut short by a positive time.
  EXPECT_FLOAT_EQ(f.cumulative_dec[0], 0.0f);
  EXPECT_FLOAT_EQ(f.cumulative_dec[1], -2.0f);
  EXPECT_FLOAT_EQ(f.cumulative_dec[4], -2.0f);
  EXPECT_NEAR(f.dec_scale, 2.0, 1e-6);
  // Counts include the first position and skip corrections of 0.
  EXPECT_EQ(f.ra_count, 4);
  EXPECT_EQ(f.dec_count, 2);
}

TEST(ExposureStatistics, FramesWithoutACorrectionDoNotCutOneShort) {
  GuideLog log;
  AnalyseStars(log,
               {
                   MakeStar(0.0, 0.0, 0.0),
                   MakeStar(2.0, 0.0, 0.0, Corr(64), kNone),  // 2 s, next RA correction 1.5 s later
                   MakeStar(2.4, 0.0, 0.0),                   // no RA correction sent
                   MakeStar(3.5, 0.0, 0.0, Corr(8), kNone),
               });
  EXPECT_NEAR(log.exposure.cumulative_ra[1], 1.5f, 1e-6);
  EXPECT_NEAR(log.exposure.cumulative_ra[2], 1.5f, 1e-6);
  EXPECT_NEAR(log.exposure.cumulative_ra[3], 1.75f, 1e-6);
}

TEST(ExposureStatistics, ALostStarLimitsTheCorrectionBeforeIt) {
  GuideLog log;
  AnalyseStars(log, {
                        MakeStar(0.0, 0.0, 0.0),
                        MakeStar(1.0, 0.0, 0.0, Corr(96), kNone),  // 3 s, but a lost star follows
                        MakeLostStar(1.5),
                        MakeStar(3.5, 0.0, 0.0),
                    });
  EXPECT_NEAR(log.exposure.cumulative_ra[1], 0.5f, 1e-6);
  EXPECT_NEAR(log.exposure.cumulative_ra[3], 0.5f, 1e-6);
  EXPECT_NEAR(log.exposure.ra_scale, 0.5, 1e-6);
  EXPECT_EQ(log.exposure.ra_count, 1);
  EXPECT_DOUBLE_EQ(log.exposure.dec_scale, 0.001);
}

TEST(ExposureStatistics, MeansAndPopulationDeviationsLeaveLostStarsOut) {
  GuideLog log;
  AnalyseStars(log, {
                        MakeStar(0.0, 1.0, -2.0),
                        MakeLostStar(1.0),
                        MakeStar(2.0, 3.0, 2.0),
                        MakeLostStar(3.0),
                    });
  const ExposureFields& f = log.exposure;
  EXPECT_EQ(log.positions.size(), 4u);
  EXPECT_EQ(f.valid_count, 2);
  EXPECT_DOUBLE_EQ(f.mean_ra, 2.0);
  EXPECT_DOUBLE_EQ(f.mean_dec, 0.0);
  EXPECT_DOUBLE_EQ(f.std_ra, 1.0);
  EXPECT_DOUBLE_EQ(f.std_dec, 2.0);
  EXPECT_FLOAT_EQ(f.frame_interval, 1.0f);
  EXPECT_EQ(f.plot_span, 8);
}

TEST(ExposureStatistics, OnlyLostStarsGiveOneValidCountAndZeroSpread) {
  GuideLog log;
  AnalyseStars(log, {MakeLostStar(0.0), MakeLostStar(2.0), MakeLostStar(4.0)});
  const ExposureFields& f = log.exposure;
  EXPECT_EQ(f.valid_count, 1);
  EXPECT_EQ(f.mean_ra, 0.0);
  EXPECT_EQ(f.mean_dec, 0.0);
  EXPECT_EQ(f.std_ra, 0.0);
  EXPECT_EQ(f.std_dec, 0.0);
  EXPECT_EQ(f.ra_count, 0);
  EXPECT_EQ(f.dec_count, 0);
  EXPECT_DOUBLE_EQ(f.ra_scale, 0.001);
  EXPECT_FLOAT_EQ(f.frame_interval, 2.0f);
}

TEST(ExposureStatistics, ASingleMeasurementHasIntervalOneAndSpanTwo) {
  GuideLog log;
  AnalyseStars(log, {MakeStar(5.0, 0.5, 0.25, Corr(10), Corr(-3))});
  const ExposureFields& f = log.exposure;
  EXPECT_FLOAT_EQ(f.frame_interval, 1.0f);
  EXPECT_EQ(f.span_seconds, 0.0);
  EXPECT_EQ(f.plot_span, 2);
  EXPECT_EQ(f.valid_count, 1);
  EXPECT_DOUBLE_EQ(f.mean_ra, 0.5);
  EXPECT_EQ(f.std_ra, 0.0);
  EXPECT_EQ(f.ra_count, 1);
  EXPECT_EQ(f.dec_count, 1);
  EXPECT_FLOAT_EQ(f.cumulative_ra[0], 0.0f);
}

TEST(ExposureStatistics, OddClocksKeepTheIntervalPositiveAndThePlotsBounded) {
  GuideLog log;
  // Every frame in the same tenth of a second.
  AnalyseStars(log, {MakeStar(1.0, 0, 0), MakeStar(1.0, 0, 0), MakeStar(1.0, 0, 0)});
  EXPECT_FLOAT_EQ(log.exposure.frame_interval, 1.0f);
  EXPECT_EQ(log.exposure.plot_span, 2);

  // A clock that runs backwards.
  AnalyseStars(log, {MakeStar(100.0, 0, 0), MakeStar(50.0, 0, 0), MakeStar(0.0, 0, 0)});
  EXPECT_GT(log.exposure.frame_interval, 0.0f);
  EXPECT_EQ(log.exposure.plot_span, 2);

  // Many frames a tenth apart and then a jump of most of a day.
  std::vector<LogEntity> stars;
  for (int i = 0; i < 200; ++i) stars.push_back(MakeStar(i * 0.1, 0, 0));
  stars.push_back(MakeStar(10000.0, 0, 0));
  AnalyseStars(log, stars);
  EXPECT_EQ(log.exposure.plot_span, kMaxPlotSpan);
}

}  // namespace
}  // namespace ktal
