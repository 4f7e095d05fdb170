// CoAP request client. A request lives inside one call: its context, session, socket, message
// and options are made for it and freed before the call returns.
#include "coap_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <memory>
#include <span>
#include <string_view>

#include "app_lan_msg.h"
#include "app_lan_rx.h"
#include "coap_client_internal.h"
#include "coap_server_internal.h"
#include "vos_trace.h"

namespace detail {

std::atomic<std::uint32_t> u32_request_timeout_ms{request_timeout_s * 1000};

void insert_option(coap_optlist_t** ppt_chain, coap_optlist_t* pt_node) noexcept {
  coap_optlist_t** ppt_link = ppt_chain;
  while (*ppt_link != nullptr && order_opts(pt_node, *ppt_link) != -1) {
    ppt_link = &(*ppt_link)->next;
  }
  pt_node->next = *ppt_link;
  *ppt_link = pt_node;
}

}  // namespace detail

namespace {

constexpr const char* source_name = "../tst/coap_client.c";

constexpr std::uint16_t default_port = LAN_COAP_PORT;

using steady = std::chrono::steady_clock;
// Latest end of any request's wait; the far future unless a bounded run set it.
constinit steady::time_point _t_request_deadline = steady::time_point::max();
constinit std::atomic<bool> _b_requests_cancelled{false};
constexpr std::size_t max_message_size = 1400;  // header, options, marker and payload
constexpr std::size_t max_path_options = 40;    // encoded Uri-Path options of one path

// What the response handler leaves for the request; attached to the request's context.
struct request_data {
  std::uint32_t u32_code = 0;  // code of the last non-empty message seen, 0 for none
  bool b_reset = false;        // the request was reset (never seen by the response handler)
};

// A reset never reaches the response handler: the library reports it as a negative answer.
void _nack_handler(coap_session_t* pt_session, const coap_pdu_t*, const coap_nack_reason_t reason,
                   const coap_mid_t) noexcept {
  auto* pt_data =
      static_cast<request_data*>(coap_get_app_data(coap_session_get_context(pt_session)));
  if (reason == COAP_NACK_RST && pt_data != nullptr) pt_data->b_reset = true;
}

struct context_deleter {
  void operator()(coap_context_t* p) const noexcept { coap_free_context(p); }
};
struct optlist_deleter {
  void operator()(coap_optlist_t* p) const noexcept { coap_delete_optlist(p); }
};
using optlist_ptr = std::unique_ptr<coap_optlist_t, optlist_deleter>;

void _add_option(optlist_ptr& chain, std::uint16_t u16_number, std::uint32_t u32_length,
                 const std::uint8_t* pu8_value) noexcept {
  coap_optlist_t* pt_node = new_option_node(u16_number, u32_length, pu8_value);
  if (pt_node == nullptr) return;  // the request goes without it
  coap_optlist_t* pt_head = chain.release();
  detail::insert_option(&pt_head, pt_node);
  chain.reset(pt_head);
}

optlist_ptr _build_options(std::uint16_t u16_port, const lan_path_t& t_path) noexcept {
  optlist_ptr chain;
  if (u16_port != default_port) {
    std::uint8_t au8_port[sizeof(std::uint32_t)];
    const unsigned u_len = coap_encode_var_safe(au8_port, sizeof(au8_port), u16_port);
    _add_option(chain, COAP_OPTION_URI_PORT, u_len, au8_port);
  }
  if (t_path.u32_len != 0 && t_path.pc_path != nullptr) {
    std::uint8_t au8_segments[max_path_options];
    std::size_t buflen = sizeof(au8_segments);
    const int i_nb = coap_split_path(reinterpret_cast<const std::uint8_t*>(t_path.pc_path),
                                     t_path.u32_len, au8_segments, &buflen);
    const std::uint8_t* pu8_opt = au8_segments;
    for (int i = 0; i < i_nb && pu8_opt < au8_segments + buflen; ++i) {
      _add_option(chain, COAP_OPTION_URI_PATH, coap_opt_length(pu8_opt), coap_opt_value(pu8_opt));
      pu8_opt += coap_opt_size(pu8_opt);
    }
  }
  return chain;
}

// The destination with its port replaced; false for a family the library cannot reach.
bool _set_port(coap_address_t& t_addr, std::uint16_t u16_port) noexcept {
  switch (t_addr.addr.sa.sa_family) {
    case AF_INET:
      t_addr.addr.sin.sin_port = htons(u16_port);
      return true;
    case AF_INET6:
      t_addr.addr.sin6.sin6_port = htons(u16_port);
      return true;
    default:
      return false;
  }
}

// Message kind of a 2.05 answer, from the Uri-Path of the request it answers; 0 for none.
std::uint32_t _content_kind(const coap_pdu_t* pt_sent) noexcept {
  if (pt_sent == nullptr) return 0;
  coap_opt_iterator_t t_iter;
  const coap_opt_t* pt_opt = coap_check_option(pt_sent, COAP_OPTION_URI_PATH, &t_iter);
  if (pt_opt == nullptr) return 0;
  const std::string_view path{reinterpret_cast<const char*>(coap_opt_value(pt_opt)),
                              coap_opt_length(pt_opt)};
  if (path == info_req.name()) {
    VOS_DEBUG("info_req data received");
    return LAN_MSG_INFO;
  }
  if (path == statistics_req.name()) return LAN_MSG_STATISTICS;
  if (path == config_get_param_req.name()) return LAN_MSG_PARAM_VALUE;
  return 0;
}

}  // namespace

void coap_set_request_deadline(std::chrono::steady_clock::time_point t_deadline) {
  _t_request_deadline = t_deadline;
}

void coap_cancel_requests() { _b_requests_cancelled.store(true); }

coap_optlist_t* new_option_node(std::uint16_t u16_number, std::uint32_t u32_length,
                                const std::uint8_t* pu8_value) {
  coap_optlist_t* pt_node = coap_new_optlist(u16_number, u32_length, pu8_value);
  if (pt_node == nullptr) std::perror("new_option_node: malloc");
  return pt_node;
}

int order_opts(const coap_optlist_t* pt_a, const coap_optlist_t* pt_b) {
  if (pt_a->number < pt_b->number) return -1;
  return pt_a->number == pt_b->number ? 1 : 0;
}

coap_response_t message_handler(coap_session_t* pt_session, const coap_pdu_t* pt_sent,
                                const coap_pdu_t* pt_received, const coap_mid_t) {
  const unsigned u_code = coap_pdu_get_code(pt_received);
  const int i_class = static_cast<int>(u_code >> 5);
  const int i_detail = static_cast<int>(u_code & 31);
  if (coap_get_log_level() >= LOG_DEBUG) {
    coap_log(LOG_DEBUG, "** process incoming %d.%02d response:\n", i_class, i_detail);
    coap_show_pdu(LOG_DEBUG, pt_received);
  }

  auto* pt_data =
      static_cast<request_data*>(coap_get_app_data(coap_session_get_context(pt_session)));
  if (u_code != 0 && pt_data != nullptr) pt_data->u32_code = u_code;

  if (coap_pdu_get_type(pt_received) == COAP_MESSAGE_RST) {
    coap_log(LOG_INFO, "got RST\n");
    return COAP_RESPONSE_OK;
  }
  // A confirmable response is acknowledged by the library once this handler returns.

  std::size_t size = 0;
  const std::uint8_t* pu8_data = nullptr;
  if (coap_get_data(pt_received, &size, &pu8_data) == 0) size = 0;

  if (u_code == COAP_RESPONSE_CODE_CONTENT) {
    const std::uint32_t u32_kind = _content_kind(pt_sent);
    if (u32_kind != 0 && size != 0) {
      if (const auto pf = detail::coap_rx().pf_handler) {
        pf(u32_kind, coap_session_get_addr_remote(pt_session), pu8_data,
           static_cast<std::uint32_t>(size));
      }
    }
  } else if (i_class >= 4) {
    std::fprintf(stderr, "%d.%02d", i_class, i_detail);
    if (size != 0) {
      // The text comes from the LAN: control and non-ASCII bytes are shown, not written.
      std::fputc(' ', stderr);
      for (const std::uint8_t u8 : std::span{pu8_data, size}) {
        if (u8 >= 0x20 && u8 < 0x7F) {
          std::fputc(u8, stderr);
        } else {
          std::fprintf(stderr, "\\x%02x", u8);
        }
      }
    }
    std::fputc('\n', stderr);
  }
  return COAP_RESPONSE_OK;
}

std::uint32_t coap_send_msg_request(const coap_address_t* pt_dest, std::uint16_t u16_port,
                                    lan_path_t t_path, const std::uint8_t* pu8_payload,
                                    std::uint16_t u16_len) {
  return coap_send_request(pt_dest, u16_port, t_path, pu8_payload, u16_len).u32_code;
}

coap_request_outcome coap_send_request(const coap_address_t* pt_dest, std::uint16_t u16_port,
                                       lan_path_t t_path, const std::uint8_t* pu8_payload,
                                       std::uint16_t u16_len) {
  detail::coap_log_init();
  if (pt_dest == nullptr) return {};
  coap_address_t t_dest = *pt_dest;
  optlist_ptr options = _build_options(u16_port, t_path);
  request_data t_data;

  // A client session binds its own socket to an ephemeral port and connects it to the modem.
  const std::unique_ptr<coap_context_t, context_deleter> ctx{coap_new_context(nullptr)};
  coap_session_t* pt_session = nullptr;
  if (ctx != nullptr && _set_port(t_dest, u16_port)) {
    pt_session = coap_new_client_session(ctx.get(), nullptr, &t_dest, COAP_PROTO_UDP);
  }
  if (pt_session == nullptr) {
    coap_log(LOG_EMERG, "cannot create context\n");
    return {};
  }
  coap_set_app_data(ctx.get(), &t_data);
  coap_register_response_handler(ctx.get(), message_handler);
  coap_register_nack_handler(ctx.get(), _nack_handler);

  coap_pdu_t* pt_pdu = coap_pdu_init(static_cast<coap_pdu_type_t>(t_path.u8_type & 3),
                                     static_cast<coap_pdu_code_t>(t_path.u8_method),
                                     coap_new_message_id(pt_session), max_message_size);
  if (pt_pdu == nullptr) return {};
  if (options != nullptr) {
    // The library sorts the chain in place: keep owning its head.
    coap_optlist_t* pt_options = options.release();
    coap_add_optlist_pdu(pt_pdu, &pt_options);
    options.reset(pt_options);
  }
  // A request that lost its payload would mean something else to the modem: never send one.
  if (pu8_payload != nullptr && u16_len != 0 && coap_add_data(pt_pdu, u16_len, pu8_payload) == 0) {
    std::fprintf(stderr, "payload of %u bytes does not fit in a request on %.*s\n",
                 static_cast<unsigned>(u16_len), static_cast<int>(t_path.u32_len),
                 t_path.pc_path ? t_path.pc_path : "");
    coap_delete_pdu(pt_pdu);
    return {};
  }
  if (coap_get_log_level() >= LOG_DEBUG) {
    coap_log(LOG_DEBUG, "sending CoAP request:\n");
    coap_show_pdu(LOG_DEBUG, pt_pdu);
  }

  // The library owns the message from here on, and queues a confirmable one for retransmission.
  if (coap_send(pt_session, pt_pdu) == COAP_INVALID_MID) return {};

  const std::uint32_t u32_timeout_ms = detail::u32_request_timeout_ms.load();
  coap_log(LOG_DEBUG, "timeout is set to %d seconds\n", static_cast<int>(u32_timeout_ms / 1000));
  const steady::time_point deadline =
      std::min(steady::now() + std::chrono::milliseconds(u32_timeout_ms), _t_request_deadline);
  // coap_can_exit also turns true on an empty acknowledgement or a reset, which never reach
  // the response handler.
  while (coap_can_exit(ctx.get()) == 0) {
    const steady::time_point now = steady::now();
    if (now >= deadline || _b_requests_cancelled.load()) {
      coap_log(LOG_INFO, "timeout\n");
      break;
    }
    // Rounded up, so the wait never ends just short of the deadline; 0 would mean "wait for
    // ever" to the library.
    const auto remaining = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
    const auto wait_ms = static_cast<std::uint32_t>(std::clamp<long long>(remaining, 1, 1000));
    if (coap_io_process(ctx.get(), wait_ms) < 0 && errno != EINTR) std::perror("select");
  }

  const std::uint32_t u32_code = t_data.u32_code;
  VOS_DEBUG("COAP RES:%d.%02d", static_cast<int>(u32_code >> 5), static_cast<int>(u32_code & 31));
  return {u32_code, t_data.b_reset};
}
