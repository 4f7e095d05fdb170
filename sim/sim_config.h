// Configuration of the simulator: one instance, filled from the command line before anything
// starts and read by every part afterwards (only the misbehaviours' counters change later).
#pragma once

#include <coap3/coap.h>
#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "sim_payload.h"

namespace sim {

/// --misbehave: how a modem mistreats requests to one resource (or to all).
enum class misbehaviour_kind { ignore, reset, code, delay };

struct misbehaviour {
  std::string path;  // "*" for every resource
  misbehaviour_kind kind = misbehaviour_kind::ignore;
  std::uint8_t code = 0;  // kind code: the answer code; kind delay: 0 = the normal code
  std::string text;       // kind code: payload text
  unsigned delay_ms = 0;  // kind delay
  long remaining = -1;    // requests still affected, -1 = all
};

/// Everything the command line sets; the initial values are the defaults the usage text gives.
struct config {
  std::vector<std::pair<in_addr, std::uint32_t>> modems;  // address, serial
  modem_info info;                                        // shared template; serial per modem
  bool tmsp_set = false;
  std::optional<bytes> info_hex;

  std::string announce_to;  // "" none, "mcast" or an IPv4 address
  bool announce_con = false;
  bool announce_type_set = false;
  unsigned announce_period_s = 0;
  unsigned announce_delay_ms = 0;

  std::string gateway;   // unicast destination of frames; learnt when empty
  unsigned rx_rate = 0;  // frames per second per modem; 0 = as fast as the window allows
  unsigned long rx_count = 0;
  unsigned rx_window = 1;
  unsigned rx_delay_ms = 500;
  bool rx_con = true;
  bool rx_quiet = false;
  rx_frame rx;
  std::vector<bytes> rx_frames;  // --rx-frames: sent in turn instead of rx.frame when not empty
  int rx_rssi_step = 0;          // the k-th modem reports rx.rssi + k * step (clamped 0..255)
  unsigned rx_stagger_ms = 0;    // the k-th modem starts its frames k * this later
  bool rx_rtc_set = false;

  std::string ftp_dir = "/var/ftp";
  unsigned install_delay_ms = 200;
  int install_force = -1;  // -1 check the file, -2 no result at all, else this result byte
  std::optional<unsigned> noise_delay_ms;
  bytes noise{60, 61, 62, 63, 64, 65, 66, 10, 11, 12, 13, 14, 15, 16};
  bool stats_form16 = true;
  std::uint8_t stats_receivers = 7;
  std::size_t stats_len = 0;
  std::optional<bytes> stats_hex;
  std::map<std::uint16_t, bytes> params;
  std::vector<misbehaviour> misbehave;
  bool any_method = false;
  bool join_mcast = false;
  unsigned token_len = 0;
  unsigned duration_s = 0;
  bool exit_after_rx = false;
  int coap_log = LOG_WARNING;

  // one-shot
  std::string send_path;
  unsigned send_method = COAP_REQUEST_CODE_POST;
  bool send_con = true;
  bytes send_payload;
  std::string send_to;
  std::string send_from;
  unsigned wait_ms = 5000;
};

/// Most frames --rx-frames takes.
inline constexpr std::size_t rx_frames_max = 256;

/// The frame a modem sends as its frame number @p index (0-based).
const bytes& rx_frame_at(unsigned long index);

/// The RSSI magnitude that the modem at @p index (0-based, in --modem order) reports.
std::uint8_t rx_rssi_of(std::size_t index);

/// The one configuration of the process.
extern config cfg;

/// Fills cfg from the command line; prints the usage text on stdout for --help / -h and a
/// diagnostic on stderr for a bad argument.
/// @retval 0 run: a modem or one-shot configuration is complete
/// @retval 1 the usage text was printed; exit 0
/// @retval -1 bad argument, already reported; exit 64
int parse_args(int argc, char** argv);

}  // namespace sim
