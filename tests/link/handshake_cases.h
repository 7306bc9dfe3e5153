// The shared handshake suite: instantiate it with a RigFactory, e.g.
//   INSTANTIATE_TEST_SUITE_P(Sim, HandshakeTest, ::testing::Values(SimDriverRig()));
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tests/link/guider_rig.h"

namespace ktal::testing {

class HandshakeTest : public ::testing::TestWithParam<RigFactory> {
 protected:
  void TearDown() override;

  // Builds the rig and puts g_device on it, kind 2 as the launcher sets it.
  void Start(const sim::HandControllerConfig& config = {});
  void StartIn(sim::ControllerMode mode);

  sim::HandController& guider() { return rig_->guider(); }
  sim::VirtualClock& clock() { return rig_->clock(); }
  std::vector<std::uint32_t> waits() { return rig_->clock().waits(); }
  // What the guider took from the host, and what it sent back.
  std::vector<std::uint8_t> received() { return rig_->guider().ReceivedBytes(); }
  std::vector<std::uint8_t> sent() { return rig_->guider().SentBytes(); }
  // "<message>\n (<errorText>)\n" with the link's current error text.
  static std::string Framed(const std::string& message);

  std::unique_ptr<GuiderRig> rig_;
};

}  // namespace ktal::testing
