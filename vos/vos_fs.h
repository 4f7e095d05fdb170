// File-system helpers. Reaching a directory means changing the process's working directory,
// one component at a time, creating what is missing (mode 0777, umask applies): vos_fs_chdir,
// vos_fs_chreldir, vos_fs_open_file, vos_fs_copy, vos_fs_mv, vos_fs_mv_dir and vos_fs_cp_dir
// leave the process in the directory they reached, also after a failure part way. The working
// directory is one per process, so two walks on different threads interfere; no lock is taken.
//
// On input both '/' and '\' separate components; built paths use '/'. Results: 1 success,
// -1 a platform call failed, -2 out of memory, -3 invalid argument. A result variable is set to
// null (0 for numbers) first, so it holds null or 0 after any failure. Strings handed back are
// accounted blocks that the caller releases with vos_os_free. Failures are logged as errors.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string_view>

/// Directory listing handle, from vos_fs_opendir, released by vos_fs_closedir.
struct vos_fs_dir;

/// Opens @p pc_path with @p pc_mode (fopen modes), descriptor marked close-on-exec.
/// Changes no directory, logs nothing. The caller closes the stream (vos_fs_close_file).
/// @return the stream. @retval null null argument, or the open failed.
std::FILE* vos_fs_open(const char* pc_path, const char* pc_mode);

/// Closes the stream of the caller's variable, if any, and sets the variable to null.
/// @retval 1 always.
int vos_fs_close_file(std::FILE** ppf_file);

/// Removes @p pc_path. @return the platform's unlink result, 0 or -1 (-1 for a null path).
int vos_fs_unlink(const char* pc_path);

/// Walks the relative path @p pc_path from the working directory, creating and entering each
/// directory. With @p ppc_filename, the last component names a file: it is not entered and the
/// variable points at it inside @p pc_path (which is never changed); without, it is a directory
/// too (an empty last component, as in "a/b/", is allowed then).
/// @retval 1 reached.
/// @retval -1 null, absolute or malformed path ("a//b"), or a directory that cannot be created
///         or entered (e.g. a file is in the way).
/// @retval -2 out of memory.
/// @retval -3 a file was asked for but the path ends with a separator or is empty.
int vos_fs_chreldir(const char* pc_path, const char** ppc_filename);

/// Changes to the absolute directory @p pc_dir from "/", creating every missing component.
/// A trailing separator is allowed.
/// @retval 1 reached.
/// @retval -1 null, empty or relative path, or a component cannot be created or entered.
/// @retval -2 out of memory.
int vos_fs_chdir(const char* pc_dir);

/// Opens @p pc_file (relative; its directory part is created) under the absolute directory
/// @p pc_dir with @p pc_mode, descriptor marked close-on-exec, leaving the process in the file's
/// directory. The caller's variable receives the stream, which the caller closes.
/// @retval 1 opened.
/// @retval -1 a directory could not be reached, or the open failed.
/// @retval -2 out of memory.
/// @retval -3 null or empty @p pc_dir, null @p pc_file or @p pc_mode, or a file name ending
///         with a separator.
int vos_fs_open_file(std::FILE** ppf_file, const char* pc_dir, const char* pc_file,
                     const char* pc_mode);

/// Status of @p pc_dir joined with @p pc_name: type (1 file or anything but a directory,
/// 2 directory), size in bytes, permission bits (mode & 0777), modification time (seconds since
/// the epoch). Every output pointer may be null; the outputs are zeroed first.
/// @retval 1 outputs filled.
/// @retval -1 null argument, stat failed, or a size that does not fit in 32 bits.
/// @retval -2 out of memory.
int vos_fs_filestat(const char* pc_dir, const char* pc_name, std::uint32_t* pu32_type,
                    std::uint32_t* pu32_size, std::uint32_t* pu32_perm, std::uint32_t* pu32_mtime);

/// Size in bytes of the file @p pc_path into @p pu32_size (0 first).
/// @retval 1 size stored.
/// @retval -1 stat failed, @p pc_path is a directory, or its size does not fit in 32 bits.
/// @retval -3 null or empty path, or null @p pu32_size.
int vos_fs_filesize(const char* pc_path, std::uint32_t* pu32_size);

/// Copies the file @p pc_src to @p pc_dst. The directory part of @p pc_dst must be absolute; it
/// is created and becomes the working directory, so a relative @p pc_src is taken from there.
/// The data goes to a new file beside @p pc_dst (created exclusively, never through a link),
/// synced, then renamed over @p pc_dst: a failure or a kill part way leaves @p pc_dst as it was
/// and no partial file under its name. An existing @p pc_dst that is a device or a FIFO is
/// written in place and never removed.
/// @retval 1 copied.
/// @retval -1 a directory could not be reached, a file could not be opened, read, written or
///         closed, or source and destination are the same file.
/// @retval -2 out of memory.
/// @retval -3 null or empty argument, or a destination without separator.
int vos_fs_copy(const char* pc_src, const char* pc_dst);

/// Replaces the file @p pc_path by one holding @p content: written to a new file beside it
/// (created exclusively with @p u32_mode, umask applies: never through a link, never over a file
/// that exists), synced, then renamed over @p pc_path, which holds either the old file or the
/// whole content. A failure removes the new file. Changes no directory, logs nothing: the
/// caller's @p pi_errno receives the error number (0 when replaced).
/// @retval 1 replaced.
/// @retval -1 the new file could not be created.
/// @retval -3 null or empty path.
/// @retval -4 a write, the sync, the closing or the rename failed.
int vos_fs_replace(const char* pc_path, std::string_view content, std::uint32_t u32_mode,
                   int* pi_errno);

/// Moves the file @p pc_src to @p pc_dst: as vos_fs_copy for the destination directory, then a
/// rename, or, when the rename fails (another file system), a copy as vos_fs_copy makes it and,
/// only once that copy is complete under its final name, removal of the source.
/// @retval 1 moved.
/// @retval -1 a directory could not be reached, or the copy or the removal failed.
/// @retval -2 out of memory.
/// @retval -3 null or empty argument, or a destination without separator.
int vos_fs_mv(const char* pc_src, const char* pc_dst);

/// As vos_fs_mv, but both paths are taken as they are: a '\' is part of a name, as the platform
/// sees it, so the file moved is the file the caller measured. For paths given by a user.
/// Same results as vos_fs_mv.
int vos_fs_mv_literal(const char* pc_src, const char* pc_dst);

/// vos_fs_mv (respectively vos_fs_copy) of the one file @p pc_file from directory @p pc_src_dir
/// to directory @p pc_dst_dir.
/// @return the result of vos_fs_mv / vos_fs_copy on the joined paths.
/// @retval -2 out of memory.
/// @retval -3 null or empty argument, or an absolute @p pc_file.
int vos_fs_mv_dir(const char* pc_src_dir, const char* pc_file, const char* pc_dst_dir);
int vos_fs_cp_dir(const char* pc_src_dir, const char* pc_file, const char* pc_dst_dir);

/// New path: @p pc_first and @p pc_second (either may be null, counting as empty) joined with
/// one '/', every '\' written as '/'. With @p i_trailing non-zero the result ends with '/';
/// otherwise one final '/' is removed. The caller releases it with vos_os_free.
/// @retval null both parts null, or out of memory.
char* vos_fs_cat_name(const char* pc_first, const char* pc_second, int i_trailing);

/// Opens a directory listing of @p pc_path, whose '\' are rewritten to '/' in place.
/// @return the handle, to be released with vos_fs_closedir.
/// @retval null null path, out of memory, or the directory cannot be opened.
vos_fs_dir* vos_fs_opendir(char* pc_path);

/// Name of the next entry ("." and ".." included), valid until the next read on the handle.
/// @retval null end of the listing, or a null handle.
const char* vos_fs_readdir(vos_fs_dir* p_dir);

/// As vos_fs_readdir, also storing the entry's d_type code in @p pu32_type (may be null),
/// 0 when no entry is returned.
const char* vos_fs_readdir_and_type(vos_fs_dir* p_dir, std::uint32_t* pu32_type);

/// Closes the listing of the caller's handle variable, releases it and sets it to null.
void vos_fs_closedir(vos_fs_dir** pp_dir);

/// New name: @p pc_name with the extension of its last component replaced by @p pc_ext (or
/// removed when @p pc_ext is null). When a file of that name exists and @p i_unique is non-zero,
/// "_" and four lower-case hexadecimal characters are inserted before the extension until no
/// such file exists. The caller releases @p *ppc_result with vos_os_free.
/// @retval 1 name stored.
/// @retval -2 out of memory.
/// @retval -3 null or empty name, a last component that begins with its only '.', or a null
///         @p ppc_result.
int vos_fs_change_extension(const char* pc_name, const char* pc_ext, char** ppc_result,
                            int i_unique);

/// New path: the directory part of @p pc_path (through its last separator) then @p pc_new_name.
/// @retval 1 stored. @retval -2 out of memory. @retval -3 null or empty path, null new name.
int vos_fs_change_filename(const char* pc_path, const char* pc_new_name, char** ppc_result);

/// One new block: the directory part of @p pc_path (through its last separator, "" without
/// one), a NUL, then the file name and its NUL; the file name begins right after the directory
/// string's NUL.
/// @retval 1 stored. @retval -2 out of memory. @retval -3 null or empty path.
int vos_fs_extract_both_dir_and_filename(const char* pc_path, char** ppc_result);

/// Two new blocks: the directory part through its final separator (only when @p ppc_dir is
/// given) and the file name.
/// @retval 1 stored.
/// @retval -2 out of memory (nothing is kept).
/// @retval -3 null or empty path, no separator, or a path ending with a separator.
int vos_fs_extract_dir_and_filename(const char* pc_path, char** ppc_dir, char** ppc_filename);
