#include "app/shell.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QWidget>

namespace ktal {

void PumpMessages() {
  // Posted events first, so that what a handler posts in turn is seen too;
  // processEvents itself never blocks without WaitForMoreEvents.
  QCoreApplication::sendPostedEvents();
  QCoreApplication::processEvents(QEventLoop::AllEvents);
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

}  // namespace ktal
