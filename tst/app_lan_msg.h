// LAN message formats: the resources of the modem LAN protocol and the byte layout of every
// payload, both directions. All integers on the wire are little-endian; records are packed.
// Nothing here allocates, locks or logs: decoders report a short payload through their result.
#pragma once

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

// ---------------------------------------------------------------------------------------------
// Resources
// ---------------------------------------------------------------------------------------------

/// CoAP request codes and message type used by the resource records.
enum : std::uint8_t {
  LAN_METHOD_GET = 1,
  LAN_METHOD_POST = 2,
  LAN_METHOD_PUT = 3,
};
enum : std::uint8_t { LAN_TYPE_CON = 0 };

/// UDP port of the CoAP endpoints: the tool's server and every modem.
inline constexpr std::uint16_t LAN_COAP_PORT = 5683;

/// One resource: its name (the whole Uri-Path, one segment) and the request it takes.
struct lan_path_t {
  std::uint32_t u32_len;   ///< length of the name, without terminator
  const char* pc_path;     ///< the resource name
  std::uint8_t u8_method;  ///< LAN_METHOD_*
  std::uint8_t u8_type;    ///< CoAP message type: always confirmable

  constexpr std::string_view name() const { return {pc_path, u32_len}; }
};

namespace detail {
constexpr lan_path_t lan_path(std::string_view name, std::uint8_t method) {
  return lan_path_t{static_cast<std::uint32_t>(name.size()), name.data(), method, LAN_TYPE_CON};
}
}  // namespace detail

// Served by the tool (modems send these).
inline constexpr lan_path_t info_ind = detail::lan_path("info_ind", LAN_METHOD_POST);
inline constexpr lan_path_t rx_msg_req = detail::lan_path("rx_msg_req", LAN_METHOD_PUT);
inline constexpr lan_path_t firmware_install_ind =
    detail::lan_path("firmware_install_ind", LAN_METHOD_POST);
inline constexpr lan_path_t noise_ind = detail::lan_path("noise_ind", LAN_METHOD_POST);

// Requested by the tool (sent to one modem).
inline constexpr lan_path_t firmware_upgrade_req =
    detail::lan_path("firmware_upgrade_req", LAN_METHOD_POST);
inline constexpr lan_path_t firmware_force_update_req =
    detail::lan_path("firmware_force_update_req", LAN_METHOD_POST);
inline constexpr lan_path_t tx_msg_req = detail::lan_path("tx_msg_req", LAN_METHOD_PUT);
inline constexpr lan_path_t tx_msg_ext_req = detail::lan_path("tx_msg_ext_req", LAN_METHOD_PUT);
inline constexpr lan_path_t tx_file_req = detail::lan_path("tx_file_req", LAN_METHOD_PUT);
inline constexpr lan_path_t rx_mode_config_req =
    detail::lan_path("rx_mode_config_req", LAN_METHOD_POST);
inline constexpr lan_path_t rx_ext_config_req =
    detail::lan_path("rx_ext_config_req", LAN_METHOD_POST);
inline constexpr lan_path_t command_req = detail::lan_path("command_req", LAN_METHOD_POST);
inline constexpr lan_path_t config_set_param_req =
    detail::lan_path("config_set_param_req", LAN_METHOD_POST);
inline constexpr lan_path_t config_get_param_req =
    detail::lan_path("config_get_param_req", LAN_METHOD_GET);
inline constexpr lan_path_t statistics_req = detail::lan_path("statistics_req", LAN_METHOD_GET);
inline constexpr lan_path_t info_req = detail::lan_path("info_req", LAN_METHOD_GET);
inline constexpr lan_path_t noise_req = detail::lan_path("noise_req", LAN_METHOD_GET);
inline constexpr lan_path_t log_req = detail::lan_path("log_req", LAN_METHOD_GET);

// ---------------------------------------------------------------------------------------------
// Decoded records
// ---------------------------------------------------------------------------------------------

inline constexpr std::uint32_t LAN_MAX_RF = 7;  ///< receivers kept per modem

/// Counters of one receiver. RSSI values are magnitudes of negative levels.
struct lan_rx_stats {
  std::uint16_t u16_crc_ok;
  std::uint16_t u16_crc_ko;
  std::uint16_t u16_load;  ///< an 8-bit LOAD is widened
  std::uint8_t u8_rssi_min;
  std::uint8_t u8_rssi_avg;
  std::uint8_t u8_rssi_max;
};

/// States a modem announces in its info (lan_modem_info::u8_state).
inline constexpr std::uint8_t LAN_STATE_READY = 1;
inline constexpr std::uint8_t LAN_STATE_RUNNING = 2;

/// A modem serial as the tool writes it everywhere (trace, events, staged file names): lower-case
/// hexadecimal without leading zeros, as "%x".
class lan_serial_text {
 public:
  explicit lan_serial_text(std::uint32_t u32_serial) noexcept
      : len_(static_cast<std::size_t>(std::to_chars(ac_, ac_ + 8, u32_serial, 16).ptr - ac_)) {
    ac_[len_] = '\0';
  }
  const char* c_str() const noexcept { return ac_; }
  std::string_view view() const noexcept { return {ac_, len_}; }

 private:
  char ac_[9];
  std::size_t len_;
};

/// Content of a modem info, as kept in the registry.
struct lan_modem_info {
  std::uint32_t u32_serial;  ///< the modem identifier
  std::uint32_t u32_protocol;
  std::uint32_t u32_tmsp;
  std::uint16_t u16_hw_ver;  ///< major in the high byte, minor in the low byte
  std::uint16_t u16_sw_ver;
  std::uint8_t u8_type;
  std::uint8_t u8_location;
  std::uint8_t u8_state;           ///< 1 READY, 2 RUNNING
  std::uint8_t u8_reported_state;  ///< last state announced in the trace (not on the wire)
  std::uint8_t u8_wakeup;
  std::uint8_t u8_nb_rf;  ///< 0 to LAN_MAX_RF
  std::uint8_t au8_rf[LAN_MAX_RF];
};

inline constexpr std::uint32_t LAN_INFO_MIN_SIZE = 19;
inline constexpr std::uint32_t LAN_INFO_RF_OFFSET = 21;

/// Modem info layout: protocol u32, serial u32, tmsp u32, hardware u16, software u16, type,
/// location, state, wakeup, receiver count (at 20), then one byte per receiver (from 21).
/// Decodes a modem info. Fields that the payload does not reach read as 0; only the receiver
/// bytes present are copied (the rest stay 0). The receiver count is limited to LAN_MAX_RF.
/// @param pu8_nb_rf_announced receives the count as sent (may be null)
/// @retval 1  decoded
/// @retval -1 shorter than LAN_INFO_MIN_SIZE: @p pt_info is untouched
int lan_decode_modem_info(std::span<const std::uint8_t> payload, lan_modem_info* pt_info,
                          std::uint8_t* pu8_nb_rf_announced = nullptr);

inline constexpr std::uint32_t LAN_RX_HEADER_SIZE = 17;

/// Header of a received radio frame, with a view on the frame bytes.
struct lan_rx_frame {
  std::uint32_t u32_freq;
  std::uint32_t u32_rtc_sec;
  std::uint16_t u16_rtc_msec;
  std::int16_t i16_freq_offset;
  std::uint16_t u16_data_len;  ///< as announced
  std::uint8_t u8_rssi;
  std::uint8_t u8_rf_mod;
  std::uint8_t u8_rf_receiver;
  /// Frame bytes: the announced length, never more than the bytes received after the header.
  std::span<const std::uint8_t> frame;
};

/// Decodes the 17-byte header of a received radio frame: frequency (Hz) u32, RTC seconds u32,
/// RTC milliseconds u16, frequency offset i16, frame length u16, RSSI, modulation, receiver;
/// the frame bytes follow.
/// @retval 1  decoded; @p pt_rx->frame views into @p payload
/// @retval -1 shorter than the header: @p pt_rx is untouched
int lan_decode_rx_frame(std::span<const std::uint8_t> payload, lan_rx_frame* pt_rx);

/// Buffer size for the end-point text ("2d 2c / 78 56 34 12 01 07" and terminator).
inline constexpr std::size_t LAN_ENDPOINT_TEXT_SIZE = 26;

/// Writes the end point of a wM-Bus frame (frame bytes 2 and 3, " / ", then bytes 4 to 9) as
/// "%02x %02x / %02x %02x %02x %02x %02x %02x". A frame shorter than 10 bytes shows only the
/// address bytes it holds. The text is cut to fit @p out, which always ends with a NUL.
/// @return out.data()
char* lan_format_endpoint(std::span<const std::uint8_t> frame, std::span<char> out);

/// Firmware install result: 1 installed ("OK"), anything else failed ("KO").
/// @retval 1  @p pu8_result holds the first byte
/// @retval -1 empty payload
int lan_decode_firmware_install(std::span<const std::uint8_t> payload, std::uint8_t* pu8_result);

inline constexpr std::uint32_t LAN_NOISE_SIZE = 14;

/// Noise report: seven noise magnitudes (dBm, shown negated), then seven margins (dB).
struct lan_noise_report {
  std::uint8_t au8_noise[LAN_MAX_RF];
  std::uint8_t au8_margin[LAN_MAX_RF];
};

/// @retval 1  decoded
/// @retval -1 shorter than LAN_NOISE_SIZE
int lan_decode_noise(std::span<const std::uint8_t> payload, lan_noise_report* pt_noise);

inline constexpr std::uint32_t LAN_STATS_MIN_SIZE = 59;
inline constexpr std::uint32_t LAN_STATS_LOAD16_SIZE = 66;

/// Statistics layout: receiver count, a byte not read, then n CRC OK u16, n CRC KO u16, n LOAD
/// u16 (16-bit form), n RSSI triples min/avg/max, n LOAD u8 (8-bit form).
/// Decodes statistics into seven records (those beyond the receiver count are zero). A payload
/// of exactly 66 bytes carries 16-bit LOAD values before the RSSI triples; any other size
/// carries 8-bit LOAD values after them.
/// @param pu8_nb receives the receiver count as sent (may be null; set whenever size allows)
/// @retval 1  decoded
/// @retval -1 shorter than LAN_STATS_MIN_SIZE, or a receiver count of 0 or above 7;
///            @p at_stats is untouched
int lan_decode_statistics(std::span<const std::uint8_t> payload,
                          std::span<lan_rx_stats, LAN_MAX_RF> at_stats,
                          std::uint8_t* pu8_nb = nullptr);

/// Parameter value: identifier u16, length u8, then the value bytes.
struct lan_param_value {
  std::uint16_t u16_id;
  std::uint8_t u8_len;                  ///< as announced
  std::span<const std::uint8_t> value;  ///< the announced length, never past the payload
};

/// @retval 1  decoded, the whole value present
/// @retval 0  decoded, but fewer value bytes than announced (value holds those present)
/// @retval -1 shorter than 3 bytes: @p pt_param is untouched
int lan_decode_param_value(std::span<const std::uint8_t> payload, lan_param_value* pt_param);

// ---------------------------------------------------------------------------------------------
// Outbound payloads. Each encoder writes into the caller's buffer and returns the number of
// bytes written, or 0 when the buffer is too small (nothing is then guaranteed about its
// content). The *_size functions give the room needed.
// ---------------------------------------------------------------------------------------------

constexpr std::uint32_t lan_firmware_upgrade_size(std::string_view name) {
  return static_cast<std::uint32_t>(name.size()) + 7;
}
/// size u32, name length u16, name and its NUL.
std::uint32_t lan_encode_firmware_upgrade(std::span<std::uint8_t> out, std::uint32_t u32_size,
                                          std::string_view name);

inline constexpr std::uint32_t LAN_TX_HEADER_SIZE = 13;
/// sec u32, msec u16, length u16, mode, channel, type, power, reserved, then the frame.
std::uint32_t lan_encode_tx_msg(std::span<std::uint8_t> out, std::uint32_t u32_sec,
                                std::uint16_t u16_msec, std::uint8_t u8_mode,
                                std::uint8_t u8_channel, std::uint8_t u8_type,
                                std::uint8_t u8_power, std::uint8_t u8_reserved,
                                std::span<const std::uint8_t> frame);

inline constexpr std::uint32_t LAN_TX_EXT_HEADER_SIZE = 32;
/// Header fields of an extended transmit frame, in the order of the request's arguments.
struct lan_tx_ext_header {
  std::uint32_t u32_arg1;
  std::uint16_t u16_arg2;
  std::uint32_t u32_arg3;
  std::uint32_t u32_arg4;
  std::uint8_t u8_arg5;
  std::uint8_t u8_arg6;
  std::uint32_t u32_arg7;
  std::uint8_t u8_arg8;
  std::uint8_t u8_arg9;
  std::uint16_t u16_arg10;
  std::uint8_t u8_arg11;
  std::uint16_t u16_arg12;
  std::uint8_t u8_arg13;
  std::uint8_t u8_arg14;
};
/// Header: arg3 u32, arg7 u32, arg1 u32, arg4 u32, arg2 u16, arg12 u16, frame length u16,
/// arg10 u16, arg8, arg9, arg6, arg14, arg5, arg11, arg13, extension length u8.
/// 32-byte header, then the frame, then the extension block (at most 255 bytes; the frame at
/// most 65,535).
std::uint32_t lan_encode_tx_ext_msg(std::span<std::uint8_t> out, const lan_tx_ext_header& hdr,
                                    std::span<const std::uint8_t> frame,
                                    std::span<const std::uint8_t> ext);

/// Radio settings of an end-point file transfer.
inline constexpr std::uint8_t LAN_TX_FILE_MODE = 16;
inline constexpr std::uint8_t LAN_TX_FILE_CHANNEL = 2;
inline constexpr std::uint8_t LAN_TX_FILE_TYPE = 0;
inline constexpr std::uint8_t LAN_TX_FILE_POWER = 27;

constexpr std::uint32_t lan_tx_file_size(std::string_view name) {
  return static_cast<std::uint32_t>(name.size()) + 20;
}
/// reserved u32 0, size u32, name length u16, reserved u16 0, packet size u16, inter-packet u8,
/// mode 16, channel 2, type 0, power 27, name and its NUL.
std::uint32_t lan_encode_tx_file(std::span<std::uint8_t> out, std::uint32_t u32_size,
                                 std::uint16_t u16_packet_size, std::uint8_t u8_inter_packet,
                                 std::string_view name);

inline constexpr std::uint32_t LAN_RX_MODES_SIZE = 14;
inline constexpr std::uint8_t LAN_RX_MODE_N2_2400 = 16;
/// Receiver modes as the front end builds them: for mode 16, receivers 0 to 5 get (16, i) and
/// receiver 6 gets (0, 0); any other mode gives 14 zero bytes.
std::uint32_t lan_encode_rx_modes(std::span<std::uint8_t> out, std::int32_t i32_rx_mode);

inline constexpr std::uint32_t LAN_PARAM_MAX_VALUE = 249;
/// identifier u16, length u8, value (at most LAN_PARAM_MAX_VALUE bytes).
std::uint32_t lan_encode_set_param(std::span<std::uint8_t> out, std::uint16_t u16_id,
                                   std::span<const std::uint8_t> value);
/// identifier u16.
std::uint32_t lan_encode_get_param(std::span<std::uint8_t> out, std::uint16_t u16_id);
/// duration (s) u8, number of samples u8.
std::uint32_t lan_encode_noise_req(std::span<std::uint8_t> out, std::uint8_t u8_duration,
                                   std::uint8_t u8_nb_sample);
