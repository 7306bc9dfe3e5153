// SPDX-License-Identifier: GPL-3.0-or-later
#include "link/ftdi_device.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "link/bounded_text.h"

namespace ktal {

CFtdiDevice g_device;
char g_deviceSerialNumber[256] = {};
char g_deviceDescription[256] = {};

namespace {

// The texts are plain ASCII, so widening byte by byte keeps them unchanged.
std::wstring Widen(const char* text) {
  std::wstring wide;
  for (const char* p = text; *p != '\0'; ++p) wide.push_back(static_cast<unsigned char>(*p));
  return wide;
}

const char* DescriptionForKind(std::int32_t kind) {
  switch (kind) {
    case kDeviceKindPentrox:
      return "Pentrox DuviZazev";
    case kDeviceKindGuider:
      return kGuiderDescription;
    case kDeviceKindCircuitTester:
      return "TVX Circuit Tester";
    case kDeviceKindCircuitTester221:
      return "TVX Circuit Tester for v2.21";
    case kDeviceKindRizoZirTester:
      return "TVX RizoZIR Tester";
    case kDeviceKindProgrammer:
      return "KTal's XPROGBX";
    case kDeviceKindFactoryChip:
      return kFactoryChipDescription;
    default:
      return nullptr;
  }
}

// Compares a fixed-size driver string with a text as NUL-terminated strings,
// never reading past the field even when the driver left it unterminated.
template <std::size_t N>
bool FieldEquals(const char (&field)[N], const char* text) {
  std::size_t len = std::strlen(text);
  if (len >= N) return false;
  return std::memcmp(field, text, len) == 0 && field[len] == '\0';
}

}  // namespace

CFtdiDevice::CFtdiDevice() : clock_(&SystemClock()) {}

CFtdiDevice::~CFtdiDevice() {
  if (handle != nullptr && driver_ != nullptr) {
    if (driver_->Close(handle) != FT_OK) SetPlainError("FT_Close failed");
    handle = nullptr;
  }
}

void CFtdiDevice::AttachDriver(FtdiDriver* driver, Clock* clock) {
  driver_ = driver;
  clock_ = clock != nullptr ? clock : &SystemClock();
}

void CFtdiDevice::SetPlainError(const char* text) {
  FormatBounded(errorText, sizeof errorText, "%s", text);
  errorString = Widen(errorText);
}

int CFtdiDevice::RecordFailure(const char* what, FtStatus st) {
  status = st;
  FormatBounded(errorText, sizeof errorText, "%s (code %d ($%x))", what, static_cast<int>(st),
                static_cast<unsigned>(st));
  timedOut = 0;
  return 1;
}

void CFtdiDevice::RecordTimeout(const char* what) {
  FormatBounded(errorText, sizeof errorText, "%s (code %d ($%x))", what, static_cast<int>(status),
                static_cast<unsigned>(status));
  timedOut = 1;
}

bool CFtdiDevice::CheckOpen(const char* operation) {
  if (handle != nullptr) return true;
  char text[96];
  FormatBounded(text, sizeof text, "Device not open in %s()", operation);
  SetPlainError(text);
  return false;
}

void CFtdiDevice::AppendDriverDetail(bool toErrorString) {
  const std::string detail = driver_->FailureDetail();
  if (detail.empty()) return;
  const std::size_t used = std::strlen(errorText);
  FormatBounded(errorText + used, sizeof errorText - used, " - %s", detail.c_str());
  if (toErrorString) errorString = Widen(errorText);
}

bool CFtdiDevice::Accepts(const FtDeviceListInfoNode& node) const {
  if (node.ID != 0x04036001u && node.ID != 0x04036015u) return false;
  if (deviceKind == kDeviceKindAny) return true;
  const char* wanted = DescriptionForKind(deviceKind);
  if (wanted == nullptr || !FieldEquals(node.Description, wanted)) return false;
  if (deviceKind == kDeviceKindProgrammer) return FieldEquals(node.SerialNumber, "XPROGBXM");
  return true;
}

int CFtdiDevice::Open() {
  if (handle != nullptr) {
    if (Close() != 0) {
      std::strncat(errorText, " ..in function Open()",
                   sizeof errorText - std::strlen(errorText) - 1);
      errorString += L" ..in function Open()";
      return 1;
    }
  }
  if (driver_ == nullptr) {
    SetPlainError(kNoDeviceFoundText);
    return 1;
  }

  std::uint32_t count = 0;
  status = driver_->CreateDeviceInfoList(&count);
  if (status != FT_OK) {
    RecordFailure("FT_CreateDeviceInfoList failed", status);
    return static_cast<int>(status);
  }
  if (count == 0) {
    SetPlainError(kNoDeviceFoundText);
    AppendDriverDetail(true);
    return 1;
  }

  int chosen = -1;
  {
    std::vector<FtDeviceListInfoNode> nodes(count);
    std::uint32_t listed = count;
    status = driver_->GetDeviceInfoList(nodes.data(), &listed);
    if (status != FT_OK) return RecordFailure("FT_GetDeviceInfoList failed", status);
    // The driver may report fewer nodes than it counted if a device went away.
    if (listed > count) listed = count;
    for (std::uint32_t i = 0; i < listed; ++i) {
      if (Accepts(nodes[i])) {
        chosen = static_cast<int>(i);
        break;
      }
    }
  }
  if (chosen < 0) {
    // A guider whose USB node cannot be read looks like no guider at all;
    // the driver can say why.
    SetPlainError(kNoDeviceFoundText);
    AppendDriverDetail(true);
    return 1;
  }

  FtHandle opened = nullptr;
  status = driver_->Open(chosen, &opened);
  if (status != FT_OK) {
    RecordFailure("FT_Open failed", status);
    AppendDriverDetail(false);
    return static_cast<int>(status);
  }
  handle = opened;

  std::uint8_t pins = 0;
  status = driver_->GetBitMode(handle, &pins);
  if (status != FT_OK) {
    // The handle stays open; the next Close or Open closes it.
    RecordFailure("FT_GetBitMode failed", status);
    return static_cast<int>(status);
  }
  bitDirections = 0;
  bitValues = pins;
  return 0;
}

int CFtdiDevice::Close() {
  if (handle == nullptr) return 0;
  status = driver_->Close(handle);
  if (status != FT_OK) {
    SetPlainError("FT_Close failed");
    return 1;
  }
  handle = nullptr;
  return 0;
}

int CFtdiDevice::SetDataFormat(std::int32_t wordLength, std::int32_t stopBits,
                               std::int32_t parity) {
  if (!CheckOpen("SetDataFormat")) return 1;
  status = driver_->SetDataCharacteristics(handle, static_cast<std::uint8_t>(wordLength),
                                           static_cast<std::uint8_t>(stopBits),
                                           static_cast<std::uint8_t>(parity));
  return status == FT_OK ? 0 : RecordFailure("FT_SetDataCharacteristics failed", status);
}

int CFtdiDevice::SetBaudRate(std::int32_t baudRate) {
  if (!CheckOpen("SetBaudRate")) return 1;
  status = driver_->SetBaudRate(handle, static_cast<std::uint32_t>(baudRate));
  return status == FT_OK ? 0 : RecordFailure("FT_SetBaudRate failed", status);
}

int CFtdiDevice::SetTimeouts(std::int32_t readTimeout, std::int32_t writeTimeout) {
  if (!CheckOpen("SetTimeouts")) return 1;
  status = driver_->SetTimeouts(handle, static_cast<std::uint32_t>(readTimeout),
                                static_cast<std::uint32_t>(writeTimeout));
  return status == FT_OK ? 0 : RecordFailure("FT_SetTimeouts failed", status);
}

int CFtdiDevice::SetLatencyTimer(std::int32_t milliseconds) {
  if (!CheckOpen("SetLatencyTimer")) return 1;
  status = driver_->SetLatencyTimer(handle, static_cast<std::uint8_t>(milliseconds));
  return status == FT_OK ? 0 : RecordFailure("FT_SetLatencyTimer failed", status);
}

int CFtdiDevice::SetXferSize(std::int32_t size) {
  if (!CheckOpen("SetXferSize")) return 1;
  status = driver_->SetUSBParameters(handle, static_cast<std::uint32_t>(size),
                                     static_cast<std::uint32_t>(size));
  return status == FT_OK ? 0 : RecordFailure("FT_SetUSBParameters failed", status);
}

const char* CFtdiDevice::QuerySerial() {
  static const char kEmpty[] = "";
  if (!CheckOpen("QuerySerial")) return kEmpty;
  // The driver writes at most 16 and 64 bytes; the buffers are larger.
  std::uint32_t type = 0;
  std::uint32_t id = 0;
  status = driver_->GetDeviceInfo(handle, &type, &id, g_deviceSerialNumber, g_deviceDescription);
  g_deviceSerialNumber[sizeof g_deviceSerialNumber - 1] = '\0';
  g_deviceDescription[sizeof g_deviceDescription - 1] = '\0';
  if (status != FT_OK) {
    RecordFailure("FT_GetDeviceInfo failed", status);
    return kEmpty;
  }
  return g_deviceSerialNumber;
}

int CFtdiDevice::FlushInBuffer() {
  if (!CheckOpen("FlushInBuffer")) return 1;
  status = driver_->Purge(handle, FT_PURGE_RX);
  return status == FT_OK ? 0 : RecordFailure("FT_Purge failed", status);
}

int CFtdiDevice::Write(const void* buffer, int count) {
  if (!CheckOpen("Write")) return 0;
  if (count <= 0) {
    SetPlainError("0 bytes written");
    return 0;
  }
  std::uint32_t written = 0;
  status = driver_->Write(handle, buffer, static_cast<std::uint32_t>(count), &written);
  if (status != FT_OK) {
    RecordFailure("FT_Write failed", status);
    return 0;
  }
  if (written == 0) {
    RecordTimeout("FT_Write timed out");
    return 0;
  }
  if (written > static_cast<std::uint32_t>(count)) written = static_cast<std::uint32_t>(count);
  lastWrittenByte = static_cast<const std::uint8_t*>(buffer)[count - 1];
  return static_cast<int>(written);
}

int CFtdiDevice::Read(void* buffer, int count) {
  if (!CheckOpen("Read")) return 0;
  if (count <= 0) {
    SetPlainError("0 bytes read");
    return 0;
  }
  std::uint32_t got = 0;
  status = driver_->Read(handle, buffer, static_cast<std::uint32_t>(count), &got);
  if (status != FT_OK) {
    RecordFailure("FT_Read failed", status);
    return 0;
  }
  if (got == 0) {
    RecordTimeout("FT_Read timed out");
    return 0;
  }
  if (got > static_cast<std::uint32_t>(count)) got = static_cast<std::uint32_t>(count);
  return static_cast<int>(got);
}

int CFtdiDevice::ReadAck(int expected) {
  if (expected < 0) expected = lastWrittenByte;
  std::uint8_t byte = 0;
  if (Read(&byte, 1) != 1) return -1;
  return byte == static_cast<std::uint8_t>(expected) ? 0 : 1;
}

int CFtdiDevice::QueryReadBufLen() {
  if (!CheckOpen("QueryReadBufLen")) return 0;
  std::uint32_t rx = 0;
  status = driver_->GetQueueStatus(handle, &rx);
  if (status != FT_OK) {
    RecordFailure("FT_GetQueueStatus failed", status);
    return 0;
  }
  return static_cast<int>(rx);
}

int CFtdiDevice::QueryWriteBufLen() {
  if (!CheckOpen("QueryWriteBufLen")) return 0;
  std::uint32_t rx = 0;
  std::uint32_t tx = 0;
  std::uint32_t events = 0;
  status = driver_->GetStatus(handle, &rx, &tx, &events);
  if (status != FT_OK) {
    RecordFailure("FT_GetStatus failed", status);
    return 0;
  }
  return static_cast<int>(tx);
}

int CFtdiDevice::SetBitOutput(std::uint32_t mask, std::uint32_t values) {
  if (!CheckOpen("SetBitOutput")) return 1;
  const std::uint32_t m = mask & 0x0F;
  bitDirections |= m;
  bitValues = ((values & m) | (bitValues & ~m)) & 0x0F;
  const auto maskByte = static_cast<std::uint8_t>((bitDirections << 4) | bitValues);
  status = driver_->SetBitMode(handle, maskByte, FT_BITMODE_CBUS_BITBANG);
  return status == FT_OK ? 0 : RecordFailure("FT_SetBitMode failed", status);
}

int CFtdiDevice::ResetDevice() {
  if (!CheckOpen("ResetDevice")) return 1;
  status = driver_->ResetDevice(handle);
  if (status != FT_OK) return RecordFailure("FT_ResetDevice failed", status);
  return SetBitOutput(0x0F, 0) == 0 ? 0 : 1;
}

}  // namespace ktal
