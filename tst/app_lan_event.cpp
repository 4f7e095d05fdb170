// Events of the LAN modem link. Each thread builds its lines in a buffer of its own, reused
// from line to line; a line leaves in one write under a lock, so lines of different threads
// never mix.
#include "app_lan_event.h"

#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <string>

#include "app_json.h"
#include "app_lan_internal.h"
#include "app_wmbus.h"

namespace {

constinit lan_event_observer _pf_lan_event_observer = nullptr;
std::mutex _t_lan_event_output;

constexpr std::uint8_t state_ready = 1;
constexpr std::uint8_t state_running = 2;

const char* _state_name(std::uint8_t u8_state) {
  switch (u8_state) {
    case state_ready:
      return "READY";
    case state_running:
      return "RUNNING";
    default:
      return "UNKNOWN";
  }
}

std::string& _line_buffer() {
  thread_local std::string s_buffer;
  return s_buffer;
}

void _observe(const lan_event& t_event) {
  if (_pf_lan_event_observer != nullptr) _pf_lan_event_observer(t_event);
}

bool _json() { return detail::_b_lan_event_json.load(std::memory_order_relaxed); }

// "%d.%d" of a version with the major number in the high byte.
std::string_view _version(std::uint16_t u16_ver, std::span<char, 8> buf) {
  const int n = std::snprintf(buf.data(), buf.size(), "%d.%d", u16_ver >> 8, u16_ver & 0xFF);
  return {buf.data(), n > 0 ? static_cast<std::size_t>(n) : 0};
}

// "2.04" of a CoAP code.
std::string_view _code(std::uint32_t u32_code, std::span<char, 8> buf) {
  const int n =
      std::snprintf(buf.data(), buf.size(), "%u.%02u", (u32_code >> 5) & 7, u32_code & 31);
  return {buf.data(), n > 0 ? static_cast<std::size_t>(n) : 0};
}

// Appends a JSON array of numbers to @p out.
template <class T, class F>
void _array(std::string& out, std::span<const T> values, F value_of) {
  out += '[';
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i != 0) out += ',';
    out += std::to_string(value_of(values[i]));
  }
  out += ']';
}

}  // namespace

namespace detail {

constinit std::atomic<bool> _b_lan_event_json{false};
constinit std::atomic<bool> _b_lan_event_on{false};

}  // namespace detail

void app_lan_event_start(bool b_json, lan_event_observer pf_observer) {
  _pf_lan_event_observer = pf_observer;
  detail::_b_lan_event_json.store(b_json, std::memory_order_relaxed);
  detail::_b_lan_event_on.store(b_json || pf_observer != nullptr, std::memory_order_relaxed);
}

bool app_lan_event_json_on() { return _json(); }

app_json app_lan_event_begin(std::string& buf, const char* pc_event, std::uint32_t u32_modem) {
  app_json json(buf);
  json.str("event", pc_event);
  timespec t_now{};
  clock_gettime(CLOCK_REALTIME, &t_now);
  std::array<char, 32> ac_time{};
  json.str("time", app_json_time(t_now, ac_time));
  if (u32_modem != 0) {
    char ac_serial[12];
    const int n = std::snprintf(ac_serial, sizeof ac_serial, "%x", u32_modem);
    json.str("modem", std::string_view{ac_serial, static_cast<std::size_t>(n)});
  }
  return json;
}

void app_lan_event_write(app_json& json) {
  std::string& line = json.end();
  line += '\n';
  const std::lock_guard lock(_t_lan_event_output);
  std::string_view text = line;
  while (!text.empty()) {
    const ssize_t n = ::write(STDOUT_FILENO, text.data(), text.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      break;  // a reader that went away loses the rest; the run goes on
    }
    text.remove_prefix(static_cast<std::size_t>(n));
  }
}

namespace detail {

void _app_lan_event_frame(std::uint32_t u32_id, const lan_rx_frame& rx) {
  app_json json = app_lan_event_begin(_line_buffer(), "frame", u32_id);
  json.num("rtc_sec", rx.u32_rtc_sec)
      .num("rtc_msec", rx.u16_rtc_msec)
      .num("freq_hz", rx.u32_freq)
      .num("rssi_dbm", -static_cast<int>(rx.u8_rssi))
      .num("freq_offset", rx.i16_freq_offset)
      .num("rf_mod", rx.u8_rf_mod)
      .num("receiver", rx.u8_rf_receiver)
      .num("length", rx.u16_data_len)
      .hex("raw", rx.frame);
  wmbus_link link{};
  if (app_wmbus_decode(rx.frame, &link) == 1) {
    // Only the fields the frame holds: a short frame stops where its bytes stop.
    json.num("l", link.u8_l);
    if (link.u8_fields >= 2) {
      json.num("c", link.u8_c);
      if (const char* pc = app_wmbus_c_name(link.u8_c)) json.str("c_name", pc);
    }
    if (link.u8_fields >= 3) json.num("m", link.u16_m).str("manufacturer", link.ac_manufacturer);
    if (link.u8_fields >= 4) json.str("id", link.ac_id);
    if (link.u8_fields >= 5) json.num("version", link.u8_version);
    if (link.u8_fields >= 6) {
      json.num("device_type", link.u8_device_type);
      if (const char* pc = app_wmbus_device_type_name(link.u8_device_type)) {
        json.str("device_type_name", pc);
      }
    }
    if (link.u8_fields >= 7) {
      json.num("ci", link.u8_ci);
      if (const char* pc = app_wmbus_ci_name(link.u8_ci)) json.str("ci_name", pc);
    }
  }
  app_lan_event_write(json);
}

void _app_lan_event_modem(const lan_modem_entry& entry) {
  const lan_modem_info& info = entry.t_info;
  if (info.u8_reported_state != 0 && info.u8_state == info.u8_reported_state) return;
  _observe({lan_event_kind::modem, info.u32_serial});
  if (!_json()) return;
  std::array<unsigned char, 48> ac_addr{};
  coap_print_addr(&entry.t_addr, ac_addr.data(), ac_addr.size() - 1);
  std::array<char, 8> ac_hw{};
  std::array<char, 8> ac_sw{};
  std::string s_receivers;
  _array<std::uint8_t>(s_receivers, std::span{info.au8_rf, info.u8_nb_rf},
                       [](std::uint8_t u8) { return static_cast<int>(u8); });
  app_json json = app_lan_event_begin(_line_buffer(), "modem", info.u32_serial);
  json.str("address", reinterpret_cast<const char*>(ac_addr.data()))
      .num("protocol", info.u32_protocol)
      .str("hw_version", _version(info.u16_hw_ver, ac_hw))
      .str("sw_version", _version(info.u16_sw_ver, ac_sw))
      .num("type", info.u8_type)
      .num("location", info.u8_location)
      .num("state", info.u8_state)
      .str("state_name", _state_name(info.u8_state))
      .num("wakeup", info.u8_wakeup)
      .raw("receivers", s_receivers);
  app_lan_event_write(json);
}

void _app_lan_event_response(std::uint32_t u32_id, const lan_path_t& path, std::uint32_t u32_code,
                             bool b_reset) {
  const std::string_view resource{path.pc_path != nullptr ? path.pc_path : "", path.u32_len};
  _observe({lan_event_kind::response, u32_id, u32_code, b_reset, false, path.pc_path});
  if (!_json()) return;
  app_json json = app_lan_event_begin(_line_buffer(), "response", u32_id);
  json.str("resource", resource);
  std::array<char, 8> ac_code{};
  if (u32_code != 0) {
    json.str("code", _code(u32_code, ac_code));
  } else {
    json.raw("code", "null");
  }
  json.boolean("reset", b_reset);
  app_lan_event_write(json);
}

void _app_lan_event_firmware(std::uint32_t u32_id, std::uint8_t u8_result, const char* pc_label) {
  _observe({lan_event_kind::firmware_result, u32_id, 0, false, u8_result == 1});
  if (!_json()) return;
  app_json json = app_lan_event_begin(_line_buffer(), "firmware_result", u32_id);
  json.str("name", pc_label != nullptr ? pc_label : "")
      .num("result", u8_result)
      .str("word", u8_result == 1 ? "OK" : "KO")
      .boolean("ok", u8_result == 1);
  app_lan_event_write(json);
}

void _app_lan_event_statistics(std::uint32_t u32_id, std::span<const lan_rx_stats> stats) {
  _observe({lan_event_kind::statistics, u32_id});
  if (!_json()) return;
  std::string s_receivers = "[";
  std::string s_one;
  for (std::size_t i = 0; i < stats.size(); ++i) {
    const lan_rx_stats& s = stats[i];
    app_json one(s_one);
    one.num("receiver", static_cast<std::int64_t>(i))
        .num("crc_ok", s.u16_crc_ok)
        .num("crc_ko", s.u16_crc_ko)
        .num("load", s.u16_load)
        .num("rssi_min_dbm", -static_cast<int>(s.u8_rssi_min))
        .num("rssi_avg_dbm", -static_cast<int>(s.u8_rssi_avg))
        .num("rssi_max_dbm", -static_cast<int>(s.u8_rssi_max));
    if (i != 0) s_receivers += ',';
    s_receivers += one.end();
  }
  s_receivers += ']';
  app_json json = app_lan_event_begin(_line_buffer(), "statistics", u32_id);
  json.raw("receivers", s_receivers);
  app_lan_event_write(json);
}

void _app_lan_event_param(const coap_address_t* pt_sender, const lan_param_value& param,
                          bool b_whole) {
  const std::uint32_t u32_id = _app_lan_modem_id(pt_sender);
  _observe({lan_event_kind::parameter, u32_id});
  if (!_json()) return;
  app_json json = app_lan_event_begin(_line_buffer(), "parameter", u32_id);
  json.num("id", param.u16_id)
      .num("length", param.u8_len)
      .hex("value", param.value)
      .boolean("complete", b_whole);
  app_lan_event_write(json);
}

void _app_lan_event_noise(const coap_address_t* pt_sender, const lan_noise_report& noise,
                          bool b_asked, bool b_written) {
  const std::uint32_t u32_id = _app_lan_modem_id(pt_sender);
  if (b_asked) _observe({lan_event_kind::noise, u32_id, 0, false, b_written});
  if (!_json()) return;
  std::string s_noise;
  std::string s_margin;
  _array<std::uint8_t>(s_noise, noise.au8_noise,
                       [](std::uint8_t u8) { return -static_cast<int>(u8); });
  _array<std::uint8_t>(s_margin, noise.au8_margin,
                       [](std::uint8_t u8) { return static_cast<int>(u8); });
  app_json json = app_lan_event_begin(_line_buffer(), "noise", u32_id);
  json.raw("noise_dbm", s_noise)
      .raw("margin_db", s_margin)
      .boolean("asked", b_asked)
      .boolean("written", b_written);
  app_lan_event_write(json);
}

}  // namespace detail
