// Date and time internals reachable from the tests: the clock and the shell command runner.
#pragma once

#include <ctime>

namespace detail {

/// Clock read by vos_util_get_timestamp; ::time unless a test installs another.
using vos_util_clock_fn = std::time_t (*)(std::time_t*);
/// Runs a shell command as system(3) does; ::system unless a test installs another.
using vos_util_runner_fn = int (*)(const char*);

/// Install a replacement (null restores the platform's). Call while no other thread uses them.
void vos_util_set_clock(vos_util_clock_fn pf_clock);
void vos_util_set_runner(vos_util_runner_fn pf_runner);

}  // namespace detail
