// One entry of a hot-pixel table as the camera stores it: 5 bytes, x and y
// little-endian, then the neighbour flags (kNeighbourAbove ... in
// dark_frames.h). In the 1x1 table x and y address the 752 x 582 frame, in
// the 2x2 table the 376 x 291 binned frame.
#pragma once

#include <cstdint>

namespace ktal {

#pragma pack(push, 1)
struct HotPixelEntry {
  std::uint16_t x;
  std::uint16_t y;
  std::uint8_t flags;
};
#pragma pack(pop)
static_assert(sizeof(HotPixelEntry) == 5, "the camera's tables pack entries without gaps");

}  // namespace ktal
