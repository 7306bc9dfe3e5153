// SPDX-License-Identifier: GPL-3.0-or-later
// A test with the real libftdi backend on the emulated USB bus: a virtual
// clock shared by the guider, the emulated chips and the backend, a guider
// model, and g_device attached to the backend.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "chip_time.h"
#include "emulated_ft232r.h"
#include "emulated_usb.h"
#include "link/ftdi_device.h"
#include "link/libftdi/libftdi_driver.h"
#include "sim/hand_controller.h"
#include "sim/virtual_clock.h"

namespace ktal::usbemu {

inline sim::HandControllerConfig GuiderStartingIn(sim::ControllerMode mode) {
  sim::HandControllerConfig config;
  config.startMode = mode;
  return config;
}

class EmulatedUsbTest : public ::testing::Test {
 protected:
  explicit EmulatedUsbTest(sim::HandControllerConfig config = {}) : guider_(clock_, config) {
    UsbBus::Get().Reset(&time_);
  }

  void TearDown() override {
    g_device.Close();
    g_device.AttachDriver(nullptr, nullptr);
    driver_.reset();
    // Everything the backend took from libusb went back.
    EXPECT_EQ(UsbBus::Get().live_contexts(), 0);
    EXPECT_EQ(UsbBus::Get().open_handles(), 0);
    EXPECT_EQ(UsbBus::Get().device_references(), 0);
    UsbBus::Get().Reset(nullptr);
  }

  EmulatedFt232r& PlugGuider() { return UsbBus::Get().Plug(GuiderChip(&guider_)); }

  // g_device on the backend, looking for the guider.
  void AttachLink() {
    g_device.Close();
    g_device.AttachDriver(driver_.get(), &clock_);
    g_device.deviceKind = kDeviceKindGuider;
  }

  // Opens the link to the guider; fails the test when that does not work.
  void OpenLink() {
    AttachLink();
    ASSERT_EQ(g_device.Open(), 0) << g_device.errorText << " / " << driver_->LastErrorDetail();
  }

  std::int64_t NowMs() { return clock_.NowMicros() / 1000; }

  sim::VirtualClock clock_;
  VirtualChipTime time_{clock_};
  sim::HandController guider_;
  std::unique_ptr<LibftdiDriver> driver_ = std::make_unique<LibftdiDriver>(clock_);
};

}  // namespace ktal::usbemu
