// LAN modem link, treating functions and registry called directly: every failure line, the
// state reports, the registry rules, address matching, and the files under /var/ftp and /tmp
// (those only in a forked child inside a private mount namespace).
#include "app_lan.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <string>
#include <tuple>
#include <vector>

#include "alloc_balance.h"
#include "app_lan_internal.h"
#include "coap_addr.h"
#include "lan_golden.h"
#include "stdout_capture.h"
#include "temp_dir.h"
#include "test_regex.h"
#include "vos_mem.h"

namespace {

using bytes = std::vector<std::uint8_t>;
using test_support::exists;
using test_support::re_escape;
using test_support::re_whole_match;
using test_support::temp_dir;

// ---- trace matching --------------------------------------------------------------------------

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

// ---- payloads and addresses ------------------------------------------------------------------

void put(bytes& b, std::uint32_t v, int n) {
  for (int i = 0; i < n; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

// Modem info: protocol, serial, tmsp 1000, hw 2.3, sw 4.5, type 6, location 7, state, wakeup 9,
// receiver count, then the receiver bytes given.
bytes info(std::uint32_t serial, std::uint8_t state, std::uint8_t nb_rf = 0, bytes rf = {},
           std::uint32_t protocol = 1) {
  bytes b;
  put(b, protocol, 4);
  put(b, serial, 4);
  put(b, 1000, 4);
  put(b, 0x0203, 2);
  put(b, 0x0405, 2);
  b.insert(b.end(), {6, 7, state, 9, nb_rf});
  b.insert(b.end(), rf.begin(), rf.end());
  return b;
}

std::string info_line(std::uint32_t serial, int state, int nb_rf, const std::string& rf) {
  char ac[512];
  std::snprintf(ac, sizeof ac,
                "Modem INFO :protocol:1, serial number:%x, tmsp:1000, hw_ver:2.3, sw_ver:4.5, "
                "type:6, location:7, state:%d, wakeup:9, nb RF receiver:%d, RF:",
                serial, state, nb_rf);
  return ac + rf;
}

const coap_address_t modem_a = ipv4("10.0.0.2", 40000);
const coap_address_t modem_b = ipv4("10.0.0.3", 40001);

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

// Registers a modem silently (its trace lines are not what the test looks at).
void register_modem(std::uint32_t serial, const coap_address_t& t_addr, std::uint8_t state = 1) {
  ASSERT_EQ(treat(detail::_app_lan_treat_info, t_addr, info(serial, state)).i, 1);
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

// ---- private mount namespace for /var/ftp and /tmp ----------------------------------------

// In the child of a death test: own mount namespace, then @p s_src bind-mounted over @p pc_dir
// (when pc_dir does not exist, a tmpfs over its parent provides it first). Exits 3 on failure.
void private_mount(const std::string& s_src, const char* pc_dir) {
  if (unshare(CLONE_NEWNS) != 0 ||
      mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    _exit(3);
  }
  struct stat st {};
  if (stat(pc_dir, &st) != 0) {
    const std::string parent = std::filesystem::path(pc_dir).parent_path();
    if (mount("tmpfs", parent.c_str(), "tmpfs", 0, "size=1m") != 0 || mkdir(pc_dir, 0755) != 0) {
      _exit(3);
    }
  }
  if (mount(s_src.c_str(), pc_dir, nullptr, MS_BIND, nullptr) != 0) _exit(3);
}

// Death-test child: stdout on stderr, @p s_src over @p pc_dir, then exits with body's result.
template <class F>
[[noreturn]] void mounted_child(const std::string& s_src, const char* pc_dir, F body) {
  dup2(2, 1);
  private_mount(s_src, pc_dir);
  const int i_code = body();
  std::fflush(stdout);
  _exit(i_code);
}

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
  const treated r = treat(detail::_app_lan_treat_info, ipv4("10.0.0.10", 6000), info(0xF6, 1));
  EXPECT_EQ(r.i, -1);
  EXPECT_TRACE(r.out, inf(info_line(0xF6, 1, 0, "0/0/0/0/0/0/0")),
               inf("New modem detected f6 (IP:10.0.0.10:6000)"),
               err("No more place in modem list!!!!"));
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
  ASSERT_EQ(treat(detail::_app_lan_treat_statistics, modem_a,
                  bytes(golden_stats59.begin(), golden_stats59.end()))
                .i,
            1);
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

TEST_F(app_lan, info_fields_missing_or_limited) {
  struct row {
    bytes b;
    std::size_t n;
    const char* pc_in_trace;
  };
  for (const row& r :
       {row{info(0xA, 1, 5), 19, "state:1, wakeup:0, nb RF receiver:0, RF:0/0/0/0/0/0/0\n"},
        row{info(0xB, 1, 5), 20, "wakeup:9, nb RF receiver:0, RF:0/0/0/0/0/0/0\n"},
        row{info(0xC, 2, 3, {0x33}), SIZE_MAX, "nb RF receiver:3, RF:33/0/0/0/0/0/0\n"},
        row{info(0xD, 1, 8, {1, 2, 3, 4, 5, 6, 7, 8}), SIZE_MAX,
            "Too much receiver channel :8\n"}}) {
    const coap_address_t t_addr = ipv4("10.0.0.5", static_cast<std::uint16_t>(r.b[4]));
    const treated t = treat(detail::_app_lan_treat_info, t_addr, r.b, r.n);
    EXPECT_EQ(t.i, 1);
    EXPECT_NE(t.out.find(r.pc_in_trace), std::string::npos) << t.out;
  }
}

TEST_F(app_lan, statistics_and_parameter_value) {
  register_modem(0x3, modem_a);
  ASSERT_EQ(treat(detail::_app_lan_treat_statistics, modem_a,
                  bytes(golden_stats66.begin(), golden_stats66.end()))
                .i,
            1);
  EXPECT_EQ(entry_at(4).at_rx_stats[6].u16_load, 306);
  EXPECT_EQ(entry_at(4).at_rx_stats[6].u8_rssi_max, 86);
  auto receiver = [](int i) {
    return inf("Receiver " + std::to_string(i) + " : CRC OK : " + std::to_string(100 + i) +
               "\t CRC KO : " + std::to_string(200 + i) + "\t LOAD : " + std::to_string(10 + i) +
               "\t RSSI_min : -" + std::to_string(60 + i) + "\t RSSI_avg : -" +
               std::to_string(70 + i) + "\t RSSI_max : -" + std::to_string(80 + i));
  };
  const bytes b59(golden_stats59.begin(), golden_stats59.end());
  treated r = treat(detail::_app_lan_treat_statistics, modem_a, b59);
  EXPECT_EQ(r.i, 1);
  EXPECT_TRACE(r.out, dbg("Update statistics of Modem 3"), receiver(0), receiver(1), receiver(2));
  const lan_rx_stats t_zero{};
  const lan_modem_entry t_stored = entry_at(4);
  for (int i = 3; i < 7; ++i) {
    EXPECT_EQ(std::memcmp(&t_stored.at_rx_stats[i], &t_zero, sizeof t_zero), 0) << i;
  }
  const lan_modem_entry t_before = entry_at(4);
  r = treat(detail::_app_lan_treat_statistics, modem_b, b59);
  EXPECT_TRACE(r.out, dbg("Update statistics of Modem 0"), receiver(0), receiver(1), receiver(2));
  const lan_modem_entry t_after = entry_at(4);
  EXPECT_EQ(std::memcmp(t_before.at_rx_stats, t_after.at_rx_stats, sizeof t_after.at_rx_stats), 0)
      << "not stored";

  struct row {
    bytes b;
    std::string s_re;
  };
  for (const row& p :
       {row{{0x65, 0x00, 0x02, 0x0A, 0xFF, 0x99},
            inf("Param req : 0x65 len:2, value:") + dump("0AFF")},
        row{{0x02, 0x01, 0x05, 0x11, 0x22},
            inf("Param req : 0x102 len:5, value:") + err("Param value cut: 2 of 5 bytes") +
                dump("1122")},
        row{{0x65, 0x00}, err("Malformed param value msg, size:2") + dump("6500")}}) {
    const treated t = treat(detail::_app_lan_treat_param, modem_a, p.b);
    EXPECT_EQ(t.i, 1);
    EXPECT_TRACE(t.out, p.s_re);
  }
}

// ---- files under /var/ftp and /tmp ----------------------------------------------------------

TEST_F(app_lan, firmware_install_deletes_the_staged_file_of_its_sender_whatever_the_result) {
  struct row {
    std::uint8_t u8_result;
    coap_address_t t_from;
    std::string s_trace;
    bool b_deleted;
  };
  const std::string s_known = "Firmware install (name:manual) of modem 1a2b3c4d is ";
  for (const row& r :
       {row{1, modem_a, dbg(s_known + "OK "), true}, row{2, modem_a, dbg(s_known + "KO "), true},
        row{1, ipv4("10.0.0.2", 40009), re_escape("Firmware install (name:) of modem 0 is OK \n"),
            false}}) {
    const temp_dir dir("app_lan_test");
    ASSERT_TRUE(dir.ok());
    std::ofstream(dir.path() + "/1a2b3c4d") << "image";
    EXPECT_EXIT(mounted_child(dir.path(), "/var/ftp",
                              [&] {
                                register_modem(0x1a2b3c4d, modem_a);
                                app_lan_set_modem_firmware(0x1a2b3c4d, "manual", "1a2b3c4d");
                                // The file goes by its full path, whatever the working directory.
                                if (chdir("/") != 0) return 4;
                                const std::uint8_t u8 = r.u8_result;
                                return detail::_app_lan_treat_firmware_install_ind(&r.t_from, &u8,
                                                                                   1) == 1
                                           ? 0
                                           : 5;
                              }),
                ::testing::ExitedWithCode(0), r.s_trace);
    EXPECT_EQ(exists(dir.path() + "/1a2b3c4d"), !r.b_deleted);
  }
}

namespace {
const bytes noise_payload{90, 91, 92, 93, 94, 95, 96, 1, 2, 3, 4, 5, 6, 7};
const std::string header = "|\t1\t|\t2\t|\t3\t|\t4\t|\t5\t|\t6\t|\t7\t|";
const std::string noise_rows[] = {
    "Noise (dBM)",       header, "|\t-90\t|\t-91\t|\t-92\t|\t-93\t|\t-94\t|\t-95\t|\t-96\t|",
    "Noise Margin (dB)", header, header};
std::string noise_trace() {
  std::string s;
  for (const std::string& row : noise_rows) s += ".*" + re_escape("INFO:" + row + "\n");
  return s;
}
}  // namespace

// Treated in a child with a private /tmp, as the report this run asked for: refused when short;
// traced, and the tool ended with status 2 when the file cannot be made. (The file itself:
// end-to-end tests.)
TEST_F(app_lan, noise_report) {
  for (const auto& [u32_len, b_dir_in_the_way, i_status] :
       {std::tuple<std::uint32_t, bool, int>{13, false, 0}, {14, true, 2}}) {
    const temp_dir dir("app_lan_test");
    ASSERT_TRUE(dir.ok());
    if (b_dir_in_the_way) std::filesystem::create_directory(dir.path() + "/noise.txt");
    const std::string s_re =
        u32_len == 13 ? re_escape("Malformed noise ind msg, size:13\n")
                      : noise_trace() + ".*" +
                            re_escape("Can't write /tmp/noise.txt: \"Is a directory\" (21)\n");
    const std::uint32_t n = u32_len;
    EXPECT_EXIT(mounted_child(dir.path(), "/tmp",
                              [n] {
                                app_lan_expect_noise(&modem_a);
                                return detail::_app_lan_treat_noise(&modem_a, noise_payload.data(),
                                                                    n) == -1
                                           ? 0
                                           : 5;
                              }),
                ::testing::ExitedWithCode(i_status), s_re);
  }
  // With its end replaced (the seam of the tests), the report goes to the given file and returns.
  const temp_dir dir("app_lan_test");
  const std::string s_file = dir.path() + "/report.txt";
  const char* const pc_saved_file = detail::_pc_lan_noise_file;
  const detail::lan_noise_end_fn pf_saved_end = detail::_pf_lan_noise_end;
  static int i_ends = 0;
  detail::_pc_lan_noise_file = s_file.c_str();
  detail::_pf_lan_noise_end = [](int i_status) noexcept { i_ends += i_status; };
  app_lan_expect_noise(&modem_a);
  const treated r = treat(detail::_app_lan_treat_noise, modem_a, noise_payload);
  app_lan_expect_noise(nullptr);
  detail::_pc_lan_noise_file = pc_saved_file;
  detail::_pf_lan_noise_end = pf_saved_end;
  EXPECT_EQ(r.i, 1);
  EXPECT_EQ(i_ends, 1);
  EXPECT_TRUE(re_whole_match(r.out, noise_trace() + ".*")) << r.out;
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
