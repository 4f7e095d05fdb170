// Events of the LAN modem link. Each thread builds its lines in a buffer of its own, reused
// from line to line; a line leaves in one write under a lock, so lines of different threads
// never mix.
#include "app_lan_event.h"

#include <poll.h>
#include <sys/uio.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <string>

#include "app_json.h"
#include "app_lan_internal.h"
#include "app_lan_mbus.h"
#include "app_wmbus.h"
#include "vos_errno_text.h"
#include "vos_trace.h"

namespace {

constexpr const char* source_name = "../tst/app_lan.c";

constinit lan_event_observer _pf_lan_event_observer = nullptr;
// Guards the writes and the sequence number, so that "seq" grows in the order of the lines.
std::mutex _t_lan_event_output;
constinit std::uint64_t _u64_lan_event_seq = 0;
constinit std::atomic<bool> _b_lan_event_lost{false};
constinit std::atomic<std::uint8_t> _u8_lan_stats_day{0};

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

// "ip:port" of @p pt_addr ("" for none) into @p buf.
const char* _address(const coap_address_t* pt_addr, std::array<unsigned char, 48>& buf) {
  buf.fill(0);
  if (pt_addr != nullptr) coap_print_addr(pt_addr, buf.data(), buf.size() - 1);
  return reinterpret_cast<const char*>(buf.data());
}

// Writes all of @p iov to standard output. @return 0, or the errno that stopped it.
int _write_all(std::span<iovec> iov) {
  while (!iov.empty()) {
    const ssize_t n = ::writev(STDOUT_FILENO, iov.data(), static_cast<int>(iov.size()));
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN) {  // a descriptor left non-blocking by whoever started us
        pollfd t_fd{STDOUT_FILENO, POLLOUT, 0};
        ::poll(&t_fd, 1, -1);
        continue;
      }
      return errno;
    }
    auto done = static_cast<std::size_t>(n);
    while (!iov.empty() && done >= iov.front().iov_len) {
      done -= iov.front().iov_len;
      iov = iov.subspan(1);
    }
    if (!iov.empty()) {
      iov.front().iov_base = static_cast<char*>(iov.front().iov_base) + done;
      iov.front().iov_len -= done;
    }
  }
  return 0;
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

bool app_lan_event_output_lost() { return _b_lan_event_lost.load(); }

void app_lan_event_statistics_day(std::uint8_t u8_day) { _u8_lan_stats_day.store(u8_day); }

std::int64_t app_lan_event_now_ms() {
  timespec t_now{};
  clock_gettime(CLOCK_REALTIME, &t_now);
  return std::int64_t{t_now.tv_sec} * 1000 + t_now.tv_nsec / 1'000'000;
}

app_json app_lan_event_begin(std::string& buf, const char* pc_event,
                             std::optional<std::uint32_t> modem) {
  return app_lan_event_begin_at(buf, pc_event, modem, app_lan_event_now_ms());
}

app_json app_lan_event_begin_at(std::string& buf, const char* pc_event,
                                std::optional<std::uint32_t> modem, std::int64_t i64_utc_ms) {
  app_json json(buf);
  json.str("event", pc_event);
  const timespec t_at{static_cast<std::time_t>(i64_utc_ms / 1000),
                      static_cast<long>(i64_utc_ms % 1000) * 1'000'000};
  std::array<char, 32> ac_time{};
  json.str("time", app_json_time(t_at, ac_time));
  if (modem) {
    json.str("modem", lan_serial_text(*modem).view());
  }
  return json;
}

void app_lan_event_write(app_json& json) {
  std::string& line = json.end();
  line += '\n';
  // "seq" goes right after "event", which app_lan_event_begin wrote first.
  const std::size_t split = std::min(line.find(",\"time\":"), line.size());
  int i_errno = 0;
  {
    const std::lock_guard lock(_t_lan_event_output);
    if (_b_lan_event_lost.load(std::memory_order_relaxed)) return;
    char ac_seq[32];
    const int n = std::snprintf(ac_seq, sizeof ac_seq, ",\"seq\":%llu",
                                static_cast<unsigned long long>(++_u64_lan_event_seq));
    std::array<iovec, 3> iov{{{line.data(), split},
                              {ac_seq, static_cast<std::size_t>(n)},
                              {line.data() + split, line.size() - split}}};
    i_errno = _write_all(iov);
    if (i_errno != 0) _b_lan_event_lost.store(true);
  }
  if (i_errno == 0) return;
  // Whoever reads the events has gone: say it once, and end the run through the observer.
  VOS_ERROR("Can not write the events on standard output: \"%s\" (%d)",
            vos_errno_text(i_errno).c_str(), i_errno);
  _observe({lan_event_kind::output_lost});
}

namespace detail {

void _app_lan_event_frame(const coap_address_t* pt_sender, std::optional<std::uint32_t> modem,
                          const lan_rx_frame& rx, std::int64_t i64_utc_ms) {
  std::array<unsigned char, 48> ac_addr;
  app_json json = app_lan_event_begin_at(_line_buffer(), "frame", modem, i64_utc_ms);
  json.str("address", _address(pt_sender, ac_addr))
      .num("rtc_sec", rx.u32_rtc_sec)
      .num("rtc_msec", rx.u16_rtc_msec)
      .num("freq_hz", rx.u32_freq)
      .num("rssi_dbm", -static_cast<int>(rx.u8_rssi))
      .num("freq_offset", rx.i16_freq_offset)
      .num("rf_mod", rx.u8_rf_mod)
      .num("receiver", rx.u8_rf_receiver)
      .num("length", rx.u16_data_len)
      .hex("raw", rx.frame);
  wmbus_link link{};
  if (app_wmbus_decode(rx.frame, &link) == 1) app_wmbus_members(link, json);
  if (app_lan_mbus_on()) app_lan_mbus_members(rx.frame, json);
  app_lan_event_write(json);
}

void _app_lan_event_modem(const lan_modem_entry& entry, const coap_address_t* pt_moved_from) {
  const lan_modem_info& info = entry.t_info;
  if (pt_moved_from == nullptr && info.u8_reported_state != 0 &&
      info.u8_state == info.u8_reported_state) {
    return;
  }
  if (_json()) {
    std::array<unsigned char, 48> ac_addr;
    std::array<unsigned char, 48> ac_from;
    std::array<char, 8> ac_hw{};
    std::array<char, 8> ac_sw{};
    std::string s_receivers;
    _array<std::uint8_t>(s_receivers, std::span{info.au8_rf, info.u8_nb_rf},
                         [](std::uint8_t u8) { return static_cast<int>(u8); });
    app_json json = app_lan_event_begin(_line_buffer(), "modem", info.u32_serial);
    json.str("address", _address(&entry.t_addr, ac_addr));
    if (pt_moved_from != nullptr) json.str("moved_from", _address(pt_moved_from, ac_from));
    json.num("protocol", info.u32_protocol)
        .str("hw_version", _version(info.u16_hw_ver, ac_hw))
        .str("sw_version", _version(info.u16_sw_ver, ac_sw))
        .num("type", info.u8_type)
        .num("location", info.u8_location)
        .num("state", info.u8_state)
        .str("state_name", app_lan_state_name(info.u8_state))
        .num("wakeup", info.u8_wakeup)
        .raw("receivers", s_receivers);
    app_lan_event_write(json);
  }
  _observe({.e_kind = lan_event_kind::modem, .u32_modem = info.u32_serial, .b_registered = true});
}

void _app_lan_event_response(std::uint32_t u32_id, const lan_path_t& path, std::uint32_t u32_code,
                             bool b_reset) {
  const std::string_view resource{path.pc_path != nullptr ? path.pc_path : "", path.u32_len};
  if (_json()) {
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
  _observe({.e_kind = lan_event_kind::response,
            .u32_modem = u32_id,
            .b_registered = true,
            .u32_code = u32_code,
            .b_reset = b_reset,
            .pc_resource = path.pc_path});
}

void _app_lan_event_firmware(const coap_address_t* pt_sender, std::optional<std::uint32_t> modem,
                             std::uint8_t u8_result, const char* pc_label) {
  if (_json()) {
    std::array<unsigned char, 48> ac_addr;
    app_json json = app_lan_event_begin(_line_buffer(), "firmware_result", modem);
    json.str("address", _address(pt_sender, ac_addr))
        .str("name", pc_label != nullptr ? pc_label : "")
        .num("result", u8_result)
        .str("word", u8_result == 1 ? "OK" : "KO")
        .boolean("ok", u8_result == 1);
    app_lan_event_write(json);
  }
  _observe({.e_kind = lan_event_kind::firmware_result,
            .u32_modem = modem.value_or(0),
            .b_registered = modem.has_value(),
            .b_ok = u8_result == 1,
            .pt_sender = pt_sender});
}

void _app_lan_event_statistics(const coap_address_t* pt_sender, std::optional<std::uint32_t> modem,
                               std::span<const lan_rx_stats> stats) {
  if (_json()) {
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
    std::array<unsigned char, 48> ac_addr;
    app_json json = app_lan_event_begin(_line_buffer(), "statistics", modem);
    json.str("address", _address(pt_sender, ac_addr));
    switch (_u8_lan_stats_day.load()) {
      case 0:
        json.str("day", "today");
        break;
      case 1:
        json.str("day", "yesterday");
        break;
      default:
        break;  // a selector the modems do not define: no name for it
    }
    json.raw("receivers", s_receivers);
    app_lan_event_write(json);
  }
  _observe({.e_kind = lan_event_kind::statistics,
            .u32_modem = modem.value_or(0),
            .b_registered = modem.has_value(),
            .pt_sender = pt_sender});
}

void _app_lan_event_param(const coap_address_t* pt_sender, const lan_param_value& param,
                          bool b_whole) {
  std::uint32_t u32_id = 0;
  const bool b_registered = _app_lan_find_sender(pt_sender, &u32_id);
  if (_json()) {
    std::array<unsigned char, 48> ac_addr;
    app_json json = app_lan_event_begin(_line_buffer(), "parameter",
                                        b_registered ? std::optional{u32_id} : std::nullopt);
    json.str("address", _address(pt_sender, ac_addr))
        .num("id", param.u16_id)
        .num("length", param.u8_len)
        .hex("value", param.value)
        .boolean("complete", b_whole);
    app_lan_event_write(json);
  }
  _observe({.e_kind = lan_event_kind::parameter,
            .u32_modem = u32_id,
            .b_registered = b_registered,
            .b_ok = b_whole,
            .pt_sender = pt_sender,
            .u16_param_id = param.u16_id});
}

void _app_lan_event_noise(const coap_address_t* pt_sender, const lan_noise_report& noise,
                          bool b_asked, bool b_written) {
  std::uint32_t u32_id = 0;
  const bool b_registered = _app_lan_find_sender(pt_sender, &u32_id);
  if (_json()) {
    std::string s_noise;
    std::string s_margin;
    _array<std::uint8_t>(s_noise, noise.au8_noise,
                         [](std::uint8_t u8) { return -static_cast<int>(u8); });
    _array<std::uint8_t>(s_margin, noise.au8_margin,
                         [](std::uint8_t u8) { return static_cast<int>(u8); });
    std::array<unsigned char, 48> ac_addr;
    app_json json = app_lan_event_begin(_line_buffer(), "noise",
                                        b_registered ? std::optional{u32_id} : std::nullopt);
    json.str("address", _address(pt_sender, ac_addr))
        .raw("noise_dbm", s_noise)
        .raw("margin_db", s_margin)
        .boolean("asked", b_asked)
        .boolean("written", b_written);
    app_lan_event_write(json);
  }
  if (b_asked) {
    _observe({.e_kind = lan_event_kind::noise,
              .u32_modem = u32_id,
              .b_registered = b_registered,
              .b_ok = b_written,
              .pt_sender = pt_sender});
  }
}

}  // namespace detail
