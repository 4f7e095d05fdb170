// Trace line text without printf: every line equals what snprintf makes of the same prefix
// and message (conversions, padding, '%' rules, the 1,023-character cut, the formats left to
// vsnprintf), the dump line and its cut, and a batch's lines leaving in order, together.
#include <gtest/gtest.h>

#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "stdout_capture.h"
#include "vos_trace.h"
#include "vos_trace_internal.h"

namespace {

using test_support::stdout_capture;

std::time_t fixed_clock(std::time_t* pt) {
  constexpr std::time_t t_fixed = 1464957296;  // 2016-06-03 12:34:56 UTC
  if (pt != nullptr) *pt = t_fixed;
  return t_fixed;
}

// What the line is with snprintf: prefix and message, cut to 1,023 characters, newline.
std::string reference(const char* pc_format, ...) __attribute__((format(printf, 1, 2)));
std::string reference(const char* pc_format, ...) {
  std::string line = "20160603-123456:DEBUG:f.c:7:";
  char ac[1024];
  va_list ap;
  va_start(ap, pc_format);
  const int n = std::vsnprintf(ac, sizeof ac - line.size(), pc_format, ap);
  va_end(ap);
  if (n > 0)
    line.append(ac, std::min<std::size_t>(static_cast<std::size_t>(n), 1023 - line.size()));
  return line + "\n";
}

class vos_trace_format : public ::testing::Test {
 protected:
  void SetUp() override { detail::vos_trace_set_clock(fixed_clock); }
  void TearDown() override { detail::vos_trace_set_clock(nullptr); }
};

// Formats held in variables: the invalid ones reach the trace as they would at run time.
TEST_F(vos_trace_format, lines_equal_snprintf) {
  const std::string big(1500, 'x');
  const char* pc_bad = "%y and %";
  const char* pc_lone = "100%";
  const char* pc_flags = "%+d|% d|%#x|%.5d|%5.2f|%'d";
  const char* pc_zero_left = "%-05d|%-05d";  // '0' ignored with '-'
  const char* pc_null = "%s|%d";
  struct row {
    std::function<void()> trace;
    std::string expected;
  };
#define ROW(...)                                                            \
  row {                                                                     \
    [&] { vos_trace_debug("f.c", 7, __VA_ARGS__); }, reference(__VA_ARGS__) \
  }
  const std::vector<row> rows = {
      ROW("plain text, no conversion"),
      ROW("%d|%d|%d|%d|%i", 0, -1, INT_MAX, INT_MIN, 42),
      ROW("%5d|%-5d|%05d|%05d|%3d", 42, 42, 42, -42, 123456),
      ROW(pc_zero_left, 42, -42),
      ROW("%u|%x|%X|%08x|%02x|%02X|%x", UINT_MAX, 0xBEEFu, 0xBEEFu, 0x1Au, 0u, 0xABu, 0u),
      ROW("%ld|%lu|%lx|%lld|%llu|%zu", LONG_MIN, ULONG_MAX, ULONG_MAX / 3, LLONG_MIN, ULLONG_MAX,
          static_cast<std::size_t>(77)),
      ROW("%hd|%hu|%hhd|%hhu|%hx", 70000, 70000, 300, 300, 0x12345),
      ROW("[%s]|[%8s]|[%-8s]|[%.3s]|[%.*s]|[%.9s]", "abc", "abc", "abc", "abcdef", 2, "abcdef",
          "ab"),
      ROW("[%c]|[%3c]|[%-3c]", 'a', 'b', 'c'),
      ROW("%*d|%*d|%-*d", 6, 5, -6, 5, 4, 3),
      ROW("100%% sure, %%d is %d, %%%%", 5),
      ROW("\n################\n PACKET RECEIVED \n################\n RTC:%d,%03d, FREQ:%d, "
          "RSSI:-%d, FREQ_OFFSET:%d, RF_MOD:%d, RF_RECEIVER:%d",
          1733500000, 7, 868950000, 70, -12, 16, 0),
      ROW("%p|%s", static_cast<void*>(nullptr), "left to vsnprintf"),
      ROW(pc_null, static_cast<const char*>(nullptr), 3),
      ROW(pc_bad, 1),
      ROW(pc_lone, 1),
      ROW(pc_flags, 1, 2, 0x1Fu, 3, 2.5, 1000),
      ROW("%s", big.c_str()),
      ROW("%s%s", big.c_str(), "never shown"),
      ROW("%1500d|", 9),
      ROW("%-1200s|", "x"),
      ROW("%.1100s", big.c_str()),
  };
#undef ROW
  for (std::size_t i = 0; i < rows.size(); ++i) {
    stdout_capture capture;
    rows[i].trace();
    EXPECT_EQ(capture.take(), rows[i].expected) << "row " << i;
  }
}

TEST_F(vos_trace_format, dump_line_and_its_cut) {
  std::vector<std::uint8_t> bytes(600);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 7);
  std::string hex;
  for (const auto b : bytes) {
    char ac[3];
    std::snprintf(ac, sizeof ac, "%02X", b);
    hex += ac;
  }
  const std::string prefix = "20160603-123456:DUMP:f.c:7:";
  // Whole bytes only: 1,023 - 27 leaves room for 498 bytes.
  const std::size_t shown = (1023 - prefix.size()) / 2;
  for (const std::size_t len : {std::size_t{0}, std::size_t{33}, shown, bytes.size()}) {
    stdout_capture capture;
    vos_trace_dump("f.c", 7, bytes.data(), static_cast<std::uint32_t>(len));
    EXPECT_EQ(capture.take(), prefix + hex.substr(0, 2 * std::min(len, shown)) + "\n") << len;
  }
}

std::time_t next_second(std::time_t* pt) {
  const std::time_t t = fixed_clock(nullptr) + 1;
  if (pt != nullptr) *pt = t;
  return t;
}

// The prefix is kept between lines: a new second, another level, another file name text at
// the same address each give a new one.
TEST_F(vos_trace_format, prefix_follows_clock_level_and_file_text) {
  char ac_file[8] = "a.c";
  stdout_capture capture;
  vos_trace_debug(ac_file, 1, "x");
  vos_trace_dump(ac_file, 2, "\xAB", 1);
  std::strcpy(ac_file, "bb.c");
  vos_trace_debug(ac_file, 3, "x");
  ac_file[1] = '\0';
  vos_trace_debug(ac_file, 4, "x");
  vos_trace_info("x");
  vos_trace_warning(nullptr, 5, "x");
  detail::vos_trace_set_clock(next_second);
  vos_trace_debug(ac_file, 6, "x");
  EXPECT_EQ(capture.take(),
            "20160603-123456:DEBUG:a.c:1:x\n20160603-123456:DUMP:a.c:2:AB\n"
            "20160603-123456:DEBUG:bb.c:3:x\n20160603-123456:DEBUG:b:4:x\n"
            "20160603-123456:INFO:x\n20160603-123456:WARNING:(null):5:x\n"
            "20160603-123457:DEBUG:b:6:x\n");
}

TEST_F(vos_trace_format, batch_writes_its_lines_in_order_at_its_end) {
  stdout_capture capture;
  {
    const vos_trace_batch batch;
    vos_trace_debug("f.c", 1, "one");
    {
      const vos_trace_batch inner;  // adds to the outer batch
      vos_trace_info("two %d", 2);
    }
    vos_trace_dump("f.c", 3, "\x01", 1);
    vos_trace_printf("plain");  // the lines before it leave first
    vos_trace_error("f.c", 4, "after");
    // 40 lines: more than one batch holds
    for (int i = 0; i < 40; ++i) vos_trace_debug("f.c", 5, "%d", i);
  }
  std::string expected =
      "20160603-123456:DEBUG:f.c:1:one\n20160603-123456:INFO:two 2\n"
      "20160603-123456:DUMP:f.c:3:01\nplain\n20160603-123456:ERROR:f.c:4:after\n";
  for (int i = 0; i < 40; ++i)
    expected += "20160603-123456:DEBUG:f.c:5:" + std::to_string(i) + "\n";
  EXPECT_EQ(capture.take(), expected);
}

}  // namespace
