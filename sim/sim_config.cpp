// The simulator's command line: usage text, option table and argument parsing into cfg.
#include "sim_config.h"

#include <getopt.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "sim_output.h"

namespace sim {

config cfg;

namespace {

constexpr const char* usage_text = R"(Usage: lanmodem-sim [OPTIONS]
Plays LAN radio modems on CoAP/UDP 5683, one libcoap context per modem address. Prints one JSON
object per line on stdout: "modem" (started), "request" (every request received: modem, path,
method, type, mid, token, from, payload hex), "send" (every request sent), "answer", "nack",
"install", "rx_done" (sent, acked, failed, refused: answered 5.03, ms), "empty_ack", "timeout".
Diagnostics go to stderr. Stops on SIGINT/SIGTERM.

Modems:
  --modem ADDR[=SERIAL]     play a modem at IPv4 ADDR, port 5683; SERIAL in hex (default
                            1a2b3c4d for the first, +1 for each next); repeatable
  --protocol N              info: protocol version (default 1)
  --state N                 info: state, 1 READY, 2 RUNNING (default 1)
  --hw MAJ.MIN, --sw MAJ.MIN  info: hardware / software version (default 1.0 / 1.0)
  --type N, --location N, --wakeup N  info: codes (default 1, 0, 0)
  --tmsp N                  info: time stamp (default: now)
  --receivers HEX           info: one byte per RF receiver; the count byte is their number
                            (default 01020304050607)
  --info-hex HEX            send/answer exactly these bytes as modem info
  --join-mcast              join 224.1.2.3 on eth0 (useful with --modem 0.0.0.0=0 and
                            --misbehave '*=code:2.03' to stand in for the gateway)
  --any-method              serve every method on every resource (default: only the modem's
                            own method; others get 4.05 from the library)

Announcement (info_ind POST):
  --announce DEST           DEST: "mcast" (224.1.2.3) or an IPv4 address (the gateway)
  --announce-type con|non   default: non to the group, con to a unicast address
  --announce-period SEC     repeat every SEC seconds (default 0: once)
  --announce-delay MS       first announcement MS after start (default 0)

Received frames (rx_msg_req PUT, to the gateway):
  --gateway ADDR            unicast address of the gateway; default the unicast --announce
                            address, else learnt from the first answer or request
  --rx-count N              frames per modem (default 0: none); the flood is bounded by it
  --rx-rate N               frames per second per modem; 0 (default) sends as fast as the
                            window allows
  --rx-window W             outstanding confirmable frames at most (default 1); NON floods go
                            out W per 10 ms
  --rx-type con|non         default con
  --rx-delay MS             first frame MS after start (default 500)
  --rx-frame HEX            the wM-Bus frame (default a 31-byte frame from 2d2c / 78563412 01 07)
  --rx-frames HEX[,HEX...]  up to 256 frames sent in turn: a modem's frame i is frame i mod n
                            (modems given the same list send copies of the same telegrams);
                            the last of --rx-frame and --rx-frames holds
  --rx-rssi-step N          the k-th modem (from 0, in --modem order) reports RSSI
                            --rx-rssi + k*N, clamped to 0..255 (N -255..255, default 0)
  --rx-stagger MS           the k-th modem starts its frames k*MS later (0..60000, default 0)
  --rx-freq N, --rx-rssi N, --rx-mod N, --rx-receiver N, --rx-offset N, --rx-rtc SEC
                            header fields (defaults 868950000, 70, 16, 0, -12, now); the RTC
                            milliseconds count the frames
  --rx-quiet                no send/answer line per frame (the rx_done line stays)
  --exit-after-rx           exit once every modem has all its frames answered, refused or failed

Served resources: firmware_upgrade_req, firmware_force_update_req, tx_msg_req, tx_msg_ext_req,
tx_file_req, rx_mode_config_req, rx_ext_config_req, command_req, config_set_param_req,
config_get_param_req, statistics_req, info_req, noise_req, log_req. 2.04 unless said otherwise;
a malformed payload of firmware_upgrade_req, config_*_param_req or noise_req gets 4.00.
  --ftp-dir DIR             where firmware_upgrade_req's file is read (default /var/ftp);
                            after 2.04 the modem sends firmware_install_ind with 1 when
                            DIR/NAME is a regular file of the announced size, else 0
  --install-delay MS        delay before firmware_install_ind (default 200)
  --install-result ok|ko|none  force the result byte; none: never send the result
  --noise HEX               noise_ind payload (default 14 bytes 3c..42 0a..10)
  --noise-delay MS          delay before noise_ind (default: the requested duration)
  --stats-form 16|8         statistics_req answer: 66-byte 16-bit LOAD form (default) or the
                            8-bit form (2+8n bytes, padded to 59)
  --stats-receivers N       receivers in the statistics (1..7, default 7)
  --stats-len N             pad or cut the statistics answer to exactly N bytes
  --stats-hex HEX           answer statistics_req with exactly these bytes
  --param ID=HEX            preset parameter ID (decimal or 0x hex) for config_get_param_req;
                            unknown parameters come back with length 0
  --misbehave PATH=MODE[@N] PATH a resource or "*"; for the first N requests only (default all)
                            MODE: ignore (no answer at all), rst (reset),
                            code:C.DD[:TEXT] (that answer code, TEXT as payload),
                            delay:MS[:C.DD] (the normal or given answer, piggybacked, MS late)
  --token-len N             token length of the simulator's own requests (0..8, default 0)

One-shot (send one request, print the answer, exit 0 answered, 1 timeout, 2 reset,
3 empty ACK, 64 usage):
  --send PATH --to ADDR|mcast [--method GET|POST|PUT|DELETE] [--con|--non]
            [--payload HEX] [--from ADDR] [--wait MS]
                            --from binds ADDR:5683 (a modem's source); --wait default 5000;
                            default method POST, type CON

General:
  --duration SEC            stop after SEC seconds (default 0: until a signal)
  --coap-log N              libcoap log level 0..7 (default 4, warning), written to stderr
  --help                    this text
)";

std::optional<unsigned long> parse_uint(const char* s, unsigned long max) {
  if (s == nullptr || *s == '\0' || *s == '-') return std::nullopt;
  char* end = nullptr;
  errno = 0;
  unsigned long v = std::strtoul(s, &end, 0);
  if (errno != 0 || *end != '\0' || v > max) return std::nullopt;
  return v;
}

bool parse_version(const char* s, std::uint8_t& major, std::uint8_t& minor) {
  unsigned a = 0, b = 0;
  char extra = 0;
  if (std::sscanf(s, "%u.%u%c", &a, &b, &extra) != 2 || a > 255 || b > 255) return false;
  major = static_cast<std::uint8_t>(a);
  minor = static_cast<std::uint8_t>(b);
  return true;
}

std::optional<std::uint8_t> parse_code(std::string_view s) {
  unsigned c = 0, d = 0;
  char extra = 0;
  std::string t(s);
  if (std::sscanf(t.c_str(), "%u.%u%c", &c, &d, &extra) != 2 || c > 7 || d > 31)
    return std::nullopt;
  return static_cast<std::uint8_t>((c << 5) | d);
}

std::optional<misbehaviour> parse_misbehaviour(std::string_view s) {
  misbehaviour b;
  const auto eq = s.find('=');
  if (eq == std::string_view::npos || eq == 0) return std::nullopt;
  b.path = std::string(s.substr(0, eq));
  std::string mode(s.substr(eq + 1));
  const auto at_pos = mode.rfind('@');
  if (at_pos != std::string::npos) {
    auto n = parse_uint(mode.c_str() + at_pos + 1, 1000000);
    if (!n) return std::nullopt;
    b.remaining = static_cast<long>(*n);
    mode.resize(at_pos);
  }
  if (mode == "ignore") {
    b.kind = misbehaviour_kind::ignore;
  } else if (mode == "rst") {
    b.kind = misbehaviour_kind::reset;
  } else if (mode.rfind("code:", 0) == 0) {
    b.kind = misbehaviour_kind::code;
    std::string_view rest = std::string_view(mode).substr(5);
    const auto colon = rest.find(':');
    auto c = parse_code(rest.substr(0, colon));
    if (!c) return std::nullopt;
    b.code = *c;
    if (colon != std::string_view::npos) b.text = std::string(rest.substr(colon + 1));
  } else if (mode.rfind("delay:", 0) == 0) {
    b.kind = misbehaviour_kind::delay;
    std::string rest = mode.substr(6);
    const auto colon = rest.find(':');
    if (colon != std::string::npos) {
      auto c = parse_code(std::string_view(rest).substr(colon + 1));
      if (!c) return std::nullopt;
      b.code = *c;
      rest.resize(colon);
    }
    auto ms = parse_uint(rest.c_str(), 3600000);
    if (!ms) return std::nullopt;
    b.delay_ms = static_cast<unsigned>(*ms);
  } else {
    return std::nullopt;
  }
  return b;
}

enum opt_id {
  o_modem = 1000,
  o_protocol,
  o_state,
  o_hw,
  o_sw,
  o_type,
  o_location,
  o_wakeup,
  o_tmsp,
  o_receivers,
  o_info_hex,
  o_any_method,
  o_join_mcast,
  o_announce,
  o_announce_type,
  o_announce_period,
  o_announce_delay,
  o_gateway,
  o_rx_count,
  o_rx_rate,
  o_rx_window,
  o_rx_type,
  o_rx_delay,
  o_rx_frame,
  o_rx_frames,
  o_rx_rssi_step,
  o_rx_stagger,
  o_rx_freq,
  o_rx_rssi,
  o_rx_mod,
  o_rx_receiver,
  o_rx_offset,
  o_rx_rtc,
  o_rx_quiet,
  o_exit_after_rx,
  o_ftp_dir,
  o_install_delay,
  o_install_result,
  o_noise,
  o_noise_delay,
  o_stats_form,
  o_stats_receivers,
  o_stats_len,
  o_stats_hex,
  o_param,
  o_misbehave,
  o_token_len,
  o_send,
  o_to,
  o_method,
  o_con,
  o_non,
  o_payload,
  o_from,
  o_wait,
  o_duration,
  o_coap_log,
  o_help
};

const option long_options[] = {
    {"modem", required_argument, nullptr, o_modem},
    {"protocol", required_argument, nullptr, o_protocol},
    {"state", required_argument, nullptr, o_state},
    {"hw", required_argument, nullptr, o_hw},
    {"sw", required_argument, nullptr, o_sw},
    {"type", required_argument, nullptr, o_type},
    {"location", required_argument, nullptr, o_location},
    {"wakeup", required_argument, nullptr, o_wakeup},
    {"tmsp", required_argument, nullptr, o_tmsp},
    {"receivers", required_argument, nullptr, o_receivers},
    {"info-hex", required_argument, nullptr, o_info_hex},
    {"any-method", no_argument, nullptr, o_any_method},
    {"join-mcast", no_argument, nullptr, o_join_mcast},
    {"announce", required_argument, nullptr, o_announce},
    {"announce-type", required_argument, nullptr, o_announce_type},
    {"announce-period", required_argument, nullptr, o_announce_period},
    {"announce-delay", required_argument, nullptr, o_announce_delay},
    {"gateway", required_argument, nullptr, o_gateway},
    {"rx-count", required_argument, nullptr, o_rx_count},
    {"rx-rate", required_argument, nullptr, o_rx_rate},
    {"rx-window", required_argument, nullptr, o_rx_window},
    {"rx-type", required_argument, nullptr, o_rx_type},
    {"rx-delay", required_argument, nullptr, o_rx_delay},
    {"rx-frame", required_argument, nullptr, o_rx_frame},
    {"rx-frames", required_argument, nullptr, o_rx_frames},
    {"rx-rssi-step", required_argument, nullptr, o_rx_rssi_step},
    {"rx-stagger", required_argument, nullptr, o_rx_stagger},
    {"rx-freq", required_argument, nullptr, o_rx_freq},
    {"rx-rssi", required_argument, nullptr, o_rx_rssi},
    {"rx-mod", required_argument, nullptr, o_rx_mod},
    {"rx-receiver", required_argument, nullptr, o_rx_receiver},
    {"rx-offset", required_argument, nullptr, o_rx_offset},
    {"rx-rtc", required_argument, nullptr, o_rx_rtc},
    {"rx-quiet", no_argument, nullptr, o_rx_quiet},
    {"exit-after-rx", no_argument, nullptr, o_exit_after_rx},
    {"ftp-dir", required_argument, nullptr, o_ftp_dir},
    {"install-delay", required_argument, nullptr, o_install_delay},
    {"install-result", required_argument, nullptr, o_install_result},
    {"noise", required_argument, nullptr, o_noise},
    {"noise-delay", required_argument, nullptr, o_noise_delay},
    {"stats-form", required_argument, nullptr, o_stats_form},
    {"stats-receivers", required_argument, nullptr, o_stats_receivers},
    {"stats-len", required_argument, nullptr, o_stats_len},
    {"stats-hex", required_argument, nullptr, o_stats_hex},
    {"param", required_argument, nullptr, o_param},
    {"misbehave", required_argument, nullptr, o_misbehave},
    {"token-len", required_argument, nullptr, o_token_len},
    {"send", required_argument, nullptr, o_send},
    {"to", required_argument, nullptr, o_to},
    {"method", required_argument, nullptr, o_method},
    {"con", no_argument, nullptr, o_con},
    {"non", no_argument, nullptr, o_non},
    {"payload", required_argument, nullptr, o_payload},
    {"from", required_argument, nullptr, o_from},
    {"wait", required_argument, nullptr, o_wait},
    {"duration", required_argument, nullptr, o_duration},
    {"coap-log", required_argument, nullptr, o_coap_log},
    {"help", no_argument, nullptr, o_help},
    {nullptr, 0, nullptr, 0},
};

bool set_u8(const char* arg, std::uint8_t& out) {
  auto v = parse_uint(arg, 255);
  if (v) out = static_cast<std::uint8_t>(*v);
  return v.has_value();
}

template <class T>
bool set_uint(const char* arg, T& out, unsigned long max) {
  auto v = parse_uint(arg, max);
  if (v) out = static_cast<T>(*v);
  return v.has_value();
}

bool set_hex(const char* arg, bytes& out) {
  auto v = parse_hex(arg);
  if (v) out = std::move(*v);
  return v.has_value();
}

/// Comma-separated frames, each one not empty and at most 0xFFFF bytes, rx_frames_max at most.
bool set_frames(std::string_view arg, std::vector<bytes>& out) {
  std::vector<bytes> frames;
  for (;;) {
    const auto comma = arg.find(',');
    auto f = parse_hex(arg.substr(0, comma));
    if (!f || f->empty() || f->size() > 0xFFFF || frames.size() == rx_frames_max) return false;
    frames.push_back(std::move(*f));
    if (comma == std::string_view::npos) break;
    arg.remove_prefix(comma + 1);
  }
  out = std::move(frames);
  return true;
}

bool set_con(const char* arg, bool& con) {
  if (std::strcmp(arg, "con") == 0 || std::strcmp(arg, "CON") == 0) {
    con = true;
  } else if (std::strcmp(arg, "non") == 0 || std::strcmp(arg, "NON") == 0) {
    con = false;
  } else {
    return false;
  }
  return true;
}

}  // namespace

const bytes& rx_frame_at(unsigned long index) {
  return cfg.rx_frames.empty() ? cfg.rx.frame : cfg.rx_frames[index % cfg.rx_frames.size()];
}

std::uint8_t rx_rssi_of(std::size_t index) {
  // from the 256th modem on, any step other than 0 has reached a bound: no overflow
  const long long k = static_cast<long long>(std::min<std::size_t>(index, 256));
  const long long v = cfg.rx.rssi + k * cfg.rx_rssi_step;
  return static_cast<std::uint8_t>(std::clamp(v, 0LL, 255LL));
}

int parse_args(int argc, char** argv) {
  // the default wM-Bus frame of rx_msg_req (see --rx-frame in the usage text)
  cfg.rx.frame = *parse_hex(
      "1e442d2c785634120107"
      "7a1a000000"
      "0c1312345678"
      "046d2c1a4b22"
      "02fd1700");
  std::uint32_t next_serial = 0x1a2b3c4d;
  int c;
  while ((c = getopt_long(argc, argv, "h", long_options, nullptr)) != -1) {
    const char* a = optarg;
    bool ok = true;
    switch (c) {
      case o_modem: {
        std::string s(a);
        const auto eq = s.find('=');
        std::uint32_t serial = next_serial;
        if (eq != std::string::npos) {
          char* end = nullptr;
          errno = 0;
          const unsigned long v = std::strtoul(s.c_str() + eq + 1, &end, 16);
          ok = errno == 0 && *end == '\0' && end != s.c_str() + eq + 1 && v <= 0xFFFFFFFFUL;
          serial = static_cast<std::uint32_t>(v);
          s.resize(eq);
        }
        auto ip = parse_ipv4(s);
        ok = ok && ip && !is_multicast(*ip);
        if (ok) cfg.modems.emplace_back(*ip, serial);
        next_serial = serial + 1;
        break;
      }
      case o_protocol:
        ok = set_uint(a, cfg.info.protocol, 0xFFFFFFFFUL);
        break;
      case o_state:
        ok = set_u8(a, cfg.info.state);
        break;
      case o_hw:
        ok = parse_version(a, cfg.info.hw_major, cfg.info.hw_minor);
        break;
      case o_sw:
        ok = parse_version(a, cfg.info.sw_major, cfg.info.sw_minor);
        break;
      case o_type:
        ok = set_u8(a, cfg.info.type);
        break;
      case o_location:
        ok = set_u8(a, cfg.info.location);
        break;
      case o_wakeup:
        ok = set_u8(a, cfg.info.wakeup);
        break;
      case o_tmsp:
        ok = set_uint(a, cfg.info.tmsp, 0xFFFFFFFFUL);
        cfg.tmsp_set = true;
        break;
      case o_receivers:
        ok = set_hex(a, cfg.info.receivers) && cfg.info.receivers.size() <= 255;
        break;
      case o_info_hex:
        cfg.info_hex.emplace();
        ok = set_hex(a, *cfg.info_hex);
        break;
      case o_any_method:
        cfg.any_method = true;
        break;
      case o_join_mcast:
        cfg.join_mcast = true;
        break;
      case o_announce:
        cfg.announce_to = a;
        ok = parse_ipv4(a).has_value();
        break;
      case o_announce_type:
        ok = set_con(a, cfg.announce_con);
        cfg.announce_type_set = true;
        break;
      case o_announce_period:
        ok = set_uint(a, cfg.announce_period_s, 86400);
        break;
      case o_announce_delay:
        ok = set_uint(a, cfg.announce_delay_ms, 3600000);
        break;
      case o_gateway: {
        cfg.gateway = a;
        auto ip = parse_ipv4(a);
        ok = ip && !is_multicast(*ip);
        break;
      }
      case o_rx_count:
        ok = set_uint(a, cfg.rx_count, 100000000UL);
        break;
      case o_rx_rate:
        ok = set_uint(a, cfg.rx_rate, 1000);
        break;
      case o_rx_window:
        ok = set_uint(a, cfg.rx_window, 1000) && cfg.rx_window > 0;
        break;
      case o_rx_type:
        ok = set_con(a, cfg.rx_con);
        break;
      case o_rx_delay:
        ok = set_uint(a, cfg.rx_delay_ms, 3600000);
        break;
      case o_rx_frame:
        ok = set_hex(a, cfg.rx.frame) && cfg.rx.frame.size() <= 0xFFFF;
        cfg.rx_frames.clear();
        break;
      case o_rx_frames:
        ok = set_frames(a, cfg.rx_frames);
        break;
      case o_rx_rssi_step: {
        char* end = nullptr;
        errno = 0;
        const long v = std::strtol(a, &end, 10);
        ok = *a != '\0' && *end == '\0' && errno == 0 && v >= -255 && v <= 255;
        if (ok) cfg.rx_rssi_step = static_cast<int>(v);
        break;
      }
      case o_rx_stagger:
        ok = set_uint(a, cfg.rx_stagger_ms, 60000);
        break;
      case o_rx_freq:
        ok = set_uint(a, cfg.rx.freq, 0xFFFFFFFFUL);
        break;
      case o_rx_rssi:
        ok = set_u8(a, cfg.rx.rssi);
        break;
      case o_rx_mod:
        ok = set_u8(a, cfg.rx.rf_mod);
        break;
      case o_rx_receiver:
        ok = set_u8(a, cfg.rx.rf_receiver);
        break;
      case o_rx_offset: {
        char* end = nullptr;
        const long v = std::strtol(a, &end, 0);
        ok = *a != '\0' && *end == '\0' && v >= -32768 && v <= 32767;
        cfg.rx.freq_offset = static_cast<std::int16_t>(v);
        break;
      }
      case o_rx_rtc:
        ok = set_uint(a, cfg.rx.rtc_sec, 0xFFFFFFFFUL);
        cfg.rx_rtc_set = true;
        break;
      case o_rx_quiet:
        cfg.rx_quiet = true;
        break;
      case o_exit_after_rx:
        cfg.exit_after_rx = true;
        break;
      case o_ftp_dir:
        cfg.ftp_dir = a;
        break;
      case o_install_delay:
        ok = set_uint(a, cfg.install_delay_ms, 3600000);
        break;
      case o_install_result:
        ok = std::strcmp(a, "ok") == 0 || std::strcmp(a, "ko") == 0 || std::strcmp(a, "none") == 0;
        cfg.install_force = std::strcmp(a, "ok") == 0 ? 1 : std::strcmp(a, "ko") == 0 ? 0 : -2;
        break;
      case o_noise:
        ok = set_hex(a, cfg.noise);
        break;
      case o_noise_delay:
        cfg.noise_delay_ms.emplace();
        ok = set_uint(a, *cfg.noise_delay_ms, 3600000);
        break;
      case o_stats_form:
        ok = std::strcmp(a, "16") == 0 || std::strcmp(a, "8") == 0;
        cfg.stats_form16 = std::strcmp(a, "16") == 0;
        break;
      case o_stats_receivers:
        ok = set_u8(a, cfg.stats_receivers) && cfg.stats_receivers >= 1 && cfg.stats_receivers <= 7;
        break;
      case o_stats_len:
        ok = set_uint(a, cfg.stats_len, 1024);
        break;
      case o_stats_hex:
        cfg.stats_hex.emplace();
        ok = set_hex(a, *cfg.stats_hex);
        break;
      case o_param: {
        std::string s(a);
        const auto eq = s.find('=');
        ok = eq != std::string::npos;
        if (ok) {
          std::uint16_t id = 0;
          bytes v;
          ok = set_uint(s.substr(0, eq).c_str(), id, 0xFFFF) && set_hex(s.c_str() + eq + 1, v) &&
               v.size() <= 255;
          if (ok) cfg.params[id] = std::move(v);
        }
        break;
      }
      case o_misbehave: {
        auto b = parse_misbehaviour(a);
        ok = b.has_value();
        if (ok) cfg.misbehave.push_back(std::move(*b));
        break;
      }
      case o_token_len:
        ok = set_uint(a, cfg.token_len, 8);
        break;
      case o_send:
        cfg.send_path = a;
        ok = !cfg.send_path.empty();
        break;
      case o_to:
        cfg.send_to = a;
        break;
      case o_method: {
        const std::string m(a);
        if (m == "GET") {
          cfg.send_method = COAP_REQUEST_CODE_GET;
        } else if (m == "POST") {
          cfg.send_method = COAP_REQUEST_CODE_POST;
        } else if (m == "PUT") {
          cfg.send_method = COAP_REQUEST_CODE_PUT;
        } else if (m == "DELETE") {
          cfg.send_method = COAP_REQUEST_CODE_DELETE;
        } else {
          ok = false;
        }
        break;
      }
      case o_con:
        cfg.send_con = true;
        break;
      case o_non:
        cfg.send_con = false;
        break;
      case o_payload:
        ok = set_hex(a, cfg.send_payload);
        break;
      case o_from:
        cfg.send_from = a;
        break;
      case o_wait:
        ok = set_uint(a, cfg.wait_ms, 600000);
        break;
      case o_duration:
        ok = set_uint(a, cfg.duration_s, 86400);
        break;
      case o_coap_log:
        ok = set_uint(a, cfg.coap_log, 7);
        break;
      case o_help:
      case 'h':
        std::fputs(usage_text, stdout);
        return 1;
      default:
        ok = false;
        a = argv[optind - 1];
        break;
    }
    if (!ok) {
      diag("bad argument%s%s (see --help)", a ? ": " : "", a ? a : "");
      return -1;
    }
  }
  if (optind < argc) {
    diag("unexpected argument: %s (see --help)", argv[optind]);
    return -1;
  }
  if (!cfg.send_path.empty()) {
    if (cfg.send_to.empty()) {
      diag("--send needs --to");
      return -1;
    }
    return 0;
  }
  if (cfg.modems.empty()) {
    diag("no --modem given (see --help)");
    return -1;
  }
  return 0;
}

}  // namespace sim
