// SPDX-License-Identifier: GPL-3.0-or-later
// Puts each feature window behind its launcher button. They live here, in
// the program, so that no window knows the launcher: a window takes the
// dialog seam (and the device) and nothing of what opens it.
#pragma once

namespace ktal {

class CTVX_DUVO_VerAdiDlg;
class UserDialogs;

// The names under which the settings keep each window's place.
inline constexpr char kLauncherPlace[] = "launcher";
inline constexpr char kFileControlPlace[] = "fileControl";
inline constexpr char kFirmwareControlPlace[] = "firmwareControl";
inline constexpr char kCameraControlPlace[] = "cameraControl";
inline constexpr char kVirtualUiPlace[] = "virtualUi";

// Each window asks the user through `dialogs`, which must outlive the
// launcher, and talks to g_device, the program's one link, handed in here.
// launcher, and opens where the launcher's settings keep it.
void InstallFileControl(CTVX_DUVO_VerAdiDlg& launcher, UserDialogs& dialogs);
void InstallFirmwareControl(CTVX_DUVO_VerAdiDlg& launcher, UserDialogs& dialogs);
void InstallCameraControl(CTVX_DUVO_VerAdiDlg& launcher, UserDialogs& dialogs);
void InstallVirtualUi(CTVX_DUVO_VerAdiDlg& launcher, UserDialogs& dialogs);

}  // namespace ktal
