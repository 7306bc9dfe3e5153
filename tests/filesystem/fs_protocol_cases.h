// SPDX-License-Identifier: GPL-3.0-or-later
// The shared suite of the file-system mode requests: instantiate it with a
// RigFactory, e.g.
//   INSTANTIATE_TEST_SUITE_P(Backends, FsProtocolTest, ::testing::Values(SimDriverRig()));
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "tests/link/guider_rig_test.h"

namespace ktal::testing {

class FsProtocolTest : public GuiderRigTest {
 protected:
  // A fresh guider in normal mode with g_device open on it after
  // EnterDeviceMode(3); traces and waits cleared, and a marker text in
  // g_protocolMessage so that a request that sets none can be told.
  void StartInNormalMode();
  // The same, then EnterFileSystemMode.
  void StartInFileSystemMode();
};

}  // namespace ktal::testing
