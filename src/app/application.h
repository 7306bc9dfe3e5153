// SPDX-License-Identifier: GPL-3.0-or-later
// The application object: starts the program, picks the USB backend, runs
// the launcher until it closes.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace ktal {

class FtdiDriver;
class Clock;

// What g_device talks to for the lifetime of the program.
struct LinkBackend {
  virtual ~LinkBackend() = default;
  virtual FtdiDriver& driver() = 0;
  virtual Clock& clock() = 0;
  // What the launcher's caption adds, so that nobody takes a stand-in for
  // a guider; empty for the real chips.
  virtual std::string name() const = 0;
};

// The real chips through libftdi.
std::unique_ptr<LinkBackend> MakeUsbBackend();
// The simulated guider: attached, switched on, firmware 2.60 in normal mode,
// with a few nights of logs stored.
std::unique_ptr<LinkBackend> MakeSimulatedBackend();

class UserDialogs;
class CTVX_DUVO_VerAdiDlg;

// Puts one feature window behind its launcher button (app/feature_installs.h).
// The program hands in the ones to offer, so that a test can start it with
// only the window it drives.
using FeatureInstaller = std::function<void(CTVX_DUVO_VerAdiDlg& launcher, UserDialogs& dialogs)>;

class SettingsStore;

// Everything after the toolkit has started: records the start-up directory,
// puts g_device on the backend, runs the launcher with `features`
// installed until it closes, and takes g_device off the backend again.
// The windows keep their settings and places in `settings`. Returns the
// exit code.
int RunProgram(LinkBackend& backend, UserDialogs& dialogs, SettingsStore& settings,
               const std::vector<FeatureInstaller>& features = {});
// The same on the defaults, keeping nothing.
int RunProgram(LinkBackend& backend, UserDialogs& dialogs,
               const std::vector<FeatureInstaller>& features = {});

class CTVX_DUVO_VerAdiApp {
 public:
  // A feature window the launcher offers; added before InitInstance.
  void AddFeature(FeatureInstaller installer) { features_.push_back(std::move(installer)); }
  // Runs the program: `--simulate` puts g_device on the simulated guider;
  // `--no-settings` starts on the defaults and writes no settings file;
  // `--help` and `--version` answer and return 0, an unknown option is
  // refused with 2. Returns the process exit code.
  int InitInstance(int argc, char** argv);

 private:
  std::vector<FeatureInstaller> features_;
};

// The one application object.
extern CTVX_DUVO_VerAdiApp theApp;

}  // namespace ktal
