// SPDX-License-Identifier: GPL-3.0-or-later
#include "camera/cam_ctrl_dlg.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QFontMetrics>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMouseEvent>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QSlider>
#include <QVBoxLayout>
#include <algorithm>
#include <cstring>
#include <thread>

#include "camera/dark_frames.h"
#include "camera/fits_export.h"
#include "camera/hot_pixel_summary.h"
#include "canvas/bitmap_rect.h"
#include "link/ftdi_device.h"
#include "link/handshakes.h"
#include "shell/application_icon.h"
#include "shell/night_mode.h"
#include "shell/qt_text.h"
#include "shell/startup_directory.h"
#include "shell/user_dialogs.h"

namespace ktal {

CProgressHotpxDlg g_progressDlg;

namespace {

constexpr char kCaption[] = "TVX Camera control dialog";
constexpr char kOptionsCaption[] = "Dark frame option";
constexpr char kProgressCaption[] = "Taking dark frames...";
constexpr char kCancelWait[] = "Please wait while the last exposure ends...";

constexpr int kTimerMs = 1000;
constexpr int kMinExposures = 1;
constexpr int kMaxExposures = 30;
constexpr int kDefault1x1 = 50;
constexpr int kDefault2x2 = 30;
// How often the progress window looks at what the run has left for it.
constexpr int kProgressPollMs = 10;
// The oldest firmware with camera mode.
constexpr std::uint16_t kCameraModeVersion = 0x0204;

// The picture: 255 x 183 dialog units of the window's 8-point font, with
// the 376 x 291 picture area centred in it.
constexpr int kCanvasWidth = 382;
constexpr int kCanvasHeight = 297;

// Colours of the stored map's classes (ClassifyHotPixel), class 0 first.
constexpr std::uint32_t kClassColours[5] = {0x0000FF, 0xF00000, 0xF08080, 0x80E080, 0x808080};

// Night vision draws the picture in red: a dark's grey levels as levels of
// red, the surround dim, and the map's classes as shades of red, brightest
// for the pixels the camera cannot hide and dimmest for the single ones.
constexpr std::uint32_t kNightSurround = 0x200000;
constexpr std::uint32_t kNightClassColours[5] = {0xFF0000, 0xDC0000, 0xB80000, 0x960000, 0x780000};
// The notes beside the track bars, set apart from the window's text.
constexpr char kDayNoteStyle[] = "color: #404080";
constexpr char kNightNoteStyle[] = "color: #a00000";

QString ObjectName(int id) {
  return id == kIdCamClose ? QString("button1") : QString("control%1").arg(id);
}

std::wstring Widen(const std::string& text) { return QString::fromStdString(text).toStdWString(); }

}  // namespace

// ---- The option dialog ----

CFindHotpxDlg::CFindHotpxDlg(UserDialogs& dialogs, QWidget* parent)
    : QDialog(parent), dialogs_(dialogs) {
  setWindowTitle(kOptionsCaption);
  auto* layout = new QVBoxLayout(this);
  auto* row = new QHBoxLayout;
  row->addWidget(new QLabel("Number of exposures", this));
  exposures_ = new QLineEdit(QString::number(m_nExposures), this);
  exposures_->setObjectName(ObjectName(kIdExposures));
  exposures_->setValidator(
      new QRegularExpressionValidator(QRegularExpression("[0-9]*"), exposures_));
  exposures_->setMaximumWidth(60);
  row->addWidget(exposures_);
  row->addWidget(new QLabel("(1 ... 30)", this));
  row->addStretch();
  layout->addLayout(row);
  auto* method = new QLabel(
      "Artificial Skepticism Stacking method is used for creating the master frame.", this);
  method->setWordWrap(true);
  layout->addWidget(method);
  auto* warning = new QLabel(
      "Before continuing, please ensure that the CCD is not lit, the Camera is in dark!\n\nOne "
      "exposure takes 4 seconds, while donwloading the frame takes about 10 seconds. Creating a "
      "good dark could take a few minutes.",
      this);
  warning->setWordWrap(true);
  layout->addWidget(warning);
  auto* buttons = new QHBoxLayout;
  auto* take = new QPushButton("Take dark frame", this);
  take->setObjectName("button1");
  take->setDefault(true);
  auto* cancel = new QPushButton("Cancel", this);
  cancel->setObjectName("button2");
  connect(take, &QPushButton::clicked, this, &CFindHotpxDlg::accept);
  connect(cancel, &QPushButton::clicked, this, &CFindHotpxDlg::reject);
  buttons->addStretch();
  buttons->addWidget(take);
  buttons->addWidget(cancel);
  layout->addLayout(buttons);
  // Wrapped texts need a fixed width to get their height right.
  for (QLabel* label : {method, warning}) label->setFixedWidth(400);
  layout->setSizeConstraint(QLayout::SetFixedSize);
}

void CFindHotpxDlg::accept() {
  bool ok = false;
  const int value = exposures_->text().toInt(&ok);
  if (!ok || value < kMinExposures || value > kMaxExposures) {
    dialogs_.ShowMessage(
        this, QString("Enter an integer between %1 and %2.").arg(kMinExposures).arg(kMaxExposures),
        QCoreApplication::applicationName(), MessageIcon::Exclamation, MessageButtons::Ok);
    exposures_->setFocus();
    exposures_->selectAll();
    return;
  }
  m_nExposures = value;
  QDialog::accept();
}

// ---- The progress window ----

// Closes only by the run's OK command: Esc, Enter and the title bar could
// otherwise end it while the run still hands it texts.
class CProgressHotpxDlg::Window : public QDialog {
 public:
  Window(CProgressHotpxDlg& owner, QWidget* parent) : QDialog(parent), owner_(owner) {
    setWindowTitle(kProgressCaption);
    setWindowFlags(Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
    auto* layout = new QVBoxLayout(this);
    text = new QLabel(this);
    text->setObjectName(ObjectName(kIdProgressText));
    text->setMinimumWidth(280);
    layout->addWidget(text);
    cancel = new QPushButton("Cancel", this);
    cancel->setObjectName(ObjectName(kIdProgressCancel));
    // Enter on the focused Cancel presses it, as Space does.
    cancel->setAutoDefault(true);
    layout->addWidget(cancel, 0, Qt::AlignHCenter);
    m_btnUpdate = new QPushButton(this);
    m_btnUpdate->setObjectName(QString("control%1").arg(kIdProgressUpdate));
    m_btnUpdate->hide();
    connect(cancel, &QPushButton::clicked, this, [this] { owner_.OnCancel(); });
    poll.setInterval(kProgressPollMs);
    connect(&poll, &QTimer::timeout, this, [this] { owner_.Poll(); });
    poll.start();
  }

  void Close() {
    closing_ = true;
    QDialog::done(Accepted);
  }
  void done(int result) override {
    if (closing_) QDialog::done(result);
  }
  // Esc presses Cancel; Enter elsewhere than on Cancel does nothing.
  void reject() override {
    if (cancel->isEnabled()) cancel->click();
  }

  QLabel* text = nullptr;
  QPushButton* cancel = nullptr;
  QPushButton* m_btnUpdate = nullptr;
  QTimer poll;

 protected:
  void keyPressEvent(QKeyEvent* event) override {
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) return;
    QDialog::keyPressEvent(event);
  }
  void closeEvent(QCloseEvent* event) override {
    if (!closing_) {
      event->ignore();
      reject();
      return;
    }
    QDialog::closeEvent(event);
  }

 private:
  CProgressHotpxDlg& owner_;
  bool closing_ = false;
};

CProgressHotpxDlg::CProgressHotpxDlg() = default;
CProgressHotpxDlg::~CProgressHotpxDlg() = default;

void CProgressHotpxDlg::UpdateProgress(const std::string& text) {
  std::unique_lock lock(mutex_);
  taken_.wait(lock, [this] { return m_bUpdatePending == 0 || abandoned_; });
  m_strText = Widen(text);
  m_bUpdatePending = 1;
}

bool CProgressHotpxDlg::Cancelled() const {
  std::lock_guard lock(mutex_);
  return m_bCancelled != 0;
}

void CProgressHotpxDlg::SignalRunEnded() {
  std::lock_guard lock(mutex_);
  m_bRunEnded = 1;
}

void CProgressHotpxDlg::Reset() {
  std::lock_guard lock(mutex_);
  m_bReady = 0;
  m_bCancelled = 0;
  m_bUpdatePending = 0;
  m_bRunEnded = 0;
  abandoned_ = false;
  m_strText.clear();
}

void CProgressHotpxDlg::DoModal(QWidget* owner, std::function<void()> onReady,
                                std::function<void()> onRunEnded) {
  Window window(*this, owner);
  window_ = &window;
  onRunEnded_ = std::move(onRunEnded);
  // The hidden button carries each status update into the window.
  QObject::connect(window.m_btnUpdate, &QPushButton::clicked, &window, [this] {
    std::lock_guard lock(mutex_);
    if (m_bUpdatePending != 0 && m_bCancelled == 0) {
      window_->text->setText(QString::fromStdWString(m_strText));
    }
    m_bUpdatePending = 0;
    taken_.notify_all();
  });
  QTimer::singleShot(0, &window, [this, ready = std::move(onReady)] {
    {
      std::lock_guard lock(mutex_);
      m_bReady = 1;
    }
    ready();
  });
  window.exec();
  window_ = nullptr;
  onRunEnded_ = nullptr;
  Abandon();
}

void CProgressHotpxDlg::Poll() {
  bool pending = false;
  bool ended = false;
  {
    std::lock_guard lock(mutex_);
    pending = m_bUpdatePending != 0;
    ended = m_bRunEnded != 0;
    m_bRunEnded = 0;
  }
  if (pending && window_ != nullptr) window_->m_btnUpdate->click();
  if (ended && onRunEnded_) {
    std::function<void()> handler = std::move(onRunEnded_);
    onRunEnded_ = nullptr;
    handler();
  }
}

void CProgressHotpxDlg::EndDialog() {
  if (window_ != nullptr) window_->Close();
}

QDialog* CProgressHotpxDlg::window() const { return window_; }

void CProgressHotpxDlg::OnCancel() {
  if (window_ != nullptr) {
    window_->cancel->setEnabled(false);
    window_->text->setText(kCancelWait);
  }
  std::lock_guard lock(mutex_);
  m_bCancelled = 1;
}

void CProgressHotpxDlg::Abandon() {
  std::lock_guard lock(mutex_);
  abandoned_ = true;
  m_bCancelled = 1;
  taken_.notify_all();
}

// ---- The dark-frame run's host ----

// The run's side of the progress window, used on the run's thread. Its
// failure message waits for the window's thread: the run ends right after
// it, and the window shows it before the progress window closes.
class CCamCtrlDlg::ProgressHost final : public DarkRunHost {
 public:
  void ShowProgress(const std::string& text, int, int) override {
    g_progressDlg.UpdateProgress(text);
  }
  bool CancelRequested() override { return g_progressDlg.Cancelled(); }
  void ShowMessage(const std::string& text, const std::string& caption) override {
    message = QString::fromStdString(text);
    this->caption = QString::fromStdString(caption);
  }

  QString message;
  QString caption;
};

// ---- The camera control window ----

CCamCtrlDlg::CCamCtrlDlg(UserDialogs& dialogs, CFtdiDevice& device, QWidget* parent)
    : QDialog(parent), dialogs_(dialogs), device_(device), runGroup_(this) {
  setWindowTitle(kCaption);
  setWindowIcon(ApplicationIcon());
  // A window with its own taskbar button and a minimize box.
  setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
  setMinimumSize(200, 200);
  setMouseTracking(true);
  BuildControls();
  for (QWidget* control :
       std::initializer_list<QWidget*>{readCurrent_, makeDark_, store_, close_}) {
    runGroup_.Add(control);
  }
  m_maps.count1x1 = 0;
  std::memset(g_masterDark, 0, sizeof g_masterDark);
  m_timer.setInterval(kTimerMs);
  connect(&m_timer, &QTimer::timeout, this, &CCamCtrlDlg::OnTimer);
  night_ = NightVisionOn();
  StyleNotes();
  if (NightMode* night = ApplicationNightMode()) {
    connect(night, &NightMode::Changed, this, &CCamCtrlDlg::OnNightVision);
  }
}

CCamCtrlDlg::~CCamCtrlDlg() { LeaveCamera(); }

void CCamCtrlDlg::StyleNotes() {
  for (QLabel* note : {level1x1_, level2x2_, mapChange_}) {
    note->setStyleSheet(night_ ? kNightNoteStyle : kDayNoteStyle);
  }
}

void CCamCtrlDlg::OnNightVision(bool on) {
  night_ = on;
  StyleNotes();
  // The view on show, drawn again in the new colours.
  m_nShownMode = -1;
  Redraw();
}

void CCamCtrlDlg::BuildControls() {
  auto named = [](QWidget* control, int id) {
    control->setObjectName(ObjectName(id));
    return control;
  };
  auto note = [this](const char* name) {
    auto* label = new QLabel(this);
    label->setObjectName(name);
    // Room for the longest note, so that the window keeps its size.
    label->setMinimumWidth(
        QFontMetrics(label->font())
            .horizontalAdvance("new 1x1 map against the camera's: 50 kept, 50 added, 50 dropped"));
    return label;
  };

  title_ = new QLabel(this);
  named(title_, kIdPictureTitle);
  m_canvas = new CBitmapRect(this);
  named(m_canvas, kIdCamCanvas);
  m_canvas->setFixedSize(kCanvasWidth, kCanvasHeight);
  m_canvas->installEventFilter(this);

  readCurrent_ = new QPushButton("Read current", this);
  named(readCurrent_, kIdReadCurrent);
  makeDark_ = new QPushButton("Make dark", this);
  named(makeDark_, kIdMakeDark);
  store_ = new QPushButton("Store new map", this);
  named(store_, kIdStoreNewMap);
  store_->setEnabled(false);
  cameraState_ = new QLabel(this);
  named(cameraState_, kIdCameraState);
  close_ = new QPushButton("Close", this);
  named(close_, kIdCamClose);
  saveDark_ = new QPushButton("Save master dark…", this);
  saveDark_->setObjectName("controlSaveDark");
  saveMap_ = new QPushButton("Save hot-pixel map…", this);
  saveMap_->setObjectName("controlSaveMap");
  auto* mapMenu = new QMenu(saveMap_);
  saveStoredMap_ = mapMenu->addAction("Map stored in the camera");
  saveStoredMap_->setObjectName("actionSaveStoredMap");
  saveNewMap_ = mapMenu->addAction("New map, as the track bars choose");
  saveNewMap_->setObjectName("actionSaveNewMap");
  saveMap_->setMenu(mapMenu);
  connect(saveDark_, &QPushButton::clicked, this, &CCamCtrlDlg::OnSaveMasterDark);
  connect(saveStoredMap_, &QAction::triggered, this, [this] { OnSaveHotPixelMap(true); });
  connect(saveNewMap_, &QAction::triggered, this, [this] { OnSaveHotPixelMap(false); });
  UpdateSaveButtons();
  // The focused button takes Enter, as it takes Space; elsewhere (on a
  // track bar) Enter does nothing.
  LetEnterPressFocusedButton(*this);
  connect(readCurrent_, &QPushButton::clicked, this, &CCamCtrlDlg::OnReadCurrent);
  connect(makeDark_, &QPushButton::clicked, this, &CCamCtrlDlg::OnMakeDark);
  connect(store_, &QPushButton::clicked, this, &CCamCtrlDlg::OnStoreNewMap);
  connect(close_, &QPushButton::clicked, this, [this] { done(1); });

  auto* mapGroup = new QGroupBox("Hot pixel map", this);
  auto* mapLayout = new QVBoxLayout(mapGroup);
  mapLayout->addWidget(new QLabel("Statistics:", mapGroup));
  statistics_ = new QLabel(mapGroup);
  named(statistics_, kIdMapStatistics);
  statistics_->setMinimumHeight(50);
  statistics_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  mapLayout->addWidget(statistics_);
  mapLayout->addStretch();

  auto slider = [this, &named](int id) {
    auto* bar = new QSlider(Qt::Horizontal, this);
    named(bar, id);
    bar->setRange(0, kMaxHotPixels);
    bar->setPageStep(1);
    bar->setEnabled(false);
    bar->setMinimumWidth(200);
    return bar;
  };
  m_slider1x1 = slider(kIdSlider1x1);
  m_slider2x2 = slider(kIdSlider2x2);
  value1x1_ = new QLabel(this);
  named(value1x1_, kIdSlider1x1Value);
  value2x2_ = new QLabel(this);
  named(value2x2_, kIdSlider2x2Value);
  for (QLabel* value : {value1x1_, value2x2_}) value->setMinimumWidth(24);
  level1x1_ = note("controlLevel1x1");
  level2x2_ = note("controlLevel2x2");
  mapChange_ = note("controlMapChange");

  auto* layout = new QGridLayout(this);
  layout->setSizeConstraint(QLayout::SetFixedSize);
  auto* picture = new QVBoxLayout;
  picture->addWidget(title_);
  picture->addWidget(m_canvas);
  layout->addLayout(picture, 0, 0);
  auto* side = new QVBoxLayout;
  side->addWidget(readCurrent_);
  side->addWidget(makeDark_);
  side->addWidget(store_);
  side->addWidget(saveDark_);
  side->addWidget(saveMap_);
  side->addSpacing(8);
  side->addWidget(cameraState_);
  side->addWidget(mapGroup);
  side->addStretch();
  side->addWidget(close_);
  layout->addLayout(side, 0, 1);

  auto* bars = new QGridLayout;
  bars->addWidget(new QLabel("Hot pixels to be removed in 1x1:", this), 0, 0);
  bars->addWidget(m_slider1x1, 0, 1);
  bars->addWidget(value1x1_, 0, 2);
  bars->addWidget(level1x1_, 0, 3);
  bars->addWidget(mapChange_, 1, 3);
  bars->addWidget(new QLabel("in 2x2:", this), 2, 0, Qt::AlignRight);
  bars->addWidget(m_slider2x2, 2, 1);
  bars->addWidget(value2x2_, 2, 2);
  bars->addWidget(level2x2_, 2, 3);
  layout->addLayout(bars, 1, 0, 1, 2);

  connect(m_slider1x1, &QSlider::valueChanged, this, &CCamCtrlDlg::OnSlider1x1Moved);
  connect(m_slider2x2, &QSlider::valueChanged, this, &CCamCtrlDlg::OnSlider2x2Moved);
}

bool CCamCtrlDlg::Initialise() {
  if (initialised_) return !ended_;
  initialised_ = true;
  device_.deviceKind = kDeviceKindGuider;

  const int connected = EnterDeviceMode(device_, kNormalMode);
  if (connected < 0) return Fail("Can't connect to device!", "ERROR", MessageIcon::None), false;
  if (connected > 0) return Fail("Device is not responding!", "ERROR", MessageIcon::None), false;

  const int version = QueryFirmwareVersion(device_, kCameraModeVersion);
  if (version < 0) return Fail("Communication error", "ERROR", MessageIcon::None), false;
  if (version < kCameraModeVersion) {
    Fail("Camera mode unavailable, firmware is too old. Use fw. 02.04 or later!", "ERROR",
         MessageIcon::None);
    return false;
  }

  const int entered = EnterCameraMode(device_);
  if (entered == kCameraModeRefused) {
    Fail("Camera mode not supported by firmware", "ERROR", MessageIcon::Exclamation);
    return false;
  }
  if (entered == 1) {
    Fail(QString("Can't enter exclusive mode. Details:\n%1")
             .arg(QString::fromLocal8Bit(g_protocolMessage)),
         "ERROR", MessageIcon::Exclamation);
    return false;
  }
  if (entered != 0) {
    // The link failed on the camera-mode request; it is closed already.
    Fail(QString("Can't enter camera mode. Details:\n%1")
             .arg(QString::fromLocal8Bit(g_protocolMessage)),
         "ERROR", MessageIcon::Exclamation);
    return false;
  }
  inCameraMode_ = true;

  const int state = QueryCameraState(device_);
  if (state < 0) return Fail("Communication error", "ERROR", MessageIcon::None), false;
  if (state != 0) {
    dialogs_.ShowMessage(this, "Camera should not be active at this point...", "INTERNAL ERROR",
                         MessageIcon::Exclamation, MessageButtons::Ok);
    LeaveCamera();
    ended_ = true;
    QDialog::done(1);
    return false;
  }

  ShowCameraState(0);
  m_timer.start();
  {
    const QSignalBlocker block1(m_slider1x1);
    const QSignalBlocker block2(m_slider2x2);
    m_slider1x1->setValue(kDefault1x1);
    m_slider2x2->setValue(kDefault2x2);
  }
  // Drawn once the window's loop runs, 1x1 first, as a track bar's own
  // message would: the labels get their numbers and the picture its view.
  QMetaObject::invokeMethod(
      this, [this] { OnSlider1x1Moved(m_slider1x1->value()); }, Qt::QueuedConnection);
  QMetaObject::invokeMethod(
      this, [this] { OnSlider2x2Moved(m_slider2x2->value()); }, Qt::QueuedConnection);
  return true;
}

int CCamCtrlDlg::exec() {
  if (!Initialise()) return result();
  return QDialog::exec();
}

void CCamCtrlDlg::Fail(const QString& text, const QString& caption, MessageIcon icon) {
  dialogs_.ShowMessage(this, text, caption, icon, MessageButtons::Ok);
  ended_ = true;
  done(1);
}

void CCamCtrlDlg::done(int result) {
  // The worker holds the link until its run ends; the run ends the window
  // itself when it has to.
  if (runActive_) return;
  ended_ = true;
  LeaveCamera();
  QDialog::done(result);
}

void CCamCtrlDlg::LeaveCamera() {
  if (closed_) return;
  closed_ = true;
  m_timer.stop();
  if (inCameraMode_ && device_.IsOpen()) LeaveCameraMode(device_);
  inCameraMode_ = false;
  DisconnectDevice(device_);
}

void CCamCtrlDlg::ShowCameraState(int state) {
  if (state == 0) {
    cameraState_->setText("Camera OFF");
  } else if (state == 1 || state == 2) {
    cameraState_->setText("Camera ON");
  } else {
    cameraState_->setText("???");
  }
}

int CCamCtrlDlg::EnsureCameraRunning() {
  const int state = QueryCameraState(device_);
  if (state < 0) {
    dialogs_.ShowMessage(this, "Camera querying failed...", "ERROR", MessageIcon::Exclamation,
                         MessageButtons::Ok);
    return 1;
  }
  ShowCameraState(state);
  if (state != 0) return 0;
  if (StartCamera(device_) != 0) {
    dialogs_.ShowMessage(this, "Camera start failed...", "ERROR", MessageIcon::Exclamation,
                         MessageButtons::Ok);
    return 2;
  }
  return 0;
}

void CCamCtrlDlg::OnTimer() {
  // A run's worker owns the link until the run ends.
  if (runActive_ || !device_.IsOpen()) return;
  const int state = QueryCameraState(device_);
  if (state < 0) {
    m_timer.stop();
    Fail("connection lost to device...", "ERROR", MessageIcon::Exclamation);
    return;
  }
  ShowCameraState(state);
}

// ---- Views ----

void CCamCtrlDlg::Redraw() {
  const int width = m_canvas->Width();
  const int height = m_canvas->Height();
  const int ox = (width - kBinnedWidth) / 2;
  const int oy = (height - kBinnedHeight) / 2;
  if (m_nViewMode == m_nShownMode) return;
  m_nShownMode = m_nViewMode;
  drawnBlank_ = !m_canvas->IsInitialised();

  // A grey level times this is its colour: grey by day, red at night.
  const std::uint32_t levelColour = night_ ? 0x010000u : 0x010101u;
  auto drawGrey = [&](const std::uint8_t* image) {
    for (int y = 0; y < kBinnedHeight; ++y) {
      for (int x = 0; x < kBinnedWidth; ++x) {
        m_canvas->SetPixelBlock(ox + x, oy + y, image[y * kBinnedWidth + x] * levelColour, 1);
      }
    }
  };

  m_canvas->FillRectangle(0, 0, width - 1, height - 1, night_ ? kNightSurround : kCanvasSurround);
  if (m_nViewMode == 3) {
    Bin2x2(m_slider2x2->value());
    CosmetizeFrame(g_binnedDark, g_viewFrame, kBinnedWidth, kBinnedHeight);
    drawGrey(g_viewFrame);
    title_->setText("Cosmetized dark frame (2x2)");
  } else if (m_nViewMode == 1 || m_nViewMode == 2) {
    const std::uint8_t* source = g_masterDark;
    if (m_nViewMode == 2) {
      FindHotPixels(g_masterDark, kFrameWidth, kFrameHeight, m_slider1x1->value());
      CosmetizeFrame(g_masterDark, g_viewFrame, kFrameWidth, kFrameHeight);
      source = g_viewFrame;
    }
    static std::uint8_t reduced[kBinnedBytes];
    MaxReduceFrame(source, reduced);
    drawGrey(reduced);
    title_->setText(m_nViewMode == 2 ? "Cosmetized dark frame (1x1)" : "Current dark frame (1x1)");
  } else {
    m_canvas->FillRectangle(ox, oy, ox + kBinnedWidth - 1, oy + kBinnedHeight - 1, 0);
    int classes[5] = {};
    // A count beyond the table's slots cannot be drawn from it.
    const int count = std::min<int>(m_maps.count1x1, kMaxHotPixels);
    for (int i = 0; i < count; ++i) {
      const HotPixelEntry& entry = m_maps.entries1x1[i];
      const int type = ClassifyHotPixel(entry);
      ++classes[type];
      m_canvas->SetPixelBlock(ox + entry.x / 2, oy + entry.y / 2,
                              night_ ? kNightClassColours[type] : kClassColours[type], 1);
    }
    statistics_->setText(count == 0 ? QString("No data")
                                    : QString("single: %1\ngrouped: %2\nnot removable: %3")
                                          .arg(classes[4])
                                          .arg(classes[1] + classes[2] + classes[3])
                                          .arg(classes[0]));
    title_->setText("Hot pixel data stored in Camera");
  }
  m_canvas->update();
}

bool CCamCtrlDlg::eventFilter(QObject* watched, QEvent* event) {
  if (watched == m_canvas && event->type() == QEvent::Paint && drawnBlank_) {
    // The canvas gets its pixels at this paint: draw the view again into
    // them once the paint is done.
    QTimer::singleShot(0, this, [this] {
      if (!drawnBlank_ || !m_canvas->IsInitialised()) return;
      drawnBlank_ = false;
      m_nShownMode = -1;
      Redraw();
    });
  }
  return QDialog::eventFilter(watched, event);
}

void CCamCtrlDlg::mouseMoveEvent(QMouseEvent* event) {
  const QPoint at = m_canvas->mapFrom(this, event->position().toPoint());
  const bool inside =
      at.x() >= 0 && at.x() <= m_canvas->width() && at.y() >= 0 && at.y() <= m_canvas->height();
  m_nViewMode = inside ? 1 : 0;
  Redraw();
  QDialog::mouseMoveEvent(event);
}

void CCamCtrlDlg::leaveEvent(QEvent* event) {
  m_nViewMode = 0;
  Redraw();
  QDialog::leaveEvent(event);
}

void CCamCtrlDlg::OnSlider1x1Moved(int position) {
  value1x1_->setText(QString::number(position));
  m_nViewMode = 2;
  m_nShownMode = -1;
  Redraw();
  UpdateLevelNote1x1();
}

void CCamCtrlDlg::OnSlider2x2Moved(int position) {
  value2x2_->setText(QString::number(position));
  m_nViewMode = 3;
  m_nShownMode = -1;
  Redraw();
  UpdateLevelNote2x2();
}

// ---- What the track bars mean ----

void CCamCtrlDlg::UpdateLevelNote1x1() {
  if (!haveDark_) return;
  FindHotPixels(g_masterDark, kFrameWidth, kFrameHeight, m_slider1x1->value());
  const int dimmest = DimmestListedValue(g_masterDark, kFrameWidth, g_hotList);
  level1x1_->setText(dimmest < 0
                         ? QString("none hidden; background (median): %1").arg(background1x1_)
                         : QString("faintest hidden: %1, background (median): %2")
                               .arg(dimmest)
                               .arg(background1x1_));
  UpdateMapChangeNote();
}

void CCamCtrlDlg::UpdateLevelNote2x2() {
  if (!haveDark_) return;
  Bin2x2(m_slider2x2->value());
  const int dimmest = DimmestListedValue(g_binnedDark, kBinnedWidth, g_hotList2x2);
  level2x2_->setText(dimmest < 0
                         ? QString("none hidden; background (median): %1").arg(background2x2_)
                         : QString("faintest hidden: %1, background (median): %2")
                               .arg(dimmest)
                               .arg(background2x2_));
}

// Expects g_hotList to hold the 1x1 search of the current position.
void CCamCtrlDlg::UpdateMapChangeNote() {
  if (!haveDark_) return;
  if (!storedKnown_) {
    mapChange_->setText("new 1x1 map: the camera's map could not be read");
    return;
  }
  const MapChange change = CompareWithStored(g_hotList, storedMaps_);
  mapChange_->setText(QString("new 1x1 map against the camera's: %1 kept, %2 added, %3 dropped")
                          .arg(change.kept)
                          .arg(change.added)
                          .arg(change.dropped));
}

// ---- Buttons ----

void CCamCtrlDlg::OnReadCurrent() {
  if (EnsureCameraRunning() != 0) {
    done(1);
    return;
  }
  storedKnown_ = ReadHotPixelMaps(device_, m_maps) == 0;
  storedMaps_ = m_maps;
  m_nViewMode = 0;
  m_nShownMode = -1;
  Redraw();
  UpdateLevelNote1x1();
  UpdateSaveButtons();
}

void CCamCtrlDlg::OnStoreNewMap() {
  if (EnsureCameraRunning() != 0) {
    done(1);
    return;
  }
  Bin2x2(m_slider2x2->value());
  FindHotPixels(g_masterDark, kFrameWidth, kFrameHeight, m_slider1x1->value());
  m_maps = MapRecordFromLists(g_hotList, g_hotList2x2);
  if (StoreHotPixelMaps(device_, m_maps) != 0) {
    Fail("Storing data failed...", "ERROR", MessageIcon::Exclamation);
    return;
  }
  dialogs_.ShowMessage(this, "Hot pixels maps of the Camera\nhas been updated successfully.",
                       "Notification", MessageIcon::Information, MessageButtons::Ok);
  const int state = QueryCameraState(device_);
  if (state < 0) {
    Fail("Camera querying failed...", "ERROR", MessageIcon::Exclamation);
    return;
  }
  ShowCameraState(state);
  if (state == 0 && StartCamera(device_) != 0) {
    Fail("Camera start failed...", "ERROR", MessageIcon::Exclamation);
    return;
  }
  storedKnown_ = ReadHotPixelMaps(device_, m_maps) == 0;
  storedMaps_ = m_maps;
  m_nViewMode = 0;
  m_nShownMode = -1;
  Redraw();
  UpdateLevelNote1x1();
  UpdateSaveButtons();
}

void CCamCtrlDlg::OnMakeDark() {
  CFindHotpxDlg options(dialogs_, this);
  if (options.exec() != QDialog::Accepted) return;

  std::optional<DarkFrameRun> run = DarkFrameRun::Prepare({options.m_nExposures});
  if (!run) {
    dialogs_.ShowMessage(this, "Out of memory", "ERROR", MessageIcon::Exclamation,
                         MessageButtons::Ok);
    return;
  }

  ProgressHost host;
  DarkRunResult result;
  std::thread worker;
  g_progressDlg.Reset();
  runActive_ = true;
  runGroup_.ModifyStyle(0, kControlStyleDisabled, false);
  g_progressDlg.DoModal(
      this,
      [&] {
        worker = std::thread([&] {
          result = run->Run(device_, host);
          g_progressDlg.SignalRunEnded();
        });
      },
      [&] {
        worker.join();
        // Shown while the progress window is still up, as the run's
        // messages always were.
        if (!host.message.isEmpty()) {
          dialogs_.ShowMessage(this, host.message, host.caption, MessageIcon::Exclamation,
                               MessageButtons::Ok);
        }
        g_progressDlg.EndDialog();
      });
  // Should the progress window's loop have ended some other way, the
  // worker still finishes before the link is used again.
  if (worker.joinable()) worker.join();
  runActive_ = false;
  runGroup_.ModifyStyle(kControlStyleDisabled, 0, false);
  if (result.cameraState >= 0) ShowCameraState(result.cameraState);

  if (result.end == DarkRunEnd::kCancelled) {
    dialogs_.ShowMessage(this, "Creating dark frame was cancelled...\n\nHot pixel map not built.",
                         "INFORMATION", MessageIcon::None, MessageButtons::Ok);
  }
  if (result.end != DarkRunEnd::kBuilt) {
    done(1);
    return;
  }

  std::memcpy(g_masterDark, result.master.get(), kFrameBytes);
  background1x1_ = MedianLevel(g_masterDark, kFrameBytes);
  Bin2x2(0);
  background2x2_ = MedianLevel(g_binnedDark, kBinnedBytes);
  storedKnown_ = result.storedKnown;
  storedMaps_ = result.stored;
  haveDark_ = true;
  darkFrames_ = result.framesStacked;
  darkExposureSeconds_ = result.exposureSeconds;
  darkStartUtc_ = result.startUtc;
  UpdateSaveButtons();
  m_slider1x1->setEnabled(true);
  m_slider2x2->setEnabled(true);
  store_->setEnabled(true);
  m_nViewMode = 0;
  m_nShownMode = -1;
  Redraw();
  UpdateLevelNote2x2();
  UpdateLevelNote1x1();
}

// ---- Saving as FITS ----

void CCamCtrlDlg::UpdateSaveButtons() {
  saveDark_->setEnabled(haveDark_);
  saveNewMap_->setEnabled(haveDark_);
  saveStoredMap_->setEnabled(storedKnown_ && storedMaps_.marker == kMapsValid);
  saveMap_->setEnabled(saveNewMap_->isEnabled() || saveStoredMap_->isEnabled());
}

QString CCamCtrlDlg::AskFitsName(const QString& caption, const char* proposed) {
  const QString start = ToQString(g_startupDirectory / proposed);
  QString name = dialogs_.SaveFile(this, caption, start, "FITS file (*.fits *.fit *.fts)");
  if (!name.isEmpty() && QFileInfo(name).suffix().isEmpty()) name += ".fits";
  return name;
}

void CCamCtrlDlg::OnSaveMasterDark() {
  const QString name = AskFitsName("Save master dark", "ktal-master-dark.fits");
  if (name.isEmpty()) return;
  MasterDarkFacts dark;
  dark.pixels = g_masterDark;
  dark.exposureSeconds = darkExposureSeconds_;
  dark.framesStacked = darkFrames_;
  dark.firstExposureUtc = darkStartUtc_;
  std::string text;
  if (WriteMasterDarkFits(ToPath(name).string(), dark, text) != kFitsWritten) {
    dialogs_.ShowMessage(this,
                         QString("Can't save the master dark as\n%1\n%2")
                             .arg(name, QString::fromLocal8Bit(text.c_str())),
                         "ERROR", MessageIcon::Exclamation, MessageButtons::Ok);
  }
}

void CCamCtrlDlg::OnSaveHotPixelMap(bool stored) {
  const QString name = AskFitsName(
      stored ? "Save the hot-pixel map stored in the camera" : "Save the new hot-pixel map",
      stored ? "ktal-hot-pixels-camera.fits" : "ktal-hot-pixels-new.fits");
  if (name.isEmpty()) return;
  std::optional<HotPixelSearchFacts> search;
  HotPixelMapRecord map = storedMaps_;
  if (!stored) {
    // The map Store new map would write now.
    Bin2x2(m_slider2x2->value());
    FindHotPixels(g_masterDark, kFrameWidth, kFrameHeight, m_slider1x1->value());
    map = MapRecordFromLists(g_hotList, g_hotList2x2);
    search = HotPixelSearchFacts{m_slider1x1->value(), m_slider2x2->value(), darkExposureSeconds_,
                                 darkFrames_, darkStartUtc_};
  }
  std::string text;
  if (WriteHotPixelMapFits(ToPath(name).string(), map, search, text) != kFitsWritten) {
    dialogs_.ShowMessage(this,
                         QString("Can't save the hot-pixel map as\n%1\n%2")
                             .arg(name, QString::fromLocal8Bit(text.c_str())),
                         "ERROR", MessageIcon::Exclamation, MessageButtons::Ok);
  }
}

}  // namespace ktal
