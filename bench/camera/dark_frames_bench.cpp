// SPDX-License-Identifier: GPL-3.0-or-later
// The image work of the camera window on the simulated camera's darks:
// - the stack of 30 prepared darks into a master dark, plain one pixel at a
//   time (the reference) against the tiled stack on one thread and on all
//   cores;
// - one track-bar step: the 1x1 step searches the master dark for 50 hot
//   pixels, cosmetizes it and reduces it to the 376 x 291 view; the 2x2
//   step bins, searches the binned dark and cosmetizes it. The reference
//   step makes the 50 full scans of the plain search and reduces pixel by
//   pixel. Drawing the view is the window's and not measured.
// Each fast variant first checks that it gives the reference's bytes (or
// list) and stops with an error otherwise.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "camera/dark_frames.h"
#include "tests/camera/dark_reference.h"

namespace ktal {
namespace {

constexpr int kStackFrames = 30;
constexpr int kTrackBarHotPixels = 50;

struct Darks {
  std::vector<std::vector<std::uint8_t>> frames;
  std::vector<const std::uint8_t*> pointers;
  std::vector<std::uint8_t> master;  // by the reference stack
};

const Darks& CameraDarks() {
  static const Darks darks = [] {
    Darks d;
    d.frames = testing::PreparedDarks(kStackFrames);
    for (const auto& frame : d.frames) d.pointers.push_back(frame.data());
    d.master.resize(kFrameBytes);
    reference::StackDarkFrames(kStackIterations, kReadNoise, kGain, kStackFrames, d.pointers.data(),
                               d.master.data(), kFrameBytes);
    return d;
  }();
  return darks;
}

void BM_StackReference(benchmark::State& state) {
  const Darks& darks = CameraDarks();
  std::vector<std::uint8_t> out(kFrameBytes);
  for (auto _ : state) {
    reference::StackDarkFrames(kStackIterations, kReadNoise, kGain, kStackFrames,
                               darks.pointers.data(), out.data(), kFrameBytes);
    benchmark::DoNotOptimize(out.data());
  }
}
BENCHMARK(BM_StackReference)->Unit(benchmark::kMillisecond)->UseRealTime();

// Argument: threads; 0 is StackDarkFrames' own choice.
void BM_StackFast(benchmark::State& state) {
  const Darks& darks = CameraDarks();
  const int threads = static_cast<int>(state.range(0));
  std::vector<std::uint8_t> out(kFrameBytes);
  auto stack = [&] {
    return threads == 0 ? StackDarkFrames(kStackIterations, kReadNoise, kGain, kStackFrames,
                                          darks.pointers.data(), out.data(), kFrameBytes)
                        : StackDarkFramesOnThreads(threads, kStackIterations, kReadNoise, kGain,
                                                   kStackFrames, darks.pointers.data(), out.data(),
                                                   kFrameBytes);
  };
  if (stack() != 0 || out != darks.master) {
    state.SkipWithError("the stack differs from the reference");
    return;
  }
  for (auto _ : state) {
    stack();
    benchmark::DoNotOptimize(out.data());
  }
}
BENCHMARK(BM_StackFast)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime();

struct ViewBuffers {
  std::vector<std::uint8_t> view = std::vector<std::uint8_t>(kFrameBytes);
  std::vector<std::uint8_t> reduced = std::vector<std::uint8_t>(kBinnedBytes);
};

void ReferenceStep1x1(const std::uint8_t* master, ViewBuffers& b) {
  g_hotList = reference::FindHotPixels(master, kFrameWidth, kFrameHeight, kTrackBarHotPixels);
  CosmetizeFrame(master, b.view.data(), kFrameWidth, kFrameHeight);
  for (int y = 0; y < kBinnedHeight; ++y) {
    for (int x = 0; x < kBinnedWidth; ++x) {
      b.reduced[y * kBinnedWidth + x] =
          static_cast<std::uint8_t>(MaxReduce2x2(b.view.data(), x, y));
    }
  }
}

void FastStep1x1(const std::uint8_t* master, ViewBuffers& b) {
  FindHotPixels(master, kFrameWidth, kFrameHeight, kTrackBarHotPixels);
  CosmetizeFrame(master, b.view.data(), kFrameWidth, kFrameHeight);
  MaxReduceFrame(b.view.data(), b.reduced.data());
}

void BM_TrackBarStep1x1Reference(benchmark::State& state) {
  const Darks& darks = CameraDarks();
  ViewBuffers b;
  for (auto _ : state) {
    ReferenceStep1x1(darks.master.data(), b);
    benchmark::DoNotOptimize(b.reduced.data());
  }
}
BENCHMARK(BM_TrackBarStep1x1Reference)->Unit(benchmark::kMillisecond);

void BM_TrackBarStep1x1Fast(benchmark::State& state) {
  const Darks& darks = CameraDarks();
  ViewBuffers expected, b;
  ReferenceStep1x1(darks.master.data(), expected);
  const HotPixelList expectedList = g_hotList;
  FastStep1x1(darks.master.data(), b);
  if (std::memcmp(&g_hotList, &expectedList, sizeof expectedList) != 0 ||
      b.reduced != expected.reduced) {
    state.SkipWithError("the step differs from the reference");
    return;
  }
  for (auto _ : state) {
    FastStep1x1(darks.master.data(), b);
    benchmark::DoNotOptimize(b.reduced.data());
  }
}
BENCHMARK(BM_TrackBarStep1x1Fast)->Unit(benchmark::kMillisecond);

void BM_TrackBarStep2x2Reference(benchmark::State& state) {
  std::copy(CameraDarks().master.begin(), CameraDarks().master.end(), g_masterDark);
  for (auto _ : state) {
    Bin2x2(0);
    g_hotList =
        reference::FindHotPixels(g_binnedDark, kBinnedWidth, kBinnedHeight, kTrackBarHotPixels);
    g_hotList2x2 = g_hotList;
    CosmetizeFrame(g_binnedDark, g_viewFrame, kBinnedWidth, kBinnedHeight);
    benchmark::DoNotOptimize(g_viewFrame);
  }
}
BENCHMARK(BM_TrackBarStep2x2Reference)->Unit(benchmark::kMillisecond);

void BM_TrackBarStep2x2Fast(benchmark::State& state) {
  std::copy(CameraDarks().master.begin(), CameraDarks().master.end(), g_masterDark);
  Bin2x2(0);
  const HotPixelList expected =
      reference::FindHotPixels(g_binnedDark, kBinnedWidth, kBinnedHeight, kTrackBarHotPixels);
  Bin2x2(kTrackBarHotPixels);
  if (std::memcmp(&g_hotList2x2, &expected, sizeof expected) != 0) {
    state.SkipWithError("the 2x2 list differs from the reference");
    return;
  }
  for (auto _ : state) {
    Bin2x2(kTrackBarHotPixels);
    CosmetizeFrame(g_binnedDark, g_viewFrame, kBinnedWidth, kBinnedHeight);
    benchmark::DoNotOptimize(g_viewFrame);
  }
}
BENCHMARK(BM_TrackBarStep2x2Fast)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace ktal
