// String and number toolbox: bounded copies and concatenations, case-insensitive comparison,
// character classes, decimal conversions, response-line parameters, integer square root.
// Only vos_str_dup and vos_str_cat_alloc allocate (accounted memory); every other output goes
// into a buffer that the caller supplies and sizes. ASCII only. No function keeps state.
#pragma once

#include <cstdint>

/// Length of @p pc_s: characters before its NUL, at most @p u32_max.
/// @retval 0 for a null string or a maximum of 0.
std::uint32_t vos_str_len(const char* pc_s, std::uint32_t u32_max);

/// New string holding the first @p u32_max characters of @p pc_src (all of them when it is
/// shorter) and a NUL. The block belongs to the caller, who releases it with vos_os_free.
/// @retval null when @p pc_src is null or the allocation fails.
char* vos_str_dup(const char* pc_src, std::uint32_t u32_max);

/// Writes at most @p u32_max1 characters of @p pc_s1, then at most @p u32_max2 characters of
/// @p pc_s2 (a null string counts as empty) into @p pc_dst while room remains, then a NUL if
/// room still remains. Truncation is silent: when the result equals @p u32_dst_size, check the
/// last byte to know whether the text is terminated.
/// @return the number of bytes written, the NUL included when it was written.
/// @retval 0 when @p u32_dst_size is 0 or @p pc_dst is null (error logged), or both strings are
///         null (nothing logged); @p pc_dst is then untouched.
std::uint32_t vos_str_cat(const char* pc_s1, std::uint32_t u32_max1, const char* pc_s2,
                          std::uint32_t u32_max2, char* pc_dst, std::uint32_t u32_dst_size);

/// New string: at most @p u32_max1 characters of @p pc_s1 followed by at most @p u32_max2 of
/// @p pc_s2 (a null string counts as empty). The caller releases it with vos_os_free.
/// @retval null when both strings are null (warning logged) or the allocation fails.
char* vos_str_cat_alloc(const char* pc_s1, std::uint32_t u32_max1, const char* pc_s2,
                        std::uint32_t u32_max2);

/// Copies at most @p u32_dst_size - 1 characters of @p pc_src (null counts as empty) into
/// @p pc_dst and always terminates it; truncation is silent.
/// @retval 1 copied (possibly truncated).
/// @retval -1 @p u32_dst_size is 0 or @p pc_dst is null (warning logged).
std::int32_t vos_str_copy(const char* pc_src, char* pc_dst, std::uint32_t u32_dst_size);

/// Signed decimal text of @p i32_value into @p pc_buf (at least 12 bytes), NUL-terminated.
/// @return @p pc_buf.
char* vos_itoa(std::int32_t i32_value, char* pc_buf);

/// Decimal text of @p u32_value into @p pc_buf (at least 11 bytes), NUL-terminated.
/// @return the number of digits written, 1 to 10.
std::int32_t vos_util_u32toa(std::uint32_t u32_value, char* pc_buf);

/// Value, modulo 2^32, of the decimal digits at the very start of @p pc_s (no blank or sign
/// accepted). @retval 0 when @p pc_s is null or does not begin with a digit.
std::uint32_t vos_util_atou32(const char* pc_s);

/// Case-insensitive comparison ('A'-'Z' folded to 'a'-'z'; bytes are unsigned).
/// @return the first folded character minus the second at the first difference (or at the
///         end of @p pc_s1): 0 when equal, negative when @p pc_s1 sorts first.
/// @retval -1 when either string is null.
std::int32_t vos_str_cmp(const char* pc_s1, const char* pc_s2);

/// As vos_str_cmp over at most @p u32_n characters.
/// @retval -1 when either string is null (tested before @p u32_n).
/// @retval 0 when @p u32_n is 0.
std::int32_t vos_str_num_cmp(const char* pc_s1, const char* pc_s2, std::uint32_t u32_n);

/// Multi-way prefix match: the candidates that follow @p pc_s, closed by a null pointer, are
/// tried in order; the first one that @p pc_s begins with (case ignored) wins. An empty
/// candidate matches any non-null @p pc_s.
/// @return the 1-based position of the winning candidate.
/// @retval 0 no candidate matches, or @p pc_s is null.
std::uint16_t vos_str_switch(const char* pc_s, ...) __attribute__((sentinel));

/// @retval 1 every character of @p pc_s is a decimal digit (also for "").
/// @retval 0 otherwise, or @p pc_s is null.
std::int32_t vos_is_num_str(const char* pc_s);

/// @retval 1 @p pc_s is a digit string, optionally preceded by one '+' ("+" and "" pass).
/// @retval 0 otherwise, or @p pc_s is null.
std::int32_t vos_is_phone_str(const char* pc_s);

/// @retval 1 every character among the first @p u32_max (up to the NUL) is printable ASCII,
///         32 to 126 inclusive (a maximum of 0 and "" pass).
/// @retval 0 otherwise, or @p pc_s is null.
std::int32_t vos_is_alphanum(const char* pc_s, std::uint32_t u32_max);

/// Copies up to @p i32_max characters of @p pc_src into @p pc_dst, dropping every CR and LF,
/// then a NUL. @p pc_dst holds at least @p i32_max + 1 bytes; a negative count acts as 0.
/// @return @p pc_dst. @retval null when @p pc_src or @p pc_dst is null.
char* vos_str_rem_crlf(char* pc_dst, const char* pc_src, std::int32_t i32_max);

/// In place, up to the NUL: 'a'-'z' to upper case (respectively 'A'-'Z' to lower case).
/// A null string is left alone.
void vos_util_upcase(char* pc_s);
void vos_util_lowcase(char* pc_s);

/// Extracts parameter @p i32_index (1-based; 1 or less means the first) of a modem response
/// line such as +CMD: 1,"a,b",x. The list follows the first '=' or ':', or the first space
/// that precedes a digit. Quoted parameters lose their quotes and may hold commas; after the
/// quoted parameters of the first line, the rest of the line (a message body) counts as one
/// more parameter, without its final CR LF. @p pc_dst must hold strlen(@p pc_line) + 1 bytes;
/// it is set to "" first unless @p pc_line is null.
/// @return @p pc_dst holding the parameter.
/// @retval null no such parameter, no separator, or a null argument.
char* vos_get_param_str(char* pc_dst, const char* pc_line, std::int32_t i32_index);

/// Integer square root: the largest r with r * r <= @p u32_x (at most 65,535).
std::uint32_t vos_util_sqrt(std::uint32_t u32_x);
