// SPDX-License-Identifier: GPL-3.0-or-later
// Headless Chromium for the analysis page's tests and benchmarks: loads a
// local page, lets its scripts run, and hands back the DOM as text, from
// which the page's figures are read by element id.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace ktal::browser {

// The browser to run: $KTAL_CHROMIUM when set, else chromium on the PATH.
// Nothing when there is none.
inline std::optional<std::string> FindChromium() {
  if (const char* given = std::getenv("KTAL_CHROMIUM"); given != nullptr && given[0] != '\0') {
    if (::access(given, X_OK) == 0) return std::string(given);
    return std::nullopt;
  }
  const char* path = std::getenv("PATH");
  std::string_view rest = path != nullptr ? path : "/usr/bin:/bin";
  while (!rest.empty()) {
    const std::size_t colon = rest.find(':');
    const std::string_view folder = rest.substr(0, colon);
    for (const char* name : {"chromium", "chromium-browser"}) {
      const std::string candidate = std::string(folder) + "/" + name;
      if (!folder.empty() && ::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
  }
  return std::nullopt;
}

struct RunResult {
  bool finished = false;  // ended by itself within the time allowed
  int exit_code = -1;
  std::string out;  // standard output
};

// Runs `argv` with standard output into `out_file` and standard error into
// `log_file`;
// a run that outlives `limit` is killed with its whole process group, so a
// hanging browser fails the caller instead of hanging it.
inline RunResult RunWithLimit(const std::vector<std::string>& argv,
                              const std::filesystem::path& out_file,
                              const std::filesystem::path& log_file, std::chrono::seconds limit) {
  RunResult result;
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid < 0) return result;
  if (pid == 0) {
    ::setpgid(0, 0);
    const int out = ::open(out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int log = ::open(log_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (out < 0 || log < 0) ::_exit(126);
    ::dup2(out, 1);
    ::dup2(log, 2);
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  ::setpgid(pid, pid);
  const auto deadline = std::chrono::steady_clock::now() + limit;
  int status = 0;
  while (true) {
    const pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid) {
      result.finished = true;
      result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      break;
    }
    if (done < 0 || std::chrono::steady_clock::now() > deadline) {
      ::kill(-pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  // Helper processes of the browser that stayed behind go with the group.
  ::kill(-pid, SIGKILL);
  std::ifstream in(out_file, std::ios::binary);
  result.out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return result;
}

// The DOM of `page` (with `fragment`, the part after '#', in its address)
// once its scripts have run, in a window of the given size; empty when the
// browser failed. `work` is a folder for the browser's profile and output;
// the page's console messages (script errors among them) are left in
// ConsoleLog(work).
inline std::string DumpDom(const std::string& chromium, const std::filesystem::path& page,
                           const std::string& fragment, const std::filesystem::path& work,
                           int width = 1400, int height = 1000) {
  const std::string url = "file://" + std::filesystem::absolute(page).string() +
                          (fragment.empty() ? "" : "#" + fragment);
  const RunResult run = RunWithLimit(
      {chromium, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
       "--no-default-browser-check", "--disable-extensions", "--disable-background-networking",
       "--user-data-dir=" + (work / "profile").string(),
       "--window-size=" + std::to_string(width) + "," + std::to_string(height),
       "--enable-logging=stderr", "--log-level=0", "--dump-dom", url},
      work / "dom.html", work / "browser.log", std::chrono::seconds(180));
  return run.finished && run.exit_code == 0 ? run.out : std::string();
}

// The lines of the browser's log that the page's console wrote.
inline std::string ConsoleLog(const std::filesystem::path& work) {
  std::ifstream in(work / "browser.log");
  std::string line;
  std::string out;
  while (std::getline(in, line)) {
    if (line.find("CONSOLE") != std::string::npos) out += line + "\n";
  }
  return out;
}

// The value of attribute `name` of the element with id `id`; nothing when
// the element or the attribute is missing.
inline std::optional<std::string> Attribute(const std::string& dom, const std::string& id,
                                            const std::string& name) {
  const std::size_t at = dom.find("id=\"" + id + "\"");
  if (at == std::string::npos) return std::nullopt;
  const std::size_t tag_end = dom.find('>', at);
  const std::size_t start = dom.rfind('<', at);
  if (tag_end == std::string::npos || start == std::string::npos) return std::nullopt;
  const std::string tag = dom.substr(start, tag_end - start);
  const std::size_t attr = tag.find(" " + name + "=\"");
  if (attr == std::string::npos) return std::nullopt;
  const std::size_t value = attr + name.size() + 3;
  return tag.substr(value, tag.find('"', value) - value);
}

// The text of the element with id `id` up to its first child tag.
inline std::optional<std::string> Text(const std::string& dom, const std::string& id) {
  const std::size_t at = dom.find("id=\"" + id + "\"");
  if (at == std::string::npos) return std::nullopt;
  const std::size_t begin = dom.find('>', at);
  if (begin == std::string::npos) return std::nullopt;
  return dom.substr(begin + 1, dom.find('<', begin) - begin - 1);
}

}  // namespace ktal::browser
