#include "guidelog/raw_copy.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <system_error>

#include "guidelog/analysis_page.h"
#include "guidelog/events_table.h"
#include "guidelog/exposure_table.h"
#include "guidelog/html_report.h"
#include "guidelog/output_budget.h"
#include "guidelog/periodic_error.h"
#include "guidelog/report_settings.h"
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
  StdioFile file = OpenStdioFile(temporary.c_str(), "wb");
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

int ProcessRawFile(GuideLog& log, std::FILE* raw_file, DirectoryEntry& entry, bool events_table,
                   bool html_report, bool pe_tables, std::string_view generation_time,
                   Phd2Request* phd2) {
  // No stream to read is no better than an empty file.
  if (raw_file == nullptr) return 1;
  if (const int read = log.ReadRawFile(raw_file, entry); read != 0) return read;
  if (const int built = log.BuildEntities(GuideLog::UnnamedRepeats::kDrop); built != 0)
    return 100 + built;
  const std::uint32_t file_id = FileIdOf(entry.file_id);
  // One budget for all outputs of the log, from its pages and its time.
  OutputBudget budget = OutputBudget::ForLog(log);
  if (events_table) {
    if (const int result = WriteEventsTable(log, &budget); result != 0) return 300 + result;
  }
  if (pe_tables) {
    if (const int result = WritePeriodicErrorTables(log, &budget); result != 0) return 400 + result;
  }
  if (html_report) {
    const std::string time_text =
        generation_time.empty() ? LocalGenerationTime() : std::string(generation_time);
    if (const int result = WriteHtmlReport(log, file_id, time_text, &budget); result != 0)
      return 200 + result;
    // The star entities of the last exposure may be most of the log;
    // the analysis page does not need their copies.
    log.positions.clear();
    log.positions.shrink_to_fit();
    SummaryOptions options;
    if (pe_tables) {
      options.focal_length_mm = g_focalLength;
      options.worm_period_s = g_wormPeriod;
      options.declination_deg = StarDecDegrees();
    }
    const GuideSeries series = ExtractGuideSeries(log);
    if (const int result =
            WriteExposureTable(series, SummarizeGuiding(series, options), g_csvFormat, &budget);
        result != 0)
      return 700 + result;
    if (const int result = WriteAnalysisPage(series, file_id, options, time_text, &budget);
        result != 0)
      return 500 + result;
  }
  if (phd2 != nullptr) {
    if (const int result =
            WritePhd2GuideLog(log, file_id, phd2->settings, {}, &budget, &phd2->written_name);
        result != 0)
      return 600 + result;
  }
  return 0;
}

}  // namespace ktal
