// SPDX-License-Identifier: GPL-3.0-or-later
// The download run against the simulated guider: the page-chain walk and its
// faults, what is written, marked and processed, and how a lost link ends
// the run. Each test runs in a temporary start-up directory of its own.
#include "filesystem/download_run.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "guidelog/output_folder.h"
#include "guidelog_test_util.h"
#include "link/ftdi_device.h"
#include "link/handshakes.h"
#include "link/printf.h"
#include "shell/startup_directory.h"
#include "sim/log_writer.h"
#include "sim/session_generator.h"
#include "sim/simulated_guider.h"

namespace ktal {
namespace {

using logtest::Exists;
using logtest::TempDir;
using sim::DriverCall;

constexpr std::uint32_t kFileId = 0x00002a;

// Records what the run reports; re-lists the directory as the window does.
class RecordingHost final : public DownloadRunHost {
 public:
  void SetStatusText(const std::string& text) override { status.push_back(text); }
  void PumpMessages() override { ++pumps; }
  void ShowMessage(const std::string& text, const std::string& caption, RunIcon) override {
    messages.push_back(caption + "|" + text);
  }
  void SetBusy(bool busy) override { busyChanges.push_back(busy); }
  void SetProgress(const RunProgress& now) override { progress.push_back(now); }
  bool CancelRequested() override {
    return cancelAfterPages >= 0 && pagesSeen() >= cancelAfterPages;
  }
  void RunAside(const std::function<void()>& work) override {
    work();
    ++asides;
    if (cancelAfterAsides > 0 && asides >= cancelAfterAsides) cancelAfterPages = 0;
  }
  void RestoreDownloadMode() override { ++restored; }
  int ListDirectory() override {
    ++listings;
    std::uint8_t page[kDataPageSize];
    if (ReadPage(*link, kDirectoryPage, page) != 0) return 1;
    for (int i = 0; i < kDirectoryEntries; ++i) {
      g_fileTable[i] = DecodeDirectoryEntry(page + i * kDirectoryEntrySize);
    }
    return 0;
  }

  int pagesSeen() const { return progress.empty() ? 0 : progress.back().runPages; }

  // The link the window lists through.
  CFtdiDevice* link = &g_device;
  std::vector<std::string> status;
  std::vector<std::string> messages;
  std::vector<bool> busyChanges;
  std::vector<RunProgress> progress;
  int pumps = 0;
  // Cancels once the run has read this many pages (-1: never), or once
  // this many pieces of work ran aside (a press while a log is processed).
  int cancelAfterPages = -1;
  int cancelAfterAsides = 0;
  int asides = 0;
  int restored = 0;
  int listings = 0;
};

// Data pages of a short generated night, `count` of them at most.
std::vector<DataPage> NightPages(int exposures, std::uint32_t seed = 3) {
  SessionOptions options;
  options.seed = seed;
  options.exposures = exposures;
  LogWriter writer;
  EXPECT_EQ(WriteSession(options, writer), 0);
  return writer.Pages(kFileId);
}

DirectoryEntry Stamped() {
  DirectoryEntry entry;
  entry.created_date = PackDate(2026, 12, 1);
  entry.created_time = PackTime(21, 5);
  return entry;
}

class DownloadRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_device.AttachDriver(&sim_.driver(), &sim_.clock());
    g_device.deviceKind = kDeviceKindGuider;
    g_startupDirectory = dir_.path();
    ASSERT_EQ(EnterDeviceMode(kNormalMode), 0);
    ASSERT_EQ(EnterFileSystemMode(), 0);
  }
  void TearDown() override {
    g_device.Close();
    g_device.AttachDriver(nullptr, nullptr);
    for (DirectoryEntry& e : g_fileTable) e = DirectoryEntry{};
  }

  sim::FlashStore& flash() { return sim_.flash(); }

  // A file whose chain is the given pages: full pages, the last one an EOF
  // page with 200 bytes in use.
  int AddChain(const std::vector<std::uint16_t>& numbers, std::uint32_t fileId = kFileId,
               int entryIndex = 0) {
    const std::vector<DataPage> data = NightPages(2);
    for (std::size_t i = 0; i < numbers.size(); ++i) {
      DataPage page = data[i % data.size()];
      SetFileId(page.file_id, fileId);
      const bool last = i + 1 == numbers.size();
      page.next_page = last ? static_cast<std::uint16_t>(kEofPageFlag | 200) : numbers[i + 1];
      page.data_size = last ? 200 : kPageDataBytes;
      flash().page(numbers[i]) = page;
    }
    DirectoryEntry entry = Stamped();
    entry.first_page = numbers.front();
    SetFileId(entry.file_id, fileId);
    flash().entry(entryIndex) = entry;
    return entryIndex;
  }
  // A whole generated night stored as the guider stores it.
  int AddNight(std::uint32_t fileId, std::uint32_t seed = 3) {
    std::vector<DataPage> pages = NightPages(2, seed);
    const int index = flash().AddFile(pages, fileId, Stamped());
    EXPECT_GE(index, 0);
    return index;
  }

  RunReport Run(std::vector<unsigned> entries, bool html = false) {
    host_.ListDirectory();
    RunRequest request;
    request.entries = std::move(entries);
    request.settings.html_report = html;
    request.outputRoot = g_startupDirectory;
    return RunDownloadAndProcess(request, host_);
  }

  static std::uintmax_t RawSize(std::uint32_t fileId) {
    return std::filesystem::file_size(RawCopyPath(g_startupDirectory, fileId));
  }
  static std::uintmax_t RawSizeOf(int pages) { return 64 + 528u * pages; }
  bool Marked(int index) { return (flash().entry(index).flags & kDownloadedFlag) != 0; }

  TempDir dir_;
  sim::SimulatedGuider sim_;
  RecordingHost host_;
};

TEST_F(DownloadRunTest, GoodChainIsWrittenMarkedProcessedAndRelisted) {
  AddChain({10, 11, 12});
  const RunReport report = Run({0}, /*html=*/true);

  ASSERT_EQ(report.files.size(), 1u);
  EXPECT_EQ(report.files[0].pages, 3);
  EXPECT_TRUE(report.files[0].walkFault.empty());
  const std::vector<std::string> progress(host_.status.begin(), host_.status.begin() + 3);
  EXPECT_EQ(progress, (std::vector<std::string>{"QD00002A: 512 bytes", "QD00002A: 1024 bytes",
                                                "QD00002A: 1536 bytes"}));
  EXPECT_EQ(host_.status.back(), "done");
  EXPECT_EQ(RawSize(kFileId), RawSizeOf(3));
  EXPECT_TRUE(Exists(OutputFolder(g_startupDirectory, kFileId) / "events.csv"));
  EXPECT_TRUE(Exists(OutputFolder(g_startupDirectory, kFileId) / "index.html"));
  EXPECT_TRUE(Marked(0));
  // The re-listing after the run sees the mark.
  EXPECT_EQ(host_.listings, 2);
  EXPECT_EQ(g_fileTable[0].flags & kDownloadedFlag, kDownloadedFlag);
  EXPECT_EQ(host_.busyChanges, (std::vector<bool>{true, false}));
  EXPECT_EQ(std::filesystem::current_path(), OutputFolder(g_startupDirectory, kFileId));
  EXPECT_EQ(sim_.clock().waits().back(), 100u);
}

// Every fault the walk knows, in the order it checks them. The pages read
// are kept in the copy, fault page included, and the file is marked: the
// damage is in the guider's own data, a second read would not mend it.
TEST_F(DownloadRunTest, ChainFaultsKeepThePagesReadAndStillMark) {
  struct Case {
    const char* name;
    std::function<void(sim::FlashStore&)> damage;
    int pages;
    const char* fault;
  };
  const Case cases[] = {
      {"loop back to the first page", [](auto& f) { f.page(11).next_page = 10; }, 3,
       kFaultDoublePage},
      {"into the reserved page", [](auto& f) { f.page(11).next_page = 0x0FFE; }, 3,
       kFaultDoublePage},
      {"next_page 0x0FFF", [](auto& f) { f.page(11).next_page = 0x0FFF; }, 2, kFaultNextPage},
      {"foreign file id", [](auto& f) { SetFileId(f.page(11).file_id, 0x123456); }, 2,
       kFaultForeignId},
      {"erased page, foreign too", [](auto& f) { f.page(11) = sim::ErasedPage(); }, 2,
       kFaultEmptyPage},
      {"middle page of 511 bytes", [](auto& f) { f.page(10).data_size = 511; }, 1, kFaultPageSize},
      {"EOF page of 0 bytes", [](auto& f) { f.page(12).data_size = 0; }, 3, kFaultEofSize},
      {"EOF page of 512 bytes", [](auto& f) { f.page(12).data_size = 512; }, 3, kFaultEofSize},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    AddChain({10, 11, 12});
    flash().entry(0).flags = 0;
    c.damage(flash());
    const RunReport report = Run({0});
    ASSERT_EQ(report.files.size(), 1u);
    EXPECT_EQ(report.files[0].walkFault, c.fault);
    EXPECT_EQ(report.files[0].pages, c.pages);
    EXPECT_EQ(RawSize(kFileId), RawSizeOf(c.pages));
    EXPECT_TRUE(Marked(0));
    EXPECT_TRUE(Exists(OutputFolder(g_startupDirectory, kFileId) / "events.csv"));
    EXPECT_NE(host_.messages.back().find(c.fault), std::string::npos) << host_.messages.back();
  }
}

TEST_F(DownloadRunTest, AnUnreadablePageLeavesTheFileNewAndTheRunGoesOn) {
  AddChain({10, 11, 12}, kFileId, 0);
  AddChain({20, 21}, 0x00002d, 1);
  sim_.features().fileSystem.badTrailerPage = 10;
  const RunReport report = Run({0, 1});

  ASSERT_EQ(report.files.size(), 2u);
  EXPECT_TRUE(report.files[0].readFailed);
  EXPECT_EQ(RawSize(kFileId), RawSizeOf(0));
  EXPECT_TRUE(Exists(OutputFolder(g_startupDirectory, kFileId) / "events.csv"));
  EXPECT_FALSE(Marked(0));
  EXPECT_EQ(report.files[1].pages, 2);
  EXPECT_TRUE(Marked(1));
  EXPECT_NE(host_.messages.back().find("stays new (N)"), std::string::npos);
}

TEST_F(DownloadRunTest, ShortChunkIsFlushedBeforeTheNextFile) {
  AddChain({10, 11, 12}, kFileId, 0);
  AddChain({20, 21}, 0x00002d, 1);
  sim_.features().fileSystem.shortChunk = {11, 2, 50};
  const RunReport report = Run({0, 1});
  EXPECT_TRUE(report.files[0].readFailed);
  EXPECT_EQ(report.files[0].pages, 1);
  EXPECT_EQ(report.files[1].pages, 2);
  EXPECT_TRUE(report.files[1].walkFault.empty());
  EXPECT_FALSE(Marked(0));
  EXPECT_TRUE(Marked(1));
}

// With g_device off the guider, a second link is the run's only road to it:
// the pages, the flush of a cut page, the mark and the wait all go there.
TEST_F(DownloadRunTest, TheRunTalksOnlyThroughTheLinkItIsHanded) {
  AddChain({10, 11, 12}, kFileId, 0);
  AddChain({20, 21}, 0x00002d, 1);
  sim_.features().fileSystem.shortChunk = {11, 2, 50};
  ASSERT_EQ(LeaveFileSystemMode(), 0);
  g_device.Close();
  g_device.AttachDriver(nullptr, nullptr);
  g_device.errorText[0] = '\0';

  CFtdiDevice link;
  link.AttachDriver(&sim_.driver(), &sim_.clock());
  link.deviceKind = kDeviceKindGuider;
  ASSERT_EQ(EnterDeviceMode(link, kNormalMode), 0);
  ASSERT_EQ(EnterFileSystemMode(link), 0);
  host_.link = &link;
  ASSERT_EQ(host_.ListDirectory(), 0);
  sim_.clock().clear_waits();

  RunRequest request;
  request.entries = {0, 1};
  request.outputRoot = g_startupDirectory;
  const RunReport report = RunDownloadAndProcess(link, request, host_);

  ASSERT_EQ(report.files.size(), 2u);
  EXPECT_TRUE(report.files[0].readFailed);
  EXPECT_FALSE(report.files[0].linkLost);
  EXPECT_EQ(report.files[1].result, FileOutcome::Result::kProcessed);
  EXPECT_EQ(report.files[1].pages, 2);
  EXPECT_TRUE(report.files[1].walkFault.empty());
  EXPECT_TRUE(Marked(1));
  EXPECT_EQ(sim_.clock().waits(), std::vector<std::uint32_t>{100});
  EXPECT_FALSE(g_device.IsOpen());
  EXPECT_STREQ(g_device.errorText, "");
}

TEST_F(DownloadRunTest, DeletedFileIsReadFromItsSavedFirstPage) {
  AddChain({30, 31});
  flash().DeleteFile(0);
  const RunReport report = Run({0});
  EXPECT_EQ(report.files[0].pages, 2);
  EXPECT_EQ(g_fileTable[0].first_page, kUnusedEntry);  // re-listed as the guider has it
  std::ifstream raw(RawCopyPath(g_startupDirectory, kFileId), std::ios::binary);
  std::uint8_t head[64];
  raw.read(reinterpret_cast<char*>(head), sizeof head);
  EXPECT_EQ(DecodeDirectoryEntry(head + 32).first_page, 30);
}

TEST_F(DownloadRunTest, TwoFilesGoToTwoFoldersInListOrder) {
  const int first = AddNight(0x000031, 5);
  const int second = AddNight(0x000030, 6);
  const RunReport report = Run({static_cast<unsigned>(second), static_cast<unsigned>(first)});
  ASSERT_EQ(report.files.size(), 2u);
  for (const FileOutcome& f : report.files) {
    EXPECT_EQ(f.result, FileOutcome::Result::kProcessed) << GuiderFileName(f.fileId);
    EXPECT_TRUE(Exists(OutputFolder(g_startupDirectory, f.fileId) / "events.csv"));
    EXPECT_EQ(RawSize(f.fileId), RawSizeOf(f.pages));
  }
  EXPECT_EQ(std::filesystem::current_path(), OutputFolder(g_startupDirectory, 0x000031));
  EXPECT_EQ(host_.messages.size(), 1u);
  EXPECT_EQ(host_.messages[0].rfind("INFORMATION|", 0), 0u);
}

// The link goes while the first of two files is read: what was read is kept
// beside the earlier complete copy, nothing is processed over the earlier
// outputs, the second file is not touched, and the user learns which files
// were not downloaded.
TEST_F(DownloadRunTest, LostLinkStopsTheRunAndKeepsEarlierOutputs) {
  struct Case {
    const char* name;
    std::function<void(sim::SimulatedGuider&)> cut;
  };
  const Case cases[] = {
      {"guider switched off", [](auto& s) { s.guider().PowerOffAfterReceived(30); }},
      {"cable pulled", [](auto& s) { s.driver().FailCall(DriverCall::kRead, FT_IO_ERROR, 40); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    g_startupDirectory = dir.path();
    sim::SimulatedGuider sim;
    sim_.driver().ClearFaults();
    g_device.Close();
    g_device.AttachDriver(&sim.driver(), &sim.clock());
    ASSERT_EQ(EnterDeviceMode(kNormalMode), 0);
    ASSERT_EQ(EnterFileSystemMode(), 0);
    const int first = sim.flash().AddFile(NightPages(3), kFileId, Stamped());
    const int second = sim.flash().AddFile(NightPages(2), 0x00002d, Stamped());
    RecordingHost host;
    host.ListDirectory();
    RunRequest request;
    request.entries = {static_cast<unsigned>(first), static_cast<unsigned>(second)};
    request.outputRoot = g_startupDirectory;
    ASSERT_EQ(RunDownloadAndProcess(request, host).files[0].result,
              FileOutcome::Result::kProcessed);
    const std::string events =
        logtest::ReadText(OutputFolder(g_startupDirectory, kFileId) / "events.csv");
    const auto fullSize = RawSize(kFileId);
    sim.flash().entry(first).flags = 0;
    sim.flash().entry(second).flags = 0;
    std::filesystem::remove_all(OutputFolder(g_startupDirectory, 0x00002d));
    host.ListDirectory();

    c.cut(sim);
    const RunReport report = RunDownloadAndProcess(request, host);
    EXPECT_TRUE(report.linkLost);
    ASSERT_EQ(report.files.size(), 2u);
    EXPECT_EQ(report.files[0].result, FileOutcome::Result::kLinkLost);
    EXPECT_EQ(report.files[1].result, FileOutcome::Result::kNotReached);
    EXPECT_LT(RawSize(kFileId), fullSize);
    EXPECT_EQ(
        std::filesystem::file_size(RawCopyPath(g_startupDirectory, kFileId).string() + ".bak01"),
        fullSize);
    EXPECT_EQ(logtest::ReadText(OutputFolder(g_startupDirectory, kFileId) / "events.csv"), events);
    EXPECT_FALSE(Exists(OutputFolder(g_startupDirectory, 0x00002d)));
    EXPECT_EQ(sim.flash().entry(first).flags & kDownloadedFlag, 0);
    EXPECT_FALSE(g_device.IsOpen());
    EXPECT_NE(host.status.back(), "done");
    EXPECT_NE(host.messages.back().find("QD00002d: not downloaded"), std::string::npos)
        << host.messages.back();
    g_device.AttachDriver(&sim_.driver(), &sim_.clock());
  }
}

// A cancel between two page reads ends the file being read as a lost link
// would (the part read kept under its name, the earlier copy a backup,
// nothing processed or marked); a cancel while a log is processed lets its
// outputs finish. Either way the files after it are not touched and the
// guider is given back in normal mode.
TEST_F(DownloadRunTest, CancelStopsBetweenTwoPagesAndGivesTheGuiderBack) {
  const int firstPages = static_cast<int>(NightPages(3).size());
  ASSERT_GT(firstPages, 4);
  struct Case {
    const char* name;
    int cancelAfterPages;   // -1: not by pages
    int cancelAfterAsides;  // 0: not while working aside
    bool firstFinished;
  };
  const Case cases[] = {
      {"after the first page", 1, 0, false},
      {"in the middle of the first file", firstPages / 2, 0, false},
      {"after the first file's last page", firstPages, 0, true},
      {"while the first log is processed", -1, 2, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    g_startupDirectory = dir.path();
    sim::SimulatedGuider sim;
    g_device.Close();
    g_device.AttachDriver(&sim.driver(), &sim.clock());
    ASSERT_EQ(EnterDeviceMode(kNormalMode), 0);
    ASSERT_EQ(EnterFileSystemMode(), 0);
    const int first = sim.flash().AddFile(NightPages(3), kFileId, Stamped());
    const int second = sim.flash().AddFile(NightPages(2), 0x00002d, Stamped());
    RecordingHost host;
    host.ListDirectory();
    RunRequest request;
    request.settings.html_report = true;
    request.outputRoot = g_startupDirectory;
    request.entries = {static_cast<unsigned>(first)};
    RunDownloadAndProcess(request, host);
    const std::string events =
        logtest::ReadText(OutputFolder(g_startupDirectory, kFileId) / "events.csv");
    const auto fullSize = RawSize(kFileId);
    sim.flash().entry(first).flags = 0;

    host = RecordingHost();
    host.cancelAfterPages = c.cancelAfterPages;
    host.cancelAfterAsides = c.cancelAfterAsides;
    host.ListDirectory();
    const int readsBefore = sim.features().fileSystem.pageReads;
    request.entries = {static_cast<unsigned>(first), static_cast<unsigned>(second)};
    const RunReport report = RunDownloadAndProcess(request, host);

    EXPECT_TRUE(report.cancelled);
    EXPECT_FALSE(report.linkLost);
    ASSERT_EQ(report.files.size(), 2u);
    const FileOutcome& cut = report.files[0];
    const bool marked = (sim.flash().entry(first).flags & kDownloadedFlag) != 0;
    if (c.firstFinished) {
      EXPECT_EQ(cut.result, FileOutcome::Result::kProcessed);
      EXPECT_EQ(RawSize(kFileId), fullSize);
      EXPECT_TRUE(Exists(OutputFolder(g_startupDirectory, kFileId) / "index.html"));
      EXPECT_TRUE(Exists(OutputFolder(g_startupDirectory, kFileId) / "analysis.html"));
      EXPECT_TRUE(marked);
    } else {
      EXPECT_EQ(cut.result, FileOutcome::Result::kCancelled);
      EXPECT_EQ(cut.pages, c.cancelAfterPages);
      EXPECT_EQ(RawSize(kFileId), RawSizeOf(c.cancelAfterPages));
      EXPECT_EQ(
          std::filesystem::file_size(RawCopyPath(g_startupDirectory, kFileId).string() + ".bak01"),
          fullSize);
      EXPECT_EQ(logtest::ReadText(OutputFolder(g_startupDirectory, kFileId) / "events.csv"),
                events);
      EXPECT_FALSE(marked);
    }
    // Not a page more than the cancel allowed; then the re-listing.
    const int pagesRead = c.firstFinished ? firstPages : c.cancelAfterPages;
    EXPECT_EQ(sim.features().fileSystem.pageReads - readsBefore, pagesRead + 1);
    EXPECT_EQ(report.files[1].result, FileOutcome::Result::kNotReached);
    EXPECT_FALSE(Exists(OutputFolder(g_startupDirectory, 0x00002d)));
    EXPECT_EQ(sim.flash().entry(second).flags & kDownloadedFlag, 0);

    EXPECT_EQ(sim.guider().mode(), sim::ControllerMode::kNormal);
    EXPECT_FALSE(g_device.IsOpen());
    EXPECT_EQ(host.listings, 2);
    EXPECT_EQ(host.busyChanges, (std::vector<bool>{true, false}));
    EXPECT_EQ(host.status.back(), "cancelled");
    ASSERT_FALSE(host.messages.empty());
    const std::string& summary = host.messages.back();
    EXPECT_EQ(summary.rfind("INFORMATION|", 0), 0u) << summary;
    if (!c.firstFinished) {
      EXPECT_NE(summary.find(Printf("QD00002a: cancelled after %d pages", c.cancelAfterPages)),
                std::string::npos)
          << summary;
    }
    EXPECT_NE(summary.find("QD00002d: not downloaded."), std::string::npos) << summary;
    EXPECT_NE(summary.find("Cancelled: 1 selected file(s) were not read."), std::string::npos)
        << summary;
  }
  g_device.AttachDriver(&sim_.driver(), &sim_.clock());
}

TEST_F(DownloadRunTest, RefusedMarkIsReportedAndTheFileStaysNew) {
  AddChain({10, 11});
  sim_.features().fileSystem.refusedMarks = 1;
  const RunReport report = Run({0});
  EXPECT_EQ(report.files[0].markResult, 1);
  EXPECT_EQ(report.files[0].result, FileOutcome::Result::kProcessed);
  EXPECT_FALSE(Marked(0));
  EXPECT_NE(host_.messages.back().find("WARNING: can't set downloaded flag to 'yes' (code 1)."),
            std::string::npos);
}

TEST_F(DownloadRunTest, EmptyEntryIsSkippedAndAnInvalidStampStopsTheRun) {
  AddChain({10, 11}, kFileId, 0);
  flash().entry(0).first_page = 0x0FFE;
  AddChain({20, 21}, 0x00002d, 1);
  RunReport report = Run({0, 1});
  EXPECT_EQ(host_.messages.front(), "|file entry is empty");
  EXPECT_EQ(report.files[1].pages, 2);

  host_ = RecordingHost();
  flash().entry(1).created_date = PackDate(2026, 13, 1);
  report = Run({1, 0});
  EXPECT_EQ(report.files[0].result, FileOutcome::Result::kInvalidStamp);
  EXPECT_EQ(report.files[1].result, FileOutcome::Result::kNotReached);
  EXPECT_EQ(host_.busyChanges, (std::vector<bool>{true, false}));
  EXPECT_NE(host_.status.back(), "done");
  EXPECT_EQ(host_.listings, 1);  // only the test's own
}

TEST_F(DownloadRunTest, NothingSelectedStillEndsWithDoneAndAListing) {
  const RunReport report = Run({});
  EXPECT_TRUE(report.files.empty());
  EXPECT_EQ(host_.status, std::vector<std::string>{"done"});
  EXPECT_EQ(host_.listings, 2);
  EXPECT_TRUE(host_.messages.empty());
  EXPECT_EQ(sim_.features().fileSystem.pageReads, 2);  // the two directory reads
}

TEST_F(DownloadRunTest, LocalFileIsProcessedInItsFolderAndModeRestored) {
  AddNight(kFileId);
  Run({0});
  const std::filesystem::path copy = dir_.path() / "elsewhere" / "QD00002a.dat";
  std::filesystem::create_directories(copy.parent_path());
  std::filesystem::copy_file(RawCopyPath(g_startupDirectory, kFileId), copy);

  host_ = RecordingHost();
  RunRequest request;
  request.localFile = true;
  request.localPath = copy;
  request.localFolder = copy.parent_path();
  request.settings.html_report = true;
  RunDownloadAndProcess(request, host_);
  EXPECT_TRUE(Exists(copy.parent_path() / "index.html"));
  EXPECT_EQ(host_.restored, 1);
  EXPECT_EQ(host_.status.front(), "Generating output...");
  EXPECT_EQ(host_.status.back(), "done");

  request.localPath = copy.parent_path() / "missing.dat";
  host_ = RecordingHost();
  RunDownloadAndProcess(request, host_);
  EXPECT_EQ(host_.messages,
            std::vector<std::string>{"ERROR|ERROR: while creating output file(s)... (code -1)\n"});
}

TEST_F(DownloadRunTest, AFolderAnotherRunIsWritingIntoIsNotTouchedAndTheRunSaysSo) {
  AddChain({10, 11, 12});
  std::filesystem::create_directories(OutputFolder(g_startupDirectory, kFileId));
  OutputFolderLock other;
  ASSERT_EQ(other.Take(OutputFolder(g_startupDirectory, kFileId).string()),
            OutputFolderLock::Result::kTaken);
  const RunReport report = Run({0});
  ASSERT_EQ(report.files.size(), 1u);
  EXPECT_EQ(report.files[0].result, FileOutcome::Result::kFolderBusy);
  // Nothing read but the two listings, nothing written, nothing marked.
  EXPECT_EQ(sim_.features().fileSystem.pageReads, 2);
  EXPECT_FALSE(Exists(RawCopyPath(g_startupDirectory, kFileId)));
  EXPECT_FALSE(Marked(0));
  ASSERT_EQ(host_.messages.size(), 1u);
  EXPECT_EQ(host_.messages[0].rfind("ERROR|QD00002a: another run is writing into ", 0), 0u)
      << host_.messages[0];

  // A raw file processed from disk into the same folder.
  other.Release();
  Run({0});
  ASSERT_EQ(other.Take(OutputFolder(g_startupDirectory, kFileId).string()),
            OutputFolderLock::Result::kTaken);
  host_ = RecordingHost();
  RunRequest request;
  request.localFile = true;
  request.localPath = RawCopyPath(g_startupDirectory, kFileId);
  request.localFolder = OutputFolder(g_startupDirectory, kFileId);
  RunDownloadAndProcess(request, host_);
  ASSERT_EQ(host_.messages.size(), 1u);
  EXPECT_EQ(host_.messages[0].rfind("ERROR|Another run is writing into ", 0), 0u)
      << host_.messages[0];
  EXPECT_NE(host_.status.back(), "done");
}

// The directory holds no file's length: the run's length is known only
// when every file has a whole earlier copy. Until then the bar counts
// files; a file that grew since makes the run longer.
TEST_F(DownloadRunTest, ProgressCountsFilesUntilEarlierCopiesTellThePages) {
  const unsigned first = static_cast<unsigned>(AddNight(kFileId));
  const unsigned second = static_cast<unsigned>(AddNight(0x00002d, 5));
  const int firstPages = static_cast<int>(flash().ChainOf(static_cast<int>(first)).size());
  const int secondPages = static_cast<int>(flash().ChainOf(static_cast<int>(second)).size());
  const int pages = firstPages + secondPages;
  ASSERT_GT(secondPages, 2);

  Run({first, second});
  ASSERT_EQ(host_.progress.size(), static_cast<std::size_t>(2 + pages));
  std::vector<ProgressBarPosition> bars;
  for (const RunProgress& p : host_.progress) {
    EXPECT_EQ(p.files, 2);
    EXPECT_EQ(p.runPagesExpected, 0);
    EXPECT_EQ(p.filePagesExpected, 0);
    bars.push_back(ProgressBarOf(p));
  }
  // As each file begins, then after its pages.
  const RunProgress& secondBegins = host_.progress[1 + firstPages];
  EXPECT_EQ(secondBegins.file, 2);
  EXPECT_EQ(secondBegins.fileId, 0x00002du);
  EXPECT_EQ(secondBegins.filePages, 0);
  EXPECT_EQ(secondBegins.runPages, firstPages);
  EXPECT_EQ(host_.progress.back().filePages, secondPages);
  EXPECT_EQ(host_.progress.back().runPages, pages);
  EXPECT_EQ(bars.front().value, 0);
  EXPECT_EQ(bars.front().maximum, 2);
  EXPECT_EQ(bars.back().value, 1);

  host_ = RecordingHost();
  Run({first, second});
  for (const RunProgress& p : host_.progress) EXPECT_EQ(p.runPagesExpected, pages);
  EXPECT_EQ(host_.progress[1 + firstPages].filePagesExpected, secondPages);
  const ProgressBarPosition bar = ProgressBarOf(host_.progress.back());
  EXPECT_EQ(bar.value, pages);
  EXPECT_EQ(bar.maximum, pages);

  // The second file gets two more pages in the guider.
  const std::vector<std::uint16_t> chain = flash().ChainOf(static_cast<int>(second));
  const DataPage last = flash().page(chain.back());
  DataPage full = flash().page(chain.front());
  full.next_page = 4000;
  flash().page(chain.back()) = full;
  full.next_page = 4001;
  flash().page(4000) = full;
  flash().page(4001) = last;
  host_ = RecordingHost();
  Run({first, second});
  EXPECT_EQ(host_.progress.back().runPages, pages + 2);
  EXPECT_EQ(host_.progress.back().runPagesExpected, pages + 2);
  EXPECT_EQ(host_.progress.back().filePagesExpected, secondPages + 2);
}

// What the earlier copy of a file tells of its length: only a whole copy
// of the very same file counts.
TEST_F(DownloadRunTest, OnlyAWholeEarlierCopyOfTheSameFileTellsItsLength) {
  const int index = AddNight(kFileId);
  const int pages = static_cast<int>(flash().ChainOf(index).size());
  EXPECT_EQ(KnownPages(g_startupDirectory, flash().entry(index)), 0) << "no copy yet";
  Run({static_cast<unsigned>(index)});
  EXPECT_EQ(KnownPages(g_startupDirectory, flash().entry(index)), pages);

  struct Case {
    const char* name;
    std::function<void(DirectoryEntry&)> change;
    int known;
  };
  const Case cases[] = {
      {"the same entry", [](DirectoryEntry&) {}, pages},
      {"deleted since, listed with its saved first page",
       [](DirectoryEntry& e) {
         e.saved_first_page = e.first_page;
         e.first_page = kUnusedEntry;
       },
       pages},
      {"another file under the same id: other first page",
       [](DirectoryEntry& e) { e.first_page = static_cast<std::uint16_t>(e.first_page + 1); }, 0},
      {"another file under the same id: other creation",
       [](DirectoryEntry& e) { e.created_time = PackTime(22, 0); }, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DirectoryEntry entry = flash().entry(index);
    c.change(entry);
    EXPECT_EQ(KnownPages(g_startupDirectory, entry), c.known);
  }

  // A copy cut short does not end with its EOF page.
  std::filesystem::resize_file(RawCopyPath(g_startupDirectory, kFileId), RawSizeOf(pages - 1));
  EXPECT_EQ(KnownPages(g_startupDirectory, flash().entry(index)), 0);
  std::filesystem::resize_file(RawCopyPath(g_startupDirectory, kFileId),
                               RawSizeOf(pages - 1) + 100);
  EXPECT_EQ(KnownPages(g_startupDirectory, flash().entry(index)), 0) << "a page cut off";
}

}  // namespace
}  // namespace ktal
