// Reads back the FITS files of fits_export with CFITSIO, for the tests of
// the writer and of the camera window.
#pragma once

#include <fitsio.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "camera/camera_protocol.h"

namespace ktal::testing {

class FitsReader {
 public:
  explicit FitsReader(const std::string& path) {
    fits_open_file(&file_, path.c_str(), READONLY, &status_);
    EXPECT_EQ(status_, 0) << "cannot open " << path;
  }
  ~FitsReader() {
    int ignored = 0;
    if (file_ != nullptr) fits_close_file(file_, &ignored);
  }
  FitsReader(const FitsReader&) = delete;
  FitsReader& operator=(const FitsReader&) = delete;

  bool ok() const { return file_ != nullptr && status_ == 0; }

  int HduCount() {
    int count = 0;
    int status = 0;
    fits_get_num_hdus(file_, &count, &status);
    return count;
  }
  // 1 is the primary HDU.
  bool MoveTo(int number) {
    int status = 0;
    fits_movabs_hdu(file_, number, nullptr, &status);
    return status == 0;
  }
  bool MoveTo(const char* extname) {
    int status = 0;
    fits_movnam_hdu(file_, ANY_HDU, const_cast<char*>(extname), 0, &status);
    return status == 0;
  }

  // ---- Cards of the current HDU; nullopt when the key is absent ----

  std::optional<std::string> Text(const char* key) {
    char value[FLEN_VALUE] = {};
    int status = 0;
    fits_read_key_str(file_, key, value, nullptr, &status);
    if (status != 0) return std::nullopt;
    return std::string(value);
  }
  std::optional<long> Integer(const char* key) {
    long value = 0;
    int status = 0;
    fits_read_key_lng(file_, key, &value, nullptr, &status);
    if (status != 0) return std::nullopt;
    return value;
  }
  std::optional<double> Real(const char* key) {
    double value = 0;
    int status = 0;
    fits_read_key_dbl(file_, key, &value, nullptr, &status);
    if (status != 0) return std::nullopt;
    return value;
  }
  // Every card that has a value: key and value as written (strings quoted).
  std::vector<std::pair<std::string, std::string>> ValueCards() {
    int count = 0;
    int status = 0;
    fits_get_hdrspace(file_, &count, nullptr, &status);
    std::vector<std::pair<std::string, std::string>> cards;
    for (int i = 1; i <= count; ++i) {
      char key[FLEN_KEYWORD] = {};
      char value[FLEN_VALUE] = {};
      char comment[FLEN_COMMENT] = {};
      fits_read_keyn(file_, i, key, value, comment, &status);
      const std::string name = key;
      if (name == "COMMENT" || name == "HISTORY" || name.empty()) continue;
      cards.emplace_back(name, value);
    }
    return cards;
  }

  // ---- Data ----

  // The 8-bit image of the current HDU, row after row.
  std::vector<std::uint8_t> Image(long& width, long& height, int& bitpix) {
    int status = 0;
    int axes = 0;
    long size[2] = {};
    fits_get_img_param(file_, 2, &bitpix, &axes, size, &status);
    width = size[0];
    height = size[1];
    std::vector<std::uint8_t> pixels(static_cast<std::size_t>(width * height));
    int anyNull = 0;
    fits_read_img(file_, TBYTE, 1, width * height, nullptr, pixels.data(), &anyNull, &status);
    EXPECT_EQ(status, 0);
    return pixels;
  }
  // The rows of a hot-pixel table (columns X, Y, FLAGS by name).
  std::vector<HotPixelEntry> Table() {
    int status = 0;
    long rows = 0;
    fits_get_num_rows(file_, &rows, &status);
    int columns[3] = {};
    const char* names[3] = {"X", "Y", "FLAGS"};
    for (int c = 0; c < 3; ++c)
      fits_get_colnum(file_, CASEINSEN, const_cast<char*>(names[c]), &columns[c], &status);
    std::vector<int> xs(rows), ys(rows), flags(rows);
    if (rows > 0) {
      fits_read_col(file_, TINT, columns[0], 1, 1, rows, nullptr, xs.data(), nullptr, &status);
      fits_read_col(file_, TINT, columns[1], 1, 1, rows, nullptr, ys.data(), nullptr, &status);
      fits_read_col(file_, TINT, columns[2], 1, 1, rows, nullptr, flags.data(), nullptr, &status);
    }
    EXPECT_EQ(status, 0);
    std::vector<HotPixelEntry> entries;
    for (long i = 0; i < rows; ++i) {
      entries.push_back({static_cast<std::uint16_t>(xs[i]), static_cast<std::uint16_t>(ys[i]),
                         static_cast<std::uint8_t>(flags[i])});
    }
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

}  // namespace ktal::testing

namespace ktal {

// Entries compare and print by their fields (found by argument lookup).
inline bool operator==(const HotPixelEntry& a, const HotPixelEntry& b) {
  return a.x == b.x && a.y == b.y && a.flags == b.flags;
}
inline void PrintTo(const HotPixelEntry& entry, std::ostream* out) {
  *out << "(" << entry.x << ", " << entry.y << ", flags " << int{entry.flags} << ")";
}

}  // namespace ktal
