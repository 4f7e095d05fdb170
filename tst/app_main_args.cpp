// Command line parsing. Texts on the output are printed plainly (no trace line): they are what
// a user reads when calling the tool by hand or from a script.
#include "app_main_args.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <optional>
#include <string_view>

#include "vos_util_hexa.h"

const char ac_app_version[] = "1.1";

namespace {

constexpr const char* usage_lines[] = {
    "-?: print this help",
    "-u firmware_name: upgrade modem firmware",
    "-f : force firmware update flag",
    "-r rx_mode( ex : 16 for N2_2400 )",
    "-t tx_frame  : mode channel type power sec msec tx_frame",
    "-d filename packetsize interpacket: send endpoint upgrade file with inter-packet in 20msec",
    "-c command : request command",
    "-p param_id param_value : set parameter (hex for id and value). Ex : -p 101 0AFF to set "
    "0x0AFF in param 0x101",
    "-g param_id  : get parameter (hex for id). Ex : -g 101 to get param 0x101",
    "-s yesterday: request modem statistics 0: today, 1 : yesterday",
    "-n duration nb_sample: request noise with duration in seconds and nb_sample",
    "-v, --version : display tools version",
    "-w seconds : bounded run (1 to 2000000): ends within seconds, the outcome in the exit status",
    "-m serial : act on the modem with this serial number (1 to 8 hex digits) instead of the first "
    "one",
    "-j : events as JSON lines on standard output, the trace on standard error",
    "-l level : trace level 0: warnings and errors, 1: and information, 2: everything",
    "-y ms : telegram window: copies of a frame within ms form one telegram (0 to 60000, "
    "default 2000)",
    "-e file : survey: the meters expected, one MAN,ID[,min_rssi_dbm[,min_receivers]] a line "
    "(with -w or -i)",
    "-i file : replay recorded frames (JSON lines of -j, or hexadecimal lines; - for standard "
    "input) instead of the LAN",
    "-D : decode the meters' data (transport layer, decryption, data records) in the frame and "
    "telegram events (with -j or -i)",
    "-a file : the meters' keys, one MAN,ID,KEY a line, readable by its owner only (implies -D)",
    "-h, --help : print this help",
};

void put_line(std::FILE* out, const char* text) {
  std::fputs(text, out);
  std::fputc('\n', out);
}

// Decimal as the tool has always read it: strtol without an end pointer, 0 when nothing parses.
std::int32_t decimal(const char* text) {
  return static_cast<std::int32_t>(std::strtol(text, nullptr, 10));
}

// Hexadecimal over the whole text.
std::uint32_t hexadecimal(const char* text) {
  return vos_hexa_to_i(text, static_cast<std::uint16_t>(std::strlen(text)));
}

// A serial number: 1 to 8 hexadecimal digits, 0x or 0X before them allowed, nothing else.
std::optional<std::uint32_t> serial(std::string_view text) {
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    text.remove_prefix(2);
  }
  std::uint32_t u32_value = 0;
  if (text.empty() || text.size() > 8) return std::nullopt;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), u32_value, 16);
  if (ec != std::errc{} || end != text.data() + text.size()) return std::nullopt;
  return u32_value;
}

// A decimal number from @p i32_min to @p i32_max, digits only.
std::optional<std::int32_t> bounded_decimal(std::string_view text, std::int32_t i32_min,
                                            std::int32_t i32_max) {
  if (text.empty() || text.size() > 10 ||
      !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return std::nullopt;
  }
  std::int64_t i64_value = 0;
  std::from_chars(text.data(), text.data() + text.size(), i64_value, 10);
  if (i64_value < i32_min || i64_value > i32_max) return std::nullopt;
  return static_cast<std::int32_t>(i64_value);
}

// The action the collected options select: the first in the order of app_action.
app_action selected_action(const app_options& o) {
  const bool selected[] = {o.pc_firmware_name != nullptr,
                           o.pc_ep_file_name != nullptr,
                           o.i32_rx_mode != 0,
                           o.pc_tx_frame != nullptr,
                           o.i32_command != -1,
                           o.u32_set_param_id != 0,
                           o.u32_get_param_id != 0,
                           o.b_force_update,
                           o.b_statistics,
                           o.i32_noise_duration != 0 && o.i32_noise_nb_sample != 0};
  const auto* it = std::find(std::begin(selected), std::end(selected), true);
  if (it == std::end(selected)) return app_action::monitor;
  return static_cast<app_action>(1 + (it - std::begin(selected)));
}

class parser {
 public:
  parser(int argc, const char* const* argv, std::FILE* out)
      : argc_(argc), argv_(argv), out_(out), prog_(argc > 0 && argv[0] ? argv[0] : "lanmodem") {}

  std::variant<app_options, int> run() {
    int i = 1;
    while (i < argc_) {
      const char* arg = argv_[i];
      if (arg[0] != '-') {
        std::fprintf(out_, "Invalid argument %s\n", arg);
        return usage_error();
      }
      // Values of the option are the arguments after it, taken by position.
      const int nb_values = argc_ - i - 1;
      const char* const* v = argv_ + i + 1;
      if (std::string_view{arg} == "--help") return usage();
      if (std::string_view{arg} == "--version") return version();
      switch (arg[1]) {
        case '?':
        case 'h':
          return usage();
        case 'u':
          if (nb_values < 1) return need("need firmware name");
          opts_.pc_firmware_name = v[0];
          i += 2;
          break;
        case 'f':
          opts_.b_force_update = true;
          i += 1;
          break;
        case 'r':
          if (nb_values < 1) return need("need rx mode");
          opts_.i32_rx_mode = decimal(v[0]);
          i += 2;
          break;
        case 't':
          if (nb_values < 7) return need("need mode channel type power sec msec tx_frame");
          opts_.i32_tx_mode = decimal(v[0]);
          opts_.i32_tx_channel = decimal(v[1]);
          opts_.i32_tx_type = decimal(v[2]);
          opts_.i32_tx_power = decimal(v[3]);
          opts_.i32_tx_sec = decimal(v[4]);
          opts_.i32_tx_msec = decimal(v[5]);
          opts_.pc_tx_frame = v[6];
          i += 8;
          break;
        case 'd':
          if (nb_values < 1) return need("need file name");
          if (nb_values < 2) return need("need packetsize");
          if (nb_values < 3) return need("need interpacket");
          opts_.pc_ep_file_name = v[0];
          opts_.i32_packet_size = decimal(v[1]);
          opts_.i32_inter_packet = decimal(v[2]);
          i += 4;
          break;
        case 'c':
          if (nb_values < 1) return need("need command");
          opts_.i32_command = decimal(v[0]);
          i += 2;
          break;
        case 'p': {
          if (nb_values < 1) return need("need param id");
          if (nb_values < 2) return need("need param value");
          const std::size_t nb_bytes = std::strlen(v[1]) / 2;
          if (nb_bytes > APP_PARAM_VALUE_MAX)
            return need("param value too long: at most 12 bytes (24 hexadecimal digits)");
          opts_.u32_set_param_id = hexadecimal(v[0]);
          opts_.au8_set_param_value = {};
          vos_hexa_to_ibuf(opts_.au8_set_param_value.data(), v[1]);
          opts_.u32_set_param_len = static_cast<std::uint32_t>(nb_bytes);
          i += 3;
          break;
        }
        case 'g':
          if (nb_values < 1) return need("need param id");
          opts_.u32_get_param_id = hexadecimal(v[0]);
          i += 2;
          break;
        case 's':
          if (nb_values < 1) return need("need mode");
          opts_.b_statistics = true;
          opts_.i32_statistics_day = decimal(v[0]);
          i += 2;
          break;
        case 'n':
          if (nb_values < 1) return need("need file name");
          if (nb_values < 2) return need("need nb_sample");
          opts_.i32_noise_duration = decimal(v[0]);
          opts_.i32_noise_nb_sample = decimal(v[1]);
          i += 3;
          break;
        case 'w': {
          if (nb_values < 1) return need("need seconds");
          const auto seconds = bounded_decimal(v[0], 1, APP_WAIT_MAX_S);
          if (!seconds) return invalid(arg, v[0]);
          opts_.i32_wait_s = *seconds;
          i += 2;
          break;
        }
        case 'm': {
          if (nb_values < 1) return need("need serial");
          const auto target = serial(v[0]);
          if (!target) return invalid(arg, v[0]);
          opts_.b_target = true;
          opts_.u32_target = *target;
          i += 2;
          break;
        }
        case 'j':
          opts_.b_json = true;
          i += 1;
          break;
        case 'l': {
          if (nb_values < 1) return need("need level");
          const auto level = bounded_decimal(v[0], 0, 2);
          if (!level || std::strlen(v[0]) != 1) return invalid(arg, v[0]);
          opts_.i32_level = *level;
          i += 2;
          break;
        }
        case 'y': {
          if (nb_values < 1) return need("need window");
          const auto window = bounded_decimal(v[0], 0, APP_TELEGRAM_WINDOW_MAX);
          if (!window) return invalid(arg, v[0]);
          opts_.i32_window_ms = *window;
          i += 2;
          break;
        }
        case 'e':
          if (nb_values < 1) return need("need expected meters file");
          opts_.pc_expected = v[0];
          i += 2;
          break;
        case 'i':
          if (nb_values < 1) return need("need recording file");
          opts_.pc_replay = v[0];
          opts_.b_json = true;
          i += 2;
          break;
        case 'D':
          opts_.b_decode = true;
          i += 1;
          break;
        case 'a':
          if (nb_values < 1) return need("need keys file");
          opts_.pc_keys = v[0];
          opts_.b_decode = true;
          i += 2;
          break;
        case 'v':
          return version();
        default:
          // Unknown option: it and the argument after it are passed over.
          std::fprintf(out_, "Unused argument %s\n", arg);
          i += 2;
          break;
      }
    }
    if (opts_.pc_expected != nullptr && opts_.i32_wait_s == 0 && opts_.pc_replay == nullptr) {
      return need("need -w or -i with -e");
    }
    if (opts_.b_decode && !opts_.b_json) return need("need -j or -i with -D or -a");
    opts_.e_action = selected_action(opts_);
    return opts_;
  }

 private:
  int usage() {
    std::fprintf(out_, "Usage: %s -?\n", prog_);
    for (const char* line : usage_lines) put_line(out_, line);
    return 0;
  }
  int version() {
    std::fprintf(out_, "Release : %s  (%s %s)\n", ac_app_version, __DATE__, __TIME__);
    return -1;
  }
  // A value the option does not take: named with its option, then the usage line.
  int invalid(const char* pc_option, const char* pc_value) {
    std::fprintf(out_, "Invalid argument %s %s\n", pc_option, pc_value);
    return usage_error();
  }
  int usage_error() {
    std::fprintf(out_, "Usage: %s -?\n", prog_);
    return -1;
  }
  int need(const char* text) {
    put_line(out_, text);
    return usage_error();
  }

  int argc_;
  const char* const* argv_;
  std::FILE* out_;
  const char* prog_;
  app_options opts_;
};

}  // namespace

std::variant<app_options, int> app_parse_args(int argc, const char* const* argv, std::FILE* out) {
  parser p(argc, argv, out);
  std::variant<app_options, int> result = p.run();
  std::fflush(out);
  return result;
}
