// SPDX-License-Identifier: GPL-3.0-or-later
// Windows open where they were closed, and never out of reach.
#include "shell/window_place.h"

#include <gtest/gtest.h>

#include <QDialog>
#include <QGuiApplication>
#include <QScreen>
#include <QTemporaryDir>
#include <QTimer>

#include "shell/settings_store.h"

namespace ktal {
namespace {

TEST(WindowPlace, StaysWhereItsTitleBarCanBeTakenElseComesOntoTheFirstScreen) {
  const QRect left(0, 0, 1280, 1024);
  const QRect right(1280, 0, 1920, 1080);
  struct Case {
    const char* name;
    QList<QRect> screens;
    QRect kept;
    QRect placed;
  };
  const Case cases[] = {
      {"inside", {left}, QRect(100, 80, 400, 300), QRect(100, 80, 400, 300)},
      {"mostly off the right edge, a grip of the title bar left",
       {left},
       QRect(1280 - 70, 500, 400, 300),
       QRect(1280 - 70, 500, 400, 300)},
      {"body below the bottom, title bar on screen",
       {left},
       QRect(300, 1024 - 20, 400, 300),
       QRect(300, 1024 - 20, 400, 300)},
      {"too little of the title bar on screen",
       {left},
       QRect(1280 - 40, 500, 400, 300),
       QRect(440, 362, 400, 300)},
      {"title bar above the top, body on screen",
       {left},
       QRect(100, -200, 400, 300),
       QRect(440, 362, 400, 300)},
      {"on a second screen that is still there",
       {left, right},
       QRect(2000, 100, 400, 300),
       QRect(2000, 100, 400, 300)},
      {"on a second screen that is gone",
       {left},
       QRect(2000, 100, 400, 300),
       QRect(440, 362, 400, 300)},
      {"larger than the screen that takes it",
       {left},
       QRect(-3000, 0, 2560, 1440),
       QRect(0, 0, 1280, 1024)},
      {"a narrow window all on screen", {left}, QRect(10, 10, 30, 30), QRect(10, 10, 30, 30)},
      {"no screen at all", {}, QRect(-5000, 0, 400, 300), QRect(-5000, 0, 400, 300)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(PlaceOnScreens(c.kept, c.screens), c.placed);
  }
}

// Opens `window` in its kept place and hands its place, as the window had
// it once shown, to `seen`; the window closes itself.
QRect ExecAndSee(QDialog& window, SettingsStore& store, const QString& name,
                 const QPoint& moveTo = {}) {
  QRect seen;
  QTimer::singleShot(0, &window, [&] {
    seen = QRect(window.pos(), window.size());
    if (!moveTo.isNull()) window.move(moveTo);
    window.accept();
  });
  ExecInKeptPlace(window, store, name);
  return seen;
}

TEST(WindowPlace, AWindowOpensWhereItClosedAndOnScreenWhenThatIsGone) {
  QTemporaryDir folder;
  SettingsStore store(folder.filePath("ktal-companion.ini"), [](const QString&) {});
  const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
  const QPoint moved = screen.topLeft() + QPoint(60, 50);
  {
    QDialog window;
    window.resize(240, 160);
    ExecAndSee(window, store, "w", moved);
  }
  const QRect kept = store.values().windowPlaces.at("w");
  EXPECT_EQ(kept, QRect(moved, QSize(240, 160)));
  {
    QDialog window;
    EXPECT_EQ(ExecAndSee(window, store, "w"), kept);
  }
  // Kept on a screen that is gone: it opens on this one, whole.
  store.SetWindowPlace("w", QRect(screen.right() + 3000, screen.bottom() + 3000, 240, 160));
  {
    QDialog window;
    const QRect seen = ExecAndSee(window, store, "w");
    EXPECT_TRUE(screen.contains(seen)) << seen.x() << "," << seen.y();
    EXPECT_EQ(seen.size(), QSize(240, 160));
  }
  // A window without a kept place opens where the toolkit puts it, and
  // only its closing keeps one.
  {
    QDialog window;
    window.resize(200, 100);
    ExecAndSee(window, store, "fresh");
  }
  EXPECT_EQ(store.values().windowPlaces.at("fresh").size(), QSize(200, 100));
}

}  // namespace
}  // namespace ktal
