// SPDX-License-Identifier: GPL-3.0-or-later
// How close a dark frame comes to its line time: ExposeAndDownload with the
// dark-frame run's request (752 x 582, 4 s), through the libftdi backend and
// the emulated FT232R in real time, the simulated guider behind the chip
// exposing on a clock that follows real time and sending its frame at
// 2000000 baud in the blocks the host asks for.
//
// The floor. At 2000000 baud 8N1 a character takes 5 us, so the 437664
// bytes of the frame take 2.188 s on the line alone. Each of the 111 blocks
// is one full USB transfer of the chip (64 packets of 62 bytes), asked for
// by one request byte; what the request, the chip's packets and the host's
// turn-around add shows as the excess over the floor.
//
// `download_s` is the time from the end of the settling wait after the
// link was raised to the start of the wait after it was restored: every
// block, plus putting the line back. `ratio` is that over the line time;
// `call_s` is the whole call, exposure and waits included. `wrong` counts
// bytes of g_rawFrame that differ from what the guider sent.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

#include "camera/camera_protocol.h"
#include "chip_time.h"
#include "emulated_usb.h"
#include "link/clock.h"
#include "link/ftdi_device.h"
#include "link/handshakes.h"
#include "link/libftdi/libftdi_driver.h"
#include "sim/guider_features.h"
#include "sim/hand_controller.h"
#include "sim/virtual_clock.h"

namespace ktal::usbemu {
namespace {

constexpr double kLineSeconds = kFrameBytes * 10.0 / 2'000'000.0;
// The settling waits of the download: after the link was raised, and
// after it was restored.
constexpr std::uint32_t kRaisedSettleMs = 30;
constexpr std::uint32_t kRestoredSettleMs = 50;

// Real time for the chip, and the guider's own clock kept abreast of it,
// so that the guider's exposure ends when it would on the real thing.
class GuiderPacedTime final : public ChipTime {
 public:
  explicit GuiderPacedTime(sim::VirtualClock& guiderClock)
      : guider_(guiderClock), origin_(real_.Now()) {}
  std::int64_t Now() override {
    Follow();
    return real_.Now();
  }
  void StepToward(std::int64_t atMicros) override {
    real_.StepToward(atMicros);
    Follow();
  }
  void At(std::int64_t atMicros, std::function<void()> action) override {
    real_.At(atMicros, std::move(action));
  }

 private:
  void Follow() { guider_.AdvanceTo(real_.Now() - origin_); }

  RealChipTime real_;
  sim::VirtualClock& guider_;
  std::int64_t origin_;
};

// The system clock for the link, noting when the download's own settling
// waits fall: the download runs between them.
class StampingClock final : public Clock {
 public:
  std::int64_t NowMicros() override { return SystemClock().NowMicros(); }
  void SleepMs(std::uint32_t milliseconds) override {
    if (milliseconds == kRestoredSettleMs && began_ != 0 && ended_ == 0) ended_ = NowMicros();
    SystemClock().SleepMs(milliseconds);
    if (milliseconds == kRaisedSettleMs) began_ = NowMicros();
  }
  void Reset() { began_ = ended_ = 0; }
  double DownloadSeconds() const { return static_cast<double>(ended_ - began_) / 1e6; }
  bool Complete() const { return began_ != 0 && ended_ != 0; }

 private:
  std::int64_t began_ = 0;
  std::int64_t ended_ = 0;
};

void BM_DarkFrameDownload(benchmark::State& state) {
  sim::VirtualClock guiderClock;
  sim::GuiderFeatures features;
  sim::HandController guider(guiderClock);
  sim::InstallFeatureRequests(guider, features);
  guider.set_tracing(false);

  GuiderPacedTime time(guiderClock);
  UsbBus::Get().Reset(&time);
  UsbBus::Get().Plug(GuiderChip(&guider));
  {
    LibftdiDriver driver(SystemClock());
    StampingClock clock;
    g_device.AttachDriver(&driver, &clock);
    g_device.deviceKind = kDeviceKindGuider;
    if (g_device.Open() != 0 || ConfigureRunningModeLink() != 0 || EnterCameraMode() != 0) {
      state.SkipWithError(g_protocolMessage[0] != '\0' ? g_protocolMessage : g_device.errorText);
    } else {
      features.camera.state = 1;
      double download = 0;
      double call = 0;
      std::size_t wrong = 0;
      bool whole = true;
      for (auto _ : state) {
        clock.Reset();
        const auto start = std::chrono::steady_clock::now();
        const int result = ExposeAndDownload(DarkFrameRequest());
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        if (result != 0 || !clock.Complete()) {
          state.SkipWithError("the download failed");
          whole = false;
          break;
        }
        state.SetIterationTime(clock.DownloadSeconds());
        download += clock.DownloadSeconds();
        call += took.count();
        const std::vector<std::uint8_t> frame = features.camera.ExposedFrame();
        for (std::size_t i = 0; i < frame.size(); ++i) wrong += frame[i] != g_rawFrame[i] ? 1 : 0;
      }
      if (whole) {
        const double rounds = static_cast<double>(state.iterations());
        state.counters["download_s"] = download / rounds;
        state.counters["line_s"] = kLineSeconds;
        state.counters["ratio"] = download / rounds / kLineSeconds;
        state.counters["call_s"] = call / rounds;
        state.counters["wrong"] = static_cast<double>(wrong) / rounds;
        state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kFrameBytes);
      }
      LeaveCameraMode();
    }
    g_device.Close();
    g_device.AttachDriver(nullptr, nullptr);
  }
  UsbBus::Get().Reset(nullptr);
}
// One call takes about 7 s of real time: a 4 s exposure, the waits and the
// download.
BENCHMARK(BM_DarkFrameDownload)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace ktal::usbemu

BENCHMARK_MAIN();
