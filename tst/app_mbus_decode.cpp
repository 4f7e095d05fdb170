// Layers of a received frame, outermost first. Each layer reads only bytes it holds: a frame
// cut anywhere gives the layers before the cut and stops.
#include "app_mbus_decode.h"

#include <algorithm>
#include <array>
#include <string_view>

#include "app_json.h"
#include "app_mbus_keys.h"
#include "app_wmbus.h"

namespace {

using bytes = std::span<const std::uint8_t>;

constexpr std::size_t ci_at = 10;
// Format A: the first block holds L to the A-field, the others 16 bytes, the last fewer.
constexpr std::size_t block1_size = 10;
constexpr std::size_t block_size = 16;
// Format B: blocks 1 and 2 hold at most 125 bytes before their CRC; block 3 the rest.
constexpr std::size_t block12_size = 125;

constexpr std::uint8_t cc_h = 0x10;
constexpr std::uint8_t cc_r = 0x02;
constexpr std::uint8_t filler = 0x2F;

constexpr std::array<std::uint16_t, 256> crc_table = [] {
  std::array<std::uint16_t, 256> t{};
  for (unsigned i = 0; i < 256; ++i) {
    unsigned r = i << 8;
    for (int b = 0; b < 8; ++b) r = (r & 0x8000) != 0 ? (r << 1) ^ 0x3D65 : r << 1;
    t[i] = static_cast<std::uint16_t>(r);
  }
  return t;
}();

// @p block is data then its CRC, high byte first.
bool _crc_ok(bytes block) {
  if (block.size() < 2) return false;
  const std::size_t n = block.size() - 2;
  return app_mbus_crc(block.first(n)) == ((block[n] << 8) | block[n + 1]);
}

// Format A: L counts the bytes after it, CRCs not included. -1: not this length.
int _strip_format_a(bytes frame, std::span<std::uint8_t, 256> buf, std::size_t& n_out) {
  const std::size_t n_data = std::size_t{frame[0]} + 1;
  if (n_data < block1_size) return -1;
  const std::size_t n_blocks = 1 + (n_data - block1_size + block_size - 1) / block_size;
  if (frame.size() != n_data + 2 * n_blocks) return -1;
  std::size_t in = 0;
  n_out = 0;
  for (std::size_t i = 0; i < n_blocks; ++i) {
    const std::size_t len = i == 0 ? block1_size : std::min(block_size, n_data - n_out);
    const auto block = frame.subspan(in, len + 2);
    if (!_crc_ok(block)) return 0;
    std::copy_n(block.begin(), len, buf.begin() + static_cast<std::ptrdiff_t>(n_out));
    in += len + 2;
    n_out += len;
  }
  return 1;
}

// Format B: L counts the bytes after it, CRCs included (the caller checked the size).
bool _strip_format_b(bytes frame, std::span<std::uint8_t, 256> buf, std::size_t& n_out) {
  const std::size_t n = frame.size();
  if (n < block1_size + 2) return false;
  if (n <= block12_size + 2) {
    if (!_crc_ok(frame)) return false;
    std::copy_n(frame.begin(), n - 2, buf.begin());
    n_out = n - 2;
    return true;
  }
  // Block 3 holds at least one byte before its CRC.
  constexpr std::size_t block3_at = block12_size + 2;
  if (n < block3_at + 3) return false;
  if (!_crc_ok(frame.first(block3_at)) || !_crc_ok(frame.subspan(block3_at))) return false;
  std::copy_n(frame.begin(), block12_size, buf.begin());
  std::copy(frame.begin() + block3_at, frame.end() - 2, buf.begin() + block12_size);
  n_out = n - 4;
  return true;
}

std::uint16_t _le16(bytes b, std::size_t at) {
  return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
}
std::uint32_t _le32(bytes b, std::size_t at) {
  return static_cast<std::uint32_t>(b[at]) | static_cast<std::uint32_t>(b[at + 1]) << 8 |
         static_cast<std::uint32_t>(b[at + 2]) << 16 | static_cast<std::uint32_t>(b[at + 3]) << 24;
}

// A meter's address: M, id, version, device type; as the 8 bytes on the wire.
struct address {
  std::array<std::uint8_t, 8> wire{};
  std::uint16_t m() const { return static_cast<std::uint16_t>(wire[0] | wire[1] << 8); }
  std::uint32_t id() const { return _le32(wire, 2); }
  std::uint64_t key() const {
    std::uint64_t u64 = 0;
    for (std::size_t i = wire.size(); i-- > 0;) u64 = u64 << 8 | wire[i];
    return u64;
  }
};

// Length of the MAC for an authentication type of MCL; 0 when not known.
std::size_t _mac_size(std::uint8_t u8_mcl) {
  switch (u8_mcl & 0x0F) {
    case 4:
      return 4;
    case 5:
      return 8;
    case 6:
      return 12;
    case 7:
      return 16;
    default:
      return 0;
  }
}

// Authentication and fragmentation layer at @p b (CI 0x90 first). @return its size, 0 when cut
// or unreadable.
std::size_t _afl(bytes b, app_mbus_afl& afl) {
  if (b.size() < 2) return 0;
  afl.u8_length = b[1];
  const std::size_t n = 2 + std::size_t{afl.u8_length};
  if (b.size() < n || afl.u8_length < 2) return 0;
  const bytes f = b.subspan(2, afl.u8_length);
  afl.u16_fcl = _le16(f, 0);
  std::size_t at = 2;
  const auto take = [&](std::size_t len) {
    const bool b_ok = at + len <= f.size();
    at += len;
    return b_ok;
  };
  if ((afl.u16_fcl & 0x2000) != 0) {  // MCLP
    if (!take(1)) return 0;
    afl.mcl = f[at - 1];
  }
  if ((afl.u16_fcl & 0x0200) != 0) {  // KIP
    if (!take(2)) return 0;
    afl.u16_key_info = _le16(f, at - 2);
  }
  if ((afl.u16_fcl & 0x0800) != 0) {  // MCRP
    if (!take(4)) return 0;
    afl.counter = _le32(f, at - 4);
  }
  if ((afl.u16_fcl & 0x0400) != 0) {  // MACP
    const std::size_t n_mac = afl.mcl ? _mac_size(*afl.mcl) : 0;
    if (n_mac == 0 || !take(n_mac)) return 0;
    afl.mac.assign(f.begin() + static_cast<std::ptrdiff_t>(at - n_mac),
                   f.begin() + static_cast<std::ptrdiff_t>(at));
  }
  if ((afl.u16_fcl & 0x1000) != 0) {  // MLP
    if (!take(2)) return 0;
    afl.u16_message_length = _le16(f, at - 2);
  }
  return n;
}

// The transport header at @p b (CI first). @return its size, 0 when cut or not a header read.
std::size_t _tpl(bytes b, app_mbus_tpl& tpl) {
  tpl.u8_ci = b[0];
  std::size_t at = 1;
  switch (tpl.u8_ci) {
    case 0x78:
    case 0x79:
      return 1;
    case 0x72:
    case 0x73:
      if (b.size() < 9) return 0;
      tpl.b_long = true;
      tpl.u32_id_bcd = _le32(b, 1);
      tpl.u16_m = _le16(b, 5);
      tpl.u8_version = b[7];
      tpl.u8_device_type = b[8];
      at = 9;
      break;
    case 0x7A:
    case 0x7B:
      break;
    default:
      return 0;
  }
  if (b.size() < at + 4) {
    if (b.size() > at) tpl.acc = b[at];
    if (b.size() > at + 1) tpl.status = b[at + 1];
    return 0;
  }
  tpl.acc = b[at];
  tpl.status = b[at + 1];
  tpl.cf = _le16(b, at + 2);
  at += 4;
  if (tpl.security_mode() == 7) {
    if (b.size() <= at) return 0;
    tpl.cfe = b[at++];
  }
  return at;
}

bool _compact(std::uint8_t u8_ci) { return u8_ci == 0x79 || u8_ci == 0x7B || u8_ci == 0x73; }

// Key derivation of security mode 7: CMAC of the constant, the message counter and the meter id
// (both as on the wire) padded with 0x07.
bool _derive(const app_mbus_key& key, std::uint8_t u8_constant, std::uint32_t u32_counter,
             const address& meter, app_mbus_key& out) {
  std::array<std::uint8_t, 16> input;
  input.fill(0x07);
  input[0] = u8_constant;
  for (int i = 0; i < 4; ++i) input[1 + i] = static_cast<std::uint8_t>(u32_counter >> (8 * i));
  std::copy_n(meter.wire.begin() + 2, 4, input.begin() + 5);
  return app_mbus_cmac(key, input, out);
}

struct clear_on_exit {
  app_mbus_key& key;
  ~clear_on_exit() { app_mbus_clear(key.data(), key.size()); }
};

const char* _form_name(app_mbus_form e) {
  switch (e) {
    case app_mbus_form::none:
      return "none";
    case app_mbus_form::a:
      return "A";
    case app_mbus_form::b:
      return "B";
    case app_mbus_form::unknown:
      break;
  }
  return "unknown";
}

const char* _records_end_name(app_mbus_records_end e) {
  switch (e) {
    case app_mbus_records_end::truncated:
      return "truncated";
    case app_mbus_records_end::manufacturer:
      return "manufacturer";
    case app_mbus_records_end::bad_dif:
      return "bad_dif";
    case app_mbus_records_end::complete:
      break;
  }
  return "complete";
}

void _status_text(std::uint8_t u8_status, std::string& out) {
  static constexpr const char* application[] = {nullptr, "application_busy", "application_error",
                                                "abnormal_condition"};
  static constexpr std::array<const char*, 6> bits = {"power_low",          "permanent_error",
                                                      "temporary_error",    "manufacturer_bit_5",
                                                      "manufacturer_bit_6", "manufacturer_bit_7"};
  out.clear();
  out += '[';
  const auto add = [&](const char* pc) {
    if (out.size() > 1) out += ',';
    out += '"';
    out += pc;
    out += '"';
  };
  if (const char* pc = application[u8_status & 0x03]) add(pc);
  for (std::size_t i = 0; i < bits.size(); ++i) {
    if ((u8_status & (0x04 << i)) != 0) add(bits[i]);
  }
  out += ']';
}

}  // namespace

std::uint16_t app_mbus_crc(std::span<const std::uint8_t> data) {
  std::uint16_t r = 0;
  for (const std::uint8_t u8 : data) {
    r = static_cast<std::uint16_t>((r << 8) ^ crc_table[((r >> 8) ^ u8) & 0xFF]);
  }
  return static_cast<std::uint16_t>(r ^ 0xFFFF);
}

std::span<const std::uint8_t> app_mbus_link_bytes(std::span<const std::uint8_t> frame,
                                                  std::span<std::uint8_t, 256> buf,
                                                  app_mbus_form& e_form, bool& b_crc_ok) {
  b_crc_ok = false;
  e_form = app_mbus_form::unknown;
  if (frame.empty()) return frame;
  std::size_t n = 0;
  if (frame.size() == std::size_t{frame[0]} + 1) {
    // No CRC and format B have the same length: only verified CRCs tell them apart.
    if (_strip_format_b(frame, buf, n)) {
      e_form = app_mbus_form::b;
      b_crc_ok = true;
      return std::span<const std::uint8_t>{buf}.first(n);
    }
    e_form = app_mbus_form::none;
    return frame;
  }
  switch (_strip_format_a(frame, buf, n)) {
    case 1:
      e_form = app_mbus_form::a;
      b_crc_ok = true;
      return std::span<const std::uint8_t>{buf}.first(n);
    case 0:
      e_form = app_mbus_form::a;
      return {};
    default:
      return frame;
  }
}

const char* app_mbus_decrypt_name(app_mbus_decrypt e) {
  switch (e) {
    case app_mbus_decrypt::ok:
      return "ok";
    case app_mbus_decrypt::no_key:
      return "no_key";
    case app_mbus_decrypt::bad_key:
      return "bad_key";
    case app_mbus_decrypt::mac_fail:
      return "mac_fail";
    case app_mbus_decrypt::unsupported:
      return "unsupported";
    case app_mbus_decrypt::truncated:
      return "truncated";
    case app_mbus_decrypt::none:
      break;
  }
  return "none";
}

void app_mbus_decoded::clear() {
  e_form = app_mbus_form::unknown;
  b_crc_ok = false;
  ell.reset();
  afl.reset();
  tpl.reset();
  e_decrypt = app_mbus_decrypt::none;
  b_fragment = false;
  b_compact = false;
  b_compact_unknown = false;
  u16_signature.reset();
  b_records = false;
  records.clear();
}

void app_mbus_decoder::decode(std::span<const std::uint8_t> frame, app_mbus_decoded& out) {
  std::array<std::uint8_t, 256> buf;
  app_mbus_form e_form = app_mbus_form::unknown;
  bool b_crc_ok = false;
  const bytes link = app_mbus_link_bytes(frame, buf, e_form, b_crc_ok);
  if (e_form == app_mbus_form::unknown || link.empty()) {
    out.clear();
    out.e_form = e_form;
    return;
  }
  decode_link(link, out);
  out.e_form = e_form;
  out.b_crc_ok = b_crc_ok;
}

void app_mbus_decoder::decode_link(std::span<const std::uint8_t> link, app_mbus_decoded& out) {
  out.clear();
  out.e_form = app_mbus_form::none;
  if (link.size() <= ci_at) return;
  address meter;
  std::copy_n(link.begin() + 2, meter.wire.size(), meter.wire.begin());
  bytes rest = link.subspan(ci_at);

  // Extended link layer.
  if (rest[0] >= 0x8C && rest[0] <= 0x8F) {
    app_mbus_ell& ell = out.ell.emplace();
    ell.u8_ci = rest[0];
    const bool b_other = ell.u8_ci == 0x8E || ell.u8_ci == 0x8F;
    const bool b_session = ell.u8_ci == 0x8D || ell.u8_ci == 0x8F;
    const std::size_t n = 3 + (b_other ? 8 : 0) + (b_session ? 4 : 0);
    if (rest.size() < 3) return;
    ell.u8_cc = rest[1];
    ell.u8_acc = rest[2];
    if (rest.size() < n) return;
    if (b_other) {
      ell.u16_m2 = _le16(rest, 3);
      std::uint64_t u64 = 0;
      for (std::size_t i = 10; i >= 5; --i) u64 = u64 << 8 | rest[i];
      ell.u64_a2 = u64;
    }
    const bytes sn_bytes = b_session ? rest.subspan(n - 4, 4) : bytes{};
    if (b_session) ell.sn = _le32(rest, n - 4);
    const bytes payload = rest.subspan(n);
    rest = payload;
    if (ell.sn && (*ell.sn >> 29) == 1) {  // AES-128-CTR
      ell.e_decrypt = out.e_decrypt = app_mbus_decrypt::no_key;
      const app_mbus_key* pt_key =
          pt_keys_ != nullptr ? pt_keys_->find(meter.m(), meter.id()) : nullptr;
      if (pt_key == nullptr) return;
      if (payload.size() < 2) {
        ell.e_decrypt = out.e_decrypt = app_mbus_decrypt::truncated;
        return;
      }
      std::array<std::uint8_t, 16> iv{};
      std::copy_n(link.begin() + 2, 8, iv.begin());
      iv[8] = static_cast<std::uint8_t>(ell.u8_cc & ~(cc_h | cc_r));
      std::copy(sn_bytes.begin(), sn_bytes.end(), iv.begin() + 9);  // FN and BC stay 0
      ell_plain_.resize(payload.size());
      const std::span<std::uint8_t> plain{ell_plain_};
      if (!app_mbus_aes_ctr(*pt_key, iv, payload, plain) ||
          app_mbus_crc(plain.subspan(2)) != _le16(plain, 0)) {
        ell.e_decrypt = out.e_decrypt = app_mbus_decrypt::bad_key;
        return;
      }
      ell.e_decrypt = out.e_decrypt = app_mbus_decrypt::ok;
      rest = plain.subspan(2);
    } else if (ell.sn && (*ell.sn >> 29) != 0) {
      ell.e_decrypt = out.e_decrypt = app_mbus_decrypt::unsupported;
      return;
    }
  }
  if (rest.empty()) return;

  // Authentication and fragmentation layer.
  if (rest[0] == 0x90) {
    app_mbus_afl& afl = out.afl.emplace();
    const std::size_t n = _afl(rest, afl);
    if (n == 0) return;
    if (afl.fragment()) {
      out.b_fragment = true;
      return;
    }
    rest = rest.subspan(n);
    if (rest.empty()) return;
  }

  // Transport layer.
  const bytes tpl_bytes = rest;
  app_mbus_tpl& tpl = out.tpl.emplace();
  const std::size_t n_header = _tpl(rest, tpl);
  if (n_header == 0) return;
  if (tpl.b_long) {
    std::copy_n(rest.begin() + 5, 2, meter.wire.begin());
    std::copy_n(rest.begin() + 1, 4, meter.wire.begin() + 2);
    std::copy_n(rest.begin() + 7, 2, meter.wire.begin() + 6);
  }
  bytes body = rest.subspan(n_header);
  const unsigned u_mode = tpl.security_mode();
  const std::size_t n_encrypted = 16 * std::size_t{tpl.encrypted_blocks()};
  work_.resize(body.size());
  if (u_mode == 5 || u_mode == 7) {
    if (n_encrypted == 0) {
      out.e_decrypt = app_mbus_decrypt::none;
    } else if (n_encrypted > body.size()) {
      out.e_decrypt = app_mbus_decrypt::truncated;
      return;
    } else {
      const app_mbus_key* pt_key =
          pt_keys_ != nullptr ? pt_keys_->find(meter.m(), meter.id()) : nullptr;
      if (pt_key == nullptr) {
        out.e_decrypt = app_mbus_decrypt::no_key;
        return;
      }
      std::array<std::uint8_t, 16> iv{};
      app_mbus_key k_enc = *pt_key;
      const clear_on_exit clear_enc{k_enc};
      if (u_mode == 5) {
        std::copy(meter.wire.begin(), meter.wire.end(), iv.begin());
        std::fill(iv.begin() + 8, iv.end(), *tpl.acc);
      } else {
        if (!out.afl || !out.afl->counter || !out.afl->mcl || out.afl->mac.empty()) {
          out.e_decrypt = app_mbus_decrypt::mac_fail;
          return;
        }
        const app_mbus_afl& afl = *out.afl;
        app_mbus_key k_mac = *pt_key;
        const clear_on_exit clear_mac{k_mac};
        const bool b_derive = !tpl.cfe || ((*tpl.cfe >> 4) & 0x03) == 1;
        if (b_derive && (!_derive(*pt_key, 0x00, *afl.counter, meter, k_enc) ||
                         !_derive(*pt_key, 0x01, *afl.counter, meter, k_mac))) {
          out.e_decrypt = app_mbus_decrypt::unsupported;
          return;
        }
        // The MAC covers MCL, the message counter and the transport layer to the end.
        std::vector<std::uint8_t>& mac_input = expanded_;
        mac_input.clear();
        mac_input.push_back(*afl.mcl);
        for (int i = 0; i < 4; ++i) {
          mac_input.push_back(static_cast<std::uint8_t>(*afl.counter >> (8 * i)));
        }
        mac_input.insert(mac_input.end(), tpl_bytes.begin(), tpl_bytes.end());
        std::array<std::uint8_t, 16> mac{};
        if (!app_mbus_cmac(k_mac, mac_input, mac) ||
            !std::equal(afl.mac.begin(), afl.mac.end(), mac.begin())) {
          out.e_decrypt = app_mbus_decrypt::mac_fail;
          return;
        }
      }
      if (!app_mbus_aes_cbc_decrypt(k_enc, iv, body.first(n_encrypted),
                                    std::span{work_}.first(n_encrypted)) ||
          work_[0] != filler || work_[1] != filler) {
        out.e_decrypt = app_mbus_decrypt::bad_key;
        return;
      }
      // Partial encryption: what follows the encrypted blocks is plain.
      std::copy(body.begin() + static_cast<std::ptrdiff_t>(n_encrypted), body.end(),
                work_.begin() + static_cast<std::ptrdiff_t>(n_encrypted));
      body = std::span{work_}.first(body.size());
      out.e_decrypt = app_mbus_decrypt::ok;
    }
  } else if (u_mode != 0) {
    out.e_decrypt = app_mbus_decrypt::unsupported;
    return;
  }

  // Data records; a compact frame's through the format of an earlier full frame.
  if (_compact(tpl.u8_ci)) {
    out.b_compact = true;
    while (!body.empty() && body[0] == filler) body = body.subspan(1);
    if (body.size() < 4) {
      out.records.e_end = app_mbus_records_end::truncated;
      out.b_records = true;
      return;
    }
    out.u16_signature = _le16(body, 0);
    const auto found = formats_.find(format_key{meter.key(), *out.u16_signature});
    if (found == formats_.end() ||
        !app_mbus_records_expand(found->second, body.subspan(4), expanded_)) {
      out.b_compact_unknown = true;
      return;
    }
    app_mbus_records_decode(expanded_, out.records);
    out.b_records = true;
    return;
  }
  app_mbus_records_decode(body, out.records);
  out.b_records = true;
  if (!out.records.records.empty() && out.records.e_end != app_mbus_records_end::truncated &&
      out.records.e_end != app_mbus_records_end::bad_dif) {
    learn(meter.key(), out.records);
  }
}

void app_mbus_decoder::learn(std::uint64_t u64_meter, const app_mbus_records& records) {
  const format_key key{u64_meter, app_mbus_crc(records.format)};
  const auto [at, b_new] = formats_.try_emplace(key, records.format);
  if (!b_new) return;
  format_order_.push_back(key);
  if (formats_.size() > APP_MBUS_FORMATS_MAX) {
    formats_.erase(format_order_.front());
    format_order_.erase(format_order_.begin());
  }
}

void app_mbus_members(const app_mbus_decoded& d, app_json& json, std::string& s) {
  json.str("frame_format", _form_name(d.e_form));
  if (d.e_form == app_mbus_form::a || d.e_form == app_mbus_form::b) {
    json.str("crc", d.b_crc_ok ? "ok" : "bad");
  }
  thread_local std::string s_inner;  // grown once a thread: no allocation per frame
  if (d.ell) {
    const app_mbus_ell& e = *d.ell;
    app_json o(s_inner);
    o.num("ci", e.u8_ci).num("cc", e.u8_cc).num("acc", e.u8_acc);
    if (e.u16_m2) o.num("m2", *e.u16_m2);
    if (e.u64_a2) o.num("a2", static_cast<std::int64_t>(*e.u64_a2));
    if (e.sn) o.num("sn", *e.sn);
    o.str("decrypt", app_mbus_decrypt_name(e.e_decrypt));
    json.raw("ell", o.end());
  }
  if (d.afl) {
    const app_mbus_afl& a = *d.afl;
    app_json o(s_inner);
    o.num("length", a.u8_length)
        .num("fcl", a.u16_fcl)
        .num("fragment_id", a.u16_fcl & 0xFF)
        .boolean("more_fragments", (a.u16_fcl & 0x4000) != 0);
    if (a.mcl) o.num("mcl", *a.mcl);
    if (a.u16_key_info) o.num("key_info", *a.u16_key_info);
    if (a.counter) o.num("counter", *a.counter);
    if (!a.mac.empty()) o.hex("mac", a.mac);
    if (a.u16_message_length) o.num("message_length", *a.u16_message_length);
    json.raw("afl", o.end());
  }
  if (d.b_fragment) json.boolean("fragment", true);
  if (d.tpl) {
    const app_mbus_tpl& t = *d.tpl;
    app_json o(s_inner);
    o.num("ci", t.u8_ci);
    if (t.acc) o.num("acc", *t.acc);
    if (t.status) {
      _status_text(*t.status, s);
      o.num("status", *t.status).raw("status_text", s);
    }
    if (t.cf) {
      o.num("cf", *t.cf)
          .num("security_mode", t.security_mode())
          .num("encrypted_blocks", t.encrypted_blocks());
    }
    if (t.b_long) {
      std::array<std::uint8_t, 11> link{};
      link[0] = 10;
      link[2] = static_cast<std::uint8_t>(t.u16_m);
      link[3] = static_cast<std::uint8_t>(t.u16_m >> 8);
      for (int i = 0; i < 4; ++i) link[4 + i] = static_cast<std::uint8_t>(t.u32_id_bcd >> (8 * i));
      link[8] = t.u8_version;
      link[9] = t.u8_device_type;
      wmbus_link w{};
      app_wmbus_decode(link, &w);
      o.str("id", w.ac_id).str("manufacturer", w.ac_manufacturer).num("version", w.u8_version);
      o.num("device_type", w.u8_device_type);
      if (const char* pc = app_wmbus_device_type_name(w.u8_device_type)) {
        o.str("device_type_name", pc);
      }
    }
    json.raw("tpl", o.end());
  }
  if (d.tpl || (d.ell && d.ell->e_decrypt != app_mbus_decrypt::none)) {
    json.str("decrypt", app_mbus_decrypt_name(d.e_decrypt));
  }
  if (d.b_compact) {
    if (d.b_compact_unknown) {
      json.str("compact", "unknown format");
    } else {
      json.str("compact", "decoded");
    }
    if (d.u16_signature) json.num("format_signature", *d.u16_signature);
  }
  if (!d.b_records) return;
  app_mbus_records_json(d.records.records, s);
  json.raw("records", s);
  if (d.records.e_end != app_mbus_records_end::complete) {
    json.str("records_end", _records_end_name(d.records.e_end));
  }
  if (!d.records.manufacturer.empty()) json.hex("manufacturer_data", d.records.manufacturer);
  if (d.records.b_more_follow) json.boolean("more_records_follow", true);
}
