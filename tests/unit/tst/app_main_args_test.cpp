// Command line: how a run ends early, and the refusals before the first request. (The values
// taken and the usage text are compared on the real binary by the end-to-end tests.)
#include "app_main_args.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app_main_dispatch.h"
#include "stdout_capture.h"

namespace {

struct parsed {
  std::variant<app_options, int> result;
  std::string out;
};

parsed parse(std::vector<const char*> args) {
  args.insert(args.begin(), "lanmodem");
  char* buf = nullptr;
  std::size_t len = 0;
  std::FILE* out = open_memstream(&buf, &len);
  auto r = app_parse_args(static_cast<int>(args.size()), args.data(), out);
  std::fclose(out);
  std::string text(buf, len);
  std::free(buf);
  return {r, text};
}

}  // namespace

// Help and missing or over-long values end the run: status and the start of the text (the
// rows the end-to-end command-line runs do not have).
TEST(app_main_args, runs_ended_by_the_command_line) {
  const std::string usage = "Usage: lanmodem -?\n-?: print this help\n";
  const struct {
    std::vector<const char*> args;
    int i_status;
    std::string s_start;
  } rows[] = {
      {{"-w", "5", "-h", "-v"}, 0, usage},
      {{"--help"}, 0, usage},
      {{"-help"}, 0, usage},
      {{"-p", "1", "00112233445566778899AABBCC"},
       -1,
       "param value too long: at most 12 bytes (24 hexadecimal digits)\n"},
      {{"-j", "-w"}, -1, "need seconds\nUsage: lanmodem -?\n"},
      {{"-j", "-m"}, -1, "need serial\nUsage: lanmodem -?\n"},
      {{"-j", "-l"}, -1, "need level\nUsage: lanmodem -?\n"},
  };
  for (const auto& r : rows) {
    const parsed p = parse(r.args);
    SCOPED_TRACE(r.s_start);
    ASSERT_TRUE(std::holds_alternative<int>(p.result));
    EXPECT_EQ(std::get<int>(p.result), r.i_status);
    EXPECT_EQ(p.out.rfind(r.s_start, 0), 0u) << p.out;
    if (r.s_start == usage) {
      EXPECT_TRUE(p.out.ends_with("\n-h, --help : print this help\n")) << p.out;
    }
  }
}

// Refusals come before the first request: these runs send nothing (no modem, no socket).
TEST(app_main_args, dispatch_refusals_and_no_action) {
  const std::string long_path(APP_WORK_BUFFER_SIZE, 'p');
  const std::string long_frame(2 * APP_WORK_BUFFER_SIZE + 2, 'A');
  const struct {
    const char* pc_firmware;
    const char* pc_frame;
    int i_result;
    const char* pc_line;
  } rows[] = {{long_path.c_str(), nullptr, -1, "File path too long"},
              {nullptr, long_frame.c_str(), -1, "Transmit frame too long"},
              {nullptr, nullptr, 0, ":INFO:No action requested"}};
  for (const auto& r : rows) {
    app_options opt{};
    opt.pc_firmware_name = r.pc_firmware;
    opt.pc_tx_frame = r.pc_frame;
    int i_result = 99;
    const std::string out = test_support::captured([&] { i_result = app_main_dispatch(opt, 1); });
    EXPECT_EQ(i_result, r.i_result);
    EXPECT_NE(out.find(r.pc_line), std::string::npos) << out;
  }
}
