// The guiding summary of a log: how well each guided exposure and the whole
// night were guided (RMS and peak of the star's drift, in pixels and in
// arcseconds), and what each unguided run of star positions says about the
// mount (drift rates, polar-alignment error, periodic error and its
// periodogram).
//
// The work is split in two so that another implementation (the analysis
// page's script) can repeat the statistics on the same numbers:
// ExtractGuideSeries turns the log into plain per-sample values once, and
// SummarizeGuiding computes every figure from those values alone, with
// excluded time ranges taken out as if their samples were not in the log.
// Every rule that decides a figure is written down below.
//
// Units and conventions
// - Time: seconds since the log's first entity, always a whole number of
//   tenths (t = tenths / 10.0), counted from entity to entity with
//   SecondsBetween so that midnight is crossed correctly.
// - Drift and positions: the star entity's x / 256 and y / 256 in sensor
//   pixels. x is the RA axis and y the DEC axis, as the guider corrects
//   them and as the report names them.
// - Pixel scale (arcseconds per pixel), from the focal length F in mm:
//   RA (x):  sx = 0.00485 / F * 3600 * 57.29577951309679
//   DEC (y): sy = sx * 0.9587629437446594 (the y pixels are 4.65 um high,
//   the x pixels 4.85 um wide).
// - RMS is taken about the mean (population standard deviation, divisor n),
//   as guiding tools show it; total RMS = sqrt(ra_rms^2 + dec_rms^2).
//   Peak is the largest distance from the mean: max |x - mean| per axis,
//   and for the total max sqrt(dx^2 + dy^2) over the samples. Arcsecond
//   figures are computed on x * sx and y * sy, so the total ones are not a
//   multiple of the pixel ones.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "guidelog/guide_log.h"

namespace ktal {

// One star entity of the log.
struct GuideSample {
  double t = 0.0;  // seconds since the log's first entity
  // Floats hold these exactly (x and y have at most 24 bits, corrections 8)
  // and keep a full night's samples at 32 bytes each.
  float ra_px = 0.0f;            // x / 256: drift, or absolute position
  float dec_px = 0.0f;           // y / 256
  float ra_correction_s = 0.0f;  // signed, correction / 32; 0 when none
  float dec_correction_s = 0.0f;
  bool lost = false;      // no_star: no position, no correction
  bool position = false;  // is_position: an absolute position
};

// A guided exposure as the report finds and numbers it: an AutoExposure
// exposure ('A', AE001...) or an external one ('X', XE001...). Its samples
// are samples[first_sample, end_sample).
struct ExposureSpan {
  char kind = 'A';
  int number = 0;        // the report's number within its kind
  double begin_s = 0.0;  // the entity that started it
  double end_s = 0.0;    // the entity that ended it, or the log's
                         // last entity when it was still running
  std::size_t first_sample = 0;
  std::size_t end_sample = 0;
};

// An unguided run: a maximal sequence of absolute star positions (clock
// entities inside it do not end it). Its samples are
// samples[first_sample, end_sample), all positions.
struct RunSpan {
  double begin_s = 0.0;  // time of its first position
  double end_s = 0.0;    // time of its last position
  std::size_t first_sample = 0;
  std::size_t end_sample = 0;
};

// The whole night as plain numbers.
struct GuideSeries {
  // The clock of the log's first entity, the zero of every time.
  std::uint16_t origin_date = 0;
  std::uint32_t origin_tenths = 0;
  double end_s = 0.0;                // time of the log's last entity
  std::vector<GuideSample> samples;  // every star entity, in log order
  std::vector<ExposureSpan> exposures;
  std::vector<RunSpan> runs;
};

// Reads a raw file into a fresh `log` and builds its entities as
// ProcessRawFile does, so that a summary takes no more memory than
// processing (a log of any bits keeps at most one entity per byte of its
// stream) and refuses what processing refuses: 0, or the code
// ProcessRawFile gives the log before it writes anything: 1, 2, 3 from
// ReadRawFile, 101 a stream error, 301 an entity the events table has no
// row for.
int ReadLogForSummary(GuideLog& log, std::FILE* raw_file, DirectoryEntry& entry);

// Reads the series out of a built log (BuildEntities done). The log is not
// changed; the exposures are found exactly as the report finds them.
GuideSeries ExtractGuideSeries(const GuideLog& log);

// A closed time range [begin_s, end_s] in series seconds; a range given
// backwards covers the same span.
struct TimeRange {
  double begin_s = 0.0;
  double end_s = 0.0;
};

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

// One peak of a periodogram, or its value at a worm harmonic.
struct SpectrumPeak {
  double period_s = 0.0;
  double power = 0.0;  // share of the variance, 0..1
  // Semi-amplitude of the best-fitting sine of that period, RA pixels.
  double amplitude_px = 0.0;
  // The same in RA-axis arcseconds (see UnguidedRunSummary).
  std::optional<double> amplitude_arcsec;
  // k (1..8) when the period is the worm period / k (within half the
  // resolution, |f - k / P| <= 1 / (2 T)); 0 when it is none of them.
  int harmonic = 0;
};

// Lomb-Scargle periodogram of the RA periodic error of a run (its residual
// after the drift line is removed, mean subtracted), classical form with the
// time offset tau, normalised by the residual's sum of squares:
//   power(f) = [ (sum r cos w(t-tau))^2 / sum cos^2 w(t-tau)
//              + (sum r sin w(t-tau))^2 / sum sin^2 w(t-tau) ] / sum r^2
// with w = 2 pi f and tan(2 w tau) = sum sin 2wt / sum cos 2wt.
// Grid: span T = last - first time, m = the median interval between
// neighbouring samples (element count/2 of the sorted intervals), shortest
// period Pmin = max(2 m, 20 s) (faster wobbles have under ten frames a
// cycle at the usual 2 s frames and are smoothed away from the periodic
// error anyway); f_k = 1/T + k df, df = 1/(2T), for
// k = 0 .. floor((1/Pmin - 1/T) / df), but at most k = 4095: a long run
// keeps its resolution and loses its shortest periods. No grid when
// 1/Pmin < 1/T.
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
  // f_k - df + j df/4, j = 0..8: the best of them gives power and
  // amplitude, and the top of the parabola through its power and its
  // neighbours' (when it has both and the parabola opens downwards) the
  // period. Strongest first.
  std::vector<SpectrumPeak> peaks;
  // The worm period and its harmonics P/k, k = 1..8, that lie in the grid's
  // band, evaluated exactly at k / P (empty without a worm period).
  std::vector<SpectrumPeak> worm_harmonics;
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
// part kept, mean subtracted; the periodogram is taken of it. It is
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

// The summary as one JSON object (absent figures as null), with the
// series' exposure labels and time ranges, for scripts and pages.
std::string GuidingSummaryJson(const GuideSeries& series, const GuidingSummary& summary);

}  // namespace ktal
