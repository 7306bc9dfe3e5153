// SPDX-License-Identifier: GPL-3.0-or-later
// The virtual user interface driven as a user would, against the simulated
// guider on virtual time. The timer ticks are run by the tests themselves,
// one at a time, so that every request can be followed; one test lets the
// window's own timers run.
#include "vui/ui_dlg.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <QComboBox>
#include <QImage>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/feature_installs.h"
#include "app/launcher_dialog.h"
#include "canvas/bitmap_rect.h"
#include "link/ftdi_device.h"
#include "link/handshakes.h"
#include "shell/night_mode.h"
#include "shell/startup_directory.h"
#include "sim/simulated_guider.h"
#include "tests/app/scripted_dialogs.h"

namespace ktal {
namespace {

using sim::ControllerMode;
using sim::DriverCall;
using testing::ScriptedDialogs;
using Bytes = std::vector<std::uint8_t>;

// The colours, as the guider's screen and LEDs are to look.
constexpr std::uint32_t kLit = 0xC86401;
constexpr std::uint32_t kLitEdge = 0xA85601;
constexpr std::uint32_t kDark = 0x130701;
constexpr std::uint32_t kBlack = 0x000000;

constexpr char kPoweredOff[] = "K-Tal seems to be powered off,\n exiting virtual interface...";
constexpr char kPowerOnQuestion[] =
    "Do You want to try to power-on the device\n and retry with the Virtual UI?";

// Keys that reach the window's own handlers, as "press <key>".
class RecordingUiDlg : public CUIDlg {
 public:
  using CUIDlg::CUIDlg;
  std::vector<std::string> passed;

 protected:
  void keyPressEvent(QKeyEvent* e) override {
    passed.push_back("press " + std::to_string(e->key()));
    CUIDlg::keyPressEvent(e);
  }
  void keyReleaseEvent(QKeyEvent* e) override {
    passed.push_back("release " + std::to_string(e->key()));
    CUIDlg::keyReleaseEvent(e);
  }
};

class UiDlgTest : public ::testing::Test {
 protected:
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
  }
  void StartWithVersion(std::uint16_t version) {
    sim::HandControllerConfig config;
    config.firmwareVersion = version;
    Start(config);
  }

  // Shows the window with a screen canvas of `screen` pixels and paints
  // both canvases once (a grab paints without waiting for the platform to
  // expose the window, which would let the window's own timers run).
  void Open(QSize screen = {400, 200}) {
    window_ = std::make_unique<RecordingUiDlg>(dialogs_);
    window_->m_pDevice = &g_device;
    Screen()->setFixedSize(screen);
    window_->show();
    Screen()->grab();
    Leds()->grab();
    ASSERT_TRUE(Screen()->IsInitialised());
    ASSERT_TRUE(Leds()->IsInitialised());
  }
  // Opens the window and runs its handshake tick.
  void OpenAndConnect(QSize screen = {400, 200}) {
    ASSERT_NO_FATAL_FAILURE(Open(screen));
    window_->OnScreenTimer();
    ASSERT_TRUE(g_device.IsOpen());
    sim_->guider().clear_traces();
    sim_->clock().clear_waits();
  }

  CBitmapRect* Screen() { return window_->findChild<CBitmapRect*>("control1029"); }
  CBitmapRect* Leds() { return window_->findChild<CBitmapRect*>("control1048"); }
  QLabel* LedLabel() { return window_->findChild<QLabel*>("control1049"); }
  sim::FrontPanel& Panel() { return sim_->features().panel; }

  // Delivers what the window posted (its own close), without running its
  // timers.
  void DeliverPosted() { QCoreApplication::sendPostedEvents(); }

  void Key(QEvent::Type type, int key, bool autoRepeat = false) {
    QKeyEvent event(type, key, Qt::NoModifier, QString(), autoRepeat);
    QApplication::sendEvent(window_.get(), &event);
  }

  ScriptedDialogs dialogs_;
  std::unique_ptr<sim::SimulatedGuider> sim_;
  std::unique_ptr<RecordingUiDlg> window_;
};

// Every byte a zero but one.
sim::ScreenFrame ScreenWith(int index, std::uint8_t value) {
  sim::ScreenFrame screen{};
  screen[static_cast<std::size_t>(index)] = value;
  return screen;
}

// The band addresses of the screen requests among `received`, in order.
std::vector<int> BandAddresses(const Bytes& received) {
  std::vector<int> addresses;
  for (std::size_t i = 0; i + 4 < received.size(); ++i) {
    if (received[i] == 0x5D && received[i + 1] == 0x0D && received[i + 4] == 0x80) {
      addresses.push_back(received[i + 2] | received[i + 3] << 8);
      i += 4;
    }
  }
  return addresses;
}

TEST_F(UiDlgTest, DotsLandInTheirCells) {
  struct DotCase {
    const char* name;
    QSize canvas;
    int byteIndex;
    std::uint8_t value;
    // The top-left pixel of the screen, and the lit dot.
    int x0, y0;
    int column, row;
  };
  const DotCase cases[] = {
      {"band 0, byte 0, bit 0", {400, 200}, 0, 0x01, 8, 4, 0, 0},
      {"band 0, byte 127, bit 7", {400, 200}, 127, 0x80, 8, 4, 127, 7},
      {"band 7, byte 64, bit 7", {400, 200}, 7 * 128 + 64, 0x80, 8, 4, 64, 63},
      {"a canvas just the screen's size", {384, 192}, 0, 0x01, 0, 0, 0, 0},
      // (381 - 384) / 2 and (191 - 192) / 2 truncate toward zero.
      {"a canvas a little smaller", {381, 191}, 0, 0x01, -1, 0, 0, 0},
  };
  for (const DotCase& row : cases) {
    SCOPED_TRACE(row.name);
    Start({});
    Panel().fixedScreen = ScreenWith(row.byteIndex, row.value);
    ASSERT_NO_FATAL_FAILURE(OpenAndConnect(row.canvas));
    window_->OnScreenTimer();  // bands 1 to 4
    window_->OnScreenTimer();  // bands 5, 6, 7 and 0
    const CBitmapRect& canvas = *Screen();

    // Each cell by its top-left pixel where that lies on the canvas.
    std::string wrong;
    for (int r = 0; r < 64; ++r) {
      for (int c = 0; c < 128; ++c) {
        const int x = row.x0 + 3 * c;
        const int y = row.y0 + 3 * r;
        if (x < 0 || y < 0 || x >= canvas.Width() || y >= canvas.Height()) continue;
        const bool lit = c == row.column && r == row.row;
        if (canvas.PixelAt(x, y) != (lit ? kLit : kDark)) {
          wrong += "(" + std::to_string(c) + ", " + std::to_string(r) + ") ";
        }
      }
    }
    EXPECT_EQ(wrong, "");

    // The lit cell: a bright 2 x 2 square, a darker right column and
    // bottom row.
    const int x = row.x0 + 3 * row.column;
    const int y = row.y0 + 3 * row.row;
    const std::uint32_t cell[3][3] = {
        {kLit, kLit, kLitEdge}, {kLit, kLit, kLitEdge}, {kLitEdge, kLitEdge, kLitEdge}};
    for (int dy = 0; dy < 3; ++dy) {
      for (int dx = 0; dx < 3; ++dx) {
        if (x + dx < 0) continue;
        EXPECT_EQ(canvas.PixelAt(x + dx, y + dy), cell[dy][dx]) << dx << ", " << dy;
      }
    }
  }
}

TEST_F(UiDlgTest, TicksReadBandsOneToFourThenFiveToZero) {
  ASSERT_NO_FATAL_FAILURE(OpenAndConnect());
  window_->OnScreenTimer();
  EXPECT_EQ(BandAddresses(sim_->guider().ReceivedBytes()), (std::vector<int>{128, 256, 384, 512}));
  sim_->guider().clear_traces();
  window_->OnScreenTimer();
  EXPECT_EQ(BandAddresses(sim_->guider().ReceivedBytes()), (std::vector<int>{640, 768, 896, 0}));
}

TEST_F(UiDlgTest, AFailedVersionQueryRepeatsTheHandshake) {
  ASSERT_NO_FATAL_FAILURE(Open());
  sim_->guider().ReplaceNextAnswer(0x03, {0x03, 0x10});
  window_->OnScreenTimer();
  sim_->guider().clear_traces();
  window_->OnScreenTimer();
  // The mode probe of a new handshake (its identify at 9600 baud does not
  // reach a running firmware), the version asked again, and no band.
  EXPECT_EQ(sim_->guider().ReceivedBytes(), (Bytes{0x00, 0x03}));
  EXPECT_TRUE(dialogs_.messages().empty());
}

TEST_F(UiDlgTest, Keys) {
  struct KeyStep {
    QEvent::Type type;
    int key;
    bool autoRepeat;
  };
  const QEvent::Type kPress = QEvent::KeyPress;
  const QEvent::Type kRelease = QEvent::KeyRelease;
  struct KeyCase {
    const char* name;
    std::uint16_t version;
    std::vector<KeyStep> steps;
    Bytes sent;
    // Messages that reached the window's own handlers.
    std::vector<std::string> passed;
  };
  const std::string a = std::to_string(Qt::Key_A);
  const KeyCase cases[] = {
      {"Up on 2.10",
       0x0210,
       {{kPress, Qt::Key_Up, false}, {kRelease, Qt::Key_Up, false}},
       {0x04, 0x84},
       {}},
      {"Up on 2.0F: the release is swallowed",
       0x020F,
       {{kPress, Qt::Key_Up, false}, {kRelease, Qt::Key_Up, false}},
       {0x04},
       {}},
      {"every key of the table on 2.60",
       0x0260,
       {{kPress, Qt::Key_Escape, false},
        {kPress, Qt::Key_Return, false},
        {kPress, Qt::Key_Enter, false},
        {kPress, Qt::Key_Left, false},
        {kPress, Qt::Key_Right, false},
        {kPress, Qt::Key_Down, false},
        {kRelease, Qt::Key_Down, false},
        {kRelease, Qt::Key_Escape, false}},
       {0x00, 0x01, 0x01, 0x02, 0x03, 0x05, 0x85, 0x80},
       {}},
      {"Backspace on 2.60: a long Esc, no release",
       0x0260,
       {{kPress, Qt::Key_Backspace, false}, {kRelease, Qt::Key_Backspace, false}},
       {0x06},
       {"release " + std::to_string(Qt::Key_Backspace)}},
      {"Backspace on 2.0F",
       0x020F,
       {{kPress, Qt::Key_Backspace, false}, {kRelease, Qt::Key_Backspace, false}},
       {0x06},
       {}},
      {"a letter on 2.60 passes through",
       0x0260,
       {{kPress, Qt::Key_A, false}, {kRelease, Qt::Key_A, false}},
       {},
       {"press " + a, "release " + a}},
      {"a letter on 2.0F: its release is swallowed",
       0x020F,
       {{kPress, Qt::Key_A, false}, {kRelease, Qt::Key_A, false}},
       {},
       {"press " + a}},
      // A held key repeats as presses; the releases some platforms put in
      // between are not the guider's key coming up.
      {"Down held on 2.60",
       0x0260,
       {{kPress, Qt::Key_Down, false},
        {kRelease, Qt::Key_Down, true},
        {kPress, Qt::Key_Down, true},
        {kRelease, Qt::Key_Down, true},
        {kPress, Qt::Key_Down, true},
        {kRelease, Qt::Key_Down, false}},
       {0x05, 0x05, 0x05, 0x85},
       {}},
  };
  for (const KeyCase& row : cases) {
    SCOPED_TRACE(row.name);
    StartWithVersion(row.version);
    ASSERT_NO_FATAL_FAILURE(OpenAndConnect());
    for (const KeyStep& step : row.steps) Key(step.type, step.key, step.autoRepeat);
    EXPECT_EQ(Panel().keys(), row.sent);
    EXPECT_EQ(window_->passed, row.passed);
    // Esc and Enter are the guider's: the window stays.
    DeliverPosted();
    EXPECT_TRUE(window_->isVisible());
    EXPECT_EQ(window_->result(), 0);
  }
}

// LED n lit: the pixel in the middle of its 6 x 6 block on the 66 x 104
// LED canvas.
struct LedSpot {
  int x, y;
  std::uint32_t lit, dark;
};
constexpr LedSpot kSpots[6] = {
    {16, 20, 0x0000FF, 0x000040},  // blue: (66 x 0.25 - 3, 104 x 0.2 - 3) = (13, 17)
    {49, 20, 0x00FF00, 0x004000},  // green: (46, 17)
    {33, 41, 0xFF0000, 0x400000},  // upper red: (30, 38)
    {33, 83, 0xFF0000, 0x400000},  // lower red: (30, 80)
    {14, 62, 0xFF0000, 0x400000},  // left red: (11, 59)
    {51, 62, 0xFF0000, 0x400000},  // right red: (48, 59)
};

std::string LedDifferences(const CBitmapRect& canvas, std::uint8_t leds) {
  std::string out;
  for (int n = 0; n < 6; ++n) {
    const LedSpot& spot = kSpots[n];
    const std::uint32_t want = (leds >> n) & 1 ? spot.lit : spot.dark;
    for (const auto& [dx, dy] : {std::pair{-3, -3}, std::pair{0, 0}, std::pair{2, 2}}) {
      if (canvas.PixelAt(spot.x + dx, spot.y + dy) != want) out += "LED " + std::to_string(n) + " ";
    }
    if (canvas.PixelAt(spot.x - 4, spot.y - 4) != kBlack) out += "beside LED " + std::to_string(n);
  }
  return out;
}

TEST_F(UiDlgTest, LedByteLightsItsLeds) {
  for (const std::uint8_t leds : {0x05, 0x3A}) {
    SCOPED_TRACE(leds);
    Start({});
    Panel().fixedLeds = leds;
    ASSERT_NO_FATAL_FAILURE(OpenAndConnect());
    window_->OnLedTimer();
    EXPECT_EQ(LedDifferences(*Leds(), leds), "");
  }
}

TEST_F(UiDlgTest, TheSameLedByteIsDrawnOnce) {
  Panel().fixedLeds = 0x05;
  ASSERT_NO_FATAL_FAILURE(OpenAndConnect());
  window_->OnLedTimer();
  // A mark where the blue LED is: only a new drawing covers it.
  Leds()->SetPixelBlock(13, 17, 0x123456, 6);
  window_->OnLedTimer();
  EXPECT_EQ(Leds()->PixelAt(16, 20), 0x123456u);
  Panel().fixedLeds = 0x04;
  window_->OnLedTimer();
  EXPECT_EQ(LedDifferences(*Leds(), 0x04), "");
}

TEST_F(UiDlgTest, LedsReadBeforeTheFirstPaintAreDrawnAfterIt) {
  Panel().fixedLeds = 0x05;
  window_ = std::make_unique<RecordingUiDlg>(dialogs_);
  window_->m_pDevice = &g_device;
  window_->OnScreenTimer();
  window_->OnLedTimer();  // the canvas has no pixels yet
  window_->show();
  Leds()->grab();
  window_->OnLedTimer();
  EXPECT_EQ(LedDifferences(*Leds(), 0x05), "");
}

// Switched to night vision, the window draws the screen and LEDs again at
// once, in red, from what it has received, without asking the guider: lit
// dots and LEDs brighter than dark ones, bands not received yet still black.
// What arrives at night is drawn in red; a saved screen keeps the guider's
// own colours. (The whole window, pixel by pixel, and its day look after:
// tests/app/night_vision_test.)
TEST_F(UiDlgTest, NightVisionRedrawsTheScreenAndLedsInRedAtOnce) {
  NightMode night(*qobject_cast<QApplication*>(QCoreApplication::instance()));
  Panel().fixedScreen = ScreenWith(128 + 5, 0x01);  // band 1: dot (5, 8) lit
  Panel().fixedLeds = 0x05;                         // blue and upper red lit
  ASSERT_NO_FATAL_FAILURE(OpenAndConnect());
  window_->OnScreenTimer();  // bands 1 to 4
  window_->OnLedTimer();
  const std::size_t asked = sim_->guider().ReceivedBytes().size();

  night.SetOn(true);
  EXPECT_EQ(sim_->guider().ReceivedBytes().size(), asked);
  auto led = [&](int n) { return Leds()->PixelAt(kSpots[n].x, kSpots[n].y); };
  const std::uint32_t lit = Screen()->PixelAt(8 + 3 * 5, 4 + 3 * 8);
  const std::uint32_t dark = Screen()->PixelAt(8 + 3 * 6, 4 + 3 * 8);
  EXPECT_EQ((lit | dark | led(0) | led(1) | led(2)) & 0xFFFF, 0u);
  EXPECT_GT(lit, dark);
  EXPECT_GT(dark, kBlack);
  EXPECT_EQ(Screen()->PixelAt(8, 4), kBlack) << "band 0 was never received";
  EXPECT_EQ(Screen()->PixelAt(8, 4 + 3 * 40), kBlack) << "band 5 was never received";
  EXPECT_GT(led(0), led(1)) << "the lit blue LED against the dark green one";
  EXPECT_GT(led(1), kBlack);
  EXPECT_EQ(window_->ScreenImage(3).pixel(3 * 5, 3 * 8) & 0xFFFFFF, kLit);

  window_->OnScreenTimer();  // bands 5, 6, 7 and 0
  EXPECT_EQ(Screen()->PixelAt(8, 4), dark);
}

TEST_F(UiDlgTest, LedReadFailures) {
  struct LedFailure {
    const char* name;
    std::function<void(sim::SimulatedGuider&)> fault;
    const char* label;
    bool polling;
  };
  const LedFailure cases[] = {
      {"no LED byte: the LEDs are given up for good",
       [](sim::SimulatedGuider& g) { g.features().panel.ledsSupported = false; }, "no LEDs", false},
      {"a wrong echo: tried again at the next tick",
       [](sim::SimulatedGuider& g) { g.guider().ReplaceSentByte(1, 0x00); }, "LEDs", true},
  };
  for (const LedFailure& row : cases) {
    SCOPED_TRACE(row.name);
    Start({});
    ASSERT_NO_FATAL_FAILURE(OpenAndConnect());
    row.fault(*sim_);
    window_->OnLedTimer();
    EXPECT_EQ(LedLabel()->text(), row.label);
    EXPECT_EQ(window_->LedTimerRunning(), row.polling);
    EXPECT_TRUE(window_->ScreenTimerRunning());
    EXPECT_EQ(Leds()->PixelAt(49, 20), kBlack) << "nothing drawn";
    sim_->clock().AdvanceBy(600'000);  // the guider forgets a half request
    window_->OnScreenTimer();
    EXPECT_EQ(BandAddresses(sim_->guider().ReceivedBytes()).size(), 4u) << "the screen goes on";
    EXPECT_TRUE(dialogs_.messages().empty());
  }
}

// How the window ends while it polls: what the user is told, if anything.
TEST_F(UiDlgTest, WhatEndsThePolling) {
  using Step = std::function<void()>;
  struct EndCase {
    const char* name;
    Step fault;
    // Ticks that still run quietly, then the tick that ends it.
    int quietTicks;
    const char* text;  // nullptr: nothing is said
    const char* caption;
  };
  const EndCase cases[] = {
      // Power fails after the first band of a tick: that tick only stops
      // reading; the next finds the guider silent.
      {"switched off while open", [this] { sim_->guider().PowerOffAfterReceived(5 + 1); }, 1,
       kPoweredOff, "Note"},
      // The handshake's identify at 9600 baud ran into its time-out and the
      // link's flag still says so: it must not make a wrong answer a
      // powered-off guider.
      {"a wrong echo", [this] { sim_->guider().ReplaceSentByte(1, 0x42); }, 0, nullptr, nullptr},
      {"reads failing", [this] { sim_->driver().FailCall(DriverCall::kRead, FT_IO_ERROR, 0); }, 0,
       nullptr, nullptr},
      // A key that cannot be sent closes at the end of the next tick.
      {"a key that cannot be sent",
       [this] {
         sim_->guider().SetSilent(true);
         Key(QEvent::KeyPress, Qt::Key_Return);
         DeliverPosted();
         EXPECT_TRUE(window_->isVisible()) << "not before the tick";
         sim_->guider().SetSilent(false);
       },
       0, nullptr, nullptr},
  };
  for (const EndCase& row : cases) {
    SCOPED_TRACE(row.name);
    Start({});
    dialogs_ = ScriptedDialogs();
    ASSERT_NO_FATAL_FAILURE(OpenAndConnect());
    window_->OnScreenTimer();
    ASSERT_EQ(g_device.timedOut, 1);
    row.fault();
    for (int i = 0; i < row.quietTicks; ++i) {
      window_->OnScreenTimer();
      DeliverPosted();
      ASSERT_TRUE(window_->isVisible());
    }
    window_->OnScreenTimer();
    if (row.text == nullptr) {
      EXPECT_TRUE(dialogs_.messages().empty());
    } else {
      ASSERT_EQ(dialogs_.messages().size(), 1u);
      const auto& said = dialogs_.messages().front();
      EXPECT_EQ(said.text, row.text);
      EXPECT_EQ(said.caption, row.caption);
      EXPECT_EQ(said.icon, MessageIcon::None);
      EXPECT_EQ(said.buttons, MessageButtons::Ok);
      EXPECT_FALSE(window_->ScreenTimerRunning()) << "stopped behind the box";
    }
    DeliverPosted();
    EXPECT_FALSE(window_->isVisible());
    EXPECT_FALSE(g_device.IsOpen());
    EXPECT_FALSE(window_->LedTimerRunning());
  }
}

TEST_F(UiDlgTest, GuiderOffAtOpen) {
  struct OffCase {
    const char* name;
    MessageAnswer answer;
    bool pulsed;
  };
  const OffCase cases[] = {
      {"Yes", MessageAnswer::Yes, true},
      {"No", MessageAnswer::No, false},
  };
  for (const OffCase& row : cases) {
    SCOPED_TRACE(row.name);
    sim::HandControllerConfig config;
    config.startMode = ControllerMode::kOff;
    Start(config);
    dialogs_ = ScriptedDialogs();
    dialogs_.QueueAnswer(row.answer);
    ASSERT_NO_FATAL_FAILURE(Open());
    window_->OnScreenTimer();  // the handshake: no answer, nothing shown
    EXPECT_TRUE(dialogs_.messages().empty());
    EXPECT_FALSE(g_device.IsOpen());

    sim_->driver().clear_calls();
    sim_->clock().clear_waits();
    window_->OnScreenTimer();
    ASSERT_EQ(dialogs_.messages().size(), 1u);
    const auto& asked = dialogs_.messages().front();
    EXPECT_EQ(asked.text, kPowerOnQuestion);
    EXPECT_EQ(asked.caption, "K-Tal may be powered off");
    EXPECT_EQ(asked.icon, MessageIcon::Exclamation);
    EXPECT_EQ(asked.buttons, MessageButtons::YesNo);
    // Both answers start the timers again; No closes at the end of the
    // tick.
    EXPECT_TRUE(window_->ScreenTimerRunning());
    EXPECT_TRUE(window_->LedTimerRunning());

    const auto pulses = sim_->driver().CallsOf(DriverCall::kSetBitMode);
    if (row.pulsed) {
      ASSERT_EQ(pulses.size(), 2u);
      EXPECT_EQ(pulses[0].a, 0x22u);
      EXPECT_EQ(pulses[1].a, 0x20u);
      EXPECT_EQ(pulses[1].atMicros - pulses[0].atMicros, 50'000);
      EXPECT_EQ(sim_->clock().waits(), (std::vector<std::uint32_t>{50, 2000}));
      EXPECT_TRUE(sim_->guider().powered());

      // Starting over: a handshake, then the screen.
      Panel().fixedScreen = ScreenWith(0, 0x01);
      window_->OnScreenTimer();
      EXPECT_EQ(sim_->guider().ReceivedBytes().back(), 0x03) << "the version query";
      window_->OnScreenTimer();
      window_->OnScreenTimer();
      EXPECT_EQ(Screen()->PixelAt(8, 4), kLit);
      EXPECT_EQ(dialogs_.messages().size(), 1u);
    } else {
      EXPECT_TRUE(pulses.empty());
      DeliverPosted();
      EXPECT_FALSE(window_->isVisible());
      EXPECT_FALSE(window_->ScreenTimerRunning());
    }
  }
}

TEST_F(UiDlgTest, NoLinkForThePowerOnPulseSaysSoAndCloses) {
  sim::HandControllerConfig config;
  config.startMode = ControllerMode::kOff;
  Start(config);
  dialogs_.QueueAnswer(MessageAnswer::Yes);
  ASSERT_NO_FATAL_FAILURE(Open());
  window_->OnScreenTimer();
  // The guider's chip goes before the answer comes.
  sim_->driver().FailCall(DriverCall::kCreateDeviceInfoList, FT_DEVICE_NOT_FOUND, 0);
  window_->OnScreenTimer();
  ASSERT_EQ(dialogs_.messages().size(), 2u);
  const auto& said = dialogs_.messages().back();
  EXPECT_EQ(said.caption, "ERROR");
  EXPECT_TRUE(said.text.startsWith("Can't open the USB device to power on the K-Tal"));
  EXPECT_FALSE(window_->ScreenTimerRunning());
  DeliverPosted();
  EXPECT_FALSE(window_->isVisible());
}

TEST_F(UiDlgTest, NoGuiderAttachedShowsTheLinkErrorAndCloses) {
  sim::VirtualClock clock;
  sim::SimFtdiDriver empty(clock);
  g_device.AttachDriver(&empty, &clock);
  ASSERT_NO_FATAL_FAILURE(Open());
  window_->OnScreenTimer();
  ASSERT_EQ(dialogs_.messages().size(), 1u);
  EXPECT_EQ(dialogs_.messages()[0].text, "FTDI: No proper USB device found\n");
  EXPECT_EQ(dialogs_.messages()[0].caption, "ERROR");
  EXPECT_EQ(dialogs_.messages()[0].icon, MessageIcon::Exclamation);
  DeliverPosted();
  EXPECT_FALSE(window_->isVisible());
  window_.reset();
}

TEST_F(UiDlgTest, ALinkLostInTheHandshakeShowsTheHandshakesReason) {
  g_device.errorString = L"an older failure";
  ASSERT_NO_FATAL_FAILURE(Open());
  // The chip opens, then goes at the handshake's third byte.
  sim_->driver().UnplugAtLineByte(3);
  window_->OnScreenTimer();
  ASSERT_EQ(dialogs_.messages().size(), 1u);
  const QString text = dialogs_.messages()[0].text;
  EXPECT_EQ(text, "FTDI: " + QString::fromLocal8Bit(g_protocolMessage).trimmed() + "\n");
  EXPECT_GT(text.size(), QString("FTDI: \n").size());
  EXPECT_FALSE(text.contains("older"));
}

TEST_F(UiDlgTest, ClosingStopsThePollAndClosesTheLink) {
  ASSERT_NO_FATAL_FAILURE(OpenAndConnect());
  window_->OnScreenTimer();
  sim_->guider().clear_traces();
  window_->close();
  EXPECT_FALSE(window_->ScreenTimerRunning());
  EXPECT_FALSE(window_->LedTimerRunning());
  EXPECT_FALSE(g_device.IsOpen());
  EXPECT_TRUE(sim_->guider().ReceivedBytes().empty()) << "nothing sent on the way out";
}

TEST_F(UiDlgTest, SavesTheScreenAsPng) {
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("ktal_vui_png_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::filesystem::path startup = g_startupDirectory;
  g_startupDirectory = dir;
  Panel().fixedScreen = ScreenWith(127, 0x80);
  ASSERT_NO_FATAL_FAILURE(OpenAndConnect({384, 192}));
  window_->OnScreenTimer();
  window_->OnScreenTimer();
  auto* sizes = window_->findChild<QComboBox*>("control1060");
  ASSERT_NE(sizes, nullptr);
  EXPECT_EQ(sizes->currentText(), "384 x 192");

  struct SaveCase {
    const char* name;
    int sizeIndex;
    QString file;   // as chosen in the dialog
    QString saved;  // what is written
    QSize size;
  };
  const SaveCase cases[] = {
      {"as shown", 2, "shown.png", "shown.png", {384, 192}},
      {"one pixel a dot, no suffix given", 0, "small", "small.png", {128, 64}},
  };
  for (const SaveCase& row : cases) {
    SCOPED_TRACE(row.name);
    sizes->setCurrentIndex(row.sizeIndex);
    const QString chosen = QString::fromStdString((dir / row.file.toStdString()).string());
    dialogs_.QueueSaveFile(chosen);
    window_->OnSaveScreen();
    EXPECT_EQ(dialogs_.proposedSaves().back(),
              QString::fromStdString((dir / "ktal-screen.png").string()));
    QImage saved(QString::fromStdString((dir / row.saved.toStdString()).string()));
    ASSERT_FALSE(saved.isNull());
    EXPECT_EQ(saved.size(), row.size);
    if (row.size == QSize(384, 192)) {
      // The same picture as on the screen canvas.
      for (int y = 0; y < 192; ++y) {
        for (int x = 0; x < 384; ++x) {
          ASSERT_EQ(saved.pixel(x, y) & 0xFFFFFFu, Screen()->PixelAt(x, y)) << x << ", " << y;
        }
      }
    } else if (row.size == QSize(128, 64)) {
      EXPECT_EQ(saved.pixel(127, 7) & 0xFFFFFFu, kLit);
      EXPECT_EQ(saved.pixel(126, 7) & 0xFFFFFFu, kDark);
      EXPECT_EQ(saved.pixel(127, 8) & 0xFFFFFFu, kDark);
    }
  }
  // Cancelled: nothing written, nothing said.
  const auto before = std::distance(std::filesystem::directory_iterator(dir), {});
  window_->OnSaveScreen();
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), before);
  EXPECT_TRUE(dialogs_.messages().empty());

  // A place that cannot be written to is reported.
  dialogs_.QueueSaveFile(QString::fromStdString((dir / "missing" / "x.png").string()));
  window_->OnSaveScreen();
  ASSERT_EQ(dialogs_.messages().size(), 1u);
  EXPECT_EQ(dialogs_.messages()[0].caption, "ERROR");
  std::filesystem::remove_all(dir);
  g_startupDirectory = startup;
}

TEST_F(UiDlgTest, TheLauncherOpensItWithTheLink) {
  CTVX_DUVO_VerAdiDlg launcher(dialogs_);
  InstallVirtualUi(launcher, dialogs_);
  QPushButton* button = launcher.Button(kIdVirtualUi);
  ASSERT_TRUE(button->isEnabled());
  bool polled = false;
  QTimer::singleShot(0, [&] {
    auto* opened = qobject_cast<CUIDlg*>(QApplication::activeModalWidget());
    if (opened == nullptr) {
      ADD_FAILURE() << "no virtual user interface opened";
      QApplication::closeAllWindows();
      return;
    }
    EXPECT_EQ(opened->windowTitle(), "Virtual K-Tal User Interface");
    EXPECT_EQ(opened->m_pDevice, &g_device);
    opened->OnScreenTimer();
    polled = g_device.IsOpen();
    opened->close();
  });
  button->click();
  EXPECT_TRUE(polled);
  EXPECT_FALSE(g_device.IsOpen());
}

}  // namespace
}  // namespace ktal
