// SPDX-License-Identifier: GPL-3.0-or-later
// The page stream, the entity decoder and the raw file reader, on streams
// laid out byte by byte.
#include "guidelog/guide_log.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "guidelog_test_util.h"

namespace ktal {
namespace {

using logtest::ChainPage;
using logtest::EofPage;
using logtest::LoadPages;

struct Decoded {
  int result;
  EntityList entities;
};

Decoded Decode(const std::vector<DataPage>& pages) {
  GuideLog log;
  LoadPages(log, pages);
  const int result = log.BuildEntities();
  return Decoded{result, log.entities};
}

std::vector<std::uint32_t> Types(const EntityList& entities) {
  std::vector<std::uint32_t> types;
  for (const LogEntity& e : entities) types.push_back(e.type);
  return types;
}

// --- Type codes --------------------------------------------------------

struct TypeCodeCase {
  const char* name;
  std::vector<std::uint8_t> bytes;  // data bytes from 0 on
  int end_byte, end_bit, data_size;
  int result;
  std::vector<std::uint32_t> types;  // EOF included
  const char* eof_message;
};

TEST(GuideLogTest, TypeCodeBitSequences) {
  const TypeCodeCase cases[] = {
      // A first entity coded "same as before" is of the type before the
      // stream: 0xFF, with no payload.
      {"first bit 0", {0x00, 0x00}, 0, 6, 2, 0, {0xFF, ENTITY_EOF}, ""},
      // 1, 011 and twice 0: three entities of 0xBF.
      {"1 011 0 0", {0xB0, 0x00}, 0, 1, 2, 0, {0xBF, 0xBF, 0xBF, ENTITY_EOF}, ""},
      {"1 110", {0xE0, 0x00}, 0, 3, 2, 0, {0xEF, ENTITY_EOF}, ""},
      // 1, 111, 1, 11: 0xFF.
      {"1 111 1 11", {0xFE, 0x00}, 0, 0, 2, 0, {0xFF, ENTITY_EOF}, ""},
      // 1, 111, 0: a debug entity; clock byte 0x05 and the empty text.
      {"1 111 0", {0xF0, 0x05, 0x00}, 0, 2, 3, 0, {ENTITY_DEBUG, ENTITY_EOF}, ""},
      // 1, 111, 1, 10: no such type; the stream was to go on to byte 1.
      {"1 111 1 10", {0xFC, 0x00, 0x00}, 1, 7, 3, 1, {ENTITY_EOF}, "file broken"},
      // 1,011, then 1,111 ending bit byte 0 and 1, 01 from bit byte 1:
      // the good entity before the error stays.
      {"0xBF then 1 111 1 01", {0xBF, 0xA0}, 1, 7, 2, 1, {0xBF, ENTITY_EOF}, "file broken"},
  };
  for (const TypeCodeCase& c : cases) {
    SCOPED_TRACE(c.name);
    const Decoded d = Decode({EofPage(c.bytes, c.end_byte, c.end_bit, c.data_size)});
    EXPECT_EQ(d.result, c.result);
    EXPECT_EQ(Types(d.entities), c.types);
    EXPECT_EQ(d.entities.back().eof_message(), c.eof_message);
  }
}

TEST(GuideLogTest, DebugTypeReadsClockByteAndKind) {
  const Decoded d = Decode({EofPage({0xF0, 0x05, 0x00}, 0, 2, 3)});
  ASSERT_EQ(d.entities.size(), 2u);
  EXPECT_EQ(d.entities[0].clock_tenths, 5u);
  EXPECT_EQ(d.entities[0].debug.debug_kind, kDebugText);
  ASSERT_TRUE(d.entities.DebugText(0).has_value());
  EXPECT_EQ(*d.entities.DebugText(0), "");
  // The EOF entity carries the clock decoding ended with.
  EXPECT_EQ(d.entities[1].clock_tenths, 5u);
}

// --- Bits and bytes ----------------------------------------------------

TEST(GuideLogTest, BitsAndBytesInterleaveAcrossBitBytes) {
  // Six markers: 1,101 then five 0 bits. The first seven type bits come
  // from byte 0; the eighth (bit 0) exhausts it, so byte 5, the next free
  // byte, becomes the bit byte and the fifth value comes from byte 6.
  const std::vector<std::uint8_t> bytes = {0xD0, 10, 11, 12, 13, 0x00, 14, 15};
  const Decoded d = Decode({EofPage(bytes, 5, 6, 8)});
  EXPECT_EQ(d.result, 0);
  ASSERT_EQ(d.entities.size(), 7u);
  const int values[] = {10, 11, 12, 13, 14, 15};
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(d.entities[i].type, ENTITY_MARKER);
    EXPECT_EQ(d.entities[i].marker.value, values[i]) << i;
  }
  EXPECT_EQ(d.entities[6].eof_message(), "");
}

TEST(GuideLogTest, ValueStartingAtByte511ContinuesAtByte1OfNextPage) {
  // Page 0: bit byte 0 = 1,111,0 (debug) and 1,00 of the star's type; the
  // debug text fills bytes 2..506 with its zero at 507. The star's fourth
  // type bit takes byte 508 as the next bit byte; its clock is byte 509,
  // its flags byte 510 and the low byte of x byte 511. The high byte of x
  // is data byte 1 of page 1, whose byte 0 is its (unread) bit byte.
  DataPage p0 = ChainPage(11);
  p0.data[0] = 0xF4;
  p0.data[1] = 0x07;
  p0.data[2] = 'A';
  for (int i = 3; i <= 506; ++i) p0.data[i] = 'b';
  p0.data[507] = 0;
  p0.data[508] = 0x00;
  p0.data[509] = 0x20;
  p0.data[510] = 0x00;  // drift, no corrections
  p0.data[511] = 0x34;
  DataPage p1 = EofPage({0xAA, 0x12, 0xCC, 0xFF}, 0, 7, 4);
  const Decoded d = Decode({p0, p1});
  EXPECT_EQ(d.result, 0);
  ASSERT_EQ(d.entities.size(), 3u);
  EXPECT_EQ(d.entities[0].type, ENTITY_DEBUG);
  EXPECT_EQ(d.entities.DebugText(0)->size(), 505u);
  const LogEntity& star = d.entities[1];
  EXPECT_EQ(star.type, ENTITY_STAR);
  EXPECT_EQ(star.clock_tenths, 0x20u);
  EXPECT_EQ(star.star.x, 0x1234);
  EXPECT_EQ(star.star.y, -52);
  EXPECT_EQ(d.entities[2].eof_message(), "");
}

TEST(GuideLogTest, Byte511IsNeverABitByte) {
  // The debug text ends at byte 510, so the next free byte is 511. When the
  // marker's type bits exhaust bit byte 0, the stream moves on to page 1:
  // its byte 0 is the bit byte, its byte 1 the marker's value.
  DataPage p0 = ChainPage(11);
  p0.data[0] = 0xF6;  // 1,111,0 then 1,10 of the marker's 1,101
  p0.data[1] = 0x01;
  p0.data[2] = 'x';
  for (int i = 3; i <= 509; ++i) p0.data[i] = 'y';
  p0.data[510] = 0;
  p0.data[511] = 0x55;  // would give type bit 0 if it were read
  DataPage p1 = EofPage({0x80, 0x07}, 0, 6, 2);
  const Decoded d = Decode({p0, p1});
  EXPECT_EQ(d.result, 0);
  ASSERT_EQ(Types(d.entities), (std::vector<std::uint32_t>{ENTITY_DEBUG, ENTITY_MARKER, 0}));
  EXPECT_EQ(d.entities[1].marker.value, 7);
  EXPECT_EQ(d.entities[2].eof_message(), "");
}

// --- Payloads and the clock ---------------------------------------------

TEST(GuideLogTest, ShortClockFormKeepsTheLowByte) {
  // star (clock byte 0x37, lost) ; clock 0x0D 0x2E ; star (clock byte 0x10).
  // Bit byte 0 holds 1,000 and 1,100; its last bit moves the bit byte to
  // byte 3, which holds the second star's 1,000.
  const std::vector<std::uint8_t> bytes = {0x8C, 0x37, 0x80, 0x80, 0x0D, 0x2E, 0x10, 0x80};
  const Decoded d = Decode({EofPage(bytes, 3, 3, 8)});
  EXPECT_EQ(d.result, 0);
  ASSERT_EQ(Types(d.entities),
            (std::vector<std::uint32_t>{ENTITY_STAR, ENTITY_CLOCK, ENTITY_STAR, 0}));
  EXPECT_EQ(d.entities[0].clock_tenths, 0x37u);
  EXPECT_EQ(d.entities[1].clock_tenths, 0x0D2E37u);
  EXPECT_EQ(d.entities[1].clock.is_open, 0);
  EXPECT_EQ(d.entities[2].clock_tenths, 0x0D2E10u);
  EXPECT_EQ(d.entities[2].clock_date, 0);
}

TEST(GuideLogTest, LongClockFormAndOpenRecord) {
  // 1,100 long form 0xF0: date high, date low, byte 2, byte 1; then 0 and
  // the open record 0xFF with its firmware bytes.
  const std::uint16_t date = PackDate(2014, 3, 21);
  const std::vector<std::uint8_t> bytes = {0xC0,
                                           0xF0,
                                           static_cast<std::uint8_t>(date >> 8),
                                           static_cast<std::uint8_t>(date),
                                           0x0B,
                                           0xA0,
                                           0xFF,
                                           0x1C,
                                           0x02,
                                           0x07,
                                           0x12,
                                           0x60,
                                           0x02};
  const Decoded d = Decode({EofPage(bytes, 0, 2, 13)});
  EXPECT_EQ(d.result, 0);
  ASSERT_EQ(d.entities.size(), 3u);
  EXPECT_EQ(d.entities[0].clock_date, date);
  EXPECT_EQ(d.entities[0].clock_tenths, 0x0BA000u);
  EXPECT_EQ(d.entities[0].clock.is_open, 0);
  const LogEntity& open = d.entities[1];
  EXPECT_EQ(open.clock_date, 0x1C02);
  EXPECT_EQ(open.clock_tenths, 0x071200u);
  EXPECT_EQ(open.clock.is_open, 1);
  EXPECT_EQ(open.clock.reopened, 0);
  EXPECT_EQ(open.clock.fw_minor, 0x60);
  EXPECT_EQ(open.clock.fw_major, 0x02);
}

TEST(GuideLogTest, OpenRecordAfterMarkerOfValueOneIsReopened) {
  LogWriter w;
  const std::uint32_t t = 21 * 36000;
  ASSERT_EQ(w.Append(logtest::OpenRecord(t, 2, 0x60)), 0);
  ASSERT_EQ(w.Append(logtest::Marker(t, 0)), 0);
  ASSERT_EQ(w.Append(logtest::OpenRecord(t, 2, 0x60)), 0);
  ASSERT_EQ(w.Append(logtest::Marker(t, 1)), 0);
  ASSERT_EQ(w.Append(logtest::OpenRecord(t, 2, 0x60, true)), 0);
  ASSERT_EQ(w.Append(logtest::OpenRecord(t, 2, 0x60)), 0);
  const Decoded d = Decode(w.Pages());
  EXPECT_EQ(d.result, 0);
  ASSERT_EQ(d.entities.size(), 7u);
  EXPECT_EQ(d.entities[0].clock.reopened, 0);
  EXPECT_EQ(d.entities[2].clock.reopened, 0);  // a marker of value 0 is a NOP
  EXPECT_EQ(d.entities[4].clock.is_open, 1);
  EXPECT_EQ(d.entities[4].clock.reopened, 1);
  EXPECT_EQ(d.entities[5].clock.reopened, 0);
}

TEST(GuideLogTest, LostStarReadsOnlyItsFlags) {
  // 1,000 star with flags 0x80 (a stray x byte would follow otherwise),
  // then a drift 0x06: flags RA and DEC, x, y, both corrections.
  const std::vector<std::uint8_t> bytes = {0x80, 0x11, 0x80, 0x12, 0x06, 0x80,
                                           0xFF, 0x2C, 0x01, 0x08, 0xF0};
  const Decoded d = Decode({EofPage(bytes, 0, 2, 11)});
  EXPECT_EQ(d.result, 0);
  ASSERT_EQ(d.entities.size(), 3u);
  const StarPayload& lost = d.entities[0].star;
  EXPECT_EQ(lost.no_star, 1);
  EXPECT_EQ(lost.is_position, 0);
  EXPECT_EQ(lost.x, 0);
  EXPECT_EQ(lost.y, 0);
  EXPECT_EQ(lost.ra_correction_flag, 1);
  EXPECT_EQ(lost.dec_correction_flag, 1);
  EXPECT_EQ(lost.ra_correction, 0);
  EXPECT_EQ(lost.dec_correction, 0);
  const StarPayload& drift = d.entities[1].star;
  EXPECT_EQ(d.entities[1].clock_tenths, 0x12u);
  EXPECT_EQ(drift.no_star, 0);
  EXPECT_EQ(drift.x, -128);
  EXPECT_EQ(drift.y, 300);
  EXPECT_EQ(drift.ra_correction, 8);
  EXPECT_EQ(drift.dec_correction, -16);
}

TEST(GuideLogTest, PositionReadsUnsigned24BitCoordinates) {
  // 1,000 then flags 0x01: x and y as u24; then a bare 0 (another star)
  // position without corrections would need more bytes, so stop here.
  const std::vector<std::uint8_t> bytes = {0x80, 0x01, 0x01, 0x01, 0x02, 0xFF, 0x00, 0x00, 0x80};
  const Decoded d = Decode({EofPage(bytes, 0, 3, 9)});
  ASSERT_EQ(d.entities.size(), 2u);
  EXPECT_EQ(d.entities[0].star.is_position, 1);
  EXPECT_EQ(d.entities[0].star.x, 0xFF0201);
  EXPECT_EQ(d.entities[0].star.y, 0x800000);
  EXPECT_EQ(d.entities[0].star.ra_correction_flag, 0);
  EXPECT_EQ(d.entities[1].eof_message(), "");
}

TEST(GuideLogTest, VariableLongerThanSixteenBytesIsConsumed) {
  // 1,001 variable with 20 value bytes, then 1,101 marker 0x42. The
  // marker's last type bit empties bit byte 0, so byte 24 (the first after
  // the value) is the next bit byte and the marker's value is byte 25.
  std::vector<std::uint8_t> bytes = {0x9D, 0x01, 30, 20};
  for (int i = 0; i < 20; ++i) bytes.push_back(static_cast<std::uint8_t>(i + 1));
  bytes.push_back(0x00);
  bytes.push_back(0x42);
  const Decoded d = Decode({EofPage(bytes, 24, 7, 26)});
  EXPECT_EQ(d.result, 0);
  ASSERT_EQ(d.entities.size(), 3u);
  const VariablePayload& v = d.entities[0].variable;
  EXPECT_EQ(v.variable_id, 30);
  EXPECT_EQ(v.length, 20);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(v.value[i], i + 1);
  EXPECT_EQ(d.entities[1].type, ENTITY_MARKER);
  EXPECT_EQ(d.entities[1].marker.value, 0x42);
  EXPECT_EQ(d.entities[2].eof_message(), "");
}

TEST(GuideLogTest, ShortVariableValueIsZeroFilled) {
  // A variable of 2 bytes after one of 6: nothing of the first is left.
  const std::vector<std::uint8_t> bytes = {0x90, 0x01, 20,   6,  9, 9,    9,   9,
                                           9,    9,    0x02, 11, 2, 0xE8, 0x03};
  const Decoded d = Decode({EofPage(bytes, 0, 2, static_cast<int>(bytes.size()))});
  ASSERT_EQ(d.entities.size(), 3u);
  const VariablePayload& v = d.entities[1].variable;
  EXPECT_EQ(v.variable_id, 11);
  EXPECT_EQ(v.value[0], 0xE8);
  EXPECT_EQ(v.value[1], 0x03);
  for (int i = 2; i < 16; ++i) EXPECT_EQ(v.value[i], 0) << i;
}

TEST(GuideLogTest, DebugKinds) {
  struct Case {
    std::uint8_t k;
    std::uint8_t kind;
    int bytes;
  };
  const Case cases[] = {{1, 1, 1},     {2, 2, 2},      {4, 4, 4},     {9, 9, 1},
                        {12, 12, 4},   {15, 15, 7},    {8, 8, 0},     {16, 0xFF, 0},
                        {31, 0xFF, 0}, {128, 0xFF, 0}, {255, 0xFF, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.k));
    // Bit byte 0: 1,111,0 (debug) and 1,10 of the marker's 1,101. The debug
    // clock is byte 1, its kind byte 2, its values follow; the marker's last
    // type bit comes from the next free byte, its value from the one after.
    std::vector<std::uint8_t> bytes = {0xF6, 0x03, c.k};
    for (int i = 0; i < c.bytes; ++i) bytes.push_back(static_cast<std::uint8_t>(0xA0 + i));
    bytes.push_back(0x80);
    bytes.push_back(0x99);
    const Decoded d = Decode({EofPage(bytes, 3 + c.bytes, 6, 5 + c.bytes)});
    EXPECT_EQ(d.result, 0);
    ASSERT_EQ(d.entities.size(), 3u);
    EXPECT_EQ(d.entities[0].clock_tenths, 3u);
    EXPECT_EQ(d.entities[0].debug.debug_kind, c.kind);
    EXPECT_FALSE(d.entities.DebugText(0).has_value());
    for (int i = 0; i < 7; ++i) {
      EXPECT_EQ(d.entities[0].debug.value[i], i < c.bytes ? 0xA0 + i : 0) << i;
    }
    EXPECT_EQ(d.entities[1].marker.value, 0x99);
    EXPECT_EQ(d.entities[2].eof_message(), "");
  }
}

TEST(GuideLogTest, AeChangeWithNonzeroReservedByteIsAStreamError) {
  // 1,010 AE (clock 5, state 0x83, reserved 0), 0 AE with reserved 7, and
  // one more AE the stream never gets to.
  const std::vector<std::uint8_t> bytes = {0xA0, 0x05, 0x83, 0x00, 0x06,
                                           0x41, 0x07, 0x07, 0x01, 0x00};
  const Decoded d = Decode({EofPage(bytes, 0, 1, 10)});
  EXPECT_EQ(d.result, 1);
  ASSERT_EQ(d.entities.size(), 2u);
  EXPECT_EQ(d.entities[0].ae.ae_state, 3);
  EXPECT_EQ(d.entities[0].ae.exp_flag, 1);
  EXPECT_EQ(d.entities[0].ae.foc_flag, 0);
  EXPECT_EQ(d.entities[1].type, ENTITY_EOF);
  EXPECT_EQ(d.entities[1].clock_tenths, 5u);  // the last decoded entity's clock
  EXPECT_EQ(d.entities[1].eof_message(), "file broken");
}

// --- End marks and damaged logs -----------------------------------------

TEST(GuideLogTest, EndMarksFollowTheLastPage) {
  GuideLog log;
  LoadPages(log, {EofPage({}, 0x123, 5, 300)});
  EXPECT_EQ(log.last_page_index, 0);
  EXPECT_EQ(log.last_data_size, 300);
  EXPECT_EQ(log.end_byte_index, 0x123);
  EXPECT_EQ(log.end_bit_index, 5);
  // A chain link as the last page keeps the end byte.
  ASSERT_EQ(log.AddPage(ChainPage(7)), 0);
  EXPECT_EQ(log.last_page_index, 1);
  EXPECT_EQ(log.last_data_size, 512);
  EXPECT_EQ(log.end_byte_index, 0x123);
  EXPECT_EQ(log.end_bit_index, -1);
  // An erased page.
  DataPage erased = ChainPage(0xFFFF);
  erased.data_size = 0xFFFF;
  ASSERT_EQ(log.AddPage(erased), 0);
  EXPECT_EQ(log.last_data_size, 0);
  EXPECT_EQ(log.end_byte_index, 0);
  EXPECT_EQ(log.end_bit_index, -1);
}

TEST(GuideLogTest, PageStoreHolds4096Pages) {
  GuideLog log;
  LoadPages(log, {});
  for (int i = 0; i < kMaxLogPages; ++i) ASSERT_EQ(log.AddPage(ChainPage(1)), 0);
  DataPage last = EofPage({}, 0, 7, 1);
  EXPECT_EQ(log.AddPage(last), 1);
  EXPECT_EQ(log.page_count, kMaxLogPages);
  EXPECT_EQ(log.end_bit_index, -1);  // nothing was taken from the refused page
  // BeginLog empties the store.
  EXPECT_EQ(log.BeginLog(kUnsetDate, 0, kUnsetDate, 0), 0);
  EXPECT_EQ(log.page_count, 0);
}

TEST(GuideLogTest, StampCheckInBeginLog) {
  GuideLog log;
  EXPECT_EQ(log.BeginLog(PackDate(2014, 3, 21), PackTime(12, 30), kUnsetDate, 0x1234), 0);
  EXPECT_EQ(log.BeginLog(PackDate(2014, 3, 21), PackTime(24, 0), kUnsetDate, 0), 1);
  EXPECT_EQ(log.BeginLog(PackDate(2014, 3, 21), PackTime(1, 2), PackDate(2014, 3, 0), 0), 1);
  EXPECT_EQ(log.BeginLog(kUnsetDate, 0xFFFF, kUnsetDate, 0xFFFF), 0);
}

TEST(GuideLogTest, LogWithoutPagesIsAnEmptyStream) {
  GuideLog log;
  LoadPages(log, {});
  EXPECT_EQ(log.BuildEntities(), 0);
  ASSERT_EQ(log.entities.size(), 1u);
  EXPECT_EQ(log.entities[0].type, ENTITY_EOF);
  EXPECT_EQ(log.entities[0].eof_message(), "");
}

TEST(GuideLogTest, CutOffLogDecodesToItsEndAndIsBroken) {
  // Three pages of drifts with the last page lost: the decoder reads what
  // is there, entity for entity, and calls the log broken.
  LogWriter w;
  for (int i = 0; w.page_count() < 3; ++i) {
    ASSERT_EQ(w.Append(logtest::Drift(21 * 36000 + i, i % 300, -i % 200, i % 7, true)), 0);
  }
  std::vector<DataPage> pages = w.Pages();
  pages.pop_back();
  const Decoded d = Decode(pages);
  EXPECT_EQ(d.result, 0);
  EXPECT_EQ(d.entities.back().eof_message(), "file broken");
  ASSERT_GT(d.entities.size(), 100u);
  // All but the last decoded entity (which may have run off the page) are
  // what was written.
  for (std::size_t i = 0; i + 2 < d.entities.size(); ++i) {
    ASSERT_TRUE(logtest::SameEntity(d.entities, w.entities(), i)) << i;
  }
}

TEST(GuideLogTest, EntityRunningPastTheStoredPagesReadsZeros) {
  // Page 0 is a chain link whose last bytes start a variable of 200 bytes.
  DataPage p0 = ChainPage(3);
  p0.data[0] = 0x90;  // 1,001 variable; then 0 bits (same type)
  p0.data[1] = 0x01;  // clock
  p0.data[2] = 20;    // RA
  p0.data[3] = 200;   // length beyond the page
  for (int i = 4; i < 512; ++i) p0.data[i] = 0x33;
  const Decoded d = Decode({p0});
  EXPECT_EQ(d.result, 0);
  ASSERT_GE(d.entities.size(), 3u);
  EXPECT_EQ(d.entities[0].variable.length, 200);
  EXPECT_EQ(d.entities[0].variable.value[15], 0x33);
  EXPECT_EQ(d.entities.back().eof_message(), "file broken");
}

TEST(GuideLogTest, DebugTextWithoutItsZeroEndsWithThePages) {
  DataPage p0 = ChainPage(3);
  p0.data[0] = 0xF0;
  p0.data[1] = 0x02;
  for (int i = 2; i < 512; ++i) p0.data[i] = 'z';
  const Decoded d = Decode({p0});
  EXPECT_EQ(d.result, 0);
  ASSERT_EQ(d.entities.size(), 2u);
  EXPECT_EQ(*d.entities.DebugText(0), std::string(510, 'z'));
  EXPECT_EQ(d.entities[1].eof_message(), "file broken");
}

TEST(GuideLogTest, ErasedLastPageStopsDecoding) {
  // The end marks of an erased page let nothing be decoded from it.
  DataPage p0 = ChainPage(3);
  p0.data[0] = 0xD0;
  p0.data[1] = 0x05;
  DataPage erased = ChainPage(0xFFFF);
  erased.data[0] = 0xD0;
  const Decoded d = Decode({p0, erased});
  EXPECT_EQ(d.result, 0);
  EXPECT_EQ(d.entities.back().eof_message(), "file broken");
  for (std::size_t i = 0; i + 1 < d.entities.size(); ++i) {
    EXPECT_EQ(d.entities[i].type, ENTITY_MARKER);
  }
}

TEST(GuideLogTest, ZeroFilledPagesDecodeAsUnnamedEntitiesAndEnd) {
  // A foreign file of zeros: every bit is "same type as before", 0xFF.
  std::vector<DataPage> pages(4, ChainPage(1));
  const Decoded d = Decode(pages);
  EXPECT_EQ(d.result, 0);
  // Each page gives 8 bits for each of its bytes but the unused byte 511.
  EXPECT_EQ(d.entities.size(), 4u * 511u * 8u + 1u);
  EXPECT_EQ(d.entities.front().type, 0xFFu);
  EXPECT_EQ(d.entities.back().eof_message(), "file broken");
}

TEST(GuideLogTest, BuildEntitiesTwiceGivesTheSameList) {
  const std::vector<std::uint8_t> bytes = {0x8C, 0x37, 0x80, 0x80, 0x0D, 0x2E, 0x10, 0x80};
  GuideLog log;
  LoadPages(log, {EofPage(bytes, 3, 3, 8)});
  ASSERT_EQ(log.BuildEntities(), 0);
  const EntityList first = log.entities;
  log.scan_cursor = 2;
  ASSERT_EQ(log.BuildEntities(), 0);
  ASSERT_EQ(log.entities.size(), first.size());
  for (std::size_t i = 0; i < first.size(); ++i) {
    EXPECT_TRUE(logtest::SameEntity(log.entities, first, i)) << i;
  }
}

TEST(GuideLogTest, RandomPagesDecodeWithoutFault) {
  // Pages of random bytes with random page headers, as a foreign or
  // damaged file may hold: decoding ends, and ends with the EOF entity.
  std::mt19937 rng(99);
  GuideLog log;
  for (int round = 0; round < 200; ++round) {
    std::vector<DataPage> pages(1 + rng() % 6);
    for (DataPage& p : pages) {
      for (std::uint8_t& b : p.data) b = static_cast<std::uint8_t>(rng());
      p.next_page = static_cast<std::uint16_t>(rng());
      p.data_size = static_cast<std::uint16_t>(rng() % 3 == 0 ? rng() : rng() % 513);
    }
    LoadPages(log, pages);
    const int result = log.BuildEntities();
    EXPECT_TRUE(result == 0 || result == 1);
    ASSERT_FALSE(log.entities.empty());
    EXPECT_EQ(log.entities.back().type, ENTITY_EOF);
    for (std::size_t i = 0; i + 1 < log.entities.size(); ++i) {
      ASSERT_NE(log.entities[i].type, ENTITY_EOF);
    }
  }
}

// --- Raw files ----------------------------------------------------------

std::vector<std::uint8_t> RawBytes(const DirectoryEntry& entry, int pages) {
  std::vector<std::uint8_t> bytes(64 + pages * kDataPageSize);
  EncodeRawHeader(bytes.data());
  EncodeDirectoryEntry(entry, bytes.data() + 32);
  for (int i = 0; i < pages; ++i) {
    DataPage p = i + 1 < pages ? ChainPage(static_cast<std::uint16_t>(i + 1))
                               : EofPage({0xD0, static_cast<std::uint8_t>(i)}, 0, 3, 2);
    EncodeDataPage(p, bytes.data() + 64 + i * kDataPageSize);
  }
  return bytes;
}

DirectoryEntry SampleEntry() {
  DirectoryEntry entry;
  entry.first_page = 10;
  SetFileId(entry.file_id, 0x012345);
  entry.created_date = PackDate(2014, 3, 21);
  entry.created_time = PackTime(21, 5);
  return entry;
}

int ReadBytes(GuideLog& log, const std::vector<std::uint8_t>& bytes, DirectoryEntry& entry) {
  std::FILE* file = std::tmpfile();
  EXPECT_NE(file, nullptr);
  if (!file) return -1;
  if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), file);
  std::rewind(file);
  const int result = log.ReadRawFile(file, entry);
  std::fclose(file);
  return result;
}

TEST(GuideLogTest, RawFileWithoutPagesIsRead) {
  GuideLog log;
  DirectoryEntry entry;
  ASSERT_EQ(ReadBytes(log, RawBytes(SampleEntry(), 0), entry), 0);
  EXPECT_EQ(FileIdOf(entry.file_id), 0x012345u);
  EXPECT_EQ(entry.first_page, 10);
  EXPECT_EQ(entry.created_time, PackTime(21, 5));
  EXPECT_EQ(log.page_count, 0);
}

TEST(GuideLogTest, RawFilePagesAreReadInOrder) {
  GuideLog log;
  DirectoryEntry entry;
  ASSERT_EQ(ReadBytes(log, RawBytes(SampleEntry(), 3), entry), 0);
  EXPECT_EQ(log.page_count, 3);
  EXPECT_EQ(log.page(1).next_page, 2);
  EXPECT_EQ(log.last_data_size, 2);
  ASSERT_EQ(log.BuildEntities(), 0);
  EXPECT_EQ(log.entities.back().eof_message(), "");
}

TEST(GuideLogTest, RawHeaderTailAfterItsZeroIsNotCompared) {
  std::vector<std::uint8_t> bytes = RawBytes(SampleEntry(), 1);
  for (int i = 23; i < 32; ++i) bytes[i] = static_cast<std::uint8_t>(0xA5 + i);
  GuideLog log;
  DirectoryEntry entry;
  EXPECT_EQ(ReadBytes(log, bytes, entry), 0);
}

TEST(GuideLogTest, RawFileResultCodes) {
  const std::vector<std::uint8_t> good = RawBytes(SampleEntry(), 2);
  struct Case {
    const char* name;
    std::vector<std::uint8_t> bytes;
    int result;
  };
  std::vector<Case> cases;
  cases.push_back({"empty file", {}, 1});
  cases.push_back({"header only", std::vector<std::uint8_t>(good.begin(), good.begin() + 32), 1});
  cases.push_back({"entry cut off", std::vector<std::uint8_t>(good.begin(), good.begin() + 63), 1});
  cases.push_back({"page cut off", std::vector<std::uint8_t>(good.begin(), good.end() - 1), 1});
  cases.push_back(
      {"one byte of a page", std::vector<std::uint8_t>(good.begin(), good.begin() + 65), 1});
  std::vector<std::uint8_t> foreign = good;
  foreign[0] = 'o';
  cases.push_back({"foreign header", foreign, 2});
  std::vector<std::uint8_t> no_zero = good;
  no_zero[22] = ' ';
  cases.push_back({"header text goes on", no_zero, 2});
  DirectoryEntry bad_created = SampleEntry();
  bad_created.created_date = PackDate(2014, 13, 1);
  cases.push_back({"bad created stamp", RawBytes(bad_created, 1), 3});
  DirectoryEntry bad_modified = SampleEntry();
  bad_modified.modified_date = PackDate(2014, 3, 1);
  bad_modified.modified_time = PackTime(10, 60);
  cases.push_back({"bad modified stamp", RawBytes(bad_modified, 1), 3});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    GuideLog log;
    DirectoryEntry entry;
    EXPECT_EQ(ReadBytes(log, c.bytes, entry), c.result);
  }
}

TEST(GuideLogTest, RawFileReadsAtMost4096Pages) {
  std::vector<std::uint8_t> bytes = RawBytes(SampleEntry(), kMaxLogPages + 2);
  GuideLog log;
  DirectoryEntry entry;
  EXPECT_EQ(ReadBytes(log, bytes, entry), 0);
  EXPECT_EQ(log.page_count, kMaxLogPages);
  EXPECT_EQ(log.page(kMaxLogPages - 1).next_page, kMaxLogPages);
}

// --- Clock functions ------------------------------------------------------

TEST(GuideLogTest, SecondsBetweenAcrossMidnight) {
  const std::uint16_t day = PackDate(2014, 3, 21);
  LogEntity a = logtest::Entity(ENTITY_STAR, 1, day);
  LogEntity b = logtest::Entity(ENTITY_STAR, kTenthsPerDay - 1, PackDate(2014, 3, 20));
  EXPECT_NEAR(SecondsBetween(a, b), 0.2, 1e-9);
  EXPECT_NEAR(SecondsBetween(b, a), -0.2, 1e-9);
  // Any change of date counts as one day.
  b.clock_date = PackDate(2014, 3, 19);
  EXPECT_NEAR(SecondsBetween(a, b), 0.2, 1e-9);
  // Same date: plain difference.
  LogEntity c = logtest::Entity(ENTITY_STAR, 1000, day);
  EXPECT_NEAR(SecondsBetween(c, a), 99.9, 1e-9);
  EXPECT_NEAR(SecondsBetween(a, c), -99.9, 1e-9);
}

TEST(GuideLogTest, FormatClockTimePads) {
  LogEntity e = logtest::Entity(ENTITY_STAR, 12 * 36000 + 30 * 600 - 1);
  EXPECT_STREQ(FormatClockTime(e), "12:29:59.9");
  e.clock_tenths = 5;
  EXPECT_STREQ(FormatClockTime(e), " 0:00:00.5");
  e.clock_tenths = kTenthsPerDay - 1;
  EXPECT_STREQ(FormatClockTime(e), "23:59:59.9");
}

}  // namespace
}  // namespace ktal
