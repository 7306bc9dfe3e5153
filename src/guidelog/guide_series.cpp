// SPDX-License-Identifier: GPL-3.0-or-later
#include "guidelog/guide_series.h"

#include <algorithm>

#include "guidelog/events_table.h"
#include "guidelog/exposure_analysis.h"

namespace ktal {
namespace {

// The time of an entity and the number of star entities before it, found
// by walking from the position asked before: the exposure scan asks in
// nearly increasing order, so a night costs one walk and no table per
// entity.
class EntityWalker {
 public:
  explicit EntityWalker(const EntityList& entities) : entities_(entities) {}

  void MoveTo(std::size_t target) {
    target = std::min(target, entities_.size());
    for (; pos_ < target; ++pos_) {
      stars_before_ += entities_[pos_].type == ENTITY_STAR ? 1 : 0;
      if (pos_ + 1 < entities_.size())
        tenths_ += TenthsBetween(entities_[pos_ + 1], entities_[pos_]);
    }
    for (; pos_ > target; --pos_) {
      stars_before_ -= entities_[pos_ - 1].type == ENTITY_STAR ? 1 : 0;
      if (pos_ < entities_.size()) tenths_ -= TenthsBetween(entities_[pos_], entities_[pos_ - 1]);
    }
  }
  double SecondsAt(std::size_t target) {
    MoveTo(target);
    return static_cast<double>(tenths_) / 10.0;
  }
  std::size_t StarsBefore(std::size_t target) {
    MoveTo(target);
    return stars_before_;
  }

 private:
  const EntityList& entities_;
  std::size_t pos_ = 0;
  long long tenths_ = 0;
  std::size_t stars_before_ = 0;
};

}  // namespace

int ReadLogForSummary(GuideLog& log, std::FILE* raw_file, DirectoryEntry& entry) {
  if (raw_file == nullptr) return 1;
  if (const int read = log.ReadRawFile(raw_file, entry); read != 0) return read;
  if (const int built = log.BuildEntities(GuideLog::UnnamedRepeats::kDrop); built != 0)
    return 100 + built;
  for (const LogEntity& e : log.entities)
    if (!HasEventRow(e.type)) return 301;
  return 0;
}

GuideSeries ExtractGuideSeries(const GuideLog& log) {
  GuideSeries series;
  const EntityList& entities = log.entities;
  if (entities.empty()) return series;
  series.origin_date = entities.front().clock_date;
  series.origin_tenths = entities.front().clock_tenths;

  // Times of every entity, counted step by step so that each change of
  // date is one day, as between neighbours it really is.
  std::size_t stars = 0;
  for (const LogEntity& e : entities) stars += e.type == ENTITY_STAR ? 1 : 0;
  series.samples.reserve(stars);
  long long tenths = 0;
  bool in_run = false;
  for (std::size_t i = 0; i < entities.size(); ++i) {
    const LogEntity& e = entities[i];
    if (i > 0) tenths += TenthsBetween(e, entities[i - 1]);
    if (e.type == ENTITY_CLOCK) continue;  // does not end a run of positions
    if (e.type != ENTITY_STAR) {
      in_run = false;
      continue;
    }
    GuideSample s;
    s.t = static_cast<double>(tenths) / 10.0;
    s.lost = e.star.no_star != 0;
    s.position = !s.lost && e.star.is_position != 0;
    s.ra_px = static_cast<float>(e.star.x / 256.0);
    s.dec_px = static_cast<float>(e.star.y / 256.0);
    if (e.star.ra_correction_flag) s.ra_correction_s = e.star.ra_correction / 32.0f;
    if (e.star.dec_correction_flag) s.dec_correction_s = e.star.dec_correction / 32.0f;
    if (s.position) {
      if (!in_run) {
        series.runs.push_back(RunSpan{s.t, s.t, series.samples.size(), series.samples.size()});
        in_run = true;
      }
      series.runs.back().end_s = s.t;
      series.runs.back().end_sample = series.samples.size() + 1;
    } else {
      in_run = false;
    }
    series.samples.push_back(s);
  }
  series.end_s = static_cast<double>(tenths) / 10.0;

  // Star entities become samples in order, so the samples of an entity
  // range are those counted before its two ends.
  EntityWalker walker(entities);

  int ae_number = 0;
  int external_number = 0;
  for (EntityPos from = log.begin_pos(); from < log.sentinel();) {
    const ExposureBounds b = FindGuidedExposure(log, from);
    if (b.start == log.sentinel()) break;
    ExposureSpan span;
    span.kind = b.ae_flag == 1 ? 'A' : 'X';
    // Asked in the order of the positions, so the walk only goes forward.
    span.first_sample = walker.StarsBefore(from);
    span.begin_s = walker.SecondsAt(b.start);
    span.end_s = b.end < log.sentinel() ? walker.SecondsAt(b.end) : series.end_s;
    span.end_sample = walker.StarsBefore(b.scan_end);
    // An exposure without star entities is skipped, as the report
    // skips it.
    if (span.end_sample > span.first_sample) {
      span.number = b.ae_flag == 1 ? ++ae_number : ++external_number;
      series.exposures.push_back(span);
    }
    if (b.scan_end == from || b.scan_end >= log.sentinel()) break;
    from = b.scan_end;
  }
  return series;
}

}  // namespace ktal
