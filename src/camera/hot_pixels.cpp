// SPDX-License-Identifier: GPL-3.0-or-later
// Binning, the hot-pixel search with its neighbour flags, cosmetizing, the
// display reduction and the classes of stored entries.
#include <algorithm>
#include <bit>
#include <cstring>

#include "camera/dark_frames.h"

#if (defined(__SSE2__) || defined(_M_X64)) && !defined(KTAL_PORTABLE_VECTORS)
#include <emmintrin.h>
#define KTAL_HOTPIXELS_SSE2 1
#endif

namespace ktal {

std::uint8_t g_masterDark[kFrameBytes];
std::uint8_t g_binnedDark[kBinnedBytes];
std::uint8_t g_viewFrame[kFrameBytes];
HotPixelList g_hotList;
HotPixelList g_hotList2x2;

namespace {

struct Candidate {
  int index;
  int value;
};

// The value of the n-th brightest pixel (n >= 1, at most `pixels`) and how
// many pixels are brighter than it.
struct Cut {
  int value;
  int brighter;
};

Cut FindCut(const std::uint8_t* image, int pixels, int n) {
  // Four tables, so that runs of equal values do not wait on one counter.
  std::uint32_t counts[4][256] = {};
  int i = 0;
  for (; i + 4 <= pixels; i += 4) {
    ++counts[0][image[i]];
    ++counts[1][image[i + 1]];
    ++counts[2][image[i + 2]];
    ++counts[3][image[i + 3]];
  }
  for (; i < pixels; ++i) ++counts[0][image[i]];

  Cut cut{255, 0};
  for (;;) {
    const int atValue = static_cast<int>(counts[0][cut.value] + counts[1][cut.value] +
                                         counts[2][cut.value] + counts[3][cut.value]);
    if (cut.brighter + atValue >= n) return cut;
    cut.brighter += atValue;
    --cut.value;
  }
}

// Takes the pixel at `index` if it belongs among the n brightest: every
// pixel above the cut, and pixels at the cut while `ties` are left.
inline void Offer(const std::uint8_t* image, int index, const Cut& cut, int& ties, Candidate* taken,
                  int& count) {
  const int value = image[index];
  if (value > cut.value) {
    taken[count++] = {index, value};
  } else if (value == cut.value && ties > 0) {
    --ties;
    taken[count++] = {index, value};
  }
}

// The n brightest pixels in storage order.
int CollectBrightest(const std::uint8_t* image, int pixels, int n, Candidate* taken) {
  const Cut cut = FindCut(image, pixels, n);
  int ties = n - cut.brighter;
  int count = 0;
  int i = 0;
#ifdef KTAL_HOTPIXELS_SSE2
  // The least value still wanted: once the ties are taken, only pixels
  // above the cut, so that a flat background is not looked at pixel by pixel.
  int wanted = cut.value;
  __m128i least = _mm_set1_epi8(static_cast<char>(wanted));
  for (; i + 16 <= pixels && count < n; i += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(image + i));
    // Lanes at or above `wanted`: max(v, wanted) == v.
    unsigned mask =
        static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_max_epu8(v, least), v)));
    while (mask != 0 && count < n) {
      Offer(image, i + std::countr_zero(mask), cut, ties, taken, count);
      mask &= mask - 1;
    }
    if (ties == 0 && wanted == cut.value && count < n) {
      // count < n here means brighter pixels are still to come, so the cut
      // is below 255.
      wanted = cut.value + 1;
      least = _mm_set1_epi8(static_cast<char>(wanted));
    }
  }
#endif
  for (; i < pixels && count < n; ++i) Offer(image, i, cut, ties, taken, count);
  return count;
}

struct Entry {
  int x;
  int y;
  int flags;
};

}  // namespace

void FindHotPixels(const std::uint8_t* image, int w, int h, int n) {
  g_hotList.count = 0;
  const int pixels = w > 0 && h > 0 ? w * h : 0;
  n = std::clamp(n, 0, std::min(kMaxHotPixels, pixels));
  if (n == 0) return;

  Candidate taken[kMaxHotPixels];
  const int count = CollectBrightest(image, pixels, n, taken);
  // Brightest first; equal values stay in storage order.
  std::stable_sort(taken, taken + count,
                   [](const Candidate& a, const Candidate& b) { return a.value > b.value; });

  Entry entries[kMaxHotPixels];
  for (int k = 0; k < count; ++k) {
    Entry& e = entries[k];
    e.x = taken[k].index % w;
    e.y = taken[k].index / w;
    e.flags = kAllNeighbours;
    if (e.x == 0) e.flags &= ~kNeighbourLeft;
    if (e.y == 0) e.flags &= ~kNeighbourAbove;
    if (e.x == w - 1) e.flags &= ~kNeighbourRight;
    if (e.y == h - 1) e.flags &= ~kNeighbourBelow;
  }
  // A hot neighbour cannot stand in for a hot pixel.
  for (int a = 0; a < count; ++a) {
    for (int b = 0; b < count; ++b) {
      const Entry& other = entries[b];
      Entry& e = entries[a];
      if (other.y == e.y && other.x == e.x + 1) e.flags &= ~kNeighbourRight;
      if (other.y == e.y && other.x == e.x - 1) e.flags &= ~kNeighbourLeft;
      if (other.x == e.x && other.y == e.y + 1) e.flags &= ~kNeighbourBelow;
      if (other.x == e.x && other.y == e.y - 1) e.flags &= ~kNeighbourAbove;
    }
  }
  // The camera takes its table row by row; within a row the brightest
  // stays first.
  std::stable_sort(entries, entries + count,
                   [](const Entry& a, const Entry& b) { return a.y < b.y; });

  for (int k = 0; k < count; ++k) {
    g_hotList.x[k] = entries[k].x;
    g_hotList.y[k] = entries[k].y;
    g_hotList.flags[k] = entries[k].flags;
  }
  g_hotList.count = count;
}

void Bin2x2(int hotPixels) {
  for (int y = 0; y < kBinnedHeight; ++y) {
    const std::uint8_t* top = g_masterDark + 2 * y * kFrameWidth;
    const std::uint8_t* bottom = top + kFrameWidth;
    std::uint8_t* out = g_binnedDark + y * kBinnedWidth;
    for (int x = 0; x < kBinnedWidth; ++x) {
      const int sum = top[2 * x] + top[2 * x + 1] + bottom[2 * x] + bottom[2 * x + 1];
      out[x] = static_cast<std::uint8_t>(std::min(sum, 255));
    }
  }
  FindHotPixels(g_binnedDark, kBinnedWidth, kBinnedHeight, hotPixels);
  g_hotList2x2 = g_hotList;
}

void CosmetizeFrame(const std::uint8_t* source, std::uint8_t* destination, int w, int h) {
  std::memcpy(destination, source, static_cast<std::size_t>(w) * static_cast<std::size_t>(h));
  for (int k = 0; k < g_hotList.count; ++k) {
    const int x = g_hotList.x[k];
    const int y = g_hotList.y[k];
    const int flags = g_hotList.flags[k];
    // A list from a search on a larger image must not reach outside this one.
    if (x < 0 || y < 0 || x >= w || y >= h) continue;
    int sum = 0;
    int used = 0;
    auto use = [&](int bit, bool inside, int index) {
      if ((flags & bit) != 0 && inside) {
        sum += source[index];
        ++used;
      }
    };
    const int at = y * w + x;
    use(kNeighbourAbove, y > 0, at - w);
    use(kNeighbourLeft, x > 0, at - 1);
    use(kNeighbourRight, x < w - 1, at + 1);
    use(kNeighbourBelow, y < h - 1, at + w);
    // The mean rounded half up, in integers.
    if (used > 0) destination[at] = static_cast<std::uint8_t>((2 * sum + used) / (2 * used));
  }
}

int MaxReduce2x2(const std::uint8_t* image, int x, int y) {
  const std::uint8_t* top = image + 2 * y * kFrameWidth + 2 * x;
  const std::uint8_t* bottom = top + kFrameWidth;
  return std::max(std::max(top[0], top[1]), std::max(bottom[0], bottom[1]));
}

void MaxReduceFrame(const std::uint8_t* image, std::uint8_t* reduced) {
  for (int y = 0; y < kBinnedHeight; ++y) {
    const std::uint8_t* top = image + 2 * y * kFrameWidth;
    const std::uint8_t* bottom = top + kFrameWidth;
    std::uint8_t* out = reduced + y * kBinnedWidth;
    for (int x = 0; x < kBinnedWidth; ++x) {
      out[x] = std::max(std::max(top[2 * x], top[2 * x + 1]),
                        std::max(bottom[2 * x], bottom[2 * x + 1]));
    }
  }
}

int ClassifyHotPixel(const HotPixelEntry& entry) {
  // A side on the frame's border counts as usable, though the search clears
  // its bit there, so that a lone hot pixel on the edge still reads as
  // single.
  const int x = entry.x;
  const int y = entry.y;
  const int flags = entry.flags;
  return ((flags & kNeighbourAbove) != 0 || y == 0) +
         ((flags & kNeighbourBelow) != 0 || y == kFrameHeight - 1) +
         ((flags & kNeighbourLeft) != 0 || x == 0) +
         ((flags & kNeighbourRight) != 0 || x == kFrameWidth - 1);
}

HotPixelMapRecord MapRecordFromLists(const HotPixelList& list1x1, const HotPixelList& list2x2) {
  HotPixelMapRecord record{};
  auto copy = [](const HotPixelList& list, std::uint8_t& count, HotPixelEntry* entries) {
    count = static_cast<std::uint8_t>(list.count);
    for (int i = 0; i < list.count; ++i) {
      entries[i] = {static_cast<std::uint16_t>(list.x[i]), static_cast<std::uint16_t>(list.y[i]),
                    static_cast<std::uint8_t>(list.flags[i])};
    }
  };
  copy(list1x1, record.count1x1, record.entries1x1);
  copy(list2x2, record.count2x2, record.entries2x2);
  record.marker = record.count1x1 != 0 || record.count2x2 != 0 ? kMapsValid : kNoMaps;
  return record;
}

}  // namespace ktal
