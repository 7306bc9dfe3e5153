// SPDX-License-Identifier: GPL-3.0-or-later
// The file control window driven as a user would, against the simulated
// guider on virtual time. Each test runs in a temporary start-up directory.
#include "filesystem/filesystem_dlg.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <QAccessible>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDesktopServices>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>
#include <QTimer>
#include <QUrl>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "app/application.h"
#include "app/feature_installs.h"
#include "app/launcher_dialog.h"
#include "guidelog/report_settings.h"
#include "link/ftdi_device.h"
#include "shell/qt_text.h"
#include "shell/settings_store.h"
#include "sim/log_writer.h"
#include "sim/session_generator.h"
#include "sim/simulated_guider.h"
#include "tests/app/guider_time_watch.h"
#include "tests/app/scripted_dialogs.h"
#include "tests/guidelog/guidelog_test_util.h"

namespace ktal {
namespace {

using sim::ControllerMode;
using Row = std::vector<QString>;
using testing::AskedMessage;

// The scripted answers, plus what each open-file dialog was asked. Like a
// real file dialog it may leave the process in another directory.
class Dialogs final : public UserDialogs {
 public:
  MessageAnswer ShowMessage(QWidget* parent, const QString& text, const QString& caption,
                            MessageIcon icon, MessageButtons buttons) override {
    return script.ShowMessage(parent, text, caption, icon, buttons);
  }
  QStringList OpenFiles(QWidget* parent, const QString& caption, const QString& directory,
                        const QString& filter, bool multiple) override {
    asked.push_back({directory, filter});
    std::filesystem::current_path(std::filesystem::temp_directory_path());
    return script.OpenFiles(parent, caption, directory, filter, multiple);
  }
  QString ChooseFolder(QWidget* parent, const QString& caption, const QString& directory) override {
    return script.ChooseFolder(parent, caption, directory);
  }
  const std::vector<AskedMessage>& messages() const { return script.messages(); }
  // The desktop as the test wants it; without a refusal the real call,
  // which a test can catch with a URL handler.
  bool OpenWithDesktop(const QString& file) override {
    opened.push_back(file);
    return browserOpens ? UserDialogs::OpenWithDesktop(file) : false;
  }

  testing::ScriptedDialogs script;
  std::vector<std::pair<QString, QString>> asked;  // initial file, filter
  std::vector<QString> opened;
  bool browserOpens = true;
};

// Takes the URLs the window asks the desktop to open.
class UrlCatcher : public QObject {
  Q_OBJECT
 public:
  UrlCatcher() { QDesktopServices::setUrlHandler("file", this, "Open"); }
  ~UrlCatcher() override { QDesktopServices::unsetUrlHandler("file"); }
  std::vector<QUrl> urls;
 public slots:
  void Open(const QUrl& url) { urls.push_back(url); }
};

DirectoryEntry Stamped(std::uint16_t date, std::uint16_t time, std::uint16_t modified = kUnsetDate,
                       std::uint16_t modifiedTime = 0) {
  DirectoryEntry entry;
  entry.created_date = date;
  entry.created_time = time;
  entry.modified_date = modified;
  entry.modified_time = modifiedTime;
  return entry;
}

class FilesystemDlgTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_startupDirectory = dir_.path();
    StartGuider(ControllerMode::kNormal);
  }
  void TearDown() override {
    window_.reset();
    g_device.Close();
    g_device.AttachDriver(nullptr, nullptr);
    for (DirectoryEntry& e : g_fileTable) e = DirectoryEntry{};
    g_lastLocalFile.clear();
    g_csvFormat = g_focalLength = g_wormPeriod = 0;
    g_starDec = 0;
  }

  // A fresh guider with an empty store.
  void StartGuider(ControllerMode mode) {
    g_device.AttachDriver(nullptr, nullptr);
    sim_ = std::make_unique<sim::SimulatedGuider>(sim::HandControllerConfig{.startMode = mode});
    g_device.AttachDriver(&sim_->driver(), &sim_->clock());
  }
  // A short generated night stored as the guider stores it, at entry `index`.
  void AddNight(int index, std::uint32_t fileId,
                DirectoryEntry stamps = Stamped(PackDate(2026, 12, 1), PackTime(21, 5)),
                int exposures = 1) {
    SessionOptions options;
    options.seed = fileId;
    options.exposures = exposures;
    LogWriter writer;
    ASSERT_EQ(WriteSession(options, writer), 0);
    const int added = sim_->flash().AddFile(writer.Pages(fileId), fileId, stamps);
    ASSERT_GE(added, 0);
    if (added != index) {
      sim_->flash().entry(index) = sim_->flash().entry(added);
      sim_->flash().entry(added) = DirectoryEntry{};
    }
  }
  void Open() {
    window_ = std::make_unique<CFilesystemDlg>(dialogs_, g_device);
    window_->show();
  }
  template <typename T = QWidget>
  T* Control(int id) {
    T* control =
        window_->findChild<T*>(id == 1 ? QString("button1") : QString("control%1").arg(id));
    EXPECT_NE(control, nullptr) << id;
    return control;
  }
  void Click(int id) { Control<QAbstractButton>(id)->click(); }
  QTableWidget* List() { return Control<QTableWidget>(kIdFileList); }
  std::vector<Row> Rows() {
    std::vector<Row> rows;
    for (int r = 0; r < List()->rowCount(); ++r) {
      rows.push_back({List()->item(r, 0)->text(), List()->item(r, 1)->text(),
                      List()->item(r, 2)->text(), List()->item(r, 3)->text()});
    }
    return rows;
  }
  std::vector<int> SelectedRows() {
    std::vector<int> rows;
    for (int r = 0; r < List()->rowCount(); ++r) {
      if (List()->selectionModel()->isRowSelected(r, {})) rows.push_back(r);
    }
    return rows;
  }
  QString Status() { return Control<QLabel>(kIdRunStatus)->text(); }
  // The guider-side controls that local-file mode switches off.
  bool GuiderSideEnabled() {
    bool all = true;
    for (int id : {1000, 1003, 1002, 1027}) all = all && Control(id)->isEnabled();
    return all;
  }

  logtest::TempDir dir_;
  std::unique_ptr<sim::SimulatedGuider> sim_;
  Dialogs dialogs_;
  std::unique_ptr<CFilesystemDlg> window_;
};

TEST_F(FilesystemDlgTest, ListsEntriesHighestIndexFirst) {
  g_device.deviceKind = kDeviceKindAny;
  AddNight(
      0, 0x00002a,
      Stamped(PackDate(2026, 11, 28), PackTime(20, 0), PackDate(2026, 11, 29), PackTime(4, 35)));
  AddNight(3, 0x00002d, Stamped(PackDate(2026, 12, 2), PackTime(9, 7)));
  AddNight(7, 0x000130,
           Stamped(PackDate(2027, 1, 5), PackTime(23, 59), PackDate(2027, 1, 6), PackTime(0, 1)));
  sim_->flash().entry(3).flags |= kDownloadedFlag;
  Open();

  EXPECT_EQ(window_->windowTitle(), "TVX filesystem");
  EXPECT_EQ(g_device.deviceKind, kDeviceKindGuider);
  EXPECT_EQ(Rows(), (std::vector<Row>{
                        {"QD000130", "2027.01.05. 23:59", "2027.01.06.  0:01", "  N"},
                        {"QD00002d", "2026.12.02.  9:07", QString(17, ' '), "   "},
                        {"QD00002a", "2026.11.28. 20:00", "2026.11.29.  4:35", "  N"},
                    }));
  for (int row = 0; row < 3; ++row) {
    EXPECT_EQ(List()->item(row, 0)->data(Qt::UserRole).toInt(), (std::vector<int>{7, 3, 0})[row]);
  }
  EXPECT_EQ(FileIdOf(g_fileTable[7].file_id), 0x000130u);
  EXPECT_TRUE(dialogs_.messages().empty());
}

TEST_F(FilesystemDlgTest, ShowDeletedAddsDeletedFilesWhoseChainIsKnown) {
  AddNight(0, 0x00002a);
  AddNight(1, 0x00002b);
  AddNight(2, 0x00002c);
  sim_->flash().DeleteFile(1);
  // Deleted without a chain to go back to: never listed.
  sim_->flash().entry(2).first_page = kUnusedEntry;
  sim_->flash().entry(2).saved_first_page = kUnusedEntry;
  Open();
  ASSERT_EQ(Rows().size(), 1u);

  Click(kIdShowDeleted);
  const std::vector<Row> rows = Rows();
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0][0], "QD00002b");
  EXPECT_EQ(rows[0][3], "X  ");
  EXPECT_EQ(rows[1][3], "  N");
  EXPECT_EQ(window_->focusWidget(), List());

  Click(kIdShowDeleted);
  EXPECT_EQ(Rows().size(), 1u);
}

TEST_F(FilesystemDlgTest, SelectNewFilesSelectsExactlyTheNewRows) {
  for (int i = 0; i < 4; ++i) AddNight(i, 0x40 + i);
  sim_->flash().entry(1).flags |= kDownloadedFlag;  // row 2
  Open();
  List()->selectRow(2);
  Click(kIdSelectNewFiles);
  EXPECT_EQ(SelectedRows(), (std::vector<int>{0, 1, 3}));
  EXPECT_EQ(window_->focusWidget(), List());
}

TEST_F(FilesystemDlgTest, FirstRefreshIsQuietWithoutAGuiderAndRefreshIsNot) {
  StartGuider(ControllerMode::kOff);
  Open();
  EXPECT_TRUE(dialogs_.messages().empty());
  EXPECT_EQ(List()->rowCount(), 0);
  EXPECT_FALSE(g_device.IsOpen());

  // With the link closed, Download + process only stores the CSV format.
  Control<QComboBox>(kIdCsvFormat)->setCurrentIndex(1);
  Control<QCheckBox>(kIdGeneratePe)->setChecked(true);
  Click(kIdDownloadProcess);
  EXPECT_EQ(g_csvFormat, 1);
  EXPECT_TRUE(dialogs_.messages().empty());

  // A guider that is off fails on a read time-out, which leaves the link's
  // errorString as it was; the box gives the handshake's reason.
  g_device.errorString = L"No proper USB device found";
  Click(kIdRefreshFiles);
  ASSERT_EQ(dialogs_.messages().size(), 1u);
  const AskedMessage& box = dialogs_.messages()[0];
  EXPECT_EQ(box.text, "FTDI: device does not respond...\n\n (FT_Read timed out (code 0 ($0)))\n");
  EXPECT_EQ(box.caption, "ERROR");
  EXPECT_EQ(box.icon, MessageIcon::Exclamation);
}

TEST_F(FilesystemDlgTest, FileSystemModeRefusedKeepsTheRowsAndSaysWhy) {
  AddNight(0, 0x00002a);
  Open();
  sim_->features().fileSystem.enterBusyAnswers = 5;
  Click(kIdRefreshFiles);
  EXPECT_EQ(Rows().size(), 1u);
  EXPECT_EQ(Status(), "Can't enter into FileSystem mode...");
  EXPECT_FALSE(g_device.IsOpen());
  EXPECT_TRUE(dialogs_.messages().empty());
}

// The three settings are read only for the periodic-error tables, in order;
// each refusal is a box, with the focus on the field refused. An accepted
// press runs (with nothing selected the run just ends with "done").
TEST_F(FilesystemDlgTest, PeriodicErrorSettingsAreCheckedInOrder) {
  struct Case {
    bool pe;
    const char *focal, *worm, *dec;
    int refusedField;  // 0: accepted
    int focalRead, wormRead;
    float decRead;
  };
  const Case cases[] = {
      {true, "", "480", "10", kIdFocalLength, 0, 0, 0},
      {true, "0", "480", "10", kIdFocalLength, 0, 0, 0},
      {true, "99999999999", "480", "10", kIdFocalLength, 0, 0, 0},
      {true, "1000", "", "10", kIdWormPeriod, 1000, 0, 0},
      {true, " 1000", "7x", "", 0, 1000, 7, 0.0f},
      {true, "1000", "480", "91", kIdStarDec, 1000, 480, 0},
      {true, "1000", "480", "-95", kIdStarDec, 1000, 480, 0},
      {true, "1000", "480", "-45.5", 0, 1000, 480, -45.5f},
      {true, "1000", "480", "12.5deg", 0, 1000, 480, 12.5f},
      {false, "x", "", "500", 0, 0, 0, 0.0f},
  };
  AddNight(0, 0x00002a);
  Open();
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.focal) + " | " + c.worm + " | " + c.dec);
    g_csvFormat = g_focalLength = g_wormPeriod = 0;
    g_starDec = 0;
    Control<QLabel>(kIdRunStatus)->clear();
    const std::size_t asked = dialogs_.messages().size();
    Control<QComboBox>(kIdCsvFormat)->setCurrentIndex(1);
    Control<QCheckBox>(kIdGeneratePe)->setChecked(c.pe);
    // Pasted text, past the validators as a paste in the guider's own
    // program would be.
    Control<QLineEdit>(kIdFocalLength)->setText(c.focal);
    Control<QLineEdit>(kIdWormPeriod)->setText(c.worm);
    Control<QLineEdit>(kIdStarDec)->setText(c.dec);
    Click(kIdDownloadProcess);

    EXPECT_EQ(g_csvFormat, 1);
    EXPECT_EQ(g_focalLength, c.focalRead);
    EXPECT_EQ(g_wormPeriod, c.wormRead);
    EXPECT_FLOAT_EQ(g_starDec, c.decRead);
    if (c.refusedField == 0) {
      EXPECT_EQ(dialogs_.messages().size(), asked);
      EXPECT_EQ(Status(), "done");
    } else {
      ASSERT_EQ(dialogs_.messages().size(), asked + 1);
      EXPECT_EQ(dialogs_.messages().back().caption, "ERROR");
      EXPECT_EQ(dialogs_.messages().back().icon, MessageIcon::Exclamation);
      EXPECT_EQ(window_->focusWidget(), Control(c.refusedField));
      EXPECT_EQ(Status(), "") << "no run";
    }
  }
}

// What a number is typed with stays on screen; any other key is refused at
// once, and the hint below the fields names the field and the key.
TEST_F(FilesystemDlgTest, DeclinationFieldTakesASignAndAFraction) {
  Open();
  auto* hint = window_->findChild<QLabel*>("controlSettingsHint");
  ASSERT_NE(hint, nullptr);
  for (auto [id, typed, kept, hinted] :
       {std::tuple{kIdStarDec, "-45.5", "-45.5", ""},
        {kIdStarDec, "-5,5", "-5,5", ""},
        {kIdStarDec, "4.5.1", "4.51", "Star's DEC refused \".\""},
        {kIdFocalLength, "-10.5", "-10.5", ""},
        {kIdWormPeriod, "4a8", "48", "Worm gear period refused \"a\""}}) {
    SCOPED_TRACE(typed);
    auto* edit = Control<QLineEdit>(id);
    edit->clear();
    hint->clear();
    QTest::keyClicks(edit, typed);
    EXPECT_EQ(edit->text(), kept);
    if (*hinted == '\0') {
      EXPECT_TRUE(hint->text().isEmpty()) << hint->text().toStdString();
    } else {
      EXPECT_TRUE(hint->text().startsWith(hinted)) << hint->text().toStdString();
    }
  }
}

// A typed focal length of 1000.5 is no whole number of millimetres: it is
// refused by name before anything is read from the guider. A DEC typed with
// a decimal comma reaches the tables and the analysis page as shown.
TEST_F(FilesystemDlgTest, TypedSettingsReachTheRunAsShownOrAreRefusedByName) {
  AddNight(0, 0x00002a);
  Open();
  List()->selectRow(0);
  Control<QCheckBox>(kIdGenerateHtml)->setChecked(true);
  Control<QCheckBox>(kIdGeneratePe)->setChecked(true);
  QTest::keyClicks(Control<QLineEdit>(kIdFocalLength), "1000.5");
  QTest::keyClicks(Control<QLineEdit>(kIdWormPeriod), "480");
  QTest::keyClicks(Control<QLineEdit>(kIdStarDec), "-5,5");
  const std::size_t pageReads = sim_->guider().ReceivedBytes().size();
  Click(kIdDownloadProcess);
  ASSERT_EQ(dialogs_.messages().size(), 1u);
  EXPECT_TRUE(dialogs_.messages()[0].text.startsWith("Wrong focal length entered"));
  EXPECT_EQ(window_->focusWidget(), Control(kIdFocalLength));
  EXPECT_EQ(sim_->guider().ReceivedBytes().size(), pageReads) << "nothing asked of the guider";
  EXPECT_FALSE(logtest::Exists(dir_.path() / "QD00002a.dat.content"));

  Control<QLineEdit>(kIdFocalLength)->clear();
  QTest::keyClicks(Control<QLineEdit>(kIdFocalLength), "1000");
  Click(kIdDownloadProcess);
  EXPECT_EQ(Status(), "done");
  EXPECT_EQ(g_focalLength, 1000);
  EXPECT_FLOAT_EQ(g_starDec, -5.5f);
  const std::filesystem::path page = dir_.path() / "QD00002a.dat.content" / "analysis.html";
  std::ifstream in(page, std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(text.find("\"options\":{\"focal_mm\":1000,\"worm_s\":480,\"dec_deg\":-5.5}"),
            std::string::npos);
}

// Enter presses the focused button or toggles the focused check box; in an
// edit field it does nothing: the window and what was typed stay, and no
// button the user cannot see focused runs.
TEST_F(FilesystemDlgTest, EnterNeverClosesTheWindowOverTypedSettings) {
  Open();
  ASSERT_TRUE(QTest::qWaitForWindowActive(window_.get()));
  auto* focal = Control<QLineEdit>(kIdFocalLength);
  focal->setFocus();
  QTest::keyClicks(focal, "1200");
  const std::size_t sent = sim_->guider().ReceivedBytes().size();
  QTest::keyClick(focal, Qt::Key_Return);
  EXPECT_TRUE(window_->isVisible());
  EXPECT_EQ(focal->text(), "1200");
  EXPECT_EQ(sim_->guider().ReceivedBytes().size(), sent) << "a button ran unseen";

  auto* html = Control<QCheckBox>(kIdGenerateHtml);
  html->setFocus();
  QTest::keyClick(html, Qt::Key_Enter, Qt::KeypadModifier);
  EXPECT_TRUE(html->isChecked());
  EXPECT_TRUE(window_->isVisible());

  Control(kIdFsClose)->setFocus();
  QTest::keyClick(Control(kIdFsClose), Qt::Key_Return);
  EXPECT_FALSE(window_->isVisible());
}

// A screen reader toggles a check box without a click; the window follows
// all the same, and its own changes of the box run no handler.
TEST_F(FilesystemDlgTest, AccessibleToggleOfShowDeletedChangesTheList) {
  AddNight(0, 0x00002a);
  AddNight(1, 0x00002b);
  sim_->flash().DeleteFile(1);
  Open();
  ASSERT_EQ(Rows().size(), 1u);
  QAccessibleInterface* box = QAccessible::queryAccessibleInterface(Control(kIdShowDeleted));
  ASSERT_NE(box, nullptr);
  ASSERT_NE(box->actionInterface(), nullptr);
  box->actionInterface()->doAction(QAccessibleActionInterface::toggleAction());
  EXPECT_TRUE(Control<QCheckBox>(kIdShowDeleted)->isChecked());
  EXPECT_EQ(Rows().size(), 2u);

  // "Use local file" toggled the same way asks for the file; cancelled, it
  // is clear again without asking twice.
  QAccessible::queryAccessibleInterface(Control(kIdUseLocalFile))
      ->actionInterface()
      ->doAction(QAccessibleActionInterface::toggleAction());
  EXPECT_EQ(dialogs_.asked.size(), 1u);
  EXPECT_FALSE(Control<QPushButton>(kIdUseLocalFile)->isChecked());
  EXPECT_TRUE(GuiderSideEnabled());
}

// With no program to show the page, the window says so and where it is.
TEST_F(FilesystemDlgTest, ReportThatNoBrowserOpensIsNamedWithItsPath) {
  AddNight(0, 0x00002a);
  const std::filesystem::path folder = dir_.path() / "QD00002a.dat.content";
  std::filesystem::create_directory(folder);
  std::ofstream(folder / "index.html") << "<html></html>";
  Open();
  List()->selectRow(0);
  dialogs_.browserOpens = false;
  window_->findChild<QPushButton*>("controlOpenReport")->click();
  ASSERT_EQ(dialogs_.opened.size(), 1u);
  ASSERT_EQ(dialogs_.messages().size(), 1u);
  EXPECT_EQ(dialogs_.messages()[0].caption, "ERROR");
  EXPECT_TRUE(dialogs_.messages()[0].text.contains(
      QString::fromStdString((folder / "index.html").string())))
      << dialogs_.messages()[0].text.toStdString();
}

// Local-file mode needs no guider. A cancelled choice returns to download
// mode; a chosen file is processed in its own folder, and the window
// returns to download mode afterwards.
TEST_F(FilesystemDlgTest, UseLocalFileCancelledOrProcessed) {
  StartGuider(ControllerMode::kOff);
  const std::filesystem::path file = dir_.path() / "nights" / "QD00002a.dat";
  std::filesystem::create_directory(file.parent_path());
  LogWriter writer;
  ASSERT_EQ(WriteSession(SessionOptions{}, writer), 0);
  const std::vector<std::uint8_t> raw =
      writer.RawFile(Stamped(PackDate(2026, 12, 1), PackTime(21, 5)));
  std::ofstream(file, std::ios::binary)
      .write(reinterpret_cast<const char*>(raw.data()), static_cast<std::streamsize>(raw.size()));
  Open();
  auto* useLocal = Control<QPushButton>(kIdUseLocalFile);
  auto* download = Control<QPushButton>(kIdDownloadProcess);

  g_lastLocalFile = dir_.path() / "earlier.dat";
  Click(kIdUseLocalFile);  // the script has no file: cancelled
  ASSERT_EQ(dialogs_.asked.size(), 1u);
  EXPECT_EQ(dialogs_.asked[0].first.toStdString(), (dir_.path() / "earlier.dat").string());
  EXPECT_EQ(dialogs_.asked[0].second, "TVX binary data file (*.dat)");
  EXPECT_EQ(std::filesystem::current_path(), dir_.path());
  EXPECT_FALSE(useLocal->isChecked());
  EXPECT_TRUE(GuiderSideEnabled());
  EXPECT_EQ(download->text(), "Download + process file(s)");

  dialogs_.script.QueueFiles({QString::fromStdString(file.string())});
  Click(kIdUseLocalFile);
  EXPECT_EQ(download->text(), "Process local file above");
  EXPECT_EQ(Control<QLabel>(kIdLocalFileName)->text(), "QD00002a.dat");
  EXPECT_FALSE(Control(kIdFileList)->isEnabled());
  EXPECT_EQ(g_lastLocalFile, file);

  Control<QCheckBox>(kIdGenerateHtml)->setChecked(true);
  Click(kIdDownloadProcess);
  EXPECT_TRUE(logtest::Exists(file.parent_path() / "events.csv"));
  EXPECT_TRUE(logtest::Exists(file.parent_path() / "index.html"));
  EXPECT_TRUE(dialogs_.messages().empty());
  EXPECT_EQ(Status(), "done");
  EXPECT_FALSE(useLocal->isChecked());
  EXPECT_TRUE(GuiderSideEnabled());
  EXPECT_TRUE(Control<QLabel>(kIdLocalFileName)->text().isEmpty());
}

// The new files are downloaded and processed; the window stays shut to
// other work and to closing while the run pumps its messages.
TEST_F(FilesystemDlgTest, DownloadProcessesTheSelectedNewFiles) {
  AddNight(0, 0x00002a);
  AddNight(1, 0x00002b);
  AddNight(2, 0x00002c);
  sim_->flash().entry(0).flags |= kDownloadedFlag;
  Open();
  Click(kIdSelectNewFiles);
  Control<QCheckBox>(kIdGenerateHtml)->setChecked(true);

  std::vector<int> enabledDuringRun;
  bool progressShown = false;
  QTimer::singleShot(0, window_.get(), [&] {
    for (int id : {1000, 1003, 1002, 1004, 1019, 1020, 1021, 1022, 1023, 1, 1025, 1027}) {
      if (Control(id)->isEnabled()) enabledDuringRun.push_back(id);
    }
    progressShown = window_->findChild<QProgressBar*>()->isVisible();
    window_->close();
  });
  Click(kIdDownloadProcess);

  EXPECT_TRUE(enabledDuringRun.empty()) << enabledDuringRun.front();
  EXPECT_TRUE(progressShown);
  EXPECT_TRUE(window_->isVisible()) << "closed in the middle of a run";
  EXPECT_FALSE(window_->findChild<QProgressBar*>()->isVisible());
  for (const char* name : {"QD00002c", "QD00002b"}) {
    const std::filesystem::path folder = dir_.path() / (std::string(name) + ".dat.content");
    EXPECT_TRUE(logtest::Exists(folder / (std::string(name) + ".dat"))) << folder;
    EXPECT_TRUE(logtest::Exists(folder / "events.csv")) << folder;
    EXPECT_TRUE(logtest::Exists(folder / "index.html")) << folder;
    EXPECT_TRUE(logtest::Exists(folder / "analysis.html")) << folder;
  }
  EXPECT_FALSE(logtest::Exists(dir_.path() / "QD00002a.dat.content"));
  for (const Row& row : Rows()) EXPECT_FALSE(row[3].contains('N')) << row[0].toStdString();
  EXPECT_EQ(Status(), "done");
  EXPECT_TRUE(GuiderSideEnabled());
  ASSERT_EQ(dialogs_.messages().size(), 1u);
  const AskedMessage& summary = dialogs_.messages()[0];
  EXPECT_EQ(summary.caption, "INFORMATION");
  EXPECT_EQ(summary.icon, MessageIcon::Information);
  EXPECT_TRUE(summary.text.startsWith("QD00002c: ")) << summary.text.toStdString();
  EXPECT_TRUE(summary.text.contains("QD00002b: "));

  // Open report and Open analysis follow the selected row and open its
  // index.html and analysis.html, each only when the folder holds it; a
  // double click opens the report. The file downloaded before has neither
  // here.
  UrlCatcher desktop;
  const std::filesystem::path newest = dir_.path() / "QD00002c.dat.content";
  struct Opener {
    const char* button;
    const char* file;
  };
  for (const Opener& o : {Opener{"controlOpenReport", "index.html"},
                          Opener{"controlOpenAnalysis", "analysis.html"}}) {
    SCOPED_TRACE(o.button);
    auto* open = window_->findChild<QPushButton*>(o.button);
    ASSERT_NE(open, nullptr);
    List()->clearSelection();
    EXPECT_FALSE(open->isEnabled()) << "nothing selected";
    List()->selectRow(2);
    EXPECT_FALSE(open->isEnabled());
    List()->selectRow(0);
    ASSERT_TRUE(open->isEnabled());
    desktop.urls.clear();
    open->click();
    ASSERT_EQ(desktop.urls.size(), 1u);
    EXPECT_EQ(desktop.urls[0].toLocalFile().toStdString(), (newest / o.file).string());
  }
  desktop.urls.clear();
  const QRect second = List()->visualRect(List()->model()->index(1, 1));
  // A double click starts with a press, as the view expects.
  QTest::mouseClick(List()->viewport(), Qt::LeftButton, {}, second.center());
  QTest::mouseDClick(List()->viewport(), Qt::LeftButton, {}, second.center());
  ASSERT_EQ(desktop.urls.size(), 1u);
  EXPECT_EQ(desktop.urls[0].toLocalFile().toStdString(),
            (dir_.path() / "QD00002b.dat.content" / "index.html").string());

  // A folder without the analysis page (processed by an older version):
  // only the report can be opened.
  std::filesystem::remove(newest / "analysis.html");
  List()->selectRow(0);
  EXPECT_TRUE(window_->findChild<QPushButton*>("controlOpenReport")->isEnabled());
  EXPECT_FALSE(window_->findChild<QPushButton*>("controlOpenAnalysis")->isEnabled());
}

// Beside the status line the run says which file it reads, its place in the
// run and its pages; Cancel, there only while the run reads, has the focus
// and Enter presses it. Where a cancel stops the run is the run's own
// business: here the press reaches it, the window says so, and Refresh
// takes the guider, given back, into file-system mode again.
TEST_F(FilesystemDlgTest, CancelFromTheKeyboardStopsTheRunBetweenTwoPages) {
  AddNight(0, 0x00002a);
  AddNight(1, 0x00002b, Stamped(PackDate(2026, 12, 1), PackTime(21, 5)), 4);
  ASSERT_GE(sim_->flash().ChainOf(1).size(), 6u);
  Open();
  Click(kIdSelectNewFiles);
  auto* cancel = window_->findChild<QPushButton*>("controlCancelRun");
  auto* runProgress = window_->findChild<QLabel*>("controlRunProgress");
  ASSERT_NE(cancel, nullptr);
  ASSERT_NE(runProgress, nullptr);
  EXPECT_FALSE(cancel->isVisible());

  QString seen;
  bool cancelReady = false;
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    if (!runProgress->text().endsWith("2 pages read")) return;
    poll.stop();
    seen = runProgress->text();
    cancelReady = cancel->isVisible() && cancel->isEnabled() && window_->focusWidget() == cancel;
    QTest::keyClick(window_->focusWidget(), Qt::Key_Return);
  });
  poll.start(0);
  Click(kIdDownloadProcess);
  poll.stop();

  EXPECT_EQ(seen, "file 1 of 2: QD00002b, 2 pages read");
  EXPECT_TRUE(cancelReady);
  EXPECT_FALSE(cancel->isVisible());
  EXPECT_TRUE(runProgress->text().isEmpty());
  EXPECT_EQ(Status(), "cancelled");
  ASSERT_EQ(dialogs_.messages().size(), 1u);
  const AskedMessage& summary = dialogs_.messages()[0];
  EXPECT_EQ(summary.caption, "INFORMATION");
  EXPECT_TRUE(summary.text.startsWith("QD00002b: cancelled after ")) << summary.text.toStdString();
  EXPECT_TRUE(summary.text.contains("Cancelled: 1 selected file(s) were not read."));
  Click(kIdRefreshFiles);
  EXPECT_EQ(sim_->guider().mode(), ControllerMode::kFileSystem);
  EXPECT_EQ(Rows().size(), 2u);
}

// No more than a page read of the guider's time passes without the window
// handling its events, the last wait and listing of the run included; and
// the processing of the logs, which moves no guider time, runs beside the
// loop.
TEST_F(FilesystemDlgTest, TheWindowHandlesEventsThroughoutARun) {
  AddNight(0, 0x00002a);
  AddNight(1, 0x00002b);
  Open();
  Click(kIdSelectNewFiles);
  Control<QCheckBox>(kIdGenerateHtml)->setChecked(true);
  testing::GuiderTimeWatch watch(sim_->clock());
  watch.Start();
  Click(kIdDownloadProcess);
  watch.Stop();
  ASSERT_EQ(Status(), "done");
  EXPECT_LE(watch.LongestGapMs(), 30.0);
}

// The report settings and the PHD2 box come back in the next window, whose
// run writes the PHD2 guide log; a field that holds no valid value when the
// window closes keeps what was kept before, an emptied one is kept empty.
// (The settings file itself: settings_store_test.)
TEST_F(FilesystemDlgTest, ReportSettingsAndThePhd2BoxAreKept) {
  AddNight(0, 0x00002a);
  SettingsStore store(ToQString(dir_.path() / "settings.ini"), [](const QString&) {});
  Open();
  window_->UseSettings(store);
  Control<QComboBox>(kIdCsvFormat)->setCurrentIndex(1);
  Control<QCheckBox>(kIdGenerateHtml)->setChecked(true);
  Control<QCheckBox>(kIdGeneratePe)->setChecked(true);
  window_->findChild<QCheckBox*>(kPhd2GuideLogName)->setChecked(true);
  Control<QLineEdit>(kIdFocalLength)->setText(" 1000");
  Control<QLineEdit>(kIdWormPeriod)->setText("479");
  Control<QLineEdit>(kIdStarDec)->setText("-45,5");
  Click(kIdFsClose);
  const KeptReportSettings kept{.csvFormat = 1,
                                .htmlReport = true,
                                .peTables = true,
                                .phd2GuideLog = true,
                                .focalLength = 1000,
                                .wormPeriod = 479,
                                .starDec = -45.5};
  EXPECT_EQ(store.values().report, kept);

  // The next window shows them; its run keeps what its fields hold.
  window_.reset();
  Open();
  window_->UseSettings(store);
  EXPECT_EQ(Control<QLineEdit>(kIdStarDec)->text(), "-45.5");
  List()->selectRow(0);
  Click(kIdDownloadProcess);
  ASSERT_EQ(Status(), "done");
  EXPECT_EQ(store.values().report, kept);
  int phd2Logs = 0;
  for (const auto& e : std::filesystem::directory_iterator(dir_.path() / "QD00002a.dat.content"))
    phd2Logs += e.path().filename().string().rfind("PHD2_GuideLog_", 0) == 0 ? 1 : 0;
  EXPECT_EQ(phd2Logs, 1);

  Control<QLineEdit>(kIdFocalLength)->setText("0");
  Control<QLineEdit>(kIdWormPeriod)->setText("");
  Control<QLineEdit>(kIdStarDec)->setText("91");
  window_->findChild<QCheckBox*>(kPhd2GuideLogName)->setChecked(false);
  Click(kIdFsClose);
  EXPECT_EQ(store.values().report.focalLength, 1000);
  EXPECT_EQ(store.values().report.wormPeriod, std::nullopt);
  EXPECT_EQ(store.values().report.starDec, -45.5);
  EXPECT_FALSE(store.values().report.phd2GuideLog);
}

// With an output folder chosen, a local file's outputs go into a folder of
// its own under it, named after the log; a raw copy that already lies in
// that folder is processed where it is. Without one they go beside it
// (UseLocalFileCancelledOrProcessed). The local-file dialog starts at the
// file chosen last in this run, else in the folder of the one chosen in an
// earlier run.
TEST_F(FilesystemDlgTest, LocalFileGoesUnderTheChosenOutputFolder) {
  StartGuider(ControllerMode::kOff);
  LogWriter writer;
  ASSERT_EQ(WriteSession(SessionOptions{}, writer), 0);
  // File id 0 in its directory entry: the log is QD000000.
  const std::vector<std::uint8_t> raw =
      writer.RawFile(Stamped(PackDate(2026, 12, 1), PackTime(21, 5)));
  const std::filesystem::path stick = dir_.path() / "stick" / "night.dat";
  const std::filesystem::path nights = dir_.path() / "nights";
  const std::filesystem::path content = nights / "QD000000.dat.content";
  std::filesystem::create_directory(stick.parent_path());
  std::filesystem::create_directories(content);
  for (const std::filesystem::path& file : {stick, content / "QD000000.dat"}) {
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char*>(raw.data()), static_cast<std::streamsize>(raw.size()));
  }
  SettingsStore store(ToQString(dir_.path() / "settings.ini"), [](const QString&) {});
  Open();
  window_->UseSettings(store);
  dialogs_.script.QueueFolder(ToQString(nights));
  window_->findChild<QPushButton*>(kChooseOutputFolderName)->click();

  for (const std::filesystem::path& file : {stick, content / "QD000000.dat"}) {
    SCOPED_TRACE(file.string());
    std::filesystem::remove(content / "events.csv");
    dialogs_.script.QueueFiles({ToQString(file)});
    Click(kIdUseLocalFile);
    EXPECT_EQ(window_->findChild<QLineEdit*>(kOutputFolderName)->text(),
              QDir::toNativeSeparators(ToQString(nights)));
    Click(kIdDownloadProcess);
    EXPECT_TRUE(dialogs_.messages().empty()) << dialogs_.messages()[0].text.toStdString();
    EXPECT_EQ(Status(), "done");
    EXPECT_TRUE(logtest::Exists(content / "events.csv"));
    EXPECT_FALSE(logtest::Exists(stick.parent_path() / "events.csv"));
    EXPECT_FALSE(logtest::Exists(content / "QD000000.dat.content"));
  }
  ASSERT_EQ(dialogs_.asked.size(), 2u);
  EXPECT_EQ(dialogs_.asked[0].first, "");
  EXPECT_EQ(ToPath(dialogs_.asked[1].first), stick);

  g_lastLocalFile.clear();  // as in the program's next run
  window_.reset();
  Open();
  window_->UseSettings(store);
  Click(kIdUseLocalFile);  // cancelled
  ASSERT_EQ(dialogs_.asked.size(), 3u);
  EXPECT_EQ(ToPath(dialogs_.asked[2].first), content);
}

// Makes `folder` refuse new files, for root too; false where this machine
// cannot (a file system without the immutable flag).
bool MakeUnwritable(const std::filesystem::path& folder) {
  if (::geteuid() == 0) {
    std::system(("chattr +i '" + folder.string() + "' 2>/dev/null").c_str());
  } else {
    std::filesystem::permissions(folder, std::filesystem::perms::owner_write,
                                 std::filesystem::perm_options::remove);
  }
  const std::filesystem::path probe = folder / "probe";
  const bool refused = !std::ofstream(probe);
  std::error_code error;
  std::filesystem::remove(probe, error);
  return refused;
}

void MakeWritable(const std::filesystem::path& folder) {
  if (::geteuid() == 0) std::system(("chattr -i '" + folder.string() + "' 2>/dev/null").c_str());
  std::filesystem::permissions(folder, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add);
}

// The output folder: the start-up directory until one is chosen, the
// choice kept for the next window; a folder that cannot take the outputs
// is said, by name, before anything is read from the guider.
TEST_F(FilesystemDlgTest, OutputFolderIsChosenKeptAndCheckedBeforeAnyDownload) {
  AddNight(0, 0x00002a);
  const auto native = [](const std::filesystem::path& path) {
    return QDir::toNativeSeparators(ToQString(path));
  };
  SettingsStore store(ToQString(dir_.path() / "settings.ini"), [](const QString&) {});
  Open();
  window_->UseSettings(store);
  auto* shown = window_->findChild<QLineEdit*>(kOutputFolderName);
  auto* choose = window_->findChild<QPushButton*>(kChooseOutputFolderName);
  ASSERT_NE(shown, nullptr);
  ASSERT_NE(choose, nullptr);
  EXPECT_EQ(shown->text(), native(dir_.path()));

  choose->click();  // cancelled
  ASSERT_EQ(dialogs_.script.foldersFrom().size(), 1u);
  EXPECT_EQ(ToPath(dialogs_.script.foldersFrom()[0]), dir_.path());
  EXPECT_EQ(shown->text(), native(dir_.path()));
  EXPECT_TRUE(store.values().outputFolder.isEmpty());

  const std::filesystem::path nights = dir_.path() / "nights";
  std::filesystem::create_directory(nights);
  dialogs_.script.QueueFolder(ToQString(nights));
  choose->click();
  EXPECT_EQ(shown->text(), native(nights));
  EXPECT_EQ(ToPath(store.values().outputFolder), nights);
  // The next window (the one closing first leaves the guider's FS mode).
  window_.reset();
  Open();
  window_->UseSettings(store);
  shown = window_->findChild<QLineEdit*>(kOutputFolderName);
  EXPECT_EQ(shown->text(), native(nights));
  EXPECT_EQ(window_->OutputRoot(), nights);

  // Gone, then taken by a file, then read-only: each said with the folder's
  // name; no page is read and nothing is marked.
  struct Case {
    const char* name;
    std::function<bool()> make;
    const char* said;
  };
  const Case cases[] = {
      {"missing", [&] { return std::filesystem::remove(nights); }, "does not exist"},
      {"a file", [&] { return static_cast<bool>(std::ofstream(nights)); }, "is not a folder"},
      {"read-only",
       [&] {
         std::filesystem::remove(nights);
         std::filesystem::create_directory(nights);
         return MakeUnwritable(nights);
       },
       "cannot be written"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (!c.make()) {
      // Root in a container without the immutable flag's capability cannot
      // make a folder refuse it; the other cases still run.
      ASSERT_STREQ(c.name, "read-only") << "this machine cannot make the folder " << c.name;
      std::printf("skipped: this machine cannot make a read-only folder for root\n");
      continue;
    }
    const std::size_t asked = dialogs_.messages().size();
    sim_->guider().clear_traces();
    Click(kIdSelectNewFiles);
    Click(kIdDownloadProcess);
    ASSERT_EQ(dialogs_.messages().size(), asked + 1);
    const AskedMessage& said = dialogs_.messages().back();
    EXPECT_EQ(said.caption, "ERROR");
    EXPECT_TRUE(said.text.contains(native(nights))) << said.text.toStdString();
    EXPECT_TRUE(said.text.contains(c.said)) << said.text.toStdString();
    EXPECT_TRUE(sim_->guider().ReceivedBytes().empty());
    EXPECT_EQ(sim_->flash().entry(0).flags & kDownloadedFlag, 0);
    EXPECT_EQ(Status(), "");
  }
  MakeWritable(nights);
}

// Every way of closing leaves file-system mode (five passes of D3 00) and
// disconnects, once; after a failed first refresh it only disconnects.
TEST_F(FilesystemDlgTest, ClosingLeavesFileSystemModeOnce) {
  const std::pair<const char*, std::function<void(CFilesystemDlg&)>> ways[] = {
      {"Close", [](CFilesystemDlg& w) { w.findChild<QPushButton*>("button1")->click(); }},
      {"Escape", [](CFilesystemDlg& w) { QTest::keyClick(&w, Qt::Key_Escape); }},
      {"close box", [](CFilesystemDlg& w) { w.close(); }},
  };
  for (bool guiderOn : {true, false}) {
    for (const auto& [way, close] : ways) {
      SCOPED_TRACE(std::string(way) + (guiderOn ? ", guider on" : ", guider off"));
      StartGuider(guiderOn ? ControllerMode::kNormal : ControllerMode::kOff);
      if (guiderOn) AddNight(0, 0x00002a);
      Open();
      ASSERT_EQ(List()->rowCount(), guiderOn ? 1 : 0);
      const std::size_t writesBefore = sim_->driver().CallsOf(sim::DriverCall::kWrite).size();
      close(*window_);
      EXPECT_FALSE(window_->isVisible());
      EXPECT_FALSE(g_device.IsOpen());
      window_.reset();

      const std::vector<std::uint8_t> received = sim_->guider().ReceivedBytes();
      std::vector<std::uint8_t> leave;
      for (int pass = 0; pass < 5; ++pass) leave.insert(leave.end(), {0xD3, 0x00});
      if (guiderOn) {
        ASSERT_GE(received.size(), leave.size());
        EXPECT_TRUE(std::equal(leave.begin(), leave.end(), received.end() - leave.size()));
        EXPECT_EQ(sim_->guider().mode(), ControllerMode::kNormal);
        EXPECT_EQ(std::search(received.begin(), received.end() - leave.size(), leave.begin(),
                              leave.end()),
                  received.end() - leave.size())
            << "left twice";
      } else {
        EXPECT_EQ(sim_->driver().CallsOf(sim::DriverCall::kWrite).size(), writesBefore);
      }
    }
  }
}

// The launcher's File control button opens the window on the program's
// simulated guider, which holds a few nights of logs.
TEST(FileControlInLauncher, OpensTheWindowOnTheDemoStore) {
  logtest::TempDir dir;
  std::unique_ptr<LinkBackend> backend = MakeSimulatedBackend();
  dynamic_cast<sim::VirtualClock&>(backend->clock()).SetRealTimePacing(0);
  testing::ScriptedDialogs dialogs;
  int rows = -1;
  QString title;
  QTimer::singleShot(0, [&] {
    for (QWidget* top : QApplication::topLevelWidgets()) {
      auto* launcher = qobject_cast<CTVX_DUVO_VerAdiDlg*>(top);
      if (launcher == nullptr || !launcher->isVisible()) continue;
      QTimer::singleShot(0, [&] {
        for (QWidget* window : QApplication::topLevelWidgets()) {
          auto* files = qobject_cast<CFilesystemDlg*>(window);
          if (files == nullptr || !files->isVisible()) continue;
          title = files->windowTitle();
          rows = files->findChild<QTableWidget*>("control1002")->rowCount();
          files->findChild<QPushButton*>("button1")->click();
        }
      });
      launcher->Button(kIdFileControl)->click();
      launcher->Button(kIdExit)->click();
    }
  });
  EXPECT_EQ(RunProgram(*backend, dialogs, {InstallFileControl}), 0);
  EXPECT_EQ(title, "TVX filesystem");
  EXPECT_GT(rows, 0);
  EXPECT_TRUE(dialogs.messages().empty());
}

}  // namespace
}  // namespace ktal

#include "filesystem_dlg_test.moc"
