// Plain one-pixel-at-a-time versions of the stack and the hot-pixel search,
// written for clarity and nothing else, to hold the fast ones in
// src/camera against. Shared by the tests and the benchmarks.
#pragma once

#include <cstdint>
#include <vector>

#include "camera/dark_frames.h"

namespace ktal::reference {

// Gathers each pixel's samples into an n-byte scratch and reweights them
// one pixel after another. Same codes as StackDarkFrames.
int StackDarkFrames(int iterations, float readNoise, float gain, int n,
                    const std::uint8_t* const* frames, std::uint8_t* output, int pixelCount);

// n full scans of the image, each taking the brightest pixel not yet
// listed; then the neighbour flags and a bubble sort by row. n at most
// kMaxHotPixels and at most w * h.
HotPixelList FindHotPixels(const std::uint8_t* image, int w, int h, int n);

}  // namespace ktal::reference

namespace ktal::testing {

// Dark frames as the camera delivers them before PrepareDarkFrame: a bias
// with the camera's offset of 4, dark current rising towards one corner
// (amplifier glow), column offsets, fixed hot pixels (single ones, pairs,
// small clusters, some on the edges and corners, some saturated), shot and
// read noise, and cosmic-ray hits and short tracks that differ from frame
// to frame. The same seed gives the same frames.
std::vector<std::vector<std::uint8_t>> MakeDarkSeries(int frames, int w, int h,
                                                      std::uint32_t seed);

// A master dark of the full frame stacked (by StackDarkFrames) from
// `frames` prepared frames of MakeDarkSeries.
std::vector<std::uint8_t> MakeMasterDark(int frames, std::uint32_t seed);

}  // namespace ktal::testing
