// Command line of the tool: one run names at most one maintenance action. Parsing only fills
// the collected options or says how the run ends; it starts nothing.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <variant>

/// Version of the tool, shown by -v.
extern const char ac_app_version[];

/// Bytes a set-parameter value may hold (24 hexadecimal digits).
inline constexpr std::uint32_t APP_PARAM_VALUE_MAX = 12;
/// Longest bounded run (-w), in seconds.
inline constexpr std::int32_t APP_WAIT_MAX_S = 2'000'000;
/// Telegram window (-y), in milliseconds: the default and the largest.
inline constexpr std::int32_t APP_TELEGRAM_WINDOW_DEFAULT = 2'000;
inline constexpr std::int32_t APP_TELEGRAM_WINDOW_MAX = 60'000;

/// The one maintenance action of a run, in the order of precedence: when several are given,
/// the first selected of -u, -d, -r, -t, -c, -p, -g, -f, -s, -n wins. A value that selects
/// nothing (-r 0, -c -1, -p 0, -g 0, -n with a zero) leaves its option unselected.
enum class app_action : std::uint8_t {
  monitor,       ///< none: the LAN is only watched
  upgrade,       ///< -u
  download,      ///< -d
  rx_mode,       ///< -r
  transmit,      ///< -t
  command,       ///< -c
  set_param,     ///< -p
  get_param,     ///< -g
  force_update,  ///< -f
  statistics,    ///< -s
  noise,         ///< -n
};

/// Collected options. Texts point into the argument vector.
struct app_options {
  app_action e_action = app_action::monitor;  ///< what the values below select
  const char* pc_firmware_name = nullptr;     ///< -u
  const char* pc_ep_file_name = nullptr;      ///< -d filename
  std::int32_t i32_packet_size = 0;           ///< -d packetsize
  std::int32_t i32_inter_packet = 0;          ///< -d interpacket, units of 20 ms
  std::int32_t i32_rx_mode = 0;               ///< -r; 0 = none
  std::int32_t i32_tx_mode = 0;               ///< -t mode channel type power sec msec tx_frame
  std::int32_t i32_tx_channel = 0;
  std::int32_t i32_tx_type = 0;
  std::int32_t i32_tx_power = 0;
  std::int32_t i32_tx_sec = 0;
  std::int32_t i32_tx_msec = 0;
  const char* pc_tx_frame = nullptr;
  std::int32_t i32_command = -1;       ///< -c; -1 = none
  std::uint32_t u32_set_param_id = 0;  ///< -p; 0 = none
  std::array<std::uint8_t, APP_PARAM_VALUE_MAX> au8_set_param_value{};
  std::uint32_t u32_set_param_len = 0;
  std::uint32_t u32_get_param_id = 0;    ///< -g; 0 = none
  bool b_force_update = false;           ///< -f
  bool b_statistics = false;             ///< -s
  std::int32_t i32_statistics_day = 0;   ///< -s value: 0 today, 1 yesterday
  std::int32_t i32_noise_duration = 0;   ///< -n duration (s)
  std::int32_t i32_noise_nb_sample = 0;  ///< -n nb_sample
  std::int32_t i32_wait_s = 0;           ///< -w: bounded run of that many seconds; 0 = none
  bool b_target = false;                 ///< -m given: act on the modem u32_target only
  std::uint32_t u32_target = 0;          ///< -m: serial number of the target modem (0 is one)
  bool b_json = false;                   ///< -j: JSON lines on stdout, trace on stderr
  std::int32_t i32_level = -1;           ///< -l: trace level 0 to 2; -1 = the default
  std::int32_t i32_window_ms = APP_TELEGRAM_WINDOW_DEFAULT;  ///< -y: telegram window (ms)
  const char* pc_expected = nullptr;  ///< -e: file of the meters expected (survey)
  const char* pc_replay = nullptr;    ///< -i: recorded frames to replay ("-": stdin)
  bool b_decode = false;              ///< -D (or -a): the meters' data in frame/telegram events
  const char* pc_keys = nullptr;      ///< -a: the meters' keys file
};

/// Parses @p argv (@p argc entries, element 0 the program name). Usage, version and error
/// texts are printed on @p out. Never reads past argv[argc - 1]. The values of -m (1 to 8
/// hexadecimal digits, an optional 0x or 0X before them), -w (decimal seconds, 1 to
/// APP_WAIT_MAX_S), -l (0, 1 or 2) and -y (decimal milliseconds, 0 to APP_TELEGRAM_WINDOW_MAX)
/// are taken whole or refused ("Invalid argument"). -e needs -w or -i; -i implies -j; -x and -a
/// need -j (or -i); -a implies -x.
/// @return the collected options when the run goes on, or the value main returns:
///         0 after -?, -h and --help, -1 (exit status 255) after -v, --version and after every
///         error.
std::variant<app_options, int> app_parse_args(int argc, const char* const* argv, std::FILE* out);
