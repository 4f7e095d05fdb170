// One-line JSON objects. Strings are checked as UTF-8 byte by byte, so that nothing but valid
// JSON text ever reaches the output.
#include "app_json.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>

#include "vos_util_hexa.h"

namespace {

// Length of the valid UTF-8 sequence at the start of @p s (1 to 4), or 0 when its first byte
// does not start one. Ranges of the second byte rule out overlong forms, surrogates and code
// points above U+10FFFF.
std::size_t utf8_length(std::string_view s) {
  const auto b = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  const auto cont = [&](std::size_t i) { return i < s.size() && (b(i) & 0xC0) == 0x80; };
  const unsigned c = b(0);
  if (c < 0x80) return 1;
  std::size_t len = 0;
  unsigned lo = 0x80, hi = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) {
    len = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (s.size() < 2 || b(1) < lo || b(1) > hi) return 0;
  for (std::size_t i = 2; i < len; ++i)
    if (!cont(i)) return 0;
  return len;
}

}  // namespace

void app_json_escape(std::string& out, std::string_view value) {
  while (!value.empty()) {
    const unsigned char c = static_cast<unsigned char>(value.front());
    std::size_t used = 1;
    switch (c) {
      case '"':
        out.append("\\\"");
        break;
      case '\\':
        out.append("\\\\");
        break;
      case '\n':
        out.append("\\n");
        break;
      case '\r':
        out.append("\\r");
        break;
      case '\t':
        out.append("\\t");
        break;
      case '\b':
        out.append("\\b");
        break;
      case '\f':
        out.append("\\f");
        break;
      default:
        if (c < 0x20) {
          const char esc[] = {'\\', 'u', '0', '0', vos_hexa_lower[c >> 4], vos_hexa_lower[c & 0xF]};
          out.append(esc, sizeof esc);
        } else if ((used = utf8_length(value)) == 0) {
          out.append("\\ufffd");
          used = 1;
        } else {
          out.append(value.data(), used);
        }
    }
    value.remove_prefix(used);
  }
}

app_json::app_json(std::string& out) : out_(out) {
  out_.clear();
  out_.push_back('{');
}

void app_json::key(std::string_view k) {
  if (!first_) out_.push_back(',');
  first_ = false;
  out_.push_back('"');
  app_json_escape(out_, k);
  out_.append("\":");
}

app_json& app_json::str(std::string_view k, std::string_view value) {
  key(k);
  out_.push_back('"');
  app_json_escape(out_, value);
  out_.push_back('"');
  return *this;
}

app_json& app_json::num(std::string_view k, std::int64_t value) {
  key(k);
  char buf[24];
  const auto r = std::to_chars(buf, buf + sizeof buf, value);
  out_.append(buf, r.ptr);
  return *this;
}

app_json& app_json::real(std::string_view k, double value, int decimals) {
  key(k);
  if (!std::isfinite(value)) {
    out_.append("null");
    return *this;
  }
  // 309 integer digits for the largest double, a sign, a point and the decimals.
  char buf[336];
  const int prec = std::clamp(decimals, 0, 17);
  const auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, prec);
  if (r.ec != std::errc{}) {
    out_.append("null");
    return *this;
  }
  std::string_view text(buf, static_cast<std::size_t>(r.ptr - buf));
  if (text.front() == '-' && text.find_first_not_of("-0.") == std::string_view::npos)
    text.remove_prefix(1);  // "-0.000" reads as a loss where there is none
  out_.append(text);
  return *this;
}

app_json& app_json::boolean(std::string_view k, bool value) {
  key(k);
  out_.append(value ? "true" : "false");
  return *this;
}

app_json& app_json::hex(std::string_view k, std::span<const std::uint8_t> bytes) {
  key(k);
  out_.push_back('"');
  for (const std::uint8_t b : bytes) {
    out_.append(&vos_hexa_pairs_lower[2 * b], 2);
  }
  out_.push_back('"');
  return *this;
}

app_json& app_json::raw(std::string_view k, std::string_view json) {
  key(k);
  out_.append(json);
  return *this;
}

std::string& app_json::end() {
  out_.push_back('}');
  return out_;
}

std::string_view app_json_time(const struct timespec& ts, std::span<char, 32> buf) {
  struct tm t {};
  if (gmtime_r(&ts.tv_sec, &t) == nullptr) {
    buf[0] = '\0';
    return {};
  }
  long ms = ts.tv_nsec / 1000000;
  if (ms < 0) ms = 0;
  if (ms > 999) ms = 999;
  // The year in a wider type: tm_year + 1900 overflows int at the far end of the calendar.
  const int n = std::snprintf(buf.data(), buf.size(), "%04lld-%02d-%02dT%02d:%02d:%02d.%03ldZ",
                              static_cast<long long>(t.tm_year) + 1900, t.tm_mon + 1, t.tm_mday,
                              t.tm_hour, t.tm_min, t.tm_sec, ms);
  if (n < 0 || static_cast<std::size_t>(n) >= buf.size()) {
    buf[0] = '\0';
    return {};
  }
  return {buf.data(), static_cast<std::size_t>(n)};
}
