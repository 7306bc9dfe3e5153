// SPDX-License-Identifier: GPL-3.0-or-later
#include "guidelog/exposure_plots.h"

#include <gtest/gtest.h>

#include <climits>

#include "guidelog/exposure_analysis.h"
#include "report_test_support.h"

namespace ktal {
namespace {

using namespace report_test;

int Pixel(const PlotImage& image, int x, int y) {
  EXPECT_TRUE(x >= 0 && x < image.width && y >= 0 && y < image.height) << x << ", " << y;
  return image.at(x, y);
}

// Analyses the stars as one external exposure and draws its plots.
void Render(GuideLog& log, std::vector<LogEntity> stars) {
  const double last = (stars.back().clock_tenths - TenthsAt(0.0)) / 10.0;
  stars.push_back(MakeEntity(ENTITY_MARKER, last + 1.0));
  SetEntities(log, std::move(stars));
  ASSERT_EQ(NextGuidedExposure(log), 0);
  RenderExposurePlots(log);
}

// Rows of one column from `top` to `bottom` (inclusive) that are not `colour`.
std::vector<int> RowsNotOf(const PlotImage& image, int column, int top, int bottom, int colour) {
  std::vector<int> rows;
  for (int y = top; y <= bottom; ++y)
    if (Pixel(image, column, y) != colour) rows.push_back(y);
  return rows;
}

class DriftPlot : public ::testing::Test {
 protected:
  // x = +1, -1, lost, +1, -1 pixels two seconds apart: mean 0, std RA 1,
  // two plot columns per frame. One RA correction of 1 s on the second.
  void SetUp() override {
    Render(log, {
                    MakeStar(0.0, 1.0, 0.0),
                    MakeStar(2.0, -1.0, 0.0, Corr(32), kNone),
                    MakeLostStar(4.0),
                    MakeStar(6.0, 1.0, 0.0),
                    MakeStar(8.0, -1.0, 0.0),
                });
    ASSERT_DOUBLE_EQ(log.exposure.std_ra, 1.0);
    ASSERT_EQ(log.exposure.plot_span, 10);
  }
  GuideLog log;
};

TEST_F(DriftPlot, ImagesHaveThePlotGeometry) {
  EXPECT_EQ(log.drift_image.width, 42);
  EXPECT_EQ(log.drift_image.height, 126);
  EXPECT_EQ(log.error_image.width, 42);
  EXPECT_EQ(log.error_image.height, 126);
  EXPECT_EQ(log.spread_image.width, 128);
  EXPECT_EQ(log.spread_image.height, 128);
  // Panels from column 16 to I + 17, rows 8..58 and 68..118.
  EXPECT_EQ(Pixel(log.drift_image, 27, 8), kPlotPanel);
  EXPECT_EQ(Pixel(log.drift_image, 27, 118), kPlotPanel);
  EXPECT_EQ(Pixel(log.drift_image, 28, 20), kPlotBackground);
  EXPECT_EQ(Pixel(log.drift_image, 20, 7), kPlotBackground);
  EXPECT_EQ(Pixel(log.drift_image, 20, 63), kPlotBackground);
  // Axes are drawn over the bars: zero lines from column 15, the time axis
  // on column 16.
  for (const PlotImage* image : {&log.drift_image, &log.error_image}) {
    EXPECT_TRUE(RowsNotOf(*image, 16, 8, 58, kPlotAxis).empty());
    EXPECT_TRUE(RowsNotOf(*image, 16, 68, 118, kPlotAxis).empty());
    for (int x = 15; x <= 27; ++x) {
      EXPECT_EQ(Pixel(*image, x, 33), kPlotAxis) << x;
      EXPECT_EQ(Pixel(*image, x, 93), kPlotAxis) << x;
    }
    EXPECT_EQ(Pixel(*image, 14, 33), kPlotBackground);
  }
}

TEST_F(DriftPlot, OneStdRaGivesBarsOfFiveRowsDownAndFourUp) {
  // +1 std: rows 33..38 in the columns of the first frame (17 and 18).
  for (int column : {17, 18}) {
    EXPECT_EQ(RowsNotOf(log.drift_image, column, 34, 38, kPlotBar), std::vector<int>{}) << column;
    EXPECT_EQ(Pixel(log.drift_image, column, 39), kPlotPanel);
    EXPECT_EQ(Pixel(log.drift_image, column, 32), kPlotPanel);
  }
  // -1 std: trunc(-4.5) = -4, rows 29..33.
  for (int column : {19, 20}) {
    EXPECT_EQ(RowsNotOf(log.drift_image, column, 29, 32, kPlotBar), std::vector<int>{}) << column;
    EXPECT_EQ(Pixel(log.drift_image, column, 28), kPlotPanel);
    EXPECT_EQ(Pixel(log.drift_image, column, 34), kPlotPanel);
  }
  // No DEC drift: the DEC panel has no bar rows off its zero line.
  for (int column = 17; column <= 26; ++column) {
    if (column == 21 || column == 22) continue;
    EXPECT_EQ(RowsNotOf(log.drift_image, column, 68, 92, kPlotPanel), std::vector<int>{}) << column;
  }
}

TEST_F(DriftPlot, ALostStarFillsItsColumnsInBothPanels) {
  for (int column : {21, 22}) {
    EXPECT_EQ(RowsNotOf(log.drift_image, column, 8, 58, kPlotLostStar), std::vector<int>{33})
        << column;
    EXPECT_EQ(RowsNotOf(log.drift_image, column, 68, 118, kPlotLostStar), std::vector<int>{93})
        << column;
  }
  EXPECT_NE(Pixel(log.drift_image, 23, 10), kPlotLostStar);
  EXPECT_NE(Pixel(log.drift_image, 20, 10), kPlotLostStar);
}

TEST_F(DriftPlot, TheSpreadImageHasOneDotPerValidPosition) {
  int dots = 0;
  for (std::uint8_t p : log.spread_image.pixels) dots += p == kPlotDot;
  EXPECT_EQ(dots, 2);  // +1 and -1 twice each; the lost star adds none
  EXPECT_EQ(Pixel(log.spread_image, 75, 64), kPlotDot);  // trunc(128 / 12 + 64.5)
  EXPECT_EQ(Pixel(log.spread_image, 53, 64), kPlotDot);  // trunc(-128 / 12 + 64.5)
}

TEST_F(DriftPlot, TheLegendShowsOneStdInEachPanel) {
  const int span = log.exposure.plot_span;
  for (int x = span + 22; x <= span + 26; ++x) {
    EXPECT_EQ(Pixel(log.drift_image, x, 28), kPlotLegend);
    EXPECT_EQ(Pixel(log.drift_image, x, 38), kPlotLegend);
  }
  EXPECT_TRUE(RowsNotOf(log.drift_image, span + 24, 28, 38, kPlotLegend).empty());
  EXPECT_EQ(Pixel(log.drift_image, span + 24, 27), kPlotBackground);
  // std DEC 0: a dot on the DEC zero line.
  EXPECT_EQ(Pixel(log.drift_image, span + 24, 93), kPlotLegend);
  EXPECT_EQ(Pixel(log.drift_image, span + 24, 92), kPlotBackground);
  // The error image has no legend.
  EXPECT_EQ(Pixel(log.error_image, span + 24, 33), kPlotBackground);
}

TEST_F(DriftPlot, TheLargestAccumulatedCorrectionFillsHalfAPanel) {
  EXPECT_DOUBLE_EQ(log.exposure.ra_scale, 1.0);
  // Before the correction: nothing below the zero line.
  EXPECT_EQ(Pixel(log.error_image, 17, 34), kPlotPanel);
  // From the second frame on the accumulated 1 s is the scale: 25 rows.
  for (int column = 19; column <= 26; ++column) {
    EXPECT_TRUE(RowsNotOf(log.error_image, column, 34, 58, kPlotBar).empty()) << column;
    EXPECT_EQ(Pixel(log.error_image, column, 32), kPlotPanel) << column;
  }
  EXPECT_TRUE(RowsNotOf(log.error_image, 19, 68, 92, kPlotPanel).empty());
}

TEST(SpreadPlot, CheckerboardSquaresAreOneSensorPixel) {
  GuideLog log;
  // std RA 0.5 px: one sensor pixel is S = 21.33 image pixels.
  Render(log, {MakeStar(0.0, 0.5, 0.0), MakeStar(2.0, -0.5, 0.0)});
  ASSERT_DOUBLE_EQ(log.exposure.std_ra, 0.5);
  const PlotImage& spread = log.spread_image;
  // Bands: columns and rows 43..63 and 85..106 (and mirrored further out).
  EXPECT_EQ(Pixel(spread, 70, 70), kPlotBackground);  // right of and below the centre
  EXPECT_EQ(Pixel(spread, 60, 60), kPlotBackground);
  EXPECT_EQ(Pixel(spread, 60, 70), kPlotChecker);
  EXPECT_EQ(Pixel(spread, 70, 60), kPlotChecker);
  EXPECT_EQ(Pixel(spread, 43, 70), kPlotChecker);
  EXPECT_EQ(Pixel(spread, 42, 70), kPlotBackground);
  EXPECT_EQ(Pixel(spread, 85, 70), kPlotChecker);
  EXPECT_EQ(Pixel(spread, 84, 70), kPlotBackground);
  EXPECT_EQ(Pixel(spread, 106, 50), kPlotBackground);  // both bands cross
  EXPECT_EQ(Pixel(spread, 107, 50), kPlotChecker);
  EXPECT_EQ(Pixel(spread, 20, 20), kPlotBackground);  // the next bands out
  EXPECT_EQ(Pixel(spread, 21, 20), kPlotChecker);
}

// The expected colour of the four-quadrant checkerboard of a tiny std.
int QuadrantColour(int x, int y) { return (x >= 64) != (y >= 64) ? kPlotChecker : kPlotBackground; }

TEST(SpreadPlot, ATinyStdGivesFourQuadrantsAndClampedBars) {
  GuideLog log;
  std::vector<LogEntity> stars;
  for (int i = 0; i < 39; ++i) stars.push_back(MakeStar(i * 1.0, 0.0, 0.0));
  stars.push_back(MakeStar(39.0, 1.0 / 256.0, 0.0));
  Render(log, stars);
  ASSERT_GT(log.exposure.std_ra, 0.0);
  ASSERT_LT(log.exposure.std_ra, 0.001);
  const PlotImage& spread = log.spread_image;
  for (int y = 0; y < 128; ++y) {
    for (int x = 0; x < 128; ++x) {
      if (Pixel(spread, x, y) != kPlotDot) {
        ASSERT_EQ(Pixel(spread, x, y), QuadrantColour(x, y)) << x << "," << y;
      }
    }
  }
  EXPECT_EQ(Pixel(spread, 64, 64), kPlotDot);  // the stars at x = 0
  // The last star is 6.4 std away: its bar is clamped to 25 rows.
  const int column = 17 + 2 * 39;
  EXPECT_TRUE(RowsNotOf(log.drift_image, column, 34, 58, kPlotBar).empty());
}

TEST(SpreadPlot, AZeroStdDrawsSaturatedBarsAndNoStrayDots) {
  GuideLog log;
  Render(log, {MakeStar(0.0, 0.5, -0.5), MakeStar(2.0, 0.5, -0.5)});
  ASSERT_EQ(log.exposure.std_ra, 0.0);
  EXPECT_TRUE(RowsNotOf(log.drift_image, 17, 34, 58, kPlotBar).empty());
  EXPECT_TRUE(RowsNotOf(log.drift_image, 17, 68, 92, kPlotBar).empty());
  for (std::uint8_t p : log.spread_image.pixels) EXPECT_NE(p, kPlotDot);
  for (int y = 0; y < 128; y += 9)
    for (int x = 0; x < 128; x += 9) EXPECT_EQ(Pixel(log.spread_image, x, y), QuadrantColour(x, y));

  // A star that never moves from the centre: one dot there, no bars.
  Render(log, {MakeStar(0.0, 0.0, 0.0), MakeStar(2.0, 0.0, 0.0)});
  EXPECT_EQ(Pixel(log.spread_image, 64, 64), kPlotDot);
  EXPECT_EQ(Pixel(log.drift_image, 17, 34), kPlotPanel);
}

TEST(SpreadPlot, AStarThatWandersFarLeavesTheCheckerboardOut) {
  GuideLog log;
  Render(log, {MakeStar(0.0, 100.0, 0.0), MakeStar(2.0, -100.0, 0.0)});
  for (std::uint8_t p : log.spread_image.pixels) ASSERT_NE(p, kPlotChecker);
  EXPECT_EQ(Pixel(log.spread_image, 75, 64), kPlotDot);
}

// A frame far later than the last one (a clock set back) lies past the
// right edge: its bars and lost star are cut at the image's last column
// and never reach the zero padding of the stored rows.
TEST(ExposurePlots, FramesPastTheRightEdgeLeaveTheRowPaddingZero) {
  for (const bool lost : {false, true}) {
    GuideLog log;
    Render(log, {MakeStar(0.0, 1.0, -1.0), lost ? MakeLostStar(100.0) : MakeStar(100.0, 1.0, -1.0),
                 MakeStar(0.0, -1.0, 1.0)});
    for (const PlotImage* image : {&log.drift_image, &log.error_image}) {
      ASSERT_EQ(image->width % 4, 2) << "rows padded by two bytes";
      const std::size_t stride = image->stride();
      for (int y = 0; y < image->height; ++y) {
        const std::uint8_t* row = image->row(y);
        EXPECT_EQ(row[stride - 2] | row[stride - 1], 0) << "row " << y << ", lost " << lost;
      }
    }
    // The cut frame does show in the last column.
    EXPECT_EQ(Pixel(log.drift_image, log.drift_image.width - 1, lost ? 10 : 33),
              lost ? kPlotLostStar : kPlotBar);
  }
}

TEST(ExposurePlots, HostileValuesStayInsideTheImages) {
  GuideLog log;
  LogEntity far = MakeStar(1.0, 0.0, 0.0);
  far.star.x = INT32_MAX;
  far.star.y = INT32_MIN;
  LogEntity back = MakeStar(0.0, 0.0, 0.0);
  back.clock_date = kTestDate - 1;  // a day earlier
  Render(log,
         {MakeStar(0.0, 0.0, 0.0), far, back, MakeStar(86000.0, -3.0, 3.0), MakeLostStar(86001.0)});
  EXPECT_EQ(log.drift_image.width, log.exposure.plot_span + 32);
  EXPECT_EQ(log.drift_image.pixels.size(), log.drift_image.stride() * 126);
  EXPECT_EQ(log.spread_image.pixels.size(), 128u * 128u);
}

TEST(ExposurePlots, ADayLongExposureOf300000FramesIsDrawnAtBoundedWidth) {
  GuideLog log;
  std::vector<LogEntity> stars;
  stars.reserve(300001);
  for (int i = 0; i < 300000; ++i) {
    LogEntity star = MakeStar(0.0, (i % 13) * 0.01, (i % 7) * -0.01, Corr(i % 5 - 2), Corr(1));
    star.clock_tenths = TenthsAt(0.0) + static_cast<std::uint32_t>(i) % 600000;
    star.clock_date =
        static_cast<std::uint16_t>(kTestDate + static_cast<std::uint32_t>(i) / 600000);
    stars.push_back(star);
  }
  Render(log, std::move(stars));
  EXPECT_EQ(log.positions.size(), 300000u);
  EXPECT_EQ(log.exposure.plot_span, kMaxPlotSpan);
  EXPECT_EQ(log.drift_image.width, kMaxPlotSpan + 32);
  EXPECT_EQ(log.error_image.pixels.size(), log.error_image.stride() * 126);
  // The time axis runs out before the frames do; the last columns still
  // show their bars.
  int bar_pixels = 0;
  for (int x = kMaxPlotSpan + 8; x <= kMaxPlotSpan + 17; ++x)
    for (int y = 34; y <= 58; ++y) bar_pixels += Pixel(log.drift_image, x, y) == kPlotBar;
  EXPECT_GT(bar_pixels, 0);
  EXPECT_EQ(Pixel(log.drift_image, kMaxPlotSpan + 18, 40), kPlotBackground);
}

}  // namespace
}  // namespace ktal
