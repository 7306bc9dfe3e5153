#include "filesystem/download_run.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <new>
#include <set>
#include <system_error>

#include "guidelog/output_folder.h"
#include "guidelog/raw_copy.h"
#include "link/ftdi_device.h"
#include "link/handshakes.h"
#include "link/printf.h"
#include "shell/startup_directory.h"

namespace ktal {

DirectoryEntry g_fileTable[kDirectoryEntries] = {};

namespace {

constexpr char kGeneratingOutput[] = "Generating output...";
constexpr char kFolderBusyText[] =
    "Another run is writing into %s: nothing was processed. Try again when it has finished.\n";

// Pages of an earlier raw copy of the file, or -1 when there is none.
int KnownPages(std::uint32_t fileId) {
  std::error_code error;
  const auto size = std::filesystem::file_size(RawCopyPath(fileId), error);
  if (error || size < kRawHeaderSize + kDirectoryEntrySize) return -1;
  return static_cast<int>((size - kRawHeaderSize - kDirectoryEntrySize) / kDataPageSize);
}

std::uint32_t ListedFileId(unsigned index) {
  return index < static_cast<unsigned>(kDirectoryEntries) ? FileIdOf(g_fileTable[index].file_id)
                                                          : 0;
}

bool LinkIsGone(PageReadFault fault) {
  return fault == PageReadFault::kLinkFailed || fault == PageReadFault::kNoAnswer;
}

}  // namespace

std::filesystem::path OutputFolder(std::uint32_t fileId) {
  return g_startupDirectory / (GuiderFileName(fileId) + ".dat.content");
}

std::filesystem::path RawCopyPath(std::uint32_t fileId) {
  return OutputFolder(fileId) / (GuiderFileName(fileId) + ".dat");
}

WalkResult WalkPageChain(CFtdiDevice& device, const DirectoryEntry& entry, GuideLog& log,
                         const std::function<void(int pages)>& onPage) {
  WalkResult result;
  // The reserved page and the directory page never belong to a file: a
  // chain that runs into them counts as a double allocation.
  std::set<std::uint16_t> visited = {kReservedPage, kDirectoryPage};
  const std::uint32_t fileId = FileIdOf(entry.file_id);
  std::uint16_t current = entry.first_page;
  std::uint8_t bytes[kDataPageSize];
  for (;;) {
    if (ReadPage(device, current, bytes, &result.readFault) != 0) {
      result.fault = kFaultReadError;
      return result;
    }
    ++result.pages;
    if (onPage) onPage(result.pages);
    DataPage page;
    DecodeDataPage(bytes, page);
    log.AddPage(page);

    if (!visited.insert(current).second) {
      result.fault = kFaultDoublePage;
    } else if (page.next_page >= kEmptyPageMin) {
      result.fault = kFaultEmptyPage;
    } else if (FileIdOf(page.file_id) != fileId) {
      result.fault = kFaultForeignId;
    } else if (page.next_page >= kEofPageFlag) {
      if (page.data_size < 1 || page.data_size > 511) result.fault = kFaultEofSize;
      return result;
    } else if (page.next_page == 0x0FFF) {
      result.fault = kFaultNextPage;
    } else if (page.data_size != kPageDataBytes) {
      result.fault = kFaultPageSize;
    }
    if (result.fault != nullptr) return result;
    current = page.next_page;
  }
}

bool DownloadEntry(CFtdiDevice& device, unsigned index, const RunRequest& request,
                   DownloadRunHost& host, FileOutcome& outcome, int* pagesBefore,
                   int pagesExpected) {
  if (index >= static_cast<unsigned>(kDirectoryEntries)) {
    outcome.result = FileOutcome::Result::kEmptyEntry;
    return true;
  }
  DirectoryEntry& entry = g_fileTable[index];
  if (entry.first_page == kUnusedEntry) entry.first_page = entry.saved_first_page;
  if (entry.first_page >= kFirstUnreachablePage) {
    host.ShowMessage("file entry is empty", "", RunIcon::kNone);
    outcome.result = FileOutcome::Result::kEmptyEntry;
    return true;
  }

  std::unique_ptr<GuideLog> log;
  try {
    log = std::make_unique<GuideLog>();
  } catch (const std::bad_alloc&) {
    outcome.result = FileOutcome::Result::kWriteFailed;
    outcome.writeResult = -1;
    return true;
  }
  if (log->BeginLog(entry.created_date, entry.created_time, entry.modified_date,
                    entry.modified_time) != 0) {
    outcome.result = FileOutcome::Result::kInvalidStamp;
    host.SetStatusText(Printf("%s: invalid date in the guider's directory",
                              GuiderFileName(outcome.fileId).c_str()));
    return false;
  }

  // Another run writing into the same folder (the same file id from a
  // second window) would mix its files with these: the file is left for
  // later before anything is read. Where no lock can be made at all, the
  // run goes on as it always did.
  outcome.folder = OutputFolder(outcome.fileId);
  std::error_code error;
  std::filesystem::create_directories(outcome.folder, error);
  OutputFolderLock lock;
  if (lock.Take(outcome.folder.string()) == OutputFolderLock::Result::kBusy) {
    outcome.result = FileOutcome::Result::kFolderBusy;
    return true;
  }

  const std::string upperName = Printf("QD%06X", outcome.fileId);
  const WalkResult walk = WalkPageChain(device, entry, *log, [&](int pages) {
    host.SetStatusText(Printf("%s: %d bytes", upperName.c_str(), pages * 512));
    host.SetProgress(*pagesBefore + pages, pagesExpected);
    host.PumpMessages();
  });
  *pagesBefore += walk.pages;
  outcome.pages = walk.pages;
  outcome.readFailed = walk.fault == kFaultReadError;
  if (walk.fault != nullptr) {
    outcome.walkFault = walk.fault;
    host.SetStatusText(Printf("%s: %s", upperName.c_str(), walk.fault));
    host.PumpMessages();
  }
  const bool linkLost = outcome.readFailed && LinkIsGone(walk.readFault);
  outcome.linkLost = linkLost;
  if (outcome.readFailed && !linkLost) {
    // The guider answered with less than a page: what is left of its answer
    // must not be taken for the next page.
    device.FlushInBuffer();
  }

  if (!linkLost) {
    host.SetStatusText(kGeneratingOutput);
    host.PumpMessages();
  }
  std::filesystem::current_path(outcome.folder, error);

  // What was read is kept whatever ended the walk; an earlier copy becomes
  // a numbered backup.
  outcome.writeResult = WriteRawFile(*log, entry, RawCopyPath(outcome.fileId).string());
  log.reset();
  if (outcome.writeResult != 0) {
    std::string text;
    if (outcome.writeResult == 1) text = "FATAL: file data writing error\n";
    text += Printf("Writing output files interrupted (code %d)...\n", outcome.writeResult);
    host.ShowMessage(text, "ERROR", RunIcon::kExclamation);
    outcome.result = FileOutcome::Result::kWriteFailed;
    return !linkLost;
  }
  if (linkLost) {
    // Processing a cut copy would overwrite the outputs of an earlier,
    // complete download of the same file.
    outcome.result = FileOutcome::Result::kLinkLost;
    return false;
  }

  // A chain fault lies in the guider's own data and reading again would not
  // mend it, so the file counts as downloaded; a failed read does not.
  if (!outcome.readFailed) outcome.markResult = MarkDownloaded(device, index);

  outcome.processResult =
      ProcessRawFileByPath(RawCopyPath(outcome.fileId), true, request.htmlReport, request.peTables);
  if (outcome.processResult != 0) {
    host.ShowMessage(
        Printf("ERROR: while creating output file(s)... (code %d)\n", outcome.processResult),
        "ERROR", RunIcon::kExclamation);
    outcome.result = FileOutcome::Result::kProcessFailed;
  } else {
    outcome.result = FileOutcome::Result::kProcessed;
  }
  return true;
}

int ProcessRawFileByPath(const std::filesystem::path& path, bool eventsTable, bool htmlReport,
                         bool peTables) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return -1;
  int result = -1;
  try {
    GuideLog log;
    DirectoryEntry entry;
    result = ProcessRawFile(log, file, entry, eventsTable, htmlReport, peTables) != 0 ? 1 : 0;
  } catch (const std::bad_alloc&) {
    result = -1;
  }
  std::fclose(file);
  return result;
}

RunReport RunDownloadAndProcess(CFtdiDevice& device, const RunRequest& request,
                                DownloadRunHost& host) {
  RunReport report;
  bool busy = false;
  std::error_code error;
  std::filesystem::current_path(request.localFile ? request.localFolder : g_startupDirectory,
                                error);
  host.SetBusy(true);

  if (!request.localFile) {
    int expected = 0;
    for (const unsigned index : request.entries) {
      const int known = KnownPages(ListedFileId(index));
      if (known < 0) {
        expected = 0;
        break;
      }
      expected += known;
    }
    host.SetProgress(0, expected);

    int pagesRead = 0;
    bool stopped = false;
    for (const unsigned index : request.entries) {
      FileOutcome& outcome = report.files.emplace_back();
      outcome.entryIndex = index;
      outcome.fileId = ListedFileId(index);
      // Files after a stop stay listed, so the user learns they were not read.
      if (!stopped)
        stopped = !DownloadEntry(device, index, request, host, outcome, &pagesRead, expected);
      report.linkLost = report.linkLost || outcome.linkLost;
    }
    if (stopped) {
      host.SetBusy(false);
      if (report.linkLost) {
        // A dead link would fail the leave request and every listing; the
        // next Refresh starts again with the handshake.
        DisconnectDevice(device);
        host.SetStatusText("Connection to the guider lost");
      }
      host.ShowMessage(FormatRunSummary(report), "ERROR", RunIcon::kExclamation);
      return report;
    }
  } else {
    host.SetStatusText(kGeneratingOutput);
    host.PumpMessages();
    OutputFolderLock lock;
    if (lock.Take(request.localFolder.string()) == OutputFolderLock::Result::kBusy) {
      busy = true;
      host.ShowMessage(Printf(kFolderBusyText, request.localFolder.string().c_str()), "ERROR",
                       RunIcon::kExclamation);
    } else if (const int result = ProcessRawFileByPath(request.localPath, true, request.htmlReport,
                                                       request.peTables);
               result != 0) {
      host.ShowMessage(Printf("ERROR: while creating output file(s)... (code %d)\n", result),
                       "ERROR", RunIcon::kExclamation);
    }
  }

  host.SetBusy(false);
  if (request.localFile) host.RestoreDownloadMode();
  host.SetStatusText(busy ? "not processed: another run is writing into the folder" : "done");
  device.Wait(100);
  host.ListDirectory();
  if (!request.localFile && !report.files.empty()) {
    const bool allWell =
        std::all_of(report.files.begin(), report.files.end(), [](const FileOutcome& f) {
          return f.result == FileOutcome::Result::kProcessed && f.walkFault.empty() &&
                 f.markResult == 0;
        });
    host.ShowMessage(FormatRunSummary(report), allWell ? "INFORMATION" : "ERROR",
                     allWell ? RunIcon::kInformation : RunIcon::kExclamation);
  }
  return report;
}

std::string FormatRunSummary(const RunReport& report) {
  std::string text;
  for (const FileOutcome& f : report.files) {
    const std::string name = GuiderFileName(f.fileId);
    const std::string folder =
        f.folder.empty() ? OutputFolder(f.fileId).string() : f.folder.string();
    using R = FileOutcome::Result;
    switch (f.result) {
      case R::kEmptyEntry:
        text += Printf("Entry %u: file entry is empty, nothing read.\n", f.entryIndex);
        continue;
      case R::kInvalidStamp:
        text += Printf(
            "%s: invalid date or time in the guider's directory entry; the run stopped here.\n",
            name.c_str());
        continue;
      case R::kNotReached:
        text += Printf("%s: not downloaded.\n", name.c_str());
        continue;
      case R::kLinkLost:
        text += Printf(
            "%s: connection lost after %d pages. The part read was saved in %s but not "
            "processed; the file stays new (N) in the guider.\n",
            name.c_str(), f.pages, folder.c_str());
        continue;
      case R::kFolderBusy:
        text += Printf(
            "%s: another run is writing into %s; not downloaded, the file stays as it is in the "
            "guider. Try again when that run has finished.\n",
            name.c_str(), folder.c_str());
        continue;
      case R::kWriteFailed:
        text += Printf(
            "%s: the raw copy could not be written in %s (code %d); not marked, not "
            "processed.\n",
            name.c_str(), folder.c_str(), f.writeResult);
        continue;
      case R::kProcessed:
      case R::kProcessFailed:
        break;
    }
    const std::string processed = f.result == R::kProcessFailed
                                      ? Printf("processing failed (code %d)", f.processResult)
                                      : std::string("processed");
    text += Printf("%s: %d pages (%d bytes) ", name.c_str(), f.pages, f.pages * 512);
    if (f.readFailed) {
      text += Printf(
          "read, then the guider did not send a page whole; the part read was kept and %s. "
          "The file stays new (N) in the guider: download it again.",
          processed.c_str());
    } else if (!f.walkFault.empty()) {
      text += Printf(
          "read; the page chain in the guider is damaged (%s); the pages read were kept and %s.",
          f.walkFault.c_str(), processed.c_str());
    } else {
      text += Printf("downloaded and %s.", processed.c_str());
    }
    text += Printf("\n   Folder: %s\n", folder.c_str());
    if (f.markResult > 0) {
      text += Printf(
          "   WARNING: can't set downloaded flag to 'yes' (code %d). File in the guider will be "
          "shown as not downloaded.\n",
          f.markResult);
    }
  }
  if (report.linkLost) {
    text +=
        "\nThe guider no longer answers: check the cable and that it is switched on, then press "
        "Refresh files.\n";
  }
  return text;
}

}  // namespace ktal
