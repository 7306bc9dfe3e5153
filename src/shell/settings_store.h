// SPDX-License-Identifier: GPL-3.0-or-later
// The settings kept between runs: one INI file in the user's configuration
// folder, $XDG_CONFIG_HOME/ktal-companion/ktal-companion.ini (QSettings'
// IniFormat in the user scope; ~/.config when XDG_CONFIG_HOME is not set).
//
// The file is the user's to edit, so it is read with suspicion: a key that
// is missing keeps its default, one that holds what it may not gets its
// default and one note naming it, and a file that cannot be read gives the
// defaults. Nothing in it can stop the program from starting, and a file
// that cannot be written only loses what is changed in this run.
#pragma once

#include <QRect>
#include <QString>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>

class QSettings;

namespace ktal {

// File control's report settings as last used. A number without a value
// leaves its field empty, as a first run shows it.
struct KeptReportSettings {
  // 0: ";" between cells and a decimal comma; 1: "," and a decimal point.
  int csvFormat = 0;
  bool htmlReport = false;
  bool peTables = false;
  bool phd2GuideLog = false;
  std::optional<int> focalLength;  // millimetres, at least 1
  std::optional<int> wormPeriod;   // seconds, at least 1
  std::optional<double> starDec;   // degrees, -90 to 90

  bool operator==(const KeptReportSettings&) const = default;
};

struct KeptSettings {
  KeptReportSettings report;
  // Where downloads and local files are processed into; empty until the
  // user chooses one (then it is the start-up directory).
  QString outputFolder;
  bool nightMode = false;
  // Where the next open-file dialog of File control's local-file mode and
  // of the firmware window starts; empty until a file was chosen.
  QString localFileFolder;
  QString firmwareFolder;
  // Each window's last place by its name: the top-left corner of its frame
  // and the size of its inside, as QWidget::pos() and size() give them.
  std::map<QString, QRect> windowPlaces;

  bool operator==(const KeptSettings&) const = default;
};

// Reads every setting `file` holds. A missing key keeps its default; a key
// whose value is of the wrong kind or out of range gets its default and one
// line in `notes` naming it; a file that cannot be read, or is damaged, one
// line too (what can be read of a damaged file is used).
KeptSettings ReadSettings(QSettings& file, std::vector<QString>& notes);
// Puts every setting into `file` (not yet on disk: QSettings::sync()).
void WriteSettings(const KeptSettings& settings, QSettings& file);

// Where the program keeps its settings.
QString DefaultSettingsPath();

// The program's one set of kept settings, owned by the composition root and
// lent to the windows. Each change is written to the file at once, and only
// the keys it changes, so that two programs running side by side lose
// nothing of each other's but the same key.
class SettingsStore {
 public:
  using NoteSink = std::function<void(const QString& note)>;

  // The defaults, and nothing is ever written: --no-settings, and windows
  // that were given no store.
  SettingsStore();
  // Reads the file at `path`, and writes one holding the defaults when
  // there is none yet, so that the user finds it. Notes on the file go to
  // `note`; without one, to standard error after the program's name.
  explicit SettingsStore(const QString& path, NoteSink note = {});
  SettingsStore(SettingsStore&&) noexcept;
  SettingsStore& operator=(SettingsStore&&) noexcept;
  ~SettingsStore();

  const KeptSettings& values() const { return values_; }
  // False for a store that writes nothing.
  bool keeps() const { return file_ != nullptr; }
  // The file, or empty for a store that writes nothing.
  QString fileName() const;

  void SetReport(const KeptReportSettings& report);
  void SetOutputFolder(const QString& folder);
  void SetNightMode(bool on);
  void SetLocalFileFolder(const QString& folder);
  void SetFirmwareFolder(const QString& folder);
  void SetWindowPlace(const QString& window, const QRect& place);

 private:
  // Writes what `write` puts into the file; the first failure is said once.
  void Write(const std::function<void(QSettings&)>& write);
  void Note(const QString& note) const;

  KeptSettings values_;
  std::unique_ptr<QSettings> file_;
  NoteSink note_;
  bool writeFailed_ = false;
};

}  // namespace ktal
