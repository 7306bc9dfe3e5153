// SPDX-License-Identifier: GPL-3.0-or-later
// Full processing of a guider-sized log: the raw file read back, decoded,
// and turned into the events table, the periodic-error tables, the HTML
// report with all its images and the analysis page, against the floor of writing the same files
// and bytes with the plainest writer there is. Everything happens on tmpfs
// (/dev/shm when it exists), so the disk does not blur the comparison.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "guidelog/analysis_page.h"
#include "guidelog/events_table.h"
#include "guidelog/guide_log.h"
#include "guidelog/html_report.h"
#include "guidelog/periodic_error.h"
#include "guidelog/raw_copy.h"
#include "guidelog/report_settings.h"
#include "guidelog/stdio_file.h"
#include "sim/log_writer.h"
#include "sim/session_generator.h"

namespace ktal {
namespace {

namespace fs = std::filesystem;
// CPU time of this thread, the kernel's work for its writes included: on a
// machine shared with other work the wall clock says more about the others.
struct Clock {
  using duration = std::chrono::nanoseconds;
  using time_point = std::chrono::time_point<Clock, duration>;
  static time_point now() {
    timespec t{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return time_point(duration(static_cast<long long>(t.tv_sec) * 1'000'000'000LL + t.tv_nsec));
  }
};

constexpr char kRawName[] = "QD00f00d.dat";
constexpr char kGenerationTime[] = "2014 Mar 21 21:00";

// Sessions with a run of absolute positions and several guided exposures,
// repeated until all 4096 pages are in use.
std::vector<std::uint8_t> FullLogFile(std::size_t& entities, int& pages) {
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

long PeakResidentKiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// A scratch folder on tmpfs that is the current directory while it lives.
class TmpfsFolder {
 public:
  TmpfsFolder() : previous_(fs::current_path()) {
    const fs::path base =
        fs::is_directory("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
    path_ = base / ("ktal-process-bench-" + std::to_string(std::random_device{}()));
    fs::create_directories(path_);
    fs::current_path(path_);
  }
  ~TmpfsFolder() {
    std::error_code error;
    fs::current_path(previous_, error);
    fs::remove_all(path_, error);
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path previous_;
  fs::path path_;
};

struct OutputFile {
  std::string name;
  std::size_t size;
};

// Every output in the folder but the raw file.
std::vector<OutputFile> Outputs(const fs::path& folder) {
  std::vector<OutputFile> files;
  for (const auto& item : fs::directory_iterator(folder))
    if (item.path().filename() != kRawName)
      files.push_back(
          {item.path().filename().string(), static_cast<std::size_t>(item.file_size())});
  return files;
}

// The floor: the same names and sizes written from one buffer, one write
// per file, no formatting, no stdio.
void WriteFloor(const std::vector<OutputFile>& files, const std::vector<char>& buffer) {
  for (const OutputFile& file : files) {
    const int fd = ::open(file.name.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) continue;
    benchmark::DoNotOptimize(::write(fd, buffer.data(), file.size));
    ::close(fd);
  }
}

// The same floor with files made as the outputs are: each created new
// under a temporary name and renamed over the old one, which costs a new
// file where the plain floor only truncates the old one.
void WriteNewFileFloor(const std::vector<OutputFile>& files, const std::vector<char>& buffer) {
  for (const OutputFile& file : files) {
    const std::string temporary = "." + file.name + ".floor";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) continue;
    benchmark::DoNotOptimize(::write(fd, buffer.data(), file.size));
    ::close(fd);
    ::rename(temporary.c_str(), file.name.c_str());
  }
}

// Every output, the periodic-error tables with a telescope.
ReportSettings AllOutputs() {
  ReportSettings settings;
  settings.html_report = true;
  settings.pe_tables = true;
  settings.focal_length_mm = 1000;
  settings.worm_period_s = 480;
  settings.star_dec_deg = 10.0f;
  return settings;
}

int ProcessOnce(const ReportSettings& settings) {
  StdioFile raw = OpenStdioFile(kRawName, "rb");
  auto log = std::make_unique<GuideLog>();
  DirectoryEntry entry;
  return ProcessRawFile(*log, raw.get(), entry, settings, kGenerationTime);
}

// The whole of ProcessRawFile on a fresh GuideLog per iteration, as the
// program runs it, and the outputs alone (the three generators on a built
// log), each against the floor of its files measured in the same iteration.
void BM_ProcessFullLog(benchmark::State& state) {
  TmpfsFolder folder;
  std::size_t entities = 0;
  int pages = 0;
  {
    const std::vector<std::uint8_t> raw = FullLogFile(entities, pages);
    StdioFile out = OpenStdioFile(kRawName, "wb");
    std::fwrite(raw.data(), 1, raw.size(), out.get());
  }
  const ReportSettings settings = AllOutputs();
  const long before = PeakResidentKiB();

  int code = ProcessOnce(settings);
  const std::vector<OutputFile> files = Outputs(folder.path());
  std::size_t bytes = 0;
  std::size_t largest = 0;
  for (const OutputFile& file : files) {
    bytes += file.size;
    largest = std::max(largest, file.size);
  }
  const std::vector<char> buffer(largest, 'x');

  GuideLog built;
  {
    StdioFile raw = OpenStdioFile(kRawName, "rb");
    DirectoryEntry entry;
    built.ReadRawFile(raw.get(), entry);
    built.BuildEntities();
  }

  double process_s = 0.0;
  double outputs_s = 0.0;
  double floor_s = 0.0;
  double new_file_floor_s = 0.0;
  double events_s = 0.0;
  double pe_s = 0.0;
  double html_s = 0.0;
  double page_s = 0.0;
  // As ProcessRawFile passes them with the periodic-error tables asked for.
  SummaryOptions options;
  options.focal_length_mm = settings.focal_length_mm;
  options.worm_period_s = settings.worm_period_s;
  options.declination_deg = settings.star_dec_deg;
  for (auto _ : state) {
    const Clock::time_point t0 = Clock::now();
    code = ProcessOnce(settings) != 0 ? 1 : code;
    const Clock::time_point t1 = Clock::now();
    code = WriteEventsTable(built, settings.csv_format) != 0 ? 1 : code;
    const Clock::time_point events_done = Clock::now();
    code = WritePeriodicErrorTables(built, settings) != 0 ? 1 : code;
    const Clock::time_point pe_done = Clock::now();
    code = WriteHtmlReport(built, 0x00F00D, kGenerationTime) != 0 ? 1 : code;
    const Clock::time_point report_done = Clock::now();
    code = WriteAnalysisPage(built, 0x00F00D, options, kGenerationTime) != 0 ? 1 : code;
    const Clock::time_point t2 = Clock::now();
    events_s += Seconds(events_done - t1);
    pe_s += Seconds(pe_done - events_done);
    html_s += Seconds(report_done - pe_done);
    page_s += Seconds(t2 - report_done);
    WriteFloor(files, buffer);
    const Clock::time_point t3 = Clock::now();
    WriteNewFileFloor(files, buffer);
    const Clock::time_point t4 = Clock::now();
    process_s += Seconds(t1 - t0);
    outputs_s += Seconds(t2 - t1);
    floor_s += Seconds(t3 - t2);
    new_file_floor_s += Seconds(t4 - t3);
    state.SetIterationTime(Seconds(t1 - t0));
  }
  if (code != 0) state.SkipWithError("processing failed");
  const double n = static_cast<double>(state.iterations());
  state.counters["pages"] = pages;
  state.counters["entities"] = static_cast<double>(entities);
  state.counters["outputs"] = static_cast<double>(files.size());
  state.counters["output_MiB"] = static_cast<double>(bytes) / (1024.0 * 1024.0);
  state.counters["process_ms"] = process_s / n * 1e3;
  state.counters["outputs_ms"] = outputs_s / n * 1e3;
  state.counters["floor_ms"] = floor_s / n * 1e3;
  state.counters["events_ms"] = events_s / n * 1e3;
  state.counters["pe_ms"] = pe_s / n * 1e3;
  state.counters["report_ms"] = html_s / n * 1e3;
  state.counters["analysis_page_ms"] = page_s / n * 1e3;
  state.counters["process_x_floor"] = process_s / floor_s;
  state.counters["outputs_x_floor"] = outputs_s / floor_s;
  state.counters["outputs_x_new_file_floor"] = outputs_s / new_file_floor_s;
  // High-water marks of the whole process, the log generation included.
  state.counters["peak_rss_before_MiB"] = static_cast<double>(before) / 1024.0;
  state.counters["peak_rss_MiB"] = static_cast<double>(PeakResidentKiB()) / 1024.0;
}
BENCHMARK(BM_ProcessFullLog)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(10);

}  // namespace
}  // namespace ktal
