// SPDX-License-Identifier: GPL-3.0-or-later
#include "logtool.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "guidelog/guide_log.h"
#include "guidelog/guided_periodogram.h"
#include "guidelog/guiding_summary.h"
#include "guidelog/output_folder.h"
#include "report_test_support.h"
#include "sim/log_writer.h"
#include "sim/session_generator.h"

namespace ktal {
namespace {

using report_test::ReadBytes;
using report_test::ScopedWorkDir;
using report_test::WriteBytes;
namespace fs = std::filesystem;

TEST(LogtoolPeSettings, NumbersAreReadAndCheckedAsTheWindowDoes) {
  struct Case {
    const char* text;
    int focal;
    int worm;
    float dec;
  };
  for (const Case& c :
       {Case{"1000,480,12.5", 1000, 480, 12.5f}, Case{" 750 , 7 ,-90", 750, 7, -90.0f},
        Case{"1,1,", 1, 1, 0.0f}, Case{"+2000,600,abc", 2000, 600, 0.0f},
        Case{"1000,480,  45.25deg", 1000, 480, 45.25f}, Case{"1000,480,90", 1000, 480, 90.0f}}) {
    std::string error;
    const std::optional<PeSettings> settings = ParsePeSettings(c.text, error);
    ASSERT_TRUE(settings) << c.text << ": " << error;
    EXPECT_EQ(settings->focal_length_mm, c.focal) << c.text;
    EXPECT_EQ(settings->worm_period_s, c.worm) << c.text;
    EXPECT_FLOAT_EQ(settings->star_dec_deg, c.dec) << c.text;
  }
}

TEST(LogtoolPeSettings, EachBadNumberGetsItsMessage) {
  const std::string focal = "Wrong focal length entered, value must be positive!";
  const std::string worm = "Wrong gear period entered, value must be positive!";
  const std::string dec = "Wrong DEC coordinate entered, value must be between -90 and 90 degrees!";
  struct Case {
    const char* text;
    const std::string* message;
  };
  for (const Case& c :
       {Case{"0,480,0", &focal}, Case{",480,0", &focal}, Case{"-5,480,0", &focal},
        Case{"x,480,0", &focal}, Case{"99999999999,480,0", &focal}, Case{"0,0,100", &focal},
        Case{"1000,0,0", &worm}, Case{"1000,,0", &worm}, Case{"1000,480,91", &dec},
        Case{"1000,480,-95", &dec}, Case{"1000,480,nan", &dec}, Case{"1000,480,inf", &dec},
        Case{"1000,480,1e999", &dec}}) {
    std::string error;
    EXPECT_FALSE(ParsePeSettings(c.text, error)) << c.text;
    EXPECT_EQ(error, *c.message) << c.text;
  }
  // Whole numbers with anything after their digits are refused, not cut.
  for (const Case& c :
       {Case{"1000.9,480,0", nullptr}, Case{"1000,480.5,0", nullptr}, Case{"1000,7x,0", nullptr}}) {
    std::string error;
    EXPECT_FALSE(ParsePeSettings(c.text, error)) << c.text;
    EXPECT_TRUE(error.find("must be a whole number") != std::string::npos)
        << c.text << ": " << error;
  }
  for (const char* text : {"1000,480", "1000", "1000,480,0,5", ""}) {
    std::string error;
    EXPECT_FALSE(ParsePeSettings(text, error)) << text;
    EXPECT_NE(error.find("FOCAL_MM,WORM_S,DEC_DEG"), std::string::npos) << text;
  }
}

TEST(LogtoolCodes, EveryProcessingCodeHasItsMeaning) {
  EXPECT_STREQ(ProcessCodeMeaning(101), "stream error in the log");
  EXPECT_STREQ(ProcessCodeMeaning(2), "header text is not \"ORVELIA K-Tal raw file\"");
  EXPECT_STREQ(ProcessCodeMeaning(199), "\"index.html\" cannot be created");
  for (int code :
       {1, 3, 298, 297, 301, 399, 398, 198, 197, 196, 499, 498, 599, 598, 597, 699, 698, 697})
    EXPECT_STRNE(ProcessCodeMeaning(code), ProcessCodeMeaning(12345)) << code;
  // A file that was created but not written whole is not reported as one
  // that could not be created.
  for (int code : {297, 398, 198, 196, 498, 598, 698})
    EXPECT_NE(std::string(ProcessCodeMeaning(code)).find("fell short"), std::string::npos) << code;
}

struct RunResult {
  int status = -1;
  std::string out;
  std::string err;
};

std::string Quote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

std::string ReadText(const fs::path& path) {
  const std::vector<std::uint8_t> bytes = ReadBytes(path);
  return std::string(bytes.begin(), bytes.end());
}

// Runs the built tool with the arguments from the current folder, after
// `before` (shell words, such as a writer into a FIFO) when given.
RunResult RunTool(const std::vector<std::string>& args, const std::string& before = "") {
  std::string command = before + Quote(KTAL_LOGTOOL_PATH);
  for (const std::string& arg : args) {
    command += ' ';
    command += Quote(arg);
  }
  command += " > tool.out 2> tool.err";
  RunResult result;
  const int raw = std::system(command.c_str());
  result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  result.out = ReadText("tool.out");
  result.err = ReadText("tool.err");
  fs::remove("tool.out");
  fs::remove("tool.err");
  return result;
}

std::vector<std::uint8_t> GeneratedLog(std::uint32_t file_id) {
  SessionOptions options;
  options.position_run_s = 960.0;
  options.exposures = 2;
  options.exposure_s = 120.0;
  LogWriter writer;
  EXPECT_EQ(WriteSession(options, writer), 0);
  DirectoryEntry entry;
  entry.first_page = 3;
  SetFileId(entry.file_id, file_id);
  entry.created_date = options.start_date;
  entry.created_time = PackTime(21, 0);
  return writer.RawFile(entry);
}

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// The lines a run printed on either stream that speak of one file.
std::vector<std::string> FileLines(const std::string& text) {
  std::istringstream lines(text);
  std::vector<std::string> found;
  for (std::string line; std::getline(lines, line);)
    if (Contains(line, ".dat: ") || Contains(line, ".bak01: ")) found.push_back(line);
  return found;
}

TEST(LogtoolRun, ProcessesALogIntoEveryOutputInItsOwnFolderBesideIt) {
  ScopedWorkDir dir;
  fs::create_directory("logs");
  WriteBytes("logs/QD00002a.dat", GeneratedLog(0x2A));
  const RunResult run =
      RunTool({"process", "--html", "--pe", "1000,480,12.5", "logs/QD00002a.dat"});
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_TRUE(run.err.empty()) << run.err;
  // The line names the file as it was given, relative to where the tool ran.
  EXPECT_EQ(run.out.rfind("logs/QD00002a.dat: done, QD00002a processed into ", 0), 0u) << run.out;
  EXPECT_FALSE(Contains(run.out, "no periodic-error table")) << run.out;
  const fs::path folder = "logs/QD00002a.dat.content";
  for (const char* name :
       {"events.csv", "pe1.csv", "index.html", "exposures.csv", "analysis.html",
        "AE001_RAdrift.bmp", "AE001_spread.bmp", "AE001_err.bmp", "AE002_RAdrift.bmp"})
    EXPECT_TRUE(fs::exists(folder / name)) << name;
  // The excel dialect by default: semicolons and decimal commas.
  const std::string events = ReadText(folder / "events.csv");
  EXPECT_EQ(events.rfind("Date;Time;event;\r\n", 0), 0u) << events.substr(0, 40);
  EXPECT_TRUE(Contains(ReadText(folder / "index.html"), "QD00002a"));
  EXPECT_FALSE(fs::exists("logs/events.csv"));
  EXPECT_FALSE(fs::exists("events.csv"));
}

// Where each input's outputs land; no two inputs share a folder.
TEST(LogtoolRun, EachLogGetsAFolderOfItsOwn) {
  struct Case {
    const char* what;
    std::vector<std::string> files;  // written from GeneratedLog(id)
    std::vector<std::uint32_t> ids;
    std::vector<std::string> options;
    std::vector<std::string> folders;  // "" where the file must fail
    int status;
  };
  const Case cases[] = {
      {"two logs in one folder",
       {"logs/QD00002a.dat", "logs/QD00002b.dat"},
       {0x2A, 0x2B},
       {},
       {"logs/QD00002a.dat.content", "logs/QD00002b.dat.content"},
       kToolOk},
      {"a log already in its own folder stays there",
       {"QD00002c.dat.content/QD00002c.dat"},
       {0x2C},
       {},
       {"QD00002c.dat.content"},
       kToolOk},
      {"the folder name comes from the log, not the file name",
       {"night.dat"},
       {0x2D},
       {},
       {"QD00002d.dat.content"},
       kToolOk},
      {"--out puts one folder per log under it",
       {"a/QD00002a.dat", "b/QD00002b.dat"},
       {0x2A, 0x2B},
       {"--out", "result/nested"},
       {"result/nested/QD00002a.dat.content", "result/nested/QD00002b.dat.content"},
       kToolOk},
      {"a backup copy of the same log does not overwrite the first",
       {"logs/QD00002a.dat", "logs/QD00002a.dat.bak01"},
       {0x2A, 0x2A},
       {},
       {"logs/QD00002a.dat.content", ""},
       kToolFileFailed},
      {"two copies of one log under --out",
       {"a/QD00002a.dat", "b/QD00002a.dat"},
       {0x2A, 0x2A},
       {"--out", "result"},
       {"result/QD00002a.dat.content", ""},
       kToolFileFailed},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ScopedWorkDir dir;
    std::vector<std::string> args = {"process"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    for (std::size_t i = 0; i < c.files.size(); ++i) {
      if (fs::path(c.files[i]).has_parent_path())
        fs::create_directories(fs::path(c.files[i]).parent_path());
      WriteBytes(c.files[i], GeneratedLog(c.ids[i]));
      args.push_back(c.files[i]);
    }
    const RunResult run = RunTool(args);
    EXPECT_EQ(run.status, c.status) << run.out << run.err;
    const std::vector<std::string> done = FileLines(run.out);
    const std::vector<std::string> failed = FileLines(run.err);
    std::size_t d = 0;
    std::size_t f = 0;
    for (std::size_t i = 0; i < c.files.size(); ++i) {
      if (c.folders[i].empty()) {
        ASSERT_LT(f, failed.size()) << run.err;
        EXPECT_EQ(failed[f++].rfind(c.files[i] + ": failed, ", 0), 0u) << run.err;
        continue;
      }
      ASSERT_LT(d, done.size()) << run.out;
      EXPECT_EQ(done[d++].rfind(c.files[i] + ": done", 0), 0u) << run.out;
      EXPECT_TRUE(fs::exists(fs::path(c.folders[i]) / "events.csv")) << c.folders[i];
    }
    EXPECT_EQ(d, done.size()) << run.out;
    EXPECT_EQ(f, failed.size()) << run.err;
    // Nothing beside the logs or in the working folder itself.
    EXPECT_FALSE(fs::exists("events.csv"));
    EXPECT_FALSE(fs::exists("logs/events.csv"));
  }
}

TEST(LogtoolRun, CsvPointChoosesTheDialect) {
  ScopedWorkDir dir;
  WriteBytes("QD000100.dat", GeneratedLog(0x100));
  const RunResult run = RunTool({"process", "--csv", "point", "QD000100.dat"});
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_EQ(ReadText("QD000100.dat.content/events.csv").rfind("Date,Time,event,\r\n", 0), 0u);
  // Without --html and --pe only the events table is written.
  EXPECT_FALSE(fs::exists("QD000100.dat.content/index.html"));
  EXPECT_FALSE(fs::exists("QD000100.dat.content/pe1.csv"));
}

// Each bad input: its exit code, one line on standard error, and nothing
// written for the file it concerns.
TEST(LogtoolRun, BadInputIsRefusedInOneLine) {
  struct Case {
    std::vector<std::string> args;
    int status;
    const char* says;
  };
  const Case cases[] = {
      {{"process", "--csv", "comma", "QD000001.dat"}, kToolUsage, "see 'ktal-logtool --help'"},
      {{"process", "--bogus", "QD000001.dat"}, kToolUsage, "see 'ktal-logtool --help'"},
      {{"process", "--html"}, kToolUsage, "see 'ktal-logtool --help'"},
      {{"convert", "QD000001.dat"}, kToolUsage, "see 'ktal-logtool --help'"},
      {{}, kToolUsage, "see 'ktal-logtool --help'"},
      {{"process", "--pe", "1000,480", "QD000001.dat"}, kToolUsage, "FOCAL_MM,WORM_S,DEC_DEG"},
      {{"process", "--pe", "1000.9,480,0", "QD000001.dat"},
       kToolUsage,
       "The focal length must be a whole number, not \"1000.9\""},
      {{"process", "--pe", "1000,480,91", "QD000001.dat"},
       kToolUsage,
       "Wrong DEC coordinate entered, value must be between -90 and 90 degrees!"},
      {{"process", "folder"},
       kToolFileFailed,
       "folder: failed, this is a folder, not a raw log file"},
      {{"process", "missing.dat"},
       kToolFileFailed,
       "missing.dat: failed, the file cannot be opened"},
      {{"process", "short.dat"}, kToolFileFailed, "short.dat: failed, code 1: "},
  };
  ScopedWorkDir dir;
  WriteBytes("QD000001.dat", GeneratedLog(1));
  WriteBytes("short.dat", std::vector<std::uint8_t>(10, 0x20));
  fs::create_directory("folder");
  for (const Case& c : cases) {
    std::string joined;
    for (const std::string& arg : c.args) joined += arg + ' ';
    SCOPED_TRACE(joined);
    const RunResult run = RunTool(c.args);
    EXPECT_EQ(run.status, c.status) << run.err;
    EXPECT_TRUE(Contains(run.err, c.says)) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    EXPECT_TRUE(run.out.empty()) << run.out;
  }
  EXPECT_FALSE(fs::exists("QD000001.dat.content"));
  EXPECT_FALSE(fs::exists("events.csv"));
}

TEST(LogtoolRun, HelpAndVersionAnswerOnStandardOutput) {
  ScopedWorkDir dir;
  const RunResult help = RunTool({"process", "--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_TRUE(Contains(help.out, "--pe FOCAL_MM,WORM_S,DEC_DEG")) << help.out;
  const RunResult version = RunTool({"--version"});
  EXPECT_EQ(version.status, 0) << version.err;
  EXPECT_EQ(std::count(version.out.begin(), version.out.end(), '\n'), 1) << version.out;
  EXPECT_EQ(version.out.rfind("ktal-logtool ", 0), 0u) << version.out;
  EXPECT_TRUE(version.err.empty()) << version.err;
}

TEST(LogtoolRun, PeOnALogWithoutPositionsSaysNoTableWasWritten) {
  ScopedWorkDir dir;
  SessionOptions options;
  options.position_run_s = 0.0;
  options.exposures = 1;
  options.exposure_s = 60.0;
  LogWriter writer;
  ASSERT_EQ(WriteSession(options, writer), 0);
  DirectoryEntry entry;
  entry.first_page = 3;
  SetFileId(entry.file_id, 0x31);
  entry.created_date = options.start_date;
  entry.created_time = PackTime(21, 0);
  WriteBytes("QD000031.dat", writer.RawFile(entry));
  const RunResult run = RunTool({"process", "--pe", "1000,480,0", "QD000031.dat"});
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_TRUE(Contains(run.out, "QD000031.dat: done, QD000031 processed into ")) << run.out;
  EXPECT_TRUE(Contains(run.out, "; no periodic-error table was written")) << run.out;
  EXPECT_TRUE(fs::exists("QD000031.dat.content/events.csv"));
  EXPECT_FALSE(fs::exists("QD000031.dat.content/pe1.csv"));
}

// The guide log in arcseconds with --pe's focal length and declination,
// in pixels without; the line names it.
TEST(LogtoolRun, Phd2WritesTheGuideLogAndNamesItInTheLine) {
  struct Case {
    std::vector<std::string> options;
    const char* scale_line;
    bool dec_line;
  };
  for (const Case& c :
       {Case{{"--phd2", "--pe", "1234,480,-20.5"},
             "Pixel scale = 0.81 arc-sec/px, Binning = 1, Focal length = 1234 mm\r\n",
             true},
        Case{{"--phd2"},
             "Pixel scale = 1.00 arc-sec/px, Binning = 1, Focal length = 0 mm\r\n",
             false}}) {
    SCOPED_TRACE(c.options.size());
    ScopedWorkDir dir;
    WriteBytes("QD00002a.dat", GeneratedLog(0x2A));
    std::vector<std::string> args = {"process"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    args.push_back("QD00002a.dat");
    const RunResult run = RunTool(args);
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    const std::string name = "PHD2_GuideLog_2014-03-21_205956.txt";
    EXPECT_TRUE(Contains(run.out, "QD00002a.dat.content; PHD2 guide log " + name + "\n"))
        << run.out;
    const std::string log = ReadText(fs::path("QD00002a.dat.content") / name);
    EXPECT_EQ(log.rfind("PHD2 version " KTAL_VERSION ", Log version 2.5. Log enabled at "
                        "2014-03-21 20:59:56\r\n",
                        0),
              0u);
    EXPECT_TRUE(Contains(log, c.scale_line)) << log.substr(0, 2000);
    EXPECT_EQ(Contains(log, "\r\nRA = N/A hr, Dec = -20.5 deg"), c.dec_line);
  }
  // Without --phd2 there is none.
  ScopedWorkDir dir;
  WriteBytes("QD00002a.dat", GeneratedLog(0x2A));
  EXPECT_EQ(RunTool({"process", "QD00002a.dat"}).status, 0);
  for (const auto& item : fs::directory_iterator("QD00002a.dat.content"))
    EXPECT_EQ(item.path().filename().string().rfind("PHD2_", 0), std::string::npos);
}

TEST(LogtoolRun, AMissingFileAndABrokenOneFailWhileTheGoodOnesAreProcessed) {
  ScopedWorkDir dir;
  std::vector<std::uint8_t> broken = GeneratedLog(7);
  // 1, 111, 1, 01 at the start of the stream: not a type code.
  broken[64 + 16] = 0xFA;
  fs::create_directories("a");
  fs::create_directories("b");
  fs::create_directories("c");
  WriteBytes("a/QD000005.dat", GeneratedLog(5));
  WriteBytes("b/QD000007.dat", broken);
  WriteBytes("c/QD000009.dat", GeneratedLog(9));
  const RunResult run =
      RunTool({"process", "a/QD000005.dat", "missing.dat", "b/QD000007.dat", "c/QD000009.dat"});
  EXPECT_EQ(run.status, kToolFileFailed) << run.out << run.err;
  const std::vector<std::string> done = FileLines(run.out);
  const std::vector<std::string> failed = FileLines(run.err);
  ASSERT_EQ(done.size(), 2u) << run.out;
  ASSERT_EQ(failed.size(), 2u) << run.err;
  EXPECT_EQ(done[0].rfind("a/QD000005.dat: done", 0), 0u) << done[0];
  EXPECT_EQ(failed[0].rfind("missing.dat: failed", 0), 0u) << failed[0];
  EXPECT_EQ(failed[1], "b/QD000007.dat: failed, code 101: stream error in the log");
  EXPECT_EQ(done[1].rfind("c/QD000009.dat: done", 0), 0u) << done[1];
  EXPECT_TRUE(fs::exists("a/QD000005.dat.content/events.csv"));
  // The broken log's folder, made for it alone, does not stay behind empty.
  EXPECT_FALSE(fs::exists("b/QD000007.dat.content"));
  EXPECT_TRUE(fs::exists("c/QD000009.dat.content/events.csv"));
}

TEST(LogtoolRun, AFifoIsReadOnceAndProcessedIntoTheCurrentFolder) {
  ScopedWorkDir dir;
  WriteBytes("QD00002a.dat", GeneratedLog(0x2A));
  ASSERT_EQ(::mkfifo("in.fifo", 0600), 0);
  // The writer gives up when nothing opens the FIFO.
  const std::string writer = "timeout 20 sh -c 'cat QD00002a.dat > in.fifo' & ";
  const RunResult run = RunTool({"process", "in.fifo"}, writer);
  EXPECT_EQ(run.status, kToolOk) << run.err;
  EXPECT_TRUE(Contains(run.out, "in.fifo: done, QD00002a processed into ")) << run.out;
  EXPECT_TRUE(fs::exists("QD00002a.dat.content/events.csv"));
  const RunResult summary = RunTool({"summary", "in.fifo"}, writer);
  EXPECT_EQ(summary.status, kToolOk) << summary.err;
  EXPECT_EQ(summary.out.rfind("in.fifo: QD00002a, 3 guided exposures", 0), 0u) << summary.out;
}

TEST(LogtoolRun, AFolderThatCannotBeMadeSaysWhatTheSystemSaid) {
  ScopedWorkDir dir;
  fs::create_directory("locked");
  WriteBytes("locked/QD00002a.dat", GeneratedLog(0x2A));
  fs::permissions("locked", fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                                fs::perms::group_exec | fs::perms::others_read |
                                fs::perms::others_exec);
  // Root may write anywhere: the tool then runs as nobody.
  std::string as_user;
  if (::geteuid() == 0) {
    if (std::system("command -v setpriv > /dev/null") != 0)
      GTEST_SKIP() << "running as root without setpriv to run as another user";
    as_user = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
  }
  const RunResult run = RunTool({"process", "locked/QD00002a.dat"}, as_user);
  EXPECT_EQ(run.status, kToolFileFailed) << run.err;
  EXPECT_TRUE(Contains(run.err, std::string("cannot be used (") + std::strerror(EACCES) + ")"))
      << run.err;
}

TEST(LogtoolSummary, JsonOfANameThatIsNotUtf8IsValid) {
  ScopedWorkDir dir;
  // A Latin-1 e acute and a stray byte, a UTF-8 e acute and a quote.
  const std::string name = "n\xE9\xFF\xC3\xA9\"x.dat";
  WriteBytes(name, GeneratedLog(0x2A));
  const RunResult run = RunTool({"summary", "--json", name});
  EXPECT_EQ(run.status, kToolOk) << run.err;
  EXPECT_EQ(run.out.rfind("{\"file\":\"n\xEF\xBF\xBD\xEF\xBF\xBD\xC3\xA9\\\"x.dat\",", 0), 0u)
      << run.out.substr(0, 40);
}

TEST(LogtoolRun, AFolderAnotherRunIsWritingIntoIsLeftAlone) {
  ScopedWorkDir dir;
  WriteBytes("QD000001.dat", GeneratedLog(1));
  fs::create_directory("QD000001.dat.content");
  WriteBytes("QD000001.dat.content/events.csv", {'o', 'l', 'd'});
  OutputFolderLock other;
  ASSERT_EQ(other.Take("QD000001.dat.content"), OutputFolderLock::Result::kTaken);
  const RunResult run = RunTool({"process", "QD000001.dat"});
  EXPECT_EQ(run.status, kToolFileFailed);
  EXPECT_EQ(run.err, "QD000001.dat: failed, another run is writing into " +
                         (dir.path() / "QD000001.dat.content").string() +
                         "; try again when it has finished\n");
  EXPECT_EQ(ReadText("QD000001.dat.content/events.csv"), "old");
  other.Release();
  EXPECT_EQ(RunTool({"process", "QD000001.dat"}).status, kToolOk);
  EXPECT_NE(ReadText("QD000001.dat.content/events.csv"), "old");
}

// The summary and the guided RA drift's periodograms of a log as the
// library computes them with the --pe settings, as the tool's line holds
// them.
std::string LibrarySummaryJson(const std::vector<std::uint8_t>& raw,
                               const SummaryOptions& options) {
  ScopedWorkDir dir;
  WriteBytes("log.dat", raw);
  auto log = std::make_unique<GuideLog>();
  DirectoryEntry entry;
  std::FILE* file = std::fopen("log.dat", "rb");
  EXPECT_EQ(log->ReadRawFile(file, entry), 0);
  std::fclose(file);
  EXPECT_EQ(log->BuildEntities(), 0);
  const GuideSeries series = ExtractGuideSeries(*log);
  std::string json = GuidingSummaryJson(series, SummarizeGuiding(series, options));
  json.pop_back();  // its line end
  return json + ",\"guided_ra\":" + GuidedRaJson(series, SummarizeGuidedRa(series, options));
}

TEST(LogtoolSummary, JsonIsTheLibrarySummaryWithThePeSettings) {
  ScopedWorkDir dir;
  const std::vector<std::uint8_t> a = GeneratedLog(0x2A);
  WriteBytes("QD00002a.dat", a);
  SummaryOptions options;
  options.focal_length_mm = 1000;
  options.worm_period_s = 480;
  options.declination_deg = 12.5;
  const RunResult run =
      RunTool({"summary", "--json", "--pe", "1000,480,12.5", "QD00002a.dat", "QD00002a.dat"});
  EXPECT_EQ(run.status, kToolOk) << run.err;
  EXPECT_TRUE(run.err.empty()) << run.err;
  const std::string line = "{\"file\":\"QD00002a.dat\",\"log\":\"QD00002a\",\"summary\":" +
                           LibrarySummaryJson(a, options) + "}\n";
  // One line per file; a summary writes nothing, so a file may come twice.
  EXPECT_EQ(run.out, line + line);
  EXPECT_FALSE(fs::exists("QD00002a.dat.content"));

  // Without --pe the figures stay in pixels.
  const RunResult pixels = RunTool({"summary", "--json", "QD00002a.dat"});
  EXPECT_EQ(pixels.out, "{\"file\":\"QD00002a.dat\",\"log\":\"QD00002a\",\"summary\":" +
                            LibrarySummaryJson(a, SummaryOptions{}) + "}\n");
}

TEST(LogtoolSummary, TextNamesEachExposureTheNightAndTheUnguidedRun) {
  ScopedWorkDir dir;
  WriteBytes("QD00002a.dat", GeneratedLog(0x2A));
  struct Case {
    std::vector<std::string> options;
    std::vector<std::string> says;
  } cases[] = {
      {{"--pe", "1000,480,12.5"},
       {"QD00002a.dat: QD00002a, 3 guided exposures, 1 unguided runs, figures in arcseconds\n",
        "\n  AE001 ", "\n  AE002 ", "\n  XE001 ", "\n  night ", "unguided run 1: 21:00:01",
        "polar-alignment error at least ", "peak to peak, steepest ", "the worm period)",
        "worm harmonics:    480.0 s", "\n  guided RA drift (residual periodic error):\n",
        "\n    AE001 strongest: "}},
      {{}, {"figures in pixels (no focal length given)", "drift: RA +0.0", " px peak to peak"}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"summary"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    args.push_back("QD00002a.dat");
    const RunResult run = RunTool(args);
    EXPECT_EQ(run.status, kToolOk) << run.err;
    for (const std::string& part : c.says)
      EXPECT_TRUE(Contains(run.out, part)) << part << " in\n" << run.out;
  }
}

// Each bad input: its exit code and one line on standard error; the good
// files of the same run are still summarised.
TEST(LogtoolSummary, BadInputIsRefusedInOneLine) {
  struct Case {
    std::vector<std::string> args;
    int status;
    const char* says;
  };
  const Case cases[] = {
      {{"summary"}, kToolUsage, "see 'ktal-logtool --help'"},
      {{"summary", "--html", "good.dat"}, kToolUsage, "see 'ktal-logtool --help'"},
      {{"summary", "--pe", "1000,480", "good.dat"}, kToolUsage, "FOCAL_MM,WORM_S,DEC_DEG"},
      {{"summary", "--pe", "0,480,0", "good.dat"}, kToolUsage, "Wrong focal length entered"},
      {{"summary", "--pe", "1000,480,91", "good.dat"}, kToolUsage, "Wrong DEC coordinate entered"},
      {{"summary", "missing.dat", "good.dat"},
       kToolFileFailed,
       "missing.dat: failed, the file cannot be opened"},
      {{"summary", "folder", "good.dat"}, kToolFileFailed, "folder: failed, this is a folder"},
      {{"summary", "short.dat", "good.dat"}, kToolFileFailed, "short.dat: failed, code 1: "},
      {{"summary", "broken.dat", "good.dat"},
       kToolFileFailed,
       "broken.dat: failed, code 101: stream error in the log"},
  };
  ScopedWorkDir dir;
  WriteBytes("good.dat", GeneratedLog(1));
  WriteBytes("short.dat", std::vector<std::uint8_t>(10, 0x20));
  std::vector<std::uint8_t> broken = GeneratedLog(7);
  broken[64 + 16] = 0xFA;  // 1, 111, 1, 01: not a type code
  WriteBytes("broken.dat", broken);
  fs::create_directory("folder");
  for (const Case& c : cases) {
    std::string joined;
    for (const std::string& arg : c.args) joined += arg + ' ';
    SCOPED_TRACE(joined);
    const RunResult run = RunTool(c.args);
    EXPECT_EQ(run.status, c.status) << run.err;
    EXPECT_TRUE(Contains(run.err, c.says)) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    if (c.status == kToolUsage)
      EXPECT_TRUE(run.out.empty()) << run.out;
    else
      EXPECT_EQ(run.out.rfind("good.dat: QD000001, ", 0), 0u) << run.out;
  }
}

}  // namespace
}  // namespace ktal
