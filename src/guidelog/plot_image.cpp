// SPDX-License-Identifier: GPL-3.0-or-later
#include "guidelog/plot_image.h"

#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <new>
#include <stdexcept>

#include "guidelog/replacing_file.h"

namespace ktal {
namespace {

std::array<std::uint32_t, 256> MakePlotPalette() {
  std::array<std::uint32_t, 256> palette{};
  for (std::uint32_t m = 0; m < 64; ++m) {
    const std::uint32_t red = 85 * (m & 3);
    const std::uint32_t green = 85 * ((m >> 2) & 3);
    const std::uint32_t blue = 85 * ((m >> 4) & 3);
    palette[m] = (red << 16) | (green << 8) | blue;
  }
  for (std::uint32_t g = 0; g < 16; ++g) {
    const std::uint32_t level = 17 * g;
    palette[128 + g] = (level << 16) | (level << 8) | level;
  }
  return palette;
}

bool HasPixels(const PlotImage& image) {
  return image.width > 0 && image.height > 0 &&
         image.pixels.size() == image.stride() * static_cast<std::size_t>(image.height);
}

void PutLE16(std::vector<std::uint8_t>& out, std::size_t at, std::uint32_t value) {
  out[at] = static_cast<std::uint8_t>(value & 0xFF);
  out[at + 1] = static_cast<std::uint8_t>((value >> 8) & 0xFF);
}

void PutLE32(std::vector<std::uint8_t>& out, std::size_t at, std::uint32_t value) {
  PutLE16(out, at, value & 0xFFFF);
  PutLE16(out, at + 2, value >> 16);
}

}  // namespace

bool SizePlotImage(PlotImage& image, int width, int height) {
  image.width = 0;
  image.height = 0;
  image.palette = MakePlotPalette();
  if (width <= 0 || height <= 0) {
    image.pixels.clear();
    return false;
  }
  // The buffer is kept for the next image of a report: resizing it keeps
  // its old bytes and leaves new ones unset, and the caller overwrites
  // them all, so each pixel is written once.
  const std::size_t stride = PlotImage::StrideFor(width);
  try {
    image.pixels.resize(stride * static_cast<std::size_t>(height));
  } catch (const std::bad_alloc&) {
    image.pixels.clear();
    return false;
  } catch (const std::length_error&) {
    image.pixels.clear();
    return false;
  }
  image.width = width;
  image.height = height;
  if (stride != static_cast<std::size_t>(width))
    for (int y = 0; y < height; ++y)
      std::memset(image.row(y) + width, 0, stride - static_cast<std::size_t>(width));
  return true;
}

void ResetPlotImage(PlotImage& image, int width, int height) {
  if (SizePlotImage(image, width, height)) std::memset(image.pixels.data(), 0, image.pixels.size());
}

void FillRect(PlotImage& image, int x1, int y1, int x2, int y2, int colour, int mode) {
  if (!HasPixels(image)) return;
  // Clip the rectangle first, so a wild coordinate costs nothing.
  const int left = std::max(std::min(x1, x2), 0);
  const int right = std::min(std::max(x1, x2), image.width - 1);
  const int top = std::max(std::min(y1, y2), 0);
  const int bottom = std::min(std::max(y1, y2), image.height - 1);
  if (left > right || top > bottom) return;
  const auto value = static_cast<std::uint8_t>(colour);
  // Walked from the bottom row up, the order the rows are stored in.
  const std::size_t stride = image.stride();
  const std::size_t count = static_cast<std::size_t>(right - left + 1);
  std::uint8_t* row = image.row(bottom) + left;
  if (mode == kFillXor) {
    for (int y = top; y <= bottom; ++y, row += stride)
      for (std::size_t x = 0; x < count; ++x) row[x] ^= value;
    return;
  }
  // Most rectangles are the bars of one or two time columns, a few rows
  // each: those are set byte by byte, a loop of their own for each width,
  // rather than by a call per row.
  const int rows = bottom - top + 1;
  switch (count) {
    case 1:
      for (int y = 0; y < rows; ++y, row += stride) row[0] = value;
      break;
    case 2:
      for (int y = 0; y < rows; ++y, row += stride) row[0] = row[1] = value;
      break;
    default:
      for (int y = 0; y < rows; ++y, row += stride) std::memset(row, value, count);
      break;
  }
}

void HLine(PlotImage& image, int x1, int y, int x2, int colour) {
  FillRect(image, x1, y, x2, y, colour, 0);
}

void VLine(PlotImage& image, int x, int y1, int y2, int colour) {
  FillRect(image, x, y1, x, y2, colour, 0);
}

namespace {

constexpr std::size_t kBmpPixelOffset = 1078;

}  // namespace

std::size_t BmpFileSize(const PlotImage& image) {
  return HasPixels(image) ? kBmpPixelOffset + image.pixels.size() : 0;
}

namespace {

// The 1078 bytes before the pixels: file header, info header, palette.
std::vector<std::uint8_t> BmpHead(const PlotImage& image) {
  const std::size_t imageSize = image.pixels.size();
  std::vector<std::uint8_t> out(kBmpPixelOffset, 0);
  out[0] = 'B';
  out[1] = 'M';
  PutLE32(out, 2, static_cast<std::uint32_t>(kBmpPixelOffset + imageSize));
  PutLE32(out, 10, kBmpPixelOffset);
  PutLE32(out, 14, 40);
  PutLE32(out, 18, static_cast<std::uint32_t>(image.width));
  PutLE32(out, 22, static_cast<std::uint32_t>(image.height));
  PutLE16(out, 26, 1);
  PutLE16(out, 28, 8);
  PutLE32(out, 34, static_cast<std::uint32_t>(imageSize));
  PutLE32(out, 38, 3780);
  PutLE32(out, 42, 3780);
  for (std::size_t i = 0; i < 256; ++i) {
    const std::uint32_t rgb = image.palette[i];
    out[54 + 4 * i] = static_cast<std::uint8_t>(rgb & 0xFF);
    out[54 + 4 * i + 1] = static_cast<std::uint8_t>((rgb >> 8) & 0xFF);
    out[54 + 4 * i + 2] = static_cast<std::uint8_t>((rgb >> 16) & 0xFF);
  }
  return out;
}

// Writes every byte of `parts`, going on after short writes and signals;
// false when a write fails (a full disk).
bool WriteAllParts(int fd, std::vector<iovec>& parts) {
  std::size_t first = 0;
  while (first < parts.size()) {
    const int count = static_cast<int>(std::min<std::size_t>(parts.size() - first, IOV_MAX));
    const ssize_t wrote = ::writev(fd, parts.data() + first, count);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) return false;
    auto left = static_cast<std::size_t>(wrote);
    while (first < parts.size() && left >= parts[first].iov_len) {
      left -= parts[first].iov_len;
      ++first;
    }
    if (left > 0) {
      parts[first].iov_base = static_cast<std::uint8_t*>(parts[first].iov_base) + left;
      parts[first].iov_len -= left;
    }
  }
  return true;
}

}  // namespace

std::vector<std::uint8_t> EncodeBmp(const PlotImage& image) {
  if (!HasPixels(image)) return {};
  std::vector<std::uint8_t> out = BmpHead(image);
  out.insert(out.end(), image.pixels.begin(), image.pixels.end());
  return out;
}

int SaveBmp(const PlotImage& image, const std::string& path) {
  if (!HasPixels(image)) return -1;
  ReplacingFile file(path);
  if (!file) return 1;
  // The rows are already in the file's order and padding: the head and
  // the pixels go out as they are, with no copy on the way.
  const std::vector<std::uint8_t> head = BmpHead(image);
  std::vector<iovec> parts = {
      {const_cast<std::uint8_t*>(head.data()), head.size()},
      {const_cast<std::uint8_t*>(image.pixels.data()), image.pixels.size()}};
  const bool written = WriteAllParts(file.fd(), parts);
  switch (file.Commit(written)) {
    case ReplacingFile::CommitResult::kDone:
      return 0;
    case ReplacingFile::CommitResult::kNameNotTaken:
      return 1;
    case ReplacingFile::CommitResult::kWriteFailed:
      break;
  }
  return 2;
}

}  // namespace ktal
