// SPDX-License-Identifier: GPL-3.0-or-later
// A full log (all 4096 pages of the guider's file system) of generated
// guiding sessions: decoding its page stream, reading it from a raw file,
// and writing its events and periodic-error tables.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "guidelog/events_table.h"
#include "guidelog/guide_log.h"
#include "guidelog/periodic_error.h"
#include "guidelog/report_settings.h"
#include "sim/log_writer.h"
#include "sim/session_generator.h"

namespace ktal {
namespace {

// The tables go to a scratch directory of their own.
class ScratchDir {
 public:
  ScratchDir() : old_(std::filesystem::current_path()) {
    std::string pattern = (std::filesystem::temp_directory_path() / "ktal-bench-XXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr) {
      path_ = pattern;
      std::filesystem::current_path(path_);
    }
  }
  ~ScratchDir() {
    std::error_code ec;
    std::filesystem::current_path(old_, ec);
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }

 private:
  std::filesystem::path old_;
  std::filesystem::path path_;
};

const LogWriter& FullLog() {
  static const LogWriter writer = [] {
    LogWriter w;
    SessionOptions o;
    o.position_run_s = 3 * 480 + 60;  // each session also gives a PE table
    FillLog(o, w);
    return w;
  }();
  return writer;
}

void Load(GuideLog& log, const LogWriter& w) {
  log.BeginLog(PackDate(2014, 3, 21), PackTime(21, 0), kUnsetDate, 0);
  for (const DataPage& p : w.Pages(0x012345, 0)) log.AddPage(p);
}

void BM_DecodeFullLog(benchmark::State& state) {
  GuideLog log;
  Load(log, FullLog());
  for (auto _ : state) {
    benchmark::DoNotOptimize(log.BuildEntities());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * log.page_count *
                          static_cast<std::int64_t>(kPageDataBytes));
  state.counters["pages"] = log.page_count;
  state.counters["entities"] = static_cast<double>(log.entities.size());
}
BENCHMARK(BM_DecodeFullLog)->Unit(benchmark::kMillisecond);

// As the program decodes: a fresh GuideLog per log, so the memory of its
// pages and entity list is new each time and must be faulted in.
void BM_DecodeFullLogFresh(benchmark::State& state) {
  const std::vector<DataPage> pages = FullLog().Pages(0x012345, 0);
  std::size_t entities = 0;
  for (auto _ : state) {
    auto log = std::make_unique<GuideLog>();
    log->BeginLog(PackDate(2014, 3, 21), PackTime(21, 0), kUnsetDate, 0);
    for (const DataPage& p : pages) log->AddPage(p);
    benchmark::DoNotOptimize(log->BuildEntities(GuideLog::UnnamedRepeats::kDrop));
    entities = log->entities.size();
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(pages.size()) *
                          static_cast<std::int64_t>(kPageDataBytes));
  state.counters["pages"] = static_cast<double>(pages.size());
  state.counters["entities"] = static_cast<double>(entities);
}
BENCHMARK(BM_DecodeFullLogFresh)->Unit(benchmark::kMillisecond);

void BM_ReadRawFileAndDecode(benchmark::State& state) {
  DirectoryEntry entry;
  entry.first_page = 0;
  entry.created_date = PackDate(2014, 3, 21);
  std::vector<std::uint8_t> raw = FullLog().RawFile(entry);
  GuideLog log;
  for (auto _ : state) {
    std::FILE* file = ::fmemopen(raw.data(), raw.size(), "rb");
    DirectoryEntry read;
    benchmark::DoNotOptimize(log.ReadRawFile(file, read));
    std::fclose(file);
    benchmark::DoNotOptimize(log.BuildEntities());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(raw.size()));
}
BENCHMARK(BM_ReadRawFileAndDecode)->Unit(benchmark::kMillisecond);

void BM_WriteEventsTable(benchmark::State& state) {
  ScratchDir dir;
  const int csv_format = static_cast<int>(state.range(0));
  GuideLog log;
  Load(log, FullLog());
  log.BuildEntities();
  for (auto _ : state) benchmark::DoNotOptimize(WriteEventsTable(log, csv_format));
  state.counters["rows"] = static_cast<double>(log.entities.size());
  state.SetBytesProcessed(state.iterations() *
                          static_cast<std::int64_t>(std::filesystem::file_size("events.csv")));
}
BENCHMARK(BM_WriteEventsTable)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_WritePeriodicErrorTables(benchmark::State& state) {
  ScratchDir dir;
  GuideLog log;
  Load(log, FullLog());
  log.BuildEntities();
  const ReportSettings settings;
  for (auto _ : state) benchmark::DoNotOptimize(WritePeriodicErrorTables(log, settings));
}
BENCHMARK(BM_WritePeriodicErrorTables)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace ktal
