// SPDX-License-Identifier: GPL-3.0-or-later
// What a run makes of a log: the outputs asked for and the settings they
// are written with, passed down with the run's request. The process-wide
// values below are where the file control window keeps what it read at its
// last press; the processing itself takes a ReportSettings.
#pragma once

namespace ktal {

struct ReportSettings {
  // 0: ";" between cells and a decimal comma; 1: "," and a decimal point.
  int csv_format = 0;
  bool events_table = true;
  bool html_report = false;  // with the exposures table and the analysis page
  bool pe_tables = false;    // the periodic-error tables
  // The periodic-error settings; the exposures table, the analysis page and
  // the PHD2 guide log use them too when the periodic-error tables are
  // asked for.
  int focal_length_mm = 1000;  // at least 1
  int worm_period_s = 480;     // at least 1
  float star_dec_deg = 0.0f;   // -90 to 90
  bool phd2_log = false;       // the PHD2 guide log
};

// The cell separator of the dialect csv_format: ";" for 0, "," otherwise.
const char* CsvSeparator(int csv_format);

// star_dec_deg with the digits it was given: a float's shortest decimal
// form read as a double, so that a page shows -45.1 and not
// -45.099998474121094.
double StarDecDegrees(float star_dec_deg);

// 0: ";" between cells and a decimal comma; 1: "," and a decimal point.
extern int g_csvFormat;
// Telescope focal length in millimetres (at least 1).
extern int g_focalLength;
// Worm gear period in seconds (at least 1).
extern int g_wormPeriod;
// Declination of the guide star in degrees (-90 to 90).
extern float g_starDec;

// The values above as the settings of a run with those outputs: what the
// file control window passes with its request.
ReportSettings StoredReportSettings(bool events_table, bool html_report, bool pe_tables);

}  // namespace ktal
