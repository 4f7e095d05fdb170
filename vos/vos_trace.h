// Trace log: one time-stamped line per call on standard output (and in the trace file when
// a trace directory is configured). Lines are at most 1,023 characters before the newline.
#pragma once

#include <cstdint>

/// Verbosity: 0 = fatal, error, warning; 1 = also information; 2 (default) = also debug, dump.
void vos_trace_level(std::uint32_t u32_level);

/// Writes a FATAL line, closes the trace file if any, and ends the process with status 1.
[[noreturn]] void vos_trace_fatal(const char* pc_file, int i_line, const char* pc_format, ...)
    __attribute__((format(printf, 3, 4)));
/// ERROR and WARNING lines, whatever the level.
void vos_trace_error(const char* pc_file, int i_line, const char* pc_format, ...)
    __attribute__((format(printf, 3, 4)));
void vos_trace_warning(const char* pc_file, int i_line, const char* pc_format, ...)
    __attribute__((format(printf, 3, 4)));
/// INFO line (no file, no line number) when the level is not 0.
void vos_trace_info(const char* pc_format, ...) __attribute__((format(printf, 1, 2)));
/// DEBUG line when the level exceeds 1.
void vos_trace_debug(const char* pc_file, int i_line, const char* pc_format, ...)
    __attribute__((format(printf, 3, 4)));
/// DUMP line: @p u32_len bytes of @p pv_data as "%02X" each, when the level exceeds 1.
void vos_trace_dump(const char* pc_file, int i_line, const void* pv_data, std::uint32_t u32_len);
/// Formatted text plus newline on standard output only: no time stamp, no file.
void vos_trace_printf(const char* pc_format, ...) __attribute__((format(printf, 1, 2)));

// Callers name their source once per file:
//   constexpr const char* source_name = "vos_queue.cpp";
// and report with these, which pass that name and the current line.
#define VOS_FATAL(...) vos_trace_fatal(source_name, __LINE__, __VA_ARGS__)
#define VOS_ERROR(...) vos_trace_error(source_name, __LINE__, __VA_ARGS__)
#define VOS_WARNING(...) vos_trace_warning(source_name, __LINE__, __VA_ARGS__)
#define VOS_DEBUG(...) vos_trace_debug(source_name, __LINE__, __VA_ARGS__)
#define VOS_DUMP(data, len) vos_trace_dump(source_name, __LINE__, (data), (len))
