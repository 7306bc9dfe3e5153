// SPDX-License-Identifier: GPL-3.0-or-later
// What the simulated hand controller keeps beyond its modes: its stored
// data and the state of each feature, with the faults a test can inject
// there. The requests of every feature are served from here.
#pragma once

#include "sim/camera_requests.h"
#include "sim/filesystem_requests.h"
#include "sim/flash_store.h"
#include "sim/front_panel.h"
#include "sim/update_requests.h"

namespace ktal::sim {

class HandController;

struct GuiderFeatures {
  FlashStore flash;
  FileSystemFaults fileSystem;
  UpdateModeState update;
  FrontPanel panel;
  CameraState camera;
};

// Adds every feature's requests to `controller`; `features` must outlive it.
void InstallFeatureRequests(HandController& controller, GuiderFeatures& features);

// Fills an empty store with a few nights of generated guiding logs, as a
// guider looks after some use: several new files, one already downloaded,
// one deleted, and one long night of over 2000 pages.
void FillDemoStore(FlashStore& flash);

}  // namespace ktal::sim
