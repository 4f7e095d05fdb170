// Meter inventory and survey. Statistics keep bounded histories, so a meter heard for days costs
// the same memory as one heard for an hour.
#include "app_meter.h"

#include <algorithm>
#include <array>
#include <bitset>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <limits>
#include <memory>
#include <set>
#include <utility>

#include "app_json.h"
#include "app_lan_msg.h"
#include "app_wmbus.h"
#include "vos_util_hexa.h"

namespace {

// Intervals and access numbers kept per meter.
constexpr std::size_t history_max = 1'000;

template <class T>
void push_bounded(std::vector<T>& v, T value) {
  if (v.size() >= history_max) v.erase(v.begin(), v.begin() + (v.size() - history_max + 1));
  v.push_back(value);
}

std::string time_text(std::int64_t i64_ms) {
  // Floor division: a time before 1970 still has milliseconds in 0..999.
  std::int64_t sec = i64_ms / 1000, ms = i64_ms % 1000;
  if (ms < 0) {
    ms += 1000;
    --sec;
  }
  timespec ts{};
  ts.tv_sec = static_cast<std::time_t>(sec);
  ts.tv_nsec = static_cast<long>(ms * 1'000'000);
  std::array<char, 32> buf;
  return std::string(app_json_time(ts, buf));
}

void modem_receiver(app_json& json, const app_meter_receiver& r) {
  if (r.modem) json.str("modem", lan_serial_text(*r.modem).view());
  if (r.receiver) json.num("receiver", *r.receiver);
}

// A JSON array of strings.
std::string string_array(const std::vector<std::string>& v) {
  std::string out = "[";
  for (const std::string& s : v) {
    if (out.size() > 1) out.push_back(',');
    out.push_back('"');
    app_json_escape(out, s);
    out.push_back('"');
  }
  out.push_back(']');
  return out;
}

std::string_view trim(std::string_view s) {
  constexpr std::string_view blanks = " \t\r";
  const std::size_t b = s.find_first_not_of(blanks);
  if (b == std::string_view::npos) return {};
  return s.substr(b, s.find_last_not_of(blanks) - b + 1);
}

// Decimal digits only (an optional sign when @p b_signed), the whole of @p s, in T's range.
template <class T>
std::optional<T> parse_decimal(std::string_view s, bool b_signed) {
  if (b_signed && !s.empty() && (s.front() == '+' || s.front() == '-')) {
    const bool neg = s.front() == '-';
    s.remove_prefix(1);
    if (s.empty() || s.front() < '0' || s.front() > '9') return std::nullopt;
    const auto v = parse_decimal<long long>(s, false);
    if (!v) return std::nullopt;
    const long long signed_v = neg ? -*v : *v;
    if (signed_v < std::numeric_limits<T>::min() || signed_v > std::numeric_limits<T>::max())
      return std::nullopt;
    return static_cast<T>(signed_v);
  }
  if (s.empty() || s.find_first_not_of("0123456789") != std::string_view::npos) return std::nullopt;
  T v{};
  const auto r = std::from_chars(s.data(), s.data() + s.size(), v);
  if (r.ec != std::errc{} || r.ptr != s.data() + s.size()) return std::nullopt;
  return v;
}

struct file_closer {
  void operator()(std::FILE* pf) const noexcept { std::fclose(pf); }
};

}  // namespace

void app_meter_inventory::add(const app_telegram& t_telegram, const app_meter_data* pt_data) {
  wmbus_link link;
  if (app_wmbus_decode(t_telegram.raw, &link) != 1 || link.u8_fields < 6) return;
  app_meter_id id{link.ac_manufacturer, link.ac_id, link.u8_version, link.u8_device_type};
  auto it = meters_.find(id);
  if (it == meters_.end()) {
    if (meters_.size() >= APP_METER_MAX) {
      ++u64_not_added_;
      return;
    }
    it = meters_.emplace(id, app_meter{}).first;
    it->second.id = std::move(id);
  }
  app_meter& m = it->second;
  const std::int64_t i64_ms = t_telegram.first_ms();
  if (m.u64_telegrams == 0) {
    m.i64_first_ms = m.i64_last_ms = i64_ms;
  } else {
    // Telegrams close in order of their first copy; a clock step back counts as no time.
    push_bounded(m.intervals_ms, std::max<std::int64_t>(0, i64_ms - m.i64_last_ms));
    m.i64_first_ms = std::min(m.i64_first_ms, i64_ms);
    m.i64_last_ms = std::max(m.i64_last_ms, i64_ms);
  }
  ++m.u64_telegrams;
  m.u64_copies += t_telegram.copies.size();
  if (t_telegram.b_repeat) ++m.u64_repeats;
  if (const auto acc = app_telegram_access_number(t_telegram.raw)) push_bounded(m.acc_seen, *acc);
  if (pt_data != nullptr && pt_data->b_decoded) {
    m.b_decoded = true;
    ++m.decrypt[pt_data->pc_decrypt];
    if (!pt_data->s_records.empty()) m.s_last_records = pt_data->s_records;
  }

  // Kept sorted by modem, then receiver, unknown first (std::optional's order).
  for (const app_telegram_copy& c : t_telegram.copies) {
    const auto key = std::make_pair(c.modem, c.receiver);
    auto r = std::lower_bound(m.receivers.begin(), m.receivers.end(), key,
                              [](const app_meter_receiver& a, const auto& k) {
                                return std::make_pair(a.modem, a.receiver) < k;
                              });
    if (r == m.receivers.end() || r->modem != c.modem || r->receiver != c.receiver) {
      r = m.receivers.insert(r, app_meter_receiver{c.modem, c.receiver, 0, c.i_rssi_dbm, 0});
    }
    ++r->u64_copies;
    r->i_rssi_dbm_max = std::max(r->i_rssi_dbm_max, c.i_rssi_dbm);
    r->d_rssi_sum += c.i_rssi_dbm;
  }
}

app_survey app_meter_inventory::survey(const std::vector<app_meter_expected>& expected) const {
  // What was heard of each manufacturer and id, over every version and device type.
  struct heard {
    std::optional<int> best_rssi;
    std::set<std::pair<std::optional<std::uint32_t>, std::optional<std::uint8_t>>> pairs;
  };
  std::map<std::pair<std::string, std::string>, heard> by_id;
  for (const auto& [id, m] : meters_) {
    heard& h = by_id[{id.s_manufacturer, id.s_id}];
    for (const app_meter_receiver& r : m.receivers) {
      h.pairs.emplace(r.modem, r.receiver);
      if (!h.best_rssi || r.i_rssi_dbm_max > *h.best_rssi) h.best_rssi = r.i_rssi_dbm_max;
    }
  }

  app_survey s;
  s.u_expected = expected.size();
  std::set<std::pair<std::string, std::string>> expected_ids;
  for (const app_meter_expected& e : expected) {
    expected_ids.emplace(e.s_manufacturer, e.s_id);
    const std::string text = e.s_manufacturer + "," + e.s_id;
    const auto it = by_id.find({e.s_manufacturer, e.s_id});
    if (it == by_id.end()) {
      s.missing.push_back(text);
      continue;
    }
    const heard& h = it->second;
    const bool weak = e.min_rssi_dbm && (!h.best_rssi || *h.best_rssi < *e.min_rssi_dbm);
    const bool single = e.min_receivers && h.pairs.size() < *e.min_receivers;
    if (weak) s.weak.push_back(text);
    if (single) s.single.push_back(text);
    if (!weak && !single) ++s.u_ok;
  }
  for (const auto& [key, h] : by_id)
    if (!expected_ids.contains(key)) s.unexpected.push_back(key.first + "," + key.second);
  for (auto* v : {&s.missing, &s.weak, &s.single, &s.unexpected}) std::sort(v->begin(), v->end());
  return s;
}

void app_meter_members(const app_meter& t_meter, app_json& json) {
  const app_meter& m = t_meter;
  json.str("manufacturer", m.id.s_manufacturer)
      .str("id", m.id.s_id)
      .num("version", m.id.u8_version)
      .num("device_type", m.id.u8_device_type)
      .str("first_seen", time_text(m.i64_first_ms))
      .str("last_seen", time_text(m.i64_last_ms))
      .num("telegrams", static_cast<std::int64_t>(m.u64_telegrams))
      .num("copies", static_cast<std::int64_t>(m.u64_copies))
      .num("repeats", static_cast<std::int64_t>(m.u64_repeats));

  std::string s_sub;
  if (m.u64_telegrams >= 2 && !m.intervals_ms.empty()) {
    std::vector<std::int64_t> v = m.intervals_ms;
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    const double median_ms =
        n % 2 ? static_cast<double>(v[n / 2])
              : (static_cast<double>(v[n / 2 - 1]) + static_cast<double>(v[n / 2])) / 2;
    app_json sub(s_sub);
    sub.real("median", median_ms / 1000, 3).real("max", static_cast<double>(v.back()) / 1000, 3);
    json.raw("interval_s", sub.end());
  }

  if (!m.acc_seen.empty()) {
    std::bitset<256> seen;
    for (const std::uint8_t a : m.acc_seen) seen.set(a);
    const unsigned distinct = static_cast<unsigned>(seen.count());
    const unsigned span = ((m.acc_seen.back() - m.acc_seen.front()) & 0xFFu) + 1;
    const double loss = std::clamp(1.0 - static_cast<double>(distinct) / span, 0.0, 1.0);
    app_json sub(s_sub);
    sub.num("distinct", distinct).num("span", span).real("loss_estimate", loss, 3);
    json.raw("acc", sub.end());
  }

  if (!m.receivers.empty()) {
    const auto best =
        std::max_element(m.receivers.begin(), m.receivers.end(),
                         [](const app_meter_receiver& a, const app_meter_receiver& b) {
                           return a.i_rssi_dbm_max < b.i_rssi_dbm_max;
                         });
    app_json sub(s_sub);
    modem_receiver(sub, *best);
    sub.num("rssi_dbm", best->i_rssi_dbm_max);
    json.raw("best", sub.end());
  }

  std::string s_array = "[";
  for (const app_meter_receiver& r : m.receivers) {
    if (s_array.size() > 1) s_array.push_back(',');
    app_json sub(s_sub);
    modem_receiver(sub, r);
    const double copies = static_cast<double>(r.u64_copies);
    sub.num("copies", static_cast<std::int64_t>(r.u64_copies))
        .num("rssi_dbm_max", r.i_rssi_dbm_max)
        .real("rssi_dbm_avg", r.d_rssi_sum / copies, 1)
        .real("share", copies / static_cast<double>(m.u64_telegrams), 3);
    s_array.append(sub.end());
  }
  s_array.push_back(']');
  json.raw("receivers", s_array);
  if (!m.b_decoded) return;
  app_json decrypt(s_sub);
  for (const auto& [s_name, u64_count] : m.decrypt) {
    decrypt.num(s_name, static_cast<std::int64_t>(u64_count));
  }
  json.raw("decrypt", decrypt.end());
  json.raw("last_records", m.s_last_records.empty() ? "[]" : m.s_last_records);
}

void app_survey_member(const app_survey& t_survey, app_json& json) {
  std::string s_sub;
  app_json sub(s_sub);
  sub.num("expected", static_cast<std::int64_t>(t_survey.u_expected))
      .num("ok", static_cast<std::int64_t>(t_survey.u_ok))
      .raw("missing", string_array(t_survey.missing))
      .raw("weak", string_array(t_survey.weak))
      .raw("single", string_array(t_survey.single))
      .raw("unexpected", string_array(t_survey.unexpected));
  json.raw("survey", sub.end());
}

std::optional<app_meter_expected> app_meter_parse_expected(std::string_view line) {
  std::vector<std::string_view> fields;
  for (std::size_t b = 0;;) {
    const std::size_t e = line.find(',', b);
    fields.push_back(trim(line.substr(b, e == std::string_view::npos ? e : e - b)));
    if (e == std::string_view::npos) break;
    b = e + 1;
  }
  if (fields.size() < 2 || fields.size() > 4) return std::nullopt;

  app_meter_expected e;
  if (fields[0].size() != 3) return std::nullopt;
  for (const char c : fields[0]) {
    if (c >= 'a' && c <= 'z') {
      e.s_manufacturer.push_back(static_cast<char>(c - 'a' + 'A'));
    } else if (c >= 'A' && c <= 'Z') {
      e.s_manufacturer.push_back(c);
    } else {
      return std::nullopt;
    }
  }
  if (fields[1].size() != 8) return std::nullopt;
  for (const char c : fields[1]) {
    const int d = vos_hexa_value(c);
    if (d < 0) return std::nullopt;
    e.s_id.push_back(vos_hexa_lower[d]);
  }
  if (fields.size() >= 3) {
    e.min_rssi_dbm = parse_decimal<int>(fields[2], true);
    if (!e.min_rssi_dbm) return std::nullopt;
  }
  if (fields.size() == 4) {
    e.min_receivers = parse_decimal<unsigned>(fields[3], false);
    if (!e.min_receivers || *e.min_receivers == 0) return std::nullopt;
  }
  return e;
}

std::optional<std::vector<app_meter_expected>> app_meter_read_expected(const char* pc_path,
                                                                       std::string& s_error) {
  const std::string s_path = pc_path ? pc_path : "";
  std::unique_ptr<std::FILE, file_closer> file(std::fopen(s_path.c_str(), "rb"));
  std::string text;
  if (file) {
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, file.get())) > 0) text.append(buf, n);
  }
  if (!file || std::ferror(file.get())) {
    const int i_errno = errno;
    s_error = s_path + ": cannot read: " + std::strerror(i_errno);
    return std::nullopt;
  }

  std::vector<app_meter_expected> out;
  std::string_view rest = text;
  for (std::size_t u_line = 1; !rest.empty(); ++u_line) {
    const std::size_t nl = rest.find('\n');
    std::string_view line = rest.substr(0, nl);
    rest.remove_prefix(nl == std::string_view::npos ? rest.size() : nl + 1);
    line = trim(line.substr(0, line.find('#')));
    if (line.empty()) continue;
    auto e = app_meter_parse_expected(line);
    if (!e) {
      s_error = s_path + ":" + std::to_string(u_line) + ": malformed expected meter";
      return std::nullopt;
    }
    out.push_back(std::move(*e));
  }
  return out;
}
