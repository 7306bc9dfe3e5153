// SPDX-License-Identifier: GPL-3.0-or-later
// The requests every hand controller serves: the boot loader's identify and
// firmware start, and the running firmware's mode probe, mode switches and
// version report. Installed by the HandController constructor.
#pragma once

namespace ktal::sim {

class HandController;

// Boot loader (9600 baud):
//   0xAA 0x01 0x01 -> the 5 identifier bytes (other bytes after 0xAA end
//                     the request unanswered)
//   'B'            -> starts the selected firmware mode, no answer
// Running firmware, update and normal mode (250000 baud):
//   0x00 -> 0xFF in update mode, 0x00 in normal mode
//   0xEB -> restart into the boot loader; 'B' then starts update mode
//   0xE1 -> likewise for normal mode
// Normal mode only:
//   0x03 -> 0x03, version low byte, version high byte
void InstallCoreRequests(HandController& controller);

}  // namespace ktal::sim
