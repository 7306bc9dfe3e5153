// The hand controller's update mode: version readout, the firmware uploads
// of the hand controller, its camera and the camera's CCD board, and the
// EEPROM transfers of the stored variables. Every function works on
// g_device as its caller left it (open, update mode), reports progress in
// percent through `progress` (may be empty) and leaves its failure text in
// g_protocolMessage.
#pragma once

#include <cstdint>
#include <functional>

#include "firmware/variable_set.h"

namespace ktal {

using ProgressCallback = std::function<void(int percent)>;

}  // namespace ktal
