// Modem-side payload builders and parsers of the simulator. Little-endian, byte by byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace sim {

using bytes = std::vector<std::uint8_t>;

/// Appends fixed-width integers in little-endian order, whatever the host order.
class le_writer {
 public:
  le_writer& u8(std::uint8_t v) {
    buf_.push_back(v);
    return *this;
  }
  le_writer& u16(std::uint16_t v) {
    u8(static_cast<std::uint8_t>(v & 0xFFU));
    return u8(static_cast<std::uint8_t>(v >> 8));
  }
  le_writer& i16(std::int16_t v) { return u16(static_cast<std::uint16_t>(v)); }
  le_writer& u32(std::uint32_t v) {
    u16(static_cast<std::uint16_t>(v & 0xFFFFU));
    return u16(static_cast<std::uint16_t>(v >> 16));
  }
  le_writer& raw(std::span<const std::uint8_t> b) {
    buf_.insert(buf_.end(), b.begin(), b.end());
    return *this;
  }
  le_writer& text_nul(std::string_view s) {
    buf_.insert(buf_.end(), s.begin(), s.end());
    return u8(0);
  }
  bytes take() { return std::move(buf_); }

 private:
  bytes buf_;
};

/// Reads fixed-width little-endian integers; every read past the end yields nullopt.
class le_reader {
 public:
  explicit le_reader(std::span<const std::uint8_t> b) : b_(b) {}
  std::optional<std::uint8_t> u8() {
    if (pos_ + 1 > b_.size()) return std::nullopt;
    return b_[pos_++];
  }
  std::optional<std::uint16_t> u16() {
    if (pos_ + 2 > b_.size()) return std::nullopt;
    auto v = static_cast<std::uint16_t>(b_[pos_] | (b_[pos_ + 1] << 8));
    pos_ += 2;
    return v;
  }
  std::optional<std::uint32_t> u32() {
    auto lo = u16();
    if (!lo) return std::nullopt;
    auto hi = u16();
    if (!hi) return std::nullopt;
    return static_cast<std::uint32_t>(*lo) | (static_cast<std::uint32_t>(*hi) << 16);
  }
  std::span<const std::uint8_t> rest() const { return b_.subspan(pos_); }
  std::size_t remaining() const { return b_.size() - pos_; }

 private:
  std::span<const std::uint8_t> b_;
  std::size_t pos_ = 0;
};

/// What a modem says about itself in info_ind and in the 2.05 answer to info_req.
struct modem_info {
  std::uint32_t protocol = 1;
  std::uint32_t serial = 0;
  std::uint32_t tmsp = 0;
  std::uint8_t hw_major = 1, hw_minor = 0;
  std::uint8_t sw_major = 1, sw_minor = 0;
  std::uint8_t type = 1;
  std::uint8_t location = 0;
  std::uint8_t state = 1;
  std::uint8_t wakeup = 0;
  bytes receivers{0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07};
};

/// 21 bytes plus one per receiver; the receiver count byte is the list's length (at most 255).
bytes build_info(const modem_info& m);

/// One received-frame indication: 17-byte header then the frame.
struct rx_frame {
  std::uint32_t freq = 868950000;
  std::uint32_t rtc_sec = 0;
  std::uint16_t rtc_ms = 0;
  std::int16_t freq_offset = -12;
  std::uint8_t rssi = 70;
  std::uint8_t rf_mod = 16;
  std::uint8_t rf_receiver = 0;
  bytes frame;
};

bytes build_rx_msg(const rx_frame& f);

/// Statistics for n receivers (1..7). form16: LOAD as u16 before the RSSI triples, padded to
/// 66 bytes. Otherwise LOAD as u8 after them, padded to 59 bytes (the smallest the gateway
/// takes). A non-zero exact_len pads with zeros or cuts to that length. Values depend on the
/// day selector so a test can tell the answers apart.
bytes build_statistics(std::uint8_t n, bool form16, std::uint8_t day, std::size_t exact_len);

/// Parameter value answer: u16 id, u8 length, value (at most 255 bytes, longer is cut).
bytes build_param_value(std::uint16_t id, std::span<const std::uint8_t> value);

/// firmware_upgrade_req: u32 size, u16 name length n, n+1 bytes of NUL-terminated name.
struct firmware_upgrade {
  std::uint32_t size = 0;
  std::string name;
};
/// nullopt when the payload is not exactly n + 7 bytes, the NUL is missing, or the name holds
/// a NUL, a '/' or is "." / ".." (a modem fetches a plain file of the staging directory).
std::optional<firmware_upgrade> parse_firmware_upgrade(std::span<const std::uint8_t> p);

/// config_set_param_req: u16 id, u8 L, L bytes; nullopt unless exactly L + 3 bytes.
struct param_write {
  std::uint16_t id = 0;
  bytes value;
};
std::optional<param_write> parse_param_write(std::span<const std::uint8_t> p);

/// Hex helpers: "0a1b" <-> bytes. parse_hex accepts blanks, ':' and '-' as separators.
std::string to_hex(std::span<const std::uint8_t> b);
std::optional<bytes> parse_hex(std::string_view s);

/// JSON string escaping for the event lines.
std::string json_escape(std::string_view s);

}  // namespace sim
