// The application object: starts the program, picks the USB backend, runs
// the launcher until it closes.
#pragma once

#include <memory>

namespace ktal {

class FtdiDriver;
class Clock;

// What g_device talks to for the lifetime of the program.
struct LinkBackend {
  virtual ~LinkBackend() = default;
  virtual FtdiDriver& driver() = 0;
  virtual Clock& clock() = 0;
};

// The real chips through libftdi.
std::unique_ptr<LinkBackend> MakeUsbBackend();
// The simulated guider: attached, switched on, firmware 2.60 in normal mode.
std::unique_ptr<LinkBackend> MakeSimulatedBackend();

class UserDialogs;

// Everything after the toolkit has started: records the start-up directory,
// puts g_device on the backend, runs the launcher until it closes, and
// takes g_device off the backend again. Returns the exit code.
int RunProgram(LinkBackend& backend, UserDialogs& dialogs);

class CTVX_DUVO_VerAdiApp {
 public:
  // Runs the program: `--simulate` puts g_device on the simulated guider;
  // no other argument changes anything. Returns the process exit code.
  int InitInstance(int argc, char** argv);
};

// The one application object.
extern CTVX_DUVO_VerAdiApp theApp;

}  // namespace ktal
