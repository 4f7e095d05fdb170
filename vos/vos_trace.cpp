// Trace log: one time-stamped line per call, written whole with a single write per destination
// (or, inside a vos_trace_batch, gathered with the other lines of that batch and written with
// them). Lines are built on the caller's stack; only the writing is serialised. The trace files
// (names, rotation, daily archive) are in vos_trace_file.cpp.
#include "vos_trace.h"

#include <stdio_ext.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <span>
#include <string_view>
#include <type_traits>

#include "vos_trace_internal.h"
#include "vos_util_hexa.h"
#include "vos_util_linux.h"

namespace detail {
constinit std::atomic<std::uint32_t> _e_trace_level{2};
// The batch open on this thread, if any.
constinit thread_local vos_trace_batch* _pt_batch = nullptr;
}  // namespace detail
using detail::_e_trace_level;
using detail::_pt_batch;

constinit thread_local vos_trace_line::piece_prefix vos_trace_line::s_prefix_{};

namespace {

// A line holds at most this many characters before its newline.
constexpr std::size_t max_line = 1023;

// Descriptor of the trace lines that are not written to a file: standard output unless moved.
constinit std::atomic<int> _i_trace_fd{STDOUT_FILENO};
// Created once by vos_trace_init, then read by every tracing thread.
constinit std::atomic<vos_os_mutex_t> _t_trace_mutex{nullptr};
std::time_t _vos_trace_system_clock(std::time_t* pt) { return std::time(pt); }
constinit std::atomic<detail::vos_trace_clock_fn> _pf_clock{&_vos_trace_system_clock};

// Two decimal digits of 0 to 99, side by side.
constexpr char two_digits[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// Digits of @p u in base 10 or 16, written backwards from @p pc_end. @return the first digit.
inline char* _vos_trace_digits(char* pc_end, unsigned long long u, int i_base, const char* pc_hex) {
  char* pc = pc_end;
  if (i_base == 16) {
    do {
      *--pc = pc_hex[u & 0x0F];
      u >>= 4;
    } while (u != 0);
    return pc;
  }
  while (u >= 100) {
    const unsigned i = static_cast<unsigned>(u % 100) * 2;
    u /= 100;
    pc -= 2;
    pc[0] = two_digits[i];
    pc[1] = two_digits[i + 1];
  }
  if (u >= 10) {
    const unsigned i = static_cast<unsigned>(u) * 2;
    pc -= 2;
    pc[0] = two_digits[i];
    pc[1] = two_digits[i + 1];
  } else {
    *--pc = static_cast<char>('0' + u);
  }
  return pc;
}

// Copy of @p n bytes; the short pieces of a line (most of them) without a call.
inline void _vos_trace_copy(char* pc_dest, const char* pc_src, std::size_t n) {
  if (n >= 8 && n <= 16) {
    std::uint64_t u64_a;
    std::uint64_t u64_b;
    std::memcpy(&u64_a, pc_src, 8);
    std::memcpy(&u64_b, pc_src + n - 8, 8);
    std::memcpy(pc_dest, &u64_a, 8);
    std::memcpy(pc_dest + n - 8, &u64_b, 8);
  } else if (n >= 4 && n < 8) {
    std::uint32_t u32_a;
    std::uint32_t u32_b;
    std::memcpy(&u32_a, pc_src, 4);
    std::memcpy(&u32_b, pc_src + n - 4, 4);
    std::memcpy(pc_dest, &u32_a, 4);
    std::memcpy(pc_dest + n - 4, &u32_b, 4);
  } else if (n < 4) {
    for (std::size_t i = 0; i < n; ++i) {
      pc_dest[i] = pc_src[i];
    }
  } else {
    std::memcpy(pc_dest, pc_src, n);
  }
}

// A format taken apart once: pieces of literal text, each followed by one conversion.
struct format_piece {
  std::uint16_t lit_off;  // literal text before the conversion, in the format
  std::uint16_t lit_len;
  char c_conv;  // 'd' (and 'i'), 'u', 'x', 'X', 's', 'c', '%'; 0: the literal ends the format
  char c_size;  // 'H' for hh, 'h', 'l', 'L' for ll, 'z', or 0
  bool b_left;
  bool b_zero;
  bool b_star_width;
  bool b_star_prec;
  std::uint16_t width;
  std::int32_t i_prec;  // -1: none
};
constexpr std::size_t max_pieces = 12;
struct compiled_format {
  std::size_t nb = 0;
  format_piece a[max_pieces];
};

// Takes @p pc_format apart. @return false for a format that the pieces do not cover (flags
// other than '-' and '0', %p, %f, wide texts, a width beyond a line, more than max_pieces
// conversions, ...): vsnprintf then writes its lines.
bool _vos_trace_compile(const char* pc_format, compiled_format& cf) {
  cf.nb = 0;
  const char* pc = pc_format;
  for (;;) {
    if (cf.nb == max_pieces) {
      return false;
    }
    format_piece& fp = cf.a[cf.nb++];
    fp = format_piece{};
    fp.i_prec = -1;
    const char* pc_pct = strchrnul(pc, '%');
    if (pc_pct - pc_format > UINT16_MAX) {
      return false;
    }
    fp.lit_off = static_cast<std::uint16_t>(pc - pc_format);
    fp.lit_len = static_cast<std::uint16_t>(pc_pct - pc);
    if (*pc_pct == '\0') {
      return true;
    }
    pc = pc_pct + 1;
    if (*pc == '%') {
      fp.c_conv = '%';
      ++pc;
      continue;
    }
    for (;; ++pc) {
      if (*pc == '-') {
        fp.b_left = true;
      } else if (*pc == '0') {
        fp.b_zero = true;
      } else {
        break;
      }
    }
    if (*pc == '*') {
      fp.b_star_width = true;
      ++pc;
    } else {
      std::size_t width = 0;
      for (; *pc >= '0' && *pc <= '9'; ++pc) {
        width = width * 10 + static_cast<std::size_t>(*pc - '0');
        if (width > max_line) {
          return false;
        }
      }
      fp.width = static_cast<std::uint16_t>(width);
    }
    if (*pc == '.') {
      ++pc;
      if (*pc == '*') {
        fp.b_star_prec = true;
        ++pc;
      } else {
        fp.i_prec = 0;
        for (; *pc >= '0' && *pc <= '9'; ++pc) {
          fp.i_prec = fp.i_prec * 10 + (*pc - '0');
          if (fp.i_prec > 100000) {
            return false;
          }
        }
      }
    }
    if (*pc == 'h') {
      fp.c_size = *++pc == 'h' ? (++pc, 'H') : 'h';
    } else if (*pc == 'l') {
      fp.c_size = *++pc == 'l' ? (++pc, 'L') : 'l';
    } else if (*pc == 'z') {
      fp.c_size = 'z';
      ++pc;
    }
    const char c_conv = *pc++;
    switch (c_conv) {
      case 'd':
      case 'i':
        fp.c_conv = 'd';
        break;
      case 'u':
      case 'x':
      case 'X':
        fp.c_conv = c_conv;
        break;
      case 's':
      case 'c':
        if (fp.c_size != 0) {
          return false;
        }
        fp.c_conv = c_conv;
        break;
      default:
        return false;
    }
  }
}

// Formats taken apart, shared by every thread: a slot is filled once by the first thread
// that claims it and never changes afterwards. Each keeps a copy of its text, so that a
// format at the address of an earlier one but with other text is not mistaken for it.
constexpr std::size_t format_slots = 8;
constexpr std::size_t max_cached_text = 160;
struct cached_format {
  std::atomic<std::uint8_t> u8_state{0};  // 0 free, 1 being filled, 2 ready
  const char* pc_format = nullptr;
  std::size_t len = 0;
  char ac_text[max_cached_text] = {};
  compiled_format cf{};
};
constinit cached_format _as_format_cache[format_slots]{};

// A format may sit in any of probe_slots slots from the one its address picks.
constexpr std::size_t probe_slots = 4;
std::size_t _vos_trace_format_home(const char* pc_format) {
  const auto u = reinterpret_cast<std::uintptr_t>(pc_format);
  return ((u >> 3) ^ (u >> 9)) % format_slots;
}

const compiled_format* _vos_trace_cached_format(const char* pc_format) {
  const std::size_t home = _vos_trace_format_home(pc_format);
  for (std::size_t i = 0; i < probe_slots; ++i) {
    const cached_format& slot = _as_format_cache[(home + i) % format_slots];
    const std::uint8_t u8_state = slot.u8_state.load(std::memory_order_acquire);
    if (u8_state == 0) {
      return nullptr;
    }
    if (u8_state == 2 && slot.pc_format == pc_format &&
        std::strncmp(slot.ac_text, pc_format, slot.len) == 0 && pc_format[slot.len] == '\0') {
      return &slot.cf;
    }
  }
  return nullptr;
}

void _vos_trace_cache_format(const char* pc_format, const compiled_format& cf) {
  const std::size_t len = strnlen(pc_format, max_cached_text);
  if (len == max_cached_text) {
    return;
  }
  const std::size_t home = _vos_trace_format_home(pc_format);
  for (std::size_t i = 0; i < probe_slots; ++i) {
    cached_format& slot = _as_format_cache[(home + i) % format_slots];
    std::uint8_t u8_free = 0;
    if (slot.u8_state.load(std::memory_order_relaxed) != 0 ||
        !slot.u8_state.compare_exchange_strong(u8_free, 1, std::memory_order_acquire)) {
      continue;
    }
    slot.pc_format = pc_format;
    slot.len = len;
    std::memcpy(slot.ac_text, pc_format, len);
    slot.cf = cf;
    slot.u8_state.store(2, std::memory_order_release);
    return;
  }
}

// Line buffer: up to max_line characters, then the newline. Whatever goes beyond max_line is
// dropped, as vsnprintf cuts its output.
struct trace_line {
  char ac_buf[max_line + 1];
  std::size_t len;

  trace_line() noexcept : len(0) {}

  void put(char c) {
    if (len < max_line) {
      ac_buf[len++] = c;
    }
  }

  void put(std::string_view text) {
    const std::size_t n = text.size() < max_line - len ? text.size() : max_line - len;
    _vos_trace_copy(ac_buf + len, text.data(), n);
    len += n;
  }

  void pad(char c, std::size_t n) {
    n = n < max_line - len ? n : max_line - len;
    std::memset(ac_buf + len, c, n);
    len += n;
  }

  // Text padded to @p width: on the left (spaces, or zeros after the sign), or on the right.
  void put_field(std::string_view sign, std::string_view body, std::size_t width, bool b_left,
                 bool b_zero) {
    const std::size_t used = sign.size() + body.size();
    if (width <= used) {
      if (!sign.empty()) {
        put(sign[0]);
      }
      put(body);
      return;
    }
    const std::size_t fill = width - used;
    if (b_left) {
      put(sign);
      put(body);
      pad(' ', fill);
    } else if (b_zero) {
      put(sign);
      pad('0', fill);
      put(body);
    } else {
      pad(' ', fill);
      put(sign);
      put(body);
    }
  }

  void put_decimal(long long ll) {
    char ac[24];
    char* const pc_end = ac + sizeof ac;
    const unsigned long long u =
        ll < 0 ? 0ULL - static_cast<unsigned long long>(ll) : static_cast<unsigned long long>(ll);
    char* pc = _vos_trace_digits(pc_end, u, 10, vos_hexa_lower);
    if (ll < 0) {
      *--pc = '-';
    }
    put({pc, static_cast<std::size_t>(pc_end - pc)});
  }

  // Writes @p pc_format's pieces with the arguments. @return false at a value the pieces do
  // not cover (a precision on a number, a null text): the caller then starts over with
  // vsnprintf, so every line is what vsnprintf gives.
  bool append_pieces(const char* pc_format, const compiled_format& cf, va_list ap) {
    for (std::size_t k = 0; k < cf.nb; ++k) {
      const format_piece& fp = cf.a[k];
      put({pc_format + fp.lit_off, fp.lit_len});
      if (fp.c_conv == 0) {
        return true;
      }
      if (fp.c_conv == '%') {
        put('%');
        continue;
      }
      bool b_left = fp.b_left;
      std::size_t width = fp.width;
      if (fp.b_star_width) {
        const int i_width = va_arg(ap, int);
        if (i_width < 0) {
          b_left = true;
        }
        width = i_width < 0 ? 0U - static_cast<unsigned>(i_width) : static_cast<unsigned>(i_width);
        if (width > max_line) {
          return false;
        }
      }
      int i_prec = fp.i_prec;
      if (fp.b_star_prec) {
        i_prec = va_arg(ap, int);
        i_prec = i_prec < 0 ? -1 : i_prec;
      }
      const bool b_zero = fp.b_zero && !b_left;
      switch (fp.c_conv) {
        case 'd': {
          if (i_prec >= 0) {
            return false;
          }
          long long ll = 0;
          switch (fp.c_size) {
            case 'H':
              ll = static_cast<signed char>(va_arg(ap, int));
              break;
            case 'h':
              ll = static_cast<short>(va_arg(ap, int));
              break;
            case 'l':
              ll = va_arg(ap, long);
              break;
            case 'L':
              ll = va_arg(ap, long long);
              break;
            case 'z':
              ll = va_arg(ap, std::make_signed_t<std::size_t>);
              break;
            default:
              ll = va_arg(ap, int);
              break;
          }
          char ac[24];
          char* const pc_end = ac + sizeof ac;
          const unsigned long long u = ll < 0 ? 0ULL - static_cast<unsigned long long>(ll)
                                              : static_cast<unsigned long long>(ll);
          const char* pc_digits = _vos_trace_digits(pc_end, u, 10, vos_hexa_lower);
          put_field(ll < 0 ? "-" : "", {pc_digits, static_cast<std::size_t>(pc_end - pc_digits)},
                    width, b_left, b_zero);
          break;
        }
        case 'u':
        case 'x':
        case 'X': {
          if (i_prec >= 0) {
            return false;
          }
          unsigned long long u = 0;
          switch (fp.c_size) {
            case 'H':
              u = static_cast<unsigned char>(va_arg(ap, unsigned));
              break;
            case 'h':
              u = static_cast<unsigned short>(va_arg(ap, unsigned));
              break;
            case 'l':
              u = va_arg(ap, unsigned long);
              break;
            case 'L':
              u = va_arg(ap, unsigned long long);
              break;
            case 'z':
              u = va_arg(ap, std::size_t);
              break;
            default:
              u = va_arg(ap, unsigned);
              break;
          }
          char ac[24];
          char* const pc_end = ac + sizeof ac;
          const char* pc_digits =
              _vos_trace_digits(pc_end, u, fp.c_conv == 'u' ? 10 : 16,
                                fp.c_conv == 'X' ? vos_hexa_upper : vos_hexa_lower);
          put_field("", {pc_digits, static_cast<std::size_t>(pc_end - pc_digits)}, width, b_left,
                    b_zero);
          break;
        }
        case 's': {
          const char* pc_text = va_arg(ap, const char*);
          if (pc_text == nullptr || b_zero) {
            return false;
          }
          const std::size_t n = i_prec >= 0 ? strnlen(pc_text, static_cast<std::size_t>(i_prec))
                                            : std::strlen(pc_text);
          put_field("", {pc_text, n}, width, b_left, false);
          break;
        }
        default: {  // 'c'
          const char c = static_cast<char>(va_arg(ap, int));
          if (b_zero || i_prec >= 0) {
            return false;
          }
          put_field("", {&c, 1}, width, b_left, false);
          break;
        }
      }
    }
    return true;
  }

  void append_vformat(const char* pc_format, va_list ap) {
    if (len >= max_line || pc_format == nullptr) {
      return;
    }
    const std::size_t start = len;
    compiled_format cf_local;
    // Only the formats of batched work (a frame's lines) are kept: the others are rare.
    const bool b_hot = _pt_batch != nullptr;
    const compiled_format* pt_cf = b_hot ? _vos_trace_cached_format(pc_format) : nullptr;
    if (pt_cf == nullptr && _vos_trace_compile(pc_format, cf_local)) {
      pt_cf = &cf_local;
      if (b_hot) {
        _vos_trace_cache_format(pc_format, cf_local);
      }
    }
    if (pt_cf != nullptr) {
      va_list aq;
      va_copy(aq, ap);
      const bool b_done = append_pieces(pc_format, *pt_cf, aq);
      va_end(aq);
      if (b_done) {
        return;
      }
      len = start;
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

vos_os_mutex_t _trace_mutex() { return _t_trace_mutex.load(std::memory_order_acquire); }

const char* _name_or_null(const char* pc) { return pc != nullptr ? pc : "(null)"; }

// "YYYYMMDD-hhmmss" of the last second this thread stamped: formatted again only when the
// clock has moved on. One per thread, so no lock.
struct date_text {
  std::time_t t = 0;
  bool b_valid = false;
  int i_day = 0;
  std::size_t len = 0;
  char ac[32] = {};
};
constinit thread_local date_text _s_date{};

const date_text& _vos_trace_date(std::time_t t_now) {
  date_text& d = _s_date;
  if (!d.b_valid || d.t != t_now) {
    std::tm s_tm{};
    gmtime_r(&t_now, &s_tm);
    const int n =
        std::snprintf(d.ac, sizeof d.ac, "%04d%02d%02d-%02d%02d%02d", s_tm.tm_year + 1900,
                      s_tm.tm_mon + 1, s_tm.tm_mday, s_tm.tm_hour, s_tm.tm_min, s_tm.tm_sec);
    d.len = n < 0 ? 0 : std::min(static_cast<std::size_t>(n), sizeof d.ac - 1);
    d.i_day = s_tm.tm_mday;
    d.t = t_now;
    d.b_valid = true;
  }
  return d;
}

// The last "date:LEVEL:" or "date:LEVEL:file:" this thread wrote, used again while the second,
// the level and the file (same address, same text) stay the same. One per thread, no lock.
struct prefix_text {
  std::time_t t = 0;
  const char* pc_level = nullptr;
  const char* pc_file = nullptr;
  std::size_t file_off = 0;
  std::size_t file_len = 0;
  std::size_t len = 0;
  int i_day = 0;
  bool b_valid = false;
  char ac[96] = {};
};
// Two of them, so that lines of two levels in turn (DEBUG, DUMP) both find theirs.
constinit thread_local prefix_text _as_prefix[2]{};
constinit thread_local std::uint8_t _u8_prefix_victim = 0;

// Writes the date and level word, then file and line unless @p b_with_file is false (INFO).
// Returns the day of month of the time stamp.
// With @p b_file_by_address, a file name is the same file as long as its address is: the
// caller's names live as long as the program.
int _vos_trace_prefix(trace_line& line, std::string_view level, const char* pc_file, int i_line,
                      bool b_with_file, bool b_file_by_address = false) {
  const std::time_t t_now = detail::vos_trace_now();
  const char* pc_name = b_with_file ? _name_or_null(pc_file) : nullptr;
  std::size_t slot = _as_prefix[0].pc_level == level.data() ? 0 : 1;
  if (_as_prefix[slot].pc_level != level.data()) {
    slot = _u8_prefix_victim;
    _u8_prefix_victim ^= 1;
  }
  prefix_text& p = _as_prefix[slot];
  if (p.b_valid && p.t == t_now && p.pc_level == level.data() && p.pc_file == pc_name &&
      (pc_name == nullptr || b_file_by_address ||
       (std::strncmp(p.ac + p.file_off, pc_name, p.file_len) == 0 &&
        pc_name[p.file_len] == '\0'))) {
    line.put({p.ac, p.len});
  } else {
    const date_text& d = _vos_trace_date(t_now);
    const std::size_t start = line.len;
    line.put({d.ac, d.len});
    line.put(':');
    line.put(level);
    line.put(':');
    const std::size_t file_off = line.len - start;
    std::size_t file_len = 0;
    if (pc_name != nullptr) {
      file_len = std::strlen(pc_name);
      line.put({pc_name, file_len});
      line.put(':');
    }
    const std::size_t len = line.len - start;
    p.b_valid = len < sizeof p.ac && file_off + file_len + 1 == len + (pc_name == nullptr);
    if (p.b_valid) {
      std::memcpy(p.ac, line.ac_buf + start, len);
      p.t = t_now;
      p.pc_level = level.data();
      p.pc_file = pc_name;
      p.file_off = file_off;
      p.file_len = file_len;
      p.len = len;
      p.i_day = d.i_day;
    }
  }
  if (b_with_file) {
    line.put_decimal(i_line);
    line.put(':');
  }
  return p.b_valid ? p.i_day : _vos_trace_date(t_now).i_day;
}

void _vos_trace_vline(std::string_view level, const char* pc_file, int i_line, bool b_with_file,
                      const char* pc_format, va_list ap) {
  trace_line line;
  const int i_day = _vos_trace_prefix(line, level, pc_file, i_line, b_with_file);
  line.append_vformat(pc_format, ap);
  detail::vos_trace_treat_msg(line.finish(), i_day);
}

constexpr std::string_view level_debug = "DEBUG";
constexpr std::string_view level_dump = "DUMP";

// Hexadecimal pairs of the first bytes of @p pv_data, as many whole pairs as fit in the line.
void _vos_trace_hex_pairs(trace_line& line, const void* pv_data, std::size_t len) {
  const std::size_t nb = std::min<std::size_t>(len, (max_line - line.len) / 2);
  const auto* pu8 = static_cast<const unsigned char*>(pv_data);
  char* pc = line.ac_buf + line.len;
  for (std::size_t i = 0; i < nb; ++i) {
    std::memcpy(pc + 2 * i, &vos_hexa_pairs_upper[2 * pu8[i]], 2);
  }
  line.len += 2 * nb;
}

// Writes the whole text to standard output with one call, after anything stdio still holds.
void _vos_trace_stdout(std::string_view text) {
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

}  // namespace

namespace detail {

void vos_trace_set_clock(vos_trace_clock_fn pf_clock) {
  _pf_clock.store(pf_clock != nullptr ? pf_clock : &_vos_trace_system_clock,
                  std::memory_order_relaxed);
}

std::time_t vos_trace_now() {
  const vos_trace_clock_fn pf_clock = _pf_clock.load(std::memory_order_relaxed);
  return pf_clock == &_vos_trace_system_clock ? std::time(nullptr) : pf_clock(nullptr);
}

void vos_trace_treat_msg(std::string_view line, int i_day) {
  if (vos_trace_batch* pt_batch = _pt_batch; pt_batch != nullptr) {
    if (pt_batch->takes_lines()) {
      pt_batch->add(line, i_day);
      return;
    }
    // A piece-by-piece line is being written after the batch's lines: they leave now, and
    // this line after them.
    pt_batch->flush();
  }
  {
    vos_os_lock_guard lock(_trace_mutex());
    detail::vos_trace_file_write(line, i_day);
  }
  _vos_trace_stdout(line);
}

}  // namespace detail

void vos_trace_set_output(int i_fd) { _i_trace_fd.store(i_fd, std::memory_order_relaxed); }

vos_trace_batch::vos_trace_batch() noexcept : b_owner_(_pt_batch == nullptr) {
  if (b_owner_) {
    _pt_batch = this;
  }
}

vos_trace_batch::~vos_trace_batch() {
  if (b_owner_) {
    flush();
    _pt_batch = nullptr;
  }
}

void vos_trace_batch::add(std::string_view line, int i_day) {
  if (line.size() > capacity - len_ || nb_ == max_lines) {
    flush();
  }
  std::memcpy(ac_buf_ + len_, line.data(), line.size());
  len_ += line.size();
  au16_end_[nb_] = static_cast<std::uint16_t>(len_);
  ai8_day_[nb_] = static_cast<std::int8_t>(i_day);
  ++nb_;
}

void vos_trace_batch::flush() noexcept {
  if (nb_ == 0) {
    return;
  }
  if (detail::vos_trace_file_configured()) {
    // The trace file takes the lines one by one, as it would have without the batch.
    vos_os_lock_guard lock(_trace_mutex());
    std::size_t start = 0;
    for (std::size_t i = 0; i < nb_; ++i) {
      detail::vos_trace_file_write({ac_buf_ + start, au16_end_[i] - start}, ai8_day_[i]);
      start = au16_end_[i];
    }
  }
  _vos_trace_stdout({ac_buf_, len_});
  len_ = 0;
  nb_ = 0;
}

void vos_trace_level(std::uint32_t u32_level) {
  vos_os_lock_guard lock(_trace_mutex());
  _e_trace_level.store(u32_level, std::memory_order_relaxed);
}

void vos_trace_fatal(const char* pc_file, int i_line, const char* pc_format, ...) {
  va_list ap;
  va_start(ap, pc_format);
  _vos_trace_vline("FATAL", pc_file, i_line, true, pc_format, ap);
  va_end(ap);
  if (_pt_batch != nullptr) {
    _pt_batch->flush();
  }
  vos_os_mutex_lock(_trace_mutex());
  detail::vos_trace_close_file();
  vos_os_mutex_unlock(_trace_mutex());
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
  _vos_trace_vline(level_debug, pc_file, i_line, true, pc_format, ap);
  va_end(ap);
}

void vos_trace_dump(const char* pc_file, int i_line, const void* pv_data, std::uint32_t u32_len) {
  if (_e_trace_level.load(std::memory_order_relaxed) <= 1) {
    return;
  }
  trace_line line;
  const int i_day = _vos_trace_prefix(line, level_dump, pc_file, i_line, true);
  if (pv_data != nullptr) {
    _vos_trace_hex_pairs(line, pv_data, u32_len);  // bytes that do not fit whole are not shown
  }
  detail::vos_trace_treat_msg(line.finish(), i_day);
}

void vos_trace_printf(const char* pc_format, ...) {
  trace_line line;
  va_list ap;
  va_start(ap, pc_format);
  line.append_vformat(pc_format, ap);
  va_end(ap);
  if (_pt_batch != nullptr) {
    _pt_batch->flush();  // after the lines gathered before it
  }
  vos_os_lock_guard lock(_trace_mutex());
  _vos_trace_stdout(line.finish());
}

namespace detail {

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
  _vos_trace_stdout({line.ac_buf, line.len});
}

}  // namespace detail

// ---- Lines put together piece by piece --------------------------------------------------------

namespace {

// Number of decimal digits of @p u.
inline unsigned _vos_trace_nb_digits(std::uint64_t u) {
  static constexpr auto pow10 = [] {
    std::array<std::uint64_t, 20> a{};
    std::uint64_t p = 10;
    for (std::size_t i = 1; i < a.size(); ++i, p *= 10) a[i] = p;
    return a;
  }();
  // About log10 from the bit length, then one comparison (pow10[0] is 0: "0" has one digit).
  const unsigned t = static_cast<unsigned>((64 - __builtin_clzll(u | 1)) * 1233) >> 12;
  return t - (u < pow10[t] ? 1 : 0) + 1;
}

// The @p n digits of @p u, written forwards from @p pc.
template <class U>
inline void _vos_trace_put_digits(char* pc, U u, unsigned n) {
  char* pc_end = pc + n;
  while (u >= 100) {
    const auto i = static_cast<unsigned>(u % 100) * 2;
    u /= 100;
    pc_end -= 2;
    std::memcpy(pc_end, two_digits + i, 2);
  }
  if (u >= 10) {
    std::memcpy(pc_end - 2, two_digits + static_cast<unsigned>(u) * 2, 2);
  } else {
    pc_end[-1] = static_cast<char>('0' + u);
  }
}

inline void _vos_trace_put_digits(char* pc, std::uint64_t u, unsigned n) {
  if (u <= UINT32_MAX) {
    _vos_trace_put_digits<std::uint32_t>(pc, static_cast<std::uint32_t>(u), n);
  } else {
    _vos_trace_put_digits<std::uint64_t>(pc, u, n);
  }
}

}  // namespace

// Prefix of a new second or file: kept for the next lines when it fits a slot.
void vos_trace_line::start_prefix(kind e_kind, const char* pc_file, long long ll_now) noexcept {
  const auto t_now = static_cast<std::time_t>(ll_now);
  piece_prefix& p = s_prefix_;
  const date_text& d = _vos_trace_date(t_now);
  const char* pc_name = _name_or_null(pc_file);
  const std::size_t file_len = std::strlen(pc_name);
  p.b_valid = d.len + sizeof "DEBUG" + file_len + 2 <= vos_trace_line::slack;
  if (p.b_valid) {
    for (std::size_t k = 0; k < 2; ++k) {
      const std::string_view level = k == 0 ? level_debug : level_dump;
      char* pc = p.ac[k];
      std::memcpy(pc, d.ac, d.len);
      pc += d.len;
      *pc++ = ':';
      std::memcpy(pc, level.data(), level.size());
      pc += level.size();
      *pc++ = ':';
      std::memcpy(pc, pc_name, file_len);
      pc += file_len;
      *pc++ = ':';
      p.au8_len[k] = static_cast<std::uint8_t>(pc - p.ac[k]);
    }
    p.t = t_now;
    p.pc_file = pc_file;
    p.i_day = d.i_day;
    const std::size_t k = e_kind == kind::dump ? 1 : 0;
    std::memcpy(pc_, p.ac[k], vos_trace_line::slack);
    len_ = p.au8_len[k];
    i_day_ = p.i_day;
    return;
  }
  // A file name too long for the kept prefixes: the general way.
  trace_line line;
  i_day_ =
      _vos_trace_prefix(line, e_kind == kind::dump ? level_dump : level_debug, pc_file, 0, false);
  std::memcpy(pc_, line.ac_buf, line.len);
  len_ = line.len;
  text(pc_name).text(":");
}

vos_trace_line::vos_trace_line(kind e_kind, const char* pc_file, int i_line) noexcept {
  start(e_kind, pc_file);
  if (pc_ == nullptr) {
    return;
  }
  const auto u_line = static_cast<std::uint64_t>(i_line < 0 ? 0 : i_line);
  if (i_line >= 0 && len_ + 12 <= max_line) {
    const unsigned n = _vos_trace_nb_digits(u_line);
    _vos_trace_put_digits(pc_ + len_, u_line, n);
    len_ += n;
    pc_[len_++] = ':';
  } else {
    dec(i_line).text(":");
  }
}

// The end of a line that is not at its batch's end: written alone, or moved to the batch's new
// end when lines traced meanwhile emptied the batch.
void vos_trace_line::end_elsewhere() noexcept {
  vos_trace_batch* pt_batch = pt_batch_;
  if (pt_batch == nullptr) {
    detail::vos_trace_treat_msg({pc_, len_ + 1}, i_day_);
    return;
  }
  pt_batch->b_line_open_ = false;
  char* pc_at = pt_batch->ac_buf_ + pt_batch->len_;
  std::memmove(pc_at, pc_, len_ + 1);
  pt_batch->len_ += len_ + 1;
  pt_batch->au16_end_[pt_batch->nb_] = static_cast<std::uint16_t>(pt_batch->len_);
  pt_batch->ai8_day_[pt_batch->nb_] = static_cast<std::int8_t>(i_day_);
  ++pt_batch->nb_;
}

void vos_trace_line::text_cut(std::string_view text) noexcept {
  const std::size_t n = std::min(text.size(), max_line - len_);
  std::memcpy(pc_ + len_, text.data(), n);
  len_ += n;
}

vos_trace_line& vos_trace_line::dec_any(long long ll_value, unsigned u_zero_width) noexcept {
  if (pc_ == nullptr) {
    return *this;
  }
  // The common cases first: a positive 32-bit number without zeros, three digits with zeros.
  if (u_zero_width == 0 && ll_value >= 0 && ll_value <= UINT32_MAX && len_ + 10 <= max_line) {
    const auto u = static_cast<std::uint32_t>(ll_value);
    const unsigned n = _vos_trace_nb_digits(u);
    _vos_trace_put_digits<std::uint32_t>(pc_ + len_, u, n);
    len_ += n;
    return *this;
  }
  if (u_zero_width == 3 && ll_value >= 0 && ll_value < 1000 && len_ + 3 <= max_line) {
    const auto u = static_cast<unsigned>(ll_value);
    pc_[len_] = static_cast<char>('0' + u / 100);
    std::memcpy(pc_ + len_ + 1, two_digits + (u % 100) * 2, 2);
    len_ += 3;
    return *this;
  }
  // Sign, at most 20 zeros and 20 digits fit: no cut to mind.
  if (u_zero_width > 20 || len_ + 41 > max_line) {
    return dec_cut(ll_value, u_zero_width);
  }
  const std::uint64_t u = ll_value < 0 ? 0ULL - static_cast<std::uint64_t>(ll_value)
                                       : static_cast<std::uint64_t>(ll_value);
  const unsigned n = _vos_trace_nb_digits(u);
  char* pc = pc_ + len_;
  if (ll_value < 0) {
    *pc++ = '-';
  }
  for (unsigned k = n + (ll_value < 0 ? 1 : 0); k < u_zero_width; ++k) {
    *pc++ = '0';
  }
  _vos_trace_put_digits(pc, u, n);
  len_ = static_cast<std::size_t>(pc + n - pc_);
  return *this;
}

vos_trace_line& vos_trace_line::dec_cut(long long ll_value, unsigned u_zero_width) noexcept {
  const std::uint64_t u = ll_value < 0 ? 0ULL - static_cast<std::uint64_t>(ll_value)
                                       : static_cast<std::uint64_t>(ll_value);
  const unsigned n = _vos_trace_nb_digits(u);
  const unsigned used = n + (ll_value < 0 ? 1 : 0);
  char ac[24];
  _vos_trace_put_digits(ac, u, n);
  const std::size_t fill = u_zero_width > used ? u_zero_width - used : 0;
  if (ll_value < 0) {
    text("-");
  }
  const std::size_t zeros = std::min(fill, max_line - len_);
  std::memset(pc_ + len_, '0', zeros);
  len_ += zeros;
  return text({ac, n});
}

vos_trace_line& vos_trace_line::hex(unsigned long long u_value) noexcept {
  if (pc_ == nullptr) {
    return *this;
  }
  // Two digits per byte from the lowest, backwards; the top byte's leading zero dropped.
  char ac[40];
  char* const pc_end = ac + 20;
  char* pc = pc_end;
  do {
    pc -= 2;
    std::memcpy(pc, &vos_hexa_pairs_lower[2 * (u_value & 0xFF)], 2);
    u_value >>= 8;
  } while (u_value != 0);
  if (*pc == '0' && pc_end - pc > 1) {
    ++pc;
  }
  const auto n = static_cast<std::size_t>(pc_end - pc);
  if (len_ + 20 > max_line) {
    return text({pc, n});
  }
  std::memcpy(pc_ + len_, pc, 20);  // one fixed copy: the bytes past the digits are scratch
  len_ += n;
  return *this;
}

vos_trace_line& vos_trace_line::bytes(const void* pv_data, std::size_t len) noexcept {
  if (pc_ != nullptr && pv_data != nullptr) {
    const std::size_t nb = std::min(len, (max_line - len_) / 2);
    const auto* pu8 = static_cast<const unsigned char*>(pv_data);
    char* pc = pc_ + len_;
    std::size_t i = 0;
    for (; i + 4 <= nb; i += 4) {
      std::memcpy(pc + 2 * i, &vos_hexa_pairs_upper[2 * pu8[i]], 2);
      std::memcpy(pc + 2 * i + 2, &vos_hexa_pairs_upper[2 * pu8[i + 1]], 2);
      std::memcpy(pc + 2 * i + 4, &vos_hexa_pairs_upper[2 * pu8[i + 2]], 2);
      std::memcpy(pc + 2 * i + 6, &vos_hexa_pairs_upper[2 * pu8[i + 3]], 2);
    }
    for (; i < nb; ++i) {
      std::memcpy(pc + 2 * i, &vos_hexa_pairs_upper[2 * pu8[i]], 2);
    }
    len_ += 2 * nb;
  }
  return *this;
}
