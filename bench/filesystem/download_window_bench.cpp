// SPDX-License-Identifier: GPL-3.0-or-later
// How long the file control window goes without handling an event while it
// downloads: the demo guider of `ktal-companion --simulate` (a few nights,
// one of them a long night at five frames a second) paced in real time at
// 250000 baud, every listed log downloaded and processed with its HTML
// report, as a user would run it.
//
// What to expect. A page is a 4-byte request, five chunks and a trailer:
// about 540 characters of 40 us, some 22 ms on the line, and the run
// handles waiting events after each page. Writing the raw copy and
// processing a log need no link and run beside the window's loop, so the
// longest gap is one page read or one directory read, far below 100 ms.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QCheckBox>
#include <QPushButton>
#include <QTableWidget>
#include <QTimer>

#include "bench/window_bench.h"
#include "filesystem/filesystem_dlg.h"
#include "link/ftdi_device.h"
#include "shell/startup_directory.h"
#include "sim/demo/demo_guider.h"
#include "sim/simulated_guider.h"

namespace ktal {
namespace {

void BM_EventLoopGapWhileDownloading(benchmark::State& state) {
  for (auto _ : state) {
    bench::ScratchFolder folder;
    if (folder.path().empty()) {
      state.SkipWithError("no scratch folder");
      break;
    }
    g_startupDirectory = folder.path();
    sim::SimulatedGuider sim;
    sim::SeedDemoGuider(sim);
    sim.SetInteractive(1.0);
    g_device.AttachDriver(&sim.driver(), &sim.clock());
    {
      bench::NoDialogs dialogs;
      CFilesystemDlg window(dialogs, g_device);  // the handshake and the listing
      window.show();
      auto* list = window.findChild<QTableWidget*>(QString("control%1").arg(kIdFileList));
      auto* html = window.findChild<QCheckBox*>(QString("control%1").arg(kIdGenerateHtml));
      auto* download = window.findChild<QPushButton*>(QString("control%1").arg(kIdDownloadProcess));
      list->selectAll();
      html->setChecked(true);
      const int readsBefore = sim.features().fileSystem.pageReads;

      bench::LoopWatch watch;
      const auto start = bench::WatchClock::now();
      QTimer::singleShot(100, &window, [&] {
        watch.measuring = true;
        download->click();  // returns when the run has ended
        watch.measuring = false;
        window.done(0);
      });
      watch.StartPinging();
      window.exec();
      watch.StopPinging();
      const double seconds = bench::Ms(bench::WatchClock::now() - start) / 1000;

      const int pages = sim.features().fileSystem.pageReads - readsBefore;
      if (watch.gaps.empty() || pages <= 1) {
        state.SkipWithError("nothing was downloaded");
        break;
      }
      state.counters["pages"] = pages;
      state.counters["files"] = list->rowCount();
      state.counters["run_s"] = seconds;
      bench::CountWatch(state, watch);
      state.counters["boxes"] = dialogs.shown;
    }
    g_device.Close();
    g_device.AttachDriver(nullptr, nullptr);
  }
}
BENCHMARK(BM_EventLoopGapWhileDownloading)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace
}  // namespace ktal

int main(int argc, char** argv) { return ktal::bench::RunWindowBenchmarks(argc, argv); }
