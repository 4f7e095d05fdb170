// Runtime services under hostile conditions: a link planted where a copy lands, a copy that
// fails over an existing file, trace files seen by child processes, threads made by a thread
// of another scheduling policy. Mounts are made only in forked children.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "stdout_capture.h"
#include "temp_dir.h"
#include "vos_fs.h"
#include "vos_mem.h"
#include "vos_task_linux.h"
#include "vos_trace.h"

namespace {

using test_support::child_run;
using test_support::read_file;
using test_support::temp_dir;
namespace fs = std::filesystem;

int entries_in(const std::string& s_dir) {
  int n = 0;
  for ([[maybe_unused]] const auto& e : fs::directory_iterator(s_dir)) ++n;
  return n;
}

}  // namespace

// A path given by the user is taken as it is: 'a\b.bin' is one name, not a/b.bin, so the file
// measured before staging is the file staged.
TEST(vos_hostile, literal_move_takes_a_backslash_as_part_of_the_name) {
  const temp_dir src("vos_hostile");
  const temp_dir dst("vos_hostile");
  ASSERT_TRUE(src.ok() && dst.ok());
  fs::create_directory(src.path() + "/a");
  std::ofstream(src.path() + "/a/b.bin") << std::string(1000, 'o');
  std::ofstream(src.path() + "/a\\b.bin") << std::string(10, 'n');
  const std::string s_from = src.path() + "/a\\b.bin";
  const std::string s_to = dst.path() + "/1a2b3c4d";
  EXPECT_EQ(vos_fs_mv_literal(s_from.c_str(), s_to.c_str()), 1);
  EXPECT_EQ(read_file(s_to), std::string(10, 'n'));
  EXPECT_EQ(fs::file_size(src.path() + "/a/b.bin"), 1000u);
  EXPECT_FALSE(fs::exists(s_from));
}

// A move across file systems copies: into a new file beside the destination, renamed over it.
// A link planted at the destination is replaced, never written through; a copy that fails
// leaves the earlier destination whole and the source in place.
TEST(vos_hostile, move_across_file_systems_never_writes_through_a_link_nor_truncates) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root for a mount namespace";
  const temp_dir dir("vos_hostile");
  ASSERT_TRUE(dir.ok());
  ASSERT_EQ(mkdir((dir / "ftp").c_str(), 0755), 0);
  ASSERT_EQ(mkdir((dir / "other").c_str(), 0755), 0);
  std::ofstream(dir / "victim") << "precious";
  fs::create_symlink(dir / "victim", dir / "ftp/linked");
  std::ofstream(dir / "ftp/staged") << "earlier image";
  const child_run run = test_support::run_in_child([&]() -> int {
    vos_os_init();
    // Another file system for the source, so that rename cannot work.
    if (unshare(CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", (dir / "other").c_str(), "tmpfs", 0, "size=1m") != 0) {
      return 90;
    }
    std::ofstream(dir / "other/fw.bin") << std::string(30000, 'n');
    if (vos_fs_mv((dir / "other/fw.bin").c_str(), (dir / "ftp/linked").c_str()) != 1) return 1;
    if (fs::exists(dir / "other/fw.bin")) return 2;

    // Writes past 20,000 bytes fail: the copy over "staged" fails part way.
    std::ofstream(dir / "other/big.bin") << std::string(30000, 'b');
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit limited{20000, 20000};
    setrlimit(RLIMIT_FSIZE, &limited);
    if (vos_fs_mv((dir / "other/big.bin").c_str(), (dir / "ftp/staged").c_str()) != -1) return 3;
    return fs::exists(dir / "other/big.bin") ? 0 : 4;
  });
  ASSERT_EQ(run.i_status, 0) << run.out;
  EXPECT_EQ(read_file(dir / "victim"), "precious");
  EXPECT_FALSE(fs::is_symlink(dir / "ftp/linked"));
  EXPECT_EQ(read_file(dir / "ftp/linked"), std::string(30000, 'n'));
  EXPECT_EQ(read_file(dir / "ftp/staged"), "earlier image");
  EXPECT_EQ(entries_in(dir / "ftp"), 2);  // no temporary file left behind
}

// Trace files, daily and rotating, are closed in the programs the process starts.
TEST(vos_hostile, trace_files_are_close_on_exec) {
  const temp_dir dir("vos_hostile");
  ASSERT_TRUE(dir.ok());
  for (const std::uint32_t u32_nb_file : {0u, 3u}) {
    SCOPED_TRACE(u32_nb_file == 0 ? "daily" : "rotating");
    const std::string s_dir = "trace" + std::to_string(u32_nb_file);
    const child_run run = test_support::run_in_child([&]() -> int {
      vos_os_init();
      vos_trace_nb_file(u32_nb_file);
      vos_trace_init(dir.path().c_str(), s_dir.c_str());
      vos_trace_info("a line that opens the file");
      const std::string s_prefix = dir / s_dir + "/";
      DIR* p_fds = opendir("/proc/self/fd");
      if (p_fds == nullptr) return 90;
      int i_result = 2;  // no descriptor on a trace file
      while (const dirent* p = readdir(p_fds)) {
        char ac_target[4096] = {};
        const std::string s_link = std::string("/proc/self/fd/") + p->d_name;
        if (readlink(s_link.c_str(), ac_target, sizeof ac_target - 1) <= 0) continue;
        if (std::string(ac_target).rfind(s_prefix, 0) != 0) continue;
        const int flags = fcntl(std::atoi(p->d_name), F_GETFD);
        i_result = flags >= 0 && (flags & FD_CLOEXEC) != 0 ? 0 : 1;
      }
      closedir(p_fds);
      return i_result;
    });
    EXPECT_EQ(run.i_status, 0) << run.out;
  }
}

// A thread made by a thread of another policy takes the default policy, not its creator's.
TEST(vos_hostile, new_thread_takes_the_default_policy_whatever_its_creator_runs_under) {
  vos_os_init();
  static std::atomic<int> i_policy{-1};
  i_policy = -1;
  std::thread creator([] {
    const sched_param s_param{};
    ASSERT_EQ(pthread_setschedparam(pthread_self(), SCHED_BATCH, &s_param), 0);
    const vos_os_thread_t t = vos_os_create_thread(
        [](vos_os_thread_t, void*) -> std::uint32_t {
          i_policy = sched_getscheduler(0);
          return 0;
        },
        6, "policy probe", nullptr);
    ASSERT_NE(t, nullptr);
  });
  creator.join();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (i_policy == -1 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(i_policy.load(), SCHED_OTHER);
}
