// SPDX-License-Identifier: GPL-3.0-or-later
// The record of every call made on the simulated FTDI driver, so that tests
// can assert the exact sequence of line settings, CBUS masks and bytes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "link/ftdi_driver.h"

namespace ktal::sim {

// The driver calls, named as on the FtdiDriver seam.
enum class DriverCall {
  kCreateDeviceInfoList,
  kGetDeviceInfoList,
  kOpen,
  kClose,
  kSetDataCharacteristics,
  kSetBaudRate,
  kSetTimeouts,
  kSetLatencyTimer,
  kSetUSBParameters,
  kGetDeviceInfo,
  kPurge,
  kWrite,
  kRead,
  kGetQueueStatus,
  kGetStatus,
  kSetBitMode,
  kGetBitMode,
  kResetDevice,
};

const char* ToString(DriverCall call);

// One call. The arguments that matter, by call:
//   Open: a = index; SetDataCharacteristics: a, b, c = word length, stop
//   bits, parity; SetBaudRate: a = rate; SetTimeouts: a = read, b = write
//   (ms); SetLatencyTimer: a = ms; SetUSBParameters: a = in, b = out;
//   Purge: a = mask; SetBitMode: a = mask byte, b = mode;
//   Write: a = count asked, data = the bytes given, result = count written;
//   Read: a = count asked, data = bytes returned, result = count returned;
//   GetQueueStatus / GetStatus: result = bytes waiting;
//   GetBitMode: result = pin byte; CreateDeviceInfoList: result = count.
struct DriverCallRecord {
  DriverCall call = DriverCall::kOpen;
  std::int64_t atMicros = 0;
  std::uint32_t a = 0;
  std::uint32_t b = 0;
  std::uint32_t c = 0;
  std::uint32_t result = 0;
  std::vector<std::uint8_t> data;
  FtStatus status = FT_OK;
};

// "SetBaudRate(250000)", "Write(AA 01 01) -> 3", "Read(5) -> 55 03 01",
// "Read(1) -> nothing", "SetBitMode(0x22, 0x20)", "ResetDevice()",
// "GetBitMode() -> 0x05"; a failing call ends in " = status 4".
std::string FormatCall(const DriverCallRecord& record);
// One call per line.
std::string FormatTrace(const std::vector<DriverCallRecord>& records);

}  // namespace ktal::sim
