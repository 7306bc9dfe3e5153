// SPDX-License-Identifier: GPL-3.0-or-later
#include "filesystem/download_run.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <new>
#include <set>
#include <system_error>

#include "guidelog/output_folder.h"
#include "guidelog/raw_copy.h"
#include "guidelog/stdio_file.h"
#include "link/ftdi_device.h"
#include "link/handshakes.h"
#include "link/printf.h"

namespace ktal {

DirectoryEntry g_fileTable[kDirectoryEntries] = {};

namespace {

constexpr char kGeneratingOutput[] = "Generating output...";
constexpr char kFolderBusyText[] =
    "Another run is writing into %s: nothing was processed. Try again when it has finished.\n";

constexpr char kCancelledText[] = "cancelled";

// The first page the download starts from: a deleted file listed with
// "Show deleted" is read from its saved first page.
std::uint16_t FirstPageToRead(const DirectoryEntry& entry) {
  return entry.first_page == kUnusedEntry ? entry.saved_first_page : entry.first_page;
}

std::uint32_t ListedFileId(unsigned index) {
  return index < static_cast<unsigned>(kDirectoryEntries) ? FileIdOf(g_fileTable[index].file_id)
                                                          : 0;
}

bool LinkIsGone(PageReadFault fault) {
  return fault == PageReadFault::kLinkFailed || fault == PageReadFault::kNoAnswer;
}

}  // namespace

int KnownPages(const std::filesystem::path& root, const DirectoryEntry& entry) {
  const std::filesystem::path path = RawCopyPath(root, FileIdOf(entry.file_id));
  std::error_code error;
  const std::uintmax_t size = std::filesystem::file_size(path, error);
  constexpr std::uintmax_t kFront = kRawHeaderSize + kDirectoryEntrySize;
  if (error || size <= kFront || (size - kFront) % kDataPageSize != 0) return 0;
  const StdioFile file = OpenStdioFile(path.c_str(), "rb");
  std::uint8_t stored[kDirectoryEntrySize];
  std::uint8_t last[kDataPageSize];
  if (!file || std::fseek(file.get(), kRawHeaderSize, SEEK_SET) != 0 ||
      std::fread(stored, 1, sizeof stored, file.get()) != sizeof stored ||
      std::fseek(file.get(), -static_cast<long>(kDataPageSize), SEEK_END) != 0 ||
      std::fread(last, 1, sizeof last, file.get()) != sizeof last) {
    return 0;
  }
  // The same file: an id can come back after the guider's store was wiped.
  const DirectoryEntry copied = DecodeDirectoryEntry(stored);
  if (copied.first_page != FirstPageToRead(entry) || copied.created_date != entry.created_date ||
      copied.created_time != entry.created_time) {
    return 0;
  }
  // Whole: a copy cut short by a lost link or a cancel does not end with
  // its EOF page.
  DataPage page;
  DecodeDataPage(last, page);
  if (page.next_page < kEofPageFlag || page.next_page >= kEmptyPageMin || page.data_size < 1 ||
      page.data_size > 511) {
    return 0;
  }
  return static_cast<int>((size - kFront) / kDataPageSize);
}

std::filesystem::path OutputFolder(const std::filesystem::path& root, std::uint32_t fileId) {
  return root / (GuiderFileName(fileId) + ".dat.content");
}

std::filesystem::path RawCopyPath(const std::filesystem::path& root, std::uint32_t fileId) {
  return OutputFolder(root, fileId) / (GuiderFileName(fileId) + ".dat");
}

WalkResult WalkPageChain(CFtdiDevice& device, const DirectoryEntry& entry, GuideLog& log,
                         const PageCallback& onPage) {
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
    const bool goOn = !onPage || onPage(result.pages);
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
    // Only now, with the page checked: a page that ends the chain leaves
    // nothing to stop.
    if (!goOn) {
      result.stopped = true;
      return result;
    }
    current = page.next_page;
  }
}

bool DownloadEntry(CFtdiDevice& device, unsigned index, const RunRequest& request,
                   DownloadRunHost& host, FileOutcome& outcome, RunProgress& progress) {
  outcome.folder = OutputFolder(request.outputRoot, outcome.fileId);
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
    progress.filePages = pages;
    ++progress.runPages;
    // A file longer than its earlier copy makes the run longer too.
    if (progress.filePagesExpected > 0 && pages > progress.filePagesExpected) {
      progress.filePagesExpected = pages;
      if (progress.runPagesExpected > 0) ++progress.runPagesExpected;
    }
    host.SetProgress(progress);
    host.PumpMessages();
    return !host.CancelRequested();
  });
  if (progress.filePagesExpected > walk.pages && progress.runPagesExpected > 0 && !walk.stopped) {
    progress.runPagesExpected -= progress.filePagesExpected - walk.pages;
  }
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
  // A file cut short, by the link or by the user, is kept as read and goes
  // no further.
  outcome.cancelled = walk.stopped;
  const bool cut = linkLost || walk.stopped;

  if (!cut) {
    host.SetStatusText(kGeneratingOutput);
    host.PumpMessages();
  }
  // The run leaves the current directory where it last wrote; nothing it
  // writes depends on it.
  std::filesystem::current_path(outcome.folder, error);

  // What was read is kept whatever ended the walk; an earlier copy becomes
  // a numbered backup.
  const std::filesystem::path rawCopy = RawCopyPath(request.outputRoot, outcome.fileId);
  host.RunAside([&] { outcome.writeResult = WriteRawFile(*log, entry, rawCopy.string()); });
  log.reset();
  if (outcome.writeResult != 0) {
    std::string text;
    if (outcome.writeResult == 1) text = "FATAL: file data writing error\n";
    text += Printf("Writing output files interrupted (code %d)...\n", outcome.writeResult);
    host.ShowMessage(text, "ERROR", RunIcon::kExclamation);
    outcome.result = FileOutcome::Result::kWriteFailed;
    return !cut;
  }
  if (cut) {
    // Processing a cut copy would overwrite the outputs of an earlier,
    // complete download of the same file.
    outcome.result = linkLost ? FileOutcome::Result::kLinkLost : FileOutcome::Result::kCancelled;
    return false;
  }

  // A chain fault lies in the guider's own data and reading again would not
  // mend it, so the file counts as downloaded; a failed read does not.
  if (!outcome.readFailed) outcome.markResult = MarkDownloaded(device, index);

  host.RunAside([&] {
    outcome.processResult = ProcessRawFileByPath(rawCopy, request.settings, outcome.folder);
  });
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

int ProcessRawFileByPath(const std::filesystem::path& path, const ReportSettings& settings,
                         const std::filesystem::path& folder) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return -1;
  int result = -1;
  try {
    GuideLog log;
    DirectoryEntry entry;
    result = ProcessRawFile(log, file, entry, settings, {}, nullptr, folder.string()) != 0 ? 1 : 0;
  } catch (const std::bad_alloc&) {
    result = -1;
  }
  std::fclose(file);
  return result;
}

namespace {

// The summary box: information when every file read was processed and
// marked (a file the user's cancel left unread is not a failure), an error
// otherwise.
void ShowRunSummary(const RunReport& report, DownloadRunHost& host) {
  const bool allWell =
      std::all_of(report.files.begin(), report.files.end(), [](const FileOutcome& f) {
        using R = FileOutcome::Result;
        return f.result == R::kCancelled || f.result == R::kNotReached ||
               (f.result == R::kProcessed && f.walkFault.empty() && f.markResult == 0);
      });
  host.ShowMessage(FormatRunSummary(report), allWell ? "INFORMATION" : "ERROR",
                   allWell ? RunIcon::kInformation : RunIcon::kExclamation);
}

}  // namespace

RunReport RunDownloadAndProcess(CFtdiDevice& device, const RunRequest& request,
                                DownloadRunHost& host) {
  RunReport report;
  bool busy = false;
  std::error_code error;
  std::filesystem::current_path(request.localFile ? request.localFolder : request.outputRoot,
                                error);
  host.SetBusy(true);

  if (!request.localFile) {
    // The guider's directory does not tell a file's length; an earlier
    // whole copy of it does.
    std::vector<int> known;
    RunProgress progress;
    progress.files = static_cast<int>(request.entries.size());
    bool allKnown = true;
    for (const unsigned index : request.entries) {
      known.push_back(index < static_cast<unsigned>(kDirectoryEntries)
                          ? KnownPages(request.outputRoot, g_fileTable[index])
                          : 0);
      allKnown = allKnown && known.back() > 0;
      progress.runPagesExpected += known.back();
    }
    if (!allKnown) progress.runPagesExpected = 0;

    bool stopped = false;
    for (std::size_t i = 0; i < request.entries.size(); ++i) {
      const unsigned index = request.entries[i];
      FileOutcome& outcome = report.files.emplace_back();
      outcome.entryIndex = index;
      outcome.fileId = ListedFileId(index);
      // Files after a stop stay listed, so the user learns they were not read.
      if (stopped) continue;
      progress.fileId = outcome.fileId;
      progress.file = static_cast<int>(i) + 1;
      progress.filePages = 0;
      progress.filePagesExpected = known[i];
      host.SetProgress(progress);
      // A cancel pressed while the last file was processed stops the run
      // here, before a page of the next is read.
      host.PumpMessages();
      if (host.CancelRequested()) {
        stopped = report.cancelled = true;
        continue;
      }
      stopped = !DownloadEntry(device, index, request, host, outcome, progress);
      report.linkLost = report.linkLost || outcome.linkLost;
      report.cancelled = report.cancelled || outcome.cancelled;
    }
    if (report.cancelled && !report.linkLost) {
      host.SetBusy(false);
      // The marks of the files finished before the cancel, while the guider
      // still lists them; then the guider is given back to its user.
      host.ListDirectory();
      LeaveFileSystemMode(device);
      DisconnectDevice(device);
      host.SetStatusText(kCancelledText);
      ShowRunSummary(report, host);
      return report;
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
    } else {
      int result = 0;
      host.RunAside([&] {
        result = ProcessRawFileByPath(request.localPath, request.settings, request.localFolder);
      });
      if (result != 0) {
        host.ShowMessage(Printf("ERROR: while creating output file(s)... (code %d)\n", result),
                         "ERROR", RunIcon::kExclamation);
      }
    }
  }

  host.SetBusy(false);
  if (request.localFile) host.RestoreDownloadMode();
  host.SetStatusText(busy ? "not processed: another run is writing into the folder" : "done");
  device.Wait(100);
  host.ListDirectory();
  if (!request.localFile && !report.files.empty()) {
    ShowRunSummary(report, host);
  }
  return report;
}

std::string FormatRunSummary(const RunReport& report) {
  std::string text;
  for (const FileOutcome& f : report.files) {
    const std::string name = GuiderFileName(f.fileId);
    const std::string folder = f.folder.string();
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
      case R::kCancelled:
        text += Printf(
            "%s: cancelled after %d pages. The part read was saved in %s but not processed, "
            "and the file was not marked as downloaded in the guider.\n",
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
  } else if (report.cancelled) {
    const auto notRead = std::count_if(
        report.files.begin(), report.files.end(),
        [](const FileOutcome& f) { return f.result == FileOutcome::Result::kNotReached; });
    text += Printf(
        "\nCancelled: %d selected file(s) were not read. The guider has left its file-system "
        "mode; press Refresh files to list its files again.\n",
        static_cast<int>(notRead));
  }
  return text;
}

std::string FormatRunProgress(const RunProgress& progress) {
  std::string text = Printf("file %d of %d: %s, ", progress.file, progress.files,
                            GuiderFileName(progress.fileId).c_str());
  if (progress.filePagesExpected > 0) {
    text += Printf("%d of %d pages", progress.filePages, progress.filePagesExpected);
  } else {
    text += Printf("%d pages read", progress.filePages);
  }
  if (progress.runPagesExpected > 0) {
    text += Printf("; run: %d of %d pages", progress.runPages, progress.runPagesExpected);
  }
  return text;
}

ProgressBarPosition ProgressBarOf(const RunProgress& progress) {
  if (progress.runPagesExpected > 0) {
    return {std::min(progress.runPages, progress.runPagesExpected), progress.runPagesExpected};
  }
  return {std::clamp(progress.file - 1, 0, progress.files), progress.files};
}

}  // namespace ktal
