// SPDX-License-Identifier: GPL-3.0-or-later
// The launcher: the program's one top-level window. Each feature button
// hides it, runs the feature window modally and shows it again; Power ON and
// RESET act directly.
#pragma once

#include <QDialog>
#include <QIcon>
#include <functional>
#include <map>

class QCheckBox;
#include "shell/settings_store.h"

class QLabel;
class QPushButton;

namespace ktal {

class NightMode;
class UserDialogs;

// Control ids of the launcher.
enum LauncherControl : int {
  kIdExit = 1,
  kIdFileControl = 1000,
  kIdFirmwareControl = 1001,
  kIdCameraControl = 1002,
  kIdVirtualUi = 1017,
  kIdAbout = 1018,
  kIdPowerOn = 1019,
  kIdReset = 1020,
};

// Command id of the About entry; the low four bits are free for the system.
inline constexpr int kIdmAboutBox = 0x0010;

class CAboutDlg : public QDialog {
  Q_OBJECT
 public:
  explicit CAboutDlg(QWidget* parent = nullptr);
};

class CTVX_DUVO_VerAdiDlg : public QDialog {
  Q_OBJECT
 public:
  // Runs one feature window modally. The launcher is hidden meanwhile.
  using FeatureWindow = std::function<void(QWidget* parent)>;

  explicit CTVX_DUVO_VerAdiDlg(UserDialogs& dialogs, QWidget* parent = nullptr);

  // A feature button stays disabled until its window is set.
  void SetFeatureWindow(int controlId, FeatureWindow window);
  QPushButton* Button(int controlId) const;
  // What Power ON or RESET last did, or why nothing happened.
  QString StatusText() const;
  // Adds a note on what the program talks to to the caption; an empty name
  // leaves the plain caption.
  void SetLinkName(const QString& name);
  // The "Night vision" check box switches `mode` and follows it; without a
  // mode the box is not shown. Called once.
  void SetNightMode(NightMode* mode);
  QCheckBox* NightVisionBox() const { return nightVision_; }
  // The settings the program keeps, lent to the feature windows it opens;
  // until one is set, the launcher's own defaults, which keep nothing.
  void SetSettingsStore(SettingsStore& store) { settings_ = &store; }
  SettingsStore& settings() const { return *settings_; }

  // Handles a command of the window menu; 0x0010..0x001F open the About box.
  // True when handled.
  bool OnSysCommand(int commandId);

 protected:
  void contextMenuEvent(QContextMenuEvent* event) override;

 private:
  QPushButton* AddButton(int controlId, const QString& text);
  void OpenFeature(int controlId);
  void ShowStatus(const QString& text);
  void OnPowerOn();
  void OnReset();
  void OnAbout();

  UserDialogs& dialogs_;
  QIcon icon_;
  QLabel* status_ = nullptr;
  QCheckBox* nightVision_ = nullptr;
  std::map<int, QPushButton*> buttons_;
  std::map<int, FeatureWindow> features_;
  SettingsStore defaults_;
  SettingsStore* settings_ = &defaults_;
};

}  // namespace ktal
