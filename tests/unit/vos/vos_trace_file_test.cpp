// Trace files: configuration, rotation by size and count, daily files across midnight.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "alloc_balance.h"
#include "stdout_capture.h"
#include "temp_dir.h"
#include "test_regex.h"
#include "vos_mem.h"
#include "vos_trace.h"
#include "vos_trace_internal.h"

namespace {

namespace fs = std::filesystem;
using test_support::re_whole_match;
using test_support::read_file;
using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStdout;

std::atomic<std::time_t> g_now{0};
std::time_t fake_clock(std::time_t* pt) {
  const std::time_t t = g_now.load();
  if (pt != nullptr) {
    *pt = t;
  }
  return t;
}

// Trace lines take their time from g_now from here on.
void use_fake_clock(std::time_t t_now) {
  g_now = t_now;
  detail::vos_trace_set_clock(&fake_clock);
}

constexpr std::time_t t_2016_06_03_235958 = 1464998398;
constexpr std::time_t t_2016_06_03_123456 = 1464957296;

std::vector<std::string> names_in(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// A private root directory per test; the trace settings and the clock are put back after it,
// and no accounted block is left over.
class vos_trace_file : public test_support::alloc_balance_test {
 protected:
  void SetUp() override {
    vos_os_init();
    // The trace mutex, made by the first configuration, lives as long as the process.
    test_support::captured([] { vos_trace_init(nullptr, nullptr); });
    mark_alloc();
    ASSERT_TRUE(tmp_.ok());
  }
  void TearDown() override {
    detail::vos_trace_reset_files();
    detail::vos_trace_set_clock(nullptr);
    expect_alloc_balance();
  }
  fs::path trace_dir() const { return root_ / "trace"; }

  test_support::temp_dir tmp_{"vos_trace_file"};
  const fs::path root_{tmp_.path()};
};

TEST_F(vos_trace_file, configuration_paths_and_failures) {
  for (const auto& [pc_root, pc_dir] :
       {std::pair<const char*, const char*>{"/nonexistent_vos_root", "t"},
        {nullptr, "t"},
        {root_.c_str(), nullptr}}) {
    CaptureStdout();
    vos_trace_init(pc_root, pc_dir);
    vos_trace_error("vos_queue.c", 127, "BAD POINTER");
    const std::string s_out = GetCapturedStdout();
    EXPECT_TRUE(re_whole_match(s_out,
                               "trace path invalid, use stdout\n"
                               "[0-9]{8}-[0-9]{6}:ERROR:vos_queue\\.c:127:BAD POINTER\n"))
        << s_out;
    EXPECT_EQ(vos_trace_get_full_path(), nullptr);
  }
  EXPECT_FALSE(fs::exists("/nonexistent_vos_root"));

  CaptureStdout();
  vos_trace_init((root_.string() + "/").c_str(), "trace");
  EXPECT_EQ(std::string(vos_trace_get_root_path()), root_.string() + "/");
  EXPECT_EQ(std::string(vos_trace_get_path()), "trace/");
  EXPECT_EQ(std::string(vos_trace_get_full_path()), root_.string() + "/trace/");
  EXPECT_TRUE(names_in(trace_dir()).empty()) << "no file before the first line";
  vos_trace_info("hello %d", 1);
  std::string s_out = GetCapturedStdout();
  auto names = names_in(trace_dir());
  ASSERT_EQ(names.size(), 1u);
  EXPECT_TRUE(re_whole_match(names[0], "traceagent-[0-9]{8}-[0-9]{6}")) << names[0];
  EXPECT_EQ(read_file(trace_dir() / names[0]), s_out);

  // A root that is no directory: the first line reports it and drops the trace path.
  const fs::path file_root = root_ / "plain_file";
  std::ofstream(file_root) << "x";
  CaptureStdout();
  vos_trace_init(file_root.c_str(), "trace");
  vos_trace_error("f.c", 3, "first");
  vos_trace_error("f.c", 4, "second");
  s_out = GetCapturedStdout();
  EXPECT_TRUE(re_whole_match(s_out,
                             "trace file open error : Not a directory\n"
                             "[0-9]{8}-[0-9]{6}:ERROR:f\\.c:3:first\n"
                             "[0-9]{8}-[0-9]{6}:ERROR:f\\.c:4:second\n"))
      << s_out;
  EXPECT_EQ(vos_trace_get_full_path(), nullptr);

  // Prefixes of 1 to 32 characters replace the default; others leave it.
  use_fake_clock(t_2016_06_03_123456);
  CaptureStdout();
  for (const auto& [pc_dir, prefix] : {std::pair<const char*, std::string>{"a", "modem"},
                                       {"b", std::string(33, 'p')},
                                       {"c", ""},
                                       {"d", std::string(32, 'q')}}) {
    vos_trace_init_prefixe(root_.c_str(), pc_dir, prefix.c_str());
    vos_trace_info("x");
  }
  GetCapturedStdout();
  for (const char* pc_dir : {"a", "b", "c"}) {
    EXPECT_EQ(names_in(root_ / pc_dir), std::vector<std::string>{"modem-20160603-123456"});
  }
  EXPECT_EQ(names_in(root_ / "d"),
            std::vector<std::string>{std::string(32, 'q') + "-20160603-123456"});
}

TEST_F(vos_trace_file, rotation) {
  fs::create_directories(trace_dir() / "traceagent-dir");  // other entries are left alone
  std::ofstream(trace_dir() / "other.txt") << "x";
  vos_trace_nb_file(3);
  vos_trace_size_file(200);
  CaptureStdout();
  vos_trace_init(root_.c_str(), "trace");
  for (int i = 0; i < 60; ++i) vos_trace_error("f.c", 1, "line %03d", i);
  GetCapturedStdout();
  auto names = names_in(trace_dir());
  ASSERT_GE(names.size(), 4u);
  ASSERT_LE(names.size(), 5u);
  std::string kept;
  for (const auto& name : names) {
    if (name == "traceagent-dir" || name == "other.txt") continue;
    const std::string s = read_file(trace_dir() / name);
    const std::size_t last = s.size() < 2 ? std::string::npos : s.rfind('\n', s.size() - 2);
    EXPECT_LT(last == std::string::npos ? 0 : last + 1, 200u) << "cut at the line reaching 200";
    kept += s;
  }
  // The files left hold the newest lines, the last one included.
  EXPECT_NE(kept.find("line 059\n"), std::string::npos);
  EXPECT_EQ(kept.find("line 000\n"), std::string::npos);

  // Files of the same second get a hex suffix.
  detail::vos_trace_reset_files();
  use_fake_clock(t_2016_06_03_123456);
  vos_trace_size_file(1);
  CaptureStdout();
  vos_trace_init(root_.c_str(), "same");
  vos_trace_error("f.c", 1, "a");
  vos_trace_error("f.c", 1, "b");
  GetCapturedStdout();
  names = names_in(root_ / "same");
  ASSERT_EQ(names.size(), 3u);
  EXPECT_EQ(names[0], "traceagent-20160603-123456");
  EXPECT_TRUE(re_whole_match(names[1], "traceagent-20160603-123456_[0-9a-f]{4}"));
  EXPECT_EQ(read_file(root_ / "same" / names[0]), "20160603-123456:ERROR:f.c:1:a\n");

  // Swap starts a new file, end returns to standard output.
  vos_trace_size_file(100000);
  CaptureStdout();
  vos_trace_init(root_.c_str(), "swap");
  vos_trace_info("one");
  g_now = t_2016_06_03_123456 + 1;
  vos_trace_swap_file();
  vos_trace_info("two");
  vos_trace_flush();
  vos_trace_end();
  vos_trace_info("three");
  GetCapturedStdout();
  EXPECT_EQ(vos_trace_get_full_path(), nullptr);
  EXPECT_EQ(read_file(root_ / "swap" / "traceagent-20160603-123457"), "20160603-123457:INFO:two\n");
  EXPECT_EQ(names_in(root_ / "swap").size(), 2u);
}

TEST_F(vos_trace_file, daily_file) {
  use_fake_clock(t_2016_06_03_235958);
  vos_trace_nb_file(0);
  fs::create_directories(trace_dir());
  std::ofstream(trace_dir() / "traceagent.txt") << "old run\n";  // emptied by the first line
  CaptureStdout();
  vos_trace_init(root_.c_str(), "trace");
  vos_trace_info("before");
  g_now = t_2016_06_03_235958 + 3;  // 2016-06-04 00:00:01 UTC
  vos_trace_info("after");
  g_now = t_2016_06_03_235958 + 30 * 86400 + 3;  // the same day of the next month
  vos_trace_info("july");
  GetCapturedStdout();
  EXPECT_EQ(names_in(trace_dir()),
            (std::vector<std::string>{"traceagent-20160603.txt", "traceagent-20160604.txt",
                                      "traceagent.txt"}));
  EXPECT_EQ(read_file(trace_dir() / "traceagent-20160603.txt"), "20160603-235958:INFO:before\n");
  EXPECT_EQ(read_file(trace_dir() / "traceagent.txt"), "20160704-000001:INFO:july\n");

  // An archive name in the way: the lines stay in the daily file.
  detail::vos_trace_reset_files();
  use_fake_clock(t_2016_06_03_235958);
  vos_trace_nb_file(0);
  fs::create_directories(root_ / "busy" / "traceagent-20160603.txt" / "x");
  CaptureStdout();
  vos_trace_init(root_.c_str(), "busy");
  vos_trace_info("before");
  g_now = t_2016_06_03_235958 + 3;
  vos_trace_info("after");
  const std::string s_out = GetCapturedStdout();
  EXPECT_NE(s_out.find("Can't move file from"), std::string::npos) << s_out;
  EXPECT_EQ(read_file(root_ / "busy" / "traceagent.txt"),
            "20160603-235958:INFO:before\n20160604-000001:INFO:after\n");
}

}  // namespace
