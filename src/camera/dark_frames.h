// SPDX-License-Identifier: GPL-3.0-or-later
// The image work of the camera window: preparing downloaded dark frames,
// stacking them into a master dark, binning, picking the hot pixels the
// camera shall hide, the cosmetized image, the half-size display reduction
// and the classes of a stored map's entries. No Qt and no I/O; the window
// calls these on its own thread.
//
// Images are one unsigned byte per pixel, row 0 (the top row) first; pixel
// (x, y) of a w-wide image is at index y * w + x.
#pragma once

#include <cstdint>

// The frame geometry, kMaxHotPixels, the neighbour flags and HotPixelEntry.
#include "camera/camera_protocol.h"

namespace ktal {

// All four neighbours usable: a single hot pixel away from the border.
inline constexpr int kAllNeighbours =
    kNeighbourAbove | kNeighbourBelow | kNeighbourLeft | kNeighbourRight;

// What the dark-frame run stacks with: passes of reweighting, the camera's
// read noise in electrons and its gain in electrons per unit of pixel value.
inline constexpr int kStackIterations = 5;
inline constexpr float kReadNoise = 7.5f;
inline constexpr float kGain = 2.77f;

// Downloaded frames carry an offset of 4 that is not dark signal.
inline constexpr int kDarkPedestal = 4;

struct HotPixelList {
  int x[kMaxHotPixels];
  int y[kMaxHotPixels];
  int flags[kMaxHotPixels];
  int count;
};

// The camera window's images. g_viewFrame holds the last cosmetized image
// from its start (752 x 582 or 376 x 291).
extern std::uint8_t g_masterDark[kFrameBytes];
extern std::uint8_t g_binnedDark[kBinnedBytes];
extern std::uint8_t g_viewFrame[kFrameBytes];

// The last search's result (FindHotPixels), read by CosmetizeFrame; and a
// copy taken by Bin2x2 right after its 2x2 search.
extern HotPixelList g_hotList;
extern HotPixelList g_hotList2x2;

// output = downloaded - kDarkPedestal, at least 0; all kFrameBytes pixels.
void PrepareDarkFrame(const std::uint8_t* downloaded, std::uint8_t* output);

// Artificial-skepticism stacking of `n` frames of `pixelCount` pixels: per
// pixel a weighted mean whose weights fall with each sample's distance from
// the current estimate, measured against the noise expected at that level;
// up to `iterations` passes, ending early once the estimate moves by less
// than 0.1. A cosmic-ray hit in one frame thus ends with a weight near 0.
// 0 done; 1 n < 1; 2 no memory for the work. On 1 and 2 `output` is left
// as it was. The work is shared among the processor's cores; the bytes
// written do not depend on how many.
int StackDarkFrames(int iterations, float readNoise, float gain, int n,
                    const std::uint8_t* const* frames, std::uint8_t* output, int pixelCount);
// The same on exactly `threads` threads (at least 1), for measurements and
// tests.
int StackDarkFramesOnThreads(int threads, int iterations, float readNoise, float gain, int n,
                             const std::uint8_t* const* frames, std::uint8_t* output,
                             int pixelCount);

// Fills g_binnedDark with the sums of g_masterDark's 2x2 blocks (saturating
// at 255), searches it for `hotPixels` hot pixels and copies the list into
// g_hotList2x2.
void Bin2x2(int hotPixels);

// Puts the `n` brightest pixels of the w x h `image` into g_hotList with
// their neighbour flags: brightest first and, among equal values, first in
// storage order; then ordered by row, keeping that order within a row.
// n is taken as at most kMaxHotPixels and at most w * h.
void FindHotPixels(const std::uint8_t* image, int w, int h, int n);

// destination = source, with each pixel of g_hotList replaced by the
// rounded mean of its usable neighbours (from source), or kept when it has
// none. The image must have the geometry of the search that filled
// g_hotList.
void CosmetizeFrame(const std::uint8_t* source, std::uint8_t* destination, int w, int h);

// The display value of pixel (x, y) of a 752 x 582 image shown at half size:
// the largest of its 2x2 block, so that a single hot pixel stays visible.
int MaxReduce2x2(const std::uint8_t* image, int x, int y);
// MaxReduce2x2 for every pixel: `reduced` gets 376 x 291 bytes.
void MaxReduceFrame(const std::uint8_t* image, std::uint8_t* reduced);

// The maps as the camera stores them: the 1x1 table from `list1x1`, the 2x2
// table from `list2x2`, in list order; the marker says valid when either
// table has an entry.
HotPixelMapRecord MapRecordFromLists(const HotPixelList& list1x1, const HotPixelList& list2x2);

// The number (0 .. 4) of sides of a 1x1 entry that the camera can use or
// that lie on the frame's border. 4: a single hot pixel; 1 .. 3: part of a
// group; 0: it cannot be hidden.
int ClassifyHotPixel(const HotPixelEntry& entry);

}  // namespace ktal
