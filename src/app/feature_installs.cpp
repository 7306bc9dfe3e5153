#include "app/feature_installs.h"

#include "app/launcher_dialog.h"
#include "camera/cam_ctrl_dlg.h"
#include "filesystem/filesystem_dlg.h"
#include "firmware/firmware_dlg.h"
#include "link/ftdi_device.h"
#include "vui/ui_dlg.h"

namespace ktal {

void InstallFileControl(CTVX_DUVO_VerAdiDlg& launcher, UserDialogs& dialogs) {
  launcher.SetFeatureWindow(kIdFileControl, [&dialogs](QWidget*) {
    // No owner: the window gets a taskbar button of its own, and the hidden
    // launcher cannot take it along when minimised.
    CFilesystemDlg window(dialogs);
    window.exec();
  });
}

void InstallFirmwareControl(CTVX_DUVO_VerAdiDlg& launcher, UserDialogs& dialogs) {
  launcher.SetFeatureWindow(kIdFirmwareControl, [&dialogs](QWidget*) {
    // No owner: the window gets a taskbar button of its own.
    CFirmwareDlg window(dialogs);
    window.exec();
  });
}

void InstallCameraControl(CTVX_DUVO_VerAdiDlg& launcher, UserDialogs& dialogs) {
  launcher.SetFeatureWindow(kIdCameraControl, [&dialogs](QWidget*) {
    // No owner: the window gets a taskbar button of its own.
    CCamCtrlDlg window(dialogs);
    window.exec();
  });
}

void InstallVirtualUi(CTVX_DUVO_VerAdiDlg& launcher, UserDialogs& dialogs) {
  launcher.SetFeatureWindow(kIdVirtualUi, [&dialogs](QWidget*) {
    // No owner: the window gets a taskbar button of its own, and the hidden
    // launcher cannot take it along when minimised.
    CUIDlg window(dialogs);
    window.m_pDevice = &g_device;
    window.exec();
  });
}

}  // namespace ktal
