// SPDX-License-Identifier: GPL-3.0-or-later
// The events table and the CSV cells: number cells of both dialects, rows of
// every entity kind against golden files, damaged logs, failures.
#include "guidelog/events_table.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "full_disk.h"
#include "guidelog/csv_text.h"
#include "guidelog/guide_log.h"
#include "guidelog/report_settings.h"
#include "guidelog_test_util.h"
#include "sim/log_writer.h"

namespace ktal {
namespace {

using namespace logtest;

// Sets the CSV format for one test and puts the default back.
class CsvFormat {
 public:
  explicit CsvFormat(int format) { g_csvFormat = format; }
  ~CsvFormat() { g_csvFormat = 0; }
};

// --- Number, date and time cells -----------------------------------------

TEST(EventsTableTest, NumberCellsInBothDialects) {
  struct Case {
    int decimals;
    double value;
    const char* comma;  // format 0
    const char* point;  // format 1
  };
  const Case cases[] = {
      {2, -0.004, "-0,00", "-0.00"},  // the sign stays
      {2, 0.996, " 0,99", "1.00"},    // the fraction is cut, never carried
      {2, 2.999, " 2,99", "3.00"},
      {2, 0.0, " 0,00", "0.00"},
      {2, -0.5, "-0,50", "-0.50"},
      {2, 1.171875, " 1,17", "1.17"},
      {2, 0.125, " 0,13", "0.12"},  // a half rounds up here, to even there
      {1, 45296.7, " 45296,7", "45296.7"},
      {1, 12.3, " 12,3", "12.3"},
      {1, -1.25, "-1,3", "-1.2"},
      {4, 1.2345, " 1,2345", "1.2345"},
      {4, -0.0678, "-0,0678", "-0.0678"},
      {4, 0.00005, " 0,0001", "0.0001"},
      {4, 123456.0, " 123456,0000", "123456.0000"},
      {0, -7.9, "-7", "-8"},
      {4, 123456789012.5, " 123456789012,5000", "123456789012.5000"},
      // The largest whole part the comma form takes, and the first it leaves
      // to the plain form.
      {2, 999999999999999872.0, " 999999999999999872,00", "999999999999999872.00"},
      {2, 1e18, "1000000000000000000.00", "1000000000000000000.00"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    {
      CsvFormat format(0);
      EXPECT_EQ(FormatCsvNumber(c.decimals, c.value), c.comma);
    }
    {
      CsvFormat format(1);
      EXPECT_EQ(FormatCsvNumber(c.decimals, c.value), c.point);
    }
  }
}

// The table writes star and time cells with integer arithmetic; it must
// give the very text of the general number cell, in both formats, for
// every coordinate, correction and time of day.
TEST(EventsTableTest, IntegerCellsMatchTheNumberCell) {
  for (int format : {0, 1}) {
    CsvFormat f(format);
    std::string fast;
    for (std::int32_t x = -70000; x <= 70000; ++x) {
      fast.clear();
      AppendPer256(fast, format, x);
      ASSERT_EQ(fast, FormatCsvNumber(2, x / 256.0)) << "format " << format << ", x " << x;
    }
    for (std::int32_t x : {0xFFFFFF, 0x800000, -32768 * 8}) {
      fast.clear();
      AppendPer256(fast, format, x);
      EXPECT_EQ(fast, FormatCsvNumber(2, x / 256.0)) << x;
    }
    for (std::uint32_t t = 0; t < kTenthsPerDay; t += 7) {
      fast.clear();
      AppendTenths(fast, format, t);
      ASSERT_EQ(fast, FormatCsvNumber(1, t * 0.1)) << "format " << format << ", tenths " << t;
    }
  }
}

TEST(EventsTableTest, DateAndTimeCells) {
  const LogEntity e =
      Entity(ENTITY_STAR, 12 * 36000 + 34 * 600 + 56 * 10 + 7, PackDate(2014, 3, 21));
  {
    CsvFormat format(0);
    EXPECT_EQ(FormatDateTimeCells(e), "2014.03.21.; 45296,7;");
  }
  {
    CsvFormat format(1);
    EXPECT_EQ(FormatDateTimeCells(e), "2014.03.21.,45296.7,");
  }
  const LogEntity midnight = Entity(ENTITY_STAR, 0, PackDate(2009, 12, 1));
  CsvFormat format(0);
  EXPECT_EQ(FormatDateTimeCells(midnight), "2009.12.01.; 0,0;");
}

// --- Whole tables ------------------------------------------------------------

constexpr std::uint32_t kStart = 12 * 36000 + 34 * 600 + 50 * 10;  // 12:34:50.0

// A log with every kind of entity and row: built entity by entity with the
// writer, as the guider would record it, and read back.
EntityList EveryKind() {
  std::uint32_t t = kStart;
  auto next = [&t](int tenths = 2) { return t += tenths; };
  EntityList v;
  v.push_back(OpenRecord(t, 0x02, 0x60));
  v.push_back(Variable(next(), kVariableGain, {12}));
  v.push_back(Variable(next(), kVariableExpo, {0xE8, 0x03}));
  v.push_back(Variable(next(), kVariableThreshold, {35}));
  v.push_back(Variable(next(), kVariableRaAxis, {0, 3, 25, 1, 70, 1}));
  v.push_back(Variable(next(), kVariableDecAxis, {0, 2, 5, 0, 200, 2}));
  v.push_back(Variable(next(), 99, {1, 2, 3}));
  v.push_back(Ae(next(), 0x41));            // WAIT, FOC
  v.push_back(Ae(next(), 0x02));            // ML
  v.push_back(Ae(next(), 0x83));            // EXP, EXP
  t = 12 * 36000 + 34 * 600 + 56 * 10 + 7;  // 12:34:56.7
  v.push_back(Drift(t, -128, 300, 8, true));
  v.push_back(Drift(next(20), 64, -64, -3, true, 17, true));
  v.push_back(Drift(next(20), 1, -1, 0, false, -32, true));
  v.push_back(LostStar(next(20)));
  v.push_back(Position(next(20), 96256, 74496));
  v.push_back(Ae(next(), 0x04));  // unnamed state
  v.push_back(Ae(next(), 0x08));  // external
  v.push_back(Ae(next(), 0xC0));  // IDLE, FOC and EXP
  v.push_back(Marker(t, 0));
  v.push_back(Marker(t, 5));
  v.Append(DebugText(next(), "hello guider"));
  v.Append(DebugText(next(), ""));
  v.Append(DebugText(next(), "a;b \"c\""));
  v.Append(DebugText(next(), "x,y"));
  v.push_back(DebugValue(next(), kDebugI8, {0xFB}));
  v.push_back(DebugValue(next(), kDebugI16, {0x18, 0xFC}));                 // -1000
  v.push_back(DebugValue(next(), kDebugI32, {0x15, 0xCD, 0x5B, 0x07}));     // 123456789
  v.push_back(DebugValue(next(), kDebugI32, {0xFF, 0xFF, 0xFF, 0xFF}));     // -1
  v.push_back(DebugValue(next(), kDebugF1p7, {0xC0}));                      // -0.5
  v.push_back(DebugValue(next(), kDebugF8p8, {0x80, 0x01}));                // 1.5
  v.push_back(DebugValue(next(), kDebugF16p8, {0x80, 0xFF, 0xFF}));         // -0.5
  v.push_back(DebugValue(next(), kDebugF16p16, {0x00, 0x80, 0x01, 0x00}));  // 1.5
  v.push_back(DebugValue(next(), 3, {0xAA, 0xBB, 0xCC}));
  v.push_back(DebugValue(next(), kDebugInvalid, {}));
  v.push_back(Marker(t, 1));
  v.push_back(OpenRecord(next(), 0x02, 0x60, true));  // reopened: no row
  v.push_back(Drift(next(300), 0, 0));                // after a short clock entity
  return v;
}

void BuildEveryKind(GuideLog& log) {
  LogWriter w;
  ASSERT_EQ(w.Append(EveryKind()), LogWriter::kOk);
  ASSERT_EQ(LoadAndBuild(log, w), 0);
}

std::string GoldenPath(const char* name) { return std::string(KTAL_GUIDELOG_DATA) + "/" + name; }

// Compares with the golden file and names the first differing line.
// KTAL_UPDATE_GOLDEN=1 rewrites the golden file instead.
void ExpectGolden(const std::string& actual, const char* name) {
  const std::string path = GoldenPath(name);
  if (const char* update = std::getenv("KTAL_UPDATE_GOLDEN"); update && *update == '1') {
    std::ofstream(path, std::ios::binary) << actual;
    return;
  }
  const std::string expected = ReadText(path);
  ASSERT_FALSE(expected.empty()) << "missing golden file " << path;
  const std::vector<std::string> want = CrLfLines(expected);
  const std::vector<std::string> got = CrLfLines(actual);
  for (std::size_t i = 0; i < want.size() && i < got.size(); ++i) {
    ASSERT_EQ(got[i], want[i]) << name << ": first difference in line " << i + 1;
  }
  ASSERT_EQ(got.size(), want.size()) << name << ": line count";
  EXPECT_EQ(actual, expected) << name << ": line ends";
}

TEST(EventsTableTest, GoldenTableOfEveryEntityKindFormat0) {
  TempDir dir;
  CsvFormat format(0);
  GuideLog log;
  BuildEveryKind(log);
  ASSERT_EQ(WriteEventsTable(log, g_csvFormat), 0);
  ExpectGolden(ReadText("events.csv"), "events_every_kind.fmt0.csv");
}

TEST(EventsTableTest, GoldenTableOfEveryEntityKindFormat1) {
  TempDir dir;
  CsvFormat format(1);
  GuideLog log;
  BuildEveryKind(log);
  ASSERT_EQ(WriteEventsTable(log, g_csvFormat), 0);
  ExpectGolden(ReadText("events.csv"), "events_every_kind.fmt1.csv");
}

// The rows with a documented form, looked up in the table by their start.
TEST(EventsTableTest, RowsOfTheKnownCases) {
  TempDir dir;
  GuideLog log;
  BuildEveryKind(log);
  {
    CsvFormat format(0);
    ASSERT_EQ(WriteEventsTable(log, g_csvFormat), 0);
    const std::vector<std::string> lines = CrLfLines(ReadText("events.csv"));
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[0], "Date;Time;event;");
    // Clock byte 0 is not part of an open record: it is that of the running
    // clock, here still 0.
    EXPECT_EQ(lines[1], "2014.03.21.; 45286,4;<OPEN>;file has been opened by FW version 02.60");
    const auto has = [&lines](const std::string& line) {
      return std::find(lines.begin(), lines.end(), line) != lines.end();
    };
    EXPECT_TRUE(has("2014.03.21.; 45296,7;drift;-0,50; 1,17; 0,25;"));
    EXPECT_TRUE(has("2014.03.21.; 45302,7;drift; 0,00; 0,00; 0,00; 0,00;no star"));
    EXPECT_TRUE(has("2014.03.21.; 45291,8;AE change;EXP;EXP"));
    EXPECT_TRUE(has("2014.03.21.; 45291,4;AE change;WAIT;FOC"));
    EXPECT_TRUE(has("2014.03.21.; 45305,1;AE change;(external);"));
    EXPECT_TRUE(has("2014.03.21.; 45306,3;DEBUG;i8; -5;(0xfb)"));
    EXPECT_TRUE(has("2014.03.21.; 45305,3;NOP"));
    EXPECT_TRUE(has("2014.03.21.; 45305,3;"));  // a marker of another value
    EXPECT_EQ(lines.back(), "2014.03.21.; 45338,3;<EOF>;End Of File (msg = '')");
    // The reopened open record has no row; the first one had.
    EXPECT_EQ(
        std::count_if(lines.begin(), lines.end(),
                      [](const std::string& l) { return l.find("<OPEN>") != std::string::npos; }),
        1);
  }
  {
    CsvFormat format(1);
    ASSERT_EQ(WriteEventsTable(log, g_csvFormat), 0);
    const std::vector<std::string> lines = CrLfLines(ReadText("events.csv"));
    EXPECT_EQ(lines[0], "Date,Time,event,");
    EXPECT_NE(std::find(lines.begin(), lines.end(), "2014.03.21.,45296.7,drift,-0.50,1.17,0.25,"),
              lines.end());
  }
}

TEST(EventsTableTest, DebugTextThatWouldBreakItsRowIsQuoted) {
  TempDir dir;
  GuideLog log;
  LogWriter w;
  ASSERT_EQ(w.Append(DebugText(10, "semi;colon")), 0);
  ASSERT_EQ(w.Append(DebugText(11, "say \"hi\"")), 0);
  ASSERT_EQ(w.Append(DebugText(12, "two\r\nlines")), 0);
  ASSERT_EQ(w.Append(DebugText(13, "comma, fine in format 0")), 0);
  ASSERT_EQ(w.Append(DebugText(14, "plain text")), 0);
  ASSERT_EQ(LoadAndBuild(log, w), 0);
  CsvFormat format(0);
  ASSERT_EQ(WriteEventsTable(log, g_csvFormat), 0);
  const std::string text = ReadText("events.csv");
  EXPECT_NE(text.find(";DEBUG;str;\"semi;colon\"\r\n"), std::string::npos);
  EXPECT_NE(text.find(";DEBUG;str;\"say \"\"hi\"\"\"\r\n"), std::string::npos);
  EXPECT_NE(text.find(";DEBUG;str;\"two\r\nlines\"\r\n"), std::string::npos);
  EXPECT_NE(text.find(";DEBUG;str;comma, fine in format 0\r\n"), std::string::npos);
  EXPECT_NE(text.find(";DEBUG;str;plain text\r\n"), std::string::npos);
  CsvFormat comma(1);
  ASSERT_EQ(WriteEventsTable(log, g_csvFormat), 0);
  EXPECT_NE(ReadText("events.csv").find(",DEBUG,str,\"comma, fine in format 0\"\r\n"),
            std::string::npos);
}

TEST(EventsTableTest, DamagedLogSaysFileBrokenInItsLastRow) {
  TempDir dir;
  LogWriter w;
  for (int i = 0; w.page_count() < 2; ++i) ASSERT_EQ(w.Append(Drift(kStart + i, i, i)), 0);
  std::vector<DataPage> pages = w.Pages();
  pages.pop_back();
  GuideLog log;
  LoadPages(log, pages);
  ASSERT_EQ(log.BuildEntities(), 0);
  CsvFormat format(0);
  ASSERT_EQ(WriteEventsTable(log, g_csvFormat), 0);
  const std::vector<std::string> lines = CrLfLines(ReadText("events.csv"));
  ASSERT_GE(lines.size(), 2u);
  const std::string& last = lines.back();
  EXPECT_NE(last.find(";<EOF>;End Of File (msg = 'file broken')"), std::string::npos) << last;
  EXPECT_EQ(last.rfind("2014.03.21.;", 0), 0u) << last;
}

TEST(EventsTableTest, EntityWithoutARowFormatEndsTheTable) {
  TempDir dir;
  LogWriter w;
  ASSERT_EQ(w.Append(Drift(kStart, 256, 512)), 0);
  ASSERT_EQ(w.Append(Entity(ENTITY_UNNAMED_BF, kStart)), 0);
  ASSERT_EQ(w.Append(Drift(kStart + 5, 256, 512)), 0);
  GuideLog log;
  ASSERT_EQ(LoadAndBuild(log, w), 0);
  CsvFormat format(1);
  EXPECT_EQ(WriteEventsTable(log, g_csvFormat), 1);
  const std::vector<std::string> lines = CrLfLines(ReadText("events.csv"));
  // The header, the drift (its clock entity has no row) and the error line;
  // nothing after it.
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[1], "2014.03.21.,45290.0,drift,1.00,2.00,,");
  EXPECT_EQ(lines[2], "ERROR: unkown entity type found ($bf)");
}

TEST(EventsTableTest, TableThatCannotBeCreated) {
  TempDir dir;
  ASSERT_EQ(::mkdir("events.csv", 0755), 0);
  GuideLog log;
  LoadPages(log, {});
  ASSERT_EQ(log.BuildEntities(), 0);
  testing::internal::CaptureStdout();
  EXPECT_EQ(WriteEventsTable(log, g_csvFormat), -2);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "ERROR: can't create CSV file\n");
}

TEST(EventsTableTest, TableOnAFullDiskIsNotReportedComplete) {
  TempDir dir;
  GuideLog log;
  BuildEveryKind(log);
  const full_disk::Outcome outcome =
      full_disk::RunWithFileSizeLimit(100, [&] { return WriteEventsTable(log, g_csvFormat); });
  EXPECT_EQ(outcome.result, -3);
  EXPECT_EQ(outcome.out, "ERROR: can't write CSV file\n");
  EXPECT_FALSE(Exists("events.csv"));
}

TEST(EventsTableTest, DebugEntityOfKind0WithoutText) {
  // Only a list built by hand can hold one; the reader always gives text.
  TempDir dir;
  GuideLog log;
  LogEntity debug = Entity(ENTITY_DEBUG, 100);
  debug.debug.debug_kind = kDebugText;
  LogEntity eof = Entity(ENTITY_EOF, 100);
  log.entities = {debug, eof};
  CsvFormat format(0);
  ASSERT_EQ(WriteEventsTable(log, g_csvFormat), 0);
  EXPECT_EQ(CrLfLines(ReadText("events.csv"))[1],
            "2014.03.21.; 10,0;DEBUG;ERROR: debug string == NULL");
}

TEST(EventsTableTest, TableReplacesAnOlderOne) {
  TempDir dir;
  std::ofstream("events.csv") << std::string(10000, 'x');
  GuideLog log;
  LoadPages(log, {});
  ASSERT_EQ(log.BuildEntities(), 0);
  CsvFormat format(0);
  ASSERT_EQ(WriteEventsTable(log, g_csvFormat), 0);
  EXPECT_EQ(ReadText("events.csv"),
            "Date;Time;event;\r\n2000.00.00.; 0,0;<EOF>;End Of File (msg = '')\r\n");
}

// Rows cross the flush mark and one cell is longer than the whole buffer:
// the file must hold every byte once, in order.
TEST(CsvTextTest, LongCellsAndManyRowsReachTheFileWhole) {
  std::FILE* file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  std::string expected;
  {
    CsvText out(file);
    for (int row = 0; row < 40000; ++row) {
      if (row % 9000 == 7) {
        const std::string cell(200000 + row, static_cast<char>('a' + row % 26));
        out << cell;
        expected += cell;
      }
      out.Int(row);
      out << ';';
      out.Per256(0, -row);
      out.EndLine();
      expected += std::to_string(row) + ";" + FormatCsvNumber(2, -row / 256.0) + "\r\n";
    }
    EXPECT_TRUE(out.Flush());
  }
  std::string written(expected.size() + 1, '\0');
  std::rewind(file);
  written.resize(std::fread(written.data(), 1, written.size(), file));
  std::fclose(file);
  EXPECT_EQ(written.size(), expected.size());
  EXPECT_TRUE(written == expected);
}

}  // namespace
}  // namespace ktal
