// SPDX-License-Identifier: GPL-3.0-or-later
// The shared suite of the update-mode protocol: instantiate it with a
// RigFactory, e.g.
//   INSTANTIATE_TEST_SUITE_P(Backends, UpdateProtocolTest, ::testing::Values(SimDriverRig()));
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tests/link/guider_rig_test.h"

namespace ktal::testing {

// What went over the line, delivered bytes only, as runs of one direction:
// "H: E6 01 02" (host to guider), "G: 11" (guider to host), one run a line.
std::string Dialogue(const std::vector<sim::LineTraceEntry>& trace);

class UpdateProtocolTest : public GuiderRigTest {
 protected:
  // A fresh guider in update mode with g_device open on it after
  // EnterDeviceMode(2); traces and waits cleared, and a marker text in
  // g_protocolMessage so that a function that sets none can be told.
  void StartInUpdateMode();

  sim::UpdateModeState& update() { return rig_->features().update; }
  std::string dialogue() { return Dialogue(rig_->guider().line_trace()); }
};

}  // namespace ktal::testing
