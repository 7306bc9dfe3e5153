// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/link/handshake_cases.h"

namespace ktal::testing {

INSTANTIATE_TEST_SUITE_P(Backends, HandshakeTest, ::testing::Values(SimDriverRig()),
                         [](const auto& info) { return info.param.name; });

}  // namespace ktal::testing
