// How many files and bytes the outputs of one log may take, so that a log no
// guider writes cannot fill the disk.
#pragma once

#include <cstdint>

namespace ktal {

class OutputBudget {
 public:
  // The budget of a log of `pages` stored pages: twice what the densest
  // log a guider records can produce in that many pages.
  //
  // A page carries 4088 bits of stream (byte 511 is never used). The
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
  // table adds under 64 bytes for each of at most 454 entities a page (a
  // marker is 9 bits), the analysis page under 50 bytes for each of at
  // most 240 frames a page (a lost star is 17 bits) and 80 for each
  // exposure, the exposures table under 300 bytes for each exposure. So the
  // densest real log writes at most 96 files and 878 KB a page besides the
  // events table, the report, the exposures table and the analysis page:
  // 393,000 files and 3.6 GB for all 4094 pages a log can have. The budget
  // is about twice that, which a crafted log reaches with exposures of a
  // few lost stars and a jump of the clock (two plots of 32800 columns
  // each), or with one-frame exposures of a lost star (32 bits each).
  static constexpr std::uint64_t kFilesPerPage = 192;
  static constexpr std::uint64_t kBytesPerPage = 1'750'000;
  // The events table, the report, the exposures table, the analysis page
  // and the PHD2 guide log, and their bytes (the analysis page's script
  // among them) for a log of no pages. The guide log adds a header of under
  // 1.6 KB for each exposure or run and under 130 bytes (a row, or two INFO
  // lines) for each entity of 17 bits or more: under 80 KB a page for the
  // densest log a guider writes, well within the margin above.
  static constexpr std::uint64_t kFixedFiles = 5;
  static constexpr std::uint64_t kFixedBytes = 128 * 1024;

  static OutputBudget ForPages(int pages) {
    const std::uint64_t count = pages > 0 ? static_cast<std::uint64_t>(pages) : 0;
    return OutputBudget(kFixedFiles + kFilesPerPage * count, kFixedBytes + kBytesPerPage * count);
  }

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
