// SPDX-License-Identifier: GPL-3.0-or-later
// The shared suite of the screen, LED and key requests: instantiate
// it with a RigFactory, e.g.
//   INSTANTIATE_TEST_SUITE_P(Backends, VuiProtocolTest, ::testing::Values(SimDriverRig()));
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "tests/link/guider_rig_test.h"

namespace ktal::testing {

class VuiProtocolTest : public GuiderRigTest {
 protected:
  // A fresh guider with `version` in normal mode, g_device open on it after
  // EnterDeviceMode(3) and set up for the screen poll; traces and waits
  // cleared.
  void StartPolling(std::uint16_t version = 0x0260);

  sim::FrontPanel& panel() { return rig_->features().panel; }
  std::int64_t NowMs() { return rig_->clock().NowMicros() / 1000; }
};

}  // namespace ktal::testing
