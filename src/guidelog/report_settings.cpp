// SPDX-License-Identifier: GPL-3.0-or-later
#include "guidelog/report_settings.h"

#include <charconv>

namespace ktal {

int g_csvFormat = 0;
int g_focalLength = 1000;
int g_wormPeriod = 480;
float g_starDec = 0.0f;

const char* CsvSeparator(int csv_format) { return csv_format == 0 ? ";" : ","; }

double StarDecDegrees(float star_dec_deg) {
  char text[32];
  const auto written = std::to_chars(text, text + sizeof text, star_dec_deg);
  double value = star_dec_deg;
  if (written.ec == std::errc()) std::from_chars(text, written.ptr, value);
  return value;
}

ReportSettings StoredReportSettings(bool events_table, bool html_report, bool pe_tables) {
  ReportSettings settings;
  settings.csv_format = g_csvFormat;
  settings.events_table = events_table;
  settings.html_report = html_report;
  settings.pe_tables = pe_tables;
  settings.focal_length_mm = g_focalLength;
  settings.worm_period_s = g_wormPeriod;
  settings.star_dec_deg = g_starDec;
  return settings;
}

}  // namespace ktal
