// The guider's stored variables: the in-memory set, its defaults, the
// EEPROM image, and the mapping between the two for every layout the
// firmware has used. Variables are named by their place in the newest
// layout: M + image offset for the main ones, P + offset in a profile.
#pragma once

#include <array>
#include <cstdint>

namespace ktal {

inline constexpr int kEepromImageSize = 2048;
// Only this much of the image is moved to and from the hand controller.
inline constexpr int kEepromTransferSize = 1280;
// An image whose version word reads this holds no variables.
inline constexpr std::uint16_t kErasedImageVersion = 0xFFFF;

class VariableSet {
 public:
  // Every variable at its default, legacy flags 0, the image erased but for
  // its fixed bytes.
  void SetDefaults();
  // Takes the variables out of `image` under the layout of `version`.
  void ReadFromImage(std::uint16_t version);
  // Puts the variables into `image` under the layout of `version`; bytes
  // the layout does not cover keep their content.
  void WriteToImage(std::uint16_t version);

  // The image's own version word (offsets 1 and 2, low byte first).
  std::uint16_t ImageVersion() const;
  void SetImageVersion(std::uint16_t version);

  std::array<std::uint8_t, kEepromImageSize> image{};
  // The variables themselves are private to the conversion.
};

}  // namespace ktal
