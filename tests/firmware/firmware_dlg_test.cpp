// SPDX-License-Identifier: GPL-3.0-or-later
// The firmware control window driven as a user would, against the simulated
// guider on virtual time. Each test runs in a temporary start-up directory,
// where the window saves the variables it reads.
#include "firmware/firmware_dlg.h"

#include <gtest/gtest.h>

#include <QAccessible>
#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QProgressBar>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/application.h"
#include "app/feature_installs.h"
#include "app/launcher_dialog.h"
#include "firmware/variable_set.h"
#include "link/ftdi_device.h"
#include "link/handshakes.h"
#include "shell/qt_text.h"
#include "shell/settings_store.h"
#include "sim/firmware_files.h"
#include "sim/simulated_guider.h"
#include "tests/app/guider_time_watch.h"
#include "tests/app/scripted_dialogs.h"
#include "tests/guidelog/guidelog_test_util.h"

namespace ktal {
namespace {

using sim::ControllerMode;
using Bytes = std::vector<std::uint8_t>;

// The scripted answers, plus the initial name each open-file dialog got.
class Dialogs final : public UserDialogs {
 public:
  MessageAnswer ShowMessage(QWidget* parent, const QString& text, const QString& caption,
                            MessageIcon icon, MessageButtons buttons) override {
    return script.ShowMessage(parent, text, caption, icon, buttons);
  }
  QStringList OpenFiles(QWidget* parent, const QString& caption, const QString& name,
                        const QString& filter, bool multiple) override {
    asked.push_back(name);
    EXPECT_EQ(filter, "Firmware files (*.fw)");
    return script.OpenFiles(parent, caption, name, filter, multiple);
  }
  const std::vector<testing::AskedMessage>& messages() const { return script.messages(); }

  testing::ScriptedDialogs script;
  std::vector<QString> asked;
};

const Bytes kHcImage = PseudoRandomImage(400, 1);
const Bytes kCameraImage = PseudoRandomImage(100, 2);
const Bytes kCcdbImage = PseudoRandomImage(2049, 3);

struct FileParts {
  std::uint16_t hcVersion = 0x0250;  // 0: no hand-controller section
  bool camera = true;
  bool ccdb = true;
};

Bytes FirmwareFile(FileParts parts) {
  auto part = [](bool present, std::uint16_t version, const Bytes& bytes) {
    return present ? std::optional<FirmwareImage>({version, bytes}) : std::nullopt;
  };
  return BuildFirmwareFile(part(parts.hcVersion != 0, parts.hcVersion, kHcImage),
                           part(parts.camera, 0x0131, kCameraImage),
                           part(parts.ccdb, 0x0102, kCcdbImage));
}

// What a guider holds after `guider` (nullopt: the defaults) was carried to
// `version`.
Bytes CarriedTo(std::uint16_t version, const std::optional<Bytes>& guider) {
  VariableSet set;
  set.SetDefaults();
  if (guider) {
    std::copy(guider->begin(), guider->end(), set.image.begin());
    set.ReadFromImage(set.ImageVersion());
  }
  set.SetImageVersion(version);
  set.WriteToImage(version);
  return Bytes(set.image.begin(), set.image.begin() + kEepromTransferSize);
}

// A guider that stored its variables under the 2.02 layout, M14 a word.
Bytes Layout202Image() {
  VariableSet set;
  set.SetDefaults();
  set.SetMain(0x14, 0x0123);
  set.SetProfile(0, 0x30, 321);
  set.SetImageVersion(0x0202);
  set.WriteToImage(0x0202);
  return Bytes(set.image.begin(), set.image.begin() + kEepromTransferSize);
}

const QString kVersions260 =
    "HandController BOOT: $12\n  ... firmware: $0260\nCamera BOOT: $21\n  ... firmware: $0131\n";
const QString kNotRestored = "ERROR: the stored variables were NOT restored";
const std::vector<int> kGroup = {1015, 1000, 1009, 1012, 1011, 1013, 1017, 1};

class FirmwareDlgTest : public ::testing::Test {
 public:
  void SetUp() override {
    g_startupDirectory = dir_.path();
    Start(ControllerMode::kNormal);
  }
  void TearDown() override {
    window_.reset();
    EXPECT_EQ(g_uploadProgress, nullptr);
    g_device.Close();
    g_device.AttachDriver(nullptr, nullptr);
  }

  // A fresh guider holding 2.02 variables, no window, no backups, no boxes.
  void Start(ControllerMode mode) {
    window_.reset();
    g_device.Close();
    g_device.AttachDriver(nullptr, nullptr);
    sim_ = std::make_unique<sim::SimulatedGuider>(sim::HandControllerConfig{.startMode = mode});
    std::copy(guiderVariables_.begin(), guiderVariables_.end(), update().eeprom.begin());
    g_device.AttachDriver(&sim_->driver(), &sim_->clock());
    for (const std::filesystem::path& backup : Backups()) std::filesystem::remove(backup);
    dialogs_ = {};
  }
  // Opens the window, with `file` chosen when given.
  void Open(const std::optional<Bytes>& file = std::nullopt) {
    window_ = std::make_unique<CFirmwareDlg>(dialogs_, g_device);
    window_->show();
    if (!file) return;
    const std::filesystem::path path = dir_.path() / "test.fw";
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(file->data()),
               static_cast<std::streamsize>(file->size()));
    Control<QLineEdit>(kIdFileName)->setText(QString::fromStdString(path.string()));
  }
  template <typename T = QWidget>
  T* Control(int id) {
    T* control =
        window_->findChild<T*>(id == 1 ? QString("button1") : QString("control%1").arg(id));
    EXPECT_NE(control, nullptr) << id;
    return control;
  }
  void Click(int id) { Control<QAbstractButton>(id)->click(); }
  QString Text(int id) { return Control<QLabel>(id)->text(); }
  QString Report() { return window_->findChild<QLabel*>("controlUploadReport")->text(); }
  bool GroupEnabled() {
    return std::all_of(kGroup.begin(), kGroup.end(),
                       [this](int id) { return Control(id)->isEnabled(); });
  }
  // Runs `hook` at every move of the progress bar, with the step's text.
  void OnProgress(std::function<void(const QString& step)> hook) {
    QObject::connect(Control<QProgressBar>(kIdUploadProgress), &QProgressBar::valueChanged,
                     window_.get(), [this, hook] { hook(Text(kIdUploadStep)); });
  }
  sim::UpdateModeState& update() { return sim_->features().update; }
  Bytes Eeprom() { return Bytes(update().eeprom.begin(), update().eeprom.end()); }
  Bytes Received() { return sim_->guider().ReceivedBytes(); }
  // Whether the guider handed out its EEPROM (answer 0xEE) before the end
  // of a hand-controller image (0xDC); the read-back after it does not
  // count.
  bool VariablesRead() {
    const Bytes sent = sim_->guider().SentBytes();
    const auto read = std::find(sent.begin(), sent.end(), 0xEE);
    return read < std::find(sent.begin(), sent.end(), 0xDC);
  }
  std::vector<std::filesystem::path> Backups() {
    std::vector<std::filesystem::path> found;
    for (const auto& entry : std::filesystem::directory_iterator(dir_.path())) {
      if (entry.path().extension() == ".eep") found.push_back(entry.path());
    }
    return found;
  }

  Bytes guiderVariables_ = Layout202Image();
  logtest::TempDir dir_;
  std::unique_ptr<sim::SimulatedGuider> sim_;
  Dialogs dialogs_;
  std::unique_ptr<CFirmwareDlg> window_;
};

// A 2.02 guider gets a 2.50 file with all three images: each image arrives
// byte for byte, the variables come back in the 2.50 layout and are read
// back, a copy of what was read is kept on disk first, and nothing can
// close the window or press a button while the upload pumps its messages.
TEST_F(FirmwareDlgTest, FullUploadCarriesTheVariablesAcrossAndVerifiesThem) {
  update().firmwareVersionAfterUpload = 0x0250;
  Open(FirmwareFile({}));
  EXPECT_EQ(Text(kIdFileDescription), "HandController version:  $0250\nCamera version:  $0131\n");
  std::vector<QString> steps;
  bool enabledDuringUpload = false;
  OnProgress([&](const QString& step) {
    if (!steps.empty() && steps.back() == step) return;
    steps.push_back(step);
    for (int id : kGroup) enabledDuringUpload |= Control(id)->isEnabled();
    window_->close();
    QTest::keyClick(window_.get(), Qt::Key_Escape);
  });
  Click(kIdUpload);

  EXPECT_TRUE(dialogs_.messages().empty()) << dialogs_.messages()[0].text.toStdString();
  EXPECT_EQ(steps, (std::vector<QString>{"Reading variables", "Updating HandController",
                                         "Restoring variables", "Verifying variables",
                                         "Updating Camera 1/2", "Updating Camera 2/2", "Done"}));
  EXPECT_FALSE(enabledDuringUpload);
  EXPECT_TRUE(window_->isVisible()) << "closed in the middle of an upload";
  EXPECT_EQ(update().handControllerImage, kHcImage);
  EXPECT_EQ(update().cameraImage, kCameraImage);
  EXPECT_EQ(update().ccdBoardImage, kCcdbImage);

  const Bytes carried = Eeprom();
  EXPECT_EQ(carried, CarriedTo(0x0250, guiderVariables_));
  EXPECT_EQ(carried[0x014], 0x23) << "M14 becomes a byte";
  EXPECT_EQ(carried[0x015], 2) << "M15 gets its default";
  EXPECT_EQ(carried[0x030] | carried[0x031] << 8, 321) << "P30 kept";

  const std::vector<std::filesystem::path> backups = Backups();
  ASSERT_EQ(backups.size(), 1u);
  EXPECT_TRUE(backups[0].filename().string().starts_with("variables_fw0202_"));
  EXPECT_EQ(logtest::ReadText(backups[0]),
            std::string(guiderVariables_.begin(), guiderVariables_.end()));
  EXPECT_EQ(Report(), "Variables read from the guider saved to:\n" +
                          QString::fromStdString(backups[0].string()) + "\nvariables verified");
  EXPECT_EQ(Text(kIdUploadStep), "Done");
  EXPECT_EQ(
      Text(kIdVersions),
      "HandController BOOT: $12\n  ... firmware: $0250\nCamera BOOT: $21\n  ... firmware: $0131\n");
  EXPECT_FALSE(g_device.IsOpen());
  EXPECT_TRUE(GroupEnabled());
}

// Through the whole upload, restarts of a second, handshakes and the
// blocks between two progress reports included, no more than a few
// milliseconds of the guider's time pass without the window handling its
// events.
TEST_F(FirmwareDlgTest, TheWindowHandlesEventsThroughoutAnUpload) {
  Open(FirmwareFile({}));
  testing::GuiderTimeWatch watch(sim_->clock());
  watch.Start();
  Click(kIdUpload);
  watch.Stop();
  ASSERT_EQ(Text(kIdUploadStep), "Done");
  EXPECT_TRUE(dialogs_.messages().empty());
  EXPECT_LE(watch.LongestGapMs(), 30.0);
}

// What is sent follows the file's sections, the three check boxes and the
// answer to the newer-version warning.
TEST_F(FirmwareDlgTest, WhatIsUploadedFollowsTheFileTheCheckBoxesAndTheWarning) {
  enum Variables { kUntouched, kDefaults, kCarried };
  struct Case {
    const char* name;
    FileParts file;
    bool defaults, handController, camera;
    std::optional<MessageAnswer> warning;  // none: not asked
    bool sends, hc, cam, read;             // the CCD board goes with the camera here
    Variables eeprom;
  };
  const Case cases[] = {
      {"no hand-controller version: no file",
       {0},
       false,
       true,
       true,
       {},
       false,
       false,
       false,
       false,
       kUntouched},
      {"HandController unchecked, no camera images, 2.60",
       {0x0260, false, false},
       false,
       false,
       true,
       {},
       true,
       false,
       false,
       false,
       kUntouched},
      {"HandController unchecked",
       {},
       false,
       false,
       true,
       {},
       true,
       false,
       true,
       false,
       kUntouched},
      {"Camera unchecked", {}, false, true, false, {}, true, true, false, true, kCarried},
      {"Default var.s",
       {0x0250, false, false},
       true,
       true,
       true,
       {},
       true,
       true,
       false,
       false,
       kDefaults},
      {"2.61 answered No",
       {0x0261},
       false,
       true,
       true,
       MessageAnswer::No,
       false,
       false,
       false,
       false,
       kUntouched},
      {"2.61 answered Yes",
       {0x0261},
       false,
       true,
       true,
       MessageAnswer::Yes,
       true,
       true,
       true,
       true,
       kCarried},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Start(ControllerMode::kNormal);
    if (c.warning) dialogs_.script.QueueAnswer(*c.warning);
    Open(FirmwareFile(c.file));
    Control<QCheckBox>(kIdDefaultVariables)->setChecked(c.defaults);
    Control<QCheckBox>(kIdUpdateHandController)->setChecked(c.handController);
    Control<QCheckBox>(kIdUpdateCamera)->setChecked(c.camera);
    Click(kIdUpload);

    ASSERT_EQ(dialogs_.messages().size(), c.warning ? 1u : 0u);
    if (c.warning) {
      const testing::AskedMessage& box = dialogs_.messages()[0];
      EXPECT_TRUE(
          box.text.startsWith("The firmware file contains newer version than this "
                              "application can handle.\n"));
      EXPECT_EQ(box.caption, "WARNING");
      EXPECT_EQ(box.buttons, MessageButtons::YesNo);
    }
    EXPECT_EQ(!Received().empty(), c.sends);
    const QString notSent = c.file.hcVersion == 0
                                ? "Nothing to upload: the file holds no hand-controller firmware"
                                : "...";
    EXPECT_EQ(Text(kIdUploadStep), c.sends ? "Done" : notSent);
    EXPECT_EQ(Text(kIdVersions), c.sends ? kVersions260 : "");
    EXPECT_EQ(update().handControllerImage == kHcImage, c.hc);
    EXPECT_EQ(update().cameraImage == kCameraImage, c.cam);
    EXPECT_EQ(update().ccdBoardImage == kCcdbImage, c.cam);
    EXPECT_EQ(VariablesRead(), c.read);
    EXPECT_EQ(Backups().size(), c.read ? 1u : 0u);
    const Bytes expected = c.eeprom == kUntouched  ? guiderVariables_
                           : c.eeprom == kDefaults ? CarriedTo(c.file.hcVersion, std::nullopt)
                                                   : CarriedTo(c.file.hcVersion, guiderVariables_);
    EXPECT_EQ(Eeprom(), expected);
    EXPECT_TRUE(GroupEnabled());
  }
}

// A file picked after an upload starts afresh: nothing of the last result
// stays under it, and while it gives UPLOAD nothing to send, the window
// says why, also when UPLOAD is pressed.
TEST_F(FirmwareDlgTest, ANewFileClearsTheLastResultAndSaysWhyNothingCanBeUploaded) {
  Open(FirmwareFile({}));
  Click(kIdUpload);
  ASSERT_EQ(Text(kIdUploadStep), "Done");
  ASSERT_TRUE(Report().endsWith("variables verified"));
  WriteSampleFirmwareFiles(dir_.path());
  struct Case {
    const char* file;
    QString why;
  };
  const Case cases[] = {
      {"damaged-header.fw", "Nothing to upload: the selected file was refused"},
      {"camera-only.fw", "Nothing to upload: the file holds no hand-controller firmware"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    Control<QLineEdit>(kIdFileName)
        ->setText(QString::fromStdString((dir_.path() / c.file).string()));
    EXPECT_EQ(Text(kIdUploadStep), c.why);
    EXPECT_EQ(Report(), "");
    EXPECT_EQ(Control<QProgressBar>(kIdUploadProgress)->value(), 0);
    EXPECT_EQ(Control(kIdUpload)->toolTip(), c.why);

    Control<QLabel>(kIdUploadStep)->clear();
    const std::size_t received = Received().size();
    Click(kIdUpload);
    EXPECT_EQ(Received().size(), received);
    EXPECT_EQ(Text(kIdUploadStep), c.why);
  }
}

// A failure stops the upload with a box naming it and the protocol's
// reason, and gives the controls back.
TEST_F(FirmwareDlgTest, FailuresStopTheUploadAndSayWhy) {
  struct Case {
    const char* name;
    std::function<void(FirmwareDlgTest&)> fault;
    QString text;  // also left in 1014; the connect texts end in the protocol message
    bool hcFlashed;
  };
  const Case cases[] = {
      {"guider switched off", [](FirmwareDlgTest& t) { t.Start(ControllerMode::kOff); },
       "ERROR: Can't connect to TVX-DUVO. Device may be turned off.\n ", false},
      {"no chip on the USB",
       [](FirmwareDlgTest& t) { g_device.AttachDriver(nullptr, &t.sim_->clock()); },
       "ERROR: Can't connect to TVX-DUVO. Device may not be connected via USB.\n ", false},
      {"EEPROM read refused",
       [](FirmwareDlgTest& t) { t.update().faults.commandAnswer = Bytes{0x12}; },
       "ERROR: reading the stored variables FAILED\n\nNothing was uploaded.", false},
      {"camera image fails its check",
       [](FirmwareDlgTest& t) { t.update().faults.checkFailsFor = 0xC6; },
       "ERROR: uploading FAILED\n\n - firmware may not be valid\n - communication fault during "
       "uploading",
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Start(ControllerMode::kNormal);
    c.fault(*this);
    Open(FirmwareFile({}));
    Click(kIdUpload);

    ASSERT_EQ(dialogs_.messages().size(), 1u);
    const QString protocol = QString::fromLocal8Bit(g_protocolMessage);
    EXPECT_FALSE(protocol.isEmpty());
    const QString shown = c.text.endsWith("\n ") ? c.text + protocol : c.text;
    EXPECT_EQ(dialogs_.messages()[0].text, shown + "\n\n(" + protocol + ")");
    EXPECT_EQ(dialogs_.messages()[0].caption, "ERROR");
    EXPECT_EQ(Text(kIdVersions), shown);
    EXPECT_NE(Text(kIdUploadStep), "Done");
    EXPECT_EQ(update().handControllerImage == kHcImage, c.hcFlashed);
    EXPECT_TRUE(GroupEnabled());
  }
}

// A restore that fails, or reads back other bytes than were written, is
// never reported as done: the user is told where the old variables are and
// offered a retry, which writes the same variables again.
TEST_F(FirmwareDlgTest, FailedRestoreIsOfferedAgainAndNeverShownAsDone) {
  struct Case {
    const char* name;
    const char* faultStep;
    MessageAnswer answer;
    const char* reason;
  };
  const Case cases[] = {
      {"write fails, retried", "Restoring variables", MessageAnswer::Retry,
       "bad byte read as ACK (required 0x11): 0x12"},
      {"read-back differs, retried", "Verifying variables", MessageAnswer::Retry,
       "variables differ at 0x014"},
      {"write fails, given up", "Restoring variables", MessageAnswer::Cancel,
       "bad byte read as ACK (required 0x11): 0x12"},
  };
  const Bytes carried = CarriedTo(0x0250, guiderVariables_);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Start(ControllerMode::kNormal);
    dialogs_.script.QueueAnswer(c.answer);
    Open(FirmwareFile({}));
    bool armed = false;
    OnProgress([&](const QString& step) {
      if (armed || step != c.faultStep) return;
      armed = true;
      if (step == "Verifying variables") {
        // The read answers 0xEE, then the bytes from address 0.
        sim_->guider().ReplaceSentByte(2 + 0x014, carried[0x014] ^ 0xFF);
      } else {
        update().faults.ack = sim::UpdateModeFaults::Ack{3, {0x12}};
      }
    });
    Click(kIdUpload);

    ASSERT_EQ(dialogs_.messages().size(), 1u);
    const testing::AskedMessage& box = dialogs_.messages()[0];
    EXPECT_EQ(box.caption, "ERROR");
    EXPECT_EQ(box.buttons, MessageButtons::RetryCancel);
    EXPECT_TRUE(box.text.startsWith(kNotRestored + ".\n\n")) << box.text.toStdString();
    EXPECT_TRUE(box.text.contains(c.reason)) << box.text.toStdString();
    ASSERT_EQ(Backups().size(), 1u);
    EXPECT_TRUE(box.text.contains(QString::fromStdString(Backups()[0].string())));
    EXPECT_EQ(update().handControllerImage, kHcImage);

    const bool retried = c.answer == MessageAnswer::Retry;
    EXPECT_EQ(Eeprom() == carried, retried);
    EXPECT_EQ(Text(kIdUploadStep), retried ? "Done" : "Variables NOT restored");
    EXPECT_EQ(Report().endsWith("variables verified"), retried);
    EXPECT_EQ(update().cameraImage == kCameraImage, retried) << "nothing more flashed";
    EXPECT_EQ(Text(kIdVersions) == kNotRestored, !retried);
    EXPECT_TRUE(GroupEnabled());
  }
}

TEST_F(FirmwareDlgTest, UnsavedBackupIsAskedAboutBeforeAnythingIsFlashed) {
  g_startupDirectory = dir_.path() / "not-there";
  Open(FirmwareFile({}));
  Click(kIdUpload);  // answered No
  ASSERT_EQ(dialogs_.messages().size(), 1u);
  EXPECT_EQ(dialogs_.messages()[0].caption, "WARNING");
  EXPECT_TRUE(dialogs_.messages()[0].text.startsWith(
      "The variables read from the guider could not be saved to\n" +
      QString::fromStdString(g_startupDirectory.string()) + "\n"));
  EXPECT_TRUE(update().handControllerImage.empty());
  EXPECT_EQ(Eeprom(), guiderVariables_);
  EXPECT_EQ(Text(kIdUploadStep), "Nothing uploaded");
  EXPECT_TRUE(GroupEnabled());
}

// Check version reads the versions in update mode, whatever mode the guider
// is in; Run starts the firmware in normal mode. Failures are shown in a
// box and in 1014.
TEST_F(FirmwareDlgTest, CheckVersionAndRunFromEveryMode) {
  struct Case {
    const char* name;
    int button;
    ControllerMode mode;
    std::function<void(FirmwareDlgTest&)> setUp;
    Bytes receivedFirst;
    std::optional<QString> text;  // none: the device's failure text
    ControllerMode modeAfter;
  };
  const auto noSetUp = [](FirmwareDlgTest&) {};
  const Case cases[] = {
      {"boot loader: 'B' first",
       kIdCheckVersion,
       ControllerMode::kBootLoader,
       noSetUp,
       {0xAA, 0x01, 0x01, 0x42},
       kVersions260,
       ControllerMode::kUpdate},
      {"normal mode: switched",
       kIdCheckVersion,
       ControllerMode::kNormal,
       noSetUp,
       {0x00, 0x00, 0xEB},
       kVersions260,
       ControllerMode::kUpdate},
      {"camera status 5",
       kIdCheckVersion,
       ControllerMode::kUpdate,
       [](FirmwareDlgTest& t) { t.update().cameraStatus = 5; },
       {0x00, 0x14, 0x2D, 0x2E},
       "HandController BOOT: $12\n  ... firmware: $0260\n\ncan't get camera boot version: cam "
       "error $05\n",
       ControllerMode::kUpdate},
      {"firmware CRC error",
       kIdCheckVersion,
       ControllerMode::kUpdate,
       [](FirmwareDlgTest& t) { t.update().firmwareStatus = 1; },
       {0x00, 0x14, 0x2D},
       "CRC error in firmware\n",
       ControllerMode::kUpdate},
      {"check, guider off",
       kIdCheckVersion,
       ControllerMode::kOff,
       noSetUp,
       {},
       std::nullopt,
       ControllerMode::kOff},
      {"Run from the boot loader",
       kIdRunFirmware,
       ControllerMode::kBootLoader,
       noSetUp,
       {0xAA, 0x01, 0x01, 0x42},
       "HC was instructed to start firmware.",
       ControllerMode::kNormal},
      {"Run, guider off",
       kIdRunFirmware,
       ControllerMode::kOff,
       noSetUp,
       {},
       std::nullopt,
       ControllerMode::kOff},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Start(c.mode);
    c.setUp(*this);
    Open();
    Click(c.button);
    const Bytes got = Received();
    EXPECT_EQ(Bytes(got.begin(), got.begin() + std::min(got.size(), c.receivedFirst.size())),
              c.receivedFirst);
    EXPECT_EQ(sim_->guider().mode(), c.modeAfter);
    const QString text =
        c.text.value_or("FTDI: " + QString::fromLocal8Bit(g_device.errorText) + "\n");
    EXPECT_EQ(Text(kIdVersions), text);
    const bool failed = !c.text || c.text->startsWith("CRC");
    ASSERT_EQ(dialogs_.messages().size(), failed ? 1u : 0u);
    if (failed) {
      EXPECT_EQ(dialogs_.messages()[0].text, text);
    }
    if (!c.text) {
      EXPECT_TRUE(text.startsWith("FTDI: FT_Read timed out")) << text.toStdString();
    }
  }
}

// The browse button opens the dialog only for a release over it (edges
// included), at the name chosen before, and a chosen file is loaded at
// once; a file the loader refuses leaves nothing to upload.
TEST_F(FirmwareDlgTest, BrowseButtonAndLoading) {
  Open();
  auto* browse = Control<CBrowseButton>(kIdBrowse);
  const int w = browse->width(), h = browse->height();
  auto release = [&](QPoint at) {
    QTest::mousePress(browse, Qt::LeftButton, {}, browse->rect().center());
    QTest::mouseRelease(browse, Qt::LeftButton, {}, at);
  };
  for (QPoint outside : {QPoint(w + 1, h / 2), QPoint(-1, h / 2), QPoint(w / 2, h + 1)})
    release(outside);
  EXPECT_TRUE(dialogs_.asked.empty());

  WriteSampleFirmwareFiles(dir_.path());
  struct Case {
    const char* file;
    QString description;
    QString box;  // empty: none
  };
  const Case cases[] = {
      {"damaged-header.fw", "ERROR: bad firmware file", "ERROR: bad firmware file"},
      {"hc250-camera-ccdb.fw", "HandController version:  $0250\nCamera version:  $0131\n", ""},
      {"missing.fw", "ERROR opening file...", "Can't open file!"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    dialogs_.script = {};
    const QString before = Control<QLineEdit>(kIdFileName)->text();
    const QString path = QString::fromStdString((dir_.path() / c.file).string());
    dialogs_.script.QueueFiles({path});
    const std::size_t asked = dialogs_.asked.size();
    release(QPoint(w, h));
    ASSERT_EQ(dialogs_.asked.size(), asked + 1);
    EXPECT_EQ(dialogs_.asked.back(), before);
    EXPECT_EQ(Control<QLineEdit>(kIdFileName)->text(), path);
    EXPECT_EQ(Text(kIdFileDescription), c.description);
    ASSERT_EQ(dialogs_.messages().size(), c.box.isEmpty() ? 0u : 1u);
    if (!c.box.isEmpty()) {
      EXPECT_EQ(dialogs_.messages()[0].text, c.box);
    }
    EXPECT_EQ(window_->firmware().HasFirmware(), c.box.isEmpty());
  }
  Click(kIdUpload);
  EXPECT_TRUE(Received().empty());

  // A button with no target says so, then clicks as any button.
  CBrowseButton bare(dialogs_, "...");
  bool clicked = false;
  QObject::connect(&bare, &QPushButton::clicked, [&] { clicked = true; });
  bare.show();
  QTest::mouseClick(&bare, Qt::LeftButton);
  EXPECT_EQ(dialogs_.messages().back().text, "No target selected for this browse button!");
  EXPECT_EQ(dialogs_.messages().back().caption, "WARNING");
  EXPECT_TRUE(clicked);
}

// The open-file dialog starts in the folder a firmware file was last chosen
// from while the field names no file, in this window and the next.
TEST_F(FirmwareDlgTest, TheDialogStartsWhereAFileWasLastChosen) {
  const std::filesystem::path samples = dir_.path() / "firmware files";
  std::filesystem::create_directory(samples);
  WriteSampleFirmwareFiles(samples);
  const QString folder = ToQString(samples);
  const QString sample = ToQString(samples / "hc250-camera-ccdb.fw");
  SettingsStore store(ToQString(dir_.path() / "settings.ini"), [](const QString&) {});

  Open();
  window_->UseSettings(store);
  dialogs_.script.QueueFiles({sample});
  Click(kIdBrowse);
  EXPECT_EQ(dialogs_.asked.back(), "");
  EXPECT_EQ(store.values().firmwareFolder, folder);

  Open();
  window_->UseSettings(store);
  Click(kIdBrowse);  // cancelled
  EXPECT_EQ(dialogs_.asked.back(), folder);
  EXPECT_EQ(store.values().firmwareFolder, folder);
  // A file in the field is where the dialog starts, as ever.
  Control<QLineEdit>(kIdFileName)->setText(sample);
  Click(kIdBrowse);
  EXPECT_EQ(dialogs_.asked.back(), sample);
}

// The launcher's Firmware control button opens the window; the program's
// simulated guider comes with sample files to pick.
// From the keyboard and from a screen reader: Enter toggles the focused
// check box rather than closing the window, does nothing in the file name
// field (the first button ever focused would take it), and the browse
// button opens its dialog for Space, Enter and an accessible press as for a
// mouse release.
TEST_F(FirmwareDlgTest, KeysAndAScreenReaderReachEveryControl) {
  Open();
  ASSERT_TRUE(QTest::qWaitForWindowActive(window_.get()));
  auto* camera = Control<QCheckBox>(kIdUpdateCamera);
  camera->setFocus();
  QTest::keyClick(camera, Qt::Key_Return);
  EXPECT_FALSE(camera->isChecked());
  EXPECT_TRUE(window_->isVisible());
  // The file name field is no button: Enter there checks no version.
  auto* name = Control<QLineEdit>(kIdFileName);
  name->setFocus();
  QTest::keyClick(name, Qt::Key_Return);
  EXPECT_TRUE(Received().empty());
  EXPECT_TRUE(window_->isVisible());

  auto* browse = Control<CBrowseButton>(kIdBrowse);
  browse->setFocus();
  QTest::keyClick(browse, Qt::Key_Space);
  QTest::keyClick(browse, Qt::Key_Return);
  QAccessibleInterface* button = QAccessible::queryAccessibleInterface(browse);
  ASSERT_NE(button, nullptr);
  button->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
  // The press is shown before it clicks.
  QTest::qWaitFor([&] { return dialogs_.asked.size() == 3; });
  EXPECT_EQ(dialogs_.asked.size(), 3u);
  EXPECT_TRUE(window_->isVisible());
}

TEST(FirmwareControlInLauncher, OpensTheWindow) {
  logtest::TempDir dir;
  // The samples go into a folder of the run's own under $TMPDIR, and go with it.
  const char* tmpdir = std::getenv("TMPDIR");
  const std::string oldTmpdir = tmpdir != nullptr ? tmpdir : "";
  setenv("TMPDIR", dir.path().c_str(), 1);
  std::unique_ptr<LinkBackend> backend = MakeSimulatedBackend();
  oldTmpdir.empty() ? unsetenv("TMPDIR") : setenv("TMPDIR", oldTmpdir.c_str(), 1);
  dynamic_cast<sim::VirtualClock&>(backend->clock()).SetRealTimePacing(0);
  const std::filesystem::directory_iterator made(dir.path());
  ASSERT_NE(made, std::filesystem::directory_iterator());
  const std::filesystem::path folder = made->path();
  EXPECT_TRUE(folder.filename().string().starts_with("ktal-companion-sample-firmware-"));
  EXPECT_EQ(std::filesystem::status(folder).permissions(), std::filesystem::perms::owner_all);
  EXPECT_TRUE(std::filesystem::exists(folder / "hc250-camera-ccdb.fw"));
  testing::ScriptedDialogs dialogs;
  QString title;
  QTimer::singleShot(0, [&] {
    auto* launcher = qobject_cast<CTVX_DUVO_VerAdiDlg*>(QApplication::activeModalWidget());
    ASSERT_NE(launcher, nullptr);
    QTimer::singleShot(0, [&] {
      auto* window = qobject_cast<CFirmwareDlg*>(QApplication::activeModalWidget());
      ASSERT_NE(window, nullptr);
      title = window->windowTitle();
      window->findChild<QPushButton*>("button1")->click();
    });
    launcher->Button(kIdFirmwareControl)->click();
    launcher->Button(kIdExit)->click();
  });
  EXPECT_EQ(RunProgram(*backend, dialogs, {InstallFirmwareControl}), 0);
  EXPECT_EQ(title, "TVX Firmware control dialog");
  backend.reset();
  EXPECT_FALSE(std::filesystem::exists(folder));
}

}  // namespace
}  // namespace ktal
