// SPDX-License-Identifier: GPL-3.0-or-later
// The hand controller's screen, LED and key requests, served from its
// FrontPanel in normal mode. Each starts with the prefix 0x5D, echoed:
//   0x5D 0x0D lo hi n -> echo, then n bytes (n = 0: 256) of the screen
//                        from byte (hi << 8 | lo); past the end, 0x00
//   0x5D 0x0A n       -> echo, then the LED byte (nothing when the
//                        firmware has no LEDs to report)
//   0x5D 0x01 code    -> echo, no answer; the key goes to the menu
// Any other byte after the prefix ends the request.
#pragma once

namespace ktal::sim {

class FrontPanel;
class HandController;

// Choosing SWITCH OFF in the menu powers the guider down a second later.
void InstallVuiRequests(HandController& controller, FrontPanel& panel);

}  // namespace ktal::sim
