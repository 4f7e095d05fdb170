// Date and time: conversions in UTC and local time, their failures, clock-setting commands.
#include "vos_util_date.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
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

TEST(vos_util_date, texts_and_timestamps) {
  char ac[20];
  for (const std::uint32_t u32 : {0u, 946684799u, ts_2016, 2147483648u, UINT32_MAX}) {
    EXPECT_EQ(vos_util_timestamp_to_date_gmt(u32, ac), 19);
    CaptureStdout();  // years before 2000 warn
    EXPECT_EQ(vos_util_gmt_date_to_timestamp(ac), u32) << ac;
    GetCapturedStdout();
  }
  EXPECT_STREQ(ac, "2106-02-07 06:28:15");
  EXPECT_EQ(vos_util_timestamp_to_date_gmt(1, nullptr), 0);
  for (const char* pc_tz : {"<-05>5", "CET-1CEST,M3.5.0,M10.5.0/3"}) {
    scoped_tz tz(pc_tz);
    EXPECT_EQ(vos_util_gmt_date_to_timestamp("2016/06/03T12h34m56"), ts_2016) << pc_tz;
    EXPECT_EQ(vos_util_gmt_date_to_timestamp("2016-04-31 00:00:00"),
              vos_util_gmt_date_to_timestamp("2016-05-01 00:00:00"));
  }
  const std::string s_invalid = line("ERROR", "Invalid date");
  const std::string s_old = line("WARNING", "Year is less than 2000");
  for (const auto& [pc_text, s_expected] :
       std::vector<std::pair<const char*, std::string>>{{"", ""},
                                                        {nullptr, ""},
                                                        {"2016-06-03 12:34", s_invalid},
                                                        {"2016-06-03 12:34:567", s_invalid},
                                                        {"2016-13-01 00:00:00", s_invalid},
                                                        {"2016-06-00 00:00:00", s_invalid},
                                                        {"2016-06-03 24:00:00", s_invalid},
                                                        {"2016-06-03 12:34:60", s_invalid},
                                                        {"abcd-06-03 12:34:56", s_invalid},
                                                        {"1899-12-31 23:59:59", s_invalid},
                                                        {"1969-12-31 23:59:59", s_old + s_invalid},
                                                        {"2106-02-07 06:28:16", s_invalid}}) {
    CaptureStdout();
    EXPECT_EQ(vos_util_gmt_date_to_timestamp(pc_text), 0u);
    const std::string s_out = GetCapturedStdout();
    EXPECT_TRUE(s_expected.empty() ? s_out.empty() : re_whole_match(s_out, s_expected)) << s_out;
  }
}

TEST(vos_util_date, local_texts_and_records) {
  for (const auto& [pc_tz, pc_text, i32_offset] :
       {std::tuple<const char*, const char*, std::int32_t>{"<+01>-1", "2016-06-03 13:34:56", -3600},
        {"<-05>5", "2016-06-03 07:34:56", 5 * 3600},
        {"CET-1CEST,M3.5.0,M10.5.0/3", "2016-06-03 14:34:56", -3600}}) {
    scoped_tz tz(pc_tz);
    EXPECT_EQ(vos_util_date_to_timestamp(pc_text), static_cast<std::int32_t>(ts_2016)) << pc_tz;
    EXPECT_EQ(vos_util_gmt_offset(), i32_offset);
    vos_date_time_rec s{2016, 6, 3, 12, 34, 56};
    EXPECT_EQ(vos_util_gmt_date_time_to_timestamp(&s), ts_2016);
  }
  scoped_tz tz("UTC0");
  CaptureStdout();
  EXPECT_EQ(vos_util_date_to_timestamp("1999-12-31 23:59:59"), 946684799);
  EXPECT_EQ(vos_util_date_to_timestamp("2016-06-03 12:34"), 0);
  EXPECT_EQ(vos_util_date_to_timestamp("2040-01-01 00:00:00"), 0);  // past a signed 32-bit
  vos_date_time_rec s{1999, 12, 31, 23, 59, 59};
  EXPECT_EQ(vos_util_gmt_date_time_to_timestamp(&s), 946684799u);
  for (const vos_date_time_rec& bad : {vos_date_time_rec{2016, 0, 3, 12, 34, 56},
                                       {2016, 6, 32, 12, 34, 56},
                                       {2016, 6, 3, 24, 34, 56},
                                       {2016, 6, 3, 12, 34, 60},
                                       {1899, 6, 3, 12, 34, 56}}) {
    EXPECT_EQ(vos_util_gmt_date_time_to_timestamp(&bad), 0u);
  }
  const std::string s_out = GetCapturedStdout();
  const std::string s_invalid = line("ERROR", "Invalid date");
  const std::string s_old = line("WARNING", "Year is less than 2006");
  EXPECT_TRUE(re_whole_match(s_out, s_old + s_invalid + s_invalid + s_old + s_invalid + s_invalid +
                                        s_invalid + s_invalid + s_invalid))
      << s_out;
}

std::vector<std::string> g_commands;
int recording_runner(const char* pc_command) {
  g_commands.emplace_back(pc_command);
  return 0;
}

std::vector<std::time_t> g_clock_values;
std::time_t scripted_clock(std::time_t* pt) {
  std::time_t t = -1;
  if (!g_clock_values.empty()) {
    t = g_clock_values.front();
    g_clock_values.erase(g_clock_values.begin());
  }
  if (pt != nullptr) *pt = t;
  return t;
}

// The commands never reach the machine's own clock.
TEST(vos_util_date, clock_setting_commands_and_clock_failures) {
  detail::vos_util_set_runner(&recording_runner);
  const vos_date_time_rec s{2016, 6, 3, 12, 34, 56};
  vos_util_set_date_time(&s);
  vos_util_set_date_time(nullptr);
  vos_util_set_date_time_with_timestamp(ts_2016 + 86400 * 200 + 3);
  detail::vos_util_set_runner(nullptr);
  EXPECT_EQ(g_commands, (std::vector<std::string>{"date -u 060312342016.56", "hwclock -w -u",
                                                  "date -u 122012342016.59", "hwclock -w -u"}));

  detail::vos_util_set_clock(&scripted_clock);
  g_clock_values = {-1, ts_2016, -1, -7};
  CaptureStdout();
  EXPECT_EQ(vos_util_get_timestamp(), ts_2016) << "read again once after a failure";
  EXPECT_EQ(vos_util_get_timestamp(), 0u);
  const std::string s_out = GetCapturedStdout();
  detail::vos_util_set_clock(nullptr);
  EXPECT_TRUE(re_whole_match(s_out, line("ERROR", "time request failed -1") +
                                        line("ERROR", "time request failed -1") +
                                        line("ERROR", "time request failed once again -7")))
      << s_out;
  const auto t_before = static_cast<std::uint32_t>(std::time(nullptr));
  EXPECT_GE(vos_util_get_timestamp(), t_before);
}

}  // namespace
