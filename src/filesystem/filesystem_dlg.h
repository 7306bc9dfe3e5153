// SPDX-License-Identifier: GPL-3.0-or-later
// The file control window: lists the guider's logs, downloads and
// processes the chosen ones, or processes a raw file already on disk, and
// holds the report settings the processing uses.
//
// The guider is put into file-system mode by the first Refresh and stays
// there while the window is open; closing the window takes it out again and
// disconnects. The download itself is RunDownloadAndProcess; the window is
// its host.
#pragma once

#include <QDialog>
#include <filesystem>
#include <functional>
#include <string>

#include "filesystem/download_run.h"
#include "shell/settings_store.h"
#include "shell/shell.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QTableWidget;

namespace ktal {

class UserDialogs;

// The raw file last chosen for local-file mode in any file control window
// of this process: processed in local-file mode, and where the next
// open-file dialog starts. Empty until one is chosen.
extern std::filesystem::path g_lastLocalFile;

// Control ids; each control's objectName is "control<id>" ("button1" for
// Close).
enum FilesystemControl : int {
  kIdFsClose = 1,
  kIdSelectNewFiles = 1000,
  kIdFileList = 1002,
  kIdShowDeleted = 1003,
  kIdDownloadProcess = 1004,
  kIdRunStatus = 1018,
  kIdGenerateHtml = 1019,
  kIdGeneratePe = 1020,
  kIdFocalLength = 1021,
  kIdWormPeriod = 1022,
  kIdStarDec = 1023,
  kIdUseLocalFile = 1025,
  kIdLocalFileName = 1026,
  kIdRefreshFiles = 1027,
  kIdCsvFormat = 1052,
};

// Object names of the controls the window adds to its template's.
inline constexpr char kPhd2GuideLogName[] = "controlPhd2GuideLog";
inline constexpr char kOutputFolderName[] = "controlOutputFolder";
inline constexpr char kChooseOutputFolderName[] = "controlChooseOutputFolder";

class CFilesystemDlg : public QDialog, private DownloadRunHost {
  Q_OBJECT
 public:
  // Refreshes at once, quietly, on `device`: with no guider attached the
  // list is just empty. The window talks to `device` alone.
  CFilesystemDlg(UserDialogs& dialogs, CFtdiDevice& device, QWidget* parent = nullptr);
  ~CFilesystemDlg() override;

  // Shows the report settings and the output folder `store` keeps, and
  // keeps them there: the report settings at each press of the run button
  // and when the window closes, the output folder and the local file's
  // folder when chosen. Without a store the window starts on the defaults
  // and keeps nothing.
  void UseSettings(SettingsStore& store);
  // The folder downloads are processed into: the one chosen, else the
  // start-up directory.
  std::filesystem::path OutputRoot() const;

  // Enters file-system mode (after the normal-mode handshake when the link
  // is closed) and lists the directory.
  void OnRefreshFiles();
  // Fills the list from the guider's directory page, highest entry index
  // first. 0, or 1 when the page cannot be read (the list stays empty).
  int ListDirectory() override;

  // Every way of closing ends here: leaves file-system mode and
  // disconnects, once. Refused while a run is under way, since the run
  // pumps messages and would lose its link under it.
  void done(int result) override;

 protected:
  // Notes the key typed into a settings field, for the hint when the field
  // refuses it.
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void BuildControls();
  void OnSelectNewFiles();
  void OnShowDeleted(bool checked);
  void OnUseLocalFile(bool checked);
  void OnDownloadProcess();
  void OnChooseOutputFolder();
  // Shows where the next run writes: the output folder, or in local-file
  // mode without a chosen one the local file's folder.
  void ShowOutputFolder();
  // The folder the next run writes into (for a download, the folder the
  // files' own folders go under).
  std::filesystem::path RunFolder() const;
  // False, after saying which folder and why, when `folder` cannot take
  // the run's outputs.
  bool OutputFolderUsable(const std::filesystem::path& folder);
  // The report settings as the controls show them; a field that holds no
  // valid value keeps what was kept before.
  KeptReportSettings ReportChoices() const;
  void KeepReportChoices();
  // Says at once, below the settings, that the field `name` did not take
  // what was typed, and what it takes (`rule`).
  void OnSettingRefused(const QString& name, const QString& rule);
  // Opens the output `name` (the report or the analysis page) of the row's
  // file through the desktop, when it exists.
  void OpenOutputOfRow(int row, const char* name);
  // Reads the three periodic-error settings into their globals; false
  // (after saying why, with the focus on the field) when one is invalid.
  bool ReadPeriodicErrorSettings();
  void RestoreDownloadControls();
  // The row whose outputs "Open report" and "Open analysis" open: the
  // current row when it is selected, else the top selected row; -1 for
  // none.
  int ReportRow() const;
  // The output `name` in the row's folder; empty when it does not exist.
  std::filesystem::path OutputOfRow(int row, const char* name) const;
  // Enables each opener whose file the row's folder holds.
  void UpdateOpenReport();
  void LeaveGuider();

  // DownloadRunHost
  void SetStatusText(const std::string& text) override;
  void PumpMessages() override;
  void ShowMessage(const std::string& text, const std::string& caption, RunIcon icon) override;
  void SetBusy(bool busy) override;
  void SetProgress(const RunProgress& progress) override;
  bool CancelRequested() override { return cancelRequested_; }
  void RunAside(const std::function<void()>& work) override;
  void RestoreDownloadMode() override;

  // Asks the run under way to stop between two page reads.
  void OnCancelRun();
  // What the link's waits handle meanwhile: everything while the run holds
  // the controls; afterwards (its last wait and listing) nothing the user
  // does, which would reach the link under the run's feet.
  void PumpWhileLinkWaits();

  UserDialogs& dialogs_;
  CFtdiDevice& device_;
  SettingsStore* settings_ = nullptr;
  // The output folder chosen; empty for the start-up directory.
  QString outputFolder_;
  ControlGroup busyGroup_;
  ControlGroup localModeGroup_;
  std::filesystem::path localFolder_;
  bool quiet_ = true;
  bool showDeleted_ = false;
  bool busy_ = false;
  bool closed_ = false;
  // The run under way reads from the guider, so Cancel can stop it.
  bool downloading_ = false;
  bool cancelRequested_ = false;

  QPushButton* refresh_ = nullptr;
  QTableWidget* list_ = nullptr;
  QPushButton* selectNew_ = nullptr;
  QCheckBox* showDeletedBox_ = nullptr;
  QPushButton* useLocal_ = nullptr;
  QLabel* localName_ = nullptr;
  QPushButton* download_ = nullptr;
  QComboBox* csvFormat_ = nullptr;
  QCheckBox* html_ = nullptr;
  QCheckBox* pe_ = nullptr;
  QCheckBox* phd2_ = nullptr;
  QLineEdit* focalLength_ = nullptr;
  QLineEdit* wormPeriod_ = nullptr;
  QLineEdit* starDec_ = nullptr;
  QLabel* settingsHint_ = nullptr;
  QLineEdit* outputFolderField_ = nullptr;
  QPushButton* chooseOutput_ = nullptr;
  // The text of the last key pressed in a settings field.
  QString lastKey_;
  QLabel* status_ = nullptr;
  // Beside the status: the file being read, its place in the run and the
  // pages read.
  QLabel* runProgress_ = nullptr;
  QProgressBar* progress_ = nullptr;
  QPushButton* cancel_ = nullptr;
  QPushButton* openReport_ = nullptr;
  QPushButton* openAnalysis_ = nullptr;
  QPushButton* close_ = nullptr;
};

}  // namespace ktal
