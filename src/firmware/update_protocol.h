// SPDX-License-Identifier: GPL-3.0-or-later
// The hand controller's update mode: version readout, the firmware uploads
// of the hand controller, its camera and the camera's CCD board, and the
// EEPROM transfers of the stored variables. Every function works on the
// link it is given as its caller left it (open, update mode), reports
// progress in percent through `progress` (may be empty) and leaves its
// failure text in g_protocolMessage. The forms without a link work on
// g_device.
//
// Failure texts come in two kinds: a plain one ("<text>\n") leaves the link
// open; a closing one ("<text>\n (<errorText of the link>)\n") closes it.
// Driver failures, and reads that bring nothing where data is needed, are
// "FT232 error\n (<errorText>)\n", close the link and give -1. After a
// firmware image each upload waits a second and brings the hand controller
// back into update mode (EnterDeviceMode(2)); when that fails, the result is
// -1 with the handshake's own text behind ours.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>

#include "firmware/variable_set.h"
#include "link/ftdi_device.h"

namespace ktal {

using ProgressCallback = std::function<void(int percent)>;

// An image that is empty or does not lie inside the buffer given: nothing
// is sent and the link is left as it was. An empty image would leave the
// device in its programming mode with nothing to program.
inline constexpr int kUploadImageRejected = -2;

// The EEPROM transfers give the byte the guider answered wrongly as their
// result; a wrong 0x00 would read as success, so it is given as this.
inline constexpr int kWrongByteZero = 0x100;

// The hand controller's firmware: `length` bytes of `firmware` from
// `start`. 0; 3 for a wrong acknowledgement; 4 for a missing or wrong end
// byte; -1 for USB failures and when update mode cannot be re-entered.
int UploadHC(CFtdiDevice& device, std::span<const std::uint8_t> firmware, std::size_t start,
             std::size_t length, const ProgressCallback& progress);
// The camera's firmware. 0; 2 when the command is refused; 3 for a wrong
// acknowledgement during the data; 1 for stray bytes after an
// acknowledgement during the data or a failed write of the end marker; 4
// for acknowledgement faults during the end marker and a missing or wrong
// end byte; -1 as for UploadHC.
int UploadCam(CFtdiDevice& device, std::span<const std::uint8_t> firmware, std::size_t start,
              std::size_t length, const ProgressCallback& progress);
// The CCD board's image (2049 bytes). 0; 1 when the command is refused or
// stray bytes follow an acknowledgement; 2 for a wrong acknowledgement; 4
// for a missing or wrong end byte; -1 as for UploadHC.
int UploadCCDB(CFtdiDevice& device, std::span<const std::uint8_t> firmware, std::size_t start,
               std::size_t length, const ProgressCallback& progress);

// Reads the first 1280 bytes of the EEPROM into variables.image and, unless
// the image's version word reads erased, takes the variables out of it
// under that version's layout. 0; the byte the guider answered wrongly
// (kWrongByteZero for 0x00); -1 for USB failures. The image is changed
// only by a read that succeeded, so that a half-read image is never taken
// for the guider's variables.
int DownloadEEPROM(CFtdiDevice& device, VariableSet& variables, const ProgressCallback& progress);
// Writes the first 1280 bytes of variables.image to the EEPROM. Unless
// `alreadyLaidOut`, the variables are first put into the image under the
// layout of the image's own version word (none when it reads erased).
// 0; the byte the guider answered wrongly (kWrongByteZero for 0x00); -1.
int UploadEEPROM(CFtdiDevice& device, VariableSet& variables, const ProgressCallback& progress,
                 bool alreadyLaidOut);

// What the guider says about its versions in update mode, as raw values.
struct UpdateModeVersions {
  std::uint8_t bootVersion = 0;
  // 0: the firmware is intact; anything else is a CRC error, and then
  // nothing after it is read.
  std::uint8_t firmwareStatus = 0;
  std::uint16_t firmwareVersion = 0;
  // 0: the camera answered; anything else is the camera's error code, and
  // then no camera version is read.
  std::uint8_t cameraStatus = 0;
  std::uint8_t cameraBootVersion = 0;
  std::uint16_t cameraFirmwareVersion = 0;
};

// Runs the readout (0x14, 0x2D, then 0x2E) in update mode, stopping where
// a status byte is not 0. 0 when every answer came whole; -1 when a write or
// read moved no byte (the link's errorString says why); 1 when an answer
// came only in part. No message is composed and the link is left as it is.
int ReadUpdateModeVersions(CFtdiDevice& device, UpdateModeVersions& versions);

// On g_device.
inline int UploadHC(std::span<const std::uint8_t> firmware, std::size_t start, std::size_t length,
                    const ProgressCallback& progress) {
  return UploadHC(g_device, firmware, start, length, progress);
}
inline int UploadCam(std::span<const std::uint8_t> firmware, std::size_t start, std::size_t length,
                     const ProgressCallback& progress) {
  return UploadCam(g_device, firmware, start, length, progress);
}
inline int UploadCCDB(std::span<const std::uint8_t> firmware, std::size_t start, std::size_t length,
                      const ProgressCallback& progress) {
  return UploadCCDB(g_device, firmware, start, length, progress);
}
inline int DownloadEEPROM(VariableSet& variables, const ProgressCallback& progress) {
  return DownloadEEPROM(g_device, variables, progress);
}
inline int UploadEEPROM(VariableSet& variables, const ProgressCallback& progress,
                        bool alreadyLaidOut) {
  return UploadEEPROM(g_device, variables, progress, alreadyLaidOut);
}
inline int ReadUpdateModeVersions(UpdateModeVersions& versions) {
  return ReadUpdateModeVersions(g_device, versions);
}

}  // namespace ktal
