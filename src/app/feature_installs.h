// Puts each feature window behind its launcher button. They live here, in
// the program, so that no window knows the launcher: a window takes the
// dialog seam (and the device) and nothing of what opens it.
#pragma once

namespace ktal {

class CTVX_DUVO_VerAdiDlg;
class UserDialogs;

// Each window asks the user through `dialogs`, which must outlive the
// launcher.
void InstallFileControl(CTVX_DUVO_VerAdiDlg& launcher, UserDialogs& dialogs);
void InstallFirmwareControl(CTVX_DUVO_VerAdiDlg& launcher, UserDialogs& dialogs);
void InstallCameraControl(CTVX_DUVO_VerAdiDlg& launcher, UserDialogs& dialogs);
// The virtual user interface talks to g_device.
void InstallVirtualUi(CTVX_DUVO_VerAdiDlg& launcher, UserDialogs& dialogs);

}  // namespace ktal
