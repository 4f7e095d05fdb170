// Waiting in tests: elapsed time on the steady clock, and a bounded poll of a condition.
#pragma once

#include <chrono>
#include <thread>

namespace test_support {

/// Milliseconds from @p t_from until now, on the steady clock.
inline long long elapsed_ms(std::chrono::steady_clock::time_point t_from) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               t_from)
      .count();
}

/// Polls @p pred every @p step until it holds; false when @p limit passes first.
template <class Pred>
bool wait_until(Pred pred, std::chrono::milliseconds limit = std::chrono::milliseconds(3000),
                std::chrono::milliseconds step = std::chrono::milliseconds(5)) {
  const auto t_end = std::chrono::steady_clock::now() + limit;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > t_end) {
      return false;
    }
    std::this_thread::sleep_for(step);
  }
  return true;
}

}  // namespace test_support
