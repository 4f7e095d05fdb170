// One-line JSON objects for the event stream. Output is valid JSON whatever the input bytes:
// strings are escaped and bytes that are not UTF-8 never pass through raw.
#pragma once

#include <cstdint>
#include <ctime>
#include <span>
#include <string>
#include <string_view>

/// Builds one JSON object into a caller-owned string (reused between events: no allocation once
/// it has grown). Members are written in call order, separated by commas; keys are escaped like
/// string values. The writer keeps a reference to @p out: it must outlive the writer.
/// One thread at a time per string.
class app_json {
 public:
  /// Clears @p out (its capacity stays) and writes "{".
  explicit app_json(std::string& out);
  /// Member with a string value. Escapes '"', '\\' and control characters (\n \r \t \b \f by
  /// name, the others as \u00xx); copies valid UTF-8 sequences as they are; writes \ufffd for
  /// every byte that is not part of a valid UTF-8 sequence (overlong forms, surrogates, code
  /// points above U+10FFFF, stray continuation bytes, truncated sequences).
  app_json& str(std::string_view key, std::string_view value);
  /// Member with a decimal integer value.
  app_json& num(std::string_view key, std::int64_t value);
  /// Member with a fixed-point number of @p decimals decimals (clamped to 0..17), rounded to
  /// nearest from the exact binary value ("0.25", "-3.0"); never an exponent. NaN and the
  /// infinities are written null; a value that rounds to zero is written without a sign.
  app_json& real(std::string_view key, double value, int decimals);
  /// Member with the value true or false.
  app_json& boolean(std::string_view key, bool value);
  /// Member with a string of two lower-case hex digits per byte ("" for no bytes).
  app_json& hex(std::string_view key, std::span<const std::uint8_t> bytes);
  /// Member whose value @p json is already JSON (a nested object or array), copied unchecked.
  app_json& raw(std::string_view key, std::string_view json);
  /// Writes "}" and returns the text (no newline). Call once, last.
  std::string& end();

 private:
  void key(std::string_view key);
  std::string& out_;
  bool first_ = true;
};

/// Appends @p value to @p out as the inside of a JSON string (no quotes), escaped as
/// app_json::str does.
void app_json_escape(std::string& out, std::string_view value);

/// ISO 8601 UTC time with milliseconds, "2026-12-07T01:02:03.456Z", from a realtime clock value,
/// written into @p buf (NUL-terminated). Milliseconds are truncated, and clamped to 0..999 when
/// tv_nsec is out of range.
/// @return a view into @p buf; empty when @p ts is outside the calendar the C library handles.
std::string_view app_json_time(const struct timespec& ts, std::span<char, 32> buf);
