// Events of the LAN modem link for programs that drive the tool: one JSON line per event on
// standard output (-j) and the facts that a bounded run's outcome is made of (-w). Each
// treating function and each request reports through one call here, which does nothing (one
// predictable branch) unless a consumer switched events on before the LAN threads started.
#pragma once

#include <coap3/coap.h>

#include <atomic>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "app_json.h"
#include "app_lan.h"
#include "app_lan_msg.h"

/// What the observer of a bounded run is told.
enum class lan_event_kind : std::uint8_t {
  modem,            ///< a modem registered or changed state
  response,         ///< a request of the tool was answered, reset, or not answered
  firmware_result,  ///< a firmware install result (b_ok: "OK")
  statistics,       ///< a modem's statistics were treated
  parameter,        ///< a parameter value was treated (b_ok: the whole value came)
  noise,            ///< a noise report was treated (b_ok: the report file was written)
  output_lost,      ///< standard output can no longer take the events (-j)
};

/// One fact for the observer; texts and addresses belong to the caller and live only during
/// the call.
struct lan_event {
  lan_event_kind e_kind;
  std::uint32_t u32_modem = 0;        ///< serial number of the modem, when b_registered
  bool b_registered = false;          ///< the sender is a registered modem (responses: always)
  std::uint32_t u32_code = 0;         ///< response: CoAP code (0x44 for 2.04), 0 for none
  bool b_reset = false;               ///< response: the modem reset the request
  bool b_ok = false;                  ///< firmware_result, parameter, noise: see lan_event_kind
  const char* pc_resource = nullptr;  ///< response: resource name (a path record's text)
  const coap_address_t* pt_sender = nullptr;  ///< indications: where it came from
  std::uint16_t u16_param_id = 0;             ///< parameter: its identifier
};

/// Called on the thread of the event (a LAN worker, or the main thread for responses), after
/// the event's JSON line (if any) is written, never with the registry lock held; it must take
/// no LAN lock and must not block.
using lan_event_observer = void (*)(const lan_event& t_event) noexcept;

/// Switches events on: JSON lines on standard output when @p b_json, facts to @p pf_observer
/// when not null. Main thread, before app_lan_init; never switched off.
void app_lan_event_start(bool b_json, lan_event_observer pf_observer);

/// True when JSON lines are written.
bool app_lan_event_json_on();

/// True once standard output refused an event; no event is written after that.
bool app_lan_event_output_lost();

/// Starts a JSON line of event @p pc_event in @p buf (cleared; its room is reused): the
/// members "event", "time" (now, ISO 8601 UTC with milliseconds) and, when @p modem holds a
/// serial number (a registered modem; 0 is one), "modem" ("%x"). The caller adds members,
/// then hands it to app_lan_event_write, which puts "seq" after "event".
app_json app_lan_event_begin(std::string& buf, const char* pc_event,
                             std::optional<std::uint32_t> modem);

/// The same with the time @p i64_utc_ms (UTC milliseconds) instead of now.
app_json app_lan_event_begin_at(std::string& buf, const char* pc_event,
                                std::optional<std::uint32_t> modem, std::int64_t i64_utc_ms);

/// Ends the object, adds the newline and writes the line to standard output in one piece,
/// with "seq" (1 for the run's first event, one more for each next one, in the order written)
/// after "event". Any thread. When standard output refuses it (a closed pipe, a bad
/// descriptor, an I/O error), one ERROR line goes to the trace, the observer is told
/// (output_lost), and no later event is written.
void app_lan_event_write(app_json& json);

/// The day selector of the statistics asked for (0 today, 1 yesterday), which the statistics
/// events name ("day"). Main thread, before the request goes out.
void app_lan_event_statistics_day(std::uint8_t u8_day);

namespace detail {

extern constinit std::atomic<bool> _b_lan_event_json;
extern constinit std::atomic<bool> _b_lan_event_on;

void _app_lan_event_frame(const coap_address_t* pt_sender, std::optional<std::uint32_t> modem,
                          const lan_rx_frame& rx, std::int64_t i64_utc_ms);
void _app_lan_event_modem(const lan_modem_entry& entry, const coap_address_t* pt_moved_from);
void _app_lan_event_response(std::uint32_t u32_id, const lan_path_t& path, std::uint32_t u32_code,
                             bool b_reset);
void _app_lan_event_firmware(const coap_address_t* pt_sender, std::optional<std::uint32_t> modem,
                             std::uint8_t u8_result, const char* pc_label);
void _app_lan_event_statistics(const coap_address_t* pt_sender, std::optional<std::uint32_t> modem,
                               std::span<const lan_rx_stats> stats);
void _app_lan_event_param(const coap_address_t* pt_sender, const lan_param_value& param,
                          bool b_whole);
void _app_lan_event_noise(const coap_address_t* pt_sender, const lan_noise_report& noise,
                          bool b_asked, bool b_written);

}  // namespace detail

/// A received radio frame from @p pt_sender, the registered modem @p modem (none: not
/// registered), arrived at @p i64_utc_ms (the event's time). "_lan_itf_task".
inline void app_lan_event_frame(const coap_address_t* pt_sender, std::optional<std::uint32_t> modem,
                                const lan_rx_frame& rx, std::int64_t i64_utc_ms) {
  if (detail::_b_lan_event_json.load(std::memory_order_relaxed)) [[unlikely]] {
    detail::_app_lan_event_frame(pt_sender, modem, rx, i64_utc_ms);
  }
}

/// Now as UTC milliseconds, the clock of the events.
std::int64_t app_lan_event_now_ms();

/// A modem entry just written by a modem info: reported when the modem is new, moved to another
/// IP address (@p pt_moved_from: where it was), or its state differs from the one last
/// reported. "_lan_modem_task", registry lock free.
inline void app_lan_event_modem(const lan_modem_entry& entry, const coap_address_t* pt_moved_from) {
  if (detail::_b_lan_event_on.load(std::memory_order_relaxed)) [[unlikely]] {
    detail::_app_lan_event_modem(entry, pt_moved_from);
  }
}

/// The outcome of one request to modem @p u32_id on @p path. Main thread.
inline void app_lan_event_response(std::uint32_t u32_id, const lan_path_t& path,
                                   std::uint32_t u32_code, bool b_reset) {
  if (detail::_b_lan_event_on.load(std::memory_order_relaxed)) [[unlikely]] {
    detail::_app_lan_event_response(u32_id, path, u32_code, b_reset);
  }
}

/// A firmware install result (@p u8_result 1: OK) from @p pt_sender, the registered modem
/// @p modem (none: not registered). "_lan_modem_task".
inline void app_lan_event_firmware(const coap_address_t* pt_sender,
                                   std::optional<std::uint32_t> modem, std::uint8_t u8_result,
                                   const char* pc_label) {
  if (detail::_b_lan_event_on.load(std::memory_order_relaxed)) [[unlikely]] {
    detail::_app_lan_event_firmware(pt_sender, modem, u8_result, pc_label);
  }
}

/// Statistics from @p pt_sender, the registered modem @p modem (none: not registered), receiver
/// 0 first. "_lan_modem_task", registry lock free.
inline void app_lan_event_statistics(const coap_address_t* pt_sender,
                                     std::optional<std::uint32_t> modem,
                                     std::span<const lan_rx_stats> stats) {
  if (detail::_b_lan_event_on.load(std::memory_order_relaxed)) [[unlikely]] {
    detail::_app_lan_event_statistics(pt_sender, modem, stats);
  }
}

/// A parameter value from @p pt_sender; @p b_whole false when the value was cut.
/// "_lan_modem_task", registry lock free.
inline void app_lan_event_param(const coap_address_t* pt_sender, const lan_param_value& param,
                                bool b_whole) {
  if (detail::_b_lan_event_on.load(std::memory_order_relaxed)) [[unlikely]] {
    detail::_app_lan_event_param(pt_sender, param, b_whole);
  }
}

/// A noise report from @p pt_sender; @p b_asked when it answers this run's measurement (only
/// such a report completes the outcome), @p b_written when the report file was written.
/// "_lan_modem_task", registry lock free.
inline void app_lan_event_noise(const coap_address_t* pt_sender, const lan_noise_report& noise,
                                bool b_asked, bool b_written) {
  if (detail::_b_lan_event_on.load(std::memory_order_relaxed)) [[unlikely]] {
    detail::_app_lan_event_noise(pt_sender, noise, b_asked, b_written);
  }
}
