#include "firmware/firmware_dlg.h"

#include <QCheckBox>
#include <QFile>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QProgressBar>
#include <QScopedValueRollback>
#include <QVBoxLayout>
#include <cstdio>
#include <ctime>
#include <span>

#include "app/launcher_dialog.h"
#include "app/user_dialogs.h"
#include "firmware/update_protocol.h"
#include "link/bounded_text.h"
#include "link/ftdi_device.h"
#include "link/handshakes.h"

namespace ktal {

QProgressBar* g_uploadProgress = nullptr;

void UploadProgress(int percent) {
  if (g_uploadProgress == nullptr) return;
  g_uploadProgress->setValue(percent);
  PumpMessages();
}

namespace {

constexpr char kCaption[] = "TVX Firmware control dialog";
constexpr char kFileFilter[] = "Firmware files (*.fw)";
constexpr char kNoFileText[] = "no file is selected";
constexpr char kNoTargetText[] = "No target selected for this browse button!";

constexpr char kNewerFirmwareQuestion[] =
    "The firmware file contains newer version than this application can handle.\n"
    "Download the latest TVX DUVO Application executable!\n\n"
    "Some variables may not be initialized to default value for this\n"
    "unknown-version firmware.\n"
    "Continue uploading the firmware?";
constexpr char kNotConnectedText[] =
    "ERROR: Can't connect to TVX-DUVO. Device may not be connected via USB.\n %s";
constexpr char kTurnedOffText[] =
    "ERROR: Can't connect to TVX-DUVO. Device may be turned off.\n %s";
constexpr char kUploadFailedText[] =
    "ERROR: uploading FAILED\n\n - firmware may not be valid\n - communication fault during "
    "uploading";
constexpr char kCrcErrorText[] = "CRC error in firmware\n";
constexpr char kFirmwareStartedText[] = "HC was instructed to start firmware.";

// Beyond the plain upload: the variables are read before anything is
// flashed, so a failed read stops it there.
constexpr char kReadVariablesFailedText[] =
    "ERROR: reading the stored variables FAILED\n\nNothing was uploaded.";
constexpr char kBackupFailedQuestion[] =
    "The variables read from the guider could not be saved to\n%s\n(%s)\n\n"
    "Continue uploading the firmware?";
// Why UPLOAD has nothing to do, shown where its steps go.
constexpr char kNoFileStep[] = "Nothing to upload: no firmware file is selected";
constexpr char kFileRefusedStep[] = "Nothing to upload: the selected file was refused";
constexpr char kNoHcFirmwareStep[] =
    "Nothing to upload: the file holds no hand-controller firmware";
constexpr char kIdleStep[] = "...";

constexpr char kNotRestoredText[] = "ERROR: the stored variables were NOT restored";
constexpr char kNotRestoredStep[] = "Variables NOT restored";
constexpr char kNothingUploadedStep[] = "Nothing uploaded";

// The connect texts carry the handshake's message, cut to this length.
constexpr std::size_t kConnectTextSize = 1000 + 1;
constexpr int kVersionWordBytes = 2;

QString ObjectName(int id) {
  return id == kIdFwClose ? QString("button1") : QString("control%1").arg(id);
}

std::filesystem::path ToPath(const QString& name) {
  return std::filesystem::path(QFile::encodeName(name).toStdString());
}

QString ToQString(const std::filesystem::path& path) {
  return QFile::decodeName(path.native().c_str());
}

std::string Printf(const char* format, auto... args) {
  const int size = std::snprintf(nullptr, 0, format, args...);
  if (size <= 0) return {};
  std::string text(static_cast<std::size_t>(size) + 1, '\0');
  std::snprintf(text.data(), text.size(), format, args...);
  text.resize(static_cast<std::size_t>(size));
  return text;
}

// The device's reason for the last failure. errorText rather than
// errorString: read and write time-outs, the usual failures here, update
// only the former, and the latter would name some older failure or nothing.
std::string FtdiFailureText() { return Printf("FTDI: %s\n", g_device.errorText); }

QString ProtocolMessage() { return QString::fromLocal8Bit(g_protocolMessage); }

std::span<const std::uint8_t> Transferred(const VariableSet& variables) {
  return std::span(variables.image.data(), kEepromTransferSize);
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
  const QStringList chosen = dialogs_.OpenFiles(this, "Open", target_->text(), filter_, false);
  if (!chosen.isEmpty()) target_->setText(chosen.front());
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
  const QStringList chosen = dialogs_.OpenFiles(this, "Open", current, filter_, false);
  if (!chosen.isEmpty()) target_->setText(chosen.front());
}

// ---- CFirmwareDlg ----

CFirmwareDlg::CFirmwareDlg(UserDialogs& dialogs, QWidget* parent)
    : QDialog(parent), dialogs_(dialogs), group_(this) {
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

CFirmwareDlg::~CFirmwareDlg() {
  if (!closed_) DisconnectDevice();
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

std::optional<std::string> CFirmwareDlg::CheckVersion() {
  versions_->clear();
  auto fail = [this](const std::string& text) {
    ShowError(QString::fromStdString(text));
    versions_->setText(QString::fromStdString(text));
    return std::optional<std::string>(text);
  };

  // From the boot loader the firmware is started first; a firmware running
  // in normal mode is switched to update mode, where the versions are read.
  int mode = ProbeDeviceMode();
  if (mode == kBootMode) {
    if (StartFirmware() != 0) return fail(FtdiFailureText());
    mode = ProbeDeviceMode();
  }
  if (mode < 0) return fail(FtdiFailureText());
  if (mode == kNormalMode && EnterDeviceMode(kUpdateMode) != 0) return fail(FtdiFailureText());

  UpdateModeVersions read;
  // A partial answer is no version either.
  if (ReadUpdateModeVersions(read) != 0) return fail(FtdiFailureText());
  if (read.firmwareStatus != 0) return fail(kCrcErrorText);

  std::string text = Printf("HandController BOOT: $%02x\n", read.bootVersion);
  text += Printf("  ... firmware: $%04x\n", read.firmwareVersion);
  if (read.cameraStatus != 0) {
    text += Printf("\ncan't get camera boot version: cam error $%02x\n", read.cameraStatus);
  } else {
    text += Printf("Camera BOOT: $%02x\n", read.cameraBootVersion);
    text += Printf("  ... firmware: $%04x\n", read.cameraFirmwareVersion);
  }
  versions_->setText(QString::fromStdString(text));
  return std::nullopt;
}

void CFirmwareDlg::OnRun() {
  versions_->clear();
  // From the boot loader this sends 'B'; a running firmware is switched to
  // normal mode.
  if (EnterDeviceMode(kNormalMode) == 0) {
    versions_->setText(kFirmwareStartedText);
    return;
  }
  const QString text = QString::fromStdString(FtdiFailureText());
  ShowError(text);
  versions_->setText(text);
}

// ---- Upload ----

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
  backup_ = VariableBackup{};

  const int connected = EnterDeviceMode(kUpdateMode);
  if (connected != 0) {
    char text[kConnectTextSize];
    FormatBounded(text, sizeof text, connected < 0 ? kNotConnectedText : kTurnedOffText,
                  g_protocolMessage);
    FailUpload(text);
    return;
  }

  variables_.SetDefaults();
  const bool defaults = defaultVariables_->isChecked();
  const bool handController = handController_->isChecked();
  const bool camera = camera_->isChecked();

  if (!defaults && handController) {
    SetStep("Reading variables");
    if (DownloadEEPROM(variables_, UploadProgress) != 0) {
      FailUpload(kReadVariablesFailedText);
      return;
    }
    if (!SaveBackup()) {
      SetStep(kNothingUploadedStep);
      EndUpload();
      return;
    }
  }
  PumpMessages();

  const std::span<const std::uint8_t> file(firmware_.contents);
  if (handController) {
    SetStep("Updating HandController");
    if (UploadHC(file, firmware_.hcOffset + kVersionWordBytes, firmware_.hcImageLength,
                 UploadProgress) != 0) {
      FailUpload(kUploadFailedText);
      return;
    }
    variables_.SetImageVersion(firmware_.hcVersion);
    if (!RestoreVariables()) {
      // Nothing more is flashed into a guider whose settings are not in
      // place; the user has been told, and "Done" is never shown.
      SetStep(kNotRestoredStep);
      versions_->setText(kNotRestoredText);
      AddReport(kNotRestoredStep);
      EndUpload();
      return;
    }
  }
  // A camera section with a version but no image bytes has nothing to send.
  if (firmware_.cameraVersion != 0 && firmware_.cameraImageLength > 0 && camera) {
    SetStep("Updating Camera 1/2");
    if (UploadCam(file, firmware_.cameraOffset + kVersionWordBytes, firmware_.cameraImageLength,
                  UploadProgress) != 0) {
      FailUpload(kUploadFailedText);
      return;
    }
  }
  if (firmware_.ccdbVersion != 0 && camera) {
    SetStep("Updating Camera 2/2");
    if (UploadCCDB(file, firmware_.ccdbOffset + kVersionWordBytes, LoadedFirmware::ccdbImageLength,
                   UploadProgress) != 0) {
      FailUpload(kUploadFailedText);
      return;
    }
  }

  PumpMessages();
  SetStep("Done");
  CheckVersion();
  DisconnectDevice();
  EndUpload();
}

bool CFirmwareDlg::SaveBackup() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  backup_ = SaveVariableBackup(Transferred(variables_), variables_.ImageVersion(), local,
                               g_startupDirectory);
  if (backup_.Saved()) {
    AddReport("Variables read from the guider saved to:\n" + ToQString(backup_.path));
    return true;
  }
  const std::string question =
      Printf(kBackupFailedQuestion, g_startupDirectory.string().c_str(), backup_.error.c_str());
  const MessageAnswer answer =
      dialogs_.ShowMessage(this, QString::fromStdString(question), "WARNING",
                           MessageIcon::Exclamation, MessageButtons::YesNo);
  if (answer != MessageAnswer::Yes) return false;
  AddReport("Variables read from the guider NOT saved");
  return true;
}

bool CFirmwareDlg::RestoreVariables() {
  for (bool retry = false;; retry = true) {
    SetStep("Restoring variables");
    QString reason;
    // A failed transfer has closed the link: the retry starts again with
    // the handshake. The image is laid out afresh each time, which changes
    // nothing, since the variables have not changed.
    if (retry && EnterDeviceMode(kUpdateMode) != 0) {
      reason = ProtocolMessage();
    } else if (UploadEEPROM(variables_, UploadProgress, false) != 0) {
      reason = ProtocolMessage();
    } else {
      SetStep("Verifying variables");
      const std::optional<std::string> problem = VerifyRestore();
      if (!problem) {
        AddReport(QString::fromStdString(DescribeReadBack({})));
        return true;
      }
      reason = QString::fromStdString(*problem);
    }

    QString text = QString(kNotRestoredText) + ".\n\n" + reason.trimmed() +
                   "\n\nThe new firmware is in place; until its variables are restored, the "
                   "guider runs with settings laid out for another version.";
    if (backup_.Saved() && !backup_.path.empty()) {
      text += "\nThe variables read before the update are saved in\n" + ToQString(backup_.path);
    }
    text += "\n\nRetry restoring the variables?";
    const MessageAnswer answer = dialogs_.ShowMessage(this, text, "ERROR", MessageIcon::Exclamation,
                                                      MessageButtons::RetryCancel);
    if (answer != MessageAnswer::Retry) return false;
  }
}

std::optional<std::string> CFirmwareDlg::VerifyRestore() {
  VariableSet readBack;
  readBack.SetDefaults();
  if (DownloadEEPROM(readBack, UploadProgress) != 0) {
    return "The variables written could not be read back to check them.\n" +
           ProtocolMessage().toStdString();
  }
  const std::vector<int> differing =
      DifferingOffsets(Transferred(variables_), Transferred(readBack));
  if (differing.empty()) return std::nullopt;
  AddReport(QString::fromStdString(DescribeReadBack(differing)));
  return DescribeReadBack(differing);
}

void CFirmwareDlg::FailUpload(const std::string& text) {
  g_uploadProgress = nullptr;
  const QString failure = QString::fromStdString(text);
  ShowError(QString("%1\n\n(%2)").arg(failure, ProtocolMessage()));
  versions_->setText(failure);
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

void CFirmwareDlg::AddReport(const QString& line) {
  report_->setText(report_->text().isEmpty() ? line : report_->text() + "\n" + line);
}

void CFirmwareDlg::done(int result) {
  if (uploading_) return;
  if (!closed_) {
    closed_ = true;
    DisconnectDevice();
  }
  QDialog::done(result);
}

void InstallFirmwareControl(CTVX_DUVO_VerAdiDlg& launcher, UserDialogs& dialogs) {
  launcher.SetFeatureWindow(kIdFirmwareControl, [&dialogs](QWidget*) {
    // No owner: the window gets a taskbar button of its own.
    CFirmwareDlg window(dialogs);
    window.exec();
  });
}

}  // namespace ktal
