// SPDX-License-Identifier: GPL-3.0-or-later
#include "sim/simulated_guider.h"
#include "tests/link/guider_rig.h"

namespace ktal::testing {

namespace {

class SimRig final : public GuiderRig {
 public:
  explicit SimRig(const sim::HandControllerConfig& config) : sim_(config) {}
  sim::VirtualClock& clock() override { return sim_.clock(); }
  sim::HandController& guider() override { return sim_.guider(); }
  FtdiDriver& driver() override { return sim_.driver(); }
  sim::GuiderFeatures& features() override { return sim_.features(); }
  void FailReads() override { sim_.driver().FailCall(sim::DriverCall::kRead, FT_IO_ERROR, 0); }

 private:
  sim::SimulatedGuider sim_;
};

}  // namespace

RigFactory SimDriverRig() {
  return {"SimulatedDriver",
          [](const sim::HandControllerConfig& config) { return std::make_unique<SimRig>(config); }};
}

}  // namespace ktal::testing
