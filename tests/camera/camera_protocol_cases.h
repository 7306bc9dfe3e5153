// SPDX-License-Identifier: GPL-3.0-or-later
// The shared suite of the camera-mode protocol: instantiate it with a
// RigFactory, e.g.
//   INSTANTIATE_TEST_SUITE_P(Backends, CameraProtocolTest, ::testing::Values(SimDriverRig()));
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tests/link/guider_rig_test.h"

namespace ktal::testing {

class CameraProtocolTest : public GuiderRigTest {
 protected:
  void TearDown() override;

  // A fresh guider with g_device open on it after EnterDeviceMode(3) and
  // EnterFileSystemMode (the camera's own entry is one of the cases).
  void StartInFileSystemMode();
  // The same, then EnterCameraMode, with the camera on (state 1) or off.
  void StartInCameraMode(bool cameraOn = true);
  // Traces, waits and the trace lines cleared; a marker text in
  // g_protocolMessage so that a function that sets none can be told.
  void ClearTraces();

  // The link is back at its running-mode settings: a state query goes out
  // at 250000 baud and is answered, and a query the guider does not answer
  // gives up after the 1000 ms read time-out. Stray bytes are let in and
  // thrown away first.
  void ExpectRunningModeLink();

  sim::CameraState& camera() { return rig_->features().camera; }
  // The waits of the code under test, without the 1 ms polls of the
  // transmit queue that only a backend with a real transmit queue makes.
  std::vector<std::uint32_t> waits() const;

  std::vector<std::string> traceLines_;
};

}  // namespace ktal::testing
