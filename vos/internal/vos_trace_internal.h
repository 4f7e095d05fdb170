// Trace log internals: what the formatted lines (vos_trace.cpp), the prefixes, batches and
// piece-by-piece lines (vos_trace_line.cpp) and the file side (vos_trace_file.cpp) share, and
// the seams the tests reach (the clock, the line writer, a reset).
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string_view>

#include "vos_util_linux_mutex.h"

namespace detail {

/// A line holds at most this many characters before its newline.
inline constexpr std::size_t trace_max_line = 1023;

/// The level that vos_trace_level set (2 until then).
extern constinit std::atomic<std::uint32_t> _e_trace_level;

/// The word after the date: FATAL, ERROR, WARNING, INFO, DEBUG, DUMP.
enum class trace_word : std::uint8_t { fatal, error, warning, info, debug, dump };

/// Writes "date:WORD:file:" (INFO, @p pc_file null: "date:INFO:") of @p t_now at @p pc, cut
/// at trace_max_line characters, from this thread's kept prefixes (one per word for the last
/// second and file, the file compared by address and text). @p pc has room for
/// trace_max_line + 1 characters. Sets *pi_day to the day of month. @return the length.
std::size_t vos_trace_prefix(char* pc, trace_word e_word, const char* pc_file, std::time_t t_now,
                             int* pi_day);

/// Hands a finished line to the batch open on this thread. @return false when no batch takes
/// it (none open, or a piece-by-piece line is being written into it: what the batch holds
/// then leaves first, and the caller writes the line on its own).
bool vos_trace_batch_take(std::string_view line, int i_day);

/// Writes what the batch of this thread holds, if any.
void vos_trace_batch_flush() noexcept;

/// Writes @p text to the trace output with one call, after anything stdio still holds.
void vos_trace_output(std::string_view text);

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
