// SPDX-License-Identifier: GPL-3.0-or-later
#include "guidelog/decimal_text.h"

#include <gtest/gtest.h>

#include <charconv>
#include <cstdint>
#include <limits>
#include <string>

namespace ktal {
namespace {

std::string Reference(std::int64_t value) {
  char buffer[32];
  return std::string(buffer, std::to_chars(buffer, buffer + sizeof buffer, value).ptr);
}

std::string Written(std::int64_t value) {
  char buffer[kDecimalMax];
  return std::string(buffer, WriteSigned(buffer, value));
}

// Every length the short paths take, their edges, and the library's range.
TEST(DecimalText, WritesWhatToCharsWrites) {
  for (std::int64_t v = -120000; v <= 120000; ++v) ASSERT_EQ(Written(v), Reference(v)) << v;
  for (const std::int64_t v :
       {std::int64_t{999999}, std::int64_t{1000000}, std::int64_t{4294967295},
        std::numeric_limits<std::int64_t>::max(), std::numeric_limits<std::int64_t>::min()})
    EXPECT_EQ(Written(v), Reference(v)) << v;
  char buffer[kDecimalMax];
  const std::uint64_t largest = std::numeric_limits<std::uint64_t>::max();
  EXPECT_EQ(std::string(buffer, WriteUnsigned(buffer, largest)), "18446744073709551615");
}

}  // namespace
}  // namespace ktal
