// SPDX-License-Identifier: GPL-3.0-or-later
// How close a file download comes to what the line and the chip allow: a
// 1000-page file read with the download run's own page-chain walk, through
// the libftdi backend and the emulated FT232R in real time, the guider model
// behind the chip serving the pages from its flash store.
//
// The floor. At 250000 baud 8N1 a character takes 40 us. The chip sends a
// full 64-byte packet only once 62 bytes wait in it, and a short one when its
// latency timer (2 ms, the link's setting in running mode) runs out, counted
// from the packet before. Only 50 characters arrive in 2 ms, so while a read
// waits no packet ever fills: packets leave every 2 ms, and a chunk reaches
// the host at the first tick at or after the arrival of its last byte. The
// ticks count from the packet that ended the previous chunk, which is also
// the earliest moment the host can send the bytes that ask for the next one.
// So a chunk that r request bytes ask for and that brings n bytes (the
// trailer counts with the last chunk) takes at least
//     ceil((r + n) x 40 us / 2 ms) x 2 ms,
// and a page (4 + 120, 1 + 120 three times, 1 + 48 + 1) at least
// 6 + 6 + 6 + 6 + 2 = 26 ms, against 21.48 ms for its 537 characters alone.
// `ratio` is the measured time over that floor, `line_ratio` over the line
// time alone.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <vector>

#include "chip_time.h"
#include "emulated_usb.h"
#include "filesystem/download_run.h"
#include "filesystem/fs_protocol.h"
#include "guidelog/guide_log.h"
#include "guidelog/log_format.h"
#include "link/clock.h"
#include "link/ftdi_device.h"
#include "link/handshakes.h"
#include "link/libftdi/libftdi_driver.h"
#include "sim/guider_features.h"
#include "sim/hand_controller.h"
#include "sim/virtual_clock.h"

namespace ktal::usbemu {
namespace {

constexpr int kFilePages = 1000;
constexpr std::uint32_t kFileId = 0x00b0e5;

constexpr std::int64_t kCharacterMicros = 40;  // 250000 baud, 10 bits a character
constexpr std::int64_t kLatencyMicros = 2000;  // the running-mode latency timer
constexpr int kPageBytes = static_cast<int>(kDataPageSize);
constexpr int kChunkBytes = 120;  // what one page-read step brings
constexpr int kRequestBytes = 4;  // DD, page low, page high, 01

constexpr std::int64_t ChunkFloorMicros(int characters) {
  const std::int64_t line = characters * kCharacterMicros;
  return (line + kLatencyMicros - 1) / kLatencyMicros * kLatencyMicros;
}

constexpr std::int64_t PageFloorMicros() {
  std::int64_t total = 0;
  int asking = kRequestBytes;
  for (int offset = 0; offset < kPageBytes; offset += kChunkBytes) {
    const int chunk = std::min(kChunkBytes, kPageBytes - offset);
    const bool last = offset + chunk >= kPageBytes;
    total += ChunkFloorMicros(asking + chunk + (last ? 1 : 0));
    asking = 1;  // each later chunk is asked for with one DD
  }
  return total;
}

constexpr int kChunks = (kPageBytes + kChunkBytes - 1) / kChunkBytes;
constexpr std::int64_t kPageLineMicros =
    (kRequestBytes + (kChunks - 1) + kPageBytes + 1) * kCharacterMicros;

// Full pages and a last one that ends the stream half-way, as the walk
// expects of a file; AddFile chains them.
std::vector<DataPage> FilePages() {
  std::vector<DataPage> pages(kFilePages);
  for (int i = 0; i < kFilePages; ++i) {
    DataPage& page = pages[static_cast<std::size_t>(i)];
    page.data_size = kPageDataBytes;
    for (std::size_t b = 0; b < kPageDataBytes; ++b) {
      page.data[b] = static_cast<std::uint8_t>(i * 31 + b * 7);
    }
  }
  pages.back().next_page = kEofPageFlag | 0x100;
  pages.back().data_size = 256;
  return pages;
}

void BM_Download1000PageFile(benchmark::State& state) {
  // The guider's own clock schedules nothing here: the chip's real time
  // paces every byte.
  sim::VirtualClock guiderClock;
  sim::GuiderFeatures features;
  sim::HandController guider(guiderClock);
  sim::InstallFeatureRequests(guider, features);
  guider.set_tracing(false);
  DirectoryEntry made;
  made.created_date = PackDate(2026, 12, 1);
  made.created_time = PackTime(21, 0);
  const int index = features.flash.AddFile(FilePages(), kFileId, made);
  const DirectoryEntry entry = features.flash.entry(index);

  RealChipTime time;
  UsbBus::Get().Reset(&time);
  UsbBus::Get().Plug(GuiderChip(&guider));
  {
    LibftdiDriver driver(SystemClock());
    g_device.AttachDriver(&driver, &SystemClock());
    g_device.deviceKind = kDeviceKindGuider;
    GuideLog log;
    if (g_device.Open() != 0 || ConfigureRunningModeLink() != 0 || EnterFileSystemMode() != 0) {
      state.SkipWithError(g_protocolMessage[0] != '\0' ? g_protocolMessage : g_device.errorText);
    } else {
      double seconds = 0;
      bool whole = true;
      for (auto _ : state) {
        log.BeginLog(entry.created_date, entry.created_time, entry.modified_date,
                     entry.modified_time);
        const auto start = std::chrono::steady_clock::now();
        const WalkResult walk = WalkPageChain(entry, log, {});
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        state.SetIterationTime(took.count());
        seconds += took.count();
        if (walk.pages != kFilePages || walk.fault != nullptr) {
          state.SkipWithError(walk.fault != nullptr ? walk.fault : "the chain ended early");
          whole = false;
          break;
        }
      }
      if (whole) {
        const double perPage = seconds / static_cast<double>(state.iterations()) / kFilePages;
        state.counters["ms_per_page"] = perPage * 1e3;
        state.counters["floor_ms_per_page"] = static_cast<double>(PageFloorMicros()) / 1e3;
        state.counters["ratio"] = perPage * 1e6 / static_cast<double>(PageFloorMicros());
        state.counters["line_ratio"] = perPage * 1e6 / static_cast<double>(kPageLineMicros);
        state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kFilePages *
                                kPageBytes);
      }
      LeaveFileSystemMode();
    }
    g_device.Close();
    g_device.AttachDriver(nullptr, nullptr);
  }
  UsbBus::Get().Reset(nullptr);
}
// One download takes about half a minute of real time.
BENCHMARK(BM_Download1000PageFile)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace ktal::usbemu

BENCHMARK_MAIN();
