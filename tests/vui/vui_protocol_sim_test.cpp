// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/vui/vui_protocol_cases.h"

namespace ktal::testing {

INSTANTIATE_TEST_SUITE_P(Backends, VuiProtocolTest, ::testing::Values(SimDriverRig()),
                         [](const auto& info) { return info.param.name; });

}  // namespace ktal::testing
