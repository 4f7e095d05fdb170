#include "app_main_args.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>
#include <vector>

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

// Runs the real binary; returns its exit status and standard output.
std::pair<int, std::string> run_tool(const std::string& args) {
  const std::string cmd = std::string(LANMODEM_BIN) + " " + args;
  std::FILE* p = popen(cmd.c_str(), "r");
  if (p == nullptr) return {-1, ""};
  std::string out;
  char buf[512];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  const int st = pclose(p);
  return {WIFEXITED(st) ? WEXITSTATUS(st) : -1, out};
}

const char* const usage_text =
    "Usage: lanmodem -?\n"
    "-?: print this help\n"
    "-u firmware_name: upgrade modem firmware\n"
    "-f : force firmware update flag\n"
    "-r rx_mode( ex : 16 for N2_2400 )\n"
    "-t tx_frame  : mode channel type power sec msec tx_frame\n"
    "-d filename packetsize interpacket: send endpoint upgrade file with inter-packet in "
    "20msec\n"
    "-c command : request command\n"
    "-p param_id param_value : set parameter (hex for id and value). Ex : -p 101 0AFF to set "
    "0x0AFF in param 0x101\n"
    "-g param_id  : get parameter (hex for id). Ex : -g 101 to get param 0x101\n"
    "-s yesterday: request modem statistics 0: today, 1 : yesterday\n"
    "-n duration nb_sample: request noise with duration in seconds and nb_sample\n"
    "-v : display tools version\n"
    "-w seconds : bounded run: ends within seconds, the outcome in the exit status\n"
    "-m serial : act on the modem with this serial number (hex) instead of the first one\n"
    "-j : events as JSON lines on standard output, the trace on standard error\n"
    "-l level : trace level 0: warnings and errors, 1: and information, 2: everything\n"
    "-h, --help : print this help\n";

}  // namespace

TEST(app_main, no_argument_gives_initial_values) {
  const parsed p = parse({});
  const app_options& o = opts(p);
  EXPECT_EQ(p.out, "");
  EXPECT_EQ(o.pc_firmware_name, nullptr);
  EXPECT_EQ(o.i32_command, -1);
  EXPECT_EQ(o.i32_rx_mode, 0);
  EXPECT_FALSE(o.b_force_update);
  EXPECT_FALSE(o.b_statistics);
  EXPECT_EQ(o.u32_set_param_len, 0u);
}

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

TEST(app_main, option_consumes_exactly_its_values) {
  {
    SCOPED_TRACE("-g 101 -f: both parsed");
    const app_options o = opts(parse({"-g", "101", "-f"}));
    EXPECT_EQ(o.u32_get_param_id, 0x101u);
    EXPECT_TRUE(o.b_force_update);
  }
  {
    SCOPED_TRACE("-x 5 -f: unknown option passes over its next argument");
    const parsed p = parse({"-x", "5", "-f"});
    EXPECT_EQ(p.out, "Unused argument -x\n");
    EXPECT_TRUE(opts(p).b_force_update);
  }
  {
    SCOPED_TRACE("-x alone: reported, run goes on");
    const parsed p = parse({"-x"});
    EXPECT_EQ(p.out, "Unused argument -x\n");
    EXPECT_FALSE(opts(p).b_force_update);
  }
  {
    SCOPED_TRACE("odd set-parameter value: last digit ignored");
    const app_options o = opts(parse({"-p", "101", "0AF"}));
    EXPECT_EQ(o.u32_set_param_len, 1u);
    EXPECT_EQ(o.au8_set_param_value[0], 0x0A);
  }
  {
    SCOPED_TRACE("24 digits fit exactly");
    const app_options o = opts(parse({"-p", "1", "00112233445566778899AABB"}));
    EXPECT_EQ(o.u32_set_param_len, 12u);
    EXPECT_EQ(o.au8_set_param_value[11], 0xBB);
  }
}

TEST(app_main, usage_and_version) {
  {
    const parsed p = parse({"-?"});
    EXPECT_EQ(status(p), 0);
    EXPECT_EQ(p.out, usage_text);
  }
  {
    SCOPED_TRACE("-? ends at once, whatever came before it");
    const parsed p = parse({"-f", "-c", "3", "-?", "-v"});
    EXPECT_EQ(status(p), 0);
    EXPECT_EQ(p.out, usage_text);
  }
  {
    const parsed p = parse({"-v", "-?"});
    EXPECT_EQ(status(p), -1);
    // The compiler's date and time: "Jun  3 2016" and "13:58:52".
    EXPECT_TRUE(test_support::re_whole_match(p.out,
                                             "Release : 1\\.1  \\([A-Z][a-z]{2} [ 1-3][0-9] "
                                             "[0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2}\\)\n"))
        << p.out;
  }
}

TEST(app_main, malformed_command_lines) {
  struct row {
    std::vector<const char*> args;
    const char* out;
  };
  const row rows[] = {
      {{"foo"}, "Invalid argument foo\nUsage: lanmodem -?\n"},
      {{"-f", "foo"}, "Invalid argument foo\nUsage: lanmodem -?\n"},
      {{"-u"}, "need firmware name\nUsage: lanmodem -?\n"},
      {{"-d"}, "need file name\nUsage: lanmodem -?\n"},
      {{"-n"}, "need file name\nUsage: lanmodem -?\n"},
      {{"-r"}, "need rx mode\nUsage: lanmodem -?\n"},
      {{"-c"}, "need command\nUsage: lanmodem -?\n"},
      {{"-s"}, "need mode\nUsage: lanmodem -?\n"},
      // Values the tool must not read past the end of the arguments for.
      {{"-g"}, "need param id\nUsage: lanmodem -?\n"},
      {{"-p"}, "need param id\nUsage: lanmodem -?\n"},
      {{"-p", "101"}, "need param value\nUsage: lanmodem -?\n"},
      {{"-d", "f"}, "need packetsize\nUsage: lanmodem -?\n"},
      {{"-d", "f", "100"}, "need interpacket\nUsage: lanmodem -?\n"},
      {{"-n", "10"}, "need nb_sample\nUsage: lanmodem -?\n"},
      {{"-t", "1", "2", "3", "4", "5", "6"},
       "need mode channel type power sec msec tx_frame\nUsage: lanmodem -?\n"},
      {{"-p", "1", "00112233445566778899AABBCC"},
       "param value too long: at most 12 bytes (24 hexadecimal digits)\nUsage: lanmodem -?\n"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.out);
    const parsed p = parse(r.args);
    EXPECT_EQ(status(p), -1);
    EXPECT_EQ(p.out, r.out);
  }
}

TEST(app_main, binary_exit_statuses) {
  {
    const auto [st, out] = run_tool("-?");
    EXPECT_EQ(st, 0);
    EXPECT_NE(out.find("-v : display tools version\n"), std::string::npos);
  }
  {
    const auto [st, out] = run_tool("-v");
    EXPECT_EQ(st, 255);
    EXPECT_EQ(out.rfind("Release : 1.1  (", 0), 0u) << out;
  }
  for (const char* args :
       {"foo", "-f foo", "-u", "-c", "-g", "-p 1 0011223344556677889900112233"}) {
    SCOPED_TRACE(args);
    const auto [st, out] = run_tool(args);
    EXPECT_EQ(st, 255);
    EXPECT_NE(out.find("Usage: "), std::string::npos) << out;
  }
}
