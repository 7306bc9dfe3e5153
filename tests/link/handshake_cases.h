// SPDX-License-Identifier: GPL-3.0-or-later
// The shared handshake suite: instantiate it with a RigFactory, e.g.
//   INSTANTIATE_TEST_SUITE_P(Sim, HandshakeTest, ::testing::Values(SimDriverRig()));
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tests/link/guider_rig_test.h"

namespace ktal::testing {

class HandshakeTest : public GuiderRigTest {
 protected:
  // Builds the rig and puts g_device on it, kind 2 as the launcher sets it.
  void Start(const sim::HandControllerConfig& config = {});
  void StartIn(sim::ControllerMode mode);

  // "<message>\n (<errorText>)\n" with the link's current error text.
  static std::string Framed(const std::string& message);
};

}  // namespace ktal::testing
