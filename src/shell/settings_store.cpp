// SPDX-License-Identifier: GPL-3.0-or-later
#include "shell/settings_store.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QStringDecoder>
#include <QStringList>
#include <QVariant>
#include <cmath>
#include <cstdio>
#include <optional>

namespace ktal {

namespace {

constexpr char kCsvFormat[] = "report/csvFormat";
constexpr char kHtmlReport[] = "report/html";
constexpr char kPeTables[] = "report/periodicError";
constexpr char kPhd2GuideLog[] = "report/phd2GuideLog";
constexpr char kFocalLength[] = "report/focalLength";
constexpr char kWormPeriod[] = "report/wormPeriod";
constexpr char kStarDec[] = "report/starDec";
constexpr char kOutputFolder[] = "folders/output";
constexpr char kLocalFileFolder[] = "folders/localFile";
constexpr char kFirmwareFolder[] = "folders/firmware";
constexpr char kNightMode[] = "display/nightMode";
constexpr char kWindowsGroup[] = "windows";

// The CSV dialects by the names ktal-logtool's --csv gives them.
constexpr const char* kCsvFormatNames[] = {"excel", "point"};

// Larger than any desktop; a place beyond it is a damaged one.
constexpr int kLargestCoordinate = 1 << 20;
// Far more than the program ever writes. A larger file is not one of its
// own, and is neither read into memory nor written over.
constexpr qint64 kLargestFile = 1 << 20;

bool IsText(const QVariant& value) { return value.typeId() == QMetaType::QString; }

// A value as a note shows it, short enough for one line.
QString Shown(const QVariant& value) {
  constexpr int kLongest = 60;
  if (IsText(value)) return QString("\"%1\"").arg(value.toString().left(kLongest));
  if (value.typeId() == QMetaType::QStringList)
    return QString("the list \"%1\"").arg(value.toStringList().join(", ").left(kLongest));
  if (value.typeId() == QMetaType::QRect) {
    const QRect place = value.toRect();
    return QString("@Rect(%1 %2 %3 %4)")
        .arg(place.x())
        .arg(place.y())
        .arg(place.width())
        .arg(place.height());
  }
  return QString("a value of type %1").arg(value.metaType().name());
}

// Reads `key` when the file has it: `take` returns false for a value it
// cannot take, which keeps the default and adds a note that the key wants
// `wanted`.
template <typename Take>
void ReadKey(QSettings& file, const QString& key, const char* wanted, std::vector<QString>& notes,
             Take take) {
  if (!file.contains(key)) return;
  const QVariant value = file.value(key);
  if (take(value)) return;
  notes.push_back(QString("settings file %1: %2 holds %3, not %4; the default is used")
                      .arg(QDir::toNativeSeparators(file.fileName()), key, Shown(value), wanted));
}

// The number of the first line of `bytes` that is not part of an INI file
// (blank, a comment, a [section] or key=value, a line continued by the one
// before), or 0 when every line is. QSettings skips much of what it cannot
// read without a word, binary garbage included; the user should hear that
// the file is not what they think.
int FirstDamagedLine(const QByteArray& bytes) {
  QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
  const QString text = utf8.decode(bytes);
  const bool badBytes = utf8.hasError() || bytes.contains('\0');
  const QStringList lines = text.split('\n');
  bool continued = false;
  for (int index = 0; index < lines.size(); ++index) {
    QString line = lines[index];
    if (line.endsWith('\r')) line.chop(1);
    const QString trimmed = line.trimmed();
    const bool wasContinued = continued;
    continued = line.endsWith('\\');
    if (badBytes && (line.contains(QChar::ReplacementCharacter) || line.contains(QChar(0))))
      return index + 1;
    if (wasContinued || trimmed.isEmpty() || trimmed.startsWith(';') || trimmed.startsWith('#'))
      continue;
    if (trimmed.startsWith('[') && trimmed.endsWith(']') && trimmed.size() > 2) continue;
    const qsizetype equals = trimmed.indexOf('=');
    if (equals > 0 && !trimmed.left(equals).trimmed().isEmpty()) continue;
    return index + 1;
  }
  return badBytes ? 1 : 0;
}

bool TakeBool(const QVariant& value, bool& target) {
  if (!IsText(value)) return false;
  const QString text = value.toString().trimmed().toLower();
  if (text == "true" || text == "1") {
    target = true;
    return true;
  }
  if (text == "false" || text == "0") {
    target = false;
    return true;
  }
  return false;
}

// An empty field is nothing; anything else must be a number `parse` takes.
template <typename Number, typename Parse>
bool TakeOptionalNumber(const QVariant& value, std::optional<Number>& target, Parse parse) {
  if (!IsText(value)) return false;
  const QString text = value.toString().trimmed();
  if (text.isEmpty()) {
    target.reset();
    return true;
  }
  const std::optional<Number> number = parse(text);
  if (!number) return false;
  target = number;
  return true;
}

// A whole number of at least 1, or nothing.
bool TakeCount(const QVariant& value, std::optional<int>& target) {
  return TakeOptionalNumber(value, target, [](const QString& text) -> std::optional<int> {
    bool ok = false;
    const int number = text.toInt(&ok);
    if (!ok || number < 1) return std::nullopt;
    return number;
  });
}

bool TakeDeclination(const QVariant& value, std::optional<double>& target) {
  return TakeOptionalNumber(value, target, [](const QString& text) -> std::optional<double> {
    bool ok = false;
    const double degrees = text.toDouble(&ok);
    if (!ok || !std::isfinite(degrees) || std::fabs(degrees) > 90.0) return std::nullopt;
    return degrees;
  });
}

bool TakeCsvFormat(const QVariant& value, int& target) {
  if (!IsText(value)) return false;
  const QString text = value.toString().trimmed().toLower();
  for (int format = 0; format < 2; ++format) {
    if (text == kCsvFormatNames[format]) {
      target = format;
      return true;
    }
  }
  return false;
}

// An absolute folder, or nothing. Whether it exists is seen when it is used.
bool TakeFolder(const QVariant& value, QString& target) {
  if (!IsText(value)) return false;
  const QString text = value.toString();
  if (!text.isEmpty() && !QDir::isAbsolutePath(text)) return false;
  target = text;
  return true;
}

bool TakePlace(const QVariant& value, QRect& target) {
  if (value.typeId() != QMetaType::QRect) return false;
  const QRect place = value.toRect();
  if (place.width() < 1 || place.height() < 1 || place.width() > kLargestCoordinate ||
      place.height() > kLargestCoordinate || std::abs(place.x()) > kLargestCoordinate ||
      std::abs(place.y()) > kLargestCoordinate) {
    return false;
  }
  target = place;
  return true;
}

// Booleans and numbers go in as text: QSettings hands a value back as it
// was put in until the file is read again, and as text after, and the
// reading takes text.
QString BoolText(bool on) { return on ? "true" : "false"; }

QString NumberText(const std::optional<int>& number) {
  return number ? QString::number(*number) : QString();
}

QString NumberText(const std::optional<double>& number) {
  return number ? QString::number(*number, 'g', QLocale::FloatingPointShortest) : QString();
}

void WriteReport(const KeptReportSettings& report, QSettings& file) {
  file.setValue(kCsvFormat, kCsvFormatNames[report.csvFormat == 1 ? 1 : 0]);
  file.setValue(kHtmlReport, BoolText(report.htmlReport));
  file.setValue(kPeTables, BoolText(report.peTables));
  file.setValue(kPhd2GuideLog, BoolText(report.phd2GuideLog));
  file.setValue(kFocalLength, NumberText(report.focalLength));
  file.setValue(kWormPeriod, NumberText(report.wormPeriod));
  file.setValue(kStarDec, NumberText(report.starDec));
}

void WriteWindowPlace(const QString& window, const QRect& place, QSettings& file) {
  file.setValue(QString("%1/%2").arg(kWindowsGroup, window), place);
}

}  // namespace

KeptSettings ReadSettings(QSettings& file, std::vector<QString>& notes) {
  KeptSettings settings;
  const QString name = QDir::toNativeSeparators(file.fileName());
  if (file.status() == QSettings::AccessError) {
    notes.push_back(
        QString("the settings file %1 cannot be read; the defaults are used").arg(name));
    return settings;
  }
  QFile raw(file.fileName());
  int damagedLine = 0;
  if (raw.open(QIODevice::ReadOnly)) damagedLine = FirstDamagedLine(raw.read(kLargestFile));
  if (damagedLine > 0 || file.status() == QSettings::FormatError) {
    notes.push_back(
        QString("the settings file %1 is damaged%2; what can be read of it is used, the defaults "
                "for the rest")
            .arg(name, damagedLine > 0 ? QString(" (line %1)").arg(damagedLine) : QString()));
  }

  KeptReportSettings& report = settings.report;
  ReadKey(file, kCsvFormat, "\"excel\" or \"point\"", notes,
          [&](const QVariant& value) { return TakeCsvFormat(value, report.csvFormat); });
  ReadKey(file, kHtmlReport, "true or false", notes,
          [&](const QVariant& value) { return TakeBool(value, report.htmlReport); });
  ReadKey(file, kPeTables, "true or false", notes,
          [&](const QVariant& value) { return TakeBool(value, report.peTables); });
  ReadKey(file, kPhd2GuideLog, "true or false", notes,
          [&](const QVariant& value) { return TakeBool(value, report.phd2GuideLog); });
  ReadKey(file, kFocalLength, "a whole number of millimetres of at least 1, or nothing", notes,
          [&](const QVariant& value) { return TakeCount(value, report.focalLength); });
  ReadKey(file, kWormPeriod, "a whole number of seconds of at least 1, or nothing", notes,
          [&](const QVariant& value) { return TakeCount(value, report.wormPeriod); });
  ReadKey(file, kStarDec, "a number of degrees from -90 to 90, or nothing", notes,
          [&](const QVariant& value) { return TakeDeclination(value, report.starDec); });

  ReadKey(file, kOutputFolder, "an absolute folder path, or nothing", notes,
          [&](const QVariant& value) { return TakeFolder(value, settings.outputFolder); });
  ReadKey(file, kLocalFileFolder, "an absolute folder path, or nothing", notes,
          [&](const QVariant& value) { return TakeFolder(value, settings.localFileFolder); });
  ReadKey(file, kFirmwareFolder, "an absolute folder path, or nothing", notes,
          [&](const QVariant& value) { return TakeFolder(value, settings.firmwareFolder); });
  ReadKey(file, kNightMode, "true or false", notes,
          [&](const QVariant& value) { return TakeBool(value, settings.nightMode); });

  file.beginGroup(kWindowsGroup);
  const QStringList windows = file.childKeys();
  file.endGroup();
  for (const QString& window : windows) {
    ReadKey(file, QString("%1/%2").arg(kWindowsGroup, window),
            "a place such as @Rect(100 80 640 480) (left, top, width, height)", notes,
            [&](const QVariant& value) {
              QRect place;
              if (!TakePlace(value, place)) return false;
              settings.windowPlaces[window] = place;
              return true;
            });
  }
  return settings;
}

void WriteSettings(const KeptSettings& settings, QSettings& file) {
  WriteReport(settings.report, file);
  file.setValue(kOutputFolder, settings.outputFolder);
  file.setValue(kLocalFileFolder, settings.localFileFolder);
  file.setValue(kFirmwareFolder, settings.firmwareFolder);
  file.setValue(kNightMode, BoolText(settings.nightMode));
  for (const auto& [window, place] : settings.windowPlaces) WriteWindowPlace(window, place, file);
}

QString DefaultSettingsPath() {
  // On Linux: $XDG_CONFIG_HOME/ktal-companion/ktal-companion.ini.
  return QSettings(QSettings::IniFormat, QSettings::UserScope, "ktal-companion", "ktal-companion")
      .fileName();
}

SettingsStore::SettingsStore() = default;
SettingsStore::SettingsStore(SettingsStore&&) noexcept = default;
SettingsStore& SettingsStore::operator=(SettingsStore&&) noexcept = default;
SettingsStore::~SettingsStore() = default;

SettingsStore::SettingsStore(const QString& path, NoteSink note) : note_(std::move(note)) {
  const QFileInfo info(path);
  if (info.isFile() && info.size() > kLargestFile) {
    Note(QString("the settings file %1 is too large to be one of the program's own; the "
                 "defaults are used and nothing is kept")
             .arg(QDir::toNativeSeparators(path)));
    return;
  }
  const bool existed = info.exists();
  file_ = std::make_unique<QSettings>(path, QSettings::IniFormat);
  std::vector<QString> notes;
  values_ = ReadSettings(*file_, notes);
  for (const QString& line : notes) Note(line);
  if (file_->status() == QSettings::AccessError) {
    // Said already; a write would only say it again.
    writeFailed_ = true;
  } else if (!existed) {
    Write([this](QSettings& file) { WriteSettings(values_, file); });
  }
}

QString SettingsStore::fileName() const { return file_ ? file_->fileName() : QString(); }

void SettingsStore::Note(const QString& note) const {
  if (note_) {
    note_(note);
    return;
  }
  std::fprintf(stderr, "%s: %s\n", qPrintable(QCoreApplication::applicationName()),
               qPrintable(note));
}

void SettingsStore::Write(const std::function<void(QSettings&)>& write) {
  if (!file_) return;
  write(*file_);
  file_->sync();
  if (file_->status() != QSettings::AccessError || writeFailed_) return;
  writeFailed_ = true;
  Note(QString("the settings file %1 cannot be written; what is changed now is kept until the "
               "program ends")
           .arg(QDir::toNativeSeparators(file_->fileName())));
}

void SettingsStore::SetReport(const KeptReportSettings& report) {
  values_.report = report;
  Write([&report](QSettings& file) { WriteReport(report, file); });
}

void SettingsStore::SetOutputFolder(const QString& folder) {
  values_.outputFolder = folder;
  Write([&folder](QSettings& file) { file.setValue(kOutputFolder, folder); });
}

void SettingsStore::SetNightMode(bool on) {
  values_.nightMode = on;
  Write([on](QSettings& file) { file.setValue(kNightMode, BoolText(on)); });
}

void SettingsStore::SetLocalFileFolder(const QString& folder) {
  values_.localFileFolder = folder;
  Write([&folder](QSettings& file) { file.setValue(kLocalFileFolder, folder); });
}

void SettingsStore::SetFirmwareFolder(const QString& folder) {
  values_.firmwareFolder = folder;
  Write([&folder](QSettings& file) { file.setValue(kFirmwareFolder, folder); });
}

void SettingsStore::SetWindowPlace(const QString& window, const QRect& place) {
  values_.windowPlaces[window] = place;
  Write([&](QSettings& file) { WriteWindowPlace(window, place, file); });
}

}  // namespace ktal
