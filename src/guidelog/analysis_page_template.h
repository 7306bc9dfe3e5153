// The analysis page as built into the program: the page's HTML with its
// script, its style sheet and the charting library (dygraphs) inline.
// Generated at build time from src/guidelog/analysis_page/.
#pragma once

#include <string_view>

namespace ktal {

// Where the writer puts the log's data (a JSON object), once in the page.
inline constexpr std::string_view kAnalysisDataMarker = "@DATA@";

// The whole page with kAnalysisDataMarker in it.
std::string_view AnalysisPageTemplate();

}  // namespace ktal
