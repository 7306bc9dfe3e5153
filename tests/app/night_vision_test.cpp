// SPDX-License-Identifier: GPL-3.0-or-later
// Night vision as the user sees it: every window of the program, each kind
// of message box, the file dialog, a menu, a drop-down list and a tooltip,
// rendered offscreen in night vision with every pixel checked, and the
// windows' day look back pixel for pixel after switching back. The windows
// run on the simulated guider as --simulate seeds it, so that lists, the
// screen and the picture have something in them.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QImage>
#include <QProgressBar>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolTip>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/application.h"
#include "app/feature_installs.h"
#include "app/launcher_dialog.h"
#include "camera/cam_ctrl_dlg.h"
#include "canvas/bitmap_rect.h"
#include "filesystem/filesystem_dlg.h"
#include "firmware/firmware_dlg.h"
#include "link/ftdi_device.h"
#include "shell/night_mode.h"
#include "shell/startup_directory.h"
#include "shell/user_dialogs.h"
#include "sim/demo/demo_guider.h"
#include "sim/simulated_guider.h"
#include "tests/app/scripted_dialogs.h"
#include "tests/guidelog/headless_chromium.h"
#include "vui/ui_dlg.h"

namespace ktal {
namespace {

using testing::ScriptedDialogs;

QApplication& App() { return *qobject_cast<QApplication*>(QCoreApplication::instance()); }

QImage Grab(QWidget* widget) {
  return widget->grab().toImage().convertToFormat(QImage::Format_RGB32);
}

// `window` as it is now, in night red: no pixel gives off green or blue
// over 3% of the red beside it, and text reaches a red bright enough to
// read.
void ExpectRed(QWidget* window, const char* what) {
  SCOPED_TRACE(what);
  ASSERT_NE(window, nullptr);
  const QImage image = Grab(window);
  int breaches = 0, brightest = 0;
  QString first;
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) {
      const QRgb pixel = image.pixel(x, y);
      brightest = std::max(brightest, qRed(pixel));
      const int limit = qRed(pixel) * 3;
      if (qGreen(pixel) * 100 <= limit && qBlue(pixel) * 100 <= limit) continue;
      if (breaches++ == 0) first = QString("(%1, %2): %3").arg(x).arg(y).arg(pixel, 0, 16);
    }
  }
  EXPECT_EQ(breaches, 0) << "first at " << first.toStdString();
  EXPECT_GE(brightest, 150) << "nothing readable";
}

class NightVisionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_startupDirectory = dir_.path().toStdString();
    sim_ = std::make_unique<sim::SimulatedGuider>();
    sim::SeedDemoGuider(*sim_);
    g_device.AttachDriver(&sim_->driver(), &sim_->clock());
  }
  void TearDown() override {
    night_.SetOn(false);
    g_device.Close();
    g_device.AttachDriver(nullptr, nullptr);
  }

  // `window`, shown by day, switched to night and back: red at night, and
  // its day look back pixel for pixel.
  void ExpectRedAtNightAndDayBack(QWidget* window, const char* what) {
    const QImage day = Grab(window);
    night_.SetOn(true);
    ExpectRed(window, what);
    night_.SetOn(false);
    EXPECT_EQ(Grab(window), day) << what << ": switching back did not bring the day's look back";
  }

  QTemporaryDir dir_;
  NightMode night_{App()};
  std::unique_ptr<sim::SimulatedGuider> sim_;
  ScriptedDialogs dialogs_;
};

TEST_F(NightVisionTest, EveryWindowIsRedAtNightAndItsDayLookComesBack) {
  CTVX_DUVO_VerAdiDlg launcher(dialogs_);
  for (FeatureInstaller install :
       {InstallFirmwareControl, InstallFileControl, InstallCameraControl, InstallVirtualUi}) {
    install(launcher, dialogs_);
  }
  launcher.SetNightMode(&night_);
  launcher.show();
  ExpectRedAtNightAndDayBack(&launcher, "launcher");
  CAboutDlg about;
  about.show();
  ExpectRedAtNightAndDayBack(&about, "about");
  // The windows that talk to the guider, one at a time.
  {
    CFilesystemDlg files(dialogs_, g_device);
    files.show();
    auto* list = files.findChild<QTableWidget*>();
    ASSERT_NE(list, nullptr);
    ASSERT_GT(list->rowCount(), 1) << "the demo guider's logs are not listed";
    list->selectRow(1);
    auto* progress = files.findChild<QProgressBar*>();
    ASSERT_NE(progress, nullptr);
    progress->setRange(0, 100);
    progress->setValue(40);
    ExpectRedAtNightAndDayBack(&files, "file control");
  }
  {
    CFirmwareDlg firmware(dialogs_, g_device);
    firmware.show();
    ExpectRedAtNightAndDayBack(&firmware, "firmware control");
  }
  {
    CCamCtrlDlg camera(dialogs_, g_device);
    camera.show();
    camera.findChild<CBitmapRect*>()->grab();  // the canvas takes its size
    ASSERT_TRUE(camera.Initialise());
    QCoreApplication::sendPostedEvents();
    ExpectRedAtNightAndDayBack(&camera, "camera control");
    CFindHotpxDlg options(dialogs_);
    options.show();
    ExpectRedAtNightAndDayBack(&options, "dark frame options");
  }
  CUIDlg vui(dialogs_);
  vui.m_pDevice = &g_device;
  vui.show();
  for (CBitmapRect* canvas : vui.findChildren<CBitmapRect*>()) canvas->grab();
  for (int tick = 0; tick < 3; ++tick) vui.OnScreenTimer();  // handshake, then all bands
  vui.OnLedTimer();
  ExpectRedAtNightAndDayBack(&vui, "virtual UI");
  // Its drop-down list and a tooltip, opened at night.
  night_.SetOn(true);
  auto* sizes = vui.findChild<QComboBox*>();
  ASSERT_NE(sizes, nullptr);
  sizes->showPopup();
  ExpectRed(sizes->view()->window(), "drop-down list");
  sizes->hidePopup();
  QToolTip::showText(vui.mapToGlobal(QPoint(20, 20)), sizes->toolTip(), &vui);
  QWidget* tip = nullptr;
  for (QWidget* top : QApplication::topLevelWidgets()) {
    if (top->inherits("QTipLabel") && top->isVisible()) tip = top;
  }
  ExpectRed(tip, "tooltip");
  QToolTip::hideText();
}

// Each opened at night, blocking in a window of its own: checked once it is
// ready, then closed.
TEST_F(NightVisionTest, MessageBoxesTheFileDialogAndMenusAreRedAtNight) {
  QtUserDialogs dialogs;
  std::ofstream(std::filesystem::path(dir_.path().toStdString()) / "QD00002a.dat") << "x";
  QDir(dir_.path()).mkdir("QD00002a.dat.content");
  CTVX_DUVO_VerAdiDlg launcher(dialogs);
  launcher.show();
  const auto box = [&](MessageIcon icon) {
    return [&, icon] {
      dialogs.ShowMessage(nullptr, "Do You really want to?", "WARNING", icon,
                          MessageButtons::OkCancel);
    };
  };
  bool nonNative = false;
  const struct {
    const char* what;
    std::function<void()> open;
    std::function<bool(QWidget*)> ready;  // none: once it shows
  } cases[] = {
      {"exclamation box", box(MessageIcon::Exclamation)},
      {"error box", box(MessageIcon::Error)},
      {"information box", box(MessageIcon::Information)},
      {"question box", box(MessageIcon::Question)},
      {"file dialog",
       [&] { dialogs.OpenFiles(nullptr, "Open a raw log", dir_.path(), "Raw logs (*.dat)", true); },
       // Once the folder is listed: the files are part of the look.
       [&](QWidget* window) {
         auto* dialog = qobject_cast<QFileDialog*>(window);
         auto* files =
             dialog != nullptr ? dialog->findChild<QAbstractItemView*>("treeView") : nullptr;
         if (files == nullptr || files->model()->rowCount(files->rootIndex()) < 2) return false;
         nonNative = dialog->testOption(QFileDialog::DontUseNativeDialog);
         return true;
       }},
      {"menu",
       [&] {
         QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(10, 10),
                                 launcher.mapToGlobal(QPoint(10, 10)));
         QCoreApplication::sendEvent(&launcher, &event);
       }},
  };
  const auto active = [] {
    QWidget* popup = QApplication::activePopupWidget();
    return popup != nullptr ? popup : QApplication::activeModalWidget();
  };
  night_.SetOn(true);
  for (const auto& c : cases) {
    bool shown = false;
    QTimer check;
    check.setSingleShot(true);
    QObject::connect(&check, &QTimer::timeout, [&] {
      shown = QTest::qWaitFor([&] {
        QWidget* window = active();
        return window != nullptr && window->isVisible() && (!c.ready || c.ready(window));
      });
      if (shown) ExpectRed(active(), c.what);
      if (active() != nullptr) active()->close();
    });
    check.start(0);
    c.open();
    EXPECT_TRUE(shown) << c.what << " never showed";
  }
  EXPECT_TRUE(nonNative) << "a desktop's dialog keeps its own colours";
}

// The launcher's check box switches the application's mode, and follows it
// when something else switches it.
TEST_F(NightVisionTest, TheLaunchersBoxSwitchesAndFollowsTheMode) {
  CTVX_DUVO_VerAdiDlg launcher(dialogs_);
  launcher.show();
  QCheckBox* box = launcher.NightVisionBox();
  ASSERT_NE(box, nullptr);
  EXPECT_FALSE(box->isVisible()) << "a switch with nothing to switch";

  launcher.SetNightMode(&night_);
  ASSERT_TRUE(QTest::qWaitForWindowActive(&launcher));
  EXPECT_TRUE(box->isVisible());
  QTest::keyClick(&launcher, Qt::Key_N, Qt::AltModifier);
  // A mnemonic clicks after a moment, showing the box pressed.
  EXPECT_TRUE(QTest::qWaitFor([&] { return night_.IsOn(); }, 1000));
  EXPECT_TRUE(launcher.isVisible()) << "switching must not close the window";
  box->click();
  EXPECT_FALSE(night_.IsOn());

  night_.SetOn(true);
  EXPECT_TRUE(box->isChecked());
  night_.SetOn(false);
  EXPECT_FALSE(box->isChecked());
}

// Takes the addresses the desktop is asked to open.
class UrlCatcher : public QObject {
  Q_OBJECT
 public:
  UrlCatcher() { QDesktopServices::setUrlHandler("file", this, "Open"); }
  ~UrlCatcher() override { QDesktopServices::unsetUrlHandler("file"); }
  std::vector<QUrl> urls;
 public slots:
  void Open(const QUrl& url) { urls.push_back(url); }
};

// In night vision a page opens in its night theme: the browser is sent to
// it with "#night" in its address, through a page of its own since the
// desktop's opener drops what follows '#'. Other files, and every file by
// day, open as they are.
TEST_F(NightVisionTest, PagesOpenWithNightInTheirAddress) {
  const QString page = dir_.filePath("analysis.html");
  QFile file(page);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.write(
      "<!DOCTYPE html><html><head><script>document.documentElement.setAttribute("
      "'data-hash', location.hash);</script></head><body></body></html>");
  file.close();
  const QString table = dir_.filePath("events.csv");
  QtUserDialogs dialogs;
  UrlCatcher catcher;

  EXPECT_TRUE(dialogs.OpenWithDesktop(page));
  night_.SetOn(true);
  EXPECT_TRUE(dialogs.OpenWithDesktop(table));
  EXPECT_TRUE(dialogs.OpenWithDesktop(page));
  night_.SetOn(false);
  ASSERT_EQ(catcher.urls.size(), 3u);
  EXPECT_EQ(catcher.urls[0], QUrl::fromLocalFile(page));
  EXPECT_EQ(catcher.urls[1], QUrl::fromLocalFile(table));
  const QUrl forward = catcher.urls[2];
  ASSERT_TRUE(forward.isLocalFile());
  EXPECT_FALSE(forward.toLocalFile().startsWith(dir_.path())) << "nothing written beside the page";
  EXPECT_TRUE(QFile::exists(forward.toLocalFile()));

  const std::optional<std::string> chromium = browser::FindChromium();
  if (!chromium) GTEST_SKIP() << "no Chromium to follow the page with";
  // The browser as the desktop starts it, given time to follow on.
  QTemporaryDir work;
  const std::filesystem::path folder = work.path().toStdString();
  const browser::RunResult run = browser::RunWithLimit(
      {*chromium, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
       "--user-data-dir=" + (folder / "profile").string(), "--virtual-time-budget=5000",
       "--dump-dom", forward.toString().toStdString()},
      folder / "dom.html", folder / "browser.log", std::chrono::seconds(120));
  ASSERT_TRUE(run.finished && run.exit_code == 0) << "Chromium failed";
  EXPECT_NE(run.out.find("data-hash=\"#night\""), std::string::npos) << run.out;
}

}  // namespace
}  // namespace ktal

#include "night_vision_test.moc"
