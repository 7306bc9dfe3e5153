// SPDX-License-Identifier: GPL-3.0-or-later
// Reads back the FITS files of fits_export with CFITSIO, for the tests of
// the writer and of the camera window.
#pragma once

#include <fitsio.h>
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "camera/camera_protocol.h"

namespace ktal {

// Entries compare by their fields (found by argument lookup).
inline bool operator==(const HotPixelEntry& a, const HotPixelEntry& b) {
  return a.x == b.x && a.y == b.y && a.flags == b.flags;
}

namespace testing {

class FitsReader {
 public:
  explicit FitsReader(const std::string& path) {
    fits_open_file(&file_, path.c_str(), READONLY, &status_);
  }
  ~FitsReader() {
    if (file_ != nullptr) fits_close_file(file_, &status_);
  }
  FitsReader(const FitsReader&) = delete;
  FitsReader& operator=(const FitsReader&) = delete;

  bool ok() const { return file_ != nullptr && status_ == 0; }
  int HduCount() {
    int count = 0;
    fits_get_num_hdus(file_, &count, &status_);
    return count;
  }
  bool MoveTo(int number) { return fits_movabs_hdu(file_, number, nullptr, &status_) == 0; }
  bool MoveTo(const char* extname) {
    return fits_movnam_hdu(file_, ANY_HDU, const_cast<char*>(extname), 0, &status_) == 0;
  }

  // The value of a card of the current HDU: a text without its quotes, a
  // number as written (4., 2.77); nullopt when there is no such card.
  std::optional<std::string> Card(const char* key) {
    char value[FLEN_VALUE] = {};
    int status = 0;
    if (fits_read_keyword(file_, key, value, nullptr, &status) != 0) return std::nullopt;
    if (value[0] == '\'') fits_read_key_str(file_, key, value, nullptr, &status);
    return std::string(value);
  }
  // Every card of the current HDU that has a value: key and value.
  std::vector<std::pair<std::string, std::string>> ValueCards() {
    int count = 0;
    fits_get_hdrspace(file_, &count, nullptr, &status_);
    std::vector<std::pair<std::string, std::string>> cards;
    for (int i = 1; i <= count; ++i) {
      char key[FLEN_KEYWORD] = {}, value[FLEN_VALUE] = {};
      fits_read_keyn(file_, i, key, value, nullptr, &status_);
      if (std::string(key) != "COMMENT") cards.emplace_back(key, value);
    }
    return cards;
  }

  // An 8-bit image, row after row; `size` gets its width and height.
  std::vector<std::uint8_t> Image(long (&size)[2]) {
    int bitpix = 0, axes = 0;
    fits_get_img_param(file_, 2, &bitpix, &axes, size, &status_);
    EXPECT_EQ(bitpix, BYTE_IMG);
    std::vector<std::uint8_t> pixels(size[0] * size[1]);
    fits_read_img(file_, TBYTE, 1, pixels.size(), nullptr, pixels.data(), nullptr, &status_);
    return pixels;
  }
  // The rows of a hot-pixel table, from its columns X, Y and FLAGS.
  std::vector<HotPixelEntry> Table() {
    long rows = 0;
    fits_get_num_rows(file_, &rows, &status_);
    std::vector<int> values[3];
    const char* names[3] = {"X", "Y", "FLAGS"};
    for (int c = 0; c < 3; ++c) {
      int column = 0;
      fits_get_colnum(file_, CASEINSEN, const_cast<char*>(names[c]), &column, &status_);
      values[c].resize(rows);
      if (rows > 0)
        fits_read_col(file_, TINT, column, 1, 1, rows, nullptr, values[c].data(), nullptr,
                      &status_);
    }
    std::vector<HotPixelEntry> entries;
    for (long i = 0; i < rows; ++i) {
      entries.push_back({static_cast<std::uint16_t>(values[0][i]),
                         static_cast<std::uint16_t>(values[1][i]),
                         static_cast<std::uint8_t>(values[2][i])});
    }
    EXPECT_EQ(status_, 0);
    return entries;
  }

 private:
  fitsfile* file_ = nullptr;
  int status_ = 0;
};

// The first `count` entries of a map's table.
inline std::vector<HotPixelEntry> Entries(const HotPixelEntry* table, int count) {
  return std::vector<HotPixelEntry>(table, table + count);
}

}  // namespace testing
}  // namespace ktal
