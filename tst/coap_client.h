// CoAP request client: one confirmable request to one modem, answered or given up within
// 20 seconds. Each request has a context and a socket of its own; nothing survives a call.
#pragma once

#include <coap3/coap.h>

#include <chrono>
#include <cstdint>

#include "app_lan_msg.h"

/// Sends one request on resource @p t_path (its name is the whole Uri-Path, its method and
/// message type are the request's) to @p pt_dest with its port replaced by @p u16_port, and
/// waits until it is answered, acknowledged, reset or 20 seconds have passed. A 2.05 answer to
/// info_req, statistics_req or config_get_param_req that carries a payload is handed to
/// the transport's handler (coap_set_rx_hooks: the LAN hand-off) (kinds 2, 4, 5); a class 4 or 5
/// answer is written to standard error.
/// @p pt_dest is the address record of the modem's registry entry (its first member); it is
/// copied, never changed. @p pu8_payload (may be null) is sent only when @p u16_len is not 0;
/// the caller keeps it. Blocks the calling thread; in this tool, the main thread.
/// @return the code of the response (0x45 for 2.05, 0x84 for 4.04, ...)
/// @retval 0 no response with a code: no context, no message, sending failed, only an empty
///         acknowledgement or a reset came back, or the 20 seconds ran out; also when the
///         payload does not fit in one message of 1400 bytes (nothing is sent then)
std::uint32_t coap_send_msg_request(const coap_address_t* pt_dest, std::uint16_t u16_port,
                                    lan_path_t t_path, const std::uint8_t* pu8_payload,
                                    std::uint16_t u16_len);

/// What became of one request: its response code, and whether the modem reset it.
struct coap_request_outcome {
  std::uint32_t u32_code = 0;  ///< as coap_send_msg_request returns it; 0 when none came
  bool b_reset = false;        ///< the modem answered the request with a reset
};

/// coap_send_msg_request, telling a reset apart from silence. Same thread, same waits.
coap_request_outcome coap_send_request(const coap_address_t* pt_dest, std::uint16_t u16_port,
                                       lan_path_t t_path, const std::uint8_t* pu8_payload,
                                       std::uint16_t u16_len);

/// Ends the wait of every later request at @p t_deadline at the latest (a bounded run), on
/// top of the 20 seconds of each. Main thread, between requests.
void coap_set_request_deadline(std::chrono::steady_clock::time_point t_deadline);

/// Ends the wait of the request in progress within a second, and of every later one at once, as
/// if its deadline had come (a run being stopped). Any thread.
void coap_cancel_requests();

/// Response handler installed on every request context; the library calls it from inside the
/// request's wait, on the requesting thread.
coap_response_t message_handler(coap_session_t* pt_session, const coap_pdu_t* pt_sent,
                                const coap_pdu_t* pt_received, coap_mid_t t_mid);

/// Makes an option record holding a copy of @p pu8_value. The record belongs to the caller,
/// who links it into a chain and releases the chain with coap_delete_optlist.
/// @return the record, or null after perror("new_option_node: malloc")
coap_optlist_t* new_option_node(std::uint16_t u16_number, std::uint32_t u32_length,
                                const std::uint8_t* pu8_value);

/// Ordering of option records by option number.
/// @retval -1 @p pt_a has the smaller number
/// @retval 1 the numbers are equal
/// @retval 0 @p pt_a has the larger number
int order_opts(const coap_optlist_t* pt_a, const coap_optlist_t* pt_b);
