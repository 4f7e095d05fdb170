// Command line: the values each option takes, how loosely they are read, and how a run ends
// early. (The usage text and the errors are compared on the real binary by the end-to-end tests.)
#include "app_main_args.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <set>
#include <sstream>
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

std::set<std::string> words(const std::string& s) {
  std::istringstream in(s);
  return {std::istream_iterator<std::string>(in), std::istream_iterator<std::string>()};
}

// Every collected value as "name=value" words, for rows to name the ones they look at.
std::string show(const app_options& o) {
  const auto s = [](const char* pc) { return pc ? pc : "-"; };
  std::string value;
  char ac[512];
  for (std::uint32_t i = 0; i < o.u32_set_param_len; ++i) {
    std::snprintf(ac, sizeof ac, "%02x", o.au8_set_param_value[i]);
    value += ac;
  }
  std::snprintf(
      ac, sizeof ac,
      " u=%s d=%s,%d,%d r=%d t=%d,%d,%d,%d,%d,%d,%s c=%d p=%x:%s g=%x f=%d s=%d,%d n=%d,%d "
      "w=%d m=%x j=%d l=%d ",
      s(o.pc_firmware_name), s(o.pc_ep_file_name), o.i32_packet_size, o.i32_inter_packet,
      o.i32_rx_mode, o.i32_tx_mode, o.i32_tx_channel, o.i32_tx_type, o.i32_tx_power, o.i32_tx_sec,
      o.i32_tx_msec, s(o.pc_tx_frame), o.i32_command, o.u32_set_param_id, value.c_str(),
      o.u32_get_param_id, o.b_force_update, o.b_statistics, o.i32_statistics_day,
      o.i32_noise_duration, o.i32_noise_nb_sample, o.i32_wait_s, o.u32_target, o.b_json,
      o.i32_level);
  return ac;
}

}  // namespace

TEST(app_main_args, values_taken_by_each_option) {
  struct row {
    std::vector<const char*> args;
    const char* pc_items;  // items of show() expected, in any order
    const char* pc_out = "";
  };
  const row rows[] = {
      {{"-u",    "fw.bin", "-f",   "-r", "16",     "-t",  "1",  "2",  "3",  "4",
        "5",     "6",      "0A0B", "-d", "ep.bin", "100", "7",  "-c", "-1", "-p",
        "0x101", "0AFF",   "-g",   "1f", "-s",     "1",   "-n", "10", "5"},
       "u=fw.bin d=ep.bin,100,7 r=16 t=1,2,3,4,5,6,0A0B c=-1 p=101:0aff g=1f f=1 s=1,1 n=10,5"},
      {{}, "u=- d=-,0,0 r=0 t=0,0,0,0,0,0,- c=-1 p=0: g=0 f=0 s=0,0 n=0,0 w=0 m=0 j=0 l=-1"},
      // Decimal stops at the first non-digit; upper-case 0X is no prefix; -s takes any value.
      {{"-r", "12ab", "-c", " +7", "-g", "0X1A", "-s", "x"}, "r=12 c=7 g=0 s=1,0"},
      // Later occurrences overwrite; characters after the option letter are ignored.
      {{"-c", "1", "-c", "2", "-ffoo"}, "c=2 f=1"},
      {{"-g", "101", "-f"}, "g=101 f=1"},
      {{"-x", "5", "-f"}, "f=1 c=-1", "Unused argument -x\n"},  // passes over the next argument
      {{"--helpme"}, "f=0", "Unused argument --helpme\n"},
      {{"-p", "101", "0AF"}, "p=101:0a"},  // odd value: last digit ignored
      {{"-p", "1", "00112233445566778899AABB"}, "p=1:00112233445566778899aabb"},
      {{"-w", "60", "-m", "1a2b3c4d", "-j", "-l", "1", "-c", "3"}, "w=60 m=1a2b3c4d j=1 l=1 c=3"},
      {{"-w", "-5", "-l", "-1", "-c", "4"}, "w=0 m=0 j=0 l=-1 c=4"},
      {{"-w", "0", "-m", "xyz", "-c", "5"}, "w=0 m=0 c=5"},
      {{"-l", "9", "-jx", "-c", "6"}, "j=1 l=2 c=6"},  // levels above 2 count as 2
      {{"-m", "0x1A2B", "-w", "12s", "-c", "7"}, "w=12 m=1a2b c=7"},
  };
  for (const row& r : rows) {
    const parsed p = parse(r.args);
    SCOPED_TRACE(r.pc_items);
    ASSERT_TRUE(std::holds_alternative<app_options>(p.result)) << p.out;
    EXPECT_EQ(p.out, r.pc_out);
    const std::string got = show(std::get<app_options>(p.result));
    const std::set<std::string> have = words(got), want = words(r.pc_items);
    EXPECT_TRUE(std::includes(have.begin(), have.end(), want.begin(), want.end())) << got;
  }
}

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
