// Hexadecimal conversion.
#include "vos_util_hexa.h"

#include <cstring>

int vos_is_hexa(int c) { return vos_hexa_value(c) >= 0 ? c : 0; }

int vos_is_hexa_str(const char* s) {
  if (s == nullptr) return 0;
  for (; *s != '\0'; ++s) {
    if (vos_is_hexa(static_cast<unsigned char>(*s)) == 0) return 0;
  }
  return 1;
}

std::uint32_t vos_hexa_to_i(const char* str, std::uint16_t len) {
  if (str == nullptr) return 0;
  // Only a lower-case x makes a prefix. Reading str[1] is safe: str[0] is not the NUL.
  std::uint16_t start = (str[0] == '0' && str[1] == 'x') ? 2 : 0;
  if (start >= len) return 0;
  std::uint32_t value = 0;
  for (std::uint16_t i = start; i < len; ++i) {
    // Stop at the NUL: a text shorter than len is not a number, and nothing past it is read.
    const int d = vos_hexa_value(static_cast<unsigned char>(str[i]));
    if (d < 0) return 0;
    value = (value << 4) | static_cast<std::uint32_t>(d);  // wraps modulo 2^32
  }
  return value;
}

std::uint8_t* vos_hexa_to_ibuf(std::uint8_t* dst, const char* str) {
  if (str == nullptr) return nullptr;
  const auto n = static_cast<std::uint16_t>(static_cast<std::uint16_t>(std::strlen(str)) / 2);
  for (std::uint16_t k = 0; k < n; ++k) {
    dst[k] = static_cast<std::uint8_t>(vos_hexa_to_i(str + 2 * k, 2));
  }
  return dst;
}

void vos_i_to_hexa(char* dst, std::uint32_t value, std::uint32_t min_digits) {
  std::uint32_t digits = 1;
  for (std::uint32_t v = value >> 4; v != 0; v >>= 4) ++digits;
  if (digits < min_digits) digits = min_digits > 8 ? 8 : min_digits;
  for (std::uint32_t i = 0; i < digits; ++i) {
    dst[i] = vos_hexa_upper[(value >> (4 * (digits - 1 - i))) & 0xF];
  }
  dst[digits] = '\0';
}

char* vos_ibuf_to_hexa(char* dst, const std::uint8_t* buf, std::uint16_t len) {
  for (std::uint16_t i = 0; i < len; ++i) {
    dst[2 * i] = vos_hexa_upper[buf[i] >> 4];
    dst[2 * i + 1] = vos_hexa_upper[buf[i] & 0xF];
  }
  dst[2 * static_cast<std::uint32_t>(len)] = '\0';
  return dst;
}
