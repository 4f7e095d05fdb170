// Trace files: the configured directory and prefix, the rotation over a count of files of a
// bounded size (or one daily file archived under its date), swap, flush and end. The lines
// themselves are built in vos_trace.cpp and handed over under the trace mutex.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>

#include "vos_errno_text.h"
#include "vos_fs.h"
#include "vos_fs_internal.h"
#include "vos_mem.h"
#include "vos_trace.h"
#include "vos_trace_internal.h"
#include "vos_util_linux_mutex.h"

namespace {

// Everything in this namespace runs with the trace mutex held (it exists as soon as a path is
// configured).

constexpr std::size_t max_prefix = 32;
constexpr std::size_t max_name = 1024;
constexpr std::time_t seconds_per_day = 86400;

static_assert(sizeof detail::trace_default_prefix <= max_prefix + 1);

constinit std::FILE* _pf_log_file = nullptr;
constinit std::uint32_t _u32_max_nb_file = detail::trace_default_nb_file;  // 0: daily mode
constinit std::uint32_t _u32_file_size = detail::trace_default_file_size;
struct prefix_buffer {
  char ac[max_prefix + 1];
};
constexpr prefix_buffer _default_prefix() {
  prefix_buffer s_prefix{};
  for (std::size_t i = 0; i < sizeof detail::trace_default_prefix; ++i) {
    s_prefix.ac[i] = detail::trace_default_prefix[i];
  }
  return s_prefix;
}
constinit prefix_buffer _s_prefixe = _default_prefix();
constinit std::uint32_t _u32_prefixe_len = 0;
// Platform blocks, outside the accounted totals.
constinit char* _pt_trace_root_path = nullptr;
constinit char* _pt_trace_dir_name = nullptr;
constinit char* _pt_trace_path = nullptr;
// Whether _pt_trace_path is set, readable without the trace mutex.
constinit std::atomic<bool> _b_trace_path_set{false};
constinit char _ac_daily_filename[max_name] = {};
constinit std::uint32_t _u32_current_offset = 0;
constinit std::tm _t_ref_tm{};
constinit std::time_t _t_ref_day_start = 0;  // UTC midnight starting _t_ref_tm's day

// Writes a message about the trace files straight to standard output: vos_trace_printf would
// take the trace mutex a second time.
void _vos_trace_file_message(const char* pc_format, ...) __attribute__((format(printf, 1, 2)));
void _vos_trace_file_message(const char* pc_format, ...) {
  va_list ap;
  va_start(ap, pc_format);
  detail::vos_trace_vmessage(pc_format, ap);
  va_end(ap);
}

// Copy of @p text ending with "/", in a platform block; null when out of memory.
char* _vos_trace_dup_dir(std::string_view text) {
  auto* pc = static_cast<char*>(std::calloc(1, text.size() + 2));
  if (pc != nullptr) {
    std::memcpy(pc, text.data(), text.size());
    if (text.empty() || text.back() != '/') {
      pc[text.size()] = '/';
    }
  }
  return pc;
}

void _vos_trace_forget_path() {
  std::free(_pt_trace_path);
  _pt_trace_path = nullptr;
  _b_trace_path_set.store(false, std::memory_order_relaxed);
}

void _vos_trace_forget_all_paths() {
  _vos_trace_forget_path();
  std::free(_pt_trace_root_path);
  _pt_trace_root_path = nullptr;
  std::free(_pt_trace_dir_name);
  _pt_trace_dir_name = nullptr;
}

void _vos_trace_close_file() {
  if (_pf_log_file != nullptr) {
    std::fclose(_pf_log_file);
    _pf_log_file = nullptr;
  }
}

// Directory reading; backslashes in the path are taken as "/".
DIR* _vos_trace_opendir(std::string path) {
  detail::_to_slashes(path.data());
  return opendir(path.c_str());
}

const char* _vos_trace_readdir(DIR* p_dir) {
  const dirent* ps_entry = readdir(p_dir);
  return ps_entry != nullptr ? ps_entry->d_name : nullptr;
}

void _vos_trace_closedir(DIR** pp_dir) {
  if (*pp_dir != nullptr) {
    closedir(*pp_dir);
    *pp_dir = nullptr;
  }
}

bool _older(const timespec& a, const timespec& b) {
  return a.tv_sec != b.tv_sec ? a.tv_sec < b.tv_sec : a.tv_nsec < b.tv_nsec;
}

// Deletes the oldest trace files until fewer than _u32_max_nb_file remain (at most 100 scans).
void _vos_trace_remove_oldest() {
  const std::string dir_path = _pt_trace_path;
  for (int scan = 0; scan < 100; ++scan) {
    DIR* p_dir = _vos_trace_opendir(dir_path);
    if (p_dir == nullptr) {
      return;
    }
    std::uint32_t u32_count = 0;
    std::string oldest;
    timespec s_oldest{};
    while (const char* pc_name = _vos_trace_readdir(p_dir)) {
      if (std::strcmp(pc_name, ".") == 0 || std::strcmp(pc_name, "..") == 0 ||
          std::strncmp(pc_name, _s_prefixe.ac, _u32_prefixe_len) != 0) {
        continue;
      }
      std::string full = dir_path + pc_name;
      struct stat s_stat {};
      if (stat(full.c_str(), &s_stat) != 0 || !S_ISREG(s_stat.st_mode)) {
        continue;
      }
      ++u32_count;
      // Nanoseconds too: files of one busy second still go oldest first.
      if (oldest.empty() || _older(s_stat.st_mtim, s_oldest)) {
        oldest = std::move(full);
        s_oldest = s_stat.st_mtim;
      }
    }
    _vos_trace_closedir(&p_dir);
    if (u32_count >= _u32_max_nb_file && !oldest.empty()) {
      unlink(oldest.c_str());
      --u32_count;
    }
    if (u32_count < _u32_max_nb_file) {
      return;
    }
  }
}

// @p pc_name, or when a file of that name exists, the name with "_" and four hexadecimal
// digits that no file has. Accounted block for the caller to free; null when out of memory
// or out of names.
char* _vos_trace_unique_name(const char* pc_name) {
  const std::size_t len = std::strlen(pc_name);
  char* pc_unique = nullptr;
  vos_os_calloc(&pc_unique, static_cast<std::uint32_t>(len + 6));
  if (pc_unique == nullptr) {
    errno = ENOMEM;
    return nullptr;
  }
  std::memcpy(pc_unique, pc_name, len);
  for (int attempt = 0; access(pc_unique, F_OK) == 0; ++attempt) {
    if (attempt == 0x10000) {
      vos_os_free(&pc_unique);
      errno = EEXIST;
      return nullptr;
    }
    char ac_digits[5];
    detail::_unique_digits(ac_digits);
    pc_unique[len] = '_';
    std::memcpy(pc_unique + len + 1, ac_digits, sizeof ac_digits);
  }
  return pc_unique;
}

// Opens a new trace file. In daily mode @p b_keep appends to the daily file instead of
// emptying it. On failure the trace path is dropped: lines then go to standard output only.
void vos_trace_create_file(bool b_keep = false) {
  _u32_current_offset = 0;
  if (_pt_trace_path == nullptr) {
    return;
  }
  const std::time_t t_now = detail::vos_trace_now();
  std::tm s_now{};
  gmtime_r(&t_now, &s_now);
  int i_errno = 0;
  if (_u32_max_nb_file == 0) {
    _t_ref_tm = s_now;
    _t_ref_day_start = t_now - (s_now.tm_hour * 3600 + s_now.tm_min * 60 + s_now.tm_sec);
    _pf_log_file = vos_fs_open(_ac_daily_filename, b_keep ? "ab" : "wb");
    i_errno = errno;
  } else {
    _vos_trace_remove_oldest();
    char ac_name[max_name + 1];
    const int n =
        std::snprintf(ac_name, sizeof ac_name, "%s%s-%04d%02d%02d-%02d%02d%02d", _pt_trace_path,
                      _s_prefixe.ac, s_now.tm_year + 1900, s_now.tm_mon + 1, s_now.tm_mday,
                      s_now.tm_hour, s_now.tm_min, s_now.tm_sec);
    char* pc_unique = nullptr;
    if (n < 0 || static_cast<std::size_t>(n) >= sizeof ac_name) {
      errno = ENAMETOOLONG;
    } else {
      pc_unique = _vos_trace_unique_name(ac_name);
    }
    if (pc_unique != nullptr) {
      _pf_log_file = vos_fs_open(pc_unique, "wb");
    }
    i_errno = errno;
    vos_os_free(&pc_unique);
  }
  if (_pf_log_file == nullptr) {
    _vos_trace_file_message("trace file open error : %s\n", vos_errno_text(i_errno).c_str());
    _vos_trace_forget_path();
  }
}

// Renames the daily file after the day it was opened. @return false when it stays in place.
bool vos_trace_archive() {
  char ac_name[max_name + 1];
  const int n =
      std::snprintf(ac_name, sizeof ac_name, "%s%s-%04d%02d%02d.txt", _pt_trace_path, _s_prefixe.ac,
                    _t_ref_tm.tm_year + 1900, _t_ref_tm.tm_mon + 1, _t_ref_tm.tm_mday);
  int i_errno = ENAMETOOLONG;
  if (n >= 0 && static_cast<std::size_t>(n) < sizeof ac_name) {
    if (std::rename(_ac_daily_filename, ac_name) == 0) {
      return true;
    }
    i_errno = errno;
  }
  _vos_trace_file_message("Can't move file from \"%s\" to \"%s\" : %s\r\n", _ac_daily_filename,
                          ac_name, vos_errno_text(i_errno).c_str());
  return false;
}

}  // namespace

namespace detail {

void vos_trace_file_write(std::string_view line, int i_day) {
  if (_pt_trace_path == nullptr) {
    return;
  }
  bool b_keep = false;
  // A new UTC day: the day of month differs, or the same day of month came back a month later.
  if (_pf_log_file != nullptr && _u32_max_nb_file == 0 &&
      (i_day != _t_ref_tm.tm_mday ||
       detail::vos_trace_now() >= _t_ref_day_start + seconds_per_day)) {
    _vos_trace_close_file();
    // An archive that failed keeps its lines: the daily file is then appended to.
    b_keep = !vos_trace_archive();
  }
  if (_pf_log_file == nullptr) {
    vos_trace_create_file(b_keep);
    if (_pf_log_file == nullptr) {
      return;
    }
  }
  _u32_current_offset +=
      static_cast<std::uint32_t>(std::fwrite(line.data(), 1, line.size(), _pf_log_file));
  std::fflush(_pf_log_file);
  if (_u32_max_nb_file != 0 && _u32_current_offset >= _u32_file_size) {
    _vos_trace_close_file();
    vos_trace_create_file();
  }
}

void vos_trace_close_file() { _vos_trace_close_file(); }

bool vos_trace_file_configured() { return _b_trace_path_set.load(std::memory_order_relaxed); }

}  // namespace detail

void vos_trace_init(const char* pc_root_path, const char* pc_dir_name) {
  detail::vos_trace_create_mutex();
  bool b_valid = false;
  {
    vos_os_lock_guard lock(detail::vos_trace_mutex());
    _u32_prefixe_len = static_cast<std::uint32_t>(std::strlen(_s_prefixe.ac));
    // A new configuration replaces the old one: its file is closed and its names freed.
    _vos_trace_close_file();
    _vos_trace_forget_all_paths();
    if (pc_root_path != nullptr && pc_dir_name != nullptr && access(pc_root_path, F_OK) == 0) {
      _pt_trace_root_path = _vos_trace_dup_dir(pc_root_path);
      _pt_trace_dir_name = _vos_trace_dup_dir(pc_dir_name);
      if (_pt_trace_root_path != nullptr && _pt_trace_dir_name != nullptr) {
        const std::size_t root_len = std::strlen(_pt_trace_root_path);
        const std::size_t dir_len = std::strlen(_pt_trace_dir_name);
        _pt_trace_path = static_cast<char*>(std::calloc(1, root_len + dir_len + 1));
        if (_pt_trace_path != nullptr) {
          std::memcpy(_pt_trace_path, _pt_trace_root_path, root_len);
          std::memcpy(_pt_trace_path + root_len, _pt_trace_dir_name, dir_len);
        }
      }
      if (_pt_trace_path == nullptr) {
        _vos_trace_forget_all_paths();
      }
    }
    if (_pt_trace_path != nullptr) {
      mkdir(_pt_trace_path, 0777);  // an existing directory is fine
      if (_u32_max_nb_file == 0) {
        const int n = std::snprintf(_ac_daily_filename, sizeof _ac_daily_filename, "%s/%s.txt",
                                    _pt_trace_path, _s_prefixe.ac);
        if (n < 0 || static_cast<std::size_t>(n) >= sizeof _ac_daily_filename) {
          _vos_trace_forget_all_paths();
        }
      }
    }
    b_valid = _pt_trace_path != nullptr;
    _b_trace_path_set.store(b_valid, std::memory_order_relaxed);
  }
  if (!b_valid) {
    vos_trace_printf("trace path invalid, use stdout");
  }
}

void vos_trace_init_prefixe(const char* pc_root_path, const char* pc_dir_name,
                            const char* pc_prefixe) {
  if (pc_prefixe != nullptr) {
    const std::size_t len = strnlen(pc_prefixe, max_prefix + 1);
    if (len >= 1 && len <= max_prefix) {
      vos_os_lock_guard lock(detail::vos_trace_mutex());
      std::memcpy(_s_prefixe.ac, pc_prefixe, len);
      _s_prefixe.ac[len] = '\0';
    }
  }
  vos_trace_init(pc_root_path, pc_dir_name);
}

void vos_trace_nb_file(std::uint32_t u32_nb_file) {
  vos_os_lock_guard lock(detail::vos_trace_mutex());
  _u32_max_nb_file = u32_nb_file;
}

void vos_trace_size_file(std::uint32_t u32_size) {
  vos_os_lock_guard lock(detail::vos_trace_mutex());
  _u32_file_size = u32_size;
}

void vos_trace_flush() {
  vos_os_lock_guard lock(detail::vos_trace_mutex());
  if (_pf_log_file != nullptr) {
    std::fflush(_pf_log_file);
  }
}

void vos_trace_end() {
  vos_os_lock_guard lock(detail::vos_trace_mutex());
  _vos_trace_close_file();
  _vos_trace_forget_all_paths();
}

void vos_trace_swap_file() {
  vos_os_lock_guard lock(detail::vos_trace_mutex());
  bool b_keep = false;
  if (_pf_log_file != nullptr) {
    _vos_trace_close_file();
    if (_u32_max_nb_file == 0) {
      b_keep = !vos_trace_archive();
    }
  }
  vos_trace_create_file(b_keep);
}

const char* vos_trace_get_full_path() {
  vos_os_lock_guard lock(detail::vos_trace_mutex());
  return _pt_trace_path;
}

const char* vos_trace_get_path() {
  vos_os_lock_guard lock(detail::vos_trace_mutex());
  return _pt_trace_dir_name;
}

const char* vos_trace_get_root_path() {
  vos_os_lock_guard lock(detail::vos_trace_mutex());
  return _pt_trace_root_path;
}

namespace detail {

void vos_trace_reset_files() {
  vos_os_lock_guard lock(detail::vos_trace_mutex());
  _vos_trace_close_file();
  _vos_trace_forget_all_paths();
  _u32_max_nb_file = trace_default_nb_file;
  _u32_file_size = trace_default_file_size;
  std::memcpy(_s_prefixe.ac, trace_default_prefix, sizeof trace_default_prefix);
  _u32_prefixe_len = 0;
  _ac_daily_filename[0] = '\0';
  _u32_current_offset = 0;
}

}  // namespace detail
