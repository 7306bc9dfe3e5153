// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/launcher_dialog.h"

#include <QCheckBox>
#include <QContextMenuEvent>
#include <QFrame>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeySequence>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QShortcut>
#include <QSignalBlocker>
#include <QVBoxLayout>

#include "link/direct_control.h"
#include "link/ftdi_device.h"
#include "link/handshakes.h"
#include "shell/application_icon.h"
#include "shell/night_mode.h"
#include "shell/user_dialogs.h"

namespace ktal {

namespace {

constexpr char kCaption[] = "Orvelia K-Tal Autoguider's PC app.";
constexpr char kAboutMenuText[] = "&About TVX_DUVO_VerAdi...";

constexpr char kResetQuestion[] =
    "Do You really want to RESET the HandController?\n\n"
    "Resetting it will immediately break the running program,\n"
    "the filesystem could be damaged and changed variables may not be stored!\n\n"
    "Do this only when You have a frozen firmware!\n"
    "Reset could power on the HC if it was powered off.";

QString ModeName(int mode) {
  switch (mode) {
    case kBootMode:
      return "boot loader";
    case kUpdateMode:
      return "update mode";
    case kNormalMode:
      return "normal mode";
  }
  return QString("mode %1").arg(mode);
}

// One line for the status: what the pulse did, or why none went out.
QString DescribeResult(const DirectResult& result, const char* pulseText) {
  switch (result.outcome) {
    case DirectOutcome::kPulseSent:
      return pulseText;
    case DirectOutcome::kAlreadyRunning:
      return "guider already running: " + ModeName(result.runningMode);
    case DirectOutcome::kNoGuider:
      return "no guider found: " +
             (result.detail.empty()
                  ? QString("no FTDI device with the guider's description is attached")
                  : QString::fromStdString(result.detail));
    case DirectOutcome::kLinkFailed:
      return "the USB link failed: " + QString::fromStdString(result.detail);
  }
  return {};
}

}  // namespace

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
  setWindowTitle("About TVX_DUVO_VerAdi");
  auto* layout = new QGridLayout(this);
  auto* icon = new QLabel(this);
  icon->setPixmap(ApplicationIcon().pixmap(48, 48));
  layout->addWidget(icon, 0, 0, 2, 1, Qt::AlignTop);

  auto* version = new QLabel(this);
  version->setObjectName("control1050");
  version->setText("ORVELIA K-Tal StandAlone Autoguider\nVerAdi Version 2.60.0");
  layout->addWidget(version, 0, 1);

  auto* limit = new QLabel(this);
  limit->setObjectName("control1051");
  limit->setText("This program can only handle files saved with Firmware v. 2.60 or less!");
  layout->addWidget(limit, 1, 1);

  auto* disclaimer = new QLabel(this);
  disclaimer->setWordWrap(true);
  disclaimer->setText(
      "This program is provided as it is, without any warranty. Use it at your own risk: "
      "the authors are not liable for any damage to your equipment or loss of data.\n\n"
      "NOTE: old devices (BOOT ID below $14) will fail to any try of power-on through USB. "
      "RESET might be used carefully for this!");
  disclaimer->setMinimumWidth(360);
  layout->addWidget(disclaimer, 2, 0, 1, 2);

  auto* ok = new QPushButton("OK", this);
  ok->setObjectName("button1");
  ok->setDefault(true);
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);
  layout->addWidget(ok, 3, 1, Qt::AlignRight);
}

CTVX_DUVO_VerAdiDlg::CTVX_DUVO_VerAdiDlg(UserDialogs& dialogs, QWidget* parent)
    : QDialog(parent), dialogs_(dialogs), icon_(ApplicationIcon()) {
  setWindowTitle(kCaption);
  setWindowIcon(icon_);
  // A window of its own with a minimize box, not a transient dialog.
  setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);

  auto* layout = new QVBoxLayout(this);
  auto* top = new QHBoxLayout;
  auto* iconLabel = new QLabel(this);
  iconLabel->setPixmap(icon_.pixmap(32, 32));
  top->addWidget(iconLabel);
  top->addWidget(new QLabel("What do You want to do?", this));
  top->addStretch();
  layout->addLayout(top);

  layout->addWidget(AddButton(kIdFirmwareControl, "Firmware control   (Check, update)"));
  layout->addWidget(AddButton(kIdFileControl, "File control   (Download, process)"));
  layout->addWidget(AddButton(kIdCameraControl, "Camera control   (hot pixels)"));

  auto* separator = new QFrame(this);
  separator->setFrameShape(QFrame::HLine);
  separator->setFrameShadow(QFrame::Sunken);
  layout->addWidget(separator);

  auto* lower = new QHBoxLayout;
  auto* direct = new QGroupBox("Direct", this);
  auto* directLayout = new QVBoxLayout(direct);
  directLayout->addWidget(AddButton(kIdPowerOn, "Power ON"));
  directLayout->addWidget(AddButton(kIdReset, "RESET"));
  lower->addWidget(direct);
  auto* right = new QVBoxLayout;
  right->addWidget(AddButton(kIdVirtualUi, "Virtual K-Tal UI"));
  right->addWidget(AddButton(kIdAbout, "About..."));
  right->addStretch();
  lower->addLayout(right);
  layout->addLayout(lower);

  auto* exitRow = new QHBoxLayout;
  nightVision_ = new QCheckBox("&Night vision (red on black)", this);
  nightVision_->setObjectName("controlNightVision");
  nightVision_->setToolTip("Every window in red on black, for the telescope in the dark");
  nightVision_->setVisible(false);
  // Reached by Alt+N or the mouse, never by Tab: Enter on a focused check
  // box would go to Exit, the default button, and end the program.
  nightVision_->setFocusPolicy(Qt::NoFocus);
  exitRow->addWidget(nightVision_);
  exitRow->addStretch();
  QPushButton* exit = AddButton(kIdExit, "Exit");
  exit->setDefault(true);
  exitRow->addWidget(exit);
  layout->addLayout(exitRow);

  status_ = new QLabel(this);
  status_->setObjectName("status");
  // A permission text can be long; it wraps rather than widen the window.
  status_->setWordWrap(true);
  status_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  layout->addWidget(status_);

  for (int id : {kIdFirmwareControl, kIdFileControl, kIdCameraControl, kIdVirtualUi}) {
    buttons_[id]->setEnabled(false);
    connect(buttons_[id], &QPushButton::clicked, this, [this, id] { OpenFeature(id); });
  }
  connect(buttons_[kIdPowerOn], &QPushButton::clicked, this, &CTVX_DUVO_VerAdiDlg::OnPowerOn);
  connect(buttons_[kIdReset], &QPushButton::clicked, this, &CTVX_DUVO_VerAdiDlg::OnReset);
  connect(buttons_[kIdAbout], &QPushButton::clicked, this, &CTVX_DUVO_VerAdiDlg::OnAbout);
  connect(exit, &QPushButton::clicked, this, &QDialog::accept);

  // No window menu to extend here: the About entry goes into the window's
  // context menu and onto F1, beside the About button.
  auto* help = new QShortcut(QKeySequence::HelpContents, this);
  connect(help, &QShortcut::activated, this, [this] { OnSysCommand(kIdmAboutBox); });

  // Only the guider's hand controller is ever opened.
  g_device.deviceKind = kDeviceKindGuider;
}

QPushButton* CTVX_DUVO_VerAdiDlg::AddButton(int controlId, const QString& text) {
  auto* button = new QPushButton(text, this);
  button->setObjectName(QString("button%1").arg(controlId));
  // Auto-default: the focused button takes Enter, as it takes Space, and
  // Exit only when no other button has the focus.
  button->setAutoDefault(true);
  buttons_[controlId] = button;
  return button;
}

QPushButton* CTVX_DUVO_VerAdiDlg::Button(int controlId) const {
  auto it = buttons_.find(controlId);
  return it == buttons_.end() ? nullptr : it->second;
}

QString CTVX_DUVO_VerAdiDlg::StatusText() const { return status_->text(); }

void CTVX_DUVO_VerAdiDlg::SetLinkName(const QString& name) {
  setWindowTitle(name.isEmpty() ? QString(kCaption) : QString("%1 - %2").arg(kCaption, name));
}

void CTVX_DUVO_VerAdiDlg::SetNightMode(NightMode* mode) {
  nightVision_->setVisible(mode != nullptr);
  if (mode == nullptr) return;
  nightVision_->setChecked(mode->IsOn());
  connect(nightVision_, &QCheckBox::toggled, this, [mode](bool on) { mode->SetOn(on); });
  // Switched elsewhere too (at start, from a setting): the box follows.
  connect(mode, &NightMode::Changed, nightVision_, [this](bool on) {
    const QSignalBlocker quiet(nightVision_);
    nightVision_->setChecked(on);
  });
}

void CTVX_DUVO_VerAdiDlg::SetFeatureWindow(int controlId, FeatureWindow window) {
  QPushButton* button = Button(controlId);
  if (button == nullptr) return;
  button->setEnabled(static_cast<bool>(window));
  features_[controlId] = std::move(window);
}

bool CTVX_DUVO_VerAdiDlg::OnSysCommand(int commandId) {
  if ((commandId & 0xFFF0) != kIdmAboutBox) return false;
  OnAbout();
  return true;
}

void CTVX_DUVO_VerAdiDlg::contextMenuEvent(QContextMenuEvent* event) {
  QMenu menu(this);
  menu.addAction(kAboutMenuText, this, [this] { OnSysCommand(kIdmAboutBox); });
  menu.exec(event->globalPos());
}

void CTVX_DUVO_VerAdiDlg::OpenFeature(int controlId) {
  auto it = features_.find(controlId);
  if (it == features_.end() || !it->second) return;
  FeatureWindow window = it->second;  // the call may replace the map entry
  // Out of sight only: QDialog's own hide would also end the launcher's
  // exec(), and with it the program, as soon as the feature window closed.
  QWidget::setVisible(false);
  window(this);
  showNormal();
}

void CTVX_DUVO_VerAdiDlg::ShowStatus(const QString& text) {
  status_->setText(text);
  // A window does not follow its layout's height-for-width by itself: grow
  // it so that a wrapped reason does not squeeze the buttons.
  layout()->activate();
  const int needed = layout()->totalHeightForWidth(width());
  if (needed > height()) resize(width(), needed);
}

void CTVX_DUVO_VerAdiDlg::OnPowerOn() {
  ShowStatus(DescribeResult(PowerOnGuider(), "power-on pulse sent"));
}

void CTVX_DUVO_VerAdiDlg::OnReset() {
  // Cancel is the default: Enter must never reset a guider.
  const MessageAnswer answer =
      dialogs_.ShowMessageWithDefault(this, kResetQuestion, "WARNING", MessageIcon::Exclamation,
                                      MessageButtons::OkCancel, MessageAnswer::Cancel);
  if (answer != MessageAnswer::Ok) {
    ShowStatus("RESET cancelled: nothing sent");
    return;
  }
  ShowStatus(DescribeResult(ResetGuider(), "reset pulse sent"));
}

void CTVX_DUVO_VerAdiDlg::OnAbout() {
  CAboutDlg about(this);
  about.exec();
}

}  // namespace ktal
