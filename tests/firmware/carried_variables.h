// SPDX-License-Identifier: GPL-3.0-or-later
// Stored-variable images for tests of a firmware update: what a guider of
// an older firmware holds, and what it must hold once the update carried
// its variables across.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <vector>

#include "firmware/variable_set.h"

namespace ktal::testing {

// The 1280 bytes a guider holds after `read` (nullopt: the defaults) was
// carried to the layout of `version`.
inline std::vector<std::uint8_t> CarriedTo(std::uint16_t version,
                                           const std::optional<std::vector<std::uint8_t>>& read) {
  VariableSet set;
  set.SetDefaults();
  if (read) {
    std::copy(read->begin(), read->end(), set.image.begin());
    set.ReadFromImage(set.ImageVersion());
  }
  set.SetImageVersion(version);
  set.WriteToImage(version);
  return {set.image.begin(), set.image.begin() + kEepromTransferSize};
}

// A guider that stored its variables under the 2.02 layout, where M14 is a
// word; a few of them away from their defaults.
inline std::vector<std::uint8_t> Layout202Variables() {
  VariableSet set;
  set.SetDefaults();
  set.SetMain(0x14, 0x0123);
  set.SetProfile(0, 0x30, 321);
  set.SetImageVersion(0x0202);
  set.WriteToImage(0x0202);
  return {set.image.begin(), set.image.begin() + kEepromTransferSize};
}

}  // namespace ktal::testing
