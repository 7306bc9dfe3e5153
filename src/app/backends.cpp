// SPDX-License-Identifier: GPL-3.0-or-later
// The two things g_device can talk to. Chosen once, in InitInstance.
#include <string>

#include "app/application.h"
#include "link/clock.h"
#include "link/libftdi/libftdi_driver.h"
#include "sim/demo/demo_guider.h"
#include "sim/simulated_guider.h"

namespace ktal {

namespace {

class UsbBackend final : public LinkBackend {
 public:
  UsbBackend() : driver_(SystemClock()) {}
  FtdiDriver& driver() override { return driver_; }
  Clock& clock() override { return SystemClock(); }
  std::string name() const override { return {}; }

 private:
  LibftdiDriver driver_;
};

class SimulatedBackend final : public LinkBackend {
 public:
  SimulatedBackend() {
    // Time-outs and waits take as long as on the real guider, so that the
    // program feels the same; no traces, which would grow for ever.
    sim_.SetInteractive(1.0);
    // A guider after some use, so that File control has something to list
    // and an upload has variables to carry across.
    sim::SeedDemoGuider(sim_);
  }
  FtdiDriver& driver() override { return sim_.driver(); }
  Clock& clock() override { return sim_.clock(); }
  std::string name() const override { return "simulated guider"; }

 private:
  sim::SimulatedGuider sim_;  // attached, on, firmware 2.60, normal mode, a few nights stored
  sim::SampleFirmwareOffer sampleFirmware_;
};

}  // namespace

std::unique_ptr<LinkBackend> MakeUsbBackend() { return std::make_unique<UsbBackend>(); }

std::unique_ptr<LinkBackend> MakeSimulatedBackend() { return std::make_unique<SimulatedBackend>(); }

}  // namespace ktal
