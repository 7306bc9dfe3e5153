// SPDX-License-Identifier: GPL-3.0-or-later
#include "sim/virtual_clock.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace ktal::sim {

void VirtualClock::SleepMs(std::uint32_t milliseconds) {
  if (recording_waits_) waits_.push_back(milliseconds);
  AdvanceTo(now_ + std::int64_t{milliseconds} * 1000);
}

VirtualClock::EventId VirtualClock::Schedule(std::int64_t atMicros,
                                             std::function<void()> callback) {
  const EventId id = next_id_++;
  events_.emplace(std::make_pair(atMicros, id), std::move(callback));
  due_of_.emplace(id, atMicros);
  return id;
}

bool VirtualClock::Cancel(EventId id) {
  const auto it = due_of_.find(id);
  if (it == due_of_.end()) return false;
  events_.erase(std::make_pair(it->second, id));
  due_of_.erase(it);
  return true;
}

std::optional<std::int64_t> VirtualClock::NextEventTime() const {
  if (events_.empty()) return std::nullopt;
  return events_.begin()->first.first;
}

void VirtualClock::AdvanceTo(std::int64_t atMicros) {
  if (in_event_) return;
  // A window waiting on the guider handles its events every so often of
  // the guider's time; the guider's own events still run in their order.
  if (HasIdleHandler()) {
    const std::int64_t step = std::max<std::int64_t>(IdleEveryMicros(), 1000);
    while (now_ < atMicros) {
      AdvanceStraight(std::min(atMicros, now_ + step));
      // Paced to real time, the handler's own time is taken off the next
      // sleeps, so that handling the window does not slow the guider down.
      const auto before = std::chrono::steady_clock::now();
      Idle();
      if (pacing_ > 0) pace_credit_ += std::chrono::steady_clock::now() - before;
    }
  }
  AdvanceStraight(atMicros);
}

void VirtualClock::AdvanceStraight(std::int64_t atMicros) {
  const auto pace = [this](std::int64_t until) {
    if (pacing_ > 0 && until > now_) {
      std::chrono::steady_clock::duration sleep = std::chrono::microseconds(
          static_cast<std::int64_t>(static_cast<double>(until - now_) * pacing_));
      const auto taken = std::min(sleep, pace_credit_);
      pace_credit_ -= taken;
      sleep -= taken;
      if (sleep.count() > 0) std::this_thread::sleep_for(sleep);
    }
  };
  // Events may schedule further events, also at or before atMicros; take
  // them one at a time from the front so those run in their turn.
  while (!events_.empty() && events_.begin()->first.first <= atMicros) {
    auto node = events_.extract(events_.begin());
    due_of_.erase(node.key().second);
    const std::int64_t due = node.key().first;
    if (due > now_) {
      pace(due);
      now_ = due;
    }
    in_event_ = true;
    node.mapped()();
    in_event_ = false;
  }
  if (atMicros > now_) {
    pace(atMicros);
    now_ = atMicros;
  }
}

}  // namespace ktal::sim
