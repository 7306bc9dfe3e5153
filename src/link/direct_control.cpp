#include "link/direct_control.h"

#include <cstring>

#include "link/ftdi_device.h"
#include "link/handshakes.h"

namespace ktal {

namespace {

constexpr unsigned kPowerOnLine = 0x02;  // CBUS1
constexpr unsigned kResetLine = 0x01;    // CBUS0
constexpr unsigned kPulseMs = 50;

// Open clears the remembered directions, so only the pulsed line becomes an
// output. A failing line change does not stop the pulse: the line must not be
// left high.
void Pulse(unsigned line) {
  g_device.SetBitOutput(line, line);
  g_device.Wait(kPulseMs);
  g_device.SetBitOutput(line, 0x00);
  g_device.Wait(kPulseMs);
}

// Why g_device.Open just failed. The device folds "not there" and "there
// but unreadable" into one text; the driver's detail tells them apart.
DirectResult OpenFailure() {
  DirectResult result;
  if (std::strncmp(g_device.errorText, kNoDeviceFoundText, std::strlen(kNoDeviceFoundText)) == 0) {
    result.outcome = DirectOutcome::kNoGuider;
    if (g_device.driver() != nullptr) result.detail = g_device.driver()->FailureDetail();
  } else {
    result.outcome = DirectOutcome::kLinkFailed;
    result.detail = g_device.errorText;
  }
  return result;
}

}  // namespace

DirectResult PowerOnGuider() {
  // A guider that answers in any mode is running already; the probe leaves
  // the link open then.
  if (const int mode = ProbeDeviceMode(); mode > 0) {
    return {.outcome = DirectOutcome::kAlreadyRunning, .runningMode = mode};
  }
  if (g_device.Open() != 0) return OpenFailure();
  Pulse(kPowerOnLine);
  g_device.Close();
  return {};
}

DirectResult ResetGuider() {
  if (g_device.Open() != 0) return OpenFailure();
  Pulse(kResetLine);
  g_device.Close();
  g_device.Wait(100);
  return {};
}

}  // namespace ktal
