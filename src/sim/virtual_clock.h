// SPDX-License-Identifier: GPL-3.0-or-later
// Virtual time for the simulated guider.
//
// Every wait of the program and every link time-out goes through one Clock.
// Under the simulator that clock is this one: time moves only when someone
// sleeps or a driver call waits for the guider, so a read that times out
// after 1000 ms returns at once with the clock 1000 ms later, and a test can
// check exactly which waits the code under test made.
//
// The guider model runs on the same clock: it schedules what it does later
// (finish a restart, start its firmware) as events, and whoever advances the
// clock runs the events that fall due, in time order. Single-threaded: the
// clock, the guider and the driver are used from one thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <utility>
#include <vector>

#include "link/clock.h"

namespace ktal::sim {

class VirtualClock final : public Clock {
 public:
  using EventId = std::uint64_t;

  explicit VirtualClock(std::int64_t startMicros = 0) : now_(startMicros) {}

  std::int64_t NowMicros() override { return now_; }

  // A wait of the code under test: recorded in waits(), then the clock
  // advances by that time, running the events that fall due.
  void SleepMs(std::uint32_t milliseconds) override;

  // Runs `callback` once the clock reaches `atMicros`. A time in the past
  // runs at the next advance. Events due at the same time run in the order
  // they were scheduled. Returns an id for Cancel.
  EventId Schedule(std::int64_t atMicros, std::function<void()> callback);
  EventId ScheduleIn(std::int64_t delayMicros, std::function<void()> callback) {
    return Schedule(now_ + delayMicros, std::move(callback));
  }
  // False when the event already ran or was never scheduled.
  bool Cancel(EventId id);

  // Moves the clock forward to `atMicros` (never backwards), running every
  // event due up to then. Link time-outs use these, so they are not waits.
  // Called from inside an event, it does nothing: an event must not move
  // time under the feet of the advance that runs it. With an idle handler
  // (Clock::SetIdleHandler) it advances in steps and calls it between them.
  void AdvanceTo(std::int64_t atMicros);
  void AdvanceBy(std::int64_t micros) { AdvanceTo(now_ + micros); }

  // Time of the earliest pending event, if any.
  std::optional<std::int64_t> NextEventTime() const;
  std::size_t pending_events() const { return events_.size(); }

  // The SleepMs calls made so far, in milliseconds, in order.
  const std::vector<std::uint32_t>& waits() const { return waits_; }
  void clear_waits() { waits_.clear(); }
  // On from the start; a long interactive session turns it off so that the
  // list does not grow without end.
  void set_recording_waits(bool on) { recording_waits_ = on; }

  // Interactive use (ktal-companion --simulate): with a scale above 0 every
  // advance also really sleeps scale x the virtual time it moves, so that a
  // time-out feels like one. 0, the default, never sleeps.
  void SetRealTimePacing(double scale) { pacing_ = scale > 0 ? scale : 0; }

 private:
  // AdvanceTo in one go.
  void AdvanceStraight(std::int64_t atMicros);

  std::int64_t now_;
  std::uint64_t next_id_ = 1;
  // (due time, id) -> callback; ids grow, so equal times keep their order.
  std::map<std::pair<std::int64_t, EventId>, std::function<void()>> events_;
  std::map<EventId, std::int64_t> due_of_;
  std::vector<std::uint32_t> waits_;
  bool recording_waits_ = true;
  double pacing_ = 0;
  // Real time an idle handler took, still to be slept less.
  std::chrono::steady_clock::duration pace_credit_{};
  bool in_event_ = false;
};

}  // namespace ktal::sim
