// SPDX-License-Identifier: GPL-3.0-or-later
// The dark-frame run: the work behind the camera window's "Make dark".
//
// With the guider in camera mode the run makes sure the camera is running,
// sets its parameters once, then exposes and downloads n dark frames of
// 4 s, prepares each and stacks them into a master dark. It ends by reading
// the maps the camera holds, for the comparison with the new ones. It never
// writes the camera's memory, and it touches no window and no image the
// window shows: the master dark is handed back in the result, and only a
// run that stacked all n frames hands one back.
//
// It talks to its window only through DarkRunHost and to the guider only
// through the link it is handed, and runs synchronously on the calling
// thread; the window runs it on a thread of its own, so that its progress
// window stays live meanwhile. Nothing else may use the link until the run
// has returned. No Qt.
#pragma once

#include <cstdint>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "camera/camera_protocol.h"

namespace ktal {

// What the run needs of its window. Called on the run's thread.
class DarkRunHost {
 public:
  virtual ~DarkRunHost() = default;
  // The next status text, for frame `frame` of `frames` (0 before the
  // first exposure and while stacking). The run goes on only once the
  // window has taken it, so no text is skipped.
  virtual void ShowProgress(const std::string& text, int frame, int frames) = 0;
  // Whether the user has asked the run to stop. Asked after each frame but
  // the last has been downloaded whole, so a cancel takes effect once the
  // exposure under way has been downloaded.
  virtual bool CancelRequested() = 0;
  // Why the run failed (exclamation icon); told once, as the run's last
  // act, while the progress window is still up.
  virtual void ShowMessage(const std::string& text, const std::string& caption) = 0;
};

struct DarkRunRequest {
  int exposures = 5;  // 1 .. 30
};

enum class DarkRunEnd { kBuilt, kFailed, kCancelled };

struct DarkRunResult {
  DarkRunEnd end = DarkRunEnd::kFailed;
  // The stacked master dark (kFrameBytes); null unless built.
  std::unique_ptr<std::uint8_t[]> master;
  // Frames in the master; 0 unless built.
  int framesStacked = 0;
  // The first exposure: its length, and the UTC time it was asked for;
  // known once it has been asked for.
  double exposureSeconds = 0;
  std::optional<std::time_t> startUtc;
  // The camera's state as the run found it; -1 when the query failed.
  int cameraState = -1;
  // The maps the camera held after a built run, when they could be read.
  bool storedKnown = false;
  HotPixelMapRecord stored{};
};

// A run made ready: the request and every buffer it works in, obtained
// before anything is sent.
class DarkFrameRun {
 public:
  // Empty when memory for the frames or the master is short (nothing is
  // kept then); the window says "Out of memory" and stays open.
  static std::optional<DarkFrameRun> Prepare(const DarkRunRequest& request);

  // The whole run on `device`, left in camera mode by the caller. Releases
  // the frame buffers when it returns; the master goes with the result, so
  // a prepared run runs once.
  DarkRunResult Run(CFtdiDevice& device, DarkRunHost& host);
  // On g_device.
  DarkRunResult Run(DarkRunHost& host) { return Run(g_device, host); }

 private:
  DarkFrameRun() = default;

  DarkRunRequest request_;
  std::vector<std::unique_ptr<std::uint8_t[]>> frames_;
  // The stack is written here, never into an image the window shows.
  std::unique_ptr<std::uint8_t[]> master_;
};

}  // namespace ktal
