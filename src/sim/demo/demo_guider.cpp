// SPDX-License-Identifier: GPL-3.0-or-later
#include "sim/demo/demo_guider.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <system_error>

#include "firmware/variable_set.h"
#include "sim/firmware_files.h"

namespace ktal::sim {

namespace {

void StoreDemoVariables(SimulatedGuider& sim) {
  VariableSet variables;
  variables.SetDefaults();
  variables.SetMain(0x03, 25);
  variables.SetMain(0x04, 18);
  const std::uint16_t version = sim.guider().config().firmwareVersion;
  variables.SetImageVersion(version);
  variables.WriteToImage(version);
  auto& eeprom = sim.features().update.eeprom;
  std::copy_n(variables.image.begin(), eeprom.size(), eeprom.begin());
}

}  // namespace

void SeedDemoGuider(SimulatedGuider& sim) {
  FillDemoStore(sim.flash());
  StoreDemoVariables(sim);
}

SampleFirmwareOffer::SampleFirmwareOffer() {
  std::error_code error;
  const std::filesystem::path parent = std::filesystem::temp_directory_path(error);
  if (!error) folder_ = WriteSampleFirmwareFolder(parent);
  if (!folder_.empty()) {
    std::printf("Sample firmware files for the simulated guider: %s\n", folder_.c_str());
  } else {
    std::fprintf(stderr, "Could not write the sample firmware files under %s\n", parent.c_str());
  }
  std::fflush(stdout);
}

SampleFirmwareOffer::~SampleFirmwareOffer() {
  std::error_code error;
  if (!folder_.empty()) std::filesystem::remove_all(folder_, error);
}

}  // namespace ktal::sim
