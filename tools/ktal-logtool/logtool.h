// SPDX-License-Identifier: GPL-3.0-or-later
// ktal-logtool: raw guiding logs processed into the events table, and on
// request the HTML report and the periodic-error tables, from the command
// line.
#pragma once

#include <optional>
#include <string>

namespace ktal {

// Exit codes of the tool.
inline constexpr int kToolOk = 0;
inline constexpr int kToolFileFailed = 1;  // at least one file failed
inline constexpr int kToolUsage = 2;       // bad options; nothing processed

// The periodic-error settings as the file control window reads them.
struct PeSettings {
  int focal_length_mm = 0;
  int worm_period_s = 0;
  float star_dec_deg = 0.0f;
};

// Parses "FOCAL_MM,WORM_S,DEC_DEG" and checks the three numbers as the
// window does, except that a focal length or worm period with anything
// after its digits is refused rather than cut. On failure returns nothing
// and puts the message into `error`.
std::optional<PeSettings> ParsePeSettings(const std::string& text, std::string& error);

// The meaning of a ProcessRawFile code, for the line the tool prints.
const char* ProcessCodeMeaning(int code);

// The whole tool: parses argv, processes every file, returns the exit code.
int RunLogTool(int argc, char** argv);

}  // namespace ktal
