// SPDX-License-Identifier: GPL-3.0-or-later
// How much of the guider's time passes while a window handles no event.
//
// The watch keeps one event of its own always waiting in the event loop:
// each time the loop delivers it, it notes the clock and posts the next.
// So the time between two deliveries is time in which the loop did not
// look. On the simulated guider's virtual clock the figure does not depend
// on how busy the machine is; what it cannot see is time the program spends
// computing, which moves no virtual clock.
#pragma once

#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <algorithm>
#include <cstdint>

#include "link/clock.h"

namespace ktal::testing {

class GuiderTimeWatch final : public QObject {
 public:
  static constexpr QEvent::Type kTick = static_cast<QEvent::Type>(QEvent::User + 11);

  explicit GuiderTimeWatch(Clock& clock) : clock_(clock) {}
  ~GuiderTimeWatch() override { QCoreApplication::removePostedEvents(this); }

  // From now on, until Stop.
  void Start() {
    last_ = clock_.NowMicros();
    watching_ = true;
    QCoreApplication::postEvent(this, new QEvent(kTick));
  }
  // The stretch since the last delivery counts too.
  void Stop() {
    if (watching_) longest_ = std::max(longest_, clock_.NowMicros() - last_);
    watching_ = false;
    QCoreApplication::removePostedEvents(this);
  }
  // The longest stretch of the clock without a delivery, in ms.
  double LongestGapMs() const { return static_cast<double>(longest_) / 1000; }

  bool event(QEvent* e) override {
    if (e->type() != kTick) return QObject::event(e);
    if (!watching_) return true;
    const std::int64_t now = clock_.NowMicros();
    longest_ = std::max(longest_, now - last_);
    last_ = now;
    QCoreApplication::postEvent(this, new QEvent(kTick));
    return true;
  }

 private:
  Clock& clock_;
  bool watching_ = false;
  std::int64_t last_ = 0;
  std::int64_t longest_ = 0;
};

}  // namespace ktal::testing
