// SPDX-License-Identifier: GPL-3.0-or-later
// analysis.html of a full log: how long writing it takes, and how smooth it
// stays in the browser. The log is a night of fast guiding frames (0.1 s)
// filling all 4096 pages, about 280,000 star measurements.
//
//   analysis_page_bench                      both benchmarks
//   analysis_page_bench --keep=DIR           also leave the full log's page in DIR
//   analysis_page_bench --night=DIR          write a realistic one-night log and
//                                            its pages into DIR, then stop
//
// The zoom benchmark needs Chromium (or KTAL_CHROMIUM); the page times its
// own redraws when its address asks for it (#bench=zoom): eighteen zoom
// steps from the whole night down to a few minutes and back, each with new
// display rows and a full redraw, and writes the median and the slowest.
// The guided benchmark has the page recompute the periodograms of the
// guided RA drift for a dozen exclusions (#bench=guided) and time each.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "guidelog/analysis_page.h"
#include "guidelog/guide_log.h"
#include "guidelog/guiding_summary.h"
#include "guidelog/raw_copy.h"
#include "guidelog/report_settings.h"
#include "guidelog/stdio_file.h"
#include "sim/log_writer.h"
#include "sim/session_generator.h"
#include "tests/guidelog/headless_chromium.h"

namespace ktal {
namespace {

namespace fs = std::filesystem;

std::string g_keep;

DirectoryEntry EntryFor(std::uint32_t file_id, std::uint16_t date) {
  DirectoryEntry entry;
  SetFileId(entry.file_id, file_id);
  entry.created_date = date;
  entry.created_time = PackTime(21, 0);
  return entry;
}

// Sessions of fast frames with a run of positions first, until every page
// is in use.
std::vector<std::uint8_t> FullNightRaw() {
  SessionOptions options;
  options.frame_interval_s = 0.1;
  options.frame_jitter_s = 0.0;
  options.position_run_s = 1800.0;
  options.exposures = 12;
  options.exposure_s = 1200.0;
  options.star_dec_deg = 30.0;
  LogWriter writer;
  FillLog(options, writer);
  return writer.RawFile(EntryFor(0x00F00D, options.start_date));
}

void WriteFile(const fs::path& path, const std::vector<std::uint8_t>& bytes) {
  StdioFile out = OpenStdioFile(path.c_str(), "wb");
  if (out) std::fwrite(bytes.data(), 1, bytes.size(), out.get());
}

std::unique_ptr<GuideLog> LoadLog(const fs::path& path) {
  StdioFile raw = OpenStdioFile(path.c_str(), "rb");
  auto log = std::make_unique<GuideLog>();
  DirectoryEntry entry;
  if (!raw || log->ReadRawFile(raw.get(), entry) != 0 || log->BuildEntities() != 0) return nullptr;
  return log;
}

SummaryOptions Telescope() {
  SummaryOptions options;
  options.focal_length_mm = 1000;
  options.worm_period_s = 480;
  options.declination_deg = 30.0;
  return options;
}

// A folder of its own, current while the benchmark runs.
class BenchFolder {
 public:
  explicit BenchFolder(const char* name)
      : previous_(fs::current_path()),
        path_(fs::temp_directory_path() /
              (std::string(name) + "-" + std::to_string(std::random_device{}()))) {
    fs::create_directories(path_);
    fs::current_path(path_);
  }
  ~BenchFolder() {
    fs::current_path(previous_);
    fs::remove_all(path_);
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path previous_;
  fs::path path_;
};

void BM_WriteAnalysisPage(benchmark::State& state) {
  BenchFolder folder("ktal-analysis-bench");
  WriteFile("QD00f00d.dat", FullNightRaw());
  const std::unique_ptr<GuideLog> log = LoadLog("QD00f00d.dat");
  if (!log) {
    state.SkipWithError("the generated log does not load");
    return;
  }
  int code = 0;
  for (auto _ : state) {
    code = WriteAnalysisPage(*log, 0x00F00D, Telescope(), "2014 Mar 21 21:00");
    benchmark::DoNotOptimize(code);
  }
  if (code != 0) state.SkipWithError("writing the page failed");
  state.counters["samples"] = static_cast<double>(ExtractGuideSeries(*log).samples.size());
  state.counters["page_MiB"] =
      static_cast<double>(fs::file_size(kAnalysisPageName)) / (1024.0 * 1024.0);
}
BENCHMARK(BM_WriteAnalysisPage)->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_ZoomInChromium(benchmark::State& state) {
  const std::optional<std::string> chromium = browser::FindChromium();
  if (!chromium) {
    state.SkipWithError("no Chromium (install chromium or set KTAL_CHROMIUM)");
    return;
  }
  BenchFolder folder("ktal-analysis-zoom");
  WriteFile("QD00f00d.dat", FullNightRaw());
  const std::unique_ptr<GuideLog> log = LoadLog("QD00f00d.dat");
  if (!log || WriteAnalysisPage(*log, 0x00F00D, Telescope(), "2014 Mar 21 21:00") != 0) {
    state.SkipWithError("the page could not be written");
    return;
  }
  if (!g_keep.empty())
    fs::copy_file(kAnalysisPageName, fs::path(g_keep) / kAnalysisPageName,
                  fs::copy_options::overwrite_existing);
  std::string dom;
  for (auto _ : state)
    dom = browser::DumpDom(*chromium, kAnalysisPageName, "bench=zoom", folder.path());
  const auto median = browser::Attribute(dom, "bench-result", "data-median-ms");
  const auto worst = browser::Attribute(dom, "bench-result", "data-max-ms");
  const auto points = browser::Attribute(dom, "bench-result", "data-points");
  if (!median || !worst || !points) {
    state.SkipWithError(
        ("the page did not time its zoom: " + browser::ConsoleLog(folder.path())).c_str());
    return;
  }
  state.counters["zoom_median_ms"] = std::stod(*median);
  state.counters["zoom_max_ms"] = std::stod(*worst);
  state.counters["drift_points"] = std::stod(*points);
}
// The time per iteration is the browser's start, the page's load and the
// zoom steps; the counters are the page's own measure of each redraw.
BENCHMARK(BM_ZoomInChromium)->Unit(benchmark::kMillisecond)->Iterations(1);

// The guided RA drift's periodograms of the full log (280,000 star
// measurements) recomputed for a dozen exclusions in the page, as each
// Shift-drag asks for them (#bench=guided); the page times each.
void BM_GuidedPeriodogramInChromium(benchmark::State& state) {
  const std::optional<std::string> chromium = browser::FindChromium();
  if (!chromium) {
    state.SkipWithError("no Chromium (install chromium or set KTAL_CHROMIUM)");
    return;
  }
  BenchFolder folder("ktal-analysis-guided");
  WriteFile("QD00f00d.dat", FullNightRaw());
  const std::unique_ptr<GuideLog> log = LoadLog("QD00f00d.dat");
  if (!log || WriteAnalysisPage(*log, 0x00F00D, Telescope(), "2014 Mar 21 21:00") != 0) {
    state.SkipWithError("the page could not be written");
    return;
  }
  std::string dom;
  for (auto _ : state)
    dom = browser::DumpDom(*chromium, kAnalysisPageName, "bench=guided", folder.path());
  const auto median = browser::Attribute(dom, "bench-result", "data-guided-median-ms");
  const auto worst = browser::Attribute(dom, "bench-result", "data-guided-max-ms");
  if (!median || !worst) {
    state.SkipWithError(
        ("the page did not time its periodograms: " + browser::ConsoleLog(folder.path())).c_str());
    return;
  }
  state.counters["guided_median_ms"] = std::stod(*median);
  state.counters["guided_max_ms"] = std::stod(*worst);
}
BENCHMARK(BM_GuidedPeriodogramInChromium)->Unit(benchmark::kMillisecond)->Iterations(1);

// A realistic night for looking at: an unguided run of four worm periods,
// eight exposures of ten minutes at 2 s frames, one external exposure.
int WriteNight(const fs::path& folder) {
  SessionOptions options;
  options.seed = 7;
  options.position_run_s = 1920.0;
  options.exposures = 8;
  options.exposure_s = 600.0;
  options.external_exposures = 1;
  options.star_dec_deg = 30.0;
  options.camera_angle_deg = 4.0;
  LogWriter writer;
  if (WriteSession(options, writer) != 0) return 1;
  fs::create_directories(folder);
  const fs::path raw = folder / "QD000007.dat";
  WriteFile(raw, writer.RawFile(EntryFor(0x000007, options.start_date)));
  const fs::path previous = fs::current_path();
  fs::current_path(folder);
  ReportSettings settings;
  settings.html_report = true;
  settings.pe_tables = true;
  settings.focal_length_mm = 1000;
  settings.worm_period_s = 480;
  settings.star_dec_deg = 30.0f;
  StdioFile in = OpenStdioFile(raw.c_str(), "rb");
  auto log = std::make_unique<GuideLog>();
  DirectoryEntry entry;
  const int code = ProcessRawFile(*log, in.get(), entry, settings);
  fs::current_path(previous);
  std::printf("%s: %s (code %d)\n", (folder / kAnalysisPageName).c_str(),
              code == 0 ? "written" : "failed", code);
  return code == 0 ? 0 : 1;
}

}  // namespace
}  // namespace ktal

int main(int argc, char** argv) {
  std::vector<char*> rest;
  for (int i = 0; i < argc; ++i) {
    if (std::strncmp(argv[i], "--night=", 8) == 0) return ktal::WriteNight(argv[i] + 8);
    if (std::strncmp(argv[i], "--keep=", 7) == 0) {
      ktal::g_keep = std::filesystem::absolute(argv[i] + 7).string();
      continue;
    }
    rest.push_back(argv[i]);
  }
  int count = static_cast<int>(rest.size());
  benchmark::Initialize(&count, rest.data());
  if (benchmark::ReportUnrecognizedArguments(count, rest.data())) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
