// The two things g_device can talk to. Chosen once, in InitInstance.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>

#include "app/application.h"
#include "firmware/variable_set.h"
#include "link/clock.h"
#include "link/libftdi/libftdi_driver.h"
#include "sim/firmware_files.h"
#include "sim/simulated_guider.h"

namespace ktal {

namespace {

class UsbBackend final : public LinkBackend {
 public:
  UsbBackend() : driver_(SystemClock()) {}
  FtdiDriver& driver() override { return driver_; }
  Clock& clock() override { return SystemClock(); }
  std::string name() const override { return {}; }

 private:
  LibftdiDriver driver_;
};

class SimulatedBackend final : public LinkBackend {
 public:
  SimulatedBackend() {
    // Time-outs and waits take as long as on the real guider, so that the
    // program feels the same; no traces, which would grow for ever.
    sim_.SetInteractive(1.0);
    // A guider after some use, so that File control has something to list.
    sim::FillDemoStore(sim_.flash());
    StoreDemoVariables();
    OfferSampleFirmware();
  }
  ~SimulatedBackend() override {
    std::error_code error;
    if (!sampleFolder_.empty()) std::filesystem::remove_all(sampleFolder_, error);
  }
  FtdiDriver& driver() override { return sim_.driver(); }
  Clock& clock() override { return sim_.clock(); }
  std::string name() const override { return "simulated guider"; }

 private:
  sim::SimulatedGuider sim_;  // attached, on, firmware 2.60, normal mode, a few nights stored

  // Settings a user has tuned, laid out for the firmware the guider runs,
  // so that an upload has variables to carry across and verify.
  void StoreDemoVariables() {
    VariableSet variables;
    variables.SetDefaults();
    variables.SetMain(0x03, 25);
    variables.SetMain(0x04, 18);
    const std::uint16_t version = sim_.guider().config().firmwareVersion;
    variables.SetImageVersion(version);
    variables.WriteToImage(version);
    auto& eeprom = sim_.features().update.eeprom;
    std::copy_n(variables.image.begin(), eeprom.size(), eeprom.begin());
  }

  // A few firmware files to pick in Firmware control, so that each of its
  // buttons has something to do. They go into a folder of this run's own:
  // one under a fixed name in the shared temporary directory could be made
  // first by another user, with links planted in it.
  void OfferSampleFirmware() {
    std::error_code error;
    const std::filesystem::path parent = std::filesystem::temp_directory_path(error);
    if (!error) sampleFolder_ = WriteSampleFirmwareFolder(parent);
    if (!sampleFolder_.empty()) {
      std::printf("Sample firmware files for the simulated guider: %s\n", sampleFolder_.c_str());
    } else {
      std::fprintf(stderr, "Could not write the sample firmware files under %s\n", parent.c_str());
    }
    std::fflush(stdout);
  }

  // Removed when the program ends; the next run writes them afresh.
  std::filesystem::path sampleFolder_;
};

}  // namespace

std::unique_ptr<LinkBackend> MakeUsbBackend() { return std::make_unique<UsbBackend>(); }

std::unique_ptr<LinkBackend> MakeSimulatedBackend() { return std::make_unique<SimulatedBackend>(); }

}  // namespace ktal
