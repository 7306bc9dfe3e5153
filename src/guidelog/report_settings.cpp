#include "guidelog/report_settings.h"

#include <charconv>

namespace ktal {

int g_csvFormat = 0;
const char* g_csvSeparator = ";";
int g_focalLength = 1000;
int g_wormPeriod = 480;
float g_starDec = 0.0f;

double StarDecDegrees() {
  char text[32];
  const auto written = std::to_chars(text, text + sizeof text, g_starDec);
  double value = g_starDec;
  if (written.ec == std::errc()) std::from_chars(text, written.ptr, value);
  return value;
}

const char* SetCsvSeparator() {
  g_csvSeparator = g_csvFormat == 0 ? ";" : ",";
  return g_csvSeparator;
}

}  // namespace ktal
