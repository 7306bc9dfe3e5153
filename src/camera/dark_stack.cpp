// SPDX-License-Identifier: GPL-3.0-or-later
// Dark preparation and artificial-skepticism stacking.
//
// The stack runs four pixels to a vector, one pixel per lane: every lane
// does exactly the single-precision operations, in exactly the order, that
// its pixel alone would get (sums in frame order, true divisions, no fused
// multiply-add), so the bytes do not depend on how pixels are grouped into
// vectors, blocks or threads.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <thread>
#include <vector>

#include "camera/dark_frames.h"

// KTAL_PORTABLE_VECTORS builds the plain version on any processor, so that
// it can be tested where SSE2 is there.
#if (defined(__SSE2__) || defined(_M_X64)) && !defined(KTAL_PORTABLE_VECTORS)
#include <emmintrin.h>
#define KTAL_STACK_SSE2 1
#endif

namespace ktal {

void PrepareDarkFrame(const std::uint8_t* downloaded, std::uint8_t* output) {
  for (int i = 0; i < kFrameBytes; ++i) {
    const int v = downloaded[i] - kDarkPedestal;
    output[i] = static_cast<std::uint8_t>(v < 0 ? 0 : v);
  }
}

namespace {

constexpr int kTile = 16;
constexpr int kLanes = 4;

// Four float lanes: SSE2 where there is one, plain arrays elsewhere. Only
// correctly rounded IEEE operations are used, so both give the same bits.
#ifdef KTAL_STACK_SSE2
struct Vec {
  __m128 v;
};
inline Vec Load(const float* p) { return {_mm_loadu_ps(p)}; }
inline void Store(Vec a, float* p) { _mm_storeu_ps(p, a.v); }
inline Vec Splat(float f) { return {_mm_set1_ps(f)}; }
inline Vec operator+(Vec a, Vec b) { return {_mm_add_ps(a.v, b.v)}; }
inline Vec operator-(Vec a, Vec b) { return {_mm_sub_ps(a.v, b.v)}; }
inline Vec operator*(Vec a, Vec b) { return {_mm_mul_ps(a.v, b.v)}; }
inline Vec operator/(Vec a, Vec b) { return {_mm_div_ps(a.v, b.v)}; }
inline Vec Sqrt(Vec a) { return {_mm_sqrt_ps(a.v)}; }
inline Vec Abs(Vec a) { return {_mm_andnot_ps(_mm_set1_ps(-0.0f), a.v)}; }
// Lanes that are NaN or below 0 become 0, lanes above 255 become 255.
inline Vec ClampToByteRange(Vec a) {
  return {_mm_min_ps(_mm_max_ps(a.v, _mm_setzero_ps()), _mm_set1_ps(255.0f))};
}
inline void StoreTruncated(Vec a, int* out) {
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_cvttps_epi32(a.v));
}
// Bytes of 16 pixels of one frame as four vectors of floats.
inline void Widen16(const std::uint8_t* bytes, float* out) {
  const __m128i raw = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes));
  const __m128i zero = _mm_setzero_si128();
  const __m128i lo = _mm_unpacklo_epi8(raw, zero);
  const __m128i hi = _mm_unpackhi_epi8(raw, zero);
  _mm_storeu_ps(out + 0, _mm_cvtepi32_ps(_mm_unpacklo_epi16(lo, zero)));
  _mm_storeu_ps(out + 4, _mm_cvtepi32_ps(_mm_unpackhi_epi16(lo, zero)));
  _mm_storeu_ps(out + 8, _mm_cvtepi32_ps(_mm_unpacklo_epi16(hi, zero)));
  _mm_storeu_ps(out + 12, _mm_cvtepi32_ps(_mm_unpackhi_epi16(hi, zero)));
}
#else
struct Vec {
  float v[kLanes];
};
template <typename F>
inline Vec Map(F f) {
  Vec r;
  for (int k = 0; k < kLanes; ++k) r.v[k] = f(k);
  return r;
}
inline Vec Load(const float* p) {
  return Map([&](int k) { return p[k]; });
}
inline void Store(Vec a, float* p) {
  for (int k = 0; k < kLanes; ++k) p[k] = a.v[k];
}
inline Vec Splat(float f) {
  return Map([&](int) { return f; });
}
inline Vec operator+(Vec a, Vec b) {
  return Map([&](int k) { return a.v[k] + b.v[k]; });
}
inline Vec operator-(Vec a, Vec b) {
  return Map([&](int k) { return a.v[k] - b.v[k]; });
}
inline Vec operator*(Vec a, Vec b) {
  return Map([&](int k) { return a.v[k] * b.v[k]; });
}
inline Vec operator/(Vec a, Vec b) {
  return Map([&](int k) { return a.v[k] / b.v[k]; });
}
inline Vec Sqrt(Vec a) {
  return Map([&](int k) { return std::sqrt(a.v[k]); });
}
inline Vec Abs(Vec a) {
  return Map([&](int k) { return std::fabs(a.v[k]); });
}
inline Vec ClampToByteRange(Vec a) {
  return Map([&](int k) {
    const float f = a.v[k];
    return f > 255.0f ? 255.0f : (f >= 0.0f ? f : 0.0f);
  });
}
inline void StoreTruncated(Vec a, int* out) {
  for (int k = 0; k < kLanes; ++k) out[k] = static_cast<int>(a.v[k]);
}
inline void Widen16(const std::uint8_t* bytes, float* out) {
  for (int k = 0; k < kTile; ++k) out[k] = static_cast<float>(bytes[k]);
}
#endif

struct StackSettings {
  int iterations;
  float readNoiseSquared;
  float gain;
};

// Pixels are stacked a block at a time; the samples of one block stay in
// the first-level cache through all passes.
constexpr int kBlock = 128;

// A thread's working memory.
struct Scratch {
  explicit Scratch(int n)
      : samples(static_cast<std::size_t>(n) * kBlock),
        moving(static_cast<std::size_t>(n) * kBlock) {}
  std::vector<float> samples;  // n rows of kBlock pixels, frame 1 first
  std::vector<float> moving;   // the same for the pixels still moving, packed
  float estimate[kBlock];
  float next[kBlock];
  int index[kBlock];  // block position of each packed pixel
};

// One reweighting pass over `vectors` x kLanes pixels whose samples lie in
// n rows of `stride` floats: next = the weighted mean around `estimate`.
void ReweightPass(const StackSettings& settings, int n, const float* samples, int stride,
                  int vectors, const float* estimate, float* next) {
  const Vec gain = Splat(settings.gain);
  const Vec readNoiseSquared = Splat(settings.readNoiseSquared);
  const Vec one = Splat(1.0f);
  for (int v = 0; v < vectors; ++v) {
    const Vec e = Load(estimate + v * kLanes);
    const Vec sigma = Sqrt(e * gain + readNoiseSquared) / gain;
    Vec weightSum = Splat(0.0f);
    Vec weightedSum = Splat(0.0f);
    for (int j = 0; j < n; ++j) {
      const Vec q = Load(samples + j * stride + v * kLanes);
      const Vec r = Abs(q - e) / sigma;
      const Vec w = one / ((r * r + one) * sigma * sigma);
      weightSum = weightSum + w;
      weightedSum = weightedSum + w * q;
    }
    Store(weightedSum / weightSum, next + v * kLanes);
  }
}

// Stacks the `count` (at most kBlock) pixels from `first` on.
void StackBlock(const StackSettings& settings, int n, const std::uint8_t* const* frames,
                std::uint8_t* output, int first, int count, Scratch& s) {
  std::uint8_t padded[kTile];
  for (int j = 0; j < n; ++j) {
    for (int c = 0; c < count; c += kTile) {
      const std::uint8_t* source = frames[j] + first + c;
      if (count - c < kTile) {
        // The frame's last pixels: zero lanes are stacked and thrown away.
        std::memset(padded, 0, sizeof padded);
        std::memcpy(padded, source, static_cast<std::size_t>(count - c));
        source = padded;
      }
      Widen16(source, s.samples.data() + j * kBlock + c);
    }
  }
  const int vectors = (count + kLanes - 1) / kLanes;
  const Vec frameCount = Splat(static_cast<float>(n));
  for (int v = 0; v < vectors; ++v) {
    Vec sum = Splat(0.0f);
    for (int j = 0; j < n; ++j) sum = sum + Load(s.samples.data() + j * kBlock + v * kLanes);
    Store(sum / frameCount, s.estimate + v * kLanes);
  }

  // Every pixel gets the first pass; after that only the pixels still
  // moving are packed together and passed again, so that a few slow pixels
  // do not hold up whole vectors of settled ones.
  int moving = 0;
  for (int pass = 0; pass < settings.iterations; ++pass) {
    if (pass == 0) {
      ReweightPass(settings, n, s.samples.data(), kBlock, vectors, s.estimate, s.next);
      for (int k = 0; k < count; ++k) {
        const float next = s.next[k];
        const bool settled = std::fabs(s.estimate[k] - next) < 0.1f;
        s.estimate[k] = next;
        if (!settled) s.index[moving++] = k;
      }
    } else {
      const int packedVectors = (moving + kLanes - 1) / kLanes;
      float packedEstimate[kBlock];
      for (int j = 0; j < n; ++j) {
        const float* row = s.samples.data() + j * kBlock;
        float* packed = s.moving.data() + j * kBlock;
        for (int k = 0; k < moving; ++k) packed[k] = row[s.index[k]];
        for (int k = moving; k < packedVectors * kLanes; ++k) packed[k] = 0.0f;
      }
      for (int k = 0; k < moving; ++k) packedEstimate[k] = s.estimate[s.index[k]];
      for (int k = moving; k < packedVectors * kLanes; ++k) packedEstimate[k] = 0.0f;
      ReweightPass(settings, n, s.moving.data(), kBlock, packedVectors, packedEstimate, s.next);
      int stillMoving = 0;
      for (int k = 0; k < moving; ++k) {
        const int at = s.index[k];
        const float next = s.next[k];
        const bool settled = std::fabs(s.estimate[at] - next) < 0.1f;
        s.estimate[at] = next;
        if (!settled) s.index[stillMoving++] = at;
      }
      moving = stillMoving;
    }
    if (moving == 0) break;
  }

  int result[kLanes];
  const Vec half = Splat(0.5f);
  for (int v = 0; v < vectors; ++v) {
    StoreTruncated(ClampToByteRange(Load(s.estimate + v * kLanes)) + half, result);
    for (int k = 0; k < kLanes && v * kLanes + k < count; ++k) {
      output[first + v * kLanes + k] = static_cast<std::uint8_t>(result[k]);
    }
  }
}

// Stacks pixels [begin, end).
void StackBand(const StackSettings& settings, int n, const std::uint8_t* const* frames,
               std::uint8_t* output, int begin, int end, Scratch& scratch) {
  for (int i = begin; i < end; i += kBlock) {
    StackBlock(settings, n, frames, output, i, std::min(kBlock, end - i), scratch);
  }
}

// Below this, starting a thread costs more than it saves.
constexpr int kPixelsPerExtraThread = 32 * 1024;

}  // namespace

int StackDarkFramesOnThreads(int threads, int iterations, float readNoise, float gain, int n,
                             const std::uint8_t* const* frames, std::uint8_t* output,
                             int pixelCount) {
  if (n < 1) return 1;
  if (pixelCount <= 0) return 0;
  if (n == 1) {
    std::memcpy(output, frames[0], static_cast<std::size_t>(pixelCount));
    return 0;
  }
  threads = std::clamp(threads, 1, (pixelCount + kBlock - 1) / kBlock);

  std::vector<Scratch> scratch;
  std::vector<std::thread> helpers;
  std::vector<int> leftOver;
  try {
    scratch.reserve(static_cast<std::size_t>(threads));
    for (int t = 0; t < threads; ++t) scratch.emplace_back(n);
    helpers.reserve(static_cast<std::size_t>(threads));
    leftOver.reserve(static_cast<std::size_t>(threads));
  } catch (const std::bad_alloc&) {
    return 2;
  }

  const StackSettings settings{iterations, readNoise * readNoise, gain};
  // Bands of whole blocks, so that only the frame's last block is partial.
  const int blocks = (pixelCount + kBlock - 1) / kBlock;
  const int blocksPerBand = (blocks + threads - 1) / threads;
  auto band = [&](int t) {
    const int begin = std::min(pixelCount, t * blocksPerBand * kBlock);
    const int end = std::min(pixelCount, (t + 1) * blocksPerBand * kBlock);
    StackBand(settings, n, frames, output, begin, end, scratch[static_cast<std::size_t>(t)]);
  };

  for (int t = 1; t < threads; ++t) {
    try {
      helpers.emplace_back(band, t);
    } catch (const std::exception&) {
      // No thread to be had: this thread does that band as well.
      leftOver.push_back(t);
    }
  }
  band(0);
  for (int t : leftOver) band(t);
  for (std::thread& helper : helpers) helper.join();
  return 0;
}

int StackDarkFrames(int iterations, float readNoise, float gain, int n,
                    const std::uint8_t* const* frames, std::uint8_t* output, int pixelCount) {
  int threads = static_cast<int>(std::thread::hardware_concurrency());
  threads = std::clamp(threads, 1, std::max(1, pixelCount / kPixelsPerExtraThread));
  return StackDarkFramesOnThreads(threads, iterations, readNoise, gain, n, frames, output,
                                  pixelCount);
}

}  // namespace ktal
