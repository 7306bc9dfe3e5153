// SPDX-License-Identifier: GPL-3.0-or-later
#include "canvas/bitmap_rect.h"

#include <QImage>
#include <QPainter>
#include <algorithm>
#include <new>

namespace ktal {

CBitmapRect::CBitmapRect(QWidget* parent) : QWidget(parent) {
  // The owner gets the mouse events over the canvas (the camera window
  // reads the pointer position over the picture).
  setAttribute(Qt::WA_TransparentForMouseEvents);
}

CBitmapRect::~CBitmapRect() = default;

std::uint32_t CBitmapRect::PixelAt(int x, int y) const {
  if (x < 0 || y < 0 || x >= m_nWidth || y >= m_nHeight) return 0;
  return m_pPixels[static_cast<std::size_t>(x) + static_cast<std::size_t>(m_nHeight - 1 - y) *
                                                     static_cast<std::size_t>(m_nWidth)];
}

void CBitmapRect::Fill(long long x1, long long y1, long long x2, long long y2,
                       std::uint32_t colour) {
  // 64-bit ends: a block as wide as INT_MAX or a line from INT_MIN must
  // clip, not wrap round.
  const long long left = std::max(x1, 0LL);
  const long long right = std::min(x2, static_cast<long long>(m_nWidth) - 1);
  const long long top = std::max(y1, 0LL);
  const long long bottom = std::min(y2, static_cast<long long>(m_nHeight) - 1);
  if (left > right || top > bottom) return;
  for (long long y = top; y <= bottom; ++y) {
    std::uint32_t* row = m_pPixels.get() + (m_nHeight - 1 - y) * static_cast<long long>(m_nWidth);
    std::fill(row + left, row + right + 1, colour);
  }
}

void CBitmapRect::SetPixelBlock(int x, int y, std::uint32_t colour, int size) {
  if (size <= 0) return;
  Fill(x, y, static_cast<long long>(x) + size - 1, static_cast<long long>(y) + size - 1, colour);
}

void CBitmapRect::DrawVerticalLine(int x, int y1, int y2, std::uint32_t colour) {
  if (x < 0 || x >= m_nWidth) return;
  Fill(x, std::min(y1, y2), x, std::max(y1, y2), colour);
}

void CBitmapRect::DrawHorizontalLine(int x1, int y, int x2, std::uint32_t colour) {
  if (y < 0 || y >= m_nHeight) return;
  Fill(std::min(x1, x2), y, std::max(x1, x2), y, colour);
}

void CBitmapRect::FillRectangle(int x1, int y1, int x2, int y2, std::uint32_t colour) {
  Fill(std::min(x1, x2), std::min(y1, y2), std::max(x1, x2), std::max(y1, y2), colour);
}

void CBitmapRect::paintEvent(QPaintEvent*) {
  if (m_bInitialised == 0) {
    // One array pixel per device pixel: on a high-density display the
    // array is larger than the layout size by the display's ratio.
    const qreal ratio = devicePixelRatioF();
    const int width = qRound(this->width() * ratio);
    const int height = qRound(this->height() * ratio);
    try {
      m_pPixels = std::make_unique<std::uint32_t[]>(static_cast<std::size_t>(width) *
                                                    static_cast<std::size_t>(height));
    } catch (const std::bad_alloc&) {
      return;  // stays uninitialised; the next paint tries again
    }
    // The size is taken once: a later resize must not make the drawing
    // calls believe in a larger array than there is.
    m_nWidth = width;
    m_nHeight = height;
    m_dPixelRatio = ratio;
    m_bInitialised = 1;
  }
  if (m_nWidth == 0 || m_nHeight == 0) return;

  // An image over the array itself, no copy. Its rows run bottom-up, so
  // it is drawn mirrored top to bottom.
  QImage image(reinterpret_cast<const uchar*>(m_pPixels.get()), m_nWidth, m_nHeight,
               static_cast<qsizetype>(m_nWidth) * 4, QImage::Format_RGB32);
  image.setDevicePixelRatio(m_dPixelRatio);
  QPainter painter(this);
  painter.translate(0, m_nHeight / m_dPixelRatio);
  painter.scale(1, -1);
  painter.drawImage(QPointF(0, 0), image);
}

}  // namespace ktal
