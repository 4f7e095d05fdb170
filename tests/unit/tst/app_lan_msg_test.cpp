// LAN payloads against bytes written by hand (lan_golden.h): each decoder on its golden, cut short
// and one byte longer; each encoder on its golden, a buffer one byte short and one byte more.
#include "app_lan_msg.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <functional>
#include <span>
#include <tuple>
#include <vector>

#include "lan_golden.h"

namespace {

using bytes = std::vector<std::uint8_t>;

template <std::size_t N>
bytes cut(const std::array<std::uint8_t, N>& a, std::size_t n = N) {
  return bytes(a.begin(), a.begin() + static_cast<std::ptrdiff_t>(std::min(n, N)));
}
template <std::size_t N>
bytes longer(const std::array<std::uint8_t, N>& a) {
  bytes b(a.begin(), a.end());
  b.push_back(0x99);
  return b;
}

}  // namespace

TEST(app_lan_msg, modem_info_golden_cut_and_longer) {
  bytes many = cut(golden_info);  // 9 receivers announced, 8 present: 7 kept
  many[20] = 9;
  many.insert(many.end(), {3, 4, 5, 6, 7, 8});
  const struct {
    bytes b;
    int i_result;
    std::uint8_t u8_wakeup, u8_nb_rf, u8_announced;
    std::array<std::uint8_t, LAN_MAX_RF> rf;
  } rows[] = {
      {cut(golden_info), 1, 9, 2, 2, {0x21, 0x22}},
      {longer(golden_info), 1, 9, 2, 2, {0x21, 0x22}},
      {cut(golden_info, 22), 1, 9, 2, 2, {0x21}},
      {cut(golden_info, 20), 1, 9, 0, 0, {}},
      {cut(golden_info, 19), 1, 0, 0, 0, {}},
      {cut(golden_info, 18), -1, 0xEE, 0xEE, 0xEE, {}},
      {many, 1, 9, LAN_MAX_RF, 9, {0x21, 0x22, 3, 4, 5, 6, 7}},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.b.size());
    lan_modem_info info{};
    info.u8_wakeup = info.u8_nb_rf = 0xEE;
    std::uint8_t u8_announced = 0xEE;
    ASSERT_EQ(lan_decode_modem_info(r.b, &info, &u8_announced), r.i_result);
    EXPECT_EQ(info.u8_wakeup, r.u8_wakeup);
    EXPECT_EQ(info.u8_nb_rf, r.u8_nb_rf);
    EXPECT_EQ(u8_announced, r.u8_announced);
    if (r.i_result != 1) continue;
    EXPECT_EQ(std::tuple(info.u32_protocol, info.u32_serial, info.u32_tmsp, info.u16_hw_ver,
                         info.u16_sw_ver, info.u8_type, info.u8_location, info.u8_state),
              std::tuple(0x04030201u, 0x1a2b3c4du, 0x0a0b0c0du, 0x0203, 0x0405, 6, 7, 2));
    EXPECT_EQ(std::vector(info.au8_rf, info.au8_rf + LAN_MAX_RF),
              std::vector(r.rf.begin(), r.rf.end()));
  }
  EXPECT_EQ(lan_decode_modem_info(cut(golden_info), nullptr), -1);
}

TEST(app_lan_msg, rx_frame_golden_cut_and_longer) {
  const struct {
    bytes b;
    int i_result;
    bytes frame;
  } rows[] = {
      {cut(golden_rx), 1, {0x0E, 0x44, 0x2D, 0x2C}},
      {longer(golden_rx), 1, {0x0E, 0x44, 0x2D, 0x2C}},
      {cut(golden_rx, 19), 1, {0x0E, 0x44}},
      {cut(golden_rx, 17), 1, {}},
      {cut(golden_rx, 16), -1, {}},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.b.size());
    lan_rx_frame rx{};
    rx.u16_data_len = 0xEEEE;
    ASSERT_EQ(lan_decode_rx_frame(r.b, &rx), r.i_result);
    EXPECT_EQ(bytes(rx.frame.begin(), rx.frame.end()), r.frame);
    if (r.i_result != 1) {
      EXPECT_EQ(rx.u16_data_len, 0xEEEE) << "untouched";
      continue;
    }
    EXPECT_EQ(rx.frame.data(), r.b.data() + LAN_RX_HEADER_SIZE);
    EXPECT_EQ(std::tuple(rx.u32_freq, rx.u32_rtc_sec, rx.u16_rtc_msec, rx.i16_freq_offset,
                         rx.u16_data_len, rx.u8_rssi, rx.u8_rf_mod, rx.u8_rf_receiver),
              std::tuple(868'950'000u, 1'600'000'000u, 999, -300, 4, 85, 3, 5));
  }
  EXPECT_EQ(lan_decode_rx_frame(cut(golden_rx), nullptr), -1);
}

TEST(app_lan_msg, short_indications_golden_cut_and_longer) {
  const bytes noise = {90, 91, 92, 93, 94, 95, 96, 1, 2, 3, 4, 5, 6, 7};
  for (const auto& [b, i_result] :
       {std::pair<bytes, int>{noise, 1},
        {bytes(noise.begin(), noise.end() - 1), -1},
        {bytes{90, 91, 92, 93, 94, 95, 96, 1, 2, 3, 4, 5, 6, 7, 8}, 1}}) {
    lan_noise_report t{};
    ASSERT_EQ(lan_decode_noise(b, &t), i_result) << b.size();
    EXPECT_EQ(t.au8_noise[6] + t.au8_margin[0] + t.au8_margin[6], i_result == 1 ? 104 : 0);
  }
  for (const auto& [b, i_result, u8_result] :
       {std::tuple<bytes, int, std::uint8_t>{{1}, 1, 1}, {{2, 1}, 1, 2}, {{}, -1, 0xEE}}) {
    std::uint8_t u8 = 0xEE;
    EXPECT_EQ(lan_decode_firmware_install(b, &u8), i_result);
    EXPECT_EQ(u8, u8_result);
  }
  const struct {
    bytes b;
    int i_result;
    std::uint16_t u16_id;
    std::uint8_t u8_len;
    bytes value;
  } rows[] = {
      {{0x01, 0x0A, 0x03, 0xAA, 0xBB, 0xCC}, 1, 0x0A01, 3, {0xAA, 0xBB, 0xCC}},
      {{0x01, 0x0A, 0x03, 0xAA, 0xBB, 0xCC, 0xDD}, 1, 0x0A01, 3, {0xAA, 0xBB, 0xCC}},
      {{0x01, 0x0A, 0x03, 0xAA, 0xBB}, 0, 0x0A01, 3, {0xAA, 0xBB}},
      {{0x01, 0x0A, 0x00}, 1, 0x0A01, 0, {}},
      {{0x01, 0x0A}, -1, 0xEEEE, 0xEE, {}},
  };
  for (const auto& r : rows) {
    lan_param_value p{0xEEEE, 0xEE, {}};
    EXPECT_EQ(lan_decode_param_value(r.b, &p), r.i_result) << r.b.size();
    EXPECT_EQ(std::tuple(p.u16_id, p.u8_len, bytes(p.value.begin(), p.value.end())),
              std::tuple(r.u16_id, r.u8_len, r.value));
  }
}

// Both forms: 59 bytes (8-bit LOAD after the triples), 66 (16-bit LOAD before them); one byte
// more than 66 is the 8-bit form again.
TEST(app_lan_msg, statistics_golden_cut_and_longer) {
  bytes zero_rx = cut(golden_stats59), eight_rx = cut(golden_stats59);
  zero_rx[0] = 0;
  eight_rx[0] = 8;
  const struct {
    bytes b;
    int i_result;
    std::uint8_t u8_nb;
    lan_rx_stats first, last;  // receiver 0 and receiver n - 1
  } rows[] = {
      // clang-format off
      {cut(golden_stats59), 1, 3, {100, 200, 10, 60, 70, 80}, {102, 202, 12, 62, 72, 82}},
      {longer(golden_stats59), 1, 3, {100, 200, 10, 60, 70, 80}, {102, 202, 12, 62, 72, 82}},
      {cut(golden_stats66), 1, 2, {0x0102, 0x0506, 0x0123, 61, 71, 81}, {0x0304, 0x0708, 0x0456, 62, 72, 82}},
      {longer(golden_stats66), 1, 2, {0x0102, 0x0506, 0x51, 0x23, 0x01, 0x56}, {0x0304, 0x0708, 0x3E, 0x04, 0x3D, 0x47}},
      {cut(golden_stats59, 58), -1, 0xEE, {}, {}},
      {zero_rx, -1, 0, {}, {}},
      {eight_rx, -1, 8, {}, {}},
      // clang-format on
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.b.size());
    std::array<lan_rx_stats, LAN_MAX_RF> at{};
    at[6].u16_crc_ok = 0xEEEE;
    std::uint8_t u8_nb = 0xEE;
    ASSERT_EQ(lan_decode_statistics(r.b, at, &u8_nb), r.i_result);
    EXPECT_EQ(u8_nb, r.u8_nb);
    if (r.i_result != 1) {
      EXPECT_EQ(at[6].u16_crc_ok, 0xEEEE) << "untouched";
      continue;
    }
    for (const auto& [s, want] : {std::pair{at[0], r.first}, {at[r.u8_nb - 1], r.last}}) {
      EXPECT_EQ(std::tuple(s.u16_crc_ok, s.u16_crc_ko, s.u16_load, s.u8_rssi_min, s.u8_rssi_avg,
                           s.u8_rssi_max),
                std::tuple(want.u16_crc_ok, want.u16_crc_ko, want.u16_load, want.u8_rssi_min,
                           want.u8_rssi_avg, want.u8_rssi_max));
    }
    EXPECT_EQ(at[6].u16_crc_ok + at[6].u16_load + at[6].u8_rssi_max, 0) << "beyond n: zero";
  }
}

// Each encoder's golden bytes; one byte less room gives 0, one more leaves the byte after alone.
TEST(app_lan_msg, encoders_golden_short_and_larger_buffer) {
  const std::uint8_t frame[2] = {0x11, 0x22}, ext[1] = {0xE1}, value[2] = {0x0A, 0xFF};
  const lan_tx_ext_header hdr{0x11111111, 0x2222, 0x33333333, 0x44444444, 0x55,   0x66, 0x77777777,
                              0x88,       0x99,   0xAAAA,     0xBB,       0xCCCC, 0xDD, 0xEE};
  using encoder = std::function<std::uint32_t(std::span<std::uint8_t>)>;
  const struct {
    const char* pc_name;
    encoder enc;
    bytes golden;
  } rows[] = {
      // clang-format off
      {"firmware upgrade", [](auto out) { return lan_encode_firmware_upgrade(out, 0x12345, "fw.bin"); },
       {0x45, 0x23, 0x01, 0x00, 0x06, 0x00, 'f', 'w', '.', 'b', 'i', 'n', 0x00}},
      {"tx msg", [&](auto out) { return lan_encode_tx_msg(out, 0x0A0B0C0D, 0x0E0F, 7, 8, 1, 2, 3, frame); },
       {0x0D, 0x0C, 0x0B, 0x0A, 0x0F, 0x0E, 0x02, 0x00, 0x07, 0x08, 0x01, 0x02, 0x03, 0x11, 0x22}},
      {"tx ext msg", [&](auto out) { return lan_encode_tx_ext_msg(out, hdr, frame, ext); },
       {0x33, 0x33, 0x33, 0x33, 0x77, 0x77, 0x77, 0x77, 0x11, 0x11, 0x11, 0x11, 0x44, 0x44, 0x44, 0x44,
        0x22, 0x22, 0xCC, 0xCC, 0x02, 0x00, 0xAA, 0xAA, 0x88, 0x99, 0x66, 0xEE, 0x55, 0xBB, 0xDD, 0x01,
        0x11, 0x22, 0xE1}},
      {"tx file", [](auto out) { return lan_encode_tx_file(out, 0x1000, 0x80, 5, "ep.bin"); },
       {0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00, 0x06, 0x00, 0x00, 0x00, 0x80, 0x00, 0x05, 0x10,
        0x02, 0x00, 0x1B, 'e', 'p', '.', 'b', 'i', 'n', 0x00}},
      {"rx modes 16", [](auto out) { return lan_encode_rx_modes(out, 16); },
       {0x10, 0x00, 0x10, 0x01, 0x10, 0x02, 0x10, 0x03, 0x10, 0x04, 0x10, 0x05, 0x00, 0x00}},
      {"rx modes 3", [](auto out) { return lan_encode_rx_modes(out, 3); }, bytes(14, 0)},
      {"set param", [&](auto out) { return lan_encode_set_param(out, 0x0101, value); }, {0x01, 0x01, 0x02, 0x0A, 0xFF}},
      {"get param", [](auto out) { return lan_encode_get_param(out, 0x0A0B); }, {0x0B, 0x0A}},
      {"noise req", [](auto out) { return lan_encode_noise_req(out, 10, 3); }, {0x0A, 0x03}},
      // clang-format on
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.pc_name);
    bytes out(r.golden.size() + 1, 0x5A);
    ASSERT_EQ(r.enc(out), r.golden.size());
    EXPECT_EQ(bytes(out.begin(), out.end() - 1), r.golden);
    EXPECT_EQ(out.back(), 0x5A);
    EXPECT_EQ(r.enc(std::span(out).first(r.golden.size() - 1)), 0u);
  }
  EXPECT_EQ(lan_firmware_upgrade_size("fw.bin") + lan_tx_file_size("ep.bin"), 13u + 26u);
  bytes big(LAN_PARAM_MAX_VALUE + 1), out(LAN_PARAM_MAX_VALUE + 4);
  EXPECT_EQ(lan_encode_set_param(out, 1, big), 0u) << "a value beyond 249 bytes";
}
