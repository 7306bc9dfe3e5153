// SPDX-License-Identifier: GPL-3.0-or-later
// "exposures.csv": one row per guided exposure with how well it was guided,
// for deciding which images to keep. The figures are the guiding summary's
// (SummarizeGuiding), so the table, `ktal-logtool summary` and the
// analysis page agree.
//
// Columns, in this order:
//   Exposure          the report's name: the kind letter (A AutoExposure,
//                     X external) and its number within that kind, A001
//                     being the report's "Guided exposure #1", whose
//                     images are AE001_*.bmp
//   Date              YYYY-MM-DD of its start
//   Start, End        hh:mm:ss and the tenth after the dialect's decimal
//                     mark: the entities that began and ended it, as the
//                     report's Start and End (an AutoExposure exposure
//                     begins with its WAIT phase); the log's last entity
//                     for one still running when the log ends
//   Duration (s)      End - Start
//   Frames            its star measurements that are drifts or lost stars
//   Lost stars
//   RA, DEC, Total RMS and peak (px)
//   RA, DEC, Total RMS and peak (arcsec), only when the focal length is
//                     known
//   RA corrections, DEC corrections
// A figure that needs drift samples is empty without any. Number cells are
// those of the events table in the dialect given.
#pragma once

#include "guidelog/guiding_summary.h"
#include "guidelog/output_budget.h"

namespace ktal {

inline constexpr char kExposureTableName[] = "exposures.csv";

// Results of WriteExposureTable other than 0, each with its line on
// standard output.
inline constexpr int kExposureTableNotCreated = -1;  // the file cannot be created
inline constexpr int kExposureTableWriteShort = -2;  // a write fell short
inline constexpr int kExposureTableOverBudget = -3;  // the table does not fit the budget

// Writes "exposures.csv" into the current directory, replacing any file of
// that name, with one row per exposure of `summary` (made from `series`)
// in the CSV dialect `csv_format` (0: ';' and a decimal comma; 1: ',' and
// a decimal point): 0 written, or one of the codes above. With a budget,
// its file and bytes are taken from it.
int WriteExposureTable(const GuideSeries& series, const GuidingSummary& summary, int csv_format,
                       OutputBudget* budget = nullptr);

}  // namespace ktal
