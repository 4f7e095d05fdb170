// Count of the LAN messages dropped because a worker lags, reported as one warning line per
// second at most. Apart from the hand-off, so that the transport's tests, which replace the
// hand-off, still find it.
#include <atomic>
#include <chrono>
#include <cstdint>

#include "app_lan_internal.h"
#include "vos_trace.h"

namespace {

constexpr const char* source_name = "../tst/app_lan.c";

constinit std::atomic<std::uint32_t> _u32_dropped{0};
constinit std::atomic<std::int64_t> _i64_last_report_ms{INT64_MIN / 2};

std::int64_t _now_ms() noexcept {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

namespace detail {

void _app_lan_count_drop() noexcept {
  // Counted only: the receiving thread never writes a trace line, which could block it.
  _u32_dropped.fetch_add(1, std::memory_order_relaxed);
}

void _app_lan_report_drops() noexcept {
  if (_u32_dropped.load(std::memory_order_relaxed) == 0) return;
  const std::int64_t i64_now = _now_ms();
  std::int64_t i64_last = _i64_last_report_ms.load(std::memory_order_relaxed);
  // One thread wins the second; the others leave the count for the next report.
  if (i64_now - i64_last < LAN_DROP_REPORT_MS ||
      !_i64_last_report_ms.compare_exchange_strong(i64_last, i64_now)) {
    return;
  }
  const std::uint32_t u32_nb = _u32_dropped.exchange(0, std::memory_order_relaxed);
  if (u32_nb != 0) VOS_WARNING("%u LAN messages dropped: worker busy", u32_nb);
}

}  // namespace detail
