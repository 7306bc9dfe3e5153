// SPDX-License-Identifier: GPL-3.0-or-later
#include "sim/dark_frame_model.h"

#include <algorithm>
#include <cmath>

namespace ktal::sim {
namespace {

struct Placed {
  int x;
  int y;
  double excess;
};

// The hand-placed groups, each a list of pixels with their excess at 4 s.
// The background is about 12 there, so an excess of 243 or more saturates.
const std::vector<std::vector<Placed>>& PlacedGroups() {
  static const std::vector<std::vector<Placed>> groups = {
      // Single ones; the first two share a row, the brighter on the right.
      {{600, 100, 180}},
      {{20, 100, 90}},
      {{375, 290, 255}},
      {{123, 456, 240}},
      // Pairs: side by side, and one above the other.
      {{300, 200, 150}, {301, 200, 110}},
      {{450, 400, 130}, {450, 401, 125}},
      // Clusters: a 2 x 2 block, an L, a cross whose centre has no usable
      // neighbour, a row of three.
      {{100, 500, 160}, {101, 500, 140}, {100, 501, 120}, {101, 501, 100}},
      {{640, 50, 170}, {641, 50, 95}, {640, 51, 85}},
      {{500, 250, 220}, {499, 250, 75}, {501, 250, 70}, {500, 249, 65}, {500, 251, 60}},
      {{200, 300, 145}, {201, 300, 135}, {202, 300, 115}},
      // Edges and corners; the top-left corner has hot right and lower
      // neighbours.
      {{0, 0, 200}, {1, 0, 105}, {0, 1, 80}},
      {{751, 581, 190}},
      {{751, 0, 55}},
      {{0, 333, 175}},
      {{751, 120, 165}},
      {{400, 0, 155}},
      {{222, 581, 150}},
  };
  return groups;
}

// The warm tail: single pixels at scattered places, each dimmer than the
// one before, from well above the noise down into it.
constexpr int kWarmPixels = 60;
constexpr double kWarmBrightest = 140;
constexpr double kWarmStep = 0.94;
constexpr std::uint64_t kLayoutKey = 0x4B54616C486F7450ull;

std::uint64_t SplitMix(std::uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

// A standard normal value from one hash: four 16-bit uniforms summed
// (Irwin-Hall), exact in double arithmetic, the same everywhere.
double Normal(std::uint64_t h) {
  const double sum =
      static_cast<double>((h & 0xFFFF) + ((h >> 16) & 0xFFFF) + ((h >> 32) & 0xFFFF) + (h >> 48));
  constexpr double kMean = 4 * 65535 / 2.0;
  constexpr double kSigma = 37837.226;  // 65536 x sqrt(4 / 12)
  return (sum - kMean) / kSigma;
}

std::uint8_t ToByte(double value) {
  return static_cast<std::uint8_t>(std::clamp(std::floor(value + 0.5), 0.0, 255.0));
}

bool Near(const std::vector<HotPixel>& hot, int x, int y) {
  return std::any_of(hot.begin(), hot.end(), [x, y](const HotPixel& p) {
    return std::abs(p.x - x) <= 1 && std::abs(p.y - y) <= 1;
  });
}

// The frame's own key: noise and hits of frame k are drawn from it.
std::uint64_t FrameKey(std::uint32_t seed, int k, std::uint64_t purpose) {
  return SplitMix(
      SplitMix((static_cast<std::uint64_t>(seed) << 32) ^ static_cast<std::uint32_t>(k)) ^ purpose);
}

}  // namespace

DarkFrameModel::DarkFrameModel(DarkFrameOptions options) : options_(options) {
  int group = 0;
  for (const auto& placed : PlacedGroups()) {
    for (const Placed& p : placed) hot_.push_back({p.x, p.y, p.excess, group});
    ++group;
  }
  std::uint64_t h = kLayoutKey;
  double excess = kWarmBrightest;
  for (int made = 0; made < kWarmPixels;) {
    h = SplitMix(h);
    // Away from the edges and from every other hot pixel, so that each is
    // a single one.
    const int x = 2 + static_cast<int>(h % (kSensorWidth - 4));
    const int y = 2 + static_cast<int>((h >> 20) % (kSensorHeight - 4));
    if (Near(hot_, x, y)) continue;
    hot_.push_back({x, y, excess, group++});
    excess *= kWarmStep;
    ++made;
  }
}

double DarkFrameModel::Sigma(double signal) const {
  const double electrons = std::max(signal, 0.0) * options_.gain;
  const double read = options_.readNoiseElectrons;
  return std::sqrt(electrons + read * read) / options_.gain;
}

double DarkFrameModel::MeanLevel(int x, int y, double seconds) const {
  double rate = options_.darkCurrent;
  for (const HotPixel& p : hot_) {
    if (p.x == x && p.y == y) rate += p.excess / kDarkExposureSeconds;
  }
  return options_.bias + rate * seconds;
}

std::vector<CosmicRayHit> DarkFrameModel::CosmicRays(int k, double seconds) const {
  std::vector<CosmicRayHit> hits;
  const auto count = static_cast<int>(std::floor(options_.cosmicRaysPerSecond * seconds + 0.5));
  const std::uint64_t key = FrameKey(options_.seed, k, 0xC05A1C);
  for (int j = 0; j < count; ++j) {
    const std::uint64_t h = SplitMix(key + static_cast<std::uint64_t>(j));
    const int x = static_cast<int>(h % kSensorWidth);
    const int y = static_cast<int>((h >> 16) % kSensorHeight);
    const int value = 40 + static_cast<int>((h >> 32) % 216);
    // Most hits are a single pixel; some leave a short track.
    int dx = 0;
    int dy = 0;
    int length = 1;
    switch ((h >> 48) % 10) {
      case 6:
        dx = 1, length = 2;
        break;
      case 7:
        dy = 1, length = 2;
        break;
      case 8:
        dx = 1, dy = 1, length = 2;
        break;
      case 9:
        dx = 1, length = 3 + static_cast<int>((h >> 60) & 1);
        break;
      default:
        break;
    }
    for (int i = 0; i < length; ++i) {
      const int px = x + i * dx;
      const int py = y + i * dy;
      if (px >= kSensorWidth || py >= kSensorHeight) break;
      hits.push_back({px, py, i == 0 ? value : value * 3 / 5});
    }
  }
  return hits;
}

void DarkFrameModel::MakeFrame(int k, double seconds, std::uint8_t* out) const {
  const std::uint64_t key = FrameKey(options_.seed, k, 0x401CE);
  const double background = options_.darkCurrent * seconds;
  const double mean = options_.bias + background;
  const double sigma = Sigma(background);
  for (int i = 0; i < kSensorPixels; ++i) {
    out[i] = ToByte(mean + sigma * Normal(SplitMix(key + static_cast<std::uint64_t>(i))));
  }
  for (const HotPixel& p : hot_) {
    const int i = p.y * kSensorWidth + p.x;
    const double signal = background + p.excess / kDarkExposureSeconds * seconds;
    out[i] = ToByte(options_.bias + signal +
                    Sigma(signal) * Normal(SplitMix(key + static_cast<std::uint64_t>(i))));
  }
  for (const CosmicRayHit& hit : CosmicRays(k, seconds)) {
    std::uint8_t& pixel = out[hit.y * kSensorWidth + hit.x];
    pixel = static_cast<std::uint8_t>(std::min(255, pixel + hit.added));
  }
}

std::vector<std::uint8_t> DarkFrameModel::Window(int k, double seconds, int width,
                                                 int height) const {
  width = std::clamp(width, 0, kSensorWidth);
  height = std::clamp(height, 0, kSensorHeight);
  std::vector<std::uint8_t> out(static_cast<std::size_t>(width * height));
  const auto inside = [&](int x, int y) { return x < width && y < height; };
  const auto at = [&](int x, int y) -> std::uint8_t& {
    return out[static_cast<std::size_t>(y * width + x)];
  };
  const std::uint64_t key = FrameKey(options_.seed, k, 0x401CE);
  const double background = options_.darkCurrent * seconds;
  const double mean = options_.bias + background;
  const double sigma = Sigma(background);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const int i = y * kSensorWidth + x;
      at(x, y) = ToByte(mean + sigma * Normal(SplitMix(key + static_cast<std::uint64_t>(i))));
    }
  }
  for (const HotPixel& p : hot_) {
    if (!inside(p.x, p.y)) continue;
    const int i = p.y * kSensorWidth + p.x;
    const double signal = background + p.excess / kDarkExposureSeconds * seconds;
    at(p.x, p.y) = ToByte(options_.bias + signal +
                          Sigma(signal) * Normal(SplitMix(key + static_cast<std::uint64_t>(i))));
  }
  for (const CosmicRayHit& hit : CosmicRays(k, seconds)) {
    if (!inside(hit.x, hit.y)) continue;
    std::uint8_t& pixel = at(hit.x, hit.y);
    pixel = static_cast<std::uint8_t>(std::min(255, pixel + hit.added));
  }
  return out;
}

std::vector<std::uint8_t> DarkFrameModel::Frame(int k, double seconds) const {
  std::vector<std::uint8_t> frame(kSensorPixels);
  MakeFrame(k, seconds, frame.data());
  return frame;
}

}  // namespace ktal::sim
