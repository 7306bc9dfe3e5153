// SPDX-License-Identifier: GPL-3.0-or-later
// The night as a guide log in the text format of PHD2 (log version 2.5), so
// that PHD Log Viewer and the other tools of that format read it: one
// guiding section per guided exposure of the report, one section without
// guiding per unguided run of star positions.
//
// How the guider's log maps onto that format (each choice is also written
// as text into every section's header):
// - dx and dy are the star's drift in RA (x) and DEC (y); in an unguided run
//   its movement from the run's first position. RARawDistance and
//   DECRawDistance are the same numbers (the axes are the camera's, so
//   xAngle 0 and yAngle 90). The viewer takes its RMS from these columns,
//   about the mean with divisor n, as SummarizeGuiding does.
// - With a focal length, both axes are scaled to one virtual pixel of
//   exactly the written "Pixel scale" (the arcseconds per x pixel rounded
//   to 0.01): the camera's pixels are not square and the header has room
//   for two decimals only, so this is the one way that makes both axes'
//   arcseconds those of the summary. Without one, "Pixel scale" is 1.00 and
//   dx and dy are the camera's own x and y pixels, as the summary's pixel
//   figures.
// - RAGuideDistance and DECGuideDistance repeat the raw distance on frames
//   that sent a correction on that axis, 0 on the others: the guider does
//   not log what distance it corrected.
// - RADuration and DECDuration are the corrections (signed 1/32 s) in whole
//   milliseconds, 31.25 ms per unit; a positive correction is E or S, a
//   negative one W or N, as a guider pulls back a star that drifted to +x
//   or +y. The guide rates are not logged: xRate and yRate are 1.000.
// - A lost star is a DROP row; an absolute position inside a guided
//   exposure is an INFO line, as the summary leaves it out of its figures.
// - AutoExposure's WAIT and M.L. phases before an exposure are settling:
//   "Settling started" when one begins, "Settling complete" when EXP
//   follows, "Settling failed" when IDLE does. The viewer leaves settling
//   frames out of its RMS. No frame of an AutoExposure exposure lies in
//   settling (the report makes a star there an external exposure, and
//   counts everything after EXP began as the exposure), so the figures of
//   every AutoExposure section are the summary's; an external exposure
//   made during WAIT or M.L. is written as settling throughout.
// - StarMass and SNR are not logged; their cells stay empty.
// Times are local, as the guider's clock keeps them; lines end in CR LF,
// as PHD2 writes them on Windows and as every text output of the program.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "guidelog/guide_log.h"
#include "guidelog/output_budget.h"

namespace ktal {

// What the log itself does not hold. Passed in by the caller, never taken
// from the process-wide report settings.
struct Phd2LogSettings {
  std::optional<double> focal_length_mm;  // arcsecond figures need it
  std::optional<double> worm_period_s;    // written into the header only
  std::optional<double> declination_deg;  // the header's "Dec = "
  // The program's version, as "PHD2 version <this>" in the first line.
  std::string program_version;
};

// Results of WritePhd2GuideLog other than 0, each with its line on standard
// output. A file that was not written whole is removed: the viewer would
// show a part of the night as if it were all of it.
inline constexpr int kPhd2NotCreated = -1;  // the file cannot be created
inline constexpr int kPhd2WriteShort = -2;  // a write fell short
inline constexpr int kPhd2OverBudget = -3;  // the file does not fit the budget

// "PHD2_GuideLog_YYYY-MM-DD_HHMMSS.txt" of the log's first entity's clock.
std::string Phd2GuideLogName(const GuideLog& log);

// Writes the guide log of the built log (BuildEntities done) into `folder`,
// or the current directory when it is empty, replacing a file of that name:
// 0 written, or one of the codes above. file_id names the log in the
// header. With a budget, its file and bytes are taken from it. The file's
// name goes to `written_name` when given and the file was written.
int WritePhd2GuideLog(const GuideLog& log, std::uint32_t file_id, const Phd2LogSettings& settings,
                      const std::string& folder = {}, OutputBudget* budget = nullptr,
                      std::string* written_name = nullptr);

}  // namespace ktal
