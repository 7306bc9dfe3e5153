// SPDX-License-Identifier: GPL-3.0-or-later
// CBitmapRect: a pixel canvas. The window that owns it writes pixels,
// square blocks, lines and rectangles into an off-screen array of 32-bit
// pixels and then repaints it; the paint copies the whole array onto the
// screen one array pixel to one device pixel, never scaled, so nothing
// flickers and nothing blurs.
//
// The array is made at the first paint, exactly the size of the client area
// in device pixels, and keeps that size for good. Until then the canvas is
// 0 x 0 and every drawing call leaves it unchanged. Coordinates run top-down
// from (0, 0) at the top-left; rows are stored bottom-up (pixel (x, y) at
// index x + (height - 1 - y) x width), the order the camera pictures were
// always kept in. A pixel is 0x00RRGGBB. The canvas takes no input of its
// own: mouse events go through to the window under it.
#pragma once

#include <QWidget>
#include <cstdint>
#include <memory>

namespace ktal {

class CBitmapRect : public QWidget {
  Q_OBJECT
 public:
  explicit CBitmapRect(QWidget* parent = nullptr);
  ~CBitmapRect() override;

  // Every operation clips each pixel against the canvas and does not
  // repaint; the owner repaints once it has drawn.

  // A size x size block with its top-left corner at (x, y); size <= 0
  // draws nothing.
  void SetPixelBlock(int x, int y, std::uint32_t colour, int size);
  // Column x from row y1 to row y2, both included, in either order.
  void DrawVerticalLine(int x, int y1, int y2, std::uint32_t colour);
  // Row y from column x1 to column x2, both included, in either order.
  void DrawHorizontalLine(int x1, int y, int x2, std::uint32_t colour);
  // Every pixel between the two corners, both included, in either order.
  void FillRectangle(int x1, int y1, int x2, int y2, std::uint32_t colour);

  bool IsInitialised() const { return m_bInitialised != 0; }
  // Size of the array in pixels; 0 until the first paint.
  int Width() const { return m_nWidth; }
  int Height() const { return m_nHeight; }
  // Device pixels per layout pixel at the first paint (1 until then).
  qreal PixelRatio() const { return m_dPixelRatio; }
  // The array, bottom row first; null until the first paint.
  const std::uint32_t* Pixels() const { return m_pPixels.get(); }
  // The pixel at (x, y), top-down; 0 outside the canvas.
  std::uint32_t PixelAt(int x, int y) const;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  // Sets the pixels of the clipped rectangle [x1, x2] x [y1, y2]; the ends
  // are in order and may lie anywhere, far outside included.
  void Fill(long long x1, long long y1, long long x2, long long y2, std::uint32_t colour);

  int m_bInitialised = 0;
  int m_nWidth = 0;
  int m_nHeight = 0;
  qreal m_dPixelRatio = 1.0;
  std::unique_ptr<std::uint32_t[]> m_pPixels;
};

}  // namespace ktal
