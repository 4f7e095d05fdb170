// LAN payload formats: decoders against hand-written payloads, encoders against golden bytes.
#include "app_lan_msg.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "lan_golden.h"

namespace {

using bytes = std::vector<std::uint8_t>;

std::string hex(std::span<const std::uint8_t> b) {
  std::string s;
  char ac[3];
  for (const std::uint8_t u8 : b) {
    std::snprintf(ac, sizeof ac, "%02x", u8);
    s += ac;
  }
  return s;
}

// One receiver's record: CRC OK / CRC KO / LOAD / RSSI min / avg / max.
std::string stats(int ok, int ko, int load, int min, int avg, int max) {
  char ac[64];
  std::snprintf(ac, sizeof ac, "%d/%d/%d/%d/%d/%d", ok, ko, load, min, avg, max);
  return ac;
}
std::string stats(const lan_rx_stats& s) {
  return stats(s.u16_crc_ok, s.u16_crc_ko, s.u16_load, s.u8_rssi_min, s.u8_rssi_avg, s.u8_rssi_max);
}

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

// Only exactly 66 bytes are the 16-bit form, any other size the 8-bit one; a refusal leaves the
// records untouched and still reports the count sent.
TEST(app_lan_msg, statistics_forms_by_size) {
  std::array<lan_rx_stats, LAN_MAX_RF> st{};
  ASSERT_EQ(lan_decode_statistics(golden_stats66, st), 1);
  for (int i = 0; i < 7; ++i) {
    EXPECT_EQ(stats(st[i]), stats(100 + i, 200 + i, 300 + i, 60 + i, 70 + i, 80 + i));
  }
  bytes b(golden_stats59.begin(), golden_stats59.end());
  b.resize(65, 0xEE);
  std::uint8_t n = 0;
  ASSERT_EQ(lan_decode_statistics(b, st, &n), 1);
  EXPECT_EQ(n, 3);
  for (int i = 0; i < 7; ++i) {
    EXPECT_EQ(stats(st[i]),
              i < 3 ? stats(100 + i, 200 + i, 10 + i, 60 + i, 70 + i, 80 + i) : "0/0/0/0/0/0");
  }
  for (const std::uint8_t u8_bad : {0, 8}) {
    b[0] = u8_bad;
    EXPECT_EQ(lan_decode_statistics(b, st, &n), -1);
    EXPECT_EQ(n, u8_bad);
  }
  EXPECT_EQ(lan_decode_statistics(std::span(b).first(58), st), -1);
  EXPECT_EQ(stats(st[0]), stats(100, 200, 10, 60, 70, 80)) << "records untouched";
}

// Each encoder against its golden bytes; one byte less room is refused. (The transmit requests:
// on the wire, by the request tests.)
TEST(app_lan_msg, encoders_golden_bytes_and_room) {
  const bytes value = {0x0A, 0xFF};
  using fn = std::function<std::uint32_t(std::span<std::uint8_t>)>;
  const struct {
    fn encode;
    std::string s_hex;
  } rows[] = {
      {[](auto o) { return lan_encode_firmware_upgrade(o, 1000, "1a2b3c4d"); },
       "e80300000800316132623363346400"},
      // reserved, size, name length, reserved, packet size, inter-packet, mode channel type power
      {[](auto o) { return lan_encode_tx_file(o, 1000, 100, 5, "tx_1a2b3c4d"); },
       "00000000e80300000b0000006400051002001b74785f316132623363346400"},
      {[](auto o) { return lan_encode_rx_modes(o, 16); }, "1000100110021003100410050000"},
      {[](auto o) { return lan_encode_rx_modes(o, 3); }, "0000000000000000000000000000"},
      {[&](auto o) { return lan_encode_set_param(o, 0x101, value); }, "0101020aff"},
      {[](auto o) { return lan_encode_get_param(o, 0x101); }, "0101"},
      {[](auto o) { return lan_encode_noise_req(o, 10, 5); }, "0a05"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.s_hex);
    std::array<std::uint8_t, 300> out;
    out.fill(0xEE);
    const std::uint32_t n = r.encode(out);
    ASSERT_GT(n, 0u);
    EXPECT_EQ(hex(std::span(out).first(n)), r.s_hex);
    EXPECT_EQ(r.encode(std::span(out).first(n - 1)), 0u);
  }
  EXPECT_EQ(lan_firmware_upgrade_size("1a2b3c4d"), 15u);
  std::array<std::uint8_t, 300> out{};
  EXPECT_EQ(lan_encode_set_param(out, 1, bytes(250, 0)), 0u) << "value holds at most 249";
  EXPECT_EQ(lan_encode_set_param(out, 1, bytes(249, 0)), 252u);
}
