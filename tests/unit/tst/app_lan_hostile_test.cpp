// What a host on the LAN or a local user could abuse: noise reports nobody asked for, links and
// full file systems under /tmp, a modem with serial 0, staging sources that are not plain files.
// Files under /tmp and /var/ftp are touched only in forked children with private mounts.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app_lan_request.h"
#include "lan_test.h"
#include "temp_dir.h"

namespace {

using namespace lan_test;
using test_support::child_run;
using test_support::exists;
using test_support::re_search_lines;
using test_support::temp_dir;

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

}  // namespace

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
      detail::_pf_lan_noise_end = end_with;
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
        detail::_pf_lan_noise_end = [](int i) noexcept { i_status = i; };
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
      const bytes b = info(r.u32_serial);
      if (detail::_app_lan_treat_info(&modem_a, b.data(), static_cast<std::uint32_t>(b.size())) !=
          1) {
        return 3;
      }
      app_lan_set_modem_firmware(r.u32_serial, "manual", r.pc_staged);
      if (chdir("/") != 0) return 4;
      detail::_app_lan_treat_firmware_install_ind(&r.t_from, &r.u8_result, 1);
      bytes stats(59, 0);
      stats[0] = 1;
      stats[2] = 42;  // CRC OK of receiver 0
      detail::_app_lan_treat_statistics(&modem_a, stats.data(), 59);
      lan_modem_entry entry{};
      if (app_lan_find_modem(r.u32_serial, &entry) != 1) return 4;
      return entry.u32_stats_time != 0 && entry.at_rx_stats[0].u16_crc_ok == 42 ? 0 : 6;
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
