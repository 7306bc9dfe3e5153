// SPDX-License-Identifier: GPL-3.0-or-later
// Night vision: the whole program in red on black, for the telescope in the
// dark. Observers cover their screens with red film and keep their eyes
// adapted, so what matters is that no pixel gives off green or blue light,
// more than how it looks.
//
// The application object owns the mode (a child object of it, made by the
// composition root). Switching restyles every open window at once: a dark
// red palette on the Fusion style, each element the style draws taken down
// to its red channel (the style mixes fixed greys and white into buttons,
// frames and headers, and its icons are coloured). Windows that draw pixels
// of their own (the camera picture, the guider's screen and LEDs) hear the
// switch through Changed and pick red colours themselves.
#pragma once

#include <QObject>
#include <QPalette>
#include <QPointer>

class QApplication;
class QCoreApplication;
class QStyle;

namespace ktal {

class NightMode final : public QObject {
  Q_OBJECT
 public:
  // Becomes the night mode of `app`, as a child of it; starts off. An
  // application has at most one.
  explicit NightMode(QApplication& app);
  // Leaves night first, while the application still runs.
  ~NightMode() override;

  // Switches at once, every open window included. Leaving night brings
  // back the style and palette that were in use before it.
  void SetOn(bool on);
  bool IsOn() const { return on_; }

  // The night mode of `app`; null when it has none (a test of one window).
  static NightMode* Of(const QCoreApplication* app);

 signals:
  // After the switch, with every window restyled already.
  void Changed(bool on);

 private:
  void Enter();
  void Leave();
  void Restyled();

  bool on_ = false;
  // The day's style, kept as a child of this object while night lasts:
  // the application deletes a style that it owns when another replaces it.
  QPointer<QStyle> dayStyle_;
  QPalette dayPalette_;
};

// The night mode of the running application, or null.
NightMode* ApplicationNightMode();
// Whether the running application shows itself in night colours; false
// when it has no NightMode.
bool NightVisionOn();

// The colours of night: every role of every colour group a shade of red on
// black or near-black.
QPalette NightPalette();

}  // namespace ktal
