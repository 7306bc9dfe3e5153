#include "guidelog/report_settings.h"

namespace ktal {

int g_csvFormat = 0;
const char* g_csvSeparator = ";";
int g_focalLength = 1000;
int g_wormPeriod = 480;
float g_starDec = 0.0f;

const char* SetCsvSeparator() {
  g_csvSeparator = g_csvFormat == 0 ? ";" : ",";
  return g_csvSeparator;
}

}  // namespace ktal
