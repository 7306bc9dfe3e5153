// SPDX-License-Identifier: GPL-3.0-or-later
// The guiding summary of a guider-sized log: the series read out of the
// decoded entities, and every figure of it, periodograms included.
#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

#include "guidelog/guide_log.h"
#include "guidelog/guiding_summary.h"
#include "sim/log_writer.h"
#include "sim/session_generator.h"

namespace ktal {
namespace {

// Sessions with a half-hour unguided run and six guided exposures each,
// repeated until all 4096 pages are in use, decoded once.
std::unique_ptr<GuideLog> FullLog(const SessionOptions& options, int& pages) {
  LogWriter writer;
  FillLog(options, writer);
  pages = writer.page_count();
  auto log = std::make_unique<GuideLog>();
  log->BeginLog(options.start_date, PackTime(21, 0), kUnsetDate, 0);
  for (const DataPage& page : writer.Pages()) log->AddPage(page);
  log->BuildEntities();
  return log;
}

SummaryOptions Telescope() {
  SummaryOptions options;
  options.focal_length_mm = 1000;
  options.worm_period_s = 480;
  options.declination_deg = 10;
  return options;
}

void Counters(benchmark::State& state, int pages, const GuideSeries& series) {
  state.counters["pages"] = pages;
  state.counters["samples"] = static_cast<double>(series.samples.size());
  state.counters["runs"] = static_cast<double>(series.runs.size());
  state.counters["exposures"] = static_cast<double>(series.exposures.size());
}

// From the decoded log to every figure.
void BM_SummaryOfFullLog(benchmark::State& state) {
  SessionOptions session;
  session.position_run_s = 1800.0;
  session.exposures = 6;
  session.exposure_s = 600.0;
  int pages = 0;
  const std::unique_ptr<GuideLog> log = FullLog(session, pages);
  const SummaryOptions options = Telescope();
  GuideSeries series;
  for (auto _ : state) {
    series = ExtractGuideSeries(*log);
    GuidingSummary summary = SummarizeGuiding(series, options);
    benchmark::DoNotOptimize(summary);
  }
  Counters(state, pages, series);
}
BENCHMARK(BM_SummaryOfFullLog)->Unit(benchmark::kMillisecond);

// The figures alone, from a series read out once.
void FiguresOf(benchmark::State& state, const SessionOptions& session) {
  int pages = 0;
  const std::unique_ptr<GuideLog> log = FullLog(session, pages);
  const GuideSeries series = ExtractGuideSeries(*log);
  const SummaryOptions options = Telescope();
  for (auto _ : state) {
    GuidingSummary summary = SummarizeGuiding(series, options);
    benchmark::DoNotOptimize(summary);
  }
  Counters(state, pages, series);
}

void BM_FiguresOfFullLog(benchmark::State& state) {
  SessionOptions session;
  session.position_run_s = 1800.0;
  session.exposures = 6;
  session.exposure_s = 600.0;
  FiguresOf(state, session);
}
BENCHMARK(BM_FiguresOfFullLog)->Unit(benchmark::kMillisecond);

// The worst case for the periodograms: the whole log one unguided run
// (about two days of positions), so their grid is at its 4096 cap.
void BM_SummaryOfOneLongRun(benchmark::State& state) {
  SessionOptions session;
  session.position_run_s = 400000.0;
  session.exposures = 0;
  FiguresOf(state, session);
}
BENCHMARK(BM_SummaryOfOneLongRun)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace ktal
