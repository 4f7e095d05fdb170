// Trace log internals: what the line side (vos_trace.cpp) and the file side
// (vos_trace_file.cpp) share, and the seams the tests reach (the clock, the line writer, a reset).
#pragma once

#include <cstdarg>
#include <cstdint>
#include <ctime>
#include <string_view>

#include "vos_util_linux.h"

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

/// Trace file defaults: files kept in rotation, bytes per file, file name prefix.
constexpr std::uint32_t trace_default_nb_file = 10;
constexpr std::uint32_t trace_default_file_size = 100000;
constexpr char trace_default_prefix[] = "traceagent";

/// Closes the trace file and puts the file settings back to their defaults (above, no path).
/// The trace mutex stays.
void vos_trace_reset_files();

/// The trace mutex: null until the first vos_trace_init.
vos_os_mutex_t vos_trace_mutex();

/// Creates the trace mutex unless it exists.
void vos_trace_create_mutex();

/// Writes the formatted text, without time stamp or newline, straight to the trace output
/// (standard output unless moved). Takes no lock: for messages written under the trace mutex.
void vos_trace_vmessage(const char* pc_format, va_list ap);

// File side; called with the trace mutex held.

/// Writes one finished line to the trace file when a path is configured (rotating, archiving
/// or creating the file as needed).
void vos_trace_file_write(std::string_view line, int i_day);

/// Closes the trace file, if open.
void vos_trace_close_file();

/// Whether a trace directory is configured; any thread, without the trace mutex (a line
/// written while another thread configures one may miss the file).
bool vos_trace_file_configured();

}  // namespace detail
