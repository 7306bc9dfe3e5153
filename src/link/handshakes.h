// SPDX-License-Identifier: GPL-3.0-or-later
// Finding out and switching the hand controller's mode.
//
// The hand controller answers in its boot loader (9600 baud), or in its
// running firmware (250000 baud) in update or normal mode. Every feature
// starts with one of these handshakes: they open the link they are given on
// demand, configure it from scratch, and close it whenever they fail,
// leaving the failure text in g_protocolMessage.
//
// Each takes the link it talks to. The forms without one work on g_device,
// the program's one link, for the callers that stand on it directly.
#pragma once

#include <cstdint>

#include "link/ftdi_device.h"

namespace ktal {

enum DeviceMode : int {
  kBootMode = 1,
  kUpdateMode = 2,
  kNormalMode = 3,
};

inline constexpr int kProtocolMessageSize = 1024;

// Failure text of the most recent handshake or protocol function.
extern char g_protocolMessage[kProtocolMessageSize];

// "<message>\n (<errorText of device>)\n"
void SetProtocolMessage(const CFtdiDevice& device, const char* message);
// "FT232 error\n (<errorText of device>)\n"
void SetProtocolDeviceError(const CFtdiDevice& device);

// 0 boot loader identified (link at 9600 baud); 1 no complete answer (link
// left open); 2 wrong identifier (link closed); -1 USB failure (closed).
int ConnectCommandMode(CFtdiDevice& device);
// 1, 2 or 3, the link left at that mode's settings; -1 on failure (closed).
int ProbeDeviceMode(CFtdiDevice& device);
// 0 firmware runs in the wanted mode (link at 250000 baud); 1 no answer to
// the probe; -1 failure. The link is closed on 1 and -1.
int SwitchRunningMode(CFtdiDevice& device, bool updateMode);
// mode 2 or 3. 0 in that mode; 1 no response (closed); -1 any other
// failure (closed), or a mode other than 2 and 3 (no message, untouched).
int EnterDeviceMode(CFtdiDevice& device, int mode);
// Sends 'B' in boot mode and waits for the firmware. 0, or -1 (closed).
int StartFirmware(CFtdiDevice& device);
// The version when at least `minimumVersion`; 1 when lower; 0 when the
// firmware does not know the request; -1 on USB failure (closed).
int QueryFirmwareVersion(CFtdiDevice& device, std::uint16_t minimumVersion);
// Empties g_protocolMessage and closes the link. 0, or -1.
int DisconnectDevice(CFtdiDevice& device);

// Line set-ups used by the handshakes; 0 or -1 (closed, message set).
int ConfigureBootModeLink(CFtdiDevice& device);
int ConfigureRunningModeLink(CFtdiDevice& device);

// On g_device.
inline int ConnectCommandMode() { return ConnectCommandMode(g_device); }
inline int ProbeDeviceMode() { return ProbeDeviceMode(g_device); }
inline int SwitchRunningMode(bool updateMode) { return SwitchRunningMode(g_device, updateMode); }
inline int EnterDeviceMode(int mode) { return EnterDeviceMode(g_device, mode); }
inline int StartFirmware() { return StartFirmware(g_device); }
inline int QueryFirmwareVersion(std::uint16_t minimumVersion) {
  return QueryFirmwareVersion(g_device, minimumVersion);
}
inline int DisconnectDevice() { return DisconnectDevice(g_device); }
inline int ConfigureBootModeLink() { return ConfigureBootModeLink(g_device); }
inline int ConfigureRunningModeLink() { return ConfigureRunningModeLink(g_device); }

}  // namespace ktal
