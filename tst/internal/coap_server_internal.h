// CoAP server internals shared with the request client.
#pragma once

#include <coap3/coap.h>

#include "coap_server.h"

namespace detail {

/// Starts the library and routes its log lines to standard error (once per process, any
/// thread; the server and the client call it before making a context), so that standard
/// output carries the trace log alone.
void coap_log_init() noexcept;

/// Registers the served resources (rx_msg_req, info_ind, firmware_install_ind, noise_ind) on
/// @p pt_ctx, each handing its requests to the hooks' handler; a failure is traced. The
/// context owns what was registered, even on failure. Thread of the context.
/// @return true when all four are registered
bool coap_server_add_resources(coap_context_t* pt_ctx) noexcept;

/// The hooks set by coap_set_rx_hooks (all null before).
const coap_rx_hooks& coap_rx() noexcept;

}  // namespace detail
