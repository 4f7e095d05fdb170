// lanmodem-sim: plays one or more LAN radio modems on libcoap, one context bound to addr:5683 per
// modem. Single-threaded: every handler and timer runs on the loop of main(). stdout carries one
// JSON object per line and nothing else; diagnostics go to stderr.
//   sim_config   the configuration and the command line that fills it
//   sim_modem    the modems: timers, sessions, announcements, frames, served resources
//   sim_oneshot  one request, its answer, exit (--send)
//   sim_output   diagnostics, JSON lines, texts of addresses and codes
//   sim_payload  the modem-side payload formats, without I/O
#include <arpa/inet.h>
#include <coap3/coap.h>
#include <poll.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "sim_config.h"
#include "sim_modem.h"
#include "sim_oneshot.h"
#include "sim_output.h"

namespace sim {
namespace {

void on_signal(int) { stop_requested = true; }

void log_to_stderr(coap_log_t level, const char* message) noexcept {
  std::fprintf(stderr, "libcoap[%d]: %s", level, message);
}

/// Runs the due timers and serves the contexts until a signal, --duration or done().
void run_loop(const std::vector<coap_context_t*>& ctxs, const std::function<bool()>& done) {
  const long long end_ms = cfg.duration_s > 0 ? now_ms() + cfg.duration_s * 1000LL : 0;
  std::vector<pollfd> fds;
  for (auto* c : ctxs) {
    const int fd = coap_context_get_coap_fd(c);
    if (fd >= 0) fds.push_back({fd, POLLIN, 0});
  }
  while (!stop_requested && !done()) {
    long long now = now_ms();
    while (!timers.empty() && timers.begin()->first <= now) {
      auto fn = std::move(timers.begin()->second);
      timers.erase(timers.begin());
      fn();
      if (stop_requested) return;
    }
    if (end_ms != 0 && now >= end_ms) return;
    long long wait = 50;  // bounds the latency of libcoap's own timers when no epoll fd is given
    if (!timers.empty()) wait = std::min(wait, timers.begin()->first - now);
    if (end_ms != 0) wait = std::min(wait, end_ms - now);
    ::poll(fds.data(), fds.size(), static_cast<int>(std::max(0LL, wait)));
    for (auto* c : ctxs) coap_io_process(c, COAP_IO_NO_WAIT);
  }
}

/// Starts every configured modem and serves them until the loop ends; prints the "rx_done" line
/// of each modem whose frames are not all settled, then "exit".
/// @retval 0 every modem served
/// @retval 1 a modem could not start
int run_modems() {
  int rc = 0;
  std::vector<coap_context_t*> ctxs;
  for (const auto& [ip, serial] : cfg.modems) {
    auto m = std::make_unique<modem>();
    m->index = modems.size();
    m->addr = ip;
    char b[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &ip, b, sizeof b);
    m->addr_str = b;
    m->info = cfg.info;
    m->info.serial = serial;
    m->params = cfg.params;
    if (!start_modem(*m)) {
      rc = 1;
      break;
    }
    ctxs.push_back(m->ctx);
    modems.push_back(std::move(m));
  }
  if (rc == 0) {
    for (auto& m : modems) {
      modem* pm = m.get();
      if (!cfg.announce_to.empty()) after(cfg.announce_delay_ms, [pm] { announce(*pm); });
      if (cfg.rx_count > 0) {
        after(cfg.rx_delay_ms + static_cast<long long>(pm->index) * cfg.rx_stagger_ms,
              [pm] { pump_rx(*pm); });
      }
    }
    run_loop(ctxs, [] { return false; });
  }
  for (auto& m : modems) {
    if (cfg.rx_count > 0 && !m->rx_done) {
      json_line()
          .str("event", "rx_done")
          .str("modem", m->serial())
          .num("sent", static_cast<long long>(m->rx_sent))
          .num("acked", static_cast<long long>(m->rx_acked))
          .num("failed", static_cast<long long>(m->rx_failed))
          .num("refused", static_cast<long long>(m->rx_refused))
          .num("ms", m->rx_start_ms != 0 ? now_ms() - m->rx_start_ms : 0)
          .num("incomplete", 1)
          .emit();
    }
  }
  timers.clear();  // drop pending late answers' captured sessions with the contexts below
  for (auto& m : modems) {
    if (m->ctx != nullptr) coap_free_context(m->ctx);
  }
  json_line().str("event", "exit").emit();
  return rc;
}

}  // namespace
}  // namespace sim

int main(int argc, char** argv) {
  const int pr = sim::parse_args(argc, argv);
  if (pr != 0) return pr > 0 ? 0 : 64;

  struct sigaction sa {};
  sa.sa_handler = sim::on_signal;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  coap_startup();
  coap_set_log_handler(sim::log_to_stderr);
  coap_set_log_level(sim::cfg.coap_log);

  const int rc = sim::cfg.send_path.empty() ? sim::run_modems() : sim::run_oneshot();
  coap_cleanup();
  return rc;
}
