// SPDX-License-Identifier: GPL-3.0-or-later
// The raw copy of a downloaded log with its numbered backups, and the
// processing of a raw file into the chosen outputs.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>
#include <string_view>

#include "guidelog/guide_log.h"
#include "guidelog/report_settings.h"

namespace ktal {

// Highest backup number: "<path>.bak01" to "<path>.bak99".
inline constexpr int kMaxRawBackups = 99;

// Where WriteRawFile writes the new copy before it takes the main name.
inline std::string TemporaryRawName(const std::string& path) { return path + ".tmp"; }

// Writes the stored pages of `log` as the raw file at `path`. The bytes go
// to TemporaryRawName(path) first, a file created new there (whatever was
// at that name is removed, a link without its target), and are synced to
// the disk; only then is
// an existing file at `path` renamed to the lowest free "<path>.bakNN" and
// the new copy renamed to `path`. Whatever fails, an existing copy stays
// under `path` and the temporary file is removed.
// 0 written; 1 a write fell short; 2 the older copy cannot be backed up;
// -1 the file cannot be created. Only 0 changes anything on disk.
int WriteRawFile(const GuideLog& log, const DirectoryEntry& entry, const std::string& path);

// The calls WriteRawFile makes once the bytes are in the stream, so that a
// test can make any of them fail.
struct RawCopyCalls {
  std::function<int(int fd)> sync = [](int fd) { return ::fsync(fd); };
  std::function<int(std::FILE* file)> close = [](std::FILE* file) { return std::fclose(file); };
  std::function<int(const char* from, const char* to)> rename =
      [](const char* from, const char* to) { return std::rename(from, to); };
};
int WriteRawFile(const GuideLog& log, const DirectoryEntry& entry, const std::string& path,
                 const RawCopyCalls& calls);

// Reads the raw file into `log` (which must be fresh), builds its entities
// and writes into `folder` (the current directory when it is empty), in
// this order, the events table, the periodic-error tables and the HTML
// report with the exposures table and the analysis page beside it, as far
// as `settings` asks for them, in its CSV format. The outputs take their
// names together once all of them are complete: after a failure (but 301,
// whose events table is complete) the folder holds what it held before. A
// caller that may meet another run in the folder holds its
// OutputFolderLock. The exposures table and the analysis page have their
// figures in arcseconds and the page its worm harmonics when the
// periodic-error tables are asked for, whose settings (focal length, worm
// period, star declination) they then use.
// 0 everything asked for was written; otherwise the first failure:
// 1, 2, 3 from ReadRawFile, 100 + BuildEntities, 300 + WriteEventsTable,
// 400 + WritePeriodicErrorTables, 200 + WriteHtmlReport,
// 700 + WriteExposureTable, 500 + WriteAnalysisPage. An output whose name
// cannot be taken (a folder is in the way) fails as one that cannot be
// created (298, 399, 199, 197, 699, 499, 599). The outputs share the
// budget of OutputBudget::ForLog, from the log's pages and the time its
// clock covers; the generator whose next file or write would exceed it
// stops there (296, 397, 195, 697, 497).
// An empty generation_time means the local time now.
//
// With settings.phd2_log, the PHD2 guide log (WritePhd2GuideLog) is written
// last, in arcseconds with the periodic-error settings when those tables
// are asked for, in pixels otherwise, and its file name is put into
// `phd2_written_name` when given (empty when it was not written); a
// failure r is 600 + r (599 not created, 598 a write fell short, 597 over
// the budget).
int ProcessRawFile(GuideLog& log, std::FILE* raw_file, DirectoryEntry& entry,
                   const ReportSettings& settings, std::string_view generation_time = {},
                   std::string* phd2_written_name = nullptr, const std::string& folder = {});

}  // namespace ktal
