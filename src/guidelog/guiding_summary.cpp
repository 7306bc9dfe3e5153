// SPDX-License-Identifier: GPL-3.0-or-later
#include "guidelog/guiding_summary.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "guidelog/least_squares.h"
#include "guidelog/pixel_scale.h"

namespace ktal {
namespace {

ErrorFigures ErrorsOf(const std::vector<const GuideSample*>& drift, double mean_ra, double mean_dec,
                      PixelScale s) {
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
                         const SummaryOptions& options, const std::optional<PixelScale>& arcsec) {
  GuidingFigures g;
  std::vector<const GuideSample*> drift;
  double sum_ra = 0.0;
  double sum_dec = 0.0;
  for (std::size_t i = first; i < end; ++i) {
    const GuideSample& s = series.samples[i];
    if (IsExcluded(s.t, options.excluded)) continue;
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
  g.px = ErrorsOf(drift, g.mean_ra_px, g.mean_dec_px, PixelScale{});
  if (arcsec) g.arcsec = ErrorsOf(drift, g.mean_ra_px, g.mean_dec_px, *arcsec);
  return g;
}

// Sidereal rate in radians per second: one turn per sidereal day.
constexpr double kSiderealRate = 2.0 * std::numbers::pi / 86164.0905;
constexpr int kHarmonicsFitted = 4;

// The samples of a run that count, times relative to the run's middle.
struct RunPoints {
  std::vector<double> t;  // seconds relative to tc
  std::vector<double> x;
  std::vector<double> y;
};

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
                                const std::optional<PixelScale>& arcsec) {
  UnguidedRunSummary u;
  u.run = index;
  const RunSpan& span = series.runs[index];
  std::vector<const GuideSample*> kept;
  for (std::size_t i = span.first_sample; i < span.end_sample; ++i) {
    const GuideSample& s = series.samples[i];
    if (s.position && !IsExcluded(s.t, options.excluded)) kept.push_back(&s);
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
  if (!FitLinesWithHarmonics(p.t, p.x, p.y, u.span_s / 2.0, 1.0, 0, line_x, line_y)) return u;
  // Without a worm period, the strongest period of the line's residual
  // stands in for it.
  std::optional<double> period = worm;
  if (!period) {
    const Periodogram first =
        LombScarglePeriodogram(p.t, Residual(p, line_x), u.span_s, std::nullopt, std::nullopt);
    if (!first.peaks.empty()) period = first.peaks.front().period_s;
  }
  const bool with_harmonics =
      period && u.span_s >= *period && kept.size() > 2u * (2 + 2 * kHarmonicsFitted);
  if (with_harmonics && FitLinesWithHarmonics(p.t, p.x, p.y, u.span_s / 2.0, *period,
                                              kHarmonicsFitted, line_x, line_y)) {
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
  u.periodogram = LombScarglePeriodogram(p.t, r, u.span_s, worm, pe_factor);
  if (period) u.smoothing_s = *period / 20.0;
  // The slope is taken over twice the smoothing window: the steepest of
  // many short fits would mostly measure the noise.
  std::optional<double> unused_slope;
  double unused_peak_to_peak = 0.0;
  SmoothedCurve(p.t, r, u.smoothing_s, u.pe_peak_to_peak_px, unused_slope);
  SmoothedCurve(p.t, r, 2.0 * u.smoothing_s, unused_peak_to_peak, u.pe_max_slope_px_per_s);
  if (pe_factor) {
    u.pe_peak_to_peak_arcsec = u.pe_peak_to_peak_px * *pe_factor;
    if (u.pe_max_slope_px_per_s)
      u.pe_max_slope_arcsec_per_s = *u.pe_max_slope_px_per_s * *pe_factor;
  }
  return u;
}

}  // namespace

namespace {

// Arcseconds per pixel, when the focal length is known.
std::optional<PixelScale> ArcsecScale(const SummaryOptions& options) {
  if (!options.focal_length_mm || !(*options.focal_length_mm > 0.0)) return std::nullopt;
  return ArcsecPerPixel(*options.focal_length_mm);
}

}  // namespace

GuidingSummary SummarizeExposures(const GuideSeries& series, const SummaryOptions& options) {
  GuidingSummary summary;
  const std::optional<PixelScale> arcsec = ArcsecScale(options);
  if (arcsec) {
    summary.arcsec_per_px_ra = arcsec->ra;
    summary.arcsec_per_px_dec = arcsec->dec;
  }
  for (std::size_t k = 0; k < series.exposures.size(); ++k) {
    const ExposureSpan& e = series.exposures[k];
    summary.exposures.push_back(ExposureSummary{
        static_cast<int>(k), FiguresOf(series, e.first_sample, e.end_sample, options, arcsec)});
  }
  summary.night = FiguresOf(series, 0, series.samples.size(), options, arcsec);
  return summary;
}

GuidingSummary SummarizeGuiding(const GuideSeries& series, const SummaryOptions& options) {
  GuidingSummary summary = SummarizeExposures(series, options);
  const std::optional<PixelScale> arcsec = ArcsecScale(options);
  for (std::size_t k = 0; k < series.runs.size(); ++k)
    summary.runs.push_back(SummarizeRun(series, static_cast<int>(k), options, arcsec));
  return summary;
}

}  // namespace ktal
