// SPDX-License-Identifier: GPL-3.0-or-later
#include "guidelog/raw_copy.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <system_error>
#include <vector>

#include "guidelog/analysis_page.h"
#include "guidelog/events_table.h"
#include "guidelog/exposure_table.h"
#include "guidelog/html_report.h"
#include "guidelog/output_budget.h"
#include "guidelog/output_folder.h"
#include "guidelog/periodic_error.h"
#include "guidelog/phd2_guide_log.h"
#include "guidelog/replacing_file.h"
#include "guidelog/stdio_file.h"

namespace ktal {
namespace {

// Whether anything at all sits at `path`. A file that exists but cannot be
// read still counts: renaming onto it, or replacing it, would destroy it.
// When the question cannot be answered the name counts as taken.
bool NameTaken(const std::string& path) {
  std::error_code error;
  const std::filesystem::file_status status = std::filesystem::symlink_status(path, error);
  if (error) return error != std::errc::no_such_file_or_directory;
  return std::filesystem::exists(status);
}

std::string BackupName(const std::string& path, int number) {
  char suffix[16];
  std::snprintf(suffix, sizeof suffix, ".bak%02d", number);
  return path + suffix;
}

// The lowest free "<path>.bakNN"; empty when all of them are taken.
std::string FreeBackupName(const std::string& path) {
  for (int number = 1; number <= kMaxRawBackups; ++number) {
    std::string backup = BackupName(path, number);
    if (!NameTaken(backup)) return backup;
  }
  return {};
}

// Header, entry and pages, then flushed and synced: true only when every
// byte has reached the disk.
bool WriteRawBytes(const GuideLog& log, const DirectoryEntry& entry, std::FILE* file,
                   const RawCopyCalls& calls) {
  std::uint8_t header[kRawHeaderSize];
  EncodeRawHeader(header);
  std::uint8_t entry_bytes[kDirectoryEntrySize];
  EncodeDirectoryEntry(entry, entry_bytes);
  bool written = std::fwrite(header, 1, sizeof header, file) == sizeof header &&
                 std::fwrite(entry_bytes, 1, sizeof entry_bytes, file) == sizeof entry_bytes;
  std::uint8_t page_bytes[kDataPageSize];
  for (int i = 0; written && i < log.page_count; ++i) {
    EncodeDataPage(log.page(i), page_bytes);
    written = std::fwrite(page_bytes, 1, sizeof page_bytes, file) == sizeof page_bytes;
  }
  return written && std::fflush(file) == 0 && calls.sync(::fileno(file)) == 0;
}

// Makes the renames themselves durable. A folder that cannot be synced
// costs only that, after a power cut, not the copy itself.
void SyncFolderOf(const std::string& path) {
  std::string folder = std::filesystem::path(path).parent_path().string();
  if (folder.empty()) folder = ".";
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

}  // namespace

// The new copy goes to a temporary name and is on the disk before anything
// is renamed: a full disk or a crash at any point leaves the previous copy
// under the main name, and a truncated copy is never read back as a log.
int WriteRawFile(const GuideLog& log, const DirectoryEntry& entry, const std::string& path) {
  return WriteRawFile(log, entry, path, RawCopyCalls{});
}

int WriteRawFile(const GuideLog& log, const DirectoryEntry& entry, const std::string& path,
                 const RawCopyCalls& calls) {
  // Where the old copy will go is settled first: with no backup number
  // free, nothing is written at all.
  const bool has_old = NameTaken(path);
  std::string backup;
  if (has_old) {
    backup = FreeBackupName(path);
    if (backup.empty()) {
      std::printf("ERROR: can't backup the RAW file.\n");
      return 2;
    }
  }

  const std::string temporary = TemporaryRawName(path);
  // Whatever sits at the temporary name (what a killed run left, or a
  // link to someone's file) goes, and the copy is a file created new.
  ::unlink(temporary.c_str());
  StdioFile file = CreateNewStdioFile(temporary.c_str());
  if (!file) {
    std::printf("ERROR: can't create RAW file '%s'\n", path.c_str());
    return -1;
  }
  const bool written = WriteRawBytes(log, entry, file.get(), calls);
  if (calls.close(file.release()) != 0 || !written) {
    std::remove(temporary.c_str());
    std::printf(has_old ? "ERROR: can't write RAW file '%s', the previous copy is kept\n"
                        : "ERROR: can't write RAW file '%s'\n",
                path.c_str());
    return 1;
  }

  if (has_old && calls.rename(path.c_str(), backup.c_str()) != 0) {
    std::printf("ERROR: can't backup file to '%s'!\n", backup.c_str());
    std::fflush(stdout);
    std::perror("  sys_error");
    std::remove(temporary.c_str());
    return 2;
  }
  if (calls.rename(temporary.c_str(), path.c_str()) != 0) {
    std::remove(temporary.c_str());
    // The old copy goes back to its name rather than sit in a backup
    // beside nothing; when even that fails, the user is told where it is.
    if (has_old && calls.rename(backup.c_str(), path.c_str()) != 0) {
      std::printf("ERROR: can't create RAW file '%s', the previous copy is in '%s'\n", path.c_str(),
                  backup.c_str());
      return -1;
    }
    std::printf(has_old ? "ERROR: can't create RAW file '%s', the previous copy is kept\n"
                        : "ERROR: can't create RAW file '%s'\n",
                path.c_str());
    return -1;
  }
  SyncFolderOf(path);
  return 0;
}

namespace {

// The summary's options for the outputs of `settings`: the telescope only
// with the periodic-error settings.
SummaryOptions SummaryOptionsOf(const ReportSettings& settings) {
  SummaryOptions options;
  if (settings.pe_tables) {
    options.focal_length_mm = settings.focal_length_mm;
    options.worm_period_s = settings.worm_period_s;
    options.declination_deg = StarDecDegrees(settings.star_dec_deg);
  }
  return options;
}

// The PHD2 guide log's settings: in arcseconds with the periodic-error
// settings.
Phd2LogSettings Phd2SettingsOf(const ReportSettings& settings) {
  Phd2LogSettings phd2;
  if (settings.pe_tables) {
    phd2.focal_length_mm = settings.focal_length_mm;
    phd2.worm_period_s = settings.worm_period_s;
    phd2.declination_deg = settings.star_dec_deg;
  }
  phd2.program_version = KTAL_VERSION;
  return phd2;
}

// Runs the generators asked for into the current directory: 0, or the
// code of the first failure.
int WriteOutputs(GuideLog& log, std::uint32_t file_id, const ReportSettings& settings,
                 std::string_view generation_time, std::string* phd2_written_name) {
  // One budget for all outputs of the log, from its pages and its time.
  OutputBudget budget = OutputBudget::ForLog(log);
  if (settings.events_table) {
    if (const int result = WriteEventsTable(log, settings.csv_format, &budget); result != 0)
      return 300 + result;
  }
  if (settings.pe_tables) {
    if (const int result = WritePeriodicErrorTables(log, settings, &budget); result != 0)
      return 400 + result;
  }
  if (settings.html_report) {
    const std::string time_text =
        generation_time.empty() ? LocalGenerationTime() : std::string(generation_time);
    if (const int result = WriteHtmlReport(log, file_id, time_text, &budget); result != 0)
      return 200 + result;
    // The star entities of the last exposure may be most of the log;
    // the analysis page does not need their copies.
    log.positions.clear();
    log.positions.shrink_to_fit();
    const SummaryOptions options = SummaryOptionsOf(settings);
    const GuideSeries series = ExtractGuideSeries(log);
    if (const int result = WriteExposureTable(series, SummarizeExposures(series, options),
                                              settings.csv_format, &budget);
        result != 0)
      return 700 + result;
    if (const int result = WriteAnalysisPage(series, file_id, options, time_text, &budget);
        result != 0)
      return 500 + result;
  }
  if (settings.phd2_log) {
    if (const int result = WritePhd2GuideLog(log, file_id, Phd2SettingsOf(settings), {}, &budget,
                                             phd2_written_name);
        result != 0)
      return 600 + result;
  }
  return 0;
}

// The code and the line of an output whose file cannot take its name, as
// its generator gives them for a file it cannot create.
int NameNotTaken(const std::string& name) {
  if (name == "events.csv") {
    std::printf("ERROR: can't create CSV file\n");
    return 298;
  }
  if (name == "index.html") {
    std::printf("ERROR: can't create HTML file\n");
    return 200 + kReportNotCreated;
  }
  if (name == kAnalysisPageName) {
    std::printf("ERROR: can't create analysis HTML file\n");
    return 500 + kAnalysisNotCreated;
  }
  if (name == kExposureTableName) {
    std::printf("ERROR: can't create CSV file '%s'\n", kExposureTableName);
    return 699;
  }
  if (name.rfind("PHD2_GuideLog_", 0) == 0) {
    std::printf("ERROR: can't create PHD2 guide log file '%s'\n", name.c_str());
    return 599;
  }
  if (name.ends_with(".bmp")) {
    std::printf("ERROR: can't create image file '%s'\n", name.c_str());
    return 200 + kReportImageNotCreated;
  }
  std::printf("ERROR: can't create CSV (PE) file\n");
  return 399;
}

// The order the generators write their files in, as far as the names
// tell it: the first name in this order that cannot be taken is the
// failure reported.
int WriteOrder(const std::string& name) {
  if (name == "events.csv") return 0;
  if (name.rfind("pe", 0) == 0) return 1;
  if (name == "index.html") return 2;
  if (name.ends_with(".bmp")) return 3;
  if (name == kExposureTableName) return 4;
  if (name == kAnalysisPageName) return 5;
  return 6;
}

std::vector<std::string> StagedInWriteOrder(const StagingFolder& staging) {
  std::vector<std::string> names = staging.Names();
  // Only whole outputs: a temporary file of one is never among them.
  std::erase_if(names, [](const std::string& name) { return name.front() == '.'; });
  std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
    const int order_a = WriteOrder(a);
    const int order_b = WriteOrder(b);
    if (order_a != order_b) return order_a < order_b;
    // pe2.csv before pe10.csv.
    if (a.size() != b.size()) return a.size() < b.size();
    return a < b;
  });
  return names;
}

// Moves every staged output over its name: 0, or the code of the first
// that cannot take its name. No file is moved unless every name is free
// of folders, the one obstacle that can be seen beforehand.
int MoveOutputsOut(StagingFolder& staging) {
  const std::vector<std::string> names = StagedInWriteOrder(staging);
  for (const std::string& name : names) {
    if (staging.FolderInTheWay(name)) return NameNotTaken(name);
  }
  for (const std::string& name : names) {
    if (!staging.MoveOut(name)) return NameNotTaken(name);
  }
  staging.SyncParent();
  return 0;
}

}  // namespace

// The outputs are written into a staging folder and take their names only
// when all of them are complete: a failure, a full disk or a killed run
// leaves the outputs of an earlier run of the log as they were, and none
// of its own. A staging folder a killed run leaves behind is removed by
// the next run that takes the folder's lock.
int ProcessRawFile(GuideLog& log, std::FILE* raw_file, DirectoryEntry& entry,
                   const ReportSettings& settings, std::string_view generation_time,
                   std::string* phd2_written_name, const std::string& folder) {
  // No stream to read is no better than an empty file.
  if (raw_file == nullptr) return 1;
  if (const int read = log.ReadRawFile(raw_file, entry); read != 0) return read;
  if (const int built = log.BuildEntities(GuideLog::UnnamedRepeats::kDrop); built != 0)
    return 100 + built;
  if (!settings.events_table && !settings.pe_tables && !settings.html_report && !settings.phd2_log)
    return 0;
  const std::uint32_t file_id = FileIdOf(entry.file_id);
  StagingFolder staging(folder.empty() ? "." : folder);
  // A folder that takes no staging folder would have taken no output
  // either: the failure is the first output's.
  const std::string first_output = settings.events_table  ? "events.csv"
                                   : settings.pe_tables   ? "pe1.csv"
                                   : settings.html_report ? "index.html"
                                                          : Phd2GuideLogName(log);
  if (!staging.ok()) return NameNotTaken(first_output);
  int result = 0;
  {
    const ScopedCurrentDirectory inside(staging.fd());
    if (!inside.ok()) return NameNotTaken(first_output);
    result = WriteOutputs(log, file_id, settings, generation_time, phd2_written_name);
  }
  // An events table that ends at its error line is complete all the same.
  if (result == 0 || result == 301) {
    if (const int moved = MoveOutputsOut(staging); moved != 0) result = moved;
  }
  // A guide log that did not take its name was not written.
  if (result != 0 && result != 301 && phd2_written_name != nullptr) phd2_written_name->clear();
  return result;
}

}  // namespace ktal
