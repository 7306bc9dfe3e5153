// SPDX-License-Identifier: GPL-3.0-or-later
// Switching the guider on and resetting it through the USB chip's spare CBUS
// lines: CBUS1 hangs on the hand controller's power-on input, CBUS0 on its
// reset input. Nothing is shown; the result says what happened so that the
// caller can tell the user.
#pragma once

#include <string>

#include "link/ftdi_device.h"

namespace ktal {

enum class DirectOutcome {
  kPulseSent,
  // Power ON only: the hand controller answered in `runningMode`, so no
  // pulse went out. The probe leaves the link open.
  kAlreadyRunning,
  // No chip with the guider's description could be opened. `detail` is the
  // driver's reason (no permission on the device node, say), empty when it
  // simply is not attached.
  kNoGuider,
  // The chip was there but the link failed; `detail` is the link's text.
  kLinkFailed,
};

struct DirectResult {
  DirectOutcome outcome = DirectOutcome::kPulseSent;
  int runningMode = 0;  // a DeviceMode for kAlreadyRunning
  std::string detail;

  // True when a pulse was sent.
  explicit operator bool() const { return outcome == DirectOutcome::kPulseSent; }
};

// Pulses CBUS1 unless the hand controller already answers in some mode.
DirectResult PowerOnGuider(CFtdiDevice& device);

// Pulses CBUS0. The caller has asked the user first.
DirectResult ResetGuider(CFtdiDevice& device);

// On g_device.
inline DirectResult PowerOnGuider() { return PowerOnGuider(g_device); }
inline DirectResult ResetGuider() { return ResetGuider(g_device); }

}  // namespace ktal
