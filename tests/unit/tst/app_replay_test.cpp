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
  char ac[16];
  for (const auto b : f.frame) s += (std::snprintf(ac, sizeof ac, "%02x", b), ac);
  const auto& c = f.copy;
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
const std::string t_time = R"({"event":"frame","time":"2026-12-08T00:27:47.123Z")";
const std::string t0 = t_time + R"(,"raw":"1e44")";
const std::string t0_ms = "1e44 1796689667123 ";

// A frame event of one byte at @p time.
std::string at(const std::string& time) {
  return R"({"event":"frame","raw":"00","time":")" + time + R"("})";
}

std::string deep(int n) {
  return R"({"event":"x","a":)" + std::string(n, '[') + std::string(n, ']') + "}";
}

}  // namespace

TEST(app_replay, lines_table) {
  const struct {
    std::string line;
    std::string frame;  // text() of the frame read
  } frames[] = {
      {real_line, raw + " 1796689667123 1a2b3c4d [10.213.0.11:5683] 0 -70 -12 1700000000 5"},
      {" " + real_line + " \r",
       raw + " 1796689667123 1a2b3c4d [10.213.0.11:5683] 0 -70 -12 1700000000 5"},
      // escapes, in a member kept and in one passed over
      {t0 + R"(,"c_name":"a \"}\" \\ \u00e9\/","address":"gw\u003a\u00e9\ud83d\ude00\"\\"})",
       t0_ms + "- [gw:\xc3\xa9\xf0\x9f\x98\x80\"\\] - 0 0 0 0"},
      {t0 + R"(,"address":"\ud800x\udc00\ud800\u0041\n\t"})",
       t0_ms + "- [\xef\xbf\xbdx\xef\xbf\xbd\xef\xbf\xbd" + "A\n\t] - 0 0 0 0"},
      {R"({ "raw" : "0A0b" , "event" : "frame" , "modem" : "ABC" , "receiver" : 255 ,)"
       R"( "time" : "2024-02-29T23:59:59.999Z" , "rssi_dbm" : -105 , "freq_offset" : 32767 ,)"
       R"( "rtc_sec" : 4294967295 , "rtc_msec" : 65535 })",
       "0a0b 1709251199999 abc [] 255 -105 32767 4294967295 65535"},
      {t0 + R"(,"modem":null,"address":null,"receiver":null,"rssi_dbm":null,"modem":"0"})",
       t0_ms + "0 [] - 0 0 0 0"},
      {t0 + R"(,"freq_offset":-32768,"rssi_dbm":-0,"nested":{"raw":"ff","a":[{"b":[]}]}})",
       t0_ms + "- [] - 0 -32768 0 0"},
      // the last of a repeated member holds
      {t0 + R"(,"raw":"ff00"})", "ff00 1796689667123 - [] - 0 0 0 0"},
      // times: fractions of 1 to 9 digits, the epoch, and every field out of range
      {at("1970-01-01T00:00:00.000Z"), "00 0 - [] - 0 0 0 0"},
      {at("2000-03-01T12:00:00.1Z"), "00 951912000100 - [] - 0 0 0 0"},
      {at("2000-03-01T12:00:00.005999999Z"), "00 951912000005 - [] - 0 0 0 0"},
      // hexadecimal lines
      {"1e44", "1e44 0 - [] - 0 0 0 0"},
      {" \t0A0bFf \r", "0a0bff 0 - [] - 0 0 0 0"},
  };
  // Other events (nested values passed over) and blank lines.
  const std::string skipped[] = {
      R"({"event":"result","seq":9,"answered":["1a2b3c4d"],"not_answered":[],"ok":true})",
      R"({"event":"statistics","receivers":[{"receiver":0,"load":[1,-2.5e+3,{"x":[false,null]}]}]})",
      R"({"event":"response","text":"a \"}]\" \\\"","raw":"zz","time":"x"})",
      R"({"event":"noise","s":"\ud800 \u00E9 \uDFFF","v":[[[]]],"o":{"":{}}})",
      R"(  { "event" : "modem" , "a" : [ 1 , { } ] }  )",
      deep(31),
      "",
      " \t \r"};

  // Malformed: times (fraction of 10 digits or none, a field out of range), raw (missing,
  // empty, odd, not hexadecimal, not a string, nested), members of the wrong type or out of
  // range, broken JSON, junk and bad hexadecimal lines.
  const char* bad_times[] = {
      "2000-03-01T12:00:00.0059999999Z", "2000-03-01T12:00:00.Z",     "2000-03-01T12:00:00Z",
      "2000-03-01T12:00:00.12aZ",        "2000-03-01T12:00:00.1234a", "2026-12-08 00:27:47.123Z",
      "2026-13-08T00:27:47.123Z",        "2026-00-08T00:27:47.123Z",  "2026-02-29T00:27:47.123Z",
      "2100-02-29T00:27:47.123Z",        "2026-04-31T00:27:47.123Z",  "2026-12-00T00:27:47.123Z",
      "2026-12-08T24:00:00.000Z",        "2026-12-08T00:60:00.000Z",  "2026-12-08T00:00:60.000Z",
      "1969-12-31T23:59:59.999Z",        "+026-12-08T00:27:47.123Z"};
  const char* bad_raw[] = {R"(,"raw":"")",   R"(,"raw":"1e4")",        R"(,"raw":"1g")",
                           R"(,"raw":1234)", R"(,"x":{"raw":"1e44"})", ""};
  const char* bad_members[] = {
      R"("receiver":256)",      R"("receiver":-1)",        R"("receiver":"0")",
      R"("rssi_dbm":-70.5)",    R"("rssi_dbm":1e2)",       R"("rssi_dbm":99999999999999999999)",
      R"("freq_offset":32768)", R"("rtc_sec":4294967296)", R"("rtc_msec":-1)",
      R"("rtc_msec":true)",     R"("modem":"123456789")",  R"("modem":"xyz")",
      R"("modem":"")",          R"("modem":"-1")",         R"("modem":305419896)",
      R"("address":[])"};
  // bad_json after {"event":"modem", bad_values after {"event":"modem","a":, junk as it stands.
  const char* bad_json[] = {R"(,})",           R"(} x)",     R"(}{})",          R"( "a":1})",
                            R"(,"s":"\u12)",   R"(,"s":"\)", R"(,"s":"\x41"})", R"(,"s":"\u12g4"})",
                            ",\"s\":\"a\tb\"}"};
  const char* bad_values[] = {"",     "[1,2}}", R"({"b"}})", R"({"b":1,}})", "[1,]}",
                              "tru}", "True}",  "01}",       "-}",           "1.}",
                              ".5}",  "1e}",    "+1}"};
  const std::vector<std::string> junk = {
      R"({"event":1})",   R"({"event":null})",    R"({"seq":1})",       R"({"event":"frame")",
      R"({"event":"fra)", R"({'event':'modem'})", R"({event:"modem"})", deep(32),
      deep(5000)};
  const std::vector<std::string> no_time = {R"({"event":"frame","raw":"00"})",
                                            R"({"event":"frame","raw":"00","time":1796689667123})"};
  const std::vector<std::string> bad_hex = {"1e44\0"s, "hello", "[1,2]", "{}",  "{",
                                            "1",       "1e4",   "1e 44", "0x1e"};
  app_replay_frame out;  // one for every line: nothing of a line may show through the next
  const auto check = [&](const std::string& line, app_replay_line result, const std::string& want) {
    SCOPED_TRACE(line);
    EXPECT_EQ(app_replay_parse(line, &out), result);
    EXPECT_EQ(text(out), want);
  };
  for (const auto& r : frames) check(r.line, app_replay_line::frame, r.frame);
  for (const auto& line : skipped) check(line, app_replay_line::skipped, none);
  const auto bad = [&](const std::string& line) { check(line, app_replay_line::malformed, none); };
  for (const char* pc : bad_times) bad(at(pc));
  for (const char* pc : bad_raw) bad(t_time + pc + "}");
  for (const char* pc : bad_members) bad(t0 + "," + pc + "}");
  for (const char* pc : bad_json) bad(R"({"event":"modem")" + std::string(pc));
  for (const char* pc : bad_values) bad(R"({"event":"modem","a":)" + std::string(pc));
  for (const auto* v : {&junk, &no_time, &bad_hex})
    for (const std::string& line : *v) bad(line);
}

TEST(app_replay, reads_only_the_line_given) {
  // The view ends inside the object or a hex line; what follows in memory is never read.
  const std::string buffer = t0 + "}";
  const std::string_view cut(buffer.data(), buffer.size() - 1);
  app_replay_frame out;
  EXPECT_EQ(app_replay_parse(cut, &out), app_replay_line::malformed);
  EXPECT_EQ(app_replay_parse(std::string_view(buffer.data(), 3), &out), app_replay_line::malformed);
  EXPECT_EQ(app_replay_parse(std::string_view("1e44", 3), &out), app_replay_line::malformed);
  EXPECT_EQ(app_replay_parse(buffer, &out), app_replay_line::frame);
  EXPECT_EQ(app_replay_parse(buffer, nullptr), app_replay_line::malformed);
}
