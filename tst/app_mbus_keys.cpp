// The meters' keys and AES through libcrypto's EVP interfaces.
#include "app_mbus_keys.h"

#include <fcntl.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "vos_errno_text.h"
#include "vos_util_hexa.h"

namespace {

// Largest keys file read (some 180,000 keys).
constexpr std::size_t file_max = 8 << 20;

using clearing_text = std::vector<char, app_mbus_clearing_allocator<char>>;

struct fd_closer {
  int fd;
  ~fd_closer() {
    if (fd >= 0) ::close(fd);
  }
};

std::string_view _trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) {
    s.remove_suffix(1);
  }
  return s;
}

// Three letters A to Z: the manufacturer field, 5 bits a letter.
std::optional<std::uint16_t> _manufacturer(std::string_view s) {
  if (s.size() != 3) return std::nullopt;
  unsigned m = 0;
  for (const char c : s) {
    const char u = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
    if (u < 'A' || u > 'Z') return std::nullopt;
    m = (m << 5) | static_cast<unsigned>(u - 'A' + 1);
  }
  return static_cast<std::uint16_t>(m);
}

// The id as printed: 8 digits, most significant first, as the 4 bytes read little-endian.
std::optional<std::uint32_t> _id(std::string_view s) {
  if (s.size() != 8) return std::nullopt;
  std::uint32_t u32 = 0;
  for (const char c : s) {
    const int d = vos_hexa_value(c);
    if (d < 0) return std::nullopt;
    u32 = (u32 << 4) | static_cast<unsigned>(d);
  }
  return u32;
}

bool _key(std::string_view s, app_mbus_key& key) {
  if (s.size() != 2 * key.size()) return false;
  for (std::size_t i = 0; i < key.size(); ++i) {
    const int hi = vos_hexa_value(s[2 * i]);
    const int lo = vos_hexa_value(s[2 * i + 1]);
    if (hi < 0 || lo < 0) return false;
    key[i] = static_cast<std::uint8_t>(hi << 4 | lo);
  }
  return true;
}

using cipher_ctx = std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)>;

bool _cipher(const EVP_CIPHER* pt_cipher, const app_mbus_key& key,
             std::span<const std::uint8_t, 16> iv, std::span<const std::uint8_t> in,
             std::span<std::uint8_t> out) {
  if (out.size() != in.size() || in.size() > 0x7FFFFFFF) return false;
  const cipher_ctx ctx(EVP_CIPHER_CTX_new(), &EVP_CIPHER_CTX_free);
  if (!ctx || EVP_DecryptInit_ex(ctx.get(), pt_cipher, nullptr, key.data(), iv.data()) != 1 ||
      EVP_CIPHER_CTX_set_padding(ctx.get(), 0) != 1) {
    return false;
  }
  int n = 0;
  int n_final = 0;
  if (EVP_DecryptUpdate(ctx.get(), out.data(), &n, in.data(), static_cast<int>(in.size())) != 1 ||
      EVP_DecryptFinal_ex(ctx.get(), out.data() + n, &n_final) != 1) {
    return false;
  }
  return static_cast<std::size_t>(n + n_final) == in.size();
}

}  // namespace

void app_mbus_clear(void* p, std::size_t n) noexcept {
  if (p != nullptr && n != 0) OPENSSL_cleanse(p, n);
}

bool app_mbus_keys::add_line(std::string_view line) {
  std::array<std::string_view, 3> fields;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    const std::size_t comma = i + 1 < fields.size() ? line.find(',') : line.size();
    if (comma == std::string_view::npos) return false;
    fields[i] = _trim(line.substr(0, comma));
    line.remove_prefix(std::min(line.size(), comma + 1));
  }
  const auto m = _manufacturer(fields[0]);
  const auto id = _id(fields[1]);
  entry t_entry{};
  if (!m || !id || !_key(fields[2], t_entry.key)) {
    app_mbus_clear(&t_entry, sizeof t_entry);
    return false;
  }
  t_entry.u64_meter = std::uint64_t{*m} << 32 | *id;
  const auto at =
      std::lower_bound(keys_.begin(), keys_.end(), t_entry.u64_meter,
                       [](const entry& e, std::uint64_t u64) { return e.u64_meter < u64; });
  if (at != keys_.end() && at->u64_meter == t_entry.u64_meter) {
    at->key = t_entry.key;  // the last line of a meter counts
  } else {
    keys_.insert(at, t_entry);
  }
  app_mbus_clear(&t_entry, sizeof t_entry);
  return true;
}

int app_mbus_keys::read(const char* pc_path, std::string& s_error) {
  clear();
  const std::string s_path = pc_path != nullptr ? pc_path : "";
  const fd_closer file{::open(s_path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY)};
  struct stat t_stat {};
  if (file.fd < 0 || ::fstat(file.fd, &t_stat) != 0) {
    const int i_errno = errno;
    s_error =
        s_path + ": \"" + vos_errno_text(i_errno).c_str() + "\" (" + std::to_string(i_errno) + ")";
    return -1;
  }
  if (!S_ISREG(t_stat.st_mode)) {
    s_error = s_path + ": not a regular file";
    return -1;
  }
  if ((t_stat.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
    s_error = s_path + ": group or others may access it (chmod 600 " + s_path + ")";
    return -1;
  }
  if (static_cast<std::uint64_t>(t_stat.st_size) > file_max) {
    s_error = s_path + ": larger than " + std::to_string(file_max) + " bytes";
    return -1;
  }
  clearing_text text(static_cast<std::size_t>(t_stat.st_size));
  std::size_t n_read = 0;
  while (n_read < text.size()) {
    const ssize_t n = ::read(file.fd, text.data() + n_read, text.size() - n_read);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int i_errno = errno;
      s_error = s_path + ": \"" + vos_errno_text(i_errno).c_str() + "\" (" +
                std::to_string(i_errno) + ")";
      return -1;
    }
    if (n == 0) break;
    n_read += static_cast<std::size_t>(n);
  }
  std::string_view rest{text.data(), n_read};
  for (unsigned u_line = 1; !rest.empty(); ++u_line) {
    const std::size_t eol = rest.find('\n');
    std::string_view line = rest.substr(0, eol);
    rest.remove_prefix(eol == std::string_view::npos ? rest.size() : eol + 1);
    if (const std::size_t hash = line.find('#'); hash != std::string_view::npos) {
      line = line.substr(0, hash);
    }
    line = _trim(line);
    if (line.empty()) continue;
    if (!add_line(line)) {
      clear();
      s_error = s_path + ":" + std::to_string(u_line) +
                ": not MAN,ID,KEY (three letters, 8 digits, 32 hexadecimal digits)";
      return -1;
    }
  }
  return 1;
}

const app_mbus_key* app_mbus_keys::find(std::uint16_t u16_m, std::uint32_t u32_id_bcd) const {
  const std::uint64_t u64 = std::uint64_t{u16_m} << 32 | u32_id_bcd;
  const auto at =
      std::lower_bound(keys_.begin(), keys_.end(), u64,
                       [](const entry& e, std::uint64_t u64_m) { return e.u64_meter < u64_m; });
  return at != keys_.end() && at->u64_meter == u64 ? &at->key : nullptr;
}

void app_mbus_keys::clear() noexcept {
  app_mbus_clear(keys_.data(), keys_.size() * sizeof(entry));
  keys_.clear();
}

bool app_mbus_aes_cbc_decrypt(const app_mbus_key& key, std::span<const std::uint8_t, 16> iv,
                              std::span<const std::uint8_t> in, std::span<std::uint8_t> out) {
  if (in.size() % 16 != 0) return false;
  return _cipher(EVP_aes_128_cbc(), key, iv, in, out);
}

bool app_mbus_aes_ctr(const app_mbus_key& key, std::span<const std::uint8_t, 16> iv,
                      std::span<const std::uint8_t> in, std::span<std::uint8_t> out) {
  return _cipher(EVP_aes_128_ctr(), key, iv, in, out);
}

bool app_mbus_cmac(const app_mbus_key& key, std::span<const std::uint8_t> data,
                   std::span<std::uint8_t, 16> mac) {
  using mac_handle = std::unique_ptr<EVP_MAC, decltype(&EVP_MAC_free)>;
  using mac_ctx = std::unique_ptr<EVP_MAC_CTX, decltype(&EVP_MAC_CTX_free)>;
  // Fetched once: the algorithm's implementation stays loaded for the process.
  static const mac_handle t_cmac(EVP_MAC_fetch(nullptr, "CMAC", nullptr), &EVP_MAC_free);
  if (!t_cmac) return false;
  const mac_ctx ctx(EVP_MAC_CTX_new(t_cmac.get()), &EVP_MAC_CTX_free);
  char ac_cipher[] = "AES-128-CBC";
  const OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_CIPHER, ac_cipher, 0),
      OSSL_PARAM_construct_end(),
  };
  std::size_t n = 0;
  return ctx && EVP_MAC_init(ctx.get(), key.data(), key.size(), params) == 1 &&
         EVP_MAC_update(ctx.get(), data.data(), data.size()) == 1 &&
         EVP_MAC_final(ctx.get(), mac.data(), &n, mac.size()) == 1 && n == mac.size();
}
