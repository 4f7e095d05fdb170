// Trace log internals reachable from the tests: the clock seam, the line writer, a reset.
#pragma once

#include <ctime>
#include <string_view>

namespace detail {

/// Time source of the trace line stamps; ::time unless a test installs another.
using vos_trace_clock_fn = std::time_t (*)(std::time_t*);

/// Installs @p pf_clock as the time source (null restores ::time). Call while no thread traces.
void vos_trace_set_clock(vos_trace_clock_fn pf_clock);

/// Current time from the installed source.
std::time_t vos_trace_now();

/// Writes one finished line (newline included) whose time stamp falls on day of month
/// @p i_day: to the trace file when one is configured, then to standard output.
void vos_trace_treat_msg(std::string_view line, int i_day);

/// Closes the trace file and puts the file settings back to their defaults (count 10,
/// size 100,000, prefix "traceagent", no path). The trace mutex stays.
void vos_trace_reset_files();

}  // namespace detail
