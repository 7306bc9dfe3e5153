// Building blocks of the CSV writers: a text buffer with fast, locale-free
// number formatting, written to its file in large blocks.
#pragma once

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace ktal {

class CsvText {
 public:
  explicit CsvText(std::FILE* file) : file_(file) { text_.reserve(kFlushAt + 1024); }
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
    const auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed,
                                 decimals);
    text_.append(buf, r.ptr);
  }

  // Writes out what is buffered; false once any write has failed.
  bool Flush() {
    if (!text_.empty()) {
      if (std::fwrite(text_.data(), 1, text_.size(), file_) != text_.size()) ok_ = false;
      text_.clear();
    }
    return ok_;
  }

 private:
  static constexpr std::size_t kFlushAt = 1 << 16;
  std::FILE* file_;
  std::string text_;
  bool ok_ = true;
};

}  // namespace ktal
