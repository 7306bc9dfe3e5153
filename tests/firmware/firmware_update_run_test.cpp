// SPDX-License-Identifier: GPL-3.0-or-later
// The firmware update run against the simulated guider, with a host that
// records what the window would be told and answers its questions from a
// script. Each test saves the variables' copy in a folder of its own.
#include "firmware/firmware_update_run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "link/ftdi_device.h"
#include "link/handshakes.h"
#include "sim/firmware_files.h"
#include "sim/simulated_guider.h"
#include "tests/firmware/carried_variables.h"
#include "tests/guidelog/guidelog_test_util.h"

namespace ktal {
namespace {

using Bytes = std::vector<std::uint8_t>;
using testing::CarriedTo;

const Bytes kHcImage = PseudoRandomImage(400, 1);
const Bytes kCameraImage = PseudoRandomImage(100, 2);
const Bytes kCcdbImage = PseudoRandomImage(2049, 3);
const Bytes kGuiderVariables = testing::Layout202Variables();

struct Question {
  std::string text;
  std::string caption;
  AskButtons buttons;
};

// Steps and report lines in the order told, progress by step.
class RecordingHost final : public FirmwareUpdateHost {
 public:
  void SetStep(const std::string& text) override {
    told.push_back("step " + text);
    progress.emplace_back();
    if (onStep) onStep(text);
  }
  void SetProgress(int percent) override {
    if (!progress.empty()) progress.back().push_back(percent);
  }
  void PumpMessages() override { ++pumps; }
  bool Ask(const std::string& text, const std::string& caption, AskButtons buttons) override {
    asked.push_back({text, caption, buttons});
    if (answers.empty()) return false;
    const bool answer = answers.front();
    answers.pop_front();
    return answer;
  }
  void AddReport(const std::string& line) override { told.push_back("report " + line); }

  std::vector<std::string> told;
  std::vector<std::vector<int>> progress;
  std::vector<Question> asked;
  std::deque<bool> answers;
  int pumps = 0;
  std::function<void(const std::string& step)> onStep;
};

class FirmwareUpdateRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    request_.firmware = ParseFirmwareFile(BuildFirmwareFile(FirmwareImage{0x0250, kHcImage},
                                                            FirmwareImage{0x0131, kCameraImage},
                                                            FirmwareImage{0x0102, kCcdbImage}))
                            .firmware;
    request_.backupFolder = dir_.path() / "backups";
    Start();
  }
  void TearDown() override {
    g_device.Close();
    g_device.AttachDriver(nullptr, nullptr);
  }

  // A fresh guider in normal mode holding 2.02 variables, and no copies.
  void Start() {
    TearDown();
    sim_ = std::make_unique<sim::SimulatedGuider>();
    std::copy(kGuiderVariables.begin(), kGuiderVariables.end(), update().eeprom.begin());
    update().firmwareVersionAfterUpload = 0x0250;
    g_device.AttachDriver(&sim_->driver(), &sim_->clock());
    g_device.deviceKind = kDeviceKindGuider;
    std::filesystem::remove_all(request_.backupFolder);
    std::filesystem::create_directory(request_.backupFolder);
  }

  sim::UpdateModeState& update() { return sim_->features().update; }
  Bytes Eeprom() { return Bytes(update().eeprom.begin(), update().eeprom.end()); }
  std::vector<std::filesystem::path> Backups() {
    std::vector<std::filesystem::path> found;
    for (const auto& entry : std::filesystem::directory_iterator(request_.backupFolder)) {
      found.push_back(entry.path());
    }
    return found;
  }

  logtest::TempDir dir_;
  std::unique_ptr<sim::SimulatedGuider> sim_;
  FirmwareUpdateRequest request_;
};

// Every step is named before it runs, its progress only grows, the copy of
// the variables lies in the folder asked for before anything is flashed,
// and the run ends with the versions read back and the link closed.
TEST_F(FirmwareUpdateRunTest, WholeUpdateTellsTheWindowEachStepInTurn) {
  RecordingHost host;
  bool savedBeforeFlashing = false;
  host.onStep = [&](const std::string& step) {
    if (step == "Updating HandController") {
      savedBeforeFlashing = Backups().size() == 1 && update().handControllerImage.empty();
    }
  };
  const FirmwareUpdateResult result = RunFirmwareUpdate(request_, host);

  ASSERT_EQ(result.end, FirmwareUpdateEnd::kDone) << result.failureText << result.protocolMessage;
  ASSERT_EQ(Backups().size(), 1u);
  EXPECT_EQ(result.backup.path, Backups()[0]);
  EXPECT_TRUE(savedBeforeFlashing);
  EXPECT_EQ(logtest::ReadText(Backups()[0]),
            std::string(kGuiderVariables.begin(), kGuiderVariables.end()));
  EXPECT_EQ(host.told,
            (std::vector<std::string>{
                "step Reading variables",
                "report Variables read from the guider saved to:\n" + Backups()[0].string(),
                "step Updating HandController", "step Restoring variables",
                "step Verifying variables", "report " + DescribeReadBack({}),
                "step Updating Camera 1/2", "step Updating Camera 2/2", "step Done"}));
  // Each step with a transfer moves the bar, forward only; "Done" does not.
  ASSERT_EQ(host.progress.size(), 7u);
  for (std::size_t i = 0; i + 1 < host.progress.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_FALSE(host.progress[i].empty());
    EXPECT_TRUE(std::is_sorted(host.progress[i].begin(), host.progress[i].end()));
  }
  EXPECT_TRUE(host.progress.back().empty());
  EXPECT_GE(host.pumps, 2);
  EXPECT_TRUE(host.asked.empty());

  EXPECT_EQ(update().handControllerImage, kHcImage);
  EXPECT_EQ(update().cameraImage, kCameraImage);
  EXPECT_EQ(update().ccdBoardImage, kCcdbImage);
  EXPECT_EQ(Eeprom(), CarriedTo(0x0250, kGuiderVariables));
  EXPECT_TRUE(result.versions.ok);
  EXPECT_NE(result.versions.text.find("firmware: $0250"), std::string::npos)
      << result.versions.text;
  EXPECT_FALSE(g_device.IsOpen());
}

// A restore that fails is offered again, naming the copy on disk; the retry
// writes the same variables, and giving up flashes nothing more and never
// reaches "Done".
TEST_F(FirmwareUpdateRunTest, FailedRestoreIsOfferedAgain) {
  for (const bool retry : {true, false}) {
    SCOPED_TRACE(retry ? "retried" : "given up");
    Start();
    RecordingHost host;
    host.answers = {retry};
    host.onStep = [this, armed = false](const std::string& step) mutable {
      if (armed || step != "Restoring variables") return;
      armed = true;
      update().faults.ack = sim::UpdateModeFaults::Ack{3, {0x12}};
    };
    const FirmwareUpdateResult result = RunFirmwareUpdate(request_, host);

    ASSERT_EQ(host.asked.size(), 1u);
    const Question& question = host.asked[0];
    EXPECT_EQ(question.caption, "ERROR");
    EXPECT_EQ(question.buttons, AskButtons::kRetryCancel);
    ASSERT_EQ(Backups().size(), 1u);
    EXPECT_NE(question.text.find(Backups()[0].string()), std::string::npos) << question.text;
    EXPECT_NE(question.text.find("0x12"), std::string::npos) << question.text;
    EXPECT_EQ(update().handControllerImage, kHcImage);

    EXPECT_EQ(result.end, retry ? FirmwareUpdateEnd::kDone : FirmwareUpdateEnd::kNotRestored);
    EXPECT_EQ(result.restoreRetries, retry ? 1 : 0);
    EXPECT_EQ(Eeprom() == CarriedTo(0x0250, kGuiderVariables), retry);
    EXPECT_EQ(update().cameraImage == kCameraImage, retry) << "nothing more flashed";
    EXPECT_EQ(host.told.back(), retry ? "step Done" : "report Variables NOT restored");
    EXPECT_EQ(result.failureText.empty(), retry);
  }
}

// A copy that cannot be saved is asked about before anything is flashed:
// No stops there, Yes goes on and says the copy is missing.
TEST_F(FirmwareUpdateRunTest, UnsavedCopyIsAskedAboutBeforeFlashing) {
  for (const bool goOn : {false, true}) {
    SCOPED_TRACE(goOn ? "Yes" : "No");
    Start();
    request_.backupFolder = dir_.path() / "not-there";
    RecordingHost host;
    host.answers = {goOn};
    const FirmwareUpdateResult result = RunFirmwareUpdate(request_, host);
    request_.backupFolder = dir_.path() / "backups";

    ASSERT_EQ(host.asked.size(), 1u);
    EXPECT_EQ(host.asked[0].caption, "WARNING");
    EXPECT_EQ(host.asked[0].buttons, AskButtons::kYesNo);
    EXPECT_NE(host.asked[0].text.find((dir_.path() / "not-there").string()), std::string::npos);
    EXPECT_FALSE(result.backup.Saved());
    EXPECT_EQ(result.end, goOn ? FirmwareUpdateEnd::kDone : FirmwareUpdateEnd::kBackupDeclined);
    EXPECT_EQ(update().handControllerImage == kHcImage, goOn);
    EXPECT_EQ(Eeprom() == CarriedTo(0x0250, kGuiderVariables), goOn);
    EXPECT_EQ(Eeprom() == kGuiderVariables, !goOn);
    const bool toldMissing =
        std::find(host.told.begin(), host.told.end(),
                  "report Variables read from the guider NOT saved") != host.told.end();
    EXPECT_EQ(toldMissing, goOn);
  }
}

}  // namespace
}  // namespace ktal
