// Peak memory of processing full logs (4096 pages) that no guider writes,
// each built to make one kind of entity as cheap in bits as it can be: the
// real ktal-logtool is run on each with every output asked for, and its
// high-water mark of resident memory is reported.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "guidelog/log_format.h"
#include "guidelog/stdio_file.h"
#include "sim/log_writer.h"

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

void BM_HostileLogPeakMemory(benchmark::State& state) {
  static const char* const kNames[] = {"zero bits", "markers", "lost stars", "debug texts"};
  const fs::path folder =
      fs::temp_directory_path() / ("ktal-hostile-" + std::to_string(std::random_device{}()));
  fs::create_directories(folder);
  const fs::path raw = folder / "QD000000.dat";
  {
    const std::vector<std::uint8_t> bytes = HostileLog(static_cast<int>(state.range(0)));
    StdioFile out = OpenStdioFile(raw.string().c_str(), "wb");
    std::fwrite(bytes.data(), 1, bytes.size(), out.get());
  }
  std::string tool = KTAL_LOGTOOL;
  std::string process = "process";
  std::string html = "--html";
  std::string pe = "--pe";
  std::string settings = "1000,480,10";
  std::string file = raw.string();
  // With the report and the analysis page, or the tables alone.
  char* with_html[] = {tool.data(),     process.data(), html.data(), pe.data(),
                       settings.data(), file.data(),    nullptr};
  char* tables_only[] = {tool.data(),     process.data(), pe.data(),
                         settings.data(), file.data(),    nullptr};
  char** argv = state.range(1) != 0 ? with_html : tables_only;
  long peak_kib = 0;
  int status = 0;
  for (auto _ : state) {
    fs::remove_all(folder / "QD000000.dat.content");
    // fork and exec rather than spawn: a child that shares this
    // process's memory until its exec would inherit its high-water mark.
    const pid_t child = ::fork();
    if (child == 0) {
      const int null = ::open("/dev/null", O_WRONLY);
      ::dup2(null, 1);
      ::dup2(null, 2);
      ::execv(argv[0], argv);
      ::_exit(127);
    }
    rusage usage{};
    ::wait4(child, &status, 0, &usage);
    peak_kib = std::max(peak_kib, usage.ru_maxrss);
  }
  state.SetLabel(std::string(kNames[state.range(0)]) +
                 (state.range(1) != 0 ? ", --html --pe" : ", --pe"));
  state.counters["raw_MiB"] = static_cast<double>(fs::file_size(raw)) / (1024.0 * 1024.0);
  state.counters["peak_rss_MiB"] = static_cast<double>(peak_kib) / 1024.0;
  state.counters["exit_status"] = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  fs::remove_all(folder);
}
BENCHMARK(BM_HostileLogPeakMemory)
    ->ArgsProduct({{0, 1, 2, 3}, {0, 1}})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);

}  // namespace
}  // namespace ktal
