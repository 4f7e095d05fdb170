// Trace files: configuration, rotation by size and count, daily files across midnight.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
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

TEST_F(vos_trace_file, missing_root_leaves_lines_on_standard_output) {
  for (const auto& [pc_root, pc_dir] :
       {std::pair<const char*, const char*>{"/nonexistent_vos_root", "trace"},
        {nullptr, "trace"},
        {root_.c_str(), nullptr}}) {
    SCOPED_TRACE(pc_root != nullptr ? pc_root : "(null root)");
    CaptureStdout();
    vos_trace_init(pc_root, pc_dir);
    vos_trace_error("vos_queue.c", 127, "BAD POINTER");
    const std::string s_out = GetCapturedStdout();
    EXPECT_TRUE(re_whole_match(s_out,
                               "trace path invalid, use stdout\n"
                               "[0-9]{8}-[0-9]{6}:ERROR:vos_queue\\.c:127:BAD POINTER\n"))
        << s_out;
    EXPECT_EQ(vos_trace_get_full_path(), nullptr);
    EXPECT_EQ(vos_trace_get_root_path(), nullptr);
  }
  EXPECT_TRUE(names_in(root_).empty());
  EXPECT_FALSE(fs::exists("/nonexistent_vos_root"));
}

TEST_F(vos_trace_file, paths_end_with_a_slash_and_the_first_line_opens_a_file) {
  CaptureStdout();
  vos_trace_init(root_.c_str(), "trace");
  ASSERT_NE(vos_trace_get_full_path(), nullptr);
  EXPECT_EQ(std::string(vos_trace_get_root_path()), root_.string() + "/");
  EXPECT_EQ(std::string(vos_trace_get_path()), "trace/");
  EXPECT_EQ(std::string(vos_trace_get_full_path()), root_.string() + "/trace/");
  EXPECT_TRUE(fs::is_directory(trace_dir()));
  EXPECT_TRUE(names_in(trace_dir()).empty());  // no file before the first line

  vos_trace_info("hello %d", 1);
  const std::string s_out = GetCapturedStdout();
  const auto names = names_in(trace_dir());
  ASSERT_EQ(names.size(), 1u);
  EXPECT_TRUE(re_whole_match(names[0], "traceagent-[0-9]{8}-[0-9]{6}")) << names[0];
  EXPECT_EQ(read_file(trace_dir() / names[0]), s_out);  // same line, file first

  // A root given with its slash does not get a second one.
  CaptureStdout();
  vos_trace_init((root_.string() + "/").c_str(), "trace/");
  GetCapturedStdout();
  EXPECT_EQ(std::string(vos_trace_get_full_path()), root_.string() + "/trace/");
}

TEST_F(vos_trace_file, rotation_keeps_the_newest_files_each_cut_at_the_size) {
  vos_trace_nb_file(3);
  vos_trace_size_file(200);
  CaptureStdout();
  vos_trace_init(root_.c_str(), "trace");
  constexpr int nb_lines = 60;
  for (int i = 0; i < nb_lines; ++i) {
    vos_trace_error("f.c", 1, "line %03d", i);
  }
  GetCapturedStdout();
  const auto names = names_in(trace_dir());
  ASSERT_LE(names.size(), 3u);
  ASSERT_GE(names.size(), 2u);
  std::vector<int> kept;
  for (const auto& name : names) {
    SCOPED_TRACE(name);
    EXPECT_TRUE(re_whole_match(name, "traceagent-[0-9]{8}-[0-9]{6}(_[0-9a-f]{4})?"));
    const std::string s_content = read_file(trace_dir() / name);
    std::istringstream lines(s_content);
    std::size_t size_before_last = 0;
    std::size_t last_len = 0;
    for (std::string s_line; std::getline(lines, s_line);) {
      size_before_last += last_len;
      last_len = s_line.size() + 1;
      kept.push_back(std::atoi(s_line.substr(s_line.rfind(' ') + 1).c_str()));
    }
    if (!s_content.empty()) {
      // Closed files end at the first line that reached 200 bytes.
      EXPECT_LT(size_before_last, 200u);
    }
  }
  // The files left hold the newest lines, without a gap: the oldest went first.
  std::sort(kept.begin(), kept.end());
  ASSERT_FALSE(kept.empty());
  EXPECT_EQ(kept.back(), nb_lines - 1);
  for (std::size_t i = 1; i < kept.size(); ++i) {
    EXPECT_EQ(kept[i], kept[i - 1] + 1);
  }
  EXPECT_GE(kept.size(), 6u);  // at least one full closed file
}

TEST_F(vos_trace_file, rotation_ignores_other_entries_of_the_directory) {
  fs::create_directories(trace_dir() / "traceagent-dir");
  std::ofstream(trace_dir() / "other.txt") << "x";
  vos_trace_nb_file(2);
  vos_trace_size_file(1);
  CaptureStdout();
  vos_trace_init(root_.c_str(), "trace");
  for (int i = 0; i < 10; ++i) {
    vos_trace_warning("f.c", 2, "w");
  }
  GetCapturedStdout();
  const auto names = names_in(trace_dir());
  EXPECT_EQ(names.size(), 4u);
  EXPECT_TRUE(fs::is_directory(trace_dir() / "traceagent-dir"));
  EXPECT_TRUE(fs::exists(trace_dir() / "other.txt"));
}

TEST_F(vos_trace_file, files_of_the_same_second_get_a_hex_suffix) {
  use_fake_clock(t_2016_06_03_123456);
  vos_trace_size_file(1);  // every line fills its file
  CaptureStdout();
  vos_trace_init(root_.c_str(), "trace");
  vos_trace_error("f.c", 1, "a");
  vos_trace_error("f.c", 1, "b");
  GetCapturedStdout();
  const auto names = names_in(trace_dir());
  ASSERT_EQ(names.size(), 3u);  // two full files and the next one, empty
  int nb_plain = 0;
  for (const auto& name : names) {
    SCOPED_TRACE(name);
    if (name == "traceagent-20160603-123456") {
      ++nb_plain;
    } else {
      EXPECT_TRUE(re_whole_match(name, "traceagent-20160603-123456_[0-9a-f]{4}"));
    }
  }
  EXPECT_EQ(nb_plain, 1);
  EXPECT_EQ(read_file(trace_dir() / "traceagent-20160603-123456"),
            "20160603-123456:ERROR:f.c:1:a\n");
}

TEST_F(vos_trace_file, file_that_cannot_be_created_drops_the_trace_path) {
  const fs::path file_root = root_ / "plain_file";
  std::ofstream(file_root) << "x";
  CaptureStdout();
  vos_trace_init(file_root.c_str(), "trace");  // the root exists, but is no directory
  EXPECT_NE(vos_trace_get_full_path(), nullptr);
  vos_trace_error("f.c", 3, "first");
  vos_trace_error("f.c", 4, "second");
  const std::string s_out = GetCapturedStdout();
  EXPECT_TRUE(re_whole_match(s_out,
                             "trace file open error : Not a directory\n"
                             "[0-9]{8}-[0-9]{6}:ERROR:f\\.c:3:first\n"
                             "[0-9]{8}-[0-9]{6}:ERROR:f\\.c:4:second\n"))
      << s_out;
  EXPECT_EQ(vos_trace_get_full_path(), nullptr);
}

TEST_F(vos_trace_file, daily_file_is_archived_at_utc_midnight) {
  use_fake_clock(t_2016_06_03_235958);
  vos_trace_nb_file(0);
  // A daily file left by an earlier run is emptied when the first line opens it.
  fs::create_directories(trace_dir());
  std::ofstream(trace_dir() / "traceagent.txt") << "old run\n";
  CaptureStdout();
  vos_trace_init(root_.c_str(), "trace");
  vos_trace_info("before");
  g_now = t_2016_06_03_235958 + 1;
  vos_trace_info("still before");
  g_now = t_2016_06_03_235958 + 3;  // 2016-06-04 00:00:01
  vos_trace_info("after");
  const std::string s_out = GetCapturedStdout();
  EXPECT_EQ(names_in(trace_dir()),
            (std::vector<std::string>{"traceagent-20160603.txt", "traceagent.txt"}));
  EXPECT_EQ(read_file(trace_dir() / "traceagent-20160603.txt"),
            "20160603-235958:INFO:before\n20160603-235959:INFO:still before\n");
  EXPECT_EQ(read_file(trace_dir() / "traceagent.txt"), "20160604-000001:INFO:after\n");
  EXPECT_EQ(s_out,
            "20160603-235958:INFO:before\n20160603-235959:INFO:still before\n"
            "20160604-000001:INFO:after\n");
}

TEST_F(vos_trace_file, daily_file_is_archived_when_the_same_day_of_month_comes_back) {
  use_fake_clock(t_2016_06_03_123456);
  vos_trace_nb_file(0);
  CaptureStdout();
  vos_trace_init(root_.c_str(), "trace");
  vos_trace_info("june");
  g_now = t_2016_06_03_123456 + 30 * 86400;  // 2016-07-03
  vos_trace_info("july");
  GetCapturedStdout();
  EXPECT_EQ(read_file(trace_dir() / "traceagent-20160603.txt"), "20160603-123456:INFO:june\n");
  EXPECT_EQ(read_file(trace_dir() / "traceagent.txt"), "20160703-123456:INFO:july\n");
}

TEST_F(vos_trace_file, daily_file_that_cannot_be_archived_keeps_its_lines) {
  use_fake_clock(t_2016_06_03_235958);
  vos_trace_nb_file(0);
  fs::create_directories(trace_dir() / "traceagent-20160603.txt" / "busy");
  CaptureStdout();
  vos_trace_init(root_.c_str(), "trace");
  vos_trace_info("before");
  g_now = t_2016_06_03_235958 + 3;
  vos_trace_info("after");
  const std::string s_out = GetCapturedStdout();
  const std::string s_dir = trace_dir().string();
  EXPECT_TRUE(re_whole_match(s_out,
                             "20160603-235958:INFO:before\n"
                             "Can't move file from \"" +
                                 s_dir + "//traceagent\\.txt\" to \"" + s_dir +
                                 "/traceagent-20160603\\.txt\" : [^\n]+\r\n"
                                 "20160604-000001:INFO:after\n"))
      << s_out;
  EXPECT_EQ(read_file(trace_dir() / "traceagent.txt"),
            "20160603-235958:INFO:before\n20160604-000001:INFO:after\n");
}

TEST_F(vos_trace_file, prefix_of_1_to_32_characters_replaces_the_default) {
  use_fake_clock(t_2016_06_03_123456);
  CaptureStdout();
  vos_trace_init_prefixe(root_.c_str(), "a", "modem");
  vos_trace_info("x");
  vos_trace_init_prefixe(root_.c_str(), "b", std::string(33, 'p').c_str());
  vos_trace_info("x");
  vos_trace_init_prefixe(root_.c_str(), "c", "");
  vos_trace_info("x");
  vos_trace_init_prefixe(root_.c_str(), "d", std::string(32, 'q').c_str());
  vos_trace_info("x");
  GetCapturedStdout();
  for (const char* pc_dir : {"a", "b", "c"}) {
    SCOPED_TRACE(pc_dir);
    EXPECT_EQ(names_in(root_ / pc_dir), std::vector<std::string>{"modem-20160603-123456"});
  }
  EXPECT_EQ(names_in(root_ / "d"),
            std::vector<std::string>{std::string(32, 'q') + "-20160603-123456"});
}

TEST_F(vos_trace_file, end_returns_to_standard_output_and_swap_starts_a_new_file) {
  use_fake_clock(t_2016_06_03_123456);
  CaptureStdout();
  vos_trace_init(root_.c_str(), "trace");
  vos_trace_info("one");
  g_now = t_2016_06_03_123456 + 1;
  vos_trace_swap_file();
  vos_trace_info("two");
  vos_trace_flush();
  vos_trace_end();
  vos_trace_info("three");
  const std::string s_out = GetCapturedStdout();
  EXPECT_EQ(vos_trace_get_full_path(), nullptr);
  EXPECT_EQ(read_file(trace_dir() / "traceagent-20160603-123456"), "20160603-123456:INFO:one\n");
  EXPECT_EQ(read_file(trace_dir() / "traceagent-20160603-123457"), "20160603-123457:INFO:two\n");
  EXPECT_EQ(names_in(trace_dir()).size(), 2u);
  EXPECT_TRUE(re_whole_match(s_out, "([0-9]{8}-[0-9]{6}:INFO:(one|two|three)\n){3}"));
}

TEST_F(vos_trace_file, threads_write_whole_lines_to_the_file) {
  vos_trace_size_file(1000000);
  CaptureStdout();
  vos_trace_init(root_.c_str(), "trace");
  std::vector<std::thread> threads;
  for (int i = 0; i < 3; ++i) {
    threads.emplace_back([i] {
      for (int j = 0; j < 100; ++j) {
        vos_trace_debug("t.c", i, "%d %s", j, std::string(100, 'k').c_str());
      }
    });
  }
  for (auto& t : threads) {
    t.join();
  }
  GetCapturedStdout();
  const auto names = names_in(trace_dir());
  ASSERT_EQ(names.size(), 1u);
  std::istringstream lines(read_file(trace_dir() / names[0]));
  int nb = 0;
  for (std::string s_line; std::getline(lines, s_line); ++nb) {
    ASSERT_TRUE(re_whole_match(s_line, "[0-9]{8}-[0-9]{6}:DEBUG:t\\.c:[0-2]:[0-9]+ k{100}"));
  }
  EXPECT_EQ(nb, 300);
}

}  // namespace
