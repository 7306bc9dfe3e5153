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
#include "link/ftdi_device.h"

namespace ktal {

// The directory as last listed, by entry index. Rewritten by every listing;
// the run changes one thing: a deleted file it downloads gets its
// saved_first_page back as first_page.
extern DirectoryEntry g_fileTable[kDirectoryEntries];

enum class RunIcon { kNone, kInformation, kExclamation };

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
  // Pages read so far in this run, of `pagesExpected`; 0 expected when the
  // size of some file is not known.
  virtual void SetProgress(int pagesRead, int pagesExpected) = 0;
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
  bool htmlReport = false;
  bool peTables = false;
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
  int writeResult = 0;
  int markResult = -1;  // -1: no mark was tried
  int processResult = 0;
  std::filesystem::path folder;
};

struct RunReport {
  std::vector<FileOutcome> files;
  bool linkLost = false;
};

// The output folder "QD%06x.dat.content" of a file under the start-up
// directory, and the raw copy in it.
std::filesystem::path OutputFolder(std::uint32_t fileId);
std::filesystem::path RawCopyPath(std::uint32_t fileId);

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
  // One of the texts above, or nullptr when the chain ended well.
  const char* fault = nullptr;
  PageReadFault readFault = PageReadFault::kNone;
};

// Follows the entry's chain from first_page with ReadPage, adding every
// page read to `log` (begun already) and checking each. `onPage` is called
// after each page read with the count so far.
WalkResult WalkPageChain(CFtdiDevice& device, const DirectoryEntry& entry, GuideLog& log,
                         const std::function<void(int pages)>& onPage);

// Downloads (or skips) one selected file into `outcome`, whose entryIndex
// and fileId the caller has set. The file's folder is locked while it is
// written; a folder another run holds is left alone and the file not read. `pagesBefore` counts the
// run's pages read and is moved on. False when the run must stop.
bool DownloadEntry(CFtdiDevice& device, unsigned index, const RunRequest& request,
                   DownloadRunHost& host, FileOutcome& outcome, int* pagesBefore,
                   int pagesExpected);

// 0 the log was read and every output asked for written; 1 processing
// failed; -1 the file cannot be opened or no log can be made.
int ProcessRawFileByPath(const std::filesystem::path& path, bool eventsTable, bool htmlReport,
                         bool peTables);

// The whole run. Sets the current directory (the local file's folder, or
// the start-up directory), and leaves it where the last file's outputs went.
RunReport RunDownloadAndProcess(CFtdiDevice& device, const RunRequest& request,
                                DownloadRunHost& host);

// On g_device.
inline WalkResult WalkPageChain(const DirectoryEntry& entry, GuideLog& log,
                                const std::function<void(int pages)>& onPage) {
  return WalkPageChain(g_device, entry, log, onPage);
}
inline bool DownloadEntry(unsigned index, const RunRequest& request, DownloadRunHost& host,
                          FileOutcome& outcome, int* pagesBefore, int pagesExpected) {
  return DownloadEntry(g_device, index, request, host, outcome, pagesBefore, pagesExpected);
}
inline RunReport RunDownloadAndProcess(const RunRequest& request, DownloadRunHost& host) {
  return RunDownloadAndProcess(g_device, request, host);
}

// The text shown after a download run: every file with its outcome and
// where its folder is.
std::string FormatRunSummary(const RunReport& report);

}  // namespace ktal
