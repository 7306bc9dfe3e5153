// SPDX-License-Identifier: GPL-3.0-or-later
// A guider on a link backend, for the handshake cases that every backend
// must pass alike: the simulated FT232R driver, and the libftdi backend over
// an emulated FT232R at the USB boundary. Both put the same simulated hand
// controller at the far end and run on a virtual clock, so the cases can
// check the guider's side of the line, the waits and the results.
#pragma once

#include <functional>
#include <memory>
#include <ostream>
#include <string>

#include "link/ftdi_driver.h"
#include "sim/guider_features.h"
#include "sim/hand_controller.h"
#include "sim/virtual_clock.h"

namespace ktal::testing {

class GuiderRig {
 public:
  virtual ~GuiderRig() = default;
  virtual sim::VirtualClock& clock() = 0;
  virtual sim::HandController& guider() = 0;
  virtual FtdiDriver& driver() = 0;
  // The guider's stored data (flash file system) and feature faults.
  virtual sim::GuiderFeatures& features() = 0;
  // From now on every driver read fails (not a time-out), as with a chip
  // that stopped answering on USB; writes still go out.
  virtual void FailReads() = 0;
};

struct RigFactory {
  std::string name;
  std::function<std::unique_ptr<GuiderRig>(const sim::HandControllerConfig&)> make;
};

inline std::ostream& operator<<(std::ostream& out, const RigFactory& factory) {
  return out << factory.name;
}

// The simulated FT232R driver with the guider as its only device.
RigFactory SimDriverRig();

}  // namespace ktal::testing
