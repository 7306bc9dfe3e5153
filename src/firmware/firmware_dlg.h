// SPDX-License-Identifier: GPL-3.0-or-later
// The firmware control window: reads the versions installed in the guider,
// loads a firmware file, uploads its images to the hand controller, the
// camera and the CCD board while carrying the stored variables across, and
// starts the hand controller's firmware from its boot loader.
//
// Every device exchange runs on the window's own thread. The upload is
// RunFirmwareUpdate, with the window as its host; its progress callback
// pumps the message queue, so the window keeps painting while its controls
// are switched off.
#pragma once

#include <QDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QString>

#include "firmware/firmware_file.h"
#include "shell/shell.h"

class QCheckBox;
class QLabel;
class QProgressBar;

namespace ktal {

class CFtdiDevice;
class SettingsStore;
class UserDialogs;
struct VersionCheck;

// The progress bar the upload's progress callback moves; set only while an
// upload runs.
extern QProgressBar* g_uploadProgress;

// The progress callback of every transfer of an upload: moves
// g_uploadProgress to `percent` and handles waiting events. Does nothing
// while no upload runs.
void UploadProgress(int percent);

// Control ids; each control's objectName is "control<id>" ("button1" for
// Close).
enum FirmwareControl : int {
  kIdFwClose = 1,
  kIdBrowse = 1000,
  kIdGuiderGroup = 1005,
  kIdFileName = 1007,
  kIdFileDescription = 1008,
  kIdUpload = 1009,
  kIdUpdateCamera = 1012,
  kIdUpdateHandController = 1011,
  kIdDefaultVariables = 1013,
  kIdVersions = 1014,
  kIdCheckVersion = 1015,
  kIdUploadStep = 1016,
  kIdRunFirmware = 1017,
  kIdUploadProgress = 1022,
};

// The "..." button that fills an edit control from an open-file dialog. It
// acts on the release of the left button over it; a release elsewhere (the
// user changed their mind while holding it) opens nothing.
class CBrowseButton : public QPushButton {
  Q_OBJECT
 public:
  // Longest filter kept; a longer one is cut.
  static constexpr int kMaxFilterLength = 999;

  CBrowseButton(UserDialogs& dialogs, const QString& text, QWidget* parent = nullptr);

  // The edit control to fill; none after construction.
  void SetTarget(QLineEdit* target) { target_ = target; }
  QLineEdit* target() const { return target_; }
  // An open-file dialog filter such as "Firmware files (*.fw)"; empty after
  // construction.
  void SetFilter(const QString& filter) { filter_ = filter.left(kMaxFilterLength); }
  const QString& filter() const { return filter_; }
  // Where the dialog starts while the target is empty: the folder a file
  // was last chosen from.
  void SetStartFolder(const QString& folder) { startFolder_ = folder; }

 signals:
  // A file was chosen and put into the target.
  void FileChosen(const QString& file);

 protected:
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  void OpenFileDialog();
  // Runs the dialog from `current`, the target's text, and fills the target.
  void ChooseFile(const QString& current);

  UserDialogs& dialogs_;
  QLineEdit* target_ = nullptr;
  QString filter_;
  QString startFolder_;
  // Set while a mouse release is handled, which opens the dialog itself.
  bool releasing_ = false;
};

class CFirmwareDlg : public QDialog {
  Q_OBJECT
 public:
  // The window talks to `device` alone.
  CFirmwareDlg(UserDialogs& dialogs, CFtdiDevice& device, QWidget* parent = nullptr);
  ~CFirmwareDlg() override;

  // The file loaded from edit 1007; holds nothing (all versions 0) while no
  // valid file is loaded.
  const LoadedFirmware& firmware() const { return firmware_; }

  // Keeps the folder a firmware file is chosen from in `store`, and starts
  // the file dialog there. Without a store the dialog starts where the
  // toolkit starts it and nothing is kept.
  void UseSettings(SettingsStore& store);

  // Every way of closing ends here and closes the link, once. Refused while
  // an upload runs: the upload pumps messages, and a window gone in the
  // middle would leave a half-flashed guider.
  void done(int result) override;

 private:
  void BuildControls();
  void OnFileNameChanged(const QString& name);
  void OnCheckVersion();
  void OnRun();
  void OnUpload();

  // The version readout, from whichever mode the guider is in; a failure
  // is shown in a box too.
  void CheckVersion();
  void ShowVersions(const VersionCheck& check);
  void EndUpload();
  void SetStep(const char* text);
  // Shows why UPLOAD has nothing to do (nullptr: it has a file to send).
  void SetUploadUnavailable(const char* reason);
  void ShowError(const QString& text);

  // The upload's view of the window.
  class UploadHost;

  UserDialogs& dialogs_;
  CFtdiDevice& device_;
  SettingsStore* settings_ = nullptr;
  ControlGroup group_;
  LoadedFirmware firmware_;
  // Why UPLOAD has nothing to send while no firmware is loaded.
  const char* unavailable_ = nullptr;
  bool uploading_ = false;
  bool closed_ = false;

  QLabel* versions_ = nullptr;
  QPushButton* checkVersion_ = nullptr;
  QPushButton* run_ = nullptr;
  QLineEdit* fileName_ = nullptr;
  CBrowseButton* browse_ = nullptr;
  QLabel* description_ = nullptr;
  QCheckBox* defaultVariables_ = nullptr;
  QCheckBox* handController_ = nullptr;
  QCheckBox* camera_ = nullptr;
  QPushButton* upload_ = nullptr;
  QLabel* step_ = nullptr;
  QProgressBar* progress_ = nullptr;
  QLabel* report_ = nullptr;
  QPushButton* close_ = nullptr;
};

}  // namespace ktal
