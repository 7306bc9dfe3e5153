// SPDX-License-Identifier: GPL-3.0-or-later
// "index.html": the readable summary of one guiding log, one section with
// three plot images per guided exposure.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

#include "guidelog/guide_log.h"
#include "guidelog/output_budget.h"

namespace ktal {

// "2014 Mar  1 09:05": the year, then month, day and hours:minutes in the
// fixed English form of asctime, whatever the machine's locale.
std::string FormatGenerationTime(const std::tm& time);
// FormatGenerationTime of the local time now; empty when it is unknown.
std::string LocalGenerationTime();

// Results of WriteHtmlReport other than 0, each with its line on standard
// output. The report stops at the first of them; what was written stays.
inline constexpr int kReportNotCreated = -1;       // "index.html" cannot be created
inline constexpr int kReportWriteShort = -2;       // a write of "index.html" fell short
inline constexpr int kReportImageNotCreated = -3;  // an image file cannot be created
inline constexpr int kReportImageWriteShort = -4;  // a write of an image file fell short
inline constexpr int kReportOverBudget = -5;       // the next file or write does not fit the budget

// Writes "index.html" and the BMP images of every exposure with star
// measurements into the current directory: 0 written, or one of the codes
// above. The title shows QD%06x of file_id and the local time now. With a
// budget, every file and byte is taken from it.
int WriteHtmlReport(GuideLog& log, std::uint32_t file_id, OutputBudget* budget = nullptr);
// The same with the generation time given as text.
int WriteHtmlReport(GuideLog& log, std::uint32_t file_id, std::string_view generation_time,
                    OutputBudget* budget = nullptr);

}  // namespace ktal
