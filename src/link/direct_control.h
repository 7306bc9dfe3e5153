// Switching the guider on and resetting it through the USB chip's spare CBUS
// lines: CBUS1 hangs on the hand controller's power-on input, CBUS0 on its
// reset input. Failures are left in g_device and g_protocolMessage only;
// nothing is shown.
#pragma once

namespace ktal {

// Pulses CBUS1 unless the hand controller already answers in some mode.
// True when a pulse was sent.
bool PowerOnGuider();

// Pulses CBUS0. The caller has asked the user first. True when a pulse was
// sent.
bool ResetGuider();

}  // namespace ktal
