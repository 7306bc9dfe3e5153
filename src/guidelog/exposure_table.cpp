// SPDX-License-Identifier: GPL-3.0-or-later
#include "guidelog/exposure_table.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <string_view>

#include "guidelog/csv_text.h"
#include "guidelog/events_table.h"
#include "guidelog/stdio_file.h"

namespace ktal {
namespace {

// A series time on the log's own clock: the days after the log's first
// date and the tenths into that day.
struct ClockAt {
  long long days = 0;
  long long tenths_of_day = 0;
};

ClockAt ClockOf(const GuideSeries& series, double t) {
  const long long tenths = static_cast<long long>(series.origin_tenths) + std::llround(t * 10.0);
  const long long day = static_cast<long long>(kTenthsPerDay);
  long long days = tenths / day;
  if (tenths % day < 0) --days;
  return ClockAt{days, tenths - days * day};
}

// YYYY-MM-DD, which every spreadsheet reads as a date whatever its
// language; nothing for a log whose first date is no calendar date.
void AppendDate(CsvText& out, std::uint16_t origin, long long days_after) {
  using namespace std::chrono;
  const year_month_day first{year(DateYear(origin)),
                             month(static_cast<unsigned>(DateMonth(origin))),
                             day(static_cast<unsigned>(DateDay(origin)))};
  if (!first.ok()) return;
  const year_month_day date{sys_days(first) + days(days_after)};
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02u-%02u", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()));
  out << std::string_view(text);
}

// hh:mm:ss and the tenth after the dialect's decimal mark.
void AppendClock(CsvText& out, long long tenths_of_day, int csv_format) {
  char text[32];
  std::snprintf(text, sizeof text, "%02lld:%02lld:%02lld%c%lld", tenths_of_day / 36000,
                tenths_of_day / 600 % 60, tenths_of_day / 10 % 60, csv_format == 0 ? ',' : '.',
                tenths_of_day % 10);
  out << std::string_view(text);
}

void AppendNumber(CsvText& out, int csv_format, int decimals, double value) {
  out.Commit(WriteCsvNumber(out.Reserve(kCsvNumberMax), csv_format, decimals, value));
}

// The six figures of one unit, each after a separator; empty cells
// without drift samples.
void AppendErrors(CsvText& out, char sep, int csv_format, int decimals,
                  const std::optional<ErrorFigures>& f) {
  for (double ErrorFigures::*field :
       {&ErrorFigures::ra_rms, &ErrorFigures::dec_rms, &ErrorFigures::total_rms,
        &ErrorFigures::ra_peak, &ErrorFigures::dec_peak, &ErrorFigures::total_peak}) {
    out << sep;
    if (f) AppendNumber(out, csv_format, decimals, (*f).*field);
  }
}

void AppendFigureTitles(CsvText& out, char sep, const char* unit) {
  for (const char* figure : {"RA RMS", "DEC RMS", "Total RMS", "RA peak", "DEC peak", "Total peak"})
    out << sep << figure << " (" << unit << ')';
}

void AppendHeader(CsvText& out, char sep, bool arcsec) {
  out << "Exposure" << sep << "Date" << sep << "Start" << sep << "End" << sep << "Duration (s)"
      << sep << "Frames" << sep << "Lost stars";
  AppendFigureTitles(out, sep, "px");
  if (arcsec) AppendFigureTitles(out, sep, "arcsec");
  out << sep << "RA corrections" << sep << "DEC corrections";
  out.EndLine();
}

void AppendRow(CsvText& out, char sep, int csv_format, bool arcsec, const GuideSeries& series,
               const ExposureSummary& e) {
  const ExposureSpan& span = series.exposures[e.exposure];
  const GuidingFigures& g = e.guiding;
  char name[16];
  std::snprintf(name, sizeof name, "%c%03d", span.kind, span.number);
  out << std::string_view(name) << sep;
  const ClockAt start = ClockOf(series, span.begin_s);
  const ClockAt end = ClockOf(series, span.end_s);
  AppendDate(out, series.origin_date, start.days);
  out << sep;
  AppendClock(out, start.tenths_of_day, csv_format);
  out << sep;
  AppendClock(out, end.tenths_of_day, csv_format);
  out << sep;
  AppendNumber(out, csv_format, 1, span.end_s - span.begin_s);
  out << sep;
  out.Int(g.drift_samples + g.lost_stars);
  out << sep;
  out.Int(g.lost_stars);
  AppendErrors(out, sep, csv_format, 3, g.px);
  if (arcsec) AppendErrors(out, sep, csv_format, 2, g.arcsec);
  out << sep;
  out.Int(g.ra_corrections);
  out << sep;
  out.Int(g.dec_corrections);
  out.EndLine();
}

}  // namespace

int WriteExposureTable(const GuideSeries& series, const GuidingSummary& summary, int csv_format,
                       OutputBudget* budget) {
  if (budget != nullptr && !budget->TakeFile()) {
    PrintBudgetExceeded(*budget, kExposureTableName);
    return kExposureTableOverBudget;
  }
  // Created the way every output of a log is created; a change of that
  // way changes this one line.
  StdioFile file = OpenStdioFile(kExposureTableName, "wb");
  if (!file) {
    std::printf("ERROR: can't create CSV file '%s'\n", kExposureTableName);
    return kExposureTableNotCreated;
  }
  const char sep = csv_format == 0 ? ';' : ',';
  const bool arcsec = summary.arcsec_per_px_ra.has_value();
  bool written = false;
  bool over_budget = false;
  {
    CsvText out(file.get(), budget);
    AppendHeader(out, sep, arcsec);
    for (const ExposureSummary& e : summary.exposures)
      AppendRow(out, sep, csv_format, arcsec, series, e);
    written = out.Flush();
    over_budget = out.over_budget();
  }
  const bool closed = CloseChecked(file);
  // Part of the table would pass for all of the night's exposures: none
  // is left instead.
  if (over_budget) {
    std::remove(kExposureTableName);
    PrintBudgetExceeded(*budget, kExposureTableName);
    return kExposureTableOverBudget;
  }
  if (!closed || !written) {
    std::remove(kExposureTableName);
    std::printf("ERROR: can't write CSV file '%s'\n", kExposureTableName);
    return kExposureTableWriteShort;
  }
  return 0;
}

}  // namespace ktal
