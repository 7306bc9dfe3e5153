// SPDX-License-Identifier: GPL-3.0-or-later
// The simulated hand controller's screen font: 5 x 7 dot glyphs drawn in
// 6 x 8 cells, so that a line of 21 characters fills the 128-dot width.
// Upper-case letters, digits and the punctuation the menus use; lower case
// is drawn as upper case, and a character without a glyph as a blank.
#pragma once

#include <array>
#include <cstdint>

namespace ktal::sim {

inline constexpr int kGlyphWidth = 5;
inline constexpr int kGlyphHeight = 7;
inline constexpr int kCellWidth = 6;
inline constexpr int kCellHeight = 8;

// Arrows for the key hints.
inline constexpr char kArrowUp = '\x01';
inline constexpr char kArrowDown = '\x02';

// Rows top to bottom; bit 4 is the leftmost dot of a row.
using Glyph = std::array<std::uint8_t, kGlyphHeight>;

const Glyph& GlyphFor(char c);

}  // namespace ktal::sim
