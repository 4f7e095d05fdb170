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
#include <sstream>
#include <string>
#include <vector>

#include "alloc_balance.h"
#include "app_lan_internal.h"
#include "coap_addr.h"
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

// Received radio frame: header (freq 868950000, rtc 12.034, offset -5, rssi 80, mod 3, rx 2)
// announcing data_len, then the frame bytes given.
bytes rx_frame(std::uint16_t data_len, const bytes& frame) {
  bytes b;
  put(b, 868950000, 4);
  put(b, 12, 4);
  put(b, 34, 2);
  put(b, static_cast<std::uint16_t>(-5), 2);
  put(b, data_len, 2);
  b.insert(b.end(), {80, 3, 2});
  b.insert(b.end(), frame.begin(), frame.end());
  return b;
}
const std::string rx_header_line =
    "\n################\n PACKET RECEIVED \n################\n RTC:12,034, FREQ:868950000, "
    "RSSI:-80, FREQ_OFFSET:-5, RF_MOD:3, RF_RECEIVER:2";

// Statistics in the 8-bit LOAD form (or 16-bit when size is 66): receiver i has CRC OK 100+i,
// CRC KO 200+i, LOAD 10+i and RSSI 60+i / 70+i / 80+i.
bytes stats(std::size_t size, std::uint8_t n) {
  const bool load16 = size == 66;
  bytes b{n, 0};
  for (int i = 0; i < n; ++i) put(b, 100 + i, 2);
  for (int i = 0; i < n; ++i) put(b, 200 + i, 2);
  if (load16)
    for (int i = 0; i < n; ++i) put(b, 10 + i, 2);
  for (int i = 0; i < n; ++i)
    b.insert(b.end(), {std::uint8_t(60 + i), std::uint8_t(70 + i), std::uint8_t(80 + i)});
  if (!load16)
    for (int i = 0; i < n; ++i) b.push_back(static_cast<std::uint8_t>(10 + i));
  b.resize(size, 0);
  return b;
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

// ---- registry ----------------------------------------------------------------------------------

TEST_F(app_lan, empty_registry_has_no_first_modem) {
  std::uint32_t u32_id = 0xDEADBEEF;
  EXPECT_EQ(app_lan_modem_nb(), 0u);
  EXPECT_EQ(app_lan_first_modem_id(&u32_id), -1);
  EXPECT_EQ(u32_id, 0xDEADBEEFu);
  EXPECT_EQ(app_lan_first_modem_id(nullptr), -1);
  lan_modem_entry t{};
  EXPECT_EQ(app_lan_find_modem(0, &t), -1);
  EXPECT_EQ(detail::_app_lan_modem_id(&modem_a), 0u);
}

TEST_F(app_lan, entries_are_taken_from_the_top_and_first_modem_stays_first) {
  register_modem(0x1111, modem_a);
  EXPECT_EQ(entry_at(3).u8_in_use, 0);
  register_modem(0x2222, modem_b);
  EXPECT_EQ(entry_at(3).t_info.u32_serial, 0x2222u);
  std::uint32_t u32_id = 0;
  EXPECT_EQ(app_lan_first_modem_id(&u32_id), 1);
  EXPECT_EQ(u32_id, 0x1111u);
  EXPECT_EQ(app_lan_modem_nb(), 2u);

  const lan_modem_entry t = entry_at(4);
  EXPECT_EQ(t.u8_in_use, 1);
  EXPECT_EQ(t.t_info.u32_serial, 0x1111u);
  EXPECT_TRUE(detail::_app_lan_address_equal(t.t_addr, modem_a));
  EXPECT_EQ(t.t_info.u32_tmsp, 1000u);
  EXPECT_EQ(t.t_info.u8_reported_state, 1);
  EXPECT_NE(t.u32_info_time, 0u);
}

TEST_F(app_lan, sixth_modem_is_refused_and_the_five_stay) {
  for (std::uint32_t i = 0; i < LAN_MODEM_MAX; ++i) {
    register_modem(0xA0 + i, ipv4("10.0.0.9", static_cast<std::uint16_t>(5000 + i)));
  }
  EXPECT_EQ(app_lan_modem_nb(), 5u);
  std::array<lan_modem_entry, LAN_MODEM_MAX> at_before{}, at_after{};
  app_lan_get_modems_info(at_before.data());

  const treated r = treat(detail::_app_lan_treat_info, ipv4("10.0.0.10", 6000), info(0xF6, 1));
  EXPECT_EQ(r.i, -1);
  EXPECT_TRACE(r.out, inf(info_line(0xF6, 1, 0, "0/0/0/0/0/0/0")),
               inf("New modem detected f6 (IP:10.0.0.10:6000)"),
               err("No more place in modem list!!!!"));
  app_lan_get_modems_info(at_after.data());
  EXPECT_EQ(std::memcmp(at_before.data(), at_after.data(), sizeof at_before), 0);
  std::uint32_t u32_id = 0;
  EXPECT_EQ(app_lan_first_modem_id(&u32_id), 1);
  EXPECT_EQ(u32_id, 0xA0u);
  // A modem already known is still updated when the registry is full.
  const coap_address_t t_moved = ipv4("10.0.0.11", 7000);
  register_modem(0xA2, t_moved, 2);
  EXPECT_EQ(detail::_app_lan_modem_id(&t_moved), 0xA2u);
}

TEST_F(app_lan, lookup_by_identifier_and_firmware_record) {
  register_modem(0x1a2b3c4d, modem_a);
  lan_modem_entry t{};
  ASSERT_EQ(app_lan_find_modem(0x1a2b3c4d, &t), 1);
  EXPECT_TRUE(detail::_app_lan_address_equal(t.t_addr, modem_a));
  EXPECT_EQ(app_lan_find_modem(0x1a2b3c4e, &t), -1);

  EXPECT_EQ(app_lan_set_modem_firmware(0x1a2b3c4d, "manual", "1a2b3c4d"), 1);
  EXPECT_EQ(app_lan_set_modem_firmware(0x99, "manual", "99"), -1);
  ASSERT_EQ(app_lan_find_modem(0x1a2b3c4d, &t), 1);
  EXPECT_STREQ(t.ac_fw_label, "manual");
  EXPECT_STREQ(t.ac_fw_staged, "1a2b3c4d");

  const std::string s_long(300, 'x');
  EXPECT_EQ(app_lan_set_modem_firmware(0x1a2b3c4d, s_long.c_str(), s_long.c_str()), 1);
  ASSERT_EQ(app_lan_find_modem(0x1a2b3c4d, &t), 1);
  EXPECT_EQ(std::strlen(t.ac_fw_label), LAN_FW_LABEL_SIZE - 1);
  EXPECT_EQ(std::strlen(t.ac_fw_staged), LAN_FW_STAGED_SIZE - 1);

  register_modem(0x55, modem_b);
  std::vector<std::uint32_t> visited;
  const auto u32_nb = app_lan_for_each_modem(
      [](const lan_modem_entry* pt, void* pv) {
        static_cast<std::vector<std::uint32_t>*>(pv)->push_back(pt->t_info.u32_serial);
      },
      &visited);
  EXPECT_EQ(u32_nb, 2u);
  EXPECT_EQ(visited, (std::vector<std::uint32_t>{0x55, 0x1a2b3c4d}));  // entry 3, then 4
}

TEST_F(app_lan, sender_matches_by_family_address_and_port) {
  register_modem(0x10, modem_a);
  register_modem(0x20, ipv6("fe80::1", 40000));
  coap_address_t t_bad_size = modem_a;
  t_bad_size.size = sizeof(sockaddr_in6);
  struct row {
    const char* pc_what;
    coap_address_t t;
    std::uint32_t u32_id;
  };
  for (const row& r :
       {row{"IPv4", modem_a, 0x10}, row{"IPv4 port", ipv4("10.0.0.2", 40001), 0},
        row{"IPv4 address", ipv4("10.0.0.4", 40000), 0}, row{"IPv4 size", t_bad_size, 0},
        row{"IPv6", ipv6("fe80::1", 40000), 0x20}, row{"IPv6 address", ipv6("fe80::2", 40000), 0},
        row{"IPv6 port", ipv6("fe80::1", 40002), 0}}) {
    SCOPED_TRACE(r.pc_what);
    EXPECT_EQ(detail::_app_lan_modem_id(&r.t), r.u32_id);
  }
  {
    SCOPED_TRACE("other family never matches");
    coap_address_t t_unix{};
    t_unix.size = 2;
    t_unix.addr.sa.sa_family = AF_UNIX;
    EXPECT_FALSE(detail::_app_lan_address_equal(t_unix, t_unix));
    EXPECT_EQ(detail::_app_lan_modem_id(nullptr), 0u);
  }
  {
    SCOPED_TRACE("a new address of a known modem replaces the old one");
    const coap_address_t t_moved = ipv4("10.0.0.7", 41000);
    register_modem(0x10, t_moved);
    EXPECT_EQ(app_lan_modem_nb(), 2u);
    EXPECT_EQ(detail::_app_lan_modem_id(&t_moved), 0x10u);
    EXPECT_EQ(detail::_app_lan_modem_id(&modem_a), 0u);
  }
}

// ---- modem info --------------------------------------------------------------------------------

TEST_F(app_lan, info_refusals) {
  struct row {
    bytes b;
    std::size_t n;
    std::string s_line;
  };
  for (const row& r :
       {row{info(0x77, 1), 18, "Malformed info msg"}, row{{}, 0, "Malformed info msg"},
        row{info(0x77, 1, 0, {}, 2), SIZE_MAX, "Not supported LAN protocol version:2"}}) {
    SCOPED_TRACE(r.s_line + " " + std::to_string(r.n));
    const treated t = treat(detail::_app_lan_treat_info, modem_a, r.b, r.n);
    EXPECT_EQ(t.i, -1);
    EXPECT_TRACE(t.out, err(r.s_line));
  }
  EXPECT_EQ(app_lan_modem_nb(), 0u);
}

TEST_F(app_lan, state_is_reported_once_per_change) {
  auto trace_of = [](std::uint8_t u8_state) {
    const treated r = treat(detail::_app_lan_treat_info, modem_a, info(0xabc, u8_state));
    EXPECT_EQ(r.i, 1);
    return r.out;
  };
  auto line = [](int state) { return inf(info_line(0xabc, state, 0, "0/0/0/0/0/0/0")); };
  EXPECT_TRACE(trace_of(1), line(1), inf("New modem detected abc (IP:10.0.0.2:40000)"),
               inf("Register new modem abc"), dbg("Modem abc is in READY state"));
  EXPECT_TRACE(trace_of(1), line(1));
  EXPECT_TRACE(trace_of(2), line(2), dbg("Modem abc is in RUNNING state"));
  EXPECT_TRACE(trace_of(2), line(2));
  for (int i = 0; i < 2; ++i) {
    EXPECT_TRACE(trace_of(3), line(3), err("Unsupported state 3 for modem abc"));
  }
  EXPECT_EQ(entry_at(4).t_info.u8_reported_state, 3);
  EXPECT_TRACE(trace_of(1), line(1), dbg("Modem abc is in READY state"));
}

TEST_F(app_lan, update_keeps_what_the_tool_recorded) {
  register_modem(0x42, modem_a);
  ASSERT_EQ(app_lan_set_modem_firmware(0x42, "manual", "42"), 1);
  ASSERT_EQ(treat(detail::_app_lan_treat_statistics, modem_a, stats(59, 2)).i, 1);
  const lan_modem_entry t_before = entry_at(4);

  const coap_address_t t_moved = ipv4("10.0.0.8", 1234);
  ASSERT_EQ(treat(detail::_app_lan_treat_info, t_moved, info(0x42, 2, 2, {0xA1, 0xA2})).i, 1);
  const lan_modem_entry t = entry_at(4);
  EXPECT_TRUE(detail::_app_lan_address_equal(t.t_addr, t_moved));
  EXPECT_STREQ(t.ac_fw_label, "manual");
  EXPECT_STREQ(t.ac_fw_staged, "42");
  EXPECT_EQ(t.u32_stats_time, t_before.u32_stats_time);
  EXPECT_EQ(std::memcmp(t.at_rx_stats, t_before.at_rx_stats, sizeof t.at_rx_stats), 0);
  EXPECT_EQ(t.t_info.u8_nb_rf, 2);
  EXPECT_EQ(t.t_info.au8_rf[1], 0xA2);
  EXPECT_EQ(t.t_info.u8_reported_state, 2);
}

TEST_F(app_lan, receivers_are_limited_and_missing_fields_read_zero) {
  {
    SCOPED_TRACE("8 receivers announced");
    const treated r =
        treat(detail::_app_lan_treat_info, modem_a, info(0x8, 1, 8, {1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(r.i, 1);
    EXPECT_TRACE(r.out, err("Too much receiver channel :8"),
                 inf(info_line(0x8, 1, 7, "1/2/3/4/5/6/7")),
                 inf("New modem detected 8 (IP:10.0.0.2:40000)"), inf("Register new modem 8"),
                 dbg("Modem 8 is in READY state"));
  }
  {
    SCOPED_TRACE("3 announced, 1 present");
    const treated r = treat(detail::_app_lan_treat_info, modem_b, info(0x9, 2, 3, {0x33}));
    EXPECT_EQ(r.i, 1);
    EXPECT_TRACE(r.out, inf(info_line(0x9, 2, 3, "33/0/0/0/0/0/0")),
                 inf("New modem detected 9 (IP:10.0.0.3:40001)"), inf("Register new modem 9"),
                 dbg("Modem 9 is in RUNNING state"));
  }
  struct row {
    std::uint32_t u32_serial;
    std::size_t n;
    const char* pc_tail;
  };
  for (const row& r : {row{0xA, 19, "state:1, wakeup:0, nb RF receiver:0, RF:0/0/0/0/0/0/0\n"},
                       row{0xB, 20, "state:1, wakeup:9, nb RF receiver:0, RF:0/0/0/0/0/0/0\n"}}) {
    SCOPED_TRACE(std::to_string(r.n) + " bytes: no receiver count");
    const coap_address_t t_addr = ipv4("10.0.0.5", static_cast<std::uint16_t>(r.n));
    const treated t = treat(detail::_app_lan_treat_info, t_addr, info(r.u32_serial, 1, 5), r.n);
    EXPECT_EQ(t.i, 1);
    EXPECT_NE(t.out.find(r.pc_tail), std::string::npos) << t.out;
  }
  lan_modem_entry t{};
  ASSERT_EQ(app_lan_find_modem(0xB, &t), 1);
  EXPECT_EQ(t.t_info.u8_nb_rf, 0);
  EXPECT_EQ(t.t_info.u8_wakeup, 9);
}

// ---- received radio frame ---------------------------------------------------------------------

TEST_F(app_lan, rx_frame_failure_lines) {
  const bytes b = rx_frame(0, {});
  for (const std::size_t n : {0, 16, 17}) {
    SCOPED_TRACE(n);
    const treated r = treat(detail::_app_lan_treat_rx_msg_req, modem_a, n ? b : bytes{}, n);
    EXPECT_EQ(r.i, 1);
    EXPECT_TRACE(r.out, n == 17 ? dbg(rx_header_line) : "",
                 err("Receive bad rx_msg, size:" + std::to_string(n)));
  }
}

TEST_F(app_lan, rx_frame_is_shown_with_its_end_point_and_modem) {
  register_modem(0x5eed, modem_a);
  const bytes frame{0x1e, 0x44, 0x2d, 0x2c, 0x78, 0x56, 0x34, 0x12, 0x01, 0x07, 0xAA, 0xBB};
  struct row {
    std::uint16_t u16_len;  // announced
    bytes frame;
    coap_address_t t_from;
    std::string s_dump, s_id, s_modem;
  };
  for (const row& r :
       {row{12, frame, modem_a, "1E442D2C785634120107AABB", "2d 2c / 78 56 34 12 01 07", "5eed"},
        row{12, frame, ipv4("10.0.0.2", 40002), "1E442D2C785634120107AABB",
            "2d 2c / 78 56 34 12 01 07", "0"},
        // The frame is never read past the payload, nor past the announced length.
        row{200, {0x0e, 0x44, 0xAB, 0xCD, 0x01}, modem_a, "0E44ABCD01", "ab cd / 01", "5eed"},
        row{3, {0x0e, 0x44, 0xAB, 0xCD, 0x01}, modem_a, "0E44AB", "ab", "5eed"}}) {
    SCOPED_TRACE(r.s_dump + " from modem " + r.s_modem);
    const treated t =
        treat(detail::_app_lan_treat_rx_msg_req, r.t_from, rx_frame(r.u16_len, r.frame));
    EXPECT_EQ(t.i, 1);
    EXPECT_TRACE(
        t.out, dbg(rx_header_line), dbg("WMBUS Data len : " + std::to_string(r.u16_len)),
        dump(r.s_dump),
        dbg("Receive RF frame from EndPoint [" + r.s_id + "] on modem [" + r.s_modem + "]"),
        dbg("\n################\n################"));
  }
}

TEST_F(app_lan, print_id_shows_the_address_bytes_present) {
  std::array<char, LAN_ENDPOINT_TEXT_SIZE> ac{};
  const bytes full{0, 0, 0x2d, 0x2c, 0x78, 0x56, 0x34, 0x12, 0x01, 0x07, 0xFF};
  EXPECT_STREQ(detail::_app_lan_print_id(full, ac), "2d 2c / 78 56 34 12 01 07");
  EXPECT_STREQ(detail::_app_lan_print_id(std::span(full).first(4), ac), "2d 2c");
  EXPECT_STREQ(detail::_app_lan_print_id(std::span(full).first(2), ac), "");
}

// ---- statistics and parameter value ----------------------------------------------------------

TEST_F(app_lan, statistics_refusals) {
  bytes b8 = stats(66, 7);
  b8[0] = 8;
  register_modem(0x3, modem_a);
  struct row {
    bytes b;
    std::string s_line;
  };
  for (const row& r :
       {row{stats(58, 3), "Malformed stats msg"}, row{{}, "Malformed stats msg"},
        row{stats(59, 0), "Bad nb receiver channel :0"}, row{b8, "Bad nb receiver channel :8"}}) {
    SCOPED_TRACE(r.s_line + " " + std::to_string(r.b.size()));
    const treated t = treat(detail::_app_lan_treat_statistics, modem_a, r.b);
    EXPECT_EQ(t.i, -1);
    EXPECT_TRACE(t.out, err(r.s_line));
  }
  EXPECT_EQ(entry_at(4).u32_stats_time, 0u);
}

TEST_F(app_lan, statistics_are_logged_and_replace_the_previous_ones) {
  register_modem(0x3, modem_a);
  {
    SCOPED_TRACE("7 receivers, 16-bit LOAD");
    EXPECT_EQ(treat(detail::_app_lan_treat_statistics, modem_a, stats(66, 7)).i, 1);
    EXPECT_EQ(entry_at(4).at_rx_stats[6].u16_load, 16);
  }
  auto receiver = [](int i) {
    return inf("Receiver " + std::to_string(i) + " : CRC OK : " + std::to_string(100 + i) +
               "\t CRC KO : " + std::to_string(200 + i) + "\t LOAD : " + std::to_string(10 + i) +
               "\t RSSI_min : -" + std::to_string(60 + i) + "\t RSSI_avg : -" +
               std::to_string(70 + i) + "\t RSSI_max : -" + std::to_string(80 + i));
  };
  {
    SCOPED_TRACE("3 receivers, 8-bit LOAD");
    const treated r = treat(detail::_app_lan_treat_statistics, modem_a, stats(59, 3));
    EXPECT_EQ(r.i, 1);
    EXPECT_TRACE(r.out, dbg("Update statistics of Modem 3"), receiver(0), receiver(1), receiver(2));
    const lan_modem_entry t = entry_at(4);
    EXPECT_NE(t.u32_stats_time, 0u);
    EXPECT_EQ(t.at_rx_stats[2].u16_crc_ok, 102);
    EXPECT_EQ(t.at_rx_stats[2].u8_rssi_max, 82);
    const lan_rx_stats t_zero{};
    for (int i = 3; i < 7; ++i) {
      EXPECT_EQ(std::memcmp(&t.at_rx_stats[i], &t_zero, sizeof t_zero), 0) << "receiver " << i;
    }
  }
  {
    SCOPED_TRACE("unregistered sender: logged under 0, not stored");
    const lan_modem_entry t_before = entry_at(4);
    const treated r = treat(detail::_app_lan_treat_statistics, modem_b, stats(59, 1));
    EXPECT_EQ(r.i, 1);
    EXPECT_TRACE(r.out, dbg("Update statistics of Modem 0"), receiver(0));
    const lan_modem_entry t_after = entry_at(4);
    EXPECT_EQ(std::memcmp(t_before.at_rx_stats, t_after.at_rx_stats, sizeof t_after.at_rx_stats),
              0);
  }
}

TEST_F(app_lan, parameter_value_is_dumped_within_its_payload) {
  struct row {
    const char* pc_what;
    bytes b;
    std::string s_re;
  };
  for (const row& r : {row{"whole value",
                           {0x65, 0x00, 0x02, 0x0A, 0xFF, 0x99},
                           inf("Param req : 0x65 len:2, value:") + dump("0AFF")},
                       row{"value shorter than announced",
                           {0x02, 0x01, 0x05, 0x11, 0x22},
                           inf("Param req : 0x102 len:5, value:") +
                               err("Param value cut: 2 of 5 bytes") + dump("1122")},
                       row{"shorter than 3 bytes",
                           {0x65, 0x00},
                           err("Malformed param value msg, size:2") + dump("6500")},
                       row{"empty", {}, err("Malformed param value msg, size:0") + dump("")}}) {
    SCOPED_TRACE(r.pc_what);
    const treated t = treat(detail::_app_lan_treat_param, modem_a, r.b);
    EXPECT_EQ(t.i, 1);
    EXPECT_TRACE(t.out, r.s_re);
  }
}

// ---- firmware install result (files under /var/ftp) ---------------------------------------

TEST_F(app_lan, firmware_install_refuses_an_empty_result) {
  const treated r = treat(detail::_app_lan_treat_firmware_install_ind, modem_a, {});
  EXPECT_EQ(r.i, -1);
  EXPECT_TRACE(r.out, err("Malformed fw install ind msg"));
}

TEST_F(app_lan, firmware_install_deletes_the_staged_file_of_its_sender_whatever_the_result) {
  struct row {
    std::uint8_t u8_result;
    coap_address_t t_from;
    std::string s_trace;
    bool b_deleted;
  };
  const std::string s_known = "Firmware install (name:manual) of modem 1a2b3c4d is ";
  for (const row& r :
       {row{1, modem_a, dbg(s_known + "OK "), true}, row{0, modem_a, dbg(s_known + "KO "), true},
        row{2, modem_a, dbg(s_known + "KO "), true},
        row{1, ipv4("10.0.0.2", 40009), re_escape("Firmware install (name:) of modem 0 is OK \n"),
            false}}) {
    SCOPED_TRACE(r.s_trace);
    const temp_dir dir("app_lan_test");
    ASSERT_TRUE(dir.ok());
    std::ofstream(dir.path() + "/1a2b3c4d") << "image";
    std::ofstream(dir.path() + "/other") << "x";
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
    EXPECT_TRUE(exists(dir.path() + "/other"));
  }
}

// ---- noise report (file /tmp/noise.txt) ---------------------------------------------------

namespace {
const bytes noise_payload{90, 91, 92, 93, 94, 95, 96, 1, 2, 3, 4, 5, 6, 7};
const std::string noise_trace =
    re_escape("INFO:Noise (dBM)\n") + ".*" +
    re_escape("INFO:|\t1\t|\t2\t|\t3\t|\t4\t|\t5\t|\t6\t|\t7\t|\n") + ".*" +
    re_escape("INFO:|\t-90\t|\t-91\t|\t-92\t|\t-93\t|\t-94\t|\t-95\t|\t-96\t|\n") + ".*" +
    re_escape("INFO:Noise Margin (dB)\n") + ".*" +
    re_escape("INFO:|\t1\t|\t2\t|\t3\t|\t4\t|\t5\t|\t6\t|\t7\t|\n") + ".*" +
    re_escape("INFO:|\t1\t|\t2\t|\t3\t|\t4\t|\t5\t|\t6\t|\t7\t|\n");

// Noise report of @p n bytes treated in a child with @p s_dir as /tmp; exits with -1 -> 0, else 5.
[[noreturn]] void noise_child(const std::string& s_dir, std::uint32_t n) {
  mounted_child(s_dir, "/tmp", [n] {
    app_lan_expect_noise(&modem_a);
    return detail::_app_lan_treat_noise(&modem_a, noise_payload.data(), n) == -1 ? 0 : 5;
  });
}

std::string file_text(const std::string& s_path) {
  std::ifstream in(s_path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}
}  // namespace

TEST_F(app_lan, short_noise_report_is_refused_and_the_tool_goes_on) {
  const temp_dir dir("app_lan_test");
  ASSERT_TRUE(dir.ok());
  EXPECT_EXIT(noise_child(dir.path(), 13), ::testing::ExitedWithCode(0),
              re_escape("ERROR:../tst/app_lan.c:") +
                  "[0-9]+:" + re_escape("Malformed noise ind msg, size:13\n"));
  EXPECT_FALSE(exists(dir.path() + "/noise.txt"));
}

TEST_F(app_lan, noise_report_is_written_and_ends_the_tool) {
  const temp_dir dir("app_lan_test");
  ASSERT_TRUE(dir.ok());
  EXPECT_EXIT(noise_child(dir.path(), 14), ::testing::ExitedWithCode(1), noise_trace);
  ASSERT_TRUE(exists(dir.path() + "/noise.txt"));
  const std::string s_file = file_text(dir.path() + "/noise.txt");
  const std::string s_rows =
      "Noise (dBM)\r\n|\t1\t|\t2\t|\t3\t|\t4\t|\t5\t|\t6\t|\t7\t|\r\n"
      "|\t-90\t|\t-91\t|\t-92\t|\t-93\t|\t-94\t|\t-95\t|\t-96\t|\r\n"
      "Noise Margin (dB)\r\n|\t1\t|\t2\t|\t3\t|\t4\t|\t5\t|\t6\t|\t7\t|\r\n"
      "|\t1\t|\t2\t|\t3\t|\t4\t|\t5\t|\t6\t|\t7\t|\r\n";
  EXPECT_TRUE(re_whole_match(
      s_file,
      "Date : [0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\r\n" + re_escape(s_rows)))
      << s_file;
}

TEST_F(app_lan, noise_report_without_its_file_still_traces_and_ends_the_tool) {
  const temp_dir dir("app_lan_test");
  ASSERT_TRUE(dir.ok());
  std::filesystem::create_directory(dir.path() + "/noise.txt");  // cannot be replaced
  EXPECT_EXIT(noise_child(dir.path(), 14), ::testing::ExitedWithCode(2),
              noise_trace + ".*" + re_escape("ERROR:../tst/app_lan.c:") +
                  "[0-9]+:" + re_escape("Can't write /tmp/noise.txt: \"Is a directory\" (21)\n"));
  EXPECT_TRUE(std::filesystem::is_directory(dir.path() + "/noise.txt"));
}

TEST_F(app_lan, noise_report_with_its_end_replaced_goes_to_the_given_file_and_returns) {
  const temp_dir dir("app_lan_test");
  ASSERT_TRUE(dir.ok());
  const std::string s_file = dir.path() + "/report.txt";
  const char* const pc_saved_file = detail::_pc_lan_noise_file;
  const detail::lan_noise_end_fn pf_saved_end = detail::_pf_lan_noise_end;
  static int i_ends = 0;
  i_ends = 0;
  detail::_pc_lan_noise_file = s_file.c_str();
  detail::_pf_lan_noise_end = [](int i_status) noexcept { i_ends += i_status; };
  app_lan_expect_noise(&modem_a);
  const treated r = treat(detail::_app_lan_treat_noise, modem_a, noise_payload);
  app_lan_expect_noise(nullptr);
  detail::_pc_lan_noise_file = pc_saved_file;
  detail::_pf_lan_noise_end = pf_saved_end;

  EXPECT_EQ(r.i, 1);
  EXPECT_EQ(i_ends, 1);
  EXPECT_TRUE(re_whole_match(r.out, ".*" + noise_trace + ".*")) << r.out;
  ASSERT_TRUE(exists(s_file));
  EXPECT_TRUE(
      re_whole_match(file_text(s_file), "Date : [^\r]*\r\n" + re_escape("Noise (dBM)\r\n") + ".*"))
      << file_text(s_file);
}

// ---- hand-off refusals ---------------------------------------------------------------------

TEST_F(app_lan, message_without_a_worker_is_dropped_and_freed) {
  ASSERT_EQ(detail::_pv_lan_itf_task_handle, nullptr);
  ASSERT_EQ(detail::_pv_lan_modem_task_handle, nullptr);
  const std::uint8_t au8[4] = {1, 2, 3, 4};
  std::int32_t ai[3] = {};
  const std::string s_out = test_support::captured([&] {
    ai[0] = app_lan_rx_handler(LAN_MSG_RX_FRAME, &modem_a, au8, 4);
    ai[1] = app_lan_rx_handler(LAN_MSG_INFO, &modem_a, nullptr, 0);
    ai[2] = app_lan_rx_handler(LAN_MSG_INFO, &modem_a, nullptr, 3);
  });
  EXPECT_EQ(ai[0], 0);
  EXPECT_EQ(ai[1], 0);
  EXPECT_EQ(ai[2], -1);
  EXPECT_TRACE(s_out, err("LAN message (kind:1, size:4) dropped: not posted"),
               err("LAN message (kind:2, size:0) dropped: not posted"),
               err("LAN message (kind:2, size:3) dropped: no payload"));
}
