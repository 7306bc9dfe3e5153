// SPDX-License-Identifier: GPL-3.0-or-later
#include "guidelog/html_report.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "full_disk.h"
#include "report_test_support.h"
#include "sim/log_writer.h"

namespace ktal {
namespace {

using namespace report_test;
namespace fs = std::filesystem;

constexpr char kGenerationTime[] = "2014 Mar  1 09:05";

std::string ReadText(const fs::path& path) {
  const std::vector<std::uint8_t> bytes = ReadBytes(path);
  return std::string(bytes.begin(), bytes.end());
}

// Codes the entities into pages and reads them back, as a downloaded log
// reaches the report.
void BuildThroughPages(GuideLog& log, const std::vector<LogEntity>& entities) {
  LogWriter writer;
  ASSERT_EQ(writer.Append(entities), LogWriter::kOk);
  ASSERT_EQ(log.BeginLog(kTestDate, 0x1500, kUnsetDate, 0), 0);
  for (const DataPage& page : writer.Pages(0x1A2B)) ASSERT_EQ(log.AddPage(page), 0);
  ASSERT_EQ(log.BuildEntities(), 0);
}

// The golden log: an external exposure (stars before any AutoExposure
// change), ended by a setting change, then an AutoExposure cycle with a
// lost star and corrections on both axes.
std::vector<LogEntity> ExternalThenAeSession() {
  std::vector<LogEntity> e;
  LogEntity open = MakeEntity(ENTITY_CLOCK, 0.0);
  open.clock.is_open = 1;
  open.clock.fw_major = 0x02;
  open.clock.fw_minor = 0x60;
  e.push_back(open);
  const double ext_x[] = {0.12, -0.08, 0.20, 0.05, -0.15, 0.02, 0.10, -0.04, 0.07};
  const double ext_y[] = {-0.05, 0.03, 0.00, 0.09, -0.02, -0.07, 0.04, 0.01, -0.03};
  for (int i = 0; i < 9; ++i) {
    const Correction ra = i % 2 == 1 ? Corr(i * 3) : kNone;
    const Correction dec = i % 3 == 2 ? Corr(-5) : kNone;
    e.push_back(MakeStar(5.0 + 2.0 * i + (i == 4 ? 0.4 : 0.0), ext_x[i], ext_y[i], ra, dec));
  }
  LogEntity gain = MakeEntity(ENTITY_VARIABLE, 30.0);
  gain.variable.variable_id = kVariableGain;
  gain.variable.length = 1;
  gain.variable.value[0] = 7;
  e.push_back(gain);

  e.push_back(MakeAe(40.0, kAeWait));
  e.push_back(MakeAe(42.5, kAeMl));
  e.push_back(MakeAe(43.0, kAeExp));
  const double ae_x[] = {0.30, -0.22, 0.11, 0.0,   -0.35, 0.18,
                         0.04, -0.10, 0.26, -0.05, 0.14,  -0.19};
  const double ae_y[] = {0.10, -0.12, 0.25, 0.0, 0.05, -0.20, 0.15, -0.02, 0.08, 0.12, -0.06, 0.03};
  for (int i = 0; i < 12; ++i) {
    const double t = 44.0 + 1.5 * i;
    if (i == 3) {
      e.push_back(MakeLostStar(t));
      continue;
    }
    const Correction ra = Corr(i % 2 == 0 ? 20 : -12);
    const Correction dec = i % 4 == 1 ? Corr(9) : kNone;
    e.push_back(MakeStar(t, ae_x[i], ae_y[i], ra, dec));
  }
  e.push_back(MakeAe(103.0, kAeIdle));
  return e;
}

// Compares one output with its golden file and names the first difference.
// With KTAL_UPDATE_GOLDEN=1 in the environment the golden file is rewritten.
void ExpectGolden(const std::string& name, bool text) {
  const fs::path golden = fs::path(KTAL_GOLDEN_DIR) / ("report_external_then_ae." + name);
  const std::vector<std::uint8_t> actual = ReadBytes(name);
  ASSERT_FALSE(actual.empty()) << name << " was not written";
  if (const char* update = std::getenv("KTAL_UPDATE_GOLDEN"); update != nullptr && update[0] == '1')
    WriteBytes(golden, actual);
  const std::vector<std::uint8_t> expected = ReadBytes(golden);
  ASSERT_FALSE(expected.empty()) << "missing golden file " << golden;
  if (actual == expected) return;
  const std::size_t common = std::min(actual.size(), expected.size());
  std::size_t at = 0;
  while (at < common && actual[at] == expected[at]) ++at;
  if (text) {
    const std::string a(actual.begin(), actual.end());
    const std::string g(expected.begin(), expected.end());
    const std::size_t line_start = g.rfind('\n', at == 0 ? 0 : at - 1);
    const std::size_t begin = line_start == std::string::npos ? 0 : line_start + 1;
    const auto line = static_cast<std::size_t>(
                          std::count(g.begin(), g.begin() + static_cast<long>(begin), '\n')) +
                      1;
    ADD_FAILURE() << name << " differs from " << golden << " in line " << line
                  << ":\n  expected: " << g.substr(begin, g.find('\n', begin) - begin)
                  << "\n  actual:   " << a.substr(begin, a.find('\n', begin) - begin);
  } else {
    ADD_FAILURE() << name << " differs from " << golden << " at byte " << at << " (sizes "
                  << actual.size() << " and " << expected.size() << ")";
  }
}

TEST(HtmlReport, GoldenReportOfAnExternalAndAnAeExposure) {
  ScopedWorkDir dir;
  GuideLog log;
  BuildThroughPages(log, ExternalThenAeSession());
  ASSERT_EQ(WriteHtmlReport(log, 0x1A2B, kGenerationTime), 0);

  const std::string html = ReadText("index.html");
  EXPECT_NE(html.find("<font color=#f0e050>QD001a2b</font>"), std::string::npos);
  EXPECT_NE(html.find("<td align=left>2014 Mar  1 09:05</td>"), std::string::npos);
  const std::size_t external = html.find("Guided external exposure #1");
  const std::size_t ae = html.find("Guided exposure #1");
  ASSERT_NE(external, std::string::npos);
  ASSERT_NE(ae, std::string::npos);
  EXPECT_LT(external, ae);
  EXPECT_LT(html.find("XE001_RAdrift.bmp"), ae);
  EXPECT_GT(html.find("AE001_RAdrift.bmp"), ae);
  // Every line ends in CR LF, the file in the closing tags.
  EXPECT_EQ(html.find("\n"), html.find("\r\n") + 1);
  EXPECT_EQ(html.find('\n', html.find("\r\n") + 2), html.find("\r\n", html.find("\r\n") + 2) + 1);
  EXPECT_EQ(html.substr(html.size() - 16), "\r\n</BODY></HTML>");

  ExpectGolden("index.html", true);
  for (const char* image : {"XE001_RAdrift.bmp", "XE001_spread.bmp", "XE001_err.bmp",
                            "AE001_RAdrift.bmp", "AE001_spread.bmp", "AE001_err.bmp"})
    ExpectGolden(image, false);
}

// Lines of the report without CR, for looking up single rows.
std::string Unix(std::string text) {
  std::string out;
  for (char c : text)
    if (c != '\r') out += c;
  return out;
}

TEST(HtmlReport, ALogWithoutStarMeasurementsHasOnlyHeadAndTail) {
  ScopedWorkDir dir;
  GuideLog log;
  SetEntities(log, {MakeAe(0.0, kAeWait), MakeAe(1.0, kAeExp), MakeAe(9.0, kAeIdle),
                    MakeEntity(ENTITY_MARKER, 10.0)});
  ASSERT_EQ(WriteHtmlReport(log, 5, kGenerationTime), 0);
  const std::string html = Unix(ReadText("index.html"));
  EXPECT_EQ(html.find("Guided"), std::string::npos);
  const std::string tail = "</center>\n\n<hr>\n\n\n</BODY></HTML>";
  ASSERT_GT(html.size(), tail.size());
  EXPECT_EQ(html.substr(html.size() - tail.size()), tail);
  EXPECT_NE(html.find("QD000005"), std::string::npos);
  int files = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator(dir.path())) ++files;
  EXPECT_EQ(files, 1);
}

TEST(HtmlReport, AnExposureCutOffDuringExpHasNoExpAndNoEndRow) {
  ScopedWorkDir dir;
  GuideLog log;
  SetEntities(log, {MakeAe(0.0, kAeWait), MakeAe(3.0, kAeMl), MakeAe(4.5, kAeExp),
                    MakeStar(5.0, 0.1, 0.1), MakeStar(7.0, 0.2, -0.1)});
  ASSERT_EQ(WriteHtmlReport(log, 1, kGenerationTime), 0);
  const std::string html = Unix(ReadText("index.html"));
  EXPECT_NE(html.find("<tr><td><b>WAIT</b></td><td align=right>3.0</td></tr>\n"),
            std::string::npos);
  EXPECT_NE(html.find("<tr><td><b>M.L.</b></td><td align=right>1.5</td></tr>\n"),
            std::string::npos);
  EXPECT_NE(html.find("<tr><td><i>Start</i></td><td align=right>21:00:00.0</td></tr>\n"),
            std::string::npos);
  EXPECT_EQ(html.find("<b>EXP</b>"), std::string::npos);
  EXPECT_EQ(html.find("<i>End</i>"), std::string::npos);
  EXPECT_NE(html.find("<b>2014. 03. 21.</b>"), std::string::npos);
}

TEST(HtmlReport, TheFrameRateCountsLostStarsAndThePositionCountDoesNot) {
  ScopedWorkDir dir;
  GuideLog log;
  std::vector<LogEntity> entities;
  for (int i = 0; i < 101; ++i)
    entities.push_back(i % 10 == 3 ? MakeLostStar(i * 0.5) : MakeStar(i * 0.5, 0.1, 0.0));
  entities.push_back(MakeEntity(ENTITY_MARKER, 60.0));
  SetEntities(log, entities);
  ASSERT_EQ(WriteHtmlReport(log, 1, kGenerationTime), 0);
  const std::string html = Unix(ReadText("index.html"));
  EXPECT_NE(html.find("<b>91</b> star positions, <b>2.00</b> guiding frames/sec."),
            std::string::npos);
  EXPECT_NE(html.find("<tr><td><b>Time</b></td><td align=right><b>60.0</b></td></tr>\n"),
            std::string::npos);
  EXPECT_NE(html.find("<tr><td><i>End</i></td><td align=right>21:01:00.0</td></tr>\n"),
            std::string::npos);
}

TEST(HtmlReport, ASingleMeasurementReportsARateOfZero) {
  ScopedWorkDir dir;
  GuideLog log;
  SetEntities(log,
              {MakeStar(1.0, 0.5, 0.5), MakeEntity(ENTITY_MARKER, 2.0), MakeStar(3.0, 0.5, 0.5),
               MakeStar(3.0, 0.5, 0.5), MakeEntity(ENTITY_MARKER, 4.0)});
  ASSERT_EQ(WriteHtmlReport(log, 1, kGenerationTime), 0);
  const std::string html = ReadText("index.html");
  EXPECT_NE(html.find("<b>1</b> star positions, <b>0.00</b> guiding frames/sec."),
            std::string::npos);
  // Two frames in the same tenth of a second: no rate either.
  EXPECT_NE(html.find("<b>2</b> star positions, <b>0.00</b> guiding frames/sec."),
            std::string::npos);
  for (const char* bad : {">nan", ">-nan", ">inf", ">-inf"})
    EXPECT_EQ(html.find(bad), std::string::npos) << bad;
  EXPECT_TRUE(fs::exists("XE002_err.bmp"));
}

TEST(HtmlReport, NumbersKeepADecimalPointInAnyLocale) {
  const char* previous = std::setlocale(LC_NUMERIC, nullptr);
  const std::string saved = previous != nullptr ? previous : "C";
  bool comma_locale = false;
  for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "hu_HU.UTF-8"})
    if (std::setlocale(LC_NUMERIC, name) != nullptr) {
      comma_locale = true;
      break;
    }
  if (!comma_locale) GTEST_SKIP() << "no locale with a decimal comma is installed";
  ScopedWorkDir dir;
  GuideLog log;
  SetEntities(log,
              {MakeStar(0.0, 0.25, 0.0), MakeStar(2.0, 0.75, 0.0), MakeEntity(ENTITY_MARKER, 3.0)});
  const int result = WriteHtmlReport(log, 1, kGenerationTime);
  std::setlocale(LC_NUMERIC, saved.c_str());
  ASSERT_EQ(result, 0);
  const std::string html = ReadText("index.html");
  EXPECT_NE(html.find("0.50 px<br>0.25 px"), std::string::npos);
}

TEST(HtmlReport, AnUncreatableReportReturnsMinusOne) {
  ScopedWorkDir dir;
  fs::create_directory("index.html");
  GuideLog log;
  SetEntities(log, {MakeStar(0.0, 0.0, 0.0)});
  testing::internal::CaptureStdout();
  EXPECT_EQ(WriteHtmlReport(log, 1, kGenerationTime), -1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "ERROR: can't create HTML file\n");
  EXPECT_FALSE(fs::exists("XE001_spread.bmp"));
}

TEST(HtmlReport, AFailedWriteNamesTheFileAndEndsTheReport) {
  struct Case {
    const char* what;
    bool with_exposures;
    const char* in_the_way;  // a folder where this file goes, or nothing
    off_t limit;             // bytes a file may grow to
    int code;
    const char* message;
    std::vector<const char*> missing;  // files the report did not go on to write
  };
  const Case cases[] = {
      {"an image that cannot be created",
       true,
       "XE001_spread.bmp",
       1 << 20,
       kReportImageNotCreated,
       "ERROR: can't create image file 'XE001_spread.bmp'\n",
       {"XE001_err.bmp", "AE001_RAdrift.bmp"}},
      {"an image cut short",
       true,
       nullptr,
       3000,
       kReportImageWriteShort,
       "ERROR: can't write image file 'XE001_RAdrift.bmp'\n",
       {"XE001_spread.bmp", "AE001_RAdrift.bmp"}},
      // Created, then cut short: not to be reported as never created.
      {"the report cut short",
       false,
       nullptr,
       100,
       kReportWriteShort,
       "ERROR: can't write HTML file\n",
       {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ScopedWorkDir dir;
    GuideLog log;
    if (c.with_exposures)
      BuildThroughPages(log, ExternalThenAeSession());
    else
      SetEntities(log, {MakeEntity(ENTITY_MARKER, 1.0)});
    if (c.in_the_way != nullptr) fs::create_directory(c.in_the_way);
    const full_disk::Outcome outcome = full_disk::RunWithFileSizeLimit(
        c.limit, [&] { return WriteHtmlReport(log, 1, kGenerationTime); });
    EXPECT_EQ(outcome.result, c.code);
    EXPECT_EQ(outcome.out, c.message);
    // A report that stopped is not left behind cut.
    EXPECT_FALSE(fs::exists("index.html"));
    for (const char* name : c.missing) EXPECT_FALSE(fs::exists(name)) << name;
  }
}

TEST(HtmlReport, GenerationTimeHasTheAsctimeFormInEnglish) {
  std::tm time{};
  time.tm_year = 114;
  time.tm_mon = 2;
  time.tm_mday = 1;
  time.tm_hour = 9;
  time.tm_min = 5;
  EXPECT_EQ(FormatGenerationTime(time), "2014 Mar  1 09:05");
  time.tm_year = 126;
  time.tm_mon = 11;
  time.tm_mday = 24;
  time.tm_hour = 23;
  time.tm_min = 59;
  EXPECT_EQ(FormatGenerationTime(time), "2026 Dec 24 23:59");
  EXPECT_EQ(FormatGenerationTime(time).size(), 17u);
}

}  // namespace
}  // namespace ktal
