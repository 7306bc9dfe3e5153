// SPDX-License-Identifier: GPL-3.0-or-later
// The virtual user interface: a window that mirrors the hand controller's
// 128 x 64 dot screen and six LEDs and presses its keys from the PC
// keyboard (Esc, Enter for SET, the arrows, Backspace for a long Esc).
//
// It polls on two timers: every 40 ms the screen timer reads four of the
// eight screen bands (so a whole screen every 80 ms), every 21 ms the LED
// timer reads the LED byte. The first screen tick brings the hand
// controller into normal mode and asks its firmware version, which decides
// whether key releases are sent. A guider that stops answering is reported
// and the window closes; one that is off when the window opens can be
// switched on from here.
//
// Each tick blocks the window for as long as its requests take: about
// 50 ms for four bands at 250000 baud, since each band waits for at least
// one 10 ms queue check. The ticks then follow each other back to back, and
// the window handles what has arrived between two of them, so nothing
// waits longer than one tick (bench/vui).
#pragma once

#include <QDialog>
#include <QTimer>
#include <array>
#include <bitset>
#include <cstdint>

#include "vui/vui_protocol.h"

class QComboBox;
class QKeyEvent;
class QLabel;
class QPushButton;

namespace ktal {

class CBitmapRect;
class CFtdiDevice;
class UserDialogs;

// Control ids; each control's objectName is "control<id>".
enum VuiControl : int {
  kIdVuiScreen = 1029,
  kIdVuiLeds = 1048,
  kIdVuiLedLabel = 1049,
  kIdVuiDotSize = 1060,
  kIdVuiSaveScreen = 1061,
};

// Colours of the mirrored screen, 0x00RRGGBB. In night vision the screen
// keeps their red channel alone, and the LEDs are all red.
inline constexpr std::uint32_t kLitDot = 0xC86401;
inline constexpr std::uint32_t kLitDotEdge = 0xA85601;
inline constexpr std::uint32_t kDarkDot = 0x130701;

class CUIDlg : public QDialog {
  Q_OBJECT
 public:
  explicit CUIDlg(UserDialogs& dialogs, QWidget* parent = nullptr);
  ~CUIDlg() override;

  // The two timer ticks.
  void OnScreenTimer();
  void OnLedTimer();
  bool ScreenTimerRunning() const { return m_screenTimer.isActive(); }
  bool LedTimerRunning() const { return m_ledTimer.isActive(); }

  // The screen as last received, `dotSize` image pixels to a dot, drawn
  // as the window draws it by day (a saved screen is the guider's, in any
  // light).
  QImage ScreenImage(int dotSize) const;
  // Asks for a file name and writes the screen as a PNG at the size chosen
  // beside the button.
  void OnSaveScreen();

  // Stops polling and closes the link whichever way the window closes.
  void done(int result) override;

  // The link; the launcher sets it before the window runs (always
  // g_device). Without it the window shows nothing and sends nothing.
  CFtdiDevice* m_pDevice = nullptr;

 protected:
  bool event(QEvent* event) override;

 private:
  void BuildControls();
  // Looks at every key message first. True when it was consumed.
  bool PreTranslateMessage(QKeyEvent* key);
  void Handshake();
  void ReadScreen();
  // Draws one band of m_bands into the screen canvas.
  void DrawBand(int band);
  void DrawLeds(std::uint8_t leds);
  // Night vision switched: the screen and LEDs as they are, drawn again.
  void OnNightVision(bool on);
  void PowerOffHandling(bool timedOut);
  void EndOfTick();
  void StartTimers();
  void StopTimers();
  // Device pixels per dot pixel: the whole part of the canvas's ratio.
  static int DotScale(const CBitmapRect& canvas);

  UserDialogs& dialogs_;
  QTimer m_screenTimer;
  QTimer m_ledTimer;
  int m_nBand = 0;
  int m_nLastLeds = -1;
  int m_bClose = 0;
  int m_bHandshake = 1;
  int m_bScreenSeen = 0;
  int m_bKeyRelease = 0;
  // The LED byte could not be read: the LED timer stays off for good.
  bool m_bNoLeds = false;
  bool closePosted_ = false;
  // The bands as last received, band 0 first, and which have arrived.
  std::array<std::uint8_t, kScreenBands * kBandBytes> m_bands{};
  std::bitset<kScreenBands> m_bandsReceived;
  bool m_bNight = false;

  CBitmapRect* m_screen = nullptr;
  CBitmapRect* m_leds = nullptr;
  QLabel* ledLabel_ = nullptr;
  QComboBox* dotSize_ = nullptr;
  QPushButton* saveScreen_ = nullptr;
};

}  // namespace ktal
