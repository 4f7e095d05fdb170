// String and number toolbox, accounted totals back to their start after each test.
#include "vos_str.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>

#include "alloc_balance.h"
#include "stdout_capture.h"
#include "vos_mem.h"

namespace {

using test_support::captured;
using namespace std::string_literals;

class vos_str : public test_support::alloc_balance_test {};

std::string taken(char* pc) {
  std::string s = pc != nullptr ? pc : "<null>";
  vos_os_free(&pc);
  return s;
}

}  // namespace

TEST_F(vos_str, copies_and_joins) {
  const char ac_unterminated[4] = {'a', 'b', 'c', 'd'};
  EXPECT_EQ(vos_str_len(ac_unterminated, 4), 4U);
  EXPECT_EQ(vos_str_len("hello", 100) + vos_str_len(nullptr, 10), 5U);
  EXPECT_EQ(taken(vos_str_dup("hello", 3)), "hel");
  EXPECT_EQ(taken(vos_str_dup(nullptr, 5)), "<null>");
  EXPECT_EQ(taken(vos_str_cat_alloc("abc", 2, "def", 10)), "abdef");
  EXPECT_EQ(taken(vos_str_cat_alloc(nullptr, 5, "xy", 1)), "x");
  EXPECT_NE(captured([] {
              EXPECT_EQ(vos_str_cat_alloc(nullptr, 1, nullptr, 1), nullptr);
            }).find(":WARNING:vos_str.c:"),
            std::string::npos);
  struct row {
    const char* a;
    std::uint32_t max_a;
    const char* b;
    std::uint32_t room, rc;
    std::string expected;  // the buffer's first bytes; X untouched
  };
  for (const row& r :
       {row{"ab", 10, "cd", 10, 5, "abcd\0"s}, row{"ab", 10, "cd", 4, 4, "abcdX"s},
        row{"ab", 10, "c", 4, 4, "abc\0"s}, row{"ab", 1, "cd", 10, 4, "acd\0"s},
        row{"abcdef", 10, "gh", 3, 3, "abcX"s}, row{nullptr, 10, "cd", 10, 3, "cd\0"s},
        row{"ab", 10, nullptr, 10, 3, "ab\0"s}, row{nullptr, 1, nullptr, 4, 0, "X"s}}) {
    char ac[11];
    std::memset(ac, 'X', sizeof ac);
    EXPECT_EQ(vos_str_cat(r.a, r.max_a, r.b, 10, ac, r.room), r.rc);
    EXPECT_EQ(std::string(ac, r.expected.size()), r.expected);
  }
  char ac[16];
  EXPECT_NE(captured([&] {
              EXPECT_EQ(vos_str_cat("a", 1, "b", 1, ac, 0), 0U);
            }).find("Invalid destinaton buffer"),
            std::string::npos);
  std::memset(ac, 'X', sizeof ac);
  EXPECT_EQ(vos_str_copy("hello", ac, 4), 1);
  EXPECT_EQ(std::string(ac, 5), "hel\0X"s);
  captured([&] { EXPECT_EQ(vos_str_copy("hello", ac, 0), -1); });
  EXPECT_EQ(vos_str_rem_crlf(ac, "ab\r\ncd\n", 100), ac);
  EXPECT_STREQ(ac, "abcd");
  EXPECT_STREQ(vos_str_rem_crlf(ac, "\r\nab\rcd", 4), "ab");
  EXPECT_EQ(vos_str_rem_crlf(ac, nullptr, 5), nullptr);
  char ac_case[] = "aZ09[`{@\xE9z";
  vos_util_upcase(ac_case);
  EXPECT_STREQ(ac_case, "AZ09[`{@\xE9Z");
  vos_util_lowcase(ac_case);
  EXPECT_STREQ(ac_case, "az09[`{@\xE9z");
}

TEST_F(vos_str, numbers_comparisons_and_classes) {
  char ac[16];
  EXPECT_STREQ(vos_itoa(INT32_MIN, ac), "-2147483648");
  EXPECT_STREQ(vos_itoa(1000, ac), "1000");
  EXPECT_EQ(vos_util_u32toa(UINT32_MAX, ac), 10);
  EXPECT_STREQ(ac, "4294967295");
  EXPECT_EQ(vos_util_u32toa(0, ac), 1);
  for (const auto& [pc, u32] : {std::pair<const char*, std::uint32_t>{"123abc", 123},
                                {" 12", 0},
                                {"-12", 0},
                                {"4294967295", UINT32_MAX},
                                {"4294967297", 1},
                                {nullptr, 0}}) {
    EXPECT_EQ(vos_util_atou32(pc), u32) << pc;
  }
  EXPECT_EQ(vos_str_cmp("abc", "ABC"), 0);
  EXPECT_EQ(vos_str_cmp("b", "A"), 1);
  EXPECT_EQ(vos_str_cmp("[", "z"), '[' - 'z');
  EXPECT_EQ(vos_str_cmp("\xE9", "a"), 0xE9 - 'a') << "bytes are unsigned";
  EXPECT_EQ(vos_str_cmp(nullptr, "a"), -1);
  EXPECT_EQ(vos_str_num_cmp("ABCx", "abcy", 3), 0);
  EXPECT_EQ(vos_str_num_cmp("ABCx", "abcy", 4), 'x' - 'y');
  EXPECT_EQ(vos_str_num_cmp("a", nullptr, 0), -1);
  EXPECT_EQ(vos_str_switch("Hello world", "xyz", "HELLO", nullptr), 2);
  EXPECT_EQ(vos_str_switch("+CMGS: 1", "+CMG", "+CMGS", nullptr), 1);
  EXPECT_EQ(vos_str_switch("HEL", "hello", nullptr), 0);
  EXPECT_EQ(vos_is_num_str("0123456789") + vos_is_num_str("12a") + vos_is_num_str(nullptr), 1);
  EXPECT_EQ(vos_is_phone_str("+33612345678") + vos_is_phone_str("1+2") + vos_is_phone_str("++1"),
            1);
  EXPECT_EQ(
      vos_is_alphanum("ab\tc", 2) + vos_is_alphanum("a\x7F", 10) + vos_is_alphanum(nullptr, 1), 1);
  for (std::uint32_t x :
       {0U, 1U, 15U, 16U, 99U, 65535U * 65535U - 1, 65535U * 65535U, UINT32_MAX}) {
    const std::uint64_t r = vos_util_sqrt(x);
    EXPECT_LE(r * r, x);
    EXPECT_GT((r + 1) * (r + 1), x);
  }
}

TEST_F(vos_str, response_line_parameters) {
  char ac[64];
  struct row {
    const char* line;
    int index;
    const char* want;  // null: no such parameter
  };
  for (const row& r : {row{"+CSQ: 21,99", 0, "21"},
                       {"+CSQ: 21,99", 2, "99"},
                       {"+CSQ: 21,99", 3, nullptr},
                       {"AT+X=5,6", 2, "6"},
                       {"RING 12,34", 1, "12"},
                       {"NO CARRIER", 1, nullptr},
                       {"+X: 7\r\n", 1, "7"},
                       {"+X: 7\nrest", 1, "7\nrest"},
                       {"+X: 1,", 2, nullptr},
                       {"+CMGR: \"a,b\",c", 1, "a,b"},
                       {"+CMGR: 1,\"x\"\r\nbody text\r\n", 3, "body text"},
                       {"+C: \"x\"\nbody\n", 2, "body\n"},
                       {"+C: 1,\"x\"\r\n", 3, nullptr},
                       {"+C: \"abc", 1, "abc"},
                       {"+C: \"a,b", 2, nullptr}}) {
    const char* pc = vos_get_param_str(ac, r.line, r.index);
    if (r.want == nullptr) {
      EXPECT_EQ(pc, nullptr) << r.line << " " << r.index;
    } else {
      EXPECT_STREQ(pc, r.want) << r.line << " " << r.index;
    }
  }
  // A line past 65,535 characters must not wrap its length.
  const std::string line = "+X: 1,\"" + std::string(70000, 'a') + "\",tail";
  std::string dst(line.size() + 1, '\0');
  EXPECT_STREQ(vos_get_param_str(dst.data(), line.c_str(), 3), "tail");
}
