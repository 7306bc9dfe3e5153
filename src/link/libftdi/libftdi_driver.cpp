// SPDX-License-Identifier: GPL-3.0-or-later
// Every libftdi and libusb call of the program is in this file.
#include "link/libftdi/libftdi_driver.h"

#include <ftdi.h>
#include <libusb.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <deque>
#include <iterator>

#include "link/printf.h"

namespace ktal {

namespace {

constexpr int kFtdiVendor = 0x0403;
constexpr int kProductIds[] = {0x6001, 0x6015};

// Device type the vendor driver reports for a chip it does not know.
constexpr std::uint32_t kDeviceTypeUnknown = 3;

// Line status bit of the modem status word: the transmitter is empty.
constexpr unsigned short kTransmitterEmpty = 0x4000;

// The chip's power-on latency timer, until SetLatencyTimer changes it.
constexpr std::uint8_t kDefaultLatencyMs = 16;

// libftdi returns this when its context has no open device.
constexpr int kFtdiNoDevice = -666;

// Bytes per read transfer and per write transfer until SetUSBParameters.
constexpr std::uint32_t kDefaultChunk = 4096;

// Write pieces carry about this much line time, so that the write time-out
// is checked often enough and a libusb time-out never cuts a piece short.
constexpr std::int64_t kWritePieceMicros = 50'000;
constexpr std::uint32_t kMinWritePiece = 64;

// The smallest request a read makes of libftdi: one packet's data.
constexpr std::int64_t kMinReadRequest = 62;

// Empty transfers that take no time at all, in a row, before a read lets
// the clock move on its own.
constexpr int kInstantEmptyLimit = 1000;

// Each purge drains at most this many transfers: a guider that keeps sending
// must not keep the purge going.
constexpr int kPurgeDrainTransfers = 8;

const char* LibusbErrorText(int code) {
  switch (code) {
    case LIBUSB_ERROR_IO:
      return "input/output error";
    case LIBUSB_ERROR_INVALID_PARAM:
      return "invalid parameter";
    case LIBUSB_ERROR_ACCESS:
      return "access denied";
    case LIBUSB_ERROR_NO_DEVICE:
      return "device unplugged";
    case LIBUSB_ERROR_NOT_FOUND:
      return "not found";
    case LIBUSB_ERROR_BUSY:
      return "device busy";
    case LIBUSB_ERROR_TIMEOUT:
      return "USB time-out";
    case LIBUSB_ERROR_OVERFLOW:
      return "overflow";
    case LIBUSB_ERROR_PIPE:
      return "request stalled";
    case LIBUSB_ERROR_INTERRUPTED:
      return "interrupted";
    case LIBUSB_ERROR_NO_MEM:
      return "out of memory";
    case LIBUSB_ERROR_NOT_SUPPORTED:
      return "not supported";
    default:
      return "USB error";
  }
}

// "0403:6001 (bus 1, device 5)" for the texts a user reads.
std::string Where(libusb_device* dev, std::uint32_t id) {
  return Printf("%04x:%04x (bus %u, device %u)", static_cast<unsigned>(id >> 16),
                static_cast<unsigned>(id & 0xFFFF), libusb_get_bus_number(dev),
                libusb_get_device_address(dev));
}

std::string PermissionText(const std::string& where) {
  return "no permission to open the USB device " + where + "; " + kUdevRuleHint;
}

template <std::size_t N>
void CopyText(char (&field)[N], const char* text) {
  std::snprintf(field, N, "%s", text);
}

struct DeviceListFree {
  void operator()(ftdi_device_list* list) const { ftdi_list_free2(list); }
};

}  // namespace

void LibftdiDriver::ContextDeleter::operator()(ftdi_context* ctx) const { ftdi_free(ctx); }

LibftdiDriver::ListedDevice::ListedDevice(libusb_device* dev, const FtDeviceListInfoNode& n)
    : device(libusb_ref_device(dev)), node(n) {}

LibftdiDriver::ListedDevice::~ListedDevice() { libusb_unref_device(device); }

struct LibftdiDriver::OpenDevice {
  ContextPtr ctx;
  FtDeviceListInfoNode node;
  std::uint32_t readTimeoutMs = 1000;
  std::uint32_t writeTimeoutMs = 1000;
  std::uint32_t baud = 9600;  // what libftdi's open sets
  // Line time of one character in tenths of a bit: start, data, parity, stop.
  std::uint32_t frameTenthBits = 100;
  std::uint8_t latencyMs = kDefaultLatencyMs;
  std::uint32_t writeChunk = kDefaultChunk;
  // Bytes read from the chip that no Read has taken yet.
  std::deque<std::uint8_t> queue;
  // When the chip will have put the last written byte on the line.
  std::int64_t lineBusyUntil = 0;

  std::int64_t ByteMicros() const {
    return (static_cast<std::int64_t>(frameTenthBits) * 100'000 + baud - 1) / baud;
  }
};

LibftdiDriver::LibftdiDriver(Clock& clock) : clock_(clock) {}

// Open devices go first (their handles), then the listed devices (their
// references), then the context that owns them.
LibftdiDriver::~LibftdiDriver() {
  open_.clear();
  list_.clear();
  listContext_.reset();
}

LibftdiDriver::OpenDevice* LibftdiDriver::Find(FtHandle handle) {
  for (auto& d : open_) {
    if (d.get() == handle) return d.get();
  }
  return nullptr;
}

FtStatus LibftdiDriver::Fail(FtStatus status, std::string detail) {
  detail_ = std::move(detail);
  return status;
}

FtStatus LibftdiDriver::Ok() {
  detail_.clear();
  return FT_OK;
}

// ---------------------------------------------------------------------------
// Enumeration

bool LibftdiDriver::Enumerate() {
  list_.clear();
  detail_.clear();
  if (!listContext_) listContext_.reset(ftdi_new());
  if (!listContext_) {
    detail_ = "USB could not be started (libusb_init failed)";
    return false;
  }
  ftdi_context* ctx = listContext_.get();
  for (int product : kProductIds) {
    ftdi_device_list* raw = nullptr;
    int found = ftdi_usb_find_all(ctx, &raw, kFtdiVendor, product);
    std::unique_ptr<ftdi_device_list, DeviceListFree> devices(raw);
    if (found < 0) {
      detail_ = Printf("listing the USB devices failed: %s", ftdi_get_error_string(ctx));
      continue;
    }
    for (ftdi_device_list* entry = devices.get(); entry != nullptr; entry = entry->next) {
      libusb_device* dev = entry->dev;
      FtDeviceListInfoNode node;
      node.ID = static_cast<std::uint32_t>(kFtdiVendor) << 16 | static_cast<std::uint32_t>(product);
      node.LocId = static_cast<std::uint32_t>(libusb_get_bus_number(dev)) << 8 |
                   libusb_get_device_address(dev);
      libusb_device_descriptor desc{};
      node.Type = kDeviceTypeUnknown;
      if (libusb_get_device_descriptor(dev, &desc) == 0) {
        if (desc.bcdDevice == 0x0600) node.Type = FT_DEVICE_232R;
        if (desc.bcdDevice == 0x1000) node.Type = FT_DEVICE_X_SERIES;
      }
      // ftdi_usb_get_strings would close a handle this context had open;
      // the 2 variant opens and closes the device itself. It reads the
      // description before the serial number, so -9 means the chip has no
      // serial number string but the description is there.
      char description[sizeof node.Description] = {};
      char serial[sizeof node.SerialNumber] = {};
      int rc = ftdi_usb_get_strings2(ctx, dev, nullptr, 0, description, sizeof description, serial,
                                     sizeof serial);
      if (rc == 0 || rc == -9) {
        CopyText(node.Description, description);
        CopyText(node.SerialNumber, rc == 0 ? serial : "");
      } else {
        // The node stays without texts, so no kind but "any" accepts it;
        // the detail tells the user why.
        detail_ = DiagnoseUnreadable(dev, node, rc);
      }
      list_.push_back(std::make_unique<ListedDevice>(dev, node));
    }
  }
  return true;
}

FtStatus LibftdiDriver::CreateDeviceInfoList(std::uint32_t* count) {
  if (count == nullptr) return Fail(FT_INVALID_PARAMETER, "no count given");
  // Without USB there is nothing to find; that is not a driver failure.
  Enumerate();
  *count = static_cast<std::uint32_t>(list_.size());
  return FT_OK;
}

// Keeps the detail of the enumeration: it explains why a chip has no texts.
FtStatus LibftdiDriver::GetDeviceInfoList(FtDeviceListInfoNode* list, std::uint32_t* count) {
  if (list == nullptr || count == nullptr) return Fail(FT_INVALID_PARAMETER, "no list given");
  std::uint32_t n = std::min<std::uint32_t>(*count, static_cast<std::uint32_t>(list_.size()));
  for (std::uint32_t i = 0; i < n; ++i) {
    list[i] = list_[i]->node;
    for (auto& d : open_) {
      if (d->node.LocId == list[i].LocId && d->node.ID == list[i].ID) {
        list[i].Flags |= FT_FLAGS_OPENED;
        list[i].ftHandle = d.get();
      }
    }
  }
  *count = n;
  return FT_OK;
}

// Only opens the device to look: a chip that is not the guider may be in use
// as a serial port, and claiming it would take it from its kernel driver.
std::string LibftdiDriver::DiagnoseUnreadable(libusb_device* dev, const FtDeviceListInfoNode& node,
                                              int ftdiCode) {
  const std::string where = Where(dev, node.ID);
  libusb_device_handle* probe = nullptr;
  int rc = libusb_open(dev, &probe);
  if (rc == LIBUSB_ERROR_ACCESS) return PermissionText(where);
  if (rc == LIBUSB_ERROR_NO_DEVICE) return "the USB device " + where + " was unplugged";
  if (rc < 0) return "the USB device " + where + " cannot be opened: " + LibusbErrorText(rc);
  libusb_close(probe);
  return Printf("the USB device %s did not give its description (libftdi code %d)", where.c_str(),
                ftdiCode);
}

std::string LibftdiDriver::DiagnoseOpenFailure(libusb_device* dev, const FtDeviceListInfoNode& node,
                                               int ftdiCode) {
  const std::string where = Where(dev, node.ID);
  // ftdi_usb_open_dev's own verdict when the kernel refused to let go of
  // the device.
  if (ftdiCode == -8) return PermissionText(where);

  // libftdi keeps libusb's code to itself; asking again tells which it was.
  libusb_device_handle* probe = nullptr;
  int rc = libusb_open(dev, &probe);
  if (rc == LIBUSB_ERROR_ACCESS) return PermissionText(where);
  if (rc == LIBUSB_ERROR_NO_DEVICE) return "the USB device " + where + " was unplugged";
  if (rc < 0) return "the USB device " + where + " cannot be opened: " + LibusbErrorText(rc);

  libusb_set_auto_detach_kernel_driver(probe, 1);
  rc = libusb_claim_interface(probe, 0);
  std::string text;
  if (rc == LIBUSB_ERROR_ACCESS) {
    text = PermissionText(where);
  } else if (rc == LIBUSB_ERROR_BUSY) {
    text = "the USB device " + where + " is in use by another program; close it and try again";
  } else if (rc == LIBUSB_ERROR_NO_DEVICE) {
    text = "the USB device " + where + " was unplugged";
  } else if (rc < 0) {
    text = "the USB device " + where + " cannot be claimed: " + LibusbErrorText(rc);
  } else {
    libusb_release_interface(probe, 0);
    text = Printf("the USB device %s failed to start (libftdi code %d)", where.c_str(), ftdiCode);
  }
  libusb_close(probe);
  return text;
}

// ---------------------------------------------------------------------------
// Open and close

FtStatus LibftdiDriver::Open(int index, FtHandle* handle) {
  if (handle == nullptr) return Fail(FT_INVALID_PARAMETER, "no handle given");
  *handle = nullptr;
  if (index < 0 || static_cast<std::size_t>(index) >= list_.size()) {
    return Fail(FT_DEVICE_NOT_FOUND, Printf("no USB device with index %d", index));
  }
  const ListedDevice& listed = *list_[static_cast<std::size_t>(index)];

  // A context of its own for every open: nothing libftdi remembers (the bit
  // mode flag, buffered bytes) can leak from one session into the next.
  ContextPtr ctx(ftdi_new());
  if (!ctx) return Fail(FT_DEVICE_NOT_OPENED, "USB could not be started (libusb_init failed)");
  // ftdi_sio comes back on close, and with it /dev/ttyUSBn.
  ctx->module_detach_mode = AUTO_DETACH_REATACH_SIO_MODULE;
  int rc = ftdi_usb_open_dev(ctx.get(), listed.device);
  if (rc < 0) {
    return Fail(FT_DEVICE_NOT_OPENED, DiagnoseOpenFailure(listed.device, listed.node, rc));
  }

  auto d = std::make_unique<OpenDevice>();
  d->ctx = std::move(ctx);
  d->node = listed.node;
  unsigned char latency = 0;
  if (ftdi_get_latency_timer(d->ctx.get(), &latency) == 0 && latency > 0) d->latencyMs = latency;
  d->lineBusyUntil = clock_.NowMicros();
  ApplyUsbTimeouts(*d);
  *handle = d.get();
  open_.push_back(std::move(d));
  return Ok();
}

// An unplugged chip cannot release its interface; the handle is given up
// all the same, since a handle that can never close would block every later
// Open.
FtStatus LibftdiDriver::Close(FtHandle handle) {
  auto it = std::find_if(open_.begin(), open_.end(),
                         [handle](const auto& d) { return d.get() == handle; });
  if (it == open_.end()) return Fail(FT_INVALID_HANDLE, "the handle is not open");
  int rc = ftdi_usb_close((*it)->ctx.get());
  open_.erase(it);
  if (rc < 0) {
    detail_ = "the USB device went away before it was closed";
    return FT_OK;
  }
  return Ok();
}

// ---------------------------------------------------------------------------
// Line settings

void LibftdiDriver::ApplyUsbTimeouts(OpenDevice& d) {
  // A read transfer ends after one latency period at the latest; its libusb
  // time-out only catches a chip that stopped answering.
  d.ctx->usb_read_timeout = 1000 + 4 * static_cast<int>(d.latencyMs);
  // Writes go in pieces of about kWritePieceMicros of line time; control
  // requests share this time-out.
  std::int64_t pieceMicros = static_cast<std::int64_t>(kMinWritePiece) * d.ByteMicros();
  pieceMicros = std::max(pieceMicros, kWritePieceMicros);
  d.ctx->usb_write_timeout = 1000 + static_cast<int>(2 * pieceMicros / 1000);
}

FtStatus LibftdiDriver::SetDataCharacteristics(FtHandle handle, std::uint8_t wordLength,
                                               std::uint8_t stopBits, std::uint8_t parity) {
  OpenDevice* d = Find(handle);
  if (d == nullptr) return Fail(FT_INVALID_HANDLE, "the handle is not open");
  if ((wordLength != 7 && wordLength != 8) || (stopBits != 0 && stopBits != 2) || parity > 4) {
    return Fail(FT_INVALID_PARAMETER, "unsupported data characteristics");
  }
  int rc = ftdi_set_line_property(d->ctx.get(), static_cast<ftdi_bits_type>(wordLength),
                                  stopBits == 0 ? STOP_BIT_1 : STOP_BIT_2,
                                  static_cast<ftdi_parity_type>(parity));
  if (rc < 0) return Fail(FT_IO_ERROR, ftdi_get_error_string(d->ctx.get()));
  d->frameTenthBits = 10u * (1u + wordLength + (parity != 0 ? 1u : 0u) + (stopBits == 0 ? 1u : 2u));
  ApplyUsbTimeouts(*d);
  return Ok();
}

FtStatus LibftdiDriver::SetBaudRate(FtHandle handle, std::uint32_t baudRate) {
  OpenDevice* d = Find(handle);
  if (d == nullptr) return Fail(FT_INVALID_HANDLE, "the handle is not open");
  if (baudRate == 0 || baudRate > 3'000'000)
    return Fail(FT_INVALID_BAUD_RATE, "baud rate out of range");
  int rc = ftdi_set_baudrate(d->ctx.get(), static_cast<int>(baudRate));
  if (rc == -1) return Fail(FT_INVALID_BAUD_RATE, ftdi_get_error_string(d->ctx.get()));
  if (rc < 0) return Fail(FT_IO_ERROR, ftdi_get_error_string(d->ctx.get()));
  d->baud = baudRate;
  ApplyUsbTimeouts(*d);
  return Ok();
}

// A time-out of 0 returns what is there at once: nothing in this program
// waits without limit.
FtStatus LibftdiDriver::SetTimeouts(FtHandle handle, std::uint32_t readTimeout,
                                    std::uint32_t writeTimeout) {
  OpenDevice* d = Find(handle);
  if (d == nullptr) return Fail(FT_INVALID_HANDLE, "the handle is not open");
  d->readTimeoutMs = readTimeout;
  d->writeTimeoutMs = writeTimeout;
  return Ok();
}

FtStatus LibftdiDriver::SetLatencyTimer(FtHandle handle, std::uint8_t milliseconds) {
  OpenDevice* d = Find(handle);
  if (d == nullptr) return Fail(FT_INVALID_HANDLE, "the handle is not open");
  int rc = ftdi_set_latency_timer(d->ctx.get(), milliseconds);
  if (rc == -1) return Fail(FT_INVALID_PARAMETER, ftdi_get_error_string(d->ctx.get()));
  if (rc < 0) return Fail(FT_IO_ERROR, ftdi_get_error_string(d->ctx.get()));
  d->latencyMs = milliseconds;
  ApplyUsbTimeouts(*d);
  return Ok();
}

FtStatus LibftdiDriver::SetUSBParameters(FtHandle handle, std::uint32_t inTransferSize,
                                         std::uint32_t outTransferSize) {
  OpenDevice* d = Find(handle);
  if (d == nullptr) return Fail(FT_INVALID_HANDLE, "the handle is not open");
  if (inTransferSize < 64 || inTransferSize > 65536 || inTransferSize % 64 != 0) {
    return Fail(FT_INVALID_PARAMETER, "the transfer size must be a multiple of 64 up to 65536");
  }
  // Changing the chunk size throws away what libftdi has buffered.
  RescueBufferedBytes(*d);
  if (ftdi_read_data_set_chunksize(d->ctx.get(), inTransferSize) < 0) {
    return Fail(FT_INSUFFICIENT_RESOURCES, ftdi_get_error_string(d->ctx.get()));
  }
  if (outTransferSize != 0) {
    ftdi_write_data_set_chunksize(d->ctx.get(), outTransferSize);
    d->writeChunk = outTransferSize;
  }
  return Ok();
}

FtStatus LibftdiDriver::GetDeviceInfo(FtHandle handle, std::uint32_t* type, std::uint32_t* id,
                                      char* serialNumber, char* description) {
  OpenDevice* d = Find(handle);
  if (d == nullptr) return Fail(FT_INVALID_HANDLE, "the handle is not open");
  if (type != nullptr) *type = d->node.Type;
  if (id != nullptr) *id = d->node.ID;
  if (serialNumber != nullptr) {
    std::snprintf(serialNumber, sizeof d->node.SerialNumber, "%s", d->node.SerialNumber);
  }
  if (description != nullptr) {
    std::snprintf(description, sizeof d->node.Description, "%s", d->node.Description);
  }
  return Ok();
}

// ---------------------------------------------------------------------------
// Data

void LibftdiDriver::RescueBufferedBytes(OpenDevice& d) {
  const unsigned buffered = d.ctx->readbuffer_remaining;
  if (buffered == 0) return;
  std::vector<unsigned char> bytes(buffered);
  // A request no larger than the buffered amount is served from the buffer
  // without a USB transfer.
  int got = ftdi_read_data(d.ctx.get(), bytes.data(), static_cast<int>(buffered));
  if (got > 0) d.queue.insert(d.queue.end(), bytes.begin(), bytes.begin() + got);
}

int LibftdiDriver::PollIntoQueue(OpenDevice& d) {
  if (d.queue.size() >= kReceiveQueueLimit) return 0;
  unsigned chunk = kDefaultChunk;
  ftdi_read_data_get_chunksize(d.ctx.get(), &chunk);
  // At most what one transfer carries (62 of each 64 bytes), so that a
  // stream in full flow costs one transfer and not two.
  const std::size_t oneTransfer = chunk / 64 * 62;
  std::size_t room = std::min(kReceiveQueueLimit - d.queue.size(), oneTransfer);
  std::vector<unsigned char> bytes(room);
  int got = ftdi_read_data(d.ctx.get(), bytes.data(), static_cast<int>(room));
  if (got > 0) d.queue.insert(d.queue.end(), bytes.begin(), bytes.begin() + got);
  return got;
}

bool LibftdiDriver::StillAttached(OpenDevice& d) {
  unsigned short status = 0;
  return ftdi_poll_modem_status(d.ctx.get(), &status) == 0;
}

FtStatus LibftdiDriver::Read(FtHandle handle, void* buffer, std::uint32_t count,
                             std::uint32_t* read) {
  OpenDevice* d = Find(handle);
  if (d == nullptr) return Fail(FT_INVALID_HANDLE, "the handle is not open");
  if (read == nullptr || (buffer == nullptr && count > 0)) {
    return Fail(FT_INVALID_PARAMETER, "no buffer given");
  }
  auto* out = static_cast<unsigned char*>(buffer);
  const std::int64_t deadline = clock_.NowMicros() + std::int64_t{d->readTimeoutMs} * 1000;

  std::uint32_t got = static_cast<std::uint32_t>(std::min<std::size_t>(count, d->queue.size()));
  std::copy_n(d->queue.begin(), got, out);
  d->queue.erase(d->queue.begin(), d->queue.begin() + got);

  int instantEmpty = 0;
  while (got < count) {
    const std::int64_t before = clock_.NowMicros();
    // libftdi keeps reading while data keep coming; asking for no more than
    // the line can bring before the deadline ends a long stream on time.
    // What a transfer brings beyond that stays in libftdi's buffer.
    const std::int64_t reachable = std::max<std::int64_t>(deadline - before, 0) / d->ByteMicros();
    const std::uint32_t ask = static_cast<std::uint32_t>(
        std::min<std::int64_t>(count - got, std::max<std::int64_t>(reachable, kMinReadRequest)));
    // Returns after one latency period at the latest, with what arrived.
    int rc = ftdi_read_data(d->ctx.get(), out + got, static_cast<int>(ask));
    if (rc < 0) {
      *read = got;
      if (rc == LIBUSB_ERROR_TIMEOUT) {
        return Fail(FT_IO_ERROR,
                    Printf("the chip sent no USB packet for %d ms", d->ctx->usb_read_timeout));
      }
      if (rc == kFtdiNoDevice) return Fail(FT_INVALID_HANDLE, "the device is not open");
      return Fail(FT_IO_ERROR, Printf("USB read failed: %s", LibusbErrorText(rc)));
    }
    got += static_cast<std::uint32_t>(rc);
    const std::int64_t now = clock_.NowMicros();
    if (got >= count || now >= deadline) break;
    // A read can wait out a whole time-out here, one latency period at a
    // time; a window on this thread handles its events meanwhile.
    clock_.Idle();
    // The first poll after a quiet spell comes back at once (the chip's
    // latency timer ran out long ago); the next waits one latency period.
    // A chip that keeps answering at once with nothing must not make this
    // spin until the deadline, which might never come on a virtual clock.
    instantEmpty = (rc == 0 && now == before) ? instantEmpty + 1 : 0;
    if (instantEmpty >= kInstantEmptyLimit) {
      clock_.SleepMs(1);
      instantEmpty = 0;
    }
  }
  *read = got;
  return Ok();
}

FtStatus LibftdiDriver::Write(FtHandle handle, const void* buffer, std::uint32_t count,
                              std::uint32_t* written) {
  OpenDevice* d = Find(handle);
  if (d == nullptr) return Fail(FT_INVALID_HANDLE, "the handle is not open");
  if (written == nullptr || (buffer == nullptr && count > 0)) {
    return Fail(FT_INVALID_PARAMETER, "no buffer given");
  }
  const auto* in = static_cast<const unsigned char*>(buffer);
  const std::int64_t byteMicros = d->ByteMicros();
  const std::int64_t deadline = clock_.NowMicros() + std::int64_t{d->writeTimeoutMs} * 1000;
  // libftdi reports a write cut short by a libusb time-out as a failure
  // without the count; pieces of a few ten milliseconds of line time each
  // finish long before theirs, and the write time-out is checked in between.
  std::uint32_t piece = static_cast<std::uint32_t>(kWritePieceMicros / byteMicros);
  piece = std::clamp(piece, kMinWritePiece, std::max(d->writeChunk, kMinWritePiece));

  std::uint32_t sent = 0;
  while (sent < count) {
    const std::uint32_t n = std::min(piece, count - sent);
    const std::int64_t start = clock_.NowMicros();
    int rc = ftdi_write_data(d->ctx.get(), in + sent, static_cast<int>(n));
    if (rc < 0) {
      *written = sent;
      if (rc == kFtdiNoDevice) return Fail(FT_INVALID_HANDLE, "the device is not open");
      if (!StillAttached(*d)) return Fail(FT_IO_ERROR, "the USB device was unplugged");
      // The chip took nothing for a whole USB time-out: a write time-out.
      detail_ = "the chip stopped taking data";
      return FT_OK;
    }
    sent += static_cast<std::uint32_t>(rc);
    d->lineBusyUntil = std::max(d->lineBusyUntil, start) + rc * byteMicros;
    if (clock_.NowMicros() >= deadline) break;
    clock_.Idle();
  }
  *written = sent;
  return Ok();
}

FtStatus LibftdiDriver::GetQueueStatus(FtHandle handle, std::uint32_t* rxBytes) {
  OpenDevice* d = Find(handle);
  if (d == nullptr) return Fail(FT_INVALID_HANDLE, "the handle is not open");
  if (rxBytes == nullptr) return Fail(FT_INVALID_PARAMETER, "no count given");
  int rc = PollIntoQueue(*d);
  if (rc < 0) {
    *rxBytes = 0;
    return Fail(FT_IO_ERROR, Printf("USB read failed: %s", LibusbErrorText(rc)));
  }
  *rxBytes = static_cast<std::uint32_t>(d->queue.size() + d->ctx->readbuffer_remaining);
  return Ok();
}

// The receive count is what is already queued (no USB read: callers want
// the transmit count); the transmit count is estimated from the line time of
// what was written, and is 0 once the chip says its transmitter is empty.
FtStatus LibftdiDriver::GetStatus(FtHandle handle, std::uint32_t* rxBytes, std::uint32_t* txBytes,
                                  std::uint32_t* eventStatus) {
  OpenDevice* d = Find(handle);
  if (d == nullptr) return Fail(FT_INVALID_HANDLE, "the handle is not open");
  unsigned short modem = 0;
  if (ftdi_poll_modem_status(d->ctx.get(), &modem) < 0) {
    return Fail(FT_IO_ERROR, ftdi_get_error_string(d->ctx.get()));
  }
  const std::int64_t now = clock_.NowMicros();
  std::uint32_t pending = 0;
  if (modem & kTransmitterEmpty) {
    d->lineBusyUntil = std::min(d->lineBusyUntil, now);
  } else {
    const std::int64_t left = std::max<std::int64_t>(d->lineBusyUntil - now, 0);
    pending = static_cast<std::uint32_t>(std::max<std::int64_t>(1, left / d->ByteMicros()));
  }
  if (rxBytes != nullptr) {
    *rxBytes = static_cast<std::uint32_t>(d->queue.size() + d->ctx->readbuffer_remaining);
  }
  if (txBytes != nullptr) *txBytes = pending;
  if (eventStatus != nullptr) *eventStatus = 0;
  return Ok();
}

FtStatus LibftdiDriver::Purge(FtHandle handle, std::uint32_t mask) {
  OpenDevice* d = Find(handle);
  if (d == nullptr) return Fail(FT_INVALID_HANDLE, "the handle is not open");
  if (mask & FT_PURGE_RX) {
    if (ftdi_tciflush(d->ctx.get()) < 0) {
      return Fail(FT_IO_ERROR, ftdi_get_error_string(d->ctx.get()));
    }
    d->queue.clear();
    // The chip's purge does not catch bytes already on their way to the
    // host; read until a transfer comes back empty.
    unsigned char scrap[4096];
    for (int i = 0; i < kPurgeDrainTransfers; ++i) {
      int rc = ftdi_read_data(d->ctx.get(), scrap, sizeof scrap);
      if (rc < 0) return Fail(FT_IO_ERROR, Printf("USB read failed: %s", LibusbErrorText(rc)));
      if (rc == 0) break;
    }
  }
  if (mask & FT_PURGE_TX) {
    if (ftdi_tcoflush(d->ctx.get()) < 0) {
      return Fail(FT_IO_ERROR, ftdi_get_error_string(d->ctx.get()));
    }
    d->lineBusyUntil = clock_.NowMicros();
  }
  return Ok();
}

// ---------------------------------------------------------------------------
// CBUS lines and reset

FtStatus LibftdiDriver::SetBitMode(FtHandle handle, std::uint8_t mask, std::uint8_t mode) {
  OpenDevice* d = Find(handle);
  if (d == nullptr) return Fail(FT_INVALID_HANDLE, "the handle is not open");
  if (ftdi_set_bitmode(d->ctx.get(), mask, mode) < 0) {
    return Fail(FT_IO_ERROR, ftdi_get_error_string(d->ctx.get()));
  }
  // libftdi marks every mode but reset as bit-bang and then multiplies each
  // later baud rate by 4. The CBUS lines do not use the baud clock, so the
  // serial line must keep its true rate: 250000 would become 1 Mbaud.
  if (mode == BITMODE_CBUS) d->ctx->bitbang_enabled = 0;
  return Ok();
}

FtStatus LibftdiDriver::GetBitMode(FtHandle handle, std::uint8_t* mode) {
  OpenDevice* d = Find(handle);
  if (d == nullptr) return Fail(FT_INVALID_HANDLE, "the handle is not open");
  if (mode == nullptr) return Fail(FT_INVALID_PARAMETER, "no result given");
  unsigned char pins = 0;
  if (ftdi_read_pins(d->ctx.get(), &pins) < 0) {
    return Fail(FT_IO_ERROR, ftdi_get_error_string(d->ctx.get()));
  }
  *mode = pins;
  return Ok();
}

// An SIO reset of the chip (not a USB bus reset): it empties the chip's
// buffers, and libftdi drops its own; the bytes queued here go too.
FtStatus LibftdiDriver::ResetDevice(FtHandle handle) {
  OpenDevice* d = Find(handle);
  if (d == nullptr) return Fail(FT_INVALID_HANDLE, "the handle is not open");
  if (ftdi_usb_reset(d->ctx.get()) < 0) {
    return Fail(FT_IO_ERROR, ftdi_get_error_string(d->ctx.get()));
  }
  d->queue.clear();
  d->lineBusyUntil = clock_.NowMicros();
  return Ok();
}

}  // namespace ktal
