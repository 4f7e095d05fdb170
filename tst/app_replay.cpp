// Recorded frames read back. The JSON reader takes one flat object; nested values are checked
// and skipped, never kept. Every read is bounded by the line.
#include "app_replay.h"

#include <array>
#include <charconv>
#include <ctime>
#include <limits>
#include <optional>
#include <string>
#include <utility>

#include "vos_util_hexa.h"

namespace {

constexpr int json_depth_max = 32;  // nesting of skipped values, the line's object included

constexpr std::string_view blanks = " \t\r\n";

std::string_view trim(std::string_view s) {
  const auto first = s.find_first_not_of(blanks);
  if (first == std::string_view::npos) return {};
  return s.substr(first, s.find_last_not_of(blanks) - first + 1);
}

/// Hex digits, two per byte, at least one byte.
bool hex_bytes(std::string_view s, std::vector<std::uint8_t>& out) {
  out.clear();
  if (s.empty() || s.size() % 2 != 0) return false;
  out.reserve(s.size() / 2);
  for (std::size_t i = 0; i < s.size(); i += 2) {
    const int hi = vos_hexa_value(s[i]);
    const int lo = vos_hexa_value(s[i + 1]);
    if (hi < 0 || lo < 0) return false;
    out.push_back(static_cast<std::uint8_t>(hi << 4 | lo));
  }
  return true;
}

/// Back to the defaults, keeping the address string's buffer.
void reset(app_replay_frame& out) {
  out.frame.clear();
  std::string address = std::move(out.copy.s_address);
  address.clear();
  out.copy = {};
  out.copy.s_address = std::move(address);
}

void put_utf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | cp >> 6));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | cp >> 12));
    out.push_back(static_cast<char>(0x80 | (cp >> 6 & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | cp >> 18));
    out.push_back(static_cast<char>(0x80 | (cp >> 12 & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp >> 6 & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

/// What a member of the line's object held.
struct json_value {
  enum class kind : std::uint8_t { absent, string, integer, number, literal, null, nested };
  kind k = kind::absent;
  std::string text;      // a string, decoded
  std::string_view num;  // a number as written
};

/// Strict reader over one line (RFC 8259 grammar).
class json_reader {
 public:
  explicit json_reader(std::string_view s) : s_(s) {}

  void ws() {
    while (pos_ < s_.size() &&
           (s_[pos_] == ' ' || s_[pos_] == '\t' || s_[pos_] == '\r' || s_[pos_] == '\n')) {
      ++pos_;
    }
  }
  bool eat(char c) {
    if (pos_ >= s_.size() || s_[pos_] != c) return false;
    ++pos_;
    return true;
  }
  char peek() const { return pos_ < s_.size() ? s_[pos_] : '\0'; }
  bool at_end() const { return pos_ == s_.size(); }

  /// A string; decoded into @p out unless null. A lone surrogate becomes U+FFFD.
  bool string(std::string* out) {
    if (!eat('"')) return false;
    if (out != nullptr) out->clear();
    while (pos_ < s_.size()) {
      const char c = s_[pos_++];
      if (c == '"') return true;
      if (static_cast<unsigned char>(c) < 0x20) return false;
      if (c != '\\') {
        if (out != nullptr) out->push_back(c);
        continue;
      }
      if (pos_ >= s_.size()) return false;
      const char e = s_[pos_++];
      char plain = 0;
      switch (e) {
        case '"':
        case '\\':
        case '/':
          plain = e;
          break;
        case 'b':
          plain = '\b';
          break;
        case 'f':
          plain = '\f';
          break;
        case 'n':
          plain = '\n';
          break;
        case 'r':
          plain = '\r';
          break;
        case 't':
          plain = '\t';
          break;
        case 'u': {
          std::uint32_t cp = 0;
          if (!hex4(cp)) return false;
          if (cp >= 0xD800 && cp <= 0xDBFF && pos_ + 1 < s_.size() && s_[pos_] == '\\' &&
              s_[pos_ + 1] == 'u') {
            const std::size_t back = pos_;
            pos_ += 2;
            std::uint32_t lo = 0;
            if (!hex4(lo)) return false;
            if (lo >= 0xDC00 && lo <= 0xDFFF) {
              cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
            } else {
              pos_ = back;  // the next escape stands alone
            }
          }
          if (cp >= 0xD800 && cp <= 0xDFFF) cp = 0xFFFD;
          if (out != nullptr) put_utf8(*out, cp);
          continue;
        }
        default:
          return false;
      }
      if (out != nullptr) out->push_back(plain);
    }
    return false;  // no closing quote on the line
  }

  /// A number; @p integer when it has neither fraction nor exponent.
  bool number(std::string_view& text, bool& integer) {
    const std::size_t start = pos_;
    eat('-');
    if (!eat('0') && !digits()) return false;
    integer = true;
    if (eat('.')) {
      integer = false;
      if (!digits()) return false;
    }
    if (eat('e') || eat('E')) {
      integer = false;
      if (!eat('+')) eat('-');
      if (!digits()) return false;
    }
    text = s_.substr(start, pos_ - start);
    return true;
  }

  bool literal(std::string_view word) {
    if (s_.substr(pos_, word.size()) != word) return false;
    pos_ += word.size();
    return true;
  }

  /// Any value; kept in @p out when given (nested values are only checked).
  bool value(json_value* out, int depth) {
    json_value::kind k = json_value::kind::nested;
    std::string_view num;
    switch (peek()) {
      case '"':
        k = json_value::kind::string;
        if (!string(out != nullptr ? &out->text : nullptr)) return false;
        break;
      case '{':
      case '[':
        if (!nested(depth + 1)) return false;
        break;
      case 't':
        k = json_value::kind::literal;
        if (!literal("true")) return false;
        break;
      case 'f':
        k = json_value::kind::literal;
        if (!literal("false")) return false;
        break;
      case 'n':
        k = json_value::kind::null;
        if (!literal("null")) return false;
        break;
      default: {
        bool integer = false;
        if (!number(num, integer)) return false;
        k = integer ? json_value::kind::integer : json_value::kind::number;
      }
    }
    if (out != nullptr) {
      out->k = k;
      out->num = num;
    }
    return true;
  }

 private:
  bool hex4(std::uint32_t& v) {
    if (s_.size() - pos_ < 4) return false;
    v = 0;
    for (int i = 0; i < 4; ++i) {
      const int d = vos_hexa_value(s_[pos_++]);
      if (d < 0) return false;
      v = v << 4 | static_cast<std::uint32_t>(d);
    }
    return true;
  }

  bool digits() {
    const std::size_t start = pos_;
    while (pos_ < s_.size() && s_[pos_] >= '0' && s_[pos_] <= '9') ++pos_;
    return pos_ > start;
  }

  /// An object or array, at nesting @p depth.
  bool nested(int depth) {
    if (depth > json_depth_max) return false;
    const bool object = peek() == '{';
    const char close = object ? '}' : ']';
    ++pos_;
    ws();
    if (eat(close)) return true;
    for (;;) {
      ws();
      if (object) {
        if (!string(nullptr)) return false;
        ws();
        if (!eat(':')) return false;
        ws();
      }
      if (!value(nullptr, depth)) return false;
      ws();
      if (eat(close)) return true;
      if (!eat(',')) return false;
    }
  }

  std::string_view s_;
  std::size_t pos_ = 0;
};

enum member : std::uint8_t {
  m_event,
  m_time,
  m_raw,
  m_modem,
  m_address,
  m_receiver,
  m_rssi_dbm,
  m_freq_offset,
  m_rtc_sec,
  m_rtc_msec,
  m_count
};

constexpr std::array<std::string_view, m_count> member_names = {
    "event",    "time",     "raw",         "modem",   "address",
    "receiver", "rssi_dbm", "freq_offset", "rtc_sec", "rtc_msec"};

/// The line's object: the members of a frame event that a replay uses (the last of a repeated
/// key holds), the others checked and passed over.
bool read_object(std::string_view line, std::array<json_value, m_count>& v) {
  json_reader r(line);
  if (!r.eat('{')) return false;
  std::string key;
  r.ws();
  if (!r.eat('}')) {
    for (;;) {
      r.ws();
      if (!r.string(&key)) return false;
      r.ws();
      if (!r.eat(':')) return false;
      r.ws();
      json_value* target = nullptr;
      for (std::size_t i = 0; i < m_count; ++i) {
        if (key == member_names[i]) target = &v[i];
      }
      if (!r.value(target, 1)) return false;
      r.ws();
      if (r.eat('}')) break;
      if (!r.eat(',')) return false;
    }
  }
  r.ws();
  return r.at_end();
}

/// An integer member within [lo, hi]; absent or null leaves @p out alone.
template <class T>
bool integer_member(const json_value& v, std::int64_t lo, std::int64_t hi, T& out) {
  if (v.k == json_value::kind::absent || v.k == json_value::kind::null) return true;
  if (v.k != json_value::kind::integer) return false;
  std::int64_t n = 0;
  const auto [end, ec] = std::from_chars(v.num.data(), v.num.data() + v.num.size(), n);
  if (ec != std::errc{} || end != v.num.data() + v.num.size() || n < lo || n > hi) return false;
  out = static_cast<T>(n);
  return true;
}

/// Digits only, exactly s.size() of them.
bool fixed_digits(std::string_view s, int& out) {
  out = 0;
  for (const char c : s) {
    if (c < '0' || c > '9') return false;
    out = out * 10 + (c - '0');
  }
  return !s.empty();
}

/// "YYYY-MM-DDThh:mm:ss.mmmZ" (1 to 9 fraction digits, truncated to milliseconds; years 1970 to
/// 9999) as UTC milliseconds since the epoch.
std::optional<std::int64_t> utc_ms(std::string_view s) {
  if (s.size() < 22 || s[4] != '-' || s[7] != '-' || s[10] != 'T' || s[13] != ':' || s[16] != ':' ||
      s[19] != '.' || s.back() != 'Z') {
    return std::nullopt;
  }
  int year = 0, mon = 0, day = 0, hour = 0, min = 0, sec = 0, frac = 0;
  const std::string_view fraction = s.substr(20, s.size() - 21);
  if (!fixed_digits(s.substr(0, 4), year) || !fixed_digits(s.substr(5, 2), mon) ||
      !fixed_digits(s.substr(8, 2), day) || !fixed_digits(s.substr(11, 2), hour) ||
      !fixed_digits(s.substr(14, 2), min) || !fixed_digits(s.substr(17, 2), sec) ||
      fraction.size() > 9 || !fixed_digits(fraction.substr(0, 3), frac)) {
    return std::nullopt;
  }
  for (const char c : fraction.substr(std::min<std::size_t>(3, fraction.size()))) {
    if (c < '0' || c > '9') return std::nullopt;
  }
  for (std::size_t n = fraction.size(); n < 3; ++n) frac *= 10;
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  constexpr std::array<int, 12> month_days = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (year < 1970 || mon < 1 || mon > 12 || day < 1 ||
      day > month_days[mon - 1] + (mon == 2 && leap ? 1 : 0) || hour > 23 || min > 59 || sec > 59) {
    return std::nullopt;
  }
  std::tm t{};
  t.tm_year = year - 1900;
  t.tm_mon = mon - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = min;
  t.tm_sec = sec;
  const std::time_t secs = timegm(&t);
  if (secs < 0) return std::nullopt;  // -1: outside what the C library handles
  return static_cast<std::int64_t>(secs) * 1000 + frac;
}

app_replay_line read_frame_event(const std::array<json_value, m_count>& v, app_replay_frame& out) {
  const auto is_string = [&](member m) { return v[m].k == json_value::kind::string; };
  const auto is_unset = [&](member m) {
    return v[m].k == json_value::kind::absent || v[m].k == json_value::kind::null;
  };
  if (!is_string(m_raw) || !hex_bytes(v[m_raw].text, out.frame)) {
    return app_replay_line::malformed;
  }
  const auto arrival = is_string(m_time) ? utc_ms(v[m_time].text) : std::nullopt;
  if (!arrival) return app_replay_line::malformed;
  app_telegram_copy& c = out.copy;
  c.i64_arrival_ms = *arrival;
  if (is_string(m_modem)) {
    const std::string& s = v[m_modem].text;
    std::uint32_t serial = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), serial, 16);
    if (s.empty() || s.size() > 8 || ec != std::errc{} || end != s.data() + s.size()) {
      return app_replay_line::malformed;
    }
    c.modem = serial;
  } else if (!is_unset(m_modem)) {
    return app_replay_line::malformed;
  }
  if (is_string(m_address)) {
    c.s_address = v[m_address].text;
  } else if (!is_unset(m_address)) {
    return app_replay_line::malformed;
  }
  std::uint8_t receiver = 0;
  if (!integer_member(v[m_receiver], 0, 255, receiver)) return app_replay_line::malformed;
  if (!is_unset(m_receiver)) c.receiver = receiver;
  constexpr auto int_min = std::numeric_limits<int>::min();
  constexpr auto int_max = std::numeric_limits<int>::max();
  const bool ok = integer_member(v[m_rssi_dbm], int_min, int_max, c.i_rssi_dbm) &&
                  integer_member(v[m_freq_offset], -32768, 32767, c.i16_freq_offset) &&
                  integer_member(v[m_rtc_sec], 0, 0xFFFFFFFF, c.u32_rtc_sec) &&
                  integer_member(v[m_rtc_msec], 0, 0xFFFF, c.u16_rtc_msec);
  return ok ? app_replay_line::frame : app_replay_line::malformed;
}

}  // namespace

app_replay_line app_replay_parse(std::string_view line, app_replay_frame* pt_out) {
  if (pt_out == nullptr) return app_replay_line::malformed;
  app_replay_frame& out = *pt_out;
  reset(out);
  const std::string_view s = trim(line);
  if (s.empty()) return app_replay_line::skipped;
  app_replay_line result = app_replay_line::malformed;
  if (s.front() != '{') {
    if (hex_bytes(s, out.frame)) result = app_replay_line::frame;
  } else {
    std::array<json_value, m_count> v;
    if (read_object(s, v) && v[m_event].k == json_value::kind::string) {
      result = v[m_event].text == "frame" ? read_frame_event(v, out) : app_replay_line::skipped;
    }
  }
  if (result != app_replay_line::frame) reset(out);  // nothing half-read is left
  return result;
}
