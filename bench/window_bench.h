// SPDX-License-Identifier: GPL-3.0-or-later
// What the benchmarks of the windows share: message boxes that answer at
// once, and a watch on how long the event loop goes without delivering
// anything.
//
// The watch stamps every event the application delivers and keeps the
// time between consecutive deliveries; a thread of its own posts a ping
// every few milliseconds, as input arriving from the window system would
// be, so there is always something to deliver and a gap is time the loop
// did not look. Only the gaps while `measuring` count. (A probe timer in
// the same loop would see it differently: Qt fires each due timer once per
// pass, and a short one can lose every other pass to an overdue one.)
#pragma once

#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <QApplication>
#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "shell/user_dialogs.h"

namespace ktal::bench {

using WatchClock = std::chrono::steady_clock;

// Answers every box with OK and every file dialog with nothing, counting
// the boxes.
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

// A new folder under the system's temporary folder, removed with all it
// holds at the end; the process works inside it meanwhile.
class ScratchFolder {
 public:
  ScratchFolder() : old_(std::filesystem::current_path()) {
    std::string pattern = (std::filesystem::temp_directory_path() / "ktal-bench-XXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
    if (!path_.empty()) std::filesystem::current_path(path_);
  }
  ~ScratchFolder() {
    std::error_code error;
    std::filesystem::current_path(old_, error);
    if (!path_.empty()) std::filesystem::remove_all(path_, error);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  // Empty when no folder could be made.
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path old_;
  std::filesystem::path path_;
};

inline double Ms(WatchClock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

class LoopWatch final : public QObject {
 public:
  static constexpr QEvent::Type kPing = static_cast<QEvent::Type>(QEvent::User + 7);
  struct Ping final : QEvent {
    Ping() : QEvent(kPing), posted(WatchClock::now()) {}
    WatchClock::time_point posted;
  };

  // Starts watching every event of the application.
  LoopWatch() { qApp->installEventFilter(this); }
  ~LoopWatch() override {
    StopPinging();
    qApp->removeEventFilter(this);
    QCoreApplication::removePostedEvents(this);
  }

  void StartPinging() {
    pinging_ = true;
    pinger_ = std::thread([this] {
      while (pinging_) {
        QCoreApplication::postEvent(this, new Ping);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
    });
  }
  void StopPinging() {
    pinging_ = false;
    if (pinger_.joinable()) pinger_.join();
  }

  bool measuring = false;
  std::vector<double> gaps;       // between consecutive deliveries
  std::vector<double> latencies;  // from posting a ping to its delivery

  bool eventFilter(QObject*, QEvent*) override {
    const auto now = WatchClock::now();
    if (measuring && last_ != WatchClock::time_point{}) gaps.push_back(Ms(now - last_));
    last_ = now;
    return false;
  }
  bool event(QEvent* e) override {
    if (e->type() != kPing) return QObject::event(e);
    if (measuring) latencies.push_back(Ms(WatchClock::now() - static_cast<Ping*>(e)->posted));
    return true;
  }

 private:
  WatchClock::time_point last_{};
  std::atomic<bool> pinging_{false};
  std::thread pinger_;
};

inline double Largest(const std::vector<double>& values) {
  return values.empty() ? 0 : *std::max_element(values.begin(), values.end());
}

inline double Quantile(std::vector<double> values, double q) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[static_cast<std::size_t>(q * static_cast<double>(values.size() - 1))];
}

// The watch's figures as the benchmark's counters.
inline void CountWatch(benchmark::State& state, const LoopWatch& watch) {
  state.counters["max_gap_ms"] = Largest(watch.gaps);
  state.counters["max_wait_ms"] = Largest(watch.latencies);
  state.counters["p99_wait_ms"] = Quantile(watch.latencies, 0.99);
}

// main() of a window benchmark: an application (offscreen unless told
// otherwise) around the registered benchmarks.
inline int RunWindowBenchmarks(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication application(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}

}  // namespace ktal::bench
