// The meters' AES-128 keys (-a) and the block-cipher operations that use them (OpenSSL's
// libcrypto). Keys are never printed; every buffer that held one is cleared before it is freed.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

using app_mbus_key = std::array<std::uint8_t, 16>;

/// An allocator that clears what it gives back: key material leaves no copy in freed memory.
template <class T>
struct app_mbus_clearing_allocator {
  using value_type = T;
  app_mbus_clearing_allocator() = default;
  template <class U>
  app_mbus_clearing_allocator(const app_mbus_clearing_allocator<U>&) noexcept {}
  T* allocate(std::size_t n) { return std::allocator<T>{}.allocate(n); }
  void deallocate(T* p, std::size_t n) noexcept;
  template <class U>
  bool operator==(const app_mbus_clearing_allocator<U>&) const noexcept {
    return true;
  }
};

/// Clears @p n bytes at @p p in a way the compiler keeps.
void app_mbus_clear(void* p, std::size_t n) noexcept;

template <class T>
void app_mbus_clearing_allocator<T>::deallocate(T* p, std::size_t n) noexcept {
  app_mbus_clear(p, n * sizeof(T));
  std::allocator<T>{}.deallocate(p, n);
}

/// The keys of a run, by meter (manufacturer field and identification number as on the air).
class app_mbus_keys {
 public:
  app_mbus_keys() = default;
  app_mbus_keys(const app_mbus_keys&) = delete;
  app_mbus_keys& operator=(const app_mbus_keys&) = delete;
  ~app_mbus_keys() { clear(); }

  /// Reads @p pc_path: one "MAN,ID,KEY" a line (three letters, the id as printed on the meter,
  /// 8 decimal digits, 32 hexadecimal digits), '#' starts a comment, blank lines skipped. The
  /// file must be a regular file that neither group nor others may read or write.
  /// @retval 1 read; the keys replace those held.
  /// @retval -1 refused: @p s_error says why ("FILE: ..." or "FILE:LINE: ..."), no key kept.
  int read(const char* pc_path, std::string& s_error);
  /// One line of that file (no comment, not blank). @return false when malformed.
  bool add_line(std::string_view line);
  /// The key of the meter of manufacturer field @p u16_m and id @p u32_id_bcd (the 4 id bytes
  /// read little-endian), or null.
  const app_mbus_key* find(std::uint16_t u16_m, std::uint32_t u32_id_bcd) const;
  std::size_t size() const { return keys_.size(); }
  /// Clears and forgets every key.
  void clear() noexcept;

 private:
  struct entry {
    std::uint64_t u64_meter;  // M << 32 | id
    app_mbus_key key;
  };
  std::vector<entry, app_mbus_clearing_allocator<entry>> keys_;  // sorted by meter
};

/// AES-128-CBC decryption without padding of @p in (a multiple of 16 bytes) into @p out (as
/// long). @return false when libcrypto fails or the sizes do not fit.
bool app_mbus_aes_cbc_decrypt(const app_mbus_key& key, std::span<const std::uint8_t, 16> iv,
                              std::span<const std::uint8_t> in, std::span<std::uint8_t> out);
/// AES-128-CTR of @p in into @p out (as long), counter block @p iv incremented big-endian.
bool app_mbus_aes_ctr(const app_mbus_key& key, std::span<const std::uint8_t, 16> iv,
                      std::span<const std::uint8_t> in, std::span<std::uint8_t> out);
/// AES-128-CMAC of @p data into @p mac.
bool app_mbus_cmac(const app_mbus_key& key, std::span<const std::uint8_t> data,
                   std::span<std::uint8_t, 16> mac);
