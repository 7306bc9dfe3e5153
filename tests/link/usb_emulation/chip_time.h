// SPDX-License-Identifier: GPL-3.0-or-later
// The time the emulated USB chips live in.
//
// In the tests it is the simulated guider's virtual clock, so that line-rate
// pacing, latency periods and read time-outs cost no wall-clock time; in the
// benchmark it is real time, so that the pacing is felt. The chip model asks
// only for the present, for time to pass, and for actions at a later time.
#pragma once

#include <cstdint>
#include <functional>
#include <map>

#include "sim/virtual_clock.h"

namespace ktal::usbemu {

class ChipTime {
 public:
  virtual ~ChipTime() = default;
  virtual std::int64_t Now() = 0;
  // Lets time pass towards `atMicros`, running the actions that fall due.
  // May return early, after an action ran, so that the caller can look
  // again at what changed.
  virtual void StepToward(std::int64_t atMicros) = 0;
  // Runs `action` once time reaches `atMicros`.
  virtual void At(std::int64_t atMicros, std::function<void()> action) = 0;
};

// On the simulated guider's clock: actions are clock events, and time moves
// as a link time-out does (not recorded as a wait of the code under test).
class VirtualChipTime final : public ChipTime {
 public:
  explicit VirtualChipTime(sim::VirtualClock& clock) : clock_(clock) {}
  std::int64_t Now() override { return clock_.NowMicros(); }
  void StepToward(std::int64_t atMicros) override;
  void At(std::int64_t atMicros, std::function<void()> action) override;

 private:
  sim::VirtualClock& clock_;
};

// On the monotonic system clock: waits really sleep; actions run when a
// call into the chip finds them due.
class RealChipTime final : public ChipTime {
 public:
  std::int64_t Now() override;
  void StepToward(std::int64_t atMicros) override;
  void At(std::int64_t atMicros, std::function<void()> action) override;

 private:
  void RunDue();
  std::multimap<std::int64_t, std::function<void()>> actions_;
};

}  // namespace ktal::usbemu
