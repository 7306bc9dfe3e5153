// SPDX-License-Identifier: GPL-3.0-or-later
// The screen, LED and key cases on the libftdi backend over the
// emulated chip: the same bytes, answers, waits and results as on the
// simulated driver.
#include "tests/link/usb_emulation/libftdi_rig.h"
#include "tests/vui/vui_protocol_cases.h"

namespace ktal::testing {

INSTANTIATE_TEST_SUITE_P(Backends, VuiProtocolTest, ::testing::Values(LibftdiEmulatedRig()),
                         [](const auto& info) { return info.param.name; });

}  // namespace ktal::testing
