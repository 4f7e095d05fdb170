// Trace log: one time-stamped line per call on standard output (and in the trace file when
// a trace directory is configured). Lines are at most 1,023 characters before the newline.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

/// Verbosity: 0 = fatal, error, warning; 1 = also information; 2 (default) = also debug, dump.
void vos_trace_level(std::uint32_t u32_level);

/// Descriptor that the lines go to instead of standard output (STDOUT_FILENO by default), for
/// a program whose standard output carries data. Any thread; set it before the first line.
void vos_trace_set_output(int i_fd);

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

/// Gathers the trace lines that its thread writes while it is open, and writes them together
/// (one write on standard output, the trace file still taking them one by one) when the last
/// batch of the thread closes, on flush(), when the thread's gathered lines fill 16 KiB or
/// 256 lines, and before a vos_trace_printf or fatal line of the same thread. Lines of other
/// threads never come between lines of one write. Declare one on the stack around a unit of
/// work whose lines belong together; a batch opened while another is open on the same thread
/// adds to the outer one. The lines are kept by the thread, not by the object.
class vos_trace_batch {
 public:
  vos_trace_batch() noexcept;
  ~vos_trace_batch();
  vos_trace_batch(const vos_trace_batch&) = delete;
  vos_trace_batch& operator=(const vos_trace_batch&) = delete;

  /// Writes what the thread has gathered so far; the batch stays open.
  void flush() noexcept;
};

/// A DEBUG or DUMP line put together piece by piece instead of through a format, for lines
/// written for every unit of hot work. Each piece gives the bytes of its printf twin: text()
/// as "%s", dec() as "%d" (or "%0<width>d"), hex() as "%x", bytes() as the dump line's "%02X"
/// pairs, of which only whole pairs are kept. The line is cut at 1,023 characters as a
/// formatted line is, and leaves when the object is destroyed (the end of the statement for
/// a temporary); nothing is written when the level hides the line. Inside a vos_trace_batch
/// the line is written straight into the batch; a line that its thread traces while this one
/// is being put together leaves on its own, before it. @p pc_file must live as long as the
/// program (a source_name): it is told apart by its address alone.
class vos_trace_line {
 public:
  enum class kind : std::uint8_t { debug, dump };
  /// Room past the 1,024 bytes of a line that the pieces may scribble on.
  static constexpr std::size_t slack = 64;

  /// A line number as the text the prefix ends with ("123:"), made at compile time.
  struct number_text {
    char ac[16];
    std::uint8_t u8_len;
  };
  template <int line>
  requires(line >= 0) static constexpr number_text line_text = [] {
    number_text t{};
    char ac_rev[12]{};
    std::size_t n = 0;
    for (int i = line; n == 0 || i != 0; i /= 10) ac_rev[n++] = static_cast<char>('0' + i % 10);
    for (std::size_t i = 0; i < n; ++i) t.ac[i] = ac_rev[n - 1 - i];
    t.ac[n] = ':';
    t.u8_len = static_cast<std::uint8_t>(n + 1);
    return t;
  }();

  vos_trace_line(kind e_kind, const char* pc_file, int i_line) noexcept;
  /// The same with the line number made beforehand (VOS_DEBUG_LINE passes the source line so).
  vos_trace_line(kind e_kind, const char* pc_file, const number_text& line) noexcept {
    if (e_kind == kind::dump) {
      start_dump(pc_file, line);
    } else {
      start_debug(pc_file, line);
    }
  }
  ~vos_trace_line() {
    if (pc_ != nullptr) {
      finish();
    }
  }
  vos_trace_line(const vos_trace_line&) = delete;
  vos_trace_line& operator=(const vos_trace_line&) = delete;

  // The common cases inline: a literal's copy then has a fixed size.
  vos_trace_line& text(std::string_view text) noexcept {
    if (pc_ != nullptr) {
      if (text.size() <= max_line - len_) {
        std::memcpy(pc_ + len_, text.data(), text.size());
        len_ += text.size();
      } else {
        text_cut(text);
      }
    }
    return *this;
  }
  vos_trace_line& dec(long long ll_value, unsigned u_zero_width = 0) noexcept {
    if (pc_ != nullptr && ll_value >= 0 && ll_value < 100 && u_zero_width <= 2 &&
        len_ + 2 <= max_line) {
      const auto u = static_cast<unsigned>(ll_value);
      if (u >= 10 || u_zero_width == 2) {
        pc_[len_++] = static_cast<char>('0' + u / 10);
      }
      pc_[len_++] = static_cast<char>('0' + u % 10);
      return *this;
    }
    return dec_any(ll_value, u_zero_width);
  }
  vos_trace_line& hex(unsigned long long u_value) noexcept;
  vos_trace_line& bytes(const void* pv_data, std::size_t len) noexcept;

 private:
  static constexpr std::size_t max_line = 1023;

  // Pick where the line is written (the thread's open batch, or ac_own_) and write its prefix
  // and line number; leave pc_ null when the level hides the line.
  void start_debug(const char* pc_file, const number_text& line) noexcept;
  void start_dump(const char* pc_file, const number_text& line) noexcept;
  // Ends the line with its newline and hands it over.
  void finish() noexcept;
  void text_cut(std::string_view text) noexcept;
  vos_trace_line& dec_any(long long ll_value, unsigned u_zero_width) noexcept;
  vos_trace_line& dec_cut(long long ll_value, unsigned u_zero_width) noexcept;

  char* pc_ = nullptr;  // null: the line is hidden
  std::size_t len_ = 0;
  int i_day_ = 0;
  char ac_own_[1024 + slack];  // the line, when not written into a batch
};

// Callers name their source once per file:
//   constexpr const char* source_name = "vos_queue.cpp";
// and report with these, which pass that name and the current line.
#define VOS_FATAL(...) vos_trace_fatal(source_name, __LINE__, __VA_ARGS__)
#define VOS_ERROR(...) vos_trace_error(source_name, __LINE__, __VA_ARGS__)
#define VOS_WARNING(...) vos_trace_warning(source_name, __LINE__, __VA_ARGS__)
#define VOS_DEBUG(...) vos_trace_debug(source_name, __LINE__, __VA_ARGS__)
#define VOS_DUMP(data, len) vos_trace_dump(source_name, __LINE__, (data), (len))
#define VOS_DEBUG_LINE() \
  vos_trace_line(vos_trace_line::kind::debug, source_name, vos_trace_line::line_text<__LINE__>)
#define VOS_DUMP_LINE() \
  vos_trace_line(vos_trace_line::kind::dump, source_name, vos_trace_line::line_text<__LINE__>)

// ---- Trace files -----------------------------------------------------------------------------
// Once a trace directory is configured, every line is also appended to a trace file there,
// flushed at once. Rotating mode (the default, 10 files of 100,000 bytes): a full file is
// closed and a new one "<prefix>-YYYYMMDD-hhmmss" started, the oldest deleted beyond the count.
// Daily mode (file count 0): "<prefix>.txt", renamed "<prefix>-YYYYMMDD.txt" at the first line
// of a new UTC day. All of these may be called from any thread once vos_trace_init has run.

/// Creates the trace mutex and configures the trace directory @p pc_dir_name under the
/// existing directory @p pc_root_path (created when missing). Prints "trace path invalid, use
/// stdout" when the root is missing or an argument is null; lines then go to standard output
/// only. The first line opens the first file. Set the file count before calling.
void vos_trace_init(const char* pc_root_path, const char* pc_dir_name);

/// As vos_trace_init, after making @p pc_prefixe the file name prefix when it has 1 to 32
/// characters (otherwise the prefix stays, "traceagent" by default).
void vos_trace_init_prefixe(const char* pc_root_path, const char* pc_dir_name,
                            const char* pc_prefixe);

/// Number of trace files kept in rotating mode; 0 selects daily mode (before vos_trace_init).
void vos_trace_nb_file(std::uint32_t u32_nb_file);
/// Size in bytes at which a rotating trace file is closed and the next one started.
void vos_trace_size_file(std::uint32_t u32_size);

/// Flushes the trace file, if one is open.
void vos_trace_flush();
/// Closes the trace file and forgets the configured paths: later lines go to standard output.
void vos_trace_end();
/// Closes the current trace file (archiving it in daily mode) and starts a new one.
void vos_trace_swap_file();

/// Configured paths, each ending with "/": root + directory, directory, root. Null when no
/// trace directory is configured. The texts stay valid until vos_trace_end or the next
/// vos_trace_init; the caller does not free them.
const char* vos_trace_get_full_path();
const char* vos_trace_get_path();
const char* vos_trace_get_root_path();
