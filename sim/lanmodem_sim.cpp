// lanmodem-sim: plays one or more LAN radio modems on libcoap, one context bound to addr:5683 per
// modem. Single-threaded: every handler and timer runs on the loop of main(). stdout carries one
// JSON object per line and nothing else; diagnostics go to stderr.
#include <arpa/inet.h>
#include <coap3/coap.h>
#include <getopt.h>
#include <poll.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim_payload.h"

namespace {

constexpr const char* source_name = "lanmodem_sim.cpp";
constexpr std::uint16_t coap_port = 5683;
constexpr const char* mcast_group = "224.1.2.3";

using sim::bytes;

// ---------------------------------------------------------------------------------------------
// Output

void diag(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void diag(const char* fmt, ...) {
  std::fprintf(stderr, "%s: ", source_name);
  va_list ap;
  va_start(ap, fmt);
  std::vfprintf(stderr, fmt, ap);
  va_end(ap);
  std::fputc('\n', stderr);
}

/// Builds one JSON object; emit() writes it as one line and flushes, so a test reading a pipe
/// sees every event at once.
class json_line {
 public:
  json_line& str(const char* k, std::string_view v) {
    sep();
    out_ += '"';
    out_ += k;
    out_ += "\":\"";
    out_ += sim::json_escape(v);
    out_ += '"';
    return *this;
  }
  json_line& num(const char* k, long long v) {
    sep();
    out_ += '"';
    out_ += k;
    out_ += "\":";
    out_ += std::to_string(v);
    return *this;
  }
  json_line& hex(const char* k, std::span<const std::uint8_t> b) { return str(k, sim::to_hex(b)); }
  void emit() {
    out_ += '}';
    std::fprintf(stdout, "%s\n", out_.c_str());
    std::fflush(stdout);
  }

 private:
  void sep() {
    if (out_.size() > 1) out_ += ',';
  }
  std::string out_ = "{";
};

std::string serial_text(std::uint32_t s) {
  char b[12];
  std::snprintf(b, sizeof b, "%x", s);
  return b;
}

std::string addr_text(const coap_address_t* a) {
  if (a == nullptr || a->addr.sa.sa_family != AF_INET) return "";
  char b[INET_ADDRSTRLEN] = "";
  inet_ntop(AF_INET, &a->addr.sin.sin_addr, b, sizeof b);
  return b;
}

std::string code_text(unsigned code) {
  char b[8];
  std::snprintf(b, sizeof b, "%u.%02u", (code >> 5) & 7U, code & 31U);
  return b;
}

const char* method_text(unsigned code) {
  switch (code) {
    case COAP_REQUEST_CODE_GET: return "GET";
    case COAP_REQUEST_CODE_POST: return "POST";
    case COAP_REQUEST_CODE_PUT: return "PUT";
    case COAP_REQUEST_CODE_DELETE: return "DELETE";
    default: return "?";
  }
}

const char* type_text(coap_pdu_type_t t) {
  switch (t) {
    case COAP_MESSAGE_CON: return "CON";
    case COAP_MESSAGE_NON: return "NON";
    case COAP_MESSAGE_ACK: return "ACK";
    case COAP_MESSAGE_RST: return "RST";
  }
  return "?";
}

std::string uri_path_of(const coap_pdu_t* pdu) {
  std::string path;
  if (pdu == nullptr) return path;
  coap_opt_iterator_t it;
  coap_opt_filter_t f;
  coap_option_filter_clear(&f);
  coap_option_filter_set(&f, COAP_OPTION_URI_PATH);
  coap_option_iterator_init(pdu, &it, &f);
  while (coap_opt_t* o = coap_option_next(&it)) {
    if (!path.empty()) path += '/';
    path.append(reinterpret_cast<const char*>(coap_opt_value(o)), coap_opt_length(o));
  }
  return path;
}

std::span<const std::uint8_t> pdu_payload(const coap_pdu_t* pdu) {
  size_t len = 0;
  const uint8_t* data = nullptr;
  if (pdu == nullptr || coap_get_data(pdu, &len, &data) == 0 || data == nullptr) return {};
  return {data, len};
}

std::span<const std::uint8_t> pdu_token(const coap_pdu_t* pdu) {
  coap_bin_const_t t = coap_pdu_get_token(pdu);
  if (t.s == nullptr) return {};
  return {t.s, t.length};
}

// ---------------------------------------------------------------------------------------------
// Configuration

enum class misbehaviour_kind { ignore, reset, code, delay };

struct misbehaviour {
  std::string path;  // "*" for every resource
  misbehaviour_kind kind = misbehaviour_kind::ignore;
  std::uint8_t code = 0;    // kind code: the answer code; kind delay: 0 = the normal code
  std::string text;         // kind code: payload text
  unsigned delay_ms = 0;    // kind delay
  long remaining = -1;      // requests still affected, -1 = all
};

struct config {
  std::vector<std::pair<in_addr, std::uint32_t>> modems;  // address, serial
  sim::modem_info info;                                   // shared template; serial per modem
  bool tmsp_set = false;
  std::optional<bytes> info_hex;

  std::string announce_to;  // "" none, "mcast" or an IPv4 address
  bool announce_con = false;
  bool announce_type_set = false;
  unsigned announce_period_s = 0;
  unsigned announce_delay_ms = 0;

  std::string gateway;  // unicast destination of frames; learnt when empty
  unsigned rx_rate = 0;  // frames per second per modem; 0 = as fast as the window allows
  unsigned long rx_count = 0;
  unsigned rx_window = 1;
  unsigned rx_delay_ms = 500;
  bool rx_con = true;
  bool rx_quiet = false;
  sim::rx_frame rx;
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

config cfg;

// ---------------------------------------------------------------------------------------------
// Time and timers

using clock_type = std::chrono::steady_clock;

long long now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(clock_type::now().time_since_epoch())
      .count();
}

std::multimap<long long, std::function<void()>> timers;

void at(long long due_ms, std::function<void()> fn) { timers.emplace(due_ms, std::move(fn)); }
void after(long long delay_ms, std::function<void()> fn) { at(now_ms() + delay_ms, std::move(fn)); }

std::atomic<bool> stop_requested{false};

void on_signal(int) { stop_requested = true; }

// ---------------------------------------------------------------------------------------------
// Modems

struct modem {
  in_addr addr{};
  std::string addr_str;
  sim::modem_info info;
  coap_context_t* ctx = nullptr;
  std::map<std::uint32_t, coap_session_t*> sessions;  // unicast peers by IPv4 address (net order)
  std::map<std::uint16_t, bytes> params;
  std::optional<in_addr> gateway;  // where frames go
  std::uint64_t token_counter = 0;
  // frames
  unsigned long rx_sent = 0, rx_acked = 0, rx_failed = 0;
  unsigned rx_in_flight = 0;
  long long rx_start_ms = 0;
  bool rx_done = false;
  std::string serial() const { return serial_text(info.serial); }
};

std::vector<std::unique_ptr<modem>> modems;

modem* modem_of(coap_session_t* s) {
  return static_cast<modem*>(coap_get_app_data(coap_session_get_context(s)));
}

coap_address_t make_addr(in_addr a, std::uint16_t port) {
  coap_address_t ca;
  coap_address_init(&ca);
  ca.size = sizeof(sockaddr_in);
  ca.addr.sin.sin_family = AF_INET;
  ca.addr.sin.sin_addr = a;
  ca.addr.sin.sin_port = htons(port);
  return ca;
}

std::optional<in_addr> parse_ipv4(const std::string& s) {
  in_addr a{};
  if (s == "mcast" || s == "multicast") return parse_ipv4(mcast_group);
  if (inet_pton(AF_INET, s.c_str(), &a) != 1) return std::nullopt;
  return a;
}

bool is_multicast(in_addr a) { return IN_MULTICAST(ntohl(a.s_addr)); }

/// The session on which this modem talks to a unicast peer: a socket bound to the modem's own
/// addr:5683 (libcoap sets SO_REUSEADDR) and connected to peer:5683, so the peer's answers reach
/// it and requests from the peer's other ports still reach the listening endpoint.
coap_session_t* session_to(modem& m, in_addr peer) {
  auto it = m.sessions.find(peer.s_addr);
  if (it != m.sessions.end()) return it->second;
  coap_address_t local = make_addr(m.addr, coap_port);
  coap_address_t dst = make_addr(peer, coap_port);
  coap_session_t* s = coap_new_client_session(m.ctx, &local, &dst, COAP_PROTO_UDP);
  if (s == nullptr) {
    diag("modem %s: no session to %s", m.serial().c_str(), addr_text(&dst).c_str());
    return nullptr;
  }
  coap_session_set_nstart(s, static_cast<std::uint16_t>(std::clamp(cfg.rx_window, 1U, 65535U)));
  m.sessions.emplace(peer.s_addr, s);
  return s;
}

/// Sends one request from the modem. Multicast goes out on a session of its own that is released
/// at once: a socket left bound to addr:5683 would take unicast requests from the listening one.
bool send_request(modem& m, in_addr dest, const char* path, coap_pdu_code_t method, bool con,
                  std::span<const std::uint8_t> payload, bool log = true) {
  const bool mcast = is_multicast(dest);
  coap_session_t* s = nullptr;
  if (mcast) {
    coap_address_t local = make_addr(m.addr, coap_port);
    coap_address_t dst = make_addr(dest, coap_port);
    s = coap_new_client_session(m.ctx, &local, &dst, COAP_PROTO_UDP);
  } else {
    s = session_to(m, dest);
  }
  if (s == nullptr) return false;
  const auto type = con ? COAP_MESSAGE_CON : COAP_MESSAGE_NON;
  coap_pdu_t* pdu = coap_pdu_init(type, method, coap_new_message_id(s),
                                  std::max<size_t>(coap_session_max_pdu_size(s), payload.size() + 64));
  bool ok = pdu != nullptr;
  bytes token;
  if (ok && cfg.token_len > 0) {
    std::uint64_t t = ++m.token_counter;
    for (unsigned i = 0; i < cfg.token_len && i < 8; ++i) {
      token.push_back(static_cast<std::uint8_t>(t >> (8 * (cfg.token_len - 1 - i))));
    }
    ok = coap_add_token(pdu, token.size(), token.data()) != 0;
  }
  ok = ok && coap_add_option(pdu, COAP_OPTION_URI_PATH, std::strlen(path),
                             reinterpret_cast<const uint8_t*>(path)) != 0;
  if (ok && !payload.empty()) ok = coap_add_data(pdu, payload.size(), payload.data()) != 0;
  coap_mid_t mid = COAP_INVALID_MID;
  if (ok) {
    mid = coap_send(s, pdu);  // owns pdu from here, also on failure
  } else if (pdu != nullptr) {
    coap_delete_pdu(pdu);
  }
  if (log) {
    in_addr d = dest;
    coap_address_t da = make_addr(d, coap_port);
    json_line()
        .str("event", "send")
        .str("modem", m.serial())
        .str("path", path)
        .str("method", method_text(method))
        .str("type", type_text(type))
        .num("mid", mid)
        .hex("token", token)
        .str("to", addr_text(&da))
        .hex("payload", payload)
        .num("ok", mid != COAP_INVALID_MID)
        .emit();
  }
  if (mcast) coap_session_release(s);
  return mid != COAP_INVALID_MID;
}

// ---------------------------------------------------------------------------------------------
// Indications

std::uint32_t wall_seconds() { return static_cast<std::uint32_t>(std::time(nullptr)); }

bytes info_payload(const modem& m) {
  if (cfg.info_hex) return *cfg.info_hex;
  sim::modem_info i = m.info;
  if (!cfg.tmsp_set) i.tmsp = wall_seconds();
  return sim::build_info(i);
}

void announce(modem& m) {
  auto dest = parse_ipv4(cfg.announce_to);
  if (!dest) return;
  const bool con = cfg.announce_type_set ? cfg.announce_con : !is_multicast(*dest);
  send_request(m, *dest, "info_ind", COAP_REQUEST_CODE_POST, con, info_payload(m));
  if (cfg.announce_period_s > 0) {
    modem* pm = &m;
    after(cfg.announce_period_s * 1000LL, [pm] { announce(*pm); });
  }
}

void check_rx_done(modem& m) {
  if (m.rx_done || m.rx_sent < cfg.rx_count || m.rx_acked + m.rx_failed < m.rx_sent) return;
  m.rx_done = true;
  json_line()
      .str("event", "rx_done")
      .str("modem", m.serial())
      .num("sent", static_cast<long long>(m.rx_sent))
      .num("acked", static_cast<long long>(m.rx_acked))
      .num("failed", static_cast<long long>(m.rx_failed))
      .num("ms", now_ms() - m.rx_start_ms)
      .emit();
  if (cfg.exit_after_rx &&
      std::all_of(modems.begin(), modems.end(), [](const auto& p) { return p->rx_done; })) {
    stop_requested = true;
  }
}

void send_one_frame(modem& m) {
  sim::rx_frame f = cfg.rx;
  if (!cfg.rx_rtc_set) f.rtc_sec = wall_seconds();
  f.rtc_ms = static_cast<std::uint16_t>(m.rx_sent % 1000);
  const bytes p = sim::build_rx_msg(f);
  const bool ok = send_request(m, *m.gateway, "rx_msg_req", COAP_REQUEST_CODE_PUT, cfg.rx_con, p,
                               !cfg.rx_quiet);
  ++m.rx_sent;
  if (!ok) {
    ++m.rx_failed;
  } else if (cfg.rx_con) {
    ++m.rx_in_flight;
  } else {
    ++m.rx_acked;  // nothing comes back for a NON frame that the gateway takes
  }
}

void pump_rx(modem& m) {
  if (m.rx_sent >= cfg.rx_count) {
    check_rx_done(m);
    return;
  }
  if (!m.gateway) {
    after(100, [pm = &m] { pump_rx(*pm); });  // not learnt yet
    return;
  }
  if (m.rx_start_ms == 0) m.rx_start_ms = now_ms();
  if (cfg.rx_rate > 0) {
    if (!cfg.rx_con || m.rx_in_flight < cfg.rx_window) send_one_frame(m);
    // a full window skips this tick's frame slot rather than queueing without bound
    const long long period = std::max(1LL, 1000LL / cfg.rx_rate);
    if (m.rx_sent < cfg.rx_count) after(period, [pm = &m] { pump_rx(*pm); });
  } else {
    unsigned burst = 0;
    while (m.rx_sent < cfg.rx_count && burst < cfg.rx_window &&
           (!cfg.rx_con || m.rx_in_flight < cfg.rx_window)) {
      send_one_frame(m);
      ++burst;
    }
    // CON floods are refilled by each answer; NON floods go out one window per 10 ms
    if (!cfg.rx_con && m.rx_sent < cfg.rx_count) after(10, [pm = &m] { pump_rx(*pm); });
  }
  check_rx_done(m);
}

void frame_settled(modem& m, bool acked) {
  if (m.rx_in_flight > 0) --m.rx_in_flight;
  (acked ? m.rx_acked : m.rx_failed)++;
  if (cfg.rx_rate == 0) pump_rx(m);
  check_rx_done(m);
}

void learn_gateway(modem& m, const coap_address_t* from) {
  if (m.gateway || from == nullptr || from->addr.sa.sa_family != AF_INET) return;
  m.gateway = from->addr.sin.sin_addr;
}

// ---------------------------------------------------------------------------------------------
// libcoap callbacks (run inside coap_io_process on the loop)

coap_response_t on_response(coap_session_t* s, const coap_pdu_t* sent, const coap_pdu_t* received,
                            const coap_mid_t mid) noexcept {
  modem* m = modem_of(s);
  const std::string path = uri_path_of(sent);
  learn_gateway(*m, coap_session_get_addr_remote(s));
  const bool is_rx = path == "rx_msg_req";
  if (!is_rx || !cfg.rx_quiet) {
    json_line()
        .str("event", "answer")
        .str("modem", m->serial())
        .str("path", path)
        .str("code", code_text(coap_pdu_get_code(received)))
        .str("type", type_text(coap_pdu_get_type(received)))
        .num("mid", mid)
        .hex("token", pdu_token(received))
        .str("from", addr_text(coap_session_get_addr_remote(s)))
        .hex("payload", pdu_payload(received))
        .emit();
  }
  if (is_rx && sent != nullptr && coap_pdu_get_type(sent) == COAP_MESSAGE_CON) {
    frame_settled(*m, true);
  }
  return COAP_RESPONSE_OK;
}

const char* nack_text(coap_nack_reason_t r) {
  switch (r) {
    case COAP_NACK_TOO_MANY_RETRIES: return "too_many_retries";
    case COAP_NACK_NOT_DELIVERABLE: return "not_deliverable";
    case COAP_NACK_RST: return "rst";
    case COAP_NACK_TLS_FAILED: return "tls_failed";
    case COAP_NACK_ICMP_ISSUE: return "icmp";
    default: return "other";
  }
}

void on_nack(coap_session_t* s, const coap_pdu_t* sent, const coap_nack_reason_t reason,
             const coap_mid_t mid) noexcept {
  modem* m = modem_of(s);
  const std::string path = uri_path_of(sent);
  json_line()
      .str("event", "nack")
      .str("modem", m->serial())
      .str("path", path)
      .str("reason", nack_text(reason))
      .num("mid", mid)
      .emit();
  // ICMP errors leave the message queued for retransmission; the others end it
  if (path == "rx_msg_req" && reason != COAP_NACK_ICMP_ISSUE) frame_settled(*m, false);
}

/// A late piggybacked answer: the ACK the library would have sent, built and sent by hand later.
/// Holds a session reference until it is sent or dropped (before the contexts are freed).
struct pending_answer {
  coap_session_t* session = nullptr;
  coap_pdu_type_t type = COAP_MESSAGE_CON;
  coap_mid_t mid = 0;
  bytes token;
  std::uint8_t code = 0;
  bytes payload;
  pending_answer() = default;
  pending_answer(const pending_answer&) = delete;
  pending_answer& operator=(const pending_answer&) = delete;
  ~pending_answer() {
    if (session != nullptr) coap_session_release(session);
  }
};

void send_late_answer(const pending_answer& a) {
  const auto type = a.type == COAP_MESSAGE_CON ? COAP_MESSAGE_ACK : COAP_MESSAGE_NON;
  const coap_mid_t mid = type == COAP_MESSAGE_ACK ? a.mid : coap_new_message_id(a.session);
  coap_pdu_t* pdu = coap_pdu_init(type, static_cast<coap_pdu_code_t>(a.code), mid,
                                  a.payload.size() + a.token.size() + 32);
  if (pdu == nullptr) return;
  bool ok = a.token.empty() || coap_add_token(pdu, a.token.size(), a.token.data()) != 0;
  if (ok && !a.payload.empty()) ok = coap_add_data(pdu, a.payload.size(), a.payload.data()) != 0;
  if (ok) {
    coap_send(a.session, pdu);
  } else {
    coap_delete_pdu(pdu);
  }
}

/// Tells the library to send nothing for this request: a NON response without a code is
/// dropped, where a code-less ACK would go out as an empty ACK.
void suppress_answer(coap_pdu_t* response) {
  coap_pdu_set_type(response, COAP_MESSAGE_NON);
  coap_pdu_set_code(response, COAP_EMPTY_CODE);
}

misbehaviour* find_misbehaviour(const std::string& path) {
  for (auto& b : cfg.misbehave) {
    if ((b.path == "*" || b.path == path) && b.remaining != 0) {
      if (b.remaining > 0) --b.remaining;
      return &b;
    }
  }
  return nullptr;
}

struct answer {
  std::uint8_t code = COAP_RESPONSE_CODE(204);
  bytes payload;
};

answer bad_payload() { return {COAP_RESPONSE_CODE(400), bytes{'b', 'a', 'd', ' ', 'p', 'a', 'y', 'l', 'o', 'a', 'd'}}; }

void install_later(modem& m, in_addr requester, sim::firmware_upgrade fw) {
  after(cfg.install_delay_ms, [pm = &m, requester, fw] {
    const std::string file = cfg.ftp_dir + "/" + fw.name;
    struct stat st {};
    const bool exists = ::stat(file.c_str(), &st) == 0 && S_ISREG(st.st_mode);
    const long long actual = exists ? static_cast<long long>(st.st_size) : -1;
    std::uint8_t result = exists && actual == static_cast<long long>(fw.size) ? 1 : 0;
    if (cfg.install_force >= 0) result = static_cast<std::uint8_t>(cfg.install_force);
    json_line()
        .str("event", "install")
        .str("modem", pm->serial())
        .str("file", file)
        .num("expected", fw.size)
        .num("actual", actual)
        .num("result", cfg.install_force == -2 ? -1 : result)
        .emit();
    if (cfg.install_force == -2) return;  // the modem never reports
    const std::uint8_t b[1] = {result};
    send_request(*pm, requester, "firmware_install_ind", COAP_REQUEST_CODE_POST, true, b);
  });
}

answer serve(modem& m, const std::string& path, std::span<const std::uint8_t> p,
             const coap_address_t* from) {
  const in_addr requester = from->addr.sin.sin_addr;
  if (path == "firmware_upgrade_req") {
    auto fw = sim::parse_firmware_upgrade(p);
    if (!fw) return bad_payload();
    install_later(m, requester, std::move(*fw));
    return {};
  }
  if (path == "config_set_param_req") {
    auto w = sim::parse_param_write(p);
    if (!w) return bad_payload();
    m.params[w->id] = std::move(w->value);
    return {};
  }
  if (path == "config_get_param_req") {
    sim::le_reader r(p);
    auto id = r.u16();
    if (!id || r.remaining() != 0) return bad_payload();
    auto it = m.params.find(*id);
    bytes none;
    return {COAP_RESPONSE_CODE(205),
            sim::build_param_value(*id, it != m.params.end() ? it->second : none)};
  }
  if (path == "statistics_req") {
    if (cfg.stats_hex) return {COAP_RESPONSE_CODE(205), *cfg.stats_hex};
    const std::uint8_t day = p.empty() ? 0 : p[0];
    return {COAP_RESPONSE_CODE(205),
            sim::build_statistics(cfg.stats_receivers, cfg.stats_form16, day, cfg.stats_len)};
  }
  if (path == "info_req") return {COAP_RESPONSE_CODE(205), info_payload(m)};
  if (path == "noise_req") {
    if (p.size() != 2) return bad_payload();
    const unsigned delay = cfg.noise_delay_ms.value_or(p[0] * 1000U);
    after(delay, [pm = &m, requester] {
      send_request(*pm, requester, "noise_ind", COAP_REQUEST_CODE_POST, true, cfg.noise);
    });
    return {};
  }
  return {};  // every other modem resource takes the request as it is
}

void on_request(coap_resource_t* resource, coap_session_t* session, const coap_pdu_t* request,
                const coap_string_t*, coap_pdu_t* response) noexcept {
  modem* m = modem_of(session);
  const coap_str_const_t* rp = coap_resource_get_uri_path(resource);
  std::string path = rp != nullptr ? std::string(reinterpret_cast<const char*>(rp->s), rp->length)
                                   : std::string();
  const bool known = coap_resource_get_userdata(resource) != nullptr;
  if (!known) path = uri_path_of(request);
  const coap_address_t* from = coap_session_get_addr_remote(session);
  const auto payload = pdu_payload(request);
  json_line()
      .str("event", "request")
      .str("modem", m->serial())
      .str("path", path)
      .str("method", method_text(coap_pdu_get_code(request)))
      .str("type", type_text(coap_pdu_get_type(request)))
      .num("mid", coap_pdu_get_mid(request))
      .hex("token", pdu_token(request))
      .str("from", addr_text(from))
      .hex("payload", payload)
      .emit();
  learn_gateway(*m, from);

  answer a = known ? answer{} : answer{COAP_RESPONSE_CODE(404), {}};
  misbehaviour* b = find_misbehaviour(path);
  if (b != nullptr && b->kind == misbehaviour_kind::ignore) {
    suppress_answer(response);
    return;
  }
  if (b != nullptr && b->kind == misbehaviour_kind::reset) {
    coap_send_rst(session, request);
    suppress_answer(response);
    return;
  }
  if (b != nullptr && b->kind == misbehaviour_kind::code) {
    a = {b->code, bytes(b->text.begin(), b->text.end())};
  } else if (known) {
    a = serve(*m, path, payload, from);
  }
  if (b != nullptr && b->kind == misbehaviour_kind::delay) {
    if (b->code != 0) a.code = b->code;
    auto tok = pdu_token(request);
    auto pa = std::make_shared<pending_answer>();
    pa->session = coap_session_reference(session);
    pa->type = coap_pdu_get_type(request);
    pa->mid = coap_pdu_get_mid(request);
    pa->token.assign(tok.begin(), tok.end());
    pa->code = a.code;
    pa->payload = std::move(a.payload);
    after(b->delay_ms, [pa] { send_late_answer(*pa); });
    suppress_answer(response);
    return;
  }
  coap_pdu_set_code(response, static_cast<coap_pdu_code_t>(a.code));
  if (!a.payload.empty()) coap_add_data(response, a.payload.size(), a.payload.data());
}

// ---------------------------------------------------------------------------------------------
// Contexts

struct modem_resource {
  const char* path;
  coap_request_t method;
};

// Userdata of each resource: non-null marks a resource of the modem (the unknown-path one has none).
constexpr modem_resource modem_resources[] = {
    {"firmware_upgrade_req", COAP_REQUEST_POST}, {"firmware_force_update_req", COAP_REQUEST_POST},
    {"tx_msg_req", COAP_REQUEST_PUT},            {"tx_msg_ext_req", COAP_REQUEST_PUT},
    {"tx_file_req", COAP_REQUEST_PUT},           {"rx_mode_config_req", COAP_REQUEST_POST},
    {"rx_ext_config_req", COAP_REQUEST_POST},    {"command_req", COAP_REQUEST_POST},
    {"config_set_param_req", COAP_REQUEST_POST}, {"config_get_param_req", COAP_REQUEST_GET},
    {"statistics_req", COAP_REQUEST_GET},        {"info_req", COAP_REQUEST_GET},
    {"noise_req", COAP_REQUEST_GET},             {"log_req", COAP_REQUEST_GET},
};

constexpr coap_request_t all_methods[] = {COAP_REQUEST_GET, COAP_REQUEST_POST, COAP_REQUEST_PUT,
                                          COAP_REQUEST_DELETE};

bool start_modem(modem& m) {
  coap_address_t listen = make_addr(m.addr, coap_port);
  m.ctx = coap_new_context(&listen);
  if (m.ctx == nullptr) {
    diag("modem %s: cannot bind %s:%u", m.serial().c_str(), m.addr_str.c_str(), coap_port);
    return false;
  }
  coap_set_app_data(m.ctx, &m);
  coap_register_response_handler(m.ctx, on_response);
  coap_register_nack_handler(m.ctx, on_nack);
  for (const auto& r : modem_resources) {
    coap_str_const_t* name = coap_new_str_const(reinterpret_cast<const uint8_t*>(r.path),
                                                std::strlen(r.path));
    coap_resource_t* res = coap_resource_init(name, COAP_RESOURCE_FLAGS_RELEASE_URI);
    if (res == nullptr) return false;
    coap_resource_set_userdata(res, const_cast<modem_resource*>(&r));
    if (cfg.any_method) {
      for (auto meth : all_methods) coap_register_handler(res, meth, on_request);
    } else {
      coap_register_handler(res, r.method, on_request);
    }
    coap_add_resource(m.ctx, res);
  }
  // Requests to any other path are logged too, then answered 4.04.
  coap_resource_t* unknown = coap_resource_unknown_init(on_request);
  if (unknown != nullptr) {
    for (auto meth : all_methods) coap_register_handler(unknown, meth, on_request);
    coap_add_resource(m.ctx, unknown);
  }
  if (cfg.join_mcast && coap_join_mcast_group_intf(m.ctx, mcast_group, "eth0") != 0) {
    diag("modem %s: cannot join %s on eth0", m.serial().c_str(), mcast_group);
  }
  if (!cfg.gateway.empty()) m.gateway = parse_ipv4(cfg.gateway);
  if (!m.gateway && !cfg.announce_to.empty()) {
    auto a = parse_ipv4(cfg.announce_to);
    if (a && !is_multicast(*a)) m.gateway = a;
  }
  json_line()
      .str("event", "modem")
      .str("modem", m.serial())
      .str("addr", m.addr_str)
      .num("port", coap_port)
      .hex("info", info_payload(m))
      .emit();
  return true;
}

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

// ---------------------------------------------------------------------------------------------
// One-shot: send one request, print the answer, exit

struct oneshot_state {
  bool answered = false;
  bool reset = false;
};
oneshot_state oneshot;

coap_response_t oneshot_response(coap_session_t* s, const coap_pdu_t* sent,
                                 const coap_pdu_t* received, const coap_mid_t mid) noexcept {
  json_line()
      .str("event", "answer")
      .str("path", uri_path_of(sent))
      .str("code", code_text(coap_pdu_get_code(received)))
      .str("type", type_text(coap_pdu_get_type(received)))
      .num("mid", mid)
      .hex("token", pdu_token(received))
      .str("from", addr_text(coap_session_get_addr_remote(s)))
      .hex("payload", pdu_payload(received))
      .emit();
  oneshot.answered = true;
  return COAP_RESPONSE_OK;
}

void oneshot_nack(coap_session_t*, const coap_pdu_t* sent, const coap_nack_reason_t reason,
                  const coap_mid_t mid) noexcept {
  json_line()
      .str("event", "nack")
      .str("path", uri_path_of(sent))
      .str("reason", nack_text(reason))
      .num("mid", mid)
      .emit();
  if (reason == COAP_NACK_RST) oneshot.reset = true;
}

int run_oneshot() {
  auto to = parse_ipv4(cfg.send_to);
  if (!to) {
    diag("--to: not an IPv4 address: %s", cfg.send_to.c_str());
    return 64;
  }
  coap_context_t* ctx = coap_new_context(nullptr);
  if (ctx == nullptr) return 1;
  coap_register_response_handler(ctx, oneshot_response);
  coap_register_nack_handler(ctx, oneshot_nack);
  coap_address_t dst = make_addr(*to, coap_port);
  std::optional<coap_address_t> local;
  if (!cfg.send_from.empty()) {
    auto f = parse_ipv4(cfg.send_from);
    if (!f) {
      diag("--from: not an IPv4 address: %s", cfg.send_from.c_str());
      coap_free_context(ctx);
      return 64;
    }
    local = make_addr(*f, coap_port);
  }
  coap_session_t* s = coap_new_client_session(ctx, local ? &*local : nullptr, &dst, COAP_PROTO_UDP);
  if (s == nullptr) {
    diag("no session to %s", cfg.send_to.c_str());
    coap_free_context(ctx);
    return 1;
  }
  const auto type = cfg.send_con ? COAP_MESSAGE_CON : COAP_MESSAGE_NON;
  coap_pdu_t* pdu = coap_pdu_init(type, static_cast<coap_pdu_code_t>(cfg.send_method),
                                  coap_new_message_id(s), cfg.send_payload.size() + 256);
  bool ok = pdu != nullptr;
  if (ok) {
    // Uri-Path segments at '/', so "a/b" becomes two options
    std::string_view rest = cfg.send_path;
    while (ok && !rest.empty()) {
      const auto cut = rest.find('/');
      const auto seg = rest.substr(0, cut);
      if (!seg.empty()) {
        ok = coap_add_option(pdu, COAP_OPTION_URI_PATH, seg.size(),
                             reinterpret_cast<const uint8_t*>(seg.data())) != 0;
      }
      rest = cut == std::string_view::npos ? std::string_view() : rest.substr(cut + 1);
    }
  }
  if (ok && !cfg.send_payload.empty()) {
    ok = coap_add_data(pdu, cfg.send_payload.size(), cfg.send_payload.data()) != 0;
  }
  const coap_mid_t mid = ok ? coap_send(s, pdu) : COAP_INVALID_MID;
  if (!ok && pdu != nullptr) coap_delete_pdu(pdu);
  json_line()
      .str("event", "send")
      .str("path", cfg.send_path)
      .str("method", method_text(cfg.send_method))
      .str("type", type_text(type))
      .num("mid", mid)
      .str("to", addr_text(&dst))
      .hex("payload", cfg.send_payload)
      .num("ok", mid != COAP_INVALID_MID)
      .emit();
  int rc = 1;
  if (mid != COAP_INVALID_MID) {
    const long long end = now_ms() + cfg.wait_ms;
    // A CON ends at its ACK or RST; an empty ACK ends it without an answer.
    while (!stop_requested && !oneshot.answered && !oneshot.reset && now_ms() < end) {
      if (cfg.send_con && coap_can_exit(ctx)) break;
      coap_io_process(ctx, static_cast<uint32_t>(std::clamp(end - now_ms(), 1LL, 100LL)));
    }
    if (oneshot.answered) {
      rc = 0;
    } else if (oneshot.reset) {
      rc = 2;
    } else if (cfg.send_con && coap_can_exit(ctx)) {
      json_line().str("event", "empty_ack").emit();
      rc = 3;
    } else {
      json_line().str("event", "timeout").num("ms", cfg.wait_ms).emit();
    }
  }
  coap_session_release(s);
  coap_free_context(ctx);
  return rc;
}

// ---------------------------------------------------------------------------------------------
// Command line

constexpr const char* usage_text = R"(Usage: lanmodem-sim [OPTIONS]
Plays LAN radio modems on CoAP/UDP 5683, one libcoap context per modem address. Prints one JSON
object per line on stdout: "modem" (started), "request" (every request received: modem, path,
method, type, mid, token, from, payload hex), "send" (every request sent), "answer", "nack",
"install", "rx_done", "empty_ack", "timeout". Diagnostics go to stderr. Stops on SIGINT/SIGTERM.

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
  --rx-freq N, --rx-rssi N, --rx-mod N, --rx-receiver N, --rx-offset N, --rx-rtc SEC
                            header fields (defaults 868950000, 70, 16, 0, -12, now); the RTC
                            milliseconds count the frames
  --rx-quiet                no send/answer line per frame (the rx_done line stays)
  --exit-after-rx           exit once every modem has all its frames answered or failed

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
  if (std::sscanf(t.c_str(), "%u.%u%c", &c, &d, &extra) != 2 || c > 7 || d > 31) return std::nullopt;
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
  o_modem = 1000, o_protocol, o_state, o_hw, o_sw, o_type, o_location, o_wakeup, o_tmsp,
  o_receivers, o_info_hex, o_any_method, o_join_mcast, o_announce, o_announce_type, o_announce_period,
  o_announce_delay, o_gateway, o_rx_count, o_rx_rate, o_rx_window, o_rx_type, o_rx_delay,
  o_rx_frame, o_rx_freq, o_rx_rssi, o_rx_mod, o_rx_receiver, o_rx_offset, o_rx_rtc, o_rx_quiet,
  o_exit_after_rx, o_ftp_dir, o_install_delay, o_install_result, o_noise, o_noise_delay,
  o_stats_form, o_stats_receivers, o_stats_len, o_stats_hex, o_param, o_misbehave, o_token_len,
  o_send, o_to, o_method, o_con, o_non, o_payload, o_from, o_wait, o_duration, o_coap_log, o_help
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
  auto v = sim::parse_hex(arg);
  if (v) out = std::move(*v);
  return v.has_value();
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

/// 0 on success, 1 after --help, -1 on a bad argument (already reported).
int parse_args(int argc, char** argv) {
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
      case o_protocol: ok = set_uint(a, cfg.info.protocol, 0xFFFFFFFFUL); break;
      case o_state: ok = set_u8(a, cfg.info.state); break;
      case o_hw: ok = parse_version(a, cfg.info.hw_major, cfg.info.hw_minor); break;
      case o_sw: ok = parse_version(a, cfg.info.sw_major, cfg.info.sw_minor); break;
      case o_type: ok = set_u8(a, cfg.info.type); break;
      case o_location: ok = set_u8(a, cfg.info.location); break;
      case o_wakeup: ok = set_u8(a, cfg.info.wakeup); break;
      case o_tmsp: ok = set_uint(a, cfg.info.tmsp, 0xFFFFFFFFUL); cfg.tmsp_set = true; break;
      case o_receivers: ok = set_hex(a, cfg.info.receivers) && cfg.info.receivers.size() <= 255; break;
      case o_info_hex: cfg.info_hex.emplace(); ok = set_hex(a, *cfg.info_hex); break;
      case o_any_method: cfg.any_method = true; break;
      case o_join_mcast: cfg.join_mcast = true; break;
      case o_announce: cfg.announce_to = a; ok = parse_ipv4(a).has_value(); break;
      case o_announce_type: ok = set_con(a, cfg.announce_con); cfg.announce_type_set = true; break;
      case o_announce_period: ok = set_uint(a, cfg.announce_period_s, 86400); break;
      case o_announce_delay: ok = set_uint(a, cfg.announce_delay_ms, 3600000); break;
      case o_gateway: {
        cfg.gateway = a;
        auto ip = parse_ipv4(a);
        ok = ip && !is_multicast(*ip);
        break;
      }
      case o_rx_count: ok = set_uint(a, cfg.rx_count, 100000000UL); break;
      case o_rx_rate: ok = set_uint(a, cfg.rx_rate, 1000); break;
      case o_rx_window: ok = set_uint(a, cfg.rx_window, 1000) && cfg.rx_window > 0; break;
      case o_rx_type: ok = set_con(a, cfg.rx_con); break;
      case o_rx_delay: ok = set_uint(a, cfg.rx_delay_ms, 3600000); break;
      case o_rx_frame: ok = set_hex(a, cfg.rx.frame) && cfg.rx.frame.size() <= 0xFFFF; break;
      case o_rx_freq: ok = set_uint(a, cfg.rx.freq, 0xFFFFFFFFUL); break;
      case o_rx_rssi: ok = set_u8(a, cfg.rx.rssi); break;
      case o_rx_mod: ok = set_u8(a, cfg.rx.rf_mod); break;
      case o_rx_receiver: ok = set_u8(a, cfg.rx.rf_receiver); break;
      case o_rx_offset: {
        char* end = nullptr;
        const long v = std::strtol(a, &end, 0);
        ok = *a != '\0' && *end == '\0' && v >= -32768 && v <= 32767;
        cfg.rx.freq_offset = static_cast<std::int16_t>(v);
        break;
      }
      case o_rx_rtc: ok = set_uint(a, cfg.rx.rtc_sec, 0xFFFFFFFFUL); cfg.rx_rtc_set = true; break;
      case o_rx_quiet: cfg.rx_quiet = true; break;
      case o_exit_after_rx: cfg.exit_after_rx = true; break;
      case o_ftp_dir: cfg.ftp_dir = a; break;
      case o_install_delay: ok = set_uint(a, cfg.install_delay_ms, 3600000); break;
      case o_install_result:
        ok = std::strcmp(a, "ok") == 0 || std::strcmp(a, "ko") == 0 || std::strcmp(a, "none") == 0;
        cfg.install_force = std::strcmp(a, "ok") == 0 ? 1 : std::strcmp(a, "ko") == 0 ? 0 : -2;
        break;
      case o_noise: ok = set_hex(a, cfg.noise); break;
      case o_noise_delay: cfg.noise_delay_ms.emplace(); ok = set_uint(a, *cfg.noise_delay_ms, 3600000); break;
      case o_stats_form:
        ok = std::strcmp(a, "16") == 0 || std::strcmp(a, "8") == 0;
        cfg.stats_form16 = std::strcmp(a, "16") == 0;
        break;
      case o_stats_receivers: ok = set_u8(a, cfg.stats_receivers) && cfg.stats_receivers >= 1 && cfg.stats_receivers <= 7; break;
      case o_stats_len: ok = set_uint(a, cfg.stats_len, 1024); break;
      case o_stats_hex: cfg.stats_hex.emplace(); ok = set_hex(a, *cfg.stats_hex); break;
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
      case o_token_len: ok = set_uint(a, cfg.token_len, 8); break;
      case o_send: cfg.send_path = a; ok = !cfg.send_path.empty(); break;
      case o_to: cfg.send_to = a; break;
      case o_method: {
        const std::string m(a);
        if (m == "GET") cfg.send_method = COAP_REQUEST_CODE_GET;
        else if (m == "POST") cfg.send_method = COAP_REQUEST_CODE_POST;
        else if (m == "PUT") cfg.send_method = COAP_REQUEST_CODE_PUT;
        else if (m == "DELETE") cfg.send_method = COAP_REQUEST_CODE_DELETE;
        else ok = false;
        break;
      }
      case o_con: cfg.send_con = true; break;
      case o_non: cfg.send_con = false; break;
      case o_payload: ok = set_hex(a, cfg.send_payload); break;
      case o_from: cfg.send_from = a; break;
      case o_wait: ok = set_uint(a, cfg.wait_ms, 600000); break;
      case o_duration: ok = set_uint(a, cfg.duration_s, 86400); break;
      case o_coap_log: ok = set_uint(a, cfg.coap_log, 7); break;
      case o_help:
      case 'h': std::fputs(usage_text, stdout); return 1;
      default: ok = false; a = argv[optind - 1]; break;
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

void log_to_stderr(coap_log_t level, const char* message) noexcept {
  std::fprintf(stderr, "libcoap[%d]: %s", level, message);
}

}  // namespace

int main(int argc, char** argv) {
  cfg.rx.frame = *sim::parse_hex(
      "1e442d2c785634120107" "7a1a000000" "0c1312345678" "046d2c1a4b22" "02fd1700");
  const int pr = parse_args(argc, argv);
  if (pr != 0) return pr > 0 ? 0 : 64;

  struct sigaction sa {};
  sa.sa_handler = on_signal;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  coap_startup();
  coap_set_log_handler(log_to_stderr);
  coap_set_log_level(cfg.coap_log);

  int rc = 0;
  if (!cfg.send_path.empty()) {
    rc = run_oneshot();
  } else {
    std::vector<coap_context_t*> ctxs;
    for (const auto& [ip, serial] : cfg.modems) {
      auto m = std::make_unique<modem>();
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
        if (cfg.rx_count > 0) after(cfg.rx_delay_ms, [pm] { pump_rx(*pm); });
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
  }
  coap_cleanup();
  return rc;
}
