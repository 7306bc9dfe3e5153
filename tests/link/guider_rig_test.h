// SPDX-License-Identifier: GPL-3.0-or-later
// The fixture every backend suite shares: a fresh guider rig per start,
// g_device on it with the guider's kind, and the link taken off it again
// after each case.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

#include "link/ftdi_device.h"
#include "link/handshakes.h"
#include "tests/link/guider_rig.h"

namespace ktal::testing {

// What ClearTraces leaves in g_protocolMessage, so that a request that sets
// no text of its own can be told.
inline constexpr char kEarlierText[] = "earlier text";

class GuiderRigTest : public ::testing::TestWithParam<RigFactory> {
 protected:
  void TearDown() override { ReleaseRig(); }

  // A fresh guider; a case may start a second one.
  void StartRig(const sim::HandControllerConfig& config = {}) {
    ReleaseRig();
    rig_ = GetParam().make(config);
    g_device.AttachDriver(&rig_->driver(), &rig_->clock());
    g_device.deviceKind = kDeviceKindGuider;
  }
  void ReleaseRig() {
    if (!rig_) return;
    g_device.Close();
    g_device.handle = nullptr;  // even if a case left it unclosable
    g_device.AttachDriver(nullptr, nullptr);
    rig_.reset();
  }
  // Forgets the traces and waits of the set-up.
  void ClearTraces() {
    guider().clear_traces();
    clock().clear_waits();
    std::snprintf(g_protocolMessage, sizeof g_protocolMessage, "%s", kEarlierText);
  }

  sim::HandController& guider() { return rig_->guider(); }
  sim::VirtualClock& clock() { return rig_->clock(); }
  sim::GuiderFeatures& features() { return rig_->features(); }
  std::vector<std::uint32_t> waits() { return rig_->clock().waits(); }
  // What the guider took from the host, and what it sent back.
  std::vector<std::uint8_t> received() { return rig_->guider().ReceivedBytes(); }
  std::vector<std::uint8_t> sent() { return rig_->guider().SentBytes(); }

  std::unique_ptr<GuiderRig> rig_;
};

}  // namespace ktal::testing
