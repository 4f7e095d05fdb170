// Standard output captured, to match with test_regex.h: for a scope of this process (one capture
// at a time, as GoogleTest's own), or for the whole life of a forked child.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>

#include "temp_dir.h"

namespace test_support {

/// Captures from construction until take(); a capture never taken is discarded at the end of
/// the scope, so an early ASSERT cannot leave standard output redirected.
class stdout_capture {
 public:
  stdout_capture() { ::testing::internal::CaptureStdout(); }
  stdout_capture(const stdout_capture&) = delete;
  stdout_capture& operator=(const stdout_capture&) = delete;
  ~stdout_capture() {
    if (!b_taken_) static_cast<void>(::testing::internal::GetCapturedStdout());
  }
  /// Ends the capture and returns what was written.
  std::string take() {
    b_taken_ = true;
    return ::testing::internal::GetCapturedStdout();
  }

 private:
  bool b_taken_ = false;
};

/// Runs @p f with standard output captured and returns what was written there.
template <class F>
std::string captured(F&& f) {
  stdout_capture capture;
  std::forward<F>(f)();
  return capture.take();
}

/// How a forked child ended: its exit status (-1 when it did not exit, or could not be
/// started) and what it wrote on standard output.
struct child_run {
  int i_status = -1;
  std::string out;
};

/// Runs @p body in a forked child whose standard output goes to a temporary file, and exits
/// the child with body's result. The parent waits for the child and reads the file back.
template <class F>
child_run run_in_child(F&& body) {
  child_run run;
  char ac_out[] = "/tmp/child_out.XXXXXX";
  const int fd_out = mkstemp(ac_out);
  if (fd_out < 0) return run;
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(fd_out, STDOUT_FILENO);
    close(fd_out);
    const int i_code = std::forward<F>(body)();
    std::fflush(stdout);
    _exit(i_code);
  }
  if (pid > 0) {
    int i_wstatus = 0;
    pid_t waited = -1;
    while ((waited = waitpid(pid, &i_wstatus, 0)) < 0 && errno == EINTR) {
    }
    if (waited == pid && WIFEXITED(i_wstatus)) run.i_status = WEXITSTATUS(i_wstatus);
  }
  close(fd_out);
  run.out = read_file(ac_out);
  unlink(ac_out);
  return run;
}

}  // namespace test_support
