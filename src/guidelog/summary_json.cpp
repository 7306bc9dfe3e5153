// SPDX-License-Identifier: GPL-3.0-or-later
#include "guidelog/summary_json.h"

#include <cmath>
#include <cstdio>
#include <utility>

#include "guidelog/guiding_summary.h"

namespace ktal {
namespace {

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

JsonWriter& JsonWriter::Open(char bracket) {
  Separate();
  out_ += bracket;
  first_ = true;
  return *this;
}

JsonWriter& JsonWriter::Close(char bracket) {
  out_ += bracket;
  first_ = false;
  return *this;
}

JsonWriter& JsonWriter::Key(const char* key) {
  Separate();
  out_ += '"';
  out_ += key;
  out_ += "\":";
  after_key_ = true;
  return *this;
}

JsonWriter& JsonWriter::Text(const char* text) {
  Separate();
  out_ += '"';
  out_ += text;
  out_ += '"';
  return *this;
}

JsonWriter& JsonWriter::Number(double value, const char* format) {
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

JsonWriter& JsonWriter::Number(const std::optional<double>& value) {
  if (value) return Number(*value);
  Separate();
  out_ += "null";
  return *this;
}

void JsonWriter::Separate() {
  if (after_key_) {
    after_key_ = false;
    return;
  }
  if (!first_) out_ += ',';
  first_ = false;
}

void WritePeriodogramJson(JsonWriter& j, const Periodogram& g) {
  j.Open('{');
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
    j.Key("periodogram");
    WritePeriodogramJson(j, u.periodogram);
    j.Close('}');
  }
  j.Close(']');
  j.Close('}');
  return j.Take() + "\n";
}

}  // namespace ktal
