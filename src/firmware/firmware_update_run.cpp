// SPDX-License-Identifier: GPL-3.0-or-later
#include "firmware/firmware_update_run.h"

#include <cstdio>
#include <ctime>
#include <optional>
#include <span>
#include <vector>

#include "firmware/update_protocol.h"
#include "firmware/variable_set.h"
#include "link/bounded_text.h"
#include "link/ftdi_device.h"
#include "link/handshakes.h"
#include "link/printf.h"

namespace ktal {

namespace {

constexpr char kNotConnectedText[] =
    "ERROR: Can't connect to TVX-DUVO. Device may not be connected via USB.\n %s";
constexpr char kTurnedOffText[] =
    "ERROR: Can't connect to TVX-DUVO. Device may be turned off.\n %s";
constexpr char kUploadFailedText[] =
    "ERROR: uploading FAILED\n\n - firmware may not be valid\n - communication fault during "
    "uploading";
constexpr char kCrcErrorText[] = "CRC error in firmware\n";

// Beyond the plain upload: the variables are read before anything is
// flashed, so a failed read stops it there.
constexpr char kReadVariablesFailedText[] =
    "ERROR: reading the stored variables FAILED\n\nNothing was uploaded.";
constexpr char kBackupFailedQuestion[] =
    "The variables read from the guider could not be saved to\n%s\n(%s)\n\n"
    "Continue uploading the firmware?";
constexpr char kNotRestoredText[] = "ERROR: the stored variables were NOT restored";
constexpr char kNotRestoredStep[] = "Variables NOT restored";
constexpr char kNothingUploadedStep[] = "Nothing uploaded";

// The connect texts carry the handshake's message, cut to this length.
constexpr std::size_t kConnectTextSize = 1000 + 1;
constexpr int kVersionWordBytes = 2;

std::string Trimmed(const std::string& text) {
  constexpr char kSpace[] = " \t\n\v\f\r";
  const std::size_t first = text.find_first_not_of(kSpace);
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(kSpace) - first + 1);
}

std::string ProtocolMessage() { return g_protocolMessage; }

std::span<const std::uint8_t> Transferred(const VariableSet& variables) {
  return std::span(variables.image.data(), kEepromTransferSize);
}

// One update: its request, its window, and what it carries from step to
// step.
class UpdateRun {
 public:
  UpdateRun(CFtdiDevice& device, const FirmwareUpdateRequest& request, FirmwareUpdateHost& host)
      : device_(device),
        request_(request),
        host_(host),
        progress_([&host](int percent) { host.SetProgress(percent); }) {}

  FirmwareUpdateResult Run();

 private:
  FirmwareUpdateResult& Fail(FirmwareUpdateEnd end, const std::string& text) {
    result_.end = end;
    result_.failureText = text;
    result_.protocolMessage = ProtocolMessage();
    return result_;
  }
  void SetStep(const char* text) { host_.SetStep(text); }
  bool SaveBackup();
  bool RestoreVariables();
  // Reads the EEPROM back and compares it with what was written: empty
  // when it matches, else what went wrong.
  std::optional<std::string> VerifyRestore();

  CFtdiDevice& device_;
  const FirmwareUpdateRequest& request_;
  FirmwareUpdateHost& host_;
  const ProgressCallback progress_;
  // The variables carried across. Kept as laid out for the new firmware
  // until they are restored, so that a retry writes the very same bytes.
  VariableSet variables_;
  FirmwareUpdateResult result_;
};

FirmwareUpdateResult UpdateRun::Run() {
  const LoadedFirmware& firmware = request_.firmware;
  const int connected = EnterDeviceMode(device_, kUpdateMode);
  if (connected != 0) {
    char text[kConnectTextSize];
    FormatBounded(text, sizeof text, connected < 0 ? kNotConnectedText : kTurnedOffText,
                  g_protocolMessage);
    return Fail(FirmwareUpdateEnd::kNotConnected, text);
  }

  variables_.SetDefaults();
  if (!request_.defaultVariables && request_.handController) {
    SetStep("Reading variables");
    if (DownloadEEPROM(device_, variables_, progress_) != 0) {
      return Fail(FirmwareUpdateEnd::kVariablesNotRead, kReadVariablesFailedText);
    }
    if (!SaveBackup()) {
      SetStep(kNothingUploadedStep);
      result_.end = FirmwareUpdateEnd::kBackupDeclined;
      return result_;
    }
  }
  host_.PumpMessages();

  const std::span<const std::uint8_t> file(firmware.contents);
  if (request_.handController) {
    SetStep("Updating HandController");
    if (UploadHC(device_, file, firmware.hcOffset + kVersionWordBytes, firmware.hcImageLength,
                 progress_) != 0) {
      return Fail(FirmwareUpdateEnd::kUploadFailed, kUploadFailedText);
    }
    variables_.SetImageVersion(firmware.hcVersion);
    if (!RestoreVariables()) {
      // Nothing more is flashed into a guider whose settings are not in
      // place; the user has been told, and "Done" is never shown.
      SetStep(kNotRestoredStep);
      host_.AddReport(kNotRestoredStep);
      return Fail(FirmwareUpdateEnd::kNotRestored, kNotRestoredText);
    }
  }
  // A camera section with a version but no image bytes has nothing to send.
  if (firmware.cameraVersion != 0 && firmware.cameraImageLength > 0 && request_.camera) {
    SetStep("Updating Camera 1/2");
    if (UploadCam(device_, file, firmware.cameraOffset + kVersionWordBytes,
                  firmware.cameraImageLength, progress_) != 0) {
      return Fail(FirmwareUpdateEnd::kUploadFailed, kUploadFailedText);
    }
  }
  if (firmware.ccdbVersion != 0 && request_.camera) {
    SetStep("Updating Camera 2/2");
    if (UploadCCDB(device_, file, firmware.ccdbOffset + kVersionWordBytes,
                   LoadedFirmware::ccdbImageLength, progress_) != 0) {
      return Fail(FirmwareUpdateEnd::kUploadFailed, kUploadFailedText);
    }
  }

  host_.PumpMessages();
  SetStep("Done");
  result_.versions = CheckGuiderVersions(device_);
  DisconnectDevice(device_);
  result_.end = FirmwareUpdateEnd::kDone;
  return result_;
}

bool UpdateRun::SaveBackup() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  VariableBackup& backup = result_.backup;
  backup = SaveVariableBackup(Transferred(variables_), variables_.ImageVersion(), local,
                              request_.backupFolder);
  if (backup.Saved()) {
    host_.AddReport("Variables read from the guider saved to:\n" + backup.path.string());
    return true;
  }
  const std::string question =
      Printf(kBackupFailedQuestion, request_.backupFolder.c_str(), backup.error.c_str());
  if (!host_.Ask(question, "WARNING", AskButtons::kYesNo)) return false;
  host_.AddReport("Variables read from the guider NOT saved");
  return true;
}

bool UpdateRun::RestoreVariables() {
  for (bool retry = false;; retry = true) {
    SetStep("Restoring variables");
    std::string reason;
    // A failed transfer has closed the link: the retry starts again with
    // the handshake. The image is laid out afresh each time, which changes
    // nothing, since the variables have not changed.
    if (retry && EnterDeviceMode(device_, kUpdateMode) != 0) {
      reason = ProtocolMessage();
    } else if (UploadEEPROM(device_, variables_, progress_, false) != 0) {
      reason = ProtocolMessage();
    } else {
      SetStep("Verifying variables");
      const std::optional<std::string> problem = VerifyRestore();
      if (!problem) {
        host_.AddReport(DescribeReadBack({}));
        return true;
      }
      reason = *problem;
    }

    std::string text = std::string(kNotRestoredText) + ".\n\n" + Trimmed(reason) +
                       "\n\nThe new firmware is in place; until its variables are restored, the "
                       "guider runs with settings laid out for another version.";
    const VariableBackup& backup = result_.backup;
    if (backup.Saved() && !backup.path.empty()) {
      text += "\nThe variables read before the update are saved in\n" + backup.path.string();
    }
    text += "\n\nRetry restoring the variables?";
    if (!host_.Ask(text, "ERROR", AskButtons::kRetryCancel)) return false;
    ++result_.restoreRetries;
  }
}

std::optional<std::string> UpdateRun::VerifyRestore() {
  VariableSet readBack;
  readBack.SetDefaults();
  if (DownloadEEPROM(device_, readBack, progress_) != 0) {
    return "The variables written could not be read back to check them.\n" + ProtocolMessage();
  }
  const std::vector<int> differing =
      DifferingOffsets(Transferred(variables_), Transferred(readBack));
  if (differing.empty()) return std::nullopt;
  host_.AddReport(DescribeReadBack(differing));
  return DescribeReadBack(differing);
}

}  // namespace

FirmwareUpdateResult RunFirmwareUpdate(CFtdiDevice& device, const FirmwareUpdateRequest& request,
                                       FirmwareUpdateHost& host) {
  return UpdateRun(device, request, host).Run();
}

std::string DeviceFailureText(const CFtdiDevice& device) {
  // errorText rather than errorString: read and write time-outs, the usual
  // failures here, update only the former, and the latter would name some
  // older failure or nothing.
  return Printf("FTDI: %s\n", device.errorText);
}

VersionCheck CheckGuiderVersions(CFtdiDevice& device) {
  const auto fail = [](const std::string& text) { return VersionCheck{false, text}; };

  // From the boot loader the firmware is started first; a firmware running
  // in normal mode is switched to update mode, where the versions are read.
  int mode = ProbeDeviceMode(device);
  if (mode == kBootMode) {
    if (StartFirmware(device) != 0) return fail(DeviceFailureText(device));
    mode = ProbeDeviceMode(device);
  }
  if (mode < 0) return fail(DeviceFailureText(device));
  if (mode == kNormalMode && EnterDeviceMode(device, kUpdateMode) != 0) {
    return fail(DeviceFailureText(device));
  }

  UpdateModeVersions read;
  // A partial answer is no version either.
  if (ReadUpdateModeVersions(device, read) != 0) return fail(DeviceFailureText(device));
  if (read.firmwareStatus != 0) return fail(kCrcErrorText);

  std::string text = Printf("HandController BOOT: $%02x\n", read.bootVersion);
  text += Printf("  ... firmware: $%04x\n", read.firmwareVersion);
  if (read.cameraStatus != 0) {
    text += Printf("\ncan't get camera boot version: cam error $%02x\n", read.cameraStatus);
  } else {
    text += Printf("Camera BOOT: $%02x\n", read.cameraBootVersion);
    text += Printf("  ... firmware: $%04x\n", read.cameraFirmwareVersion);
  }
  return {true, text};
}

}  // namespace ktal
