// SPDX-License-Identifier: GPL-3.0-or-later
// The night as plain numbers: every star entity of a log as one sample, the
// guided exposures as the report finds them and the unguided runs of star
// positions, read out of a built log once so that the figures of the
// guiding summary (and of the analysis page's script) are computed from
// these values alone.
//
// Units and conventions
// - Time: seconds since the log's first entity, always a whole number of
//   tenths (t = tenths / 10.0), counted from entity to entity with
//   SecondsBetween so that midnight is crossed correctly.
// - Drift and positions: the star entity's x / 256 and y / 256 in sensor
//   pixels. x is the RA axis and y the DEC axis, as the guider corrects
//   them and as the report names them.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "guidelog/guide_log.h"

namespace ktal {

// One star entity of the log.
struct GuideSample {
  double t = 0.0;  // seconds since the log's first entity
  // Floats hold these exactly (x and y have at most 24 bits, corrections 8)
  // and keep a full night's samples at 32 bytes each.
  float ra_px = 0.0f;            // x / 256: drift, or absolute position
  float dec_px = 0.0f;           // y / 256
  float ra_correction_s = 0.0f;  // signed, correction / 32; 0 when none
  float dec_correction_s = 0.0f;
  bool lost = false;      // no_star: no position, no correction
  bool position = false;  // is_position: an absolute position
};

// A guided exposure as the report finds and numbers it: an AutoExposure
// exposure ('A', AE001...) or an external one ('X', XE001...). Its samples
// are samples[first_sample, end_sample).
struct ExposureSpan {
  char kind = 'A';
  int number = 0;        // the report's number within its kind
  double begin_s = 0.0;  // the entity that started it
  double end_s = 0.0;    // the entity that ended it, or the log's
                         // last entity when it was still running
  std::size_t first_sample = 0;
  std::size_t end_sample = 0;
};

// An unguided run: a maximal sequence of absolute star positions (clock
// entities inside it do not end it). Its samples are
// samples[first_sample, end_sample), all positions.
struct RunSpan {
  double begin_s = 0.0;  // time of its first position
  double end_s = 0.0;    // time of its last position
  std::size_t first_sample = 0;
  std::size_t end_sample = 0;
};

// The whole night as plain numbers.
struct GuideSeries {
  // The clock of the log's first entity, the zero of every time.
  std::uint16_t origin_date = 0;
  std::uint32_t origin_tenths = 0;
  double end_s = 0.0;                // time of the log's last entity
  std::vector<GuideSample> samples;  // every star entity, in log order
  std::vector<ExposureSpan> exposures;
  std::vector<RunSpan> runs;
};

// Reads a raw file into a fresh `log` and builds its entities as
// ProcessRawFile does, so that a summary takes no more memory than
// processing (a log of any bits keeps at most one entity per byte of its
// stream) and refuses what processing refuses: 0, or the code
// ProcessRawFile gives the log before it writes anything: 1, 2, 3 from
// ReadRawFile, 101 a stream error, 301 an entity the events table has no
// row for.
int ReadLogForSummary(GuideLog& log, std::FILE* raw_file, DirectoryEntry& entry);

// Reads the series out of a built log (BuildEntities done). The log is not
// changed; the exposures are found exactly as the report finds them.
GuideSeries ExtractGuideSeries(const GuideLog& log);

// A closed time range [begin_s, end_s] in series seconds; a range given
// backwards covers the same span.
struct TimeRange {
  double begin_s = 0.0;
  double end_s = 0.0;
};

// Whether the time `t` lies in any of the ranges. Asked once per sample
// and figure, so it stays inline.
inline bool IsExcluded(double t, const std::vector<TimeRange>& ranges) {
  for (const TimeRange& r : ranges) {
    const double lo = std::min(r.begin_s, r.end_s);
    const double hi = std::max(r.begin_s, r.end_s);
    if (t >= lo && t <= hi) return true;
  }
  return false;
}

}  // namespace ktal
