#include "logtool.h"

#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "sim/log_writer.h"
#include "sim/session_generator.h"
#include "report_test_support.h"

namespace ktal {
namespace {

using report_test::ReadBytes;
using report_test::ScopedWorkDir;
using report_test::WriteBytes;
namespace fs = std::filesystem;

TEST(logtool_pe_settings, numbers_are_read_and_checked_as_the_window_does)
{
    struct Case {
        const char* text;
        int focal;
        int worm;
        float dec;
    };
    for (const Case& c : {Case{"1000,480,12.5", 1000, 480, 12.5f}, Case{" 750,7x,-90", 750, 7, -90.0f},
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

TEST(logtool_pe_settings, each_bad_number_gets_its_message)
{
    const std::string focal = "Wrong focal length entered, value must be positive!";
    const std::string worm = "Wrong gear period entered, value must be positive!";
    const std::string dec = "Wrong DEC coordinate entered, value must be between -90 and 90 degrees!";
    struct Case {
        const char* text;
        const std::string* message;
    };
    for (const Case& c : {Case{"0,480,0", &focal}, Case{",480,0", &focal}, Case{"-5,480,0", &focal},
                          Case{"x,480,0", &focal}, Case{"99999999999,480,0", &focal}, Case{"0,0,100", &focal},
                          Case{"1000,0,0", &worm}, Case{"1000,,0", &worm}, Case{"1000,480,91", &dec},
                          Case{"1000,480,-95", &dec}, Case{"1000,480,nan", &dec}, Case{"1000,480,inf", &dec},
                          Case{"1000,480,1e999", &dec}}) {
        std::string error;
        EXPECT_FALSE(ParsePeSettings(c.text, error)) << c.text;
        EXPECT_EQ(error, *c.message) << c.text;
    }
    for (const char* text : {"1000,480", "1000", "1000,480,0,5", ""}) {
        std::string error;
        EXPECT_FALSE(ParsePeSettings(text, error)) << text;
        EXPECT_NE(error.find("FOCAL_MM,WORM_S,DEC_DEG"), std::string::npos) << text;
    }
}

TEST(logtool_codes, every_processing_code_has_its_meaning)
{
    EXPECT_STREQ(ProcessCodeMeaning(101), "stream error in the log");
    EXPECT_STREQ(ProcessCodeMeaning(2), "header text is not \"ORVELIA K-Tal raw file\"");
    EXPECT_STREQ(ProcessCodeMeaning(199), "\"index.html\" cannot be created");
    for (int code : {1, 3, 298, 297, 301, 399, 398, 198, 197, 196})
        EXPECT_STRNE(ProcessCodeMeaning(code), ProcessCodeMeaning(12345)) << code;
    // A file that was created but not written whole is not reported as one
    // that could not be created.
    for (int code : {297, 398, 198, 196})
        EXPECT_NE(std::string(ProcessCodeMeaning(code)).find("fell short"), std::string::npos) << code;
}

struct RunResult {
    int status = -1;
    std::string out;
    std::string err;
};

std::string Quote(const std::string& text)
{
    std::string quoted = "'";
    for (char c : text)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

std::string ReadText(const fs::path& path)
{
    const std::vector<std::uint8_t> bytes = ReadBytes(path);
    return std::string(bytes.begin(), bytes.end());
}

// Runs the built tool with the arguments from the current folder.
RunResult RunTool(const std::vector<std::string>& args)
{
    std::string command = Quote(KTAL_LOGTOOL_PATH);
    for (const std::string& arg : args)
    {
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

std::vector<std::uint8_t> GeneratedLog(std::uint32_t file_id)
{
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

bool Contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

TEST(logtool_run, processes_a_log_into_every_output_beside_it)
{
    ScopedWorkDir dir;
    fs::create_directory("logs");
    WriteBytes("logs/QD00002a.dat", GeneratedLog(0x2A));
    const RunResult run = RunTool({"process", "--html", "--pe", "1000,480,12.5", "logs/QD00002a.dat"});
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    // The line names the file as it was given, relative to where the tool ran.
    EXPECT_EQ(run.out.rfind("logs/QD00002a.dat: done, QD00002a processed into ", 0), 0u) << run.out;
    for (const char* name : {"events.csv", "pe1.csv", "index.html", "AE001_RAdrift.bmp", "AE001_spread.bmp",
                             "AE001_err.bmp", "AE002_RAdrift.bmp"})
        EXPECT_TRUE(fs::exists(fs::path("logs") / name)) << name;
    // The excel dialect by default: semicolons and decimal commas.
    const std::string events = ReadText("logs/events.csv");
    EXPECT_EQ(events.rfind("Date;Time;event;\r\n", 0), 0u) << events.substr(0, 40);
    EXPECT_TRUE(Contains(ReadText("logs/index.html"), "QD00002a"));
    EXPECT_FALSE(fs::exists("events.csv"));
}

TEST(logtool_run, out_and_csv_point_choose_the_folder_and_the_dialect)
{
    ScopedWorkDir dir;
    WriteBytes("QD000100.dat", GeneratedLog(0x100));
    const RunResult run = RunTool({"process", "--csv", "point", "--out", "result/nested", "QD000100.dat"});
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(ReadText("result/nested/events.csv").rfind("Date,Time,event,\r\n", 0), 0u);
    // Without --html and --pe only the events table is written.
    EXPECT_FALSE(fs::exists("result/nested/index.html"));
    EXPECT_FALSE(fs::exists("result/nested/pe1.csv"));
    EXPECT_FALSE(fs::exists("events.csv"));
}

TEST(logtool_run, bad_options_are_refused_with_the_usage_text)
{
    ScopedWorkDir dir;
    WriteBytes("QD000001.dat", GeneratedLog(1));
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"process", "--csv", "comma", "QD000001.dat"},
          {"process", "--bogus", "QD000001.dat"},
          {"process", "--html"},
          {"convert", "QD000001.dat"},
          {},
          {"process", "--pe", "1000,480", "QD000001.dat"}}) {
        const RunResult run = RunTool(args);
        EXPECT_EQ(run.status, kToolUsage) << run.err;
        EXPECT_TRUE(Contains(run.err, "Usage:")) << run.err;
        EXPECT_TRUE(run.out.empty()) << run.out;
    }
    EXPECT_FALSE(fs::exists("events.csv"));

    const RunResult dec = RunTool({"process", "--pe", "1000,480,91", "QD000001.dat"});
    EXPECT_EQ(dec.status, kToolUsage);
    EXPECT_TRUE(Contains(dec.err, "Wrong DEC coordinate entered, value must be between -90 and 90 degrees!"));
    EXPECT_FALSE(fs::exists("events.csv"));

    const RunResult help = RunTool({"process", "--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_TRUE(Contains(help.out, "--pe FOCAL_MM,WORM_S,DEC_DEG")) << help.out;
}

TEST(logtool_run, a_missing_file_and_a_broken_one_fail_while_the_good_ones_are_processed)
{
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
    const RunResult run = RunTool({"process", "a/QD000005.dat", "missing.dat", "b/QD000007.dat", "c/QD000009.dat"});
    EXPECT_EQ(run.status, kToolFileFailed) << run.out << run.err;
    std::istringstream lines(run.out);
    std::vector<std::string> per_file;
    for (std::string line; std::getline(lines, line);)
        if (Contains(line, ".dat: "))
            per_file.push_back(line);
    ASSERT_EQ(per_file.size(), 4u) << run.out;
    EXPECT_EQ(per_file[0].rfind("a/QD000005.dat: done", 0), 0u) << per_file[0];
    EXPECT_EQ(per_file[1].rfind("missing.dat: failed", 0), 0u) << per_file[1];
    EXPECT_EQ(per_file[2], "b/QD000007.dat: failed, code 101: stream error in the log");
    EXPECT_EQ(per_file[3].rfind("c/QD000009.dat: done", 0), 0u) << per_file[3];
    EXPECT_TRUE(fs::exists("a/events.csv"));
    EXPECT_FALSE(fs::exists("b/events.csv"));
    EXPECT_TRUE(fs::exists("c/events.csv"));
}

} // namespace
} // namespace ktal
