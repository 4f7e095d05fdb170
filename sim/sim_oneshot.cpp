// One-shot mode: send one request, print the answer, exit. A context of its own, no modem.
#include "sim_oneshot.h"

#include <coap3/coap.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string_view>

#include "sim_config.h"
#include "sim_modem.h"
#include "sim_output.h"

namespace sim {

namespace {

struct oneshot_state {
  bool answered = false;
  bool reset = false;
};
oneshot_state oneshot;

coap_response_t oneshot_response(coap_session_t* s, const coap_pdu_t* sent,
                                 const coap_pdu_t* received, const coap_mid_t mid) noexcept {
  answer_line({}, uri_path_of(sent), s, received, mid);
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
}  // namespace

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

}  // namespace sim
