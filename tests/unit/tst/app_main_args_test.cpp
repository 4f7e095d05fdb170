// Dispatch of the command line, and the values the parser takes (its texts and the option
// order are compared on the real binary: end-to-end tests).
#include <gtest/gtest.h>

#include <cstdio>
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

namespace {

// The options that differ from their defaults, in a fixed order ("" for none).
std::string described(const app_options& o) {
  std::string s;
  char ac[160];
  const auto add = [&](bool b_set, const char* pc_format, auto... args) {
    if (!b_set) return;
    std::snprintf(ac, sizeof ac, pc_format, args...);
    s += ac;
  };
  // clang-format off
  add(o.pc_firmware_name != nullptr, " u=%s", o.pc_firmware_name);
  add(o.pc_ep_file_name != nullptr, " d=%s,%d,%d", o.pc_ep_file_name, o.i32_packet_size,
      o.i32_inter_packet);
  add(o.i32_rx_mode != 0, " r=%d", o.i32_rx_mode);
  add(o.pc_tx_frame != nullptr, " t=%d,%d,%d,%d,%d,%d,%s", o.i32_tx_mode, o.i32_tx_channel,
      o.i32_tx_type, o.i32_tx_power, o.i32_tx_sec, o.i32_tx_msec, o.pc_tx_frame);
  add(o.i32_command != -1, " c=%d", o.i32_command);
  add(o.u32_set_param_id != 0 || o.u32_set_param_len != 0, " p=%x:", o.u32_set_param_id);
  for (std::uint32_t i = 0; i < o.u32_set_param_len; ++i)
    add(true, "%02x", o.au8_set_param_value[i]);
  add(o.u32_get_param_id != 0, " g=%x", o.u32_get_param_id);
  add(o.b_force_update, " f", 0);
  add(o.b_statistics, " s=%d", o.i32_statistics_day);
  add(o.i32_noise_duration != 0 || o.i32_noise_nb_sample != 0, " n=%d,%d", o.i32_noise_duration,
      o.i32_noise_nb_sample);
  add(o.i32_wait_s != 0, " w=%d", o.i32_wait_s);
  add(o.b_target, " m=%x", o.u32_target);
  add(o.b_json, " j", 0);
  add(o.i32_level != -1, " l=%d", o.i32_level);
  add(o.i32_window_ms != APP_TELEGRAM_WINDOW_DEFAULT, " y=%d", o.i32_window_ms);
  add(o.pc_expected != nullptr, " e=%s", o.pc_expected);
  add(o.pc_replay != nullptr, " i=%s", o.pc_replay);
  add(o.b_decode, " D", 0);
  add(o.pc_keys != nullptr, " a=%s", o.pc_keys);
  // clang-format on
  return s;
}

}  // namespace

// Every option's values: the options collected when the run goes on (1), or the run's end (0,
// -1) and a line of what was printed. -m is hexadecimal; -w, -l and -y are taken whole.
TEST(app_main_args, each_option_takes_its_values_or_ends_the_run) {
  const std::string s_24(24, 'a'), s_26(26, 'a');
  const struct {
    std::vector<const char*> args;
    int i_status;
    std::string s_text;  // options described (status 1), or a piece of the output
  } rows[] = {
      {{"-m", "1a2b3c4e"}, 1, " m=1a2b3c4e"},
      {{"-m", "0X1A2B3C4E"}, 1, " m=1a2b3c4e"},
      {{"-m", "10"}, 1, " m=10"},
      {{"-m", "0x10"}, 1, " m=10"},
      {{"-m", "0"}, 1, " m=0"},
      {{"-m", "a00000O1"}, -1, "Invalid argument -m a00000O1"},
      {{"-m", "11a2b3c4e"}, -1, "Invalid argument -m 11a2b3c4e"},
      {{"-m", "0x"}, -1, "Invalid argument -m 0x"},
      {{"-m", ""}, -1, "Invalid argument -m "},
      {{"-m"}, -1, "need serial"},
      {{"-w", "1"}, 1, " w=1"},
      {{"-w", "2000000", "-l", "0"}, 1, " w=2000000 l=0"},
      {{"-w", ""}, -1, "Invalid argument -w "},
      {{"-w", "abc"}, -1, "Invalid argument -w abc"},
      {{"-w", "-5"}, -1, "Invalid argument -w -5"},
      {{"-w", "0"}, -1, "Invalid argument -w 0"},
      {{"-w", "2000001"}, -1, "Invalid argument -w 2000001"},
      {{"-w", "4294967299"}, -1, "Invalid argument -w 4294967299"},
      {{"-w", "99999999999999999999"}, -1, "Invalid argument -w 99999999999999999999"},
      {{"-l", "3"}, -1, "Invalid argument -l 3"},
      {{"-l", "-1"}, -1, "Invalid argument -l -1"},
      {{"-l", "1x"}, -1, "Invalid argument -l 1x"},
      {{"-l", "01"}, -1, "Invalid argument -l 01"},
      {{"-y", "0"}, 1, " y=0"},
      {{"-y", "60000"}, 1, " y=60000"},
      {{"-y", "60001"}, -1, "Invalid argument -y 60001"},
      {{"-u", "fw.bin"}, 1, " u=fw.bin"},
      {{"-u"}, -1, "need firmware name"},
      {{"-f"}, 1, " f"},
      {{"-r", "16"}, 1, " r=16"},
      {{"-r", "12ab"}, 1, " r=12"},
      {{"-r"}, -1, "need rx mode"},
      {{"-t", "1", "2", "3", "-4", "5", "6", "0A0B"}, 1, " t=1,2,3,-4,5,6,0A0B"},
      {{"-t", "1", "2", "3", "4", "5", "6"}, -1, "need mode channel type power sec msec tx_frame"},
      {{"-d", "ep.bin", "100", "5"}, 1, " d=ep.bin,100,5"},
      {{"-d", "ep.bin", "100"}, -1, "need interpacket"},
      {{"-d", "ep.bin"}, -1, "need packetsize"},
      {{"-d"}, -1, "need file name"},
      {{"-c", "7"}, 1, " c=7"},
      {{"-c", "-1"}, 1, ""},
      {{"-c"}, -1, "need command"},
      {{"-p", "101", "0AFF"}, 1, " p=101:0aff"},
      {{"-p", "1", s_24.c_str()}, 1, " p=1:aaaaaaaaaaaaaaaaaaaaaaaa"},
      {{"-p", "1", s_26.c_str()}, -1, "param value too long: at most 12 bytes"},
      {{"-p", "101"}, -1, "need param value"},
      {{"-p"}, -1, "need param id"},
      {{"-g", "101"}, 1, " g=101"},
      {{"-g", "0x1A"}, 1, " g=1a"},
      {{"-g", "10g"}, 1, ""},
      {{"-g"}, -1, "need param id"},
      {{"-s", "1"}, 1, " s=1"},
      {{"-s"}, -1, "need mode"},
      {{"-n", "2", "5"}, 1, " n=2,5"},
      {{"-n", "2"}, -1, "need nb_sample"},
      {{"-j"}, 1, " j"},
      {{"-e", "exp.txt", "-w", "5"}, 1, " w=5 e=exp.txt"},
      {{"-e", "exp.txt"}, -1, "need -w or -i with -e"},
      {{"-i", "-", "-e", "exp.txt"}, 1, " j e=exp.txt i=-"},
      {{"-i"}, -1, "need recording file"},
      {{"-D", "-j"}, 1, " j D"},
      {{"-a", "k.txt", "-j"}, 1, " j D a=k.txt"},
      {{"-i", "rec.json", "-a", "k.txt"}, 1, " j i=rec.json D a=k.txt"},
      {{"-D", "-w", "5"}, -1, "need -j or -i with -D or -a"},
      {{"-a", "k.txt"}, -1, "need -j or -i with -D or -a"},
      {{"-j", "-a"}, -1, "need keys file"},
      {{"-x", "5", "-f"}, 1, " f"},
      {{"-f", "stray"}, -1, "Invalid argument stray"},
      {{"--version"}, -1, "Release : "},
      {{"-v"}, -1, "Release : "},
      {{"-?"}, 0, "-m serial : act on the modem"},
      {{"--help"}, 0, "Usage: lanmodem -?"},
  };
  for (const auto& r : rows) {
    std::vector<const char*> argv{"lanmodem"};
    argv.insert(argv.end(), r.args.begin(), r.args.end());
    std::string s_args;
    for (const char* pc : r.args) s_args += std::string(" ") + pc;
    SCOPED_TRACE(s_args);
    std::variant<app_options, int> parsed;
    const std::string s_out = test_support::captured(
        [&] { parsed = app_parse_args(static_cast<int>(argv.size()), argv.data(), stdout); });
    if (r.i_status != 1) {
      ASSERT_TRUE(std::holds_alternative<int>(parsed));
      EXPECT_EQ(std::get<int>(parsed), r.i_status);
      EXPECT_NE(s_out.find(r.s_text), std::string::npos) << s_out;
      continue;
    }
    ASSERT_TRUE(std::holds_alternative<app_options>(parsed)) << s_out;
    EXPECT_EQ(described(std::get<app_options>(parsed)), r.s_text);
    EXPECT_EQ(s_out.empty(), r.args[0] != std::string_view{"-x"}) << s_out;
  }
}
