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
#include <tuple>

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

}  // namespace

// The call waits for the command; the child inherits no descriptor and no ignored signal.
TEST_F(vos_util_shell, system_waits_for_a_clean_child) {
  const std::filesystem::path leak = dir_ / "leak.txt", status = dir_ / "status.txt";
  const int fd = ::open(leak.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(fd, 3);
  struct sigaction s_ignore {
  }, s_old_int{}, s_old_term{};
  s_ignore.sa_handler = SIG_IGN;
  sigemptyset(&s_ignore.sa_mask);
  ASSERT_EQ(sigaction(SIGINT, &s_ignore, &s_old_int), 0);
  ASSERT_EQ(sigaction(SIGTERM, &s_ignore, &s_old_term), 0);
  const std::string cmd = "sleep 1; { echo leaked >&" + std::to_string(fd) +
                          "; } 2>/dev/null; grep SigIgn /proc/self/status > " + status.string();
  CaptureStdout();
  const auto t_start = steady_clock::now();
  vos_util_system(cmd.c_str());
  const long long ms = elapsed_ms(t_start);
  vos_util_system(nullptr);
  const std::string s_log = GetCapturedStdout();
  sigaction(SIGINT, &s_old_int, nullptr);
  sigaction(SIGTERM, &s_old_term, nullptr);
  ::close(fd);
  EXPECT_GE(ms, 1000);
  EXPECT_TRUE(re_search(s_log, "^[0-9]{8}-[0-9]{6}:INFO:wait end of system call\\([0-9]+\\):\""))
      << s_log;
  EXPECT_EQ(read_file(leak), "") << "descriptor " << fd << " reached the command";
  std::string s_mask;
  ASSERT_TRUE(re_search(read_file(status), "SigIgn:[[:space:]]*([0-9a-f]+)", &s_mask));
  const unsigned long long mask = std::stoull(s_mask, nullptr, 16);
  EXPECT_EQ(mask & ((1ULL << (SIGINT - 1)) | (1ULL << (SIGTERM - 1))), 0u) << "still ignored";
}

TEST_F(vos_util_shell, system_abandons_a_child_after_the_poll_bound_and_counts_it) {
  const std::string abort_line(R"(ERROR[: ]vos_util_linux\.c:[0-9]+[: ]abort system call:sleep 1)");
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
    EXPECT_GE(ms, 200) << "three polls, two pauses of 100 ms";
    EXPECT_LT(ms, 900);
    EXPECT_EQ(detail::vos_util_nb_system_call_failure(), u32_before + 1);
    EXPECT_TRUE(re_search(s_log, abort_line)) << s_log;
    EXPECT_EQ(re_search(s_log, alarm_line), u32_before + 1 == 10) << s_log;
  }
  while (::waitpid(-1, nullptr, 0) > 0) {
  }
}

TEST_F(vos_util_shell, grep_returns_the_first_whole_matching_line) {
  const std::filesystem::path text = dir_ / "text.txt";
  std::ofstream(text) << "alpha\nbeta\ngamma\nbetamax";
  const std::filesystem::path missing = dir_ / "missing";
  for (const auto& [pc_path, pc_pattern, pc_want] :
       {std::tuple<const char*, const char*, const char*>{text.c_str(), "et", "beta\n"},
        {text.c_str(), "max", "betamax"},
        {text.c_str(), "zeta", nullptr},
        {missing.c_str(), "a", nullptr},
        {nullptr, "a", nullptr},
        {text.c_str(), nullptr, nullptr}}) {
    char* pc = vos_util_grep(pc_path, pc_pattern);
    EXPECT_STREQ(pc, pc_want) << (pc_pattern ? pc_pattern : "(null)");
    std::free(pc);
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
