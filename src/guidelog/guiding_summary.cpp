#include "guidelog/guiding_summary.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "guidelog/events_table.h"
#include "guidelog/exposure_analysis.h"

namespace ktal {
namespace {

constexpr double kPixelPitchMm = 0.00485;
constexpr double kYScale = 0.9587629437446594;
constexpr double kDegreesPerRadian = 57.29577951309679;

// The time of an entity and the number of star entities before it, found
// by walking from the position asked before: the exposure scan asks in
// nearly increasing order, so a night costs one walk and no table per
// entity.
class EntityWalker {
 public:
  explicit EntityWalker(const EntityList& entities) : entities_(entities) {}

  void MoveTo(std::size_t target) {
    target = std::min(target, entities_.size());
    for (; pos_ < target; ++pos_) {
      stars_before_ += entities_[pos_].type == ENTITY_STAR ? 1 : 0;
      if (pos_ + 1 < entities_.size())
        tenths_ += TenthsBetween(entities_[pos_ + 1], entities_[pos_]);
    }
    for (; pos_ > target; --pos_) {
      stars_before_ -= entities_[pos_ - 1].type == ENTITY_STAR ? 1 : 0;
      if (pos_ < entities_.size()) tenths_ -= TenthsBetween(entities_[pos_], entities_[pos_ - 1]);
    }
  }
  double SecondsAt(std::size_t target) {
    MoveTo(target);
    return static_cast<double>(tenths_) / 10.0;
  }
  std::size_t StarsBefore(std::size_t target) {
    MoveTo(target);
    return stars_before_;
  }

 private:
  const EntityList& entities_;
  std::size_t pos_ = 0;
  long long tenths_ = 0;
  std::size_t stars_before_ = 0;
};

bool Excluded(double t, const std::vector<TimeRange>& ranges) {
  for (const TimeRange& r : ranges) {
    const double lo = std::min(r.begin_s, r.end_s);
    const double hi = std::max(r.begin_s, r.end_s);
    if (t >= lo && t <= hi) return true;
  }
  return false;
}

struct Scale {
  double ra = 1.0;
  double dec = 1.0;
};

ErrorFigures ErrorsOf(const std::vector<const GuideSample*>& drift, double mean_ra, double mean_dec,
                      Scale s) {
  ErrorFigures f;
  const double n = static_cast<double>(drift.size());
  double sum_ra = 0.0;
  double sum_dec = 0.0;
  for (const GuideSample* p : drift) {
    const double dx = (p->ra_px - mean_ra) * s.ra;
    const double dy = (p->dec_px - mean_dec) * s.dec;
    sum_ra += dx * dx;
    sum_dec += dy * dy;
    f.ra_peak = std::max(f.ra_peak, std::fabs(dx));
    f.dec_peak = std::max(f.dec_peak, std::fabs(dy));
    f.total_peak = std::max(f.total_peak, std::sqrt(dx * dx + dy * dy));
  }
  f.ra_rms = std::sqrt(sum_ra / n);
  f.dec_rms = std::sqrt(sum_dec / n);
  f.total_rms = std::sqrt(f.ra_rms * f.ra_rms + f.dec_rms * f.dec_rms);
  return f;
}

// The guiding figures of samples[first, end) without the excluded ones.
GuidingFigures FiguresOf(const GuideSeries& series, std::size_t first, std::size_t end,
                         const SummaryOptions& options, const std::optional<Scale>& arcsec) {
  GuidingFigures g;
  std::vector<const GuideSample*> drift;
  double sum_ra = 0.0;
  double sum_dec = 0.0;
  for (std::size_t i = first; i < end; ++i) {
    const GuideSample& s = series.samples[i];
    if (Excluded(s.t, options.excluded)) continue;
    if (s.ra_correction_s != 0.0) ++g.ra_corrections;
    if (s.dec_correction_s != 0.0) ++g.dec_corrections;
    if (s.lost) {
      ++g.lost_stars;
      continue;
    }
    if (s.position) continue;
    drift.push_back(&s);
    sum_ra += s.ra_px;
    sum_dec += s.dec_px;
  }
  g.drift_samples = static_cast<int>(drift.size());
  if (drift.empty()) return g;
  g.mean_ra_px = sum_ra / g.drift_samples;
  g.mean_dec_px = sum_dec / g.drift_samples;
  g.px = ErrorsOf(drift, g.mean_ra_px, g.mean_dec_px, Scale{});
  if (arcsec) g.arcsec = ErrorsOf(drift, g.mean_ra_px, g.mean_dec_px, *arcsec);
  return g;
}

constexpr double kPi = 3.14159265358979323846;
// Sidereal rate in radians per second: one turn per sidereal day.
constexpr double kSiderealRate = 2.0 * kPi / 86164.0905;
constexpr int kHarmonicsFitted = 4;
constexpr int kMaxFrequencies = 4096;
constexpr double kShortestPeriodFloor = 20.0;
constexpr int kPeaksKept = 5;
constexpr int kRefineSteps = 4;  // per grid step on each side
constexpr int kWormHarmonicsListed = 8;

// The samples of a run that count, times relative to the run's middle.
struct RunPoints {
  std::vector<double> t;  // seconds relative to tc
  std::vector<double> x;
  std::vector<double> y;
};

// Solves a (n x n, row-major) * c = rhs in place by Gaussian elimination
// with partial pivoting; false when a pivot is negligible.
bool Solve(std::vector<double> a, std::vector<double>& rhs_x, std::vector<double>& rhs_y, int n) {
  double largest = 0.0;
  for (int i = 0; i < n; ++i) largest = std::max(largest, std::fabs(a[i * n + i]));
  for (int col = 0; col < n; ++col) {
    int pivot = col;
    for (int row = col + 1; row < n; ++row) {
      if (std::fabs(a[row * n + col]) > std::fabs(a[pivot * n + col])) pivot = row;
    }
    if (!(std::fabs(a[pivot * n + col]) > 1e-12 * largest)) return false;
    if (pivot != col) {
      for (int k = 0; k < n; ++k) std::swap(a[col * n + k], a[pivot * n + k]);
      std::swap(rhs_x[col], rhs_x[pivot]);
      std::swap(rhs_y[col], rhs_y[pivot]);
    }
    for (int row = col + 1; row < n; ++row) {
      const double factor = a[row * n + col] / a[col * n + col];
      for (int k = col; k < n; ++k) a[row * n + k] -= factor * a[col * n + k];
      rhs_x[row] -= factor * rhs_x[col];
      rhs_y[row] -= factor * rhs_y[col];
    }
  }
  for (int row = n - 1; row >= 0; --row) {
    for (int k = row + 1; k < n; ++k) {
      rhs_x[row] -= a[row * n + k] * rhs_x[k];
      rhs_y[row] -= a[row * n + k] * rhs_y[k];
    }
    rhs_x[row] /= a[row * n + row];
    rhs_y[row] /= a[row * n + row];
  }
  return true;
}

// Least squares of x and y against the line and, with harmonics > 0, the
// worm period's first harmonics. Returns offsets and slopes (per second).
bool FitDriftLine(const RunPoints& p, double half_span, double worm, int harmonics,
                  double line_x[2], double line_y[2]) {
  const int n = 2 + 2 * harmonics;
  std::vector<double> a(static_cast<std::size_t>(n * n), 0.0);
  std::vector<double> bx(static_cast<std::size_t>(n), 0.0);
  std::vector<double> by(static_cast<std::size_t>(n), 0.0);
  std::vector<double> row(static_cast<std::size_t>(n));
  for (std::size_t i = 0; i < p.t.size(); ++i) {
    row[0] = 1.0;
    // The time column scaled to -1..1 keeps the equations balanced.
    row[1] = p.t[i] / half_span;
    for (int k = 1; k <= harmonics; ++k) {
      const double phase = 2.0 * kPi * k * p.t[i] / worm;
      row[2 * k] = std::sin(phase);
      row[2 * k + 1] = std::cos(phase);
    }
    for (int r = 0; r < n; ++r) {
      for (int c = 0; c < n; ++c) a[r * n + c] += row[r] * row[c];
      bx[r] += row[r] * p.x[i];
      by[r] += row[r] * p.y[i];
    }
  }
  if (!Solve(std::move(a), bx, by, n)) return false;
  line_x[0] = bx[0];
  line_x[1] = bx[1] / half_span;
  line_y[0] = by[0];
  line_y[1] = by[1] / half_span;
  return true;
}

// Lomb-Scargle sums of one frequency.
struct LsSums {
  double yc = 0.0;
  double ys = 0.0;
  double c2 = 0.0;
  double s2 = 0.0;
};

// Power (share of `ssq`) and semi-amplitude of the best sine from the sums.
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

// The sums of `count` frequencies first + k * step. Each sample's phase is
// advanced from one frequency to the next by one rotation, instead of a
// sine and cosine per frequency and sample; samples go in blocks of four,
// whose rotations are independent of each other and can run side by side.
std::vector<LsSums> SumsOnGrid(const RunPoints& p, const std::vector<double>& r, double first,
                               double step, int count) {
  constexpr int kBlock = 8;
  std::vector<LsSums> sums(count);
  const std::size_t n = r.size();
  for (std::size_t i0 = 0; i0 < n; i0 += kBlock) {
    // Lanes past the last sample stay zero and add nothing.
    double c[kBlock] = {}, s[kBlock] = {}, dc[kBlock] = {}, ds[kBlock] = {}, y[kBlock] = {};
    for (int j = 0; j < kBlock && i0 + j < n; ++j) {
      const double t = p.t[i0 + j];
      c[j] = std::cos(2.0 * kPi * first * t);
      s[j] = std::sin(2.0 * kPi * first * t);
      dc[j] = std::cos(2.0 * kPi * step * t);
      ds[j] = std::sin(2.0 * kPi * step * t);
      y[j] = r[i0 + j];
    }
    for (int k = 0; k < count; ++k) {
      double yc[kBlock], ys[kBlock], c2[kBlock], s2[kBlock];
      for (int j = 0; j < kBlock; ++j) {
        yc[j] = y[j] * c[j];
        ys[j] = y[j] * s[j];
        c2[j] = (c[j] - s[j]) * (c[j] + s[j]);
        s2[j] = 2.0 * c[j] * s[j];
        const double next_c = c[j] * dc[j] - s[j] * ds[j];
        s[j] = s[j] * dc[j] + c[j] * ds[j];
        c[j] = next_c;
      }
      LsSums& sum = sums[k];
      sum.yc += ((yc[0] + yc[1]) + (yc[2] + yc[3])) + ((yc[4] + yc[5]) + (yc[6] + yc[7]));
      sum.ys += ((ys[0] + ys[1]) + (ys[2] + ys[3])) + ((ys[4] + ys[5]) + (ys[6] + ys[7]));
      sum.c2 += ((c2[0] + c2[1]) + (c2[2] + c2[3])) + ((c2[4] + c2[5]) + (c2[6] + c2[7]));
      sum.s2 += ((s2[0] + s2[1]) + (s2[2] + s2[3])) + ((s2[4] + s2[5]) + (s2[6] + s2[7]));
    }
  }
  return sums;
}

int HarmonicOf(double frequency, std::optional<double> worm, double span) {
  if (!worm) return 0;
  const double k = std::round(frequency * *worm);
  if (k < 1.0 || k > kWormHarmonicsListed || std::fabs(frequency - k / *worm) > 0.5 / span)
    return 0;
  return static_cast<int>(k);
}

// A strong sine over a span T leaks into maxima beside its peak whose power
// falls off like the window's sinc^2, P / (pi T df)^2 at a distance df. A
// maximum within 1/T of a stronger peak, or below twice that envelope of
// one, is taken for its sidelobe rather than a period of its own.
bool IsSidelobe(double frequency, double power, const std::vector<SpectrumPeak>& stronger,
                double span) {
  for (const SpectrumPeak& s : stronger) {
    const double distance = std::fabs(frequency - 1.0 / s.period_s) * span;
    if (distance < 1.0 || power <= 2.0 * s.power / (kPi * kPi * distance * distance)) return true;
  }
  return false;
}

Periodogram PeriodogramOf(const RunPoints& p, const std::vector<double>& r, double span,
                          std::optional<double> worm, std::optional<double> arcsec_factor) {
  Periodogram g;
  const double n = static_cast<double>(r.size());
  double ssq = 0.0;
  for (double v : r) ssq += v * v;
  std::vector<double> intervals;
  for (std::size_t i = 1; i < p.t.size(); ++i) intervals.push_back(p.t[i] - p.t[i - 1]);
  std::sort(intervals.begin(), intervals.end());
  const double median = intervals[intervals.size() / 2];
  // The grid costs its length times the samples; the twenty-second floor
  // halves it against ten, for periods the smoothing removes anyway.
  const double shortest = std::max(2.0 * median, kShortestPeriodFloor);
  const double low = 1.0 / span;
  double high = 1.0 / shortest;
  if (high < low) return g;
  const double step = 1.0 / (2.0 * span);
  // A long run keeps its resolution and loses its shortest periods.
  const int count = static_cast<int>(
      std::min(std::floor((high - low) / step + 1e-9) + 1.0, static_cast<double>(kMaxFrequencies)));
  high = low + (count - 1) * step;
  g.first_hz = low;
  g.step_hz = step;
  const std::vector<LsSums> sums = SumsOnGrid(p, r, low, step, count);
  g.power.resize(count);
  for (int k = 0; k < count; ++k) {
    double amplitude = 0.0;
    g.power[k] = PowerOf(sums[k], n, ssq, amplitude);
  }
  auto peak = [&](double frequency, double power, double amplitude) {
    SpectrumPeak s;
    s.period_s = 1.0 / frequency;
    s.power = power;
    s.amplitude_px = amplitude;
    if (arcsec_factor) s.amplitude_arcsec = amplitude * *arcsec_factor;
    s.harmonic = HarmonicOf(frequency, worm, span);
    return s;
  };
  // Local maxima of the grid, highest first.
  std::vector<int> maxima;
  for (int k = 0; k < count; ++k) {
    const bool above_left = k == 0 || g.power[k] > g.power[k - 1];
    const bool above_right = k + 1 == count || g.power[k] >= g.power[k + 1];
    if (above_left && above_right) maxima.push_back(k);
  }
  std::stable_sort(maxima.begin(), maxima.end(),
                   [&](int a, int b) { return g.power[a] > g.power[b]; });
  for (int k : maxima) {
    if (g.peaks.size() >= kPeaksKept) break;
    const double centre = low + k * step;
    if (IsSidelobe(centre, g.power[k], g.peaks, span)) continue;
    const double fine = step / kRefineSteps;
    const double first = centre - step;
    const std::vector<LsSums> around = SumsOnGrid(p, r, first, fine, 2 * kRefineSteps + 1);
    std::vector<double> powers(around.size(), -1.0);
    std::vector<double> amplitudes(around.size(), 0.0);
    std::size_t best = 0;
    for (std::size_t j = 0; j < around.size(); ++j) {
      if (first + j * fine > 0.0) powers[j] = PowerOf(around[j], n, ssq, amplitudes[j]);
      if (powers[j] > powers[best]) best = j;
    }
    // The top of the parabola through the best point and its two
    // neighbours places the peak between the fine steps.
    double offset = 0.0;
    if (best > 0 && best + 1 < around.size() && powers[best - 1] >= 0.0) {
      const double left = powers[best - 1];
      const double right = powers[best + 1];
      const double curvature = left - 2.0 * powers[best] + right;
      if (curvature < 0.0) offset = 0.5 * (left - right) / curvature;
    }
    const double best_frequency = first + (static_cast<double>(best) + offset) * fine;
    const double best_power = powers[best];
    const double best_amplitude = amplitudes[best];
    g.peaks.push_back(peak(best_frequency, best_power, best_amplitude));
  }
  std::stable_sort(g.peaks.begin(), g.peaks.end(),
                   [](const SpectrumPeak& a, const SpectrumPeak& b) { return a.power > b.power; });
  if (worm) {
    const std::vector<LsSums> at = SumsOnGrid(p, r, 1.0 / *worm, 1.0 / *worm, kWormHarmonicsListed);
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
  return g;
}

// Mean (smoothed value) and least-squares slope of r over the samples within
// w/2 of each sample, by sliding sums; the times are in ascending order.
void SmoothedCurve(const RunPoints& p, const std::vector<double>& r, double w, double& peak_to_peak,
                   std::optional<double>& steepest) {
  const std::size_t n = r.size();
  double lowest = 0.0;
  double highest = 0.0;
  double sum_t = 0.0, sum_tt = 0.0, sum_r = 0.0, sum_tr = 0.0;
  std::size_t lo = 0;
  std::size_t hi = 0;  // window is [lo, hi)
  for (std::size_t i = 0; i < n; ++i) {
    while (hi < n && p.t[hi] <= p.t[i] + w / 2.0) {
      sum_t += p.t[hi];
      sum_tt += p.t[hi] * p.t[hi];
      sum_r += r[hi];
      sum_tr += p.t[hi] * r[hi];
      ++hi;
    }
    while (p.t[lo] < p.t[i] - w / 2.0) {
      sum_t -= p.t[lo];
      sum_tt -= p.t[lo] * p.t[lo];
      sum_r -= r[lo];
      sum_tr -= p.t[lo] * r[lo];
      ++lo;
    }
    const double count = static_cast<double>(hi - lo);
    const double mean = sum_r / count;
    if (i == 0 || mean < lowest) lowest = mean;
    if (i == 0 || mean > highest) highest = mean;
    const double spread = count * sum_tt - sum_t * sum_t;
    if (hi - lo >= 3 && spread > 0.0) {
      const double slope = std::fabs((count * sum_tr - sum_t * sum_r) / spread);
      if (!steepest || slope > *steepest) steepest = slope;
    }
  }
  peak_to_peak = highest - lowest;
}

// The RA residual of the drift line, mean subtracted.
std::vector<double> Residual(const RunPoints& p, const double line_x[2]) {
  std::vector<double> r(p.t.size());
  double mean = 0.0;
  for (std::size_t i = 0; i < r.size(); ++i) {
    r[i] = p.x[i] - (line_x[0] + line_x[1] * p.t[i]);
    mean += r[i];
  }
  mean /= static_cast<double>(r.size());
  for (double& v : r) v -= mean;
  return r;
}

UnguidedRunSummary SummarizeRun(const GuideSeries& series, int index, const SummaryOptions& options,
                                const std::optional<Scale>& arcsec) {
  UnguidedRunSummary u;
  u.run = index;
  const RunSpan& span = series.runs[index];
  std::vector<const GuideSample*> kept;
  for (std::size_t i = span.first_sample; i < span.end_sample; ++i) {
    const GuideSample& s = series.samples[i];
    if (s.position && !Excluded(s.t, options.excluded)) kept.push_back(&s);
  }
  std::stable_sort(kept.begin(), kept.end(),
                   [](const GuideSample* a, const GuideSample* b) { return a->t < b->t; });
  u.samples = static_cast<int>(kept.size());
  if (kept.empty()) return u;
  u.span_s = kept.back()->t - kept.front()->t;
  if (kept.size() < 3 || !(u.span_s > 0.0)) return u;

  const double centre = (kept.front()->t + kept.back()->t) / 2.0;
  RunPoints p;
  for (const GuideSample* s : kept) {
    p.t.push_back(s->t - centre);
    p.x.push_back(s->ra_px);
    p.y.push_back(s->dec_px);
  }
  const std::optional<double> worm =
      options.worm_period_s && *options.worm_period_s > 0.0 ? options.worm_period_s : std::nullopt;
  double line_x[2] = {0.0, 0.0};
  double line_y[2] = {0.0, 0.0};
  if (!FitDriftLine(p, u.span_s / 2.0, 1.0, 0, line_x, line_y)) return u;
  // Without a worm period, the strongest period of the line's residual
  // stands in for it.
  std::optional<double> period = worm;
  if (!period) {
    const Periodogram first =
        PeriodogramOf(p, Residual(p, line_x), u.span_s, std::nullopt, std::nullopt);
    if (!first.peaks.empty()) period = first.peaks.front().period_s;
  }
  const bool with_harmonics =
      period && u.span_s >= *period && kept.size() > 2u * (2 + 2 * kHarmonicsFitted);
  if (with_harmonics &&
      FitDriftLine(p, u.span_s / 2.0, *period, kHarmonicsFitted, line_x, line_y)) {
    u.harmonics_fitted = kHarmonicsFitted;
    u.fit_period_s = *period;
  }
  u.has_figures = true;
  u.ra_rate_px_per_s = line_x[1];
  u.dec_rate_px_per_s = line_y[1];

  std::optional<double> pe_factor;  // RA pixels to RA-axis arcseconds
  if (arcsec) {
    u.ra_rate_arcsec_per_min = u.ra_rate_px_per_s * arcsec->ra * 60.0;
    u.dec_rate_arcsec_per_min = u.dec_rate_px_per_s * arcsec->dec * 60.0;
    u.polar_error_arcmin = std::fabs(*u.dec_rate_arcsec_per_min) / (3600.0 * kSiderealRate);
    const double dec = options.declination_deg.value_or(0.0);
    const double cos_dec = std::cos(dec / kDegreesPerRadian);
    if (std::fabs(cos_dec) >= 0.01) pe_factor = arcsec->ra / cos_dec;
  }

  const std::vector<double> r = Residual(p, line_x);
  u.periodogram = PeriodogramOf(p, r, u.span_s, worm, pe_factor);
  if (period) u.smoothing_s = *period / 20.0;
  // The slope is taken over twice the smoothing window: the steepest of
  // many short fits would mostly measure the noise.
  std::optional<double> unused_slope;
  double unused_peak_to_peak = 0.0;
  SmoothedCurve(p, r, u.smoothing_s, u.pe_peak_to_peak_px, unused_slope);
  SmoothedCurve(p, r, 2.0 * u.smoothing_s, unused_peak_to_peak, u.pe_max_slope_px_per_s);
  if (pe_factor) {
    u.pe_peak_to_peak_arcsec = u.pe_peak_to_peak_px * *pe_factor;
    if (u.pe_max_slope_px_per_s)
      u.pe_max_slope_arcsec_per_s = *u.pe_max_slope_px_per_s * *pe_factor;
  }
  return u;
}

// A small JSON text builder: commas and nesting kept right, numbers that
// are not finite (or absent) written as null.
class JsonWriter {
 public:
  JsonWriter& Open(char bracket) {
    Separate();
    out_ += bracket;
    first_ = true;
    return *this;
  }
  JsonWriter& Close(char bracket) {
    out_ += bracket;
    first_ = false;
    return *this;
  }
  JsonWriter& Key(const char* key) {
    Separate();
    out_ += '"';
    out_ += key;
    out_ += "\":";
    after_key_ = true;
    return *this;
  }
  JsonWriter& Text(const char* text) {
    Separate();
    out_ += '"';
    out_ += text;  // labels only: letters and digits
    out_ += '"';
    return *this;
  }
  JsonWriter& Number(double value, const char* format = "%.10g") {
    Separate();
    if (!std::isfinite(value)) {
      out_ += "null";
      return *this;
    }
    char text[40];
    std::snprintf(text, sizeof text, format, value);
    out_ += text;
    return *this;
  }
  JsonWriter& Number(const std::optional<double>& value) {
    if (value) return Number(*value);
    Separate();
    out_ += "null";
    return *this;
  }
  JsonWriter& Number(int value) { return Number(static_cast<double>(value)); }
  std::string Take() { return std::move(out_); }

 private:
  void Separate() {
    if (after_key_) {
      after_key_ = false;
      return;
    }
    if (!first_) out_ += ',';
    first_ = false;
  }
  std::string out_;
  bool first_ = true;
  bool after_key_ = false;
};

void WriteErrors(JsonWriter& j, const std::optional<ErrorFigures>& f) {
  if (!f) {
    j.Number(std::nullopt);
    return;
  }
  j.Open('{');
  j.Key("ra_rms").Number(f->ra_rms);
  j.Key("dec_rms").Number(f->dec_rms);
  j.Key("total_rms").Number(f->total_rms);
  j.Key("ra_peak").Number(f->ra_peak);
  j.Key("dec_peak").Number(f->dec_peak);
  j.Key("total_peak").Number(f->total_peak);
  j.Close('}');
}

void WriteFigures(JsonWriter& j, const GuidingFigures& g) {
  j.Open('{');
  j.Key("drift_samples").Number(g.drift_samples);
  j.Key("lost_stars").Number(g.lost_stars);
  j.Key("ra_corrections").Number(g.ra_corrections);
  j.Key("dec_corrections").Number(g.dec_corrections);
  j.Key("mean_ra_px").Number(g.mean_ra_px);
  j.Key("mean_dec_px").Number(g.mean_dec_px);
  j.Key("px");
  WriteErrors(j, g.px);
  j.Key("arcsec");
  WriteErrors(j, g.arcsec);
  j.Close('}');
}

void WritePeaks(JsonWriter& j, const std::vector<SpectrumPeak>& peaks) {
  j.Open('[');
  for (const SpectrumPeak& p : peaks) {
    j.Open('{');
    j.Key("period_s").Number(p.period_s);
    j.Key("power").Number(p.power);
    j.Key("amplitude_px").Number(p.amplitude_px);
    j.Key("amplitude_arcsec").Number(p.amplitude_arcsec);
    j.Key("harmonic").Number(p.harmonic);
    j.Close('}');
  }
  j.Close(']');
}

}  // namespace

int ReadLogForSummary(GuideLog& log, std::FILE* raw_file, DirectoryEntry& entry) {
  if (raw_file == nullptr) return 1;
  if (const int read = log.ReadRawFile(raw_file, entry); read != 0) return read;
  if (const int built = log.BuildEntities(GuideLog::UnnamedRepeats::kDrop); built != 0)
    return 100 + built;
  for (const LogEntity& e : log.entities)
    if (!HasEventRow(e.type)) return 301;
  return 0;
}

GuideSeries ExtractGuideSeries(const GuideLog& log) {
  GuideSeries series;
  const EntityList& entities = log.entities;
  if (entities.empty()) return series;
  series.origin_date = entities.front().clock_date;
  series.origin_tenths = entities.front().clock_tenths;

  // Times of every entity, counted step by step so that each change of
  // date is one day, as between neighbours it really is.
  std::size_t stars = 0;
  for (const LogEntity& e : entities) stars += e.type == ENTITY_STAR ? 1 : 0;
  series.samples.reserve(stars);
  long long tenths = 0;
  bool in_run = false;
  for (std::size_t i = 0; i < entities.size(); ++i) {
    const LogEntity& e = entities[i];
    if (i > 0) tenths += TenthsBetween(e, entities[i - 1]);
    if (e.type == ENTITY_CLOCK) continue;  // does not end a run of positions
    if (e.type != ENTITY_STAR) {
      in_run = false;
      continue;
    }
    GuideSample s;
    s.t = static_cast<double>(tenths) / 10.0;
    s.lost = e.star.no_star != 0;
    s.position = !s.lost && e.star.is_position != 0;
    s.ra_px = static_cast<float>(e.star.x / 256.0);
    s.dec_px = static_cast<float>(e.star.y / 256.0);
    if (e.star.ra_correction_flag) s.ra_correction_s = e.star.ra_correction / 32.0f;
    if (e.star.dec_correction_flag) s.dec_correction_s = e.star.dec_correction / 32.0f;
    if (s.position) {
      if (!in_run) {
        series.runs.push_back(RunSpan{s.t, s.t, series.samples.size(), series.samples.size()});
        in_run = true;
      }
      series.runs.back().end_s = s.t;
      series.runs.back().end_sample = series.samples.size() + 1;
    } else {
      in_run = false;
    }
    series.samples.push_back(s);
  }
  series.end_s = static_cast<double>(tenths) / 10.0;

  // Star entities become samples in order, so the samples of an entity
  // range are those counted before its two ends.
  EntityWalker walker(entities);

  int ae_number = 0;
  int external_number = 0;
  for (EntityPos from = log.begin_pos(); from < log.sentinel();) {
    const ExposureBounds b = FindGuidedExposure(log, from);
    if (b.start == log.sentinel()) break;
    ExposureSpan span;
    span.kind = b.ae_flag == 1 ? 'A' : 'X';
    // Asked in the order of the positions, so the walk only goes forward.
    span.first_sample = walker.StarsBefore(from);
    span.begin_s = walker.SecondsAt(b.start);
    span.end_s = b.end < log.sentinel() ? walker.SecondsAt(b.end) : series.end_s;
    span.end_sample = walker.StarsBefore(b.scan_end);
    // An exposure without star entities is skipped, as the report
    // skips it.
    if (span.end_sample > span.first_sample) {
      span.number = b.ae_flag == 1 ? ++ae_number : ++external_number;
      series.exposures.push_back(span);
    }
    if (b.scan_end == from || b.scan_end >= log.sentinel()) break;
    from = b.scan_end;
  }
  return series;
}

GuidingSummary SummarizeGuiding(const GuideSeries& series, const SummaryOptions& options) {
  GuidingSummary summary;
  std::optional<Scale> arcsec;
  if (options.focal_length_mm && *options.focal_length_mm > 0.0) {
    const double sx = kPixelPitchMm / *options.focal_length_mm * 3600.0 * kDegreesPerRadian;
    arcsec = Scale{sx, sx * kYScale};
    summary.arcsec_per_px_ra = arcsec->ra;
    summary.arcsec_per_px_dec = arcsec->dec;
  }
  for (std::size_t k = 0; k < series.exposures.size(); ++k) {
    const ExposureSpan& e = series.exposures[k];
    summary.exposures.push_back(ExposureSummary{
        static_cast<int>(k), FiguresOf(series, e.first_sample, e.end_sample, options, arcsec)});
  }
  summary.night = FiguresOf(series, 0, series.samples.size(), options, arcsec);
  for (std::size_t k = 0; k < series.runs.size(); ++k)
    summary.runs.push_back(SummarizeRun(series, static_cast<int>(k), options, arcsec));
  return summary;
}

std::string GuidingSummaryJson(const GuideSeries& series, const GuidingSummary& summary) {
  JsonWriter j;
  j.Open('{');
  j.Key("arcsec_per_px_ra").Number(summary.arcsec_per_px_ra);
  j.Key("arcsec_per_px_dec").Number(summary.arcsec_per_px_dec);
  j.Key("night");
  WriteFigures(j, summary.night);
  j.Key("exposures").Open('[');
  for (const ExposureSummary& e : summary.exposures) {
    const ExposureSpan& span = series.exposures[e.exposure];
    char label[16];
    std::snprintf(label, sizeof label, "%cE%03d", span.kind, span.number);
    j.Open('{');
    j.Key("label").Text(label);
    j.Key("begin_s").Number(span.begin_s);
    j.Key("end_s").Number(span.end_s);
    j.Key("guiding");
    WriteFigures(j, e.guiding);
    j.Close('}');
  }
  j.Close(']');
  j.Key("runs").Open('[');
  for (const UnguidedRunSummary& u : summary.runs) {
    const RunSpan& span = series.runs[u.run];
    j.Open('{');
    j.Key("begin_s").Number(span.begin_s);
    j.Key("end_s").Number(span.end_s);
    j.Key("samples").Number(u.samples);
    j.Key("span_s").Number(u.span_s);
    if (!u.has_figures) {
      j.Close('}');
      continue;
    }
    j.Key("harmonics_fitted").Number(u.harmonics_fitted);
    j.Key("fit_period_s").Number(u.fit_period_s);
    j.Key("ra_rate_px_per_s").Number(u.ra_rate_px_per_s);
    j.Key("dec_rate_px_per_s").Number(u.dec_rate_px_per_s);
    j.Key("ra_rate_arcsec_per_min").Number(u.ra_rate_arcsec_per_min);
    j.Key("dec_rate_arcsec_per_min").Number(u.dec_rate_arcsec_per_min);
    j.Key("polar_error_arcmin").Number(u.polar_error_arcmin);
    j.Key("smoothing_s").Number(u.smoothing_s);
    j.Key("pe_peak_to_peak_px").Number(u.pe_peak_to_peak_px);
    j.Key("pe_peak_to_peak_arcsec").Number(u.pe_peak_to_peak_arcsec);
    j.Key("pe_max_slope_px_per_s").Number(u.pe_max_slope_px_per_s);
    j.Key("pe_max_slope_arcsec_per_s").Number(u.pe_max_slope_arcsec_per_s);
    const Periodogram& g = u.periodogram;
    j.Key("periodogram").Open('{');
    j.Key("first_hz").Number(g.first_hz);
    j.Key("step_hz").Number(g.step_hz);
    j.Key("peaks");
    WritePeaks(j, g.peaks);
    j.Key("worm_harmonics");
    WritePeaks(j, g.worm_harmonics);
    j.Key("power").Open('[');
    for (double v : g.power) j.Number(v, "%.6g");
    j.Close(']');
    j.Close('}');
    j.Close('}');
  }
  j.Close(']');
  j.Close('}');
  return j.Take() + "\n";
}

}  // namespace ktal
