// Telegrams and meters of a run. The correlator and the inventory are guarded by one lock, taken
// only while telegrams are on: by the frame worker for each frame and after each wait, and by
// the main thread at the run's end (or by the replay, which is the only feeder then).
#include "app_lan_telegram.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>

#include "app_json.h"
#include "app_lan_event.h"
#include "app_lan_mbus.h"
#include "vos_trace.h"

namespace {

constexpr const char* source_name = "../tst/app_lan.c";
constexpr std::int64_t warn_period_ms = 1000;

struct telegram_state {
  std::mutex mutex;
  std::unique_ptr<app_telegram_correlator> correlator;
  app_meter_inventory inventory;
  std::uint64_t u64_early_reported = 0;
  std::int64_t i64_last_warning_ms = 0;
};

telegram_state& _state() {
  static telegram_state t_state;
  return t_state;
}

std::string& _line_buffer() {
  thread_local std::string s_buffer;
  return s_buffer;
}

// The sink of the correlator: the caller holds the lock.
void _emit(const app_telegram& t_telegram) {
  if (!app_lan_event_json_on()) {
    _state().inventory.add(t_telegram);
    return;
  }
  const std::optional<std::uint32_t> none;
  app_json json = app_lan_event_begin_at(_line_buffer(), "telegram", none, t_telegram.first_ms());
  app_telegram_members(t_telegram, json);
  if (app_lan_mbus_on()) {
    static app_meter_data t_data;  // the lock is held: one user at a time
    app_lan_mbus_members(t_telegram.raw, json, &t_data);
    _state().inventory.add(t_telegram, &t_data);
  } else {
    _state().inventory.add(t_telegram);
  }
  app_lan_event_write(json);
}

// Telegrams closed before their window: at most one warning a second. Lock held.
void _warn_closed_early(telegram_state& t_state, std::int64_t i64_now_ms) {
  const std::uint64_t u64_early = t_state.correlator->closed_early();
  if (u64_early == t_state.u64_early_reported ||
      i64_now_ms - t_state.i64_last_warning_ms < warn_period_ms) {
    return;
  }
  VOS_WARNING("%llu telegrams closed before their window: more than %zu open",
              static_cast<unsigned long long>(u64_early - t_state.u64_early_reported),
              APP_TELEGRAM_OPEN_MAX);
  t_state.u64_early_reported = u64_early;
  t_state.i64_last_warning_ms = i64_now_ms;
}

}  // namespace

namespace detail {

constinit std::atomic<bool> _b_lan_telegram_on{false};

void _app_lan_telegram_frame(const coap_address_t* pt_sender, std::optional<std::uint32_t> modem,
                             const lan_rx_frame& rx, std::int64_t i64_utc_ms) {
  app_telegram_copy t_copy;
  t_copy.modem = modem;
  if (pt_sender != nullptr) {
    std::array<unsigned char, 48> ac_addr{};
    coap_print_addr(pt_sender, ac_addr.data(), ac_addr.size() - 1);
    t_copy.s_address = reinterpret_cast<const char*>(ac_addr.data());
  }
  t_copy.receiver = rx.u8_rf_receiver;
  t_copy.i_rssi_dbm = -static_cast<int>(rx.u8_rssi);
  t_copy.i16_freq_offset = rx.i16_freq_offset;
  t_copy.u32_rtc_sec = rx.u32_rtc_sec;
  t_copy.u16_rtc_msec = rx.u16_rtc_msec;
  t_copy.i64_arrival_ms = i64_utc_ms;
  app_lan_telegram_add(rx.frame, t_copy);
}

}  // namespace detail

void app_lan_telegram_start(std::int64_t i64_window_ms) {
  telegram_state& t_state = _state();
  const std::lock_guard lock(t_state.mutex);
  t_state.correlator = std::make_unique<app_telegram_correlator>(i64_window_ms, _emit);
  detail::_b_lan_telegram_on.store(true);
}

bool app_lan_telegram_on() { return detail::_b_lan_telegram_on.load(); }

void app_lan_telegram_add(std::span<const std::uint8_t> frame, const app_telegram_copy& t_copy) {
  telegram_state& t_state = _state();
  const std::lock_guard lock(t_state.mutex);
  if (!t_state.correlator) return;
  t_state.correlator->add(frame, t_copy);
  _warn_closed_early(t_state, t_copy.i64_arrival_ms);
}

void app_lan_telegram_expire(std::optional<std::int64_t> i64_now_ms) {
  if (!app_lan_telegram_on()) return;
  telegram_state& t_state = _state();
  const std::lock_guard lock(t_state.mutex);
  if (t_state.correlator) t_state.correlator->expire(i64_now_ms.value_or(app_lan_event_now_ms()));
}

std::optional<std::int64_t> app_lan_telegram_next_wait_ms() {
  if (!app_lan_telegram_on()) return std::nullopt;
  telegram_state& t_state = _state();
  const std::lock_guard lock(t_state.mutex);
  if (!t_state.correlator) return std::nullopt;
  const std::optional<std::int64_t> close_ms = t_state.correlator->next_close_ms();
  if (!close_ms) return std::nullopt;
  return std::max<std::int64_t>(*close_ms - app_lan_event_now_ms(), 0);
}

void app_lan_telegram_close(const std::vector<app_meter_expected>* pt_expected,
                            app_survey* pt_survey) {
  if (!app_lan_telegram_on()) return;
  telegram_state& t_state = _state();
  const std::lock_guard lock(t_state.mutex);
  if (t_state.correlator) t_state.correlator->flush();
  const auto& meters = t_state.inventory.meters();
  vos_trace_info("Meters heard: %zu", meters.size());
  for (const auto& [id, meter] : meters) {
    const app_meter_receiver* pt_best = nullptr;
    for (const app_meter_receiver& r : meter.receivers) {
      if (pt_best == nullptr || r.i_rssi_dbm_max > pt_best->i_rssi_dbm_max) pt_best = &r;
    }
    char ac_receiver[8] = "?";
    if (pt_best != nullptr && pt_best->receiver) {
      std::snprintf(ac_receiver, sizeof ac_receiver, "%d", int{*pt_best->receiver});
    }
    vos_trace_info(
        "Meter %s %s: %llu telegrams, best %d dBm (modem %s, receiver %s)",
        id.s_manufacturer.c_str(), id.s_id.c_str(),
        static_cast<unsigned long long>(meter.u64_telegrams),
        pt_best != nullptr ? pt_best->i_rssi_dbm_max : 0,
        pt_best != nullptr && pt_best->modem ? lan_serial_text(*pt_best->modem).c_str() : "?",
        ac_receiver);
    if (app_lan_event_json_on()) {
      app_json json =
          app_lan_event_begin_at(_line_buffer(), "meter", std::nullopt, meter.i64_last_ms);
      app_meter_members(meter, json);
      app_lan_event_write(json);
    }
  }
  if (pt_expected == nullptr || pt_survey == nullptr) return;
  *pt_survey = t_state.inventory.survey(*pt_expected);
  const auto warn = [](const std::vector<std::string>& list, const char* pc_word) {
    for (const std::string& s : list) VOS_WARNING("Meter %s %s", s.c_str(), pc_word);
  };
  warn(pt_survey->missing, "missing");
  warn(pt_survey->weak, "weak");
  warn(pt_survey->single, "single");
}
