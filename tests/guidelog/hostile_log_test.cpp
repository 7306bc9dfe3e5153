// Well-formed logs that no guider writes, built with the log writer: what
// processing them may cost in memory and in output files.
#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "guidelog/raw_copy.h"
#include "guidelog/report_settings.h"
#include "guidelog/stdio_file.h"
#include "report_test_support.h"
#include "sim/log_writer.h"

namespace ktal {
namespace {

using namespace report_test;
namespace fs = std::filesystem;

class hostile_log : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_csvFormat = 0;
        g_focalLength = 1000;
        g_wormPeriod = 480;
        g_starDec = 0.0f;
    }

    int Process(const LogWriter& writer, bool events, bool html, bool pe)
    {
        DirectoryEntry entry;
        entry.first_page = 0;
        entry.created_date = kTestDate;
        WriteBytes("input.dat", writer.RawFile(entry));
        StdioFile file = OpenStdioFile("input.dat", "rb");
        DirectoryEntry read;
        testing::internal::CaptureStdout();
        const int code = ProcessRawFile(log, file.get(), read, events, html, pe, "2014 Mar  1 09:05");
        output = testing::internal::GetCapturedStdout();
        return code;
    }

    std::vector<std::string> Outputs() const
    {
        std::vector<std::string> names;
        for (const auto& item : fs::directory_iterator(dir.path()))
            if (item.path().filename() != "input.dat")
                names.push_back(item.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    ScopedWorkDir dir;
    GuideLog log;
    std::string output;
};

TEST_F(hostile_log, zero_bits_keep_one_entity_and_the_list_never_outgrows_its_room)
{
    // Every bit 0 is one more payload-less entity of the type before it:
    // 4088 a page, sixteen million in a full log.
    LogWriter zeros;
    for (int i = 0; i < 3 * 4088; ++i)
        zeros.WriteBit(0);
    ASSERT_EQ(zeros.page_count(), 4);

    struct Case {
        bool events;
        int code;
        std::vector<std::string> written;
    };
    for (const Case& c : {Case{true, 301, {"events.csv"}}, Case{false, 0, {"index.html"}}}) {
        SCOPED_TRACE(c.events ? "with the events table" : "report and tables only");
        for (const std::string& name : Outputs())
            fs::remove(name);
        EXPECT_EQ(Process(zeros, c.events, true, true), c.code);
        EXPECT_EQ(Outputs(), c.written);
        ASSERT_EQ(log.entities.size(), 2u);
        EXPECT_EQ(log.entities[0].type, ENTITY_UNNAMED_FF);
        // The room taken before decoding is what the list ever holds: at
        // most one entity per byte of the stream, 32 bytes each, so a full
        // log of any bits takes under 70 MB of it, and only what is written
        // is ever touched.
        EXPECT_LE(log.entities.capacity(), static_cast<std::size_t>(log.page_count) * 511 + 2);
    }
}

} // namespace
} // namespace ktal
