#include "sim/virtual_clock.h"

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
  const auto pace = [this](std::int64_t until) {
    if (pacing_ > 0 && until > now_) {
      std::this_thread::sleep_for(std::chrono::microseconds(
          static_cast<std::int64_t>(static_cast<double>(until - now_) * pacing_)));
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
