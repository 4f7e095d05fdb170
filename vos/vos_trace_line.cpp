// What a line is put together with: the prefixes each thread keeps ("date:WORD:file:" of the
// last second and file), the batch each thread gathers its lines in, and the lines put
// together piece by piece, written straight into that batch (their pieces are in
// vos_trace_pieces.cpp).
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string_view>

#include "vos_trace.h"
#include "vos_trace_internal.h"

namespace {

using detail::trace_max_line;
using detail::trace_word;

// ---- Clock
// ---------------------------------------------------------------------------------------

std::time_t _vos_trace_system_clock(std::time_t* pt) { return std::time(pt); }
constinit std::atomic<detail::vos_trace_clock_fn> _pf_clock{&_vos_trace_system_clock};

inline std::time_t _vos_trace_now() {
  const detail::vos_trace_clock_fn pf_clock = _pf_clock.load(std::memory_order_relaxed);
  return pf_clock == &_vos_trace_system_clock ? std::time(nullptr) : pf_clock(nullptr);
}

// ---- Prefixes ----------------------------------------------------------------------------------

constexpr std::size_t nb_words = 6;
constexpr std::string_view word_text[nb_words] = {"FATAL", "ERROR", "WARNING",
                                                  "INFO",  "DEBUG", "DUMP"};
constexpr std::size_t slot_size = vos_trace_line::slack;

// This thread's prefixes: the date of second t, and for each word "date:WORD:file:" (INFO
// "date:INFO:") once a line of that word was written in that second for file pc_file. One per
// thread, no lock.
struct prefix_cache {
  std::time_t t = 0;
  bool b_date = false;  // ac_date holds the date of t
  int i_day = 0;
  std::uint8_t u8_date_len = 0;
  char ac_date[32] = {};
  const char* pc_file = nullptr;  // the file of the slots of every word but INFO
  std::uint8_t u8_file_len = 0;
  char ac_file[slot_size] = {};  // its text
  std::uint8_t u8_ready = 0;     // a bit per word whose slot is ready
  std::uint8_t au8_len[nb_words] = {};
  char ac[nb_words][slot_size] = {};
};
constinit thread_local prefix_cache _s_prefix{};

constexpr std::uint8_t word_bit(trace_word e_word) {
  return static_cast<std::uint8_t>(1U << static_cast<unsigned>(e_word));
}

// The date of @p t_now, formatted again only when the second has moved on.
void _vos_trace_date(prefix_cache& p, std::time_t t_now) {
  if (p.b_date && p.t == t_now) {
    return;
  }
  std::tm s_tm{};
  gmtime_r(&t_now, &s_tm);
  const int n =
      std::snprintf(p.ac_date, sizeof p.ac_date, "%04d%02d%02d-%02d%02d%02d", s_tm.tm_year + 1900,
                    s_tm.tm_mon + 1, s_tm.tm_mday, s_tm.tm_hour, s_tm.tm_min, s_tm.tm_sec);
  p.u8_date_len =
      static_cast<std::uint8_t>(n < 0 ? 0 : std::min<std::size_t>(n, sizeof p.ac_date - 1));
  p.i_day = s_tm.tm_mday;
  p.t = t_now;
  p.b_date = true;
  p.u8_ready = 0;
}

// The slot of @p e_word for @p pc_name (null for INFO) in second @p t_now, made when missing;
// null when the prefix does not fit a slot. With @p b_by_address, a file is the same while
// its address is (the piece lines' names live as long as the program).
const char* _vos_trace_slot(trace_word e_word, const char* pc_name, std::time_t t_now,
                            bool b_by_address) {
  prefix_cache& p = _s_prefix;
  _vos_trace_date(p, t_now);
  const auto k = static_cast<std::size_t>(e_word);
  const std::string_view word = word_text[k];
  const std::size_t file_off = p.u8_date_len + 1 + word.size() + 1;
  if (pc_name != nullptr) {
    const bool b_same = p.pc_file == pc_name &&
                        (b_by_address || (std::strncmp(p.ac_file, pc_name, p.u8_file_len) == 0 &&
                                          pc_name[p.u8_file_len] == '\0'));
    if (!b_same) {
      const std::size_t file_len = strnlen(pc_name, slot_size);
      if (file_off + file_len + 1 > slot_size) {
        return nullptr;
      }
      p.u8_ready &= word_bit(trace_word::info);  // the other file's slots are stale
      p.pc_file = pc_name;
      p.u8_file_len = static_cast<std::uint8_t>(file_len);
      std::memcpy(p.ac_file, pc_name, file_len);
    } else if (file_off + p.u8_file_len + 1 > slot_size) {
      return nullptr;  // a longer word than the one the file fitted with
    }
  }
  if ((p.u8_ready & word_bit(e_word)) == 0) {
    char* pc = p.ac[k];
    std::memcpy(pc, p.ac_date, p.u8_date_len);
    pc += p.u8_date_len;
    *pc++ = ':';
    std::memcpy(pc, word.data(), word.size());
    pc += word.size();
    *pc++ = ':';
    if (pc_name != nullptr) {
      std::memcpy(pc, p.ac_file, p.u8_file_len);
      pc += p.u8_file_len;
      *pc++ = ':';
    }
    p.au8_len[k] = static_cast<std::uint8_t>(pc - p.ac[k]);
    p.u8_ready |= word_bit(e_word);
  }
  return p.ac[k];
}

// Appends @p text at @p pc + *p_len, cut at trace_max_line.
void _vos_trace_put(char* pc, std::size_t* p_len, std::string_view text) {
  const std::size_t n = std::min(text.size(), trace_max_line - *p_len);
  std::memcpy(pc + *p_len, text.data(), n);
  *p_len += n;
}

// The prefix of a word and file that no slot holds, written in full.
std::size_t _vos_trace_prefix_long(char* pc, trace_word e_word, const char* pc_name) {
  const prefix_cache& p = _s_prefix;
  std::size_t len = 0;
  _vos_trace_put(pc, &len, {p.ac_date, p.u8_date_len});
  _vos_trace_put(pc, &len, ":");
  _vos_trace_put(pc, &len, word_text[static_cast<std::size_t>(e_word)]);
  _vos_trace_put(pc, &len, ":");
  if (pc_name != nullptr) {
    _vos_trace_put(pc, &len, pc_name);
    _vos_trace_put(pc, &len, ":");
  }
  return len;
}

// ---- Batches -----------------------------------------------------------------------------------

// A burst of frames in one write: about 30 frames of 5 lines.
constexpr std::size_t batch_capacity = 16384;
constexpr std::size_t batch_max_lines = 256;

// The lines this thread gathers while a vos_trace_batch is open. One per thread, no lock.
struct batch_state {
  std::uint32_t u32_open = 0;  // vos_trace_batch objects open on the thread
  bool b_line_open = false;    // a vos_trace_line is being written past len
  std::uint16_t nb = 0;
  std::size_t len = 0;
  std::uint16_t au16_end[batch_max_lines] = {};
  std::int8_t ai8_day[batch_max_lines] = {};
  char ac_buf[batch_capacity] = {};
};
static_assert(batch_capacity <= UINT16_MAX);
constinit thread_local batch_state _s_batch{};

void _vos_trace_batch_flush(batch_state& b) noexcept {
  if (b.nb == 0) {
    return;
  }
  if (detail::vos_trace_file_configured()) {
    // The trace file takes the lines one by one, as it would have without the batch.
    vos_os_lock_guard lock(detail::vos_trace_mutex());
    std::size_t start = 0;
    for (std::size_t i = 0; i < b.nb; ++i) {
      detail::vos_trace_file_write({b.ac_buf + start, b.au16_end[i] - start}, b.ai8_day[i]);
      start = b.au16_end[i];
    }
  }
  detail::vos_trace_output({b.ac_buf, b.len});
  b.len = 0;
  b.nb = 0;
}

// Counts the line of @p n bytes that ends at the batch's end.
void _vos_trace_batch_count(batch_state& b, std::size_t n, int i_day) {
  b.len += n;
  b.au16_end[b.nb] = static_cast<std::uint16_t>(b.len);
  b.ai8_day[b.nb] = static_cast<std::int8_t>(i_day);
  ++b.nb;
}

}  // namespace

namespace detail {

void vos_trace_set_clock(vos_trace_clock_fn pf_clock) {
  _pf_clock.store(pf_clock != nullptr ? pf_clock : &_vos_trace_system_clock,
                  std::memory_order_relaxed);
}

std::time_t vos_trace_now() { return _vos_trace_now(); }

std::size_t vos_trace_prefix(char* pc, trace_word e_word, const char* pc_file, std::time_t t_now,
                             int* pi_day) {
  const char* pc_slot = _vos_trace_slot(e_word, pc_file, t_now, false);
  const prefix_cache& p = _s_prefix;
  *pi_day = p.i_day;
  if (pc_slot == nullptr) {
    return _vos_trace_prefix_long(pc, e_word, pc_file);
  }
  const std::size_t len = p.au8_len[static_cast<std::size_t>(e_word)];
  std::memcpy(pc, pc_slot, len);
  return len;
}

bool vos_trace_batch_take(std::string_view line, int i_day) {
  batch_state& b = _s_batch;
  if (b.u32_open == 0) {
    return false;
  }
  if (b.b_line_open) {
    // A piece-by-piece line is being written after the batch's lines: they leave now, and
    // this line after them.
    _vos_trace_batch_flush(b);
    return false;
  }
  if (line.size() > batch_capacity - b.len || b.nb == batch_max_lines) {
    _vos_trace_batch_flush(b);
  }
  std::memcpy(b.ac_buf + b.len, line.data(), line.size());
  _vos_trace_batch_count(b, line.size(), i_day);
  return true;
}

void vos_trace_batch_flush() noexcept { _vos_trace_batch_flush(_s_batch); }

}  // namespace detail

vos_trace_batch::vos_trace_batch() noexcept { ++_s_batch.u32_open; }

vos_trace_batch::~vos_trace_batch() {
  batch_state& b = _s_batch;
  if (--b.u32_open == 0) {
    _vos_trace_batch_flush(b);
  }
}

void vos_trace_batch::flush() noexcept { _vos_trace_batch_flush(_s_batch); }

// ---- Lines put together piece by piece ---------------------------------------------------------

// The start of a line of word @p e_word: its place, prefix and line number (@p pt_line, or
// none: the caller writes it).
template <trace_word e_word>
[[gnu::always_inline]] inline void _vos_trace_line_start(
    char*& pc, std::size_t& len, int& i_day, char* pc_own, const char* pc_file,
    const vos_trace_line::number_text* pt_line) {
  if (detail::_e_trace_level.load(std::memory_order_relaxed) <= 1) {
    return;
  }
  batch_state& b = _s_batch;
  if (b.u32_open != 0 && !b.b_line_open) {
    if (batch_capacity - b.len < trace_max_line + 1 + slot_size || b.nb == batch_max_lines)
        [[unlikely]] {
      _vos_trace_batch_flush(b);
    }
    b.b_line_open = true;
    pc = b.ac_buf + b.len;
  } else {
    pc = pc_own;
  }
  constexpr auto k = static_cast<std::size_t>(e_word);
  const std::time_t t_now = _vos_trace_now();
  const prefix_cache& p = _s_prefix;
  const char* pc_slot = p.ac[k];
  if (!(p.t == t_now && p.pc_file == pc_file && (p.u8_ready & word_bit(e_word)) != 0))
      [[unlikely]] {
    const char* pc_name = pc_file != nullptr ? pc_file : "(null)";
    pc_slot = _vos_trace_slot(e_word, pc_name, t_now, true);
    if (pc_slot == nullptr) {
      len = _vos_trace_prefix_long(pc, e_word, pc_name);
      i_day = p.i_day;
      if (pt_line != nullptr) {
        _vos_trace_put(pc, &len, {pt_line->ac, pt_line->u8_len});
      }
      return;
    }
  }
  std::memcpy(pc, pc_slot, slot_size);  // the whole slot: one fixed copy
  len = p.au8_len[k];
  i_day = p.i_day;
  if (pt_line != nullptr) {
    std::memcpy(pc + len, pt_line->ac, sizeof pt_line->ac);  // one fixed copy: fits the slack
    len += pt_line->u8_len;
  }
}

void vos_trace_line::start_debug(const char* pc_file, const number_text& line) noexcept {
  _vos_trace_line_start<trace_word::debug>(pc_, len_, i_day_, ac_own_, pc_file, &line);
}

void vos_trace_line::start_dump(const char* pc_file, const number_text& line) noexcept {
  _vos_trace_line_start<trace_word::dump>(pc_, len_, i_day_, ac_own_, pc_file, &line);
}

vos_trace_line::vos_trace_line(kind e_kind, const char* pc_file, int i_line) noexcept {
  if (e_kind == kind::dump) {
    _vos_trace_line_start<trace_word::dump>(pc_, len_, i_day_, ac_own_, pc_file, nullptr);
  } else {
    _vos_trace_line_start<trace_word::debug>(pc_, len_, i_day_, ac_own_, pc_file, nullptr);
  }
  if (pc_ == nullptr) {
    return;
  }
  dec(i_line).text(":");
}

// Still at the batch's end, the line only needs counting; a line not at its batch's end moves
// to the batch's new end (lines traced meanwhile emptied the batch); one of its own leaves
// alone.
void vos_trace_line::finish() noexcept {
  pc_[len_] = '\n';
  if (pc_ == ac_own_) {
    detail::vos_trace_treat_msg({pc_, len_ + 1}, i_day_);
    return;
  }
  batch_state& b = _s_batch;
  b.b_line_open = false;
  char* pc_at = b.ac_buf + b.len;
  if (pc_at != pc_) {
    std::memmove(pc_at, pc_, len_ + 1);
  }
  _vos_trace_batch_count(b, len_ + 1, i_day_);
}
