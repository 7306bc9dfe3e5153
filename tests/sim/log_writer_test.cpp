// SPDX-License-Identifier: GPL-3.0-or-later
// The log writer against the reader: byte layout, clock entities, the end
// mark, a full page store, and random entity sequences that must come back
// unchanged.
#include "sim/log_writer.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "guidelog/guide_log.h"
#include "guidelog_test_util.h"
#include "sim/session_generator.h"

namespace ktal {
namespace {

using logtest::Drift;
using logtest::Entity;
using logtest::LoadAndBuild;
using logtest::SameEntity;

constexpr std::uint16_t kDay = PackDate(2014, 3, 21);

// Entity sequences whose clocks change only as the stream can carry them:
// clock byte 0 with each star, variable, AE change and debug entity, the
// upper bytes only through clock entities.
class RandomLog {
 public:
  explicit RandomLog(std::uint32_t seed) : rng_(seed) {}

  EntityList Make(int count) {
    EntityList out;
    for (int i = 0; i < count; ++i) {
      std::string text;
      LogEntity e = Next(text);
      if (e.type == ENTITY_DEBUG && e.debug.debug_kind == kDebugText) out.SetDebugText(e, text);
      out.push_back(e);
    }
    return out;
  }

 private:
  std::uint32_t Below(std::uint32_t n) { return rng_() % n; }

  void NewLowByte() { tenths_ = (tenths_ & 0xFFFF00) | Below(256); }

  LogEntity Next(std::string& text) {
    const std::uint32_t r = Below(100);
    LogEntity e;
    if (r < 40) {
      NewLowByte();
      e = Entity(ENTITY_STAR, tenths_, date_);
      StarPayload& s = e.star;
      const std::uint32_t kind = Below(10);
      if (kind == 0) {
        s.no_star = 1;
        s.ra_correction_flag = 1;
        s.dec_correction_flag = 1;
      } else {
        s.is_position = kind < 4;
        if (s.is_position) {
          s.x = static_cast<std::int32_t>(Below(1u << 24));
          s.y = static_cast<std::int32_t>(Below(1u << 24));
        } else {
          s.x = static_cast<std::int32_t>(Below(65536)) - 32768;
          s.y = static_cast<std::int32_t>(Below(65536)) - 32768;
        }
        s.ra_correction_flag = Below(2);
        s.dec_correction_flag = Below(2);
        if (s.ra_correction_flag) s.ra_correction = static_cast<std::int8_t>(Below(256));
        if (s.dec_correction_flag) s.dec_correction = static_cast<std::int8_t>(Below(256));
      }
    } else if (r < 50) {
      NewLowByte();
      e = Entity(ENTITY_VARIABLE, tenths_, date_);
      static const std::uint8_t kIds[] = {10, 11, 12, 20, 30, 0, 99, 255};
      e.variable.variable_id = kIds[Below(8)];
      e.variable.length = static_cast<std::uint8_t>(Below(25));
      for (int i = 0; i < e.variable.length && i < 16; ++i) {
        e.variable.value[i] = static_cast<std::uint8_t>(Below(256));
      }
    } else if (r < 58) {
      NewLowByte();
      e = Entity(ENTITY_AE_CHANGE, tenths_, date_);
      e.ae.ae_state = static_cast<std::uint8_t>(Below(64));
      e.ae.foc_flag = Below(2);
      e.ae.exp_flag = Below(2);
    } else if (r < 68) {
      const std::uint32_t form = Below(10);
      if (form >= 5) date_ = static_cast<std::uint16_t>(Below(65536));
      const std::uint32_t upper = form >= 5 ? Below(1u << 16) : Below(0xF0) << 8 | Below(256);
      tenths_ = (tenths_ & 0xFF) | (upper << 8);
      e = Entity(ENTITY_CLOCK, tenths_, date_);
      if (form >= 8) {
        e.clock.is_open = 1;
        e.clock.reopened = pending_;
        e.clock.fw_major = static_cast<std::uint8_t>(Below(256));
        e.clock.fw_minor = static_cast<std::uint8_t>(Below(256));
        pending_ = 0;
      }
    } else if (r < 76) {
      e = Entity(ENTITY_MARKER, tenths_, date_);
      const std::uint32_t v = Below(4);
      e.marker.value = static_cast<std::uint8_t>(v < 2 ? v : Below(256));
      if (e.marker.value == 1) pending_ = 1;
    } else if (r < 91) {
      NewLowByte();
      e = Entity(ENTITY_DEBUG, tenths_, date_);
      const std::uint32_t kind = Below(4);
      if (kind < 2) {
        e.debug.debug_kind = kDebugText;
        const std::uint32_t length = Below(20) == 0 ? 600 + Below(600) : Below(40);
        for (std::uint32_t i = 0; i < length; ++i) {
          text.push_back(static_cast<char>(i == 0 ? 32 + Below(96) : 1 + Below(255)));
        }
      } else if (kind == 2) {
        e.debug.debug_kind = static_cast<std::uint8_t>(1 + Below(15));
        for (int i = 0; i < (e.debug.debug_kind & 7); ++i) {
          e.debug.value[i] = static_cast<std::uint8_t>(Below(256));
        }
      } else {
        e.debug.debug_kind = kDebugInvalid;
      }
    } else {
      static const std::uint32_t kUnnamed[] = {0xBF, 0xEF, 0xFF};
      e = Entity(kUnnamed[Below(3)], tenths_, date_);
    }
    return e;
  }

  std::mt19937 rng_;
  std::uint32_t tenths_ = 0;
  std::uint16_t date_ = 0;
  std::uint8_t pending_ = 0;
};

void ExpectRoundTrip(const EntityList& input, const LogWriter& w, const GuideLog& log, int result) {
  EXPECT_EQ(result, 0);
  ASSERT_EQ(log.entities.size(), input.size() + 1);
  for (std::size_t i = 0; i < input.size(); ++i) {
    ASSERT_TRUE(SameEntity(log.entities, input, i)) << "entity " << i;
    ASSERT_TRUE(SameEntity(w.entities(), input, i)) << "entity " << i;
  }
  EXPECT_EQ(log.entities.back().type, ENTITY_EOF);
  EXPECT_EQ(log.entities.back().eof_message(), "");
}

TEST(LogWriterTest, RandomSequencesComeBackUnchanged) {
  GuideLog log;
  for (std::uint32_t seed = 1; seed <= 300; ++seed) {
    SCOPED_TRACE(seed);
    RandomLog random(seed);
    const EntityList input = random.Make(static_cast<int>(seed * 7 % 1500));
    LogWriter w;
    ASSERT_EQ(w.Append(input), LogWriter::kOk);
    const int result = LoadAndBuild(log, w);
    ExpectRoundTrip(input, w, log, result);
    if (HasFatalFailure()) return;
  }
}

TEST(LogWriterTest, LongRandomSequenceThroughARawFile) {
  RandomLog random(4242);
  const EntityList input = random.Make(40000);
  LogWriter w;
  ASSERT_EQ(w.Append(input), LogWriter::kOk);
  ASSERT_GT(w.page_count(), 100);
  DirectoryEntry entry;
  entry.first_page = 77;
  SetFileId(entry.file_id, 0x00BEEF);
  entry.created_date = kDay;
  entry.created_time = PackTime(21, 0);
  const std::vector<std::uint8_t> raw = w.RawFile(entry);
  ASSERT_EQ(raw.size(), 64 + w.page_count() * kDataPageSize);
  std::FILE* file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  std::fwrite(raw.data(), 1, raw.size(), file);
  std::rewind(file);
  GuideLog log;
  DirectoryEntry read_entry;
  ASSERT_EQ(log.ReadRawFile(file, read_entry), 0);
  std::fclose(file);
  EXPECT_EQ(FileIdOf(read_entry.file_id), 0x00BEEFu);
  EXPECT_EQ(read_entry.first_page, 77);
  const int result = log.BuildEntities();
  ExpectRoundTrip(input, w, log, result);
}

TEST(LogWriterTest, ClockEntitiesAreInsertedInShortAndLongForm) {
  const std::uint32_t t0 = 21 * 36000;  // 21:00:00.0 = 0x0B8A00... upper bytes
  const std::uint32_t t1 = t0 + 300;    // 30 s later: byte 1 changes
  LogWriter w;
  ASSERT_EQ(w.Append(Drift(t0, 1, 2)), 0);
  ASSERT_EQ(w.Append(Drift(t1, 3, 4)), 0);
  ASSERT_EQ(w.Append(logtest::Position(t1 + 1, 5, 6, PackDate(2014, 3, 22))), 0);
  const std::vector<DataPage> pages = w.Pages();
  ASSERT_EQ(pages.size(), 1u);
  const std::uint8_t* d = pages[0].data;
  // Bit byte 0: 1,100 (clock) and 1,000 (star). The long form: 0xF0, date
  // high, date low, byte 2, byte 1.
  EXPECT_EQ(d[0], 0xC8);
  EXPECT_EQ(d[1], 0xF0);
  EXPECT_EQ(d[2], kDay >> 8);
  EXPECT_EQ(d[3], kDay & 0xFF);
  EXPECT_EQ(d[4], (t0 >> 16) & 0xFF);
  EXPECT_EQ(d[5], (t0 >> 8) & 0xFF);
  // The star's last type bit emptied bit byte 0: byte 6 is the next one,
  // holding 1,100 (short clock) and 1,000 (star) again.
  EXPECT_EQ(d[6], 0xC8);
  EXPECT_EQ(d[7], t0 & 0xFF);
  EXPECT_EQ(d[8], 0x00);  // flags: a drift, no corrections
  EXPECT_EQ(d[9], 1);
  EXPECT_EQ(d[11], 2);
  // The short form: byte 2 (below 0xF0), byte 1.
  EXPECT_EQ(d[13], (t1 >> 16) & 0xFF);
  EXPECT_EQ(d[14], (t1 >> 8) & 0xFF);
  // The second star's type bits empty bit byte 6: byte 15 is the next one
  // (long clock and star), the star's clock byte is 16.
  EXPECT_EQ(d[15], 0xC8);
  EXPECT_EQ(d[16], t1 & 0xFF);
  // The change of date needs the long form.
  EXPECT_EQ(d[22], 0xF0);

  GuideLog log;
  ASSERT_EQ(LoadAndBuild(log, w), 0);
  const std::vector<std::uint32_t> types = {ENTITY_CLOCK, ENTITY_STAR, ENTITY_CLOCK, ENTITY_STAR,
                                            ENTITY_CLOCK, ENTITY_STAR, ENTITY_EOF};
  ASSERT_EQ(log.entities.size(), types.size());
  for (std::size_t i = 0; i < types.size(); ++i) EXPECT_EQ(log.entities[i].type, types[i]) << i;
  EXPECT_EQ(log.entities[1].clock_tenths, t0);
  EXPECT_EQ(log.entities[3].clock_tenths, t1);
  EXPECT_EQ(log.entities[5].clock_tenths, t1 + 1);
  EXPECT_EQ(log.entities[5].clock_date, PackDate(2014, 3, 22));
  EXPECT_EQ(log.entities.back().eof_message(), "");
  for (std::size_t i = 0; i + 1 < log.entities.size(); ++i) {
    EXPECT_TRUE(SameEntity(log.entities, w.entities(), i)) << i;
  }
}

TEST(LogWriterTest, MarkersAndUnnamedTypesTakeTheRunningClock) {
  LogWriter w;
  ASSERT_EQ(w.Append(Drift(1000, 0, 0)), 0);
  ASSERT_EQ(w.Append(logtest::Marker(5000, 0)), 0);
  ASSERT_EQ(w.Append(Entity(ENTITY_UNNAMED_BF, 7000)), 0);
  ASSERT_EQ(w.entities().size(), 4u);
  EXPECT_EQ(w.entities()[2].clock_tenths, 1000u);
  EXPECT_EQ(w.entities()[3].clock_tenths, 1000u);
  GuideLog log;
  ASSERT_EQ(LoadAndBuild(log, w), 0);
  ASSERT_EQ(log.entities.size(), 5u);
  EXPECT_EQ(log.entities[3].type, ENTITY_UNNAMED_BF);
  EXPECT_EQ(log.entities[3].clock_tenths, 1000u);
  EXPECT_EQ(log.entities[4].eof_message(), "");
}

TEST(LogWriterTest, ReopenedOpenRecordGetsItsMarker) {
  LogWriter w;
  ASSERT_EQ(w.Append(logtest::OpenRecord(100, 2, 0x50)), 0);
  ASSERT_EQ(w.Append(logtest::OpenRecord(200, 2, 0x60, true)), 0);
  GuideLog log;
  ASSERT_EQ(LoadAndBuild(log, w), 0);
  ASSERT_EQ(log.entities.size(), 4u);
  EXPECT_EQ(log.entities[1].type, ENTITY_MARKER);
  EXPECT_EQ(log.entities[1].marker.value, 1);
  EXPECT_EQ(log.entities[2].clock.reopened, 1);
  EXPECT_EQ(log.entities[2].clock.fw_minor, 0x60);
}

TEST(LogWriterTest, EmptyLogIsOneEofPage) {
  LogWriter w;
  const std::vector<DataPage> pages = w.Pages(0x123456, 5);
  ASSERT_EQ(pages.size(), 1u);
  EXPECT_EQ(pages[0].next_page, 0x1E00);  // end byte 0, end bit 7
  EXPECT_EQ(pages[0].data_size, 1);
  EXPECT_EQ(FileIdOf(pages[0].file_id), 0x123456u);
  GuideLog log;
  ASSERT_EQ(LoadAndBuild(log, w), 0);
  ASSERT_EQ(log.entities.size(), 1u);
  EXPECT_EQ(log.entities[0].eof_message(), "");
}

TEST(LogWriterTest, TypeBitsAloneAtTheEndAreStillRead) {
  // A log ending in entities of type bits only: the EOF page counts one
  // byte more than the bytes used, or the reader would not take them.
  // Bytes: bit byte 0, the marker's value, bit byte 2 (taken by the first
  // 0xEF, whose type code empties bit byte 0); the second 0xEF is one bit.
  LogWriter w;
  ASSERT_EQ(w.Append(logtest::Marker(0, 0)), 0);
  ASSERT_EQ(w.Append(Entity(ENTITY_UNNAMED_EF, 0)), 0);
  ASSERT_EQ(w.Append(Entity(ENTITY_UNNAMED_EF, 0)), 0);
  EXPECT_EQ(w.Pages()[0].data_size, 4);
  EXPECT_EQ(w.Pages()[0].next_page, kEofPageFlag | (6 << 9) | 2);
  GuideLog log;
  ASSERT_EQ(LoadAndBuild(log, w), 0);
  ASSERT_EQ(log.entities.size(), 4u);
  EXPECT_EQ(log.entities[2].type, ENTITY_UNNAMED_EF);
  EXPECT_EQ(log.entities[3].eof_message(), "");
}

TEST(LogWriterTest, PagesAreChainedAndCarryTheFileId) {
  LogWriter w;
  for (int i = 0; w.page_count() < 3; ++i) ASSERT_EQ(w.Append(Drift(i, i, -i)), 0);
  const std::vector<DataPage> pages = w.Pages(0xABCDEF, 4092);
  ASSERT_EQ(pages.size(), 3u);
  EXPECT_EQ(pages[0].next_page, 4093);
  EXPECT_EQ(pages[1].next_page, 0);  // page numbers stay below 0x0FFE
  EXPECT_EQ(pages[0].data_size, 512);
  EXPECT_EQ(pages[1].data_size, 512);
  EXPECT_GE(pages[2].next_page, kEofPageFlag);
  EXPECT_LT(pages[2].next_page, kEmptyPageMin);
  EXPECT_GE(pages[2].data_size, 1);
  EXPECT_LE(pages[2].data_size, 511);
  for (const DataPage& p : pages) EXPECT_EQ(FileIdOf(p.file_id), 0xABCDEFu);
}

TEST(LogWriterTest, EveryPageChangeKeepsTheStreamReadable) {
  // Markers one after the other cross the first page boundary in one of
  // the two ways (a value in byte 511, or a bit byte that would be 511);
  // whichever it is, the log reads back clean at each step around it.
  LogWriter w;
  GuideLog log;
  int checked = 0;
  for (int i = 0; i < 1200 && checked < 4; ++i) {
    ASSERT_EQ(w.Append(logtest::Marker(0, static_cast<std::uint8_t>(i % 200 + 2))), 0);
    if (w.page_count() >= 2) {
      ASSERT_EQ(LoadAndBuild(log, w), 0);
      ASSERT_EQ(log.entities.size(), static_cast<std::size_t>(i + 2));
      EXPECT_EQ(log.entities.back().eof_message(), "") << i;
      EXPECT_EQ(log.entities[i].marker.value, i % 200 + 2);
      ++checked;
    }
  }
  EXPECT_EQ(checked, 4);
}

TEST(LogWriterTest, RefusesWhatTheStreamCannotHold) {
  LogWriter w;
  EXPECT_EQ(w.Append(Entity(ENTITY_EOF, 0)), LogWriter::kNotEncodable);
  EXPECT_EQ(w.Append(Entity(0x42, 0)), LogWriter::kNotEncodable);
  EXPECT_EQ(w.Append(logtest::DebugText(0, "\x01starts with a kind byte")),
            LogWriter::kNotEncodable);
  EXPECT_EQ(w.Append(logtest::DebugText(0, std::string("a\0b", 3))), LogWriter::kNotEncodable);
  EXPECT_EQ(w.Append(logtest::DebugValue(0, 0x20, {})), LogWriter::kNotEncodable);
  EXPECT_TRUE(w.entities().empty());
  EXPECT_EQ(w.Pages()[0].data_size, 1);
  // Text with bytes above 127 after its first character is fine.
  EXPECT_EQ(w.Append(logtest::DebugText(0, "T\xB0\xFF")), LogWriter::kOk);
}

TEST(LogWriterTest, FullLogRefusesMoreAndStaysIntact) {
  LogWriter w;
  SessionOptions options;
  const std::size_t appended = FillLog(options, w);
  EXPECT_EQ(w.page_count(), kMaxLogPages);
  const std::vector<DataPage> before = w.Pages();
  EXPECT_EQ(w.Append(Drift(0, 1, 1)), LogWriter::kLogFull);
  EntityList text = logtest::DebugText(0, std::string(3000, 'q'));
  EXPECT_EQ(w.Append(text), LogWriter::kLogFull);
  const std::vector<DataPage> after = w.Pages();
  ASSERT_EQ(after.size(), before.size());
  EXPECT_EQ(std::memcmp(&after.back(), &before.back(), sizeof(DataPage)), 0);

  GuideLog log;
  ASSERT_EQ(LoadAndBuild(log, w), 0);
  EXPECT_EQ(log.page_count, kMaxLogPages);
  EXPECT_EQ(log.entities.size(), w.entities().size() + 1);
  EXPECT_GE(w.entities().size(), appended);
  EXPECT_EQ(log.entities.back().eof_message(), "");
}

}  // namespace
}  // namespace ktal
