// Trace log: line formats per level, levels, dump, the 1,023-character cut, fatal exit.
#include "vos_trace.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <ctime>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "test_regex.h"
#include "vos_trace_internal.h"

namespace {

using test_support::re_whole_match;
using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStdout;

const std::string stamp = "[0-9]{8}-[0-9]{6}:";

// Restores the default level and the real clock whatever a test did.
class vos_trace : public ::testing::Test {
 protected:
  void TearDown() override {
    vos_trace_level(2);
    detail::vos_trace_set_clock(nullptr);
  }
};

std::time_t fixed_clock(std::time_t* pt) {
  constexpr std::time_t t_fixed = 1464957296;  // 2016-06-03 12:34:56 UTC
  if (pt != nullptr) {
    *pt = t_fixed;
  }
  return t_fixed;
}

TEST_F(vos_trace, each_level_writes_its_own_line_format) {
  CaptureStdout();
  vos_trace_error("vos_queue.c", 127, "BAD POINTER");
  std::string s_out = GetCapturedStdout();
  EXPECT_TRUE(re_whole_match(s_out, stamp + R"(ERROR:vos_queue\.c:127:BAD POINTER)"
                                            "\n"))
      << s_out;

  CaptureStdout();
  vos_trace_warning("../tst/app_main.c", 9, "w%d", 3);
  s_out = GetCapturedStdout();
  EXPECT_TRUE(re_whole_match(s_out, stamp + R"(WARNING:\.\./tst/app_main\.c:9:w3)"
                                            "\n"))
      << s_out;

  int i_obj = 0;
  CaptureStdout();
  vos_trace_info("End of thread=%p", static_cast<void*>(&i_obj));
  s_out = GetCapturedStdout();
  EXPECT_TRUE(re_whole_match(s_out, stamp + R"(INFO:End of thread=0x[0-9a-f]+)"
                                            "\n"))
      << s_out;

  CaptureStdout();
  vos_trace_debug("vos_fs.c", 42, "%s=%u", "size", 17u);
  s_out = GetCapturedStdout();
  EXPECT_TRUE(re_whole_match(s_out, stamp + R"(DEBUG:vos_fs\.c:42:size=17)"
                                            "\n"))
      << s_out;

  const std::uint8_t au8[] = {0x01, 0xAB, 0xFF};
  CaptureStdout();
  vos_trace_dump("vos_mem.c", 5, au8, sizeof au8);
  s_out = GetCapturedStdout();
  EXPECT_TRUE(re_whole_match(s_out, stamp + R"(DUMP:vos_mem\.c:5:01ABFF)"
                                            "\n"))
      << s_out;

  CaptureStdout();
  vos_trace_dump("vos_mem.c", 6, au8, 0);
  s_out = GetCapturedStdout();
  EXPECT_TRUE(re_whole_match(s_out, stamp + R"(DUMP:vos_mem\.c:6:)"
                                            "\n"))
      << s_out;
}

TEST_F(vos_trace, stamp_is_the_utc_date_and_time_of_the_clock) {
  detail::vos_trace_set_clock(&fixed_clock);
  CaptureStdout();
  vos_trace_error("a.c", 1, "x");
  vos_trace_info("y");
  EXPECT_EQ(GetCapturedStdout(), "20160603-123456:ERROR:a.c:1:x\n20160603-123456:INFO:y\n");
}

TEST_F(vos_trace, level_filters_info_debug_and_dump) {
  const std::uint8_t u8 = 0x5A;
  struct expectation {
    std::uint32_t u32_level;
    const char* pc_words;
  };
  for (const auto& e : {expectation{0, "FEW"}, expectation{1, "FEWI"}, expectation{2, "FEWIDU"},
                        expectation{7, "FEWIDU"}}) {
    SCOPED_TRACE(e.u32_level);
    vos_trace_level(e.u32_level);
    CaptureStdout();
    vos_trace_error("f.c", 1, "e");
    vos_trace_warning("f.c", 1, "w");
    vos_trace_info("i");
    vos_trace_debug("f.c", 1, "d");
    vos_trace_dump("f.c", 1, &u8, 1);
    const std::string s_out = GetCapturedStdout();
    // One letter per line that came out: the first letter of its level word (DUMP as U).
    std::string s_words = "F";  // the fatal line is checked apart, it ends the process
    std::istringstream lines(s_out);
    for (std::string s_line; std::getline(lines, s_line);) {
      std::string s_word;
      ASSERT_TRUE(re_whole_match(s_line, stamp + "([A-Z]+):.*", &s_word)) << s_line;
      s_words += s_word == "DUMP" ? 'U' : s_word[0];
    }
    EXPECT_EQ(s_words, e.pc_words);
  }
}

TEST_F(vos_trace, percent_in_the_expanded_message_is_written_as_is) {
  CaptureStdout();
  vos_trace_error("r.c", 3, "received %s", "%s %d %n 100%");
  vos_trace_info("%s", "%%x");
  vos_trace_printf("%s", "50%s");
  const std::string s_out = GetCapturedStdout();
  EXPECT_TRUE(re_whole_match(s_out, stamp +
                                        R"(ERROR:r\.c:3:received %s %d %n 100%)"
                                        "\n" +
                                        stamp + "INFO:%%x\n50%s\n"))
      << s_out;
}

TEST_F(vos_trace, line_is_cut_at_1023_characters_before_the_newline) {
  const std::string s_long(3000, 'x');
  CaptureStdout();
  vos_trace_error("c.c", 8, "%s", s_long.c_str());
  std::string s_out = GetCapturedStdout();
  ASSERT_EQ(s_out.size(), 1024u);
  EXPECT_EQ(s_out.back(), '\n');
  EXPECT_TRUE(re_whole_match(s_out, stamp + "ERROR:c\\.c:8:x+\n"));

  // Just fitting: nothing is lost.
  const std::string s_prefix = "20160603-123456:INFO:";
  const std::string s_fit(1023 - s_prefix.size(), 'y');
  detail::vos_trace_set_clock(&fixed_clock);
  CaptureStdout();
  vos_trace_info("%s", s_fit.c_str());
  EXPECT_EQ(GetCapturedStdout(), s_prefix + s_fit + "\n");

  CaptureStdout();
  vos_trace_printf("%s!", s_long.c_str());
  s_out = GetCapturedStdout();
  EXPECT_EQ(s_out, std::string(1023, 'x') + "\n");
}

TEST_F(vos_trace, dump_shows_only_the_whole_bytes_that_fit) {
  detail::vos_trace_set_clock(&fixed_clock);
  const std::vector<std::uint8_t> data(1000, 0xC3);
  CaptureStdout();
  vos_trace_dump("d.c", 12, data.data(), static_cast<std::uint32_t>(data.size()));
  const std::string s_out = GetCapturedStdout();
  const std::string s_prefix = "20160603-123456:DUMP:d.c:12:";  // 28 characters
  // 1023 - 28 = 995 characters of room: 497 whole bytes.
  std::string s_hex;
  for (int i = 0; i < 497; ++i) {
    s_hex += "C3";
  }
  EXPECT_EQ(s_out, s_prefix + s_hex + "\n");
}

TEST_F(vos_trace, printf_writes_plain_text_and_newline) {
  CaptureStdout();
  vos_trace_printf("Nbpools=%u curmem=%u", 3u, 120u);
  vos_trace_printf("%s", "");
  EXPECT_EQ(GetCapturedStdout(), "Nbpools=3 curmem=120\n\n");
}

TEST_F(vos_trace, treat_msg_writes_the_finished_line_unchanged) {
  CaptureStdout();
  detail::vos_trace_treat_msg("20160603-123456:INFO:%s%n\n", 3);
  EXPECT_EQ(GetCapturedStdout(), "20160603-123456:INFO:%s%n\n");
}

TEST_F(vos_trace, lines_from_threads_never_mix) {
  constexpr int nb_threads = 4;
  constexpr int nb_lines = 200;
  const std::string s_body(300, 'z');
  CaptureStdout();
  std::vector<std::thread> threads;
  for (int i = 0; i < nb_threads; ++i) {
    threads.emplace_back([i, &s_body] {
      for (int j = 0; j < nb_lines; ++j) {
        vos_trace_warning("t.c", i, "%d:%s", j, s_body.c_str());
      }
    });
  }
  for (auto& t : threads) {
    t.join();
  }
  const std::string s_out = GetCapturedStdout();
  std::istringstream lines(s_out);
  const std::string s_re = stamp + "WARNING:t\\.c:[0-3]:[0-9]+:z{300}";
  int nb = 0;
  for (std::string s_line; std::getline(lines, s_line); ++nb) {
    ASSERT_TRUE(re_whole_match(s_line, s_re)) << s_line;
  }
  EXPECT_EQ(nb, nb_threads * nb_lines);
}

TEST(vos_trace_fatal, writes_its_line_and_exits_with_status_1) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        dup2(STDERR_FILENO, STDOUT_FILENO);
        vos_trace_level(0);  // fatal lines print whatever the level
        vos_trace_fatal("vos_task_linux.c", 77, "cannot start %s", "timer");
      },
      ::testing::ExitedWithCode(1),
      R"([0-9]{8}-[0-9]{6}:FATAL:vos_task_linux\.c:77:cannot start timer
)");
}

}  // namespace
