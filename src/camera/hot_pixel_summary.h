// SPDX-License-Identifier: GPL-3.0-or-later
// What a track-bar position means, in numbers the user can weigh: how
// bright the dimmest pixel that would be hidden is against the dark's
// background, and how a new 1x1 map differs from the one in the camera.
// No Qt.
#pragma once

#include <cstdint>

#include "camera/dark_frames.h"

namespace ktal {

// The median pixel value of an image (the lower one of an even count):
// the dark's background level, which a few hundred hot pixels cannot move.
int MedianLevel(const std::uint8_t* image, int pixelCount);

// The value of the dimmest pixel of `list` in the w-wide `image`: the N-th
// brightest when the list came from FindHotPixels on that image. -1 for an
// empty list.
int DimmestListedValue(const std::uint8_t* image, int w, const HotPixelList& list);

struct MapChange {
  int kept = 0;     // in both maps
  int added = 0;    // only in the new one
  int dropped = 0;  // only in the stored one
};

// Compares a new 1x1 list with the 1x1 table of a stored map by position.
// A stored count above the table's 50 slots is read as 50.
MapChange CompareWithStored(const HotPixelList& fresh, const HotPixelMapRecord& stored);

}  // namespace ktal
