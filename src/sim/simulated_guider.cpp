// SPDX-License-Identifier: GPL-3.0-or-later
#include "sim/simulated_guider.h"

namespace ktal::sim {

SimulatedGuider::SimulatedGuider(HandControllerConfig config)
    : guider_(clock_, config), driver_(clock_) {
  InstallFeatureRequests(guider_, features_);
  driver_.AddDevice(GuiderDevice(&guider_));
}

}  // namespace ktal::sim
