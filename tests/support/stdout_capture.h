// Standard output captured for a scope: what the code under test writes there, to match with
// test_regex.h. Nested captures are not supported (one at a time, as GoogleTest's own).
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <utility>

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

}  // namespace test_support
