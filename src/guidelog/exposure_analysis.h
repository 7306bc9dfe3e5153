// The guided exposures of a log, found one per call, with the statistics the
// report and the plots show.
#pragma once

#include "guidelog/guide_log.h"

namespace ktal {

// The plots never get wider than this many time columns, so a clock that
// jumps by hours between two frames cannot ask for gigabytes of image.
inline constexpr int kMaxPlotSpan = 32768;

// Finds the next guided exposure from log.scan_cursor, fills log.positions
// with its star entities and log.exposure with its statistics, and leaves
// the cursor on the entity that ended it (which the next call examines
// again) or on the sentinel.
// 0 an exposure was found (its statistics are valid when it has star
// entities, log.positions is empty otherwise); 1 no further exposure;
// -1 memory ran out.
int NextGuidedExposure(GuideLog& log);

} // namespace ktal
