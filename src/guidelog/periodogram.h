// SPDX-License-Identifier: GPL-3.0-or-later
// Lomb-Scargle periodograms of uneven samples, as the guiding summary
// takes them of an unguided run's periodic error and of the guided RA
// drift: the power of a frequency, the peaks and how they are refined, the
// sidelobe and worm-harmonic rules.
//
// Power, classical form with the time offset tau, normalised by the
// values' sum of squares (the values r have their mean subtracted):
//   power(f) = [ (sum r cos w(t-tau))^2 / sum cos^2 w(t-tau)
//              + (sum r sin w(t-tau))^2 / sum sin^2 w(t-tau) ] / sum r^2
// with w = 2 pi f and tan(2 w tau) = sum sin 2wt / sum cos 2wt.
#pragma once

#include <functional>
#include <optional>
#include <vector>

namespace ktal {

// One peak of a periodogram, or its value at a worm harmonic.
struct SpectrumPeak {
  double period_s = 0.0;
  double power = 0.0;  // share of the variance, 0..1
  // Semi-amplitude of the best-fitting sine of that period, RA pixels.
  double amplitude_px = 0.0;
  // The same in arcseconds, where the caller gives the factor.
  std::optional<double> amplitude_arcsec;
  // k (1..8) when the period is the worm period / k (within half the
  // resolution, |f - k / P| <= 1 / (2 T), T the span of the samples); 0
  // when it is none of them.
  int harmonic = 0;
};

struct Periodogram {
  double first_hz = 0.0;
  double step_hz = 0.0;
  std::vector<double> power;  // power[k] at first_hz + k * step_hz
  // The strongest periods: the local maxima of the grid (power[k] >
  // power[k-1] and power[k] >= power[k+1], the ends compared with their
  // one neighbour) taken highest first, each one skipped when it is a
  // sidelobe of a peak already taken (closer than 1/T to it, or with a
  // power of at most 2 P / (pi T d)^2, P that peak's power and d the
  // distance in frequency: twice the sinc^2 leakage of a span T), until
  // five are taken. Each is refined on the 9 frequencies
  // f_k - df + j df/4, j = 0..8 (df the grid's step): the best of them
  // gives power and amplitude, and the top of the parabola through its
  // power and its neighbours' (when it has both and the parabola opens
  // downwards) the period. Strongest first.
  std::vector<SpectrumPeak> peaks;
  // The worm period and its harmonics P/k, k = 1..8, that lie in the grid's
  // band, evaluated exactly at k / P (empty without a worm period).
  std::vector<SpectrumPeak> worm_harmonics;
};

// Periods shorter than this are left out of every periodogram: they have
// under ten frames a cycle at the usual 2 s frames and are smoothed away
// from the periodic error anyway.
inline constexpr double kShortestPeriodFloorS = 20.0;

// The sums of one frequency that its power is made of: sum r cos wt,
// sum r sin wt, sum cos 2wt and sum sin 2wt.
struct LombScargleSums {
  double yc = 0.0;
  double ys = 0.0;
  double c2 = 0.0;
  double s2 = 0.0;
};

// Power (share of `ssq`, the values' sum of squares) of n values from
// their sums, and the semi-amplitude of the best sine in `amplitude`.
double LombScarglePower(const LombScargleSums& s, double n, double ssq, double& amplitude);

// The sums of `count` frequencies first + k * step, k = 0..count-1, each
// caller with the arithmetic that suits its samples.
using SumsOnGrid =
    std::function<std::vector<LombScargleSums>(double first, double step, int count)>;

// Fills in the peaks and worm harmonics of `g`, whose grid and power are
// given, by the rules above: `sums` gives the sums of the refinement and
// the harmonics, `n` and `ssq` are those of the power, `span` is T, and
// amplitudes in arcseconds are the pixels times `arcsec_factor`.
void FindPeaks(Periodogram& g, const SumsOnGrid& sums, double n, double ssq, double span,
               std::optional<double> worm, std::optional<double> arcsec_factor);

// The periodogram of the values r (mean subtracted) at the times t
// (ascending, spanning `span` seconds), on this grid: m the median interval
// between neighbouring samples (element count/2 of the sorted intervals),
// shortest period Pmin = max(2 m, kShortestPeriodFloorS); f_k = 1/T + k df,
// df = 1/(2T), for k = 0 .. floor((1/Pmin - 1/T) / df), but at most
// k = 4095: a long run keeps its resolution and loses its shortest
// periods. No grid when 1/Pmin < 1/T.
Periodogram LombScarglePeriodogram(const std::vector<double>& t, const std::vector<double>& r,
                                   double span, std::optional<double> worm,
                                   std::optional<double> arcsec_factor);

}  // namespace ktal
