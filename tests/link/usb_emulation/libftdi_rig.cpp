// SPDX-License-Identifier: GPL-3.0-or-later
#include "libftdi_rig.h"

#include <memory>

#include "chip_time.h"
#include "emulated_usb.h"
#include "link/libftdi/libftdi_driver.h"

namespace ktal::testing {

namespace {

class LibftdiRig final : public GuiderRig {
 public:
  explicit LibftdiRig(const sim::HandControllerConfig& config)
      : guider_(clock_, config), driver_(std::make_unique<LibftdiDriver>(clock_)) {
    sim::InstallFeatureRequests(guider_, features_);
    usbemu::UsbBus::Get().Reset(&time_);
    chip_ = &usbemu::UsbBus::Get().Plug(usbemu::GuiderChip(&guider_));
  }
  // The backend lets go of the bus before the bus and the guider go.
  ~LibftdiRig() override {
    driver_.reset();
    usbemu::UsbBus::Get().Reset(nullptr);
  }

  sim::VirtualClock& clock() override { return clock_; }
  sim::HandController& guider() override { return guider_; }
  FtdiDriver& driver() override { return *driver_; }
  sim::GuiderFeatures& features() override { return features_; }
  // Without IN packets every USB read runs into its libusb time-out, which
  // the backend reports as a failure.
  void FailReads() override { chip_->SetInPacketsStopped(true); }

 private:
  sim::VirtualClock clock_;
  usbemu::VirtualChipTime time_{clock_};
  sim::GuiderFeatures features_;
  sim::HandController guider_;
  std::unique_ptr<LibftdiDriver> driver_;
  usbemu::EmulatedFt232r* chip_ = nullptr;  // owned by the bus
};

}  // namespace

RigFactory LibftdiEmulatedRig() {
  return {"LibftdiOnEmulatedUsb", [](const sim::HandControllerConfig& config) {
            return std::make_unique<LibftdiRig>(config);
          }};
}

}  // namespace ktal::testing
