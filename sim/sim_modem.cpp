// The simulated modems: sessions, requests they send (announcements, frames, indications), the
// resources they serve and how they misbehave. Runs on the loop only, inside libcoap's callbacks
// or the timers.
#include "sim_modem.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <span>
#include <utility>

#include "sim_config.h"
#include "sim_output.h"

namespace sim {

// ---------------------------------------------------------------------------------------------
// Time and timers

long long now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(clock_type::now().time_since_epoch())
      .count();
}

std::multimap<long long, std::function<void()>> timers;

void after(long long delay_ms, std::function<void()> fn) {
  timers.emplace(now_ms() + delay_ms, std::move(fn));
}

constinit std::atomic<bool> stop_requested{false};

// ---------------------------------------------------------------------------------------------
// Modems, sessions and the requests they send

std::string modem::serial() const { return serial_text(info.serial); }

std::vector<std::unique_ptr<modem>> modems;

namespace {

modem* modem_of(coap_session_t* s) {
  return static_cast<modem*>(coap_get_app_data(coap_session_get_context(s)));
}

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
  coap_pdu_t* pdu =
      coap_pdu_init(type, method, coap_new_message_id(s),
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
  modem_info i = m.info;
  if (!cfg.tmsp_set) i.tmsp = wall_seconds();
  return build_info(i);
}

void check_rx_done(modem& m) {
  if (m.rx_done || m.rx_sent < cfg.rx_count ||
      m.rx_acked + m.rx_failed + m.rx_refused < m.rx_sent) {
    return;
  }
  m.rx_done = true;
  json_line()
      .str("event", "rx_done")
      .str("modem", m.serial())
      .num("sent", static_cast<long long>(m.rx_sent))
      .num("acked", static_cast<long long>(m.rx_acked))
      .num("failed", static_cast<long long>(m.rx_failed))
      .num("refused", static_cast<long long>(m.rx_refused))
      .num("ms", now_ms() - m.rx_start_ms)
      .emit();
  if (cfg.exit_after_rx &&
      std::all_of(modems.begin(), modems.end(), [](const auto& p) { return p->rx_done; })) {
    stop_requested = true;
  }
}

void send_one_frame(modem& m) {
  rx_frame f = cfg.rx;
  f.frame = rx_frame_at(m.rx_sent);
  f.rssi = rx_rssi_of(m.index);
  if (!cfg.rx_rtc_set) f.rtc_sec = wall_seconds();
  f.rtc_ms = static_cast<std::uint16_t>(m.rx_sent % 1000);
  const bytes p = build_rx_msg(f);
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

}  // namespace

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

namespace {

void frame_settled(modem& m, unsigned long& count) {
  if (m.rx_in_flight > 0) --m.rx_in_flight;
  ++count;
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
    answer_line(m->serial(), path, s, received, mid);
  }
  if (is_rx && sent != nullptr && coap_pdu_get_type(sent) == COAP_MESSAGE_CON) {
    // 5.03: the gateway says it did not take the frame, which is not an acknowledgement
    const bool refused = coap_pdu_get_code(received) == COAP_RESPONSE_CODE_SERVICE_UNAVAILABLE;
    frame_settled(*m, refused ? m->rx_refused : m->rx_acked);
  }
  return COAP_RESPONSE_OK;
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
  if (path == "rx_msg_req" && reason != COAP_NACK_ICMP_ISSUE) frame_settled(*m, m->rx_failed);
}

// ---------------------------------------------------------------------------------------------
// Serving: answers, misbehaviours, installs

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

answer bad_payload() {
  return {COAP_RESPONSE_CODE(400), bytes{'b', 'a', 'd', ' ', 'p', 'a', 'y', 'l', 'o', 'a', 'd'}};
}

void install_later(modem& m, in_addr requester, firmware_upgrade fw) {
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
    auto fw = parse_firmware_upgrade(p);
    if (!fw) return bad_payload();
    install_later(m, requester, std::move(*fw));
    return {};
  }
  if (path == "config_set_param_req") {
    auto w = parse_param_write(p);
    if (!w) return bad_payload();
    m.params[w->id] = std::move(w->value);
    return {};
  }
  if (path == "config_get_param_req") {
    le_reader r(p);
    auto id = r.u16();
    if (!id || r.remaining() != 0) return bad_payload();
    auto it = m.params.find(*id);
    bytes none;
    return {COAP_RESPONSE_CODE(205),
            build_param_value(*id, it != m.params.end() ? it->second : none)};
  }
  if (path == "statistics_req") {
    if (cfg.stats_hex) return {COAP_RESPONSE_CODE(205), *cfg.stats_hex};
    const std::uint8_t day = p.empty() ? 0 : p[0];
    return {COAP_RESPONSE_CODE(205),
            build_statistics(cfg.stats_receivers, cfg.stats_form16, day, cfg.stats_len)};
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
  std::string path =
      rp != nullptr ? std::string(reinterpret_cast<const char*>(rp->s), rp->length) : std::string();
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

// Userdata of each resource: non-null marks a resource of the modem (the unknown-path one has
// none).
constexpr modem_resource modem_resources[] = {
    {"firmware_upgrade_req", COAP_REQUEST_POST},
    {"firmware_force_update_req", COAP_REQUEST_POST},
    {"tx_msg_req", COAP_REQUEST_PUT},
    {"tx_msg_ext_req", COAP_REQUEST_PUT},
    {"tx_file_req", COAP_REQUEST_PUT},
    {"rx_mode_config_req", COAP_REQUEST_POST},
    {"rx_ext_config_req", COAP_REQUEST_POST},
    {"command_req", COAP_REQUEST_POST},
    {"config_set_param_req", COAP_REQUEST_POST},
    {"config_get_param_req", COAP_REQUEST_GET},
    {"statistics_req", COAP_REQUEST_GET},
    {"info_req", COAP_REQUEST_GET},
    {"noise_req", COAP_REQUEST_GET},
    {"log_req", COAP_REQUEST_GET},
};

constexpr coap_request_t all_methods[] = {COAP_REQUEST_GET, COAP_REQUEST_POST, COAP_REQUEST_PUT,
                                          COAP_REQUEST_DELETE};

}  // namespace

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
    coap_str_const_t* name =
        coap_new_str_const(reinterpret_cast<const uint8_t*>(r.path), std::strlen(r.path));
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

}  // namespace sim
