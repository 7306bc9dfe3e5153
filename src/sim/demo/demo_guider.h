// SPDX-License-Identifier: GPL-3.0-or-later
// The simulated guider as ktal-companion --simulate shows it: a guider
// after some use, so that every window has something to do. Apart from the
// simulator itself because it needs the firmware feature's variable
// layouts, which the simulator's tests and the protocol rigs do without.
#pragma once

#include <filesystem>

#include "sim/simulated_guider.h"

namespace ktal::sim {

// A few nights of logs in the flash file system, and stored variables a
// user has tuned, laid out for the firmware the guider runs, so that an
// upload has variables to carry across and verify.
void SeedDemoGuider(SimulatedGuider& sim);

// A few firmware files to pick in Firmware control, so that each of its
// buttons has something to do. They go into a folder of this run's own:
// one under a fixed name in the shared temporary directory could be made
// first by another user, with links planted in it. Says on stdout where
// they are (on stderr that it could not write them); the folder goes when
// the offer does, and the next run writes them afresh.
class SampleFirmwareOffer {
 public:
  SampleFirmwareOffer();
  ~SampleFirmwareOffer();
  SampleFirmwareOffer(const SampleFirmwareOffer&) = delete;
  SampleFirmwareOffer& operator=(const SampleFirmwareOffer&) = delete;

  // Empty when the files could not be written.
  const std::filesystem::path& folder() const { return folder_; }

 private:
  std::filesystem::path folder_;
};

}  // namespace ktal::sim
