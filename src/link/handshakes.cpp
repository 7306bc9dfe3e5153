// SPDX-License-Identifier: GPL-3.0-or-later
#include "link/handshakes.h"

#include <cstdio>

#include "link/bounded_text.h"
#include "link/ftdi_device.h"

namespace ktal {

char g_protocolMessage[kProtocolMessageSize] = {};

namespace {

constexpr int kBootBaudRate = 9600;
constexpr int kBootLatencyMs = 10;
constexpr int kRunningBaudRate = 250000;
constexpr int kRunningLatencyMs = 2;
constexpr int kLinkTimeoutMs = 1000;

constexpr std::uint8_t kIdentifyCommand[3] = {0xAA, 0x01, 0x01};
constexpr std::uint8_t kBootIdentifier[5] = {0x55, 0x03, 0x01, 0x80, 0x01};
constexpr std::uint8_t kStartFirmware = 'B';
constexpr std::uint8_t kModeProbe = 0x00;
constexpr std::uint8_t kSwitchToUpdate = 0xEB;
constexpr std::uint8_t kSwitchToNormal = 0xE1;
constexpr std::uint8_t kProbeUpdateMode = 0xFF;
constexpr std::uint8_t kProbeNormalMode = 0x00;
constexpr std::uint8_t kVersionRequest = 0x03;

// Closes the link after a failure; a failing close changes nothing the caller
// could act on, so its result is not looked at.
int FailAndClose(CFtdiDevice& device, int result) {
  device.Close();
  return result;
}

int DeviceErrorAndClose(CFtdiDevice& device) {
  SetProtocolDeviceError(device);
  return FailAndClose(device, -1);
}

// Opens the link when it is closed. 0, or -1 with the message set.
int OpenOnDemand(CFtdiDevice& device) {
  if (device.IsOpen()) return 0;
  if (device.Open() == 0) return 0;
  SetProtocolMessage(device, "Can't open connection to FT232 device\n");
  return FailAndClose(device, -1);
}

int ConfigureLink(CFtdiDevice& device, int baudRate, int latencyMs) {
  if (device.ResetDevice() != 0 || device.SetDataFormat(8, 0, 0) != 0 ||
      device.SetBaudRate(baudRate) != 0 || device.SetLatencyTimer(latencyMs) != 0 ||
      device.SetTimeouts(kLinkTimeoutMs, kLinkTimeoutMs) != 0) {
    return DeviceErrorAndClose(device);
  }
  return 0;
}

// A short write means the command did not reach the guider whole, which is as
// much a failure as a refused one.
bool WriteAll(CFtdiDevice& device, const std::uint8_t* bytes, int count) {
  return device.Write(bytes, count) == count;
}

bool WriteByte(CFtdiDevice& device, std::uint8_t byte) { return WriteAll(device, &byte, 1); }

// Sends the mode probe and reads its answer: 0 with `answer` set, 1 when
// nothing came back (message set, link closed), -1 on a write failure.
int Probe(CFtdiDevice& device, std::uint8_t* answer) {
  if (!WriteByte(device, kModeProbe)) return DeviceErrorAndClose(device);
  if (device.Read(answer, 1) != 1) {
    SetProtocolMessage(device, "device does not respond");
    return FailAndClose(device, 1);
  }
  return 0;
}

}  // namespace

void SetProtocolMessage(const CFtdiDevice& device, const char* message) {
  FormatBounded(g_protocolMessage, sizeof g_protocolMessage, "%s\n (%s)\n", message,
                device.errorText);
}

void SetProtocolDeviceError(const CFtdiDevice& device) {
  FormatBounded(g_protocolMessage, sizeof g_protocolMessage, "FT232 error\n (%s)\n",
                device.errorText);
}

int ConfigureBootModeLink(CFtdiDevice& device) {
  return ConfigureLink(device, kBootBaudRate, kBootLatencyMs);
}

int ConfigureRunningModeLink(CFtdiDevice& device) {
  return ConfigureLink(device, kRunningBaudRate, kRunningLatencyMs);
}

int ConnectCommandMode(CFtdiDevice& device) {
  if (OpenOnDemand(device) != 0) return -1;
  if (ConfigureBootModeLink(device) != 0) return -1;
  if (!WriteAll(device, kIdentifyCommand, sizeof kIdentifyCommand)) {
    return DeviceErrorAndClose(device);
  }

  std::uint8_t answer[sizeof kBootIdentifier] = {};
  if (device.Read(answer, sizeof answer) < static_cast<int>(sizeof answer)) {
    // The boot loader is silent when the guider is off or runs its firmware
    // (which listens at another speed); the link stays open for the probe.
    SetProtocolMessage(device, "device may be invalid, turned off or is in normal mode");
    return 1;
  }
  for (std::size_t i = 0; i < sizeof answer; ++i) {
    const std::uint8_t b = answer[i];
    // Boot loaders of different hardware revisions put 1 or 2 in any place.
    if (b != kBootIdentifier[i] && b != 0x01 && b != 0x02) {
      SetProtocolMessage(device, "bad device (C.mode) ID received");
      return FailAndClose(device, 2);
    }
  }
  return 0;
}

int ProbeDeviceMode(CFtdiDevice& device) {
  if (OpenOnDemand(device) != 0) return -1;
  const int boot = ConnectCommandMode(device);
  if (boot == -1) return -1;
  if (boot == 0) return kBootMode;

  // A wrong identifier closed the link.
  if (OpenOnDemand(device) != 0) return -1;
  if (ConfigureRunningModeLink(device) != 0) return -1;
  std::uint8_t answer = 0;
  if (Probe(device, &answer) != 0) {
    // No answer is a failure here: nothing can be said about the mode.
    return -1;
  }
  return answer != kProbeNormalMode ? kUpdateMode : kNormalMode;
}

int SwitchRunningMode(CFtdiDevice& device, bool updateMode) {
  if (OpenOnDemand(device) != 0) return -1;
  const std::uint8_t wanted = updateMode ? kProbeUpdateMode : kProbeNormalMode;
  const std::uint8_t command = updateMode ? kSwitchToUpdate : kSwitchToNormal;

  for (int pass = 0; pass < 2; ++pass) {
    if (ConfigureRunningModeLink(device) != 0) return -1;
    std::uint8_t answer = 0;
    const int probed = Probe(device, &answer);
    if (probed != 0) return probed;
    if (answer == wanted) return 0;

    if (!WriteByte(device, command)) return DeviceErrorAndClose(device);
    // The hand controller restarts into its boot loader; what it sent while
    // going down is noise.
    device.Wait(100);
    if (device.FlushInBuffer() != 0) return DeviceErrorAndClose(device);
    device.Wait(1000);

    if (ConnectCommandMode(device) != 0) {
      SetProtocolMessage(device,
                         "can't enter boot mode from normal - device may be in invalid state");
      return FailAndClose(device, -1);
    }
    if (!WriteByte(device, kStartFirmware)) return DeviceErrorAndClose(device);
    device.Wait(200);
  }
  SetProtocolMessage(device, "can't switch to normal mode (2nd try)");
  return FailAndClose(device, -1);
}

int EnterDeviceMode(CFtdiDevice& device, int mode) {
  if (mode != kUpdateMode && mode != kNormalMode) return -1;
  const int boot = ConnectCommandMode(device);
  if (boot == -1) return -1;
  if (boot == 0) {
    if (!WriteByte(device, kStartFirmware)) return DeviceErrorAndClose(device);
    device.Wait(100);
  }
  const int switched = SwitchRunningMode(device, mode == kUpdateMode);
  if (switched == -1) return -1;
  if (switched == 0) return 0;
  SetProtocolMessage(device, "device does not respond...\n");
  return FailAndClose(device, 1);
}

int StartFirmware(CFtdiDevice& device) {
  if (!WriteByte(device, kStartFirmware)) return DeviceErrorAndClose(device);
  device.Wait(100);
  return 0;
}

int QueryFirmwareVersion(CFtdiDevice& device, std::uint16_t minimumVersion) {
  if (!WriteByte(device, kVersionRequest)) return DeviceErrorAndClose(device);
  // Firmware that does not know the request does not echo it.
  if (device.ReadAck(kVersionRequest) != 0) return 0;
  std::uint8_t bytes[2] = {};
  if (device.Read(bytes, 2) < 2) return DeviceErrorAndClose(device);
  const int version = bytes[0] + 256 * bytes[1];
  return version < minimumVersion ? 1 : version;
}

int DisconnectDevice(CFtdiDevice& device) {
  g_protocolMessage[0] = '\0';
  if (device.Close() == 0) return 0;
  SetProtocolDeviceError(device);
  device.Close();
  return -1;
}

}  // namespace ktal
