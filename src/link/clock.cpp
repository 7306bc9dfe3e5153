#include "link/clock.h"

#include <chrono>
#include <thread>

namespace ktal {

std::int64_t SteadyClock::NowMicros() {
  using namespace std::chrono;
  return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

void SteadyClock::SleepMs(std::uint32_t milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

Clock& SystemClock() {
  static SteadyClock clock;
  return clock;
}

}  // namespace ktal
