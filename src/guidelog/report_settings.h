// Process-wide report settings, set by the file control window before a log
// is processed and read by the table writers.
#pragma once

namespace ktal {

// 0: ";" between cells and a decimal comma; 1: "," and a decimal point.
extern int g_csvFormat;
// The cell separator of the table being written; every table writer sets it
// from g_csvFormat when it starts (SetCsvSeparator).
extern const char* g_csvSeparator;
// Telescope focal length in millimetres (at least 1).
extern int g_focalLength;
// Worm gear period in seconds (at least 1).
extern int g_wormPeriod;
// Declination of the guide star in degrees (-90 to 90).
extern float g_starDec;

// g_starDec with the digits it was given: a float's shortest decimal form
// read as a double, so that a page shows -45.1 and not -45.099998474121094.
double StarDecDegrees();

// Sets g_csvSeparator from g_csvFormat and returns it.
const char* SetCsvSeparator();

}  // namespace ktal
