// SPDX-License-Identifier: GPL-3.0-or-later
// Building blocks of the CSV writers: a text buffer with fast, locale-free
// number formatting, written to its file in large blocks.
#pragma once

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "guidelog/decimal_text.h"
#include "guidelog/output_budget.h"

namespace ktal {

// Room to give the cell writers below that take a char pointer.
inline constexpr std::size_t kPer256Max = 32;
inline constexpr std::size_t kTenthsMax = 32;

// A number cell with 2 decimals of numerator / 256 (a star coordinate in
// 1/256 pixel, or a correction in 1/32 s times 8), in integers: the same
// text as the general number cell of that value, which it is exactly.
// Format 0 truncates the fraction after adding a half and never carries;
// format 1 rounds to nearest with ties to even, as printf does. Writes
// within kPer256Max bytes at `out` and returns the end.
inline char* WritePer256(char* out, int csv_format, std::int32_t numerator) {
  const bool negative = numerator < 0;
  const std::uint32_t magnitude =
      negative ? 0u - static_cast<std::uint32_t>(numerator) : static_cast<std::uint32_t>(numerator);
  std::uint32_t whole;
  std::uint32_t hundredths;
  if (csv_format == 0) {
    whole = magnitude / 256;
    const std::uint32_t rest = magnitude % 256;
    hundredths = (rest * 100 + 128) / 256;
    if (hundredths > 99) hundredths = 99;
    *out++ = negative ? '-' : ' ';
  } else {
    const std::uint64_t scaled = std::uint64_t{magnitude} * 25;  // magnitude * 100 / 256 * 64
    std::uint64_t q = scaled / 64;
    const std::uint64_t r = scaled % 64;
    if (r > 32 || (r == 32 && (q & 1))) ++q;
    whole = static_cast<std::uint32_t>(q / 100);
    hundredths = static_cast<std::uint32_t>(q % 100);
    if (negative) *out++ = '-';
  }
  out = WriteUnsigned(out, whole);
  out[0] = csv_format == 0 ? ',' : '.';
  out[1] = static_cast<char>('0' + hundredths / 10);
  out[2] = static_cast<char>('0' + hundredths % 10);
  return out + 3;
}

// The time cell of a clock in tenths of a second: the same text as the
// number cell of tenths * 0.1 with 1 decimal in either format (that
// product is never far enough from the tenth to change a digit). Writes
// within kTenthsMax bytes.
inline char* WriteTenths(char* out, int csv_format, std::uint32_t tenths) {
  if (csv_format == 0) *out++ = ' ';
  out = WriteUnsigned(out, tenths / 10);
  out[0] = csv_format == 0 ? ',' : '.';
  out[1] = static_cast<char>('0' + tenths % 10);
  return out + 2;
}

inline void AppendPer256(std::string& out, int csv_format, std::int32_t numerator) {
  char buf[kPer256Max];
  out.append(buf, WritePer256(buf, csv_format, numerator));
}

inline void AppendTenths(std::string& out, int csv_format, std::uint32_t tenths) {
  char buf[kTenthsMax];
  out.append(buf, WriteTenths(buf, csv_format, tenths));
}

// A table's text on its way to the file: rows are put together in a plain
// buffer and go out in blocks of about 64 KiB, each in one write.
class CsvText {
 public:
  // With a budget, every block written is taken from it; a block that does
  // not fit ends the writing. The stream is made unbuffered, as the blocks
  // are large already: they go to the file without a copy into the
  // stream's buffer.
  explicit CsvText(std::FILE* file, OutputBudget* budget = nullptr)
      : file_(file),
        budget_(budget),
        capacity_(kFlushAt + kSlack),
        data_(std::make_unique<char[]>(capacity_)) {
    std::setvbuf(file_, nullptr, _IONBF, 0);
  }
  CsvText(const CsvText&) = delete;
  CsvText& operator=(const CsvText&) = delete;
  ~CsvText() { Flush(); }

  // Room for `n` more bytes at the end of the text: write at most that
  // many there and hand the end of what was written to Commit.
  char* Reserve(std::size_t n) {
    if (capacity_ - size_ < n) Grow(n);
    return data_.get() + size_;
  }
  void Commit(char* end) { size_ = static_cast<std::size_t>(end - data_.get()); }

  CsvText& operator<<(std::string_view s) {
    // An empty view may have no data at all, which memcpy must not see.
    if (s.empty()) return *this;
    char* at = Reserve(s.size());
    std::memcpy(at, s.data(), s.size());
    size_ += s.size();
    return *this;
  }
  CsvText& operator<<(char c) {
    *Reserve(1) = c;
    ++size_;
    return *this;
  }
  // Every line of a table ends with CR LF, whatever the platform.
  void EndLine() {
    *this << std::string_view("\r\n", 2);
    if (size_ >= kFlushAt) Flush();
  }
  void Int(long value) { Commit(WriteSigned(Reserve(kDecimalMax), value)); }
  // Zero-padded to `width` digits.
  void Padded(unsigned long value, int width) {
    char buf[24];
    const auto r = std::to_chars(buf, buf + sizeof buf, value);
    for (int n = static_cast<int>(r.ptr - buf); n < width; ++n) *this << '0';
    *this << std::string_view(buf, static_cast<std::size_t>(r.ptr - buf));
  }
  // Lower-case hexadecimal, zero-padded to `width` digits ("%0*x").
  void Hex(std::uint32_t value, int width) {
    char buf[16];
    const auto r = std::to_chars(buf, buf + sizeof buf, value, 16);
    for (int n = static_cast<int>(r.ptr - buf); n < width; ++n) *this << '0';
    *this << std::string_view(buf, static_cast<std::size_t>(r.ptr - buf));
  }
  // printf's "%.*f" with a decimal point whatever the locale.
  void Fixed(double value, int decimals) {
    char* at = Reserve(400);
    Commit(std::to_chars(at, at + 400, value, std::chars_format::fixed, decimals).ptr);
  }
  void Per256(int csv_format, std::int32_t numerator) {
    Commit(WritePer256(Reserve(kPer256Max), csv_format, numerator));
  }
  void Tenths(int csv_format, std::uint32_t tenths) {
    Commit(WriteTenths(Reserve(kTenthsMax), csv_format, tenths));
  }

  // Writes out what is buffered; false once any write has failed or did
  // not fit the budget. Nothing is written after that.
  bool Flush() {
    if (size_ != 0 && ok_) {
      if (budget_ != nullptr && !budget_->TakeBytes(size_)) {
        over_budget_ = true;
        ok_ = false;
      } else if (std::fwrite(data_.get(), 1, size_, file_) != size_) {
        ok_ = false;
      }
    }
    size_ = 0;
    return ok_;
  }
  bool over_budget() const { return over_budget_; }

 private:
  static constexpr std::size_t kFlushAt = 1 << 16;
  // Room past the flush mark for the row that crosses it; a longer row
  // (a long debug text) makes the buffer grow.
  static constexpr std::size_t kSlack = 1 << 12;

  void Grow(std::size_t n) {
    const std::size_t capacity = std::max(2 * capacity_, size_ + n);
    auto data = std::make_unique<char[]>(capacity);
    std::memcpy(data.get(), data_.get(), size_);
    data_ = std::move(data);
    capacity_ = capacity;
  }

  std::FILE* file_;
  OutputBudget* budget_;
  std::size_t capacity_;
  std::unique_ptr<char[]> data_;
  std::size_t size_ = 0;
  bool ok_ = true;
  bool over_budget_ = false;
};

}  // namespace ktal
