// Date and time: conversions in UTC and local time, their failures, clock-setting commands.
#include "vos_util_date.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "test_regex.h"
#include "vos_util_date_internal.h"

namespace {

using test_support::re_whole_match;
using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStdout;

constexpr std::uint32_t ts_2016 = 1464957296;  // 2016-06-03 12:34:56 UTC

std::string line(const std::string& s_level, const std::string& s_message) {
  return "[0-9]{8}-[0-9]{6}:" + s_level + ":vos_util\\.c:[0-9]+:" + s_message + "\n";
}

// Runs the test body in the time zone @p pc_tz and puts the previous zone back afterwards.
class scoped_tz {
 public:
  explicit scoped_tz(const char* pc_tz) {
    if (const char* pc_old = std::getenv("TZ")) {
      old_ = pc_old;
    }
    setenv("TZ", pc_tz, 1);
    tzset();
  }
  ~scoped_tz() {
    if (old_) {
      setenv("TZ", old_->c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }
  scoped_tz(const scoped_tz&) = delete;
  scoped_tz& operator=(const scoped_tz&) = delete;

 private:
  std::optional<std::string> old_;
};

TEST(vos_util_date, timestamp_to_gmt_text) {
  char ac[20];
  EXPECT_EQ(vos_util_timestamp_to_date_gmt(0, ac), 19);
  EXPECT_STREQ(ac, "1970-01-01 00:00:00");
  EXPECT_EQ(vos_util_timestamp_to_date_gmt(ts_2016, ac), 19);
  EXPECT_STREQ(ac, "2016-06-03 12:34:56");
  EXPECT_EQ(vos_util_timestamp_to_date_gmt(UINT32_MAX, ac), 19);
  EXPECT_STREQ(ac, "2106-02-07 06:28:15");
  EXPECT_EQ(vos_util_timestamp_to_date_gmt(1, nullptr), 0);
}

TEST(vos_util_date, gmt_text_to_timestamp_in_any_zone) {
  for (const char* pc_tz : {"UTC0", "<+01>-1", "<-05>5", "CET-1CEST,M3.5.0,M10.5.0/3"}) {
    SCOPED_TRACE(pc_tz);
    scoped_tz tz(pc_tz);
    EXPECT_EQ(vos_util_gmt_date_to_timestamp("2016-06-03 12:34:56"), ts_2016);
    EXPECT_EQ(vos_util_gmt_date_to_timestamp("2016-01-03 12:34:56"), 1451824496u);
    // Separators are not checked.
    EXPECT_EQ(vos_util_gmt_date_to_timestamp("2016/06/03T12h34m56"), ts_2016);
    // Day 31 of April rolls over to 1 May.
    EXPECT_EQ(vos_util_gmt_date_to_timestamp("2016-04-31 00:00:00"),
              vos_util_gmt_date_to_timestamp("2016-05-01 00:00:00"));
  }
}

TEST(vos_util_date, round_trips_between_text_and_timestamp) {
  char ac[20];
  for (const std::uint32_t u32 : {0u, 1u, 951782400u, 946684799u, ts_2016, 2147483647u, 2147483648u,
                                  4102444800u, UINT32_MAX}) {
    SCOPED_TRACE(u32);
    vos_util_timestamp_to_date_gmt(u32, ac);
    CaptureStdout();  // years before 2000 warn
    EXPECT_EQ(vos_util_gmt_date_to_timestamp(ac), u32);
    GetCapturedStdout();
  }
}

TEST(vos_util_date, gmt_text_failures) {
  const std::string s_invalid = line("ERROR", "Invalid date");
  const std::string s_old = line("WARNING", "Year is less than 2000");
  const std::vector<std::pair<const char*, std::string>> cases = {
      {"", ""},
      {"2016-06-03 12:34", s_invalid},
      {"2016-06-03 12:34:567", s_invalid},
      {"2016-13-01 00:00:00", s_invalid},
      {"2016-00-01 00:00:00", s_invalid},
      {"2016-06-32 00:00:00", s_invalid},
      {"2016-06-00 00:00:00", s_invalid},
      {"2016-06-03 24:00:00", s_invalid},
      {"2016-06-03 12:60:00", s_invalid},
      {"2016-06-03 12:34:60", s_invalid},
      {"2016-06-03 xx:34:56", s_invalid},
      {"1899-12-31 23:59:59", s_invalid},
      {"abcd-06-03 12:34:56", s_invalid},
      {"1969-12-31 23:59:59", s_old + s_invalid},  // before the first u32 timestamp
      {"2106-02-07 06:28:16", s_invalid},          // after the last one
  };
  for (const auto& [pc_text, s_expected] : cases) {
    SCOPED_TRACE(pc_text);
    CaptureStdout();
    EXPECT_EQ(vos_util_gmt_date_to_timestamp(pc_text), 0u);
    const std::string s_out = GetCapturedStdout();
    if (s_expected.empty()) {
      EXPECT_EQ(s_out, "");
    } else {
      EXPECT_TRUE(re_whole_match(s_out, s_expected)) << s_out;
    }
  }
  CaptureStdout();
  EXPECT_EQ(vos_util_gmt_date_to_timestamp("1999-12-31 23:59:59"), 946684799u);
  std::string s_out = GetCapturedStdout();
  EXPECT_TRUE(re_whole_match(s_out, s_old)) << s_out;
  CaptureStdout();
  EXPECT_EQ(vos_util_gmt_date_to_timestamp(nullptr), 0u);
  EXPECT_EQ(GetCapturedStdout(), "");
}

TEST(vos_util_date, local_text_is_read_in_the_local_zone) {
  {
    scoped_tz tz("<+01>-1");
    EXPECT_EQ(vos_util_date_to_timestamp("2016-06-03 12:34:56"),
              static_cast<std::int32_t>(ts_2016 - 3600));
    EXPECT_EQ(vos_util_gmt_offset(), -3600);
  }
  {
    scoped_tz tz("<-05>5");
    EXPECT_EQ(vos_util_date_to_timestamp("2016-06-03 12:34:56"),
              static_cast<std::int32_t>(ts_2016 + 5 * 3600));
    EXPECT_EQ(vos_util_gmt_offset(), 5 * 3600);
  }
  {
    // Summer time decided by the platform: 14:34:56 CEST is 12:34:56 UTC.
    scoped_tz tz("CET-1CEST,M3.5.0,M10.5.0/3");
    EXPECT_EQ(vos_util_date_to_timestamp("2016-06-03 14:34:56"),
              static_cast<std::int32_t>(ts_2016));
    EXPECT_EQ(vos_util_gmt_offset(), -3600);
  }
  scoped_tz tz("UTC0");
  EXPECT_EQ(vos_util_gmt_offset(), 0);
  EXPECT_EQ(vos_util_date_to_timestamp("2016-06-03 12:34:56"), static_cast<std::int32_t>(ts_2016));
  CaptureStdout();
  EXPECT_EQ(vos_util_date_to_timestamp("1999-12-31 23:59:59"), 946684799);
  EXPECT_EQ(vos_util_date_to_timestamp("2016-06-03 12:34"), 0);
  EXPECT_EQ(vos_util_date_to_timestamp(""), 0);
  EXPECT_EQ(vos_util_date_to_timestamp("2040-01-01 00:00:00"), 0);  // past a signed 32-bit
  const std::string s_out = GetCapturedStdout();
  const std::string s_invalid = line("ERROR", "Invalid date");
  EXPECT_TRUE(re_whole_match(
      s_out, line("WARNING", "Year is less than 2006") + s_invalid + s_invalid + s_invalid))
      << s_out;
}

TEST(vos_util_date, record_to_timestamp) {
  vos_date_time_rec s{2016, 6, 3, 12, 34, 56};
  {
    scoped_tz tz("<+01>-1");
    EXPECT_EQ(vos_util_gmt_date_time_to_timestamp(&s), ts_2016);
  }
  struct bad {
    const char* pc_what;
    vos_date_time_rec s;
  };
  for (const auto& b :
       {bad{"month 0", {2016, 0, 3, 12, 34, 56}}, bad{"month 13", {2016, 13, 3, 12, 34, 56}},
        bad{"day 0", {2016, 6, 0, 12, 34, 56}}, bad{"day 32", {2016, 6, 32, 12, 34, 56}},
        bad{"hour 24", {2016, 6, 3, 24, 34, 56}}, bad{"minute 60", {2016, 6, 3, 12, 60, 56}},
        bad{"second 60", {2016, 6, 3, 12, 34, 60}}, bad{"year 1899", {1899, 6, 3, 12, 34, 56}}}) {
    SCOPED_TRACE(b.pc_what);
    CaptureStdout();
    EXPECT_EQ(vos_util_gmt_date_time_to_timestamp(&b.s), 0u);
    const std::string s_out = GetCapturedStdout();
    EXPECT_TRUE(re_whole_match(s_out, line("ERROR", "Invalid date"))) << s_out;
  }
  s = {1999, 12, 31, 23, 59, 59};
  CaptureStdout();
  EXPECT_EQ(vos_util_gmt_date_time_to_timestamp(&s), 946684799u);
  const std::string s_out = GetCapturedStdout();
  EXPECT_TRUE(re_whole_match(s_out, line("WARNING", "Year is less than 2006"))) << s_out;
}

std::vector<std::string> g_commands;
int recording_runner(const char* pc_command) {
  g_commands.emplace_back(pc_command);
  return 0;
}

// Never lets a command reach the machine's own clock.
class vos_util_clock_set : public ::testing::Test {
 protected:
  void SetUp() override {
    g_commands.clear();
    detail::vos_util_set_runner(&recording_runner);
  }
  void TearDown() override { detail::vos_util_set_runner(nullptr); }
};

TEST_F(vos_util_clock_set, commands_set_system_then_hardware_clock) {
  const vos_date_time_rec s{2016, 6, 3, 12, 34, 56};
  vos_util_set_date_time(&s);
  EXPECT_EQ(g_commands, (std::vector<std::string>{"date -u 060312342016.56", "hwclock -w -u"}));

  g_commands.clear();
  vos_util_set_date_time(nullptr);
  EXPECT_TRUE(g_commands.empty());

  g_commands.clear();
  vos_util_set_date_time_with_timestamp(0);
  vos_util_set_date_time_with_timestamp(ts_2016 + 86400 * 200 + 3);
  EXPECT_EQ(g_commands, (std::vector<std::string>{"date -u 010100001970.00", "hwclock -w -u",
                                                  "date -u 122012342016.59", "hwclock -w -u"}));
}

std::vector<std::time_t> g_clock_values;
std::time_t scripted_clock(std::time_t* pt) {
  std::time_t t = -1;
  if (!g_clock_values.empty()) {
    t = g_clock_values.front();
    g_clock_values.erase(g_clock_values.begin());
  }
  if (pt != nullptr) {
    *pt = t;
  }
  return t;
}

TEST(vos_util_date, get_timestamp_reads_again_once_after_a_failure) {
  detail::vos_util_set_clock(&scripted_clock);
  g_clock_values = {ts_2016};
  CaptureStdout();
  EXPECT_EQ(vos_util_get_timestamp(), ts_2016);
  EXPECT_EQ(GetCapturedStdout(), "");

  g_clock_values = {-1, ts_2016};
  CaptureStdout();
  EXPECT_EQ(vos_util_get_timestamp(), ts_2016);
  std::string s_out = GetCapturedStdout();
  EXPECT_TRUE(re_whole_match(s_out, line("ERROR", "time request failed -1"))) << s_out;

  g_clock_values = {-1, -7};
  CaptureStdout();
  EXPECT_EQ(vos_util_get_timestamp(), 0u);
  s_out = GetCapturedStdout();
  EXPECT_TRUE(re_whole_match(s_out, line("ERROR", "time request failed -1") +
                                        line("ERROR", "time request failed once again -7")))
      << s_out;
  detail::vos_util_set_clock(nullptr);

  const auto t_before = static_cast<std::uint32_t>(std::time(nullptr));
  const std::uint32_t u32_now = vos_util_get_timestamp();
  EXPECT_GE(u32_now, t_before);
  EXPECT_LE(u32_now, t_before + 60);
}

}  // namespace
