// Shell command, grep and ping. Ping runs only inside a network namespace made by the test.
#include "vos_util_shell.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <tuple>

#include "stdout_capture.h"
#include "temp_dir.h"
#include "test_regex.h"
#include "test_wait.h"
#include "vos_mem.h"
#include "vos_util_shell_internal.h"

using std::chrono::steady_clock;
using test_support::elapsed_ms;
using test_support::re_search;

TEST(vos_util_shell, system_abandons_a_child_after_the_poll_bound) {
  vos_os_init();
  const std::uint32_t u32_before = detail::vos_util_nb_system_call_failure();
  const std::string s_out = test_support::captured([] {
    vos_util_system(nullptr);
    vos_util_system("true");
    detail::vos_util_system_polled("sleep 1", 3);
  });
  EXPECT_EQ(detail::vos_util_nb_system_call_failure(), u32_before + 1);
  EXPECT_TRUE(re_search(s_out, "ERROR:vos_util_linux\\.c:[0-9]+:abort system call:sleep 1"))
      << s_out;
}

TEST(vos_util_shell, grep_returns_the_first_whole_matching_line) {
  const test_support::temp_dir dir("vos_shell");
  const std::string text = dir / "text.txt", missing = dir / "missing";
  std::ofstream(text) << "alpha\nbeta\ngamma\nbetamax";
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

// Ping in a child in its own network namespace: loopback, a silent veth peer, unprivileged.
TEST(vos_util_shell, ping_in_a_private_network_namespace) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root for network namespaces and raw sockets";
  const test_support::child_run run = test_support::run_in_child([]() -> int {
    std::exit([]() -> int {
      vos_os_init();
      if (::unshare(CLONE_NEWNET) != 0) return 90;
      vos_util_system(
          "ip link set lo up && ip link add v0 type veth peer name v1 && "
          "ip addr add 10.99.0.1/24 dev v0 && ip link set v1 up && ip link set v0 up");
      const auto t_start = steady_clock::now();
      const int i_silent = vos_util_ping("10.99.0.2", 1);
      const long long ms = elapsed_ms(t_start);
      std::printf("loopback=%d silent=%d window=%s bad=%d\n", vos_util_ping("127.0.0.1", 1),
                  i_silent, ms >= 1000 && ms < 2500 ? "ok" : "wrong",
                  vos_util_ping("not.an.address", 1));
      if (::seteuid(65534) != 0) return 91;
      std::printf("unprivileged=%d\n", vos_util_ping("127.0.0.1", 1));
      return ::seteuid(0);
    }());  // through exit: the coverage build writes its counters there
  });
  ASSERT_EQ(run.i_status, 0) << run.out;
  for (const char* pc :
       {"Ping timeout on 10\\.99\\.0\\.2", "loopback=1 silent=-5 window=ok bad=-1\n",
        "ERROR:vos_util_linux\\.c:[0-9]+:ping: Can't create socket\n", "unprivileged=-1\n"}) {
    EXPECT_TRUE(re_search(run.out, pc)) << pc << "\n" << run.out;
  }
}
