// SPDX-License-Identifier: GPL-3.0-or-later
// How close the libftdi backend comes to the line rate: a camera frame of
// 437664 bytes at 2 Mbaud, sent by the emulated chip at the pace of the real
// line (10 bits a byte) and read through g_device in blocks of one full USB
// transfer. The line alone takes 2.188 s; `ratio` is the time the read took
// over that. `lost` counts bytes the chip dropped because the backend did
// not poll in time, `wrong` bytes that arrived out of place.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <vector>

#include "chip_time.h"
#include "emulated_usb.h"
#include "link/clock.h"
#include "link/ftdi_device.h"
#include "link/handshakes.h"
#include "link/libftdi/libftdi_driver.h"
#include "transfer_pattern.h"

namespace ktal::usbemu {
namespace {

constexpr double kLineSeconds = kFrameBytes * 10.0 / 2'000'000.0;
constexpr auto kLead = std::chrono::milliseconds(50);

void BM_FrameAt2Mbaud(benchmark::State& state) {
  RealChipTime time;
  UsbBus::Get().Reset(&time);
  EmulatedFt232r& chip = UsbBus::Get().Plug(GuiderChip(nullptr));
  {
    LibftdiDriver driver(SystemClock());
    g_device.AttachDriver(&driver, &SystemClock());
    g_device.deviceKind = kDeviceKindGuider;
    if (g_device.Open() != 0 || ConfigureRunningModeLink() != 0 ||
        g_device.SetBaudRate(2000000) != 0) {
      state.SkipWithError(g_device.errorText);
      g_device.AttachDriver(nullptr, nullptr);
      UsbBus::Get().Reset(nullptr);
      return;
    }

    const std::vector<std::uint8_t> frame = FramePattern();
    std::vector<std::uint8_t> got(frame.size());
    double seconds = 0;
    std::size_t wrong = 0;
    for (auto _ : state) {
      std::fill(got.begin(), got.end(), 0);
      // The stream starts a little later, so that queueing it up costs the
      // reader nothing.
      const auto start = std::chrono::steady_clock::now() + kLead;
      chip.PlayLine(frame, {2000000, 8, 0, 0},
                    std::chrono::duration_cast<std::chrono::microseconds>(kLead).count());
      std::size_t total = 0;
      while (total < got.size()) {
        const int want = static_cast<int>(std::min(kTransferBlock, got.size() - total));
        const int n = g_device.Read(got.data() + total, want);
        if (n <= 0) break;
        total += static_cast<std::size_t>(n);
      }
      const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
      state.SetIterationTime(took.count());
      seconds += took.count();
      wrong += static_cast<std::size_t>(std::count_if(
          got.begin(), got.end(),
          [&, i = std::size_t{0}](std::uint8_t b) mutable { return b != frame[i++]; }));
      // Whatever is still on its way belongs to no later round.
      g_device.FlushInBuffer();
    }
    const double rounds = static_cast<double>(state.iterations());
    state.counters["ratio"] = seconds / rounds / kLineSeconds;
    state.counters["lost"] = static_cast<double>(chip.overrun_bytes()) / rounds;
    state.counters["wrong"] = static_cast<double>(wrong) / rounds;
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(frame.size()));
    g_device.Close();
    g_device.AttachDriver(nullptr, nullptr);
  }
  UsbBus::Get().Reset(nullptr);
}
BENCHMARK(BM_FrameAt2Mbaud)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace ktal::usbemu

BENCHMARK_MAIN();
