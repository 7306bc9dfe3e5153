// Building blocks of the CSV writers: a text buffer with fast, locale-free
// number formatting, written to its file in large blocks.
#pragma once

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "guidelog/output_budget.h"

namespace ktal {

// A number cell with 2 decimals of numerator / 256 (a star coordinate in
// 1/256 pixel, or a correction in 1/32 s times 8), in integers: the same
// text as the general number cell of that value, which it is exactly.
// Format 0 truncates the fraction after adding a half and never carries;
// format 1 rounds to nearest with ties to even, as printf does.
inline void AppendPer256(std::string& out, int csv_format, std::int32_t numerator) {
  const bool negative = numerator < 0;
  const std::uint32_t magnitude =
      negative ? 0u - static_cast<std::uint32_t>(numerator) : static_cast<std::uint32_t>(numerator);
  std::uint64_t whole;
  std::uint32_t hundredths;
  if (csv_format == 0) {
    whole = magnitude / 256;
    const std::uint32_t rest = magnitude % 256;
    hundredths = (rest * 100 + 128) / 256;
    if (hundredths > 99) hundredths = 99;
    out.push_back(negative ? '-' : ' ');
  } else {
    const std::uint64_t scaled = std::uint64_t{magnitude} * 25;  // magnitude * 100 / 256 * 64
    std::uint64_t q = scaled / 64;
    const std::uint64_t r = scaled % 64;
    if (r > 32 || (r == 32 && (q & 1))) ++q;
    whole = q / 100;
    hundredths = static_cast<std::uint32_t>(q % 100);
    if (negative) out.push_back('-');
  }
  char buf[24];
  const auto end = std::to_chars(buf, buf + sizeof buf, whole).ptr;
  out.append(buf, end);
  out.push_back(csv_format == 0 ? ',' : '.');
  out.push_back(static_cast<char>('0' + hundredths / 10));
  out.push_back(static_cast<char>('0' + hundredths % 10));
}

// The time cell of a clock in tenths of a second: the same text as the
// number cell of tenths * 0.1 with 1 decimal in either format (that
// product is never far enough from the tenth to change a digit).
inline void AppendTenths(std::string& out, int csv_format, std::uint32_t tenths) {
  if (csv_format == 0) out.push_back(' ');
  char buf[16];
  const auto end = std::to_chars(buf, buf + sizeof buf, tenths / 10).ptr;
  out.append(buf, end);
  out.push_back(csv_format == 0 ? ',' : '.');
  out.push_back(static_cast<char>('0' + tenths % 10));
}

class CsvText {
 public:
  // With a budget, every block written is taken from it; a block that does
  // not fit ends the writing.
  explicit CsvText(std::FILE* file, OutputBudget* budget = nullptr) : file_(file), budget_(budget) {
    text_.reserve(kFlushAt + 1024);
  }
  CsvText(const CsvText&) = delete;
  CsvText& operator=(const CsvText&) = delete;
  ~CsvText() { Flush(); }

  std::string& text() { return text_; }

  CsvText& operator<<(std::string_view s) {
    text_.append(s);
    return *this;
  }
  CsvText& operator<<(char c) {
    text_.push_back(c);
    return *this;
  }
  // Every line of a table ends with CR LF, whatever the platform.
  void EndLine() {
    text_.append("\r\n", 2);
    if (text_.size() >= kFlushAt) Flush();
  }
  void Int(long value) {
    char buf[24];
    const auto r = std::to_chars(buf, buf + sizeof buf, value);
    text_.append(buf, r.ptr);
  }
  // Zero-padded to `width` digits.
  void Padded(unsigned long value, int width) {
    char buf[24];
    const auto r = std::to_chars(buf, buf + sizeof buf, value);
    for (int n = static_cast<int>(r.ptr - buf); n < width; ++n) text_.push_back('0');
    text_.append(buf, r.ptr);
  }
  // Lower-case hexadecimal, zero-padded to `width` digits ("%0*x").
  void Hex(std::uint32_t value, int width) {
    char buf[16];
    const auto r = std::to_chars(buf, buf + sizeof buf, value, 16);
    for (int n = static_cast<int>(r.ptr - buf); n < width; ++n) text_.push_back('0');
    text_.append(buf, r.ptr);
  }
  // printf's "%.*f" with a decimal point whatever the locale.
  void Fixed(double value, int decimals) {
    char buf[400];
    const auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, decimals);
    text_.append(buf, r.ptr);
  }

  // Writes out what is buffered; false once any write has failed or did
  // not fit the budget. Nothing is written after that.
  bool Flush() {
    if (!text_.empty() && ok_) {
      if (budget_ != nullptr && !budget_->TakeBytes(text_.size())) {
        over_budget_ = true;
        ok_ = false;
      } else if (std::fwrite(text_.data(), 1, text_.size(), file_) != text_.size()) {
        ok_ = false;
      }
    }
    text_.clear();
    return ok_;
  }
  bool over_budget() const { return over_budget_; }

 private:
  static constexpr std::size_t kFlushAt = 1 << 16;
  std::FILE* file_;
  OutputBudget* budget_;
  std::string text_;
  bool ok_ = true;
  bool over_budget_ = false;
};

}  // namespace ktal
