// SPDX-License-Identifier: GPL-3.0-or-later
#include "camera/hot_pixel_summary.h"

#include <algorithm>
#include <array>

namespace ktal {

int MedianLevel(const std::uint8_t* image, int pixelCount) {
  if (pixelCount <= 0) return 0;
  std::array<int, 256> histogram{};
  for (int i = 0; i < pixelCount; ++i) ++histogram[image[i]];
  const int wanted = (pixelCount - 1) / 2;  // index of the lower median
  int seen = 0;
  for (int value = 0; value < 256; ++value) {
    seen += histogram[value];
    if (seen > wanted) return value;
  }
  return 255;
}

int DimmestListedValue(const std::uint8_t* image, int w, const HotPixelList& list) {
  int dimmest = -1;
  for (int i = 0; i < list.count; ++i) {
    const int value = image[list.y[i] * w + list.x[i]];
    if (dimmest < 0 || value < dimmest) dimmest = value;
  }
  return dimmest;
}

MapChange CompareWithStored(const HotPixelList& fresh, const HotPixelMapRecord& stored) {
  const int storedCount = std::min<int>(stored.count1x1, kMaxHotPixels);
  auto inStored = [&](int x, int y) {
    for (int i = 0; i < storedCount; ++i) {
      if (stored.entries1x1[i].x == x && stored.entries1x1[i].y == y) return true;
    }
    return false;
  };
  MapChange change;
  for (int i = 0; i < fresh.count; ++i) {
    if (inStored(fresh.x[i], fresh.y[i])) {
      ++change.kept;
    } else {
      ++change.added;
    }
  }
  // A damaged store may list one position twice.
  change.dropped = std::max(0, storedCount - change.kept);
  return change;
}

}  // namespace ktal
