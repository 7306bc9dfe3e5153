// SPDX-License-Identifier: GPL-3.0-or-later
#include "guidelog/exposure_plots.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <vector>

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
static_assert(kRaZero - kRaTop == kBarLimit && kRaBottom - kRaZero == kBarLimit &&
              kDecZero - kDecTop == kBarLimit && kDecBottom - kDecZero == kBarLimit);
constexpr int kSpreadSize = 128;
constexpr int kSpreadCentre = 64;

// Truncation towards zero that saturates instead of overflowing, so that a
// hostile value only ever yields a coordinate far outside the image.
int TruncSaturated(double value) {
  constexpr double kLimit = 1.0e9;
  if (std::isnan(value)) return 0;
  return static_cast<int>(std::clamp(value, -kLimit, kLimit));
}

// TruncSaturated(exact()), where `approximate` lies within a few units in
// its last place of the exact value. The plots place every frame at such a
// truncation of a quotient whose divisor holds for the whole exposure; a
// product with the divisor's reciprocal stands in for the division, and
// decides alone unless the value lies within a hair of a whole number,
// where only the division itself can tell.
template <typename Exact>
int TruncNear(double approximate, Exact exact) {
  const double margin = (std::fabs(approximate) + 1.0) * 0x1p-40;
  const int low = TruncSaturated(approximate - margin);
  return low == TruncSaturated(approximate + margin) ? low : TruncSaturated(exact());
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
  // A row is the column strips, inverted where its own strip is set.
  std::array<std::uint8_t, kSpreadSize> inverted{};
  for (std::size_t x = 0; x < strips.size(); ++x) inverted[x] = strips[x] ^ kPlotChecker;
  for (int y = 0; y < kSpreadSize; ++y)
    std::memcpy(image.row(y),
                strips[static_cast<std::size_t>(y)] != 0 ? inverted.data() : strips.data(),
                kSpreadSize);
}

// One panel's columns after the frames drawn so far. Every bar starts at
// the zero row and all bars have one colour, so a column shows its ground
// (the panel, a lost star, or the image's background left and right of the
// panel) with one bar over it that reaches as far up and down as any bar
// since the last lost star of that column: exactly what drawing the bars
// one over the other would leave.
class PanelColumns {
 public:
  // Columns [0, stride) of an image `width` columns wide: ground `panel`
  // over [left, right], 0 elsewhere and in the padding past `width`.
  PanelColumns(int width, std::size_t stride, int left, int right)
      : ground_(stride, 0), up_(stride, -1), down_(stride, -1), width_(width) {
    for (int x = std::max(left, 0); x <= right && x < width_; ++x)
      ground_[static_cast<std::size_t>(x)] = static_cast<std::uint8_t>(kPlotPanel);
  }

  // A bar from the zero row to `height` rows below it (above it when
  // negative), over columns c0 to c1 as far as they lie in the image.
  void Bar(int c0, int c1, int height) {
    height = std::clamp(height, -kBarLimit, kBarLimit);
    const auto up = static_cast<std::int8_t>(height < 0 ? -height : 0);
    const auto down = static_cast<std::int8_t>(height > 0 ? height : 0);
    for (int x = std::max(c0, 0); x <= c1 && x < width_; ++x) {
      const auto i = static_cast<std::size_t>(x);
      up_[i] = std::max(up_[i], up);
      down_[i] = std::max(down_[i], down);
    }
    farthest_up_ = std::max(farthest_up_, up);
    farthest_down_ = std::max(farthest_down_, down);
  }
  // A lost star fills the columns' whole panel height.
  void LostStar(int c0, int c1) {
    for (int x = std::max(c0, 0); x <= c1 && x < width_; ++x) {
      const auto i = static_cast<std::size_t>(x);
      ground_[i] = static_cast<std::uint8_t>(kPlotLostStar);
      up_[i] = down_[i] = -1;
    }
  }

  // Writes the panel's rows, zero - kBarLimit to zero + kBarLimit, each
  // from the columns: a bar where the column's bar reaches that far, its
  // ground elsewhere.
  void Draw(PlotImage& image, int zero) const {
    DrawRow(image.row(zero), up_, 0);
    for (int k = 1; k <= kBarLimit; ++k) {
      // Rows no bar has reached are the ground alone.
      if (k <= farthest_up_)
        DrawRow(image.row(zero - k), up_, k);
      else
        std::memcpy(image.row(zero - k), ground_.data(), ground_.size());
      if (k <= farthest_down_)
        DrawRow(image.row(zero + k), down_, k);
      else
        std::memcpy(image.row(zero + k), ground_.data(), ground_.size());
    }
  }

 private:
  // Sixteen columns at a time: the rows are written millions of times a
  // night. (A vector type of the compilers this builds with.)
  using Lanes = std::int8_t __attribute__((vector_size(16)));

  void DrawRow(std::uint8_t* row, const std::vector<std::int8_t>& reach, int k) const {
    const std::size_t n = ground_.size();
    const Lanes shorter = Lanes{} + static_cast<std::int8_t>(k - 1);
    const Lanes bar = Lanes{} + static_cast<std::int8_t>(kPlotBar);
    std::size_t x = 0;
    for (; x + sizeof(Lanes) <= n; x += sizeof(Lanes)) {
      Lanes r;
      Lanes ground;
      std::memcpy(&r, reach.data() + x, sizeof r);
      std::memcpy(&ground, ground_.data() + x, sizeof ground);
      const Lanes reaches = r > shorter;  // all ones where the bar reaches row k
      const Lanes pixels = (reaches & bar) | (~reaches & ground);
      std::memcpy(row + x, &pixels, sizeof pixels);
    }
    for (; x < n; ++x) row[x] = reach[x] >= k ? static_cast<std::uint8_t>(kPlotBar) : ground_[x];
  }

  std::vector<std::uint8_t> ground_;
  std::vector<std::int8_t> up_;    // rows the bar reaches above zero; -1 no bar
  std::vector<std::int8_t> down_;  // and below it
  std::int8_t farthest_up_ = 0;    // the most of any column, ever
  std::int8_t farthest_down_ = 0;
  int width_;
};

// The drift or error image: two panels drawn row by row from their
// columns, the rows between and around them cleared.
void DrawBarImage(PlotImage& image, int width, const PanelColumns& ra, const PanelColumns& dec) {
  if (!SizePlotImage(image, width, kPlotHeight)) return;
  const std::size_t stride = image.stride();
  for (int y = 0; y < kPlotHeight; ++y)
    if (y < kRaTop || (y > kRaBottom && y < kDecTop) || y > kDecBottom)
      std::memset(image.row(y), 0, stride);
  ra.Draw(image, kRaZero);
  dec.Draw(image, kDecZero);
}

}  // namespace

void RenderExposurePlots(GuideLog& log) {
  const ExposureFields& f = log.exposure;
  const std::vector<LogEntity>& p = log.positions;
  const int span = f.plot_span;
  const std::size_t n = p.size();

  ResetPlotImage(log.spread_image, kSpreadSize, kSpreadSize);
  DrawCheckerboard(log.spread_image, f.std_ra);

  // The bars are gathered per column first, and the images then written
  // once, row by row.
  const int width = span + 32;
  const std::size_t stride = PlotImage::StrideFor(width);
  PanelColumns drift_ra(width, stride, kLeftColumn, span + 17);
  PanelColumns drift_dec = drift_ra;
  PanelColumns error_ra = drift_ra;
  PanelColumns error_dec = drift_ra;

  const double e = f.frame_interval > 0.0f ? f.frame_interval : 1.0;
  const double std_ra = SafeStd(f.std_ra);
  const double per_e = 1.0 / e;
  const double per_std = 1.0 / std_ra;
  const double per_twelve = 1.0 / 12.0;
  const double per_ra_scale = 1.0 / f.ra_scale;
  const double per_dec_scale = 1.0 / f.dec_scale;
  const double five_per_std = 5.0 / std_ra;
  // A frame's columns run from its own time to the next frame's.
  double t = 0.0;
  int x0 = TruncSaturated(2.0 * t / e + 0.5);
  for (std::size_t i = 0; i < n; ++i) {
    const double t_next = i + 1 < n ? SecondsBetween(p[i + 1], p[0]) : t + e;
    const int x1 = TruncNear(2.0 * t_next * per_e + 0.5, [&] { return 2.0 * t_next / e + 0.5; });
    const int c0 = (x1 > x0 ? x0 : x1) + kTimeOrigin;
    const int c1 = (x1 > x0 ? x1 - 1 : x0) + kTimeOrigin;
    t = t_next;
    x0 = x1;

    const StarPayload& star = p[i].star;
    if (star.no_star) {
      drift_ra.LostStar(c0, c1);
      drift_dec.LostStar(c0, c1);
    } else {
      const double xp = star.x / 256.0;
      const double yp = star.y / 256.0;
      drift_ra.Bar(c0, c1,
                   TruncNear(xp * 5.0 * per_std + 0.5, [&] { return xp * 5.0 / std_ra + 0.5; }));
      drift_dec.Bar(c0, c1, TruncSaturated(five_per_std * yp + 0.5));

      // The dot's pixel: the truncation of a place in (-1, 128), where
      // (-1, 0) still lands on the first pixel. Positions and the spread
      // are finite, so the places are never NaN.
      const int cx = TruncNear(128.0 * xp * per_std * per_twelve + 64.5,
                               [&] { return 128.0 * xp / std_ra / 12.0 + 64.5; });
      const int cy = TruncNear(128.0 * yp * per_std * per_twelve + 64.5,
                               [&] { return 128.0 * yp / std_ra / 12.0 + 64.5; });
      if (cx >= 0 && cx < kSpreadSize && cy >= 0 && cy < kSpreadSize &&
          !log.spread_image.pixels.empty())
        log.spread_image.row(cy)[cx] = static_cast<std::uint8_t>(kPlotDot);
    }

    if (i < f.cumulative_ra.size() && i < f.cumulative_dec.size()) {
      const double ra = f.cumulative_ra[i];
      const double dec = f.cumulative_dec[i];
      error_ra.Bar(c0, c1, TruncNear(ra * per_ra_scale * 50.0 * 0.5 + 0.5, [&] {
                     return ra / f.ra_scale * 50.0 * 0.5 + 0.5;
                   }));
      error_dec.Bar(c0, c1, TruncNear(dec * per_dec_scale * 50.0 * 0.5 + 0.5, [&] {
                      return dec / f.dec_scale * 50.0 * 0.5 + 0.5;
                    }));
    }
  }
  DrawBarImage(log.drift_image, width, drift_ra, drift_dec);
  DrawBarImage(log.error_image, width, error_ra, error_dec);

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
