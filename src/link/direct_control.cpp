// SPDX-License-Identifier: GPL-3.0-or-later
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
void Pulse(CFtdiDevice& device, unsigned line) {
  device.SetBitOutput(line, line);
  device.Wait(kPulseMs);
  device.SetBitOutput(line, 0x00);
  device.Wait(kPulseMs);
}

// Why device.Open just failed. The device folds "not there" and "there
// but unreadable" into one text; the driver's detail tells them apart.
DirectResult OpenFailure(const CFtdiDevice& device) {
  DirectResult result;
  if (std::strncmp(device.errorText, kNoDeviceFoundText, std::strlen(kNoDeviceFoundText)) == 0) {
    result.outcome = DirectOutcome::kNoGuider;
    if (device.driver() != nullptr) result.detail = device.driver()->FailureDetail();
  } else {
    result.outcome = DirectOutcome::kLinkFailed;
    result.detail = device.errorText;
  }
  return result;
}

}  // namespace

DirectResult PowerOnGuider(CFtdiDevice& device) {
  // A guider that answers in any mode is running already; the probe leaves
  // the link open then.
  if (const int mode = ProbeDeviceMode(device); mode > 0) {
    return {.outcome = DirectOutcome::kAlreadyRunning, .runningMode = mode};
  }
  if (device.Open() != 0) return OpenFailure(device);
  Pulse(device, kPowerOnLine);
  device.Close();
  return {};
}

DirectResult ResetGuider(CFtdiDevice& device) {
  if (device.Open() != 0) return OpenFailure(device);
  Pulse(device, kResetLine);
  device.Close();
  device.Wait(100);
  return {};
}

}  // namespace ktal
