// The pieces of a line put together piece by piece: texts, decimal and hexadecimal numbers,
// bytes as hexadecimal pairs, each the bytes of its printf twin, cut at 1,023 characters.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "vos_trace.h"
#include "vos_util_hexa.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

// Two decimal digits of 0 to 99, side by side.
constexpr char two_digits[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";
constexpr const auto& hex_pairs_lower = vos_hexa_pairs_lower;
constexpr const auto& hex_pairs = vos_hexa_pairs_upper;

// Number of decimal digits of @p u.
inline unsigned _vos_trace_nb_digits(std::uint64_t u) {
  static constexpr auto pow10 = [] {
    std::array<std::uint64_t, 20> a{};
    std::uint64_t p = 10;
    for (std::size_t i = 1; i < a.size(); ++i, p *= 10) a[i] = p;
    return a;
  }();
  // About log10 from the bit length, then one comparison (pow10[0] is 0: "0" has one digit).
  const unsigned t = static_cast<unsigned>((64 - __builtin_clzll(u | 1)) * 1233) >> 12;
  return t - (u < pow10[t] ? 1 : 0) + 1;
}

// The @p n digits of @p u, written forwards from @p pc.
template <class U>
inline void _vos_trace_put_digits(char* pc, U u, unsigned n) {
  char* pc_end = pc + n;
  while (u >= 100) {
    const auto i = static_cast<unsigned>(u % 100) * 2;
    u /= 100;
    pc_end -= 2;
    std::memcpy(pc_end, two_digits + i, 2);
  }
  if (u >= 10) {
    std::memcpy(pc_end - 2, two_digits + static_cast<unsigned>(u) * 2, 2);
  } else {
    pc_end[-1] = static_cast<char>('0' + u);
  }
}

inline void _vos_trace_put_digits(char* pc, std::uint64_t u, unsigned n) {
  if (u <= UINT32_MAX) {
    _vos_trace_put_digits<std::uint32_t>(pc, static_cast<std::uint32_t>(u), n);
  } else {
    _vos_trace_put_digits<std::uint64_t>(pc, u, n);
  }
}

}  // namespace

void vos_trace_line::text_cut(std::string_view text) noexcept {
  const std::size_t n = std::min(text.size(), max_line - len_);
  std::memcpy(pc_ + len_, text.data(), n);
  len_ += n;
}

vos_trace_line& vos_trace_line::dec_any(long long ll_value, unsigned u_zero_width) noexcept {
  if (pc_ == nullptr) {
    return *this;
  }
  // The common cases first: a positive 32-bit number without zeros, three digits with zeros.
  if (u_zero_width == 0 && ll_value >= 0 && ll_value <= UINT32_MAX && len_ + 10 <= max_line) {
    const auto u = static_cast<std::uint32_t>(ll_value);
    const unsigned n = _vos_trace_nb_digits(u);
    _vos_trace_put_digits<std::uint32_t>(pc_ + len_, u, n);
    len_ += n;
    return *this;
  }
  if (u_zero_width == 3 && ll_value >= 0 && ll_value < 1000 && len_ + 3 <= max_line) {
    const auto u = static_cast<unsigned>(ll_value);
    pc_[len_] = static_cast<char>('0' + u / 100);
    std::memcpy(pc_ + len_ + 1, two_digits + (u % 100) * 2, 2);
    len_ += 3;
    return *this;
  }
  // Sign, at most 20 zeros and 20 digits fit: no cut to mind.
  if (u_zero_width > 20 || len_ + 41 > max_line) {
    return dec_cut(ll_value, u_zero_width);
  }
  const std::uint64_t u = ll_value < 0 ? 0ULL - static_cast<std::uint64_t>(ll_value)
                                       : static_cast<std::uint64_t>(ll_value);
  const unsigned n = _vos_trace_nb_digits(u);
  char* pc = pc_ + len_;
  if (ll_value < 0) {
    *pc++ = '-';
  }
  for (unsigned k = n + (ll_value < 0 ? 1 : 0); k < u_zero_width; ++k) {
    *pc++ = '0';
  }
  _vos_trace_put_digits(pc, u, n);
  len_ = static_cast<std::size_t>(pc + n - pc_);
  return *this;
}

vos_trace_line& vos_trace_line::dec_cut(long long ll_value, unsigned u_zero_width) noexcept {
  const std::uint64_t u = ll_value < 0 ? 0ULL - static_cast<std::uint64_t>(ll_value)
                                       : static_cast<std::uint64_t>(ll_value);
  const unsigned n = _vos_trace_nb_digits(u);
  const unsigned used = n + (ll_value < 0 ? 1 : 0);
  char ac[24];
  _vos_trace_put_digits(ac, u, n);
  const std::size_t fill = u_zero_width > used ? u_zero_width - used : 0;
  if (ll_value < 0) {
    text("-");
  }
  const std::size_t zeros = std::min(fill, max_line - len_);
  std::memset(pc_ + len_, '0', zeros);
  len_ += zeros;
  return text({ac, n});
}

vos_trace_line& vos_trace_line::hex(unsigned long long u_value) noexcept {
  if (pc_ == nullptr) {
    return *this;
  }
  // Two digits per byte from the lowest, backwards; the top byte's leading zero dropped.
  char ac[40];
  char* const pc_end = ac + 20;
  char* pc = pc_end;
  do {
    pc -= 2;
    std::memcpy(pc, &hex_pairs_lower[2 * (u_value & 0xFF)], 2);
    u_value >>= 8;
  } while (u_value != 0);
  if (*pc == '0' && pc_end - pc > 1) {
    ++pc;
  }
  const auto n = static_cast<std::size_t>(pc_end - pc);
  if (len_ + 20 > max_line) {
    return text({pc, n});
  }
  std::memcpy(pc_ + len_, pc, 20);  // one fixed copy: the bytes past the digits are scratch
  len_ += n;
  return *this;
}

vos_trace_line& vos_trace_line::bytes(const void* pv_data, std::size_t len) noexcept {
  if (pc_ != nullptr && pv_data != nullptr) {
    const std::size_t nb = std::min(len, (max_line - len_) / 2);
    const auto* pu8 = static_cast<const unsigned char*>(pv_data);
    char* pc = pc_ + len_;
    std::size_t i = 0;
#if defined(__SSE2__)
    // 16 bytes at a time: their nibbles side by side, each '0' + n, 7 more above 9.
    const __m128i nibble = _mm_set1_epi8(0x0F);
    const auto digits = [](__m128i n) {
      const __m128i letters = _mm_and_si128(_mm_cmpgt_epi8(n, _mm_set1_epi8(9)), _mm_set1_epi8(7));
      return _mm_add_epi8(_mm_add_epi8(n, _mm_set1_epi8('0')), letters);
    };
    for (; i + 16 <= nb; i += 16) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pu8 + i));
      const __m128i hi = _mm_and_si128(_mm_srli_epi16(v, 4), nibble);
      const __m128i lo = _mm_and_si128(v, nibble);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(pc + 2 * i), digits(_mm_unpacklo_epi8(hi, lo)));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(pc + 2 * i + 16),
                       digits(_mm_unpackhi_epi8(hi, lo)));
    }
#endif
    for (; i + 4 <= nb; i += 4) {
      std::memcpy(pc + 2 * i, &hex_pairs[2 * pu8[i]], 2);
      std::memcpy(pc + 2 * i + 2, &hex_pairs[2 * pu8[i + 1]], 2);
      std::memcpy(pc + 2 * i + 4, &hex_pairs[2 * pu8[i + 2]], 2);
      std::memcpy(pc + 2 * i + 6, &hex_pairs[2 * pu8[i + 3]], 2);
    }
    for (; i < nb; ++i) {
      std::memcpy(pc + 2 * i, &hex_pairs[2 * pu8[i]], 2);
    }
    len_ += 2 * nb;
  }
  return *this;
}
