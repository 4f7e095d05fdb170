// Trace log: one time-stamped line per call, formatted by vsnprintf after the thread's kept
// prefix, and written whole with a single write per destination (or, inside a
// vos_trace_batch, gathered with the other lines of that batch and written with them). Lines
// are built on the caller's stack; only the writing is serialised. The prefixes, batches and
// the lines put together piece by piece are in vos_trace_line.cpp, the trace files (names,
// rotation, daily archive) in vos_trace_file.cpp.
#include "vos_trace.h"

#include <stdio_ext.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>

#include "vos_trace_internal.h"
#include "vos_util_hexa.h"
#include "vos_util_linux_mutex.h"

namespace detail {
constinit std::atomic<std::uint32_t> _e_trace_level{2};
}  // namespace detail

namespace {

using detail::_e_trace_level;
using detail::trace_max_line;
using detail::trace_word;

// Descriptor of the trace lines that are not written to a file: standard output unless moved.
constinit std::atomic<int> _i_trace_fd{STDOUT_FILENO};
// Created once by vos_trace_init, then read by every tracing thread.
constinit std::atomic<vos_os_mutex_t> _t_trace_mutex{nullptr};

vos_os_mutex_t _trace_mutex() { return _t_trace_mutex.load(std::memory_order_acquire); }

const char* _name_or_null(const char* pc) { return pc != nullptr ? pc : "(null)"; }

// Line buffer: up to trace_max_line characters, then the newline. Whatever goes beyond is
// dropped, as vsnprintf cuts its output.
struct trace_line {
  char ac_buf[trace_max_line + 1];
  std::size_t len = 0;

  void put(std::string_view text) {
    const std::size_t n = std::min(text.size(), trace_max_line - len);
    std::memcpy(ac_buf + len, text.data(), n);
    len += n;
  }

  // "%d:" of a line number.
  void put_number(int i_number) {
    char ac[16];
    const auto res = std::to_chars(ac, ac + sizeof ac - 1, i_number);
    *res.ptr = ':';
    put({ac, static_cast<std::size_t>(res.ptr + 1 - ac)});
  }

  void append_vformat(const char* pc_format, va_list ap) {
    if (len >= trace_max_line || pc_format == nullptr) {
      return;
    }
    // vsnprintf writes its NUL inside the buffer; the newline takes that place later.
    const int n = std::vsnprintf(ac_buf + len, trace_max_line + 1 - len, pc_format, ap);
    if (n > 0) {
      len += std::min(static_cast<std::size_t>(n), trace_max_line - len);
    }
  }

  std::string_view finish() {
    ac_buf[len] = '\n';
    return {ac_buf, len + 1};
  }
};

// Writes the date and word, then file and line unless @p b_with_file is false (INFO).
// @return the day of month of the time stamp.
int _vos_trace_start(trace_line& line, trace_word e_word, const char* pc_file, int i_line,
                     bool b_with_file) {
  int i_day = 0;
  line.len =
      detail::vos_trace_prefix(line.ac_buf, e_word, b_with_file ? _name_or_null(pc_file) : nullptr,
                               detail::vos_trace_now(), &i_day);
  if (b_with_file) {
    line.put_number(i_line);
  }
  return i_day;
}

void _vos_trace_vline(trace_word e_word, const char* pc_file, int i_line, bool b_with_file,
                      const char* pc_format, va_list ap) {
  trace_line line;
  const int i_day = _vos_trace_start(line, e_word, pc_file, i_line, b_with_file);
  line.append_vformat(pc_format, ap);
  detail::vos_trace_treat_msg(line.finish(), i_day);
}

}  // namespace

namespace detail {

void vos_trace_output(std::string_view text) {
  flockfile(stdout);
  if (__fpending(stdout) != 0) {
    std::fflush(stdout);
  }
  while (!text.empty()) {
    const ssize_t n =
        ::write(_i_trace_fd.load(std::memory_order_relaxed), text.data(), text.size());
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      break;
    }
    text.remove_prefix(static_cast<std::size_t>(n));
  }
  funlockfile(stdout);
}

void vos_trace_treat_msg(std::string_view line, int i_day) {
  if (vos_trace_batch_take(line, i_day)) {
    return;
  }
  {
    vos_os_lock_guard lock(_trace_mutex());
    vos_trace_file_write(line, i_day);
  }
  vos_trace_output(line);
}

vos_os_mutex_t vos_trace_mutex() { return _trace_mutex(); }

void vos_trace_create_mutex() {
  if (_trace_mutex() == nullptr) {
    vos_os_mutex_t t_mutex = vos_os_mutex_create("trace");
    vos_os_mutex_t t_expected = nullptr;
    if (!_t_trace_mutex.compare_exchange_strong(t_expected, t_mutex)) {
      vos_os_mutex_kill(&t_mutex);
    }
  }
}

void vos_trace_vmessage(const char* pc_format, va_list ap) {
  trace_line line;
  line.append_vformat(pc_format, ap);
  vos_trace_output({line.ac_buf, line.len});
}

}  // namespace detail

void vos_trace_set_output(int i_fd) { _i_trace_fd.store(i_fd, std::memory_order_relaxed); }

void vos_trace_level(std::uint32_t u32_level) {
  vos_os_lock_guard lock(_trace_mutex());
  _e_trace_level.store(u32_level, std::memory_order_relaxed);
}

void vos_trace_fatal(const char* pc_file, int i_line, const char* pc_format, ...) {
  va_list ap;
  va_start(ap, pc_format);
  _vos_trace_vline(trace_word::fatal, pc_file, i_line, true, pc_format, ap);
  va_end(ap);
  detail::vos_trace_batch_flush();
  vos_os_mutex_lock(_trace_mutex());
  detail::vos_trace_close_file();
  vos_os_mutex_unlock(_trace_mutex());
  std::exit(1);
}

void vos_trace_error(const char* pc_file, int i_line, const char* pc_format, ...) {
  va_list ap;
  va_start(ap, pc_format);
  _vos_trace_vline(trace_word::error, pc_file, i_line, true, pc_format, ap);
  va_end(ap);
}

void vos_trace_warning(const char* pc_file, int i_line, const char* pc_format, ...) {
  va_list ap;
  va_start(ap, pc_format);
  _vos_trace_vline(trace_word::warning, pc_file, i_line, true, pc_format, ap);
  va_end(ap);
}

void vos_trace_info(const char* pc_format, ...) {
  if (_e_trace_level.load(std::memory_order_relaxed) == 0) {
    return;
  }
  va_list ap;
  va_start(ap, pc_format);
  _vos_trace_vline(trace_word::info, nullptr, 0, false, pc_format, ap);
  va_end(ap);
}

void vos_trace_debug(const char* pc_file, int i_line, const char* pc_format, ...) {
  if (_e_trace_level.load(std::memory_order_relaxed) <= 1) {
    return;
  }
  va_list ap;
  va_start(ap, pc_format);
  _vos_trace_vline(trace_word::debug, pc_file, i_line, true, pc_format, ap);
  va_end(ap);
}

void vos_trace_dump(const char* pc_file, int i_line, const void* pv_data, std::uint32_t u32_len) {
  if (_e_trace_level.load(std::memory_order_relaxed) <= 1) {
    return;
  }
  trace_line line;
  const int i_day = _vos_trace_start(line, trace_word::dump, pc_file, i_line, true);
  if (pv_data != nullptr) {
    // "%02X" pairs, as many whole pairs as fit in the line.
    const std::size_t nb = std::min<std::size_t>(u32_len, (trace_max_line - line.len) / 2);
    const auto* pu8 = static_cast<const unsigned char*>(pv_data);
    for (std::size_t i = 0; i < nb; ++i) {
      line.ac_buf[line.len++] = vos_hexa_upper[pu8[i] >> 4];
      line.ac_buf[line.len++] = vos_hexa_upper[pu8[i] & 0x0F];
    }
  }
  detail::vos_trace_treat_msg(line.finish(), i_day);
}

void vos_trace_printf(const char* pc_format, ...) {
  trace_line line;
  va_list ap;
  va_start(ap, pc_format);
  line.append_vformat(pc_format, ap);
  va_end(ap);
  detail::vos_trace_batch_flush();  // after the lines gathered before it
  vos_os_lock_guard lock(_trace_mutex());
  detail::vos_trace_output(line.finish());
}
