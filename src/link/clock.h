// The one clock that every wait and every link time-out goes through.
//
// On real hardware it is the monotonic system clock; under the simulated
// guider it is virtual, so that a test that waits 1000 ms takes no time and
// can check exactly which waits were made.
#pragma once

#include <cstdint>

namespace ktal {

class Clock {
 public:
  virtual ~Clock() = default;
  // Monotonic time in microseconds since an arbitrary origin.
  virtual std::int64_t NowMicros() = 0;
  // Blocks the caller for the given time.
  virtual void SleepMs(std::uint32_t milliseconds) = 0;
};

// The monotonic system clock.
class SteadyClock final : public Clock {
 public:
  std::int64_t NowMicros() override;
  void SleepMs(std::uint32_t milliseconds) override;
};

// A process-lifetime system clock for code that has no other clock.
Clock& SystemClock();

}  // namespace ktal
