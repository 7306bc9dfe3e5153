// SPDX-License-Identifier: GPL-3.0-or-later
// The camera control window driven as a user would, against the simulated
// guider on virtual time. A dark-frame run's worker is the real thread:
// while it runs, only it touches the simulator, and the test waits in the
// progress window's loop like the user.
#include "camera/cam_ctrl_dlg.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QSlider>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <ctime>
#include <filesystem>
#include <functional>
#include <future>
#include <iterator>
#include <memory>
#include <vector>

#include "camera/dark_frames.h"
#include "camera/fits_export.h"
#include "camera/hot_pixel_summary.h"
#include "canvas/bitmap_rect.h"
#include "link/ftdi_device.h"
#include "shell/night_mode.h"
#include "sim/simulated_guider.h"
#include "tests/app/scripted_dialogs.h"
#include "tests/camera/fits_reader.h"

namespace ktal {
namespace {

using sim::ControllerMode;
using Bytes = std::vector<std::uint8_t>;

constexpr char kCancelled[] = "Creating dark frame was cancelled...\n\nHot pixel map not built.";

// The scripted answers, noting whether the progress window was up at each
// message.
class Dialogs final : public UserDialogs {
 public:
  MessageAnswer ShowMessage(QWidget* parent, const QString& text, const QString& caption,
                            MessageIcon icon, MessageButtons buttons) override {
    progressUp.push_back(g_progressDlg.window() != nullptr);
    return script.ShowMessage(parent, text, caption, icon, buttons);
  }
  QStringList OpenFiles(QWidget*, const QString&, const QString&, const QString&, bool) override {
    return {};
  }
  QString SaveFile(QWidget* parent, const QString& caption, const QString& proposed,
                   const QString& filter) override {
    return script.SaveFile(parent, caption, proposed, filter);
  }
  testing::ScriptedDialogs script;
  std::vector<bool> progressUp;
};

class CamCtrlDlgTest : public ::testing::Test {
 public:
  void SetUp() override { Start({}); }
  void TearDown() override {
    window_.reset();
    g_device.Close();
    g_device.AttachDriver(nullptr, nullptr);
  }

  void Start(sim::HandControllerConfig config) {
    window_.reset();
    g_device.Close();
    g_device.AttachDriver(nullptr, nullptr);
    sim_ = std::make_unique<sim::SimulatedGuider>(config);
    g_device.AttachDriver(&sim_->driver(), &sim_->clock());
    dialogs_.script = {};
    dialogs_.progressUp.clear();
  }
  // Opens and initialises the window, and lets the track bars' first
  // messages through. Returns what Initialise said.
  bool Open() {
    window_ = std::make_unique<CCamCtrlDlg>(dialogs_, g_device);
    window_->show();
    canvas()->grab();  // the canvas gets its pixels at its first paint
    const bool ok = window_->Initialise();
    QCoreApplication::processEvents();
    return ok;
  }
  template <typename T = QWidget>
  T* Control(int id) {
    T* control =
        window_->findChild<T*>(id == 1 ? QString("button1") : QString("control%1").arg(id));
    EXPECT_NE(control, nullptr) << id;
    return control;
  }
  QString Text(int id) { return Control<QLabel>(id)->text(); }
  QString Note(const char* name) { return window_->findChild<QLabel*>(name)->text(); }
  CBitmapRect* canvas() { return Control<CBitmapRect>(kIdCamCanvas); }
  int ox() { return (canvas()->Width() - kBinnedWidth) / 2; }
  int oy() { return (canvas()->Height() - kBinnedHeight) / 2; }

  // Make dark with `exposures` typed into the option dialog; returns when
  // the run and its progress window have ended.
  void MakeDark(int exposures) {
    QTimer::singleShot(0, window_.get(), [this, exposures] {
      auto* options = window_->findChild<CFindHotpxDlg*>();
      ASSERT_NE(options, nullptr);
      options->findChild<QLineEdit*>("control1038")->setText(QString::number(exposures));
      options->findChild<QPushButton*>("button1")->click();
    });
    Control<QPushButton>(kIdMakeDark)->click();
  }

  sim::CameraState& camera() { return sim_->features().camera; }
  const sim::ChipState& chip() { return sim_->driver().chip(0); }
  const std::vector<testing::AskedMessage>& messages() { return dialogs_.script.messages(); }

  // The master dark the run must build from the camera's first n darks.
  Bytes ExpectedMaster(int n) {
    std::vector<Bytes> frames;
    std::vector<const std::uint8_t*> pointers;
    for (int k = 0; k < n; ++k) {
      const Bytes raw = camera().darks.Frame(k);
      frames.emplace_back(kFrameBytes);
      PrepareDarkFrame(raw.data(), frames.back().data());
    }
    for (const Bytes& frame : frames) pointers.push_back(frame.data());
    Bytes master(kFrameBytes);
    EXPECT_EQ(StackDarkFrames(kStackIterations, kReadNoise, kGain, n, pointers.data(),
                              master.data(), kFrameBytes),
              0);
    return master;
  }

  std::unique_ptr<sim::SimulatedGuider> sim_;
  Dialogs dialogs_;
  std::unique_ptr<CCamCtrlDlg> window_;
};

// ---- Initialisation ----

struct InitCase {
  const char* name;
  std::function<void(sim::SimulatedGuider&)> arrange;
  sim::HandControllerConfig config;
  // Empty: the window opens.
  QString text;
  QString caption;
  MessageIcon icon;
};

TEST_F(CamCtrlDlgTest, InitialisationFailuresAreReportedAndEndTheWindowOutOfCameraMode) {
  const InitCase cases[] = {
      {"no guider on the bus",
       [](sim::SimulatedGuider&) { g_device.AttachDriver(nullptr, nullptr); },
       {},
       "Can't connect to device!",
       "ERROR",
       MessageIcon::None},
      {"guider switched off",
       {},
       {.startMode = ControllerMode::kOff},
       "Device is not responding!",
       "ERROR",
       MessageIcon::None},
      {"firmware 2.03",
       {},
       {.firmwareVersion = 0x0203},
       "Camera mode unavailable, firmware is too old. Use fw. 02.04 or later!",
       "ERROR",
       MessageIcon::None},
      {"firmware 2.04", {}, {.firmwareVersion = 0x0204}, "", "", MessageIcon::None},
      {"no file-system mode",
       [](sim::SimulatedGuider& sim) { sim.features().fileSystem.supported = false; },
       {},
       "Can't enter exclusive mode. Details:\n",
       "ERROR",
       MessageIcon::Exclamation},
      {"no camera mode",
       [](sim::SimulatedGuider& sim) { sim.features().camera.cameraModeSupported = false; },
       {},
       "Camera mode not supported by firmware",
       "ERROR",
       MessageIcon::Exclamation},
      {"state not acknowledged",
       [](sim::SimulatedGuider& sim) { sim.features().camera.faults.acks[0xC0] = {}; },
       {},
       "Communication error",
       "ERROR",
       MessageIcon::None},
      {"camera already running",
       [](sim::SimulatedGuider& sim) { sim.features().camera.state = 1; },
       {},
       "Camera should not be active at this point...",
       "INTERNAL ERROR",
       MessageIcon::Exclamation},
  };
  for (const InitCase& c : cases) {
    SCOPED_TRACE(c.name);
    Start(c.config);
    if (c.arrange) c.arrange(*sim_);
    const bool opened = Open();
    EXPECT_EQ(opened, c.text.isEmpty());
    if (c.text.isEmpty()) {
      EXPECT_TRUE(messages().empty());
      EXPECT_EQ(Text(kIdCameraState), "Camera OFF");
      EXPECT_TRUE(window_->TimerRunning());
      // The track bars' first messages: 1x1, then 2x2 drawn last.
      EXPECT_EQ(Text(kIdSlider1x1Value), "50");
      EXPECT_EQ(Text(kIdSlider2x2Value), "30");
      EXPECT_EQ(Text(kIdPictureTitle), "Cosmetized dark frame (2x2)");
      EXPECT_EQ(sim_->guider().mode(), ControllerMode::kCamera);
      window_->close();
    } else {
      ASSERT_EQ(messages().size(), 1u);
      EXPECT_TRUE(messages()[0].text.startsWith(c.text)) << messages()[0].text.toStdString();
      EXPECT_EQ(messages()[0].caption, c.caption);
      EXPECT_EQ(messages()[0].icon, c.icon);
      EXPECT_EQ(window_->result(), 1);
      EXPECT_FALSE(window_->isVisible());
      EXPECT_FALSE(window_->TimerRunning());
    }
    // However it ended, the guider is out of camera and file-system mode
    // and the link is closed.
    EXPECT_FALSE(g_device.IsOpen());
    EXPECT_NE(sim_->guider().mode(), ControllerMode::kCamera);
    EXPECT_NE(sim_->guider().mode(), ControllerMode::kFileSystem);
  }
}

TEST_F(CamCtrlDlgTest, TimerReportsALostGuiderAndEndsTheWindow) {
  ASSERT_TRUE(Open());
  window_->OnTimer();
  EXPECT_TRUE(messages().empty());
  sim_->guider().PowerOff();
  window_->OnTimer();
  ASSERT_EQ(messages().size(), 1u);
  EXPECT_EQ(messages()[0].text, "connection lost to device...");
  EXPECT_EQ(messages()[0].icon, MessageIcon::Exclamation);
  EXPECT_EQ(window_->result(), 1);
  EXPECT_FALSE(window_->TimerRunning());
  EXPECT_FALSE(g_device.IsOpen());
}

// ---- The dark-frame run ----

TEST_F(CamCtrlDlgTest, MakeDarkStacksThreeExposuresAndEnablesTheChoice) {
  ASSERT_TRUE(Open());
  EXPECT_FALSE(Control(kIdSlider1x1)->isEnabled());
  EXPECT_FALSE(Control(kIdStoreNewMap)->isEnabled());

  MakeDark(3);

  EXPECT_TRUE(messages().empty()) << messages()[0].text.toStdString();
  EXPECT_EQ(camera().exposures, 3);
  EXPECT_EQ(camera().parameterD9, 8);  // the run sets the camera up once
  const Bytes expected = ExpectedMaster(3);
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), g_masterDark));
  EXPECT_FALSE(window_->RunActive());
  EXPECT_EQ(g_progressDlg.window(), nullptr);
  EXPECT_TRUE(Control(kIdSlider1x1)->isEnabled());
  EXPECT_TRUE(Control(kIdSlider2x2)->isEnabled());
  EXPECT_TRUE(Control(kIdStoreNewMap)->isEnabled());
  EXPECT_TRUE(window_->isVisible());
  // The view after a run is the camera's map, empty on a new camera.
  EXPECT_EQ(Text(kIdPictureTitle), "Hot pixel data stored in Camera");
  EXPECT_EQ(Text(kIdMapStatistics), "No data");
  // The link is back at its running speed, the camera on and in camera mode.
  EXPECT_TRUE(g_device.IsOpen());
  EXPECT_EQ(chip().line.baud, 250000u);
  EXPECT_EQ(camera().state, 1);
  EXPECT_EQ(sim_->guider().mode(), ControllerMode::kCamera);

  // Beside the track bars: the 50th brightest pixel of the master against
  // its median, and the new map against the camera's empty one.
  Bytes sorted = expected;
  std::sort(sorted.begin(), sorted.end(), std::greater<>());
  const int median = sorted[(kFrameBytes - 1) - (kFrameBytes - 1) / 2];
  EXPECT_EQ(Note("controlLevel1x1"),
            QString("faintest hidden: %1, background (median): %2").arg(sorted[49]).arg(median));
  EXPECT_EQ(Note("controlMapChange"),
            "new 1x1 map against the camera's: 0 kept, 50 added, 0 dropped");
  Control<QSlider>(kIdSlider1x1)->setValue(0);
  EXPECT_EQ(Text(kIdPictureTitle), "Cosmetized dark frame (1x1)");
  EXPECT_TRUE(Note("controlLevel1x1").startsWith("none hidden"));
}

TEST_F(CamCtrlDlgTest, CancelDuringTheFirstExposureEndsTheRunAfterItsDownload) {
  ASSERT_TRUE(Open());
  // Press Cancel on the user-interface thread while the first exposure is
  // under way; the worker waits in the simulator until it has been
  // pressed, so the press falls inside that exposure.
  QString textAfterCancel;
  std::promise<void> pressed;
  std::function<void()> watch = [&] {
    if (camera().exposures < 1) {
      sim_->clock().ScheduleIn(50'000, watch);
      return;
    }
    QMetaObject::invokeMethod(
        qApp,
        [&] {
          QDialog* progress = g_progressDlg.window();
          progress->findChild<QPushButton*>("control1040")->click();
          textAfterCancel = progress->findChild<QLabel*>("control1041")->text();
          pressed.set_value();
        },
        Qt::QueuedConnection);
    pressed.get_future().wait();
  };
  sim_->clock().ScheduleIn(50'000, watch);

  MakeDark(3);

  EXPECT_EQ(textAfterCancel, "Please wait while the last exposure ends...");
  ASSERT_EQ(messages().size(), 1u);
  EXPECT_EQ(messages()[0].text, kCancelled);
  EXPECT_EQ(messages()[0].caption, "INFORMATION");
  EXPECT_EQ(messages()[0].icon, MessageIcon::None);
  // The first frame was downloaded whole, no second exposure was begun.
  EXPECT_EQ(camera().exposures, 1);
  EXPECT_EQ(camera().downloads, 1);
  EXPECT_EQ(camera().blocksSent, (kFrameBytes + 3967) / 3968);
  EXPECT_TRUE(
      std::all_of(g_masterDark, g_masterDark + kFrameBytes, [](std::uint8_t v) { return v == 0; }));
  EXPECT_FALSE(window_->RunActive());
  EXPECT_EQ(window_->result(), 1);
  EXPECT_FALSE(window_->isVisible());
  EXPECT_FALSE(g_device.IsOpen());
  EXPECT_NE(chip().line.baud, 2000000u);
  EXPECT_EQ(sim_->guider().mode(), ControllerMode::kNormal);
}

TEST_F(CamCtrlDlgTest, FailedExposureIsReportedWhileTheProgressWindowIsUp) {
  ASSERT_TRUE(Open());
  camera().faults.shortBlock = sim::CameraFaults::ShortBlock{.block = 3, .bytes = 100};
  MakeDark(2);
  ASSERT_EQ(messages().size(), 1u);
  EXPECT_EQ(messages()[0].text, "Failed to do an exposure");
  EXPECT_EQ(messages()[0].icon, MessageIcon::Exclamation);
  ASSERT_EQ(dialogs_.progressUp.size(), 1u);
  EXPECT_TRUE(dialogs_.progressUp[0]);
  EXPECT_EQ(camera().exposures, 1);
  EXPECT_EQ(window_->result(), 1);
  EXPECT_FALSE(g_device.IsOpen());
  EXPECT_NE(chip().line.baud, 2000000u);
  EXPECT_NE(sim_->guider().mode(), ControllerMode::kCamera);
}

// ---- Storing and the stored map ----

TEST_F(CamCtrlDlgTest, StoreNewMapWritesBothTablesAndShowsTheReadBack) {
  ASSERT_TRUE(Open());
  MakeDark(3);
  ASSERT_TRUE(messages().empty());
  Control<QSlider>(kIdSlider1x1)->setValue(5);
  Control<QSlider>(kIdSlider2x2)->setValue(3);
  EXPECT_EQ(Note("controlMapChange"),
            "new 1x1 map against the camera's: 0 kept, 5 added, 0 dropped");

  Control<QPushButton>(kIdStoreNewMap)->click();

  ASSERT_EQ(messages().size(), 1u);
  EXPECT_EQ(messages()[0].text, "Hot pixels maps of the Camera\nhas been updated successfully.");
  EXPECT_EQ(messages()[0].caption, "Notification");
  EXPECT_EQ(messages()[0].icon, MessageIcon::Information);

  // The camera's memory: marker, the 1x1 table from 1, the 2x2 from 256,
  // each entry x, y (little-endian) and flags as the searches give them.
  const auto& memory = camera().memory;
  EXPECT_EQ(memory[0], 0xEE);
  auto expectTable = [&](int address, const HotPixelList& list) {
    ASSERT_EQ(memory[address], list.count);
    for (int i = 0; i < list.count; ++i) {
      const int at = address + 1 + 5 * i;
      EXPECT_EQ(memory[at] | memory[at + 1] << 8, list.x[i]) << i;
      EXPECT_EQ(memory[at + 2] | memory[at + 3] << 8, list.y[i]) << i;
      EXPECT_EQ(memory[at + 4], list.flags[i]) << i;
    }
  };
  Bin2x2(3);
  const HotPixelList binned = g_hotList2x2;
  FindHotPixels(g_masterDark, kFrameWidth, kFrameHeight, 5);
  expectTable(1, g_hotList);
  expectTable(256, binned);

  // The window shows the map as read back: every entry drawn in its
  // class's colour, and counted.
  EXPECT_EQ(Text(kIdPictureTitle), "Hot pixel data stored in Camera");
  EXPECT_EQ(window_->m_maps.count1x1, 5);
  for (int i = 0; i < 5; ++i) {
    const HotPixelEntry& e = window_->m_maps.entries1x1[i];
    EXPECT_NE(canvas()->PixelAt(ox() + e.x / 2, oy() + e.y / 2), 0u) << i;
  }
  EXPECT_TRUE(Text(kIdMapStatistics).startsWith("single: "));
  EXPECT_EQ(Note("controlMapChange"),
            "new 1x1 map against the camera's: 5 kept, 0 added, 0 dropped");
  EXPECT_TRUE(window_->isVisible());
  EXPECT_EQ(chip().line.baud, 250000u);
}

struct StatisticsCase {
  const char* name;
  Bytes memory;  // from address 0
  QString text;
};

TEST_F(CamCtrlDlgTest, ReadCurrentCountsTheStoredMapByClass) {
  const StatisticsCase cases[] = {
      {"erased", {0xFF, 3}, "No data"},
      // (751, 581) all sides usable: single, grey at the picture's corner.
      // (0, 0) with its right and lower neighbours hot: flags 0, yet two
      // border sides: grouped. (10, 10) with flags 0: not removable.
      {"three classes",
       {0xEE, 4, 0xEF, 0x02, 0x45, 0x02, 15, 0, 0, 0, 0, 0, 1, 0, 0, 0, 4, 10, 0, 10, 0, 0},
       "single: 1\ngrouped: 2\nnot removable: 1"},
  };
  for (const StatisticsCase& c : cases) {
    SCOPED_TRACE(c.name);
    Start({});
    std::copy(c.memory.begin(), c.memory.end(), camera().memory.begin());
    camera().memory[256] = 0;
    ASSERT_TRUE(Open());
    Control<QPushButton>(kIdReadCurrent)->click();
    EXPECT_TRUE(messages().empty());
    EXPECT_EQ(Text(kIdMapStatistics), c.text);
    EXPECT_EQ(Text(kIdPictureTitle), "Hot pixel data stored in Camera");
    EXPECT_EQ(camera().state, 1);  // started by Read current
    if (c.memory[0] == 0xFF) {
      EXPECT_EQ(canvas()->PixelAt(ox() + 375, oy() + 290), 0u);
    } else {
      EXPECT_EQ(canvas()->PixelAt(ox() + 375, oy() + 290), 0x808080u);
      EXPECT_EQ(canvas()->PixelAt(ox() + 5, oy() + 5), 0x0000FFu);
      EXPECT_EQ(canvas()->PixelAt(ox(), oy()), 0xF08080u);
    }
    EXPECT_EQ(canvas()->PixelAt(0, 0), kCanvasSurround);
    window_->close();
  }
}

// In night vision the picture is drawn again at once in red: the stored
// map's classes in shades that stay apart (brightest the pixels the camera
// cannot hide), a dark's levels as levels of red. (The whole window, pixel
// by pixel, and its day look after: tests/app/night_vision_test.)
TEST_F(CamCtrlDlgTest, NightVisionDrawsThePictureInRedWithTheClassesApart) {
  NightMode night(*qobject_cast<QApplication*>(QCoreApplication::instance()));
  // The map of ReadCurrentCountsTheStoredMapByClass.
  const Bytes memory = {0xEE, 4, 0xEF, 0x02, 0x45, 0x02, 15, 0, 0,  0, 0,
                        0,    1, 0,    0,    0,    4,    10, 0, 10, 0, 0};
  std::copy(memory.begin(), memory.end(), camera().memory.begin());
  camera().memory[256] = 0;
  ASSERT_TRUE(Open());
  Control<QPushButton>(kIdReadCurrent)->click();
  night.SetOn(true);
  const std::uint32_t single = canvas()->PixelAt(ox() + 375, oy() + 290);
  const std::uint32_t grouped = canvas()->PixelAt(ox(), oy());
  const std::uint32_t fixedOn = canvas()->PixelAt(ox() + 5, oy() + 5);
  EXPECT_EQ((single | grouped | fixedOn | canvas()->PixelAt(0, 0)) & 0xFFFF, 0u);
  EXPECT_GT(fixedOn, grouped);
  EXPECT_GT(grouped, single);
  EXPECT_GT(single, 0u);

  // The dark, its top half faint and its bottom half bright, under the cursor.
  std::fill(g_masterDark, g_masterDark + kFrameBytes / 2, 40);
  std::fill(g_masterDark + kFrameBytes / 2, g_masterDark + kFrameBytes, 200);
  const QPoint over = canvas()->mapTo(window_.get(), QPoint(100, 100));
  QMouseEvent event(QEvent::MouseMove, over, window_->mapToGlobal(over), Qt::NoButton, Qt::NoButton,
                    Qt::NoModifier);
  QCoreApplication::sendEvent(window_.get(), &event);
  ASSERT_EQ(Text(kIdPictureTitle), "Current dark frame (1x1)");
  const std::uint32_t faint = canvas()->PixelAt(ox() + 10, oy() + 10);
  const std::uint32_t bright = canvas()->PixelAt(ox() + 10, oy() + kBinnedHeight - 10);
  EXPECT_EQ((faint | bright) & 0xFFFF, 0u);
  EXPECT_GT(bright, faint);
  EXPECT_GT(faint, 0u);
}

// Enter on the focused button presses it, as Space does: there is no
// default button in this window to take it instead.
TEST_F(CamCtrlDlgTest, EnterPressesTheFocusedButton) {
  Start({});
  ASSERT_TRUE(Open());
  ASSERT_TRUE(QTest::qWaitForWindowActive(window_.get()));
  auto* close = Control<QPushButton>(kIdCamClose);
  close->setFocus();
  QTest::keyClick(close, Qt::Key_Enter, Qt::KeypadModifier);
  EXPECT_FALSE(window_->isVisible());
}

TEST_F(CamCtrlDlgTest, TheCursorOnThePictureShowsTheCurrentDark) {
  ASSERT_TRUE(Open());
  auto move = [&](QPoint at) {
    QMouseEvent event(QEvent::MouseMove, at, window_->mapToGlobal(at), Qt::NoButton, Qt::NoButton,
                      Qt::NoModifier);
    QCoreApplication::sendEvent(window_.get(), &event);
  };
  const QPoint corner = canvas()->mapTo(window_.get(), QPoint(0, 0));
  move(corner - QPoint(1, 1));
  EXPECT_EQ(Text(kIdPictureTitle), "Hot pixel data stored in Camera");
  move(corner);
  EXPECT_EQ(Text(kIdPictureTitle), "Current dark frame (1x1)");
  QEvent leave(QEvent::Leave);
  QCoreApplication::sendEvent(window_.get(), &leave);
  EXPECT_EQ(Text(kIdPictureTitle), "Hot pixel data stored in Camera");
}

// ---- Saving as FITS ----

TEST_F(CamCtrlDlgTest, SaveButtonsFollowWhatThereIsAndSaveAsFits) {
  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() / ("ktal-camdlg-fits-" + std::to_string(getpid()));
  fs::create_directories(dir);
  auto saveAs = [&](const char* file) {
    dialogs_.script.QueueSaveFile(QString::fromStdString((dir / file).string()));
  };
  // The camera holds a map: two 1x1 entries, no 2x2 entry.
  const Bytes stored = {0xEE, 2, 10, 0, 20, 0, 15, 30, 0, 40, 0, 7};
  std::copy(stored.begin(), stored.end(), camera().memory.begin());
  camera().memory[256] = 0;
  ASSERT_TRUE(Open());
  auto* saveDark = window_->findChild<QPushButton*>("controlSaveDark");
  auto* saveMap = window_->findChild<QPushButton*>("controlSaveMap");
  auto* storedMap = window_->findChild<QAction*>("actionSaveStoredMap");
  auto* newMap = window_->findChild<QAction*>("actionSaveNewMap");
  ASSERT_TRUE(saveDark && saveMap && storedMap && newMap);
  EXPECT_FALSE(saveDark->isEnabled());
  EXPECT_FALSE(saveMap->isEnabled());

  // Once read, the camera's map alone can be saved.
  Control<QPushButton>(kIdReadCurrent)->click();
  EXPECT_FALSE(saveDark->isEnabled());
  EXPECT_TRUE(storedMap->isEnabled() && saveMap->isEnabled());
  EXPECT_FALSE(newMap->isEnabled());
  saveAs("camera-map");  // ".fits" is added
  storedMap->trigger();
  testing::FitsReader cameraFile((dir / "camera-map.fits").string());
  ASSERT_TRUE(cameraFile.MoveTo("HOTPIX1X1"));
  EXPECT_EQ(cameraFile.Table(), (std::vector<HotPixelEntry>{{10, 20, 15}, {30, 40, 7}}));

  const std::time_t before = std::time(nullptr);
  MakeDark(2);
  const std::time_t after = std::time(nullptr);
  EXPECT_TRUE(saveDark->isEnabled() && newMap->isEnabled() && storedMap->isEnabled());
  saveAs("dark.fits");
  saveDark->click();
  testing::FitsReader darkFile((dir / "dark.fits").string());
  long size[2] = {};
  const Bytes pixels = darkFile.Image(size);
  EXPECT_TRUE(std::equal(pixels.begin(), pixels.end(), g_masterDark, g_masterDark + kFrameBytes));
  EXPECT_EQ(darkFile.Card("STACKCNT"), "2");
  const std::string start = darkFile.Card("DATE-OBS").value_or("");
  EXPECT_TRUE(start >= FitsDateTime(before) && start <= FitsDateTime(after)) << start;

  // The new map is the one Store new map would write at these positions.
  Control<QSlider>(kIdSlider1x1)->setValue(5);
  Control<QSlider>(kIdSlider2x2)->setValue(3);
  saveAs("new-map.fits");
  newMap->trigger();
  Bin2x2(3);
  FindHotPixels(g_masterDark, kFrameWidth, kFrameHeight, 5);
  const HotPixelMapRecord expected = MapRecordFromLists(g_hotList, g_hotList2x2);
  testing::FitsReader newFile((dir / "new-map.fits").string());
  ASSERT_TRUE(newFile.MoveTo("HOTPIX2X2"));
  EXPECT_EQ(newFile.Table(), testing::Entries(expected.entries2x2, 3));
  EXPECT_EQ(newFile.Card("HOTPIXN"), "3");
  EXPECT_TRUE(messages().empty());

  // A folder that is not there: the user is told, the window stays.
  saveAs("gone/dark.fits");
  saveDark->click();
  ASSERT_EQ(messages().size(), 1u);
  EXPECT_TRUE(messages()[0].text.startsWith("Can't save the master dark as\n"));
  EXPECT_EQ(messages()[0].caption, "ERROR");
  EXPECT_TRUE(window_->isVisible());
  fs::remove_all(dir);
}

// ---- What the track-bar notes compute ----

TEST(HotPixelSummaryTest, MedianAndMapComparison) {
  const Bytes image = {9, 1, 7, 3, 5, 200};
  EXPECT_EQ(MedianLevel(image.data(), 6), 5);  // 1 3 5 | 7 9 200: the lower one
  EXPECT_EQ(MedianLevel(image.data(), 5), 5);

  HotPixelList fresh{};
  fresh.count = 3;
  const int xs[] = {1, 2, 3};
  for (int i = 0; i < 3; ++i) {
    fresh.x[i] = xs[i];
    fresh.y[i] = 7;
  }
  HotPixelMapRecord stored{};
  stored.count1x1 = 3;
  stored.entries1x1[0] = {2, 7, 15};
  stored.entries1x1[1] = {3, 8, 15};  // another row
  stored.entries1x1[2] = {9, 9, 15};
  const MapChange change = CompareWithStored(fresh, stored);
  EXPECT_EQ(change.kept, 1);
  EXPECT_EQ(change.added, 2);
  EXPECT_EQ(change.dropped, 2);
  stored.count1x1 = 200;  // a damaged count reads no further than the table
  EXPECT_EQ(CompareWithStored(fresh, stored).dropped, kMaxHotPixels - 1);
}

}  // namespace
}  // namespace ktal
