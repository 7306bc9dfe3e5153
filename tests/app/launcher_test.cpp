// SPDX-License-Identifier: GPL-3.0-or-later
// The launcher window driven as a user would, against the simulated guider.
#include <gtest/gtest.h>

#include <QApplication>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <optional>
#include <vector>

#include "app/application.h"
#include "app/feature_installs.h"
#include "app/launcher_dialog.h"
#include "link/ftdi_device.h"
#include "link/handshakes.h"
#include "shell/settings_store.h"
#include "shell/shell.h"
#include "sim/simulated_guider.h"
#include "tests/app/scripted_dialogs.h"

namespace ktal {
namespace {

using sim::ControllerMode;
using sim::DriverCall;
using testing::ScriptedDialogs;
using Bytes = std::vector<std::uint8_t>;

constexpr char kResetQuestion[] =
    "Do You really want to RESET the HandController?\n\n"
    "Resetting it will immediately break the running program,\n"
    "the filesystem could be damaged and changed variables may not be stored!\n\n"
    "Do this only when You have a frozen firmware!\n"
    "Reset could power on the HC if it was powered off.";

// Closes the next modal window that opens (About box) and records its title.
// Its timers go with it, so a window that never opened leaves no poll behind
// to run on a destroyed closer.
class ModalCloser {
 public:
  ModalCloser() {
    QTimer::singleShot(0, &context_, [this] { Poll(); });
  }
  const QString& title() const { return title_; }

 private:
  void Poll() {
    if (QWidget* modal = QApplication::activeModalWidget()) {
      title_ = modal->windowTitle();
      labels_ = modal->findChildren<QLabel*>().size();
      modal->close();
      return;
    }
    if (++tries_ < 200) QTimer::singleShot(5, &context_, [this] { Poll(); });
  }
  QObject context_;
  QString title_;
  qsizetype labels_ = 0;
  int tries_ = 0;
};

class LauncherTest : public ::testing::Test {
 protected:
  void Start(ControllerMode mode) {
    sim_ = std::make_unique<sim::SimulatedGuider>(sim::HandControllerConfig{.startMode = mode});
    g_device.AttachDriver(&sim_->driver(), &sim_->clock());
    launcher_ = std::make_unique<CTVX_DUVO_VerAdiDlg>(dialogs_);
    launcher_->show();
  }
  // No guider: a driver that lists no chip; nullopt stands for that in tables.
  void Start(std::optional<ControllerMode> mode) {
    if (mode) return Start(*mode);
    sim_.reset();
    g_device.Close();
    g_device.AttachDriver(&noChips_, &noChipsClock_);
    launcher_ = std::make_unique<CTVX_DUVO_VerAdiDlg>(dialogs_);
    launcher_->show();
  }
  void TearDown() override {
    launcher_.reset();
    g_device.Close();
    g_device.AttachDriver(nullptr, nullptr);
  }
  void Click(int id) {
    QPushButton* button = launcher_->Button(id);
    ASSERT_NE(button, nullptr);
    QTest::mouseClick(button, Qt::LeftButton);
  }
  std::vector<sim::DriverCallRecord> BitModeCalls() {
    return sim_->driver().CallsOf(DriverCall::kSetBitMode);
  }

  ScriptedDialogs dialogs_;
  sim::VirtualClock noChipsClock_;
  sim::SimFtdiDriver noChips_{noChipsClock_};
  std::unique_ptr<sim::SimulatedGuider> sim_;
  std::unique_ptr<CTVX_DUVO_VerAdiDlg> launcher_;
};

TEST_F(LauncherTest, ShowsItsButtonsInOrder) {
  Start(ControllerMode::kNormal);
  EXPECT_EQ(launcher_->windowTitle(), "Orvelia K-Tal Autoguider's PC app.");
  EXPECT_EQ(g_device.deviceKind, kDeviceKindGuider);

  const std::pair<int, const char*> texts[] = {{1001, "Firmware control   (Check, update)"},
                                               {1000, "File control   (Download, process)"},
                                               {1002, "Camera control   (hot pixels)"},
                                               {1017, "Virtual K-Tal UI"},
                                               {1019, "Power ON"},
                                               {1020, "RESET"},
                                               {1018, "About..."},
                                               {1, "Exit"}};
  for (const auto& [id, text] : texts) {
    ASSERT_NE(launcher_->Button(id), nullptr) << id;
    EXPECT_EQ(launcher_->Button(id)->text(), text);
  }
  auto y = [&](int id) { return launcher_->Button(id)->mapTo(launcher_.get(), QPoint(0, 0)).y(); };
  auto x = [&](int id) { return launcher_->Button(id)->mapTo(launcher_.get(), QPoint(0, 0)).x(); };
  EXPECT_LT(y(1001), y(1000));
  EXPECT_LT(y(1000), y(1002));
  EXPECT_LT(y(1002), y(1019));
  EXPECT_LT(y(1019), y(1020));
  EXPECT_LT(x(1019), x(1017));
  EXPECT_LT(y(1017), y(1018));
  EXPECT_GT(y(1), y(1020));
  EXPECT_GT(x(1), x(1020));
  EXPECT_TRUE(launcher_->Button(1)->isDefault());

  QGroupBox* direct = nullptr;
  for (QGroupBox* box : launcher_->findChildren<QGroupBox*>()) {
    if (box->title() == "Direct") direct = box;
  }
  ASSERT_NE(direct, nullptr);
  EXPECT_TRUE(direct->isAncestorOf(launcher_->Button(1019)));
  EXPECT_TRUE(direct->isAncestorOf(launcher_->Button(1020)));
  EXPECT_FALSE(direct->isAncestorOf(launcher_->Button(1017)));

  bool heading = false;
  for (QLabel* label : launcher_->findChildren<QLabel*>())
    heading |= label->text() == "What do You want to do?";
  EXPECT_TRUE(heading);
}

TEST_F(LauncherTest, FeatureButtonsWaitForTheirWindows) {
  Start(ControllerMode::kNormal);
  for (int id : {1000, 1001, 1002, 1017}) EXPECT_FALSE(launcher_->Button(id)->isEnabled()) << id;

  bool wasHidden = false;
  launcher_->SetFeatureWindow(1000, [&](QWidget*) { wasHidden = !launcher_->isVisible(); });
  ASSERT_TRUE(launcher_->Button(1000)->isEnabled());
  Click(1000);
  EXPECT_TRUE(wasHidden);
  EXPECT_TRUE(launcher_->isVisible());
}

// The launcher runs modally as the program's main loop; a feature window
// runs modally inside it. When the feature window closes, the launcher is
// back and still running: only Exit ends it.
TEST_F(LauncherTest, AFeatureWindowHandsBackToTheRunningLauncher) {
  Start(ControllerMode::kNormal);
  bool backAndVisible = false;
  launcher_->SetFeatureWindow(kIdFileControl, [&](QWidget*) {
    QDialog feature;
    QTimer::singleShot(0, &feature, [&feature] { feature.reject(); });
    feature.exec();
  });
  QTimer::singleShot(0, launcher_.get(), [&] {
    Click(kIdFileControl);
    QTimer::singleShot(0, launcher_.get(), [&] {
      backAndVisible = launcher_->isVisible();
      launcher_->done(7);
    });
  });
  EXPECT_EQ(launcher_->exec(), 7);
  EXPECT_TRUE(backAndVisible);
}

// Tab to a feature button and Enter opens that feature, as Space would; it
// does not press Exit and end the program.
TEST_F(LauncherTest, EnterOnTheFocusedButtonOpensItsFeature) {
  Start(ControllerMode::kNormal);
  int opened = 0;
  launcher_->SetFeatureWindow(kIdFirmwareControl, [](QWidget*) {});
  launcher_->SetFeatureWindow(kIdFileControl, [&](QWidget*) { ++opened; });
  bool running = false;
  QTimer::singleShot(0, launcher_.get(), [&] {
    launcher_->activateWindow();
    launcher_->Button(kIdFirmwareControl)->setFocus();
    QTest::keyClick(launcher_->Button(kIdFirmwareControl), Qt::Key_Tab);
    QTest::keyClick(launcher_->focusWidget(), Qt::Key_Return);
    QTimer::singleShot(0, launcher_.get(), [&] {
      running = launcher_->isVisible();
      launcher_->done(7);
    });
  });
  EXPECT_EQ(launcher_->exec(), 7) << "Enter ended the launcher";
  EXPECT_EQ(opened, 1);
  EXPECT_TRUE(running);
}

TEST_F(LauncherTest, PowerOnPulsesAGuiderThatIsOff) {
  Start(ControllerMode::kOff);
  Click(kIdPowerOn);
  const auto calls = BitModeCalls();
  ASSERT_GE(calls.size(), 2u);
  const auto& on = calls[calls.size() - 2];
  const auto& off = calls.back();
  EXPECT_EQ(on.a, 0x22u);
  EXPECT_EQ(off.a, 0x20u);
  EXPECT_EQ(on.b, 0x20u);
  EXPECT_EQ(off.atMicros - on.atMicros, 50'000);
  EXPECT_FALSE(g_device.IsOpen());
  EXPECT_TRUE(dialogs_.messages().empty()) << "Power ON shows nothing";

  // The guider is on now: the next probe answers.
  EXPECT_EQ(ProbeDeviceMode(), kNormalMode);
}

TEST_F(LauncherTest, PowerOnSendsNoPulseToARunningGuider) {
  Start(ControllerMode::kNormal);
  Click(kIdPowerOn);
  for (const auto& call : BitModeCalls()) EXPECT_EQ(call.a, 0xF0u) << "only the link resets";
  EXPECT_TRUE(g_device.IsOpen());
}

TEST_F(LauncherTest, PowerOnWithoutAGuiderSendsNothing) {
  sim::VirtualClock clock;
  sim::SimFtdiDriver empty(clock);
  g_device.AttachDriver(&empty, &clock);
  launcher_ = std::make_unique<CTVX_DUVO_VerAdiDlg>(dialogs_);
  QTest::mouseClick(launcher_->Button(kIdPowerOn), Qt::LeftButton);
  EXPECT_STREQ(g_device.errorText, "No proper USB device found");
  EXPECT_TRUE(empty.CallsOf(DriverCall::kSetBitMode).empty());
  EXPECT_TRUE(dialogs_.messages().empty());
}

TEST_F(LauncherTest, ResetAnsweredWithCancelOpensNothing) {
  Start(ControllerMode::kNormal);
  dialogs_.QueueAnswer(MessageAnswer::Cancel);
  Click(kIdReset);
  ASSERT_EQ(dialogs_.messages().size(), 1u);
  const auto& asked = dialogs_.messages().front();
  EXPECT_EQ(asked.text, kResetQuestion);
  EXPECT_EQ(asked.caption, "WARNING");
  EXPECT_EQ(asked.icon, MessageIcon::Exclamation);
  EXPECT_EQ(asked.buttons, MessageButtons::OkCancel);
  EXPECT_EQ(asked.defaultAnswer, MessageAnswer::Cancel) << "Enter must not reset the guider";
  EXPECT_TRUE(sim_->driver().calls().empty());
}

TEST_F(LauncherTest, ResetAnsweredWithOkPulsesTheResetLine) {
  Start(ControllerMode::kNormal);
  dialogs_.QueueAnswer(MessageAnswer::Ok);
  Click(kIdReset);
  const auto calls = BitModeCalls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].a, 0x11u);
  EXPECT_EQ(calls[1].a, 0x10u);
  EXPECT_EQ(calls[1].atMicros - calls[0].atMicros, 50'000);
  EXPECT_FALSE(g_device.IsOpen());
  EXPECT_EQ(sim_->clock().waits(), (std::vector<std::uint32_t>{50, 50, 100}));
}

constexpr char kNoGuider[] =
    "no guider found: no FTDI device with the guider's description is attached";

TEST_F(LauncherTest, StatusLineSaysWhatPowerOnAndResetDid) {
  struct Case {
    std::optional<ControllerMode> guider;  // nullopt: no chip attached
    int button;
    std::optional<MessageAnswer> answer;  // to the RESET warning
    const char* status;
  };
  const Case cases[] = {
      {std::nullopt, kIdPowerOn, {}, kNoGuider},
      {ControllerMode::kOff, kIdPowerOn, {}, "power-on pulse sent"},
      {ControllerMode::kNormal, kIdPowerOn, {}, "guider already running: normal mode"},
      {ControllerMode::kBootLoader, kIdPowerOn, {}, "guider already running: boot loader"},
      {ControllerMode::kUpdate, kIdPowerOn, {}, "guider already running: update mode"},
      {std::nullopt, kIdReset, MessageAnswer::Ok, kNoGuider},
      {ControllerMode::kNormal, kIdReset, MessageAnswer::Ok, "reset pulse sent"},
      {ControllerMode::kNormal, kIdReset, MessageAnswer::Cancel, "RESET cancelled: nothing sent"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.status);
    Start(c.guider);
    EXPECT_EQ(launcher_->StatusText(), "") << "nothing done yet";
    if (c.answer) dialogs_.QueueAnswer(*c.answer);
    Click(c.button);
    EXPECT_EQ(launcher_->StatusText(), c.status);
    auto* line = launcher_->findChild<QLabel*>("status");
    ASSERT_NE(line, nullptr);
    EXPECT_TRUE(line->isVisible());
    EXPECT_GT(line->mapTo(launcher_.get(), QPoint(0, 0)).y(),
              launcher_->Button(kIdExit)->mapTo(launcher_.get(), QPoint(0, 0)).y())
        << "below the buttons";
    // A wrapped line gets its height, and the window grows for it rather
    // than squeeze the buttons.
    EXPECT_GE(line->height(), line->heightForWidth(line->width()));
    QPushButton* reset = launcher_->Button(kIdReset);
    EXPECT_GE(reset->height(), reset->minimumSizeHint().height());
    g_device.Close();
  }
}

TEST_F(LauncherTest, AboutBoxFromTheButtonAndTheWindowMenuCommand) {
  Start(ControllerMode::kNormal);
  {
    ModalCloser closer;
    Click(kIdAbout);
    EXPECT_EQ(closer.title(), "About TVX_DUVO_VerAdi");
  }
  for (int command : {0x0010, 0x0013, 0x001F}) {
    ModalCloser closer;
    EXPECT_TRUE(launcher_->OnSysCommand(command)) << command;
    EXPECT_EQ(closer.title(), "About TVX_DUVO_VerAdi");
  }
  EXPECT_FALSE(launcher_->OnSysCommand(0x0020));
  EXPECT_FALSE(launcher_->OnSysCommand(0xF060));
}

TEST_F(LauncherTest, AboutBoxOnF1) {
  Start(ControllerMode::kNormal);
  launcher_->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(launcher_.get()));
  ModalCloser closer;
  QTest::keyClick(launcher_.get(), Qt::Key_F1);
  EXPECT_EQ(closer.title(), "About TVX_DUVO_VerAdi");
}

TEST(AboutBox, Texts) {
  CAboutDlg about;
  EXPECT_EQ(about.windowTitle(), "About TVX_DUVO_VerAdi");
  auto* version = about.findChild<QLabel*>("control1050");
  auto* limit = about.findChild<QLabel*>("control1051");
  ASSERT_NE(version, nullptr);
  ASSERT_NE(limit, nullptr);
  EXPECT_EQ(version->text(), "ORVELIA K-Tal StandAlone Autoguider\nVerAdi Version 2.60.0");
  EXPECT_EQ(limit->text(),
            "This program can only handle files saved with Firmware v. 2.60 or less!");
  bool note = false;
  for (QLabel* label : about.findChildren<QLabel*>()) {
    note |= label->text().contains(
        "NOTE: old devices (BOOT ID below $14) will fail to any try of power-on through USB. "
        "RESET might be used carefully for this!");
  }
  EXPECT_TRUE(note);
  auto* ok = about.findChild<QPushButton*>("button1");
  ASSERT_NE(ok, nullptr);
  EXPECT_EQ(ok->text(), "OK");
}

// ---- Shared facilities ----

TEST(PumpMessages, HandlesWhatWaitsAndReturnsAtOnce) {
  PumpMessages();  // nothing waiting
  int handled = 0;
  QTimer::singleShot(0, [&] { ++handled; });
  QMetaObject::invokeMethod(
      qApp, [&] { ++handled; }, Qt::QueuedConnection);
  PumpMessages();
  EXPECT_EQ(handled, 2);
}

TEST(ControlGroup, SwitchesItsControlsTogether) {
  QWidget window;
  auto* a = new QPushButton("a", &window);
  auto* b = new QPushButton("b", &window);
  auto* other = new QPushButton("c", &window);
  ControlGroup group(&window);
  group.Add(a);
  group.Add(b);
  group.ModifyStyle(0, kControlStyleDisabled, true);
  EXPECT_FALSE(a->isEnabled());
  EXPECT_FALSE(b->isEnabled());
  EXPECT_TRUE(other->isEnabled());
  group.ModifyStyle(kControlStyleDisabled, 0, false);
  EXPECT_TRUE(a->isEnabled());
  EXPECT_TRUE(b->isEnabled());
  ASSERT_EQ(group.controls().size(), 2u);
  EXPECT_EQ(group.controls()[0], a);
}

// ---- The program as started with --simulate ----

TEST(Program, SimulateShowsTheLauncherAndPowerOnFindsTheGuiderRunning) {
  std::unique_ptr<LinkBackend> backend = MakeSimulatedBackend();
  auto& sim = dynamic_cast<sim::SimFtdiDriver&>(backend->driver());
  // The program runs the simulator in real time without traces; the test
  // wants neither.
  dynamic_cast<sim::VirtualClock&>(backend->clock()).SetRealTimePacing(0);
  sim.set_tracing(true);
  ScriptedDialogs dialogs;
  bool shown = false;
  QString title;
  QTimer::singleShot(0, [&] {
    for (QWidget* top : QApplication::topLevelWidgets()) {
      auto* launcher = qobject_cast<CTVX_DUVO_VerAdiDlg*>(top);
      if (launcher == nullptr || !launcher->isVisible()) continue;
      shown = true;
      title = launcher->windowTitle();
      QTest::mouseClick(launcher->Button(kIdPowerOn), Qt::LeftButton);
      QTest::mouseClick(launcher->Button(kIdExit), Qt::LeftButton);
    }
  });
  EXPECT_EQ(RunProgram(*backend, dialogs), 0);
  EXPECT_TRUE(shown);
  EXPECT_EQ(title, "Orvelia K-Tal Autoguider's PC app. - simulated guider");
  // Attached, switched on and in normal mode: the probe answered, no pulse.
  for (const auto& call : sim.CallsOf(DriverCall::kSetBitMode)) EXPECT_EQ(call.a, 0xF0u);
  EXPECT_FALSE(sim.CallsOf(DriverCall::kRead).empty());
  EXPECT_EQ(g_device.driver(), nullptr);
  EXPECT_FALSE(g_startupDirectory.empty());
}

// The program lends its one store to the windows: the firmware window's
// dialog starts in the kept folder, and the launcher and the window each
// keep their place when they close.
TEST(Program, LendsItsSettingsToTheWindowsAndKeepsTheirPlaces) {
  std::unique_ptr<LinkBackend> backend = MakeSimulatedBackend();
  dynamic_cast<sim::VirtualClock&>(backend->clock()).SetRealTimePacing(0);
  QTemporaryDir folder;
  SettingsStore settings(folder.filePath("ktal-companion.ini"), [](const QString&) {});
  settings.SetFirmwareFolder(folder.path());
  ScriptedDialogs dialogs;
  const QPoint launcherAt(70, 60), windowAt(90, 40);
  QTimer::singleShot(0, [&] {
    auto* launcher = qobject_cast<CTVX_DUVO_VerAdiDlg*>(QApplication::activeModalWidget());
    ASSERT_NE(launcher, nullptr);
    launcher->move(launcherAt);
    QTimer::singleShot(0, [&] {
      QWidget* window = QApplication::activeModalWidget();
      ASSERT_NE(window, nullptr);
      window->findChild<QPushButton*>("control1000")->click();  // "..."
      window->move(windowAt);
      window->findChild<QPushButton*>("button1")->click();
    });
    launcher->Button(kIdFirmwareControl)->click();
    launcher->Button(kIdExit)->click();
  });
  EXPECT_EQ(RunProgram(*backend, dialogs, settings, {InstallFirmwareControl}), 0);
  ASSERT_EQ(dialogs.openedFrom().size(), 1u);
  EXPECT_EQ(dialogs.openedFrom()[0], folder.path());
  const std::map<QString, QRect>& places = settings.values().windowPlaces;
  ASSERT_EQ(places.count(kLauncherPlace), 1u);
  EXPECT_EQ(places.at(kLauncherPlace).topLeft(), launcherAt);
  ASSERT_EQ(places.count(kFirmwareControlPlace), 1u);
  EXPECT_EQ(places.at(kFirmwareControlPlace).topLeft(), windowAt);
}

}  // namespace
}  // namespace ktal
