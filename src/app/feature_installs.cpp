// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/feature_installs.h"

#include "app/launcher_dialog.h"
#include "camera/cam_ctrl_dlg.h"
#include "filesystem/filesystem_dlg.h"
#include "firmware/firmware_dlg.h"
#include "link/ftdi_device.h"
#include "shell/window_place.h"
#include "vui/ui_dlg.h"

namespace ktal {

void InstallFileControl(CTVX_DUVO_VerAdiDlg& launcher, UserDialogs& dialogs) {
  launcher.SetFeatureWindow(kIdFileControl, [&launcher, &dialogs](QWidget*) {
    // No owner: the window gets a taskbar button of its own, and the hidden
    // launcher cannot take it along when minimised.
    CFilesystemDlg window(dialogs, g_device);
    window.UseSettings(launcher.settings());
    ExecInKeptPlace(window, launcher.settings(), kFileControlPlace);
  });
}

void InstallFirmwareControl(CTVX_DUVO_VerAdiDlg& launcher, UserDialogs& dialogs) {
  launcher.SetFeatureWindow(kIdFirmwareControl, [&launcher, &dialogs](QWidget*) {
    // No owner: the window gets a taskbar button of its own.
    CFirmwareDlg window(dialogs, g_device);
    window.UseSettings(launcher.settings());
    ExecInKeptPlace(window, launcher.settings(), kFirmwareControlPlace);
  });
}

void InstallCameraControl(CTVX_DUVO_VerAdiDlg& launcher, UserDialogs& dialogs) {
  launcher.SetFeatureWindow(kIdCameraControl, [&launcher, &dialogs](QWidget*) {
    // No owner: the window gets a taskbar button of its own.
    CCamCtrlDlg window(dialogs, g_device);
    ExecInKeptPlace(window, launcher.settings(), kCameraControlPlace);
  });
}

void InstallVirtualUi(CTVX_DUVO_VerAdiDlg& launcher, UserDialogs& dialogs) {
  launcher.SetFeatureWindow(kIdVirtualUi, [&launcher, &dialogs](QWidget*) {
    // No owner: the window gets a taskbar button of its own, and the hidden
    // launcher cannot take it along when minimised.
    CUIDlg window(dialogs);
    window.m_pDevice = &g_device;
    ExecInKeptPlace(window, launcher.settings(), kVirtualUiPlace);
  });
}

}  // namespace ktal
