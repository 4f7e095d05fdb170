// Dispatch of the command line, and the values the parser takes (its texts and the option
// order are compared on the real binary: end-to-end tests).
#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "app_main_dispatch.h"
#include "stdout_capture.h"

// Refusals come before the first request: these runs send nothing (no modem, no socket).
TEST(app_main_args, dispatch_refusals_and_no_action) {
  const std::string long_path(APP_WORK_BUFFER_SIZE, 'p');
  const std::string long_frame(2 * APP_WORK_BUFFER_SIZE + 2, 'A');
  const struct {
    app_action e_action;
    const char* pc_firmware;
    const char* pc_frame;
    int i_result;
    const char* pc_line;
  } rows[] = {{app_action::upgrade, long_path.c_str(), nullptr, -1, "File path too long"},
              {app_action::transmit, nullptr, long_frame.c_str(), -1, "Transmit frame too long"},
              {app_action::monitor, nullptr, nullptr, 0, ":INFO:No action requested"}};
  for (const auto& r : rows) {
    app_options opt{};
    opt.e_action = r.e_action;
    opt.pc_firmware_name = r.pc_firmware;
    opt.pc_tx_frame = r.pc_frame;
    int i_result = 99;
    const std::string out = test_support::captured([&] { i_result = app_main_dispatch(opt, 1); });
    EXPECT_EQ(i_result, r.i_result);
    EXPECT_NE(out.find(r.pc_line), std::string::npos) << out;
  }
}

// One action a run: the first selected of -u -d -r -t -c -p -g -f -s -n, a value that selects
// nothing leaving its option out; its name and what completes it.
TEST(app_main_args, action_selected_named_and_completed) {
  using a = app_action;
  using c = app_completion;
  const struct {
    std::vector<const char*> args;
    app_action e_action;
    const char* pc_name;
    app_completion e_completion;
  } rows[] = {
      {{}, a::monitor, "monitor", c::none},
      {{"-u", "fw"}, a::upgrade, "upgrade", c::firmware},
      {{"-d", "f", "1", "1"}, a::download, "download", c::none},
      {{"-r", "16"}, a::rx_mode, "rx_mode", c::none},
      {{"-t", "1", "2", "3", "4", "5", "6", "AA"}, a::transmit, "transmit", c::none},
      {{"-c", "0"}, a::command, "command", c::none},
      {{"-p", "101", "0AFF"}, a::set_param, "set_param", c::none},
      {{"-g", "101"}, a::get_param, "get_param", c::parameter},
      {{"-f"}, a::force_update, "force_update", c::none},
      {{"-s", "1"}, a::statistics, "statistics", c::statistics},
      {{"-n", "2", "5"}, a::noise, "noise", c::noise},
      {{"-r", "0"}, a::monitor, "monitor", c::none},
      {{"-c", "-1"}, a::monitor, "monitor", c::none},
      {{"-p", "0", "0AFF"}, a::monitor, "monitor", c::none},
      {{"-g", "0"}, a::monitor, "monitor", c::none},
      {{"-n", "0", "5"}, a::monitor, "monitor", c::none},
      {{"-n", "2", "0"}, a::monitor, "monitor", c::none},
      {{"-n", "2", "5", "-s", "0", "-u", "fw"}, a::upgrade, "upgrade", c::firmware},
      {{"-g", "101", "-r", "16", "-d", "f", "1", "1"}, a::download, "download", c::none},
      {{"-s", "0", "-f", "-g", "0", "-c", "-1"}, a::force_update, "force_update", c::none},
      {{"-r", "16", "-r", "0", "-p", "1", "02"}, a::set_param, "set_param", c::none},
  };
  for (const auto& r : rows) {
    std::vector<const char*> argv{"lanmodem"};
    argv.insert(argv.end(), r.args.begin(), r.args.end());
    const auto parsed = app_parse_args(static_cast<int>(argv.size()), argv.data(), stdout);
    ASSERT_TRUE(std::holds_alternative<app_options>(parsed)) << r.pc_name;
    const app_action e_action = std::get<app_options>(parsed).e_action;
    EXPECT_EQ(e_action, r.e_action) << r.pc_name << " " << argv.size();
    EXPECT_STREQ(app_action_of(e_action).pc_name, r.pc_name);
    EXPECT_EQ(app_action_of(e_action).e_completion, r.e_completion) << r.pc_name;
  }
}

// -m, -w and -l take their whole value or refuse it; --version is -v.
TEST(app_main_args, values_taken_whole_or_refused) {
  const struct {
    std::vector<const char*> args;
    int i_status;              // the run's end, or 1 when it goes on
    std::uint32_t u32_target;  // with b_target, when it goes on
    std::int32_t i32_wait;
    std::int32_t i32_level;
  } rows[] = {
      {{"-m", "1a2b3c4e"}, 1, 0x1a2b3c4e, 0, -1},
      {{"-m", "0X1A2B3C4E"}, 1, 0x1a2b3c4e, 0, -1},
      {{"-m", "0x0"}, 1, 0, 0, -1},
      {{"-m", "0"}, 1, 0, 0, -1},
      {{"-m", "a00000O1"}, -1, 0, 0, 0},
      {{"-m", "1a2b3c4e-typo"}, -1, 0, 0, 0},
      {{"-m", "11a2b3c4e"}, -1, 0, 0, 0},
      {{"-m", "0x"}, -1, 0, 0, 0},
      {{"-m", ""}, -1, 0, 0, 0},
      {{"-m", "-1"}, -1, 0, 0, 0},
      {{"-w", "1"}, 1, 0, 1, -1},
      {{"-w", "2000000", "-l", "0"}, 1, 0, 2'000'000, 0},
      {{"-w", ""}, -1, 0, 0, 0},
      {{"-w", "abc"}, -1, 0, 0, 0},
      {{"-w", "-5"}, -1, 0, 0, 0},
      {{"-w", "0"}, -1, 0, 0, 0},
      {{"-w", "2000001"}, -1, 0, 0, 0},
      {{"-w", "2147483648"}, -1, 0, 0, 0},
      {{"-w", "4294967299"}, -1, 0, 0, 0},
      {{"-w", "99999999999999999999"}, -1, 0, 0, 0},
      {{"-w", "5s"}, -1, 0, 0, 0},
      {{"-l", "2"}, 1, 0, 0, 2},
      {{"-l", "3"}, -1, 0, 0, 0},
      {{"-l", "-1"}, -1, 0, 0, 0},
      {{"-l", "1x"}, -1, 0, 0, 0},
      {{"--version"}, -1, 0, 0, 0},
  };
  for (const auto& r : rows) {
    std::vector<const char*> argv{"lanmodem"};
    argv.insert(argv.end(), r.args.begin(), r.args.end());
    std::string s_out;
    std::variant<app_options, int> parsed;
    s_out = test_support::captured(
        [&] { parsed = app_parse_args(static_cast<int>(argv.size()), argv.data(), stdout); });
    const std::string s_args = r.args[0] + std::string(" ") + (r.args.size() > 1 ? r.args[1] : "");
    if (r.i_status != 1) {
      ASSERT_TRUE(std::holds_alternative<int>(parsed)) << s_args;
      EXPECT_EQ(std::get<int>(parsed), r.i_status) << s_args;
      const bool b_version = std::string_view{r.args[0]} == "--version";
      EXPECT_NE(s_out.find(b_version ? "Release : " : "Invalid argument " + s_args),
                std::string::npos)
          << s_args << ": " << s_out;
      continue;
    }
    ASSERT_TRUE(std::holds_alternative<app_options>(parsed)) << s_args << ": " << s_out;
    const app_options& opt = std::get<app_options>(parsed);
    EXPECT_EQ(opt.b_target, std::string_view{r.args[0]} == "-m") << s_args;
    EXPECT_EQ(opt.u32_target, r.u32_target) << s_args;
    EXPECT_EQ(opt.i32_wait_s, r.i32_wait) << s_args;
    EXPECT_EQ(opt.i32_level, r.i32_level) << s_args;
  }
}

// -D and -a need the events (-j, or -i which implies it); -a implies -D, wherever -j comes.
TEST(app_main_args, decoding_needs_the_events) {
  const struct {
    std::vector<const char*> args;
    bool b_goes_on;
    const char* pc_keys;
  } rows[] = {
      {{"-D", "-j"}, true, nullptr},
      {{"-a", "k.txt", "-j"}, true, "k.txt"},
      {{"-i", "rec.json", "-a", "k.txt"}, true, "k.txt"},
      {{"-D", "-w", "5"}, false, nullptr},
      {{"-a", "k.txt"}, false, nullptr},
      {{"-j", "-a"}, false, nullptr},
  };
  for (const auto& r : rows) {
    std::vector<const char*> argv{"lanmodem"};
    argv.insert(argv.end(), r.args.begin(), r.args.end());
    std::variant<app_options, int> parsed;
    const std::string s_out = test_support::captured(
        [&] { parsed = app_parse_args(static_cast<int>(argv.size()), argv.data(), stdout); });
    ASSERT_EQ(std::holds_alternative<app_options>(parsed), r.b_goes_on) << r.args[0] << s_out;
    if (!r.b_goes_on) {
      EXPECT_EQ(std::get<int>(parsed), -1);
      continue;
    }
    const app_options& opt = std::get<app_options>(parsed);
    EXPECT_TRUE(opt.b_decode);
    EXPECT_STREQ(opt.pc_keys == nullptr ? "" : opt.pc_keys, r.pc_keys == nullptr ? "" : r.pc_keys);
  }
}
