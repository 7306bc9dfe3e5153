// SPDX-License-Identifier: GPL-3.0-or-later
#include "filesystem/filesystem_dlg.h"

#include <QAbstractItemView>
#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QRegularExpressionValidator>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QTableWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdio>
#include <optional>
#include <string_view>
#include <system_error>

#include "filesystem/output_root.h"
#include "guidelog/report_settings.h"
#include "link/clock.h"
#include "link/ftdi_device.h"
#include "link/handshakes.h"
#include "link/printf.h"
#include "shell/application_icon.h"
#include "shell/qt_text.h"
#include "shell/settings_store.h"
#include "shell/startup_directory.h"
#include "shell/user_dialogs.h"

namespace ktal {

std::filesystem::path g_lastLocalFile;

namespace {

constexpr char kCaption[] = "TVX filesystem";
// How often a run's waits on the link hand the window its events.
constexpr std::uint32_t kPumpEveryMs = 20;
constexpr char kDownloadText[] = "Download + process file(s)";
constexpr char kProcessLocalText[] = "Process local file above";
constexpr char kLocalFileFilter[] = "TVX binary data file (*.dat)";
constexpr char kReportFile[] = "index.html";
constexpr char kAnalysisFile[] = "analysis.html";
constexpr char kChooseOutputCaption[] = "Output folder";
constexpr char kOutputMissingError[] =
    "The output folder does not exist:\n%1\n\nNothing was downloaded or processed. Choose "
    "another folder with \"Choose...\", or create this one.";
constexpr char kOutputNotFolderError[] =
    "The output folder is not a folder:\n%1\n\nNothing was downloaded or processed. Choose "
    "another folder with \"Choose...\".";
constexpr char kOutputNotWritableError[] =
    "The output folder cannot be written:\n%1\n\nNothing was downloaded or processed. Choose "
    "another folder with \"Choose...\".";

constexpr char kFocalLengthError[] = "Wrong focal length entered, value must be positive!";
constexpr char kWormPeriodError[] = "Wrong gear period entered, value must be positive!";
constexpr char kStarDecError[] =
    "Wrong DEC coordinate entered, value must be between -90 and 90 degrees!";
// A setting whose number goes on past what can be read ("1000.5" for a
// focal length) would reach the tables as another number than the one on
// screen.
constexpr char kFocalLengthWholeError[] =
    "Wrong focal length entered, value must be a whole number of millimetres!";
constexpr char kWormPeriodWholeError[] =
    "Wrong gear period entered, value must be a whole number of seconds!";
constexpr char kStarDecNumberError[] =
    "Wrong DEC coordinate entered, value must be one number of degrees, such as -45.5 or -45,5!";

// Column widths of the file list in pixels, as drawn in a small 8-point
// font; each column still widens to its widest text in the font in use.
constexpr int kColumnWidths[] = {60, 110, 110, 40};
constexpr const char* kWidestTexts[] = {"QD000000", "2026.12.31. 23:59", "2026.12.31. 23:59",
                                        "state"};
const QColor kListBackground(0xF0, 0xF0, 0xFF);

QString ObjectName(int id) {
  return id == kIdFsClose ? QString("button1") : QString("control%1").arg(id);
}

std::string StampText(std::uint16_t date, std::uint16_t time) {
  return Printf("%d.%02d.%02d. %2d:%02d", DateYear(date), DateMonth(date), DateDay(date),
                TimeHour(time), TimeMinute(time));
}

std::string ModificationText(const DirectoryEntry& entry) {
  if (entry.modified_date == kUnsetDate) return std::string(17, ' ');
  return StampText(entry.modified_date, entry.modified_time);
}

std::string StateText(const DirectoryEntry& entry, bool deleted) {
  const bool isNew = (entry.flags & kDownloadedFlag) == 0 && !deleted;
  return Printf("%c %c", deleted ? 'X' : ' ', isNew ? 'N' : ' ');
}

// The text from its first non-blank character on, as plain bytes.
std::string AfterBlanks(const QString& text) {
  const std::string bytes = text.toStdString();
  const std::size_t start = bytes.find_first_not_of(" \t\n\v\f\r");
  return start == std::string::npos ? std::string() : bytes.substr(start);
}

// What a setting's text holds at its start.
template <typename T>
struct LeadingNumber {
  std::optional<T> value;
  bool outOfRange = false;
  // The text goes on with a point, a comma, a sign or a digit ("1000.5" read
  // as a whole number, "4.5.1"): the number read is not the one on screen.
  bool continues = false;
};

// A decimal number at the start of the text, blanks skipped; reading stops
// at the first character that does not belong to it ("7x" reads 7). With
// `decimalComma` a comma after the whole part stands for the point.
// std::from_chars rather than strtod: the decimal point must not depend on
// the user's locale, which the toolkit has made the C library's.
template <typename T>
LeadingNumber<T> ReadLeadingNumber(const QString& text, bool decimalComma) {
  LeadingNumber<T> read;
  std::string bytes = AfterBlanks(text);
  // from_chars knows no plus sign; a second sign after it is no number.
  if (!bytes.empty() && bytes.front() == '+') {
    bytes.erase(0, 1);
    if (!bytes.empty() && bytes.front() == '-') return read;
  }
  if (decimalComma) {
    const std::size_t wholeEnd = bytes.find_first_not_of("-0123456789");
    if (wholeEnd != std::string::npos && bytes[wholeEnd] == ',') bytes[wholeEnd] = '.';
  }
  T value{};
  const char* last = bytes.data() + bytes.size();
  const auto [end, error] = std::from_chars(bytes.data(), last, value);
  if (error == std::errc::result_out_of_range) {
    read.outOfRange = true;
    return read;
  }
  if (error != std::errc()) return read;
  read.value = value;
  read.continues =
      end != last && std::string_view("+-.,0123456789").find(*end) != std::string_view::npos;
  return read;
}

enum class WholeSetting { kOk, kNotPositive, kNotWhole };

// A positive whole number that fits the int the tables use. What was read
// goes to `stored` when it fits, else 0.
WholeSetting ReadPositiveInteger(const QString& text, int* stored) {
  const LeadingNumber<long long> read = ReadLeadingNumber<long long>(text, false);
  const std::optional<long long>& value = read.value;
  *stored = value && *value >= INT_MIN && *value <= INT_MAX ? static_cast<int>(*value) : 0;
  if (!value || *value < 1 || *value > INT_MAX) return WholeSetting::kNotPositive;
  if (read.continues) return WholeSetting::kNotWhole;
  return WholeSetting::kOk;
}

MessageIcon ToMessageIcon(RunIcon icon) {
  switch (icon) {
    case RunIcon::kInformation:
      return MessageIcon::Information;
    case RunIcon::kExclamation:
      return MessageIcon::Exclamation;
    case RunIcon::kNone:
      break;
  }
  return MessageIcon::None;
}

QLabel* UnitLabel(const char* text, QWidget* parent) {
  auto* label = new QLabel(text, parent);
  label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  return label;
}

}  // namespace

CFilesystemDlg::CFilesystemDlg(UserDialogs& dialogs, CFtdiDevice& device, QWidget* parent)
    : QDialog(parent), dialogs_(dialogs), device_(device), busyGroup_(this), localModeGroup_(this) {
  setWindowTitle(kCaption);
  setWindowIcon(ApplicationIcon());
  // A window with its own taskbar button and a minimize box.
  setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
  BuildControls();

  for (QWidget* control : std::initializer_list<QWidget*>{
           selectNew_, showDeletedBox_, list_, download_, html_, pe_, focalLength_, wormPeriod_,
           starDec_, close_, useLocal_, refresh_, phd2_, chooseOutput_}) {
    busyGroup_.Add(control);
  }
  for (QWidget* control :
       std::initializer_list<QWidget*>{selectNew_, showDeletedBox_, list_, refresh_}) {
    localModeGroup_.Add(control);
  }

  ShowOutputFolder();
  // No guider attached is the normal case when the window opens: the first
  // refresh keeps quiet about it.
  OnRefreshFiles();
  quiet_ = false;
}

void CFilesystemDlg::UseSettings(SettingsStore& store) {
  settings_ = &store;
  const KeptReportSettings& report = store.values().report;
  csvFormat_->setCurrentIndex(report.csvFormat);
  html_->setChecked(report.htmlReport);
  pe_->setChecked(report.peTables);
  phd2_->setChecked(report.phd2GuideLog);
  focalLength_->setText(report.focalLength ? QString::number(*report.focalLength) : QString());
  wormPeriod_->setText(report.wormPeriod ? QString::number(*report.wormPeriod) : QString());
  starDec_->setText(report.starDec
                        ? QString::number(*report.starDec, 'g', QLocale::FloatingPointShortest)
                        : QString());
  outputFolder_ = store.values().outputFolder;
  ShowOutputFolder();
}

std::filesystem::path CFilesystemDlg::OutputRoot() const {
  return outputFolder_.isEmpty() ? g_startupDirectory : ToPath(outputFolder_);
}

std::filesystem::path CFilesystemDlg::RunFolder() const {
  // Until a folder is chosen, a local file's outputs go beside it.
  if (useLocal_->isChecked() && outputFolder_.isEmpty() && !localFolder_.empty())
    return localFolder_;
  return OutputRoot();
}

void CFilesystemDlg::ShowOutputFolder() {
  const QString folder = QDir::toNativeSeparators(ToQString(RunFolder()));
  outputFolderField_->setText(folder);
  outputFolderField_->setCursorPosition(0);
  QString where;
  if (!outputFolder_.isEmpty()) {
    where = "the folder chosen";
  } else if (RunFolder() == OutputRoot()) {
    where = "the folder the program was started in, until another is chosen";
  } else {
    where = "the local file's folder, until an output folder is chosen";
  }
  outputFolderField_->setToolTip(
      QString("Downloaded logs get a folder QD<id>.dat.content each in:\n%1\n(%2)")
          .arg(folder, where));
}

void CFilesystemDlg::OnChooseOutputFolder() {
  const QString chosen = dialogs_.ChooseFolder(this, kChooseOutputCaption, ToQString(OutputRoot()));
  if (chosen.isEmpty()) return;
  outputFolder_ = chosen;
  if (settings_ != nullptr) settings_->SetOutputFolder(chosen);
  ShowOutputFolder();
  UpdateOpenReport();
}

bool CFilesystemDlg::OutputFolderUsable(const std::filesystem::path& folder) {
  const char* problem = nullptr;
  switch (CheckOutputFolder(folder)) {
    case FolderState::kUsable:
      return true;
    case FolderState::kMissing:
      problem = kOutputMissingError;
      break;
    case FolderState::kNotAFolder:
      problem = kOutputNotFolderError;
      break;
    case FolderState::kNotWritable:
      problem = kOutputNotWritableError;
      break;
  }
  dialogs_.ShowMessage(this, QString(problem).arg(QDir::toNativeSeparators(ToQString(folder))),
                       "ERROR", MessageIcon::Exclamation, MessageButtons::Ok);
  return false;
}

KeptReportSettings CFilesystemDlg::ReportChoices() const {
  KeptReportSettings report =
      settings_ != nullptr ? settings_->values().report : KeptReportSettings{};
  report.csvFormat = csvFormat_->currentIndex() == 1 ? 1 : 0;
  report.htmlReport = html_->isChecked();
  report.peTables = pe_->isChecked();
  report.phd2GuideLog = phd2_->isChecked();
  auto wholeNumber = [](const QLineEdit* field, std::optional<int>& kept) {
    if (AfterBlanks(field->text()).empty()) {
      kept.reset();
      return;
    }
    int value = 0;
    if (ReadPositiveInteger(field->text(), &value) == WholeSetting::kOk) kept = value;
  };
  wholeNumber(focalLength_, report.focalLength);
  wholeNumber(wormPeriod_, report.wormPeriod);
  if (AfterBlanks(starDec_->text()).empty()) {
    report.starDec.reset();
  } else {
    const LeadingNumber<double> dec = ReadLeadingNumber<double>(starDec_->text(), true);
    if (dec.value && !dec.continues && std::isfinite(*dec.value) && std::fabs(*dec.value) <= 90.0)
      report.starDec = *dec.value;
  }
  return report;
}

void CFilesystemDlg::KeepReportChoices() {
  if (settings_ == nullptr) return;
  const KeptReportSettings report = ReportChoices();
  if (report != settings_->values().report) settings_->SetReport(report);
}

CFilesystemDlg::~CFilesystemDlg() { LeaveGuider(); }

void CFilesystemDlg::BuildControls() {
  auto named = [](QWidget* control, int id) {
    control->setObjectName(ObjectName(id));
    return control;
  };

  // ---- The guider's side ----
  auto* guider = new QGroupBox("K-Tal Autoguider's files", this);
  auto* guiderLayout = new QVBoxLayout(guider);

  refresh_ = new QPushButton("Refresh files", guider);
  named(refresh_, kIdRefreshFiles);
  auto* refreshRow = new QHBoxLayout;
  refreshRow->addWidget(refresh_);
  refreshRow->addStretch();
  guiderLayout->addLayout(refreshRow);

  list_ = new QTableWidget(0, 4, guider);
  named(list_, kIdFileList);
  list_->setHorizontalHeaderLabels({"ID", "Created", "Modified", "state"});
  QHeaderView* header = list_->horizontalHeader();
  header->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  header->setSectionsClickable(false);
  header->setHighlightSections(false);
  header->setStretchLastSection(false);
  header->setSectionResizeMode(QHeaderView::Interactive);
  int columnsWidth = 0;
  for (int column = 0; column < 4; ++column) {
    const int width = std::max(kColumnWidths[column],
                               list_->fontMetrics().horizontalAdvance(kWidestTexts[column]) + 12);
    list_->setColumnWidth(column, width);
    columnsWidth += width;
  }
  list_->verticalHeader()->hide();
  list_->verticalHeader()->setDefaultSectionSize(list_->fontMetrics().height() + 4);
  list_->setShowGrid(true);
  list_->setWordWrap(false);
  list_->setSelectionBehavior(QAbstractItemView::SelectRows);
  list_->setSelectionMode(QAbstractItemView::ExtendedSelection);
  list_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  list_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  list_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  QPalette palette = list_->palette();
  palette.setColor(QPalette::Base, kListBackground);
  list_->setPalette(palette);
  // Wide enough for the four columns beside the scroll bar, high enough for
  // the sixteen files a guider can hold.
  list_->setMinimumWidth(columnsWidth + list_->verticalScrollBar()->sizeHint().width() +
                         2 * list_->frameWidth());
  list_->setMinimumHeight(header->sizeHint().height() +
                          kDirectoryEntries * list_->verticalHeader()->defaultSectionSize() / 2 +
                          2 * list_->frameWidth());
  guiderLayout->addWidget(list_, 1);

  selectNew_ = new QPushButton("Select New files", guider);
  named(selectNew_, kIdSelectNewFiles);
  showDeletedBox_ = new QCheckBox("Show deleted", guider);
  named(showDeletedBox_, kIdShowDeleted);
  auto* listButtons = new QHBoxLayout;
  listButtons->addWidget(selectNew_);
  listButtons->addStretch();
  listButtons->addWidget(showDeletedBox_);
  guiderLayout->addLayout(listButtons);

  // ---- The processing side ----
  auto* local = new QGroupBox("Local files", this);
  auto* localLayout = new QVBoxLayout(local);

  useLocal_ = new QPushButton("Use local file", local);
  named(useLocal_, kIdUseLocalFile);
  useLocal_->setCheckable(true);
  localLayout->addWidget(useLocal_, 0, Qt::AlignHCenter);

  localName_ = new QLabel(local);
  named(localName_, kIdLocalFileName);
  localName_->setAlignment(Qt::AlignCenter);
  // A long file name is cut, not allowed to widen the window.
  localName_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
  localName_->setMinimumHeight(localName_->fontMetrics().height());
  localLayout->addWidget(localName_);

  download_ = new QPushButton(kDownloadText, local);
  named(download_, kIdDownloadProcess);
  localLayout->addWidget(download_);

  localLayout->addSpacing(4);
  auto* csvLabel = new QLabel("CSV format (separator and real)", local);
  csvLabel->setAlignment(Qt::AlignCenter);
  localLayout->addWidget(csvLabel);
  csvFormat_ = new QComboBox(local);
  named(csvFormat_, kIdCsvFormat);
  csvFormat_->addItem("; and 1,23 (MS Excel)");
  csvFormat_->addItem(", and 1.23 (KS Spreadsheets)");
  csvFormat_->setCurrentIndex(0);
  localLayout->addWidget(csvFormat_);

  html_ = new QCheckBox("Generate HTML", local);
  named(html_, kIdGenerateHtml);
  pe_ = new QCheckBox("Generate Periodic Error", local);
  named(pe_, kIdGeneratePe);
  phd2_ = new QCheckBox("PHD2 guide log", local);
  phd2_->setObjectName(kPhd2GuideLogName);
  phd2_->setToolTip(
      "Also writes the night as PHD2_GuideLog_<date>_<time>.txt for PHD Log Viewer: in "
      "arcseconds with the periodic-error settings, in pixels without");
  localLayout->addWidget(html_);
  localLayout->addWidget(pe_);
  localLayout->addWidget(phd2_);

  auto* settings = new QGridLayout;
  const int editWidth = fontMetrics().horizontalAdvance("-000.000") + 12;
  auto addSetting = [&](int row, const char* label, QLineEdit*& edit, int id, const char* unit,
                        const QString& pattern, const QString& name, const QString& rule) {
    auto* text = new QLabel(label, local);
    text->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    edit = new QLineEdit(local);
    named(edit, id);
    edit->setFixedWidth(editWidth);
    edit->setValidator(new QRegularExpressionValidator(QRegularExpression(pattern), edit));
    edit->installEventFilter(this);
    connect(edit, &QLineEdit::inputRejected, this,
            [this, name, rule] { OnSettingRefused(name, rule); });
    settings->addWidget(text, row, 0);
    settings->addWidget(edit, row, 1);
    settings->addWidget(UnitLabel(unit, local), row, 2);
  };
  // Each field takes what a number is typed with, a sign, a point or a
  // comma too, so that what was typed stays on screen: a value that is not
  // what the field needs is refused, by name, when the run is asked for.
  // Any other key is refused at once, and the hint below says why.
  addSetting(0, "Focal length =", focalLength_, kIdFocalLength, "mm",
             "[-+]?[0-9]{0,9}([.,][0-9]{0,6})?", "Focal length",
             "a whole number of millimetres, at most 9 digits");
  addSetting(1, "Worm gear period =", wormPeriod_, kIdWormPeriod, "sec",
             "[-+]?[0-9]{0,9}([.,][0-9]{0,6})?", "Worm gear period",
             "a whole number of seconds, at most 9 digits");
  // The declination has a sign and a fraction: southern stars and stars
  // between whole degrees are guided as well.
  addSetting(2, "Star's DEC coord. =", starDec_, kIdStarDec, "deg",
             "[-+]?[0-9]{0,3}([.,][0-9]{0,6})?", "Star's DEC",
             "degrees from -90 to 90, at most 6 decimals after a point or a comma");
  settings->setColumnStretch(0, 1);
  localLayout->addLayout(settings);
  settingsHint_ = new QLabel(local);
  settingsHint_->setObjectName("controlSettingsHint");
  settingsHint_->setWordWrap(true);
  settingsHint_->setStyleSheet("color: #a00000");
  settingsHint_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  // Room for the longest hint from the start, so that the fields do not
  // move under the pointer when one appears.
  settingsHint_->setMinimumHeight(3 * settingsHint_->fontMetrics().lineSpacing());
  localLayout->addWidget(settingsHint_);

  auto* outputLabel = new QLabel("Output folder:", local);
  outputFolderField_ = new QLineEdit(local);
  outputFolderField_->setObjectName(kOutputFolderName);
  outputFolderField_->setReadOnly(true);
  outputLabel->setBuddy(outputFolderField_);
  chooseOutput_ = new QPushButton("Choose...", local);
  chooseOutput_->setObjectName(kChooseOutputFolderName);
  chooseOutput_->setToolTip("Chooses the folder downloads and local files are processed into");
  auto* outputRow = new QHBoxLayout;
  outputRow->addWidget(outputFolderField_, 1);
  outputRow->addWidget(chooseOutput_);
  localLayout->addWidget(outputLabel);
  localLayout->addLayout(outputRow);

  localLayout->addStretch();
  status_ = new QLabel(local);
  named(status_, kIdRunStatus);
  status_->setAlignment(Qt::AlignCenter);
  status_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
  status_->setMinimumHeight(status_->fontMetrics().height());
  localLayout->addWidget(status_);

  runProgress_ = new QLabel(local);
  runProgress_->setObjectName("controlRunProgress");
  runProgress_->setAlignment(Qt::AlignCenter);
  runProgress_->setWordWrap(true);
  runProgress_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
  // Two lines from the start, so that nothing moves when a long one wraps.
  runProgress_->setMinimumHeight(2 * runProgress_->fontMetrics().lineSpacing());
  localLayout->addWidget(runProgress_);

  progress_ = new QProgressBar(local);
  progress_->setObjectName("runProgress");
  progress_->setTextVisible(false);
  progress_->setMaximumHeight(status_->fontMetrics().height());
  // Both keep their places while hidden, so the group does not jump at
  // each run.
  QSizePolicy keep = progress_->sizePolicy();
  keep.setRetainSizeWhenHidden(true);
  progress_->setSizePolicy(keep);
  progress_->hide();
  cancel_ = new QPushButton("Cancel", local);
  cancel_->setObjectName("controlCancelRun");
  cancel_->setToolTip(
      "Stops the download after the page being read: the part read is kept but not processed, "
      "files not yet read are left as they are");
  keep = cancel_->sizePolicy();
  keep.setRetainSizeWhenHidden(true);
  cancel_->setSizePolicy(keep);
  cancel_->hide();
  auto* progressRow = new QHBoxLayout;
  progressRow->addWidget(progress_, 1);
  progressRow->addWidget(cancel_);
  localLayout->addLayout(progressRow);

  openReport_ = new QPushButton("Open report", local);
  openReport_->setObjectName("controlOpenReport");
  openReport_->setToolTip("Opens index.html of the selected file's output folder");
  openReport_->setEnabled(false);
  openAnalysis_ = new QPushButton("Open analysis", local);
  openAnalysis_->setObjectName("controlOpenAnalysis");
  openAnalysis_->setToolTip(
      "Opens analysis.html of the selected file's output folder: the guide graph, guiding error "
      "and "
      "periodic error, with ranges to exclude");
  openAnalysis_->setEnabled(false);
  auto* openers = new QHBoxLayout;
  openers->addWidget(openReport_);
  openers->addWidget(openAnalysis_);
  localLayout->addLayout(openers);

  close_ = new QPushButton("Close", this);
  named(close_, kIdFsClose);

  auto* right = new QVBoxLayout;
  right->addWidget(local, 1);
  right->addWidget(close_, 0, Qt::AlignRight);
  auto* layout = new QHBoxLayout(this);
  layout->addWidget(guider, 1);
  layout->addLayout(right);

  connect(refresh_, &QPushButton::clicked, this, &CFilesystemDlg::OnRefreshFiles);
  connect(selectNew_, &QPushButton::clicked, this, &CFilesystemDlg::OnSelectNewFiles);
  // toggled, which a click, a key and a screen reader's toggle all give;
  // where the window sets a box itself it blocks the signal, so that only
  // the user's change runs a handler.
  connect(showDeletedBox_, &QCheckBox::toggled, this, &CFilesystemDlg::OnShowDeleted);
  connect(useLocal_, &QPushButton::toggled, this, &CFilesystemDlg::OnUseLocalFile);
  connect(download_, &QPushButton::clicked, this, &CFilesystemDlg::OnDownloadProcess);
  connect(chooseOutput_, &QPushButton::clicked, this, &CFilesystemDlg::OnChooseOutputFolder);
  connect(openReport_, &QPushButton::clicked, this,
          [this] { OpenOutputOfRow(ReportRow(), kReportFile); });
  connect(openAnalysis_, &QPushButton::clicked, this,
          [this] { OpenOutputOfRow(ReportRow(), kAnalysisFile); });
  connect(close_, &QPushButton::clicked, this, &QDialog::accept);
  connect(cancel_, &QPushButton::clicked, this, &CFilesystemDlg::OnCancelRun);
  connect(list_, &QTableWidget::itemSelectionChanged, this, &CFilesystemDlg::UpdateOpenReport);
  connect(list_, &QTableWidget::currentCellChanged, this, &CFilesystemDlg::UpdateOpenReport);
  connect(list_, &QTableWidget::cellDoubleClicked, this,
          [this](int row, int) { OpenOutputOfRow(row, kReportFile); });

  // No default button: Enter in a settings field must not close the window
  // and lose what was typed, nor run anything. Enter presses the focused
  // button.
  LetEnterPressFocusedButton(*this);
}

void CFilesystemDlg::OnRefreshFiles() {
  if (!device_.IsOpen()) {
    device_.deviceKind = kDeviceKindGuider;
    // errorString holds only the failures of finding and opening the chip:
    // emptied first, so that an older one is not shown as this one's.
    device_.errorString.clear();
    if (EnterDeviceMode(device_, kNormalMode) != 0) {
      if (!quiet_) {
        // A guider that is off or silent fails on a read time-out, which
        // leaves errorString empty; the handshake's message has the reason.
        const QString reason = device_.errorString.empty()
                                   ? QString::fromLocal8Bit(g_protocolMessage).trimmed()
                                   : QString::fromStdWString(device_.errorString);
        ShowMessage("FTDI: " + reason.toStdString() + "\n", "ERROR", RunIcon::kExclamation);
      }
      return;
    }
  }
  if (EnterFileSystemMode(device_) != 0) {
    // The rows stay as they were; the status line says why they were not
    // read again (the whole text on hovering).
    const QString reason = QString::fromLocal8Bit(g_protocolMessage).trimmed();
    status_->setText(reason.section('\n', 0, 0));
    status_->setToolTip(reason);
    return;
  }
  ListDirectory();
}

int CFilesystemDlg::ListDirectory() {
  list_->setRowCount(0);
  std::uint8_t directory[kDataPageSize];
  if (ReadPage(device_, kDirectoryPage, directory) != 0) {
    UpdateOpenReport();
    return 1;
  }
  for (int index = 0; index < kDirectoryEntries; ++index) {
    const DirectoryEntry entry = DecodeDirectoryEntry(directory + index * kDirectoryEntrySize);
    g_fileTable[index] = entry;
    const bool deleted = showDeleted_ && entry.first_page == kUnusedEntry;
    const std::uint16_t firstPage = deleted ? entry.saved_first_page : entry.first_page;
    if (firstPage >= kFirstUnreachablePage) continue;

    // Each row goes on top, so the newest entry leads the list.
    list_->insertRow(0);
    const std::string texts[] = {GuiderFileName(FileIdOf(entry.file_id)),
                                 StampText(entry.created_date, entry.created_time),
                                 ModificationText(entry), StateText(entry, deleted)};
    for (int column = 0; column < 4; ++column) {
      auto* item = new QTableWidgetItem(QString::fromStdString(texts[column]));
      item->setFlags(Qt::ItemIsSelectable | Qt::ItemIsEnabled);
      if (column == 0) item->setData(Qt::UserRole, index);
      list_->setItem(0, column, item);
    }
  }
  UpdateOpenReport();
  return 0;
}

void CFilesystemDlg::OnSelectNewFiles() {
  QItemSelectionModel* selection = list_->selectionModel();
  for (int row = 0; row < list_->rowCount(); ++row) {
    const bool isNew = list_->item(row, 3)->text().contains('N');
    selection->select(list_->model()->index(row, 0),
                      (isNew ? QItemSelectionModel::Select : QItemSelectionModel::Deselect) |
                          QItemSelectionModel::Rows);
  }
  list_->viewport()->update();
  list_->setFocus();
}

void CFilesystemDlg::OnShowDeleted(bool checked) {
  showDeleted_ = checked;
  ListDirectory();
  list_->setFocus();
}

void CFilesystemDlg::OnUseLocalFile(bool checked) {
  if (!checked) {
    RestoreDownloadControls();
    return;
  }
  download_->setText(kProcessLocalText);
  localModeGroup_.ModifyStyle(0, kControlStyleDisabled, true);
  UpdateOpenReport();

  // The dialog may change the process's current directory; the run sets
  // its own, but nothing else should find it moved.
  std::error_code error;
  const std::filesystem::path before = std::filesystem::current_path(error);
  // The file chosen last in this run, else the folder of the one chosen
  // in an earlier run.
  const QString start = g_lastLocalFile.empty() && settings_ != nullptr
                            ? settings_->values().localFileFolder
                            : ToQString(g_lastLocalFile);
  const QStringList chosen = dialogs_.OpenFiles(this, "Open", start, kLocalFileFilter, false);
  if (!before.empty()) std::filesystem::current_path(before, error);

  if (chosen.isEmpty()) {
    const QSignalBlocker quiet(useLocal_);
    useLocal_->setChecked(false);
    RestoreDownloadControls();
    return;
  }
  const std::filesystem::path file = ToPath(chosen.front());
  localFolder_ = file.parent_path();
  g_lastLocalFile = file;
  localName_->setText(ToQString(file.filename()));
  localName_->setToolTip(ToQString(file));
  if (settings_ != nullptr) settings_->SetLocalFileFolder(ToQString(localFolder_));
  ShowOutputFolder();
}

void CFilesystemDlg::RestoreDownloadControls() {
  download_->setText(kDownloadText);
  localName_->clear();
  localName_->setToolTip(QString());
  localModeGroup_.ModifyStyle(kControlStyleDisabled, 0, true);
  UpdateOpenReport();
  ShowOutputFolder();
}

void CFilesystemDlg::OnSettingRefused(const QString& name, const QString& rule) {
  // A key gives its character; a paste or a drop gives none of its own.
  const QString what = lastKey_.size() == 1 && lastKey_.front().isPrint()
                           ? QString("\"%1\"").arg(lastKey_)
                           : QString("that text");
  lastKey_.clear();
  settingsHint_->setText(QString("%1 refused %2: it takes %3.").arg(name, what, rule));
}

bool CFilesystemDlg::eventFilter(QObject* watched, QEvent* event) {
  if (watched == focalLength_ || watched == wormPeriod_ || watched == starDec_) {
    if (event->type() == QEvent::KeyPress) lastKey_ = static_cast<QKeyEvent*>(event)->text();
    if (event->type() == QEvent::Drop) lastKey_.clear();
  }
  return QDialog::eventFilter(watched, event);
}

void CFilesystemDlg::OnDownloadProcess() {
  settingsHint_->clear();
  const bool localFile = useLocal_->isChecked();
  g_csvFormat = csvFormat_->currentIndex();
  KeepReportChoices();
  if (!localFile && !device_.IsOpen()) return;

  RunRequest request;
  request.localFile = localFile;
  const bool htmlReport = html_->isChecked();
  const bool peTables = pe_->isChecked();
  if (peTables && !ReadPeriodicErrorSettings()) return;
  request.settings = StoredReportSettings(true, htmlReport, peTables);
  request.settings.phd2_log = phd2_->isChecked();
  request.outputRoot = OutputRoot();

  if (localFile) {
    request.localPath = g_lastLocalFile;
    request.localFolder = localFolder_;
  } else {
    const QItemSelectionModel* selection = list_->selectionModel();
    for (int row = 0; row < list_->rowCount(); ++row) {
      if (selection->isRowSelected(row, QModelIndex())) {
        request.entries.push_back(list_->item(row, 0)->data(Qt::UserRole).toUInt());
      }
    }
  }
  // Said before a page is read: a download into a folder that cannot take
  // it would still mark the files downloaded.
  if ((localFile || !request.entries.empty()) && !OutputFolderUsable(RunFolder())) return;
  if (localFile && !outputFolder_.isEmpty()) {
    // A raw file whose header cannot be read fails in the run, which says
    // so; its folder is then the output folder itself, where nothing is
    // written.
    const std::filesystem::path folder = LocalOutputFolder(g_lastLocalFile, OutputRoot());
    std::error_code error;
    if (!folder.empty()) std::filesystem::create_directory(folder, error);
    if (error) {
      dialogs_.ShowMessage(
          this, QString(kOutputNotWritableError).arg(QDir::toNativeSeparators(ToQString(folder))),
          "ERROR", MessageIcon::Exclamation, MessageButtons::Ok);
      return;
    }
    request.localFolder = folder.empty() ? OutputRoot() : folder;
  }
  downloading_ = !localFile;
  cancelRequested_ = false;
  // The page reads and the link's waits hand the window its events, so it
  // stays responsive however long the run.
  const ScopedIdleHandler pumping(
      device_.clock(), [this] { PumpWhileLinkWaits(); }, kPumpEveryMs);
  RunDownloadAndProcess(device_, request, *this);
  downloading_ = false;
}

void CFilesystemDlg::OnCancelRun() {
  if (!busy_ || !downloading_) return;
  cancelRequested_ = true;
  cancel_->setEnabled(false);
  runProgress_->setText(
      "Cancelling: the page being read is the last, or the log being "
      "processed is finished first");
}

void CFilesystemDlg::PumpWhileLinkWaits() {
  if (busy_) {
    PumpMessages();
  } else {
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
  }
}

bool CFilesystemDlg::ReadPeriodicErrorSettings() {
  auto refuse = [this](const char* text, QLineEdit* field) {
    ShowMessage(text, "ERROR", RunIcon::kExclamation);
    field->setFocus();
    field->selectAll();
    return false;
  };
  switch (ReadPositiveInteger(focalLength_->text(), &g_focalLength)) {
    case WholeSetting::kNotPositive:
      return refuse(kFocalLengthError, focalLength_);
    case WholeSetting::kNotWhole:
      return refuse(kFocalLengthWholeError, focalLength_);
    case WholeSetting::kOk:
      break;
  }
  switch (ReadPositiveInteger(wormPeriod_->text(), &g_wormPeriod)) {
    case WholeSetting::kNotPositive:
      return refuse(kWormPeriodError, wormPeriod_);
    case WholeSetting::kNotWhole:
      return refuse(kWormPeriodWholeError, wormPeriod_);
    case WholeSetting::kOk:
      break;
  }
  const LeadingNumber<double> dec = ReadLeadingNumber<double>(starDec_->text(), true);
  // An empty field is the equator; a text that is there but reads as no
  // number, or as another one, is refused rather than taken as 0.
  const bool empty = AfterBlanks(starDec_->text()).empty();
  if (!empty && ((!dec.value && !dec.outOfRange) || dec.continues)) {
    g_starDec = 0.0f;
    return refuse(kStarDecNumberError, starDec_);
  }
  const double value = dec.value.value_or(0.0);
  // "inf" and "nan" read as numbers too, and are no declination.
  if (dec.outOfRange || !std::isfinite(value) || std::fabs(value) > 90.0) {
    g_starDec = 0.0f;
    return refuse(kStarDecError, starDec_);
  }
  g_starDec = static_cast<float>(value);
  return true;
}

int CFilesystemDlg::ReportRow() const {
  if (!list_->isEnabled()) return -1;
  const QItemSelectionModel* selection = list_->selectionModel();
  const int current = list_->currentRow();
  if (current >= 0 && selection->isRowSelected(current, QModelIndex())) return current;
  for (int row = 0; row < list_->rowCount(); ++row) {
    if (selection->isRowSelected(row, QModelIndex())) return row;
  }
  return -1;
}

std::filesystem::path CFilesystemDlg::OutputOfRow(int row, const char* name) const {
  if (row < 0 || row >= list_->rowCount()) return {};
  const unsigned index = list_->item(row, 0)->data(Qt::UserRole).toUInt();
  if (index >= static_cast<unsigned>(kDirectoryEntries)) return {};
  std::filesystem::path output =
      OutputFolder(OutputRoot(), FileIdOf(g_fileTable[index].file_id)) / name;
  std::error_code error;
  return std::filesystem::is_regular_file(output, error) ? output : std::filesystem::path();
}

void CFilesystemDlg::UpdateOpenReport() {
  const int row = ReportRow();
  openReport_->setEnabled(!busy_ && !OutputOfRow(row, kReportFile).empty());
  // A folder processed by an older version has a report and no analysis.
  openAnalysis_->setEnabled(!busy_ && !OutputOfRow(row, kAnalysisFile).empty());
}

void CFilesystemDlg::OpenOutputOfRow(int row, const char* name) {
  if (busy_) return;
  const std::filesystem::path output = OutputOfRow(row, name);
  if (output.empty()) return;
  if (dialogs_.OpenWithDesktop(ToQString(output))) return;
  dialogs_.ShowMessage(this,
                       QString("No browser could be started to show %1.\n\nThe file is:\n%2")
                           .arg(name, QDir::toNativeSeparators(ToQString(output))),
                       "ERROR", MessageIcon::Exclamation, MessageButtons::Ok);
}

void CFilesystemDlg::done(int result) {
  if (busy_) return;
  KeepReportChoices();
  LeaveGuider();
  QDialog::done(result);
}

void CFilesystemDlg::LeaveGuider() {
  if (closed_) return;
  closed_ = true;
  // A failed leave closes the link itself; the guider then returns to
  // normal mode by its own time-out or at the next handshake.
  if (device_.IsOpen()) LeaveFileSystemMode(device_);
  DisconnectDevice(device_);
}

// ---- DownloadRunHost ----

void CFilesystemDlg::SetStatusText(const std::string& text) {
  status_->setText(QString::fromStdString(text));
  status_->setToolTip(QString());
}

void CFilesystemDlg::PumpMessages() { ::ktal::PumpMessages(); }

void CFilesystemDlg::ShowMessage(const std::string& text, const std::string& caption,
                                 RunIcon icon) {
  // A box without a caption of its own carries the program's name.
  const QString title =
      caption.empty() ? QCoreApplication::applicationName() : QString::fromStdString(caption);
  dialogs_.ShowMessage(this, QString::fromStdString(text), title, ToMessageIcon(icon),
                       MessageButtons::Ok);
}

void CFilesystemDlg::SetBusy(bool busy) {
  busy_ = busy;
  if (busy) {
    busyGroup_.ModifyStyle(0, kControlStyleDisabled, true);
    if (downloading_) {
      // In reach at once: the button that started the run is now off.
      cancel_->setEnabled(true);
      cancel_->show();
      cancel_->setFocus();
    }
  } else {
    busyGroup_.ModifyStyle(kControlStyleDisabled, 0, true);
    if (cancel_->hasFocus()) download_->setFocus();
    cancel_->hide();
    progress_->hide();
    runProgress_->clear();
  }
  UpdateOpenReport();
}

void CFilesystemDlg::SetProgress(const RunProgress& progress) {
  const ProgressBarPosition bar = ProgressBarOf(progress);
  progress_->setRange(0, std::max(bar.maximum, 1));
  progress_->setValue(bar.value);
  progress_->show();
  if (!cancelRequested_) runProgress_->setText(QString::fromStdString(FormatRunProgress(progress)));
}

void CFilesystemDlg::RunAside(const std::function<void()>& work) { RunBesideEventLoop(work); }

void CFilesystemDlg::RestoreDownloadMode() {
  const QSignalBlocker quiet(useLocal_);
  useLocal_->setChecked(false);
  RestoreDownloadControls();
}

}  // namespace ktal
