// Strings, numbers, hexadecimal and date texts; accounted totals back to their start.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <tuple>
#include <vector>

#include "alloc_balance.h"
#include "stdout_capture.h"
#include "test_regex.h"
#include "vos_mem.h"
#include "vos_str.h"
#include "vos_util_date.h"
#include "vos_util_date_internal.h"
#include "vos_util_hexa.h"

namespace {

using test_support::captured;
using test_support::re_whole_match;
using namespace std::string_literals;

class vos_str : public test_support::alloc_balance_test {};

std::string taken(char* pc) {
  std::string s = pc != nullptr ? pc : "<null>";
  vos_os_free(&pc);
  return s;
}

constexpr std::uint32_t ts_2016 = 1464957296;  // 2016-06-03 12:34:56 UTC

std::string line(const std::string& s_level, const std::string& s_message) {
  return "[0-9]{8}-[0-9]{6}:" + s_level + ":vos_util\\.c:[0-9]+:" + s_message + "\n";
}

// The time zone @p pc_tz for a scope (the test runs under TZ unset or UTC).
struct scoped_tz {
  explicit scoped_tz(const char* pc_tz) {
    setenv("TZ", pc_tz, 1);
    tzset();
  }
  ~scoped_tz() {
    unsetenv("TZ");
    tzset();
  }
};

}  // namespace

TEST_F(vos_str, copies_joins_numbers_classes_and_parameters) {
  const char ac_unterminated[4] = {'a', 'b', 'c', 'd'};
  EXPECT_EQ(vos_str_len(ac_unterminated, 4), 4U);
  EXPECT_EQ(vos_str_len("hello", 100) + vos_str_len(nullptr, 10), 5U);
  EXPECT_EQ(taken(vos_str_dup("hello", 3)) + taken(vos_str_dup(nullptr, 5)), "hel<null>");
  EXPECT_EQ(taken(vos_str_cat_alloc("abc", 2, "def", 10)), "abdef");
  EXPECT_EQ(taken(vos_str_cat_alloc(nullptr, 5, "xy", 1)), "x");
  char ac[16], ac_2[16];
  const std::string s_refused = captured([&] {
    EXPECT_EQ(vos_str_cat_alloc(nullptr, 1, nullptr, 1), nullptr);
    EXPECT_EQ(vos_str_cat("a", 1, "b", 1, ac, 0), 0U);
    EXPECT_EQ(vos_str_copy("hello", ac, 0), -1);
  });
  EXPECT_NE(s_refused.find(":WARNING:vos_str.c:"), std::string::npos) << s_refused;
  EXPECT_NE(s_refused.find("Invalid destinaton buffer"), std::string::npos);
  // The buffer's first bytes expected; X untouched.
  using row = std::tuple<const char*, std::uint32_t, const char*, std::uint32_t, std::uint32_t,
                         std::string>;
  for (const auto& [pc_a, u32_max_a, pc_b, u32_room, u32_rc, expected] :
       {row{"ab", 10, "cd", 10, 5, "abcd\0"s}, row{"ab", 10, "cd", 4, 4, "abcdX"s},
        row{"ab", 10, "c", 4, 4, "abc\0"s}, row{"ab", 1, "cd", 10, 4, "acd\0"s},
        row{"abcdef", 10, "gh", 3, 3, "abcX"s}, row{nullptr, 10, "cd", 10, 3, "cd\0"s},
        row{"ab", 10, nullptr, 10, 3, "ab\0"s}, row{nullptr, 1, nullptr, 4, 0, "X"s}}) {
    char ac_dst[11];
    std::memset(ac_dst, 'X', sizeof ac_dst);
    EXPECT_EQ(vos_str_cat(pc_a, u32_max_a, pc_b, 10, ac_dst, u32_room), u32_rc);
    EXPECT_EQ(std::string(ac_dst, expected.size()), expected);
  }
  std::memset(ac, 'X', sizeof ac);
  EXPECT_EQ(vos_str_copy("hello", ac, 4), 1);
  EXPECT_EQ(std::string(ac, 5), "hel\0X"s);
  EXPECT_EQ(vos_str_rem_crlf(ac, "ab\r\ncd\n", 100), ac);
  EXPECT_EQ(ac + " "s + vos_str_rem_crlf(ac_2, "\r\nab\rcd", 4), "abcd ab");
  EXPECT_EQ(vos_str_rem_crlf(ac, nullptr, 5), nullptr);
  char ac_case[] = "aZ09[`{@\xE9z";
  vos_util_upcase(ac_case);
  const std::string s_up = ac_case;
  vos_util_lowcase(ac_case);
  EXPECT_EQ(s_up + " " + ac_case, "AZ09[`{@\xE9Z az09[`{@\xE9z");
  // Results in order: text to number (modulo 2^32), comparisons without case (bytes unsigned),
  // the first of a list that starts the text, classes, integer square roots.
  EXPECT_EQ(std::string(vos_itoa(INT32_MIN, ac)) + " " + vos_itoa(1000, ac_2), "-2147483648 1000");
  EXPECT_EQ(vos_util_u32toa(UINT32_MAX, ac), 10);
  EXPECT_STREQ(ac, "4294967295");
  // clang-format off
  EXPECT_EQ((std::vector<long long>{
                vos_util_u32toa(0, ac), vos_util_atou32("123abc"), vos_util_atou32(" 12"),
                vos_util_atou32("-12"), vos_util_atou32("4294967295"), vos_util_atou32("4294967297"),
                vos_util_atou32(nullptr), vos_str_cmp("abc", "ABC"), vos_str_cmp("b", "A"),
                vos_str_cmp("[", "z"), vos_str_cmp("\xE9", "a"), vos_str_cmp(nullptr, "a"),
                vos_str_num_cmp("ABCx", "abcy", 3), vos_str_num_cmp("ABCx", "abcy", 4),
                vos_str_num_cmp("a", nullptr, 0), vos_str_switch("Hello world", "xyz", "HELLO", nullptr),
                vos_str_switch("+CMGS: 1", "+CMG", "+CMGS", nullptr), vos_str_switch("HEL", "hello", nullptr),
                vos_is_num_str("0123456789"), vos_is_num_str("12a"), vos_is_num_str(nullptr),
                vos_is_phone_str("+33612345678"), vos_is_phone_str("1+2"), vos_is_phone_str("++1"),
                vos_is_alphanum("ab\tc", 2), vos_is_alphanum("a\x7F", 10), vos_is_alphanum(nullptr, 1),
                vos_util_sqrt(0), vos_util_sqrt(15), vos_util_sqrt(16), vos_util_sqrt(65535U * 65535U - 1),
                vos_util_sqrt(65535U * 65535U), vos_util_sqrt(UINT32_MAX)}),
            (std::vector<long long>{1, 123, 0, 0, UINT32_MAX, 1, 0, 0, 1, '[' - 'z', 0xE9 - 'a', -1,
                                    0, 'x' - 'y', -1, 2, 1, 0, 1, 0, 0, 1, 0, 0, 1, 0, 0,
                                    0, 3, 4, 65534, 65535, 65535}));
  // clang-format on
  char ac_param[64];
  // clang-format off
  for (const auto& [pc_line, i_index, pc_want] :  // null: no such parameter
       {std::tuple<const char*, int, const char*>{"+CSQ: 21,99", 0, "21"}, {"+CSQ: 21,99", 2, "99"},
        {"+CSQ: 21,99", 3, nullptr}, {"AT+X=5,6", 2, "6"}, {"RING 12,34", 1, "12"},
        {"NO CARRIER", 1, nullptr}, {"+X: 7\r\n", 1, "7"}, {"+X: 7\nrest", 1, "7\nrest"},
        {"+X: 1,", 2, nullptr}, {"+CMGR: \"a,b\",c", 1, "a,b"},
        {"+CMGR: 1,\"x\"\r\nbody text\r\n", 3, "body text"}, {"+C: \"x\"\nbody\n", 2, "body\n"},
        {"+C: 1,\"x\"\r\n", 3, nullptr}, {"+C: \"abc", 1, "abc"}, {"+C: \"a,b", 2, nullptr}}) {
    // clang-format on
    const char* pc = vos_get_param_str(ac_param, pc_line, i_index);
    EXPECT_EQ(pc ? std::string(pc) : "<null>", pc_want ? pc_want : "<null>") << pc_line;
  }
  // A line past 65,535 characters must not wrap its length.
  const std::string s_line = "+X: 1,\"" + std::string(70000, 'a') + "\",tail";
  std::string dst(s_line.size() + 1, '\0');
  EXPECT_STREQ(vos_get_param_str(dst.data(), s_line.c_str(), 3), "tail");
}

TEST(vos_util_hexa, classes_and_conversions) {
  for (int c : {'0', '9', 'a', 'f', 'A', 'F'}) EXPECT_EQ(vos_is_hexa(c), c);
  for (int c : {'g', 'G', 'x', '/', ':', '@', '`', ' ', '\0'}) EXPECT_EQ(vos_is_hexa(c), 0) << c;
  EXPECT_EQ(vos_is_hexa_str("0123456789abcdefABCDEF") + vos_is_hexa_str(""), 2);
  EXPECT_EQ(vos_is_hexa_str("12g") + vos_is_hexa_str("0x12") + vos_is_hexa_str(nullptr), 0);
  // Length -1: the whole text. Upper-case X is no prefix; a bad digit anywhere gives 0; modulo
  // 2^32; a NUL inside the length is a non-digit.
  // clang-format off
  for (const auto& [pc, i_len, u32] :
       {std::tuple<const char*, int, std::uint32_t>{"1A2b", -1, 0x1A2B}, {"0x1A", -1, 0x1A},
        {"0X1A", -1, 0}, {"12G4", -1, 0}, {"0x", -1, 0}, {"123456789", -1, 0x23456789},
        {"ffffffff", -1, 0xFFFFFFFF}, {"12", 0, 0}, {"12", 4, 0}, {"ff", 1, 0xF}, {nullptr, 4, 0},
        {"0x", 1, 0}}) {
    // clang-format on
    const auto u16_len = static_cast<std::uint16_t>(i_len < 0 ? std::strlen(pc) : i_len);
    EXPECT_EQ(vos_hexa_to_i(pc, u16_len), u32) << (pc ? pc : "<null>") << " " << i_len;
  }
  // clang-format off
  for (const auto& [pc, s_want] : {std::pair<const char*, std::string>{"0102ff", "\x01\x02\xFF"},
                                   {"abc", "\xAB"}, {"0x12", "\0\x12"s}, {"zz12", "\0\x12"s}, {"", ""}}) {
    // clang-format on
    std::uint8_t au8[8];
    std::memset(au8, 0xEE, sizeof au8);
    EXPECT_EQ(vos_hexa_to_ibuf(au8, pc), au8);
    EXPECT_EQ(std::string(au8, au8 + s_want.size() + 1), s_want + "\xEE") << pc;
  }
  EXPECT_EQ(vos_hexa_to_ibuf(nullptr, nullptr), nullptr);
  char ac[16];
  // Minimum digits never truncate; padding stops at 8 digits.
  // clang-format off
  for (const auto& [u32, u32_min, pc_want] :
       {std::tuple<std::uint32_t, std::uint32_t, const char*>{0, 0, "0"}, {0x1F, 4, "001F"},
        {0x12345, 2, "12345"}, {0xAB, 12, "000000AB"}, {0xDEADBEEF, 0, "DEADBEEF"}}) {
    // clang-format on
    std::memset(ac, 'Z', sizeof ac);
    vos_i_to_hexa(ac, u32, u32_min);
    EXPECT_EQ(std::string(ac, std::strlen(pc_want) + 2), pc_want + "\0Z"s);
  }
  const std::uint8_t au8[] = {0x00, 0x0A, 0xFF};
  EXPECT_EQ(vos_ibuf_to_hexa(ac, au8, 3), ac);
  EXPECT_STREQ(ac, "000AFF");
  EXPECT_STREQ(vos_ibuf_to_hexa(ac, au8, 0), "");
}

std::vector<std::string> g_commands;
std::vector<std::time_t> g_clock_values;  // read from the front; -1 once used up

TEST(vos_util_date, texts_timestamps_records_and_the_clock) {
  char ac[20];
  for (const std::uint32_t u32 : {0u, 946684799u, ts_2016, 2147483648u, UINT32_MAX}) {
    EXPECT_EQ(vos_util_timestamp_to_date_gmt(u32, ac), 19);
    std::uint32_t u32_back = 0;
    captured([&] { u32_back = vos_util_gmt_date_to_timestamp(ac); });  // years before 2000 warn
    EXPECT_EQ(u32_back, u32) << ac;
  }
  EXPECT_STREQ(ac, "2106-02-07 06:28:15");
  EXPECT_EQ(vos_util_timestamp_to_date_gmt(1, nullptr), 0);
  for (const char* pc_tz : {"<-05>5", "CET-1CEST,M3.5.0,M10.5.0/3"}) {
    scoped_tz tz(pc_tz);
    EXPECT_EQ(vos_util_gmt_date_to_timestamp("2016/06/03T12h34m56"), ts_2016) << pc_tz;
    EXPECT_EQ(vos_util_gmt_date_to_timestamp("2016-04-31 00:00:00"),
              vos_util_gmt_date_to_timestamp("2016-05-01 00:00:00"));
  }
  const std::string s_bad = line("ERROR", "Invalid date");
  // clang-format off
  for (const auto& [pc_text, s_expected] : std::vector<std::pair<const char*, std::string>>{
           {"", ""}, {nullptr, ""}, {"2016-06-03 12:34", s_bad}, {"2016-06-03 12:34:567", s_bad},
           {"2016-13-01 00:00:00", s_bad}, {"2016-06-00 00:00:00", s_bad},
           {"2016-06-03 24:00:00", s_bad}, {"2016-06-03 12:34:60", s_bad},
           {"abcd-06-03 12:34:56", s_bad}, {"1899-12-31 23:59:59", s_bad},
           {"1969-12-31 23:59:59", line("WARNING", "Year is less than 2000") + s_bad},
           {"2106-02-07 06:28:16", s_bad}}) {
    // clang-format on
    std::uint32_t u32 = 1;
    const std::string s_out = captured([&] { u32 = vos_util_gmt_date_to_timestamp(pc_text); });
    EXPECT_EQ(u32, 0u);
    EXPECT_TRUE(s_expected.empty() ? s_out.empty() : re_whole_match(s_out, s_expected)) << s_out;
  }
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
  const std::string s_out = captured([] {
    EXPECT_EQ(vos_util_date_to_timestamp("1999-12-31 23:59:59"), 946684799);
    EXPECT_EQ(vos_util_date_to_timestamp("2016-06-03 12:34"), 0);
    EXPECT_EQ(vos_util_date_to_timestamp("2040-01-01 00:00:00"), 0);  // past a signed 32-bit
    vos_date_time_rec s{1999, 12, 31, 23, 59, 59};
    EXPECT_EQ(vos_util_gmt_date_time_to_timestamp(&s), 946684799u);
    // clang-format off
    for (const vos_date_time_rec& bad :
         {vos_date_time_rec{2016, 0, 3, 12, 34, 56}, {2016, 6, 32, 12, 34, 56}, {2016, 6, 3, 24, 34, 56},
          {2016, 6, 3, 12, 34, 60}, {1899, 6, 3, 12, 34, 56}}) {
      // clang-format on
      EXPECT_EQ(vos_util_gmt_date_time_to_timestamp(&bad), 0u);
    }
  });
  const std::string s_old = line("WARNING", "Year is less than 2006");
  EXPECT_TRUE(
      re_whole_match(s_out, s_old + s_bad + s_bad + s_old + s_bad + s_bad + s_bad + s_bad + s_bad))
      << s_out;
  // The commands never reach the machine's own clock.
  detail::vos_util_set_runner([](const char* pc_command) {
    g_commands.emplace_back(pc_command);
    return 0;
  });
  const vos_date_time_rec s{2016, 6, 3, 12, 34, 56};
  vos_util_set_date_time(&s);
  vos_util_set_date_time(nullptr);
  vos_util_set_date_time_with_timestamp(ts_2016 + 86400 * 200 + 3);
  detail::vos_util_set_runner(nullptr);
  EXPECT_EQ(g_commands, (std::vector<std::string>{"date -u 060312342016.56", "hwclock -w -u",
                                                  "date -u 122012342016.59", "hwclock -w -u"}));
  detail::vos_util_set_clock([](std::time_t* pt) {
    const std::time_t t = g_clock_values.empty() ? -1 : g_clock_values.front();
    if (!g_clock_values.empty()) g_clock_values.erase(g_clock_values.begin());
    if (pt != nullptr) *pt = t;
    return t;
  });
  g_clock_values = {-1, ts_2016, -1, -7};
  const std::string s_clock = captured([] {
    EXPECT_EQ(vos_util_get_timestamp(), ts_2016) << "read again once after a failure";
    EXPECT_EQ(vos_util_get_timestamp(), 0u);
  });
  detail::vos_util_set_clock(nullptr);
  EXPECT_TRUE(re_whole_match(s_clock, line("ERROR", "time request failed -1") +
                                          line("ERROR", "time request failed -1") +
                                          line("ERROR", "time request failed once again -7")))
      << s_clock;
  EXPECT_GE(vos_util_get_timestamp(), static_cast<std::uint32_t>(std::time(nullptr)));
}
