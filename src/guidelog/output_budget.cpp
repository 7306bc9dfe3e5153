// SPDX-License-Identifier: GPL-3.0-or-later
#include "guidelog/output_budget.h"

#include <algorithm>
#include <cstdio>

#include "guidelog/guide_log.h"

namespace ktal {

OutputBudget OutputBudget::For(int pages, double seconds) {
  const std::uint64_t count = pages > 0 ? static_cast<std::uint64_t>(pages) : 0;
  // A NaN counts as the least.
  const double counted = seconds > kLeastSeconds ? std::min(seconds, kMostSeconds) : kLeastSeconds;
  const auto time_files = static_cast<std::uint64_t>(kFilesPerSecond * counted);
  const auto time_bytes = static_cast<std::uint64_t>(kBytesPerSecond * counted);
  return OutputBudget(kFixedFiles + std::min(kFilesPerPage * count, time_files),
                      kFixedBytes + std::min(kBytesPerPage * count, time_bytes));
}

OutputBudget OutputBudget::ForLog(const GuideLog& log) {
  return For(log.page_count, CoveredSeconds(log));
}

double OutputBudget::CoveredSeconds(const GuideLog& log) {
  const EntityList& entities = log.entities;
  long long tenths = 0;
  long long earliest = 0;
  long long latest = 0;
  for (std::size_t i = 1; i < entities.size(); ++i) {
    tenths += TenthsBetween(entities[i], entities[i - 1]);
    earliest = std::min(earliest, tenths);
    latest = std::max(latest, tenths);
  }
  return static_cast<double>(latest - earliest) / 10.0;
}

void PrintBudgetExceeded(const OutputBudget& budget, const char* file) {
  std::printf(
      "ERROR: the outputs of this log would exceed their budget of %llu files and %llu bytes at "
      "'%s'\n",
      static_cast<unsigned long long>(budget.files()),
      static_cast<unsigned long long>(budget.bytes()), file);
}

}  // namespace ktal
