// SPDX-License-Identifier: GPL-3.0-or-later
// The file-system mode cases on the libftdi backend over the emulated chip:
// the same bytes, answers, waits and results as on the simulated driver.
#include "tests/filesystem/fs_protocol_cases.h"
#include "tests/link/usb_emulation/libftdi_rig.h"

namespace ktal::testing {

INSTANTIATE_TEST_SUITE_P(Backends, FsProtocolTest, ::testing::Values(LibftdiEmulatedRig()),
                         [](const auto& info) { return info.param.name; });

}  // namespace ktal::testing
