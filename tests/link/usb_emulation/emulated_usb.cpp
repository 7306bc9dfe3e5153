// SPDX-License-Identifier: GPL-3.0-or-later
// The libusb-1.0 functions libftdi 1.5 calls, over the emulated bus.
#include "emulated_usb.h"

#include <libusb.h>

#include <algorithm>
#include <cstring>

using ktal::usbemu::EmulatedFt232r;
using ktal::usbemu::UsbBus;

struct libusb_context {
  int unused = 0;
};

struct libusb_device {
  UsbBus::Device* owner = nullptr;
};

struct libusb_device_handle {
  UsbBus::Device* device = nullptr;
  bool claimed = false;
  bool autoDetach = false;
};

struct ktal::usbemu::UsbBus::Device {
  libusb_device handle;
  std::unique_ptr<EmulatedFt232r> chip;
  // References the host holds, from device lists, ref_device and handles.
  long refs = 0;
};

namespace ktal::usbemu {

UsbBus& UsbBus::Get() {
  static UsbBus bus;
  return bus;
}

void UsbBus::Reset(ChipTime* time) {
  for (auto& d : devices_) {
    if (d->refs > 0) {
      d->chip->Retire();
      retired_.push_back(std::move(d));
    }
  }
  devices_.clear();
  time_ = time;
  initFails_ = false;
}

EmulatedFt232r& UsbBus::Plug(ChipConfig config) {
  auto d = std::make_unique<Device>();
  d->handle.owner = d.get();
  d->chip = std::make_unique<EmulatedFt232r>(*time_, std::move(config));
  devices_.push_back(std::move(d));
  return *devices_.back()->chip;
}

long UsbBus::device_references() const {
  long refs = 0;
  for (const auto& d : devices_) refs += d->refs;
  for (const auto& d : retired_) refs += d->refs;
  return refs;
}

std::vector<UsbBus::Device*> UsbBus::Attached() {
  std::vector<Device*> attached;
  for (auto& d : devices_) {
    if (d->chip->attached()) attached.push_back(d.get());
  }
  return attached;
}

}  // namespace ktal::usbemu

namespace {

UsbBus& Bus() { return UsbBus::Get(); }

EmulatedFt232r& ChipOf(libusb_device* dev) { return *dev->owner->chip; }
EmulatedFt232r& ChipOf(libusb_device_handle* h) { return *h->device->chip; }

// One configuration, interface 0 (vendor class), bulk IN 0x81 and OUT 0x02
// of 64 bytes, as the chip reports them. Freed as one block.
struct ConfigBlock {
  libusb_config_descriptor config{};
  libusb_interface interface {};
  libusb_interface_descriptor setting{};
  libusb_endpoint_descriptor endpoints[2]{};
};

libusb_endpoint_descriptor Endpoint(std::uint8_t address) {
  libusb_endpoint_descriptor ep{};
  ep.bLength = LIBUSB_DT_ENDPOINT_SIZE;
  ep.bDescriptorType = LIBUSB_DT_ENDPOINT;
  ep.bEndpointAddress = address;
  ep.bmAttributes = LIBUSB_TRANSFER_TYPE_BULK;
  ep.wMaxPacketSize = 64;
  return ep;
}

}  // namespace

extern "C" {

int libusb_init(libusb_context** ctx) {
  if (Bus().init_fails()) return LIBUSB_ERROR_OTHER;
  if (ctx != nullptr) *ctx = new libusb_context;
  Bus().ContextCreated();
  return 0;
}

void libusb_exit(libusb_context* ctx) {
  delete ctx;
  Bus().ContextExited();
}

ssize_t libusb_get_device_list(libusb_context* /*ctx*/, libusb_device*** list) {
  const auto attached = Bus().Attached();
  auto** devices = new libusb_device*[attached.size() + 1];
  for (std::size_t i = 0; i < attached.size(); ++i) {
    ++attached[i]->refs;
    devices[i] = &attached[i]->handle;
  }
  devices[attached.size()] = nullptr;
  *list = devices;
  return static_cast<ssize_t>(attached.size());
}

void libusb_free_device_list(libusb_device** list, int unref_devices) {
  if (list == nullptr) return;
  if (unref_devices) {
    for (libusb_device** d = list; *d != nullptr; ++d) --(*d)->owner->refs;
  }
  delete[] list;
}

libusb_device* libusb_ref_device(libusb_device* dev) {
  ++dev->owner->refs;
  return dev;
}

void libusb_unref_device(libusb_device* dev) {
  if (dev != nullptr) --dev->owner->refs;
}

int libusb_get_device_descriptor(libusb_device* dev, libusb_device_descriptor* desc) {
  const auto& config = ChipOf(dev).config();
  *desc = {};
  desc->bLength = LIBUSB_DT_DEVICE_SIZE;
  desc->bDescriptorType = LIBUSB_DT_DEVICE;
  desc->bcdUSB = 0x0200;
  desc->bMaxPacketSize0 = 8;
  desc->idVendor = 0x0403;
  desc->idProduct = config.productId;
  desc->bcdDevice = config.bcdDevice;
  desc->iManufacturer = 1;
  desc->iProduct = 2;
  desc->iSerialNumber = config.serial.empty() ? 0 : 3;
  desc->bNumConfigurations = 1;
  return 0;
}

int libusb_get_config_descriptor(libusb_device* /*dev*/, uint8_t config_index,
                                 libusb_config_descriptor** config) {
  if (config_index != 0) return LIBUSB_ERROR_NOT_FOUND;
  auto* block = new ConfigBlock;
  block->endpoints[0] = Endpoint(0x81);
  block->endpoints[1] = Endpoint(0x02);
  block->setting.bLength = LIBUSB_DT_INTERFACE_SIZE;
  block->setting.bDescriptorType = LIBUSB_DT_INTERFACE;
  block->setting.bNumEndpoints = 2;
  block->setting.bInterfaceClass = LIBUSB_CLASS_VENDOR_SPEC;
  block->setting.endpoint = block->endpoints;
  block->interface.altsetting = &block->setting;
  block->interface.num_altsetting = 1;
  block->config.bLength = LIBUSB_DT_CONFIG_SIZE;
  block->config.bDescriptorType = LIBUSB_DT_CONFIG;
  block->config.bNumInterfaces = 1;
  block->config.bConfigurationValue = 1;
  block->config.MaxPower = 45;
  block->config.interface = &block->interface;
  *config = &block->config;
  return 0;
}

void libusb_free_config_descriptor(libusb_config_descriptor* config) {
  // config is the first member of its block.
  delete reinterpret_cast<ConfigBlock*>(config);
}

uint8_t libusb_get_bus_number(libusb_device* dev) { return ChipOf(dev).config().bus; }

uint8_t libusb_get_device_address(libusb_device* dev) { return ChipOf(dev).config().address; }

int libusb_open(libusb_device* dev, libusb_device_handle** dev_handle) {
  EmulatedFt232r& chip = ChipOf(dev);
  if (!chip.attached()) return LIBUSB_ERROR_NO_DEVICE;
  if (chip.open_error() != 0) return chip.open_error();
  auto* h = new libusb_device_handle;
  h->device = dev->owner;
  ++h->device->refs;
  *dev_handle = h;
  Bus().HandleOpened();
  return 0;
}

int libusb_release_interface(libusb_device_handle* h, int interface_number) {
  if (interface_number != 0 || !h->claimed) return LIBUSB_ERROR_NOT_FOUND;
  h->claimed = false;
  EmulatedFt232r& chip = ChipOf(h);
  if (!chip.attached()) return LIBUSB_ERROR_NO_DEVICE;
  chip.OnReleased();
  return 0;
}

void libusb_close(libusb_device_handle* h) {
  if (h == nullptr) return;
  if (h->claimed) libusb_release_interface(h, 0);
  --h->device->refs;
  delete h;
  Bus().HandleClosed();
}

int libusb_get_string_descriptor_ascii(libusb_device_handle* h, uint8_t desc_index,
                                       unsigned char* data, int length) {
  EmulatedFt232r& chip = ChipOf(h);
  if (!chip.attached()) return LIBUSB_ERROR_NO_DEVICE;
  if (desc_index == 0 || length <= 0) return LIBUSB_ERROR_INVALID_PARAM;
  const auto text = chip.StringDescriptor(desc_index);
  if (!text) return LIBUSB_ERROR_PIPE;
  const int n = std::min(static_cast<int>(text->size()), length - 1);
  std::memcpy(data, text->data(), static_cast<std::size_t>(n));
  data[n] = 0;
  return n;
}

int libusb_detach_kernel_driver(libusb_device_handle* h, int interface_number) {
  EmulatedFt232r& chip = ChipOf(h);
  if (!chip.attached()) return LIBUSB_ERROR_NO_DEVICE;
  if (interface_number != 0 || !chip.DetachKernelDriver()) return LIBUSB_ERROR_NOT_FOUND;
  return 0;
}

int libusb_set_auto_detach_kernel_driver(libusb_device_handle* h, int enable) {
  h->autoDetach = enable != 0;
  return 0;
}

int libusb_get_configuration(libusb_device_handle* h, int* config) {
  if (!ChipOf(h).attached()) return LIBUSB_ERROR_NO_DEVICE;
  *config = 1;
  return 0;
}

int libusb_set_configuration(libusb_device_handle* h, int configuration) {
  if (!ChipOf(h).attached()) return LIBUSB_ERROR_NO_DEVICE;
  return configuration == 1 ? 0 : LIBUSB_ERROR_NOT_FOUND;
}

int libusb_claim_interface(libusb_device_handle* h, int interface_number) {
  EmulatedFt232r& chip = ChipOf(h);
  if (!chip.attached()) return LIBUSB_ERROR_NO_DEVICE;
  if (interface_number != 0) return LIBUSB_ERROR_NOT_FOUND;
  if (chip.claim_error() != 0) return chip.claim_error();
  if (h->claimed) return 0;
  // Another handle has it, or ftdi_sio still has it and nobody detaches it.
  if (chip.claimed()) return LIBUSB_ERROR_BUSY;
  if (chip.kernelDriverAttached() && !h->autoDetach) return LIBUSB_ERROR_BUSY;
  chip.OnClaimed(h->autoDetach);
  h->claimed = true;
  return 0;
}

int libusb_control_transfer(libusb_device_handle* h, uint8_t request_type, uint8_t bRequest,
                            uint16_t wValue, uint16_t wIndex, unsigned char* data, uint16_t wLength,
                            unsigned int /*timeout*/) {
  return ChipOf(h).Control(request_type, bRequest, wValue, wIndex, data, wLength);
}

int libusb_bulk_transfer(libusb_device_handle* h, unsigned char endpoint, unsigned char* data,
                         int length, int* actual_length, unsigned int timeout) {
  int moved = 0;
  int rc = LIBUSB_ERROR_NOT_FOUND;
  EmulatedFt232r& chip = ChipOf(h);
  if (!chip.attached()) {
    rc = LIBUSB_ERROR_NO_DEVICE;
  } else if (!h->claimed) {
    // usbfs moves bulk data only on a claimed interface.
    rc = LIBUSB_ERROR_NOT_FOUND;
  } else if (endpoint == 0x81) {
    rc = chip.BulkIn(data, length, &moved, timeout);
  } else if (endpoint == 0x02) {
    rc = chip.BulkOut(data, length, &moved, timeout);
  }
  if (actual_length != nullptr) *actual_length = moved;
  return rc;
}

// libftdi's streaming and queued transfers use these; this program uses
// neither, so they refuse.
libusb_transfer* libusb_alloc_transfer(int /*iso_packets*/) { return nullptr; }
int libusb_submit_transfer(libusb_transfer* /*transfer*/) { return LIBUSB_ERROR_NOT_SUPPORTED; }
int libusb_cancel_transfer(libusb_transfer* /*transfer*/) { return LIBUSB_ERROR_NOT_SUPPORTED; }
void libusb_free_transfer(libusb_transfer* /*transfer*/) {}
int libusb_handle_events_timeout(libusb_context* /*ctx*/, timeval* /*tv*/) {
  return LIBUSB_ERROR_NOT_SUPPORTED;
}
int libusb_handle_events_timeout_completed(libusb_context* /*ctx*/, timeval* /*tv*/,
                                           int* /*completed*/) {
  return LIBUSB_ERROR_NOT_SUPPORTED;
}

}  // extern "C"
