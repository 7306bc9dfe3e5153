// SPDX-License-Identifier: GPL-3.0-or-later
// The pixel canvas: drawing before and after its first paint, clipping at
// every edge, the bottom-up storage, and what the paint puts on the screen.
#include "canvas/bitmap_rect.h"

#include <gtest/gtest.h>

#include <QImage>
#include <QPixmap>
#include <climits>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace ktal {
namespace {

constexpr int kWidth = 16;
constexpr int kHeight = 10;
constexpr std::uint32_t kInk = 0x00C86401;

using Draw = std::function<void(CBitmapRect&)>;

// An inclusive rectangle of pixels expected to be inked; empty when
// left > right.
struct Area {
  int left, top, right, bottom;
  bool Contains(int x, int y) const { return x >= left && x <= right && y >= top && y <= bottom; }
};
constexpr Area kNothing{0, 0, -1, -1};

// A canvas of kWidth x kHeight that has been painted once.
class PaintedCanvas {
 public:
  PaintedCanvas() {
    canvas.resize(kWidth, kHeight);
    canvas.grab();
  }
  CBitmapRect canvas;
};

// Every pixel that differs from `area` inked on black, as "(x, y)=value".
std::string Differences(const CBitmapRect& canvas, const Area& area) {
  std::string out;
  for (int y = 0; y < canvas.Height(); ++y) {
    for (int x = 0; x < canvas.Width(); ++x) {
      const std::uint32_t want = area.Contains(x, y) ? kInk : 0;
      if (canvas.PixelAt(x, y) != want) {
        out += "(" + std::to_string(x) + ", " + std::to_string(y) +
               ")=" + std::to_string(canvas.PixelAt(x, y)) + " ";
      }
    }
  }
  return out;
}

struct DrawCase {
  const char* name;
  Draw draw;
  Area inked;
};

void RunTable(const std::vector<DrawCase>& cases) {
  for (const DrawCase& row : cases) {
    SCOPED_TRACE(row.name);
    PaintedCanvas painted;
    row.draw(painted.canvas);
    EXPECT_EQ(Differences(painted.canvas, row.inked), "");
  }
}

TEST(BitmapRectTest, DrawingBeforeTheFirstPaintChangesNothing) {
  const std::vector<std::pair<const char*, Draw>> calls = {
      {"block", [](CBitmapRect& c) { c.SetPixelBlock(0, 0, kInk, 400); }},
      {"vertical line", [](CBitmapRect& c) { c.DrawVerticalLine(1, 0, 9, kInk); }},
      {"horizontal line", [](CBitmapRect& c) { c.DrawHorizontalLine(0, 1, 15, kInk); }},
      {"rectangle", [](CBitmapRect& c) { c.FillRectangle(0, 0, 15, 9, kInk); }},
  };
  for (const auto& [name, draw] : calls) {
    SCOPED_TRACE(name);
    CBitmapRect canvas;
    canvas.resize(kWidth, kHeight);
    draw(canvas);
    EXPECT_FALSE(canvas.IsInitialised());
    EXPECT_EQ(canvas.Width(), 0);
    EXPECT_EQ(canvas.Height(), 0);
    EXPECT_EQ(canvas.Pixels(), nullptr);

    // The first paint finds the canvas black: the early drawing is gone.
    canvas.grab();
    ASSERT_TRUE(canvas.IsInitialised());
    EXPECT_EQ(canvas.Width(), kWidth);
    EXPECT_EQ(canvas.Height(), kHeight);
    EXPECT_EQ(Differences(canvas, kNothing), "");
  }
}

TEST(BitmapRectTest, PixelBlocks) {
  RunTable({
      {"size 0", [](CBitmapRect& c) { c.SetPixelBlock(3, 3, kInk, 0); }, kNothing},
      {"negative size", [](CBitmapRect& c) { c.SetPixelBlock(3, 3, kInk, -2); }, kNothing},
      {"one pixel", [](CBitmapRect& c) { c.SetPixelBlock(3, 4, kInk, 1); }, {3, 4, 3, 4}},
      {"one pixel left of the canvas", [](CBitmapRect& c) { c.SetPixelBlock(-1, 0, kInk, 1); },
       kNothing},
      {"one pixel right of the canvas", [](CBitmapRect& c) { c.SetPixelBlock(kWidth, 0, kInk, 1); },
       kNothing},
      {"one pixel below the canvas", [](CBitmapRect& c) { c.SetPixelBlock(0, kHeight, kInk, 1); },
       kNothing},
      {"3 x 3 inside", [](CBitmapRect& c) { c.SetPixelBlock(5, 2, kInk, 3); }, {5, 2, 7, 4}},
      {"straddling the left edge",
       [](CBitmapRect& c) { c.SetPixelBlock(-2, 4, kInk, 3); },
       {0, 4, 0, 6}},
      {"straddling the top edge",
       [](CBitmapRect& c) { c.SetPixelBlock(4, -1, kInk, 3); },
       {4, 0, 6, 1}},
      {"straddling the right edge",
       [](CBitmapRect& c) { c.SetPixelBlock(14, 4, kInk, 6); },
       {14, 4, 15, 9}},
      {"straddling the bottom edge",
       [](CBitmapRect& c) { c.SetPixelBlock(2, 8, kInk, 2); },
       {2, 8, 3, 9}},
      {"over the top-left corner",
       [](CBitmapRect& c) { c.SetPixelBlock(-3, -3, kInk, 5); },
       {0, 0, 1, 1}},
      {"over the whole canvas and beyond",
       [](CBitmapRect& c) { c.SetPixelBlock(-5, -5, kInk, 40); },
       {0, 0, kWidth - 1, kHeight - 1}},
      // How the windows clear a canvas that is wider than high.
      {"canvas width from (0, 0)",
       [](CBitmapRect& c) { c.SetPixelBlock(0, 0, kInk, kWidth); },
       {0, 0, kWidth - 1, kHeight - 1}},
      {"the largest size",
       [](CBitmapRect& c) { c.SetPixelBlock(10, 7, kInk, INT_MAX); },
       {10, 7, kWidth - 1, kHeight - 1}},
      {"the largest size from far outside",
       [](CBitmapRect& c) { c.SetPixelBlock(INT_MIN, INT_MIN, kInk, INT_MAX); }, kNothing},
  });
}

TEST(BitmapRectTest, Lines) {
  RunTable({
      {"vertical, ends in order",
       [](CBitmapRect& c) { c.DrawVerticalLine(4, 5, 8, kInk); },
       {4, 5, 4, 8}},
      {"vertical, ends reversed",
       [](CBitmapRect& c) { c.DrawVerticalLine(4, 8, 5, kInk); },
       {4, 5, 4, 8}},
      {"vertical, one pixel",
       [](CBitmapRect& c) { c.DrawVerticalLine(4, 6, 6, kInk); },
       {4, 6, 4, 6}},
      {"vertical, clipped at both ends",
       [](CBitmapRect& c) { c.DrawVerticalLine(0, -4, 30, kInk); },
       {0, 0, 0, kHeight - 1}},
      {"vertical, the widest ends",
       [](CBitmapRect& c) { c.DrawVerticalLine(15, INT_MAX, INT_MIN, kInk); },
       {15, 0, 15, kHeight - 1}},
      {"vertical, column left of the canvas",
       [](CBitmapRect& c) { c.DrawVerticalLine(-1, 0, 9, kInk); }, kNothing},
      {"vertical, column right of the canvas",
       [](CBitmapRect& c) { c.DrawVerticalLine(kWidth, -5, 50, kInk); }, kNothing},
      {"horizontal, ends in order",
       [](CBitmapRect& c) { c.DrawHorizontalLine(2, 3, 9, kInk); },
       {2, 3, 9, 3}},
      {"horizontal, ends reversed",
       [](CBitmapRect& c) { c.DrawHorizontalLine(9, 3, 2, kInk); },
       {2, 3, 9, 3}},
      {"horizontal, clipped at both ends",
       [](CBitmapRect& c) { c.DrawHorizontalLine(-7, 9, 99, kInk); },
       {0, 9, kWidth - 1, 9}},
      {"horizontal, the widest ends",
       [](CBitmapRect& c) { c.DrawHorizontalLine(INT_MIN, 0, INT_MAX, kInk); },
       {0, 0, kWidth - 1, 0}},
      {"horizontal, row above the canvas",
       [](CBitmapRect& c) { c.DrawHorizontalLine(0, -1, 15, kInk); }, kNothing},
      {"horizontal, row below the canvas",
       [](CBitmapRect& c) { c.DrawHorizontalLine(-5, kHeight, 50, kInk); }, kNothing},
  });
}

TEST(BitmapRectTest, Rectangles) {
  RunTable({
      {"corners top-left, bottom-right",
       [](CBitmapRect& c) { c.FillRectangle(2, 3, 6, 7, kInk); },
       {2, 3, 6, 7}},
      {"corners bottom-right, top-left",
       [](CBitmapRect& c) { c.FillRectangle(6, 7, 2, 3, kInk); },
       {2, 3, 6, 7}},
      {"corners top-right, bottom-left",
       [](CBitmapRect& c) { c.FillRectangle(6, 3, 2, 7, kInk); },
       {2, 3, 6, 7}},
      {"corners bottom-left, top-right",
       [](CBitmapRect& c) { c.FillRectangle(2, 7, 6, 3, kInk); },
       {2, 3, 6, 7}},
      {"one pixel", [](CBitmapRect& c) { c.FillRectangle(9, 9, 9, 9, kInk); }, {9, 9, 9, 9}},
      {"over the bottom-right corner",
       [](CBitmapRect& c) { c.FillRectangle(30, 20, 12, 8, kInk); },
       {12, 8, 15, 9}},
      {"wholly left of the canvas", [](CBitmapRect& c) { c.FillRectangle(-9, 0, -1, 9, kInk); },
       kNothing},
      {"wholly below the canvas", [](CBitmapRect& c) { c.FillRectangle(0, 10, 15, 20, kInk); },
       kNothing},
  });
}

TEST(BitmapRectTest, RowsAreStoredBottomUpAndShownTopDown) {
  PaintedCanvas painted;
  CBitmapRect& canvas = painted.canvas;
  canvas.SetPixelBlock(0, 0, 0x00102030, 1);
  canvas.SetPixelBlock(kWidth - 1, kHeight - 1, 0x00405060, 1);
  canvas.SetPixelBlock(3, 1, 0x00FF0000, 1);

  const std::uint32_t* pixels = canvas.Pixels();
  EXPECT_EQ(pixels[(kHeight - 1) * kWidth], 0x00102030u) << "(0, 0) starts the last row";
  EXPECT_EQ(pixels[kWidth - 1], 0x00405060u) << "the bottom-right pixel ends the first row";
  EXPECT_EQ(pixels[(kHeight - 2) * kWidth + 3], 0x00FF0000u);

  // On the screen, every canvas pixel lands on the device pixel of the same
  // coordinates, unscaled.
  const QImage shown = canvas.grab().toImage();
  ASSERT_EQ(shown.size(), QSize(kWidth, kHeight));
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kWidth; ++x) {
      ASSERT_EQ(shown.pixel(x, y) & 0xFFFFFFu, canvas.PixelAt(x, y)) << x << ", " << y;
    }
  }
}

TEST(BitmapRectTest, KeepsTheSizeOfItsFirstPaint) {
  PaintedCanvas painted;
  CBitmapRect& canvas = painted.canvas;
  canvas.resize(2 * kWidth, 2 * kHeight);
  canvas.grab();
  EXPECT_EQ(canvas.Width(), kWidth);
  EXPECT_EQ(canvas.Height(), kHeight);
  // Drawing where the grown client area is, but the array is not, is
  // clipped.
  canvas.SetPixelBlock(kWidth, kHeight, kInk, kWidth);
  canvas.DrawHorizontalLine(0, kHeight + 1, 2 * kWidth, kInk);
  EXPECT_EQ(Differences(canvas, kNothing), "");
  canvas.SetPixelBlock(kWidth - 1, kHeight - 1, kInk, kWidth);
  EXPECT_EQ(Differences(canvas, {kWidth - 1, kHeight - 1, kWidth - 1, kHeight - 1}), "");
}

}  // namespace
}  // namespace ktal
