// Treating functions of the inbound LAN messages, one per kind. They run in the two workers,
// one message at a time per worker: each decodes its payload, makes one registry call and
// traces. What a registry change traces is written by the report it hands to the registry.
#include <coap3/coap.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <span>
#include <string>
#include <string_view>

#include "app_lan.h"
#include "app_lan_event.h"
#include "app_lan_internal.h"
#include "app_lan_msg.h"
#include "app_lan_telegram.h"
#include "vos_errno_text.h"
#include "vos_fs.h"
#include "vos_task_linux.h"
#include "vos_trace.h"
#include "vos_util_date.h"

namespace {

constexpr const char* source_name = "../tst/app_lan.c";

constexpr std::uint32_t supported_protocol = 1;
constexpr std::size_t addr_text_size = 26;
constexpr std::size_t report_line_size = 1024;

using bytes = std::span<const std::uint8_t>;

bytes _payload(const std::uint8_t* pu8_payload, std::uint32_t u32_size) {
  return pu8_payload != nullptr ? bytes{pu8_payload, u32_size} : bytes{};
}

int _major(std::uint16_t u16_ver) { return u16_ver >> 8; }
int _minor(std::uint16_t u16_ver) { return u16_ver & 0xFF; }

// Announces a change of state once (the registry then records the state as reported); an
// unknown state is reported on every info.
void _report_state(const lan_modem_info& info) {
  if (info.u8_state == LAN_STATE_READY || info.u8_state == LAN_STATE_RUNNING) {
    if (info.u8_reported_state != info.u8_state) {
      VOS_DEBUG("Modem %x is in %s state", info.u32_serial, app_lan_state_name(info.u8_state));
    }
  } else {
    VOS_ERROR("Unsupported state %d for modem %x", info.u8_state, info.u32_serial);
  }
}

// Report of the registry for a modem info, once its lock is free and before the other threads
// can see a new modem: its lines and event come first.
void _report_info(detail::lan_registry_outcome e_outcome, const lan_modem_entry* pt_entry,
                  const coap_address_t* pt_moved_from, void*) {
  using enum detail::lan_registry_outcome;
  const lan_modem_info& info = pt_entry->t_info;
  std::array<unsigned char, addr_text_size> ac_addr{};
  coap_print_addr(&pt_entry->t_addr, ac_addr.data(), ac_addr.size());
  ac_addr.back() = '\0';
  const char* pc_addr = reinterpret_cast<const char*>(ac_addr.data());
  if (e_outcome == added || e_outcome == full) {
    vos_trace_info("New modem detected %x (IP:%s)", info.u32_serial, pc_addr);
  }
  if (e_outcome == full) {
    VOS_ERROR("No more place in modem list!!!!");
    return;
  }
  if (e_outcome == added) vos_trace_info("Register new modem %x", info.u32_serial);
  if (e_outcome == moved) {
    std::array<unsigned char, addr_text_size> ac_from{};
    coap_print_addr(pt_moved_from, ac_from.data(), ac_from.size());
    ac_from.back() = '\0';
    VOS_WARNING("Modem %x moved from IP:%s to IP:%s", info.u32_serial,
                reinterpret_cast<const char*>(ac_from.data()), pc_addr);
  }
  app_lan_event_modem(*pt_entry, e_outcome == moved ? pt_moved_from : nullptr);
  _report_state(info);
}

// What the statistics report needs besides the entry.
struct statistics_report {
  const coap_address_t* pt_sender;
  std::span<const lan_rx_stats> received;
};

// Report of the registry for statistics (@p pv_report: a statistics_report).
void _report_statistics(detail::lan_registry_outcome, const lan_modem_entry* pt_entry,
                        const coap_address_t*, void* pv_report) {
  const auto& report = *static_cast<const statistics_report*>(pv_report);
  const std::uint32_t u32_id = pt_entry != nullptr ? pt_entry->t_info.u32_serial : 0;
  VOS_DEBUG("Update statistics of Modem %x", u32_id);
  for (std::size_t i = 0; i < report.received.size(); ++i) {
    const lan_rx_stats& s = report.received[i];
    vos_trace_info(
        "Receiver %d : CRC OK : %d\t CRC KO : %d\t LOAD : %d\t RSSI_min : -%d\t RSSI_avg : -%d\t "
        "RSSI_max : -%d",
        static_cast<int>(i), s.u16_crc_ok, s.u16_crc_ko, s.u16_load, s.u8_rssi_min, s.u8_rssi_avg,
        s.u8_rssi_max);
  }
  app_lan_event_statistics(report.pt_sender,
                           pt_entry != nullptr ? std::optional{u32_id} : std::nullopt,
                           report.received);
}

// The noise report this run waits for: the address of the modem asked, published by the main
// thread (app_lan_expect_noise) before its request goes out, read by "_lan_modem_task".
std::mutex _noise_mutex;
coap_address_t _t_noise_target{};
bool _b_noise_expected = false;

bool _noise_expected_from(const coap_address_t* pt_sender) noexcept {
  const std::lock_guard lock(_noise_mutex);
  return pt_sender != nullptr && _b_noise_expected &&
         app_lan_same_host(_t_noise_target, *pt_sender);
}

// Replaces @p pc_final by the report @p content (vos_fs_replace); a failure is traced.
bool _write_report(const char* pc_final, std::string_view content) {
  int i_errno = 0;
  const int i_result = vos_fs_replace(pc_final, content, 0644, &i_errno);
  if (i_result != 1) {
    VOS_ERROR(i_result == -1 ? "Can't create %s: \"%s\" (%d)" : "Can't write %s: \"%s\" (%d)",
              pc_final, vos_errno_text(i_errno).c_str(), i_errno);
  }
  return i_result == 1;
}

// The measurement is the last act of a run.
void _lan_noise_end(int i_status) noexcept {
  vos_os_wait_delay(VOS_OS_TICKS_PER_SECOND);
  std::exit(i_status);
}

// Set before the workers start (app_lan_set_noise_policy), read by "_lan_modem_task".
app_lan_noise_policy _t_noise_policy;

}  // namespace

void app_lan_set_noise_policy(const app_lan_noise_policy& t_policy) {
  _t_noise_policy = t_policy;
  if (_t_noise_policy.pc_file == nullptr) _t_noise_policy.pc_file = app_lan_noise_policy{}.pc_file;
}

namespace detail {

char* _app_lan_print_id(std::span<const std::uint8_t> frame,
                        std::span<char, LAN_ENDPOINT_TEXT_SIZE> out) noexcept {
  return lan_format_endpoint(frame, out);
}

std::int32_t _app_lan_treat_rx_msg_req(const coap_address_t* pt_sender,
                                       const std::uint8_t* pu8_payload, std::uint32_t u32_size) {
  const vos_trace_batch batch;  // the frame's lines leave together once it is treated
  lan_rx_frame rx{};
  if (pu8_payload == nullptr || u32_size <= LAN_RX_HEADER_SIZE - 1 ||
      lan_decode_rx_frame(_payload(pu8_payload, u32_size), &rx) != 1) {
    VOS_ERROR("Receive bad rx_msg, size:%d", static_cast<int>(u32_size));
    return 1;
  }
  // Written for every frame: put together without a format, the same text as
  // "... RTC:%d,%03d, FREQ:%d, RSSI:-%d, FREQ_OFFSET:%d, RF_MOD:%d, RF_RECEIVER:%d".
  VOS_DEBUG_LINE()
      .text("\n################\n PACKET RECEIVED \n################\n RTC:")
      .dec(static_cast<int>(rx.u32_rtc_sec))
      .text(",")
      .dec(rx.u16_rtc_msec, 3)
      .text(", FREQ:")
      .dec(static_cast<int>(rx.u32_freq))
      .text(", RSSI:-")
      .dec(rx.u8_rssi)
      .text(", FREQ_OFFSET:")
      .dec(rx.i16_freq_offset)
      .text(", RF_MOD:")
      .dec(rx.u8_rf_mod)
      .text(", RF_RECEIVER:")
      .dec(rx.u8_rf_receiver);
  if (u32_size == LAN_RX_HEADER_SIZE) {
    VOS_ERROR("Receive bad rx_msg, size:%d", static_cast<int>(u32_size));
    return 1;
  }
  VOS_DEBUG_LINE().text("WMBUS Data len : ").dec(rx.u16_data_len);
  VOS_DUMP_LINE().bytes(rx.frame.data(), rx.frame.size());
  std::uint32_t u32_id = 0;
  const bool b_registered = _app_lan_find_sender(pt_sender, &u32_id);
  std::array<char, LAN_ENDPOINT_TEXT_SIZE> ac_endpoint{};
  VOS_DEBUG_LINE()
      .text("Receive RF frame from EndPoint [")
      .text(_app_lan_print_id(rx.frame, ac_endpoint))
      .text("] on modem [")
      .hex(u32_id)
      .text("]");
  VOS_DEBUG_LINE().text("\n################\n################");
  const std::optional<std::uint32_t> modem = b_registered ? std::optional{u32_id} : std::nullopt;
  // One arrival time for the frame event and the telegram, so that a replay of the events
  // groups them as the live run did.
  if (detail::_b_lan_event_json.load(std::memory_order_relaxed) ||
      detail::_b_lan_telegram_on.load(std::memory_order_relaxed)) [[unlikely]] {
    const std::int64_t i64_ms = app_lan_event_now_ms();
    app_lan_event_frame(pt_sender, modem, rx, i64_ms);
    app_lan_telegram_frame(pt_sender, modem, rx, i64_ms);
  }
  return 1;
}

std::int32_t _app_lan_treat_info(const coap_address_t* pt_sender, const std::uint8_t* pu8_payload,
                                 std::uint32_t u32_size) {
  lan_modem_info info{};
  std::uint8_t u8_announced = 0;
  if (lan_decode_modem_info(_payload(pu8_payload, u32_size), &info, &u8_announced) != 1) {
    VOS_ERROR("Malformed info msg");
    return -1;
  }
  if (info.u32_protocol != supported_protocol) {
    VOS_ERROR("Not supported LAN protocol version:%d", static_cast<int>(info.u32_protocol));
    return -1;
  }
  if (u8_announced > LAN_MAX_RF) {
    VOS_ERROR("Too much receiver channel :%d", u8_announced);
  }
  vos_trace_info(
      "Modem INFO :protocol:%d, serial number:%x, tmsp:%d, hw_ver:%d.%d, sw_ver:%d.%d, type:%d, "
      "location:%d, state:%d, wakeup:%d, nb RF receiver:%d, RF:%x/%x/%x/%x/%x/%x/%x",
      static_cast<int>(info.u32_protocol), info.u32_serial, static_cast<int>(info.u32_tmsp),
      _major(info.u16_hw_ver), _minor(info.u16_hw_ver), _major(info.u16_sw_ver),
      _minor(info.u16_sw_ver), info.u8_type, info.u8_location, info.u8_state, info.u8_wakeup,
      info.u8_nb_rf, info.au8_rf[0], info.au8_rf[1], info.au8_rf[2], info.au8_rf[3], info.au8_rf[4],
      info.au8_rf[5], info.au8_rf[6]);
  return _app_lan_register(pt_sender, info, _report_info, nullptr);
}

std::int32_t _app_lan_treat_firmware_install_ind(const coap_address_t* pt_sender,
                                                 const std::uint8_t* pu8_payload,
                                                 std::uint32_t u32_size) {
  std::uint8_t u8_result = 0;
  if (lan_decode_firmware_install(_payload(pu8_payload, u32_size), &u8_result) != 1) {
    VOS_ERROR("Malformed fw install ind msg");
    return -1;
  }
  lan_fw_taken fw{};  // serial 0 and no label for an unknown sender; a modem may have serial 0 too
  const bool b_registered = _app_lan_take_firmware(pt_sender, &fw) == 1;
  // By its full path: the working directory is not to be relied on.
  if (b_registered && fw.ac_staged[0] != '\0') {
    char ac_path[sizeof "/var/ftp/" + LAN_FW_STAGED_SIZE];
    const int n = std::snprintf(ac_path, sizeof ac_path, "%s%s", LAN_FTP_DIR, fw.ac_staged);
    if (n > 0 && static_cast<std::size_t>(n) < sizeof ac_path) ::unlink(ac_path);
  }
  VOS_DEBUG("Firmware install (name:%s) of modem %x is %s ", fw.ac_label, fw.u32_id,
            u8_result == 1 ? "OK" : "KO");
  app_lan_event_firmware(pt_sender, b_registered ? std::optional{fw.u32_id} : std::nullopt,
                         u8_result, fw.ac_label);
  return 1;
}

std::int32_t _app_lan_treat_statistics(const coap_address_t* pt_sender,
                                       const std::uint8_t* pu8_payload, std::uint32_t u32_size) {
  const bytes payload = _payload(pu8_payload, u32_size);
  if (payload.size() < LAN_STATS_MIN_SIZE) {
    VOS_ERROR("Malformed stats msg");
    return -1;
  }
  lan_rx_stats at_stats[LAN_MAX_RF]{};
  std::uint8_t u8_nb = 0;
  if (lan_decode_statistics(payload, at_stats, &u8_nb) != 1) {
    VOS_ERROR("Bad nb receiver channel :%d", u8_nb);
    return -1;
  }
  statistics_report report{pt_sender, {at_stats, u8_nb}};
  _app_lan_store_statistics(pt_sender, at_stats, _report_statistics, &report);
  return 1;
}

std::int32_t _app_lan_treat_param(const coap_address_t* pt_sender, const std::uint8_t* pu8_payload,
                                  std::uint32_t u32_size) {
  const bytes payload = _payload(pu8_payload, u32_size);
  lan_param_value param{};
  const int i_decoded = lan_decode_param_value(payload, &param);
  if (i_decoded < 0) {
    VOS_ERROR("Malformed param value msg, size:%d", static_cast<int>(payload.size()));
    VOS_DUMP(payload.data(), static_cast<std::uint32_t>(payload.size()));
    return 1;
  }
  vos_trace_info("Param req : 0x%x len:%d, value:", param.u16_id, param.u8_len);
  if (i_decoded == 0) {
    VOS_ERROR("Param value cut: %d of %d bytes", static_cast<int>(param.value.size()),
              param.u8_len);
  }
  VOS_DUMP(param.value.data(), static_cast<std::uint32_t>(param.value.size()));
  app_lan_event_param(pt_sender, param, i_decoded == 1);
  return 1;
}

std::int32_t _app_lan_treat_noise(const coap_address_t* pt_sender, const std::uint8_t* pu8_payload,
                                  std::uint32_t u32_size) {
  lan_noise_report noise{};
  if (lan_decode_noise(_payload(pu8_payload, u32_size), &noise) != 1) {
    VOS_ERROR("Malformed noise ind msg, size:%d", static_cast<int>(u32_size));
    return -1;
  }
  const bool b_expected = _noise_expected_from(pt_sender);
  if (!b_expected) {
    std::array<unsigned char, addr_text_size> ac_addr{};
    if (pt_sender != nullptr) coap_print_addr(pt_sender, ac_addr.data(), ac_addr.size());
    ac_addr.back() = '\0';
    VOS_WARNING("Noise report from %s not asked for: traced only, not written",
                reinterpret_cast<const char*>(ac_addr.data()));
  }
  char ac_date[vos_util_date_len + 1] = "";
  vos_util_timestamp_to_date_gmt(vos_util_get_timestamp(), ac_date);
  std::string s_report = std::string("Date : ") + ac_date + "\r\n";

  const auto& n = noise.au8_noise;
  const auto& m = noise.au8_margin;
  std::array<char, report_line_size> ac_line{};
  const auto line = [&s_report](const char* pc_line) {
    vos_trace_info("%s", pc_line);
    s_report.append(pc_line).append("\r\n");
  };
  line("Noise (dBM)");
  line("|\t1\t|\t2\t|\t3\t|\t4\t|\t5\t|\t6\t|\t7\t|");
  std::snprintf(ac_line.data(), ac_line.size(),
                "|\t-%d\t|\t-%d\t|\t-%d\t|\t-%d\t|\t-%d\t|\t-%d\t|\t-%d\t|", n[0], n[1], n[2], n[3],
                n[4], n[5], n[6]);
  line(ac_line.data());
  line("Noise Margin (dB)");
  line("|\t1\t|\t2\t|\t3\t|\t4\t|\t5\t|\t6\t|\t7\t|");
  std::snprintf(ac_line.data(), ac_line.size(),
                "|\t%d\t|\t%d\t|\t%d\t|\t%d\t|\t%d\t|\t%d\t|\t%d\t|", m[0], m[1], m[2], m[3], m[4],
                m[5], m[6]);
  line(ac_line.data());
  if (!b_expected) {
    app_lan_event_noise(pt_sender, noise, false, false);
    return 1;
  }
  const bool b_written = _write_report(_t_noise_policy.pc_file, s_report);
  app_lan_event_noise(pt_sender, noise, true, b_written);

  const auto pf_end = _t_noise_policy.pf_end != nullptr ? _t_noise_policy.pf_end : _lan_noise_end;
  pf_end(b_written ? LAN_NOISE_WRITTEN_STATUS : LAN_NOISE_UNWRITTEN_STATUS);
  return 1;
}

}  // namespace detail

void app_lan_expect_noise(const coap_address_t* pt_target) {
  const std::lock_guard lock(_noise_mutex);
  _b_noise_expected = pt_target != nullptr;
  if (pt_target != nullptr) _t_noise_target = *pt_target;
}
