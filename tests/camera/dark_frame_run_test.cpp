// SPDX-License-Identifier: GPL-3.0-or-later
// The dark-frame run without its window, against the simulated guider in
// camera mode on virtual time, through a scripted host: what it stacks and
// hands back, how a cancel ends it, and how each failing step is told.
#include "camera/dark_frame_run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "camera/dark_frames.h"
#include "link/ftdi_device.h"
#include "link/handshakes.h"
#include "sim/simulated_guider.h"
#include "tests/camera/dark_reference.h"

namespace ktal {
namespace {

// Notes what the run tells; Cancel is pressed as the run announces frame
// `cancelDuring`, so it falls inside that frame's exposure.
class ScriptedHost final : public DarkRunHost {
 public:
  void ShowProgress(const std::string& text, int frame, int) override {
    texts.push_back(text);
    frames.push_back(frame);
    if (cancelDuring != 0 && frame == cancelDuring) cancelPressed = true;
  }
  bool CancelRequested() override {
    ++cancelQueries;
    return cancelPressed;
  }
  void ShowMessage(const std::string& text, const std::string& caption) override {
    messages.push_back(caption + "|" + text);
  }

  int cancelDuring = 0;
  bool cancelPressed = false;
  int cancelQueries = 0;
  std::vector<std::string> texts;
  std::vector<int> frames;
  std::vector<std::string> messages;
};

class DarkFrameRunTest : public ::testing::Test {
 protected:
  void SetUp() override { Start(); }
  void TearDown() override {
    g_device.Close();
    g_device.AttachDriver(nullptr, nullptr);
  }

  // A fresh guider in camera mode, its camera off, and a fresh host.
  void Start() {
    TearDown();
    sim_ = std::make_unique<sim::SimulatedGuider>();
    host_ = ScriptedHost{};
    g_device.AttachDriver(&sim_->driver(), &sim_->clock());
    g_device.deviceKind = kDeviceKindGuider;
    ASSERT_EQ(EnterDeviceMode(kNormalMode), 0);
    ASSERT_EQ(EnterCameraMode(), 0);
  }

  DarkRunResult Run(int exposures) {
    std::optional<DarkFrameRun> run = DarkFrameRun::Prepare({exposures});
    EXPECT_TRUE(run.has_value());
    if (!run) return {};
    return run->Run(host_);
  }
  sim::CameraState& camera() { return sim_->features().camera; }
  std::uint32_t baud() { return sim_->driver().chip(0).line.baud; }
  std::vector<std::uint8_t> ExpectedMaster(int frames) {
    return testing::MakeMasterDark(frames, camera().darks.options());
  }
  bool SameMaster(const DarkRunResult& result, const std::vector<std::uint8_t>& expected) {
    return result.master && std::equal(expected.begin(), expected.end(), result.master.get(),
                                       result.master.get() + kFrameBytes);
  }

  std::unique_ptr<sim::SimulatedGuider> sim_;
  ScriptedHost host_;
};

TEST_F(DarkFrameRunTest, StacksEveryFrameAndHandsBackTheMasterWithItsFacts) {
  // The camera holds a map of one entry; the window's images hold an
  // earlier master.
  const std::uint8_t stored[] = {0xEE, 1, 10, 0, 20, 0, 15};
  std::copy(std::begin(stored), std::end(stored), camera().memory.begin());
  camera().memory[256] = 0;
  const auto memoryBefore = camera().memory;
  std::memset(g_masterDark, 0x33, kFrameBytes);

  const std::time_t before = std::time(nullptr);
  const DarkRunResult result = Run(2);
  const std::time_t after = std::time(nullptr);

  EXPECT_TRUE(host_.messages.empty());
  ASSERT_EQ(result.end, DarkRunEnd::kBuilt);
  EXPECT_TRUE(SameMaster(result, ExpectedMaster(2)));
  EXPECT_EQ(result.framesStacked, 2);
  EXPECT_DOUBLE_EQ(result.exposureSeconds, 4.0);
  ASSERT_TRUE(result.startUtc.has_value());
  EXPECT_GE(*result.startUtc, before);
  EXPECT_LE(*result.startUtc, after);
  // The camera was found off and started; its maps were read, not written.
  EXPECT_EQ(result.cameraState, 0);
  EXPECT_EQ(camera().state, 1);
  EXPECT_EQ(camera().exposures, 2);
  ASSERT_TRUE(result.storedKnown);
  EXPECT_EQ(result.stored.marker, 0xEE);
  // The camera's table is packed: its fields are compared by value.
  ASSERT_EQ(int{result.stored.count1x1}, 1);
  EXPECT_EQ(int{result.stored.entries1x1[0].x}, 10);
  EXPECT_EQ(int{result.stored.entries1x1[0].y}, 20);
  EXPECT_EQ(camera().memory, memoryBefore);
  // The window's master is the window's to replace.
  EXPECT_TRUE(std::all_of(g_masterDark, g_masterDark + kFrameBytes,
                          [](std::uint8_t v) { return v == 0x33; }));
  // Each frame is announced before its exposure; a cancel is asked for
  // after every frame but the last.
  EXPECT_EQ(host_.frames, (std::vector<int>{0, 1, 2, 0}));
  EXPECT_EQ(host_.texts[2], "Exposing and downloading 2/2");
  EXPECT_EQ(host_.cancelQueries, 1);
  EXPECT_TRUE(g_device.IsOpen());
  EXPECT_EQ(baud(), 250000u);
}

struct CancelCase {
  int cancelDuring;
  int exposures;
  DarkRunEnd end;
  int framesExposed;
};

TEST_F(DarkFrameRunTest, CancelEndsTheRunOnceTheExposureUnderWayIsDownloaded) {
  const CancelCase cases[] = {
      {1, 3, DarkRunEnd::kCancelled, 1},
      {2, 3, DarkRunEnd::kCancelled, 2},
      // During the last exposure a cancel no longer saves anything.
      {3, 3, DarkRunEnd::kBuilt, 3},
  };
  for (const CancelCase& c : cases) {
    SCOPED_TRACE(c.cancelDuring);
    Start();
    host_.cancelDuring = c.cancelDuring;

    const DarkRunResult result = Run(c.exposures);

    EXPECT_EQ(result.end, c.end);
    EXPECT_TRUE(host_.messages.empty());
    // The frame under way came in whole; none was begun after it.
    EXPECT_EQ(camera().exposures, c.framesExposed);
    EXPECT_EQ(camera().downloads, c.framesExposed);
    EXPECT_EQ(camera().blocksSent, (kFrameBytes + 3967) / 3968);
    if (c.end == DarkRunEnd::kBuilt) {
      EXPECT_TRUE(SameMaster(result, ExpectedMaster(c.exposures)));
    } else {
      EXPECT_EQ(result.master, nullptr);
      EXPECT_EQ(result.framesStacked, 0);
      EXPECT_EQ(host_.texts.back(), "Exposing and downloading " + std::to_string(c.framesExposed) +
                                        "/" + std::to_string(c.exposures));
    }
    EXPECT_TRUE(g_device.IsOpen());
    EXPECT_EQ(baud(), 250000u);
  }
}

struct FailureCase {
  const char* name;
  std::function<void(sim::CameraState&)> arrange;
  int exposures;
  std::string message;
  int framesExposed;
};

TEST_F(DarkFrameRunTest, EachFailingStepIsToldOnceAndHandsBackNoMaster) {
  const FailureCase cases[] = {
      {"state query not acknowledged", [](sim::CameraState& c) { c.faults.acks[0xC0] = {}; }, 2,
       "ERROR|Camera querying failed...", 0},
      {"camera does not start", [](sim::CameraState& c) { c.faults.startAnswer = 1; }, 2,
       "ERROR|Camera start failed...", 0},
      {"parameters refused", [](sim::CameraState& c) { c.faults.refuseCommand = 1; }, 2,
       "ERROR|Failed to set camera parameters", 0},
      {"a block of the first frame short",
       [](sim::CameraState& c) {
         c.faults.shortBlock = sim::CameraFaults::ShortBlock{3, 100};
       },
       2, "ERROR|Failed to do an exposure", 1},
      {"no frame to stack", {}, 0, "INTERNAL ERROR|Stacking failed", 0},
  };
  for (const FailureCase& c : cases) {
    SCOPED_TRACE(c.name);
    Start();
    if (c.arrange) c.arrange(camera());
    const auto memoryBefore = camera().memory;

    const DarkRunResult result = Run(c.exposures);

    EXPECT_EQ(result.end, DarkRunEnd::kFailed);
    EXPECT_EQ(host_.messages, std::vector<std::string>{c.message});
    EXPECT_EQ(result.master, nullptr);
    EXPECT_EQ(result.framesStacked, 0);
    EXPECT_EQ(camera().exposures, c.framesExposed);
    // The first exposure's facts are known once it was asked for.
    EXPECT_EQ(result.startUtc.has_value(), c.framesExposed > 0);
    EXPECT_EQ(camera().memory, memoryBefore);
  }
}

}  // namespace
}  // namespace ktal
