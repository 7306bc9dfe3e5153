// SPDX-License-Identifier: GPL-3.0-or-later
// The FtdiDriver for real FT232R chips, over libftdi 1.5 and libusb-1.0.
//
// What the vendor driver does in its own threads this backend does inside
// the calls, on the caller's thread:
// - Read blocks until the count arrived or the read time-out ran out, then
//   succeeds with what it has. Each libusb transfer ends after one latency
//   period at most (the chip sends a packet, status-only when idle), and the
//   libusb time-out is kept far above that, because a libusb time-out drops
//   the bytes of its transfer.
// - The receive-queue count (GetQueueStatus) makes one USB read into this
//   driver's own queue and reports its size; later reads drain that queue
//   first. The call therefore takes up to one latency period.
// - Write sends in pieces sized to the line speed, so that the write time-out
//   is honoured with the count written so far instead of libftdi's all or
//   nothing.
// - GetStatus' transmit count is estimated from the bytes the chip still has
//   to put on the line, and is 0 once the chip reports its transmitter empty.
//
// Every deadline uses the Clock given at construction. Every libftdi and
// libusb call of the program is in libftdi_driver.cpp, so that a test can
// link that file against an emulated libusb.
//
// When something fails in a way the status code cannot explain (no
// permission on the USB device node, the device unplugged), LastErrorDetail()
// says so in words a user can act on.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "link/clock.h"
#include "link/ftdi_driver.h"

struct ftdi_context;
struct libusb_device;

namespace ktal {

// Where a user reads how to install the rule that gives access to the chip.
inline constexpr char kUdevRuleHint[] =
    "install packaging/udev/60-ktal-guider.rules as described in packaging/udev/README.md, "
    "then unplug and re-plug the guider";

class LibftdiDriver final : public FtdiDriver {
 public:
  explicit LibftdiDriver(Clock& clock);
  ~LibftdiDriver() override;
  LibftdiDriver(const LibftdiDriver&) = delete;
  LibftdiDriver& operator=(const LibftdiDriver&) = delete;

  FtStatus CreateDeviceInfoList(std::uint32_t* count) override;
  FtStatus GetDeviceInfoList(FtDeviceListInfoNode* list, std::uint32_t* count) override;
  FtStatus Open(int index, FtHandle* handle) override;
  FtStatus Close(FtHandle handle) override;
  FtStatus SetDataCharacteristics(FtHandle handle, std::uint8_t wordLength, std::uint8_t stopBits,
                                  std::uint8_t parity) override;
  FtStatus SetBaudRate(FtHandle handle, std::uint32_t baudRate) override;
  FtStatus SetTimeouts(FtHandle handle, std::uint32_t readTimeout,
                       std::uint32_t writeTimeout) override;
  FtStatus SetLatencyTimer(FtHandle handle, std::uint8_t milliseconds) override;
  FtStatus SetUSBParameters(FtHandle handle, std::uint32_t inTransferSize,
                            std::uint32_t outTransferSize) override;
  FtStatus GetDeviceInfo(FtHandle handle, std::uint32_t* type, std::uint32_t* id,
                         char* serialNumber, char* description) override;
  FtStatus Purge(FtHandle handle, std::uint32_t mask) override;
  FtStatus Write(FtHandle handle, const void* buffer, std::uint32_t count,
                 std::uint32_t* written) override;
  FtStatus Read(FtHandle handle, void* buffer, std::uint32_t count, std::uint32_t* read) override;
  FtStatus GetQueueStatus(FtHandle handle, std::uint32_t* rxBytes) override;
  FtStatus GetStatus(FtHandle handle, std::uint32_t* rxBytes, std::uint32_t* txBytes,
                     std::uint32_t* eventStatus) override;
  FtStatus SetBitMode(FtHandle handle, std::uint8_t mask, std::uint8_t mode) override;
  FtStatus GetBitMode(FtHandle handle, std::uint8_t* mode) override;
  FtStatus ResetDevice(FtHandle handle) override;

  // Why the most recent failing call failed, beyond its status code; also set
  // when enumeration found a chip it could not read (no permission). Empty
  // after a call that went well, except enumeration, which keeps it while an
  // unreadable chip is attached.
  const std::string& LastErrorDetail() const { return detail_; }
  std::string FailureDetail() const override { return detail_; }

  // The most the receive queue holds; bytes beyond it stay in the chip.
  static constexpr std::size_t kReceiveQueueLimit = 65536;

 private:
  struct ContextDeleter {
    void operator()(ftdi_context* ctx) const;
  };
  using ContextPtr = std::unique_ptr<ftdi_context, ContextDeleter>;

  // One attached chip as the last enumeration saw it; holds a libusb
  // reference on the device, so that Open by index finds the same one.
  struct ListedDevice {
    ListedDevice(libusb_device* dev, const FtDeviceListInfoNode& node);
    ~ListedDevice();
    ListedDevice(const ListedDevice&) = delete;
    ListedDevice& operator=(const ListedDevice&) = delete;
    libusb_device* device;
    FtDeviceListInfoNode node;
  };

  struct OpenDevice;

  OpenDevice* Find(FtHandle handle);
  FtStatus Fail(FtStatus status, std::string detail);
  FtStatus Ok();
  // Refills list_ from the bus; false when libusb could not start.
  bool Enumerate();
  // Explain for detail_ why the texts of `dev` could not be read, and why
  // ftdi_usb_open_dev failed (permission, busy, gone); ftdiCode is what
  // libftdi returned.
  std::string DiagnoseUnreadable(libusb_device* dev, const FtDeviceListInfoNode& node,
                                 int ftdiCode);
  std::string DiagnoseOpenFailure(libusb_device* dev, const FtDeviceListInfoNode& node,
                                  int ftdiCode);
  // Moves bytes libftdi holds in its own buffer into the receive queue, so
  // that calls which invalidate that buffer lose nothing.
  void RescueBufferedBytes(OpenDevice& d);
  // One USB read appended to the receive queue. Negative: libusb error.
  int PollIntoQueue(OpenDevice& d);
  // After a failed transfer: is the chip still there?
  bool StillAttached(OpenDevice& d);
  void ApplyUsbTimeouts(OpenDevice& d);

  Clock& clock_;
  ContextPtr listContext_;
  std::vector<std::unique_ptr<ListedDevice>> list_;
  std::vector<std::unique_ptr<OpenDevice>> open_;
  std::string detail_;
};

}  // namespace ktal
