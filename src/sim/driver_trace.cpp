// SPDX-License-Identifier: GPL-3.0-or-later
#include "sim/driver_trace.h"

#include <cstdio>

namespace ktal::sim {
namespace {

std::string Hex(const std::vector<std::uint8_t>& bytes) {
  std::string text;
  char item[4];
  for (const std::uint8_t byte : bytes) {
    std::snprintf(item, sizeof item, "%02X", byte);
    if (!text.empty()) text += ' ';
    text += item;
  }
  return text;
}

}  // namespace

const char* ToString(DriverCall call) {
  switch (call) {
    case DriverCall::kCreateDeviceInfoList:
      return "CreateDeviceInfoList";
    case DriverCall::kGetDeviceInfoList:
      return "GetDeviceInfoList";
    case DriverCall::kOpen:
      return "Open";
    case DriverCall::kClose:
      return "Close";
    case DriverCall::kSetDataCharacteristics:
      return "SetDataCharacteristics";
    case DriverCall::kSetBaudRate:
      return "SetBaudRate";
    case DriverCall::kSetTimeouts:
      return "SetTimeouts";
    case DriverCall::kSetLatencyTimer:
      return "SetLatencyTimer";
    case DriverCall::kSetUSBParameters:
      return "SetUSBParameters";
    case DriverCall::kGetDeviceInfo:
      return "GetDeviceInfo";
    case DriverCall::kPurge:
      return "Purge";
    case DriverCall::kWrite:
      return "Write";
    case DriverCall::kRead:
      return "Read";
    case DriverCall::kGetQueueStatus:
      return "GetQueueStatus";
    case DriverCall::kGetStatus:
      return "GetStatus";
    case DriverCall::kSetBitMode:
      return "SetBitMode";
    case DriverCall::kGetBitMode:
      return "GetBitMode";
    case DriverCall::kResetDevice:
      return "ResetDevice";
  }
  return "?";
}

std::string FormatCall(const DriverCallRecord& r) {
  std::string text = ToString(r.call);
  char buffer[64];
  switch (r.call) {
    case DriverCall::kOpen:
    case DriverCall::kSetBaudRate:
    case DriverCall::kSetLatencyTimer:
    case DriverCall::kPurge:
      std::snprintf(buffer, sizeof buffer, "(%u)", static_cast<unsigned>(r.a));
      text += buffer;
      break;
    case DriverCall::kSetDataCharacteristics:
      std::snprintf(buffer, sizeof buffer, "(%u, %u, %u)", static_cast<unsigned>(r.a),
                    static_cast<unsigned>(r.b), static_cast<unsigned>(r.c));
      text += buffer;
      break;
    case DriverCall::kSetTimeouts:
    case DriverCall::kSetUSBParameters:
      std::snprintf(buffer, sizeof buffer, "(%u, %u)", static_cast<unsigned>(r.a),
                    static_cast<unsigned>(r.b));
      text += buffer;
      break;
    case DriverCall::kSetBitMode:
      std::snprintf(buffer, sizeof buffer, "(0x%02X, 0x%02X)", static_cast<unsigned>(r.a),
                    static_cast<unsigned>(r.b));
      text += buffer;
      break;
    case DriverCall::kWrite:
      text += '(';
      text += Hex(r.data);
      text += ')';
      std::snprintf(buffer, sizeof buffer, " -> %u", static_cast<unsigned>(r.result));
      text += buffer;
      break;
    case DriverCall::kRead:
      std::snprintf(buffer, sizeof buffer, "(%u) -> ", static_cast<unsigned>(r.a));
      text += buffer;
      text += r.data.empty() ? std::string("nothing") : Hex(r.data);
      break;
    case DriverCall::kGetBitMode:
      std::snprintf(buffer, sizeof buffer, "() -> 0x%02X", static_cast<unsigned>(r.result));
      text += buffer;
      break;
    case DriverCall::kCreateDeviceInfoList:
    case DriverCall::kGetDeviceInfoList:
    case DriverCall::kGetQueueStatus:
    case DriverCall::kGetStatus:
      std::snprintf(buffer, sizeof buffer, "() -> %u", static_cast<unsigned>(r.result));
      text += buffer;
      break;
    case DriverCall::kClose:
    case DriverCall::kGetDeviceInfo:
    case DriverCall::kResetDevice:
      text += "()";
      break;
  }
  if (r.status != FT_OK) {
    std::snprintf(buffer, sizeof buffer, " = status %u", static_cast<unsigned>(r.status));
    text += buffer;
  }
  return text;
}

std::string FormatTrace(const std::vector<DriverCallRecord>& records) {
  std::string text;
  for (const DriverCallRecord& record : records) {
    text += FormatCall(record);
    text += '\n';
  }
  return text;
}

}  // namespace ktal::sim
