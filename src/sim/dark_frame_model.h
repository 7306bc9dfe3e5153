// SPDX-License-Identifier: GPL-3.0-or-later
// Dark frames of the simulated guiding camera, made for testing dark
// stacking and the hot-pixel search.
//
// A frame is what the camera downloads: 752 x 582 unsigned bytes, row 0
// first. Each pixel is
//     bias + (darkCurrent + its own hot-pixel current) x seconds
// plus shot noise of that dark signal and read noise (both as electrons,
// through the gain), rounded and clamped to 0..255; then the cosmic-ray
// hits of that frame are added on top, saturating at 255.
//
// - The hot pixels are fixed: the same on every frame and for every seed.
//   They are single ones, side-by-side and stacked pairs, small clusters (a
//   2 x 2 block, an L, a cross whose centre has no usable neighbour, a row
//   of three), pixels on all four edges and in three corners (one of them
//   with hot right and lower neighbours), some saturating, and a tail of
//   warm pixels down into the noise, so that the choice of the N-th
//   brightest matters.
// - Noise and cosmic rays differ from frame to frame and are reproducible:
//   frame k of a series depends only on k, the exposure time and the
//   options, and is the same byte for byte on every machine (integer
//   hashing and IEEE arithmetic only; no library random numbers).
//
// The simulated camera serves these frames (frame k is its (k+1)-th
// exposure); tests and benchmarks of the image functions make the same
// frames here without a guider.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace ktal::sim {

inline constexpr int kSensorWidth = 752;
inline constexpr int kSensorHeight = 582;
inline constexpr int kSensorPixels = kSensorWidth * kSensorHeight;
// The dark-frame run exposes 62500 ticks of 64 us.
inline constexpr double kDarkExposureSeconds = 4.0;

struct DarkFrameOptions {
  // Noise and cosmic rays; the hot pixels do not depend on it.
  std::uint32_t seed = 1;
  // Pixel units at zero exposure.
  double bias = 10.0;
  // Pixel units per second, every pixel.
  double darkCurrent = 0.5;
  double readNoiseElectrons = 7.5;
  // Electrons per pixel unit.
  double gain = 2.77;
  // Hits per second of exposure (20 on a 4-second frame).
  double cosmicRaysPerSecond = 5.0;
};

struct HotPixel {
  int x = 0;
  int y = 0;
  // Mean value above the background on a 4-second frame (pixel units);
  // its dark current scales with the exposure time.
  double excess = 0;
  // Pixels of one pair or cluster share a group; a single pixel has a
  // group of its own.
  int group = 0;
};

// One pixel a cosmic ray hit in a frame, and what it added.
struct CosmicRayHit {
  int x = 0;
  int y = 0;
  int added = 0;
};

class DarkFrameModel {
 public:
  explicit DarkFrameModel(DarkFrameOptions options = {});

  const DarkFrameOptions& options() const { return options_; }
  // Every hot pixel, in no particular order.
  const std::vector<HotPixel>& hot_pixels() const { return hot_; }

  // The mean value of pixel (x, y) on a frame of `seconds`, before noise,
  // cosmic rays, rounding and clamping: what a perfect stack tends to.
  double MeanLevel(int x, int y, double seconds = kDarkExposureSeconds) const;

  // Frame k (0, 1, ...) of a series into `out` (kSensorPixels bytes).
  void MakeFrame(int k, double seconds, std::uint8_t* out) const;
  std::vector<std::uint8_t> Frame(int k, double seconds = kDarkExposureSeconds) const;
  // The top-left `width` x `height` pixels of frame k (at most the
  // sensor's), row by row: the same values as Frame, without making the
  // whole frame for a small exposure.
  std::vector<std::uint8_t> Window(int k, double seconds, int width, int height) const;

  // The pixels cosmic rays hit in frame k (a pixel may appear twice).
  std::vector<CosmicRayHit> CosmicRays(int k, double seconds = kDarkExposureSeconds) const;

 private:
  // Standard deviation of a pixel whose mean dark signal (above the bias)
  // is `signal` pixel units.
  double Sigma(double signal) const;

  DarkFrameOptions options_;
  std::vector<HotPixel> hot_;
};

}  // namespace ktal::sim
