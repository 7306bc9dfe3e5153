// Finding out and switching the hand controller's mode.
//
// The hand controller answers in its boot loader (9600 baud), or in its
// running firmware (250000 baud) in update or normal mode. Every feature
// starts with one of these handshakes: they open g_device on demand,
// configure it from scratch, and close it whenever they fail, leaving the
// failure text in g_protocolMessage.
#pragma once

#include <cstdint>

namespace ktal {

enum DeviceMode : int {
  kBootMode = 1,
  kUpdateMode = 2,
  kNormalMode = 3,
};

inline constexpr int kProtocolMessageSize = 1024;

// Failure text of the most recent handshake or protocol function.
extern char g_protocolMessage[kProtocolMessageSize];

// "<message>\n (<errorText of g_device>)\n"
void SetProtocolMessage(const char* message);
// "FT232 error\n (<errorText of g_device>)\n"
void SetProtocolDeviceError();

// 0 boot loader identified (link at 9600 baud); 1 no complete answer (link
// left open); 2 wrong identifier (link closed); -1 USB failure (closed).
int ConnectCommandMode();
// 1, 2 or 3, the link left at that mode's settings; -1 on failure (closed).
int ProbeDeviceMode();
// 0 firmware runs in the wanted mode (link at 250000 baud); 1 no answer to
// the probe; -1 failure. The link is closed on 1 and -1.
int SwitchRunningMode(bool updateMode);
// mode 2 or 3. 0 in that mode; 1 no response (closed); -1 any other
// failure (closed), or a mode other than 2 and 3 (no message, untouched).
int EnterDeviceMode(int mode);
// Sends 'B' in boot mode and waits for the firmware. 0, or -1 (closed).
int StartFirmware();
// The version when at least `minimumVersion`; 1 when lower; 0 when the
// firmware does not know the request; -1 on USB failure (closed).
int QueryFirmwareVersion(std::uint16_t minimumVersion);
// Empties g_protocolMessage and closes the link. 0, or -1.
int DisconnectDevice();

// Line set-ups used by the handshakes; 0 or -1 (closed, message set).
int ConfigureBootModeLink();
int ConfigureRunningModeLink();

}  // namespace ktal
