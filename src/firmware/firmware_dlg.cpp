// SPDX-License-Identifier: GPL-3.0-or-later
#include "firmware/firmware_dlg.h"

#include <QCheckBox>
#include <QFile>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QProgressBar>
#include <QScopedValueRollback>
#include <QVBoxLayout>

#include "firmware/firmware_update_run.h"
#include "link/clock.h"
#include "link/handshakes.h"
#include "shell/application_icon.h"
#include "shell/qt_text.h"
#include "shell/settings_store.h"
#include "shell/user_dialogs.h"

namespace ktal {

QProgressBar* g_uploadProgress = nullptr;

void UploadProgress(int percent) {
  if (g_uploadProgress == nullptr) return;
  g_uploadProgress->setValue(percent);
  PumpMessages();
}

namespace {

constexpr char kCaption[] = "TVX Firmware control dialog";
// How often the upload's waits on the link hand the window its events.
constexpr std::uint32_t kPumpEveryMs = 20;
constexpr char kFileFilter[] = "Firmware files (*.fw)";
constexpr char kNoFileText[] = "no file is selected";
constexpr char kNoTargetText[] = "No target selected for this browse button!";

constexpr char kNewerFirmwareQuestion[] =
    "The firmware file contains newer version than this application can handle.\n"
    "Download the latest TVX DUVO Application executable!\n\n"
    "Some variables may not be initialized to default value for this\n"
    "unknown-version firmware.\n"
    "Continue uploading the firmware?";
constexpr char kFirmwareStartedText[] = "HC was instructed to start firmware.";

// Why UPLOAD has nothing to do, shown where its steps go.
constexpr char kNoFileStep[] = "Nothing to upload: no firmware file is selected";
constexpr char kFileRefusedStep[] = "Nothing to upload: the selected file was refused";
constexpr char kNoHcFirmwareStep[] =
    "Nothing to upload: the file holds no hand-controller firmware";
constexpr char kIdleStep[] = "...";

QString ObjectName(int id) {
  return id == kIdFwClose ? QString("button1") : QString("control%1").arg(id);
}

}  // namespace

// ---- CBrowseButton ----

CBrowseButton::CBrowseButton(UserDialogs& dialogs, const QString& text, QWidget* parent)
    : QPushButton(text, parent), dialogs_(dialogs) {
  // Space, Enter and a screen reader's press click without a mouse
  // release; they open the dialog too.
  connect(this, &QPushButton::clicked, this, [this] {
    if (!releasing_) OpenFileDialog();
  });
}

void CBrowseButton::OpenFileDialog() {
  if (target_ == nullptr) {
    dialogs_.ShowMessage(this, kNoTargetText, "WARNING", MessageIcon::Exclamation,
                         MessageButtons::Ok);
    return;
  }
  ChooseFile(target_->text());
}

void CBrowseButton::ChooseFile(const QString& current) {
  const QString start = current.isEmpty() ? startFolder_ : current;
  const QStringList chosen = dialogs_.OpenFiles(this, "Open", start, filter_, false);
  if (chosen.isEmpty()) return;
  target_->setText(chosen.front());
  emit FileChosen(chosen.front());
}

void CBrowseButton::mouseReleaseEvent(QMouseEvent* event) {
  // A release is handled here whatever it clicks.
  const QScopedValueRollback<bool> releasing(releasing_, true);
  if (event->button() != Qt::LeftButton) {
    QPushButton::mouseReleaseEvent(event);
    return;
  }
  if (target_ == nullptr) {
    dialogs_.ShowMessage(this, kNoTargetText, "WARNING", MessageIcon::Exclamation,
                         MessageButtons::Ok);
    QPushButton::mouseReleaseEvent(event);
    return;
  }
  const QString current = target_->text();
  const QPointF at = event->position();
  // The edges belong to the button.
  const bool inside = at.x() >= 0 && at.y() >= 0 && at.x() <= width() && at.y() <= height();
  if (!inside) {
    QPushButton::mouseReleaseEvent(event);
    return;
  }
  // Released without a click: the button's own handling only forgets the
  // press.
  setDown(false);
  QPushButton::mouseReleaseEvent(event);
  event->accept();
  ChooseFile(current);
}

// ---- CFirmwareDlg ----

CFirmwareDlg::CFirmwareDlg(UserDialogs& dialogs, CFtdiDevice& device, QWidget* parent)
    : QDialog(parent), dialogs_(dialogs), device_(device), group_(this) {
  setWindowTitle(kCaption);
  setWindowIcon(ApplicationIcon());
  // A window with its own taskbar button.
  setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
  BuildControls();

  browse_->SetTarget(fileName_);
  browse_->SetFilter(kFileFilter);
  handController_->setChecked(true);
  camera_->setChecked(true);
  defaultVariables_->setChecked(false);
  firmware_ = LoadedFirmware{};
  // Said when UPLOAD is pressed; the step line keeps its "..." until then.
  unavailable_ = kNoFileStep;
  upload_->setToolTip(kNoFileStep);
  for (QWidget* control :
       std::initializer_list<QWidget*>{checkVersion_, browse_, upload_, camera_, handController_,
                                       defaultVariables_, run_, close_}) {
    group_.Add(control);
  }
}

void CFirmwareDlg::UseSettings(SettingsStore& store) {
  settings_ = &store;
  browse_->SetStartFolder(store.values().firmwareFolder);
}

CFirmwareDlg::~CFirmwareDlg() {
  if (!closed_) DisconnectDevice(device_);
}

void CFirmwareDlg::BuildControls() {
  auto named = [](QWidget* control, int id) {
    control->setObjectName(ObjectName(id));
    return control;
  };

  // ---- The guider's side ----
  auto* guider = new QGroupBox("K-Tal Autoguider's firmware", this);
  named(guider, kIdGuiderGroup);
  auto* guiderLayout = new QVBoxLayout(guider);
  versions_ = new QLabel(guider);
  named(versions_, kIdVersions);
  versions_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  versions_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  versions_->setWordWrap(true);
  versions_->setMinimumSize(fontMetrics().horizontalAdvance("can't get camera boot version: ") + 40,
                            fontMetrics().lineSpacing() * 7);
  guiderLayout->addWidget(versions_, 1);
  checkVersion_ = new QPushButton("Check version", guider);
  named(checkVersion_, kIdCheckVersion);
  run_ = new QPushButton("Run", guider);
  named(run_, kIdRunFirmware);
  run_->setToolTip("Starts the hand controller's firmware from its boot loader");
  auto* guiderButtons = new QHBoxLayout;
  guiderButtons->addWidget(checkVersion_);
  guiderButtons->addStretch();
  guiderButtons->addWidget(run_);
  guiderLayout->addLayout(guiderButtons);

  // ---- The file's side ----
  auto* file = new QGroupBox("Selected firmware", this);
  auto* fileLayout = new QVBoxLayout(file);
  fileName_ = new QLineEdit(file);
  named(fileName_, kIdFileName);
  fileName_->setReadOnly(true);
  fileName_->setMinimumWidth(fontMetrics().horizontalAdvance('x') * 36);
  browse_ = new CBrowseButton(dialogs_, "...", file);
  named(browse_, kIdBrowse);
  browse_->setFixedWidth(fontMetrics().horizontalAdvance("...") + 24);
  auto* nameRow = new QHBoxLayout;
  nameRow->addWidget(fileName_, 1);
  nameRow->addWidget(browse_);
  fileLayout->addLayout(nameRow);

  description_ = new QLabel(kNoFileText, file);
  named(description_, kIdFileDescription);
  description_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  description_->setMinimumHeight(fontMetrics().lineSpacing() * 2);
  fileLayout->addWidget(description_);

  defaultVariables_ = new QCheckBox("Default var.s", file);
  named(defaultVariables_, kIdDefaultVariables);
  defaultVariables_->setToolTip(
      "Write the new firmware's default variables instead of the stored ones");
  handController_ = new QCheckBox("HandController", file);
  named(handController_, kIdUpdateHandController);
  camera_ = new QCheckBox("Camera", file);
  named(camera_, kIdUpdateCamera);
  upload_ = new QPushButton("UPLOAD", file);
  named(upload_, kIdUpload);
  auto* options = new QGridLayout;
  options->addWidget(defaultVariables_, 0, 0);
  options->addWidget(handController_, 1, 0);
  options->addWidget(camera_, 2, 0);
  options->addWidget(upload_, 1, 1, 2, 1, Qt::AlignRight | Qt::AlignBottom);
  options->setColumnStretch(0, 1);
  fileLayout->addLayout(options);

  step_ = new QLabel(kIdleStep, file);
  named(step_, kIdUploadStep);
  fileLayout->addWidget(step_);
  progress_ = new QProgressBar(file);
  named(progress_, kIdUploadProgress);
  progress_->setRange(0, 100);
  progress_->setValue(0);
  progress_->setTextVisible(false);
  progress_->setMaximumHeight(fontMetrics().height());
  fileLayout->addWidget(progress_);

  // Where the variables went and whether they came back as written.
  report_ = new QLabel(file);
  report_->setObjectName("controlUploadReport");
  report_->setWordWrap(true);
  report_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  // Room for the backup's path over two lines and the read-back result, so
  // that the controls above do not move when they appear.
  report_->setMinimumHeight(fontMetrics().lineSpacing() * 5);
  report_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  fileLayout->addWidget(report_);
  fileLayout->addStretch();

  close_ = new QPushButton("Close", this);
  named(close_, kIdFwClose);

  auto* groups = new QHBoxLayout;
  groups->addWidget(guider, 1);
  groups->addWidget(file, 1);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(groups, 1);
  layout->addWidget(close_, 0, Qt::AlignRight);

  connect(fileName_, &QLineEdit::textChanged, this, &CFirmwareDlg::OnFileNameChanged);
  connect(browse_, &CBrowseButton::FileChosen, this, [this](const QString& file) {
    if (settings_ == nullptr) return;
    const QString folder = QFileInfo(file).absolutePath();
    settings_->SetFirmwareFolder(folder);
    browse_->SetStartFolder(folder);
  });
  connect(checkVersion_, &QPushButton::clicked, this, &CFirmwareDlg::OnCheckVersion);
  connect(run_, &QPushButton::clicked, this, &CFirmwareDlg::OnRun);
  connect(upload_, &QPushButton::clicked, this, &CFirmwareDlg::OnUpload);
  connect(close_, &QPushButton::clicked, this, &QDialog::accept);

  // No default button: Enter presses the focused button or toggles the
  // focused check box; it never closes the window under the user's
  // choices, nor talks to the guider from the file name.
  LetEnterPressFocusedButton(*this);
}

void CFirmwareDlg::OnFileNameChanged(const QString& name) {
  // The previous file goes first, so that a failed load leaves none, and
  // with it what its upload reported: "Done" under another file would claim
  // that one was flashed.
  firmware_ = LoadedFirmware{};
  report_->clear();
  progress_->setValue(0);
  FirmwareFileLoad load = LoadFirmwareFile(ToPath(name));
  description_->setText(QString::fromStdString(load.description));
  if (load.status != FirmwareFileStatus::kOk) {
    SetUploadUnavailable(kFileRefusedStep);
    ShowError(QString::fromStdString(load.errorBoxText));
    return;
  }
  firmware_ = std::move(load.firmware);
  SetUploadUnavailable(firmware_.HasFirmware() ? nullptr : kNoHcFirmwareStep);
}

void CFirmwareDlg::SetUploadUnavailable(const char* reason) {
  unavailable_ = reason;
  step_->setText(reason != nullptr ? reason : kIdleStep);
  upload_->setToolTip(reason != nullptr ? reason : "");
}

void CFirmwareDlg::ShowError(const QString& text) {
  dialogs_.ShowMessage(this, text, "ERROR", MessageIcon::Exclamation, MessageButtons::Ok);
}

// ---- Check version, Run ----

void CFirmwareDlg::OnCheckVersion() { CheckVersion(); }

void CFirmwareDlg::CheckVersion() {
  versions_->clear();
  ShowVersions(CheckGuiderVersions(device_));
}

void CFirmwareDlg::ShowVersions(const VersionCheck& check) {
  const QString text = QString::fromStdString(check.text);
  if (!check.ok) ShowError(text);
  versions_->setText(text);
}

void CFirmwareDlg::OnRun() {
  versions_->clear();
  // From the boot loader this sends 'B'; a running firmware is switched to
  // normal mode.
  if (EnterDeviceMode(device_, kNormalMode) == 0) {
    versions_->setText(kFirmwareStartedText);
    return;
  }
  const QString text = QString::fromStdString(DeviceFailureText(device_));
  ShowError(text);
  versions_->setText(text);
}

// ---- Upload ----

// The window's side of an upload: its step line, progress bar and report,
// and its message boxes.
class CFirmwareDlg::UploadHost final : public FirmwareUpdateHost {
 public:
  explicit UploadHost(CFirmwareDlg& window) : window_(window) {}

  void SetStep(const std::string& text) override {
    window_.step_->setText(QString::fromStdString(text));
    window_.progress_->setValue(0);
  }
  void SetProgress(int percent) override { UploadProgress(percent); }
  void PumpMessages() override { ktal::PumpMessages(); }
  bool Ask(const std::string& text, const std::string& caption, AskButtons buttons) override {
    const bool retry = buttons == AskButtons::kRetryCancel;
    const MessageAnswer answer = window_.dialogs_.ShowMessage(
        &window_, QString::fromStdString(text), QString::fromStdString(caption),
        MessageIcon::Exclamation, retry ? MessageButtons::RetryCancel : MessageButtons::YesNo);
    return answer == (retry ? MessageAnswer::Retry : MessageAnswer::Yes);
  }
  void AddReport(const std::string& line) override {
    QLabel* report = window_.report_;
    const QString text = QString::fromStdString(line);
    report->setText(report->text().isEmpty() ? text : report->text() + "\n" + text);
  }

 private:
  CFirmwareDlg& window_;
};

void CFirmwareDlg::OnUpload() {
  if (!firmware_.HasFirmware()) {
    SetStep(unavailable_);
    return;
  }
  if (firmware_.hcVersion > ApplicationFirmwareLimit()) {
    const MessageAnswer answer = dialogs_.ShowMessage(
        this, kNewerFirmwareQuestion, "WARNING", MessageIcon::Exclamation, MessageButtons::YesNo);
    if (answer != MessageAnswer::Yes) return;
  }

  uploading_ = true;
  group_.ModifyStyle(0, kControlStyleDisabled, true);
  g_uploadProgress = progress_;
  report_->clear();

  FirmwareUpdateRequest request;
  request.firmware = firmware_;
  request.defaultVariables = defaultVariables_->isChecked();
  request.handController = handController_->isChecked();
  request.camera = camera_->isChecked();
  request.backupFolder = g_startupDirectory;
  UploadHost host(*this);
  FirmwareUpdateResult result;
  {
    // Between its progress reports the upload waits on the link (restarts
    // of a second and more, the handshakes, the blocks between two
    // reports): those waits hand the window its events too.
    const ScopedIdleHandler pumping(device_.clock(), &ktal::PumpMessages, kPumpEveryMs);
    result = RunFirmwareUpdate(device_, request, host);
  }

  switch (result.end) {
    case FirmwareUpdateEnd::kDone:
      versions_->clear();
      ShowVersions(result.versions);
      break;
    case FirmwareUpdateEnd::kNotRestored:
      versions_->setText(QString::fromStdString(result.failureText));
      break;
    case FirmwareUpdateEnd::kBackupDeclined:
      break;
    case FirmwareUpdateEnd::kNotConnected:
    case FirmwareUpdateEnd::kVariablesNotRead:
    case FirmwareUpdateEnd::kUploadFailed: {
      g_uploadProgress = nullptr;
      const QString failure = QString::fromStdString(result.failureText);
      ShowError(QString("%1\n\n(%2)").arg(failure, QString::fromStdString(result.protocolMessage)));
      versions_->setText(failure);
      break;
    }
  }
  EndUpload();
}

void CFirmwareDlg::EndUpload() {
  group_.ModifyStyle(kControlStyleDisabled, 0, true);
  g_uploadProgress = nullptr;
  uploading_ = false;
}

void CFirmwareDlg::SetStep(const char* text) {
  step_->setText(text);
  progress_->setValue(0);
}

void CFirmwareDlg::done(int result) {
  if (uploading_) return;
  if (!closed_) {
    closed_ = true;
    DisconnectDevice(device_);
  }
  QDialog::done(result);
}

}  // namespace ktal
