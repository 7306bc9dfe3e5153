#include "guidelog/exposure_plots.h"

#include <algorithm>
#include <array>
#include <cmath>

#include "guidelog/plot_image.h"

namespace ktal {
namespace {

// Geometry of the drift and error images.
constexpr int kPlotHeight = 126;
constexpr int kLeftColumn = 16;  // panels start here, the axis lies on it
constexpr int kTimeOrigin = 17;  // column of the first frame
constexpr int kRaTop = 8, kRaZero = 33, kRaBottom = 58;
constexpr int kDecTop = 68, kDecZero = 93, kDecBottom = 118;
constexpr int kBarLimit = 25;  // half a panel
constexpr int kSpreadSize = 128;
constexpr int kSpreadCentre = 64;

// Truncation towards zero that saturates instead of overflowing, so that a
// hostile value only ever yields a coordinate far outside the image.
int TruncSaturated(double value) {
  constexpr double kLimit = 1.0e9;
  if (std::isnan(value)) return 0;
  return static_cast<int>(std::clamp(value, -kLimit, kLimit));
}

int TruncClamped(double value, int limit) {
  return std::clamp(TruncSaturated(value), -limit, limit);
}

// Spread of one standard deviation that is safe to divide by: when every
// valid position has the same x, the scale of 0.001 pixel that also sizes the
// checkerboard stands in, so bars saturate and the dots sit where they fall.
double SafeStd(double std_ra) { return std_ra > 0.0 ? std_ra : 0.001; }

void DrawAxes(PlotImage& image, int span) {
  HLine(image, 15, kRaZero, span + 17, kPlotAxis);
  VLine(image, kLeftColumn, kRaTop, kRaBottom, kPlotAxis);
  HLine(image, 15, kDecZero, span + 17, kPlotAxis);
  VLine(image, kLeftColumn, kDecTop, kDecBottom, kPlotAxis);
}

void DrawCheckerboard(PlotImage& image, double std_ra) {
  const double s = 1.0 / (std::max(std_ra, 0.001) * 0.09375);
  // Squares under half an image pixel cannot be shown, and drawing them
  // would take millions of passes for a star that wanders far.
  if (s < 0.5 || image.width != kSpreadSize || image.height != kSpreadSize) return;
  // The board is the XOR of full-height strips and full-width strips at
  // the same places: a pixel is the parity of the strips over its column
  // XOR that over its row, so it is found once rather than strip by strip.
  std::array<std::uint8_t, kSpreadSize> strips{};
  const auto flip = [&](int from, int to) {
    const int first = std::max(std::min(from, to), 0);
    const int last = std::min(std::max(from, to), kSpreadSize - 1);
    for (int i = first; i <= last; ++i) strips[static_cast<std::size_t>(i)] ^= kPlotChecker;
  };
  for (double u = 0.0; TruncSaturated(u + 0.5) <= kSpreadCentre; u += 2.0 * s) {
    flip(TruncSaturated(64.0 - u - s + 0.5), TruncSaturated(64.0 - u - 0.5));
    flip(TruncSaturated(u + s + 64.5), TruncSaturated(2.0 * s + 64.0 + u - 0.5));
  }
  for (int y = 0; y < kSpreadSize; ++y) {
    std::uint8_t* pixel = image.row(y);
    for (const std::uint8_t column : strips)
      *pixel++ = strips[static_cast<std::size_t>(y)] ^ column;
  }
}

}  // namespace

void RenderExposurePlots(GuideLog& log) {
  const ExposureFields& f = log.exposure;
  const std::vector<LogEntity>& p = log.positions;
  const int span = f.plot_span;
  const std::size_t n = p.size();

  // The RA and DEC panels are laid in as the images are cleared.
  for (PlotImage* image : {&log.drift_image, &log.error_image})
    ResetPlotImage(*image, span + 32, kPlotHeight,
                   {PlotFill{kLeftColumn, kRaTop, span + 17, kRaBottom, kPlotPanel},
                    PlotFill{kLeftColumn, kDecTop, span + 17, kDecBottom, kPlotPanel}});
  ResetPlotImage(log.spread_image, kSpreadSize, kSpreadSize);
  DrawCheckerboard(log.spread_image, f.std_ra);

  const double e = f.frame_interval > 0.0f ? f.frame_interval : 1.0;
  const double std_ra = SafeStd(f.std_ra);
  for (std::size_t i = 0; i < n; ++i) {
    const double t = SecondsBetween(p[i], p[0]);
    const int x0 = TruncSaturated(2.0 * t / e + 0.5);
    const double t_next = i + 1 < n ? SecondsBetween(p[i + 1], p[0]) : t + e;
    const int x1 = TruncSaturated(2.0 * t_next / e + 0.5);
    const int c0 = (x1 > x0 ? x0 : x1) + kTimeOrigin;
    const int c1 = (x1 > x0 ? x1 - 1 : x0) + kTimeOrigin;

    const StarPayload& star = p[i].star;
    if (star.no_star) {
      FillRect(log.drift_image, c0, kRaTop, c1, kRaBottom, kPlotLostStar, 0);
      FillRect(log.drift_image, c0, kDecTop, c1, kDecBottom, kPlotLostStar, 0);
    } else {
      const double xp = star.x / 256.0;
      const double yp = star.y / 256.0;
      const int hx = TruncClamped(xp * 5.0 / std_ra + 0.5, kBarLimit);
      FillRect(log.drift_image, c0, kRaZero, c1, kRaZero + hx, kPlotBar, 0);
      const int hy = TruncClamped(5.0 / std_ra * yp + 0.5, kBarLimit);
      FillRect(log.drift_image, c0, kDecZero, c1, kDecZero + hy, kPlotBar, 0);

      const double column = 128.0 * xp / std_ra / 12.0 + 64.5;
      const double row = 128.0 * yp / std_ra / 12.0 + 64.5;
      // trunc maps (-1, 0) to 0, so those still land on the first pixel.
      if (column > -1.0 && column < 128.0 && row > -1.0 && row < 128.0) {
        const int cx = static_cast<int>(column);
        const int cy = static_cast<int>(row);
        FillRect(log.spread_image, cx, cy, cx, cy, kPlotDot, 0);
      }
    }

    if (i < f.cumulative_ra.size() && i < f.cumulative_dec.size()) {
      const int gx = TruncClamped(f.cumulative_ra[i] / f.ra_scale * 50.0 * 0.5 + 0.5, kBarLimit);
      FillRect(log.error_image, c0, kRaZero, c1, kRaZero + gx, kPlotBar, 0);
      const int gy = TruncClamped(f.cumulative_dec[i] / f.dec_scale * 50.0 * 0.5 + 0.5, kBarLimit);
      FillRect(log.error_image, c0, kDecZero, c1, kDecZero + gy, kPlotBar, 0);
    }
  }

  DrawAxes(log.drift_image, span);

  // One standard deviation as a legend bar right of each panel, both in
  // the RA scale the bars use.
  PlotImage& drift = log.drift_image;
  HLine(drift, span + 22, 28, span + 26, kPlotLegend);
  HLine(drift, span + 22, 38, span + 26, kPlotLegend);
  VLine(drift, span + 24, 28, 38, kPlotLegend);
  const double r = f.std_dec / std_ra * 5.0;
  const int top = TruncSaturated(93.0 - r + 0.5);
  const int bottom = TruncSaturated(r + 93.0 + 0.5);
  HLine(drift, span + 22, top, span + 26, kPlotLegend);
  HLine(drift, span + 22, bottom, span + 26, kPlotLegend);
  VLine(drift, span + 24, top, bottom, kPlotLegend);

  DrawAxes(log.error_image, span);
}

}  // namespace ktal
