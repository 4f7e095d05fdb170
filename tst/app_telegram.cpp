// Radio telegrams. A key is chosen only from what the frame proves: CRCs are left out only when
// every one of them verifies, otherwise the bytes are hashed as they came.
#include "app_telegram.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <string_view>
#include <utility>

#include "app_json.h"
#include "app_lan_msg.h"
#include "app_mbus_decode.h"
#include "app_wmbus.h"

namespace {

constexpr std::uint64_t fnv_offset_basis = 0xcbf29ce484222325ULL;
constexpr std::uint64_t fnv_prime = 0x100000001b3ULL;

// Position of the CI-field and, in an extended link layer, of the CC-field after it.
constexpr std::size_t ci_at = 10;
constexpr std::size_t cc_at = 11;
constexpr std::uint8_t cc_h = 0x10;  // hop: sent again by a repeater
constexpr std::uint8_t cc_r = 0x02;  // repeated access

// The link-layer bytes of @p frame from L to the end with its CRCs left out, in @p buf, when a
// CRC form fits its length and every CRC verifies; @p frame itself otherwise.
std::span<const std::uint8_t> _link_bytes(std::span<const std::uint8_t> frame,
                                          std::span<std::uint8_t, 256> buf) {
  app_mbus_form e_form = app_mbus_form::unknown;
  bool b_crc_ok = false;
  const auto link = app_mbus_link_bytes(frame, buf, e_form, b_crc_ok);
  return link.empty() ? frame : link;
}

bool _is_ell(std::uint8_t u8_ci) { return u8_ci >= 0x8C && u8_ci <= 0x8F; }

// The link layer as the frame event writes it: only the fields the frame holds.
void _link_members(std::span<const std::uint8_t> b, app_json& json) {
  wmbus_link link{};
  if (app_wmbus_decode(b, &link) == 1) app_wmbus_members(link, json);
}

bool _same_receiver(const app_telegram_copy& a, const app_telegram_copy& b) {
  return a.modem == b.modem && a.receiver == b.receiver;
}

}  // namespace

std::optional<std::uint8_t> app_telegram_access_number(std::span<const std::uint8_t> link) {
  if (link.size() <= ci_at) return std::nullopt;
  std::size_t at = 0;
  switch (link[ci_at]) {
    case 0x7A:  // short transport header: ACC first
      at = ci_at + 1;
      break;
    case 0x72:  // long: id (4), manufacturer (2), version, device type, then ACC
      at = ci_at + 9;
      break;
    case 0x8C:
    case 0x8D:  // extended link layer: CC, then ACC
      at = cc_at + 1;
      break;
    default:
      return std::nullopt;
  }
  if (link.size() <= at) return std::nullopt;
  return link[at];
}

app_telegram_key app_telegram_key_of(std::span<const std::uint8_t> frame) {
  std::array<std::uint8_t, 256> buf;
  const std::span<const std::uint8_t> b = _link_bytes(frame, buf);
  app_telegram_key k;
  const bool b_ell = b.size() > cc_at && _is_ell(b[ci_at]);
  std::uint64_t h = fnv_offset_basis;
  for (std::size_t i = 0; i < b.size(); ++i) {
    std::uint8_t u8 = b[i];
    if (b_ell && i == cc_at) {
      // A repeater sets H or R and leaves the rest: every copy of one transmission keys alike.
      k.b_relayed = (u8 & (cc_h | cc_r)) != 0;
      u8 = static_cast<std::uint8_t>(u8 & ~(cc_h | cc_r));
    }
    h = (h ^ u8) * fnv_prime;
  }
  k.u64_hash = h;
  return k;
}

void app_telegram_members(const app_telegram& t_telegram, app_json& json) {
  const app_telegram& t = t_telegram;
  char ac_key[17];
  std::snprintf(ac_key, sizeof ac_key, "%016llx", static_cast<unsigned long long>(t.u64_key));
  json.str("key", std::string_view{ac_key, 16})
      .num("length", static_cast<std::int64_t>(t.raw.size()))
      .hex("raw", t.raw);
  // Decoded without the CRCs, so that a frame carrying them shows its CI, not a CRC byte.
  std::array<std::uint8_t, 256> buf;
  const std::span<const std::uint8_t> b = _link_bytes(t.raw, buf);
  _link_members(b, json);
  if (const auto acc = app_telegram_access_number(b)) json.num("acc", *acc);
  json.num("copies", static_cast<std::int64_t>(t.copies.size()));

  std::string s_receivers = "[";
  std::string s_one;
  const std::int64_t i64_first_ms = t.first_ms();
  std::size_t best = 0;
  int i_min = 0;
  int i_max = 0;
  for (std::size_t i = 0; i < t.copies.size(); ++i) {
    const app_telegram_copy& c = t.copies[i];
    app_json one(s_one);
    if (c.modem) one.str("modem", lan_serial_text(*c.modem).view());
    if (!c.s_address.empty()) one.str("address", c.s_address);
    if (c.receiver) one.num("receiver", *c.receiver);
    one.num("rssi_dbm", c.i_rssi_dbm)
        .num("freq_offset", c.i16_freq_offset)
        .num("rtc_sec", c.u32_rtc_sec)
        .num("rtc_msec", c.u16_rtc_msec)
        .num("delay_ms", c.i64_arrival_ms - i64_first_ms)
        .boolean("relayed", c.b_relayed);
    if (i != 0) s_receivers += ',';
    s_receivers += one.end();
    if (i == 0 || c.i_rssi_dbm > t.copies[best].i_rssi_dbm) best = i;
    i_min = i == 0 ? c.i_rssi_dbm : std::min(i_min, c.i_rssi_dbm);
    i_max = i == 0 ? c.i_rssi_dbm : std::max(i_max, c.i_rssi_dbm);
  }
  s_receivers += ']';
  json.raw("receivers", s_receivers);
  if (!t.copies.empty()) {
    const app_telegram_copy& c = t.copies[best];
    app_json one(s_one);
    if (c.modem) one.str("modem", lan_serial_text(*c.modem).view());
    if (c.receiver) one.num("receiver", *c.receiver);
    one.num("rssi_dbm", c.i_rssi_dbm);
    json.raw("best", one.end());
  }
  json.num("rssi_spread_db", i_max - i_min)
      .boolean("repeat", t.b_repeat)
      .num("duplicates", t.u32_duplicates);
}

app_telegram_correlator::app_telegram_correlator(std::int64_t i64_window_ms, sink pf_emit)
    : i64_window_ms_(std::max<std::int64_t>(i64_window_ms, 0)), pf_emit_(std::move(pf_emit)) {}

void app_telegram_correlator::advance_clock(std::int64_t i64_ms) {
  if (b_clock_ && i64_ms <= i64_clock_ms_) return;
  i64_clock_ms_ = i64_ms;
  b_clock_ = true;
}

void app_telegram_correlator::add(std::span<const std::uint8_t> frame, app_telegram_copy t_copy) {
  expire(t_copy.i64_arrival_ms);
  const app_telegram_key k = app_telegram_key_of(frame);
  t_copy.b_relayed = t_copy.b_relayed || k.b_relayed;
  if (const auto it = by_key_.find(k.u64_hash); it != by_key_.end()) {
    app_telegram& t = open_[static_cast<std::size_t>(it->second - u64_front_seq_)].t;
    const bool b_seen = std::any_of(t.copies.begin(), t.copies.end(),
                                    [&](const auto& c) { return _same_receiver(c, t_copy); });
    if (b_seen) {
      ++t.u32_duplicates;
    } else {
      t.copies.push_back(std::move(t_copy));
    }
    return;
  }
  app_telegram t;
  t.u64_key = k.u64_hash;
  t.raw.assign(frame.begin(), frame.end());
  t.copies.push_back(std::move(t_copy));
  // expire() has just forgotten what was emitted more than REPEAT_MS ago.
  t.b_repeat = emitted_.contains(k.u64_hash);
  if (i64_window_ms_ == 0) {
    emit(std::move(t), i64_clock_ms_);
    return;
  }
  if (open_.size() >= APP_TELEGRAM_OPEN_MAX) {
    ++u64_closed_early_;
    close_front(i64_clock_ms_);
  }
  by_key_.emplace(k.u64_hash, u64_front_seq_ + open_.size());
  open_.push_back({std::move(t), i64_clock_ms_ + i64_window_ms_});
}

void app_telegram_correlator::expire(std::int64_t i64_now_ms) {
  advance_clock(i64_now_ms);
  while (!open_.empty() && open_.front().i64_close_ms <= i64_clock_ms_) {
    close_front(i64_clock_ms_);
  }
  forget_emitted(i64_clock_ms_);
}

void app_telegram_correlator::flush() {
  while (!open_.empty()) close_front(i64_clock_ms_);
}

std::optional<std::int64_t> app_telegram_correlator::next_close_ms() const {
  if (open_.empty()) return std::nullopt;
  return open_.front().i64_close_ms;
}

void app_telegram_correlator::close_front(std::int64_t i64_at_ms) {
  // Taken out of the queue before the sink runs, so that it sees a consistent correlator.
  open_telegram o = std::move(open_.front());
  open_.pop_front();
  ++u64_front_seq_;
  by_key_.erase(o.t.u64_key);
  // A window that ran its course closed at its end, whenever expire() was called; one closed
  // early or by flush() closed now.
  emit(std::move(o.t), std::min(o.i64_close_ms, i64_at_ms));
}

void app_telegram_correlator::emit(app_telegram t, std::int64_t i64_at_ms) {
  emitted_[t.u64_key] = i64_at_ms;
  emissions_.push_back({t.u64_key, i64_at_ms});
  if (pf_emit_) pf_emit_(t);
}

void app_telegram_correlator::forget_emitted(std::int64_t i64_now_ms) {
  // Emission times never go back, so the oldest are at the front.
  while (!emissions_.empty() && i64_now_ms - emissions_.front().i64_ms > APP_TELEGRAM_REPEAT_MS) {
    const emission& e = emissions_.front();
    // Only when no later emission of the key refreshed it.
    if (const auto it = emitted_.find(e.u64_key); it != emitted_.end() && it->second == e.i64_ms) {
      emitted_.erase(it);
    }
    emissions_.pop_front();
  }
}
