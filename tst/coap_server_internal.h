// CoAP server internals shared with the request client.
#pragma once

namespace detail {

/// Starts the library and routes its log lines to standard error (once per process, any
/// thread; the server and the client call it before making a context), so that standard
/// output carries the trace log alone.
void coap_log_init() noexcept;

}  // namespace detail
