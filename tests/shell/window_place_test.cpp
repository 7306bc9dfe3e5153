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
  const QRect stays;                        // where it was kept
  const QRect centred(440, 362, 400, 300);  // on `left`
  const struct {
    const char* name;
    QList<QRect> screens;
    QRect kept;
    QRect placed;
  } cases[] = {
      {"a grip of the title bar on screen", {left}, QRect(1210, 500, 400, 300), stays},
      {"too little of the title bar on screen", {left}, QRect(1240, 500, 400, 300), centred},
      {"body below the bottom, title bar on screen", {left}, QRect(300, 1004, 400, 300), stays},
      {"title bar above the top, body on screen", {left}, QRect(100, -200, 400, 300), centred},
      {"on a second screen still there", {left, right}, QRect(2000, 100, 400, 300), stays},
      {"on a second screen that is gone", {left}, QRect(2000, 100, 400, 300), centred},
      {"larger than the screen", {left}, QRect(-3000, 0, 2560, 1440), QRect(0, 0, 1280, 1024)},
      {"narrower than a grip, all on screen", {left}, QRect(10, 10, 30, 30), stays},
      {"no screen at all", {}, QRect(-5000, 0, 400, 300), stays},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(PlaceOnScreens(c.kept, c.screens), c.placed.isNull() ? c.kept : c.placed);
  }
}

// Runs `window` in its kept place and returns that place as the window had
// it once shown; the window then moves to `moveTo` and closes itself.
QRect ExecAndSee(QDialog& window, SettingsStore& store, const QPoint& moveTo) {
  QRect seen;
  QTimer::singleShot(0, &window, [&] {
    seen = QRect(window.pos(), window.size());
    window.move(moveTo);
    window.accept();
  });
  ExecInKeptPlace(window, store, "w");
  return seen;
}

TEST(WindowPlace, AWindowOpensWhereItClosedAndOnScreenWhenThatIsGone) {
  QTemporaryDir folder;
  SettingsStore store(folder.filePath("ktal-companion.ini"), [](const QString&) {});
  const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
  const QRect kept(screen.topLeft() + QPoint(30, 20), QSize(240, 160));
  const QPoint moved = screen.topLeft() + QPoint(60, 50);
  store.SetWindowPlace("w", kept);
  {
    QDialog window;
    EXPECT_EQ(ExecAndSee(window, store, moved), kept);
  }
  EXPECT_EQ(store.values().windowPlaces.at("w"), QRect(moved, kept.size()));

  // Kept on a screen that is gone: it opens on this one, whole.
  store.SetWindowPlace("w", kept.translated(screen.width() + 3000, screen.height() + 3000));
  QDialog window;
  const QRect seen = ExecAndSee(window, store, moved);
  EXPECT_TRUE(screen.contains(seen)) << seen.x() << "," << seen.y();
  EXPECT_EQ(seen.size(), kept.size());
}

}  // namespace
}  // namespace ktal
