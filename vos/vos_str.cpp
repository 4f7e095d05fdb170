// String and number toolbox. Lengths are size_t inside, so no input length wraps a count.
#include "vos_str.h"

#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <limits>
#include <string_view>

#include "vos_mem.h"
#include "vos_trace.h"

namespace {

constexpr const char* source_name = "vos_str.c";

constexpr unsigned char _fold(char c) noexcept {
  const auto uc = static_cast<unsigned char>(c);
  return (uc >= 'A' && uc <= 'Z') ? static_cast<unsigned char>(uc + 32) : uc;
}

constexpr bool _is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

// Characters of a string up to its NUL or the maximum; a null string is empty.
std::string_view _bounded(const char* pc_s, std::uint32_t u32_max) noexcept {
  return {pc_s == nullptr ? "" : pc_s, vos_str_len(pc_s, u32_max)};
}

// New accounted block holding the concatenation of the parts and a NUL.
char* _alloc_joined(std::string_view first, std::string_view second) noexcept {
  const std::size_t total = first.size() + second.size() + 1;
  if (total < first.size() || total > std::numeric_limits<std::uint32_t>::max()) {
    return nullptr;
  }
  char* pc_out = nullptr;
  vos_os_malloc(&pc_out, static_cast<std::uint32_t>(total));
  if (pc_out == nullptr) {
    return nullptr;
  }
  first.copy(pc_out, first.size());
  second.copy(pc_out + first.size(), second.size());
  pc_out[total - 1] = '\0';
  return pc_out;
}

// Copies [begin, end) of the line into dst and terminates it.
char* _copy_range(char* pc_dst, const char* pc_line, std::size_t begin, std::size_t end) noexcept {
  std::memcpy(pc_dst, pc_line + begin, end - begin);
  pc_dst[end - begin] = '\0';
  return pc_dst;
}

}  // namespace

std::uint32_t vos_str_len(const char* pc_s, std::uint32_t u32_max) {
  if (pc_s == nullptr) {
    return 0;
  }
  const void* pv_nul = std::memchr(pc_s, '\0', u32_max);
  return pv_nul == nullptr ? u32_max
                           : static_cast<std::uint32_t>(static_cast<const char*>(pv_nul) - pc_s);
}

char* vos_str_dup(const char* pc_src, std::uint32_t u32_max) {
  if (pc_src == nullptr) {
    return nullptr;
  }
  return _alloc_joined(_bounded(pc_src, u32_max), {});
}

std::uint32_t vos_str_cat(const char* pc_s1, std::uint32_t u32_max1, const char* pc_s2,
                          std::uint32_t u32_max2, char* pc_dst, std::uint32_t u32_dst_size) {
  if (u32_dst_size == 0 || pc_dst == nullptr) {
    VOS_ERROR("Invalid destinaton buffer");
    return 0;
  }
  if (pc_s1 == nullptr && pc_s2 == nullptr) {
    return 0;
  }
  std::uint32_t u32_written = 0;
  for (const std::string_view part : {_bounded(pc_s1, u32_max1), _bounded(pc_s2, u32_max2)}) {
    const std::size_t n = std::min<std::size_t>(part.size(), u32_dst_size - u32_written);
    part.copy(pc_dst + u32_written, n);
    u32_written += static_cast<std::uint32_t>(n);
  }
  if (u32_written < u32_dst_size) {
    pc_dst[u32_written++] = '\0';
  }
  return u32_written;
}

char* vos_str_cat_alloc(const char* pc_s1, std::uint32_t u32_max1, const char* pc_s2,
                        std::uint32_t u32_max2) {
  if (pc_s1 == nullptr && pc_s2 == nullptr) {
    VOS_WARNING("Null strings");
    return nullptr;
  }
  return _alloc_joined(_bounded(pc_s1, u32_max1), _bounded(pc_s2, u32_max2));
}

std::int32_t vos_str_copy(const char* pc_src, char* pc_dst, std::uint32_t u32_dst_size) {
  if (u32_dst_size == 0 || pc_dst == nullptr) {
    VOS_WARNING("No room in dst buffer");
    return -1;
  }
  const std::string_view text = _bounded(pc_src, u32_dst_size - 1);
  text.copy(pc_dst, text.size());
  pc_dst[text.size()] = '\0';
  return 1;
}

char* vos_itoa(std::int32_t i32_value, char* pc_buf) {
  // The magnitude in unsigned arithmetic, so INT32_MIN needs no special case.
  const std::uint32_t u32_magnitude = i32_value < 0 ? 0U - static_cast<std::uint32_t>(i32_value)
                                                    : static_cast<std::uint32_t>(i32_value);
  char* pc_digits = pc_buf;
  if (i32_value < 0) {
    *pc_digits++ = '-';
  }
  vos_util_u32toa(u32_magnitude, pc_digits);
  return pc_buf;
}

std::int32_t vos_util_u32toa(std::uint32_t u32_value, char* pc_buf) {
  char ac_reversed[10];
  std::int32_t i32_count = 0;
  do {
    ac_reversed[i32_count++] = static_cast<char>('0' + u32_value % 10);
    u32_value /= 10;
  } while (u32_value != 0);
  for (std::int32_t i = 0; i < i32_count; ++i) {
    pc_buf[i] = ac_reversed[i32_count - 1 - i];
  }
  pc_buf[i32_count] = '\0';
  return i32_count;
}

std::uint32_t vos_util_atou32(const char* pc_s) {
  std::uint32_t u32_value = 0;
  for (; pc_s != nullptr && _is_digit(*pc_s); ++pc_s) {
    u32_value = u32_value * 10U + static_cast<std::uint32_t>(*pc_s - '0');  // wraps mod 2^32
  }
  return u32_value;
}

std::int32_t vos_str_num_cmp(const char* pc_s1, const char* pc_s2, std::uint32_t u32_n) {
  if (pc_s1 == nullptr || pc_s2 == nullptr) {
    return -1;
  }
  if (u32_n == 0) {
    return 0;
  }
  for (std::uint32_t i = 0;; ++i) {
    const unsigned char c1 = _fold(pc_s1[i]);
    const unsigned char c2 = _fold(pc_s2[i]);
    if (c1 != c2 || c1 == '\0' || i + 1 == u32_n) {
      return static_cast<std::int32_t>(c1) - static_cast<std::int32_t>(c2);
    }
  }
}

std::int32_t vos_str_cmp(const char* pc_s1, const char* pc_s2) {
  return vos_str_num_cmp(pc_s1, pc_s2, std::numeric_limits<std::uint32_t>::max());
}

std::uint16_t vos_str_switch(const char* pc_s, ...) {
  std::va_list args;
  va_start(args, pc_s);
  std::uint16_t u16_found = 0;
  std::uint16_t u16_position = 0;
  for (const char* pc_candidate = va_arg(args, const char*); pc_candidate != nullptr;
       pc_candidate = va_arg(args, const char*)) {
    ++u16_position;
    const auto u32_len = static_cast<std::uint32_t>(std::strlen(pc_candidate));
    if (pc_s != nullptr && vos_str_num_cmp(pc_s, pc_candidate, u32_len) == 0) {
      u16_found = u16_position;
      break;
    }
  }
  va_end(args);
  return u16_found;
}

std::int32_t vos_is_num_str(const char* pc_s) {
  if (pc_s == nullptr) {
    return 0;
  }
  for (; *pc_s != '\0'; ++pc_s) {
    if (!_is_digit(*pc_s)) {
      return 0;
    }
  }
  return 1;
}

std::int32_t vos_is_phone_str(const char* pc_s) {
  if (pc_s == nullptr) {
    return 0;
  }
  return vos_is_num_str(*pc_s == '+' ? pc_s + 1 : pc_s);
}

std::int32_t vos_is_alphanum(const char* pc_s, std::uint32_t u32_max) {
  if (pc_s == nullptr) {
    return 0;
  }
  for (const char c : _bounded(pc_s, u32_max)) {
    const auto uc = static_cast<unsigned char>(c);
    if (uc < 32 || uc > 126) {
      return 0;
    }
  }
  return 1;
}

char* vos_str_rem_crlf(char* pc_dst, const char* pc_src, std::int32_t i32_max) {
  if (pc_src == nullptr || pc_dst == nullptr) {
    return nullptr;
  }
  const auto u32_max = i32_max < 0 ? 0U : static_cast<std::uint32_t>(i32_max);
  char* pc_out = pc_dst;
  for (const char c : _bounded(pc_src, u32_max)) {
    if (c != '\r' && c != '\n') {
      *pc_out++ = c;
    }
  }
  *pc_out = '\0';
  return pc_dst;
}

void vos_util_upcase(char* pc_s) {
  for (; pc_s != nullptr && *pc_s != '\0'; ++pc_s) {
    if (*pc_s >= 'a' && *pc_s <= 'z') {
      *pc_s = static_cast<char>(*pc_s - 32);
    }
  }
}

void vos_util_lowcase(char* pc_s) {
  for (; pc_s != nullptr && *pc_s != '\0'; ++pc_s) {
    if (*pc_s >= 'A' && *pc_s <= 'Z') {
      *pc_s = static_cast<char>(*pc_s + 32);
    }
  }
}

char* vos_get_param_str(char* pc_dst, const char* pc_line, std::int32_t i32_index) {
  if (pc_line == nullptr || pc_dst == nullptr) {
    return nullptr;
  }
  pc_dst[0] = '\0';
  const std::string_view line(pc_line);
  const std::size_t len = line.size();
  // Reads past the end see NUL, as in the C string itself.
  const auto at = [&](std::size_t i) { return i < len ? line[i] : '\0'; };

  std::size_t pos = 0;
  while (pos < len &&
         !(line[pos] == '=' || line[pos] == ':' || (line[pos] == ' ' && _is_digit(at(pos + 1))))) {
    ++pos;
  }
  if (pos >= len) {
    return nullptr;
  }
  ++pos;
  if (pos >= len) {
    return nullptr;
  }
  if (line[pos] == ' ') {
    ++pos;
  }

  if (i32_index > 1) {
    const auto target = static_cast<std::uint32_t>(i32_index - 1);
    std::uint32_t count = 0;
    bool quoted = false;
    while (count < target) {
      if (pos >= len) {
        return nullptr;
      }
      const char c = line[pos];
      if (!quoted) {
        quoted = (c == '"');
        count += (c == ',') ? 1 : 0;
        ++pos;
        continue;
      }
      if (c != '"') {
        ++pos;
        continue;
      }
      quoted = false;
      const std::size_t next = pos + 1;
      const char after = at(next);
      if (after == ',') {
        ++count;
        pos = next + 1;
      } else if (after == '\0' || (after == '\r' && next + 1 == len) ||
                 (after == '\r' && at(next + 1) == '\n' && next + 2 == len)) {
        return nullptr;  // the list ends with this quoted parameter
      } else {
        // The head line ends here; what follows is the message body.
        ++count;
        pos = next;
        if (at(pos) == '\r') {
          ++pos;
        }
        if (at(pos) == '\n') {
          ++pos;
        }
        if (count != target) {
          return nullptr;
        }
        std::size_t end = len;
        if (end - pos >= 2 && line[end - 2] == '\r' && line[end - 1] == '\n') {
          end -= 2;
        }
        return _copy_range(pc_dst, pc_line, pos, end);
      }
    }
  }

  if (pos >= len) {
    return nullptr;
  }
  if (line[pos] == '"') {
    const std::size_t begin = pos + 1;
    const std::size_t end = std::min(line.find('"', begin), len);
    return _copy_range(pc_dst, pc_line, begin, end);
  }
  const std::size_t end = std::min(line.find_first_of(",\r", pos), len);
  return _copy_range(pc_dst, pc_line, pos, end);
}

std::uint32_t vos_util_sqrt(std::uint32_t u32_x) {
  // The candidate never exceeds 0xFFFF, so its square fits in 32 bits.
  std::uint32_t u32_root = 0;
  for (std::uint32_t u32_bit = 0x8000; u32_bit != 0; u32_bit >>= 1) {
    const std::uint32_t u32_try = u32_root + u32_bit;
    if (u32_try * u32_try <= u32_x) {
      u32_root += u32_bit;
    }
  }
  return u32_root;
}
