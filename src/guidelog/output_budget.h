// SPDX-License-Identifier: GPL-3.0-or-later
// How many files and bytes the outputs of one log may take, so that a log no
// guider writes cannot fill the disk.
#pragma once

#include <cstdint>

namespace ktal {

class GuideLog;

class OutputBudget {
 public:
  // The budget of a log is the smaller of two: what its bits can hold and
  // what the time its clock covers can hold, each about what the densest
  // log a guider records would need.
  //
  // Bits. A page carries 4088 bits of stream (byte 511 is never used). The
  // smallest exposure the guider records is the AutoExposure changes into
  // WAIT, ML and EXP (a 1-bit repeat of the type and three bytes: 25 bits
  // each), one guiding frame (a star entity with its two drifts: a 4-bit
  // type and six bytes, 52 bits) and the change back to IDLE (4 + 24
  // bits): 155 bits, 26.4 exposures a page. Each has three images of one
  // frame's width (two of 5614 bytes, the spread image 17462 bytes) and a
  // report section under 2 KB: 30.7 KB, 810 KB a page. When its frame is
  // an absolute position (68 bits) the frame is also the smallest run of
  // positions, with a periodic-error table: 171 bits and four files, 96
  // files a page. A run alone takes at least 85 bits (the position and
  // the lost star that ends it), 48 tables of 52 bytes a page. The events
  // table adds at most 70 bytes for each of at most 454 entities a page (a
  // marker is 9 bits), the analysis page under 50 bytes for each of at
  // most 240 frames a page (a lost star is 17 bits) and 80 for each
  // exposure, the exposures table under 300 bytes for each exposure. So the
  // densest real log writes at most 96 files and 878 KB a page besides the
  // events table, the report, the exposures table and the analysis page; the
  // budget of a page is about twice that. What bits alone cannot bound is
  // the width of a plot, and the images of exposures of a single frame,
  // which take 3 files for 32 bits (a lost star and a marker).
  static constexpr std::uint64_t kFilesPerPage = 192;
  static constexpr std::uint64_t kBytesPerPage = 1'750'000;
  //
  // Time. A plot has two columns per frame interval of its exposure, and the
  // exposures of a log follow one another through one night. The guider's
  // clock counts tenths of a second and the guider takes at most one frame a
  // tenth, so a second of guiding adds at most 20 columns of 126 bytes to
  // each of the drift and error images (5040 bytes) and ten frames to the
  // events table (70 bytes each), the analysis page (40, a tenth after the
  // frame before), a periodic-error table (30) and the PHD2 guide log (130):
  // 7740 bytes. A guided
  // exposure lasts seconds, and between two the camera is read out and the
  // guider settles again: a log begins at most one exposure every ten
  // seconds, each with three files and 32.7 KB besides its columns (the
  // spread image, the ends and headers of the other two images, its report
  // section, its entries in the analysis page and the exposures table, and
  // its section head in the PHD2 guide log), and ends at most one run of
  // positions every ten seconds (one file of a 52-byte head). So a second of
  // the densest guiding writes 0.4 files and under 11,000 bytes; real nights
  // write under a third of that (the simulator's long night at five frames a
  // second, 3.5 KB with the guide log).
  static constexpr double kFilesPerSecond = 0.4;
  static constexpr double kBytesPerSecond = 11'000.0;
  // The time is the span of the log's clock, counted from entity to entity
  // as the report counts it (a change of date is one day): the distance
  // from its earliest time to its latest. A clock that runs backwards and
  // passes the same hours again covers them once. It counts at least a
  // minute, so that a log whose few frames share one tenth still gets its
  // plots, and at most 20 hours: a clock that claims more (a date changed
  // every few bytes) gains nothing. A longer real night still fits, since
  // it writes a third of the densest rate. 20 hours are 28,800 files and
  // 792 MB, 910 MB on disk where each file ends in part of a 4 KB block:
  // the outputs of any log stay under 50,000 files and 1 GB.
  static constexpr double kLeastSeconds = 60.0;
  static constexpr double kMostSeconds = 72'000.0;
  // The events table, the report, the exposures table, the analysis page
  // and the PHD2 guide log, and their bytes (the analysis page's script
  // among them) for a log of no pages. The guide log adds a header of under
  // 1.6 KB for each exposure or run and under 130 bytes (a row, or two INFO
  // lines) for each entity of 17 bits or more: under 80 KB a page for the
  // densest log a guider writes, well within the margin above.
  static constexpr std::uint64_t kFixedFiles = 5;
  static constexpr std::uint64_t kFixedBytes = 128 * 1024;

  // The budget of a log of `pages` stored pages whose clock covers
  // `seconds` (as CoveredSeconds counts them).
  static OutputBudget For(int pages, double seconds);
  // The budget of a built log (BuildEntities done).
  static OutputBudget ForLog(const GuideLog& log);
  // Seconds from the earliest to the latest clock of the log's entities,
  // counted from entity to entity; 0 for a log of one entity or none.
  static double CoveredSeconds(const GuideLog& log);

  OutputBudget(std::uint64_t files, std::uint64_t bytes)
      : files_(files), bytes_(bytes), files_left_(files), bytes_left_(bytes) {}

  // One more file; false, taking nothing, when there is no room for it.
  bool TakeFile() {
    if (files_left_ == 0) return false;
    --files_left_;
    return true;
  }
  // `count` more bytes; false, taking nothing, when they do not fit.
  bool TakeBytes(std::uint64_t count) {
    if (count > bytes_left_) return false;
    bytes_left_ -= count;
    return true;
  }

  std::uint64_t files() const { return files_; }
  std::uint64_t bytes() const { return bytes_; }

 private:
  std::uint64_t files_;
  std::uint64_t bytes_;
  std::uint64_t files_left_;
  std::uint64_t bytes_left_;
};

// The line a generator prints when its next output would not fit.
void PrintBudgetExceeded(const OutputBudget& budget, const char* file);

}  // namespace ktal
