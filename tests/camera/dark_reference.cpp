// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/camera/dark_reference.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
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

std::vector<std::vector<std::uint8_t>> PreparedDarks(int frames,
                                                     const sim::DarkFrameOptions& options) {
  const sim::DarkFrameModel camera(options);
  std::vector<std::vector<std::uint8_t>> series;
  for (int k = 0; k < frames; ++k) {
    series.push_back(camera.Frame(k));
    PrepareDarkFrame(series.back().data(), series.back().data());
  }
  return series;
}

std::vector<std::uint8_t> MakeMasterDark(int frames, const sim::DarkFrameOptions& options) {
  const auto series = PreparedDarks(frames, options);
  std::vector<const std::uint8_t*> pointers;
  for (const auto& frame : series) pointers.push_back(frame.data());
  std::vector<std::uint8_t> master(kFrameBytes);
  ktal::StackDarkFrames(kStackIterations, kReadNoise, kGain, frames, pointers.data(), master.data(),
                        kFrameBytes);
  return master;
}

}  // namespace ktal::testing
