// The shared suite of the file-system mode requests: instantiate it with a
// RigFactory, e.g.
//   INSTANTIATE_TEST_SUITE_P(Backends, FsProtocolTest, ::testing::Values(SimDriverRig()));
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "tests/link/guider_rig.h"

namespace ktal::testing {

class FsProtocolTest : public ::testing::TestWithParam<RigFactory> {
 protected:
  void TearDown() override;

  // A fresh guider in normal mode with g_device open on it after
  // EnterDeviceMode(3); traces and waits cleared, and a marker text in
  // g_protocolMessage so that a request that sets none can be told.
  void StartInNormalMode();
  // The same, then EnterFileSystemMode.
  void StartInFileSystemMode();

  sim::HandController& guider() { return rig_->guider(); }
  sim::GuiderFeatures& features() { return rig_->features(); }
  std::vector<std::uint32_t> waits() { return rig_->clock().waits(); }
  std::vector<std::uint8_t> received() { return rig_->guider().ReceivedBytes(); }
  std::vector<std::uint8_t> sent() { return rig_->guider().SentBytes(); }
  void ClearTraces();

  std::unique_ptr<GuiderRig> rig_;
};

}  // namespace ktal::testing
