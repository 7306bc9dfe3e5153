// SPDX-License-Identifier: GPL-3.0-or-later
// Fuzz harness: every exchange with the guider against answers taken from
// the input. The first byte picks the exchange, the rest is the script of
// the guider's answers (see scripted_driver.h).
#include <cstddef>
#include <cstdint>
#include <span>

#include "link/ftdi_device.h"
#include "tests/fuzz/exchanges.h"
#include "tests/fuzz/scripted_driver.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  ktal::fuzz::ScriptClock clock;
  ktal::fuzz::ScriptedDriver driver(std::span<const std::uint8_t>(data + 1, size - 1), clock);
  ktal::g_device.AttachDriver(&driver, &clock);
  ktal::fuzz::RunExchange(ktal::fuzz::ExchangeOf(data[0]));
  // The driver goes with this input; the link must not keep it.
  ktal::g_device.Close();
  ktal::g_device.AttachDriver(nullptr, &clock);
  return 0;
}
