// LAN modem link: registry rules, address matching, failure lines; and what a host on the LAN
// or a local user could abuse. /var/ftp and /tmp are touched only in forked children with a
// private mount namespace.
#include "app_lan.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "alloc_balance.h"
#include "app_lan_internal.h"
#include "app_lan_request.h"
#include "coap_addr.h"
#include "lan_golden.h"
#include "stdout_capture.h"
#include "temp_dir.h"
#include "test_regex.h"

namespace {

using bytes = std::vector<std::uint8_t>;
using test_support::child_run;
using test_support::exists;
using test_support::re_escape;
using test_support::re_search_lines;
using test_support::temp_dir;

const coap_address_t modem_a = ipv4("10.0.0.2", 40000);

// Modem info: protocol 1, serial, tmsp 1000, hw 2.3, sw 4.5, type 6, location 7, state, wakeup
// 9, receiver count, then the receiver bytes given.
bytes info(std::uint32_t serial, std::uint8_t state = 1, std::uint8_t nb_rf = 0,
           const bytes& rf = {}) {
  bytes b;
  for (const auto& [v, n] :
       {std::pair<std::uint32_t, int>{1, 4}, {serial, 4}, {1000, 4}, {0x0203, 2}, {0x0405, 2}}) {
    for (int i = 0; i < n; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  }
  b.insert(b.end(), {6, 7, state, 9, nb_rf});
  b.insert(b.end(), rf.begin(), rf.end());
  return b;
}

// One trace line of the LAN module at @p pc_level, as a pattern for re_search_lines.
std::string line(const char* pc_level, const std::string& text) {
  return std::string("^[0-9]{8}-[0-9]{6}:") + pc_level + R"(:\.\./tst/app_lan\.c:[0-9]+:)" +
         re_escape(text) + "$";
}

// Forked child with a mount namespace of its own, where @p s_src is bound over @p pc_dir (a
// tmpfs on the parent first when @p pc_dir does not exist), and an empty registry; exits with
// body's result, 90 when the mounts cannot be made.
template <class F>
child_run in_mounted_child(const std::string& s_src, const char* pc_dir, F body) {
  return test_support::run_in_child([&]() -> int {
    if (unshare(CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
      return 90;
    }
    struct stat st {};
    if (stat(pc_dir, &st) != 0) {
      const std::string parent = std::filesystem::path(pc_dir).parent_path();
      if (mount("tmpfs", parent.c_str(), "tmpfs", 0, "size=1m") != 0 || mkdir(pc_dir, 0755) != 0) {
        return 90;
      }
    }
    if (mount(s_src.c_str(), pc_dir, nullptr, MS_BIND, nullptr) != 0) return 90;
    detail::app_lan_reset();
    app_lan_expect_noise(nullptr);
    return body();
  });
}

const bytes noise = {90, 91, 92, 93, 94, 95, 96, 1, 2, 3, 4, 5, 6, 7};

std::size_t count_in(const std::string& s_dir) {
  const std::filesystem::directory_iterator it(s_dir);
  return static_cast<std::size_t>(std::distance(begin(it), end(it)));
}

// The run ends through this in the children: its status becomes the child's exit code.
void end_with(int i_status) noexcept {
  std::fflush(stdout);
  _exit(i_status);
}

const coap_address_t modem_b = ipv4("10.0.0.3", 40001);
const bytes stats59(golden_stats59.begin(), golden_stats59.end());

// Result and trace of a treating function called on @p b.
struct treated {
  std::int32_t i = 0;
  std::string out;
};
treated treat(detail::lan_treat_fn pf, const coap_address_t& t_from, const bytes& b) {
  treated r;
  r.out = test_support::captured(
      [&] { r.i = pf(&t_from, b.data(), static_cast<std::uint32_t>(b.size())); });
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
  // A known modem moves when the registry is full; what the tool recorded is kept.
  ASSERT_EQ(app_lan_set_modem_firmware(0xA0, "manual", "a0"), 1);
  EXPECT_EQ(app_lan_set_modem_firmware(0x99, "manual", "99"), -1);
  ASSERT_EQ(treat(detail::_app_lan_treat_statistics, modem_a, stats59).i, 1);
  const coap_address_t t_moved = ipv4("10.0.0.8", 1234);
  EXPECT_EQ(detail::_app_lan_modem_id(&modem_a), 0xA0u);
  ASSERT_EQ(treat(detail::_app_lan_treat_info, t_moved, info(0xA0, 2, 2, {0xA1, 0xA2})).i, 1);
  EXPECT_EQ(detail::_app_lan_modem_id(&modem_a), 0u) << "answered from before the move";
  lan_modem_entry t{};
  ASSERT_EQ(app_lan_find_modem(0xA0, &t), 1);
  EXPECT_TRUE(detail::_app_lan_address_equal(t.t_addr, t_moved));
  EXPECT_STREQ(t.ac_fw_staged, "a0");
  EXPECT_NE(t.u32_stats_time, 0u);
  EXPECT_EQ(t.at_rx_stats[2].u16_load, 12);
  EXPECT_EQ(t.t_info.au8_rf[1], 0xA2);
  const std::string s_long(300, 'x');
  EXPECT_EQ(app_lan_set_modem_firmware(0xA0, s_long.c_str(), s_long.c_str()), 1);
  ASSERT_EQ(app_lan_find_modem(0xA0, &t), 1);
  EXPECT_EQ(std::strlen(t.ac_fw_label), LAN_FW_LABEL_SIZE - 1);
}

// What the end-to-end modems never send: statistics from an unknown sender (not stored), a
// parameter value cut or missing, a short noise indication.
TEST_F(app_lan, statistics_parameter_value_and_short_noise) {
  register_modem(0x3, modem_a);
  const struct {
    detail::lan_treat_fn pf;
    const coap_address_t& t_from;
    bytes b;
    std::int32_t i;
    std::string s_re;
  } rows[] = {
      {detail::_app_lan_treat_statistics, modem_b, stats59, 1,
       line("DEBUG", "Update statistics of Modem 0")},
      {detail::_app_lan_treat_param,
       modem_a,
       {0x02, 0x01, 0x05, 0x11, 0x22},
       1,
       line("ERROR", "Param value cut: 2 of 5 bytes")},
      {detail::_app_lan_treat_param,
       modem_a,
       {0x65, 0x00},
       1,
       line("ERROR", "Malformed param value msg, size:2")},
      {detail::_app_lan_treat_noise, modem_a, bytes(noise.begin(), noise.end() - 1), -1,
       line("ERROR", "Malformed noise ind msg, size:13")},
  };
  for (const auto& r : rows) {
    const treated t = treat(r.pf, r.t_from, r.b);
    EXPECT_EQ(t.i, r.i);
    EXPECT_TRUE(re_search_lines(t.out, r.s_re)) << t.out;
  }
  EXPECT_EQ(entry_at(4).u32_stats_time, 0u);
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
  EXPECT_EQ(std::count(s_out.begin(), s_out.end(), '\n'), 3) << s_out;
  for (const char* pc : {"LAN message (kind:1, size:4) dropped: not posted",
                         "LAN message (kind:2, size:0) dropped: not posted",
                         "LAN message (kind:2, size:3) dropped: no payload"}) {
    EXPECT_TRUE(re_search_lines(s_out, line("ERROR", pc))) << s_out;
  }
}

// Who may end the run with a report, and where it goes: only the modem asked (any source port),
// written as a new file renamed over /tmp/noise.txt, so a planted link is replaced, not followed.
TEST(app_lan_hostile, noise_report_is_written_only_when_asked_and_never_through_a_link) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root for a mount namespace";
  const struct {
    const char* pc_case;
    bool b_expect;
    coap_address_t t_from;
    bool b_link;
    int i_exit;  // 0: the run goes on
  } rows[] = {
      {"not asked for", false, modem_a, false, 0},
      {"asked, from another host", true, ipv4("10.0.0.9", 40000), false, 0},
      {"asked, from the modem's address and another port", true, ipv4("10.0.0.2", 5683), false, 1},
      {"asked, a link planted at /tmp/noise.txt", true, modem_a, true, 1},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.pc_case);
    const temp_dir dir("app_lan_hostile");
    ASSERT_TRUE(dir.ok());
    std::ofstream(dir / "victim") << "precious";
    if (r.b_link) std::filesystem::create_symlink("/tmp/victim", dir / "noise.txt");
    const child_run run = in_mounted_child(dir.path(), "/tmp", [&] {
      app_lan_set_noise_policy({.pf_end = end_with});
      if (r.b_expect) app_lan_expect_noise(&modem_a);
      return detail::_app_lan_treat_noise(&r.t_from, noise.data(), 14) == 1 ? 0 : 5;
    });
    EXPECT_EQ(run.i_status, r.i_exit) << run.out;
    EXPECT_TRUE(re_search_lines(run.out, R"(:INFO:\|.-90.\|.-91.)")) << run.out;
    EXPECT_EQ(test_support::read_file(dir / "victim"), "precious");
    if (r.i_exit == 0) {
      EXPECT_TRUE(re_search_lines(run.out,
                                  "WARNING:.*Noise report from 10\\.0\\.0\\.[29]:40000 "
                                  "not asked for: traced only, not written$"))
          << run.out;
      EXPECT_FALSE(exists(dir / "noise.txt"));
    } else {
      EXPECT_FALSE(std::filesystem::is_symlink(dir / "noise.txt"));
      EXPECT_EQ(test_support::read_file(dir / "noise.txt").substr(0, 7), "Date : ");
      EXPECT_EQ(count_in(dir.path()), 2u);  // victim and noise.txt, no temporary left
    }
  }
}

// A report that cannot be written (a full /tmp, a directory in the way): an error line with the
// reason, no report and no temporary file, and status 2 (through the real end in the second).
TEST(app_lan_hostile, noise_report_that_cannot_be_written_ends_with_status_2) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root for a mount namespace";
  for (const bool b_full : {true, false}) {
    const temp_dir dir("app_lan_hostile");
    if (!b_full) std::filesystem::create_directory(dir / "noise.txt");
    const child_run run = in_mounted_child(dir.path(), "/tmp", [&]() -> int {
      static int i_status = -1;
      if (b_full) {
        if (mount("tmpfs", "/tmp", "tmpfs", 0, "size=8k") != 0) return 90;
        std::ofstream("/tmp/filler", std::ios::binary) << std::string(64 * 1024, 'f');
        app_lan_set_noise_policy({.pf_end = [](int i) noexcept { i_status = i; }});
      }
      app_lan_expect_noise(&modem_a);
      if (detail::_app_lan_treat_noise(&modem_a, noise.data(), 14) != 1) return 5;
      return count_in("/tmp") == 1 ? i_status : 80;
    });
    EXPECT_EQ(run.i_status, 2) << run.out;
    EXPECT_TRUE(re_search_lines(
        run.out,
        line("ERROR", b_full ? "Can't write /tmp/noise.txt: \"No space left on device\" (28)"
                             : "Can't write /tmp/noise.txt: \"Is a directory\" (21)")))
        << run.out;
    EXPECT_TRUE(b_full || count_in(dir.path()) == 1);
  }
}

// A firmware result deletes its sender's staged file, by full path, whatever the result; a
// modem that announces serial 0 is a modem like any other; another sender deletes nothing.
TEST(app_lan_hostile, firmware_result_deletes_the_staged_file_of_its_sender_only) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root for a mount namespace";
  const std::string s_install = "Firmware install (name:manual) of modem ";
  const struct {
    std::uint32_t u32_serial;
    const char* pc_staged;
    std::uint8_t u8_result;
    coap_address_t t_from;
    std::string s_line;
  } rows[] = {{0, "0", 1, modem_a, s_install + "0 is OK "},
              {0x1a2b3c4d, "1a2b3c4d", 1, modem_a, s_install + "1a2b3c4d is OK "},
              {0x1a2b3c4d, "1a2b3c4d", 2, modem_a, s_install + "1a2b3c4d is KO "},
              {0x1a2b3c4d, "1a2b3c4d", 1, ipv4("10.0.0.2", 40009),
               "Firmware install (name:) of modem 0 is OK "}};
  for (const auto& r : rows) {
    SCOPED_TRACE(r.s_line);
    const temp_dir ftp("app_lan_hostile");
    ASSERT_TRUE(ftp.ok());
    std::ofstream(ftp / r.pc_staged) << "image";
    const child_run run = in_mounted_child(ftp.path(), "/var/ftp", [&] {
      register_modem(r.u32_serial, modem_a);
      app_lan_set_modem_firmware(r.u32_serial, "manual", r.pc_staged);
      if (chdir("/") != 0) return 4;
      detail::_app_lan_treat_firmware_install_ind(&r.t_from, &r.u8_result, 1);
      treat(detail::_app_lan_treat_statistics, modem_a, stats59);
      lan_modem_entry entry{};
      if (app_lan_find_modem(r.u32_serial, &entry) != 1) return 4;
      return entry.u32_stats_time != 0 && entry.at_rx_stats[2].u16_load == 12 ? 0 : 6;
    });
    EXPECT_EQ(run.i_status, 0) << run.out;
    EXPECT_TRUE(re_search_lines(run.out, line("DEBUG", r.s_line))) << run.out;
    EXPECT_EQ(exists(ftp / r.pc_staged), r.t_from.addr.sin.sin_port != modem_a.addr.sin.sin_port);
  }
}

// A size that is not a real size never deletes: only an empty regular file goes; a FIFO, a file
// beyond 4 GiB or a link to an empty file are refused and left alone. Refused before any lookup,
// so no modem and no network are involved.
TEST(app_lan_hostile, firmware_source_that_is_not_an_empty_file_is_never_deleted) {
  const temp_dir dir("app_lan_hostile");
  ASSERT_TRUE(dir.ok());
  vos_os_init();
  detail::app_lan_reset();
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
  std::ofstream(dir / "empty.bin").close();
  std::ofstream(dir / "target.bin").close();
  std::filesystem::create_symlink(dir / "target.bin", dir / "link.bin");
  const int fd = open((dir / "huge.bin").c_str(), O_CREAT | O_WRONLY, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, 5LL << 30), 0);  // sparse: 5 GiB that take no room
  close(fd);
  const std::string s_refused = ": not a regular file of at most 4 GiB, left in place";
  const std::string s_empty = "), name:manual";
  const struct {
    const char* pc_name;
    bool b_deleted;
    std::string s_error;
  } rows[] = {
      {"fifo", false, "Can not stage " + (dir / "fifo") + s_refused},
      {"huge.bin", false, "Can not stage " + (dir / "huge.bin") + s_refused},
      {"link.bin", false, "Empty firmware for upgrade(" + (dir / "link.bin") + s_empty},
      {"empty.bin", true, "Empty firmware for upgrade(" + (dir / "empty.bin") + s_empty},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.pc_name);
    int i_result = 0;
    const std::string path = dir / r.pc_name;
    const std::string out = test_support::captured(
        [&] { i_result = app_lan_firmware_upgrade_request(0x1a2b3c4d, path.c_str(), "manual"); });
    EXPECT_EQ(i_result, -1);
    EXPECT_TRUE(re_search_lines(out, line("ERROR", r.s_error))) << out;
    struct stat st {};
    EXPECT_EQ(lstat(path.c_str(), &st) != 0, r.b_deleted);
  }
  EXPECT_TRUE(exists(dir / "target.bin"));
}
