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
int FailAndClose(int result) {
  g_device.Close();
  return result;
}

int DeviceErrorAndClose() {
  SetProtocolDeviceError();
  return FailAndClose(-1);
}

// Opens g_device when it is closed. 0, or -1 with the message set.
int OpenOnDemand() {
  if (g_device.IsOpen()) return 0;
  if (g_device.Open() == 0) return 0;
  SetProtocolMessage("Can't open connection to FT232 device\n");
  return FailAndClose(-1);
}

int ConfigureLink(int baudRate, int latencyMs) {
  if (g_device.ResetDevice() != 0 || g_device.SetDataFormat(8, 0, 0) != 0 ||
      g_device.SetBaudRate(baudRate) != 0 || g_device.SetLatencyTimer(latencyMs) != 0 ||
      g_device.SetTimeouts(kLinkTimeoutMs, kLinkTimeoutMs) != 0) {
    return DeviceErrorAndClose();
  }
  return 0;
}

// A short write means the command did not reach the guider whole, which is as
// much a failure as a refused one.
bool WriteAll(const std::uint8_t* bytes, int count) {
  return g_device.Write(bytes, count) == count;
}

bool WriteByte(std::uint8_t byte) { return WriteAll(&byte, 1); }

// Sends the mode probe and reads its answer: 0 with `answer` set, 1 when
// nothing came back (message set, link closed), -1 on a write failure.
int Probe(std::uint8_t* answer) {
  if (!WriteByte(kModeProbe)) return DeviceErrorAndClose();
  if (g_device.Read(answer, 1) != 1) {
    SetProtocolMessage("device does not respond");
    return FailAndClose(1);
  }
  return 0;
}

}  // namespace

void SetProtocolMessage(const char* message) {
  FormatBounded(g_protocolMessage, sizeof g_protocolMessage, "%s\n (%s)\n", message,
                g_device.errorText);
}

void SetProtocolDeviceError() {
  FormatBounded(g_protocolMessage, sizeof g_protocolMessage, "FT232 error\n (%s)\n",
                g_device.errorText);
}

int ConfigureBootModeLink() { return ConfigureLink(kBootBaudRate, kBootLatencyMs); }

int ConfigureRunningModeLink() { return ConfigureLink(kRunningBaudRate, kRunningLatencyMs); }

int ConnectCommandMode() {
  if (OpenOnDemand() != 0) return -1;
  if (ConfigureBootModeLink() != 0) return -1;
  if (!WriteAll(kIdentifyCommand, sizeof kIdentifyCommand)) return DeviceErrorAndClose();

  std::uint8_t answer[sizeof kBootIdentifier] = {};
  if (g_device.Read(answer, sizeof answer) < static_cast<int>(sizeof answer)) {
    // The boot loader is silent when the guider is off or runs its firmware
    // (which listens at another speed); the link stays open for the probe.
    SetProtocolMessage("device may be invalid, turned off or is in normal mode");
    return 1;
  }
  for (std::size_t i = 0; i < sizeof answer; ++i) {
    const std::uint8_t b = answer[i];
    // Boot loaders of different hardware revisions put 1 or 2 in any place.
    if (b != kBootIdentifier[i] && b != 0x01 && b != 0x02) {
      SetProtocolMessage("bad device (C.mode) ID received");
      return FailAndClose(2);
    }
  }
  return 0;
}

int ProbeDeviceMode() {
  if (OpenOnDemand() != 0) return -1;
  const int boot = ConnectCommandMode();
  if (boot == -1) return -1;
  if (boot == 0) return kBootMode;

  // A wrong identifier closed the link.
  if (OpenOnDemand() != 0) return -1;
  if (ConfigureRunningModeLink() != 0) return -1;
  std::uint8_t answer = 0;
  if (Probe(&answer) != 0) {
    // No answer is a failure here: nothing can be said about the mode.
    return -1;
  }
  return answer != kProbeNormalMode ? kUpdateMode : kNormalMode;
}

int SwitchRunningMode(bool updateMode) {
  if (OpenOnDemand() != 0) return -1;
  const std::uint8_t wanted = updateMode ? kProbeUpdateMode : kProbeNormalMode;
  const std::uint8_t command = updateMode ? kSwitchToUpdate : kSwitchToNormal;

  for (int pass = 0; pass < 2; ++pass) {
    if (ConfigureRunningModeLink() != 0) return -1;
    std::uint8_t answer = 0;
    const int probed = Probe(&answer);
    if (probed != 0) return probed;
    if (answer == wanted) return 0;

    if (!WriteByte(command)) return DeviceErrorAndClose();
    // The hand controller restarts into its boot loader; what it sent while
    // going down is noise.
    g_device.Wait(100);
    if (g_device.FlushInBuffer() != 0) return DeviceErrorAndClose();
    g_device.Wait(1000);

    if (ConnectCommandMode() != 0) {
      SetProtocolMessage("can't enter boot mode from normal - device may be in invalid state");
      return FailAndClose(-1);
    }
    if (!WriteByte(kStartFirmware)) return DeviceErrorAndClose();
    g_device.Wait(200);
  }
  SetProtocolMessage("can't switch to normal mode (2nd try)");
  return FailAndClose(-1);
}

int EnterDeviceMode(int mode) {
  if (mode != kUpdateMode && mode != kNormalMode) return -1;
  const int boot = ConnectCommandMode();
  if (boot == -1) return -1;
  if (boot == 0) {
    if (!WriteByte(kStartFirmware)) return DeviceErrorAndClose();
    g_device.Wait(100);
  }
  const int switched = SwitchRunningMode(mode == kUpdateMode);
  if (switched == -1) return -1;
  if (switched == 0) return 0;
  SetProtocolMessage("device does not respond...\n");
  return FailAndClose(1);
}

int StartFirmware() {
  if (!WriteByte(kStartFirmware)) return DeviceErrorAndClose();
  g_device.Wait(100);
  return 0;
}

int QueryFirmwareVersion(std::uint16_t minimumVersion) {
  if (!WriteByte(kVersionRequest)) return DeviceErrorAndClose();
  // Firmware that does not know the request does not echo it.
  if (g_device.ReadAck(kVersionRequest) != 0) return 0;
  std::uint8_t bytes[2] = {};
  if (g_device.Read(bytes, 2) < 2) return DeviceErrorAndClose();
  const int version = bytes[0] + 256 * bytes[1];
  return version < minimumVersion ? 1 : version;
}

int DisconnectDevice() {
  g_protocolMessage[0] = '\0';
  if (g_device.Close() == 0) return 0;
  SetProtocolDeviceError();
  g_device.Close();
  return -1;
}

}  // namespace ktal
