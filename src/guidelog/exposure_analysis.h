// SPDX-License-Identifier: GPL-3.0-or-later
// The guided exposures of a log, found one per call, with the statistics the
// report and the plots show.
#pragma once

#include "guidelog/guide_log.h"

namespace ktal {

// The plots never get wider than this many time columns, so a clock that
// jumps by hours between two frames cannot ask for gigabytes of image.
inline constexpr int kMaxPlotSpan = 32768;

// Where a guided exposure lies, found from entity `from` on without
// changing the log. Every star entity in [from, scan_end) belongs to the
// exposure. With no star entity there, the exposure is empty; it does not
// exist at all when start is the sentinel.
struct ExposureBounds {
  int ae_flag = 1;      // 1 AutoExposure, 0 external
  EntityPos start = 0;  // the sentinel when none
  EntityPos end = 0;    // the sentinel when the list ran out first
  double wait = -1.0;   // phase durations, -1 when not measured
  double ml = -1.0;
  double exp = -1.0;
  EntityPos scan_end = 0;  // where the search stopped: end, or the sentinel
};
ExposureBounds FindGuidedExposure(const GuideLog& log, EntityPos from);

// Finds the next guided exposure from log.scan_cursor, fills log.positions
// with its star entities and log.exposure with its statistics, and leaves
// the cursor on the entity that ended it (which the next call examines
// again) or on the sentinel.
// 0 an exposure was found (its statistics are valid when it has star
// entities, log.positions is empty otherwise); 1 no further exposure;
// -1 memory ran out.
int NextGuidedExposure(GuideLog& log);

}  // namespace ktal
