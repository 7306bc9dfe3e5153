// SPDX-License-Identifier: GPL-3.0-or-later
// The pixel canvas on a display of twice the density (QT_SCALE_FACTOR=2):
// the array has one pixel per device pixel, and the paint puts each one on
// its own device pixel.
#include <gtest/gtest.h>

#include <QImage>
#include <QPixmap>

#include "canvas/bitmap_rect.h"

namespace ktal {
namespace {

TEST(BitmapRectHighDensityTest, OneArrayPixelPerDevicePixel) {
  CBitmapRect canvas;
  canvas.resize(20, 12);
  const QPixmap first = canvas.grab();
  ASSERT_EQ(first.devicePixelRatio(), 2.0) << "run with QT_SCALE_FACTOR=2";
  ASSERT_EQ(canvas.Width(), 40);
  ASSERT_EQ(canvas.Height(), 24);
  EXPECT_EQ(canvas.PixelRatio(), 2.0);

  canvas.SetPixelBlock(0, 0, 0x00FF0000, 1);
  canvas.DrawVerticalLine(39, 0, 23, 0x0000FF00);
  canvas.SetPixelBlock(7, 5, 0x000000FF, 3);
  const QImage shown = canvas.grab().toImage();
  ASSERT_EQ(shown.size(), QSize(40, 24));
  for (int y = 0; y < 24; ++y) {
    for (int x = 0; x < 40; ++x) {
      ASSERT_EQ(shown.pixel(x, y) & 0xFFFFFFu, canvas.PixelAt(x, y)) << x << ", " << y;
    }
  }
}

}  // namespace
}  // namespace ktal
