// Hexadecimal conversion. Nothing here allocates, logs or fails: every output goes into a
// buffer that the caller supplies and sizes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

/// Hexadecimal digits by value, lower and upper case.
inline constexpr char vos_hexa_lower[] = "0123456789abcdef";
inline constexpr char vos_hexa_upper[] = "0123456789ABCDEF";

/// Value of the hexadecimal digit @p c ('0'-'9', 'a'-'f', 'A'-'F'), or -1 for any other value.
constexpr int vos_hexa_value(int c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

/// The two digits of every byte value b side by side, at [2 * b] and [2 * b + 1]: "00" to "ff"
/// with vos_hexa_lower, "00" to "FF" with vos_hexa_upper.
constexpr std::array<char, 512> vos_hexa_pairs(const char (&digits)[17]) {
  std::array<char, 512> a{};
  for (std::size_t i = 0; i < 256; ++i) {
    a[2 * i] = digits[i >> 4];
    a[2 * i + 1] = digits[i & 0x0F];
  }
  return a;
}
inline constexpr auto vos_hexa_pairs_lower = vos_hexa_pairs(vos_hexa_lower);
inline constexpr auto vos_hexa_pairs_upper = vos_hexa_pairs(vos_hexa_upper);

/// @return @p c itself when it is a hexadecimal digit ('0'-'9', 'a'-'f', 'A'-'F'), else 0.
int vos_is_hexa(int c);

/// @retval 1 every character of @p s is a hexadecimal digit (also for "")
/// @retval 0 otherwise, or @p s is null
int vos_is_hexa_str(const char* s);

/// Value of the hexadecimal text made of the first @p len characters of @p str, modulo 2^32.
/// A leading lower-case "0x" is skipped. Any non-digit among those characters (a NUL
/// included, so a text shorter than @p len) makes the whole result 0; so does a null text
/// or nothing to parse.
std::uint32_t vos_hexa_to_i(const char* str, std::uint16_t len);

/// Writes strlen(@p str) / 2 bytes into @p dst, each from one pair of characters converted on
/// its own (a pair holding a non-digit gives 0; an odd last character is ignored). No
/// terminator is written: the caller provides room for that many bytes.
/// @return @p dst, or null when @p str is null (nothing written).
std::uint8_t* vos_hexa_to_ibuf(std::uint8_t* dst, const char* str);

/// Writes @p value in upper-case hexadecimal, at least @p min_digits digits (at most 8, zeros
/// in front), then a NUL: at most 9 bytes.
void vos_i_to_hexa(char* dst, std::uint32_t value, std::uint32_t min_digits);

/// Writes two upper-case digits per byte of @p buf, then a NUL: 2 * @p len + 1 bytes.
/// @return @p dst
char* vos_ibuf_to_hexa(char* dst, const std::uint8_t* buf, std::uint16_t len);
