#include "link/direct_control.h"

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

}  // namespace

bool PowerOnGuider() {
  // A guider that answers in any mode is running already; the probe leaves
  // the link open then.
  if (ProbeDeviceMode() > 0) return false;
  if (g_device.Open() != 0) return false;
  Pulse(kPowerOnLine);
  g_device.Close();
  return true;
}

bool ResetGuider() {
  if (g_device.Open() != 0) return false;
  Pulse(kResetLine);
  g_device.Close();
  g_device.Wait(100);
  return true;
}

}  // namespace ktal
