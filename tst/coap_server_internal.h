// CoAP server internals shared with the request client.
#pragma once

namespace detail {

/// Routes the library's log lines to standard error (once per process, any thread), so that
/// standard output carries the trace log alone.
void coap_log_init() noexcept;

}  // namespace detail
