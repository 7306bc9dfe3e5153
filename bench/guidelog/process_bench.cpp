// Full processing of a guider-sized log: the raw file read back, decoded,
// and turned into the events table, the periodic-error tables and the HTML
// report with all its images.
#include <sys/resource.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <random>
#include <vector>

#include <benchmark/benchmark.h>

#include "guidelog/guide_log.h"
#include "sim/log_writer.h"
#include "guidelog/raw_copy.h"
#include "guidelog/report_settings.h"
#include "sim/session_generator.h"
#include "guidelog/stdio_file.h"

namespace ktal {
namespace {

namespace fs = std::filesystem;

// Sessions with a run of absolute positions and several guided exposures,
// repeated until all 4096 pages are in use.
std::vector<std::uint8_t> FullLogFile(std::size_t& entities, int& pages)
{
    SessionOptions options;
    options.position_run_s = 1800.0;
    options.exposures = 6;
    options.exposure_s = 600.0;
    LogWriter writer;
    entities = FillLog(options, writer);
    pages = writer.page_count();
    DirectoryEntry entry;
    entry.first_page = 0;
    SetFileId(entry.file_id, 0x00F00D);
    entry.created_date = options.start_date;
    entry.created_time = PackTime(21, 0);
    return writer.RawFile(entry);
}

long PeakResidentKiB()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

void BM_ProcessFullLog(benchmark::State& state)
{
    std::size_t entities = 0;
    int pages = 0;
    const fs::path folder = fs::temp_directory_path() / ("ktal-process-bench-" + std::to_string(std::random_device{}()));
    fs::create_directories(folder);
    const fs::path previous = fs::current_path();
    fs::current_path(folder);
    {
        const std::vector<std::uint8_t> raw = FullLogFile(entities, pages);
        StdioFile out = OpenStdioFile("QD00f00d.dat", "wb");
        std::fwrite(raw.data(), 1, raw.size(), out.get());
    }
    g_csvFormat = 0;
    g_focalLength = 1000;
    g_wormPeriod = 480;
    g_starDec = 10.0f;
    const long before = PeakResidentKiB();

    int code = 0;
    for (auto _ : state) {
        StdioFile raw = OpenStdioFile("QD00f00d.dat", "rb");
        auto log = std::make_unique<GuideLog>();
        DirectoryEntry entry;
        code = ProcessRawFile(*log, raw.get(), entry, true, true, true, "2014 Mar 21 21:00");
        benchmark::DoNotOptimize(code);
    }
    if (code != 0)
        state.SkipWithError("processing failed");
    state.counters["pages"] = pages;
    state.counters["entities"] = static_cast<double>(entities);
    state.counters["outputs"] = static_cast<double>(std::distance(fs::directory_iterator(folder), fs::directory_iterator()) - 1);
    // High-water marks of the whole process, the log generation included.
    state.counters["peak_rss_before_MiB"] = static_cast<double>(before) / 1024.0;
    state.counters["peak_rss_MiB"] = static_cast<double>(PeakResidentKiB()) / 1024.0;

    fs::current_path(previous);
    fs::remove_all(folder);
}
BENCHMARK(BM_ProcessFullLog)->Unit(benchmark::kMillisecond)->Iterations(5);

} // namespace
} // namespace ktal
