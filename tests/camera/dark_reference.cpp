#include "tests/camera/dark_reference.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <random>
#include <utility>

namespace ktal::reference {

int StackDarkFrames(int iterations, float readNoise, float gain, int n,
                    const std::uint8_t* const* frames, std::uint8_t* output, int pixelCount) {
  if (n < 1) return 1;
  if (n == 1) {
    std::memcpy(output, frames[0], static_cast<std::size_t>(pixelCount));
    return 0;
  }
  std::vector<std::uint8_t> q;
  try {
    q.resize(static_cast<std::size_t>(n));
  } catch (const std::bad_alloc&) {
    return 2;
  }
  const float readNoiseSquared = readNoise * readNoise;
  for (int i = 0; i < pixelCount; ++i) {
    for (int j = 0; j < n; ++j) q[j] = frames[j][i];
    float sum = 0.0f;
    for (int j = 0; j < n; ++j) sum += q[j];
    const float mean = sum / n;
    float result = mean;
    if (iterations >= 1) {
      float e = mean;
      for (int pass = 0; pass < iterations; ++pass) {
        const float s = std::sqrt(e * gain + readNoiseSquared) / gain;
        float weights = 0.0f;
        float weighted = 0.0f;
        for (int j = 0; j < n; ++j) {
          const float r = std::fabs(q[j] - e) / s;
          const float w = 1.0f / ((r * r + 1.0f) * s * s);
          weights += w;
          weighted += w * q[j];
        }
        const float next = weighted / weights;
        const bool settled = std::fabs(e - next) < 0.1f;
        e = next;
        if (settled) break;
      }
      result = e;
    }
    output[i] = static_cast<std::uint8_t>(std::floor(result + 0.5f));
  }
  return 0;
}

HotPixelList FindHotPixels(const std::uint8_t* image, int w, int h, int n) {
  HotPixelList list{};
  auto listed = [&](int index) {
    for (int k = 0; k < list.count; ++k) {
      if (list.y[k] * w + list.x[k] == index) return true;
    }
    return false;
  };
  for (int k = 0; k < n; ++k) {
    int best = -1;
    int bestIndex = -1;
    for (int index = 0; index < w * h; ++index) {
      if (image[index] > best && !listed(index)) {
        best = image[index];
        bestIndex = index;
      }
    }
    list.x[list.count] = bestIndex % w;
    list.y[list.count] = bestIndex / w;
    list.flags[list.count] = 15;
    ++list.count;
  }
  for (int a = 0; a < list.count; ++a) {
    if (list.x[a] == 0) list.flags[a] &= ~4;
    if (list.y[a] == 0) list.flags[a] &= ~1;
    if (list.x[a] == w - 1) list.flags[a] &= ~8;
    if (list.y[a] == h - 1) list.flags[a] &= ~2;
    for (int b = 0; b < list.count; ++b) {
      if (list.y[b] == list.y[a] && list.x[b] == list.x[a] + 1) {
        list.flags[a] &= ~8;
        list.flags[b] &= ~4;
      }
      if (list.y[b] == list.y[a] && list.x[b] == list.x[a] - 1) {
        list.flags[a] &= ~4;
        list.flags[b] &= ~8;
      }
      if (list.x[b] == list.x[a] && list.y[b] == list.y[a] + 1) {
        list.flags[a] &= ~2;
        list.flags[b] &= ~1;
      }
      if (list.x[b] == list.x[a] && list.y[b] == list.y[a] - 1) {
        list.flags[a] &= ~1;
        list.flags[b] &= ~2;
      }
    }
  }
  for (int pass = 0; pass < list.count; ++pass) {
    for (int k = 0; k + 1 < list.count; ++k) {
      if (list.y[k] > list.y[k + 1]) {
        std::swap(list.x[k], list.x[k + 1]);
        std::swap(list.y[k], list.y[k + 1]);
        std::swap(list.flags[k], list.flags[k + 1]);
      }
    }
  }
  return list;
}

}  // namespace ktal::reference

namespace ktal::testing {
namespace {

// Uniform and normal draws of our own: the standard distributions may give
// other numbers on another library, and the frames should not change.
class Noise {
 public:
  explicit Noise(std::uint32_t seed) : engine_(seed) {}
  double Uniform() { return (engine_() >> 8) * (1.0 / 16777216.0); }
  int Below(int n) { return static_cast<int>(Uniform() * n); }
  double Normal() {
    const double u = 1.0 - Uniform();
    return std::sqrt(-2.0 * std::log(u)) * std::cos(6.283185307179586 * Uniform());
  }

 private:
  std::mt19937 engine_;
};

struct HotSpot {
  int x;
  int y;
  double level;  // dark signal in pixel units per exposure
};

}  // namespace

std::vector<std::vector<std::uint8_t>> MakeDarkSeries(int frames, int w, int h,
                                                      std::uint32_t seed) {
  Noise noise(seed);
  const double gain = kGain;
  const double readNoise = kReadNoise / kGain;  // in pixel units
  const double bias = kDarkPedestal + 6.0;

  // Dark signal per pixel, the same in every frame.
  std::vector<double> dark(static_cast<std::size_t>(w) * h);
  std::vector<double> column(static_cast<std::size_t>(w));
  for (double& c : column) c = 0.6 * noise.Normal();
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      const double dx = (w - 1 - x) / double(w), dy = (h - 1 - y) / double(h);
      const double glow = 14.0 * std::exp(-6.0 * std::sqrt(dx * dx + dy * dy));
      dark[static_cast<std::size_t>(y) * w + x] =
          std::max(0.0, 2.5 + glow + column[x] + 0.4 * noise.Normal());
    }
  }
  std::vector<HotSpot> hot;
  auto level = [&] { return 12.0 * std::pow(20.0, noise.Uniform()); };  // 12 .. 240
  auto place = [&](int x, int y, double value) {
    if (x >= 0 && y >= 0 && x < w && y < h) hot.push_back({x, y, value});
  };
  const int area = w * h;
  for (int k = 0; k < area / 2500 + 4; ++k) place(noise.Below(w), noise.Below(h), level());
  for (int k = 0; k < area / 15000 + 2; ++k) {  // pairs, across and down
    const int x = noise.Below(w), y = noise.Below(h);
    place(x, y, level());
    if (k % 2 == 0) place(x + 1, y, level()); else place(x, y + 1, level());
  }
  for (int k = 0; k < area / 40000 + 2; ++k) {  // clusters of three and four
    const int x = noise.Below(w), y = noise.Below(h);
    place(x, y, level());
    place(x + 1, y, level());
    place(x, y + 1, level());
    if (k % 2 == 0) place(x + 1, y + 1, level());
  }
  for (int k = 0; k < area / 50000 + 2; ++k) {  // on the edges
    place(0, noise.Below(h), level());
    place(w - 1, noise.Below(h), level());
    place(noise.Below(w), 0, level());
    place(noise.Below(w), h - 1, level());
  }
  place(0, 0, level());
  place(1, 0, level());
  place(w - 1, h - 1, 300.0);  // saturates
  for (int k = 0; k < 3; ++k) place(noise.Below(w), noise.Below(h), 300.0);
  for (const HotSpot& spot : hot) dark[static_cast<std::size_t>(spot.y) * w + spot.x] += spot.level;

  std::vector<std::vector<std::uint8_t>> series(static_cast<std::size_t>(frames));
  for (auto& frame : series) {
    std::vector<double> value(dark.size());
    for (std::size_t i = 0; i < dark.size(); ++i) {
      const double shot = std::sqrt(dark[i] * gain) / gain;
      value[i] = bias + dark[i] + shot * noise.Normal() + readNoise * noise.Normal();
    }
    // Cosmic rays: single hits and short tracks, anywhere, a new set each frame.
    const int hits = area / 12000 + 3;
    for (int k = 0; k < hits; ++k) {
      int x = noise.Below(w), y = noise.Below(h);
      const int length = 1 + noise.Below(4);
      const int dx = noise.Below(3) - 1, dy = noise.Below(3) - 1;
      const double energy = 40.0 + 250.0 * noise.Uniform();
      for (int step = 0; step < length; ++step, x += dx, y += dy) {
        if (x >= 0 && y >= 0 && x < w && y < h) {
          value[static_cast<std::size_t>(y) * w + x] += energy * (0.5 + 0.5 * noise.Uniform());
        }
      }
    }
    frame.resize(dark.size());
    for (std::size_t i = 0; i < dark.size(); ++i) {
      frame[i] = static_cast<std::uint8_t>(std::clamp(std::lround(value[i]), 0L, 255L));
    }
  }
  return series;
}

std::vector<std::uint8_t> MakeMasterDark(int frames, std::uint32_t seed) {
  auto series = MakeDarkSeries(frames, kFrameWidth, kFrameHeight, seed);
  std::vector<const std::uint8_t*> pointers;
  for (auto& frame : series) {
    PrepareDarkFrame(frame.data(), frame.data());
    pointers.push_back(frame.data());
  }
  std::vector<std::uint8_t> master(kFramePixels);
  ktal::StackDarkFrames(kStackIterations, kReadNoise, kGain, frames, pointers.data(), master.data(),
                        kFramePixels);
  return master;
}

}  // namespace ktal::testing
