// SPDX-License-Identifier: GPL-3.0-or-later
// The hand controller's screen, LED and key requests, as the virtual user
// interface uses them. Each talks to the given link, which must be open
// with the hand controller in normal mode; none of them composes a message
// or closes the link: the window decides what a failure means.
//
// Every request but the version query starts with the prefix 0x5D, which
// the hand controller answers with one byte (an echo of 0x5D):
//   screen band k  0x5D, then 0x0D, (128 x k) low, high, 0x80 -> 128 bytes
//   LEDs           0x5D, then 0x0A, 0x01                      -> 1 byte
//   key            0x5D, then 0x01, key code                  -> nothing
//   version        0x03 -> any byte, version low, version high
#pragma once

#include <cstdint>

namespace ktal {

class CFtdiDevice;

// The screen: 128 columns x 64 rows of dots in 8 bands of 128 bytes. Byte
// j of band k is column j; its bit b (bit 0 first) is the dot in row
// 8k + b, lit when set.
inline constexpr int kScreenColumns = 128;
inline constexpr int kScreenRows = 64;
inline constexpr int kScreenBands = 8;
inline constexpr int kBandBytes = 128;

// Key codes. A release adds kKeyReleased; the long Esc has no release.
enum VuiKeyCode : std::uint8_t {
  kKeyEsc = 0x00,
  kKeySet = 0x01,
  kKeyLeft = 0x02,
  kKeyRight = 0x03,
  kKeyUp = 0x04,
  kKeyDown = 0x05,
  kKeyLongEsc = 0x06,
};
inline constexpr std::uint8_t kKeyReleased = 0x80;

// Firmware from this version on takes key releases as well as presses.
inline constexpr std::uint16_t kKeyReleaseVersion = 0x0210;

// LED byte: bit n is LED n; bits 6 and 7 are unused.
inline constexpr int kLedCount = 6;

// The link settings of the screen poll: a 2 ms latency timer, so that a
// band arrives soon after its last byte, and 500 ms time-outs, so that a
// guider switched off is noticed within a tick. Failures are not looked at:
// the requests that follow fail on their own.
void ConfigureScreenPollLink(CFtdiDevice& device);

// Sends 0x03 and reads the answer byte (not checked) and the version word.
// 0 with *version set; -1 when the write or a read failed.
int ReadFirmwareVersion(CFtdiDevice& device, std::uint16_t* version);

// Results of ReadScreenBand and ReadLeds.
enum VuiResult : int {
  kVuiOk = 0,
  // The guider fell silent: a read ran into its time-out with nothing, or
  // with less than the whole answer, or a write could not go out in time.
  kVuiTimedOut = 1,
  // The guider answered the prefix with something other than its echo.
  kVuiWrongEcho = 2,
  // The LED byte did not come after a good echo.
  kVuiNoLedByte = 3,
  // A driver call failed.
  kVuiLinkFailed = -1,
};

// Reads band `band` (0..7) into `bytes` (kBandBytes). After the request it
// checks the receive queue every 10 ms until the whole band is there,
// giving up after 52 waits, then reads it.
int ReadScreenBand(CFtdiDevice& device, int band, std::uint8_t* bytes);

// Reads the LED byte. kVuiOk with *leds set; when the echo is missing or
// wrong the result says which, and nothing more was sent; kVuiNoLedByte
// when the echo came but the LED byte did not (a firmware without LEDs to
// report).
int ReadLeds(CFtdiDevice& device, std::uint8_t* leds);

// Presses or releases a key. 0, also when the link is closed (nothing to
// press it on); -1 when a write or the read of the prefix answer failed.
// The prefix answer may be any byte.
int SendKey(CFtdiDevice& device, std::uint8_t code);

}  // namespace ktal
