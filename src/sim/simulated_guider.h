// SPDX-License-Identifier: GPL-3.0-or-later
// The simulated guider as one object: a virtual clock, one hand controller
// and an FT232R model with that hand controller attached as device 0.
//
//   ktal::sim::SimulatedGuider sim;            // on, firmware 2.60, normal mode
//   g_device.AttachDriver(&sim.driver(), &sim.clock());
//   ... EnterDeviceMode(3) ...
//   EXPECT_EQ(sim.clock().waits(), (std::vector<uint32_t>{...}));
//   EXPECT_EQ(sim.driver().BitModeMasks(), ...);
//
// The guider's stored data and feature faults are in features(): its flash
// file system starts erased (FillDemoStore gives it a few nights of logs).
// More devices (a factory chip, a second guider) can be added to driver().
#pragma once

#include "sim/guider_features.h"
#include "sim/hand_controller.h"
#include "sim/sim_ftdi_driver.h"
#include "sim/virtual_clock.h"

namespace ktal::sim {

class SimulatedGuider {
 public:
  explicit SimulatedGuider(HandControllerConfig config = {});
  SimulatedGuider(const SimulatedGuider&) = delete;
  SimulatedGuider& operator=(const SimulatedGuider&) = delete;

  VirtualClock& clock() { return clock_; }
  HandController& guider() { return guider_; }
  SimFtdiDriver& driver() { return driver_; }
  GuiderFeatures& features() { return features_; }
  FlashStore& flash() { return features_.flash; }

  // For ktal-companion --simulate: no traces or wait lists that grow for
  // ever, and waits and time-outs paced at `pacing` x real time (0: not
  // paced).
  void SetInteractive(double pacing) {
    guider_.set_tracing(false);
    driver_.set_tracing(false);
    clock_.set_recording_waits(false);
    clock_.SetRealTimePacing(pacing);
  }

 private:
  // Declared in this order so that each outlives what refers to it.
  VirtualClock clock_;
  GuiderFeatures features_;
  HandController guider_;
  SimFtdiDriver driver_;
};

}  // namespace ktal::sim
