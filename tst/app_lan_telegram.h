// Telegrams and meters of a run (-j, -e, -i): the frame worker (or a replay) hands every frame
// over; closed telegrams become telegram events and feed the meter inventory; the run's end
// closes what is open and writes the meters. Off unless started: one predictable branch a frame.
#pragma once

#include <coap3/coap.h>

#include <atomic>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "app_lan_msg.h"
#include "app_meter.h"
#include "app_telegram.h"

/// Switches telegrams on with a window of @p i64_window_ms. Main thread, before app_lan_init
/// (or a replay); never switched off.
void app_lan_telegram_start(std::int64_t i64_window_ms);

/// True once started.
bool app_lan_telegram_on();

/// A frame from a replay (or any owner but the frame worker): as a received one.
void app_lan_telegram_add(std::span<const std::uint8_t> frame, const app_telegram_copy& t_copy);

/// Closes the telegrams whose window has passed at @p i64_now_ms (UTC milliseconds; now when
/// none). The frame worker calls it after each wait.
void app_lan_telegram_expire(std::optional<std::int64_t> i64_now_ms = std::nullopt);

/// Milliseconds until the next window closes (for the frame worker's wait); none when no
/// telegram is open.
std::optional<std::int64_t> app_lan_telegram_next_wait_ms();

/// The end of a run: closes every open telegram, writes one meter event per meter (under -j)
/// and the trace lines "Meters heard: N" and one per meter; with @p pt_expected, also a
/// WARNING line per expected meter that is not ok, and the verdict into @p pt_survey.
void app_lan_telegram_close(const std::vector<app_meter_expected>* pt_expected,
                            app_survey* pt_survey);

namespace detail {
extern constinit std::atomic<bool> _b_lan_telegram_on;
void _app_lan_telegram_frame(const coap_address_t* pt_sender, std::optional<std::uint32_t> modem,
                             const lan_rx_frame& rx, std::int64_t i64_utc_ms);
}  // namespace detail

/// A received radio frame, arrived at @p i64_utc_ms. "_lan_itf_task".
inline void app_lan_telegram_frame(const coap_address_t* pt_sender,
                                   std::optional<std::uint32_t> modem, const lan_rx_frame& rx,
                                   std::int64_t i64_utc_ms) {
  if (detail::_b_lan_telegram_on.load(std::memory_order_relaxed)) [[unlikely]] {
    detail::_app_lan_telegram_frame(pt_sender, modem, rx, i64_utc_ms);
  }
}
