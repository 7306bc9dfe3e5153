// SPDX-License-Identifier: GPL-3.0-or-later
// Helpers of the log, table and writer tests: a fresh working directory per
// test, logs loaded from pages, files read back as text.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "guidelog/guide_log.h"
#include "sim/log_writer.h"

namespace ktal::logtest {

// Makes a new empty directory the current one for the lifetime of the
// object; the old current directory comes back and the folder is removed.
class TempDir {
 public:
  TempDir() : old_(std::filesystem::current_path()) {
    std::string pattern = (std::filesystem::temp_directory_path() / "ktal-gl-XXXXXX").string();
    const char* made = ::mkdtemp(pattern.data());
    EXPECT_NE(made, nullptr);
    path_ = pattern;
    std::filesystem::current_path(path_);
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::current_path(old_, ec);
    std::filesystem::remove_all(path_, ec);
  }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path old_;
  std::filesystem::path path_;
};

inline std::string ReadText(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline bool Exists(const std::filesystem::path& path) { return std::filesystem::exists(path); }

// The lines of a CR LF text, without their line ends. A line ended by a
// bare LF is kept whole (its LF included), so a wrong line end shows.
inline std::vector<std::string> CrLfLines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t pos; (pos = text.find("\r\n", start)) != std::string::npos; start = pos + 2) {
    lines.push_back(text.substr(start, pos - start));
  }
  if (start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

inline void LoadPages(GuideLog& log, const std::vector<DataPage>& pages) {
  ASSERT_EQ(log.BeginLog(PackDate(2014, 3, 21), PackTime(21, 0), kUnsetDate, 0), 0);
  for (const DataPage& p : pages) ASSERT_EQ(log.AddPage(p), 0);
}

// Decodes what the writer holds; returns BuildEntities' result.
inline int LoadAndBuild(GuideLog& log, const LogWriter& writer) {
  LoadPages(log, writer.Pages(0x012345, 10));
  return log.BuildEntities();
}

// An EOF page holding `bytes` from data byte 0 on, with the end mark.
inline DataPage EofPage(const std::vector<std::uint8_t>& bytes, int end_byte, int end_bit,
                        int data_size) {
  DataPage page;
  for (std::size_t i = 0; i < bytes.size() && i < kPageDataBytes; ++i) page.data[i] = bytes[i];
  page.next_page = static_cast<std::uint16_t>(kEofPageFlag | (end_bit << 9) | end_byte);
  page.data_size = static_cast<std::uint16_t>(data_size);
  return page;
}

inline DataPage ChainPage(std::uint16_t next) {
  DataPage page;
  page.next_page = next;
  page.data_size = kPageDataBytes;
  return page;
}

inline LogEntity Entity(std::uint32_t type, std::uint32_t tenths,
                        std::uint16_t date = PackDate(2014, 3, 21)) {
  LogEntity e;
  e.type = type;
  e.clock_tenths = tenths;
  e.clock_date = date;
  return e;
}

inline LogEntity Drift(std::uint32_t tenths, int x, int y, int ra = 0, bool ra_flag = false,
                       int dec = 0, bool dec_flag = false) {
  LogEntity e = Entity(ENTITY_STAR, tenths);
  e.star.x = x;
  e.star.y = y;
  e.star.ra_correction_flag = ra_flag;
  e.star.ra_correction = static_cast<std::int8_t>(ra);
  e.star.dec_correction_flag = dec_flag;
  e.star.dec_correction = static_cast<std::int8_t>(dec);
  return e;
}

inline LogEntity Position(std::uint32_t tenths, int x, int y,
                          std::uint16_t date = PackDate(2014, 3, 21)) {
  LogEntity e = Entity(ENTITY_STAR, tenths, date);
  e.star.is_position = 1;
  e.star.x = x;
  e.star.y = y;
  return e;
}

inline LogEntity LostStar(std::uint32_t tenths) {
  LogEntity e = Entity(ENTITY_STAR, tenths);
  e.star.no_star = 1;
  e.star.ra_correction_flag = 1;
  e.star.dec_correction_flag = 1;
  return e;
}

inline LogEntity OpenRecord(std::uint32_t tenths, std::uint8_t major, std::uint8_t minor,
                            bool reopened = false) {
  LogEntity e = Entity(ENTITY_CLOCK, tenths);
  e.clock.is_open = 1;
  e.clock.fw_major = major;
  e.clock.fw_minor = minor;
  e.clock.reopened = reopened;
  return e;
}

inline LogEntity Marker(std::uint32_t tenths, std::uint8_t value) {
  LogEntity e = Entity(ENTITY_MARKER, tenths);
  e.marker.value = value;
  return e;
}

inline LogEntity Ae(std::uint32_t tenths, std::uint8_t state_byte) {
  LogEntity e = Entity(ENTITY_AE_CHANGE, tenths);
  e.ae.ae_state = state_byte & 0x3F;
  e.ae.foc_flag = (state_byte >> 6) & 1;
  e.ae.exp_flag = (state_byte >> 7) & 1;
  return e;
}

inline LogEntity Variable(std::uint32_t tenths, std::uint8_t id,
                          const std::vector<std::uint8_t>& value) {
  LogEntity e = Entity(ENTITY_VARIABLE, tenths);
  e.variable.variable_id = id;
  e.variable.length = static_cast<std::uint8_t>(value.size());
  for (std::size_t i = 0; i < value.size() && i < 16; ++i) e.variable.value[i] = value[i];
  return e;
}

inline LogEntity DebugValue(std::uint32_t tenths, std::uint8_t kind,
                            const std::vector<std::uint8_t>& bytes) {
  LogEntity e = Entity(ENTITY_DEBUG, tenths);
  e.debug.debug_kind = kind;
  for (std::size_t i = 0; i < bytes.size() && i < 7; ++i) e.debug.value[i] = bytes[i];
  return e;
}

// A debug text entity needs a list to hold its text: a list of one.
inline EntityList DebugText(std::uint32_t tenths, const std::string& text) {
  EntityList list;
  LogEntity e = Entity(ENTITY_DEBUG, tenths);
  e.debug.debug_kind = kDebugText;
  list.SetDebugText(e, text);
  list.push_back(e);
  return list;
}

// Field-by-field equality of the parts an entity of its type carries,
// entity i of list a against entity j of list b.
inline ::testing::AssertionResult SameEntity(const EntityList& la, std::size_t i,
                                             const EntityList& lb, std::size_t j) {
  const LogEntity& a = la[i];
  const LogEntity& b = lb[j];
  auto fail = [&](const char* what) {
    return ::testing::AssertionFailure()
           << what << " differs (type 0x" << std::hex << a.type << " vs 0x" << b.type << std::dec
           << ", clock " << a.clock_tenths << "/" << a.clock_date << " vs " << b.clock_tenths << "/"
           << b.clock_date << ")";
  };
  if (a.type != b.type) return fail("type");
  if (a.clock_tenths != b.clock_tenths || a.clock_date != b.clock_date) return fail("clock");
  switch (a.type) {
    case ENTITY_STAR: {
      const StarPayload& s = a.star;
      const StarPayload& t = b.star;
      if (s.no_star != t.no_star || s.is_position != t.is_position || s.x != t.x || s.y != t.y ||
          s.ra_correction_flag != t.ra_correction_flag ||
          s.dec_correction_flag != t.dec_correction_flag || s.ra_correction != t.ra_correction ||
          s.dec_correction != t.dec_correction) {
        return fail("star payload");
      }
      break;
    }
    case ENTITY_VARIABLE:
      if (a.variable.variable_id != b.variable.variable_id ||
          a.variable.length != b.variable.length ||
          std::memcmp(a.variable.value, b.variable.value, 16) != 0) {
        return fail("variable payload");
      }
      break;
    case ENTITY_AE_CHANGE:
      if (a.ae.ae_state != b.ae.ae_state || a.ae.foc_flag != b.ae.foc_flag ||
          a.ae.exp_flag != b.ae.exp_flag) {
        return fail("AE payload");
      }
      break;
    case ENTITY_CLOCK:
      if (a.clock.is_open != b.clock.is_open || a.clock.reopened != b.clock.reopened ||
          (a.clock.is_open &&
           (a.clock.fw_major != b.clock.fw_major || a.clock.fw_minor != b.clock.fw_minor))) {
        return fail("clock payload");
      }
      break;
    case ENTITY_MARKER:
      if (a.marker.value != b.marker.value) return fail("marker value");
      break;
    case ENTITY_DEBUG:
      if (a.debug.debug_kind != b.debug.debug_kind) return fail("debug kind");
      if (std::memcmp(a.debug.value, b.debug.value, 7) != 0) return fail("debug value");
      if (la.DebugText(i) != lb.DebugText(j)) return fail("debug text");
      break;
    case ENTITY_EOF:
      if (a.eof_message() != b.eof_message()) return fail("EOF message");
      break;
    default:
      break;
  }
  return ::testing::AssertionSuccess();
}
inline ::testing::AssertionResult SameEntity(const EntityList& a, const EntityList& b,
                                             std::size_t i) {
  return SameEntity(a, i, b, i);
}

}  // namespace ktal::logtest
