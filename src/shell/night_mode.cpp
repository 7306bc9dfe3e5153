// SPDX-License-Identifier: GPL-3.0-or-later
#include "shell/night_mode.h"

#include <QApplication>
#include <QGraphicsEffect>
#include <QImage>
#include <QLineEdit>
#include <QPainter>
#include <QPixmap>
#include <QProxyStyle>
#include <QStyleFactory>
#include <QStyleOption>
#include <QWidget>
#include <algorithm>

namespace ktal {

namespace {

// A widget's own palette while night lasts (see NightStyle::polish).
constexpr char kDayPaletteProperty[] = "ktalDayPalette";

// The brightest channel as red: red stays as it is, grey and white become
// red of the same brightness. Premultiplied pixels stay premultiplied.
QRgb RedOfMax(QRgb pixel) {
  const int value = std::max({qRed(pixel), qGreen(pixel), qBlue(pixel)});
  return qRgba(value, 0, 0, qAlpha(pixel));
}

// Pictures keep their shapes by brightness: white on a coloured disc (the
// message boxes' icons) must not turn into one flat red.
QRgb RedOfBrightness(QRgb pixel) {
  const int value = (qRed(pixel) * 11 + qGreen(pixel) * 16 + qBlue(pixel) * 5) / 32;
  return qRgba(value, 0, 0, qAlpha(pixel));
}

// The pixels of a premultiplied image, each through `red`.
template <typename Red>
void TakeToRed(QImage& image, Red red) {
  for (int y = 0; y < image.height(); ++y) {
    auto* row = reinterpret_cast<QRgb*>(image.scanLine(y));
    std::transform(row, row + image.width(), row, red);
  }
}

QPixmap RedPixmap(const QPixmap& pixmap) {
  if (pixmap.isNull()) return pixmap;
  QImage image = pixmap.toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied);
  TakeToRed(image, RedOfBrightness);
  QPixmap red = QPixmap::fromImage(std::move(image));
  red.setDevicePixelRatio(pixmap.devicePixelRatio());
  return red;
}

// A text field draws its cursor by inverting what is under it, which turns
// dark red into bright cyan whatever the palette says. The field is drawn
// through this effect instead, which takes it down to red after the fact.
class RedOnlyEffect final : public QGraphicsEffect {
 public:
  using QGraphicsEffect::QGraphicsEffect;

 protected:
  void draw(QPainter* painter) override {
    QPoint offset;
    const QPixmap source = sourcePixmap(Qt::DeviceCoordinates, &offset, NoPad);
    QImage image = source.toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied);
    TakeToRed(image, RedOfMax);
    QPixmap red = QPixmap::fromImage(std::move(image));
    red.setDevicePixelRatio(source.devicePixelRatio());
    painter->save();
    painter->setWorldTransform(QTransform());
    painter->drawPixmap(offset, red);
    painter->restore();
  }
};

// Fusion with everything it draws taken down to red: each element goes into
// a layer of its own first. Text and fills in the palette's colours are red
// already and pass unchanged; the greys and whites the style mixes in (the
// inner contrast line of a button, the desaturated button face, icons)
// become red of the same brightness.
class NightStyle final : public QProxyStyle {
 public:
  NightStyle() : QProxyStyle(QStyleFactory::create("Fusion")) {}

  QPalette standardPalette() const override { return NightPalette(); }

  void drawPrimitive(PrimitiveElement element, const QStyleOption* option, QPainter* painter,
                     const QWidget* widget) const override {
    InRed(painter, option->rect,
          [&](QPainter* layer) { QProxyStyle::drawPrimitive(element, option, layer, widget); });
  }
  void drawControl(ControlElement element, const QStyleOption* option, QPainter* painter,
                   const QWidget* widget) const override {
    InRed(painter, option->rect,
          [&](QPainter* layer) { QProxyStyle::drawControl(element, option, layer, widget); });
  }
  void drawComplexControl(ComplexControl control, const QStyleOptionComplex* option,
                          QPainter* painter, const QWidget* widget) const override {
    InRed(painter, option->rect, [&](QPainter* layer) {
      QProxyStyle::drawComplexControl(control, option, layer, widget);
    });
  }
  void drawItemPixmap(QPainter* painter, const QRect& rect, int alignment,
                      const QPixmap& pixmap) const override {
    QProxyStyle::drawItemPixmap(painter, rect, alignment, RedPixmap(pixmap));
  }
  QPixmap generatedIconPixmap(QIcon::Mode mode, const QPixmap& pixmap,
                              const QStyleOption* option) const override {
    return RedPixmap(QProxyStyle::generatedIconPixmap(mode, pixmap, option));
  }

  // A widget that set colours of its own (File control's list) would keep
  // them; it gets night's while night lasts and its own back after.
  void polish(QWidget* widget) override {
    QProxyStyle::polish(widget);
    if (widget->testAttribute(Qt::WA_SetPalette) &&
        !widget->property(kDayPaletteProperty).isValid()) {
      widget->setProperty(kDayPaletteProperty, QVariant::fromValue(widget->palette()));
      widget->setPalette(NightPalette());
    }
    if (qobject_cast<QLineEdit*>(widget) != nullptr && widget->graphicsEffect() == nullptr) {
      widget->setGraphicsEffect(new RedOnlyEffect(widget));
    }
  }
  void unpolish(QWidget* widget) override {
    if (dynamic_cast<RedOnlyEffect*>(widget->graphicsEffect()) != nullptr) {
      widget->setGraphicsEffect(nullptr);  // deletes it
    }
    const QVariant day = widget->property(kDayPaletteProperty);
    if (day.isValid()) {
      widget->setProperty(kDayPaletteProperty, QVariant());
      widget->setPalette(day.value<QPalette>());
    }
    QProxyStyle::unpolish(widget);
  }
  using QProxyStyle::polish;
  using QProxyStyle::unpolish;

 private:
  // Runs `draw` on a layer over `area` (with a margin for focus frames and
  // outlines that reach past it), takes the layer down to red and puts it
  // on `painter`. Elements drawn by other elements land in the outer one's
  // layer.
  template <typename Draw>
  void InRed(QPainter* painter, const QRect& area, Draw draw) const {
    if (painter == nullptr || layerDepth_ > 0) {
      draw(painter);
      return;
    }
    constexpr int kMargin = 4;
    QRect rect = area.adjusted(-kMargin, -kMargin, kMargin, kMargin);
    if (painter->hasClipping()) rect &= painter->clipBoundingRect().toAlignedRect();
    if (rect.isEmpty()) return;
    const qreal ratio = painter->device() != nullptr ? painter->device()->devicePixelRatio() : 1.0;
    QImage layer(rect.size() * ratio, QImage::Format_ARGB32_Premultiplied);
    if (layer.isNull()) return;
    layer.setDevicePixelRatio(ratio);
    layer.fill(Qt::transparent);
    {
      QPainter onLayer(&layer);
      onLayer.setRenderHints(painter->renderHints());
      onLayer.setFont(painter->font());
      onLayer.setPen(painter->pen());
      onLayer.setBrush(painter->brush());
      onLayer.setLayoutDirection(painter->layoutDirection());
      onLayer.translate(-rect.topLeft());
      ++layerDepth_;
      draw(&onLayer);
      --layerDepth_;
    }
    TakeToRed(layer, RedOfMax);
    painter->drawImage(rect.topLeft(), layer);
  }

  // Styles draw on the user-interface thread only.
  mutable int layerDepth_ = 0;
};

}  // namespace

QPalette NightPalette() {
  struct Shade {
    QPalette::ColorRole role;
    int active;    // red level in active and inactive windows
    int disabled;  // red level of disabled controls
  };
  // Text at 200 of 255: readable through red film without lighting up the
  // room; surfaces between black and a fifth of that.
  static constexpr Shade kShades[] = {
      {QPalette::WindowText, 200, 96},   {QPalette::Button, 48, 36},
      {QPalette::Light, 80, 60},         {QPalette::Midlight, 60, 44},
      {QPalette::Dark, 16, 12},          {QPalette::Mid, 36, 28},
      {QPalette::Text, 200, 96},         {QPalette::BrightText, 255, 120},
      {QPalette::ButtonText, 200, 96},   {QPalette::Base, 12, 20},
      {QPalette::Window, 28, 28},        {QPalette::Shadow, 0, 0},
      {QPalette::Highlight, 110, 48},    {QPalette::HighlightedText, 240, 110},
      {QPalette::Link, 224, 110},        {QPalette::LinkVisited, 160, 90},
      {QPalette::AlternateBase, 20, 20}, {QPalette::ToolTipBase, 32, 32},
      {QPalette::ToolTipText, 200, 96},  {QPalette::PlaceholderText, 112, 72},
  };
  QPalette palette;
  for (const Shade& shade : kShades) {
    palette.setColor(QPalette::Active, shade.role, QColor(shade.active, 0, 0));
    palette.setColor(QPalette::Inactive, shade.role, QColor(shade.active, 0, 0));
    palette.setColor(QPalette::Disabled, shade.role, QColor(shade.disabled, 0, 0));
  }
#if QT_VERSION >= QT_VERSION_CHECK(6, 6, 0)
  for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
    palette.setColor(group, QPalette::Accent, palette.color(group, QPalette::Highlight));
  }
#endif
  return palette;
}

NightMode::NightMode(QApplication& app) : QObject(&app) {}

NightMode::~NightMode() {
  // Once the application is being destroyed there is nothing to restyle.
  if (on_ && qobject_cast<QApplication*>(QCoreApplication::instance()) != nullptr) Leave();
}

NightMode* NightMode::Of(const QCoreApplication* app) {
  return app == nullptr ? nullptr
                        : app->findChild<NightMode*>(QString(), Qt::FindDirectChildrenOnly);
}

void NightMode::SetOn(bool on) {
  if (on == on_) return;
  // Windows that ask during the restyle hear the new mode.
  on_ = on;
  if (on) {
    Enter();
  } else {
    Leave();
  }
  emit Changed(on);
}

void NightMode::Enter() {
  QStyle* day = QApplication::style();
  day->setParent(this);
  dayStyle_ = day;
  dayPalette_ = QApplication::palette();
  QApplication::setStyle(new NightStyle);
  QApplication::setPalette(NightPalette());
  Restyled();
}

void NightMode::Leave() {
  on_ = false;
  // The application takes the day's style back and deletes night's.
  if (dayStyle_) {
    QApplication::setStyle(dayStyle_.data());
  } else {
    QApplication::setStyle(QStyleFactory::create("Fusion"));
  }
  // A palette nobody had set (mask 0) resolves to the style's own again.
  QApplication::setPalette(dayPalette_);
  Restyled();
}

void NightMode::Restyled() {
  // The application posts the new palette to its windows; delivered now,
  // the switch is whole when SetOn returns.
  QCoreApplication::sendPostedEvents(nullptr, QEvent::ApplicationPaletteChange);
}

NightMode* ApplicationNightMode() { return NightMode::Of(QCoreApplication::instance()); }

bool NightVisionOn() {
  const NightMode* mode = ApplicationNightMode();
  return mode != nullptr && mode->IsOn();
}

}  // namespace ktal
