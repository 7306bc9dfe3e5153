// SPDX-License-Identifier: GPL-3.0-or-later
// How close a full firmware upload comes to what the line, the waits and the
// chip allow: the stored variables read, a 64 KB hand-controller image, the
// variables written back, a 32 KB camera image and the CCD board's image,
// in the firmware window's order, through the libftdi backend and the
// emulated FT232R in real time, the guider model behind the chip.
//
// The floor. At 250000 baud 8N1 a character takes c = 40 us. The chip
// sends a packet when its latency timer (T = 2 ms in update mode) runs out,
// counted from the packet before, or at once when the last one is older
// than that; a read waiting for an answer gets it at the first tick at or
// after the answer's last character arrived. So an exchange whose
// characters (out and back) take L on the line costs ceil(L / T) x T,
// counted from the packet that ended the one before, and a receive-queue
// query costs one more tick (the chip says nothing sooner). A wait
// (Wait) or a read time-out that must run out counts in full, and so does
// the guider's check of an image before its end byte (k = 20 ms).
//   acknowledged block (15 or 16 bytes out, 0x11 back, queue query)   2T
//   EEPROM byte read (0x00 or 0x33 out, the byte back)                T
//   EEPROM write, 8 bytes out and 0x11 back                            T
//   end of an image: r bytes after the last block, k, the end byte     ceil((r c + k + c) / T) T
//   back into update mode from the boot loader (hand controller):
//     1000 ms + identify at 9600 baud (8 chars, 10 ms ticks) 10 ms
//     + 'B' and 100 ms + probe T                                      1112 ms
//   back into update mode while still in it (camera, CCD board):
//     1000 ms + identify unanswered, its 1000 ms time-out + probe T   2002 ms
// plus each command's settle wait (50 ms, 200 ms for the CCD board).
// `ratio` is the measured time over that floor; `line_ratio` is over the
// characters' line time with the waits, time-outs and checks alone.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "chip_time.h"
#include "emulated_usb.h"
#include "firmware/update_protocol.h"
#include "firmware/variable_set.h"
#include "link/clock.h"
#include "link/ftdi_device.h"
#include "link/handshakes.h"
#include "link/libftdi/libftdi_driver.h"
#include "sim/firmware_files.h"
#include "sim/guider_features.h"
#include "sim/hand_controller.h"
#include "sim/virtual_clock.h"

namespace ktal::usbemu {
namespace {

constexpr std::int64_t kChar = 40;         // us a character at 250000 baud
constexpr std::int64_t kBootChar = 1042;   // at 9600 baud
constexpr std::int64_t kTick = 2000;       // the update-mode latency timer
constexpr std::int64_t kBootTick = 10000;  // the boot-mode latency timer
constexpr std::int64_t kBlock = 15;

constexpr std::size_t kHcBytes = 64 * 1024;
constexpr std::size_t kCameraBytes = 32 * 1024;
constexpr std::size_t kCcdbBytes = 2049;

constexpr std::int64_t Ticks(std::int64_t lineMicros, std::int64_t tick = kTick) {
  return (lineMicros + tick - 1) / tick * tick;
}

// The floor and the line time of one step, in microseconds.
struct Cost {
  std::int64_t floor = 0;
  std::int64_t line = 0;
};

constexpr std::int64_t kBackFromBootLoader =
    1'000'000 + Ticks(8 * kBootChar, kBootTick) + 100'000 + Ticks(2 * kChar);
constexpr std::int64_t kBackFromBootLoaderLine = 1'000'000 + 8 * kBootChar + 100'000 + 2 * kChar;
constexpr std::int64_t kStillInUpdateMode = 1'000'000 + 1'000'000 + Ticks(2 * kChar);
constexpr std::int64_t kStillInUpdateModeLine = 1'000'000 + 1'000'000 + 2 * kChar;

// `acks` acknowledged blocks, then `tail` characters, the check and the end
// byte; `lineBytes` characters in all besides the acknowledgements and the
// end byte.
Cost BlockUpload(std::int64_t settle, std::int64_t acks, std::int64_t lineBytes, std::int64_t tail,
                 std::int64_t check, std::int64_t back, std::int64_t backLine) {
  Cost cost;
  cost.floor = settle + acks * 2 * kTick + Ticks(tail * kChar + check + kChar) + back;
  cost.line = settle + (lineBytes + acks + 1) * kChar + check + backLine;
  return cost;
}

Cost HandControllerCost(std::int64_t bytes, std::int64_t check) {
  const std::int64_t acks = (bytes - 1) / kBlock;  // every block but the last
  return BlockUpload(50'000, acks, 1 + bytes, bytes - acks * kBlock, check, kBackFromBootLoader,
                     kBackFromBootLoaderLine);
}

Cost CameraCost(const std::vector<std::uint8_t>& image, std::int64_t check) {
  const auto escapes = std::count(image.begin(), image.end(), 0x55);
  const std::int64_t stream = static_cast<std::int64_t>(image.size()) + escapes + 2;
  const std::int64_t acks = (stream - 1) / kBlock;  // the first byte is not counted
  const std::int64_t tail = acks > 0 ? stream - 1 - acks * kBlock : stream;
  return BlockUpload(50'000, acks, 2 + stream, tail, check, kStillInUpdateMode,
                     kStillInUpdateModeLine);
}

Cost CcdBoardCost(std::int64_t check) {
  const std::int64_t acks = static_cast<std::int64_t>(kCcdbBytes) / kBlock;
  return BlockUpload(200'000, acks, 2 + kCcdbBytes, kCcdbBytes - acks * kBlock, check,
                     kStillInUpdateMode, kStillInUpdateModeLine);
}

Cost EepromReadCost() {
  const std::int64_t bytes = kEepromTransferSize;
  // One tick for each byte and one for the end byte.
  return {50'000 + (bytes + 1) * kTick, 50'000 + (1 + 1 + 2 + 2 * bytes + 1) * kChar};
}

Cost EepromWriteCost() {
  const std::int64_t acks = kEepromTransferSize / 8;
  return {50'000 + acks * kTick, 50'000 + (1 + 1 + 4 + kEepromTransferSize + acks + 1) * kChar};
}

// Real time for the chip, with the guider's own clock kept level with it,
// so that what the guider does later (the check before an end byte, the
// restart after an image) happens in real time too. The chip's actions and
// the guider's events run in time order.
class GuiderPacedTime final : public ChipTime {
 public:
  explicit GuiderPacedTime(sim::VirtualClock& guider) : guider_(guider) {}
  std::int64_t Now() override { return SystemClock().NowMicros(); }
  void StepToward(std::int64_t atMicros) override {
    RunDue();
    std::int64_t target = atMicros;
    if (!actions_.empty()) target = std::min(target, actions_.begin()->first);
    if (auto next = guider_.NextEventTime()) target = std::min(target, *next);
    const std::int64_t now = Now();
    if (target > now) std::this_thread::sleep_for(std::chrono::microseconds(target - now));
    RunDue();
  }
  void At(std::int64_t atMicros, std::function<void()> action) override {
    actions_.emplace(atMicros, std::move(action));
  }

 private:
  void RunDue() {
    const std::int64_t now = Now();
    while (!actions_.empty() && actions_.begin()->first <= now) {
      auto node = actions_.extract(actions_.begin());
      guider_.AdvanceTo(node.key());
      node.mapped()();
    }
    guider_.AdvanceTo(now);
  }

  sim::VirtualClock& guider_;
  std::multimap<std::int64_t, std::function<void()>> actions_;
};

// The host's clock: while it waits, the chip and the guider go on, as they
// do beside a real host (a byte written just before a wait reaches the
// guider during it, not at the next call into the chip).
class HostClock final : public Clock {
 public:
  explicit HostClock(ChipTime& chip) : chip_(chip) {}
  std::int64_t NowMicros() override { return SystemClock().NowMicros(); }
  void SleepMs(std::uint32_t milliseconds) override {
    const std::int64_t until = NowMicros() + std::int64_t{milliseconds} * 1000;
    while (NowMicros() < until) chip_.StepToward(until);
  }

 private:
  ChipTime& chip_;
};

struct Step {
  const char* name;
  std::function<int()> run;
  Cost cost;
  // The guider kept what was sent.
  std::function<bool()> arrived;
};

void BM_FullFirmwareUpload(benchmark::State& state) {
  sim::VirtualClock guiderClock(SystemClock().NowMicros());
  sim::GuiderFeatures features;
  sim::HandControllerConfig config;
  config.startMode = sim::ControllerMode::kUpdate;
  sim::HandController guider(guiderClock, config);
  sim::InstallFeatureRequests(guider, features);
  guider.set_tracing(false);
  sim::UpdateModeState& update = features.update;
  for (std::size_t i = 0; i < update.eeprom.size(); ++i) {
    update.eeprom[i] = static_cast<std::uint8_t>(i * 11);
  }
  update.eeprom[1] = 0x50;  // the variables of firmware 2.50
  update.eeprom[2] = 0x02;

  const std::vector<std::uint8_t> hc = PseudoRandomImage(kHcBytes, 1);
  const std::vector<std::uint8_t> camera = PseudoRandomImage(kCameraBytes, 2);
  const std::vector<std::uint8_t> ccdb = PseudoRandomImage(kCcdbBytes, 3);
  const std::int64_t check = update.imageCheckMicros;
  VariableSet variables;
  const ProgressCallback progress = [](int) {};
  const Step steps[] = {
      {"eeprom_read", [&] { return DownloadEEPROM(variables, progress); }, EepromReadCost(),
       [&] {
         return std::equal(update.eeprom.begin(), update.eeprom.end(), variables.image.begin());
       }},
      {"hc", [&] { return UploadHC(hc, 0, hc.size(), progress); },
       HandControllerCost(kHcBytes, check), [&] { return update.handControllerImage == hc; }},
      {"eeprom_write",
       [&] {
         variables.SetImageVersion(0x0260);
         return UploadEEPROM(variables, progress, false);
       },
       EepromWriteCost(),
       [&] {
         return std::equal(update.eeprom.begin(), update.eeprom.end(), variables.image.begin());
       }},
      {"camera", [&] { return UploadCam(camera, 0, camera.size(), progress); },
       CameraCost(camera, check), [&] { return update.cameraImage == camera; }},
      {"ccdb", [&] { return UploadCCDB(ccdb, 0, ccdb.size(), progress); }, CcdBoardCost(check),
       [&] { return update.ccdBoardImage == ccdb; }},
  };

  GuiderPacedTime time(guiderClock);
  HostClock host(time);
  UsbBus::Get().Reset(&time);
  UsbBus::Get().Plug(GuiderChip(&guider));
  {
    LibftdiDriver driver(host);
    g_device.AttachDriver(&driver, &host);
    g_device.deviceKind = kDeviceKindGuider;
    if (EnterDeviceMode(kUpdateMode) != 0) {
      state.SkipWithError(g_protocolMessage);
    } else {
      for (auto _ : state) {
        variables.SetDefaults();
        double total = 0;
        std::int64_t floor = 0;
        std::int64_t line = 0;
        for (const Step& step : steps) {
          const auto start = std::chrono::steady_clock::now();
          const int result = step.run();
          const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
          if (result != 0 || !step.arrived()) {
            state.SkipWithError((std::string(step.name) + ": " + g_protocolMessage).c_str());
            break;
          }
          total += took.count();
          floor += step.cost.floor;
          line += step.cost.line;
          state.counters[std::string(step.name) + "_s"] = took.count();
          state.counters[std::string(step.name) + "_ratio"] =
              took.count() * 1e6 / static_cast<double>(step.cost.floor);
        }
        state.SetIterationTime(total);
        state.counters["floor_s"] = static_cast<double>(floor) / 1e6;
        state.counters["ratio"] = total * 1e6 / static_cast<double>(floor);
        state.counters["line_ratio"] = total * 1e6 / static_cast<double>(line);
      }
    }
    g_device.Close();
    g_device.AttachDriver(nullptr, nullptr);
  }
  UsbBus::Get().Reset(nullptr);
}
// One full upload takes about 40 s of real time.
BENCHMARK(BM_FullFirmwareUpload)->UseManualTime()->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace
}  // namespace ktal::usbemu

BENCHMARK_MAIN();
