// Path texts: joining, extensions, directory and file parts. Pure text work on accounted
// blocks; nothing here touches the file system except the existence check of unique names.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <random>
#include <string_view>

#include "vos_fs.h"
#include "vos_fs_internal.h"
#include "vos_mem.h"
#include "vos_str.h"
#include "vos_trace.h"

using namespace detail;

namespace {

constexpr const char* source_name = "vos_fs.c";

bool _can_read(const char* pc_name) {
  std::FILE* pf = std::fopen(pc_name, "rb");
  if (pf == nullptr) {
    return false;
  }
  std::fclose(pf);
  return true;
}

}  // namespace

namespace detail {

void _unique_digits(char (&ac)[5]) noexcept {
  // Seeded apart per process and thread, so that two writers racing for one name part early.
  thread_local std::minstd_rand s_random(
      static_cast<std::uint32_t>(std::time(nullptr)) ^ static_cast<std::uint32_t>(getpid()) ^
      static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(&ac) >> 4));
  std::snprintf(ac, sizeof ac, "%04x", static_cast<unsigned>(s_random() & 0xFFFF));
}

}  // namespace detail

char* vos_fs_cat_name(const char* pc_first, const char* pc_second, int i_trailing) {
  if (pc_first == nullptr && pc_second == nullptr) {
    return nullptr;
  }
  const std::string_view first(pc_first != nullptr ? pc_first : "");
  std::string_view second(pc_second != nullptr ? pc_second : "");
  // Room for a joining '/' and a trailing '/'.
  char* pc_out = _alloc_string(first.size() + second.size() + 2);
  if (pc_out == nullptr) {
    return nullptr;
  }
  std::size_t len = 0;
  const auto append = [&](std::string_view part) {
    for (const char c : part) {
      pc_out[len++] = _as_slash(c);
    }
  };
  append(first);
  if (!second.empty()) {
    if (!first.empty()) {
      const bool b_first_sep = _is_sep(first.back());
      const bool b_second_sep = _is_sep(second.front());
      if (!b_first_sep && !b_second_sep) {
        pc_out[len++] = '/';
      } else if (b_first_sep && b_second_sep) {
        second.remove_prefix(1);
      }
    }
    append(second);
  }
  if (i_trailing != 0) {
    if (len == 0 || pc_out[len - 1] != '/') {
      pc_out[len++] = '/';
    }
  } else if (len > 0 && pc_out[len - 1] == '/') {
    --len;
  }
  pc_out[len] = '\0';
  return pc_out;
}

int vos_fs_change_extension(const char* pc_name, const char* pc_ext, char** ppc_result,
                            int i_unique) {
  if (ppc_result != nullptr) {
    *ppc_result = nullptr;
  }
  if (pc_name == nullptr || *pc_name == '\0' || ppc_result == nullptr) {
    VOS_ERROR("Invalid filename");
    return -3;
  }
  // Only a '.' of the last component starts an extension: one in a directory name would
  // cut the path there and name another place.
  const std::string_view name(pc_name);
  const std::size_t u_start = _dir_part_length(name);
  std::string_view base = name;
  if (const std::size_t dot = name.rfind('.'); dot != std::string_view::npos && dot >= u_start) {
    if (dot == u_start) {
      VOS_ERROR("Invalid filename");
      return -3;
    }
    base = name.substr(0, dot);
  }
  const std::string_view ext(pc_ext != nullptr ? pc_ext : "");
  const std::size_t u_size = base.size() + 1 + ext.size() + (i_unique != 0 ? 5 : 0);
  vos_unique_ptr<char> result(_alloc_string(u_size));
  if (!result) {
    return -2;
  }
  char* pc_out = result.get();
  base.copy(pc_out, base.size());
  const auto finish = [&](std::size_t u_pos) {
    if (pc_ext != nullptr) {
      pc_out[u_pos++] = '.';
      ext.copy(pc_out + u_pos, ext.size());
      u_pos += ext.size();
    }
    pc_out[u_pos] = '\0';
  };
  finish(base.size());
  if (i_unique != 0) {
    while (_can_read(pc_out)) {
      char ac_digits[5];
      _unique_digits(ac_digits);
      pc_out[base.size()] = '_';
      std::memcpy(pc_out + base.size() + 1, ac_digits, 4);
      finish(base.size() + 5);
    }
  }
  *ppc_result = result.release();
  return 1;
}

int vos_fs_change_filename(const char* pc_path, const char* pc_new_name, char** ppc_result) {
  if (ppc_result != nullptr) {
    *ppc_result = nullptr;
  }
  if (pc_path == nullptr || *pc_path == '\0' || pc_new_name == nullptr || ppc_result == nullptr) {
    VOS_ERROR("Invalid filename");
    return -3;
  }
  const std::string_view path(pc_path);
  const std::string_view new_name(pc_new_name);
  const std::string_view dir = path.substr(0, _dir_part_length(path));
  char* pc_out = _alloc_string(dir.size() + new_name.size());
  if (pc_out == nullptr) {
    return -2;
  }
  dir.copy(pc_out, dir.size());
  new_name.copy(pc_out + dir.size(), new_name.size());
  *ppc_result = pc_out;
  return 1;
}

int vos_fs_extract_both_dir_and_filename(const char* pc_path, char** ppc_result) {
  if (ppc_result != nullptr) {
    *ppc_result = nullptr;
  }
  if (pc_path == nullptr || *pc_path == '\0' || ppc_result == nullptr) {
    VOS_ERROR("Invalid filename");
    return -3;
  }
  const std::string_view path(pc_path);
  const std::size_t u_dir_len = _dir_part_length(path);
  // Zero-filled: both strings are terminated by the untouched bytes.
  char* pc_out = _alloc_string(path.size() + 2);
  if (pc_out == nullptr) {
    return -2;
  }
  path.copy(pc_out, u_dir_len);
  path.substr(u_dir_len).copy(pc_out + u_dir_len + 1, path.size() - u_dir_len);
  *ppc_result = pc_out;
  return 1;
}

int vos_fs_extract_dir_and_filename(const char* pc_path, char** ppc_dir, char** ppc_filename) {
  if (ppc_dir != nullptr) {
    *ppc_dir = nullptr;
  }
  if (ppc_filename != nullptr) {
    *ppc_filename = nullptr;
  }
  const std::string_view path(pc_path != nullptr ? pc_path : "");
  const std::size_t u_dir_len = _dir_part_length(path);
  if (ppc_filename == nullptr || u_dir_len == 0 || u_dir_len == path.size()) {
    VOS_ERROR("Invalid filename");
    return -3;
  }
  vos_unique_ptr<char> dir;
  if (ppc_dir != nullptr) {
    dir.reset(vos_str_dup(pc_path, static_cast<std::uint32_t>(u_dir_len)));
    if (!dir) {
      return -2;
    }
  }
  char* pc_file = vos_str_dup(pc_path + u_dir_len, whole_string);
  if (pc_file == nullptr) {
    return -2;
  }
  if (ppc_dir != nullptr) {
    *ppc_dir = dir.release();
  }
  *ppc_filename = pc_file;
  return 1;
}
