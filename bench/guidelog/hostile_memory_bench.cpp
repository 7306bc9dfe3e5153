// SPDX-License-Identifier: GPL-3.0-or-later
// What ktal-logtool costs on full logs (4096 pages) that no guider writes:
// the real program is run on each. Peak memory of `process` and `summary`
// on logs built to make one kind of entity as cheap in bits as it can be,
// and the files and disk space `process` takes on logs built to make as
// many outputs, or as wide plots, as the bits allow.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "guidelog/log_format.h"
#include "guidelog/stdio_file.h"
#include "sim/log_writer.h"
#include "sim/session_generator.h"

namespace ktal {
namespace {

namespace fs = std::filesystem;

LogEntity At(std::uint32_t type, std::uint32_t tenths) {
  LogEntity e;
  e.type = type;
  e.clock_tenths = tenths;
  e.clock_date = PackDate(2014, 3, 21);
  return e;
}

// Appends what `next` makes until the 4096 pages are full.
LogWriter Fill(const std::function<LogEntity(std::uint32_t)>& next) {
  LogWriter writer;
  for (std::uint32_t i = 0; writer.Append(next(i)) == LogWriter::kOk; ++i) {
  }
  return writer;
}

std::vector<std::uint8_t> HostileLog(int kind) {
  DirectoryEntry entry;
  entry.first_page = 0;
  entry.created_date = PackDate(2014, 3, 21);
  // Clocks advance by a tenth only inside the low byte, so no clock
  // entity is needed in between.
  const std::uint32_t base = 21 * 36000;
  switch (kind) {
    case 0: {  // zero bits: sixteen million payload-less entities
      LogWriter zeros;
      for (int i = 0; i < 4096 * 4088 - 64; ++i) zeros.WriteBit(0);
      return zeros.RawFile(entry);
    }
    case 1:  // markers, 9 bits each
      return Fill([&](std::uint32_t) { return At(ENTITY_MARKER, base); }).RawFile(entry);
    case 2:  // lost stars, 17 bits each, all one external exposure
      return Fill([&](std::uint32_t i) {
               LogEntity e = At(ENTITY_STAR, base + (i % 256));
               e.star.no_star = 1;
               e.star.ra_correction_flag = 1;
               e.star.dec_correction_flag = 1;
               return e;
             })
          .RawFile(entry);
    default: {  // debug texts of one character, 25 bits each
      LogWriter writer;
      LogEntity e = At(ENTITY_DEBUG, base);
      e.debug.debug_kind = kDebugText;
      while (writer.Append(e, "x") == LogWriter::kOk) {
      }
      return writer.RawFile(entry);
    }
  }
}

// Files and bytes on disk under `folder`, `input` left out.
struct DiskUse {
  std::uint64_t files = 0;
  std::uint64_t bytes = 0;
};
DiskUse DiskUseOf(const fs::path& folder, const fs::path& input) {
  DiskUse use;
  std::error_code error;
  for (fs::recursive_directory_iterator it(folder, error), end; !error && it != end;
       it.increment(error)) {
    struct stat info {};
    if (it->path() == input || ::lstat(it->path().c_str(), &info) != 0 || !S_ISREG(info.st_mode))
      continue;
    ++use.files;
    use.bytes += static_cast<std::uint64_t>(info.st_blocks) * 512;
  }
  return use;
}

struct ToolRun {
  int status = -1;
  long peak_rss_kib = 0;
  DiskUse peak_disk;  // the most seen while it ran, when watched
};

// Runs the tool with `args` and its output thrown away. With `watch`, what
// lies under `folder` is measured every 50 ms while it runs and once after:
// a run that fails may remove what it wrote before it ends.
ToolRun RunTool(std::vector<std::string> args, const fs::path& folder, const fs::path& input,
                bool watch) {
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  // fork and exec rather than spawn: a child that shares this process's
  // memory until its exec would inherit its high-water mark.
  const pid_t child = ::fork();
  if (child == 0) {
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, 1);
    ::dup2(null, 2);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ToolRun run;
  rusage usage{};
  int status = 0;
  const auto measure = [&] {
    const DiskUse now = DiskUseOf(folder, input);
    if (now.bytes > run.peak_disk.bytes) run.peak_disk.bytes = now.bytes;
    if (now.files > run.peak_disk.files) run.peak_disk.files = now.files;
  };
  while (watch && ::wait4(child, &status, WNOHANG, &usage) == 0) {
    measure();
    ::usleep(50'000);
  }
  if (!watch) ::wait4(child, &status, 0, &usage);
  if (watch) measure();
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.peak_rss_kib = usage.ru_maxrss;
  return run;
}

void WriteFile(const fs::path& path, const std::vector<std::uint8_t>& bytes) {
  StdioFile out = OpenStdioFile(path.string().c_str(), "wb");
  std::fwrite(bytes.data(), 1, bytes.size(), out.get());
}

void BM_HostileLogPeakMemory(benchmark::State& state) {
  static const char* const kNames[] = {"zero bits", "markers", "lost stars", "debug texts"};
  static const char* const kModes[] = {"process --pe", "process --html --pe", "summary --pe"};
  const fs::path folder =
      fs::temp_directory_path() / ("ktal-hostile-" + std::to_string(std::random_device{}()));
  fs::create_directories(folder);
  const fs::path raw = folder / "QD000000.dat";
  WriteFile(raw, HostileLog(static_cast<int>(state.range(0))));
  const int mode = static_cast<int>(state.range(1));
  // The tables alone, with the report and the analysis page, or the
  // summary, which writes nothing.
  std::vector<std::string> args = {KTAL_LOGTOOL, mode == 2 ? "summary" : "process"};
  if (mode == 1) args.emplace_back("--html");
  args.insert(args.end(), {"--pe", "1000,480,10", raw.string()});
  ToolRun run;
  for (auto _ : state) {
    fs::remove_all(folder / "QD000000.dat.content");
    const ToolRun once = RunTool(args, folder, raw, false);
    run.status = once.status;
    run.peak_rss_kib = std::max(run.peak_rss_kib, once.peak_rss_kib);
  }
  state.SetLabel(std::string(kNames[state.range(0)]) + ", " + kModes[mode]);
  state.counters["raw_MiB"] = static_cast<double>(fs::file_size(raw)) / (1024.0 * 1024.0);
  state.counters["peak_rss_MiB"] = static_cast<double>(run.peak_rss_kib) / 1024.0;
  state.counters["exit_status"] = run.status;
  fs::remove_all(folder);
}
BENCHMARK(BM_HostileLogPeakMemory)
    ->ArgsProduct({{0, 1, 2, 3}, {0, 1, 2}})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);

// Logs built for the most outputs their bits allow, with clocks that cover
// more than a day or jump back to cover one hour again and again.
std::vector<std::uint8_t> CraftedLog(int kind) {
  DirectoryEntry entry;
  entry.first_page = 0;
  entry.created_date = PackDate(2014, 3, 21);
  const std::uint32_t base = 21 * 36000;
  LogWriter writer;
  // The clock of tenth `t` from the start, with its date carried past
  // midnight as the guider does (no clock here goes back over one).
  std::uint64_t day = 0;
  std::uint16_t date = entry.created_date;
  const auto at = [&](std::uint32_t type, std::uint64_t t) {
    for (; day < (base + t) / kTenthsPerDay; ++day) date = NextDay(date);
    LogEntity e = At(type, static_cast<std::uint32_t>((base + t) % kTenthsPerDay));
    e.clock_date = date;
    return e;
  };
  const auto lost_star = [&](std::uint64_t t) {
    LogEntity e = at(ENTITY_STAR, t);
    e.star.no_star = 1;
    e.star.ra_correction_flag = 1;
    e.star.dec_correction_flag = 1;
    return writer.Append(e) == LogWriter::kOk;
  };
  const auto marker = [&](std::uint64_t t) {
    return writer.Append(at(ENTITY_MARKER, t)) == LogWriter::kOk;
  };
  if (kind == 0) {
    // Exposures of one lost star ended by a marker, 32 bits each, two
    // tenths apart: 29 hours of them.
    for (std::uint64_t t = 0; lost_star(t) && marker(t); t += 2) {
    }
  } else {
    // Exposures of 21 frames a tenth apart and one 3277 s later: the
    // widest plots there are, 32800 columns. The clock goes on through
    // the days, or goes back to the same hour for every exposure.
    const bool back = kind == 2;
    for (std::uint64_t start = 0;; start += back ? 0 : 32780) {
      bool room = true;
      for (std::uint64_t i = 0; room && i <= 20; ++i) room = lost_star(start + i);
      if (!room || !lost_star(start + 32770) || !marker(start + 32775)) break;
    }
  }
  return writer.RawFile(entry);
}

void BM_CraftedLogDisk(benchmark::State& state) {
  static const char* const kNames[] = {"one-lost-star exposures over a day",
                                       "wide exposures, the clock running on for years",
                                       "wide exposures, the clock back to one hour"};
  const fs::path folder =
      fs::temp_directory_path() / ("ktal-crafted-" + std::to_string(std::random_device{}()));
  fs::create_directories(folder);
  const fs::path raw = folder / "QD000000.dat";
  WriteFile(raw, CraftedLog(static_cast<int>(state.range(0))));
  ToolRun run;
  for (auto _ : state) {
    fs::remove_all(folder / "QD000000.dat.content");
    run = RunTool({KTAL_LOGTOOL, "process", "--html", "--pe", "1000,480,10", raw.string()}, folder,
                  raw, true);
  }
  state.SetLabel(kNames[state.range(0)]);
  state.counters["raw_MiB"] = static_cast<double>(fs::file_size(raw)) / (1024.0 * 1024.0);
  state.counters["disk_MB"] = static_cast<double>(run.peak_disk.bytes) / 1e6;
  state.counters["files"] = static_cast<double>(run.peak_disk.files);
  state.counters["exit_status"] = run.status;
  fs::remove_all(folder);
}
BENCHMARK(BM_CraftedLogDisk)->DenseRange(0, 2)->Unit(benchmark::kSecond)->Iterations(1);

}  // namespace
}  // namespace ktal
