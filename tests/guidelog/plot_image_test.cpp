// SPDX-License-Identifier: GPL-3.0-or-later
#include "guidelog/plot_image.h"

#include <gtest/gtest.h>

#include <climits>
#include <filesystem>
#include <vector>

#include "full_disk.h"
#include "report_test_support.h"

namespace ktal {
namespace {

using report_test::ReadBytes;
using report_test::ScopedWorkDir;

int Pixel(const PlotImage& image, int x, int y) { return image.at(x, y); }

int CountColour(const PlotImage& image, int colour) {
  int count = 0;
  for (int y = 0; y < image.height; ++y)
    for (int x = 0; x < image.width; ++x) count += image.at(x, y) == colour;
  return count;
}

std::uint32_t LE32(const std::vector<std::uint8_t>& b, std::size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (std::uint32_t{b[at + 3]} << 24);
}

std::uint16_t LE16(const std::vector<std::uint8_t>& b, std::size_t at) {
  return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
}

TEST(PlotImage, ResetAllocatesBlackPixelsAndLoadsThePalette) {
  PlotImage image;
  ResetPlotImage(image, 5, 3);
  ASSERT_EQ(image.width, 5);
  ASSERT_EQ(image.height, 3);
  ASSERT_EQ(image.pixels.size(), 8u * 3u);  // rows padded to 8 bytes
  for (std::uint8_t p : image.pixels) EXPECT_EQ(p, 0);

  // Colour cube: red in bits 0-1, green in 2-3, blue in 4-5 of the index.
  EXPECT_EQ(image.palette[1], 0x550000u);
  EXPECT_EQ(image.palette[4], 0x005500u);
  EXPECT_EQ(image.palette[10], 0xAAAA00u);
  EXPECT_EQ(image.palette[16], 0x000055u);
  EXPECT_EQ(image.palette[63], 0xFFFFFFu);
  // Grey ramp.
  EXPECT_EQ(image.palette[128], 0x000000u);
  EXPECT_EQ(image.palette[130], 0x222222u);
  EXPECT_EQ(image.palette[136], 0x888888u);
  EXPECT_EQ(image.palette[141], 0xDDDDDDu);
  EXPECT_EQ(image.palette[142], 0xEEEEEEu);
  EXPECT_EQ(image.palette[143], 0xFFFFFFu);
  // Everything else is black.
  for (int i : {64, 100, 127, 144, 200, 255}) EXPECT_EQ(image.palette[i], 0u) << "entry " << i;

  // A second reset clears what was drawn.
  FillRect(image, 0, 0, 4, 2, 7, 0);
  ResetPlotImage(image, 2, 2);
  EXPECT_EQ(image.pixels.size(), 4u * 2u);
  for (std::uint8_t p : image.pixels) EXPECT_EQ(p, 0);
}

// A buffer reused for a narrower image keeps its old bytes for the caller
// to overwrite, but the padding of every row must come out zero.
TEST(PlotImage, SizingAReusedBufferClearsTheRowPadding) {
  for (const int width : {1, 5, 6, 7, 8}) {
    PlotImage image;
    ResetPlotImage(image, 13, 9);
    FillRect(image, 0, 0, 12, 8, 7, 0);
    ASSERT_TRUE(SizePlotImage(image, width, 4));
    ASSERT_EQ(image.pixels.size(), image.stride() * 4) << width;
    for (int y = 0; y < 4; ++y)
      for (std::size_t x = static_cast<std::size_t>(width); x < image.stride(); ++x)
        EXPECT_EQ(image.row(y)[x], 0) << "width " << width << ", row " << y << ", byte " << x;
  }
}

TEST(PlotImage, SizesThatAreNotPositiveLeaveTheImageEmpty) {
  for (auto [w, h] : {std::pair{0, 10}, {10, 0}, {-5, 10}, {10, -1}}) {
    PlotImage image;
    ResetPlotImage(image, 3, 3);
    ResetPlotImage(image, w, h);
    EXPECT_EQ(image.width, 0);
    EXPECT_EQ(image.height, 0);
    EXPECT_TRUE(image.pixels.empty());
    // Drawing on it does nothing and does not crash.
    FillRect(image, 0, 0, 10, 10, 1, 0);
    HLine(image, 0, 0, 10, 1);
    VLine(image, 0, 0, 10, 1);
    EXPECT_TRUE(image.pixels.empty());
  }
}

TEST(PlotImage, LinesIncludeBothEndsInEitherOrder) {
  PlotImage image;
  ResetPlotImage(image, 10, 10);
  HLine(image, 7, 2, 3, 9);
  for (int x = 0; x < 10; ++x)
    EXPECT_EQ(Pixel(image, x, 2), x >= 3 && x <= 7 ? 9 : 0) << "column " << x;
  VLine(image, 5, 8, 6, 11);
  for (int y = 0; y < 10; ++y)
    EXPECT_EQ(Pixel(image, 5, y), y >= 6 && y <= 8 ? 11 : (y == 2 ? 9 : 0)) << "row " << y;
  EXPECT_EQ(CountColour(image, 9), 5);
  EXPECT_EQ(CountColour(image, 11), 3);
}

TEST(PlotImage, FillRectSetsOrXorsTheInclusiveRectangle) {
  PlotImage image;
  ResetPlotImage(image, 8, 8);
  FillRect(image, 5, 6, 2, 3, 6, 0);  // corners given the other way round
  EXPECT_EQ(CountColour(image, 6), 4 * 4);
  EXPECT_EQ(Pixel(image, 2, 3), 6);
  EXPECT_EQ(Pixel(image, 5, 6), 6);
  EXPECT_EQ(Pixel(image, 1, 3), 0);
  EXPECT_EQ(Pixel(image, 6, 6), 0);

  // XOR 4 over part of it: 6 ^ 4 = 2 inside, 0 ^ 4 = 4 outside it.
  FillRect(image, 4, 4, 7, 7, 4, kFillXor);
  EXPECT_EQ(Pixel(image, 4, 4), 2);
  EXPECT_EQ(Pixel(image, 7, 7), 4);
  EXPECT_EQ(Pixel(image, 3, 4), 6);
  // A second XOR restores the pixels.
  FillRect(image, 4, 4, 7, 7, 4, kFillXor);
  EXPECT_EQ(CountColour(image, 6), 16);
  EXPECT_EQ(CountColour(image, 0), 64 - 16);
  // Any mode but 4 sets.
  FillRect(image, 0, 0, 0, 0, 4, 3);
  FillRect(image, 0, 0, 0, 0, 4, 3);
  EXPECT_EQ(Pixel(image, 0, 0), 4);
}

TEST(PlotImage, DrawingIsClippedToTheImage) {
  PlotImage image;
  ResetPlotImage(image, 6, 4);
  FillRect(image, -100, -100, 2, 1, 1, 0);
  EXPECT_EQ(CountColour(image, 1), 3 * 2);
  FillRect(image, 4, 2, INT_MAX, INT_MAX, 2, 0);
  EXPECT_EQ(CountColour(image, 2), 2 * 2);
  FillRect(image, INT_MIN, INT_MIN, INT_MAX, INT_MAX, 3, kFillXor);
  EXPECT_EQ(CountColour(image, 3), 24 - 6 - 4);
  // Entirely outside: nothing changes.
  const PixelBuffer before = image.pixels;
  HLine(image, -10, -1, 10, 9);
  HLine(image, -10, 4, 10, 9);
  VLine(image, 6, -10, 10, 9);
  VLine(image, -1, INT_MIN, INT_MAX, 9);
  FillRect(image, 7, 0, 100, 3, 9, 0);
  FillRect(image, INT_MIN, 0, -1, 3, 9, 0);
  EXPECT_EQ(image.pixels, before);
  // Lines that cross the image are drawn where they are inside.
  HLine(image, INT_MIN, 3, INT_MAX, 9);
  VLine(image, 0, INT_MAX, INT_MIN, 9);
  EXPECT_EQ(CountColour(image, 9), 6 + 3);
}

TEST(PlotImageBmp, A34PixelWideImageHasPaddedRowsStoredBottomUp) {
  PlotImage image;
  ResetPlotImage(image, 34, 126);
  HLine(image, 0, 125, 33, 141);  // bottom row
  HLine(image, 0, 0, 33, 10);     // top row
  FillRect(image, 3, 124, 3, 124, 1, 0);
  const std::vector<std::uint8_t> bmp = EncodeBmp(image);

  ASSERT_EQ(bmp.size(), 5614u);
  EXPECT_EQ(bmp[0], 'B');
  EXPECT_EQ(bmp[1], 'M');
  EXPECT_EQ(LE32(bmp, 2), 5614u);
  EXPECT_EQ(LE32(bmp, 6), 0u);  // both reserved fields
  EXPECT_EQ(LE32(bmp, 10), 1078u);
  EXPECT_EQ(LE32(bmp, 14), 40u);
  EXPECT_EQ(LE32(bmp, 18), 34u);
  EXPECT_EQ(LE32(bmp, 22), 126u);
  EXPECT_EQ(LE16(bmp, 26), 1u);
  EXPECT_EQ(LE16(bmp, 28), 8u);
  EXPECT_EQ(LE32(bmp, 30), 0u);
  EXPECT_EQ(LE32(bmp, 34), 36u * 126u);
  EXPECT_EQ(LE32(bmp, 38), 3780u);
  EXPECT_EQ(LE32(bmp, 42), 3780u);
  EXPECT_EQ(LE32(bmp, 46), 0u);
  EXPECT_EQ(LE32(bmp, 50), 0u);
  // Palette entries as blue, green, red, 0.
  const std::size_t entry10 = 54 + 4 * 10;
  EXPECT_EQ(bmp[entry10], 0);
  EXPECT_EQ(bmp[entry10 + 1], 170);
  EXPECT_EQ(bmp[entry10 + 2], 170);
  EXPECT_EQ(bmp[entry10 + 3], 0);
  const std::size_t entry16 = 54 + 4 * 16;
  EXPECT_EQ(bmp[entry16], 85);
  EXPECT_EQ(bmp[entry16 + 2], 0);

  // The first stored row is image row 125, the last one image row 0.
  for (std::size_t x = 0; x < 34; ++x) {
    EXPECT_EQ(bmp[1078 + x], 141) << "column " << x;
    EXPECT_EQ(bmp[1078 + 125 * 36 + x], 10) << "column " << x;
  }
  EXPECT_EQ(bmp[1078 + 36 + 3], 1);  // image row 124
  // The two padding bytes of every row are zero.
  for (std::size_t row = 0; row < 126; ++row) {
    EXPECT_EQ(bmp[1078 + row * 36 + 34], 0) << "row " << row;
    EXPECT_EQ(bmp[1078 + row * 36 + 35], 0) << "row " << row;
  }
}

TEST(PlotImageBmp, RowsOfAMultipleOfFourHaveNoPadding) {
  PlotImage image;
  ResetPlotImage(image, 128, 128);
  EXPECT_EQ(EncodeBmp(image).size(), 1078u + 128u * 128u);
  ResetPlotImage(image, 1, 1);
  EXPECT_EQ(EncodeBmp(image).size(), 1078u + 4u);
}

TEST(PlotImageBmp, SaveWritesTheEncodedFileAndReplacesAnOldOne) {
  ScopedWorkDir dir;
  PlotImage image;
  ResetPlotImage(image, 34, 126);
  FillRect(image, 16, 8, 17, 58, 130, 0);
  report_test::WriteBytes("plot.bmp", std::vector<std::uint8_t>(9000, 0x55));
  ASSERT_EQ(SaveBmp(image, "plot.bmp"), 0);
  EXPECT_EQ(ReadBytes("plot.bmp"), EncodeBmp(image));
}

TEST(PlotImageBmp, SaveReportsEachFailure) {
  ScopedWorkDir dir;
  PlotImage empty;
  EXPECT_EQ(SaveBmp(empty, "empty.bmp"), -1);
  EXPECT_FALSE(std::filesystem::exists("empty.bmp"));

  PlotImage image;
  ResetPlotImage(image, 4, 4);
  EXPECT_EQ(SaveBmp(image, "no-such-folder/plot.bmp"), 1);
  // A full disk leaves the file that was there as it was.
  report_test::WriteBytes("plot.bmp", {0x42});
  EXPECT_EQ(full_disk::RunWithFileSizeLimit(100, [&] { return SaveBmp(image, "plot.bmp"); }).result,
            2);
  EXPECT_EQ(ReadBytes("plot.bmp"), std::vector<std::uint8_t>{0x42});
}

}  // namespace
}  // namespace ktal
