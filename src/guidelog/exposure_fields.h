// SPDX-License-Identifier: GPL-3.0-or-later
// What the analysis of one guided exposure leaves in its GuideLog for the
// plots and the report. Kept apart from exposure_analysis.h so that the log
// model can hold it without seeing the analysis functions.
#pragma once

#include <cstddef>
#include <vector>

namespace ktal {

struct ExposureFields {
  // 1 for an AutoExposure-controlled exposure, 0 for an external one.
  int ae_flag = 1;
  // Entity positions in the log's list; the list's sentinel when none.
  std::size_t start = 0;
  std::size_t end = 0;
  // Star entities without no_star; at least 1 once the statistics ran.
  int valid_count = 0;
  // Phase durations in seconds, -1 when not measured. For an external
  // exposure exp is its whole duration.
  double wait = -1.0;
  double ml = -1.0;
  double exp = -1.0;
  // Drift in pixels over the valid star entities.
  double mean_ra = 0.0;
  double mean_dec = 0.0;
  double std_ra = 0.0;
  double std_dec = 0.0;
  // Largest absolute accumulated correction in seconds, at least 0.001.
  double ra_scale = 0.001;
  double dec_scale = 0.001;
  // Star entities whose correction flag is set with a nonzero correction.
  int ra_count = 0;
  int dec_count = 0;
  // Accumulated corrections in seconds, one per star entity.
  std::vector<float> cumulative_ra;
  std::vector<float> cumulative_dec;
  // Typical seconds between two star entities (always above 0).
  float frame_interval = 1.0f;
  // Seconds from the first to the last star entity.
  double span_seconds = 0.0;
  // Time columns of the drift and error plots.
  int plot_span = 0;
};

}  // namespace ktal
