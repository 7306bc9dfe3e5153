// SPDX-License-Identifier: GPL-3.0-or-later
// Plain one-pixel-at-a-time versions of the stack and the hot-pixel search,
// written for clarity and nothing else, to hold the fast ones in
// src/camera against. Shared by the tests and the benchmarks.
#pragma once

#include <cstdint>
#include <vector>

#include "camera/dark_frames.h"
#include "sim/dark_frame_model.h"

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

// Frames 0 .. frames - 1 of the simulated camera's dark series for `seed`,
// prepared for stacking, 752 x 582 each.
std::vector<std::vector<std::uint8_t>> PreparedDarks(int frames,
                                                     const sim::DarkFrameOptions& options = {});

// The master dark StackDarkFrames makes from PreparedDarks.
std::vector<std::uint8_t> MakeMasterDark(int frames, const sim::DarkFrameOptions& options = {});

}  // namespace ktal::testing
