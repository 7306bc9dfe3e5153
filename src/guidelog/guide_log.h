// SPDX-License-Identifier: GPL-3.0-or-later
// The in-memory model of one guiding log: its stored pages, the page-stream
// reader, and the decoded entity list that every generator walks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "guidelog/exposure_fields.h"
#include "guidelog/log_format.h"
#include "guidelog/plot_image.h"

namespace ktal {

// Position in the page stream. At the start of every page the bit byte is
// data byte 0 and the first whole byte is data byte 1.
struct StreamCursor {
  int page_index = 0;    // stored page being read
  int byte_pos = 1;      // next data byte handed out as a whole byte
  int bit_byte_pos = 0;  // data byte that is the current bit byte
  int bit_index = 7;     // next bit of the bit byte, 7 down to 0
};

// The clock that runs from entity to entity.
struct RunningClock {
  std::uint32_t tenths = 0;  // 24 bits
  std::uint16_t date = 0;
};

// Index into GuideLog::entities; entities.size() is the sentinel.
using EntityPos = std::size_t;

class GuideLog {
 public:
  GuideLog();
  GuideLog(const GuideLog&) = delete;
  GuideLog& operator=(const GuideLog&) = delete;

  // Resets the model for a new log (no pages, entity list and analysis array
  // emptied) and
  // checks the directory entry's stamps: 0 valid, 1 a stamp is invalid.
  int BeginLog(std::uint16_t created_date, std::uint16_t created_time, std::uint16_t modified_date,
               std::uint16_t modified_time);
  // Stores one page behind the stored ones and takes the end marks from it:
  // 0 stored, 1 (nothing stored) when 4096 pages are already there.
  int AddPage(const DataPage& page);
  // Reads a raw file (open for reading bytes) into the model and its
  // directory entry into `entry`: 0 read, 1 short file or a page cut off,
  // 2 header text differs, 3 a stamp is invalid.
  int ReadRawFile(std::FILE* file, DirectoryEntry& entry);
  // Decodes the stored pages into `entities`, which always ends with an
  // ENTITY_EOF: 0 decoded without error, 1 after a stream error.
  int BuildEntities() { return BuildEntities(UnnamedRepeats::kKeep); }
  // The same, keeping only the first of every run of payload-less entities
  // (types 0xBF, 0xEF and 0xFF) when asked: no generator can tell the rest
  // from it, and a stream of zero bits is sixteen million of them.
  enum class UnnamedRepeats { kKeep, kDrop };
  int BuildEntities(UnnamedRepeats repeats);

  EntityPos begin_pos() const { return 0; }
  EntityPos sentinel() const { return entities.size(); }
  const DataPage& page(int index) const { return pages[index]; }

  // --- Page store: room for kMaxLogPages pages taken at once, so a log
  // never moves; only the pages stored are ever written or touched. ---
  std::vector<DataPage> pages;
  int page_count = 0;

  // --- End marks, taken from the last stored page. ---
  int last_page_index = -1;
  int last_data_size = 0;
  int end_byte_index = 0;
  int end_bit_index = -1;  // -1: none

  // --- Reader state, reset by every BuildEntities. ---
  StreamCursor cursor;
  std::uint32_t last_type = kInitialEntityType;
  RunningClock clock;
  std::uint8_t reopen_pending = 0;

  // --- Entity list in stream order; the last one is always ENTITY_EOF. ---
  EntityList entities;

  // --- Shared by the periodic-error export and the exposure analysis. ---
  // Where the next search starts; sentinel() when the list is exhausted.
  EntityPos scan_cursor = 0;
  // Copies of the star entities of the current run or exposure.
  std::vector<LogEntity> positions;

  // --- The current guided exposure (NextGuidedExposure) and its plots. ---
  ExposureFields exposure;
  PlotImage drift_image;
  PlotImage spread_image;
  PlotImage error_image;
};

// Signed tenths of a second from b's clock to a's clock, exactly. Any
// change of date counts as exactly one day. Inline, as is SecondsBetween:
// every analysis calls them once or twice per frame.
inline long TenthsBetween(const LogEntity& a, const LogEntity& b) {
  const long d = static_cast<long>(a.clock_tenths) - static_cast<long>(b.clock_tenths);
  if (a.clock_date == b.clock_date) return d;
  if (a.clock_date > b.clock_date) return d + static_cast<long>(kTenthsPerDay);
  return d - static_cast<long>(kTenthsPerDay);
}
// The same in seconds.
inline double SecondsBetween(const LogEntity& a, const LogEntity& b) {
  return static_cast<double>(TenthsBetween(a, b)) * 0.1;
}
// "%2d:%02d:%02d.%d" of the entity's time of day, in one static buffer that
// the next call overwrites.
const char* FormatClockTime(const LogEntity& entity);

}  // namespace ktal
