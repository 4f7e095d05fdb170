// The simulated modems: each one a libcoap context bound to its addr:5683, with the timers that
// drive announcements, frames and late answers. Single-threaded: all of it runs on main()'s loop.
#pragma once

#include <coap3/coap.h>
#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim_payload.h"

namespace sim {

// ---------------------------------------------------------------------------------------------
// Time and timers

using clock_type = std::chrono::steady_clock;

/// Milliseconds on the steady clock.
long long now_ms();

/// Work due at a time in now_ms() terms; the loop runs and erases each entry once it is due.
extern std::multimap<long long, std::function<void()>> timers;

/// Runs fn on the loop delay_ms from now.
void after(long long delay_ms, std::function<void()> fn);

/// Set by a signal or once every modem's frames are settled (--exit-after-rx); ends the loops.
extern std::atomic<bool> stop_requested;

// ---------------------------------------------------------------------------------------------
// Modems

struct modem {
  std::size_t index = 0;  // position in --modem order (--rx-rssi-step, --rx-stagger)
  in_addr addr{};
  std::string addr_str;
  modem_info info;
  coap_context_t* ctx = nullptr;
  std::map<std::uint32_t, coap_session_t*> sessions;  // unicast peers by IPv4 address (net order)
  std::map<std::uint16_t, bytes> params;
  std::optional<in_addr> gateway;  // where frames go
  std::uint64_t token_counter = 0;
  // frames
  // refused: answered 5.03 (the gateway did not take the frame), neither acked nor failed
  unsigned long rx_sent = 0, rx_acked = 0, rx_failed = 0, rx_refused = 0;
  unsigned rx_in_flight = 0;
  long long rx_start_ms = 0;
  bool rx_done = false;
  /// The serial as the event lines print it.
  std::string serial() const;
};

/// Every modem of the run, in the order of the --modem options. Owns them; each context's
/// app data points back at its modem.
extern std::vector<std::unique_ptr<modem>> modems;

/// Binds the modem's context to addr:5683, registers its resources and handlers, joins the
/// group when asked, presets its gateway and prints the "modem" line. m must outlive its context.
/// @retval true the modem serves
/// @retval false the context or a resource could not be made (m.ctx may be set: free it)
bool start_modem(modem& m);

/// Sends info_ind to the --announce destination, and again every --announce-period seconds.
void announce(modem& m);

/// Sends the modem's next frames to its gateway as rate and window allow, and schedules itself
/// again until --rx-count frames are out; waits while the gateway is not known yet.
void pump_rx(modem& m);

}  // namespace sim
