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
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "link/ftdi_device.h"
#include "shell/user_dialogs.h"
#include "sim/simulated_guider.h"
#include "vui/ui_dlg.h"

namespace ktal {
namespace {

using Clock = std::chrono::steady_clock;

// Answers nothing; the guider answers normally throughout.
class NoDialogs final : public UserDialogs {
 public:
  MessageAnswer ShowMessage(QWidget*, const QString&, const QString&, MessageIcon,
                            MessageButtons) override {
    ++shown;
    return MessageAnswer::Ok;
  }
  QStringList OpenFiles(QWidget*, const QString&, const QString&, const QString&, bool) override {
    return {};
  }
  int shown = 0;
};

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

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

// Stamps every event the application delivers, and the delay of events
// posted from another thread as input arriving from the window system
// would be.
class LoopWatch final : public QObject {
 public:
  static constexpr QEvent::Type kPing = static_cast<QEvent::Type>(QEvent::User + 7);
  struct Ping final : QEvent {
    Ping() : QEvent(kPing), posted(Clock::now()) {}
    Clock::time_point posted;
  };

  bool measuring = false;
  std::vector<double> gaps;       // between consecutive deliveries
  std::vector<double> latencies;  // from posting a ping to its delivery

  bool eventFilter(QObject*, QEvent*) override {
    const auto now = Clock::now();
    if (measuring && last_ != Clock::time_point{}) gaps.push_back(Ms(now - last_));
    last_ = now;
    return false;
  }
  bool event(QEvent* e) override {
    if (e->type() != kPing) return QObject::event(e);
    if (measuring) latencies.push_back(Ms(Clock::now() - static_cast<Ping*>(e)->posted));
    return true;
  }

 private:
  Clock::time_point last_{};
};

double Largest(std::vector<double> values) {
  return values.empty() ? 0 : *std::max_element(values.begin(), values.end());
}

double Quantile(std::vector<double> values, double q) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[static_cast<std::size_t>(q * static_cast<double>(values.size() - 1))];
}

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
    LoopWatch watch;
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
    std::atomic<bool> done{false};
    std::thread pinger([&] {
      while (!done) {
        QCoreApplication::postEvent(&watch, new LoopWatch::Ping);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
    });
    qApp->installEventFilter(&watch);
    window.exec();
    qApp->removeEventFilter(&watch);
    watch.measuring = false;
    done = true;
    pinger.join();
    QCoreApplication::removePostedEvents(&watch);
    if (watch.gaps.empty() || dialogs.shown != 0) {
      state.SkipWithError("the window did not poll");
      break;
    }
    state.counters["max_gap_ms"] = Largest(watch.gaps);
    state.counters["max_wait_ms"] = Largest(watch.latencies);
    state.counters["p99_wait_ms"] = Quantile(watch.latencies, 0.99);
    state.counters["median_wait_ms"] = Quantile(watch.latencies, 0.5);
    state.counters["keys"] = static_cast<double>(sim.features().panel.keys().size());
  }
  g_device.Close();
  g_device.AttachDriver(nullptr, nullptr);
}
BENCHMARK(BM_EventLoopGapWhilePolling)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace ktal

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication application(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
