// SPDX-License-Identifier: GPL-3.0-or-later
#include "shell/shell.h"

#include <QAbstractButton>
#include <QCoreApplication>
#include <QDialog>
#include <QEventLoop>
#include <QKeyEvent>
#include <QPushButton>
#include <QWidget>
#include <thread>

namespace ktal {

void PumpMessages() {
  // Posted events first, so that what a handler posts in turn is seen too;
  // processEvents itself never blocks without WaitForMoreEvents.
  QCoreApplication::sendPostedEvents();
  QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void RunBesideEventLoop(const std::function<void()>& work) {
  QEventLoop loop;
  std::thread worker([&] {
    work();
    // Queued: a quit that arrives before the loop runs waits for it.
    QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
  });
  loop.exec();
  worker.join();
}

void ControlGroup::ModifyStyle(std::uint32_t remove, std::uint32_t add, bool redrawNow) {
  for (QWidget* control : controls_) {
    if (control == nullptr) continue;
    bool disabled = !control->isEnabled();
    if (remove & kControlStyleDisabled) disabled = false;
    if (add & kControlStyleDisabled) disabled = true;
    control->setEnabled(!disabled);
    if (redrawNow) control->repaint();
  }
}

namespace {

// Sees the Enter that the focused control left to its window: key events
// travel up to the window when the control ignores them.
class EnterPressesButton final : public QObject {
 public:
  explicit EnterPressesButton(QDialog& window) : QObject(&window), window_(window) {}

  bool eventFilter(QObject* watched, QEvent* event) override {
    if (watched != &window_ || event->type() != QEvent::KeyPress) return false;
    const auto* key = static_cast<QKeyEvent*>(event);
    if (key->key() != Qt::Key_Return && key->key() != Qt::Key_Enter) return false;
    const Qt::KeyboardModifiers modifiers = key->modifiers() & ~Qt::KeypadModifier;
    if (modifiers != Qt::NoModifier) return false;
    auto* button = qobject_cast<QAbstractButton*>(window_.focusWidget());
    if (button != nullptr && button->isEnabled() && button->isVisible()) button->click();
    return true;
  }

 private:
  QDialog& window_;
};

}  // namespace

void LetEnterPressFocusedButton(QDialog& window) {
  for (QPushButton* button : window.findChildren<QPushButton*>()) button->setAutoDefault(false);
  window.installEventFilter(new EnterPressesButton(window));
}

}  // namespace ktal
