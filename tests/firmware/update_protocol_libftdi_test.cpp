// SPDX-License-Identifier: GPL-3.0-or-later
// The update-mode cases on the libftdi backend over the emulated chip: the
// same bytes, answers, waits and results as on the simulated driver.
#include "tests/firmware/update_protocol_cases.h"
#include "tests/link/usb_emulation/libftdi_rig.h"

namespace ktal::testing {

INSTANTIATE_TEST_SUITE_P(Backends, UpdateProtocolTest, ::testing::Values(LibftdiEmulatedRig()),
                         [](const auto& info) { return info.param.name; });

}  // namespace ktal::testing
