#include "shell/application_icon.h"

#include <QPainter>
#include <QPixmap>

namespace ktal {

namespace {

QPixmap DrawIcon(int size) {
  QPixmap pixmap(size, size);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  const qreal s = size;
  // A dark sky disc with a guide star in a crosshair.
  p.setBrush(QColor(0x20, 0x28, 0x50));
  p.setPen(QPen(QColor(0xf0, 0xe0, 0x50), s / 16));
  p.drawEllipse(QRectF(s / 16, s / 16, s * 7 / 8, s * 7 / 8));
  p.setPen(QPen(QColor(0xc0, 0xc0, 0xc0), s / 32));
  p.drawLine(QPointF(s / 2, s / 5), QPointF(s / 2, s * 4 / 5));
  p.drawLine(QPointF(s / 5, s / 2), QPointF(s * 4 / 5, s / 2));
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(0xff, 0xff, 0xf0));
  p.drawEllipse(QPointF(s * 0.58, s * 0.42), s / 12, s / 12);
  return pixmap;
}

}  // namespace

QIcon ApplicationIcon() {
  QIcon icon;
  for (int size : {16, 32, 48, 64}) icon.addPixmap(DrawIcon(size));
  return icon;
}

}  // namespace ktal
