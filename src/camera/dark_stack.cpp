// Dark preparation and artificial-skepticism stacking.
//
// The stack works on tiles of 16 neighbouring pixels, one pixel per vector
// lane: every lane does exactly the single-precision operations, in exactly
// the order, that one pixel on its own would get (sums in frame order, no
// reciprocal tricks, no fused multiply-add), so the result does not depend
// on the tiling or on how many threads share the frame.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <thread>
#include <vector>

#include "camera/dark_frames.h"

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define KTAL_STACK_SSE2 1
#endif

namespace ktal {

void PrepareDarkFrame(const std::uint8_t* downloaded, std::uint8_t* output) {
  for (int i = 0; i < kFramePixels; ++i) {
    const int v = downloaded[i] - kDarkPedestal;
    output[i] = static_cast<std::uint8_t>(v < 0 ? 0 : v);
  }
}

namespace {

constexpr int kTile = 16;
constexpr int kLanes = 4;
constexpr int kVectors = kTile / kLanes;

// Four float lanes: SSE2 where there is one, plain arrays elsewhere. Only
// correctly rounded IEEE operations are used, so both give the same bits.
#ifdef KTAL_STACK_SSE2
struct Vec {
  __m128 v;
};
inline Vec Load(const float* p) { return {_mm_loadu_ps(p)}; }
inline Vec Splat(float f) { return {_mm_set1_ps(f)}; }
inline Vec operator+(Vec a, Vec b) { return {_mm_add_ps(a.v, b.v)}; }
inline Vec operator-(Vec a, Vec b) { return {_mm_sub_ps(a.v, b.v)}; }
inline Vec operator*(Vec a, Vec b) { return {_mm_mul_ps(a.v, b.v)}; }
inline Vec operator/(Vec a, Vec b) { return {_mm_div_ps(a.v, b.v)}; }
inline Vec Sqrt(Vec a) { return {_mm_sqrt_ps(a.v)}; }
inline Vec Abs(Vec a) { return {_mm_andnot_ps(_mm_set1_ps(-0.0f), a.v)}; }
// All-ones lanes where a < b.
inline Vec Less(Vec a, Vec b) { return {_mm_cmplt_ps(a.v, b.v)}; }
inline Vec AndNot(Vec mask, Vec a) { return {_mm_andnot_ps(mask.v, a.v)}; }
inline Vec Select(Vec mask, Vec a, Vec b) {
  return {_mm_or_ps(_mm_and_ps(mask.v, a.v), _mm_andnot_ps(mask.v, b.v))};
}
inline bool Any(Vec mask) { return _mm_movemask_ps(mask.v) != 0; }
inline Vec AllSet() { return {_mm_castsi128_ps(_mm_set1_epi32(-1))}; }
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
inline float Bits(std::uint32_t u) {
  float f;
  std::memcpy(&f, &u, sizeof f);
  return f;
}
inline std::uint32_t Bits(float f) {
  std::uint32_t u;
  std::memcpy(&u, &f, sizeof u);
  return u;
}
inline Vec Load(const float* p) { return Map([&](int k) { return p[k]; }); }
inline Vec Splat(float f) { return Map([&](int) { return f; }); }
inline Vec operator+(Vec a, Vec b) { return Map([&](int k) { return a.v[k] + b.v[k]; }); }
inline Vec operator-(Vec a, Vec b) { return Map([&](int k) { return a.v[k] - b.v[k]; }); }
inline Vec operator*(Vec a, Vec b) { return Map([&](int k) { return a.v[k] * b.v[k]; }); }
inline Vec operator/(Vec a, Vec b) { return Map([&](int k) { return a.v[k] / b.v[k]; }); }
inline Vec Sqrt(Vec a) { return Map([&](int k) { return std::sqrt(a.v[k]); }); }
inline Vec Abs(Vec a) { return Map([&](int k) { return std::fabs(a.v[k]); }); }
inline Vec Less(Vec a, Vec b) {
  return Map([&](int k) { return Bits(a.v[k] < b.v[k] ? 0xFFFFFFFFu : 0u); });
}
inline Vec AndNot(Vec mask, Vec a) {
  return Map([&](int k) { return Bits(~Bits(mask.v[k]) & Bits(a.v[k])); });
}
inline Vec Select(Vec mask, Vec a, Vec b) {
  return Map([&](int k) { return Bits(mask.v[k]) != 0 ? a.v[k] : b.v[k]; });
}
inline bool Any(Vec mask) {
  for (float m : mask.v) {
    if (Bits(m) != 0) return true;
  }
  return false;
}
inline Vec AllSet() { return Splat(Bits(0xFFFFFFFFu)); }
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

// Stacks one tile. `samples` holds n rows of kTile floats, frame 1 first.
void StackTile(const StackSettings& settings, int n, const float* samples, int* result) {
  Vec estimate[kVectors];
  for (int v = 0; v < kVectors; ++v) {
    Vec sum = Splat(0.0f);
    for (int j = 0; j < n; ++j) sum = sum + Load(samples + j * kTile + v * kLanes);
    estimate[v] = sum / Splat(static_cast<float>(n));
  }

  const Vec gain = Splat(settings.gain);
  const Vec readNoiseSquared = Splat(settings.readNoiseSquared);
  const Vec one = Splat(1.0f);
  const Vec settled = Splat(0.1f);
  Vec moving[kVectors];
  for (Vec& m : moving) m = AllSet();

  for (int pass = 0; pass < settings.iterations; ++pass) {
    bool anyMoving = false;
    for (const Vec& m : moving) anyMoving = anyMoving || Any(m);
    if (!anyMoving) break;

    Vec sigma[kVectors], weightSum[kVectors], weightedSum[kVectors];
    for (int v = 0; v < kVectors; ++v) {
      sigma[v] = Sqrt(estimate[v] * gain + readNoiseSquared) / gain;
      weightSum[v] = Splat(0.0f);
      weightedSum[v] = Splat(0.0f);
    }
    // Frames outside, tiles inside: the four vectors' divisions overlap.
    for (int j = 0; j < n; ++j) {
      for (int v = 0; v < kVectors; ++v) {
        const Vec q = Load(samples + j * kTile + v * kLanes);
        const Vec r = Abs(q - estimate[v]) / sigma[v];
        const Vec w = one / ((r * r + one) * sigma[v] * sigma[v]);
        weightSum[v] = weightSum[v] + w;
        weightedSum[v] = weightedSum[v] + w * q;
      }
    }
    for (int v = 0; v < kVectors; ++v) {
      const Vec next = weightedSum[v] / weightSum[v];
      const Vec done = Less(Abs(estimate[v] - next), settled);
      // Lanes that settled in an earlier pass keep their estimate.
      estimate[v] = Select(moving[v], next, estimate[v]);
      moving[v] = AndNot(done, moving[v]);
    }
  }

  const Vec half = Splat(0.5f);
  for (int v = 0; v < kVectors; ++v) {
    StoreTruncated(ClampToByteRange(estimate[v]) + half, result + v * kLanes);
  }
}

// Stacks pixels [begin, end) with its own scratch of n x kTile floats.
void StackBand(const StackSettings& settings, int n, const std::uint8_t* const* frames,
               std::uint8_t* output, int begin, int end, float* samples) {
  int result[kTile];
  std::uint8_t padded[kTile];
  for (int i = begin; i < end; i += kTile) {
    const int count = std::min(kTile, end - i);
    for (int j = 0; j < n; ++j) {
      const std::uint8_t* source = frames[j] + i;
      if (count < kTile) {
        // The last pixels of a band: zero lanes are stacked and thrown away.
        std::memset(padded, 0, sizeof padded);
        std::memcpy(padded, source, static_cast<std::size_t>(count));
        source = padded;
      }
      Widen16(source, samples + j * kTile);
    }
    StackTile(settings, n, samples, result);
    for (int k = 0; k < count; ++k) output[i + k] = static_cast<std::uint8_t>(result[k]);
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
  threads = std::clamp(threads, 1, (pixelCount + kTile - 1) / kTile);

  std::vector<std::vector<float>> scratch;
  try {
    scratch.resize(static_cast<std::size_t>(threads));
    for (auto& s : scratch) s.resize(static_cast<std::size_t>(n) * kTile);
  } catch (const std::bad_alloc&) {
    return 2;
  }

  const StackSettings settings{iterations, readNoise * readNoise, gain};
  // Bands of whole tiles, so that only the frame's last tile is partial.
  const int tiles = (pixelCount + kTile - 1) / kTile;
  const int tilesPerBand = (tiles + threads - 1) / threads;
  auto band = [&](int t) {
    const int begin = std::min(pixelCount, t * tilesPerBand * kTile);
    const int end = std::min(pixelCount, (t + 1) * tilesPerBand * kTile);
    StackBand(settings, n, frames, output, begin, end, scratch[static_cast<std::size_t>(t)].data());
  };

  std::vector<std::thread> helpers;
  std::vector<int> leftOver;
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
