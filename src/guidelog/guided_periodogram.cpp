// SPDX-License-Identifier: GPL-3.0-or-later
#include "guidelog/guided_periodogram.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numbers>

#include "guidelog/pixel_scale.h"
#include "guidelog/summary_json.h"

namespace ktal {
namespace {

constexpr double kBinsPerShortestPeriod = 10.0;
// Bins of a span at most, so that the transforms hold at most 2^17 values.
constexpr double kMaxBins = 65536.0;
constexpr std::size_t kMinValues = 3;

// The binned values: bin j at the time j * bin_s.
struct Values {
  std::vector<double> j;
  std::vector<double> y;
  double bin_s = 0.0;
};

// The sums of `count` frequencies first + k * step, each value's phase
// turned on by one rotation per frequency.
std::vector<LombScargleSums> SumsAt(const Values& v, double first, double step, int count) {
  std::vector<LombScargleSums> sums(static_cast<std::size_t>(count));
  for (std::size_t i = 0; i < v.y.size(); ++i) {
    const double t = v.j[i] * v.bin_s;
    double c = std::cos(2.0 * std::numbers::pi * first * t);
    double s = std::sin(2.0 * std::numbers::pi * first * t);
    const double dc = std::cos(2.0 * std::numbers::pi * step * t);
    const double ds = std::sin(2.0 * std::numbers::pi * step * t);
    const double y = v.y[i];
    for (LombScargleSums& sum : sums) {
      sum.yc += y * c;
      sum.ys += y * s;
      sum.c2 += (c - s) * (c + s);
      sum.s2 += 2.0 * c * s;
      const double next_c = c * dc - s * ds;
      s = s * dc + c * ds;
      c = next_c;
    }
  }
  return sums;
}

// In place, forward (e^-i), radix 2; the size is a power of two.
void Fft(std::vector<double>& re, std::vector<double>& im) {
  const std::size_t m = re.size();
  for (std::size_t i = 1, j = 0; i < m; ++i) {
    std::size_t bit = m >> 1;
    for (; (j & bit) != 0; bit >>= 1) j ^= bit;
    j ^= bit;
    if (i < j) {
      std::swap(re[i], re[j]);
      std::swap(im[i], im[j]);
    }
  }
  std::vector<double> cos_table(m / 2);
  std::vector<double> sin_table(m / 2);
  for (std::size_t k = 0; k < m / 2; ++k) {
    cos_table[k] =
        std::cos(2.0 * std::numbers::pi * static_cast<double>(k) / static_cast<double>(m));
    sin_table[k] =
        std::sin(2.0 * std::numbers::pi * static_cast<double>(k) / static_cast<double>(m));
  }
  for (std::size_t len = 2; len <= m; len <<= 1) {
    const std::size_t half = len / 2;
    const std::size_t stride = m / len;
    for (std::size_t i = 0; i < m; i += len) {
      for (std::size_t k = 0; k < half; ++k) {
        const double wr = cos_table[k * stride];
        const double wi = -sin_table[k * stride];
        const std::size_t a = i + k;
        const std::size_t b = a + half;
        const double tr = re[b] * wr - im[b] * wi;
        const double ti = re[b] * wi + im[b] * wr;
        re[b] = re[a] - tr;
        im[b] = im[a] - ti;
        re[a] += tr;
        im[a] += ti;
      }
    }
  }
}

// One drift sample that counts: its time and RA less its exposure's mean.
struct Point {
  double t = 0.0;
  double r = 0.0;
};

// The kept samples of exposure `k` with its mean taken off, in time order.
std::vector<Point> ExposurePoints(const GuideSeries& series, std::size_t k,
                                  const std::vector<TimeRange>& excluded) {
  const ExposureSpan& e = series.exposures[k];
  std::vector<Point> points;
  double sum = 0.0;
  for (std::size_t i = e.first_sample; i < e.end_sample; ++i) {
    const GuideSample& s = series.samples[i];
    if (s.lost || s.position || IsExcluded(s.t, excluded)) continue;
    points.push_back(Point{s.t, s.ra_px});
    sum += s.ra_px;
  }
  if (points.size() < kMinValues) return {};
  const double mean = sum / static_cast<double>(points.size());
  for (Point& p : points) p.r -= mean;
  std::stable_sort(points.begin(), points.end(),
                   [](const Point& a, const Point& b) { return a.t < b.t; });
  return points;
}

// The periodogram of the exposures' points (each list in time order).
GuidedRaPeriodogram PeriodogramOf(const std::vector<std::vector<Point>>& exposures,
                                  std::optional<double> worm, std::optional<double> arcsec_per_px) {
  GuidedRaPeriodogram out;
  std::vector<Point> all;
  std::vector<double> intervals;
  double longest = 0.0;
  for (const std::vector<Point>& p : exposures) {
    if (p.empty()) continue;
    all.insert(all.end(), p.begin(), p.end());
    for (std::size_t i = 1; i < p.size(); ++i) intervals.push_back(p[i].t - p[i - 1].t);
    longest = std::max(longest, p.back().t - p.front().t);
  }
  out.samples = static_cast<int>(all.size());
  if (all.size() < kMinValues) return out;
  std::stable_sort(all.begin(), all.end(),
                   [](const Point& a, const Point& b) { return a.t < b.t; });
  const double t0 = all.front().t;
  const double span = all.back().t - t0;
  out.span_s = span;
  if (!(span > 0.0) || !(longest > 0.0)) return out;
  const auto middle = intervals.begin() + static_cast<std::ptrdiff_t>(intervals.size() / 2);
  std::nth_element(intervals.begin(), middle, intervals.end());
  const double median = *middle;
  const double shortest = std::max(2.0 * median, kShortestPeriodFloorS);
  const double b = std::max(shortest / kBinsPerShortestPeriod, span / (kMaxBins - 1.0));
  const std::size_t n_bins = static_cast<std::size_t>(std::floor(span / b)) + 1;

  std::vector<double> sums(n_bins, 0.0);
  std::vector<int> counts(n_bins, 0);
  for (const Point& p : all) {
    const std::size_t j =
        std::min(static_cast<std::size_t>(std::floor((p.t - t0) / b)), n_bins - 1);
    sums[j] += p.r;
    ++counts[j];
  }
  Values v;
  v.bin_s = b;
  double mean = 0.0;
  for (std::size_t j = 0; j < n_bins; ++j) {
    if (counts[j] == 0) continue;
    v.j.push_back(static_cast<double>(j));
    v.y.push_back(sums[j] / counts[j]);
    mean += v.y.back();
  }
  out.bins = static_cast<int>(v.y.size());
  if (v.y.size() < kMinValues) return out;
  mean /= static_cast<double>(v.y.size());
  double ssq = 0.0;
  for (double& y : v.y) {
    y -= mean;
    ssq += y * y;
  }

  std::size_t m = 1;
  while (m < 2 * n_bins) m <<= 1;
  const double step = 1.0 / (static_cast<double>(m) * b);
  const double k_low = std::max(1.0, std::ceil(static_cast<double>(m) * b / longest - 1e-9));
  const double k_high = std::floor(static_cast<double>(m) / kBinsPerShortestPeriod);
  if (k_high < k_low) return out;
  out.bin_s = b;
  const int count = static_cast<int>(k_high - k_low) + 1;
  const double low = k_low * step;

  // One transform of the values as the real part and the bins' weights as
  // the imaginary part gives both sums, y e^-iwt and e^-i2wt, at every grid
  // frequency w = 2 pi k / (M b): the two real transforms are its even and
  // odd parts.
  std::vector<double> re(m, 0.0), im(m, 0.0);
  for (std::size_t i = 0; i < v.y.size(); ++i) {
    const auto j = static_cast<std::size_t>(v.j[i]);
    re[j] = v.y[i];
    im[j] = 1.0;
  }
  Fft(re, im);
  const double n = static_cast<double>(v.y.size());
  Periodogram& g = out.periodogram;
  g.first_hz = low;
  g.step_hz = step;
  g.power.resize(static_cast<std::size_t>(count));
  for (int q = 0; q < count; ++q) {
    const std::size_t k = static_cast<std::size_t>(k_low) + static_cast<std::size_t>(q);
    const std::size_t k2 = 2 * k;
    const LombScargleSums s{(re[k] + re[m - k]) / 2.0, (im[m - k] - im[k]) / 2.0,
                            (im[k2] + im[m - k2]) / 2.0, (re[k2] - re[m - k2]) / 2.0};
    double amplitude = 0.0;
    g.power[q] = LombScarglePower(s, n, ssq, amplitude);
  }

  FindPeaks(
      g,
      [&](double first, double grid_step, int grid_count) {
        return SumsAt(v, first, grid_step, grid_count);
      },
      n, ssq, span, worm, arcsec_per_px);
  return out;
}

// The fields of one periodogram, without the braces around them.
void WriteFields(JsonWriter& j, const GuidedRaPeriodogram& p) {
  j.Key("samples").Number(p.samples);
  j.Key("bins").Number(p.bins);
  j.Key("span_s").Number(p.span_s);
  j.Key("bin_s").Number(p.bin_s);
  j.Key("periodogram");
  WritePeriodogramJson(j, p.periodogram);
}

}  // namespace

GuidedRaSummary SummarizeGuidedRa(const GuideSeries& series, const SummaryOptions& options) {
  GuidedRaSummary summary;
  const std::optional<double> worm =
      options.worm_period_s && *options.worm_period_s > 0.0 ? options.worm_period_s : std::nullopt;
  std::optional<double> arcsec_per_px;
  if (options.focal_length_mm && *options.focal_length_mm > 0.0)
    arcsec_per_px = ArcsecPerPixel(*options.focal_length_mm).ra;
  std::vector<std::vector<Point>> points;
  for (std::size_t k = 0; k < series.exposures.size(); ++k) {
    points.push_back(ExposurePoints(series, k, options.excluded));
    summary.exposures.push_back(PeriodogramOf({points.back()}, worm, arcsec_per_px));
  }
  summary.night = PeriodogramOf(points, worm, arcsec_per_px);
  return summary;
}

std::string GuidedRaJson(const GuideSeries& series, const GuidedRaSummary& summary) {
  JsonWriter j;
  j.Open('{');
  j.Key("night").Open('{');
  WriteFields(j, summary.night);
  j.Close('}');
  j.Key("exposures").Open('[');
  for (std::size_t k = 0; k < summary.exposures.size() && k < series.exposures.size(); ++k) {
    const ExposureSpan& span = series.exposures[k];
    char label[16];
    std::snprintf(label, sizeof label, "%cE%03d", span.kind, span.number);
    j.Open('{');
    j.Key("label").Text(label);
    WriteFields(j, summary.exposures[k]);
    j.Close('}');
  }
  j.Close(']');
  j.Close('}');
  return j.Take();
}

}  // namespace ktal
