// SPDX-License-Identifier: GPL-3.0-or-later
// The shared handshake cases on the real libftdi backend: the guider model
// behind an emulated FT232R on the emulated USB bus.
#pragma once

#include "tests/link/guider_rig.h"

namespace ktal::testing {

// Uses the process-wide emulated bus: one such rig at a time.
RigFactory LibftdiEmulatedRig();

}  // namespace ktal::testing
