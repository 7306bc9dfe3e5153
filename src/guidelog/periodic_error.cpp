// SPDX-License-Identifier: GPL-3.0-or-later
#include "guidelog/periodic_error.h"

#include <cmath>
#include <cstdio>
#include <new>
#include <string_view>

#include "guidelog/csv_text.h"
#include "guidelog/events_table.h"
#include "guidelog/pixel_scale.h"
#include "guidelog/replacing_file.h"
#include "guidelog/report_settings.h"

namespace ktal {

namespace {

constexpr double kArcsecPerDegree = 3600.0;
constexpr double kPi = 3.141592653589;

// The file control window keeps both settings at 1 or more; a value below
// that would divide by zero.
int WormPeriod(const ReportSettings& settings) {
  return settings.worm_period_s < 1 ? 1 : settings.worm_period_s;
}
int FocalLength(const ReportSettings& settings) {
  return settings.focal_length_mm < 1 ? 1 : settings.focal_length_mm;
}

void AppendCell(CsvText& out, int csv_format, int decimals, double value) {
  out.Commit(WriteCsvNumber(out.Reserve(kCsvNumberMax), csv_format, decimals, value));
}

// Writes the rows of one run that spans more than a worm period. Returns
// false when the run ends the export ("less data").
bool WriteRun(CsvText& out, const std::vector<LogEntity>& p, const ReportSettings& settings) {
  const std::string_view sep = CsvSeparator(settings.csv_format);
  const std::size_t n = p.size();
  std::vector<double> t(n);
  for (std::size_t i = 0; i < n; ++i) t[i] = SecondsBetween(p[i], p[0]);
  const double span = t[n - 1];
  const int period = WormPeriod(settings);

  // The window from margin to span - margin holds whole periods and sits in
  // the middle of the run.
  const long whole_periods = static_cast<long>(span / period);
  const long window = whole_periods * period;
  const double margin = (span - window) / 2.0;
  std::size_t i1 = n;
  std::size_t i2 = n;
  for (std::size_t i = 0; i < n; ++i) {
    if (i1 == n && t[i] > margin) i1 = i;
    if (t[i] > span - margin) {
      i2 = i;
      break;
    }
  }
  if (i2 == n) {
    out << "ERROR: less data is present than a period!";
    return false;
  }

  std::vector<float> x(n);
  std::vector<float> y(n);
  for (std::size_t i = 0; i < n; ++i) {
    x[i] = static_cast<float>(p[i].star.x / 256.0);
    y[i] = static_cast<float>(p[i].star.y / 256.0 * kPixelYScaleFloat);
  }

  // Drift: the straight line through the positions at the two window ends.
  // When both ends fall on one position the line has no slope to take, and
  // the constant it would remove goes with the means below.
  const double a1 = x[i1];
  const double a2 = x[i2];
  const double b1 = y[i1];
  const double b2 = y[i2];
  const double base = SecondsBetween(p[i1], p[i2]);
  if (base != 0.0) {
    for (std::size_t i = 0; i < n; ++i) {
      const double f = SecondsBetween(p[i], p[i2]) / base;
      x[i] = static_cast<float>(x[i] - (f * (a1 - a2) + a2));
      y[i] = static_cast<float>(y[i] - (f * (b1 - b2) + b2));
    }
  }

  double sum_x = 0.0;
  double sum_y = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    sum_x += x[i];
    sum_y += y[i];
  }
  const double mean_x = sum_x / static_cast<double>(n);
  const double mean_y = sum_y / static_cast<double>(n);
  for (std::size_t i = 0; i < n; ++i) {
    x[i] = static_cast<float>(x[i] - mean_x);
    y[i] = static_cast<float>(y[i] - mean_y);
  }

  // The main direction of motion: the least-squares slope of y on x. With
  // the means removed the sums of x and y are all but zero, so no factor n
  // is needed.
  long double sx = 0, sy = 0, sxy = 0, sxx = 0;
  for (std::size_t i = 0; i < n; ++i) {
    sx += x[i];
    sy += y[i];
    sxy += static_cast<long double>(x[i]) * y[i];
    sxx += static_cast<long double>(x[i]) * x[i];
  }
  const long double denominator = sxx - sx * sx;
  float ca = 1.0f;
  float sa = 0.0f;
  // Without any spread in x there is no slope; the axes then stay as they
  // are.
  if (denominator != 0) {
    const double k = static_cast<double>((sxy - sx * sy) / denominator);
    const float ls = std::sqrt(static_cast<float>(k * k + 1.0));
    ca = 1.0f / ls;
    sa = static_cast<float>(k / ls);
  }

  const double q = kPixelPitchMm / std::cos(settings.star_dec_deg / 360.0 * 2.0 * kPi);
  const double f = FocalLength(settings);
  const double ra_scale = q / f * kArcsecPerDegree * kDegreesPerRadian;
  const double dec_scale = kPixelPitchMm / f * kArcsecPerDegree * kDegreesPerRadian;
  for (std::size_t i = 0; i < n; ++i) {
    const float u = x[i] * ca + y[i] * sa;
    const float v = y[i] * ca - x[i] * sa;
    const auto ra = static_cast<float>(u * ra_scale);
    const auto dec = static_cast<float>(v * dec_scale);
    AppendCell(out, settings.csv_format, 1, t[i]);
    out << sep;
    AppendCell(out, settings.csv_format, 4, ra);
    out << sep;
    AppendCell(out, settings.csv_format, 4, dec);
    out.EndLine();
  }
  return true;
}

}  // namespace

int NextPositionRun(GuideLog& log) {
  log.positions.clear();
  const EntityList& list = log.entities;
  try {
    for (EntityPos pos = log.scan_cursor; pos < list.size(); ++pos) {
      const LogEntity& e = list[pos];
      if (e.type == ENTITY_CLOCK) continue;
      if (e.type == ENTITY_STAR && e.star.is_position == 1) {
        log.positions.push_back(e);
      } else if (!log.positions.empty()) {
        log.scan_cursor = pos;
        return 0;
      }
    }
  } catch (const std::bad_alloc&) {
    return -1;
  }
  log.scan_cursor = list.size();
  return 1;
}

int WritePeriodicErrorTables(GuideLog& log, const ReportSettings& settings, OutputBudget* budget) {
  const std::string_view sep = CsvSeparator(settings.csv_format);
  log.scan_cursor = log.begin_pos();
  for (int k = 1;; ++k) {
    if (NextPositionRun(log) != 0) return 0;
    char name[32];
    std::snprintf(name, sizeof name, "pe%d.csv", k);
    if (budget != nullptr && !budget->TakeFile()) {
      PrintBudgetExceeded(*budget, name);
      return -3;
    }
    ReplacingFile file(name);
    if (file.stream() == nullptr) {
      std::printf("ERROR: can't create CSV (PE) file\n");
      return -1;
    }
    bool go_on = true;
    bool written = false;
    bool over_budget = false;
    try {
      CsvText out(file.stream(), budget);
      out << "time" << sep << "RA" << sep << "DEC" << sep << sep
          << "The scale is seconds and arcseconds.";
      out.EndLine();
      const double span = SecondsBetween(log.positions.back(), log.positions.front());
      if (span > WormPeriod(settings)) go_on = WriteRun(out, log.positions, settings);
      written = out.Flush();
      over_budget = out.over_budget();
    } catch (const std::bad_alloc&) {
      go_on = false;
      written = true;  // out of memory: the export stops, as documented
    }
    if (over_budget) {
      file.Discard();
      PrintBudgetExceeded(*budget, name);
      return -3;
    }
    // A table cut short by a full disk fails, and no later table is begun.
    switch (file.Commit(written)) {
      case ReplacingFile::CommitResult::kDone:
        break;
      case ReplacingFile::CommitResult::kNameNotTaken:
        std::printf("ERROR: can't create CSV (PE) file\n");
        return -1;
      case ReplacingFile::CommitResult::kWriteFailed:
        std::printf("ERROR: can't write CSV (PE) file\n");
        return -2;
    }
    if (!go_on) return 0;
  }
}

}  // namespace ktal
