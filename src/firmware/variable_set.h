// SPDX-License-Identifier: GPL-3.0-or-later
// The guider's stored variables: the in-memory set, its defaults, the
// EEPROM image, and the mapping between the two for every layout the
// firmware has used. Variables are named by their place in the newest
// layout: M + image offset for the main ones, P + offset in a profile.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

namespace ktal {

inline constexpr int kEepromImageSize = 2048;
// Only this much of the image is moved to and from the hand controller.
inline constexpr int kEepromTransferSize = 1280;
// An image whose version word reads this holds no variables.
inline constexpr std::uint16_t kErasedImageVersion = 0xFFFF;

// The guider keeps three profiles of the profile variables, each at its own
// base offset in the image.
inline constexpr int kProfileCount = 3;
inline constexpr int kProfileBase[kProfileCount] = {0, 256, 512};

class VariableSet {
 public:
  // Every variable at its default, legacy flags 0, the image erased but for
  // its fixed bytes.
  void SetDefaults();
  // Takes the variables out of `image` under the layout of `version`.
  // An erased image's version (kErasedImageVersion) names no layout: the
  // variables keep their values.
  void ReadFromImage(std::uint16_t version);
  // Puts the variables into `image` under the layout of `version`; bytes
  // the layout does not cover keep their content. kErasedImageVersion
  // writes nothing.
  void WriteToImage(std::uint16_t version);

  // The image's own version word (offsets 1 and 2, low byte first).
  std::uint16_t ImageVersion() const;
  void SetImageVersion(std::uint16_t version);

  std::array<std::uint8_t, kEepromImageSize> image{};

  // The variables by name: Main(0x14) is M14, Profile(0, 0xC3) is PC3 of
  // profile 0. Empty when no variable has that name (or the profile is not
  // 0..2).
  std::optional<std::uint32_t> Main(int offset) const;
  std::optional<std::uint32_t> Profile(int profile, int offset) const;
  // False, and nothing set, when no variable has that name.
  bool SetMain(int offset, std::uint32_t value);
  bool SetProfile(int profile, int offset, std::uint32_t value);
  // The 1.11 layout's flag byte at profile offset 0x36 (0 or 1 once
  // written; as stored once read).
  std::uint32_t LegacyFlag(int profile) const;

  // Rows of the two layout tables in variable_set.cpp; a variable whose
  // place changed between layouts has a row per place.
  static constexpr int kMainRows = 33;
  static constexpr int kProfileRows = 36;

 private:
  // Values by table row; rows of one variable share the first row's slot.
  std::array<std::uint32_t, kMainRows> main_{};
  std::array<std::array<std::uint32_t, kProfileRows>, kProfileCount> profile_{};
};

}  // namespace ktal
