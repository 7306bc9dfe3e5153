// SPDX-License-Identifier: GPL-3.0-or-later
// The shared handshake cases, run on the libftdi backend over the emulated
// chip: the same bytes, answers, waits and results as on the simulated
// driver.
#include "libftdi_rig.h"
#include "tests/link/handshake_cases.h"

namespace ktal::testing {

INSTANTIATE_TEST_SUITE_P(Backends, HandshakeTest, ::testing::Values(LibftdiEmulatedRig()),
                         [](const auto& info) { return info.param.name; });

}  // namespace ktal::testing
