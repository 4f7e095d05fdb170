// Trace log: one time-stamped line per call, written whole with a single write per destination.
// Lines are built on the caller's stack; only the writing is serialised.
#include "vos_trace.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <span>
#include <string_view>

#include "vos_trace_internal.h"
#include "vos_util_linux.h"

namespace {

// A line holds at most this many characters before its newline.
constexpr std::size_t max_line = 1023;

constinit std::atomic<std::uint32_t> _e_trace_level{2};
constinit vos_os_mutex_t _t_trace_mutex = nullptr;
constinit std::FILE* _pf_log_file = nullptr;
std::time_t _vos_trace_system_clock(std::time_t* pt) { return std::time(pt); }
constinit std::atomic<detail::vos_trace_clock_fn> _pf_clock{&_vos_trace_system_clock};

// Line buffer: up to max_line characters, then the newline.
struct trace_line {
  char ac_buf[max_line + 1];
  std::size_t len = 0;

  void append_vformat(const char* pc_format, va_list ap) {
    if (len >= max_line || pc_format == nullptr) {
      return;
    }
    // vsnprintf writes its NUL inside the buffer; the newline takes that place later.
    const int n = std::vsnprintf(ac_buf + len, max_line + 1 - len, pc_format, ap);
    if (n > 0) {
      len += static_cast<std::size_t>(n) < max_line - len ? static_cast<std::size_t>(n)
                                                           : max_line - len;
    }
  }

  void append_format(const char* pc_format, ...) __attribute__((format(printf, 2, 3))) {
    va_list ap;
    va_start(ap, pc_format);
    append_vformat(pc_format, ap);
    va_end(ap);
  }

  std::string_view finish() {
    ac_buf[len] = '\n';
    return {ac_buf, len + 1};
  }
};

const char* _name_or_null(const char* pc) { return pc != nullptr ? pc : "(null)"; }

// Formats the date and level word, then file and line unless @p b_with_file is false (INFO).
// Returns the day of month of the time stamp.
int _vos_trace_prefix(trace_line& line, const char* pc_level, const char* pc_file, int i_line,
                      bool b_with_file) {
  const std::time_t t_now = detail::vos_trace_now();
  std::tm s_tm{};
  gmtime_r(&t_now, &s_tm);
  line.append_format("%04d%02d%02d-%02d%02d%02d:%s:", s_tm.tm_year + 1900, s_tm.tm_mon + 1,
                     s_tm.tm_mday, s_tm.tm_hour, s_tm.tm_min, s_tm.tm_sec, pc_level);
  if (b_with_file) {
    line.append_format("%s:%d:", _name_or_null(pc_file), i_line);
  }
  return s_tm.tm_mday;
}

void _vos_trace_vline(const char* pc_level, const char* pc_file, int i_line, bool b_with_file,
                      const char* pc_format, va_list ap) {
  trace_line line;
  const int i_day = _vos_trace_prefix(line, pc_level, pc_file, i_line, b_with_file);
  line.append_vformat(pc_format, ap);
  detail::vos_trace_treat_msg(line.finish(), i_day);
}

// Writes the whole text to standard output with one call, after anything stdio still holds.
void _vos_trace_stdout(std::string_view text) {
  flockfile(stdout);
  std::fflush(stdout);
  while (!text.empty()) {
    const ssize_t n = ::write(STDOUT_FILENO, text.data(), text.size());
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

}  // namespace

namespace detail {

void vos_trace_set_clock(vos_trace_clock_fn pf_clock) {
  _pf_clock.store(pf_clock != nullptr ? pf_clock : &_vos_trace_system_clock,
                  std::memory_order_relaxed);
}

std::time_t vos_trace_now() { return _pf_clock.load(std::memory_order_relaxed)(nullptr); }

void vos_trace_treat_msg(std::string_view line, int /*i_day*/) {
  vos_os_mutex_lock(_t_trace_mutex);
  // The trace file, when configured, receives the line here, before standard output.
  vos_os_mutex_unlock(_t_trace_mutex);
  _vos_trace_stdout(line);
}

}  // namespace detail

void vos_trace_level(std::uint32_t u32_level) {
  vos_os_lock_guard lock(_t_trace_mutex);
  _e_trace_level.store(u32_level, std::memory_order_relaxed);
}

void vos_trace_fatal(const char* pc_file, int i_line, const char* pc_format, ...) {
  va_list ap;
  va_start(ap, pc_format);
  _vos_trace_vline("FATAL", pc_file, i_line, true, pc_format, ap);
  va_end(ap);
  if (_pf_log_file != nullptr) {
    std::fclose(_pf_log_file);
    _pf_log_file = nullptr;
  }
  std::exit(1);
}

void vos_trace_error(const char* pc_file, int i_line, const char* pc_format, ...) {
  va_list ap;
  va_start(ap, pc_format);
  _vos_trace_vline("ERROR", pc_file, i_line, true, pc_format, ap);
  va_end(ap);
}

void vos_trace_warning(const char* pc_file, int i_line, const char* pc_format, ...) {
  va_list ap;
  va_start(ap, pc_format);
  _vos_trace_vline("WARNING", pc_file, i_line, true, pc_format, ap);
  va_end(ap);
}

void vos_trace_info(const char* pc_format, ...) {
  if (_e_trace_level.load(std::memory_order_relaxed) == 0) {
    return;
  }
  va_list ap;
  va_start(ap, pc_format);
  _vos_trace_vline("INFO", nullptr, 0, false, pc_format, ap);
  va_end(ap);
}

void vos_trace_debug(const char* pc_file, int i_line, const char* pc_format, ...) {
  if (_e_trace_level.load(std::memory_order_relaxed) <= 1) {
    return;
  }
  va_list ap;
  va_start(ap, pc_format);
  _vos_trace_vline("DEBUG", pc_file, i_line, true, pc_format, ap);
  va_end(ap);
}

void vos_trace_dump(const char* pc_file, int i_line, const void* pv_data, std::uint32_t u32_len) {
  if (_e_trace_level.load(std::memory_order_relaxed) <= 1) {
    return;
  }
  trace_line line;
  const int i_day = _vos_trace_prefix(line, "DUMP", pc_file, i_line, true);
  if (pv_data != nullptr) {
    static constexpr char hex[] = "0123456789ABCDEF";
    for (const auto b : std::span(static_cast<const unsigned char*>(pv_data), u32_len)) {
      if (max_line - line.len < 2) {
        break;  // bytes that do not fit whole are not shown
      }
      line.ac_buf[line.len++] = hex[b >> 4];
      line.ac_buf[line.len++] = hex[b & 0x0F];
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
  vos_os_lock_guard lock(_t_trace_mutex);
  _vos_trace_stdout(line.finish());
}
