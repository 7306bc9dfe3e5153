// SPDX-License-Identifier: GPL-3.0-or-later
#include "guidelog/analysis_page.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <functional>
#include <utility>

#include "guidelog/analysis_page_template.h"
#include "guidelog/decimal_text.h"
#include "guidelog/pixel_scale.h"
#include "guidelog/replacing_file.h"

namespace ktal {
namespace {

void AppendInteger(std::string& out, long long value) {
  char buffer[kDecimalMax];
  out.append(buffer, WriteSigned(buffer, value));
}

// The shortest text that reads back as the same double, as the page's
// JSON.parse will read it; null for a missing or non-finite value.
void AppendReal(std::string& out, const std::optional<double>& value) {
  if (!value || !std::isfinite(*value)) {
    out += "null";
    return;
  }
  char buffer[32];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, *value);
  out.append(buffer, result.ptr);
}

// A JSON string of printable ASCII. '<' is escaped so that no text can end
// the script element that holds the data.
void AppendString(std::string& out, std::string_view text) {
  out += '"';
  for (const char c : text) {
    if (c == '"' || c == '\\')
      (out += '\\') += c;
    else if (c == '<')
      out += "\\u003c";
    else if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7e)
      out += '?';
    else
      out += c;
  }
  out += '"';
}

// Every time the page holds is a whole number of tenths over ten, within
// far less than half a tenth, so rounding it needs no library call.
long long Tenths(double seconds) {
  const double scaled = seconds * 10.0;
  return static_cast<long long>(scaled < 0.0 ? scaled - 0.5 : scaled + 0.5);
}

// Hands the text gathered so far to its destination and empties it; false
// when the destination takes no more.
using Spill = std::function<bool(std::string&)>;

// Text is handed on in pieces of about this size, so that a night of a
// million samples is never held whole.
constexpr std::size_t kSpillBytes = 64 * 1024;

// One column of the samples: "name":[v0,v1,...]. The numbers are formatted
// a batch at a time into a buffer of their own: a night has millions.
template <typename Value>
bool AppendColumn(std::string& out, const Spill& spill, const char* name, const GuideSeries& series,
                  Value value) {
  out += '"';
  out += name;
  out += "\":[";
  constexpr std::size_t kBatch = 256;
  char buffer[kBatch * (kDecimalMax + 1)];
  const std::size_t n = series.samples.size();
  for (std::size_t first = 0; first < n; first += kBatch) {
    char* end = buffer;
    for (std::size_t i = first; i < std::min(n, first + kBatch); ++i) {
      if (i > 0) *end++ = ',';
      end = WriteSigned(end, value(i));
    }
    out.append(buffer, end);
    if (out.size() >= kSpillBytes && !spill(out)) return false;
  }
  out += ']';
  return true;
}

// The data block (see AnalysisPageData), handed to `spill` piece by piece;
// the last piece is left in `out`.
bool AppendPageData(std::string& out, const Spill& spill, const GuideSeries& series,
                    const SummaryOptions& options, std::uint32_t file_id,
                    std::string_view generation_time) {
  const std::vector<GuideSample>& s = series.samples;
  char name[16];
  std::snprintf(name, sizeof name, "QD%06x", static_cast<unsigned>(file_id & 0xFFFFFF));
  out += "{\"file\":";
  AppendString(out, name);
  out += ",\"generated\":";
  AppendString(out, generation_time);
  out += ",\"origin\":{\"date\":";
  AppendInteger(out, series.origin_date);
  out += ",\"tenths\":";
  AppendInteger(out, series.origin_tenths);
  out += "},\"end\":";
  AppendInteger(out, Tenths(series.end_s));
  out += ",\"options\":{\"focal_mm\":";
  AppendReal(out, options.focal_length_mm);
  out += ",\"worm_s\":";
  AppendReal(out, options.worm_period_s);
  out += ",\"dec_deg\":";
  AppendReal(out, options.declination_deg);
  out += "},\n\"samples\":{";
  // Times as steps from the previous sample: most are a few tenths.
  long long previous = 0;
  if (!AppendColumn(out, spill, "dt", series, [&](std::size_t i) {
        const long long tenths = Tenths(s[i].t);
        const long long step = tenths - (i > 0 ? previous : 0);
        previous = tenths;
        return step;
      }))
    return false;
  out += ",\n";
  // Samples hold whole 1/256 pixels and 1/32 seconds exactly, so these
  // products need no rounding.
  if (!AppendColumn(out, spill, "x", series,
                    [&](std::size_t i) { return static_cast<long long>(s[i].ra_px * 256.0); }))
    return false;
  out += ",\n";
  if (!AppendColumn(out, spill, "y", series,
                    [&](std::size_t i) { return static_cast<long long>(s[i].dec_px * 256.0); }))
    return false;
  out += ",\n";
  if (!AppendColumn(out, spill, "cx", series, [&](std::size_t i) {
        return static_cast<long long>(s[i].ra_correction_s * 32.0);
      }))
    return false;
  out += ",\n";
  if (!AppendColumn(out, spill, "cy", series, [&](std::size_t i) {
        return static_cast<long long>(s[i].dec_correction_s * 32.0);
      }))
    return false;
  out += ",\n";
  // 0 a drift, 1 an absolute position, 2 a lost star.
  if (!AppendColumn(out, spill, "kind", series, [&](std::size_t i) {
        return s[i].lost ? 2 : s[i].position ? 1 : 0;
      }))
    return false;
  out += "},\n\"exposures\":[";
  for (std::size_t k = 0; k < series.exposures.size(); ++k) {
    const ExposureSpan& e = series.exposures[k];
    out += k > 0 ? ",{\"kind\":" : "{\"kind\":";
    AppendString(out, std::string_view(&e.kind, 1));
    out += ",\"number\":";
    AppendInteger(out, e.number);
    out += ",\"begin\":";
    AppendInteger(out, Tenths(e.begin_s));
    out += ",\"end\":";
    AppendInteger(out, Tenths(e.end_s));
    out += ",\"first\":";
    AppendInteger(out, static_cast<long long>(e.first_sample));
    out += ",\"end_sample\":";
    AppendInteger(out, static_cast<long long>(e.end_sample));
    out += '}';
    if (out.size() >= kSpillBytes && !spill(out)) return false;
  }
  out += "],\n\"runs\":[";
  for (std::size_t k = 0; k < series.runs.size(); ++k) {
    const RunSpan& r = series.runs[k];
    out += k > 0 ? ",{\"begin\":" : "{\"begin\":";
    AppendInteger(out, Tenths(r.begin_s));
    out += ",\"end\":";
    AppendInteger(out, Tenths(r.end_s));
    out += ",\"first\":";
    AppendInteger(out, static_cast<long long>(r.first_sample));
    out += ",\"end_sample\":";
    AppendInteger(out, static_cast<long long>(r.end_sample));
    out += '}';
    if (out.size() >= kSpillBytes && !spill(out)) return false;
  }
  out += "]}";
  return true;
}

// The shortest text that reads back as the same double, as the script
// reads a number.
std::string ShortestText(double value) {
  char buffer[32];
  return std::string(buffer, std::to_chars(buffer, buffer + sizeof buffer, value).ptr);
}

// The page as written, the log's data marker aside: the template with the
// camera's pixel constants in the script, so that the page computes with
// the very numbers the program does. Made once.
std::string_view PageTemplate() {
  static const std::string page = [] {
    std::string text(AnalysisPageTemplate());
    for (const auto& [marker, value] : {std::pair{kPixelPitchMarker, kPixelPitchMm},
                                        std::pair{kPixelYScaleMarker, kPixelYScale}}) {
      const std::size_t at = text.find(marker);
      if (at != std::string::npos) text.replace(at, marker.size(), ShortestText(value));
    }
    return text;
  }();
  return page;
}

}  // namespace

std::string AnalysisPageData(const GuideSeries& series, const SummaryOptions& options,
                             std::uint32_t file_id, std::string_view generation_time) {
  std::string out;
  // About 25 characters a sample in six columns.
  out.reserve(512 + series.samples.size() * 26 +
              (series.exposures.size() + series.runs.size()) * 80);
  AppendPageData(
      out, [](std::string&) { return true; }, series, options, file_id, generation_time);
  return out;
}

int WriteAnalysisPage(const GuideLog& log, std::uint32_t file_id, const SummaryOptions& options,
                      std::string_view generation_time, OutputBudget* budget) {
  return WriteAnalysisPage(ExtractGuideSeries(log), file_id, options, generation_time, budget);
}

int WriteAnalysisPage(const GuideSeries& series, std::uint32_t file_id,
                      const SummaryOptions& options, std::string_view generation_time,
                      OutputBudget* budget) {
  const std::string_view page = PageTemplate();
  const std::size_t marker = page.find(kAnalysisDataMarker);
  // The build guarantees the marker; without it the page gets no data.
  const std::string_view head =
      page.substr(0, marker == std::string_view::npos ? page.size() : marker);
  const std::string_view tail = marker == std::string_view::npos
                                    ? std::string_view()
                                    : page.substr(marker + kAnalysisDataMarker.size());
  if (budget != nullptr && !(budget->TakeFile() && budget->TakeBytes(head.size() + tail.size()))) {
    PrintBudgetExceeded(*budget, kAnalysisPageName);
    return kAnalysisOverBudget;
  }

  ReplacingFile file(kAnalysisPageName);
  if (file.stream() == nullptr) {
    std::printf("ERROR: can't create analysis HTML file\n");
    return kAnalysisNotCreated;
  }
  bool written = marker != std::string_view::npos &&
                 std::fwrite(head.data(), 1, head.size(), file.stream()) == head.size();
  bool over_budget = false;
  const Spill to_file = [&](std::string& text) {
    if (budget != nullptr && !budget->TakeBytes(text.size())) {
      over_budget = true;
      return false;
    }
    written = written && std::fwrite(text.data(), 1, text.size(), file.stream()) == text.size();
    text.clear();
    return written;
  };
  std::string data;
  data.reserve(kSpillBytes + 256);
  if (written && AppendPageData(data, to_file, series, options, file_id, generation_time))
    to_file(data);
  written = written && std::fwrite(tail.data(), 1, tail.size(), file.stream()) == tail.size();
  if (over_budget) {
    // Only part of the night went out: no page rather than a wrong one.
    file.Discard();
    PrintBudgetExceeded(*budget, kAnalysisPageName);
    return kAnalysisOverBudget;
  }
  // A page cut short by a full disk would show a broken night as if it
  // were the whole one.
  switch (file.Commit(written)) {
    case ReplacingFile::CommitResult::kDone:
      return 0;
    case ReplacingFile::CommitResult::kNameNotTaken:
      std::printf("ERROR: can't create analysis HTML file\n");
      return kAnalysisNotCreated;
    case ReplacingFile::CommitResult::kWriteFailed:
      break;
  }
  std::printf("ERROR: can't write analysis HTML file\n");
  return kAnalysisWriteShort;
}

}  // namespace ktal
