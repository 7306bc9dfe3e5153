// SPDX-License-Identifier: GPL-3.0-or-later
// The guiding summary as JSON, for scripts and pages: one object with the
// figures of the night, of each exposure and of each unguided run, absent
// figures as null, with the series' exposure labels and time ranges.
#pragma once

#include <optional>
#include <string>
#include <utility>

namespace ktal {

struct GuideSeries;
struct GuidingSummary;
struct Periodogram;

// A small JSON text builder: commas and nesting kept right, numbers that
// are not finite (or absent) written as null.
class JsonWriter {
 public:
  JsonWriter& Open(char bracket);
  JsonWriter& Close(char bracket);
  JsonWriter& Key(const char* key);
  // Labels only: letters and digits, written as they are.
  JsonWriter& Text(const char* text);
  JsonWriter& Number(double value, const char* format = "%.10g");
  JsonWriter& Number(const std::optional<double>& value);
  JsonWriter& Number(int value) { return Number(static_cast<double>(value)); }
  std::string Take() { return std::move(out_); }

 private:
  void Separate();
  std::string out_;
  bool first_ = true;
  bool after_key_ = false;
};

// A periodogram as one object: first_hz, step_hz, peaks and worm_harmonics
// (each peak's period_s, power, amplitude_px, amplitude_arcsec and
// harmonic) and power, its values with six digits.
void WritePeriodogramJson(JsonWriter& j, const Periodogram& g);

// The summary as one JSON object and a line break.
std::string GuidingSummaryJson(const GuideSeries& series, const GuidingSummary& summary);

}  // namespace ktal
