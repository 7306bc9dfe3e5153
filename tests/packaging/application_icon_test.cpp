// SPDX-License-Identifier: GPL-3.0-or-later
// The window icon is the package's SVG as the build draws it for the hicolor
// theme. Linked from a static library, the pictures' resource is easily lost,
// and a drawing that failed leaves a blank square.
#include "shell/application_icon.h"

#include <gtest/gtest.h>

#include <QIcon>
#include <QImage>

namespace {

TEST(ApplicationIcon, HoldsEachSizeOfTheThemeDrawn) {
  const QIcon icon = ktal::ApplicationIcon();
  for (const int size : {16, 22, 24, 32, 48, 64, 128, 256}) {
    SCOPED_TRACE(size);
    ASSERT_TRUE(icon.availableSizes().contains(QSize(size, size)));
    const QImage shown = icon.pixmap(size, size).toImage();
    ASSERT_EQ(shown.size(), QSize(size, size));
    // The hand controller covers about half the square.
    int covered = 0;
    for (int y = 0; y < size; ++y) {
      for (int x = 0; x < size; ++x) covered += qAlpha(shown.pixel(x, y)) > 0 ? 1 : 0;
    }
    EXPECT_GT(covered, size * size / 3);
  }
}

}  // namespace
