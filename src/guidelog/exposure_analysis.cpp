// SPDX-License-Identifier: GPL-3.0-or-later
#include "guidelog/exposure_analysis.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <new>

namespace ktal {
namespace {

bool EndsExternalExposure(std::uint32_t type) {
  return type == ENTITY_AE_CHANGE || type == ENTITY_VARIABLE || type == ENTITY_MARKER;
}

// The accumulated corrections of one axis. A correction is counted for at
// most the time until the next position that carries a correction of the
// same axis (lost stars carry one of 0), since the guider cuts a running
// correction short when it sends the next one.
void AccumulateCorrections(const std::vector<LogEntity>& positions, bool ra,
                           std::vector<float>& cumulative, double& scale) {
  const std::size_t n = positions.size();
  cumulative.assign(n, 0.0f);
  double largest = 0.0;
  std::size_t next_flagged = n;  // first j > i with the flag set; n when none
  std::vector<std::size_t> next(n, n);
  for (std::size_t i = n; i-- > 0;) {
    next[i] = next_flagged;
    const StarPayload& star = positions[i].star;
    if (ra ? star.ra_correction_flag : star.dec_correction_flag) next_flagged = i;
  }
  for (std::size_t i = 1; i < n; ++i) {
    const StarPayload& star = positions[i].star;
    const bool flag = ra ? star.ra_correction_flag : star.dec_correction_flag;
    const int correction = ra ? star.ra_correction : star.dec_correction;
    double seconds = flag ? correction / 32.0 : 0.0;
    if (next[i] < n) seconds = std::min(seconds, SecondsBetween(positions[next[i]], positions[i]));
    cumulative[i] = cumulative[i - 1] + static_cast<float>(seconds);
    largest = std::max(largest, std::fabs(static_cast<double>(cumulative[i])));
  }
  scale = std::max(largest, 0.001);
}

// Sorts frame intervals in tenths of a second. They mostly lie within a
// few seconds of each other, so a count of each value does it in one pass;
// a wider spread falls back to a comparison sort. The counts never take
// more than a quarter of a megabyte.
void SortTenths(std::vector<std::int32_t>& tenths) {
  if (tenths.empty()) return;
  const auto [low, high] = std::minmax_element(tenths.begin(), tenths.end());
  const std::int64_t first = *low;
  const auto range = static_cast<std::size_t>(std::int64_t{*high} - first);
  if (range >= 65536 || range > 4 * tenths.size() + 1024) {
    std::sort(tenths.begin(), tenths.end());
    return;
  }
  std::vector<std::uint32_t> counts(range + 1, 0);
  for (const std::int32_t t : tenths) ++counts[static_cast<std::size_t>(t - first)];
  auto out = tenths.begin();
  for (std::size_t v = 0; v < counts.size(); ++v)
    out = std::fill_n(out, counts[v],
                      static_cast<std::int32_t>(first + static_cast<std::int64_t>(v)));
}

// Mean of the intervals without the longest 5 %, which are the pauses (a
// dither, a lost guide star) rather than the guiding rhythm. Each interval
// is taken in seconds as a float, and summed from the shortest up.
float TypicalFrameInterval(std::vector<std::int32_t>& tenths) {
  const std::size_t count = tenths.size();
  const std::size_t left_out = static_cast<std::size_t>(static_cast<double>(count) * 0.05);
  const std::size_t kept = count - left_out;
  if (kept == 0) return 1.0f;
  // Seconds grow with tenths, so the tenths sort the seconds.
  SortTenths(tenths);
  double sum = 0.0;
  for (std::size_t i = 0; i < kept; ++i)
    sum += static_cast<float>(static_cast<double>(tenths[i]) * 0.1);
  const float typical = static_cast<float>(sum / static_cast<double>(kept));
  // Frames all within one tenth of a second, or a clock running backwards,
  // give no usable rhythm; the plots then use one column pair per second.
  if (!(typical > 0.0f) || !std::isfinite(typical)) return 1.0f;
  return typical;
}

void ComputeStatistics(GuideLog& log) {
  ExposureFields& f = log.exposure;
  const std::vector<LogEntity>& p = log.positions;
  const std::size_t n = p.size();

  // Neighbours are at most a day and a clock's day apart: 32 bits hold it.
  std::vector<std::int32_t> intervals;
  intervals.reserve(n - 1);
  for (std::size_t i = 0; i + 1 < n; ++i)
    intervals.push_back(static_cast<std::int32_t>(TenthsBetween(p[i + 1], p[i])));

  double sum_x = 0.0;
  double sum_y = 0.0;
  int valid = 0;
  f.ra_count = 0;
  f.dec_count = 0;
  for (const LogEntity& e : p) {
    if (!e.star.no_star) {
      ++valid;
      sum_x += e.star.x / 256.0;
      sum_y += e.star.y / 256.0;
    }
    if (e.star.ra_correction_flag && e.star.ra_correction != 0) ++f.ra_count;
    if (e.star.dec_correction_flag && e.star.dec_correction != 0) ++f.dec_count;
  }
  AccumulateCorrections(p, true, f.cumulative_ra, f.ra_scale);
  AccumulateCorrections(p, false, f.cumulative_dec, f.dec_scale);

  f.valid_count = valid > 0 ? valid : 1;
  f.mean_ra = sum_x / f.valid_count;
  f.mean_dec = sum_y / f.valid_count;

  double square_x = 0.0;
  double square_y = 0.0;
  for (const LogEntity& e : p) {
    if (e.star.no_star) continue;
    const double dx = e.star.x / 256.0 - f.mean_ra;
    const double dy = e.star.y / 256.0 - f.mean_dec;
    square_x += dx * dx;
    square_y += dy * dy;
  }
  f.std_ra = std::sqrt(square_x / f.valid_count);
  f.std_dec = std::sqrt(square_y / f.valid_count);

  f.frame_interval = TypicalFrameInterval(intervals);
  f.span_seconds = SecondsBetween(p[n - 1], p[0]);
  const double e = f.frame_interval;
  const double span = std::trunc(2.0 * (f.span_seconds + e) / e);
  // A single frame already needs two columns; a clock that runs backwards
  // must not shrink the plots below that.
  f.plot_span = static_cast<int>(std::clamp(span, 2.0, static_cast<double>(kMaxPlotSpan)));
}

}  // namespace

ExposureBounds FindGuidedExposure(const GuideLog& log, EntityPos from) {
  const EntityPos sentinel = log.sentinel();
  ExposureBounds b;
  b.start = sentinel;
  b.end = sentinel;
  bool started = false;
  int phase = 0;  // AE phase: 0 none, 1 WAIT, 2 ML, 3 EXP
  EntityPos phase_start = sentinel;
  EntityPos pos = std::min(from, sentinel);
  for (; pos < sentinel; ++pos) {
    const LogEntity& e = log.entities[pos];
    bool complete = false;
    if (b.ae_flag == 1 && e.type == ENTITY_AE_CHANGE) {
      const int state = e.ae.ae_state;
      if (phase == 0 && state == kAeWait) {
        b.start = pos;
        phase = 1;
        phase_start = pos;
      } else if (phase == 1 && state == kAeMl) {
        b.wait = SecondsBetween(e, log.entities[phase_start]);
        phase = 2;
        phase_start = pos;
      } else if (phase < 3 && state == kAeExp) {
        if (phase == 1)
          b.wait = SecondsBetween(e, log.entities[phase_start]);
        else if (phase == 2)
          b.ml = SecondsBetween(e, log.entities[phase_start]);
        // Entered straight from IDLE: the EXP change is the
        // best start the log offers.
        if (phase == 0) b.start = pos;
        phase = 3;
        phase_start = pos;
        started = true;
      } else if (phase == 3 && state <= kAeWait) {
        b.end = pos;
        b.exp = SecondsBetween(e, log.entities[phase_start]);
        complete = true;
      }
    } else if (e.type == ENTITY_STAR) {
      if (!started) {
        b.ae_flag = 0;
        b.start = pos;
        phase_start = pos;
        started = true;
      }
    }
    if (!complete && b.ae_flag == 0 && started && EndsExternalExposure(e.type)) {
      b.end = pos;
      b.exp = SecondsBetween(e, log.entities[phase_start]);
      complete = true;
    }
    if (complete) break;
  }
  b.scan_end = pos;
  return b;
}

int NextGuidedExposure(GuideLog& log) {
  const EntityPos sentinel = log.sentinel();
  const EntityPos from = std::min(log.scan_cursor, sentinel);
  const ExposureBounds b = FindGuidedExposure(log, from);
  ExposureFields& f = log.exposure;
  f.ae_flag = b.ae_flag;
  f.start = b.start;
  f.end = b.end;
  f.valid_count = 0;
  f.wait = b.wait;
  f.ml = b.ml;
  f.exp = b.exp;
  f.mean_ra = f.mean_dec = f.std_ra = f.std_dec = 0.0;
  f.ra_scale = f.dec_scale = 0.001;
  f.ra_count = f.dec_count = 0;
  f.cumulative_ra.clear();
  f.cumulative_dec.clear();
  f.frame_interval = 1.0f;
  f.span_seconds = 0.0;
  f.plot_span = 0;
  log.positions.clear();
  log.scan_cursor = b.scan_end;
  try {
    for (EntityPos pos = from; pos < b.scan_end; ++pos) {
      if (log.entities[pos].type == ENTITY_STAR) log.positions.push_back(log.entities[pos]);
    }
    if (log.positions.empty()) return f.start == sentinel ? 1 : 0;
    ComputeStatistics(log);
  } catch (const std::bad_alloc&) {
    log.positions.clear();
    return -1;
  }
  return 0;
}

}  // namespace ktal
