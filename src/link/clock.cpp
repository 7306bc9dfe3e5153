// SPDX-License-Identifier: GPL-3.0-or-later
#include "link/clock.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace ktal {

std::int64_t SteadyClock::NowMicros() { return WallMicros(); }

void SteadyClock::SleepMs(std::uint32_t milliseconds) {
  using std::chrono::steady_clock;
  const std::chrono::milliseconds wait(milliseconds);
  if (!HasIdleHandler()) {
    std::this_thread::sleep_for(wait);
    return;
  }
  // The end is fixed first, so that the time the handler takes is part of
  // the wait rather than added to it.
  const steady_clock::time_point end = steady_clock::now() + wait;
  const std::chrono::microseconds piece(std::max<std::int64_t>(IdleEveryMicros(), 1000));
  for (auto now = steady_clock::now(); now < end; now = steady_clock::now()) {
    std::this_thread::sleep_for(std::min<steady_clock::duration>(piece, end - now));
    Idle();
  }
}

Clock& SystemClock() {
  static SteadyClock clock;
  return clock;
}

}  // namespace ktal
