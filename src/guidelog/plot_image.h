// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

namespace ktal {

// An allocator that leaves new elements of a trivial type uninitialised:
// a plot buffer that grows for a wider image is written in full by its
// caller, and zero-filling it first would only write it twice.
template <class T>
struct UninitialisedAllocator : std::allocator<T> {
  template <class U>
  struct rebind {
    using other = UninitialisedAllocator<U>;
  };
  UninitialisedAllocator() = default;
  template <class U>
  UninitialisedAllocator(const UninitialisedAllocator<U>&) noexcept {}
  template <class U>
  void construct(U* at) noexcept {
    ::new (static_cast<void*>(at)) U;
  }
  template <class U, class... Args>
  void construct(U* at, Args&&... args) {
    ::new (static_cast<void*>(at)) U(std::forward<Args>(args)...);
  }
};

using PixelBuffer = std::vector<std::uint8_t, UninitialisedAllocator<std::uint8_t>>;

// An 8-bit palette image as the report's plots are drawn: row 0 at the top,
// one palette index per pixel. The pixels are kept as the BMP file holds
// them, bottom row first and each row padded with zeros to a multiple of
// four bytes, so that a saved image goes out in one piece. An empty image
// (0 x 0, no pixels) ignores all drawing and is never saved.
struct PlotImage {
  int width = 0;
  int height = 0;
  PixelBuffer pixels;                        // stride() * height
  std::array<std::uint32_t, 256> palette{};  // 0x00RRGGBB

  // Bytes from one stored row to the next, for an image `width` wide.
  static std::size_t StrideFor(int width) {
    return (static_cast<std::size_t>(width > 0 ? width : 0) + 3) / 4 * 4;
  }
  std::size_t stride() const { return StrideFor(width); }
  // The pixels of image row y (0 at the top), y in [0, height).
  std::uint8_t* row(int y) {
    return pixels.data() + static_cast<std::size_t>(height - 1 - y) * stride();
  }
  const std::uint8_t* row(int y) const {
    return pixels.data() + static_cast<std::size_t>(height - 1 - y) * stride();
  }
  int at(int x, int y) const { return row(y)[x]; }
};

// Palette indices the plots use.
inline constexpr int kPlotBackground = 0;
inline constexpr int kPlotLostStar = 1;
inline constexpr int kPlotChecker = 4;
inline constexpr int kPlotAxis = 10;
inline constexpr int kPlotPanel = 130;
inline constexpr int kPlotLegend = 136;
inline constexpr int kPlotBar = 141;
inline constexpr int kPlotDot = 142;

// FillRect mode that XORs the colour into the pixels; every other mode sets.
inline constexpr int kFillXor = 4;

// Replaces the image by width x height pixels of colour 0 and loads the
// plot palette. A size that is not positive, or memory that cannot be had,
// leaves the image empty.
void ResetPlotImage(PlotImage& image, int width, int height);
// The same, but leaves the pixels unset, for a caller that writes every
// row itself (the padding of each row is still cleared). False when the
// image was left empty.
bool SizePlotImage(PlotImage& image, int width, int height);

// Drawing primitives. Ends and corners may come in any order and may lie
// anywhere: only the part inside the image is drawn.
void HLine(PlotImage& image, int x1, int y, int x2, int colour);
void VLine(PlotImage& image, int x, int y1, int y2, int colour);
void FillRect(PlotImage& image, int x1, int y1, int x2, int y2, int colour, int mode);

// Writes the image as an uncompressed 8-bit BMP, replacing any file or link
// of that name once it is complete. 0 written; -1 the image has no pixels
// (no file is created); 1 the file cannot be created or cannot take the
// name; 2 a write failed (what was at the name stays).
int SaveBmp(const PlotImage& image, const std::string& path);

// The BMP file as SaveBmp writes it; empty for an image without pixels.
std::vector<std::uint8_t> EncodeBmp(const PlotImage& image);
// Its size in bytes; 0 for an image without pixels.
std::size_t BmpFileSize(const PlotImage& image);

}  // namespace ktal
