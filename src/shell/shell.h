// SPDX-License-Identifier: GPL-3.0-or-later
// Small facilities the feature windows share: the start-up directory, the
// message pump for long operations, and switching groups of controls.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <vector>

#include "shell/startup_directory.h"

class QDialog;
class QWidget;

namespace ktal {

// Handles every event waiting for this thread's windows, then returns;
// never waits for one. Long operations on the user-interface thread call it
// between steps so the windows stay alive.
void PumpMessages();

// Runs `work` on a thread of its own and handles this thread's events until
// it has ended, so that a long computation does not freeze the windows. The
// work must touch no window, no link and nothing the event handlers change;
// the caller has disabled whatever could start such a handler.
void RunBesideEventLoop(const std::function<void()>& work);

// Control style bits a ControlGroup can change. Only the disabled bit has a
// meaning on this platform.
inline constexpr std::uint32_t kControlStyleDisabled = 0x08000000;

// An owner window and a list of its controls, in the order added, switched
// together (the buttons of a window during a long operation).
class ControlGroup {
 public:
  explicit ControlGroup(QWidget* owner) : owner_(owner) {}

  void Add(QWidget* control) { controls_.push_back(control); }
  const std::vector<QWidget*>& controls() const { return controls_; }
  QWidget* owner() const { return owner_; }

  // Removes, then adds the style bits on every control; with redrawNow each
  // control is repainted at once rather than at the next event.
  void ModifyStyle(std::uint32_t remove, std::uint32_t add, bool redrawNow);

 private:
  QWidget* owner_;
  std::vector<QWidget*> controls_;
};

// Makes Enter and Return act on the focused control only, as Space does: a
// push button is pressed, a check box toggled, and anywhere else (an edit
// field, a list) nothing happens. Otherwise a dialog sends Enter to its
// default button, or to the first button it ever gave the focus to, which
// the user may not see. The window's push buttons stop being auto-default,
// as there is no default for them to stand in for. Call it once the
// buttons exist; it lives as long as `window`.
void LetEnterPressFocusedButton(QDialog& window);

}  // namespace ktal
