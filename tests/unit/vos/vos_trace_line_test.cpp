// Lines put together piece by piece: each equals the formatted line of the same pieces (the
// same prefix, numbers, 1,023-character cut and whole dump pairs), and none leaves when the
// level hides it.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <ctime>
#include <string>

#include "stdout_capture.h"
#include "vos_trace.h"
#include "vos_trace_internal.h"

namespace {

constexpr const char* source_name = "f.c";

std::time_t fixed_clock(std::time_t*) { return 1464957296; }  // 2016-06-03 12:34:56 UTC

TEST(vos_trace_line, pieces_equal_their_formatted_twins) {
  detail::vos_trace_set_clock(fixed_clock);
  const std::string big(1100, 'y');
  const std::uint8_t au8[600] = {0x00, 0x2D, 0xAB, 0xFF};
  test_support::stdout_capture capture;
  const auto both = [&](int i_line, const auto& build, const char* pc_format, auto... args) {
    vos_trace_line line(vos_trace_line::kind::debug, source_name, i_line);
    build(line);
    vos_trace_debug(source_name, i_line, pc_format, args...);
  };
  both(__LINE__, [&](vos_trace_line& l) { l.text("a%d[").dec(0).dec(-7).dec(LLONG_MIN); },
       "a%%d[%d%d%lld", 0, -7, LLONG_MIN);
  both(__LINE__, [&](vos_trace_line& l) { l.dec(7, 3).text(",").dec(-5, 3).dec(12345, 3); },
       "%03d,%03d%03d", 7, -5, 12345);
  both(__LINE__, [&](vos_trace_line& l) { l.hex(0).text(" ").hex(0xBEEF12u).hex(ULLONG_MAX); },
       "%x %x%llx", 0u, 0xBEEF12u, ULLONG_MAX);
  both(__LINE__, [&](vos_trace_line& l) { l.text(big).dec(123).text("gone"); }, "%s%d%s",
       big.c_str(), 123, "gone");
  vos_trace_line(vos_trace_line::kind::dump, source_name, 9).bytes(au8, 4);
  vos_trace_dump(source_name, 9, au8, 4);
  vos_trace_line(vos_trace_line::kind::dump, source_name, 9).bytes(au8, sizeof au8);
  vos_trace_dump(source_name, 9, au8, sizeof au8);
  vos_trace_level(1);
  vos_trace_line(vos_trace_line::kind::debug, source_name, 1).text("hidden");
  vos_trace_line(vos_trace_line::kind::dump, source_name, 1).bytes(au8, 4);
  vos_trace_level(2);
  const std::string out = capture.take();
  detail::vos_trace_set_clock(nullptr);
  // Every line twice in a row, the typed one first.
  std::size_t pos = 0;
  int i_pairs = 0;
  while (pos < out.size()) {
    const std::size_t end = out.find('\n', pos);
    ASSERT_NE(end, std::string::npos);
    const std::string line = out.substr(pos, end + 1 - pos);
    EXPECT_LE(line.size(), 1024u);
    EXPECT_EQ(out.substr(end + 1, line.size()), line) << "pair " << i_pairs;
    pos = end + 1 + line.size();
    ++i_pairs;
  }
  EXPECT_EQ(i_pairs, 6) << out;
}

}  // namespace
