// SPDX-License-Identifier: GPL-3.0-or-later
// "analysis.html": the interactive companion of the report. One page that
// works offline: the guide graph of the whole night (zoom, pan, exposures
// as bands), the guiding summary, the unguided runs with their
// periodograms, and ranges excluded by dragging, with every figure
// recomputed in the page by the same rules as SummarizeGuiding.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "guidelog/guide_log.h"
#include "guidelog/guiding_summary.h"
#include "guidelog/output_budget.h"

namespace ktal {

inline constexpr char kAnalysisPageName[] = "analysis.html";

// Results of WriteAnalysisPage other than 0, each with its line on
// standard output.
inline constexpr int kAnalysisNotCreated = -1;  // "analysis.html" cannot be created
inline constexpr int kAnalysisWriteShort = -2;  // a write of "analysis.html" fell short
inline constexpr int kAnalysisOverBudget = -3;  // the page does not fit the budget

// The page's data block: a JSON object with the file's name, the
// generation time, the telescope settings of `options` (its excluded
// ranges are not used: the page takes them from its address) and the
// series, each sample in the log's own whole units (tenths of a second,
// 1/256 pixel, 1/32 second), from which the page computes exactly the
// doubles of the series.
std::string AnalysisPageData(const GuideSeries& series, const SummaryOptions& options,
                             std::uint32_t file_id, std::string_view generation_time);

// Writes "analysis.html" for the built log into the current directory,
// replacing any file of that name: 0 written, or one of the codes above.
// With a budget, its file and bytes are taken from it.
int WriteAnalysisPage(const GuideLog& log, std::uint32_t file_id, const SummaryOptions& options,
                      std::string_view generation_time, OutputBudget* budget = nullptr);
// The same from the log's series, when the caller has it already.
int WriteAnalysisPage(const GuideSeries& series, std::uint32_t file_id,
                      const SummaryOptions& options, std::string_view generation_time,
                      OutputBudget* budget = nullptr);

}  // namespace ktal
