// Modem-side payloads of the simulator. Every multi-byte field is written byte by byte.
#include "sim_payload.h"

#include <algorithm>
#include <cstdio>

namespace sim {

bytes build_info(const modem_info& m) {
  le_writer w;
  const auto nb = static_cast<std::uint8_t>(std::min<std::size_t>(m.receivers.size(), 255));
  w.u32(m.protocol)
      .u32(m.serial)
      .u32(m.tmsp)
      .u8(m.hw_minor)
      .u8(m.hw_major)
      .u8(m.sw_minor)
      .u8(m.sw_major)
      .u8(m.type)
      .u8(m.location)
      .u8(m.state)
      .u8(m.wakeup)
      .u8(nb)
      .raw(std::span(m.receivers).first(nb));
  return w.take();
}

bytes build_rx_msg(const rx_frame& f) {
  le_writer w;
  const auto len = static_cast<std::uint16_t>(std::min<std::size_t>(f.frame.size(), 0xFFFF));
  w.u32(f.freq)
      .u32(f.rtc_sec)
      .u16(f.rtc_ms)
      .i16(f.freq_offset)
      .u16(len)
      .u8(f.rssi)
      .u8(f.rf_mod)
      .u8(f.rf_receiver)
      .raw(std::span(f.frame).first(len));
  return w.take();
}

bytes build_statistics(std::uint8_t n, bool form16, std::uint8_t day, std::size_t exact_len) {
  n = std::clamp<std::uint8_t>(n, 1, 7);
  const unsigned base = 100U * (day + 1U);
  le_writer w;
  w.u8(n).u8(day);
  for (unsigned i = 0; i < n; ++i) w.u16(static_cast<std::uint16_t>(base + i));  // CRC OK
  for (unsigned i = 0; i < n; ++i) w.u16(static_cast<std::uint16_t>(i + 1));     // CRC KO
  if (form16) {
    for (unsigned i = 0; i < n; ++i) w.u16(static_cast<std::uint16_t>(300 + 10 * i));  // LOAD
  }
  for (unsigned i = 0; i < n; ++i) {
    w.u8(static_cast<std::uint8_t>(90 + i)).u8(static_cast<std::uint8_t>(80 + i));
    w.u8(static_cast<std::uint8_t>(70 + i));  // RSSI min, avg, max
  }
  if (!form16) {
    for (unsigned i = 0; i < n; ++i) w.u8(static_cast<std::uint8_t>(10 * (i + 1)));  // LOAD
  }
  bytes out = w.take();
  const std::size_t want =
      exact_len != 0 ? exact_len : (form16 ? 66 : std::max<std::size_t>(out.size(), 59));
  out.resize(want, 0);
  return out;
}

bytes build_param_value(std::uint16_t id, std::span<const std::uint8_t> value) {
  const auto len = static_cast<std::uint8_t>(std::min<std::size_t>(value.size(), 255));
  le_writer w;
  w.u16(id).u8(len).raw(value.first(len));
  return w.take();
}

std::optional<firmware_upgrade> parse_firmware_upgrade(std::span<const std::uint8_t> p) {
  le_reader r(p);
  auto size = r.u32();
  auto n = r.u16();
  if (!size || !n || r.remaining() != static_cast<std::size_t>(*n) + 1) return std::nullopt;
  auto rest = r.rest();
  if (rest[*n] != 0) return std::nullopt;
  std::string name(rest.begin(), rest.begin() + *n);
  if (name.empty() || name == "." || name == ".." ||
      name.find_first_of(std::string_view("/\0", 2)) != std::string::npos) {
    return std::nullopt;
  }
  return firmware_upgrade{*size, std::move(name)};
}

std::optional<param_write> parse_param_write(std::span<const std::uint8_t> p) {
  le_reader r(p);
  auto id = r.u16();
  auto len = r.u8();
  if (!id || !len || r.remaining() != *len) return std::nullopt;
  auto rest = r.rest();
  return param_write{*id, bytes(rest.begin(), rest.end())};
}

std::string to_hex(std::span<const std::uint8_t> b) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string s;
  s.reserve(b.size() * 2);
  for (auto c : b) {
    s.push_back(digits[c >> 4]);
    s.push_back(digits[c & 0xF]);
  }
  return s;
}

std::optional<bytes> parse_hex(std::string_view s) {
  bytes out;
  int hi = -1;
  for (char c : s) {
    int v;
    if (c >= '0' && c <= '9') {
      v = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      v = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
      v = c - 'A' + 10;
    } else if (c == ' ' || c == ':' || c == '-') {
      if (hi >= 0) return std::nullopt;  // a separator inside a byte
      continue;
    } else {
      return std::nullopt;
    }
    if (hi < 0) {
      hi = v;
    } else {
      out.push_back(static_cast<std::uint8_t>((hi << 4) | v));
      hi = -1;
    }
  }
  if (hi >= 0) return std::nullopt;
  return out;
}

std::string json_escape(std::string_view s) {
  std::string o;
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      o.push_back('\\');
      o.push_back(static_cast<char>(c));
    } else if (c < 0x20 || c >= 0x7F) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      o += buf;
    } else {
      o.push_back(static_cast<char>(c));
    }
  }
  return o;
}

}  // namespace sim
