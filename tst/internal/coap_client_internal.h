// Request client internals that the tests reach.
#pragma once

#include <coap3/coap.h>

#include <atomic>
#include <cstdint>

namespace detail {

/// Overall wait of one request.
inline constexpr std::uint32_t request_timeout_s = 20;
/// The wait actually used, in milliseconds: request_timeout_s unless a test shortens it.
extern std::atomic<std::uint32_t> u32_request_timeout_ms;

/// Links @p pt_node into the chain at *@p ppt_chain, in front of the first record with a
/// larger number and after every record with the same number. The chain owns the node.
void insert_option(coap_optlist_t** ppt_chain, coap_optlist_t* pt_node) noexcept;

}  // namespace detail
