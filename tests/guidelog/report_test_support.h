// SPDX-License-Identifier: GPL-3.0-or-later
// Helpers of the exposure, plot, report and raw-copy tests: entities built
// field by field, and a fresh working directory per test.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "guidelog/guide_log.h"

namespace ktal::report_test {

inline constexpr std::uint16_t kTestDate = PackDate(2014, 3, 21);

// Seconds after 21:00:00.0 as an entity clock.
inline std::uint32_t TenthsAt(double seconds) {
  return static_cast<std::uint32_t>(21 * 36000 + seconds * 10.0 + 0.5);
}

inline LogEntity MakeEntity(std::uint32_t type, double seconds) {
  LogEntity e;
  e.type = type;
  e.clock_tenths = TenthsAt(seconds);
  e.clock_date = kTestDate;
  return e;
}

// A drift measurement; x and y in pixels. A correction flag is set by giving
// a correction (in 1/32 s), which may be 0.
struct Correction {
  bool flag = false;
  int value = 0;
};
inline constexpr Correction kNone{};
inline Correction Corr(int value) { return Correction{true, value}; }

inline LogEntity MakeStar(double seconds, double x_px, double y_px, Correction ra = kNone,
                          Correction dec = kNone) {
  LogEntity e = MakeEntity(ENTITY_STAR, seconds);
  e.star.x = static_cast<std::int32_t>(x_px * 256.0);
  e.star.y = static_cast<std::int32_t>(y_px * 256.0);
  e.star.ra_correction_flag = ra.flag;
  e.star.ra_correction = static_cast<std::int8_t>(ra.value);
  e.star.dec_correction_flag = dec.flag;
  e.star.dec_correction = static_cast<std::int8_t>(dec.value);
  return e;
}

inline LogEntity MakeLostStar(double seconds) {
  LogEntity e = MakeEntity(ENTITY_STAR, seconds);
  e.star.no_star = 1;
  e.star.ra_correction_flag = 1;
  e.star.dec_correction_flag = 1;
  return e;
}

inline LogEntity MakeAe(double seconds, std::uint8_t state) {
  LogEntity e = MakeEntity(ENTITY_AE_CHANGE, seconds);
  e.ae.ae_state = state;
  return e;
}

// Puts the entities into the log as BuildEntities would leave them: in
// order, followed by the EOF entity with the last clock.
inline void SetEntities(GuideLog& log, std::vector<LogEntity> entities) {
  LogEntity eof;
  eof.type = ENTITY_EOF;
  if (!entities.empty()) {
    eof.clock_tenths = entities.back().clock_tenths;
    eof.clock_date = entities.back().clock_date;
  }
  entities.push_back(eof);
  log.entities = std::move(entities);
  log.scan_cursor = log.begin_pos();
}

inline std::vector<std::uint8_t> ReadBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in),
                                   std::istreambuf_iterator<char>());
}

inline void WriteBytes(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

// Runs a test in a new empty directory of its own and removes it afterwards;
// the generators write into the current directory.
class ScopedWorkDir {
 public:
  ScopedWorkDir() {
    std::random_device seed;
    const auto base = std::filesystem::temp_directory_path();
    for (int attempt = 0; attempt < 100; ++attempt) {
      const auto candidate = base / ("ktal-report-test-" + std::to_string(seed()));
      if (std::filesystem::create_directory(candidate)) {
        path_ = candidate;
        break;
      }
    }
    previous_ = std::filesystem::current_path();
    std::filesystem::current_path(path_);
  }
  ~ScopedWorkDir() {
    std::error_code ignored;
    std::filesystem::current_path(previous_, ignored);
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(path_, ignored);
  }
  ScopedWorkDir(const ScopedWorkDir&) = delete;
  ScopedWorkDir& operator=(const ScopedWorkDir&) = delete;

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
  std::filesystem::path previous_;
};

}  // namespace ktal::report_test
