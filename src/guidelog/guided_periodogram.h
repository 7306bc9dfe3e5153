// SPDX-License-Identifier: GPL-3.0-or-later
// The periodogram of the guided RA drift: the periodic error the guiding
// left in the images (the residual periodic error), per guided exposure
// and for the whole night. The analysis page repeats it rule for rule
// (summary.js), as it does the guiding summary.
//
// Samples: the drift samples (neither lost stars nor absolute positions)
// of the guided exposures, without the excluded ones; an exposure with
// fewer than 3 of them is left out. Each exposure's mean RA drift is taken
// from its own samples: a new lock or a dither moves the star's mean from
// one exposure to the next, which would otherwise pass for power at long
// periods. No line is removed: guiding holds the star, so a trend that is
// left is a fault of the guiding worth showing. The gaps between exposures
// stay gaps (Lomb-Scargle takes uneven samples), and as the worm turns on
// through them, the exposures of a night add up in phase.
//
// Bins: the samples, in time order, are averaged in bins of width b from
// the first sample's time t0 (bin j holds t0 + j b <= t < t0 + (j + 1) b)
// with b = Pmin / 10, Pmin = max(2 m, 20 s) as for the unguided runs and m
// the median interval between neighbouring samples of one exposure. A bin
// of width b weakens a sine of period P by sinc(b / P), at most 1.6 % at
// Pmin; a night of 0.1 s frames becomes a few thousand bins. A span T of
// more than 65535 b (days, as a jumping clock gives) widens the bins to
// T / 65535, and Pmin becomes 10 b. The bins that hold a sample are the
// periodogram's values, at the times j b, each the mean of its samples,
// less the mean of them all.
//
// Grid: M is the smallest power of two of at least 2 N, N = floor(T / b) +
// 1 the bins of the span; f_k = k / (M b) (steps of 1/(2T) to 1/(4T)), for
// k = max(1, ceil(M b / L)) .. floor(M / 10): L is the longest span of one
// exposure's samples (longer periods left with the means), and M / (10 M b)
// is 1 / Pmin. One FFT of the values and one of the bins' weights give the
// Lomb-Scargle sums of the whole grid (at f_k and 2 f_k) at once, which is
// what keeps a night fast enough to follow every exclusion. No grid with
// fewer than 3 values or when the band is empty.
//
// Power (share of the variance) and amplitude are the Lomb-Scargle of the
// values (periodogram.h); the peaks (five, refined, sidelobes skipped) and
// the worm harmonics (P / k, k = 1..8, within the band) follow its rules,
// as the runs' do, with the span T. Amplitudes in arcseconds are on the
// sky (x * sx), as the guiding RMS is.
#pragma once

#include <string>
#include <vector>

#include "guidelog/guiding_summary.h"

namespace ktal {

struct GuidedRaPeriodogram {
  int samples = 0;      // drift samples used
  int bins = 0;         // bins that hold a sample
  double span_s = 0.0;  // T
  double bin_s = 0.0;   // b; 0 without a grid
  // Empty (no power, no peaks) without a grid.
  Periodogram periodogram;
};

struct GuidedRaSummary {
  GuidedRaPeriodogram night;                   // all exposures together
  std::vector<GuidedRaPeriodogram> exposures;  // one per series exposure
};

// The periodograms of the series' guided exposures, without the excluded
// samples; the focal length gives the arcsecond amplitudes, the worm
// period its harmonics.
GuidedRaSummary SummarizeGuidedRa(const GuideSeries& series, const SummaryOptions& options);

// The same as one JSON object: {"night": {...}, "exposures": [{"label":
// "AE001", ...}, ...]}, each with samples, bins, span_s, bin_s and a
// periodogram as the runs' (first_hz, step_hz, peaks, worm_harmonics,
// power), absent figures as null.
std::string GuidedRaJson(const GuideSeries& series, const GuidedRaSummary& summary);

}  // namespace ktal
