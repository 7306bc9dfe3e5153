#include "guidelog/guided_periodogram.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace ktal {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kPixelPitchMm = 0.00485;
constexpr double kDegreesPerRadian = 57.29577951309679;
constexpr double kShortestPeriodFloor = 20.0;
constexpr double kBinsPerShortestPeriod = 10.0;
// Bins of a span at most, so that the transforms hold at most 2^17 values.
constexpr double kMaxBins = 65536.0;
constexpr std::size_t kMinValues = 3;
constexpr int kPeaksKept = 5;
constexpr int kRefineSteps = 4;  // per grid step on each side
constexpr int kWormHarmonicsListed = 8;

// The Lomb-Scargle machinery below is the unguided runs' (PowerOf, the
// sidelobe and harmonic rules, the refinement of a peak), step for step.

struct LsSums {
  double yc = 0.0;
  double ys = 0.0;
  double c2 = 0.0;
  double s2 = 0.0;
};

double PowerOf(const LsSums& s, double n, double ssq, double& amplitude) {
  const double h = std::hypot(s.c2, s.s2);
  const double cos2 = h > 0.0 ? s.c2 / h : 1.0;
  const double sin2 = h > 0.0 ? s.s2 / h : 0.0;
  const double cos1 = std::sqrt(std::max(0.0, (1.0 + cos2) / 2.0));
  const double sin1 = std::copysign(std::sqrt(std::max(0.0, (1.0 - cos2) / 2.0)), sin2);
  const double cc = n / 2.0 + h / 2.0;
  const double ss = n / 2.0 - h / 2.0;
  const double yc = s.yc * cos1 + s.ys * sin1;
  const double ys = s.ys * cos1 - s.yc * sin1;
  double power = 0.0;
  double a = 0.0;
  double b = 0.0;
  if (cc > 1e-9 * n) {
    power += yc * yc / cc;
    a = yc / cc;
  }
  if (ss > 1e-9 * n) {
    power += ys * ys / ss;
    b = ys / ss;
  }
  amplitude = std::hypot(a, b);
  return ssq > 0.0 ? power / ssq : 0.0;
}

int HarmonicOf(double frequency, std::optional<double> worm, double span) {
  if (!worm) return 0;
  const double k = std::round(frequency * *worm);
  if (k < 1.0 || k > kWormHarmonicsListed || std::fabs(frequency - k / *worm) > 0.5 / span)
    return 0;
  return static_cast<int>(k);
}

bool IsSidelobe(double frequency, double power, const std::vector<SpectrumPeak>& stronger,
                double span) {
  for (const SpectrumPeak& s : stronger) {
    const double distance = std::fabs(frequency - 1.0 / s.period_s) * span;
    if (distance < 1.0 || power <= 2.0 * s.power / (kPi * kPi * distance * distance)) return true;
  }
  return false;
}

// The binned values: bin j at the time j * bin_s.
struct Values {
  std::vector<double> j;
  std::vector<double> y;
  double bin_s = 0.0;
};

// The sums of `count` frequencies first + k * step, each value's phase
// turned on by one rotation per frequency.
std::vector<LsSums> SumsAt(const Values& v, double first, double step, int count) {
  std::vector<LsSums> sums(static_cast<std::size_t>(count));
  for (std::size_t i = 0; i < v.y.size(); ++i) {
    const double t = v.j[i] * v.bin_s;
    double c = std::cos(2.0 * kPi * first * t);
    double s = std::sin(2.0 * kPi * first * t);
    const double dc = std::cos(2.0 * kPi * step * t);
    const double ds = std::sin(2.0 * kPi * step * t);
    const double y = v.y[i];
    for (LsSums& sum : sums) {
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
    cos_table[k] = std::cos(2.0 * kPi * static_cast<double>(k) / static_cast<double>(m));
    sin_table[k] = std::sin(2.0 * kPi * static_cast<double>(k) / static_cast<double>(m));
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

bool IsExcluded(double t, const std::vector<TimeRange>& excluded) {
  for (const TimeRange& x : excluded)
    if (t >= std::min(x.begin_s, x.end_s) && t <= std::max(x.begin_s, x.end_s)) return true;
  return false;
}

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
  const double shortest = std::max(2.0 * median, kShortestPeriodFloor);
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
  const double high = low + (count - 1) * step;

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
    const LsSums s{(re[k] + re[m - k]) / 2.0, (im[m - k] - im[k]) / 2.0,
                   (im[k2] + im[m - k2]) / 2.0, (re[k2] - re[m - k2]) / 2.0};
    double amplitude = 0.0;
    g.power[q] = PowerOf(s, n, ssq, amplitude);
  }

  auto peak = [&](double frequency, double power, double amplitude) {
    SpectrumPeak s;
    s.period_s = 1.0 / frequency;
    s.power = power;
    s.amplitude_px = amplitude;
    if (arcsec_per_px) s.amplitude_arcsec = amplitude * *arcsec_per_px;
    s.harmonic = HarmonicOf(frequency, worm, span);
    return s;
  };
  std::vector<int> maxima;
  for (int k = 0; k < count; ++k) {
    const bool above_left = k == 0 || g.power[k] > g.power[k - 1];
    const bool above_right = k + 1 == count || g.power[k] >= g.power[k + 1];
    if (above_left && above_right) maxima.push_back(k);
  }
  std::stable_sort(maxima.begin(), maxima.end(),
                   [&](int a, int c) { return g.power[a] > g.power[c]; });
  for (int k : maxima) {
    if (g.peaks.size() >= kPeaksKept) break;
    const double centre = low + k * step;
    if (IsSidelobe(centre, g.power[k], g.peaks, span)) continue;
    const double fine = step / kRefineSteps;
    const double first = centre - step;
    const std::vector<LsSums> around = SumsAt(v, first, fine, 2 * kRefineSteps + 1);
    std::vector<double> powers(around.size(), -1.0);
    std::vector<double> amplitudes(around.size(), 0.0);
    std::size_t best = 0;
    for (std::size_t j = 0; j < around.size(); ++j) {
      if (first + j * fine > 0.0) powers[j] = PowerOf(around[j], n, ssq, amplitudes[j]);
      if (powers[j] > powers[best]) best = j;
    }
    double offset = 0.0;
    if (best > 0 && best + 1 < around.size() && powers[best - 1] >= 0.0) {
      const double left = powers[best - 1];
      const double right = powers[best + 1];
      const double curvature = left - 2.0 * powers[best] + right;
      if (curvature < 0.0) offset = 0.5 * (left - right) / curvature;
    }
    g.peaks.push_back(
        peak(first + (static_cast<double>(best) + offset) * fine, powers[best], amplitudes[best]));
  }
  std::stable_sort(g.peaks.begin(), g.peaks.end(),
                   [](const SpectrumPeak& a, const SpectrumPeak& c) { return a.power > c.power; });
  if (worm) {
    const std::vector<LsSums> at = SumsAt(v, 1.0 / *worm, 1.0 / *worm, kWormHarmonicsListed);
    for (int k = 1; k <= kWormHarmonicsListed; ++k) {
      const double frequency = k / *worm;
      if (frequency < low || frequency > high) continue;
      double amplitude = 0.0;
      const double power = PowerOf(at[k - 1], n, ssq, amplitude);
      SpectrumPeak s = peak(frequency, power, amplitude);
      s.harmonic = k;
      g.worm_harmonics.push_back(s);
    }
  }
  return out;
}

void AppendNumber(std::string& out, std::optional<double> value, const char* format = "%.10g") {
  if (!value || !std::isfinite(*value)) {
    out += "null";
    return;
  }
  char text[40];
  std::snprintf(text, sizeof text, format, *value);
  out += text;
}

void AppendPeaks(std::string& out, const std::vector<SpectrumPeak>& peaks) {
  out += '[';
  for (std::size_t k = 0; k < peaks.size(); ++k) {
    const SpectrumPeak& p = peaks[k];
    out += k > 0 ? ",{\"period_s\":" : "{\"period_s\":";
    AppendNumber(out, p.period_s);
    out += ",\"power\":";
    AppendNumber(out, p.power);
    out += ",\"amplitude_px\":";
    AppendNumber(out, p.amplitude_px);
    out += ",\"amplitude_arcsec\":";
    AppendNumber(out, p.amplitude_arcsec);
    out += ",\"harmonic\":";
    AppendNumber(out, p.harmonic);
    out += '}';
  }
  out += ']';
}

// The fields of one periodogram, without the braces around them.
void AppendPeriodogram(std::string& out, const GuidedRaPeriodogram& p) {
  out += "\"samples\":";
  AppendNumber(out, p.samples);
  out += ",\"bins\":";
  AppendNumber(out, p.bins);
  out += ",\"span_s\":";
  AppendNumber(out, p.span_s);
  out += ",\"bin_s\":";
  AppendNumber(out, p.bin_s);
  const Periodogram& g = p.periodogram;
  out += ",\"periodogram\":{\"first_hz\":";
  AppendNumber(out, g.first_hz);
  out += ",\"step_hz\":";
  AppendNumber(out, g.step_hz);
  out += ",\"peaks\":";
  AppendPeaks(out, g.peaks);
  out += ",\"worm_harmonics\":";
  AppendPeaks(out, g.worm_harmonics);
  out += ",\"power\":[";
  for (std::size_t k = 0; k < g.power.size(); ++k) {
    if (k > 0) out += ',';
    AppendNumber(out, g.power[k], "%.6g");
  }
  out += "]}";
}

}  // namespace

GuidedRaSummary SummarizeGuidedRa(const GuideSeries& series, const SummaryOptions& options) {
  GuidedRaSummary summary;
  const std::optional<double> worm =
      options.worm_period_s && *options.worm_period_s > 0.0 ? options.worm_period_s : std::nullopt;
  std::optional<double> arcsec_per_px;
  if (options.focal_length_mm && *options.focal_length_mm > 0.0)
    arcsec_per_px = kPixelPitchMm / *options.focal_length_mm * 3600.0 * kDegreesPerRadian;
  std::vector<std::vector<Point>> points;
  for (std::size_t k = 0; k < series.exposures.size(); ++k) {
    points.push_back(ExposurePoints(series, k, options.excluded));
    summary.exposures.push_back(PeriodogramOf({points.back()}, worm, arcsec_per_px));
  }
  summary.night = PeriodogramOf(points, worm, arcsec_per_px);
  return summary;
}

std::string GuidedRaJson(const GuideSeries& series, const GuidedRaSummary& summary) {
  std::string out = "{\"night\":{";
  AppendPeriodogram(out, summary.night);
  out += "},\"exposures\":[";
  for (std::size_t k = 0; k < summary.exposures.size() && k < series.exposures.size(); ++k) {
    const ExposureSpan& span = series.exposures[k];
    char label[48];
    std::snprintf(label, sizeof label, "%s{\"label\":\"%cE%03d\",", k > 0 ? "," : "", span.kind,
                  span.number);
    out += label;
    AppendPeriodogram(out, summary.exposures[k]);
    out += '}';
  }
  out += "]}";
  return out;
}

}  // namespace ktal
