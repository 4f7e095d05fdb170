// File-system helpers. Walks change the process's working directory component by component;
// every working copy of a path is an accounted block held by a vos_unique_ptr, so it is
// released on every exit.
#include "vos_fs.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <string_view>

#include "vos_errno_text.h"
#include "vos_fd.h"
#include "vos_fs_internal.h"
#include "vos_mem.h"
#include "vos_str.h"
#include "vos_trace.h"

struct vos_fs_dir {
  DIR* p_stream;
};

using namespace detail;

namespace {

constexpr const char* source_name = "vos_fs.c";

constexpr std::uint32_t copy_buffer_size = 0x2800;
const char* _or_null(const char* pc_s) noexcept { return pc_s != nullptr ? pc_s : "(null)"; }

struct _file_closer {
  void operator()(std::FILE* pf) const noexcept { std::fclose(pf); }
};
using _unique_file = std::unique_ptr<std::FILE, _file_closer>;

// The descriptor must not leak into the shell commands the runtime starts.
void _set_cloexec(std::FILE* pf) noexcept {
  const int fd = fileno(pf);
  const int flags = fcntl(fd, F_GETFD);
  if (flags >= 0) {
    fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
  }
}

// Working copy of a path with every '\\' written as '/', since the platform takes '\\' for
// a plain character: the walk and the open must see the same directories.
char* _with_slashes(const char* pc_path) {
  char* pc_copy = vos_str_dup(pc_path, whole_string);
  _to_slashes(pc_copy);
  return pc_copy;
}

// Creates the directory when missing, then enters it. A failed change is an error: going on
// from the wrong directory would create the rest of the path, and the file, elsewhere.
int _enter_component(const char* pc_name) {
  if (access(pc_name, F_OK) != 0 && mkdir(pc_name, 0777) != 0 && errno != EEXIST) {
    const int err = errno;
    VOS_ERROR("Can't create directory \"%s\" : %s", pc_name, vos_errno_text(err).c_str());
    return -1;
  }
  if (chdir(pc_name) != 0) {
    const int err = errno;
    VOS_ERROR("Can't change directory \"%s\" : %s", pc_name, vos_errno_text(err).c_str());
    return -1;
  }
  return 1;
}

// Creates and enters the directory part (through the last separator) of a destination path.
int _enter_destination_dir(const char* pc_dst) {
  const std::size_t u_dir_len = _dir_part_length(pc_dst);
  if (u_dir_len == 0) {
    VOS_ERROR("Invalid destination filename");
    return -3;
  }
  const vos_unique_ptr<char> dir(vos_str_dup(pc_dst, static_cast<std::uint32_t>(u_dir_len)));
  if (!dir) {
    VOS_ERROR("Memory overflow");
    return -2;
  }
  return vos_fs_chdir(dir.get());
}

// Writes all of @p n bytes. @return 0, or the error number.
int _write_all(int fd, const std::uint8_t* pu8, std::size_t n) noexcept {
  while (n != 0) {
    const ssize_t w = write(fd, pu8, n);
    if (w < 0) {
      if (errno == EINTR) {
        continue;
      }
      return errno;
    }
    pu8 += w;
    n -= static_cast<std::size_t>(w);
  }
  return 0;
}

// Copies everything from @p fd_in to @p fd_out. @return 0, or the error number of the failed
// write (@p pb_read_error false) or read (true).
int _pump(int fd_in, int fd_out, std::uint8_t* pu8_buffer, bool* pb_read_error) noexcept {
  for (;;) {
    const ssize_t n = read(fd_in, pu8_buffer, copy_buffer_size);
    if (n == 0) {
      return 0;
    }
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      *pb_read_error = true;
      return errno;
    }
    if (const int err = _write_all(fd_out, pu8_buffer, static_cast<std::size_t>(n)); err != 0) {
      return err;
    }
  }
}

// A new file beside @p pc_dst, created exclusively (never through a link, never over a file that
// exists) with @p u32_mode (umask applies). Its name goes to @p s_tmp.
int _create_beside(const char* pc_dst, std::string& s_tmp, std::uint32_t u32_mode = 0666) {
  static std::atomic<unsigned> u_counter{0};
  for (int attempt = 0; attempt < 100; ++attempt) {
    char ac_suffix[40];
    std::snprintf(ac_suffix, sizeof ac_suffix, ".%ld.%u.tmp", static_cast<long>(getpid()),
                  u_counter.fetch_add(1));
    s_tmp = std::string(pc_dst) + ac_suffix;
    const int fd =
        open(s_tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, u32_mode);
    if (fd >= 0 || errno != EEXIST) {
      return fd;
    }
  }
  return -1;
}

// Copies into an existing destination that is not a regular file (a device, a FIFO) in place:
// there is nothing to replace, and such a destination is never removed.
int _copy_in_place(int fd_in, const char* pc_src, const char* pc_dst, std::uint8_t* pu8_buffer) {
  vos_fd_guard out(open(pc_dst, O_WRONLY | O_TRUNC | O_NOFOLLOW | O_CLOEXEC));
  if (out.get() < 0) {
    const int err = errno;
    VOS_ERROR("Can't open dest file \"%s\" : %s", pc_dst, vos_errno_text(err).c_str());
    return -1;
  }
  bool b_read_error = false;
  int err = _pump(fd_in, out.get(), pu8_buffer, &b_read_error);
  if (err == 0 && out.close_now() != 0) {
    err = errno;
  }
  if (err != 0) {
    VOS_ERROR(
        b_read_error ? "Can't read source file \"%s\" : %s" : "Can't write dest file \"%s\" : %s",
        b_read_error ? pc_src : pc_dst, vos_errno_text(err).c_str());
    return -1;
  }
  return 1;
}

// The destination is replaced in one step: the data goes to a new file in its directory, which
// is synced and then renamed over it. A failure (or a kill) part way leaves the destination as
// it was, never truncated, and never writes through a link planted at its name.
int _copy_contents(const char* pc_src, const char* pc_dst) {
  const vos_unique_ptr<std::uint8_t> buffer([] {
    std::uint8_t* pu8 = nullptr;
    vos_os_malloc(&pu8, copy_buffer_size);
    return pu8;
  }());
  if (!buffer) {
    VOS_ERROR("Memory overflow");
    return -2;
  }
  vos_fd_guard in(open(pc_src, O_RDONLY | O_CLOEXEC));
  if (in.get() < 0) {
    const int err = errno;
    VOS_ERROR("Can't open source file \"%s\" : %s", pc_src, vos_errno_text(err).c_str());
    return -1;
  }
  // Writing over a source that is the same file would lose it.
  struct stat st_src {};
  struct stat st_dst {};
  if (fstat(in.get(), &st_src) == 0 && stat(pc_dst, &st_dst) == 0 &&
      st_src.st_dev == st_dst.st_dev && st_src.st_ino == st_dst.st_ino) {
    VOS_ERROR("Can't copy file \"%s\" onto itself", pc_src);
    return -1;
  }
  struct stat st_link {};
  if (lstat(pc_dst, &st_link) == 0 && !S_ISREG(st_link.st_mode) && !S_ISLNK(st_link.st_mode)) {
    if (S_ISDIR(st_link.st_mode)) {
      VOS_ERROR("Can't open dest file \"%s\" : %s", pc_dst, vos_errno_text(EISDIR).c_str());
      return -1;
    }
    return _copy_in_place(in.get(), pc_src, pc_dst, buffer.get());
  }
  std::string s_tmp;
  vos_fd_guard out(_create_beside(pc_dst, s_tmp));
  if (out.get() < 0) {
    const int err = errno;
    VOS_ERROR("Can't open dest file \"%s\" : %s", pc_dst, vos_errno_text(err).c_str());
    return -1;
  }
  bool b_read_error = false;
  int err = _pump(in.get(), out.get(), buffer.get(), &b_read_error);
  // Data reaches the disk only here; a full disk shows up now at the latest.
  if (err == 0 && fsync(out.get()) != 0) {
    err = errno;
  }
  if (err == 0 && out.close_now() != 0) {
    err = errno;
  }
  if (err == 0 && std::rename(s_tmp.c_str(), pc_dst) != 0) {
    err = errno;
  }
  if (err != 0) {
    VOS_ERROR(
        b_read_error ? "Can't read source file \"%s\" : %s" : "Can't write dest file \"%s\" : %s",
        b_read_error ? pc_src : pc_dst, vos_errno_text(err).c_str());
    unlink(s_tmp.c_str());
    return -1;
  }
  return 1;
}

}  // namespace

int vos_fs_replace(const char* pc_path, std::string_view content, std::uint32_t u32_mode,
                   int* pi_errno) {
  *pi_errno = EINVAL;
  if (pc_path == nullptr || *pc_path == '\0') {
    return -3;
  }
  std::string s_tmp;
  vos_fd_guard out(_create_beside(pc_path, s_tmp, u32_mode));
  if (out.get() < 0) {
    *pi_errno = errno;
    return -1;
  }
  int err =
      _write_all(out.get(), reinterpret_cast<const std::uint8_t*>(content.data()), content.size());
  if (err == 0 && fsync(out.get()) != 0) {
    err = errno;
  }
  if (err == 0 && out.close_now() != 0) {
    err = errno;
  }
  if (err == 0 && std::rename(s_tmp.c_str(), pc_path) != 0) {
    err = errno;
  }
  *pi_errno = err;
  if (err != 0) {
    unlink(s_tmp.c_str());
    return -4;
  }
  return 1;
}

namespace {

// Directory, a '/' unless it already ends with a separator, then the file name.
char* _join_dir_file(std::string_view dir, std::string_view file) {
  const bool b_sep = !_is_sep(dir.back());
  char* pc = _alloc_string(dir.size() + (b_sep ? 1 : 0) + file.size());
  if (pc == nullptr) {
    return nullptr;
  }
  dir.copy(pc, dir.size());
  if (b_sep) {
    pc[dir.size()] = '/';
  }
  file.copy(pc + dir.size() + (b_sep ? 1 : 0), file.size());
  return pc;
}

using _file_op = int (*)(const char*, const char*);

int _between_dirs(const char* pc_src_dir, const char* pc_file, const char* pc_dst_dir,
                  _file_op pf_op) {
  if (pc_src_dir == nullptr || *pc_src_dir == '\0' || pc_file == nullptr || *pc_file == '\0' ||
      pc_dst_dir == nullptr || *pc_dst_dir == '\0') {
    VOS_ERROR("Invalid parameter");
    return -3;
  }
  if (_is_sep(pc_file[0])) {
    VOS_ERROR("Invalid relative filename \"%s\"", pc_file);
    return -3;
  }
  const vos_unique_ptr<char> src(_join_dir_file(pc_src_dir, pc_file));
  const vos_unique_ptr<char> dst(_join_dir_file(pc_dst_dir, pc_file));
  if (!src || !dst) {
    return -2;
  }
  return pf_op(src.get(), dst.get());
}

}  // namespace

std::FILE* vos_fs_open(const char* pc_path, const char* pc_mode) {
  if (pc_path == nullptr || pc_mode == nullptr) {
    return nullptr;
  }
  // Close-on-exec from the open itself ("e"), so that no thread's exec sees it in between.
  char ac_mode[16];
  const int n = std::snprintf(ac_mode, sizeof ac_mode, "%se", pc_mode);
  std::FILE* pf = std::fopen(
      pc_path, n > 0 && static_cast<std::size_t>(n) < sizeof ac_mode ? ac_mode : pc_mode);
  if (pf != nullptr) {
    _set_cloexec(pf);
  }
  return pf;
}

int vos_fs_close_file(std::FILE** ppf_file) {
  if (ppf_file != nullptr && *ppf_file != nullptr) {
    std::fclose(*ppf_file);
    *ppf_file = nullptr;
  }
  return 1;
}

int vos_fs_unlink(const char* pc_path) {
  if (pc_path == nullptr) {
    return -1;
  }
  return unlink(pc_path);
}

int vos_fs_chreldir(const char* pc_path, const char** ppc_filename) {
  if (ppc_filename != nullptr) {
    *ppc_filename = nullptr;
  }
  if (pc_path == nullptr) {
    VOS_ERROR("Invalid directory/file name");
    return -1;
  }
  if (_is_sep(pc_path[0])) {
    VOS_ERROR("Not a relative directory/file name");
    return -1;
  }
  // Components are cut out of a copy; the caller's string is never written.
  const vos_unique_ptr<char> copy(vos_str_dup(pc_path, whole_string));
  if (!copy) {
    VOS_ERROR("Memory overflow");
    return -2;
  }
  char* pc_component = copy.get();
  for (char* pc = copy.get(); *pc != '\0'; ++pc) {
    if (!_is_sep(*pc)) {
      continue;
    }
    *pc = '\0';
    if (*pc_component == '\0') {
      VOS_ERROR("Invalid directory/file name");
      return -1;
    }
    if (const int i_rc = _enter_component(pc_component); i_rc != 1) {
      return i_rc;
    }
    pc_component = pc + 1;
  }
  if (ppc_filename != nullptr) {
    if (*pc_component == '\0') {
      VOS_ERROR("Filename length is 0");
      return -3;
    }
    *ppc_filename = pc_path + (pc_component - copy.get());
    return 1;
  }
  return *pc_component == '\0' ? 1 : _enter_component(pc_component);
}

int vos_fs_chdir(const char* pc_dir) {
  if (pc_dir == nullptr || *pc_dir == '\0') {
    VOS_ERROR("Invalid directory name");
    return -1;
  }
  if (!_is_sep(pc_dir[0])) {
    VOS_ERROR("Invalid directory name \"%s\"", pc_dir);
    return -1;
  }
  if (chdir("/") != 0) {
    const int err = errno;
    VOS_ERROR("Can't change directory \"%s\" : %s", "/", vos_errno_text(err).c_str());
    return -1;
  }
  return vos_fs_chreldir(pc_dir + 1, nullptr);
}

int vos_fs_open_file(std::FILE** ppf_file, const char* pc_dir, const char* pc_file,
                     const char* pc_mode) {
  if (ppf_file != nullptr) {
    *ppf_file = nullptr;
  }
  if (ppf_file == nullptr || pc_dir == nullptr || *pc_dir == '\0' || pc_file == nullptr ||
      pc_mode == nullptr) {
    VOS_ERROR("Invalid parameter dirname=\"%s\" filename=\"%s\"", _or_null(pc_dir),
              _or_null(pc_file));
    return -3;
  }
  if (const int i_rc = vos_fs_chdir(pc_dir); i_rc != 1) {
    return i_rc;
  }
  const char* pc_name = nullptr;
  if (const int i_rc = vos_fs_chreldir(pc_file, &pc_name); i_rc != 1) {
    return i_rc;
  }
  std::FILE* pf = std::fopen(pc_name, pc_mode);
  if (pf == nullptr) {
    const int err = errno;
    VOS_ERROR("Cant open file \"%s\" : %s", pc_name, vos_errno_text(err).c_str());
    return -1;
  }
  _set_cloexec(pf);
  *ppf_file = pf;
  return 1;
}

int vos_fs_filestat(const char* pc_dir, const char* pc_name, std::uint32_t* pu32_type,
                    std::uint32_t* pu32_size, std::uint32_t* pu32_perm, std::uint32_t* pu32_mtime) {
  for (std::uint32_t* pu32 : {pu32_type, pu32_size, pu32_perm, pu32_mtime}) {
    if (pu32 != nullptr) {
      *pu32 = 0;
    }
  }
  if (pc_dir == nullptr || pc_name == nullptr) {
    VOS_ERROR("Invalid filename");
    return -1;
  }
  const vos_unique_ptr<char> path(vos_fs_cat_name(pc_dir, pc_name, 0));
  if (!path) {
    VOS_ERROR("Memory overflow");
    return -2;
  }
  struct stat st {};
  if (stat(path.get(), &st) != 0) {
    const int err = errno;
    VOS_ERROR("Can't obtain file stats for file \"%s\" : %s", path.get(),
              vos_errno_text(err).c_str());
    return -1;
  }
  // A size cut to 32 bits would be a wrong size reported as a right one.
  if (static_cast<std::uintmax_t>(st.st_size) > std::numeric_limits<std::uint32_t>::max()) {
    VOS_ERROR("Can't obtain file stats for file \"%s\" : %s", path.get(),
              vos_errno_text(EOVERFLOW).c_str());
    return -1;
  }
  if (pu32_type != nullptr) {
    *pu32_type = S_ISDIR(st.st_mode) ? 2 : 1;
  }
  if (pu32_size != nullptr) {
    *pu32_size = static_cast<std::uint32_t>(st.st_size);
  }
  if (pu32_perm != nullptr) {
    *pu32_perm = static_cast<std::uint32_t>(st.st_mode & 0777);
  }
  if (pu32_mtime != nullptr) {
    *pu32_mtime = static_cast<std::uint32_t>(st.st_mtime);
  }
  return 1;
}

int vos_fs_filesize(const char* pc_path, std::uint32_t* pu32_size) {
  if (pu32_size != nullptr) {
    *pu32_size = 0;
  }
  if (pc_path == nullptr || *pc_path == '\0' || pu32_size == nullptr) {
    VOS_ERROR("Invalid filename");
    return -3;
  }
  struct stat st {};
  if (stat(pc_path, &st) != 0) {
    const int err = errno;
    VOS_ERROR("Can't obtain file stats for file \"%s\" : %s", pc_path, vos_errno_text(err).c_str());
    return -1;
  }
  if (S_ISDIR(st.st_mode)) {
    VOS_ERROR("%s is a directory", pc_path);
    return -1;
  }
  if (static_cast<std::uintmax_t>(st.st_size) > std::numeric_limits<std::uint32_t>::max()) {
    VOS_ERROR("Can't obtain file stats for file \"%s\" : %s", pc_path,
              vos_errno_text(EOVERFLOW).c_str());
    return -1;
  }
  *pu32_size = static_cast<std::uint32_t>(st.st_size);
  return 1;
}

namespace {

// Copy of @p pc_src to @p pc_dst, both taken as they are.
int _copy_file(const char* pc_src, const char* pc_dst) {
  if (const int i_rc = _enter_destination_dir(pc_dst); i_rc != 1) {
    return i_rc;
  }
  return _copy_contents(pc_src, pc_dst);
}

// Move of @p pc_src to @p pc_dst, both taken as they are; the source goes only once the
// destination holds all of it.
int _move_file(const char* pc_src, const char* pc_dst) {
  if (const int i_rc = _enter_destination_dir(pc_dst); i_rc != 1) {
    return i_rc;
  }
  if (std::rename(pc_src, pc_dst) == 0) {
    return 1;
  }
  // Across file systems rename cannot work: copy, then remove the source.
  VOS_DEBUG("Copying file \"%s\" to \"%s\"", pc_src, pc_dst);
  if (_copy_contents(pc_src, pc_dst) != 1) {
    return -1;
  }
  if (unlink(pc_src) != 0) {
    const int err = errno;
    VOS_ERROR("Can't remove file \"%s\" : %s", pc_src, vos_errno_text(err).c_str());
    return -1;
  }
  return 1;
}

}  // namespace

int vos_fs_copy(const char* pc_src, const char* pc_dst) {
  if (pc_src == nullptr || *pc_src == '\0' || pc_dst == nullptr || *pc_dst == '\0') {
    VOS_ERROR("Invalid filename while copying file");
    return -3;
  }
  VOS_DEBUG("Copying file \"%s\" to \"%s\"", pc_src, pc_dst);
  const vos_unique_ptr<char> src(_with_slashes(pc_src));
  const vos_unique_ptr<char> dst(_with_slashes(pc_dst));
  if (!src || !dst) {
    VOS_ERROR("Memory overflow");
    return -2;
  }
  return _copy_file(src.get(), dst.get());
}

int vos_fs_mv(const char* pc_src, const char* pc_dst) {
  if (pc_src == nullptr || *pc_src == '\0' || pc_dst == nullptr || *pc_dst == '\0') {
    VOS_ERROR("Invalid filename while moving file");
    return -3;
  }
  const vos_unique_ptr<char> src(_with_slashes(pc_src));
  const vos_unique_ptr<char> dst(_with_slashes(pc_dst));
  if (!src || !dst) {
    VOS_ERROR("Memory overflow");
    return -2;
  }
  return _move_file(src.get(), dst.get());
}

int vos_fs_mv_literal(const char* pc_src, const char* pc_dst) {
  if (pc_src == nullptr || *pc_src == '\0' || pc_dst == nullptr || *pc_dst == '\0') {
    VOS_ERROR("Invalid filename while moving file");
    return -3;
  }
  return _move_file(pc_src, pc_dst);
}

int vos_fs_mv_dir(const char* pc_src_dir, const char* pc_file, const char* pc_dst_dir) {
  return _between_dirs(pc_src_dir, pc_file, pc_dst_dir, &vos_fs_mv);
}

int vos_fs_cp_dir(const char* pc_src_dir, const char* pc_file, const char* pc_dst_dir) {
  return _between_dirs(pc_src_dir, pc_file, pc_dst_dir, &vos_fs_copy);
}

vos_fs_dir* vos_fs_opendir(char* pc_path) {
  if (pc_path == nullptr) {
    return nullptr;
  }
  void* pv_block = nullptr;
  vos_os_malloc(&pv_block, sizeof(vos_fs_dir));
  if (pv_block == nullptr) {
    return nullptr;
  }
  _to_slashes(pc_path);
  DIR* p_stream = opendir(pc_path);
  if (p_stream == nullptr) {
    vos_os_free(&pv_block);
    return nullptr;
  }
  return ::new (pv_block) vos_fs_dir{p_stream};
}

const char* vos_fs_readdir(vos_fs_dir* p_dir) { return vos_fs_readdir_and_type(p_dir, nullptr); }

const char* vos_fs_readdir_and_type(vos_fs_dir* p_dir, std::uint32_t* pu32_type) {
  if (pu32_type != nullptr) {
    *pu32_type = 0;
  }
  if (p_dir == nullptr || p_dir->p_stream == nullptr) {
    return nullptr;
  }
  const dirent* p_entry = readdir(p_dir->p_stream);
  if (p_entry == nullptr) {
    return nullptr;
  }
  if (pu32_type != nullptr) {
    *pu32_type = p_entry->d_type;
  }
  return p_entry->d_name;
}

void vos_fs_closedir(vos_fs_dir** pp_dir) {
  if (pp_dir == nullptr || *pp_dir == nullptr) {
    return;
  }
  if ((*pp_dir)->p_stream != nullptr) {
    closedir((*pp_dir)->p_stream);
  }
  vos_os_free(pp_dir);
}
