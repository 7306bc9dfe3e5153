// SPDX-License-Identifier: GPL-3.0-or-later
// Every exchange with the guider, each run the way its window runs it,
// from the handshake that starts it to the request that ends it, on
// g_device as the caller attached it. The protocol harness feeds them
// scripted answers; the seed maker runs them on the simulated guider and
// records its answers as the first scripts.
//
// Each run checks what every caller relies on whatever the guider sends:
// the documented result codes and nothing else, a link closed where a
// failure closes it, and failure texts that end inside their buffers. A
// broken promise ends the process (abort), which the fuzzer reports.
#pragma once

#include <cstdint>
#include <vector>

namespace ktal::fuzz {

enum class Exchange : std::uint8_t {
  kConnectCommandMode,  // identify at boot speed
  kProbeAndStart,       // probe the mode, start the firmware from the boot loader
  kEnterModes,          // update mode, then normal mode, then the version query
  kFileSystem,          // file-system mode, the directory, a page chain, the mark
  kUpdateVersions,      // update mode and the version readout
  kUploadHc,            // hand-controller firmware
  kUploadCam,           // camera firmware
  kUploadCcdb,          // the CCD board's image
  kEeprom,              // stored variables read and written back
  kCameraSetup,         // camera mode, state, start, parameters
  kCameraMaps,          // the hot-pixel maps read and stored
  kExposure,            // one exposure and its frame download
  kScreen,              // version, the eight screen bands, LEDs, a key
  kCount,
};

// The exchange a script's first byte selects.
Exchange ExchangeOf(std::uint8_t selector);

// Runs one exchange to its end and takes the link off the guider. Returns
// every result it got, in order.
std::vector<int> RunExchange(Exchange exchange);

}  // namespace ktal::fuzz
