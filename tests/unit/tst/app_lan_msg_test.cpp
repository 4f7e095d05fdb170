// LAN payload formats: decoders against hand-written payloads, encoders against golden bytes.
#include "app_lan_msg.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "lan_golden.h"

namespace {

using bytes = std::vector<std::uint8_t>;

}  // namespace

// The decoded fields are also compared, line by line, by the end-to-end tests; here the sizes.
TEST(app_lan_msg, decoders_at_their_size_limits) {
  bytes info(21 + 9, 0);
  info[0] = 1;
  info[18] = 1;  // state
  info[19] = 9;  // wakeup
  info[20] = 9;  // nine receivers announced
  for (int i = 0; i < 9; ++i) info[21 + i] = static_cast<std::uint8_t>(0x10 + i);
  lan_modem_info t{};
  std::uint8_t announced = 0;
  ASSERT_EQ(lan_decode_modem_info(info, &t, &announced), 1);
  EXPECT_EQ(announced, 9);
  EXPECT_EQ(t.u8_nb_rf, 7);
  EXPECT_EQ(t.au8_rf[6], 0x16);
  ASSERT_EQ(lan_decode_modem_info(std::span(info).first(19), &t), 1);
  EXPECT_EQ(t.u8_wakeup + t.u8_nb_rf, 0) << "19 bytes: wakeup and receiver count read as 0";
  ASSERT_EQ(lan_decode_modem_info(std::span(info).first(22), &t), 1);
  EXPECT_EQ(t.au8_rf[0], 0x10);
  EXPECT_EQ(t.au8_rf[1], 0) << "only the receiver bytes present are copied";
  t.u32_serial = 42;
  EXPECT_EQ(lan_decode_modem_info(std::span(info).first(18), &t), -1);
  EXPECT_EQ(t.u32_serial, 42u) << "refused: untouched";

  bytes rx = {
      0x40, 0x42, 0x0F, 0x00, 0x39, 0x30, 0,    0,    0x07, 0x00, 0xFE,
      0xFF, 0xF4, 0x01, 85,   3,    2,    0x0A, 0x44, 0x2D, 0x2C};  // 500 bytes announced, 4 came
  lan_rx_frame f{};
  ASSERT_EQ(lan_decode_rx_frame(rx, &f), 1);
  EXPECT_EQ(f.i16_freq_offset, -2);
  EXPECT_EQ(f.u16_data_len, 500);
  EXPECT_EQ(f.frame.size(), 4u) << "never past the payload";
  EXPECT_EQ(f.frame.data(), rx.data() + 17);
  EXPECT_EQ(lan_decode_rx_frame(std::span(rx).first(16), &f), -1);

  char text[LAN_ENDPOINT_TEXT_SIZE];
  char small[6];
  const bytes frame = {0x1E, 0x44, 0x2D, 0x2C, 0x78, 0x56, 0x34, 0x12, 0x01, 0x07, 0x99};
  EXPECT_STREQ(lan_format_endpoint(frame, small), "2d 2c") << "cut to the buffer, NUL kept";
  EXPECT_STREQ(lan_format_endpoint(std::span(frame).first(2), text), "");
  std::uint8_t result = 0xEE;
  EXPECT_EQ(lan_decode_firmware_install({}, &result), -1);
  lan_noise_report rep{};
  EXPECT_EQ(lan_decode_noise(std::span(frame).first(11), &rep), -1);
}

TEST(app_lan_msg, statistics_forms_by_size) {
  std::array<lan_rx_stats, LAN_MAX_RF> st{};
  ASSERT_EQ(lan_decode_statistics(golden_stats66, st), 1);
  for (int i = 0; i < 7; ++i) {
    EXPECT_EQ(st[i].u16_crc_ok, 100 + i);
    EXPECT_EQ(st[i].u16_crc_ko, 200 + i);
    EXPECT_EQ(st[i].u16_load, 300 + i);
    EXPECT_EQ(st[i].u8_rssi_min, 60 + i);
    EXPECT_EQ(st[i].u8_rssi_avg, 70 + i);
    EXPECT_EQ(st[i].u8_rssi_max, 80 + i);
  }
  st.fill(lan_rx_stats{1, 1, 1, 1, 1, 1});
  std::uint8_t n = 0;
  ASSERT_EQ(lan_decode_statistics(golden_stats59, st, &n), 1);
  EXPECT_EQ(n, 3);
  for (int i = 0; i < 7; ++i) {
    EXPECT_EQ(st[i].u16_crc_ok, i < 3 ? 100 + i : 0) << "receivers beyond n are zero";
    EXPECT_EQ(st[i].u16_crc_ko, i < 3 ? 200 + i : 0);
    EXPECT_EQ(st[i].u16_load, i < 3 ? 10 + i : 0);
    EXPECT_EQ(st[i].u8_rssi_max, i < 3 ? 80 + i : 0);
  }
  // Only exactly 66 bytes are the 16-bit form; 58 are refused, as bad receiver counts are.
  bytes b(golden_stats59.begin(), golden_stats59.end());
  b.resize(65, 0xEE);
  ASSERT_EQ(lan_decode_statistics(b, st), 1);
  EXPECT_EQ(st[2].u16_load, 12);
  st.fill(lan_rx_stats{5, 5, 5, 5, 5, 5});
  EXPECT_EQ(lan_decode_statistics(std::span(b).first(58), st), -1);
  for (const std::uint8_t u8_bad : {0, 8}) {
    b[0] = u8_bad;
    EXPECT_EQ(lan_decode_statistics(b, st, &n), -1);
    EXPECT_EQ(n, u8_bad);
  }
  EXPECT_EQ(st[0].u16_crc_ok, 5) << "records untouched";
}

TEST(app_lan_msg, parameter_value) {
  const bytes b = {0x01, 0x01, 2, 0x0A, 0xFF};
  lan_param_value p{};
  ASSERT_EQ(lan_decode_param_value(b, &p), 1);
  EXPECT_EQ(p.u16_id, 0x101);
  EXPECT_EQ(p.u8_len, 2);
  ASSERT_EQ(p.value.size(), 2u);
  EXPECT_EQ(p.value[1], 0xFF);

  ASSERT_EQ(lan_decode_param_value(std::span(b).first(4), &p), 0) << "value cut short";
  EXPECT_EQ(p.u8_len, 2);
  EXPECT_EQ(p.value.size(), 1u);
  EXPECT_EQ(lan_decode_param_value(std::span(b).first(2), &p), -1);
}

TEST(app_lan_msg, firmware_upgrade_payload) {
  std::array<std::uint8_t, 32> out{};
  const std::uint32_t n = lan_encode_firmware_upgrade(out, 1000, "1a2b3c4d");
  ASSERT_EQ(n, 15u);
  EXPECT_EQ(lan_firmware_upgrade_size("1a2b3c4d"), 15u);
  const bytes expected = {0xE8, 0x03, 0, 0, 8, 0, '1', 'a', '2', 'b', '3', 'c', '4', 'd', 0};
  EXPECT_EQ(bytes(out.begin(), out.begin() + n), expected);
  EXPECT_EQ(lan_encode_firmware_upgrade(std::span(out).first(14), 1000, "1a2b3c4d"), 0u);
}

TEST(app_lan_msg, file_transfer_payload) {
  std::array<std::uint8_t, 40> out{};
  const std::uint32_t n = lan_encode_tx_file(out, 1000, 100, 5, "tx_1a2b3c4d");
  ASSERT_EQ(n, 31u);
  const bytes expected = {0,    0,    0,   0,   // reserved
                          0xE8, 0x03, 0,   0,   // size
                          11,   0,              // name length
                          0,    0,              // reserved
                          100,  0,              // packet size
                          5,                    // inter-packet
                          16,   2,    0,   27,  // mode channel type power
                          't',  'x',  '_', '1', 'a', '2', 'b', '3', 'c', '4', 'd', 0};
  EXPECT_EQ(bytes(out.begin(), out.begin() + n), expected);
  EXPECT_EQ(lan_encode_tx_file(std::span(out).first(30), 1000, 100, 5, "tx_1a2b3c4d"), 0u);
}

TEST(app_lan_msg, transmit_frame_payloads) {
  bytes frame(20);
  for (std::size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<std::uint8_t>(i + 1);
  std::array<std::uint8_t, 64> out{};
  const std::uint32_t n = lan_encode_tx_msg(out, 0x01020304, 0x0506, 16, 2, 3, 27, 0, frame);
  ASSERT_EQ(n, 33u);
  const bytes head = {0x04, 0x03, 0x02, 0x01, 0x06, 0x05, 20, 0, 16, 2, 3, 27, 0};
  EXPECT_EQ(bytes(out.begin(), out.begin() + 13), head);
  EXPECT_EQ(bytes(out.begin() + 13, out.begin() + 33), frame);
  EXPECT_EQ(lan_encode_tx_msg(std::span(out).first(32), 1, 2, 3, 4, 5, 6, 0, frame), 0u);

  // Extended: every header field at its place, frame then extension after the header.
  lan_tx_ext_header h{};
  h.u32_arg1 = 0x11111111;
  h.u16_arg2 = 0x2222;
  h.u32_arg3 = 0x33333333;
  h.u32_arg4 = 0x44444444;
  h.u8_arg5 = 0x55;
  h.u8_arg6 = 0x66;
  h.u32_arg7 = 0x77777777;
  h.u8_arg8 = 0x88;
  h.u8_arg9 = 0x99;
  h.u16_arg10 = 0xAAAA;
  h.u8_arg11 = 0xBB;
  h.u16_arg12 = 0xCCCC;
  h.u8_arg13 = 0xDD;
  h.u8_arg14 = 0xEE;
  const bytes ext = {0xF1, 0xF2};
  const std::uint32_t m = lan_encode_tx_ext_msg(out, h, std::span(frame).first(3), ext);
  ASSERT_EQ(m, 37u);
  const bytes ext_expected = {0x33, 0x33, 0x33, 0x33, 0x77, 0x77, 0x77, 0x77, 0x11, 0x11,
                              0x11, 0x11, 0x44, 0x44, 0x44, 0x44, 0x22, 0x22, 0xCC, 0xCC,
                              3,    0,    0xAA, 0xAA, 0x88, 0x99, 0x66, 0xEE, 0x55, 0xBB,
                              0xDD, 2,    1,    2,    3,    0xF1, 0xF2};
  EXPECT_EQ(bytes(out.begin(), out.begin() + m), ext_expected);
}

TEST(app_lan_msg, small_request_payloads) {
  std::array<std::uint8_t, 300> out{};
  {
    SCOPED_TRACE("receiver modes");
    ASSERT_EQ(lan_encode_rx_modes(out, 16), 14u);
    const bytes n2 = {16, 0, 16, 1, 16, 2, 16, 3, 16, 4, 16, 5, 0, 0};
    EXPECT_EQ(bytes(out.begin(), out.begin() + 14), n2);
    out.fill(0xEE);
    ASSERT_EQ(lan_encode_rx_modes(out, 3), 14u);
    EXPECT_EQ(bytes(out.begin(), out.begin() + 14), bytes(14, 0));
  }
  {
    SCOPED_TRACE("parameter write and read");
    const bytes value = {0x0A, 0xFF};
    ASSERT_EQ(lan_encode_set_param(out, 0x101, value), 5u);
    EXPECT_EQ(bytes(out.begin(), out.begin() + 5), (bytes{0x01, 0x01, 0x02, 0x0A, 0xFF}));
    EXPECT_EQ(lan_encode_set_param(out, 1, bytes(250, 0)), 0u) << "value holds at most 249";
    EXPECT_EQ(lan_encode_set_param(out, 1, bytes(249, 0)), 252u);
    ASSERT_EQ(lan_encode_get_param(out, 0x101), 2u);
    EXPECT_EQ(bytes(out.begin(), out.begin() + 2), (bytes{0x01, 0x01}));
  }
  {
    SCOPED_TRACE("noise request");
    ASSERT_EQ(lan_encode_noise_req(out, 10, 5), 2u);
    EXPECT_EQ(bytes(out.begin(), out.begin() + 2), (bytes{0x0A, 0x05}));
    EXPECT_EQ(lan_encode_noise_req(std::span(out).first(1), 10, 5), 0u);
  }
}
