// SPDX-License-Identifier: GPL-3.0-or-later
// The events table "events.csv": one row per entity of a built log, and the
// CSV cells shared with the periodic-error tables.
#pragma once

#include <cstdio>
#include <string>

#include "guidelog/guide_log.h"
#include "guidelog/output_budget.h"

namespace ktal {

// Writes "events.csv" in the dialect `csv_format` (0 or 1, as
// ReportSettings::csv_format) into the current directory, replacing any
// file of that name: 0 complete; -2 the file cannot be created; -3 a write
// fell short; -4 the table does not fit the budget (when one is given);
// 1 an entity without a row format ended the table early.
int WriteEventsTable(const GuideLog& log, int csv_format, OutputBudget* budget = nullptr);

// Whether the events table has a row format for entities of `type`; the
// table ends early at the first entity without one.
bool HasEventRow(std::uint32_t type);

// A number cell with 1, 2 or 4 decimals in the dialect of g_csvFormat.
// Format 1: printf's "%.nf". Format 0: a sign column ('-' or a space), the
// integer part, a decimal comma and the truncated fraction, which never
// carries into the integer part (2.999 gives " 2,99").
std::string FormatCsvNumber(int decimals, double value);
// Writes the same text in the dialect `csv_format` (0 or 1) at `out`, which
// has room for kCsvNumberMax bytes, and returns its end. The table writers
// take their dialect this way.
inline constexpr std::size_t kCsvNumberMax = 400;
char* WriteCsvNumber(char* out, int csv_format, int decimals, double value);

// The date cell "YYYY.MM.DD.", the separator, the time of day in seconds as
// a number cell with 1 decimal, and the separator, in the dialect of
// g_csvFormat.
std::string FormatDateTimeCells(const LogEntity& entity);
void AppendDateTimeCells(std::string& out, const LogEntity& entity);
// Writes those cells to `out`; 0 written, 1 the write failed.
int WriteDateTimeCells(std::FILE* out, const LogEntity& entity);

}  // namespace ktal
