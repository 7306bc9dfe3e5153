// SPDX-License-Identifier: GPL-3.0-or-later
// The seam between the link object and a USB-serial driver.
//
// The calls mirror the vendor driver's C interface one for one, with the same
// status codes, so that CFtdiDevice reads exactly like code written against
// that driver. Two implementations exist: the libftdi backend (real chips)
// and the simulated guider (src/sim).
#pragma once

#include <cstdint>
#include <string>

namespace ktal {

using FtStatus = std::uint32_t;
using FtHandle = void*;

// Status codes as the vendor driver numbers them.
enum : FtStatus {
  FT_OK = 0,
  FT_INVALID_HANDLE = 1,
  FT_DEVICE_NOT_FOUND = 2,
  FT_DEVICE_NOT_OPENED = 3,
  FT_IO_ERROR = 4,
  FT_INSUFFICIENT_RESOURCES = 5,
  FT_INVALID_PARAMETER = 6,
  FT_INVALID_BAUD_RATE = 7,
  FT_DEVICE_NOT_OPENED_FOR_ERASE = 8,
  FT_DEVICE_NOT_OPENED_FOR_WRITE = 9,
  FT_FAILED_TO_WRITE_DEVICE = 10,
  FT_EEPROM_READ_FAILED = 11,
  FT_EEPROM_WRITE_FAILED = 12,
  FT_EEPROM_ERASE_FAILED = 13,
  FT_EEPROM_NOT_PRESENT = 14,
  FT_EEPROM_NOT_PROGRAMMED = 15,
  FT_INVALID_ARGS = 16,
  FT_NOT_SUPPORTED = 17,
  FT_OTHER_ERROR = 18,
  FT_DEVICE_LIST_NOT_READY = 19,
};

// Purge masks.
constexpr std::uint32_t FT_PURGE_RX = 1;
constexpr std::uint32_t FT_PURGE_TX = 2;

// Data characteristics.
constexpr std::uint8_t FT_BITS_8 = 8;
constexpr std::uint8_t FT_STOP_BITS_1 = 0;
constexpr std::uint8_t FT_PARITY_NONE = 0;

// Bit modes.
constexpr std::uint8_t FT_BITMODE_RESET = 0x00;
constexpr std::uint8_t FT_BITMODE_CBUS_BITBANG = 0x20;

// Device types reported in the info list.
constexpr std::uint32_t FT_DEVICE_232R = 5;
constexpr std::uint32_t FT_DEVICE_X_SERIES = 9;

// Flag bit of an info node whose device is open in another process.
constexpr std::uint32_t FT_FLAGS_OPENED = 1;

// One node of the device-information list. The string fields are
// NUL-terminated and sized as the vendor driver publishes them.
struct FtDeviceListInfoNode {
  std::uint32_t Flags = 0;
  std::uint32_t Type = 0;
  std::uint32_t ID = 0;  // vendor ID << 16 | product ID
  std::uint32_t LocId = 0;
  char SerialNumber[16] = {};
  char Description[64] = {};
  FtHandle ftHandle = nullptr;
};

class FtdiDriver {
 public:
  virtual ~FtdiDriver() = default;

  // Enumeration: the count of attached devices, then their info nodes.
  // *count on entry to GetDeviceInfoList is the capacity of `list`.
  virtual FtStatus CreateDeviceInfoList(std::uint32_t* count) = 0;
  virtual FtStatus GetDeviceInfoList(FtDeviceListInfoNode* list, std::uint32_t* count) = 0;

  virtual FtStatus Open(int index, FtHandle* handle) = 0;
  virtual FtStatus Close(FtHandle handle) = 0;

  virtual FtStatus SetDataCharacteristics(FtHandle handle, std::uint8_t wordLength,
                                          std::uint8_t stopBits, std::uint8_t parity) = 0;
  virtual FtStatus SetBaudRate(FtHandle handle, std::uint32_t baudRate) = 0;
  // Read and write time-outs in milliseconds.
  virtual FtStatus SetTimeouts(FtHandle handle, std::uint32_t readTimeout,
                               std::uint32_t writeTimeout) = 0;
  virtual FtStatus SetLatencyTimer(FtHandle handle, std::uint8_t milliseconds) = 0;
  virtual FtStatus SetUSBParameters(FtHandle handle, std::uint32_t inTransferSize,
                                    std::uint32_t outTransferSize) = 0;
  // serialNumber receives at most 16 bytes, description at most 64, both
  // NUL-terminated. Any pointer may be null.
  virtual FtStatus GetDeviceInfo(FtHandle handle, std::uint32_t* type, std::uint32_t* id,
                                 char* serialNumber, char* description) = 0;
  virtual FtStatus Purge(FtHandle handle, std::uint32_t mask) = 0;

  // Write blocks until every byte has gone to the chip or the write time-out
  // ran out; *written tells how many went.
  virtual FtStatus Write(FtHandle handle, const void* buffer, std::uint32_t count,
                         std::uint32_t* written) = 0;
  // Read blocks until `count` bytes arrived or the read time-out ran out;
  // a time-out is not an error: the call succeeds with fewer bytes.
  virtual FtStatus Read(FtHandle handle, void* buffer, std::uint32_t count,
                        std::uint32_t* read) = 0;
  virtual FtStatus GetQueueStatus(FtHandle handle, std::uint32_t* rxBytes) = 0;
  virtual FtStatus GetStatus(FtHandle handle, std::uint32_t* rxBytes, std::uint32_t* txBytes,
                             std::uint32_t* eventStatus) = 0;

  // mask: high nibble CBUS3..0 directions (1 = output), low nibble levels.
  virtual FtStatus SetBitMode(FtHandle handle, std::uint8_t mask, std::uint8_t mode) = 0;
  // Instantaneous levels of the pins, low nibble CBUS3..0.
  virtual FtStatus GetBitMode(FtHandle handle, std::uint8_t* mode) = 0;
  virtual FtStatus ResetDevice(FtHandle handle) = 0;

  // Not a vendor call: why the most recent failure happened when the status
  // cannot tell (no permission on the USB device node, say), in words a user
  // can act on. Empty when there is nothing to add.
  virtual std::string FailureDetail() const { return {}; }
};

}  // namespace ktal
