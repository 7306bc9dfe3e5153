// SPDX-License-Identifier: GPL-3.0-or-later
// The firmware update: the work behind the firmware window's UPLOAD button,
// and the version readout it ends with.
//
// With the guider in update mode the run reads its stored variables and
// saves a copy of them before anything is flashed, flashes the hand
// controller, writes the variables back under the new firmware's layout and
// reads them back to check them, flashes the camera and its CCD board,
// reads the versions and closes the link. It talks to its window only
// through FirmwareUpdateHost and to the guider only through the link it is
// handed, so it runs the same under a test as under the real window.
#pragma once

#include <filesystem>
#include <string>

#include "firmware/firmware_file.h"
#include "firmware/variable_backup.h"
#include "link/ftdi_device.h"

namespace ktal {

enum class AskButtons { kYesNo, kRetryCancel };

// What the run needs of its window.
class FirmwareUpdateHost {
 public:
  virtual ~FirmwareUpdateHost() = default;
  // The name of the step now running; its progress starts again at 0.
  virtual void SetStep(const std::string& text) = 0;
  // The running step's progress, 0 to 100, from inside the transfers; the
  // window repaints between two bytes.
  virtual void SetProgress(int percent) = 0;
  // Lets the window repaint and move while the run blocks its thread.
  virtual void PumpMessages() = 0;
  // A question in a box with the exclamation icon: true for Yes or Retry.
  virtual bool Ask(const std::string& text, const std::string& caption, AskButtons buttons) = 0;
  // A line for the window's report: where the variables read went, and
  // whether they came back as written.
  virtual void AddReport(const std::string& line) = 0;
};

struct FirmwareUpdateRequest {
  // The loaded file; it must hold hand-controller firmware (HasFirmware).
  LoadedFirmware firmware;
  bool handController = true;
  bool camera = true;
  // Write the new firmware's default variables instead of the stored ones.
  bool defaultVariables = false;
  // Where the copy of the variables read from the guider is saved.
  std::filesystem::path backupFolder;
};

// The readout of the installed versions: the text to show, either the
// versions or why there are none.
struct VersionCheck {
  bool ok = false;
  std::string text;
};

enum class FirmwareUpdateEnd {
  kDone,              // every image asked for was sent; `versions` says what the guider reads
  kNotConnected,      // update mode could not be entered; nothing sent
  kVariablesNotRead,  // the stored variables could not be read; nothing flashed
  kBackupDeclined,    // their copy could not be saved and the user stopped; nothing flashed
  kUploadFailed,      // a firmware transfer failed
  kNotRestored,       // the hand controller was flashed, its variables not restored
};

struct FirmwareUpdateResult {
  FirmwareUpdateEnd end = FirmwareUpdateEnd::kDone;
  // Unless done: the text the window shows for the failure (none for a
  // declined backup). The window puts it into an "ERROR" box together with
  // `protocolMessage`, but for a failed restore, which the run has told in
  // its own box already.
  std::string failureText;
  // The protocol's own reason, as the failing step left it.
  std::string protocolMessage;
  VersionCheck versions;
  // The copy of the variables read; empty when none were read.
  VariableBackup backup;
  // Restores offered again after a failed one.
  int restoreRetries = 0;
};

// The update as the window runs it. Ends with the link closed when done;
// after a failure the link is left as the failing step left it.
FirmwareUpdateResult RunFirmwareUpdate(CFtdiDevice& device, const FirmwareUpdateRequest& request,
                                       FirmwareUpdateHost& host);
// On g_device.
inline FirmwareUpdateResult RunFirmwareUpdate(const FirmwareUpdateRequest& request,
                                              FirmwareUpdateHost& host) {
  return RunFirmwareUpdate(g_device, request, host);
}

// Reads the installed versions in update mode from whichever mode the guider
// is in: its firmware is started from the boot loader first, and a firmware
// in normal mode is switched to update mode. The link is left as it is.
VersionCheck CheckGuiderVersions(CFtdiDevice& device);

// "FTDI: <the device's reason for its last failure>\n".
std::string DeviceFailureText(const CFtdiDevice& device);

}  // namespace ktal
