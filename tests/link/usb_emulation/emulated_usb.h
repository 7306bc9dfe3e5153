// SPDX-License-Identifier: GPL-3.0-or-later
// The emulated USB bus behind the libusb-1.0 functions that this test
// library defines in place of the real libusb: the 28 that libftdi 1.5
// calls (the asynchronous ones refuse). Linked with the static libftdi, it
// runs the real libftdi code against emulated chips.
//
// libusb has process-wide entry points, so the bus is one process-wide
// object. A test resets it with its time source, plugs chips into it, and
// reads back what the host did to them.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "chip_time.h"
#include "emulated_ft232r.h"

namespace ktal::usbemu {

class UsbBus {
 public:
  static UsbBus& Get();

  // Starts an empty bus on `time` (not owned; must outlive the bus's use),
  // with no faults; null leaves no bus at all. Chips of the previous bus
  // that the host still holds references to stay alive, unplugged and cut
  // off from their guiders.
  void Reset(ChipTime* time);
  // Plugs in a chip; it comes after the chips already plugged in libusb's
  // device list. The reference stays valid until the next Reset.
  EmulatedFt232r& Plug(ChipConfig config);

  // libusb_init fails (LIBUSB_ERROR_OTHER) while set.
  void SetInitFails(bool fails) { initFails_ = fails; }

  // What the host holds: contexts not exited, handles not closed, device
  // references not returned (beyond the bus's own).
  int live_contexts() const { return contexts_; }
  int open_handles() const { return handles_; }
  long device_references() const;

  // ---- For the libusb functions ----
  ChipTime& time() { return *time_; }
  bool init_fails() const { return initFails_; }
  void ContextCreated() { ++contexts_; }
  void ContextExited() { --contexts_; }
  void HandleOpened() { ++handles_; }
  void HandleClosed() { --handles_; }
  struct Device;
  // The chips still on the bus, in plug order.
  std::vector<Device*> Attached();

 private:
  UsbBus() = default;

  ChipTime* time_ = nullptr;
  std::vector<std::unique_ptr<Device>> devices_;
  // Devices of earlier buses that were still referenced at Reset.
  std::vector<std::unique_ptr<Device>> retired_;
  bool initFails_ = false;
  int contexts_ = 0;
  int handles_ = 0;
};

}  // namespace ktal::usbemu
