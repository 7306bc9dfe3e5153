// SPDX-License-Identifier: GPL-3.0-or-later
// The camera frame's size and a byte pattern for it whose every position is
// told apart from its neighbours, so that a lost, doubled or swapped byte
// shows at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace ktal::usbemu {

// 752 x 582 pixels of one byte.
inline constexpr std::size_t kFrameBytes = 437664;
// What one full 4096-byte read transfer carries: 64 packets of 62 bytes.
inline constexpr std::size_t kTransferBlock = 3968;

inline std::vector<std::uint8_t> FramePattern(std::size_t size = kFrameBytes) {
  std::vector<std::uint8_t> bytes(size);
  std::uint32_t x = 0x12345678u;
  for (auto& b : bytes) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = static_cast<std::uint8_t>(x);
  }
  return bytes;
}

}  // namespace ktal::usbemu
