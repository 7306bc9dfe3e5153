// SPDX-License-Identifier: GPL-3.0-or-later
// The one clock that every wait and every link time-out goes through.
//
// On real hardware it is the monotonic system clock; under the simulated
// guider it is virtual, so that a test that waits 1000 ms takes no time and
// can check exactly which waits were made. The idle handler lives in this
// header alone: the simulated guider's clock uses it without linking the
// link layer.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <utility>

namespace ktal {

// Monotonic wall time in microseconds.
inline std::int64_t WallMicros() {
  using namespace std::chrono;
  return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

class Clock {
 public:
  virtual ~Clock() = default;
  // Monotonic time in microseconds since an arbitrary origin.
  virtual std::int64_t NowMicros() = 0;
  // Blocks the caller for the given time.
  virtual void SleepMs(std::uint32_t milliseconds) = 0;

  // While a handler is set, whoever waits on this clock (a wait, a read
  // waiting for its bytes or its time-out) calls it every `everyMs`, so
  // that a window on the waiting thread can handle its events during a long
  // exchange. The handler must not use the link.
  void SetIdleHandler(std::function<void()> handler, std::uint32_t everyMs) {
    idle_ = std::move(handler);
    idleEveryMicros_ = std::int64_t{everyMs} * 1000;
    lastIdleMicros_ = idle_ ? NowMicros() : 0;
    lastIdleWallMicros_ = WallMicros();
  }
  void ClearIdleHandler() { SetIdleHandler(nullptr, 0); }
  bool HasIdleHandler() const { return static_cast<bool>(idle_); }
  std::int64_t IdleEveryMicros() const { return idleEveryMicros_; }
  // Calls the handler when `everyMs` have passed since it last ran, on this
  // clock or on the wall: a virtual clock paced to real time falls behind
  // the wall where the guider's bytes come one by one, and the window lives
  // in real time. Waiting loops call it between their steps; it does
  // nothing inside the handler.
  void Idle() {
    if (!idle_ || inIdle_) return;
    const std::int64_t now = NowMicros();
    const std::int64_t wall = WallMicros();
    if (now - lastIdleMicros_ < idleEveryMicros_ && wall - lastIdleWallMicros_ < idleEveryMicros_)
      return;
    lastIdleMicros_ = now;
    lastIdleWallMicros_ = wall;
    inIdle_ = true;
    // A copy: the handler may clear or replace itself.
    const std::function<void()> handler = idle_;
    handler();
    inIdle_ = false;
  }

 private:
  std::function<void()> idle_;
  std::int64_t idleEveryMicros_ = 0;
  std::int64_t lastIdleMicros_ = 0;
  std::int64_t lastIdleWallMicros_ = 0;
  bool inIdle_ = false;
};

// Sets an idle handler for its lifetime.
class ScopedIdleHandler {
 public:
  ScopedIdleHandler(Clock& clock, std::function<void()> handler, std::uint32_t everyMs)
      : clock_(clock) {
    clock_.SetIdleHandler(std::move(handler), everyMs);
  }
  ~ScopedIdleHandler() { clock_.ClearIdleHandler(); }
  ScopedIdleHandler(const ScopedIdleHandler&) = delete;
  ScopedIdleHandler& operator=(const ScopedIdleHandler&) = delete;

 private:
  Clock& clock_;
};

// The monotonic system clock.
class SteadyClock final : public Clock {
 public:
  std::int64_t NowMicros() override;
  // With an idle handler, sleeps in pieces and calls it between them.
  void SleepMs(std::uint32_t milliseconds) override;
};

// A process-lifetime system clock for code that has no other clock.
Clock& SystemClock();

}  // namespace ktal
