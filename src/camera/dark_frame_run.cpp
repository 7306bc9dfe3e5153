// SPDX-License-Identifier: GPL-3.0-or-later
#include "camera/dark_frame_run.h"

#include <cstdio>
#include <new>

#include "camera/dark_frames.h"
#include "link/ftdi_device.h"

namespace ktal {

namespace {

// The wait before each exposure request, as the camera has always had it.
constexpr std::uint32_t kBeforeExposureMs = 100;

// The camera's parameters for darks: 0x6B, 0xD9 and 0xD0.
constexpr std::uint8_t kDarkParameter6B = 0;
constexpr int kDarkParameterD9 = 8;
constexpr int kDarkParameterD0 = 4;

std::unique_ptr<std::uint8_t[]> FrameBuffer() {
  return std::unique_ptr<std::uint8_t[]>(new (std::nothrow) std::uint8_t[kFrameBytes]);
}

}  // namespace

std::optional<DarkFrameRun> DarkFrameRun::Prepare(const DarkRunRequest& request) {
  DarkFrameRun run;
  run.request_ = request;
  for (int i = 0; i < request.exposures; ++i) {
    run.frames_.push_back(FrameBuffer());
    if (!run.frames_.back()) return std::nullopt;
  }
  run.master_ = FrameBuffer();
  if (!run.master_) return std::nullopt;
  return run;
}

DarkRunResult DarkFrameRun::Run(CFtdiDevice& device, DarkRunHost& host) {
  DarkRunResult result;
  // However the run ends, its frames go with it.
  const auto frames = std::move(frames_);
  const int n = request_.exposures;
  const auto fail = [&](const char* text, const char* caption = "ERROR") {
    host.ShowMessage(text, caption);
    result.end = DarkRunEnd::kFailed;
    return std::move(result);
  };

  host.ShowProgress("Starting camera...", 0, n);
  const int state = QueryCameraState(device);
  if (state < 0) return fail("Camera querying failed...");
  result.cameraState = state;
  if (state == 0 && StartCamera(device) != 0) return fail("Camera start failed...");
  if (SetCameraParameters(device, kDarkParameter6B, kDarkParameterD9, kDarkParameterD0) != 0) {
    return fail("Failed to set camera parameters");
  }
  for (int j = 1; j <= n; ++j) {
    char text[64];
    std::snprintf(text, sizeof text, "Exposing and downloading %d/%d", j, n);
    host.ShowProgress(text, j, n);
    const ExposureRequest request = DarkFrameRequest();
    device.Wait(kBeforeExposureMs);
    if (j == 1) {
      result.startUtc = std::time(nullptr);
      result.exposureSeconds = ExposureTicksToSeconds(request.exposureTicks);
    }
    if (ExposeAndDownload(device, request) != 0) return fail("Failed to do an exposure");
    // A cancel during the last exposure no longer saves anything.
    if (j < n && host.CancelRequested()) {
      result.end = DarkRunEnd::kCancelled;
      return result;
    }
    PrepareDarkFrame(g_rawFrame, frames[j - 1].get());
  }
  host.ShowProgress("Processing darks...", 0, n);
  std::vector<const std::uint8_t*> pointers;
  for (const auto& frame : frames) pointers.push_back(frame.get());
  if (StackDarkFrames(kStackIterations, kReadNoise, kGain, n, pointers.data(), master_.get(),
                      kFrameBytes) != 0) {
    return fail("Stacking failed", "INTERNAL ERROR");
  }
  // What the camera holds now, for the comparison beside the 1x1 track
  // bar; the run owns the link, so it asks.
  result.storedKnown = ReadHotPixelMaps(device, result.stored) == 0;
  result.end = DarkRunEnd::kBuilt;
  result.master = std::move(master_);
  result.framesStacked = n;
  return result;
}

}  // namespace ktal
