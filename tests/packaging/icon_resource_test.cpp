// The window icon's pictures as a program links them (ktal_icon_resources):
// each size of the hicolor set is in the resource under its name, drawn
// from the SVG at that size, and not blank.
#include <gtest/gtest.h>

#include <QImage>
#include <QString>

namespace {

class IconResource : public ::testing::TestWithParam<int> {};

TEST_P(IconResource, HoldsThePictureAtItsSize) {
  const int size = GetParam();
  const QString path = QString(":/ktal-companion/icons/%1.png").arg(size);
  const QImage image(path);
  ASSERT_FALSE(image.isNull()) << qPrintable(path) << " is missing or no PNG";
  EXPECT_EQ(image.width(), size);
  EXPECT_EQ(image.height(), size);
  // The hand controller covers about half the square; an empty or mostly
  // transparent picture means the SVG was not drawn.
  const QImage argb = image.convertToFormat(QImage::Format_ARGB32);
  int drawn = 0;
  for (int y = 0; y < argb.height(); ++y) {
    for (int x = 0; x < argb.width(); ++x) drawn += qAlpha(argb.pixel(x, y)) > 0 ? 1 : 0;
  }
  EXPECT_GT(drawn, size * size / 3);
}

INSTANTIATE_TEST_SUITE_P(HicolorSizes, IconResource,
                         ::testing::Values(16, 22, 24, 32, 48, 64, 128, 256));

}  // namespace
