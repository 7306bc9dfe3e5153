// SPDX-License-Identifier: GPL-3.0-or-later
#include "chip_time.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "link/clock.h"

namespace ktal::usbemu {

void VirtualChipTime::StepToward(std::int64_t atMicros) {
  std::int64_t target = atMicros;
  if (auto next = clock_.NextEventTime(); next && *next < target) {
    target = std::max(*next, clock_.NowMicros());
  }
  clock_.AdvanceTo(target);
}

void VirtualChipTime::At(std::int64_t atMicros, std::function<void()> action) {
  clock_.Schedule(atMicros, std::move(action));
}

std::int64_t RealChipTime::Now() { return SystemClock().NowMicros(); }

void RealChipTime::RunDue() {
  while (!actions_.empty() && actions_.begin()->first <= Now()) {
    auto node = actions_.extract(actions_.begin());
    node.mapped()();
  }
}

void RealChipTime::StepToward(std::int64_t atMicros) {
  RunDue();
  std::int64_t target = atMicros;
  if (!actions_.empty()) target = std::min(target, actions_.begin()->first);
  const std::int64_t now = Now();
  if (target > now) std::this_thread::sleep_for(std::chrono::microseconds(target - now));
  RunDue();
}

void RealChipTime::At(std::int64_t atMicros, std::function<void()> action) {
  actions_.emplace(atMicros, std::move(action));
}

}  // namespace ktal::usbemu
