#include "guidelog/raw_copy.h"

#include <cstdio>
#include <filesystem>
#include <system_error>

#include "guidelog/events_table.h"
#include "guidelog/html_report.h"
#include "guidelog/periodic_error.h"
#include "guidelog/stdio_file.h"

namespace ktal {
namespace {

// Whether anything at all sits at `path`. A file that exists but cannot be
// read still counts: renaming onto it, or replacing it, would destroy it.
// When the question cannot be answered the name counts as taken.
bool NameTaken(const std::string& path)
{
    std::error_code error;
    const std::filesystem::file_status status = std::filesystem::symlink_status(path, error);
    if (error)
        return error != std::errc::no_such_file_or_directory;
    return std::filesystem::exists(status);
}

std::string BackupName(const std::string& path, int number)
{
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, ".bak%02d", number);
    return path + suffix;
}

// 0 when nothing is in the way any more, 2 when the old copy must stay.
int BackUpOldCopy(const std::string& path)
{
    if (!NameTaken(path))
        return 0;
    for (int number = 1; number <= kMaxRawBackups; ++number) {
        const std::string backup = BackupName(path, number);
        if (NameTaken(backup))
            continue;
        if (std::rename(path.c_str(), backup.c_str()) != 0) {
            std::printf("ERROR: can't backup file to '%s'!\n", backup.c_str());
            std::fflush(stdout);
            std::perror("  sys_error");
            return 2;
        }
        return 0;
    }
    std::printf("ERROR: can't backup the RAW file.\n");
    return 2;
}

} // namespace

int WriteRawFile(const GuideLog& log, const DirectoryEntry& entry, const std::string& path)
{
    if (const int backup = BackUpOldCopy(path); backup != 0)
        return backup;

    StdioFile file = OpenStdioFile(path.c_str(), "wb");
    if (!file) {
        std::printf("ERROR: can't create RAW file '%s'\n", path.c_str());
        return -1;
    }
    std::uint8_t header[kRawHeaderSize];
    EncodeRawHeader(header);
    std::uint8_t entry_bytes[kDirectoryEntrySize];
    EncodeDirectoryEntry(entry, entry_bytes);
    bool written = std::fwrite(header, 1, sizeof header, file.get()) == sizeof header
        && std::fwrite(entry_bytes, 1, sizeof entry_bytes, file.get()) == sizeof entry_bytes;
    std::uint8_t page_bytes[kDataPageSize];
    for (int i = 0; written && i < log.page_count; ++i) {
        EncodeDataPage(log.page(i), page_bytes);
        written = std::fwrite(page_bytes, 1, sizeof page_bytes, file.get()) == sizeof page_bytes;
    }
    // The last buffered pages reach the disk at close; a failure there is a
    // failed write as much as a short fwrite.
    const bool closed = CloseChecked(file);
    return written && closed ? 0 : 1;
}

int ProcessRawFile(GuideLog& log, std::FILE* raw_file, DirectoryEntry& entry, bool events_table,
                   bool html_report, bool pe_tables, std::string_view generation_time)
{
    // No stream to read is no better than an empty file.
    if (raw_file == nullptr)
        return 1;
    if (const int read = log.ReadRawFile(raw_file, entry); read != 0)
        return read;
    if (const int built = log.BuildEntities(); built != 0)
        return 100 + built;
    const std::uint32_t file_id = FileIdOf(entry.file_id);
    if (events_table) {
        if (const int result = WriteEventsTable(log); result != 0)
            return 300 + result;
    }
    if (pe_tables) {
        if (const int result = WritePeriodicErrorTables(log); result != 0)
            return 400 + result;
    }
    if (html_report) {
        const int result = generation_time.empty() ? WriteHtmlReport(log, file_id)
                                                   : WriteHtmlReport(log, file_id, generation_time);
        if (result != 0)
            return 200 + result;
    }
    return 0;
}

} // namespace ktal
