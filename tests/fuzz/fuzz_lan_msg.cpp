// Fuzz target: every decoder of the LAN message formats on any bytes, with the promises of
// their contracts checked (views stay inside the payload, counts within their bounds, texts
// terminated inside their buffer), and the parameter encoder checked against its decoder.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "app_lan_msg.h"

namespace {
using bytes = std::span<const std::uint8_t>;
#define FUZZ_CHECK(cond) ((cond) ? void() : __builtin_trap())

bool inside(bytes view, bytes whole) {
  return view.empty() ||
         (view.data() >= whole.data() && view.data() + view.size() <= whole.data() + whole.size());
}

void check_info(bytes payload) {
  lan_modem_info info{.u32_serial = 0xA5A5A5A5};
  std::uint8_t u8_announced = 0xEE;
  const int i = lan_decode_modem_info(payload, &info, &u8_announced);
  if (payload.size() < LAN_INFO_MIN_SIZE)
    return FUZZ_CHECK(i == -1 && info.u32_serial == 0xA5A5A5A5 && u8_announced == 0xEE);
  FUZZ_CHECK(i == 1 && info.u8_nb_rf <= LAN_MAX_RF);
  FUZZ_CHECK(u8_announced == (payload.size() > 20 ? payload[20] : 0));
  for (std::size_t r = 0; r < LAN_MAX_RF; ++r) {
    const bool present = r < info.u8_nb_rf && LAN_INFO_RF_OFFSET + r < payload.size();
    FUZZ_CHECK(info.au8_rf[r] == (present ? payload[LAN_INFO_RF_OFFSET + r] : 0));
  }
  FUZZ_CHECK(lan_decode_modem_info(payload, nullptr) == -1);
}

void check_rx_frame(bytes payload) {
  lan_rx_frame rx{};
  const int i = lan_decode_rx_frame(payload, &rx);
  if (payload.size() < LAN_RX_HEADER_SIZE) return FUZZ_CHECK(i == -1 && rx.frame.empty());
  FUZZ_CHECK(i == 1 && inside(rx.frame, payload) && rx.frame.size() <= rx.u16_data_len);
  FUZZ_CHECK(rx.frame.size() == rx.u16_data_len ||
             rx.frame.size() == payload.size() - LAN_RX_HEADER_SIZE);
  // Every buffer size the caller may give, the full one included.
  char ac_out[LAN_ENDPOINT_TEXT_SIZE + 2];
  for (std::size_t n = 0; n <= sizeof ac_out; ++n) {
    std::memset(ac_out, 'Z', sizeof ac_out);
    const char* pc = lan_format_endpoint(rx.frame, std::span<char>{ac_out, n});
    FUZZ_CHECK(pc == ac_out);
    if (n != 0) FUZZ_CHECK(std::memchr(ac_out, '\0', n) != nullptr);
    for (std::size_t k = n; k < sizeof ac_out; ++k) FUZZ_CHECK(ac_out[k] == 'Z');
  }
}

void check_small(bytes payload) {
  std::uint8_t u8_result = 0xEE;
  const int i_fw = lan_decode_firmware_install(payload, &u8_result);
  FUZZ_CHECK(payload.empty() ? (i_fw == -1 && u8_result == 0xEE)
                             : (i_fw == 1 && u8_result == payload[0]));
  lan_noise_report noise{};
  const int i_noise = lan_decode_noise(payload, &noise);
  FUZZ_CHECK(i_noise == (payload.size() >= LAN_NOISE_SIZE ? 1 : -1));
  FUZZ_CHECK(i_noise != 1 ||
             (std::memcmp(noise.au8_noise, payload.data(), LAN_MAX_RF) == 0 &&
              std::memcmp(noise.au8_margin, payload.data() + LAN_MAX_RF, LAN_MAX_RF) == 0));
}

void check_statistics(bytes payload) {
  lan_rx_stats at_stats[LAN_MAX_RF];
  std::memset(at_stats, 0xEE, sizeof at_stats);
  std::uint8_t u8_nb = 0xEE;
  const int i = lan_decode_statistics(payload, at_stats, &u8_nb);
  if (payload.size() < LAN_STATS_MIN_SIZE) return FUZZ_CHECK(i == -1 && u8_nb == 0xEE);
  FUZZ_CHECK(u8_nb == payload[0]);
  if (u8_nb == 0 || u8_nb > LAN_MAX_RF)
    return FUZZ_CHECK(i == -1 && at_stats[0].u16_crc_ok == 0xEEEE);
  FUZZ_CHECK(i == 1);
  for (const lan_rx_stats& s : std::span{at_stats}.subspan(u8_nb)) {
    FUZZ_CHECK(s.u16_crc_ok == 0 && s.u16_crc_ko == 0 && s.u16_load == 0 && s.u8_rssi_min == 0 &&
               s.u8_rssi_avg == 0 && s.u8_rssi_max == 0);
  }
}

void check_param(bytes payload) {
  lan_param_value param{.u16_id = 0xA5A5};
  const int i = lan_decode_param_value(payload, &param);
  if (payload.size() < 3) return FUZZ_CHECK(i == -1 && param.u16_id == 0xA5A5);
  FUZZ_CHECK(inside(param.value, payload) && param.value.size() <= param.u8_len);
  FUZZ_CHECK(i == (param.value.size() == param.u8_len ? 1 : 0));
  FUZZ_CHECK(param.value.size() == param.u8_len || param.value.size() == payload.size() - 3);
  // What the tool would send with this value decodes back to it.
  const bytes value =
      payload.subspan(3).first(std::min<std::size_t>(payload.size() - 3, LAN_PARAM_MAX_VALUE));
  std::vector<std::uint8_t> out(value.size() + 3);
  FUZZ_CHECK(lan_encode_set_param(out, param.u16_id, value) == out.size());
  lan_param_value back{};
  FUZZ_CHECK(lan_decode_param_value(out, &back) == 1 && back.u16_id == param.u16_id);
  FUZZ_CHECK(back.u8_len == value.size() && std::ranges::equal(back.value, value));
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pu8_data, std::size_t size) {
  // A copy of exactly the input's size, so that any read past the payload is caught.
  const std::vector<std::uint8_t> copy(pu8_data, pu8_data + size);
  for (auto* pf_check : {check_info, check_rx_frame, check_small, check_statistics, check_param}) {
    pf_check(bytes{copy});
  }
  return 0;
}
