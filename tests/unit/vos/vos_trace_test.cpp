// Trace lines: snprintf's text, levels, the 1,023-character cut, dump, batches, pieces against
// their formatted twins; trace files: configuration, rotation, daily files, close-on-exec.
#include "vos_trace.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "alloc_balance.h"
#include "stdout_capture.h"
#include "temp_dir.h"
#include "test_regex.h"
#include "vos_mem.h"
#include "vos_trace_internal.h"

namespace {

namespace fs = std::filesystem;
using test_support::captured;
using test_support::re_whole_match;
using test_support::read_file;
using namespace std::string_literals;

constexpr const char* source_name = "f.c";
constexpr std::time_t t_2016_06_03_123456 = 1464957296;
constexpr std::time_t t_2016_06_03_235958 = 1464998398;
const std::string stamp = "20160603-123456:";

std::atomic<std::time_t> g_now{t_2016_06_03_123456};
std::time_t fake_clock(std::time_t* pt) {
  const std::time_t t = g_now.load();
  if (pt != nullptr) *pt = t;
  return t;
}

void use_fake_clock(std::time_t t_now) {
  g_now = t_now;
  detail::vos_trace_set_clock(&fake_clock);
}

// The fixed clock for each test; the default level and the real clock afterwards.
class vos_trace : public ::testing::Test {
 protected:
  void SetUp() override { use_fake_clock(t_2016_06_03_123456); }
  void TearDown() override {
    vos_trace_level(2);
    detail::vos_trace_set_clock(nullptr);
  }
};

// The prefix, then vsnprintf's text cut at 1,023 characters.
TEST_F(vos_trace, lines_equal_snprintf_levels_and_plain_lines) {
  const std::string s_prefix = stamp + "DEBUG:f.c:7:";
  EXPECT_EQ(captured([] { vos_trace_debug("f.c", 7, "%s", std::string(1500, 'x').c_str()); }),
            s_prefix + std::string(1023 - s_prefix.size(), 'x') + "\n");
  EXPECT_EQ(captured([] { vos_trace_debug("f.c", 7, "%1500d|", 42); }),
            s_prefix + std::string(1023 - s_prefix.size(), ' ') + "\n");
  // Each level's line; the level lets out ERROR and WARNING always, INFO from 1, the rest from 2.
  const std::string s_lines = stamp + "ERROR:vos_queue.c:127:BAD POINTER\n" + stamp +
                              "WARNING:../tst/app_main.c:9:w3\n" + stamp + "INFO:i 0x2a\n" + stamp +
                              "DEBUG:f.c:42:size=17\n" + stamp + "DUMP:f.c:5:01ABFF\n";
  const std::uint8_t au8[] = {0x01, 0xAB, 0xFF};
  for (const auto& [u32_level, n_lines] : {std::pair<std::uint32_t, int>{0, 2}, {1, 3}, {7, 5}}) {
    vos_trace_level(u32_level);
    std::size_t end = 0;
    for (int i = 0; i < n_lines; ++i) end = s_lines.find('\n', end) + 1;
    EXPECT_EQ(captured([&] {
                vos_trace_error("vos_queue.c", 127, "BAD POINTER");
                vos_trace_warning("../tst/app_main.c", 9, "w%d", 3);
                vos_trace_info("i %p", reinterpret_cast<void*>(0x2a));
                vos_trace_debug("f.c", 42, "%s=%u", "size", 17u);
                vos_trace_dump("f.c", 5, au8, sizeof au8);
              }),
              s_lines.substr(0, end))
        << u32_level;
  }
  // Plain lines are never filtered and keep their place in a batch, an inner one adding to it.
  vos_trace_level(0);
  const std::string s_long(3000, 'x');
  EXPECT_EQ(captured([&] {
              const vos_trace_batch batch;
              vos_trace_error("f.c", 1, "one");
              {
                const vos_trace_batch inner;
                vos_trace_printf("Nbpools=%u curmem=%u", 3u, 120u);
                vos_trace_error("f.c", 2, "two");
              }
              vos_trace_printf("%s", "");
              vos_trace_printf("%s", "50%s");
              vos_trace_printf("%s!", s_long.c_str());
              detail::vos_trace_treat_msg("20160603-123456:INFO:%s%n\n", 3);
              vos_trace_error("f.c", 4, "after");
            }),
            stamp + "ERROR:f.c:1:one\nNbpools=3 curmem=120\n" + stamp +
                "ERROR:f.c:2:two\n\n50%s\n" + std::string(1023, 'x') + "\n" + stamp +
                "INFO:%s%n\n" + stamp + "ERROR:f.c:4:after\n");
}

// The line without its line number (fourth field), which differs within a pair.
std::string without_line_number(std::string s_line) {
  std::size_t colon = 0;
  for (int i = 0; i < 3; ++i) colon = s_line.find(':', colon) + 1;
  return s_line.erase(colon, s_line.find(':', colon) - colon);
}

// Each line twice, typed then formatted (same prefix, numbers, 1,023-character cut, whole dump
// pairs), alone and in a batch they overflow; a line traced while a typed one is open leaves
// before it, after the lines before it; none leaves when the level hides it.
TEST_F(vos_trace, pieces_equal_their_formatted_twins) {
  const std::string big(1100, 'y');
  std::uint8_t au8[600];  // every byte value
  for (int i = 0; i < 600; ++i) au8[i] = static_cast<std::uint8_t>(i * 7);
  // 60 characters: too long for the kept prefix; its last 40 and 20 are not
  const char* const pc_long = "a/very/long/source/file/name/that/goes/on/and/on/for/ever.cc";
  for (const bool b_batch : {false, true}) {
    test_support::stdout_capture capture;
    {
      std::optional<vos_trace_batch> batch;
      if (b_batch) batch.emplace();
      for (int i = 0; i < 9; ++i) {
        VOS_DEBUG_LINE().text("a%d[").dec(i).dec(-7).dec(LLONG_MIN).text("]");
        VOS_DEBUG("a%%d[%d%d%lld]", i, -7, LLONG_MIN);
        VOS_DEBUG_LINE().dec(7, 3).text(",").dec(-5, 3).dec(12345, 3).dec(-1, 1500);
        VOS_DEBUG("%03d,%03d%03d%01500d", 7, -5, 12345, -1);
        VOS_DEBUG_LINE().hex(0).text(" ").hex(0xBEEF12u).hex(ULLONG_MAX).hex(0xFFFFFFFFu).hex(10);
        VOS_DEBUG("%x %x%llx%x%x", 0u, 0xBEEF12u, ULLONG_MAX, 0xFFFFFFFFu, 10u);
        VOS_DEBUG_LINE().dec(5, 2).dec(42).text("|").dec(99, 1).dec(100).dec(i, 2).dec(0, 2);
        VOS_DEBUG("%02d%d|%1d%d%02d%02d", 5, 42, 99, 100, i, 0);
        VOS_DEBUG_LINE().text(big).dec(123).text("gone");
        VOS_DEBUG("%s%d%s", big.c_str(), 123, "gone");
        VOS_DUMP_LINE().bytes(au8, i == 0 ? 4 : sizeof au8);
        VOS_DUMP(au8, i == 0 ? 4 : sizeof au8);
        vos_trace_line(vos_trace_line::kind::dump, pc_long + 20 * (i % 3), i).bytes(au8, 2);
        vos_trace_dump(pc_long + 20 * (i % 3), i, au8, 2);
      }
      VOS_DEBUG("early");
      VOS_DEBUG_LINE().text("late").dec((VOS_DEBUG("early"), 1));
      VOS_DEBUG("late1");
      vos_trace_level(1);
      VOS_DEBUG_LINE().text("hidden");
      VOS_DUMP_LINE().bytes(au8, 4);
      vos_trace_level(2);
    }
    const std::string out = capture.take();
    std::istringstream lines(out);
    int i_pairs = 0;
    for (std::string a, b; std::getline(lines, a) && std::getline(lines, b); ++i_pairs) {
      EXPECT_LE(a.size(), 1023u);
      EXPECT_EQ(without_line_number(a), without_line_number(b))
          << "pair " << i_pairs << " batch " << b_batch;
    }
    EXPECT_EQ(i_pairs, 65) << out;
  }
}

std::vector<std::string> names_in(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

// A private root directory per test; settings, clock and accounted totals restored after it.
class vos_trace_file : public test_support::alloc_balance_test {
 protected:
  void SetUp() override {
    vos_os_init();
    // The trace mutex, made by the first configuration, lives as long as the process.
    captured([] { vos_trace_init(nullptr, nullptr); });
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
  const fs::path file_root = root_ / "plain_file";  // a root that is no directory
  std::ofstream(file_root) << "x";
  const std::string s_line = "[0-9]{8}-[0-9]{6}:ERROR:f\\.c:3:x\n";
  for (const auto& [pc_root, pc_dir, s_report] :
       {std::tuple<const char*, const char*, std::string>{"/nonexistent_vos_root", "t",
                                                          "trace path invalid, use stdout\n"},
        {nullptr, "t", "trace path invalid, use stdout\n"},
        {root_.c_str(), nullptr, "trace path invalid, use stdout\n"},
        {file_root.c_str(), "trace", "trace file open error : Not a directory\n"}}) {
    const std::string s_out = captured([&] {
      vos_trace_init(pc_root, pc_dir);
      vos_trace_error("f.c", 3, "x");
      vos_trace_error("f.c", 3, "x");  // reported once, then on standard output
    });
    EXPECT_TRUE(re_whole_match(s_out, s_report + s_line + s_line)) << s_out;
  }
  EXPECT_FALSE(fs::exists("/nonexistent_vos_root"));
  // No file before the first line; prefixes of 1 to 32 characters replace the default.
  use_fake_clock(t_2016_06_03_123456);
  vos_trace_init((root_.string() + "/").c_str(), "trace");
  EXPECT_EQ(
      vos_trace_get_root_path() + ("|"s + vos_trace_get_path()) + "|" + vos_trace_get_full_path(),
      root_.string() + "/|trace/|" + root_.string() + "/trace/");
  EXPECT_TRUE(names_in(trace_dir()).empty());
  for (const auto& [pc_dir, prefix, s_name] :
       {std::tuple<const char*, std::string, std::string>{"a", "modem", "modem"},
        {"b", std::string(33, 'p'), "modem"},
        {"c", "", "modem"},
        {"d", std::string(32, 'q'), std::string(32, 'q')}}) {
    vos_trace_init_prefixe(root_.c_str(), pc_dir, prefix.c_str());
    const std::string s_out = captured([] { vos_trace_info("hello %d", 1); });
    EXPECT_EQ(names_in(root_ / pc_dir), std::vector<std::string>{s_name + "-20160603-123456"});
    EXPECT_EQ(read_file(root_ / pc_dir / (s_name + "-20160603-123456")), s_out);
  }
}

TEST_F(vos_trace_file, rotation) {
  fs::create_directories(trace_dir() / "traceagent-dir");  // other entries are left alone
  std::ofstream(trace_dir() / "other.txt") << "x";
  vos_trace_nb_file(3);
  vos_trace_size_file(200);
  captured([&] {
    vos_trace_init(root_.c_str(), "trace");
    for (int i = 0; i < 60; ++i) vos_trace_error("f.c", 1, "line %03d", i);
  });
  auto names = names_in(trace_dir());
  ASSERT_TRUE(names.size() == 4u || names.size() == 5u) << names.size();
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
  captured([&] {
    vos_trace_init(root_.c_str(), "same");
    vos_trace_error("f.c", 1, "a");
    vos_trace_error("f.c", 1, "b");
  });
  names = names_in(root_ / "same");
  ASSERT_EQ(names.size(), 3u);
  EXPECT_EQ(names[0], "traceagent-20160603-123456");
  EXPECT_TRUE(re_whole_match(names[1], "traceagent-20160603-123456_[0-9a-f]{4}"));
  EXPECT_EQ(read_file(root_ / "same" / names[0]), "20160603-123456:ERROR:f.c:1:a\n");
  // Swap starts a new file, end returns to standard output.
  vos_trace_size_file(100000);
  captured([&] {
    vos_trace_init(root_.c_str(), "swap");
    vos_trace_info("one");
    g_now = t_2016_06_03_123456 + 1;
    vos_trace_swap_file();
    vos_trace_info("two");
    vos_trace_flush();
    vos_trace_end();
    vos_trace_info("three");
  });
  EXPECT_EQ(vos_trace_get_full_path(), nullptr);
  EXPECT_EQ(read_file(root_ / "swap" / "traceagent-20160603-123457"), "20160603-123457:INFO:two\n");
  EXPECT_EQ(names_in(root_ / "swap").size(), 2u);
}

TEST_F(vos_trace_file, daily_file) {
  use_fake_clock(t_2016_06_03_235958);
  vos_trace_nb_file(0);
  fs::create_directories(trace_dir() / "traceagent-20160604.txt" / "x");  // an archive's name
  std::ofstream(trace_dir() / "traceagent.txt") << "old run\n";  // emptied by the first line
  const std::string s_out = captured([&] {
    vos_trace_init(root_.c_str(), "trace");
    vos_trace_info("before");
    g_now = t_2016_06_03_235958 + 3;  // 2016-06-04 00:00:01 UTC
    vos_trace_info("after");
    g_now = t_2016_06_03_235958 + 30 * 86400 + 3;  // the same day of the next month
    vos_trace_info("july");
  });
  EXPECT_EQ(names_in(trace_dir()),
            (std::vector<std::string>{"traceagent-20160603.txt", "traceagent-20160604.txt",
                                      "traceagent.txt"}));
  EXPECT_EQ(read_file(trace_dir() / "traceagent-20160603.txt"), "20160603-235958:INFO:before\n");
  // The second archive's name is taken: its lines stay in the daily file.
  EXPECT_NE(s_out.find("Can't move file from"), std::string::npos) << s_out;
  EXPECT_EQ(read_file(trace_dir() / "traceagent.txt"),
            "20160604-000001:INFO:after\n20160704-000001:INFO:july\n");
}

}  // namespace
