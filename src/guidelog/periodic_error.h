// SPDX-License-Identifier: GPL-3.0-or-later
// Periodic-error tables "pe%d.csv": each run of absolute star positions as
// time against RA and DEC error in arcseconds over whole worm periods.
#pragma once

#include "guidelog/guide_log.h"
#include "guidelog/output_budget.h"
#include "guidelog/report_settings.h"

namespace ktal {

// Collects the next run of position entities from log.scan_cursor into
// log.positions and leaves the cursor on the entity that ended the run:
// 0 a run of at least one position; 1 the end of the list came first;
// -1 memory for the positions array ran out.
int NextPositionRun(GuideLog& log);

// Writes pe1.csv, pe2.csv, ... into the current directory with the focal
// length, worm period, star declination and CSV format of `settings`:
// 0 done (also after the "less data" stop); -1 a table file cannot be
// created; -2 a write of a table fell short; -3 the next table does not fit
// the budget (when one is given). Each failure ends the tables.
int WritePeriodicErrorTables(GuideLog& log, const ReportSettings& settings,
                             OutputBudget* budget = nullptr);

}  // namespace ktal
