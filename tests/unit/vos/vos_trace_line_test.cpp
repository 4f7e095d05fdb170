// Lines put together piece by piece against the formatted lines of the same pieces.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <ctime>
#include <optional>
#include <sstream>
#include <string>

#include "stdout_capture.h"
#include "vos_trace.h"
#include "vos_trace_internal.h"

namespace {

constexpr const char* source_name = "f.c";

std::time_t fixed_clock(std::time_t*) { return 1464957296; }  // 2016-06-03 12:34:56 UTC

// The line without its line number (fourth field), which differs within a pair.
std::string without_line_number(std::string s_line) {
  std::size_t colon = 0;
  for (int i = 0; i < 3; ++i) colon = s_line.find(':', colon) + 1;
  return s_line.erase(colon, s_line.find(':', colon) - colon);
}

// Each line twice, typed then formatted (same prefix, numbers, 1,023-character cut, whole dump
// pairs), alone and in a batch they overflow; a line traced while a typed one is open leaves
// before it, after the lines before it; none leaves when the level hides it.
TEST(vos_trace_line, pieces_equal_their_formatted_twins) {
  detail::vos_trace_set_clock(fixed_clock);
  const std::string big(1100, 'y');
  const std::uint8_t au8[600] = {0x00, 0x2D, 0xAB, 0xFF};
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
  detail::vos_trace_set_clock(nullptr);
}

}  // namespace
