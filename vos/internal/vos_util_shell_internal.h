// Shell command internals reachable from the tests: the poll bound and the failure count.
#pragma once

#include <cstdint>

namespace detail {

/// Polls of vos_util_system before the child is abandoned.
inline constexpr std::uint32_t vos_util_system_max_polls = 1200;

/// vos_util_system with @p u32_max_polls polls instead of 1,200.
void vos_util_system_polled(const char* pc_cmd, std::uint32_t u32_max_polls);

/// Number of abandoned shell commands since start.
std::uint32_t vos_util_nb_system_call_failure();

}  // namespace detail
