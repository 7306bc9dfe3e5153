// SPDX-License-Identifier: GPL-3.0-or-later
// The window icon is the package's SVG picture, as the build draws it for the
// hicolor theme: ApplicationIcon() holds each size of the theme, pixel for
// pixel the PNG the build drew from the SVG, and that picture is not blank.
#include "shell/application_icon.h"

#include <gtest/gtest.h>

#include <QIcon>
#include <QImage>
#include <QString>

namespace {

class ApplicationIconSize : public ::testing::TestWithParam<int> {};

TEST_P(ApplicationIconSize, IsThePictureDrawnFromTheSvg) {
  const int size = GetParam();
  const QIcon icon = ktal::ApplicationIcon();
  ASSERT_TRUE(icon.availableSizes().contains(QSize(size, size))) << "no picture of " << size;

  const QString path = QString(":/ktal-companion/icons/%1.png").arg(size);
  const QImage drawn(path);
  ASSERT_FALSE(drawn.isNull()) << qPrintable(path) << " is missing or no PNG";
  ASSERT_EQ(drawn.size(), QSize(size, size));
  // Compared as the pixmap holds them, with premultiplied alpha.
  const QImage shown =
      icon.pixmap(size, size).toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied);
  const QImage expected = drawn.convertToFormat(QImage::Format_ARGB32_Premultiplied);
  ASSERT_EQ(shown.size(), expected.size());
  for (int y = 0; y < size; ++y) {
    for (int x = 0; x < size; ++x) {
      ASSERT_EQ(shown.pixel(x, y), expected.pixel(x, y)) << "first difference at " << x << "," << y;
    }
  }

  // The hand controller covers about half the square; an empty or mostly
  // transparent picture means the SVG was not drawn.
  int covered = 0;
  for (int y = 0; y < shown.height(); ++y) {
    for (int x = 0; x < shown.width(); ++x) covered += qAlpha(shown.pixel(x, y)) > 0 ? 1 : 0;
  }
  EXPECT_GT(covered, size * size / 3);
}

INSTANTIATE_TEST_SUITE_P(HicolorSizes, ApplicationIconSize,
                         ::testing::Values(16, 22, 24, 32, 48, 64, 128, 256));

}  // namespace
