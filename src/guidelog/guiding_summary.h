// SPDX-License-Identifier: GPL-3.0-or-later
// The guiding summary of a log: how well each guided exposure and the whole
// night were guided (RMS and peak of the star's drift, in pixels and in
// arcseconds), and what each unguided run of star positions says about the
// mount (drift rates, polar-alignment error, periodic error and its
// periodogram).
//
// The work is split so that another implementation (the analysis page's
// script) can repeat the statistics on the same numbers:
// ExtractGuideSeries (guide_series.h) turns the log into plain per-sample
// values once, and SummarizeGuiding computes every figure from those values
// alone, with excluded time ranges taken out as if their samples were not
// in the log. Every rule that decides a figure is written down below or
// beside the code it belongs to: the series and its units in
// guide_series.h, the drift line and the smoothing in least_squares.h, the
// periodogram with its grid and peaks in periodogram.h; the summary as JSON
// is written by summary_json.h.
//
// - Pixel scale (arcseconds per pixel), from the focal length F in mm:
//   sx along x (RA) and sy along y (DEC), as pixel_scale.h gives them.
// - RMS is taken about the mean (population standard deviation, divisor n),
//   as guiding tools show it; total RMS = sqrt(ra_rms^2 + dec_rms^2).
//   Peak is the largest distance from the mean: max |x - mean| per axis,
//   and for the total max sqrt(dx^2 + dy^2) over the samples. Arcsecond
//   figures are computed on x * sx and y * sy, so the total ones are not a
//   multiple of the pixel ones.
#pragma once

#include <optional>
#include <vector>

#include "guidelog/guide_series.h"
#include "guidelog/periodogram.h"
#include "guidelog/summary_json.h"

namespace ktal {

struct SummaryOptions {
  std::optional<double> focal_length_mm;  // arcsecond figures need it
  std::optional<double> worm_period_s;    // worm harmonics in the drift
                                          // fit and the periodogram
  std::optional<double> declination_deg;  // RA-axis periodic error
  // Samples with begin_s <= t <= end_s for any range are left out of
  // every figure, exactly as if they were not in the log.
  std::vector<TimeRange> excluded;
};

// RMS and peak of one set of drift values, in one unit.
struct ErrorFigures {
  double ra_rms = 0.0;
  double dec_rms = 0.0;
  double total_rms = 0.0;
  double ra_peak = 0.0;
  double dec_peak = 0.0;
  double total_peak = 0.0;
};

// The guiding of a stretch of the night. Drift samples are the star
// entities that are neither lost nor absolute positions.
struct GuidingFigures {
  int drift_samples = 0;
  int lost_stars = 0;
  // Samples whose correction of that axis is not 0 (as the report counts).
  int ra_corrections = 0;
  int dec_corrections = 0;
  double mean_ra_px = 0.0;
  double mean_dec_px = 0.0;
  // Present when drift_samples > 0.
  std::optional<ErrorFigures> px;
  // Present when drift_samples > 0 and the focal length is known.
  std::optional<ErrorFigures> arcsec;
};

struct ExposureSummary {
  int exposure = 0;  // index into GuideSeries::exposures
  GuidingFigures guiding;
};

// What an unguided run tells about the mount. Figures need at least 3
// samples spanning more than 0 s after the exclusions.
//
// Drift line: least squares of x (and of y) against t over the run,
//   x(t) = a + b (t - tc) + sum_k [c_k sin(2 pi k (t - tc) / P) + d_k cos(..)]
// with tc the middle of the run's first and last remaining sample. The sum
// runs over k = 1..4 when the run spans at least one P and has more than
// 20 samples (otherwise there is no sum): a periodic error over a part of a
// period, or over a part of its last period, would otherwise tilt the line.
// P is the worm period when given; without one, the strongest period of a
// first periodogram of the residual of the plain line (a, b only). The
// drift rate is b.
//
// Periodic error: the RA residual r = x - (a + b (t - tc)), the periodic
// part kept, mean subtracted; the periodogram is taken of it
// (LombScarglePeriodogram, its amplitudes in RA-axis arcseconds). It is
// smoothed by the mean over the samples within w/2 of each sample
// (|t_j - t_i| <= w/2), w = P / 20 (0, no smoothing, without a P); its
// peak-to-peak is max - min of the smoothed values, its steepest slope the
// largest |least-squares slope| of r over the windows of twice that width,
// |t_j - t_i| <= w, of at least 3 samples (the wider window keeps the
// noise of the position from passing for a slope).
//
// Polar alignment: a polar axis off by e (radians) makes a star drift in
// declination at w_sid * e_perp, where w_sid = 2 pi / 86164.0905 s is the
// sidereal rate and e_perp the part of e across the star's hour circle; to
// first order this does not depend on the star's declination (the classic
// drift-method relation's 1 / cos(dec) is not used). So
//   e_perp [arcmin] = |DEC drift [arcsec/min]| / (3600 * w_sid)
//                   = 3.8093 * |DEC drift [arcsec/min]|,
// a lower bound of the whole error (measured near the meridian it is the
// azimuth error, near the east or west horizon the altitude error). It
// holds for stars away from the pole (|dec| below about 80 degrees).
//
// Arcseconds: drift rates on the sky (x * sx, y * sy per minute). The
// periodic error in RA-axis arcseconds, the worm's own angle: x * sx /
// cos(dec), dec 0 when not given; not given for |cos(dec)| < 0.01.
struct UnguidedRunSummary {
  int run = 0;      // index into GuideSeries::runs
  int samples = 0;  // after the exclusions
  double span_s = 0.0;
  bool has_figures = false;   // the rest is valid only when true
  int harmonics_fitted = 0;   // K of the drift line, 0 or 4
  double fit_period_s = 0.0;  // P of those harmonics; 0 without
  double ra_rate_px_per_s = 0.0;
  double dec_rate_px_per_s = 0.0;
  std::optional<double> ra_rate_arcsec_per_min;
  std::optional<double> dec_rate_arcsec_per_min;
  std::optional<double> polar_error_arcmin;
  double smoothing_s = 0.0;  // w; 0: not smoothed
  double pe_peak_to_peak_px = 0.0;
  std::optional<double> pe_peak_to_peak_arcsec;
  std::optional<double> pe_max_slope_px_per_s;  // needs windows of 3
  std::optional<double> pe_max_slope_arcsec_per_s;
  Periodogram periodogram;
};

struct GuidingSummary {
  std::optional<double> arcsec_per_px_ra;   // sx, when F is known
  std::optional<double> arcsec_per_px_dec;  // sy
  std::vector<ExposureSummary> exposures;   // one per series exposure
  GuidingFigures night;                     // every sample of the log
  std::vector<UnguidedRunSummary> runs;     // one per series run
};

// Every figure of the series, without the excluded samples.
GuidingSummary SummarizeGuiding(const GuideSeries& series, const SummaryOptions& options);
// The same without the unguided runs (left empty), whose fits and
// periodograms cost most of the time: for the exposures' table.
GuidingSummary SummarizeExposures(const GuideSeries& series, const SummaryOptions& options);

}  // namespace ktal
