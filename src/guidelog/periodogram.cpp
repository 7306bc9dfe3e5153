// SPDX-License-Identifier: GPL-3.0-or-later
#include "guidelog/periodogram.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace ktal {
namespace {

constexpr int kMaxFrequencies = 4096;
constexpr int kPeaksKept = 5;
constexpr int kRefineSteps = 4;  // per grid step on each side
constexpr int kWormHarmonicsListed = 8;

// The sums of `count` frequencies first + k * step. Each sample's phase is
// advanced from one frequency to the next by one rotation, instead of a
// sine and cosine per frequency and sample; samples go in blocks of eight,
// whose rotations are independent of each other and can run side by side.
std::vector<LombScargleSums> BlockedSums(const std::vector<double>& times,
                                         const std::vector<double>& r, double first, double step,
                                         int count) {
  constexpr int kBlock = 8;
  std::vector<LombScargleSums> sums(count);
  const std::size_t n = r.size();
  for (std::size_t i0 = 0; i0 < n; i0 += kBlock) {
    // Lanes past the last sample stay zero and add nothing.
    double c[kBlock] = {}, s[kBlock] = {}, dc[kBlock] = {}, ds[kBlock] = {}, y[kBlock] = {};
    for (int j = 0; j < kBlock && i0 + j < n; ++j) {
      const double t = times[i0 + j];
      c[j] = std::cos(2.0 * std::numbers::pi * first * t);
      s[j] = std::sin(2.0 * std::numbers::pi * first * t);
      dc[j] = std::cos(2.0 * std::numbers::pi * step * t);
      ds[j] = std::sin(2.0 * std::numbers::pi * step * t);
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
      LombScargleSums& sum = sums[k];
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
    if (distance < 1.0 ||
        power <= 2.0 * s.power / (std::numbers::pi * std::numbers::pi * distance * distance))
      return true;
  }
  return false;
}

}  // namespace

double LombScarglePower(const LombScargleSums& s, double n, double ssq, double& amplitude) {
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

void FindPeaks(Periodogram& g, const SumsOnGrid& sums, double n, double ssq, double span,
               std::optional<double> worm, std::optional<double> arcsec_factor) {
  const int count = static_cast<int>(g.power.size());
  const double low = g.first_hz;
  const double step = g.step_hz;
  const double high = low + (count - 1) * step;
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
    const std::vector<LombScargleSums> around = sums(first, fine, 2 * kRefineSteps + 1);
    std::vector<double> powers(around.size(), -1.0);
    std::vector<double> amplitudes(around.size(), 0.0);
    std::size_t best = 0;
    for (std::size_t j = 0; j < around.size(); ++j) {
      if (first + j * fine > 0.0) powers[j] = LombScarglePower(around[j], n, ssq, amplitudes[j]);
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
    const std::vector<LombScargleSums> at = sums(1.0 / *worm, 1.0 / *worm, kWormHarmonicsListed);
    for (int k = 1; k <= kWormHarmonicsListed; ++k) {
      const double frequency = k / *worm;
      if (frequency < low || frequency > high) continue;
      double amplitude = 0.0;
      const double power = LombScarglePower(at[k - 1], n, ssq, amplitude);
      SpectrumPeak s = peak(frequency, power, amplitude);
      s.harmonic = k;
      g.worm_harmonics.push_back(s);
    }
  }
}

Periodogram LombScarglePeriodogram(const std::vector<double>& t, const std::vector<double>& r,
                                   double span, std::optional<double> worm,
                                   std::optional<double> arcsec_factor) {
  Periodogram g;
  const double n = static_cast<double>(r.size());
  double ssq = 0.0;
  for (double v : r) ssq += v * v;
  std::vector<double> intervals;
  for (std::size_t i = 1; i < t.size(); ++i) intervals.push_back(t[i] - t[i - 1]);
  std::sort(intervals.begin(), intervals.end());
  const double median = intervals[intervals.size() / 2];
  // The grid costs its length times the samples; the twenty-second floor
  // halves it against ten, for periods the smoothing removes anyway.
  const double shortest = std::max(2.0 * median, kShortestPeriodFloorS);
  const double low = 1.0 / span;
  const double high = 1.0 / shortest;
  if (high < low) return g;
  const double step = 1.0 / (2.0 * span);
  // A long run keeps its resolution and loses its shortest periods.
  const int count = static_cast<int>(
      std::min(std::floor((high - low) / step + 1e-9) + 1.0, static_cast<double>(kMaxFrequencies)));
  g.first_hz = low;
  g.step_hz = step;
  const std::vector<LombScargleSums> sums = BlockedSums(t, r, low, step, count);
  g.power.resize(count);
  for (int k = 0; k < count; ++k) {
    double amplitude = 0.0;
    g.power[k] = LombScarglePower(sums[k], n, ssq, amplitude);
  }
  FindPeaks(
      g,
      [&](double first, double grid_step, int grid_count) {
        return BlockedSums(t, r, first, grid_step, grid_count);
      },
      n, ssq, span, worm, arcsec_factor);
  return g;
}

}  // namespace ktal
