// SPDX-License-Identifier: GPL-3.0-or-later
// The analysis page as built into the program: the page's HTML with its
// script, its style sheet and the charting library (dygraphs) inline.
// Generated at build time from src/guidelog/analysis_page/.
#pragma once

#include <string_view>

namespace ktal {

// Where the writer puts the log's data (a JSON object), once in the page.
inline constexpr std::string_view kAnalysisDataMarker = "@DATA@";
// Where the script's constants go, once each: the pixel pitch in
// millimetres and the y scale (pixel_scale.h), as numbers.
inline constexpr std::string_view kPixelPitchMarker = "@PIXEL_PITCH_MM@";
inline constexpr std::string_view kPixelYScaleMarker = "@PIXEL_Y_SCALE@";

// The whole page with each marker above in it.
std::string_view AnalysisPageTemplate();

}  // namespace ktal
