// SPDX-License-Identifier: GPL-3.0-or-later
// Downloading the guider's files and processing them: the work behind the
// file control window's "Download + process file(s)" button.
//
// For each selected file the run walks its page chain in file-system mode,
// checking every page, writes the pages as a raw copy into the file's own
// output folder, marks the file as downloaded in the guider and processes
// the copy into the events table, the HTML report and the periodic-error
// tables. It talks to its window only through DownloadRunHost and to the
// guider only through the link it is handed, so it runs the same under a
// test as under the real window. The forms without a link work on g_device.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "filesystem/fs_protocol.h"
#include "guidelog/guide_log.h"
#include "guidelog/log_format.h"
#include "guidelog/report_settings.h"
#include "link/ftdi_device.h"

namespace ktal {

// The directory as last listed, by entry index. Rewritten by every listing;
// the run changes one thing: a deleted file it downloads gets its
// saved_first_page back as first_page.
extern DirectoryEntry g_fileTable[kDirectoryEntries];

enum class RunIcon { kNone, kInformation, kExclamation };

// Where a download run stands, for its window to show.
struct RunProgress {
  std::uint32_t fileId = 0;   // the file being read
  int file = 0;               // its place in the run, from 1
  int files = 0;              // the files of the run
  int filePages = 0;          // its pages read so far
  int filePagesExpected = 0;  // its length, 0 while not known
  int runPages = 0;           // the run's pages read so far
  int runPagesExpected = 0;   // the run's length, 0 while not known
};

// What the run needs of its window.
class DownloadRunHost {
 public:
  virtual ~DownloadRunHost() = default;
  virtual void SetStatusText(const std::string& text) = 0;
  // Lets the window repaint and move while the run blocks its thread.
  virtual void PumpMessages() = 0;
  virtual void ShowMessage(const std::string& text, const std::string& caption, RunIcon icon) = 0;
  // Disables (true) or enables the controls that must not be used meanwhile.
  virtual void SetBusy(bool busy) = 0;
  // After each page read, and as each file begins.
  virtual void SetProgress(const RunProgress& progress) = 0;
  // True once the user has asked the run to stop. Asked after every page
  // read and before each file, after PumpMessages.
  virtual bool CancelRequested() = 0;
  // Runs `work` to its end: writing or processing files, which needs
  // neither the link nor the window. A window may run it beside its event
  // loop, so that it stays responsive however long a log takes.
  virtual void RunAside(const std::function<void()>& work) { work(); }
  // Clears "Use local file" and shows the download-mode controls again.
  virtual void RestoreDownloadMode() = 0;
  // Reads the directory again and lists it; 0, or 1 when it cannot be read.
  virtual int ListDirectory() = 0;
};

struct RunRequest {
  bool localFile = false;
  // Download mode: entry indices of the selected rows, top row first.
  std::vector<unsigned> entries;
  // Local-file mode: the raw file and its folder.
  std::filesystem::path localPath;
  std::filesystem::path localFolder;
  // What each file is processed into, and how.
  ReportSettings settings;
  // Download mode: the folder under which each file gets its output folder
  // (the window's start-up directory). The run changes the current
  // directory, so this and the local paths are absolute.
  std::filesystem::path outputRoot;
};

// How one file of a download run ended.
struct FileOutcome {
  enum class Result {
    kEmptyEntry,     // first_page 0x0FFE or above: nothing to read
    kInvalidStamp,   // the entry's stamps were refused; the run stopped
    kFolderBusy,     // another run was writing into its folder: not read
    kWriteFailed,    // the raw copy could not be written
    kProcessed,      // written and processed (the chain may be damaged)
    kProcessFailed,  // written, but processing failed
    kLinkLost,       // the link went while reading this file
    kCancelled,      // the user stopped the run while this file was read
    kNotReached,     // the run stopped before this file
  };
  unsigned entryIndex = 0;
  std::uint32_t fileId = 0;
  Result result = Result::kNotReached;
  int pages = 0;
  // Empty when the chain ended with a valid EOF page.
  std::string walkFault;
  bool readFailed = false;  // the walk ended with a failed page read
  bool linkLost = false;    // ... because the link itself is gone
  bool cancelled = false;   // the user stopped the run while it was read
  int writeResult = 0;
  int markResult = -1;  // -1: no mark was tried
  int processResult = 0;
  std::filesystem::path folder;
};

struct RunReport {
  std::vector<FileOutcome> files;
  bool linkLost = false;
  // The user stopped the run; the guider has left file-system mode.
  bool cancelled = false;
};

// The output folder "QD%06x.dat.content" of a file under `root`, and the
// raw copy in it.
std::filesystem::path OutputFolder(const std::filesystem::path& root, std::uint32_t fileId);
std::filesystem::path RawCopyPath(const std::filesystem::path& root, std::uint32_t fileId);

// The walk's fault texts.
inline constexpr char kFaultReadError[] = "error reading data page from device";
inline constexpr char kFaultDoublePage[] = "double page allocation found";
inline constexpr char kFaultEmptyPage[] = "an empty data page found";
inline constexpr char kFaultForeignId[] = "inconsistent file ID found";
inline constexpr char kFaultEofSize[] = "wrong data size in EOF page found";
inline constexpr char kFaultNextPage[] = "wrong next_page value found";
inline constexpr char kFaultPageSize[] = "wrong data size in page found";

struct WalkResult {
  int pages = 0;
  // One of the texts above, or nullptr when the chain ended well or the
  // walk was stopped.
  const char* fault = nullptr;
  PageReadFault readFault = PageReadFault::kNone;
  // `onPage` stopped the walk before the chain's end.
  bool stopped = false;
};

// Follows the entry's chain from first_page with ReadPage, adding every
// page read to `log` (begun already) and checking each. `onPage` is called
// after each page read with the count so far; when it returns false the
// walk ends before the next page is read.
using PageCallback = std::function<bool(int pages)>;
WalkResult WalkPageChain(CFtdiDevice& device, const DirectoryEntry& entry, GuideLog& log,
                         const PageCallback& onPage);

// Downloads (or skips) one selected file into `outcome`, whose entryIndex
// and fileId the caller has set, under request.outputRoot with
// request.settings. The file's folder is locked while it is written; a
// folder another run holds is left alone and the file not read.
// `progress` comes in with the file's place in the run and goes out with
// the run's pages moved on. False when the run must stop.
//
// A cancel is asked for between two page reads. The file then ends as one
// whose link was lost: the pages read are kept as its raw copy (an earlier
// copy becomes a backup), not processed and not marked. A file whose chain
// was read to its end is finished as usual: a cancel takes effect before
// the next file.
bool DownloadEntry(CFtdiDevice& device, unsigned index, const RunRequest& request,
                   DownloadRunHost& host, FileOutcome& outcome, RunProgress& progress);

// Processes the raw file at `path` with `settings` into `folder`: 0 the log
// was read and every output asked for written; 1 processing failed; -1 the
// file cannot be opened or no log can be made.
int ProcessRawFileByPath(const std::filesystem::path& path, const ReportSettings& settings,
                         const std::filesystem::path& folder);

// The whole run. Writes by path under request.outputRoot (or into the local
// file's folder), and leaves the process's current directory where the last
// file's outputs went, as the window's users have always found it. A run
// the user cancels re-lists the directory, leaves file-system mode and
// closes the link, and says in its summary what was not done.
RunReport RunDownloadAndProcess(CFtdiDevice& device, const RunRequest& request,
                                DownloadRunHost& host);

// On g_device.
inline WalkResult WalkPageChain(const DirectoryEntry& entry, GuideLog& log,
                                const PageCallback& onPage) {
  return WalkPageChain(g_device, entry, log, onPage);
}
inline bool DownloadEntry(unsigned index, const RunRequest& request, DownloadRunHost& host,
                          FileOutcome& outcome, RunProgress& progress) {
  return DownloadEntry(g_device, index, request, host, outcome, progress);
}
inline RunReport RunDownloadAndProcess(const RunRequest& request, DownloadRunHost& host) {
  return RunDownloadAndProcess(g_device, request, host);
}

// The text shown after a download run: every file with its outcome and
// where its folder is.
std::string FormatRunSummary(const RunReport& report);

// One line beside the status: the file being read, its place in the run,
// its pages read, and the run's pages where its length is known.
std::string FormatRunProgress(const RunProgress& progress);

// What a progress bar shows: the run's pages once its length is known,
// else the files finished.
struct ProgressBarPosition {
  int value = 0;
  int maximum = 0;
};
ProgressBarPosition ProgressBarOf(const RunProgress& progress);

// The guider's directory does not hold a file's length. This is the
// length of the earlier raw copy of the listed file, in pages, when that
// copy is of the same file and whole (it ends with its EOF page); else 0.
int KnownPages(const std::filesystem::path& root, const DirectoryEntry& entry);

}  // namespace ktal
