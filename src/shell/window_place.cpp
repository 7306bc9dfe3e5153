// SPDX-License-Identifier: GPL-3.0-or-later
#include "shell/window_place.h"

#include <QDialog>
#include <QGuiApplication>
#include <QScreen>
#include <QWidget>
#include <algorithm>

#include "shell/settings_store.h"

namespace ktal {

namespace {

// The part of a window's top that a pointer can take hold of to move it:
// the title bar, as high as window managers draw it at the least, and at
// least this wide on one screen.
constexpr int kTitleBarHeight = 24;
constexpr int kGripWidth = 64;

bool TitleBarReachable(const QRect& kept, const QList<QRect>& screens) {
  const QRect titleBar(kept.x(), kept.y(), kept.width(), kTitleBarHeight);
  const int grip = std::min(kGripWidth, kept.width());
  return std::any_of(screens.begin(), screens.end(), [&](const QRect& screen) {
    const QRect shown = titleBar.intersected(screen);
    return shown.width() >= grip && shown.height() >= kTitleBarHeight / 2;
  });
}

QList<QRect> AvailableScreens() {
  QList<QRect> screens;
  if (QScreen* primary = QGuiApplication::primaryScreen()) {
    screens.push_back(primary->availableGeometry());
  }
  for (QScreen* screen : QGuiApplication::screens()) {
    if (screen != QGuiApplication::primaryScreen()) screens.push_back(screen->availableGeometry());
  }
  return screens;
}

}  // namespace

QRect PlaceOnScreens(const QRect& kept, const QList<QRect>& screens) {
  if (screens.isEmpty() || TitleBarReachable(kept, screens)) return kept;
  const QRect& screen = screens.front();
  QRect place(QPoint(), kept.size().boundedTo(screen.size()));
  place.moveCenter(screen.center());
  return place;
}

void RestoreWindowPlace(QWidget& window, const SettingsStore& store, const QString& name) {
  const auto kept = store.values().windowPlaces.find(name);
  if (kept == store.values().windowPlaces.end()) return;
  const QRect place = PlaceOnScreens(kept->second, AvailableScreens());
  window.resize(place.size());
  window.move(place.topLeft());
}

void KeepWindowPlace(const QWidget& window, SettingsStore& store, const QString& name) {
  store.SetWindowPlace(name, QRect(window.pos(), window.size()));
}

int ExecInKeptPlace(QDialog& window, SettingsStore& store, const QString& name) {
  RestoreWindowPlace(window, store, name);
  const int result = window.exec();
  KeepWindowPlace(window, store, name);
  return result;
}

}  // namespace ktal
