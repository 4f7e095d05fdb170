// Recorded frames read back: frame events, other events, hexadecimal lines and broken JSON,
// each line with what it must give.
#include "app_replay.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

using namespace std::string_literals;

namespace {

// frame hex, arrival ms, modem, [address], receiver, rssi, freq offset, rtc sec, rtc msec
std::string text(const app_replay_frame& f) {
  std::string s;
  for (const auto b : f.frame) {
    char ac[3];
    std::snprintf(ac, sizeof ac, "%02x", b);
    s += ac;
  }
  const auto& c = f.copy;
  char ac[64];
  std::snprintf(ac, sizeof ac, "%x", c.modem.value_or(0));
  s += " " + std::to_string(c.i64_arrival_ms) + " " + (c.modem ? ac : "-") + " [" + c.s_address +
       "] " + (c.receiver ? std::to_string(*c.receiver) : "-") + " " +
       std::to_string(c.i_rssi_dbm) + " " + std::to_string(c.i16_freq_offset) + " " +
       std::to_string(c.u32_rtc_sec) + " " + std::to_string(c.u16_rtc_msec);
  return s;
}

constexpr const char* none = " 0 - [] - 0 0 0 0";  // text() of a line that gives no frame

// The default 31-byte frame of the simulator, as lanmodem -j writes it.
const std::string raw = "1e442d2c7856341201077a1a0000000c1312345678046d2c1a4b2202fd1700";
const std::string real_line =
    R"({"event":"frame","seq":3,"time":"2026-12-08T00:27:47.123Z","modem":"1a2b3c4d",)"
    R"("address":"10.213.0.11:5683","rtc_sec":1700000000,"rtc_msec":5,"freq_hz":868950000,)"
    R"("rssi_dbm":-70,"freq_offset":-12,"rf_mod":16,"receiver":0,"length":31,"raw":")" +
    raw +
    R"(","l":30,"c":68,"c_name":"SND_NR","m":11309,"manufacturer":"KAM","id":"12345678",)"
    R"("version":1,"device_type":7,"device_type_name":"water","ci":122,"ci_name":"short"})";
// A frame event with only the members a replay needs; the rest is appended before "}".
const std::string t0 = R"({"event":"frame","time":"2026-12-08T00:27:47.123Z","raw":"1e44")";
const std::string t0_ms = "1e44 1796689667123 ";

std::string deep(int n) {
  return R"({"event":"x","a":)" + std::string(n, '[') + std::string(n, ']') + "}";
}

}  // namespace

TEST(app_replay, lines_table) {
  const struct {
    std::string line;
    app_replay_line result;
    std::string want;  // text() of the output
  } rows[] = {
      {real_line, app_replay_line::frame,
       raw + " 1796689667123 1a2b3c4d [10.213.0.11:5683] 0 -70 -12 1700000000 5"},
      {" " + real_line + " \r", app_replay_line::frame,
       raw + " 1796689667123 1a2b3c4d [10.213.0.11:5683] 0 -70 -12 1700000000 5"},
      // escapes, in a member kept and in one passed over
      {t0 + R"(,"c_name":"a \"}\" \\ \u00e9\/","address":"gw\u003a\u00e9\ud83d\ude00\"\\"})",
       app_replay_line::frame, t0_ms + "- [gw:\xc3\xa9\xf0\x9f\x98\x80\"\\] - 0 0 0 0"},
      {t0 + R"(,"address":"\ud800x\udc00\ud800\u0041\n\t"})", app_replay_line::frame,
       t0_ms + "- [\xef\xbf\xbdx\xef\xbf\xbd\xef\xbf\xbd" + "A\n\t] - 0 0 0 0"},
      {R"({ "raw" : "0A0b" , "event" : "frame" , "modem" : "ABC" , "receiver" : 255 ,)"
       R"( "time" : "2024-02-29T23:59:59.999Z" , "rssi_dbm" : -105 , "freq_offset" : 32767 ,)"
       R"( "rtc_sec" : 4294967295 , "rtc_msec" : 65535 })",
       app_replay_line::frame, "0a0b 1709251199999 abc [] 255 -105 32767 4294967295 65535"},
      {t0 + R"(,"modem":null,"address":null,"receiver":null,"rssi_dbm":null,"modem":"0"})",
       app_replay_line::frame, t0_ms + "0 [] - 0 0 0 0"},
      {t0 + R"(,"freq_offset":-32768,"rssi_dbm":-0,"nested":{"raw":"ff","a":[{"b":[]}]}})",
       app_replay_line::frame, t0_ms + "- [] - 0 -32768 0 0"},
      // the last of a repeated member holds
      {t0 + R"(,"raw":"ff00"})", app_replay_line::frame, "ff00 1796689667123 - [] - 0 0 0 0"},
      // times: fractions of 1 to 9 digits, the epoch, and every field out of range
      {R"({"event":"frame","raw":"00","time":"1970-01-01T00:00:00.000Z"})", app_replay_line::frame,
       "00 0 - [] - 0 0 0 0"},
      {R"({"event":"frame","raw":"00","time":"2000-03-01T12:00:00.1Z"})", app_replay_line::frame,
       "00 951912000100 - [] - 0 0 0 0"},
      {R"({"event":"frame","raw":"00","time":"2000-03-01T12:00:00.005999999Z"})",
       app_replay_line::frame, "00 951912000005 - [] - 0 0 0 0"},
      {R"({"event":"frame","raw":"00","time":"2000-03-01T12:00:00.0059999999Z"})",
       app_replay_line::malformed, none},
      {R"({"event":"frame","raw":"00","time":"2000-03-01T12:00:00.Z"})", app_replay_line::malformed,
       none},
      {R"({"event":"frame","raw":"00","time":"2000-03-01T12:00:00Z"})", app_replay_line::malformed,
       none},
      {R"({"event":"frame","raw":"00","time":"2000-03-01T12:00:00.12aZ"})",
       app_replay_line::malformed, none},
      {R"({"event":"frame","raw":"00","time":"2000-03-01T12:00:00.1234a"})",
       app_replay_line::malformed, none},
      {R"({"event":"frame","raw":"00","time":"2026-12-08 00:27:47.123Z"})",
       app_replay_line::malformed, none},
      {R"({"event":"frame","raw":"00","time":"2026-13-08T00:27:47.123Z"})",
       app_replay_line::malformed, none},
      {R"({"event":"frame","raw":"00","time":"2026-00-08T00:27:47.123Z"})",
       app_replay_line::malformed, none},
      {R"({"event":"frame","raw":"00","time":"2026-02-29T00:27:47.123Z"})",
       app_replay_line::malformed, none},
      {R"({"event":"frame","raw":"00","time":"2100-02-29T00:27:47.123Z"})",
       app_replay_line::malformed, none},
      {R"({"event":"frame","raw":"00","time":"2026-04-31T00:27:47.123Z"})",
       app_replay_line::malformed, none},
      {R"({"event":"frame","raw":"00","time":"2026-12-00T00:27:47.123Z"})",
       app_replay_line::malformed, none},
      {R"({"event":"frame","raw":"00","time":"2026-12-08T24:00:00.000Z"})",
       app_replay_line::malformed, none},
      {R"({"event":"frame","raw":"00","time":"2026-12-08T00:60:00.000Z"})",
       app_replay_line::malformed, none},
      {R"({"event":"frame","raw":"00","time":"2026-12-08T00:00:60.000Z"})",
       app_replay_line::malformed, none},
      {R"({"event":"frame","raw":"00","time":"1969-12-31T23:59:59.999Z"})",
       app_replay_line::malformed, none},
      {R"({"event":"frame","raw":"00","time":"+026-12-08T00:27:47.123Z"})",
       app_replay_line::malformed, none},
      {R"({"event":"frame","raw":"00","time":1796689667123})", app_replay_line::malformed, none},
      {R"({"event":"frame","raw":"00"})", app_replay_line::malformed, none},
      // raw missing, empty, odd, not hexadecimal, not a string
      {R"({"event":"frame","time":"2026-12-08T00:27:47.123Z"})", app_replay_line::malformed, none},
      {R"({"event":"frame","time":"2026-12-08T00:27:47.123Z","raw":""})",
       app_replay_line::malformed, none},
      {R"({"event":"frame","time":"2026-12-08T00:27:47.123Z","raw":"1e4"})",
       app_replay_line::malformed, none},
      {R"({"event":"frame","time":"2026-12-08T00:27:47.123Z","raw":"1g"})",
       app_replay_line::malformed, none},
      {R"({"event":"frame","time":"2026-12-08T00:27:47.123Z","raw":1234})",
       app_replay_line::malformed, none},
      {R"({"event":"frame","time":"2026-12-08T00:27:47.123Z","x":{"raw":"1e44"}})",
       app_replay_line::malformed, none},
      // members of the wrong type or out of range
      {t0 + R"(,"receiver":256})", app_replay_line::malformed, none},
      {t0 + R"(,"receiver":-1})", app_replay_line::malformed, none},
      {t0 + R"(,"receiver":"0"})", app_replay_line::malformed, none},
      {t0 + R"(,"rssi_dbm":-70.5})", app_replay_line::malformed, none},
      {t0 + R"(,"rssi_dbm":1e2})", app_replay_line::malformed, none},
      {t0 + R"(,"rssi_dbm":99999999999999999999})", app_replay_line::malformed, none},
      {t0 + R"(,"freq_offset":32768})", app_replay_line::malformed, none},
      {t0 + R"(,"rtc_sec":4294967296})", app_replay_line::malformed, none},
      {t0 + R"(,"rtc_msec":-1})", app_replay_line::malformed, none},
      {t0 + R"(,"rtc_msec":true})", app_replay_line::malformed, none},
      {t0 + R"(,"modem":"123456789"})", app_replay_line::malformed, none},
      {t0 + R"(,"modem":"xyz"})", app_replay_line::malformed, none},
      {t0 + R"(,"modem":""})", app_replay_line::malformed, none},
      {t0 + R"(,"modem":"-1"})", app_replay_line::malformed, none},
      {t0 + R"(,"modem":305419896})", app_replay_line::malformed, none},
      {t0 + R"(,"address":[]})", app_replay_line::malformed, none},
      // other events, nested values passed over
      {R"({"event":"result","seq":9,"answered":["1a2b3c4d"],"not_answered":[],"ok":true})",
       app_replay_line::skipped, none},
      {R"({"event":"statistics","receivers":[{"receiver":0,"load":[1,-2.5e+3,{"x":[false,null]}]}]})",
       app_replay_line::skipped, none},
      {R"({"event":"response","text":"a \"}]\" \\\"","raw":"zz","time":"x"})",
       app_replay_line::skipped, none},
      {R"({"event":"noise","s":"\ud800 \u00E9 \uDFFF","v":[[[]]],"o":{"":{}}})",
       app_replay_line::skipped, none},
      {R"(  { "event" : "modem" , "a" : [ 1 , { } ] }  )", app_replay_line::skipped, none},
      {deep(31), app_replay_line::skipped, none},
      {deep(32), app_replay_line::malformed, none},
      {deep(5000), app_replay_line::malformed, none},
      // blank lines
      {"", app_replay_line::skipped, none},
      {" \t \r", app_replay_line::skipped, none},
      // hexadecimal lines
      {"1e44", app_replay_line::frame, "1e44 0 - [] - 0 0 0 0"},
      {" \t0A0bFf \r", app_replay_line::frame, "0a0bff 0 - [] - 0 0 0 0"},
      {"1", app_replay_line::malformed, none},
      {"1e4", app_replay_line::malformed, none},
      {"1e 44", app_replay_line::malformed, none},
      {"0x1e", app_replay_line::malformed, none},
      {"1e44\0"s, app_replay_line::malformed, none},
      // junk and broken JSON
      {"hello", app_replay_line::malformed, none},
      {"[1,2]", app_replay_line::malformed, none},
      {"{}", app_replay_line::malformed, none},
      {R"({"event":1})", app_replay_line::malformed, none},
      {R"({"event":null})", app_replay_line::malformed, none},
      {R"({"seq":1})", app_replay_line::malformed, none},
      {"{", app_replay_line::malformed, none},
      {R"({"event":"frame")", app_replay_line::malformed, none},
      {R"({"event":"fra)", app_replay_line::malformed, none},
      {R"({"event":"modem","a":)", app_replay_line::malformed, none},
      {R"({"event":"modem","s":"\u12)", app_replay_line::malformed, none},
      {R"({"event":"modem","s":"\)", app_replay_line::malformed, none},
      {R"({"event":"modem","a":[1,2}})", app_replay_line::malformed, none},
      {R"({"event":"modem","a":{"b"}})", app_replay_line::malformed, none},
      {R"({"event":"modem","a":{"b":1,}})", app_replay_line::malformed, none},
      {R"({"event":"modem","a":[1,]})", app_replay_line::malformed, none},
      {R"({"event":"modem",})", app_replay_line::malformed, none},
      {R"({"event":"modem"} x)", app_replay_line::malformed, none},
      {R"({"event":"modem"}{})", app_replay_line::malformed, none},
      {R"({"event":"modem" "a":1})", app_replay_line::malformed, none},
      {R"({'event':'modem'})", app_replay_line::malformed, none},
      {R"({event:"modem"})", app_replay_line::malformed, none},
      {R"({"event":"modem","s":"\x41"})", app_replay_line::malformed, none},
      {R"({"event":"modem","s":"\u12g4"})", app_replay_line::malformed, none},
      {"{\"event\":\"modem\",\"s\":\"a\tb\"}", app_replay_line::malformed, none},
      {R"({"event":"modem","a":tru})", app_replay_line::malformed, none},
      {R"({"event":"modem","a":True})", app_replay_line::malformed, none},
      {R"({"event":"modem","a":01})", app_replay_line::malformed, none},
      {R"({"event":"modem","a":-})", app_replay_line::malformed, none},
      {R"({"event":"modem","a":1.})", app_replay_line::malformed, none},
      {R"({"event":"modem","a":.5})", app_replay_line::malformed, none},
      {R"({"event":"modem","a":1e})", app_replay_line::malformed, none},
      {R"({"event":"modem","a":+1})", app_replay_line::malformed, none},
  };
  // One output for every row: nothing of a line may show through the next one.
  app_replay_frame out;
  for (const auto& r : rows) {
    SCOPED_TRACE(r.line);
    EXPECT_EQ(app_replay_parse(r.line, &out), r.result);
    EXPECT_EQ(text(out), r.want);
  }
}

TEST(app_replay, reads_only_the_line_given) {
  // The view ends inside the object; what follows in memory is never read.
  const std::string buffer = t0 + "}";
  const std::string_view cut(buffer.data(), buffer.size() - 1);
  app_replay_frame out;
  EXPECT_EQ(app_replay_parse(cut, &out), app_replay_line::malformed);
  EXPECT_EQ(app_replay_parse(std::string_view(buffer.data(), 3), &out), app_replay_line::malformed);
  EXPECT_EQ(app_replay_parse(buffer, &out), app_replay_line::frame);
  EXPECT_EQ(app_replay_parse(buffer, nullptr), app_replay_line::malformed);
}
