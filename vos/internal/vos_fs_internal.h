// Small text helpers that the file operations (vos_fs.cpp), the path texts (vos_fs_path.cpp)
// and the trace files (vos_trace_file.cpp) share.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string_view>

#include "vos_mem.h"

namespace detail {

// Length argument of vos_str_dup that takes the whole string.
constexpr std::uint32_t whole_string = std::numeric_limits<std::uint32_t>::max();

// On input both '/' and '\' separate components.
constexpr bool _is_sep(char c) noexcept { return c == '/' || c == '\\'; }

// The platform takes '\\' for a plain character: a path given to these operations writes it
// for '/' (except where a name is taken literally).
constexpr char _as_slash(char c) noexcept { return c == '\\' ? '/' : c; }

// Rewrites every '\\' of the C string @p pc_path (null: nothing) as '/'.
inline void _to_slashes(char* pc_path) noexcept {
  for (char* pc = pc_path; pc != nullptr && *pc != '\0'; ++pc) {
    *pc = _as_slash(*pc);
  }
}

// Four lowercase hexadecimal digits, and the terminator, into @p ac: the varying part of a
// name that must not be taken by an existing file. Each thread draws from its own sequence.
void _unique_digits(char (&ac)[5]) noexcept;

// Position just after the last separator of the path (0 without one).
inline std::size_t _dir_part_length(std::string_view path) noexcept {
  const std::size_t last = path.find_last_of("/\\");
  return last == std::string_view::npos ? 0 : last + 1;
}

// Zero-filled accounted block for a text of @p u_len characters and its terminator.
inline char* _alloc_string(std::size_t u_len) noexcept {
  if (u_len >= whole_string) {
    return nullptr;
  }
  char* pc = nullptr;
  vos_os_calloc(&pc, static_cast<std::uint32_t>(u_len + 1));
  return pc;
}

}  // namespace detail
