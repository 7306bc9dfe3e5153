// SPDX-License-Identifier: GPL-3.0-or-later
// The camera window's results as FITS files that imaging programs and
// viewers read: the master dark as an image, a hot-pixel map as binary
// tables. Written with CFITSIO. No Qt.
//
// A file is made whole in memory, written to a new temporary name in the
// target's folder, synced, and renamed over the target: a failure leaves
// whatever was there before, and a symlink at the target is replaced, never
// written through.
//
// Keywords are written only for what is known; nothing carries a
// placeholder value (readers trip over them).
#pragma once

#include <ctime>
#include <optional>
#include <string>

#include "camera/dark_frames.h"

namespace ktal {

// ---- Result codes ----

inline constexpr int kFitsWritten = 0;
// The data given cannot be written (no pixels, a size out of range, a table
// longer than its 50 slots); nothing is written.
inline constexpr int kFitsBadData = 1;
// CFITSIO refused; its message is in the text.
inline constexpr int kFitsLibraryError = 2;
// The temporary file cannot be created in the target's folder.
inline constexpr int kFitsCannotCreate = -1;
// Writing or syncing the temporary file fell short (a full disk).
inline constexpr int kFitsCannotWrite = -2;
// The temporary file cannot take the target's name.
inline constexpr int kFitsCannotRename = -3;

// ---- What the files say ----

// How a master dark was made.
struct MasterDarkFacts {
  // width x height pixels as stacked, row 0 (the sensor's top row) first.
  const std::uint8_t* pixels = nullptr;
  int width = kFrameWidth;
  int height = kFrameHeight;
  // Of each frame, in seconds.
  double exposureSeconds = 0;
  int framesStacked = 0;
  // When the first exposure began (UTC); without it no DATE-OBS.
  std::optional<std::time_t> firstExposureUtc;
  // The stacking parameters.
  int iterations = kStackIterations;
  float readNoise = kReadNoise;
  float gain = kGain;
  int pedestal = kDarkPedestal;
};

// The search a new map comes from: the master dark it was found in and how
// many of its brightest pixels each table takes.
struct HotPixelSearchFacts {
  int hotPixels1x1 = 0;
  int hotPixels2x2 = 0;
  double exposureSeconds = 0;
  int framesStacked = 0;
  std::optional<std::time_t> firstExposureUtc;
};

// ---- Writing ----

// The master dark as a FITS image of its own size and 8-bit pixels, row 0
// of the frame as the image's first row (ROWORDER 'TOP-DOWN'), so that
// FITS pixel (x + 1, y + 1) is frame pixel (x, y).
// kFitsWritten, or another code with a text for the user in `text`.
int WriteMasterDarkFits(const std::string& path, const MasterDarkFacts& dark, std::string& text);

// Both tables of `map` as binary tables HOTPIX1X1 and HOTPIX2X2 (columns X,
// Y and FLAGS, in the map's order; X and Y count from 0, as the camera
// counts them). With `search`, the map was just found and its headers
// carry the search; without, it was read from the camera, which keeps no
// more than the tables. Same codes as WriteMasterDarkFits.
int WriteHotPixelMapFits(const std::string& path, const HotPixelMapRecord& map,
                         const std::optional<HotPixelSearchFacts>& search, std::string& text);

// "YYYY-MM-DDThh:mm:ss" of `time` in UTC, as DATE-OBS takes it.
std::string FitsDateTime(std::time_t time);

}  // namespace ktal
