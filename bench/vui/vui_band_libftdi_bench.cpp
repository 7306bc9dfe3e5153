// SPDX-License-Identifier: GPL-3.0-or-later
// Four screen bands, as one tick of the virtual user interface reads them,
// through the libftdi backend and the emulated FT232R in real time: the
// chip's 2 ms latency timer and the line rate as on real hardware, the
// guider model behind the chip serving its screen.
//
// Each band is asked for with 5 characters and comes as 129 (the echo and
// 128 bytes), 5.4 ms of line time, which reaches the host in packets at
// the chip's 2 ms latency ticks. Whether the queue check right after the
// request finds the band whole or goes into a 10 ms wait depends on where
// those ticks fall; four bands take 40 to 55 ms, much as on the simulated
// driver.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>

#include "chip_time.h"
#include "emulated_usb.h"
#include "link/clock.h"
#include "link/ftdi_device.h"
#include "link/handshakes.h"
#include "link/libftdi/libftdi_driver.h"
#include "sim/guider_features.h"
#include "sim/hand_controller.h"
#include "sim/virtual_clock.h"
#include "vui/vui_protocol.h"

namespace ktal::usbemu {
namespace {

void BM_FourBandsThroughLibftdi(benchmark::State& state) {
  // The chip's real time paces every byte; the guider's own clock is not
  // needed for a still screen.
  sim::VirtualClock guiderClock;
  sim::GuiderFeatures features;
  sim::HandController guider(guiderClock);
  sim::InstallFeatureRequests(guider, features);
  guider.set_tracing(false);

  RealChipTime time;
  UsbBus::Get().Reset(&time);
  UsbBus::Get().Plug(GuiderChip(&guider));
  {
    LibftdiDriver driver(SystemClock());
    g_device.AttachDriver(&driver, &SystemClock());
    g_device.deviceKind = kDeviceKindGuider;
    if (g_device.Open() != 0 || ConfigureRunningModeLink() != 0) {
      state.SkipWithError(g_protocolMessage[0] != '\0' ? g_protocolMessage : g_device.errorText);
    } else {
      ConfigureScreenPollLink(g_device);
      std::uint8_t band[kBandBytes];
      int next = 0;
      for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < 4; ++i) {
          next = (next + 1) % kScreenBands;
          if (ReadScreenBand(g_device, next, band) != kVuiOk) {
            state.SkipWithError("a band failed");
            break;
          }
        }
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        state.SetIterationTime(took.count());
      }
    }
    g_device.Close();
    g_device.AttachDriver(nullptr, nullptr);
  }
  UsbBus::Get().Reset(nullptr);
}
BENCHMARK(BM_FourBandsThroughLibftdi)
    ->UseManualTime()
    ->Iterations(40)
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace ktal::usbemu

BENCHMARK_MAIN();
