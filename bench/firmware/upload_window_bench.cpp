// SPDX-License-Identifier: GPL-3.0-or-later
// How long the firmware window goes without handling an event while it
// uploads: the demo guider of `ktal-companion --simulate` paced in real
// time, the sample file with a hand-controller image of 64 KB, a camera
// image of 32 KB and a CCD-board image, variables read, carried across,
// written back and verified, as a user would run it.
//
// What to expect. The upload reports its progress every 300 bytes, and
// between reports it waits on the link: acknowledgements, settling waits,
// the one-second restarts after each image and the handshakes after them.
// Every one of those waits hands the window its events every 20 ms, so the
// longest gap is a few tens of milliseconds.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <fstream>

#include "bench/window_bench.h"
#include "firmware/firmware_dlg.h"
#include "link/ftdi_device.h"
#include "shell/startup_directory.h"
#include "sim/demo/demo_guider.h"
#include "sim/firmware_files.h"
#include "sim/simulated_guider.h"

namespace ktal {
namespace {

void BM_EventLoopGapWhileUploading(benchmark::State& state) {
  for (auto _ : state) {
    bench::ScratchFolder folder;
    if (folder.path().empty()) {
      state.SkipWithError("no scratch folder");
      break;
    }
    g_startupDirectory = folder.path();
    const SampleFirmwareFile sample = SampleFirmwareFiles().front();
    const std::filesystem::path file = folder.path() / sample.name;
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char*>(sample.bytes.data()),
               static_cast<std::streamsize>(sample.bytes.size()));
    sim::SimulatedGuider sim;
    sim::SeedDemoGuider(sim);
    sim.SetInteractive(1.0);
    g_device.AttachDriver(&sim.driver(), &sim.clock());
    {
      bench::NoDialogs dialogs;
      CFirmwareDlg window(dialogs, g_device);
      window.show();
      window.findChild<QLineEdit*>(QString("control%1").arg(kIdFileName))
          ->setText(QString::fromStdString(file.string()));
      auto* upload = window.findChild<QPushButton*>(QString("control%1").arg(kIdUpload));

      bench::LoopWatch watch;
      const auto start = bench::WatchClock::now();
      QTimer::singleShot(100, &window, [&] {
        watch.measuring = true;
        upload->click();  // returns when the upload has ended
        watch.measuring = false;
        window.done(0);
      });
      watch.StartPinging();
      window.exec();
      watch.StopPinging();
      const double seconds = bench::Ms(bench::WatchClock::now() - start) / 1000;

      const auto& update = sim.features().update;
      if (watch.gaps.empty() || update.handControllerImage.empty() || dialogs.shown != 0) {
        state.SkipWithError("the upload did not go through");
        break;
      }
      state.counters["run_s"] = seconds;
      bench::CountWatch(state, watch);
    }
    g_device.Close();
    g_device.AttachDriver(nullptr, nullptr);
  }
}
BENCHMARK(BM_EventLoopGapWhileUploading)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace
}  // namespace ktal

int main(int argc, char** argv) { return ktal::bench::RunWindowBenchmarks(argc, argv); }
