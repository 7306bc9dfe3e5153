// SPDX-License-Identifier: GPL-3.0-or-later
// A full disk without root: code run in a child process whose files cannot
// grow past a given size. A write beyond it fails with EFBIG, as one on a
// full disk fails with ENOSPC, and whatever the code left on disk stays for
// the test to look at.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>

namespace ktal::full_disk {

struct Outcome {
  int result = 0;
  std::string out;  // what the code printed on standard output
};

// Runs `body` with every file limited to `limit` bytes and returns its
// result and output. A child that dies or cannot set the limit fails the test.
inline Outcome RunWithFileSizeLimit(off_t limit, const std::function<int()>& body) {
  int out_pipe[2];
  int result_pipe[2];
  if (::pipe(out_pipe) != 0 || ::pipe(result_pipe) != 0) {
    ADD_FAILURE() << "no pipe";
    return {};
  }
  std::fflush(stdout);
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(out_pipe[0]);
    ::close(result_pipe[0]);
    // The output goes to a pipe: a captured stdout file would itself be
    // held to the limit.
    ::dup2(out_pipe[1], 1);
    // Without this the first write past the limit kills the process
    // instead of failing.
    ::signal(SIGXFSZ, SIG_IGN);
    rlimit fsize{};
    ::getrlimit(RLIMIT_FSIZE, &fsize);
    fsize.rlim_cur = static_cast<rlim_t>(limit);
    if (::setrlimit(RLIMIT_FSIZE, &fsize) != 0) ::_exit(2);
    const int result = body();
    std::fflush(stdout);
    const bool sent = ::write(result_pipe[1], &result, sizeof result) == sizeof result;
    ::_exit(sent ? 0 : 3);
  }
  ::close(out_pipe[1]);
  ::close(result_pipe[1]);
  Outcome outcome;
  char buffer[4096];
  for (ssize_t got; (got = ::read(out_pipe[0], buffer, sizeof buffer)) > 0;)
    outcome.out.append(buffer, static_cast<std::size_t>(got));
  const bool received =
      ::read(result_pipe[0], &outcome.result, sizeof outcome.result) == sizeof outcome.result;
  ::close(out_pipe[0]);
  ::close(result_pipe[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || !received)
    ADD_FAILURE() << "the child under the file-size limit did not finish (status " << status << ")";
  return outcome;
}

}  // namespace ktal::full_disk
