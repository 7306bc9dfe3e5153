// SPDX-License-Identifier: GPL-3.0-or-later
// Decimal integers written straight into a character buffer. The tables
// and the analysis page write millions of small numbers; these take the
// short ones (up to five digits) inline, two digits at a time.
#pragma once

#include <charconv>
#include <cstddef>
#include <cstdint>

namespace ktal {

// Room to give WriteSigned or WriteUnsigned (they write at most 20).
inline constexpr std::size_t kDecimalMax = 24;

namespace decimal_text_detail {

inline constexpr char kPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

inline char* Pair(char* out, std::uint64_t value) {
  out[0] = kPairs[2 * value];
  out[1] = kPairs[2 * value + 1];
  return out + 2;
}

}  // namespace decimal_text_detail

// The digits of `value` at `out`, which has room for kDecimalMax; returns
// their end.
inline char* WriteUnsigned(char* out, std::uint64_t value) {
  using decimal_text_detail::Pair;
  if (value < 10) {
    *out = static_cast<char>('0' + value);
    return out + 1;
  }
  if (value < 100) return Pair(out, value);
  if (value < 1000) {
    *out = static_cast<char>('0' + value / 100);
    return Pair(out + 1, value % 100);
  }
  if (value < 10000) return Pair(Pair(out, value / 100), value % 100);
  if (value < 100000) {
    *out = static_cast<char>('0' + value / 10000);
    return Pair(Pair(out + 1, value / 100 % 100), value % 100);
  }
  return std::to_chars(out, out + 20, value).ptr;
}

// The same with a leading '-' for a negative value.
inline char* WriteSigned(char* out, std::int64_t value) {
  if (value >= 0) return WriteUnsigned(out, static_cast<std::uint64_t>(value));
  *out = '-';
  return WriteUnsigned(out + 1, 0 - static_cast<std::uint64_t>(value));
}

}  // namespace ktal
