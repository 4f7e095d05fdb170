// String and number toolbox: conversions, comparisons, classes and parameter extraction,
// with the accounted-memory totals back to their start after each test.
#include "vos_str.h"

#include <fnmatch.h>
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <string>

#include "alloc_balance.h"
#include "stdout_capture.h"
#include "vos_mem.h"

namespace {

using test_support::captured;
using namespace std::string_literals;

class vos_str : public test_support::alloc_balance_test {};

// True when the output is exactly one trace line of this level and module with this message.
bool one_trace(const std::string& out, const std::string& level, const std::string& message) {
  const std::string line =
      "[0-9][0-9][0-9][0-9][0-9][0-9][0-9][0-9]-[0-9][0-9][0-9][0-9][0-9][0-9]:" + level +
      ":vos_str.c:[0-9]*:" + message + "\n";
  return out.find('\n') + 1 == out.size() && fnmatch(line.c_str(), out.c_str(), 0) == 0;
}

}  // namespace

TEST_F(vos_str, len_stops_at_nul_or_max) {
  EXPECT_EQ(vos_str_len("hello", 100), 5U);
  EXPECT_EQ(vos_str_len("hello", 3), 3U);
  EXPECT_EQ(vos_str_len("hello", 0), 0U);
  EXPECT_EQ(vos_str_len(nullptr, 10), 0U);
  // The maximum bounds the read: no NUL within these four bytes.
  const char ac_unterminated[4] = {'a', 'b', 'c', 'd'};
  EXPECT_EQ(vos_str_len(ac_unterminated, 4), 4U);
}

TEST_F(vos_str, dup_copies_at_most_max_into_an_accounted_block) {
  const std::uint32_t u32_pools = vos_os_nb_pool();
  const std::uint32_t u32_mem = vos_os_curmem();
  char* pc = vos_str_dup("hello", 3);
  ASSERT_NE(pc, nullptr);
  EXPECT_STREQ(pc, "hel");
  EXPECT_EQ(vos_os_nb_pool(), u32_pools + 1);
  EXPECT_EQ(vos_os_curmem(), u32_mem + 4);  // allocated to size
  vos_os_free(&pc);

  pc = vos_str_dup("ab", 100);
  ASSERT_NE(pc, nullptr);
  EXPECT_STREQ(pc, "ab");
  vos_os_free(&pc);

  pc = vos_str_dup("", 5);
  ASSERT_NE(pc, nullptr);
  EXPECT_STREQ(pc, "");
  vos_os_free(&pc);

  EXPECT_EQ(vos_str_dup(nullptr, 5), nullptr);
}

TEST_F(vos_str, cat_counts_bytes_written_and_truncates_silently) {
  struct row {
    const char* pc_what;
    const char* pc_a;
    std::uint32_t u32_max_a;
    const char* pc_b;
    std::uint32_t u32_room;
    std::uint32_t u32_rc;
    std::string expected;  // the buffer's first bytes, terminator included; X untouched
  };
  for (const row& r :
       {row{"room for everything", "ab", 10, "cd", 10, 5, "abcd\0"s},
        row{"characters fill the buffer: no terminator", "ab", 10, "cd", 4, 4, "abcdX"s},
        row{"terminator is the last byte", "ab", 10, "c", 4, 4, "abc\0"s},
        row{"first string bounded by its maximum", "ab", 1, "cd", 10, 4, "acd\0"s},
        row{"first string alone fills the buffer", "abcdef", 10, "gh", 3, 3, "abcX"s},
        row{"a null first string counts as empty", nullptr, 10, "cd", 10, 3, "cd\0"s},
        row{"a null second string counts as empty", "ab", 10, nullptr, 10, 3, "ab\0"s}}) {
    SCOPED_TRACE(r.pc_what);
    char ac[11];
    std::memset(ac, 'X', sizeof ac);
    EXPECT_EQ(vos_str_cat(r.pc_a, r.u32_max_a, r.pc_b, 10, ac, r.u32_room), r.u32_rc);
    EXPECT_EQ(std::string(ac, r.expected.size()), r.expected);
  }
  {
    SCOPED_TRACE("both null: nothing written, nothing logged");
    char ac[4] = {'X', 'X', 'X', 'X'};
    std::uint32_t u32_rc = 1;
    const std::string out = captured([&] { u32_rc = vos_str_cat(nullptr, 1, nullptr, 1, ac, 4); });
    EXPECT_EQ(u32_rc, 0U);
    EXPECT_EQ(ac[0], 'X');
    EXPECT_EQ(out, "");
  }
  {
    SCOPED_TRACE("no destination room: error, buffer untouched");
    char ac[2] = {'X', 'X'};
    std::uint32_t u32_rc = 1;
    std::string out = captured([&] { u32_rc = vos_str_cat("a", 1, "b", 1, ac, 0); });
    EXPECT_EQ(u32_rc, 0U);
    EXPECT_EQ(ac[0], 'X');
    EXPECT_TRUE(one_trace(out, "ERROR", "Invalid destinaton buffer")) << out;
    out = captured([&] { u32_rc = vos_str_cat("a", 1, "b", 1, nullptr, 8); });
    EXPECT_EQ(u32_rc, 0U);
    EXPECT_TRUE(one_trace(out, "ERROR", "Invalid destinaton buffer")) << out;
  }
}

TEST_F(vos_str, cat_alloc_joins_bounded_parts) {
  char* pc = vos_str_cat_alloc("abc", 2, "def", 10);
  ASSERT_NE(pc, nullptr);
  EXPECT_STREQ(pc, "abdef");
  vos_os_free(&pc);

  pc = vos_str_cat_alloc(nullptr, 5, "xy", 1);
  ASSERT_NE(pc, nullptr);
  EXPECT_STREQ(pc, "x");
  vos_os_free(&pc);

  pc = vos_str_cat_alloc("", 5, "", 5);
  ASSERT_NE(pc, nullptr);
  EXPECT_STREQ(pc, "");
  vos_os_free(&pc);

  const std::string out = captured([&] { pc = vos_str_cat_alloc(nullptr, 1, nullptr, 1); });
  EXPECT_EQ(pc, nullptr);
  EXPECT_TRUE(one_trace(out, "WARNING", "Null strings")) << out;
}

TEST_F(vos_str, copy_always_terminates) {
  char ac[8];
  std::memset(ac, 'X', sizeof ac);
  EXPECT_EQ(vos_str_copy("hello", ac, 4), 1);
  EXPECT_EQ(std::string(ac, 5), std::string("hel\0X", 5));

  EXPECT_EQ(vos_str_copy("hello", ac, 1), 1);
  EXPECT_STREQ(ac, "");
  EXPECT_EQ(vos_str_copy("", ac, sizeof ac), 1);
  EXPECT_STREQ(ac, "");
  EXPECT_EQ(vos_str_copy("hi", ac, sizeof ac), 1);
  EXPECT_STREQ(ac, "hi");

  ac[0] = 'X';
  std::int32_t i32_rc = 0;
  const std::string out = captured([&] { i32_rc = vos_str_copy("hello", ac, 0); });
  EXPECT_EQ(i32_rc, -1);
  EXPECT_EQ(ac[0], 'X');
  EXPECT_TRUE(one_trace(out, "WARNING", "No room in dst buffer")) << out;
}

TEST_F(vos_str, decimal_text_covers_the_whole_range) {
  char ac[16];
  std::memset(ac, 'X', sizeof ac);
  EXPECT_EQ(vos_itoa(INT32_MIN, ac), ac);
  EXPECT_STREQ(ac, "-2147483648");
  EXPECT_STREQ(vos_itoa(INT32_MAX, ac), "2147483647");
  EXPECT_STREQ(vos_itoa(0, ac), "0");
  EXPECT_STREQ(vos_itoa(-7, ac), "-7");
  EXPECT_STREQ(vos_itoa(1000, ac), "1000");

  EXPECT_EQ(vos_util_u32toa(UINT32_MAX, ac), 10);
  EXPECT_STREQ(ac, "4294967295");
  EXPECT_EQ(vos_util_u32toa(0, ac), 1);
  EXPECT_STREQ(ac, "0");
  EXPECT_EQ(vos_util_u32toa(100, ac), 3);
  EXPECT_STREQ(ac, "100");
}

TEST_F(vos_str, atou32_reads_leading_digits_modulo_2_32) {
  EXPECT_EQ(vos_util_atou32("123abc"), 123U);
  EXPECT_EQ(vos_util_atou32(" 12"), 0U);
  EXPECT_EQ(vos_util_atou32("-12"), 0U);
  EXPECT_EQ(vos_util_atou32("+12"), 0U);
  EXPECT_EQ(vos_util_atou32("4294967295"), 4294967295U);
  EXPECT_EQ(vos_util_atou32("4294967296"), 0U);
  EXPECT_EQ(vos_util_atou32("4294967297"), 1U);
  EXPECT_EQ(vos_util_atou32(""), 0U);
  EXPECT_EQ(vos_util_atou32(nullptr), 0U);
}

TEST_F(vos_str, cmp_folds_ascii_letters_only) {
  EXPECT_EQ(vos_str_cmp("abc", "ABC"), 0);
  EXPECT_EQ(vos_str_cmp("a", "b"), -1);
  EXPECT_EQ(vos_str_cmp("b", "A"), 1);
  EXPECT_LT(vos_str_cmp("ab", "abc"), 0);
  EXPECT_GT(vos_str_cmp("abc", "ab"), 0);
  // '[' (0x5B) sorts after 'Z' but before 'z' once folded.
  EXPECT_EQ(vos_str_cmp("[", "z"), '[' - 'z');
  // Bytes are unsigned: 0xE9 is above every ASCII character; no folding outside A-Z.
  EXPECT_EQ(vos_str_cmp("\xE9", "a"), 0xE9 - 'a');
  EXPECT_EQ(vos_str_cmp("\xC9", "\xE9"), 0xC9 - 0xE9);
  EXPECT_EQ(vos_str_cmp(nullptr, "a"), -1);
  EXPECT_EQ(vos_str_cmp("a", nullptr), -1);
  EXPECT_EQ(vos_str_cmp("", ""), 0);
}

TEST_F(vos_str, num_cmp_stops_after_n) {
  EXPECT_EQ(vos_str_num_cmp("ABCx", "abcy", 3), 0);
  EXPECT_EQ(vos_str_num_cmp("ABCx", "abcy", 4), 'x' - 'y');
  EXPECT_EQ(vos_str_num_cmp("abc", "abd", 0), 0);
  EXPECT_EQ(vos_str_num_cmp(nullptr, "a", 0), -1);
  EXPECT_EQ(vos_str_num_cmp("a", nullptr, 0), -1);
  EXPECT_EQ(vos_str_num_cmp("ab", "ab", 10), 0);
  EXPECT_EQ(vos_str_num_cmp("a", "ab", 5), -'b');
}

TEST_F(vos_str, switch_returns_first_prefix_match) {
  EXPECT_EQ(vos_str_switch("Hello world", "xyz", "HELLO", nullptr), 2);
  EXPECT_EQ(vos_str_switch("Hello world", "xyz", "abc", nullptr), 0);
  EXPECT_EQ(vos_str_switch("Hello", nullptr), 0);
  // An earlier, shorter candidate shadows a longer one; an empty one matches anything.
  EXPECT_EQ(vos_str_switch("+CMGS: 1", "+CMG", "+CMGS", nullptr), 1);
  EXPECT_EQ(vos_str_switch("anything", "zz", "", "any", nullptr), 2);
  // The candidate must fit in s.
  EXPECT_EQ(vos_str_switch("HEL", "hello", nullptr), 0);
  const char* pc_null = nullptr;
  EXPECT_EQ(vos_str_switch(pc_null, "", "a", nullptr), 0);
}

TEST_F(vos_str, character_classes) {
  {
    SCOPED_TRACE("digits");
    EXPECT_EQ(vos_is_num_str("0123456789"), 1);
    EXPECT_EQ(vos_is_num_str(""), 1);
    EXPECT_EQ(vos_is_num_str("12a"), 0);
    EXPECT_EQ(vos_is_num_str("-1"), 0);
    EXPECT_EQ(vos_is_num_str(nullptr), 0);
  }
  {
    SCOPED_TRACE("phone numbers");
    EXPECT_EQ(vos_is_phone_str("+33612345678"), 1);
    EXPECT_EQ(vos_is_phone_str("0612"), 1);
    EXPECT_EQ(vos_is_phone_str("++1"), 0);
    EXPECT_EQ(vos_is_phone_str("+"), 1);
    EXPECT_EQ(vos_is_phone_str(""), 1);
    EXPECT_EQ(vos_is_phone_str("1+2"), 0);
    EXPECT_EQ(vos_is_phone_str(nullptr), 0);
  }
  {
    SCOPED_TRACE("printable ASCII");
    EXPECT_EQ(vos_is_alphanum("ab\tc", 10), 0);
    EXPECT_EQ(vos_is_alphanum("ab\tc", 2), 1);
    EXPECT_EQ(vos_is_alphanum(" ~!", 10), 1);
    EXPECT_EQ(vos_is_alphanum("a\x7F", 10), 0);
    EXPECT_EQ(vos_is_alphanum("a\x80", 10), 0);
    EXPECT_EQ(vos_is_alphanum("\x01", 0), 1);
    EXPECT_EQ(vos_is_alphanum("", 10), 1);
    EXPECT_EQ(vos_is_alphanum(nullptr, 10), 0);
  }
}

TEST_F(vos_str, rem_crlf_drops_every_line_end_within_max) {
  char ac[32];
  EXPECT_EQ(vos_str_rem_crlf(ac, "ab\r\ncd\n", 100), ac);
  EXPECT_STREQ(ac, "abcd");
  EXPECT_STREQ(vos_str_rem_crlf(ac, "\r\nab\rcd", 4), "ab");
  EXPECT_STREQ(vos_str_rem_crlf(ac, "abc", 0), "");
  EXPECT_STREQ(vos_str_rem_crlf(ac, "abc", -5), "");
  EXPECT_EQ(vos_str_rem_crlf(ac, nullptr, 5), nullptr);
}

TEST_F(vos_str, case_change_in_place_letters_only) {
  char ac[] = "aZ09[`{@\xE9z";
  vos_util_upcase(ac);
  EXPECT_STREQ(ac, "AZ09[`{@\xE9Z");
  vos_util_lowcase(ac);
  EXPECT_STREQ(ac, "az09[`{@\xE9z");
  vos_util_upcase(nullptr);
  vos_util_lowcase(nullptr);
}

TEST_F(vos_str, get_param_str_bare_parameters) {
  char ac[64];
  const char* pc_line = "+CSQ: 21,99";
  EXPECT_STREQ(vos_get_param_str(ac, pc_line, 1), "21");
  EXPECT_STREQ(vos_get_param_str(ac, pc_line, 0), "21");
  EXPECT_STREQ(vos_get_param_str(ac, pc_line, 2), "99");
  std::strcpy(ac, "stale");
  EXPECT_EQ(vos_get_param_str(ac, pc_line, 3), nullptr);
  EXPECT_STREQ(ac, "");
  {
    SCOPED_TRACE("separators");
    EXPECT_STREQ(vos_get_param_str(ac, "AT+X=5,6", 2), "6");
    EXPECT_STREQ(vos_get_param_str(ac, "RING 12,34", 1), "12");
    EXPECT_EQ(vos_get_param_str(ac, "NO CARRIER", 1), nullptr);
    EXPECT_EQ(vos_get_param_str(ac, "+X:", 1), nullptr);
  }
  {
    SCOPED_TRACE("a bare value ends at a comma or CR, keeps an LF");
    EXPECT_STREQ(vos_get_param_str(ac, "+X: 7\r\n", 1), "7");
    EXPECT_STREQ(vos_get_param_str(ac, "+X: 7\nrest", 1), "7\nrest");
    EXPECT_STREQ(vos_get_param_str(ac, "+X: ,5", 1), "");
    EXPECT_EQ(vos_get_param_str(ac, "+X: 1,", 2), nullptr);
  }
  std::strcpy(ac, "kept");
  EXPECT_EQ(vos_get_param_str(ac, nullptr, 1), nullptr);
  EXPECT_STREQ(ac, "kept");
}

TEST_F(vos_str, get_param_str_quoted_parameters_and_body) {
  char ac[64];
  {
    SCOPED_TRACE("quotes protect commas");
    const char* pc_line = "+CMGR: \"a,b\",c";
    EXPECT_STREQ(vos_get_param_str(ac, pc_line, 1), "a,b");
    EXPECT_STREQ(vos_get_param_str(ac, pc_line, 2), "c");
    EXPECT_EQ(vos_get_param_str(ac, pc_line, 3), nullptr);
  }
  {
    SCOPED_TRACE("message body after the head line");
    const char* pc_line = "+CMGR: 1,\"x\"\r\nbody text\r\n";
    EXPECT_STREQ(vos_get_param_str(ac, pc_line, 1), "1");
    EXPECT_STREQ(vos_get_param_str(ac, pc_line, 2), "x");
    EXPECT_STREQ(vos_get_param_str(ac, pc_line, 3), "body text");
    EXPECT_EQ(vos_get_param_str(ac, pc_line, 4), nullptr);
    EXPECT_STREQ(vos_get_param_str(ac, "+C: \"x\"\nbody\n", 2), "body\n");
  }
  {
    SCOPED_TRACE("a closing quote at the end of the line ends the list");
    EXPECT_EQ(vos_get_param_str(ac, "+C: 1,\"x\"", 3), nullptr);
    EXPECT_EQ(vos_get_param_str(ac, "+C: 1,\"x\"\r", 3), nullptr);
    EXPECT_EQ(vos_get_param_str(ac, "+C: 1,\"x\"\r\n", 3), nullptr);
  }
  {
    SCOPED_TRACE("an unterminated quote runs to the end");
    EXPECT_STREQ(vos_get_param_str(ac, "+C: \"abc", 1), "abc");
    EXPECT_EQ(vos_get_param_str(ac, "+C: \"a,b", 2), nullptr);
  }
}

TEST_F(vos_str, get_param_str_long_line_is_not_cut_at_16_bits) {
  // A line past 65,535 characters must not wrap its length.
  std::string line = "+X: 1,\"" + std::string(70000, 'a') + "\",tail";
  std::string dst(line.size() + 1, '\0');
  EXPECT_STREQ(vos_get_param_str(dst.data(), line.c_str(), 3), "tail");
  ASSERT_NE(vos_get_param_str(dst.data(), line.c_str(), 2), nullptr);
  EXPECT_EQ(std::strlen(dst.c_str()), 70000U);
}

TEST_F(vos_str, sqrt_rounds_down) {
  EXPECT_EQ(vos_util_sqrt(0), 0U);
  EXPECT_EQ(vos_util_sqrt(1), 1U);
  EXPECT_EQ(vos_util_sqrt(15), 3U);
  EXPECT_EQ(vos_util_sqrt(16), 4U);
  EXPECT_EQ(vos_util_sqrt(65535U * 65535U), 65535U);
  EXPECT_EQ(vos_util_sqrt(65535U * 65535U - 1), 65534U);
  EXPECT_EQ(vos_util_sqrt(UINT32_MAX), 65535U);
  for (std::uint32_t x : {2U, 99U, 100U, 101U, 123456789U, 4000000000U}) {
    const std::uint64_t r = vos_util_sqrt(x);
    EXPECT_LE(r * r, x);
    EXPECT_GT((r + 1) * (r + 1), x);
  }
}
