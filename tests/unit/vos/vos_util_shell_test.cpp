// Shell command, grep and ping. Ping runs only inside a network namespace made by the test.
#include "vos_util_shell.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "alloc_balance.h"
#include "temp_dir.h"
#include "test_regex.h"
#include "test_wait.h"
#include "vos_mem.h"
#include "vos_util_shell_internal.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;
using test_support::elapsed_ms;
using test_support::re_search;
using test_support::read_file;
using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStdout;

// A fresh directory per test (removed with the fixture).
class vos_util_shell : public test_support::alloc_balance_test {
 protected:
  void SetUp() override {
    alloc_balance_test::SetUp();
    ASSERT_TRUE(tmp_.ok());
  }

  test_support::temp_dir tmp_{"vos_shell"};
  const std::filesystem::path dir_{tmp_.path()};
};

// Collects every child the test left behind (abandoned shell commands).
void reap_children() {
  while (::waitpid(-1, nullptr, 0) > 0) {
  }
}

}  // namespace

TEST_F(vos_util_shell, system_waits_for_the_command_and_logs_the_child) {
  const std::filesystem::path out = dir_ / "out.txt";
  const std::string cmd = "sleep 2; echo done > " + out.string();
  CaptureStdout();
  const auto t_start = steady_clock::now();
  vos_util_system(cmd.c_str());
  const long long ms = elapsed_ms(t_start);
  const std::string s_log = GetCapturedStdout();
  EXPECT_GE(ms, 2000);
  EXPECT_LT(ms, 4000);
  EXPECT_EQ(read_file(out), "done\n") << "the command had not ended when the call returned";
  std::string s_pid;
  ASSERT_TRUE(re_search(
      s_log, "[0-9]{8}-[0-9]{6}[: ]INFO[: ]wait end of system call\\(([0-9]+)\\):\"", &s_pid))
      << s_log;
  EXPECT_NE(s_log.find("):\"" + cmd + "\"\n"), std::string::npos) << s_log;
  EXPECT_GT(std::stol(s_pid), 0);
}

TEST_F(vos_util_shell, system_child_has_no_inherited_descriptors_and_default_signals) {
  const std::filesystem::path leak = dir_ / "leak.txt";
  const std::filesystem::path status = dir_ / "status.txt";
  const int fd = ::open(leak.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(fd, 3);
  struct sigaction s_ignore {
  }, s_old_int{}, s_old_term{};
  s_ignore.sa_handler = SIG_IGN;
  sigemptyset(&s_ignore.sa_mask);
  ASSERT_EQ(sigaction(SIGINT, &s_ignore, &s_old_int), 0);
  ASSERT_EQ(sigaction(SIGTERM, &s_ignore, &s_old_term), 0);
  // The grep process reports its own ignored-signal mask, inherited through the shell.
  const std::string cmd = "{ echo leaked >&" + std::to_string(fd) +
                          "; } 2>/dev/null; grep SigIgn /proc/self/status > " + status.string();
  CaptureStdout();
  vos_util_system(cmd.c_str());
  GetCapturedStdout();
  sigaction(SIGINT, &s_old_int, nullptr);
  sigaction(SIGTERM, &s_old_term, nullptr);
  ::close(fd);
  EXPECT_EQ(read_file(leak), "") << "descriptor " << fd << " reached the command";
  const std::string s_status = read_file(status);
  std::string s_mask;
  ASSERT_TRUE(re_search(s_status, "SigIgn:[[:space:]]*([0-9a-f]+)", &s_mask)) << s_status;
  const unsigned long long mask = std::stoull(s_mask, nullptr, 16);
  EXPECT_EQ(mask & (1ULL << (SIGINT - 1)), 0u) << "SIGINT still ignored in the command";
  EXPECT_EQ(mask & (1ULL << (SIGTERM - 1)), 0u) << "SIGTERM still ignored in the command";
}

TEST_F(vos_util_shell, system_abandons_a_child_after_the_poll_bound_and_counts_it) {
  {
    SCOPED_TRACE("a null command does nothing");
    CaptureStdout();
    vos_util_system(nullptr);
    EXPECT_EQ(GetCapturedStdout(), "");
  }
  const std::string abort_line(R"(ERROR[: ]vos_util_linux\.c:[0-9]+[: ]abort system call:sleep 1)"
                               "\n");
  const std::string alarm_line(
      R"(ERROR[: ]vos_util_linux\.c:[0-9]+[: ]too much system call failure, reset)");
  // The count is process-wide and never reset: drive it past 10 from wherever it stands.
  while (detail::vos_util_nb_system_call_failure() < 11) {
    const std::uint32_t u32_before = detail::vos_util_nb_system_call_failure();
    CaptureStdout();
    const auto t_start = steady_clock::now();
    detail::vos_util_system_polled("sleep 1", 3);
    const long long ms = elapsed_ms(t_start);
    const std::string s_log = GetCapturedStdout();
    SCOPED_TRACE("failure " + std::to_string(u32_before + 1));
    // Three polls, two pauses of 100 ms, then the child is left running.
    EXPECT_GE(ms, 200);
    EXPECT_LT(ms, 900);
    EXPECT_EQ(detail::vos_util_nb_system_call_failure(), u32_before + 1);
    EXPECT_TRUE(re_search(s_log, abort_line)) << s_log;
    EXPECT_EQ(re_search(s_log, alarm_line), u32_before + 1 == 10) << s_log;
  }
  reap_children();
}

TEST_F(vos_util_shell, grep_returns_the_first_whole_matching_line) {
  const std::filesystem::path text = dir_ / "text.txt";
  std::ofstream(text) << "alpha\nbeta\ngamma\nbetamax";
  struct libc_line {
    char* pc;
    ~libc_line() { std::free(pc); }
  };
  {
    SCOPED_TRACE("match in the middle");
    const libc_line line{vos_util_grep(text.c_str(), "et")};
    ASSERT_NE(line.pc, nullptr);
    EXPECT_STREQ(line.pc, "beta\n");
  }
  {
    SCOPED_TRACE("match on the last line, which has no line feed");
    const libc_line line{vos_util_grep(text.c_str(), "max")};
    ASSERT_NE(line.pc, nullptr);
    EXPECT_STREQ(line.pc, "betamax");
  }
  {
    SCOPED_TRACE("no match");
    EXPECT_EQ(vos_util_grep(text.c_str(), "zeta"), nullptr);
  }
  {
    SCOPED_TRACE("missing file, file used as a directory, null arguments");
    EXPECT_EQ(vos_util_grep((dir_ / "missing.txt").c_str(), "a"), nullptr);
    EXPECT_EQ(vos_util_grep((text / "sub").c_str(), "a"), nullptr);
    EXPECT_EQ(vos_util_grep(nullptr, "a"), nullptr);
    EXPECT_EQ(vos_util_grep(text.c_str(), nullptr), nullptr);
  }
}

// Ping runs in a re-executed child that first moves into a network namespace of its own:
// loopback up, plus a veth pair whose far end never answers.
TEST_F(vos_util_shell, ping_in_a_private_network_namespace) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "needs root for network namespaces and raw sockets";
  }
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        ::dup2(STDERR_FILENO, STDOUT_FILENO);
        if (::unshare(CLONE_NEWNET) != 0) {
          std::fprintf(stderr, "unshare failed\n");
          std::exit(2);
        }
        vos_util_system(
            "ip link set lo up && ip link add v0 type veth peer name v1 && "
            "ip addr add 10.99.0.1/24 dev v0 && ip link set v1 up && ip link set v0 up");
        const int i_loop = vos_util_ping("127.0.0.1", 1);
        const auto t_start = steady_clock::now();
        const int i_silent = vos_util_ping("10.99.0.2", 1);
        const long long ms = elapsed_ms(t_start);
        const int i_bad = vos_util_ping("not.an.address", 1);
        std::fprintf(stderr, "loopback=%d silent=%d window=%s bad=%d\n", i_loop, i_silent,
                     ms >= 1000 && ms < 2500 ? "ok" : "wrong", i_bad);
        std::exit(0);
      },
      ::testing::ExitedWithCode(0),
      "Ping timeout on 10\\.99\\.0\\.2(.|\n)*loopback=1 silent=-5 window=ok bad=-1");
  EXPECT_EXIT(
      {
        ::dup2(STDERR_FILENO, STDOUT_FILENO);
        if (::unshare(CLONE_NEWNET) != 0 || ::setuid(65534) != 0) {
          std::fprintf(stderr, "unshare or setuid failed\n");
          std::exit(2);
        }
        std::fprintf(stderr, "unprivileged=%d\n", vos_util_ping("127.0.0.1", 1));
        std::exit(0);
      },
      ::testing::ExitedWithCode(0),
      "ERROR[: ]vos_util_linux\\.c:[0-9]+[: ]ping: Can't create socket\n(.|\n)*unprivileged=-1");
}
