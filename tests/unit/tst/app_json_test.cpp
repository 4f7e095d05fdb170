// JSON object writer: string escaping of every class of valid and invalid UTF-8, reuse without
// allocation, and UTC time stamps.
#include "app_json.h"

#include <gtest/gtest.h>

#include <array>
#include <limits>
#include <string>

using namespace std::string_view_literals;

TEST(app_json, string_escaping_table) {
  const struct {
    std::string_view in;
    std::string_view out;  // the JSON text of {"k": in}
  } rows[] = {
      {""sv, R"({"k":""})"sv},
      {"plain text"sv, R"({"k":"plain text"})"sv},
      {"a\"b\\c/d"sv, R"({"k":"a\"b\\c/d"})"sv},
      {"\n\r\t\b\f"sv, R"({"k":"\n\r\t\b\f"})"sv},
      {"\x00\x01\x1f\x7f"sv, "{\"k\":\"\\u0000\\u0001\\u001f\x7f\"}"sv},
      {"\xc3\xa9 \xe2\x82\xac \xf0\x9d\x84\x9e"sv,
       "{\"k\":\"\xc3\xa9 \xe2\x82\xac \xf0\x9d\x84\x9e\"}"sv},
      {"\xc2\x80\xdf\xbf"sv, "{\"k\":\"\xc2\x80\xdf\xbf\"}"sv},  // 2-byte limits
      {"\xed\x9f\xbf\xee\x80\x80"sv,
       "{\"k\":\"\xed\x9f\xbf\xee\x80\x80\"}"sv},                       // around surrogates
      {"\xf4\x8f\xbf\xbf"sv, "{\"k\":\"\xf4\x8f\xbf\xbf\"}"sv},         // U+10FFFF
      {"\xe2\x80\xa8"sv, "{\"k\":\"\xe2\x80\xa8\"}"sv},                 // U+2028 is valid JSON
      {"\xf4\x90\x80\x80"sv, R"({"k":"\ufffd\ufffd\ufffd\ufffd"})"sv},  // above U+10FFFF
      {"\xc0\xaf\xc1\xbf"sv, R"({"k":"\ufffd\ufffd\ufffd\ufffd"})"sv},  // overlong 2-byte
      {"\xe0\x80\xaf"sv, R"({"k":"\ufffd\ufffd\ufffd"})"sv},            // overlong 3-byte
      {"\xf0\x8f\xbf\xbf"sv, R"({"k":"\ufffd\ufffd\ufffd\ufffd"})"sv},  // overlong 4-byte
      {"\xed\xa0\x80"sv, R"({"k":"\ufffd\ufffd\ufffd"})"sv},            // surrogate U+D800
      {"\xed\xbf\xbf"sv, R"({"k":"\ufffd\ufffd\ufffd"})"sv},            // surrogate U+DFFF
      {"\x80"sv, R"({"k":"\ufffd"})"sv},                                // stray continuation
      {"\xfe\xff\xf5\xf8"sv, R"({"k":"\ufffd\ufffd\ufffd\ufffd"})"sv},  // never in UTF-8
      {"\xc3"sv, R"({"k":"\ufffd"})"sv},                                // cut at the end
      {"\xe2\x82"sv, R"({"k":"\ufffd\ufffd"})"sv},
      {"\xf0\x9f\x98"sv, R"({"k":"\ufffd\ufffd\ufffd"})"sv},
      {"\xe2\x82"
       "A\xc3\xa9"sv,
       "{\"k\":\"\\ufffd\\ufffdA\xc3\xa9\"}"sv},  // cut, then valid
      {"\xc3\x22"sv, R"({"k":"\ufffd\""})"sv},    // cut by a quote
  };
  std::string out;
  for (const auto& r : rows) {
    SCOPED_TRACE(testing::PrintToString(std::string(r.in)));
    EXPECT_EQ(app_json(out).str("k", r.in).end(), r.out);
  }
  EXPECT_EQ(app_json(out).str("a\"\n\xff", "v").end(), R"({"a\"\n\ufffd":"v"})");
  const char* pc_grown = out.data();  // a reused object allocates nothing
  EXPECT_EQ(app_json(out).str("k", "v").end(), R"({"k":"v"})");
  EXPECT_EQ(out.data(), pc_grown);
}

TEST(app_json, utc_time_with_milliseconds) {
  const struct {
    std::time_t sec;
    long nsec;
    std::string_view text;
  } rows[] = {
      {0, 0, "1970-01-01T00:00:00.000Z"},
      {1796605323, 456789000, "2026-12-07T01:02:03.456Z"},
      {1709251199, 999999999, "2024-02-29T23:59:59.999Z"},  // truncated, never rounded up
      {946684800, 1000000, "2000-01-01T00:00:00.001Z"},
      {-1, 500000000, "1969-12-31T23:59:59.500Z"},
      {253402300799, 0, "9999-12-31T23:59:59.000Z"},
      {0, 1000000000, "1970-01-01T00:00:00.999Z"},  // out of range: clamped
      {0, -5, "1970-01-01T00:00:00.000Z"},
      {std::numeric_limits<std::time_t>::max(), 0, ""},  // no calendar year for it
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.text);
    std::array<char, 32> buf;
    buf.fill('#');
    timespec ts{};
    ts.tv_sec = r.sec;
    ts.tv_nsec = r.nsec;
    const std::string_view got = app_json_time(ts, buf);
    EXPECT_EQ(got, r.text);
    if (!got.empty()) {
      EXPECT_EQ(got.data(), buf.data());
      EXPECT_EQ(buf[got.size()], '\0');
    }
  }
}

TEST(app_json, real_is_fixed_point_and_never_nan) {
  const double inf = std::numeric_limits<double>::infinity();
  const struct {
    double value;
    int decimals;
    std::string_view out;
  } rows[] = {
      {0.25, 3, R"({"k":0.250})"},
      {0.25, 2, R"({"k":0.25})"},
      {-3, 1, R"({"k":-3.0})"},
      {2.675, 2, R"({"k":2.67})"},  // 2.67499999... in binary: not rounded up
      {1e21, 0, R"({"k":1000000000000000000000})"},
      {1e-7, 3, R"({"k":0.000})"},
      {-0.0004, 3, R"({"k":0.000})"},  // no "-0.000"
      {1.7, -1, R"({"k":2})"},
      {0.1, 30, R"({"k":0.10000000000000001})"},  // 17 decimals at most
      {std::numeric_limits<double>::quiet_NaN(), 3, R"({"k":null})"},
      {inf, 1, R"({"k":null})"},
      {-inf, 1, R"({"k":null})"},
  };
  std::string out;
  for (const auto& r : rows) {
    SCOPED_TRACE(r.out);
    EXPECT_EQ(app_json(out).real("k", r.value, r.decimals).end(), r.out);
  }
}
