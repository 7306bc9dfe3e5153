// SPDX-License-Identifier: GPL-3.0-or-later
// How long the virtual user interface blocks its window: one screen tick
// (four band requests, the drawing and the repaint) on the simulated guider
// paced in real time at 250000 baud, as `ktal-companion --simulate` runs
// it, and the longest gap in the window's event loop while it polls.
//
// What to expect. A band is 5 + 129 characters of 40 us, 5.4 ms on the
// line; the tick checks the receive queue right after the request, finds
// the band still coming, and waits 10 ms before it checks again, so a band
// costs about 12 ms and a tick about 50 ms, more than the 40 ms timer
// period: the ticks follow each other back to back. Between two ticks the
// loop delivers whatever has arrived, so no event waits longer than one
// tick. (A third timer in the same loop would see it differently: Qt fires
// each due timer once per pass, and a short one can lose every other pass
// to the overdue screen timer; that is why the loop is watched through
// its events rather than through a probe timer.)
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QKeyEvent>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <vector>

#include "bench/window_bench.h"
#include "link/ftdi_device.h"
#include "sim/simulated_guider.h"
#include "vui/ui_dlg.h"

namespace ktal {
namespace {

using bench::Ms;
using bench::NoDialogs;
using Clock = bench::WatchClock;

void BM_ScreenTickAtLineRate(benchmark::State& state) {
  sim::SimulatedGuider sim;
  sim.SetInteractive(1.0);
  g_device.AttachDriver(&sim.driver(), &sim.clock());
  {
    NoDialogs dialogs;
    CUIDlg window(dialogs);
    window.m_pDevice = &g_device;
    window.show();
    // The tests run the ticks here, not the window's timers.
    QCoreApplication::processEvents();
    window.OnScreenTimer();  // the handshake
    double worst = 0;
    for (auto _ : state) {
      const auto start = Clock::now();
      window.OnScreenTimer();
      const double took = Ms(Clock::now() - start);
      worst = std::max(worst, took);
      state.SetIterationTime(took / 1000);
    }
    state.counters["worst_tick_ms"] = worst;
    if (dialogs.shown != 0 || !g_device.IsOpen())
      state.SkipWithError("the guider stopped answering");
  }
  g_device.Close();
  g_device.AttachDriver(nullptr, nullptr);
}
BENCHMARK(BM_ScreenTickAtLineRate)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(40);

// The window on its own timers for a few seconds with a key pressed every
// 200 ms: the longest time between two events the loop delivered, and how
// long an event arriving meanwhile waits.
void BM_EventLoopGapWhilePolling(benchmark::State& state) {
  sim::SimulatedGuider sim;
  sim.SetInteractive(1.0);
  g_device.AttachDriver(&sim.driver(), &sim.clock());
  for (auto _ : state) {
    NoDialogs dialogs;
    CUIDlg window(dialogs);
    window.m_pDevice = &g_device;
    bench::LoopWatch watch;
    QTimer keys;
    QObject::connect(&keys, &QTimer::timeout, [&] {
      for (const QEvent::Type type : {QEvent::KeyPress, QEvent::KeyRelease}) {
        QKeyEvent key(type, Qt::Key_Down, Qt::NoModifier);
        QApplication::sendEvent(&window, &key);
      }
    });
    // The handshake's identify waits out its 1 s time-out at 9600 baud;
    // the loop is measured once the guider is being polled.
    QTimer::singleShot(2000, [&] {
      watch.measuring = true;
      keys.start(200);
    });
    QTimer::singleShot(7000, &window, &QDialog::accept);
    watch.StartPinging();
    window.exec();
    watch.measuring = false;
    watch.StopPinging();
    if (watch.gaps.empty() || dialogs.shown != 0) {
      state.SkipWithError("the window did not poll");
      break;
    }
    bench::CountWatch(state, watch);
    state.counters["median_wait_ms"] = bench::Quantile(watch.latencies, 0.5);
    state.counters["keys"] = static_cast<double>(sim.features().panel.keys().size());
  }
  g_device.Close();
  g_device.AttachDriver(nullptr, nullptr);
}
BENCHMARK(BM_EventLoopGapWhilePolling)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace ktal

int main(int argc, char** argv) { return ktal::bench::RunWindowBenchmarks(argc, argv); }
