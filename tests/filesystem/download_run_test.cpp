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

  RunReport Run(std::vector<unsigned> entries, bool html = false, CFtdiDevice& link = g_device) {
    host_.ListDirectory();
    RunRequest request;
    request.entries = std::move(entries);
    request.settings.html_report = html;
    request.outputRoot = g_startupDirectory;
    return RunDownloadAndProcess(link, request, host_);
  }

  // Under the start-up directory of the test or of the case.
  static std::filesystem::path Folder(std::uint32_t fileId) {
    return OutputFolder(g_startupDirectory, fileId);
  }
  static std::filesystem::path RawPath(std::uint32_t fileId) {
    return RawCopyPath(g_startupDirectory, fileId);
  }
  static std::uintmax_t RawSize(std::uint32_t fileId) {
    return std::filesystem::file_size(RawPath(fileId));
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
  EXPECT_TRUE(Exists(Folder(kFileId) / "events.csv"));
  EXPECT_TRUE(Exists(Folder(kFileId) / "index.html"));
  EXPECT_TRUE(Marked(0));
  // The re-listing after the run sees the mark.
  EXPECT_EQ(host_.listings, 2);
  EXPECT_EQ(g_fileTable[0].flags & kDownloadedFlag, kDownloadedFlag);
  EXPECT_EQ(host_.busyChanges, (std::vector<bool>{true, false}));
  EXPECT_EQ(std::filesystem::current_path(), Folder(kFileId));
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
    EXPECT_TRUE(Exists(Folder(kFileId) / "events.csv"));
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
  EXPECT_TRUE(Exists(Folder(kFileId) / "events.csv"));
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
  sim_.clock().clear_waits();
  const RunReport report = Run({0, 1}, false, link);

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
  std::ifstream raw(RawPath(kFileId), std::ios::binary);
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
    EXPECT_TRUE(Exists(Folder(f.fileId) / "events.csv"));
    EXPECT_EQ(RawSize(f.fileId), RawSizeOf(f.pages));
  }
  EXPECT_EQ(std::filesystem::current_path(), Folder(0x000031));
  EXPECT_EQ(host_.messages.size(), 1u);
  EXPECT_EQ(host_.messages[0].rfind("INFORMATION|", 0), 0u);
}

// The link goes, or the user cancels, while the first of two files is read:
// what was read is kept beside the earlier complete copy, nothing is
// processed over the earlier outputs or marked, the second file is not
// touched, and the user learns which files were not downloaded. A cancel
// after the last page or while the log is processed lets the file finish;
// after a cancel the guider is given back in normal mode.
TEST_F(DownloadRunTest, LostLinkOrCancelStopsTheRunAndKeepsEarlierOutputs) {
  const int firstPages = static_cast<int>(NightPages(3).size());
  ASSERT_GT(firstPages, 4);
  struct Case {
    const char* name;
    std::function<void(sim::SimulatedGuider&, RecordingHost&)> stop;
    int pagesRead;  // of the first file; -1: the link went
  };
  const auto cancel = [](int afterPages, int afterAsides) {
    return [=](sim::SimulatedGuider&, RecordingHost& host) {
      host.cancelAfterPages = afterPages;
      host.cancelAfterAsides = afterAsides;
    };
  };
  const Case cases[] = {
      {"guider switched off", [](auto& s, auto&) { s.guider().PowerOffAfterReceived(30); }, -1},
      {"cable pulled",
       [](auto& s, auto&) { s.driver().FailCall(DriverCall::kRead, FT_IO_ERROR, 40); }, -1},
      {"cancel after the first page", cancel(1, 0), 1},
      {"cancel in the middle of the first file", cancel(firstPages / 2, 0), firstPages / 2},
      {"cancel after the first file's last page", cancel(firstPages, 0), firstPages},
      {"cancel while the first log is processed", cancel(-1, 2), firstPages},
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
    request.entries = {static_cast<unsigned>(first)};
    request.outputRoot = g_startupDirectory;
    ASSERT_EQ(RunDownloadAndProcess(request, host).files[0].result,
              FileOutcome::Result::kProcessed);
    const std::string events = logtest::ReadText(Folder(kFileId) / "events.csv");
    const auto fullSize = RawSize(kFileId);
    sim.flash().entry(first).flags = 0;
    host = RecordingHost();
    host.ListDirectory();
    const int readsBefore = sim.features().fileSystem.pageReads;

    c.stop(sim, host);
    request.entries.push_back(static_cast<unsigned>(second));
    const RunReport report = RunDownloadAndProcess(request, host);
    const bool linkLost = c.pagesRead < 0;
    const bool firstCut = c.pagesRead < firstPages;
    EXPECT_EQ(report.linkLost, linkLost);
    EXPECT_EQ(report.cancelled, !linkLost);
    ASSERT_EQ(report.files.size(), 2u);
    using R = FileOutcome::Result;
    EXPECT_EQ(report.files[0].result,
              linkLost ? R::kLinkLost : (firstCut ? R::kCancelled : R::kProcessed));
    EXPECT_EQ((sim.flash().entry(first).flags & kDownloadedFlag) != 0, !firstCut);
    if (firstCut) {
      EXPECT_EQ(std::filesystem::file_size(RawPath(kFileId).string() + ".bak01"), fullSize);
      EXPECT_EQ(logtest::ReadText(Folder(kFileId) / "events.csv"), events);
    }
    EXPECT_EQ(report.files[1].result, R::kNotReached);
    EXPECT_FALSE(Exists(Folder(0x00002d)));
    EXPECT_EQ(sim.flash().entry(second).flags & kDownloadedFlag, 0);
    EXPECT_FALSE(g_device.IsOpen());
    const std::string summary = host.messages.empty() ? "" : host.messages.back();
    EXPECT_NE(summary.find("QD00002d: not downloaded."), std::string::npos) << summary;
    if (linkLost) {
      EXPECT_LT(RawSize(kFileId), fullSize);
      EXPECT_NE(host.status.back(), "done");
    } else {
      EXPECT_EQ(report.files[0].pages, c.pagesRead);
      EXPECT_EQ(RawSize(kFileId), RawSizeOf(c.pagesRead));
      // Not a page more than the cancel allowed; then the re-listing.
      EXPECT_EQ(sim.features().fileSystem.pageReads - readsBefore, c.pagesRead + 1);
      EXPECT_EQ(host.listings, 2);
      EXPECT_EQ(sim.guider().mode(), sim::ControllerMode::kNormal);
      EXPECT_EQ(host.busyChanges, (std::vector<bool>{true, false}));
      EXPECT_EQ(host.status.back(), "cancelled");
      EXPECT_EQ(summary.rfind("INFORMATION|", 0), 0u) << summary;
      EXPECT_NE(summary.find("Cancelled: 1 selected file(s) were not read."), std::string::npos);
      if (firstCut) {
        EXPECT_NE(summary.find(Printf("QD00002a: cancelled after %d pages.", c.pagesRead)),
                  std::string::npos);
      }
    }
    g_device.AttachDriver(&sim_.driver(), &sim_.clock());
  }
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
  std::filesystem::copy_file(RawPath(kFileId), copy);

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
  std::filesystem::create_directories(Folder(kFileId));
  OutputFolderLock other;
  ASSERT_EQ(other.Take(Folder(kFileId).string()), OutputFolderLock::Result::kTaken);
  const RunReport report = Run({0});
  ASSERT_EQ(report.files.size(), 1u);
  EXPECT_EQ(report.files[0].result, FileOutcome::Result::kFolderBusy);
  // Nothing read but the two listings, nothing written, nothing marked.
  EXPECT_EQ(sim_.features().fileSystem.pageReads, 2);
  EXPECT_FALSE(Exists(RawPath(kFileId)));
  EXPECT_FALSE(Marked(0));
  ASSERT_EQ(host_.messages.size(), 1u);
  EXPECT_EQ(host_.messages[0].rfind("ERROR|QD00002a: another run is writing into ", 0), 0u)
      << host_.messages[0];

  // A raw file processed from disk into the same folder.
  other.Release();
  Run({0});
  ASSERT_EQ(other.Take(Folder(kFileId).string()), OutputFolderLock::Result::kTaken);
  host_ = RecordingHost();
  RunRequest request;
  request.localFile = true;
  request.localPath = RawPath(kFileId);
  request.localFolder = Folder(kFileId);
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
  AddChain({10, 11}, kFileId, 0);
  AddChain({20, 21, 22}, 0x00002d, 1);
  constexpr int kFirstPages = 2;
  constexpr int kPages = 5;

  // Reported as each file begins, then after each of its pages.
  Run({0, 1});
  ASSERT_EQ(host_.progress.size(), static_cast<std::size_t>(2 + kPages));
  for (const RunProgress& p : host_.progress) EXPECT_EQ(p.runPagesExpected, 0);
  const RunProgress& secondBegins = host_.progress[1 + kFirstPages];
  EXPECT_EQ(secondBegins.file, 2);
  EXPECT_EQ(secondBegins.fileId, 0x00002du);
  EXPECT_EQ(secondBegins.filePages, 0);
  EXPECT_EQ(secondBegins.runPages, kFirstPages);
  EXPECT_EQ(host_.progress.back().filePages, 3);
  EXPECT_EQ(host_.progress.back().runPages, kPages);
  const ProgressBarPosition start = ProgressBarOf(host_.progress.front());
  EXPECT_EQ(std::make_pair(start.value, start.maximum), std::make_pair(0, 2));
  EXPECT_EQ(ProgressBarOf(host_.progress.back()).value, 1);

  host_ = RecordingHost();
  Run({0, 1});
  for (const RunProgress& p : host_.progress) EXPECT_EQ(p.runPagesExpected, kPages);
  EXPECT_EQ(host_.progress[1 + kFirstPages].filePagesExpected, 3);
  const ProgressBarPosition end = ProgressBarOf(host_.progress.back());
  EXPECT_EQ(std::make_pair(end.value, end.maximum), std::make_pair(kPages, kPages));

  // The second file gets two more pages in the guider.
  AddChain({20, 21, 22, 23, 24}, 0x00002d, 1);
  host_ = RecordingHost();
  Run({0, 1});
  EXPECT_EQ(host_.progress.back().runPages, kPages + 2);
  EXPECT_EQ(host_.progress.back().runPagesExpected, kPages + 2);
  EXPECT_EQ(host_.progress.back().filePagesExpected, 5);
}

// Of the earlier copy a run leaves, only a whole copy of the very same
// file tells its length; a deleted file still has its saved first page.
TEST_F(DownloadRunTest, OnlyAWholeEarlierCopyOfTheSameFileTellsItsLength) {
  const int index = AddChain({10, 11, 12});
  const int pages = 3;
  Run({0});
  const auto known = [&](auto change) {
    DirectoryEntry entry = flash().entry(index);
    change(entry);
    return KnownPages(g_startupDirectory, entry);
  };
  EXPECT_EQ(known([](DirectoryEntry& e) { std::swap(e.first_page, e.saved_first_page); }), pages);
  EXPECT_EQ(known([](DirectoryEntry& e) { ++e.first_page; }), 0) << "another file: first page";
  EXPECT_EQ(known([](DirectoryEntry& e) { e.created_time = PackTime(22, 0); }), 0)
      << "another file: created";
  // Cut short after a page, or within one.
  for (const std::uintmax_t size : {RawSizeOf(pages - 1), RawSizeOf(pages - 1) + 100}) {
    std::filesystem::resize_file(RawPath(kFileId), size);
    EXPECT_EQ(KnownPages(g_startupDirectory, flash().entry(index)), 0) << size;
  }
}

}  // namespace
}  // namespace ktal
