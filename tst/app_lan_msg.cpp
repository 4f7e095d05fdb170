// LAN message formats. Every read is bounds-checked against the payload; nothing is ever read
// through a cast onto the buffer.
#include "app_lan_msg.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

#include "vos_util_hexa.h"

namespace {

using bytes = std::span<const std::uint8_t>;

// Little-endian reads that give 0 past the end, for layouts whose missing tail reads as 0.
std::uint8_t get_u8(bytes b, std::size_t off) { return off < b.size() ? b[off] : 0; }
std::uint16_t get_u16(bytes b, std::size_t off) {
  return static_cast<std::uint16_t>(get_u8(b, off) | (get_u8(b, off + 1) << 8));
}
std::uint32_t get_u32(bytes b, std::size_t off) {
  return static_cast<std::uint32_t>(get_u16(b, off)) |
         (static_cast<std::uint32_t>(get_u16(b, off + 2)) << 16);
}

// Sequential little-endian writer over a buffer already known to be large enough.
class le_writer {
 public:
  explicit le_writer(std::span<std::uint8_t> out) : out_(out) {}
  void u8(std::uint8_t v) { out_[pos_++] = v; }
  void u16(std::uint16_t v) {
    u8(static_cast<std::uint8_t>(v));
    u8(static_cast<std::uint8_t>(v >> 8));
  }
  void u32(std::uint32_t v) {
    u16(static_cast<std::uint16_t>(v));
    u16(static_cast<std::uint16_t>(v >> 16));
  }
  void raw(bytes b) {
    std::copy(b.begin(), b.end(), out_.begin() + static_cast<std::ptrdiff_t>(pos_));
    pos_ += b.size();
  }
  void text(std::string_view s) {
    std::copy(s.begin(), s.end(), out_.begin() + static_cast<std::ptrdiff_t>(pos_));
    pos_ += s.size();
    u8(0);
  }
  std::uint32_t size() const { return static_cast<std::uint32_t>(pos_); }

 private:
  std::span<std::uint8_t> out_;
  std::size_t pos_ = 0;
};

}  // namespace

int lan_decode_modem_info(bytes payload, lan_modem_info* pt_info,
                          std::uint8_t* pu8_nb_rf_announced) {
  if (pt_info == nullptr || payload.size() < LAN_INFO_MIN_SIZE) return -1;
  lan_modem_info info{};
  info.u32_protocol = get_u32(payload, 0);
  info.u32_serial = get_u32(payload, 4);
  info.u32_tmsp = get_u32(payload, 8);
  info.u16_hw_ver = get_u16(payload, 12);
  info.u16_sw_ver = get_u16(payload, 14);
  info.u8_type = get_u8(payload, 16);
  info.u8_location = get_u8(payload, 17);
  info.u8_state = get_u8(payload, 18);
  info.u8_wakeup = get_u8(payload, 19);
  const std::uint8_t announced = get_u8(payload, 20);
  info.u8_nb_rf = static_cast<std::uint8_t>(std::min<std::uint32_t>(announced, LAN_MAX_RF));
  // An info of 19 or 20 bytes ends before the receivers: an empty tail, never a pointer past
  // the end.
  const bytes rf = payload.subspan(std::min<std::size_t>(payload.size(), LAN_INFO_RF_OFFSET));
  const std::size_t copied = std::min<std::size_t>(info.u8_nb_rf, rf.size());
  std::copy_n(rf.begin(), copied, info.au8_rf);
  *pt_info = info;
  if (pu8_nb_rf_announced != nullptr) *pu8_nb_rf_announced = announced;
  return 1;
}

int lan_decode_rx_frame(bytes payload, lan_rx_frame* pt_rx) {
  if (pt_rx == nullptr || payload.size() < LAN_RX_HEADER_SIZE) return -1;
  lan_rx_frame rx{};
  rx.u32_freq = get_u32(payload, 0);
  rx.u32_rtc_sec = get_u32(payload, 4);
  rx.u16_rtc_msec = get_u16(payload, 8);
  rx.i16_freq_offset = static_cast<std::int16_t>(get_u16(payload, 10));
  rx.u16_data_len = get_u16(payload, 12);
  rx.u8_rssi = get_u8(payload, 14);
  rx.u8_rf_mod = get_u8(payload, 15);
  rx.u8_rf_receiver = get_u8(payload, 16);
  const bytes after = payload.subspan(LAN_RX_HEADER_SIZE);
  rx.frame = after.first(std::min<std::size_t>(rx.u16_data_len, after.size()));
  *pt_rx = rx;
  return 1;
}

char* lan_format_endpoint(bytes frame, std::span<char> out) {
  if (out.empty()) return out.data();
  // Address bytes 2 to 9: manufacturer (2, 3), then identification, version, device type.
  if (frame.size() >= 10 && out.size() >= LAN_ENDPOINT_TEXT_SIZE) {
    // The whole text, "mm mm / ii ii ii ii vv tt": digit pairs at fixed places.
    char* pc = out.data();
    static constexpr char blank[LAN_ENDPOINT_TEXT_SIZE] = "      /                  ";
    static_assert(sizeof "2d 2c / 78 56 34 12 01 07" == sizeof blank);
    std::memcpy(pc, blank, sizeof blank);
    const auto put = [&](std::size_t at, std::uint8_t u8) {
      std::memcpy(pc + at, &vos_hexa_pairs_lower[2 * u8], 2);
    };
    put(0, frame[2]);
    put(3, frame[3]);
    put(8, frame[4]);
    put(11, frame[5]);
    put(14, frame[6]);
    put(17, frame[7]);
    put(20, frame[8]);
    put(23, frame[9]);
    return pc;
  }
  out[0] = '\0';
  std::size_t pos = 0;
  for (std::size_t i = 2; i < 10 && i < frame.size(); ++i) {
    char ac_piece[5];  // separator, then two digits
    std::size_t n = 0;
    if (i == 4) {
      ac_piece[n++] = ' ';
      ac_piece[n++] = '/';
    }
    if (i != 2) ac_piece[n++] = ' ';
    ac_piece[n++] = vos_hexa_lower[frame[i] >> 4];
    ac_piece[n++] = vos_hexa_lower[frame[i] & 0x0F];
    // What does not fit is cut, the NUL kept.
    const std::size_t room = out.size() - pos - 1;
    const std::size_t copied = std::min(n, room);
    for (std::size_t k = 0; k < copied; ++k) out[pos + k] = ac_piece[k];
    out[pos + copied] = '\0';
    if (n > room) break;
    pos += n;
  }
  return out.data();
}

int lan_decode_firmware_install(bytes payload, std::uint8_t* pu8_result) {
  if (pu8_result == nullptr || payload.empty()) return -1;
  *pu8_result = payload[0];
  return 1;
}

int lan_decode_noise(bytes payload, lan_noise_report* pt_noise) {
  if (pt_noise == nullptr || payload.size() < LAN_NOISE_SIZE) return -1;
  std::copy_n(payload.begin(), LAN_MAX_RF, pt_noise->au8_noise);
  std::copy_n(payload.begin() + LAN_MAX_RF, LAN_MAX_RF, pt_noise->au8_margin);
  return 1;
}

int lan_decode_statistics(bytes payload, std::span<lan_rx_stats, LAN_MAX_RF> at_stats,
                          std::uint8_t* pu8_nb) {
  if (payload.size() < LAN_STATS_MIN_SIZE) return -1;
  const std::uint8_t n = payload[0];
  if (pu8_nb != nullptr) *pu8_nb = n;
  if (n == 0 || n > LAN_MAX_RF) return -1;

  // The arrays follow each other, n elements each; their offsets depend on n and on the form.
  const bool load16 = payload.size() == LAN_STATS_LOAD16_SIZE;
  const std::size_t crc_ok = 2;
  const std::size_t crc_ko = crc_ok + 2u * n;
  const std::size_t load = crc_ko + 2u * n;                // 16-bit form only
  const std::size_t rssi = load16 ? load + 2u * n : load;  // triples
  const std::size_t load8 = rssi + 3u * n;                 // 8-bit form only

  for (std::size_t i = 0; i < LAN_MAX_RF; ++i) {
    lan_rx_stats s{};
    if (i < n) {
      s.u16_crc_ok = get_u16(payload, crc_ok + 2 * i);
      s.u16_crc_ko = get_u16(payload, crc_ko + 2 * i);
      s.u16_load = load16 ? get_u16(payload, load + 2 * i) : get_u8(payload, load8 + i);
      s.u8_rssi_min = get_u8(payload, rssi + 3 * i);
      s.u8_rssi_avg = get_u8(payload, rssi + 3 * i + 1);
      s.u8_rssi_max = get_u8(payload, rssi + 3 * i + 2);
    }
    at_stats[i] = s;
  }
  return 1;
}

int lan_decode_param_value(bytes payload, lan_param_value* pt_param) {
  if (pt_param == nullptr || payload.size() < 3) return -1;
  lan_param_value p{};
  p.u16_id = get_u16(payload, 0);
  p.u8_len = payload[2];
  const bytes after = payload.subspan(3);
  p.value = after.first(std::min<std::size_t>(p.u8_len, after.size()));
  *pt_param = p;
  return p.value.size() == p.u8_len ? 1 : 0;
}

std::uint32_t lan_encode_firmware_upgrade(std::span<std::uint8_t> out, std::uint32_t u32_size,
                                          std::string_view name) {
  if (name.size() > UINT16_MAX || out.size() < lan_firmware_upgrade_size(name)) return 0;
  le_writer w(out);
  w.u32(u32_size);
  w.u16(static_cast<std::uint16_t>(name.size()));
  w.text(name);
  return w.size();
}

std::uint32_t lan_encode_tx_msg(std::span<std::uint8_t> out, std::uint32_t u32_sec,
                                std::uint16_t u16_msec, std::uint8_t u8_mode,
                                std::uint8_t u8_channel, std::uint8_t u8_type,
                                std::uint8_t u8_power, std::uint8_t u8_reserved, bytes frame) {
  if (frame.size() > UINT16_MAX || out.size() < frame.size() + LAN_TX_HEADER_SIZE) return 0;
  le_writer w(out);
  w.u32(u32_sec);
  w.u16(u16_msec);
  w.u16(static_cast<std::uint16_t>(frame.size()));
  w.u8(u8_mode);
  w.u8(u8_channel);
  w.u8(u8_type);
  w.u8(u8_power);
  w.u8(u8_reserved);
  w.raw(frame);
  return w.size();
}

std::uint32_t lan_encode_tx_ext_msg(std::span<std::uint8_t> out, const lan_tx_ext_header& h,
                                    bytes frame, bytes ext) {
  if (frame.size() > UINT16_MAX || ext.size() > UINT8_MAX ||
      out.size() < LAN_TX_EXT_HEADER_SIZE + frame.size() + ext.size())
    return 0;
  le_writer w(out);
  w.u32(h.u32_arg3);
  w.u32(h.u32_arg7);
  w.u32(h.u32_arg1);
  w.u32(h.u32_arg4);
  w.u16(h.u16_arg2);
  w.u16(h.u16_arg12);
  w.u16(static_cast<std::uint16_t>(frame.size()));
  w.u16(h.u16_arg10);
  w.u8(h.u8_arg8);
  w.u8(h.u8_arg9);
  w.u8(h.u8_arg6);
  w.u8(h.u8_arg14);
  w.u8(h.u8_arg5);
  w.u8(h.u8_arg11);
  w.u8(h.u8_arg13);
  w.u8(static_cast<std::uint8_t>(ext.size()));
  w.raw(frame);
  w.raw(ext);
  return w.size();
}

std::uint32_t lan_encode_tx_file(std::span<std::uint8_t> out, std::uint32_t u32_size,
                                 std::uint16_t u16_packet_size, std::uint8_t u8_inter_packet,
                                 std::string_view name) {
  if (name.size() > UINT16_MAX || out.size() < lan_tx_file_size(name)) return 0;
  le_writer w(out);
  w.u32(0);
  w.u32(u32_size);
  w.u16(static_cast<std::uint16_t>(name.size()));
  w.u16(0);
  w.u16(u16_packet_size);
  w.u8(u8_inter_packet);
  w.u8(LAN_TX_FILE_MODE);
  w.u8(LAN_TX_FILE_CHANNEL);
  w.u8(LAN_TX_FILE_TYPE);
  w.u8(LAN_TX_FILE_POWER);
  w.text(name);
  return w.size();
}

std::uint32_t lan_encode_rx_modes(std::span<std::uint8_t> out, std::int32_t i32_rx_mode) {
  if (out.size() < LAN_RX_MODES_SIZE) return 0;
  le_writer w(out);
  for (std::uint8_t rx = 0; rx < LAN_MAX_RF; ++rx) {
    const bool on = i32_rx_mode == LAN_RX_MODE_N2_2400 && rx < LAN_MAX_RF - 1;
    w.u8(on ? LAN_RX_MODE_N2_2400 : 0);
    w.u8(on ? rx : 0);
  }
  return w.size();
}

std::uint32_t lan_encode_set_param(std::span<std::uint8_t> out, std::uint16_t u16_id, bytes value) {
  if (value.size() > LAN_PARAM_MAX_VALUE || out.size() < value.size() + 3) return 0;
  le_writer w(out);
  w.u16(u16_id);
  w.u8(static_cast<std::uint8_t>(value.size()));
  w.raw(value);
  return w.size();
}

std::uint32_t lan_encode_get_param(std::span<std::uint8_t> out, std::uint16_t u16_id) {
  if (out.size() < 2) return 0;
  le_writer w(out);
  w.u16(u16_id);
  return w.size();
}

std::uint32_t lan_encode_noise_req(std::span<std::uint8_t> out, std::uint8_t u8_duration,
                                   std::uint8_t u8_nb_sample) {
  if (out.size() < 2) return 0;
  le_writer w(out);
  w.u8(u8_duration);
  w.u8(u8_nb_sample);
  return w.size();
}
