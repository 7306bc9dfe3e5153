// SPDX-License-Identifier: GPL-3.0-or-later
// The fault sweep: every exchange of every protocol, on the simulated guider,
// with each line fault at every byte position of the exchange.
//
// One table lists the exchanges: how to bring the guider to it, how to run
// it, how many bytes a clean run puts on the line, the virtual time it may
// take at most, and the endings a failure may have (result code, the text
// left in g_protocolMessage, and whether the link is open or closed after
// it), each marked with the faults that may lead to it. One loop runs every
// exchange clean once, to find its byte positions, and then once for every
// position and fault:
//   S  silence: the guider sends nothing from that byte on
//   W  wrong byte: that byte arrives inverted
//   D  dropped byte: that byte is lost on the line
//   U  unplug: the cable is pulled as that byte would pass
// An exchange too long for that (the dark-frame run, with two frames of
// 437,664 bytes) names the positions it sweeps.
// A wrong or dropped byte is only injected where the clean run delivered a
// byte (an identify sent at the boot loader's speed to a running firmware
// is lost anyway). Each run must end with one of its exchange's endings, in
// bounded virtual time, and report success only where the fault left
// nothing the host needs: never after an unplug, never after a dropped
// answer byte that the host reads, and after silence only when no such
// byte was still to come. Wrong bytes and bytes the host sends may be taken without a trace
// (the line carries no checksum), so success stays possible there; the
// checks of each exchange then look at what was stored: the raw copy and
// earlier outputs of a download, a firmware update that can always be done
// again, camera maps that are never half written, a master dark only from a
// run that stacked every frame.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "camera/camera_protocol.h"
#include "camera/dark_frame_run.h"
#include "filesystem/download_run.h"
#include "filesystem/fs_protocol.h"
#include "firmware/firmware_file.h"
#include "firmware/firmware_update_run.h"
#include "firmware/update_protocol.h"
#include "firmware/variable_set.h"
#include "guidelog/log_format.h"
#include "link/ftdi_device.h"
#include "link/handshakes.h"
#include "shell/startup_directory.h"
#include "sim/firmware_files.h"
#include "sim/log_writer.h"
#include "sim/session_generator.h"
#include "sim/sim_ftdi_driver.h"
#include "tests/firmware/carried_variables.h"
#include "tests/link/guider_rig_test.h"
#include "vui/vui_protocol.h"

namespace ktal::testing {
namespace {

using Bytes = std::vector<std::uint8_t>;
using sim::ControllerMode;
using sim::LineDirection;
using sim::LineFate;
using sim::LineTraceEntry;

enum class Fault { kSilence, kWrongByte, kDroppedByte, kUnplug };
constexpr Fault kFaults[] = {Fault::kSilence, Fault::kWrongByte, Fault::kDroppedByte,
                             Fault::kUnplug};

char Letter(Fault fault) {
  switch (fault) {
    case Fault::kSilence:
      return 'S';
    case Fault::kWrongByte:
      return 'W';
    case Fault::kDroppedByte:
      return 'D';
    case Fault::kUnplug:
      return 'U';
  }
  return '?';
}

enum class Link { kOpen, kClosed, kEither };

// One way a failed run may end. `text` is what g_protocolMessage must
// hold, with "%e" for the link's errorText, "%x" for two hexadecimal
// digits and "%*" for any rest.
struct Ending {
  int codeLow;
  int codeHigh;
  std::string text;
  Link link;
  // The faults that may end so. A wrong or lost byte on its way to the
  // guider may end any of the exchange's ways: the guider may take it for
  // anything.
  std::string faults = "SWDU";
};

Ending Code(int code, std::string text, Link link, std::string faults = "SWDU") {
  return {code, code, std::move(text), link, std::move(faults)};
}
Ending Codes(int low, int high, std::string text, Link link, std::string faults = "SWDU") {
  return {low, high, std::move(text), link, std::move(faults)};
}

// The message formats: a text with the link's error behind it, the link's
// error alone, a text alone, nothing written.
std::string Framed(const std::string& text) { return text + "\n (%e)\n"; }
const std::string kDeviceError = "FT232 error\n (%e)\n";
std::string Plain(const std::string& text) { return text + "\n"; }
const std::string kUntouched = kEarlierText;

bool Matches(const std::string& pattern, const std::string& text) {
  std::size_t t = 0;
  for (std::size_t p = 0; p < pattern.size(); ++p) {
    if (pattern[p] == '%' && p + 1 < pattern.size()) {
      const char kind = pattern[++p];
      if (kind == '*') return true;
      if (kind == 'e') {
        const std::string error = g_device.errorText;
        if (text.compare(t, error.size(), error) != 0) return false;
        t += error.size();
        continue;
      }
      if (kind == 'x') {
        for (int i = 0; i < 2; ++i, ++t) {
          if (t >= text.size() || !std::isxdigit(static_cast<unsigned char>(text[t]))) return false;
        }
        continue;
      }
    }
    if (t >= text.size() || text[t] != pattern[p]) return false;
    ++t;
  }
  return t == text.size();
}

class FaultSweepTest;

struct Exchange {
  // Exchanges of one family are swept by one test, so that the families
  // can run side by side.
  const char* family;
  const char* name;
  ControllerMode startMode;
  // Brings the guider to the exchange; false when that failed.
  std::function<bool(FaultSweepTest&)> prepare;
  std::function<int(FaultSweepTest&)> run;
  std::function<bool(int code)> succeeded;
  // Bytes a clean run puts on the line, both ways.
  std::size_t lineBytes;
  std::int64_t boundMs;
  std::vector<Ending> endings;
  // What must hold after any run, whatever it ended with; empty when all
  // is well. May also bring the guider back for a second attempt.
  std::function<std::string(FaultSweepTest&, Fault, int code)> afterwards = nullptr;
  // Faults after which success is also right, beyond the rule above.
  std::string mayPass = "";
  // Positions of answer bytes that the host throws away unread.
  std::vector<std::size_t> unread = {};
  // For an exchange too long to sweep whole: the positions to sweep and the
  // unread answer bytes, found in the clean run's trace.
  std::function<std::vector<std::size_t>(const std::vector<LineTraceEntry>&)> sample = nullptr;
  std::function<std::vector<std::size_t>(const std::vector<LineTraceEntry>&)> unreadIn = nullptr;
};

bool IsZero(int code) { return code == 0; }

// ---- What each kind of exchange may end with: code, text, link ----

std::vector<Ending> Join(std::initializer_list<std::vector<Ending>> lists) {
  std::vector<Ending> all;
  for (const auto& list : lists) all.insert(all.end(), list.begin(), list.end());
  return all;
}

// Any handshake that finds, switches or re-enters a mode.
const std::vector<Ending> kHandshakeEndings = {
    Code(-1, kDeviceError, Link::kClosed),
    Code(-1, Framed("Can't open connection to FT232 device\n"), Link::kClosed, "U"),
    Code(1, Framed("device does not respond...\n"), Link::kClosed),
    Code(-1, Framed("can't enter boot mode from normal - device may be in invalid state"),
         Link::kClosed),
    Code(-1, Framed("can't switch to normal mode (2nd try)"), Link::kClosed, "WD"),
};

const std::vector<Ending> kEnterFsEndings = {
    Code(1,
         Framed("FS mode: unsupported command (no ACK received)\nThe firmware may not support File "
                "System handling...\n"),
         Link::kClosed),
    Code(1, Framed("FS mode: invalid answer byte\n"), Link::kClosed, "WD"),
    Code(1, "FS mode: communication error: %e\n", Link::kClosed),
    Code(1,
         Framed("Can't enter into FileSystem mode...\nThe device may be in some exclusive mode "
                "(screen).\nGo to main menu or power off, then start the device and try again!\n"),
         Link::kClosed, "WD"),
};

const std::vector<Ending> kLeaveFsEndings = {
    Code(1, Framed("FS mode: communication error\n"), Link::kClosed, "U"),
    Code(1, Framed("FS mode: unsupported command (no ACK received)\n"), Link::kClosed),
    Code(1, Framed("FS mode: communication error:\n"), Link::kClosed),
    Code(1, Framed("FS mode: invalid answer byte\n"), Link::kClosed, "WD"),
};

// After a firmware image the guider must come back in update mode.
const std::vector<Ending> kReentryEndings = {
    Code(-1, "can't re-enter update mode after the upload (code %*", Link::kClosed),
};

// The camera requests other than entering and leaving compose no text and
// leave the link as it is.
const std::vector<Ending> kCameraLinkEndings = {
    Code(-1, kUntouched, Link::kOpen),
    Code(-2, kUntouched, Link::kOpen),
};

// ---- The guider's stored data that exchanges work on ----

constexpr std::uint32_t kFileId = 0x00002a;
constexpr int kFilePages = 2;

Bytes Image(std::size_t size, std::uint32_t seed) { return PseudoRandomImage(size, seed); }

// A camera image without 0x55, so that the stream carries no escapes.
Bytes CameraImage() {
  Bytes image = Image(40, 18);
  for (std::uint8_t& byte : image) byte = byte == 0x55 ? 0x56 : byte;
  return image;
}

HotPixelMapRecord MapsOf(std::uint8_t seed, int count1x1, int count2x2) {
  HotPixelMapRecord record{};
  record.marker = kMapsValid;
  record.count1x1 = static_cast<std::uint8_t>(count1x1);
  record.count2x2 = static_cast<std::uint8_t>(count2x2);
  for (int i = 0; i < count1x1; ++i) {
    record.entries1x1[i] = {static_cast<std::uint16_t>(seed + 10 * i),
                            static_cast<std::uint16_t>(7 + i), static_cast<std::uint8_t>(i & 0x0F)};
  }
  for (int i = 0; i < count2x2; ++i) {
    record.entries2x2[i] = {static_cast<std::uint16_t>(seed + 3 * i),
                            static_cast<std::uint16_t>(5 + i), 0x0F};
  }
  return record;
}

// The camera's memory image of a record: marker, count and 1x1 table from
// 0, count and 2x2 table from 256.
std::array<std::uint8_t, sim::kCameraMemoryBytes> MemoryOf(const HotPixelMapRecord& record) {
  std::array<std::uint8_t, sim::kCameraMemoryBytes> memory{};
  memory.fill(0xFF);
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(&record);
  std::copy(bytes, bytes + 2 + 5 * record.count1x1, memory.begin());
  std::copy(bytes + 252, bytes + 253 + 5 * record.count2x2, memory.begin() + 256);
  return memory;
}

bool SameTables(const std::array<std::uint8_t, sim::kCameraMemoryBytes>& memory,
                const HotPixelMapRecord& record) {
  const auto want = MemoryOf(record);
  const auto same = [&](int from, int count) {
    return std::equal(memory.begin() + from, memory.begin() + from + count, want.begin() + from);
  };
  return same(0, 2 + 5 * record.count1x1) && same(256, 1 + 5 * record.count2x2);
}

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// What a clean download leaves in the file's folder, by file name.
using FolderImage = std::map<std::string, std::string>;

FolderImage Snapshot(const std::filesystem::path& folder) {
  FolderImage image;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
    image[entry.path().filename().string()] = ReadFile(entry.path());
  }
  return image;
}

void Restore(const std::filesystem::path& folder, const FolderImage& image) {
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder);
  for (const auto& [name, bytes] : image) {
    std::ofstream(folder / name, std::ios::binary) << bytes;
  }
}

// Counts what the window would be told and does nothing else.
class QuietHost final : public DownloadRunHost {
 public:
  void SetStatusText(const std::string&) override {}
  void PumpMessages() override {}
  void ShowMessage(const std::string&, const std::string&, RunIcon) override {}
  void SetBusy(bool) override {}
  void SetProgress(const RunProgress&) override {}
  bool CancelRequested() override { return false; }
  void RestoreDownloadMode() override {}
  int ListDirectory() override { return 0; }
};

// ---- The dark-frame run: what a run told and handed back ----

// Notes the run's failure messages; never cancels.
class DarkSweepHost final : public DarkRunHost {
 public:
  void ShowProgress(const std::string&, int, int) override {}
  bool CancelRequested() override { return false; }
  void ShowMessage(const std::string& text, const std::string& caption) override {
    messages.push_back(caption + "|" + text);
  }
  std::vector<std::string> messages;
};

struct DarkSweep {
  DarkSweepHost host;
  bool ran = false;
  DarkRunResult result;
  // The master dark of the clean run.
  Bytes cleanMaster;
};

// ---- end of the dark-frame run's helpers ----

// A folder of its own for each exchange, in memory where there is one.
struct Scratch {
  Scratch() {
    const std::filesystem::path shm = "/dev/shm";
    std::error_code error;
    const std::filesystem::path base =
        std::filesystem::is_directory(shm, error) ? shm : std::filesystem::temp_directory_path();
    std::string pattern = (base / "ktal-sweep-XXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr) path = pattern;
    std::filesystem::current_path(path, error);
  }
  ~Scratch() {
    std::error_code error;
    std::filesystem::current_path(old, error);
    std::filesystem::remove_all(path, error);
  }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;

  std::filesystem::path old = std::filesystem::current_path();
  std::filesystem::path path;
};

// ---- The fixture ----

class FaultSweepTest : public GuiderRigTest {
 protected:
  // Runs every exchange of the family clean, then with every fault at
  // every byte.
  void Sweep(const std::string& family);

  void TearDown() override {
    SetCameraTraceHook(nullptr);
    GuiderRigTest::TearDown();
    for (DirectoryEntry& entry : g_fileTable) entry = DirectoryEntry{};
  }

 public:
  sim::SimFtdiDriver& driver() { return dynamic_cast<sim::SimFtdiDriver&>(rig_->driver()); }
  sim::UpdateModeState& update() { return features().update; }
  sim::CameraState& camera() { return features().camera; }

  // Lets the guider drop what it was left with half-received, plugs the
  // cable back in and clears every fault, for a second attempt.
  void Recover() {
    guider().ClearFaults();
    driver().ClearFaults();
    if (driver().unplugged(0)) {
      g_device.Close();
      driver().Replug(0);
    }
    g_device.Close();
    clock().AdvanceBy(guider().config().requestIdleMicros + 1);
  }

  bool InNormalMode() { return EnterDeviceMode(kNormalMode) == 0; }
  bool InFileSystemMode() { return InNormalMode() && EnterFileSystemMode() == 0; }
  bool InUpdateMode() { return EnterDeviceMode(kUpdateMode) == 0; }
  bool InCameraMode(bool cameraOn) {
    if (!InFileSystemMode() || EnterCameraMode() != 0) return false;
    camera().state = cameraOn ? 1 : 0;
    return true;
  }
  bool Polling() {
    if (!InNormalMode()) return false;
    ConfigureScreenPollLink(g_device);
    return true;
  }

  // ---- The download ----

  // Stores the file in the guider and lists it, as Refresh would.
  void StoreFile() {
    SessionOptions options;
    options.seed = 3;
    options.exposures = 2;
    LogWriter writer;
    WriteSession(options, writer);
    std::vector<DataPage> pages = writer.Pages(kFileId);
    pages.resize(kFilePages);
    DataPage& last = pages.back();
    last.next_page = static_cast<std::uint16_t>(kEofPageFlag | 200);
    last.data_size = 200;
    DirectoryEntry entry;
    entry.created_date = PackDate(2026, 12, 1);
    entry.created_time = PackTime(21, 5);
    entryIndex_ = features().flash.AddFile(pages, kFileId, entry);
    for (int i = 0; i < kDirectoryEntries; ++i) g_fileTable[i] = features().flash.entry(i);
  }
  static RunRequest DownloadRequest() {
    RunRequest request;
    request.outputRoot = g_startupDirectory;
    return request;
  }
  // The folder as a clean download left it, put back before every run.
  void BeginDownloads() {
    StartRig();
    StoreFile();
    if (!InFileSystemMode()) return;
    FileOutcome outcome;
    outcome.fileId = kFileId;
    RunProgress progress;
    DownloadEntry(static_cast<unsigned>(entryIndex_), DownloadRequest(), host_, outcome, progress);
    earlierOutputs_ = Snapshot(OutputFolder(g_startupDirectory, kFileId));
  }
  bool ReadyToDownload() {
    StoreFile();
    Restore(OutputFolder(g_startupDirectory, kFileId), earlierOutputs_);
    return InFileSystemMode();
  }
  int Download() {
    outcome_ = FileOutcome{};
    outcome_.fileId = kFileId;
    RunProgress progress;
    DownloadEntry(static_cast<unsigned>(entryIndex_), DownloadRequest(), host_, outcome_, progress);
    using R = FileOutcome::Result;
    if (outcome_.linkLost || outcome_.result == R::kLinkLost) return 2;
    if (outcome_.result != R::kProcessed && outcome_.result != R::kProcessFailed) return 3;
    const bool whole =
        outcome_.walkFault.empty() && outcome_.markResult == 0 && outcome_.processResult == 0;
    return whole ? 0 : 1;
  }
  // The raw copy of the earlier download is still there (under its name or
  // as a backup), whatever is under the main name is a whole raw file, no
  // temporary file is left behind, and the earlier outputs are only
  // replaced by processing a copy that was written.
  std::string DownloadLeftFilesWhole(int code) {
    const std::filesystem::path folder = OutputFolder(g_startupDirectory, kFileId);
    const FolderImage now = Snapshot(folder);
    const std::string rawName = GuiderFileName(kFileId) + ".dat";
    const std::string& earlierRaw = earlierOutputs_.at(rawName);
    const bool kept = std::any_of(now.begin(), now.end(), [&](const auto& file) {
      return file.first.rfind(rawName, 0) == 0 && file.second == earlierRaw;
    });
    if (!kept) return "the earlier raw copy is gone";
    const auto raw = now.find(rawName);
    if (raw == now.end()) return "no raw copy under its name";
    const std::size_t size = raw->second.size();
    if (size < kRawHeaderSize + kDirectoryEntrySize ||
        (size - kRawHeaderSize - kDirectoryEntrySize) % kDataPageSize != 0) {
      return "the raw copy is cut inside a page (" + std::to_string(size) + " bytes)";
    }
    for (const auto& file : now) {
      if (file.first.find(".tmp") != std::string::npos) return "temporary file left: " + file.first;
    }
    if (code == 2) {
      for (const auto& [name, bytes] : earlierOutputs_) {
        if (name == rawName) continue;
        const auto it = now.find(name);
        if (it == now.end() || it->second != bytes)
          return "earlier output changed unprocessed: " + name;
      }
    }
    return {};
  }

  // ---- Firmware: a failed update can always be done again ----

  std::string UploadsAgain(const std::function<int()>& upload, const Bytes& image,
                           const Bytes& (*stored)(sim::UpdateModeState&)) {
    Recover();
    if (EnterDeviceMode(kUpdateMode) != 0) {
      return std::string("update mode cannot be entered again: ") + g_protocolMessage;
    }
    if (const int code = upload(); code != 0) {
      return "the second attempt failed with " + std::to_string(code) + ": " + g_protocolMessage;
    }
    if (stored(update()) != image) return "the second attempt did not store the image";
    return {};
  }

  QuietHost host_;
  FolderImage earlierOutputs_;
  FileOutcome outcome_;
  int entryIndex_ = 0;
  VariableSet variables_;
  HotPixelMapRecord maps_{};
  std::uint16_t version_ = 0;
  std::uint8_t band_[kBandBytes] = {};
  UpdateModeVersions versions_;
  DarkSweep dark_;
};

using Self = FaultSweepTest;

const Bytes kHcImage = Image(40, 17);
const Bytes kCamImage = CameraImage();
const Bytes kCcdbImage = Image(sim::kCcdBoardImageBytes, 19);
const HotPixelMapRecord kOldMaps = MapsOf(40, 3, 2);
const HotPixelMapRecord kNewMaps = MapsOf(90, 4, 3);

ExposureRequest SmallFrame() {
  // Just over one block, so that the sweep crosses a block boundary.
  ExposureRequest request = DarkFrameRequest();
  request.width = 64;
  request.height = 64;
  request.exposureTicks = 1000;
  return request;
}

// ---- The dark-frame run ----
//
// The whole run as the camera window makes it, from normal mode: camera
// mode entered; the run of two frames (the camera's state, its start and
// parameters, two exposures with their frames downloaded at 2,000,000
// baud, the camera's maps read back); camera mode left. Of its 875,737
// line bytes, 875,328 are frame data (two frames of 437,664). Every other
// byte is swept: the mode changes, the camera's commands and answers, each
// frame's request and its echo, and all 111 block requests of each frame.
// Of the frame data the sweep takes 447 bytes a frame (see
// DarkRunPositions), 1,303 positions in all: a byte in the middle of a
// block fails the same way as its neighbours, and sweeping each of them
// would take hours.

constexpr int kDarkSweepFrames = 2;
// The run's own endings, beside those of entering camera mode.
constexpr int kDarkRunFailed = 200;
constexpr int kDarkMapsUnread = 300;
// A failed leave of camera mode: this plus LeaveCameraMode's code.
constexpr int kDarkLeaveFailed = 1000;
// The run's failure messages.
const std::vector<std::string> kDarkRunMessages = {
    "ERROR|Camera querying failed...", "ERROR|Camera start failed...",
    "ERROR|Failed to set camera parameters", "ERROR|Failed to do an exposure"};

// The data of a frame: what the guider sends at the download speed.
bool IsFrameData(const LineTraceEntry& e) {
  return e.direction == LineDirection::kGuiderToHost && e.baud == sim::kDownloadBaud;
}

// Every byte but frame data; and of each frame's data, counted from its
// first byte (d), the first and the last USB packet (62 data bytes each),
// the first and last byte of each block of 3968 (one USB transfer), and
// every 4096th byte, which falls 128 bytes further into each block.
std::vector<std::size_t> DarkRunPositions(const std::vector<LineTraceEntry>& trace) {
  constexpr std::size_t kPacketData = 62;
  constexpr std::size_t kBlock = sim::kDownloadBlockBytes;
  constexpr std::size_t kStride = 4096;
  std::vector<std::size_t> positions;
  std::size_t at = 0;
  while (at < trace.size()) {
    if (trace[at].baud != sim::kDownloadBaud) {
      positions.push_back(at++);
      continue;
    }
    // One frame: the block requests and the data, all at the download speed.
    std::size_t end = at;
    std::size_t frameBytes = 0;
    for (; end < trace.size() && trace[end].baud == sim::kDownloadBaud; ++end) {
      frameBytes += IsFrameData(trace[end]) ? 1 : 0;
    }
    for (std::size_t d = 0; at < end; ++at) {
      if (!IsFrameData(trace[at])) {
        positions.push_back(at);
        continue;
      }
      if (d < kPacketData || d + kPacketData >= frameBytes || d % kBlock == 0 ||
          d % kBlock == kBlock - 1 || d % kStride == 0) {
        positions.push_back(at);
      }
      ++d;
    }
  }
  return positions;
}

// The echo of each frame's download request, which the host throws away
// with its receive queue as it raises the speed: the last answer byte
// before the frame's data.
std::vector<std::size_t> DarkRunUnread(const std::vector<LineTraceEntry>& trace) {
  std::vector<std::size_t> unread;
  std::size_t lastAnswer = trace.size();
  for (std::size_t i = 0; i < trace.size(); ++i) {
    if (IsFrameData(trace[i])) {
      if (lastAnswer < trace.size()) unread.push_back(lastAnswer);
      lastAnswer = trace.size();
    } else if (trace[i].direction == LineDirection::kGuiderToHost) {
      lastAnswer = i;
    }
  }
  return unread;
}

// The sanitized and the emulated builds run ten to fifty times slower: they
// sweep every KTAL_SWEEP_EVERY-th position (and the last), which still puts
// each fault into every phase of every exchange; the plain build sweeps all.
#ifndef KTAL_SWEEP_EVERY
#define KTAL_SWEEP_EVERY 1
#endif
std::vector<std::size_t> Thinned(std::vector<std::size_t> positions) {
  constexpr std::size_t kEvery = KTAL_SWEEP_EVERY;
  if (kEvery <= 1 || positions.empty()) return positions;
  std::vector<std::size_t> kept;
  for (std::size_t i = 0; i < positions.size(); ++i) {
    if (i % kEvery == 0 || i + 1 == positions.size()) kept.push_back(positions[i]);
  }
  return kept;
}

std::vector<Ending> Shifted(const std::vector<Ending>& endings, int by) {
  std::vector<Ending> shifted = endings;
  for (Ending& e : shifted) {
    e.codeLow += by;
    e.codeHigh += by;
  }
  return shifted;
}

int TakeDark(Self& s) {
  DarkSweep& dark = s.dark_;
  dark.host.messages.clear();
  dark.ran = false;
  dark.result = DarkRunResult{};
  const int entered = EnterCameraMode();
  if (entered != 0) return entered;
  std::optional<DarkFrameRun> run = DarkFrameRun::Prepare({kDarkSweepFrames});
  if (!run) return kDarkRunFailed;
  dark.result = run->Run(dark.host);
  dark.ran = true;
  // The window leaves camera mode as it closes, after any run.
  const int left = g_device.IsOpen() ? LeaveCameraMode() : kCameraLinkFailure;
  if (dark.result.end != DarkRunEnd::kBuilt) return kDarkRunFailed;
  // Built, but the comparison with the camera's maps cannot be made.
  if (!dark.result.storedKnown) return kDarkMapsUnread;
  return left == 0 ? 0 : kDarkLeaveFailed + left;
}

// The camera's maps are only read, a failed run hands back no master and
// says why, a built one hands back the stack of two whole frames.
std::string DarkRunLeftAllWhole(Self& s, Fault fault) {
  const DarkSweep& dark = s.dark_;
  if (s.camera().memory != MemoryOf(kOldMaps)) return "the run changed the camera's memory";
  if (s.driver().chip(0).line.baud == sim::kDownloadBaud && g_device.IsOpen()) {
    return "the link was left at the download speed";
  }
  if (!dark.ran) return {};
  const DarkRunResult& result = dark.result;
  if (result.end != DarkRunEnd::kBuilt) {
    if (result.master) return "a failed run handed back a master dark";
    if (dark.host.messages.size() != 1 ||
        std::find(kDarkRunMessages.begin(), kDarkRunMessages.end(), dark.host.messages[0]) ==
            kDarkRunMessages.end()) {
      return "a failed run did not say why once";
    }
    return {};
  }
  if (!dark.host.messages.empty()) return "a built run showed " + dark.host.messages[0];
  if (!result.master || result.framesStacked != kDarkSweepFrames) return "no master of two frames";
  // A byte changed on the line is a changed pixel or map entry; the line
  // carries no checksum to tell.
  if (fault == Fault::kWrongByte) return {};
  if (!std::equal(dark.cleanMaster.begin(), dark.cleanMaster.end(), result.master.get())) {
    return "the master differs from the clean run's";
  }
  if (result.storedKnown && !SameTables(MemoryOf(result.stored), kOldMaps)) {
    return "the maps read back differ from the camera's";
  }
  return {};
}

Exchange DarkRunExchange() {
  return {
      "DarkRun",
      "take a dark of two frames",
      ControllerMode::kNormal,
      [](Self& s) {
        s.camera().memory = MemoryOf(kOldMaps);
        return s.InNormalMode();
      },
      [](Self& s) {
        const int code = TakeDark(s);
        // The clean run's master is the one every other run must match.
        if (s.dark_.cleanMaster.empty() && code == 0) {
          s.dark_.cleanMaster.assign(s.dark_.result.master.get(),
                                     s.dark_.result.master.get() + kFrameBytes);
        }
        return code;
      },
      IsZero,
      6 + 3 + 3 + 30 + kDarkSweepFrames * (7 + 18 + 2 + 7 + 111 + kFrameBytes) +
          (4 * 5 + 4 * 2 + 2 + 15 + 1 + 10) + 21,
      40'000,
      Join({kEnterFsEndings,
            {Code(-1, kDeviceError, Link::kClosed), Code(100, "%*", Link::kEither, "WD"),
             Code(kDarkRunFailed, "%*", Link::kEither), Code(kDarkMapsUnread, "%*", Link::kEither),
             Code(kDarkLeaveFailed - 1, kDeviceError, Link::kClosed, "U")},
            Shifted(kLeaveFsEndings, kDarkLeaveFailed)}),
      [](Self& s, Fault fault, int) { return DarkRunLeftAllWhole(s, fault); },
      "",
      {},
      DarkRunPositions,
      DarkRunUnread};
}

// ---- end of the dark-frame run ----

// ---- The table ----

std::vector<Exchange> Exchanges() {
  const ControllerMode normal = ControllerMode::kNormal;
  const ControllerMode update = ControllerMode::kUpdate;
  const auto none = [](Self&) { return true; };
  return {
      // Handshakes.
      {"Handshakes", "enter normal mode from normal mode", normal, none,
       [](Self&) { return EnterDeviceMode(kNormalMode); }, IsZero, 5, 10'000, kHandshakeEndings},
      {"Handshakes", "enter update mode from normal mode", normal, none,
       [](Self&) { return EnterDeviceMode(kUpdateMode); }, IsZero, 17, 12'000, kHandshakeEndings},
      {"Handshakes", "enter normal mode from the boot loader", ControllerMode::kBootLoader, none,
       [](Self&) { return EnterDeviceMode(kNormalMode); }, IsZero, 11, 12'000, kHandshakeEndings},
      {"Handshakes",
       "probe the mode",
       normal,
       none,
       [](Self&) { return ProbeDeviceMode(); },
       [](int code) { return code >= 1 && code <= 3; },
       5,
       4'000,
       {Code(-1, kDeviceError, Link::kClosed),
        Code(-1, Framed("device does not respond"), Link::kClosed)}},
      {"Handshakes",
       "firmware version query",
       normal,
       [](Self& s) { return s.InNormalMode(); },
       [](Self&) { return QueryFirmwareVersion(0x0204); },
       [](int code) { return code >= 0x0204; },
       4,
       3'000,
       {Code(0, kUntouched, Link::kOpen), Code(1, kUntouched, Link::kOpen, "WD"),
        Code(-1, kDeviceError, Link::kClosed)}},

      // File-system mode.
      {"FileSystemMode", "enter file-system mode", normal, [](Self& s) { return s.InNormalMode(); },
       [](Self&) { return EnterFileSystemMode(); }, IsZero, 4, 3'000, kEnterFsEndings},
      {"FileSystemMode", "leave file-system mode", normal,
       [](Self& s) { return s.InFileSystemMode(); }, [](Self&) { return LeaveFileSystemMode(); },
       IsZero, 20, 6'000, kLeaveFsEndings},
      {"FileSystemMode",
       "read the directory page",
       normal,
       [](Self& s) { return s.InFileSystemMode(); },
       [](Self&) {
         std::uint8_t page[kDataPageSize];
         return ReadPage(kDirectoryPage, page);
       },
       IsZero,
       4 + 528 + 4 + 1,
       2'000,
       {Code(1, kUntouched, Link::kOpen)}},
      {"FileSystemMode",
       "mark a file downloaded",
       normal,
       [](Self& s) { return s.InFileSystemMode(); },
       [](Self&) { return MarkDownloaded(3); },
       IsZero,
       4,
       3'000,
       {Code(1, kUntouched, Link::kOpen)}},
      {"Download",
       "download a file of two pages",
       normal,
       [](Self& s) { return s.ReadyToDownload(); },
       [](Self& s) { return s.Download(); },
       IsZero,
       kFilePages * (4 + 528 + 4 + 1) + 4,
       8'000,
       // 1: the pages read were written and processed (a cut chain stays
       // new in the guider); 2: the link went, the part read was written,
       // not processed.
       {Code(1, kUntouched, Link::kOpen), Code(2, kUntouched, Link::kOpen)},
       [](Self& s, Fault, int code) { return s.DownloadLeftFilesWhole(code); }},

      // Update mode.
      {"UpdateMode",
       "read the versions in update mode",
       update,
       [](Self& s) { return s.InUpdateMode(); },
       [](Self& s) { return ReadUpdateModeVersions(s.versions_); },
       IsZero,
       12,
       8'000,
       {Code(-1, kUntouched, Link::kOpen), Code(1, kUntouched, Link::kOpen)},
       nullptr,
       // A status byte lost makes the next byte the status, which reads as
       // a CRC error or a camera error code: nothing on the line tells the
       // two apart, and no byte follows an error status.
       "D"},
      {"UpdateMode", "upload the hand controller's firmware", update,
       [](Self& s) { return s.InUpdateMode(); },
       [](Self&) { return UploadHC(kHcImage, 0, kHcImage.size(), nullptr); }, IsZero,
       1 + 40 + 2 + 1 + 11, 40'000,
       Join(
           {{Code(3, Framed(" ..failed: too many bytes to receive after ACK"), Link::kClosed, "WD"),
             Code(3, Framed(" ..failed: invalid ACK byte received ($%x)"), Link::kClosed, "WD"),
             Code(4, Framed(" ..failed in Read 'done' byte"), Link::kClosed),
             Code(4, Framed(" ..failed: invalid EOF byte received ($%x)\r\n"), Link::kClosed, "WD"),
             Code(-1, kDeviceError, Link::kClosed)},
            kReentryEndings}),
       [](Self& s, Fault, int) {
         return s.UploadsAgain(
             [] { return UploadHC(kHcImage, 0, kHcImage.size(), nullptr); }, kHcImage,
             [](sim::UpdateModeState& u) -> const Bytes& { return u.handControllerImage; });
       }},
      {"UpdateMode", "upload the camera's firmware", update,
       [](Self& s) { return s.InUpdateMode(); },
       [](Self&) { return UploadCam(kCamImage, 0, kCamImage.size(), nullptr); }, IsZero,
       2 + 40 + 2 + 2 + 1 + 5, 40'000,
       Join(
           {{Code(2, Plain(" ERROR, \"upload fw. cmd\" returned: $%x"), Link::kOpen, "WD"),
             Code(3, Plain(" ..failed: invalid ACK byte received ($%x)\r\n"), Link::kOpen, "WD"),
             Code(4, Plain(" ..failed: invalid ACK byte received ($%x)\r\n"), Link::kOpen, "WD"),
             Code(1, Framed(" ..failed: too many bytes to receive after ACK\r\n"), Link::kClosed,
                  "WD"),
             Code(4, Framed(" ..failed: too many bytes to receive after ACK"), Link::kClosed, "WD"),
             Code(1, Framed(" (eofw) ..failed in Write"), Link::kClosed, "U"),
             Code(4, Framed(" ..failed in Read 'done' byte"), Link::kClosed),
             Code(4, Plain(" ..failed: invalid EOF byte received ($%x)\r\n"), Link::kOpen, "WD"),
             Code(-1, kDeviceError, Link::kClosed)},
            kReentryEndings}),
       [](Self& s, Fault, int) {
         return s.UploadsAgain(
             [] { return UploadCam(kCamImage, 0, kCamImage.size(), nullptr); }, kCamImage,
             [](sim::UpdateModeState& u) -> const Bytes& { return u.cameraImage; });
       }},
      {"UpdateMode", "upload the CCD board's image", update,
       [](Self& s) { return s.InUpdateMode(); },
       [](Self&) { return UploadCCDB(kCcdbImage, 0, kCcdbImage.size(), nullptr); }, IsZero,
       2 + 2049 + 136 + 1 + 5, 40'000,
       Join(
           {{Code(1, Plain(" ! ERROR: can't enter CCDB programming mode: 0x%x\r\n"), Link::kOpen,
                  "WD"),
             Code(2, Plain(" ..failed: invalid ACK byte received ($%x)\r\n"), Link::kOpen, "WD"),
             Code(1, Framed(" ..failed: too many bytes to receive after ACK"), Link::kClosed, "WD"),
             Code(4, Framed(" ..failed in Read 'done' byte"), Link::kClosed),
             Code(4, Plain(" ..failed: invalid DONE byte received ($%x)\r\n"), Link::kOpen, "WD"),
             Code(-1, kDeviceError, Link::kClosed)},
            kReentryEndings}),
       [](Self& s, Fault, int) {
         return s.UploadsAgain(
             [] { return UploadCCDB(kCcdbImage, 0, kCcdbImage.size(), nullptr); }, kCcdbImage,
             [](sim::UpdateModeState& u) -> const Bytes& { return u.ccdBoardImage; });
       }},
      {"UpdateMode",
       "read the EEPROM",
       update,
       [](Self& s) {
         s.variables_.SetDefaults();
         std::fill(s.update().eeprom.begin(), s.update().eeprom.end(), 0x5C);
         return s.InUpdateMode();
       },
       [](Self& s) { return DownloadEEPROM(s.variables_, nullptr); },
       IsZero,
       4 + 2 * 1280 + 1,
       4'000,
       {Code(-1, kDeviceError, Link::kClosed),
        Codes(1, kWrongByteZero, Framed("bad byte read for Read EEPROM cmd: 0x%x\r\n"),
              Link::kClosed, "WD"),
        Codes(1, kWrongByteZero, Framed("bad END byte read: 0x%x\r\n"), Link::kClosed, "WD")},
       [](Self& s, Fault, int code) -> std::string {
         // A failed read leaves the image as it was.
         VariableSet fresh;
         fresh.SetDefaults();
         if (code != 0 && s.variables_.image != fresh.image)
           return "a failed read changed the image";
         return {};
       }},
      {"UpdateMode",
       "write the EEPROM",
       update,
       [](Self& s) {
         s.variables_.SetDefaults();
         s.variables_.SetImageVersion(0x0250);
         return s.InUpdateMode();
       },
       [](Self& s) { return UploadEEPROM(s.variables_, nullptr, true); },
       IsZero,
       6 + 1280 + 160 + 1,
       4'000,
       {Code(-1, kDeviceError, Link::kClosed),
        Codes(1, kWrongByteZero, Framed("bad byte read for Write EEPROM cmd: 0x%x\r\n"),
              Link::kClosed, "WD"),
        Codes(1, kWrongByteZero, Framed("bad byte read as ACK (required 0x11): 0x%x\r\n"),
              Link::kClosed, "WD"),
        Codes(1, kWrongByteZero, Framed("bad END byte read: 0x%x\r\n"), Link::kClosed, "WD")}},

      // Camera mode.
      {"CameraMode", "enter camera mode", normal, [](Self& s) { return s.InNormalMode(); },
       [](Self&) { return EnterCameraMode(); }, IsZero, 6, 12'000,
       Join({kEnterFsEndings,
             {Code(-1, kDeviceError, Link::kClosed),
              // Refused: file-system mode was left again, whatever that gave.
              Code(100, "%*", Link::kEither, "WD")}})},
      {"CameraMode", "leave camera mode", normal, [](Self& s) { return s.InCameraMode(false); },
       [](Self&) { return LeaveCameraMode(); }, IsZero, 21, 6'000,
       Join({kLeaveFsEndings, {Code(-1, kDeviceError, Link::kClosed, "U")}})},
      {"CameraMode", "query the camera's state", normal,
       [](Self& s) { return s.InCameraMode(true); }, [](Self&) { return QueryCameraState(); },
       [](int code) { return code >= 0; }, 3, 3'000, kCameraLinkEndings},
      {"CameraMode", "start the camera", normal, [](Self& s) { return s.InCameraMode(false); },
       [](Self&) { return StartCamera(); }, IsZero, 3, 5'000,
       Join({kCameraLinkEndings, {Codes(1, 255, kUntouched, Link::kOpen, "WD")}})},
      {"CameraMode", "read the hot-pixel maps", normal,
       [](Self& s) {
         s.camera().memory = MemoryOf(kOldMaps);
         return s.InCameraMode(true);
       },
       [](Self& s) { return ReadHotPixelMaps(s.maps_); }, IsZero, 4 * 5 + 4 * 2 + 2 + 15 + 1 + 10,
       8'000, Join({kCameraLinkEndings, {Codes(1, 0xFFFF, kUntouched, Link::kOpen, "WD")}}),
       [](Self& s, Fault, int code) -> std::string {
         if (code != 0 &&
             (s.maps_.marker == kMapsValid || s.maps_.count1x1 != 0 || s.maps_.count2x2 != 0)) {
           return "a failed read left maps in the record";
         }
         return {};
       }},
      {"CameraMode", "store the hot-pixel maps", normal,
       [](Self& s) {
         s.camera().memory = MemoryOf(kOldMaps);
         return s.InCameraMode(true);
       },
       [](Self&) { return StoreHotPixelMaps(kNewMaps); }, IsZero,
       3 * 5 + 3 * 2 + (2 + 5 * 4) + (1 + 5 * 3) + 1, 40'000,
       Join({kCameraLinkEndings, {Codes(1, 0xFFFF, kUntouched, Link::kOpen, "WD")}}),
       [](Self& s, Fault fault, int) -> std::string {
         // A map marked valid is whole: the old one or the new one. A byte
         // changed on its way to the camera is stored as it came.
         const auto& memory = s.camera().memory;
         if (fault == Fault::kWrongByte || memory[0] != kMapsValid) return {};
         if (SameTables(memory, kOldMaps) || SameTables(memory, kNewMaps)) return {};
         return "the camera holds a valid marker over half-written maps";
       }},
      {"CameraMode", "set the camera's parameters", normal,
       [](Self& s) { return s.InCameraMode(true); },
       [](Self&) { return SetCameraParameters(0, 8, 4); }, IsZero, 3 * 7 + 3 + 6, 8'000,
       Join({kCameraLinkEndings,
             {Code(kQueryNotAcknowledged, kUntouched, Link::kOpen),
              Code(kCommandRefused, kUntouched, Link::kOpen, "WD"),
              Code(kQueryReplyShort, kUntouched, Link::kOpen, "SDU")}})},
      {"CameraMode",
       "expose and download a frame of two blocks",
       normal,
       [](Self& s) { return s.InCameraMode(true); },
       [](Self&) { return ExposeAndDownload(SmallFrame()); },
       IsZero,
       7 + 18 + 2 + 7 + 2 + 64 * 64,
       16'000,
       {Code(-1, kUntouched, Link::kEither), Code(kCommandNotAcknowledged, kUntouched, Link::kOpen),
        Code(kCommandRefused, kUntouched, Link::kOpen, "WD"),
        Code(kExposureNotReady, kUntouched, Link::kOpen, "WD"),
        Code(kBlockRequestFailed, kUntouched, Link::kOpen, "U"),
        Code(kBlockShort, kUntouched, Link::kOpen)},
       [](Self& s, Fault, int) -> std::string {
         // The speed is raised only for the frame.
         if (g_device.IsOpen() && !s.driver().unplugged(0) &&
             s.driver().chip(0).line.baud != 250000) {
           return "the link was left at " + std::to_string(s.driver().chip(0).line.baud) + " baud";
         }
         return {};
       },
       "",
       // The echo of the frame request, thrown away with the receive queue
       // when the speed goes up.
       {7 + 18 + 2 + 6}},

      DarkRunExchange(),

      // The virtual user interface.
      {"VirtualUserInterface",
       "read a screen band",
       normal,
       [](Self& s) { return s.Polling(); },
       [](Self& s) { return ReadScreenBand(g_device, 1, s.band_); },
       IsZero,
       6 + 128,
       2'000,
       {Code(kVuiTimedOut, kUntouched, Link::kOpen, "SWD"),
        Code(kVuiWrongEcho, kUntouched, Link::kOpen, "WD"),
        Code(kVuiLinkFailed, kUntouched, Link::kOpen, "U")}},
      {"VirtualUserInterface",
       "read the LEDs",
       normal,
       [](Self& s) { return s.Polling(); },
       [](Self& s) {
         std::uint8_t leds = 0;
         (void)s;
         return ReadLeds(g_device, &leds);
       },
       IsZero,
       5,
       2'000,
       {Code(kVuiTimedOut, kUntouched, Link::kOpen, "SD"),
        Code(kVuiWrongEcho, kUntouched, Link::kOpen, "WD"),
        Code(kVuiNoLedByte, kUntouched, Link::kOpen, "SDU"),
        Code(kVuiLinkFailed, kUntouched, Link::kOpen, "U")}},
      {"VirtualUserInterface",
       "press a key",
       normal,
       [](Self& s) { return s.Polling(); },
       [](Self&) { return SendKey(g_device, kKeyUp); },
       IsZero,
       4,
       2'000,
       {Code(-1, kUntouched, Link::kOpen)}},
      {"VirtualUserInterface",
       "read the firmware version for the keys",
       normal,
       [](Self& s) { return s.Polling(); },
       [](Self& s) { return ReadFirmwareVersion(g_device, &s.version_); },
       IsZero,
       4,
       2'000,
       {Code(-1, kUntouched, Link::kOpen)}},
  };
}

// ---- The firmware update run ----
//
// The whole update as the firmware window runs it, one exchange from the
// handshake to the version readout, with and without the variables carried
// across. Whatever fault hits it, the window must end as the run tells it:
// "Done" only when every image went and the variables were restored and
// verified; a copy of the variables read is whole or was never made; a
// restore that failed is offered again, and the retry (on a guider brought
// back) restores them; and after any failure the whole update can be done
// again.

// How an update run ended, as the sweep counts it.
enum UpdateRunCode : int {
  kRunDone = 0,
  kRunNotConnected = 1,
  kRunVariablesNotRead = 2,
  kRunBackupDeclined = 3,
  kRunUploadFailed = 4,
  kRunNotRestored = 5,
  // Done, after the restore was offered again and retried.
  kRunDoneAfterRetry = 10,
  // Done, but the versions could not be read back.
  kRunDoneVersionsUnread = 11,
  // Done, and the versions read back are not the ones the guider holds: a
  // status byte lost makes the next byte the status, and nothing on the
  // line tells a wrong byte.
  kRunDoneVersionsMisread = 12,
};

int CodeOf(const FirmwareUpdateResult& result) {
  switch (result.end) {
    case FirmwareUpdateEnd::kDone:
      if (!result.versions.ok) return kRunDoneVersionsUnread;
      return result.restoreRetries > 0 ? kRunDoneAfterRetry : kRunDone;
    case FirmwareUpdateEnd::kNotConnected:
      return kRunNotConnected;
    case FirmwareUpdateEnd::kVariablesNotRead:
      return kRunVariablesNotRead;
    case FirmwareUpdateEnd::kBackupDeclined:
      return kRunBackupDeclined;
    case FirmwareUpdateEnd::kUploadFailed:
      return kRunUploadFailed;
    case FirmwareUpdateEnd::kNotRestored:
      return kRunNotRestored;
  }
  return -100;
}

bool IsDone(int code) {
  return code == kRunDone || code == kRunDoneAfterRetry || code == kRunDoneVersionsUnread ||
         code == kRunDoneVersionsMisread;
}

// Answers as a user who wants the update through: a restore offered again
// is retried once, after `beforeRetry` has brought the guider back.
class UpdateRunHost final : public FirmwareUpdateHost {
 public:
  void SetStep(const std::string& text) override { steps.push_back(text); }
  void SetProgress(int) override {}
  void PumpMessages() override {}
  bool Ask(const std::string&, const std::string&, AskButtons buttons) override {
    if (buttons != AskButtons::kRetryCancel) {
      ++otherQuestions;
      return false;
    }
    if (++restoresOffered > 1 || !beforeRetry) return false;
    beforeRetry();
    return true;
  }
  void AddReport(const std::string& line) override { reports.push_back(line); }
  void Clear() {
    steps.clear();
    reports.clear();
    restoresOffered = 0;
    otherQuestions = 0;
  }

  std::function<void()> beforeRetry;
  std::vector<std::string> steps;
  std::vector<std::string> reports;
  int restoresOffered = 0;
  int otherQuestions = 0;
};

const std::uint16_t kNewVersion = 0x0250;

LoadedFirmware UpdateFile() {
  const FirmwareFileLoad load = ParseFirmwareFile(
      BuildFirmwareFile(FirmwareImage{kNewVersion, kHcImage}, FirmwareImage{0x0131, kCamImage},
                        FirmwareImage{0x0102, kCcdbImage}));
  return load.firmware;
}

std::vector<std::filesystem::path> FilesIn(const std::filesystem::path& folder) {
  std::vector<std::filesystem::path> found;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
    found.push_back(entry.path());
  }
  return found;
}

void RemoveBackups(const std::filesystem::path& folder) {
  for (const std::filesystem::path& file : FilesIn(folder)) std::filesystem::remove(file);
}

// One exchange's update: its request, and what the last run left.
struct UpdateRun {
  FirmwareUpdateRequest request;
  Bytes guiderBefore = testing::Layout202Variables();
  UpdateRunHost host;
  FirmwareUpdateResult result;
  std::string versionsHeld;

  bool Prepare(Self& s) {
    request.backupFolder = g_startupDirectory;
    RemoveBackups(request.backupFolder);
    std::copy(guiderBefore.begin(), guiderBefore.end(), s.update().eeprom.begin());
    s.update().firmwareVersionAfterUpload = kNewVersion;
    return true;
  }
  int Run(Self& s) {
    host.Clear();
    host.beforeRetry = [&s] { s.Recover(); };
    result = RunFirmwareUpdate(request, host);
    const int code = CodeOf(result);
    if (code != kRunDone) return code;
    // The clean run comes first and reads what the guider holds.
    if (versionsHeld.empty()) versionsHeld = result.versions.text;
    return result.versions.text == versionsHeld ? code : kRunDoneVersionsMisread;
  }
  bool CarriesVariables() const { return request.handController && !request.defaultVariables; }

  // What the window was told, what lies in the folder and in the guider.
  std::string Check(Self& s, Fault fault, int code) const {
    const bool done = IsDone(code);
    const auto doneStep = std::find(host.steps.begin(), host.steps.end(), "Done");
    if (done != (doneStep != host.steps.end())) return done ? "no \"Done\"" : "\"Done\" shown";
    if (done && doneStep + 1 != host.steps.end()) return "a step after \"Done\"";
    if (!done && code != kRunNotRestored &&
        (result.failureText.empty() || result.protocolMessage.empty())) {
      return "a failure without its text and reason";
    }
    if (code == kRunNotRestored) {
      return host.restoresOffered == 0 ? "a failed restore was not offered again"
                                       : "the retried restore failed on a guider brought back";
    }
    if (code == kRunBackupDeclined || host.otherQuestions != 0) return "the backup was asked about";
    if (host.restoresOffered != result.restoreRetries) return "a restore retried unasked";

    // The copy of the variables read: made exactly when they were read, and
    // whole. A byte the host sends may be taken wrongly without a trace, so
    // only silence and an unplug promise the guider's very bytes.
    const bool read =
        CarriesVariables() && code != kRunNotConnected && code != kRunVariablesNotRead;
    const std::vector<std::filesystem::path> files = FilesIn(request.backupFolder);
    if (files.size() != (read ? 1u : 0u)) {
      return std::to_string(files.size()) + " files in the backup folder";
    }
    Bytes saved;
    if (read) {
      if (files[0] != result.backup.path) return "the copy is not where the run says";
      const std::string bytes = ReadFile(files[0]);
      saved.assign(bytes.begin(), bytes.end());
      if (saved.size() != kEepromTransferSize) return "the copy is not whole";
      if ((fault == Fault::kSilence || fault == Fault::kUnplug) && saved != guiderBefore) {
        return "the copy is not what the guider held";
      }
    }

    // The guider's variables: restored and verified, or as they were.
    const bool verified = std::find(host.reports.begin(), host.reports.end(),
                                    DescribeReadBack({})) != host.reports.end();
    if (done && request.handController && !verified) return "done without the variables verified";
    const Bytes eeprom(s.update().eeprom.begin(), s.update().eeprom.end());
    const Bytes carried =
        testing::CarriedTo(kNewVersion, read ? std::optional<Bytes>(saved) : std::nullopt);
    if (verified && eeprom != carried) return "the variables verified are not the ones carried";
    if (!verified && eeprom != guiderBefore) return "the variables changed unrestored";

    if (done && (fault == Fault::kSilence || fault == Fault::kUnplug)) {
      const sim::UpdateModeState& u = s.update();
      if (u.handControllerImage != kHcImage ||
          (request.camera && (u.cameraImage != kCamImage || u.ccdBoardImage != kCcdbImage))) {
        return "done without the images in place";
      }
    }
    if (done) return {};
    return UpdatesAgain(s);
  }

  // After a failure: the guider brought back, the whole update again.
  std::string UpdatesAgain(Self& s) const {
    s.Recover();
    RemoveBackups(request.backupFolder);
    const Bytes before(s.update().eeprom.begin(), s.update().eeprom.end());
    UpdateRunHost again;
    const FirmwareUpdateResult second = RunFirmwareUpdate(request, again);
    if (CodeOf(second) != kRunDone) {
      return "the second update ended with " + std::to_string(CodeOf(second)) + ": " +
             second.failureText + " (" + second.protocolMessage + ")";
    }
    const sim::UpdateModeState& u = s.update();
    if (u.handControllerImage != kHcImage ||
        (request.camera && (u.cameraImage != kCamImage || u.ccdBoardImage != kCcdbImage))) {
      return "the second update did not store the images";
    }
    const Bytes eeprom(u.eeprom.begin(), u.eeprom.end());
    if (eeprom != testing::CarriedTo(kNewVersion, CarriesVariables() ? std::optional<Bytes>(before)
                                                                     : std::nullopt)) {
      return "the second update did not carry the variables";
    }
    return {};
  }
};

// Bytes on the line of each step of an update, both ways.
constexpr std::size_t kEnterUpdateModeBytes = 17;
constexpr std::size_t kReadEepromBytes = 4 + 2 * 1280 + 1;
constexpr std::size_t kWriteEepromBytes = 6 + 1280 + 160 + 1;
constexpr std::size_t kHcUploadBytes = 1 + 40 + 2 + 1 + 11;
constexpr std::size_t kCamUploadBytes = 2 + 40 + 2 + 2 + 1 + 5;
constexpr std::size_t kCcdbUploadBytes = 2 + 2049 + 136 + 1 + 5;
// The probe that finds the guider in update mode, then the readout.
constexpr std::size_t kVersionCheckBytes = 5 + 12;

std::vector<Exchange> FirmwareUpdateRuns() {
  // The endings of the steps, as their own exchanges may end.
  const std::vector<Exchange> steps = Exchanges();
  const auto endingsOf = [&](int code, std::initializer_list<const char*> names) {
    std::vector<Ending> endings;
    for (const char* name : names) {
      const auto step = std::find_if(steps.begin(), steps.end(), [&](const Exchange& e) {
        return e.name == std::string(name);
      });
      if (step == steps.end()) {
        ADD_FAILURE() << "no exchange \"" << name << "\"";
        continue;
      }
      for (Ending ending : step->endings) {
        ending.codeLow = ending.codeHigh = code;
        endings.push_back(ending);
      }
    }
    return endings;
  };
  const std::vector<Ending> endings = Join({
      endingsOf(kRunNotConnected, {"enter update mode from normal mode"}),
      endingsOf(kRunVariablesNotRead, {"read the EEPROM"}),
      endingsOf(kRunUploadFailed, {"upload the hand controller's firmware",
                                   "upload the camera's firmware", "upload the CCD board's image"}),
      // DisconnectDevice empties the message.
      {Code(kRunDoneAfterRetry, "", Link::kClosed), Code(kRunDoneVersionsUnread, "", Link::kClosed),
       Code(kRunDoneVersionsMisread, "", Link::kClosed, "WD")},
  });

  auto carried = std::make_shared<UpdateRun>();
  carried->request.firmware = UpdateFile();
  auto defaults = std::make_shared<UpdateRun>();
  defaults->request.firmware = UpdateFile();
  defaults->request.defaultVariables = true;
  defaults->request.camera = false;

  const auto exchange = [&](const char* name, std::shared_ptr<UpdateRun> run,
                            std::size_t lineBytes) {
    return Exchange{"FirmwareUpdate",
                    name,
                    ControllerMode::kNormal,
                    [run](Self& s) { return run->Prepare(s); },
                    [run](Self& s) { return run->Run(s); },
                    [](int code) { return code == kRunDone; },
                    lineBytes,
                    30'000,
                    endings,
                    [run](Self& s, Fault fault, int code) { return run->Check(s, fault, code); }};
  };
  return {
      exchange("update with the variables carried across", carried,
               kEnterUpdateModeBytes + kReadEepromBytes + kHcUploadBytes + kWriteEepromBytes +
                   kReadEepromBytes + kCamUploadBytes + kCcdbUploadBytes + kVersionCheckBytes),
      exchange("update with default variables, hand controller only", defaults,
               kEnterUpdateModeBytes + kHcUploadBytes + kWriteEepromBytes + kReadEepromBytes +
                   kVersionCheckBytes),
  };
}

bool IsAnswer(const LineTraceEntry& e) {
  return e.direction == LineDirection::kGuiderToHost && e.fate == LineFate::kDelivered;
}

// The last byte of the guider's that the host reads in a clean run, or
// the trace's size when there is none: silence after it costs nothing.
std::size_t LastAnswerRead(const std::vector<LineTraceEntry>& trace,
                           const std::vector<std::size_t>& unread) {
  for (std::size_t i = trace.size(); i-- > 0;) {
    if (IsAnswer(trace[i]) && std::find(unread.begin(), unread.end(), i) == unread.end()) return i;
  }
  return trace.size();
}

struct Totals {
  int exchanges = 0;
  std::size_t lineBytes = 0;
  std::size_t positions = 0;
  std::size_t runs = 0;
  std::map<char, std::size_t> byFault;
  std::map<std::string, std::size_t> byEnding;
};

void FaultSweepTest::Sweep(const std::string& family) {
  const auto started = std::chrono::steady_clock::now();
  Totals totals;
  std::vector<Exchange> exchanges = Exchanges();
  for (Exchange& run : FirmwareUpdateRuns()) exchanges.push_back(std::move(run));
  for (const Exchange& exchange : exchanges) {
    if (exchange.family != family) continue;
    SCOPED_TRACE(exchange.name);
    ++totals.exchanges;
    sim::HandControllerConfig config;
    config.startMode = exchange.startMode;
    // The raw copy is synced before it takes its name: on a memory file
    // system that costs nothing, and the sweep writes thousands of copies.
    const Scratch folder;
    g_startupDirectory = folder.path;
    if (family == "Download") BeginDownloads();

    // Starts a guider and brings it to the exchange; the traces then hold
    // the exchange alone.
    const auto begin = [&] {
      StartRig(config);
      const bool ready = exchange.prepare(*this);
      ClearTraces();
      driver().clear_calls();
      return ready;
    };

    // The clean run: its trace gives the positions.
    ASSERT_TRUE(begin()) << g_protocolMessage;
    const std::int64_t cleanStart = clock().NowMicros();
    const int cleanCode = exchange.run(*this);
    ASSERT_TRUE(exchange.succeeded(cleanCode)) << cleanCode << ": " << g_protocolMessage;
    EXPECT_LE(clock().NowMicros() - cleanStart, exchange.boundMs * 1000);
    const std::vector<LineTraceEntry> trace = guider().line_trace();
    ASSERT_EQ(trace.size(), exchange.lineBytes) << sim::FormatLineTrace(trace);
    const std::vector<std::size_t> unread =
        exchange.unreadIn ? exchange.unreadIn(trace) : exchange.unread;
    ASSERT_EQ(driver().ReadBytes().size() + unread.size(),
              static_cast<std::size_t>(std::count_if(trace.begin(), trace.end(), IsAnswer)))
        << "answer bytes the host does not read";
    if (exchange.afterwards) {
      EXPECT_EQ(exchange.afterwards(*this, Fault::kSilence, cleanCode), "");
    }
    std::vector<std::size_t> positions;
    if (exchange.sample) {
      positions = exchange.sample(trace);
    } else {
      for (std::size_t at = 0; at < trace.size(); ++at) positions.push_back(at);
    }
    positions = Thinned(std::move(positions));
    const std::size_t lastAnswerRead = LastAnswerRead(trace, unread);
    totals.lineBytes += trace.size();
    totals.positions += positions.size();

    int reported = 0;
    const auto report = [&](std::size_t at, Fault fault, const std::string& what) {
      ADD_FAILURE() << Letter(fault) << " at byte " << at << " ("
                    << sim::FormatLineTrace({trace[at]}) << "): " << what;
      return ++reported < 8;
    };

    // The counts of the guider's own counters up to the byte swept.
    std::size_t counted = 0;
    std::size_t sentBefore = 0;
    std::size_t receivedBefore = 0;
    for (const std::size_t at : positions) {
      const LineTraceEntry& byte = trace[at];
      const bool fromGuider = byte.direction == LineDirection::kGuiderToHost;
      const bool delivered = byte.fate == LineFate::kDelivered;
      const bool unreadByte = std::find(unread.begin(), unread.end(), at) != unread.end();
      for (; counted < at; ++counted) {
        if (trace[counted].direction == LineDirection::kGuiderToHost) {
          ++sentBefore;
        } else if (trace[counted].fate == LineFate::kDelivered) {
          ++receivedBefore;
        }
      }
      for (const Fault fault : kFaults) {
        const bool onAByte = fault == Fault::kWrongByte || fault == Fault::kDroppedByte;
        if (onAByte && !delivered) continue;
        if (!begin()) {
          if (!report(at, fault, "the guider could not be brought to the exchange")) return;
          continue;
        }
        driver().set_tracing(false);
        guider().set_tracing(false);
        switch (fault) {
          case Fault::kSilence:
            guider().SilenceFromSentByte(sentBefore + 1);
            break;
          case Fault::kWrongByte:
            if (fromGuider) {
              guider().ReplaceSentByte(sentBefore + 1, static_cast<std::uint8_t>(~byte.byte));
            } else {
              guider().ReplaceReceivedByte(receivedBefore + 1,
                                           static_cast<std::uint8_t>(~byte.byte));
            }
            break;
          case Fault::kDroppedByte:
            if (fromGuider) {
              guider().DropSentByte(sentBefore + 1);
            } else {
              guider().DropReceivedByte(receivedBefore + 1);
            }
            break;
          case Fault::kUnplug:
            driver().UnplugAtLineByte(at + 1);
            break;
        }
        ++totals.runs;
        ++totals.byFault[Letter(fault)];

        const std::int64_t start = clock().NowMicros();
        const int code = exchange.run(*this);
        const std::int64_t elapsedMs = (clock().NowMicros() - start) / 1000;
        const std::string message = g_protocolMessage;
        const bool open = g_device.IsOpen();

        std::string problem;
        if (elapsedMs > exchange.boundMs) {
          problem = "took " + std::to_string(elapsedMs) + " ms of virtual time";
        } else if (exchange.succeeded(code)) {
          const bool mayPass =
              fault == Fault::kWrongByte ||
              exchange.mayPass.find(Letter(fault)) != std::string::npos ||
              (fault == Fault::kDroppedByte && !fromGuider) ||
              (fault == Fault::kDroppedByte && unreadByte) ||
              (fault == Fault::kSilence && (lastAnswerRead == trace.size() || lastAnswerRead < at));
          if (!mayPass) problem = "reported success (" + std::to_string(code) + ")";
          ++totals.byEnding["success"];
        } else {
          const auto ending =
              std::find_if(exchange.endings.begin(), exchange.endings.end(), [&](const Ending& e) {
                const bool byThisFault =
                    (onAByte && !fromGuider) || e.faults.find(Letter(fault)) != std::string::npos;
                return code >= e.codeLow && code <= e.codeHigh && byThisFault &&
                       Matches(e.text, message) &&
                       (e.link == Link::kEither || (e.link == Link::kOpen) == open);
              });
          if (ending == exchange.endings.end()) {
            problem = "ended with " + std::to_string(code) + ", link " +
                      (open ? "open" : "closed") + ", message \"" + message + "\"";
          } else {
            ++totals.byEnding[std::to_string(ending->codeLow)];
          }
        }
        if (problem.empty() && exchange.afterwards)
          problem = exchange.afterwards(*this, fault, code);
        if (!problem.empty() && !report(at, fault, problem)) return;
      }
    }
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::printf(
      "fault sweep, %s: %d exchanges, %zu byte positions of %zu line bytes, %zu runs (S %zu, W "
      "%zu, "
      "D %zu, U %zu) in %.1f s\n",
      family.c_str(), totals.exchanges, totals.positions, totals.lineBytes, totals.runs,
      totals.byFault['S'], totals.byFault['W'], totals.byFault['D'], totals.byFault['U'], seconds);
  EXPECT_GT(totals.exchanges, 0);
}

TEST_P(FaultSweepTest, Handshakes) { Sweep("Handshakes"); }
TEST_P(FaultSweepTest, FileSystemMode) { Sweep("FileSystemMode"); }
TEST_P(FaultSweepTest, Download) { Sweep("Download"); }
TEST_P(FaultSweepTest, UpdateMode) { Sweep("UpdateMode"); }
TEST_P(FaultSweepTest, CameraMode) { Sweep("CameraMode"); }
TEST_P(FaultSweepTest, DarkRun) { Sweep("DarkRun"); }
TEST_P(FaultSweepTest, VirtualUserInterface) { Sweep("VirtualUserInterface"); }
TEST_P(FaultSweepTest, FirmwareUpdate) { Sweep("FirmwareUpdate"); }

INSTANTIATE_TEST_SUITE_P(Backends, FaultSweepTest, ::testing::Values(SimDriverRig()),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace ktal::testing
