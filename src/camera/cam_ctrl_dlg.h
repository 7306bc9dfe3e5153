// SPDX-License-Identifier: GPL-3.0-or-later
// The camera control window: takes a series of dark frames, stacks them into
// a master dark, shows it and its cosmetized versions while the user picks
// how many hot pixels the camera shall hide in 1x1 and 2x2, stores the new
// maps in the camera and shows the maps stored there.
//
// Threads: the toolkit allows windows only on the user-interface thread, so
// the dark-frame run (DarkFrameRun: exposures, downloads, stacking) runs on
// a worker thread while the progress window runs modally on the
// user-interface thread. The worker is the only one to touch the link while
// it runs: the camera timer skips its query, and the window refuses to
// close. The run reaches the progress window through a DarkRunHost; the two
// share a few flags and the status text under a mutex, which the progress
// window reads on a 10 ms timer. A run always ends with the worker joined,
// and every download restores the link to 250000 baud.
#pragma once

#include <QDialog>
#include <QTimer>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "camera/camera_protocol.h"
#include "camera/dark_frame_run.h"
#include "shell/shell.h"
#include "shell/user_dialogs.h"

class QAction;
class QLabel;
class QLineEdit;
class QPushButton;
class QSlider;

namespace ktal {

class CBitmapRect;

// Control ids; each control's objectName is "control<id>" ("button1" for
// Close).
enum CameraControl : int {
  kIdCamClose = 1,
  kIdReadCurrent = 1000,
  kIdMakeDark = 1001,
  kIdStoreNewMap = 1002,
  kIdCamCanvas = 1034,
  kIdCameraState = 1035,
  kIdMapStatistics = 1036,
  kIdExposures = 1038,
  kIdProgressCancel = 1040,
  kIdProgressText = 1041,
  kIdSlider1x1 = 1042,
  kIdSlider1x1Value = 1043,
  kIdPictureTitle = 1044,
  kIdSlider2x2 = 1045,
  kIdSlider2x2Value = 1046,
};
// The hidden button of the progress window that takes status updates.
inline constexpr int kIdProgressUpdate = 1000;

// The canvas's colour round the picture area (by day; night vision draws
// the whole picture in red).
inline constexpr std::uint32_t kCanvasSurround = 0x202020;

// The dark-frame option dialog: how many exposures to stack.
class CFindHotpxDlg : public QDialog {
  Q_OBJECT
 public:
  explicit CFindHotpxDlg(UserDialogs& dialogs, QWidget* parent = nullptr);

  // "Take dark frame": accepted only with 1 .. 30 exposures; otherwise the
  // user is told the range and the dialog stays open.
  void accept() override;

  int m_nExposures = 5;

 private:
  UserDialogs& dialogs_;
  QLineEdit* exposures_ = nullptr;
};

// The progress window of a dark-frame run and what it shares with the run.
// The object lives for the whole process; its window exists only while a
// run shows it (the toolkit allows no window before the application
// object), and is made anew for each run.
class CProgressHotpxDlg {
 public:
  CProgressHotpxDlg();
  ~CProgressHotpxDlg();
  CProgressHotpxDlg(const CProgressHotpxDlg&) = delete;
  CProgressHotpxDlg& operator=(const CProgressHotpxDlg&) = delete;

  // ---- Any thread ----

  // Hands the next status text to the window and waits until the window
  // has taken the one before, so that no text of the run is skipped. Does
  // not wait once the window is gone.
  void UpdateProgress(const std::string& text);
  bool Cancelled() const;
  // The run is over: the window will close at its next look.
  void SignalRunEnded();

  // ---- User-interface thread ----

  // Clears the flags and the text for a new run.
  void Reset();
  // Shows the window modally. `onReady` runs once its modal loop runs (the
  // worker may start then); `onRunEnded` runs inside the loop once the run
  // has signalled its end, with the window still open, and must call
  // EndDialog. Returns when the window has closed.
  void DoModal(QWidget* owner, std::function<void()> onReady, std::function<void()> onRunEnded);
  // The run's OK command: closes the window.
  void EndDialog();
  // The window while it is shown, else null.
  QDialog* window() const;
  // The Cancel button: switched off, the text says the run is finishing
  // the exposure under way, and later updates no longer change it.
  void OnCancel();
  // Whatever the window is doing, the run shall not wait for it any more
  // and shall stop at its next chance.
  void Abandon();

 private:
  class Window;
  void Poll();

  mutable std::mutex mutex_;
  std::condition_variable taken_;
  // Shared with the run, under mutex_.
  int m_bReady = 0;
  int m_bCancelled = 0;
  int m_bUpdatePending = 0;
  int m_bRunEnded = 0;
  bool abandoned_ = false;
  std::wstring m_strText;

  Window* window_ = nullptr;
  std::function<void()> onRunEnded_;
};

// The one progress window object, shared by every run.
extern CProgressHotpxDlg g_progressDlg;

class CCamCtrlDlg : public QDialog {
  Q_OBJECT
 public:
  // The window talks to `device` alone.
  CCamCtrlDlg(UserDialogs& dialogs, CFtdiDevice& device, QWidget* parent = nullptr);
  ~CCamCtrlDlg() override;

  // Connects, enters camera mode and sets up the timer and the track bars.
  // False when it failed: the user has been told and the window has ended
  // with result 1. exec() runs it first.
  bool Initialise();
  int exec() override;

  // The camera timer's tick.
  void OnTimer();
  bool TimerRunning() const { return m_timer.isActive(); }
  // Whether a dark-frame run holds the link.
  bool RunActive() const { return runActive_; }

  // Every way of closing ends here: stops the timer, leaves camera mode and
  // disconnects, once. Refused while a run holds the link.
  void done(int result) override;

  // View requested and view last drawn (-1: draw at the next Redraw).
  int m_nViewMode = 0;
  int m_nShownMode = 0;
  // The window's copy of the camera's maps.
  HotPixelMapRecord m_maps{};

 protected:
  void mouseMoveEvent(QMouseEvent* event) override;
  void leaveEvent(QEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  class ProgressHost;

  void BuildControls();
  void ShowCameraState(int state);
  // 0 the camera runs; 1 the state query failed; 2 it would not start.
  int EnsureCameraRunning();
  void Redraw();
  // Night vision switched: the notes and the picture in the new colours.
  void OnNightVision(bool on);
  void StyleNotes();
  void OnReadCurrent();
  void OnMakeDark();
  void OnStoreNewMap();
  void OnSlider1x1Moved(int position);
  void OnSlider2x2Moved(int position);
  // The notes beside the track bars.
  void UpdateLevelNote1x1();
  void UpdateLevelNote2x2();
  void UpdateMapChangeNote();
  // Shows an error and ends the window with result 1.
  void Fail(const QString& text, const QString& caption, MessageIcon icon);
  void LeaveCamera();
  // Saving the results as FITS files.
  void UpdateSaveButtons();
  void OnSaveMasterDark();
  void OnSaveHotPixelMap(bool stored);
  // The name the user picks, with ".fits" added when it has no suffix;
  // empty when cancelled.
  QString AskFitsName(const QString& caption, const char* proposed);

  UserDialogs& dialogs_;
  CFtdiDevice& device_;
  ControlGroup runGroup_;
  QTimer m_timer;
  bool runActive_ = false;
  bool initialised_ = false;
  bool ended_ = false;
  bool closed_ = false;
  bool inCameraMode_ = false;
  bool night_ = false;
  // A view drawn before the canvas had its pixels is drawn again at its
  // first paint.
  bool drawnBlank_ = false;

  // After a successful run: the backgrounds of the master and binned
  // darks, and the camera's maps as the run found them (for the
  // comparison beside the 1x1 track bar).
  bool haveDark_ = false;
  int background1x1_ = 0;
  int background2x2_ = 0;
  bool storedKnown_ = false;
  HotPixelMapRecord storedMaps_{};
  // How the master dark was taken, for its FITS file.
  int darkFrames_ = 0;
  double darkExposureSeconds_ = 0;
  std::optional<std::time_t> darkStartUtc_;

  CBitmapRect* m_canvas = nullptr;
  QSlider* m_slider1x1 = nullptr;
  QSlider* m_slider2x2 = nullptr;
  QLabel* cameraState_ = nullptr;
  QLabel* statistics_ = nullptr;
  QLabel* title_ = nullptr;
  QLabel* value1x1_ = nullptr;
  QLabel* value2x2_ = nullptr;
  QLabel* level1x1_ = nullptr;
  QLabel* level2x2_ = nullptr;
  QLabel* mapChange_ = nullptr;
  QPushButton* readCurrent_ = nullptr;
  QPushButton* makeDark_ = nullptr;
  QPushButton* store_ = nullptr;
  QPushButton* close_ = nullptr;
  QPushButton* saveDark_ = nullptr;
  QPushButton* saveMap_ = nullptr;
  QAction* saveStoredMap_ = nullptr;
  QAction* saveNewMap_ = nullptr;
};

}  // namespace ktal
