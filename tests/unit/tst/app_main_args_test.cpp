#include "app_main_args.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app_main_dispatch.h"
#include "stdout_capture.h"
#include "test_regex.h"

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

const app_options& opts(const parsed& p) {
  static const app_options none{};
  if (!std::holds_alternative<app_options>(p.result)) {
    ADD_FAILURE() << "expected options, got status; output: " << p.out;
    return none;
  }
  return std::get<app_options>(p.result);
}

int status(const parsed& p) {
  if (!std::holds_alternative<int>(p.result)) {
    ADD_FAILURE() << "expected an exit status";
    return 12345;
  }
  return std::get<int>(p.result);
}

}  // namespace

TEST(app_main, every_option_fills_its_values) {
  const parsed p = parse({"-u",    "fw.bin", "-f",   "-r", "16",     "-t",  "1",  "2",  "3",  "4",
                          "5",     "6",      "0A0B", "-d", "ep.bin", "100", "7",  "-c", "-1", "-p",
                          "0x101", "0AFF",   "-g",   "1f", "-s",     "1",   "-n", "10", "5"});
  const app_options& o = opts(p);
  EXPECT_EQ(p.out, "");
  EXPECT_STREQ(o.pc_firmware_name, "fw.bin");
  EXPECT_TRUE(o.b_force_update);
  EXPECT_EQ(o.i32_rx_mode, 16);
  EXPECT_EQ(o.i32_tx_mode, 1);
  EXPECT_EQ(o.i32_tx_channel, 2);
  EXPECT_EQ(o.i32_tx_type, 3);
  EXPECT_EQ(o.i32_tx_power, 4);
  EXPECT_EQ(o.i32_tx_sec, 5);
  EXPECT_EQ(o.i32_tx_msec, 6);
  EXPECT_STREQ(o.pc_tx_frame, "0A0B");
  EXPECT_STREQ(o.pc_ep_file_name, "ep.bin");
  EXPECT_EQ(o.i32_packet_size, 100);
  EXPECT_EQ(o.i32_inter_packet, 7);
  EXPECT_EQ(o.i32_command, -1) << "a value may begin with '-'";
  EXPECT_EQ(o.u32_set_param_id, 0x101u);
  EXPECT_EQ(o.u32_set_param_len, 2u);
  EXPECT_EQ(o.au8_set_param_value[0], 0x0A);
  EXPECT_EQ(o.au8_set_param_value[1], 0xFF);
  EXPECT_EQ(o.u32_get_param_id, 0x1Fu);
  EXPECT_TRUE(o.b_statistics);
  EXPECT_EQ(o.i32_statistics_day, 1);
  EXPECT_EQ(o.i32_noise_duration, 10);
  EXPECT_EQ(o.i32_noise_nb_sample, 5);
}

TEST(app_main, values_read_loosely) {
  const app_options o = opts(parse({"-r", "12ab", "-c", " +7", "-g", "0X1A", "-s", "x"}));
  EXPECT_EQ(o.i32_rx_mode, 12) << "decimal stops at the first non-digit";
  EXPECT_EQ(o.i32_command, 7);
  EXPECT_EQ(o.u32_get_param_id, 0u) << "upper-case 0X is no prefix";
  EXPECT_TRUE(o.b_statistics) << "-s sets the flag whatever its value";
  EXPECT_EQ(o.i32_statistics_day, 0);

  const app_options later = opts(parse({"-c", "1", "-c", "2", "-ffoo"}));
  EXPECT_EQ(later.i32_command, 2) << "later occurrences overwrite";
  EXPECT_TRUE(later.b_force_update) << "characters after the option letter are ignored";
}

// The command-line errors and the usage text are compared on the real binary by the
// end-to-end tests; here the values each option consumes.
TEST(app_main, option_consumes_exactly_its_values) {
  EXPECT_EQ(opts(parse({})).i32_command, -1);
  EXPECT_EQ(opts(parse({"-g", "101", "-f"})).u32_get_param_id, 0x101u);
  const parsed p = parse({"-x", "5", "-f"});
  EXPECT_EQ(p.out, "Unused argument -x\n") << "an unknown option passes over its next argument";
  EXPECT_TRUE(opts(p).b_force_update);
  const app_options odd = opts(parse({"-p", "101", "0AF"}));
  EXPECT_EQ(odd.u32_set_param_len, 1u) << "odd value: last digit ignored";
  const app_options full = opts(parse({"-p", "1", "00112233445566778899AABB"}));
  EXPECT_EQ(full.u32_set_param_len, 12u);
  EXPECT_EQ(full.au8_set_param_value[11], 0xBB);
  struct row {
    std::vector<const char*> args;
    int i_status;
    const char* pc_out_start;
  };
  for (const row& r : {row{{"-?"}, 0, "Usage: lanmodem -?\n-?: print this help\n"},
                       row{{"-f", "-c", "3", "-?", "-v"}, 0, "Usage: lanmodem -?\n"},
                       row{{"-v", "-?"}, -1, "Release : 1.1  ("},
                       row{{"-p", "101"}, -1, "need param value\nUsage: lanmodem -?\n"},
                       row{{"-p", "1", "00112233445566778899AABBCC"},
                           -1,
                           "param value too long: at most 12 bytes (24 hexadecimal digits)\n"}}) {
    const parsed q = parse(r.args);
    EXPECT_EQ(status(q), r.i_status);
    EXPECT_EQ(q.out.rfind(r.pc_out_start, 0), 0u) << q.out;
  }
}

// Refusals come before the first request: these runs send nothing (no modem, no socket).
TEST(app_main, dispatch_refusals_and_no_action) {
  const std::string long_path(APP_WORK_BUFFER_SIZE, 'p');
  const std::string long_frame(2 * APP_WORK_BUFFER_SIZE + 2, 'A');
  app_options opt{};
  struct row {
    const char* pc_firmware;
    const char* pc_frame;
    int i_result;
    const char* pc_line;
  };
  for (const row& r : {row{long_path.c_str(), nullptr, -1, "File path too long"},
                       row{nullptr, long_frame.c_str(), -1, "Transmit frame too long"},
                       row{nullptr, nullptr, 0, ":INFO:No action requested"}}) {
    opt = app_options{};
    opt.pc_firmware_name = r.pc_firmware;
    opt.pc_tx_frame = r.pc_frame;
    int i_result = 99;
    const std::string out = test_support::captured([&] { i_result = app_main_dispatch(opt, 1); });
    EXPECT_EQ(i_result, r.i_result);
    EXPECT_NE(out.find(r.pc_line), std::string::npos) << out;
  }
}

// Options for scripts: -w, -m, -j, -l, -h and --help, with their value edge cases and their
// missing-value errors.
TEST(app_main_args, scripting_options_take_their_values_by_position) {
  struct row {
    const char* name;
    std::vector<const char*> args;
    std::int32_t i32_wait_s;
    std::uint32_t u32_target;
    bool b_json;
    std::int32_t i32_level;
    std::int32_t i32_command;  // shows where parsing went on after the option
  };
  const row rows[] = {
      {"none of them", {}, 0, 0, false, -1, -1},
      {"all of them",
       {"-w", "60", "-m", "1a2b3c4d", "-j", "-l", "1", "-c", "3"},
       60,
       0x1a2b3c4d,
       true,
       1,
       3},
      {"a value may begin with '-'", {"-w", "-5", "-l", "-1", "-c", "4"}, 0, 0, false, -1, 4},
      {"-w 0 and a serial that is not hexadecimal select nothing",
       {"-w", "0", "-m", "xyz", "-c", "5"},
       0,
       0,
       false,
       -1,
       5},
      {"levels above 2 count as 2", {"-l", "9", "-jx", "-c", "6"}, 0, 0, true, 2, 6},
      {"0x prefix, loose decimal",
       {"-m", "0x1A2B", "-w", "12s", "-c", "7"},
       12,
       0x1a2b,
       false,
       -1,
       7},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    const parsed p = parse(r.args);
    ASSERT_TRUE(std::holds_alternative<app_options>(p.result)) << p.out;
    const app_options& o = std::get<app_options>(p.result);
    EXPECT_EQ(p.out, "");
    EXPECT_EQ(o.i32_wait_s, r.i32_wait_s);
    EXPECT_EQ(o.u32_target, r.u32_target);
    EXPECT_EQ(o.b_json, r.b_json);
    EXPECT_EQ(o.i32_level, r.i32_level);
    EXPECT_EQ(o.i32_command, r.i32_command);
  }
}

TEST(app_main_args, help_and_missing_values_end_the_run) {
  const std::string usage_head = "Usage: lanmodem -?\n-?: print this help\n";
  const std::string usage_tail = "-h, --help : print this help\n";
  for (const char* help : {"-h", "--help", "-help"}) {
    SCOPED_TRACE(help);
    const parsed p = parse({"-w", "5", help, "-v"});
    ASSERT_TRUE(std::holds_alternative<int>(p.result));
    EXPECT_EQ(std::get<int>(p.result), 0);
    EXPECT_EQ(p.out.rfind(usage_head, 0), 0u) << p.out;
    EXPECT_EQ(p.out.substr(p.out.size() - usage_tail.size()), usage_tail);
  }
  {
    SCOPED_TRACE("--helpme is not --help");
    const parsed p = parse({"--helpme"});
    EXPECT_EQ(p.out, "Unused argument --helpme\n");
  }
  struct row {
    const char* option;
    const char* need;
  };
  for (const row& r :
       {row{"-w", "need seconds"}, row{"-m", "need serial"}, row{"-l", "need level"}}) {
    SCOPED_TRACE(r.option);
    const parsed p = parse({"-j", r.option});
    ASSERT_TRUE(std::holds_alternative<int>(p.result));
    EXPECT_EQ(std::get<int>(p.result), -1);
    EXPECT_EQ(p.out, std::string(r.need) + "\nUsage: lanmodem -?\n");
  }
}
