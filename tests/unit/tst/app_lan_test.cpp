// LAN modem link, treating functions and registry called directly: every failure line, the
// state reports, the registry rules, address matching, and the files under /var/ftp and /tmp
// (those only in a forked child inside a private mount namespace).
#include "app_lan.h"

#include <gtest/gtest.h>
#include <netinet/in.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "alloc_balance.h"
#include "app_lan_internal.h"
#include "lan_golden.h"
#include "lan_test.h"
#include "temp_dir.h"

namespace {

using namespace lan_test;
using test_support::exists;
using test_support::re_escape;
using test_support::re_whole_match;
using test_support::temp_dir;

const std::string stamp = "[0-9]{8}-[0-9]{6}:";
const std::string here = R"(\.\./tst/app_lan\.c:[0-9]+:)";
std::string err(const std::string& s) { return stamp + "ERROR:" + here + re_escape(s) + "\n"; }
std::string dbg(const std::string& s) { return stamp + "DEBUG:" + here + re_escape(s) + "\n"; }
std::string inf(const std::string& s) { return stamp + "INFO:" + re_escape(s) + "\n"; }
std::string dump(const std::string& s_hex) { return stamp + "DUMP:" + here + s_hex + "\n"; }

#define EXPECT_TRACE(text, ...)                                        \
  do {                                                                 \
    std::string s_re_;                                                 \
    for (const std::string& s_part_ : {__VA_ARGS__}) s_re_ += s_part_; \
    EXPECT_TRUE(re_whole_match(text, s_re_)) << "output:\n" << text;   \
  } while (0)

const coap_address_t modem_b = ipv4("10.0.0.3", 40001);
const bytes stats59(golden_stats59.begin(), golden_stats59.end());

// Result and trace of a treating function called on the first @p n bytes of @p b (all of them
// by default; an empty payload goes as a null pointer).
struct treated {
  std::int32_t i = 0;
  std::string out;
};
treated treat(detail::lan_treat_fn pf, const coap_address_t& t_from, const bytes& b,
              std::size_t n = SIZE_MAX) {
  treated r;
  r.out = test_support::captured([&] {
    r.i = pf(&t_from, b.empty() ? nullptr : b.data(),
             static_cast<std::uint32_t>(n == SIZE_MAX ? b.size() : n));
  });
  return r;
}

void register_modem(std::uint32_t serial, const coap_address_t& t_addr) {
  ASSERT_EQ(treat(detail::_app_lan_treat_info, t_addr, info(serial)).i, 1);
}

lan_modem_entry entry_at(std::size_t i) {
  std::array<lan_modem_entry, LAN_MODEM_MAX> at{};
  app_lan_get_modems_info(at.data());
  return at[i];
}

// Every test starts with an empty registry and ends with the blocks it started with.
class app_lan : public test_support::alloc_balance_test {
 protected:
  void SetUp() override {
    vos_os_init();
    detail::app_lan_reset();
    mark_alloc();
  }
  void TearDown() override {
    expect_alloc_balance();
    detail::app_lan_reset();
  }
};

}  // namespace

TEST_F(app_lan, registry_rules_and_sender_matching) {
  std::uint32_t u32_id = 0xDEADBEEF;
  EXPECT_EQ(app_lan_first_modem_id(&u32_id), -1);
  EXPECT_EQ(u32_id, 0xDEADBEEFu);
  for (std::uint32_t i = 0; i < LAN_MODEM_MAX; ++i) {
    register_modem(0xA0 + i,
                   i == 0 ? modem_a : ipv6("fe80::1", static_cast<std::uint16_t>(5000 + i)));
  }
  EXPECT_EQ(entry_at(4).t_info.u32_serial, 0xA0u) << "entries are taken from the top";
  EXPECT_EQ(entry_at(4).t_info.u8_reported_state, 1);
  std::array<lan_modem_entry, LAN_MODEM_MAX> at_before{}, at_after{};
  app_lan_get_modems_info(at_before.data());
  const treated r = treat(detail::_app_lan_treat_info, ipv4("10.0.0.10", 6000), info(0xF6));
  EXPECT_EQ(r.i, -1);  // its trace lines: end-to-end tests
  app_lan_get_modems_info(at_after.data());
  EXPECT_EQ(std::memcmp(at_before.data(), at_after.data(), sizeof at_before), 0);
  EXPECT_EQ(app_lan_first_modem_id(&u32_id), 1);
  EXPECT_EQ(u32_id, 0xA0u);
  coap_address_t t_bad_size = modem_a;
  t_bad_size.size = sizeof(sockaddr_in6);
  for (const auto& [t, u32] : {std::pair<coap_address_t, std::uint32_t>{modem_a, 0xA0},
                               {ipv4("10.0.0.2", 40001), 0},
                               {ipv4("10.0.0.4", 40000), 0},
                               {t_bad_size, 0},
                               {ipv6("fe80::1", 5001), 0xA1},
                               {ipv6("fe80::2", 5001), 0},
                               {ipv6("fe80::1", 5009), 0}}) {
    EXPECT_EQ(detail::_app_lan_modem_id(&t), u32);
  }
  EXPECT_EQ(detail::_app_lan_modem_id(nullptr), 0u);

  // A known modem is updated when the registry is full; what the tool recorded is kept.
  ASSERT_EQ(app_lan_set_modem_firmware(0xA0, "manual", "a0"), 1);
  EXPECT_EQ(app_lan_set_modem_firmware(0x99, "manual", "99"), -1);
  ASSERT_EQ(treat(detail::_app_lan_treat_statistics, modem_a, stats59).i, 1);
  const coap_address_t t_moved = ipv4("10.0.0.8", 1234);
  ASSERT_EQ(treat(detail::_app_lan_treat_info, t_moved, info(0xA0, 2, 2, {0xA1, 0xA2})).i, 1);
  lan_modem_entry t{};
  ASSERT_EQ(app_lan_find_modem(0xA0, &t), 1);
  EXPECT_TRUE(detail::_app_lan_address_equal(t.t_addr, t_moved));
  EXPECT_EQ(detail::_app_lan_modem_id(&modem_a), 0u);
  EXPECT_STREQ(t.ac_fw_staged, "a0");
  EXPECT_NE(t.u32_stats_time, 0u);
  EXPECT_EQ(t.at_rx_stats[2].u16_load, 12);
  EXPECT_EQ(t.t_info.au8_rf[1], 0xA2);
  EXPECT_EQ(t.t_info.u8_reported_state, 2);
  const std::string s_long(300, 'x');
  EXPECT_EQ(app_lan_set_modem_firmware(0xA0, s_long.c_str(), s_long.c_str()), 1);
  ASSERT_EQ(app_lan_find_modem(0xA0, &t), 1);
  EXPECT_EQ(std::strlen(t.ac_fw_label), LAN_FW_LABEL_SIZE - 1);
  std::vector<std::uint32_t> visited;
  EXPECT_EQ(app_lan_for_each_modem(
                [](const lan_modem_entry* pt, void* pv) {
                  static_cast<std::vector<std::uint32_t>*>(pv)->push_back(pt->t_info.u32_serial);
                },
                &visited),
            5u);
  EXPECT_EQ(visited, (std::vector<std::uint32_t>{0xA4, 0xA3, 0xA2, 0xA1, 0xA0}));
}

// What a firmware result takes out of an entry (once), and "found" kept apart from the
// identifier: serial 0 is a modem like any other. No file is touched here.
TEST_F(app_lan, firmware_result_takes_the_staged_name_once_and_keeps_the_label) {
  const coap_address_t modem_zero = ipv4("10.0.0.3", 40000), t_other = ipv4("10.0.0.2", 40001);
  register_modem(0x1a2b3c4d, modem_a);
  register_modem(0, modem_zero);
  ASSERT_EQ(app_lan_set_modem_firmware(0x1a2b3c4d, "manual", "1a2b3c4d"), 1);
  ASSERT_EQ(app_lan_set_modem_firmware(0, "zero", "0"), 1);
  const struct {
    const coap_address_t* pt_from;
    int i_result;
    std::uint32_t u32_id;
    const char* pc_label;
    const char* pc_staged;
  } rows[] = {{&modem_a, 1, 0x1a2b3c4d, "manual", "1a2b3c4d"},
              {&modem_a, 1, 0x1a2b3c4d, "manual", ""},  // the file went with the first
              {&modem_zero, 1, 0, "zero", "0"},
              {&t_other, -1, 7, "x", "x"},
              {nullptr, -1, 7, "x", "x"}};
  for (const auto& r : rows) {
    SCOPED_TRACE(r.pc_staged);
    detail::lan_fw_taken fw{7, "x", "x"};
    EXPECT_EQ(detail::_app_lan_take_firmware(r.pt_from, &fw), r.i_result);
    EXPECT_EQ(fw.u32_id, r.u32_id);
    EXPECT_STREQ(fw.ac_label, r.pc_label);
    EXPECT_STREQ(fw.ac_staged, r.pc_staged);
  }
  EXPECT_EQ(detail::_app_lan_take_firmware(&modem_a, nullptr), -1);
  lan_modem_entry entry{};
  ASSERT_EQ(app_lan_find_modem(0, &entry), 1);
  EXPECT_STREQ(entry.ac_fw_label, "zero");
  EXPECT_STREQ(entry.ac_fw_staged, "");
  lan_rx_stats at_stats[LAN_MAX_RF]{};
  at_stats[0].u16_crc_ok = 42;
  EXPECT_EQ(detail::_app_lan_store_statistics(&modem_zero, at_stats, nullptr, nullptr), 1);
  EXPECT_EQ(detail::_app_lan_store_statistics(&t_other, at_stats, nullptr, nullptr), -1);
  ASSERT_EQ(app_lan_find_modem(0, &entry), 1);
  EXPECT_EQ(entry.at_rx_stats[0].u16_crc_ok, 42);
}

TEST_F(app_lan, statistics_and_parameter_value) {
  register_modem(0x3, modem_a);
  ASSERT_EQ(treat(detail::_app_lan_treat_statistics, modem_a,
                  bytes(golden_stats66.begin(), golden_stats66.end()))
                .i,
            1);
  EXPECT_EQ(entry_at(4).at_rx_stats[6].u16_load, 306);
  EXPECT_EQ(entry_at(4).at_rx_stats[6].u8_rssi_max, 86);
  const std::string s_receivers =
      inf("Receiver 0 : CRC OK : 100\t CRC KO : 200\t LOAD : 10\t RSSI_min : -60\t RSSI_avg : "
          "-70\t RSSI_max : -80") +
      inf("Receiver 1 : CRC OK : 101\t CRC KO : 201\t LOAD : 11\t RSSI_min : -61\t RSSI_avg : "
          "-71\t RSSI_max : -81") +
      inf("Receiver 2 : CRC OK : 102\t CRC KO : 202\t LOAD : 12\t RSSI_min : -62\t RSSI_avg : "
          "-72\t RSSI_max : -82");
  treated r = treat(detail::_app_lan_treat_statistics, modem_a, stats59);
  EXPECT_EQ(r.i, 1);
  EXPECT_TRACE(r.out, dbg("Update statistics of Modem 3"), s_receivers);
  const lan_modem_entry t_stored = entry_at(4);
  const lan_rx_stats at_zero[4]{};
  EXPECT_EQ(std::memcmp(&t_stored.at_rx_stats[3], at_zero, sizeof at_zero), 0);
  r = treat(detail::_app_lan_treat_statistics, modem_b, stats59);
  EXPECT_TRACE(r.out, dbg("Update statistics of Modem 0"), s_receivers);
  const lan_modem_entry t_after = entry_at(4);
  EXPECT_EQ(std::memcmp(t_stored.at_rx_stats, t_after.at_rx_stats, sizeof t_after.at_rx_stats), 0)
      << "not stored";

  const struct {
    bytes b;
    std::string s_re;
  } rows[] = {
      {{0x65, 0x00, 0x02, 0x0A, 0xFF, 0x99}, inf("Param req : 0x65 len:2, value:") + dump("0AFF")},
      {{0x02, 0x01, 0x05, 0x11, 0x22},
       inf("Param req : 0x102 len:5, value:") + err("Param value cut: 2 of 5 bytes") +
           dump("1122")},
      {{0x65, 0x00}, err("Malformed param value msg, size:2") + dump("6500")}};
  for (const auto& p : rows) {
    const treated t = treat(detail::_app_lan_treat_param, modem_a, p.b);
    EXPECT_EQ(t.i, 1);
    EXPECT_TRACE(t.out, p.s_re);
  }
}

// Refused when short; with its end and file replaced (the seam of the tests), the report is
// traced, goes to the given file, and ends the run. (Children with a private /tmp: hostile tests.)
TEST_F(app_lan, noise_report) {
  const bytes noise{90, 91, 92, 93, 94, 95, 96, 1, 2, 3, 4, 5, 6, 7};
  treated r = treat(detail::_app_lan_treat_noise, modem_a, noise, 13);
  EXPECT_EQ(r.i, -1);
  EXPECT_TRACE(r.out, err("Malformed noise ind msg, size:13"));
  const std::string header = "|\t1\t|\t2\t|\t3\t|\t4\t|\t5\t|\t6\t|\t7\t|";
  std::string s_table;
  for (const std::string& row :
       {std::string("Noise (dBM)"), header,
        std::string("|\t-90\t|\t-91\t|\t-92\t|\t-93\t|\t-94\t|\t-95\t|\t-96\t|"),
        std::string("Noise Margin (dB)"), header, header}) {
    s_table += ".*" + re_escape("INFO:" + row + "\n");
  }
  const temp_dir dir("app_lan_test");
  const std::string s_file = dir / "report.txt";
  const char* const pc_saved_file = detail::_pc_lan_noise_file;
  const detail::lan_noise_end_fn pf_saved_end = detail::_pf_lan_noise_end;
  static int i_ends = 0;
  detail::_pc_lan_noise_file = s_file.c_str();
  detail::_pf_lan_noise_end = [](int i_status) noexcept { i_ends += i_status; };
  app_lan_expect_noise(&modem_a);
  r = treat(detail::_app_lan_treat_noise, modem_a, noise);
  app_lan_expect_noise(nullptr);
  detail::_pc_lan_noise_file = pc_saved_file;
  detail::_pf_lan_noise_end = pf_saved_end;
  EXPECT_EQ(r.i, 1);
  EXPECT_EQ(i_ends, 1);
  EXPECT_TRUE(re_whole_match(r.out, s_table + ".*")) << r.out;
  EXPECT_TRUE(exists(s_file));
}

TEST_F(app_lan, message_without_a_worker_is_dropped_and_freed) {
  ASSERT_EQ(detail::_pv_lan_itf_task_handle, nullptr);
  const std::uint8_t au8[4] = {1, 2, 3, 4};
  std::int32_t ai[3] = {};
  const std::string s_out = test_support::captured([&] {
    ai[0] = app_lan_rx_handler(LAN_MSG_RX_FRAME, &modem_a, au8, 4);
    ai[1] = app_lan_rx_handler(LAN_MSG_INFO, &modem_a, nullptr, 0);
    ai[2] = app_lan_rx_handler(LAN_MSG_INFO, &modem_a, nullptr, 3);
  });
  EXPECT_EQ(ai[0] + ai[1], 0);
  EXPECT_EQ(ai[2], -1);
  EXPECT_TRACE(s_out, err("LAN message (kind:1, size:4) dropped: not posted"),
               err("LAN message (kind:2, size:0) dropped: not posted"),
               err("LAN message (kind:2, size:3) dropped: no payload"));
}
