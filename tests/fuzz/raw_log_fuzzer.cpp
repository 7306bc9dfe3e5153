// SPDX-License-Identifier: GPL-3.0-or-later
// Fuzz harness: a raw guiding log through the reader and every generator
// (events table, periodic-error tables, exposure analysis, plots and the
// HTML report), as ktal-logtool and the download run process one.
//
// Input: one byte of report settings (bit 0 the CSV dialect, bits 1..2 the
// focal length, bits 3..4 the worm period, bits 5..6 the declination),
// then the raw file. The outputs go to a folder of their own on tmpfs when
// there is one, emptied after every input; no output file may grow beyond
// kMaxOutputFileBytes, where a write fails as on a full disk.
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#include "guidelog/guide_log.h"
#include "guidelog/raw_copy.h"
#include "guidelog/report_settings.h"

namespace {

namespace fs = std::filesystem;

constexpr rlim_t kMaxOutputFileBytes = 64 << 20;

constexpr char kFolderPrefix[] = "ktal-fuzz-raw-log-";

// A run stopped by its time limit leaves without running exit handlers, so
// each run first removes the folders of runs whose process is gone.
void RemoveFoldersOfEndedRuns(const fs::path& base) {
  std::error_code error;
  for (const auto& item : fs::directory_iterator(base, error)) {
    const std::string name = item.path().filename().string();
    if (name.rfind(kFolderPrefix, 0) != 0) continue;
    char* end = nullptr;
    const long pid = std::strtol(name.c_str() + sizeof kFolderPrefix - 1, &end, 10);
    if (*end == '\0' && pid > 0 && ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)
      fs::remove_all(item.path(), error);
  }
}

// Made once per process: the harness's own folder, named by its process.
const fs::path& OutputFolder() {
  static const fs::path folder = [] {
    std::error_code error;
    fs::path base =
        fs::exists("/dev/shm", error) ? fs::path("/dev/shm") : fs::temp_directory_path();
    RemoveFoldersOfEndedRuns(base);
    fs::path made = base / (kFolderPrefix + std::to_string(::getpid()));
    fs::remove_all(made, error);
    if (!fs::create_directory(made, error)) std::abort();
    // A write beyond the limit fails with EFBIG instead of ending the process.
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{kMaxOutputFileBytes, kMaxOutputFileBytes};
    setrlimit(RLIMIT_FSIZE, &limit);
    std::atexit([] {
      std::error_code ignored;
      fs::remove_all(OutputFolder(), ignored);
    });
    return made;
  }();
  return folder;
}

void EmptyFolder(const fs::path& folder) {
  std::error_code error;
  for (const auto& item : fs::directory_iterator(folder, error)) fs::remove_all(item.path(), error);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const fs::path& folder = OutputFolder();
  const std::uint8_t settings = data[0];
  static constexpr int kFocal[] = {1000, 1, 4000, 250};
  static constexpr int kWorm[] = {480, 1, 86400, 600};
  static constexpr float kDec[] = {0.0f, 89.9f, -45.0f, 90.0f};
  ktal::g_csvFormat = settings & 1;
  ktal::g_focalLength = kFocal[(settings >> 1) & 3];
  ktal::g_wormPeriod = kWorm[(settings >> 3) & 3];
  ktal::g_starDec = kDec[(settings >> 5) & 3];

  std::FILE* raw = fmemopen(const_cast<std::uint8_t*>(data + 1), size - 1, "rb");
  if (raw == nullptr) return 0;
  // The outputs go to the current directory; the fuzzer's own paths may be
  // relative to the one it was started in.
  std::error_code error;
  const fs::path started = fs::current_path(error);
  fs::current_path(folder, error);
  if (error) std::abort();
  // One model for every input: reading a log must start it from a clean
  // state whatever came before, and the plot buffers of the last input are
  // not faulted in afresh for each one (which was most of the time).
  static ktal::GuideLog log;
  ktal::DirectoryEntry entry;
  ktal::ProcessRawFile(log, raw, entry, ktal::StoredReportSettings(true, true, true),
                       "2026-01-01 00:00:00");
  std::fclose(raw);
  EmptyFolder(folder);
  fs::current_path(started, error);
  return 0;
}
