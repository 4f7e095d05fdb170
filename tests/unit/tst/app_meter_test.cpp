// Meter inventory: statistics and member JSON against hand-computed values, the expected-meters
// parser and file, and the survey verdicts.
#include "app_meter.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "app_json.h"
#include "temp_dir.h"

namespace {

using bytes = std::vector<std::uint8_t>;

// L C M id version device-type, then @p tail (CI and what follows).
bytes frame(const char* man, std::uint32_t u32_id_bcd, std::uint8_t ver, std::uint8_t type,
            const bytes& tail) {
  const unsigned m = (man[0] - 64u) << 10 | (man[1] - 64u) << 5 | (man[2] - 64u);
  bytes f = {0, 0x44, std::uint8_t(m), std::uint8_t(m >> 8)};
  for (int i = 0; i < 32; i += 8) f.push_back(std::uint8_t(u32_id_bcd >> i));
  f.insert(f.end(), {ver, type});
  f.insert(f.end(), tail.begin(), tail.end());
  f[0] = std::uint8_t(f.size() - 1);
  return f;
}

struct copy_row {
  std::optional<std::uint32_t> modem;
  std::optional<std::uint8_t> receiver;
  int rssi;
};

app_telegram telegram(bytes raw, std::int64_t ms, const std::vector<copy_row>& copies,
                      bool repeat = false) {
  app_telegram t;
  t.raw = std::move(raw);
  t.b_repeat = repeat;
  for (const copy_row& r : copies) {
    app_telegram_copy& c = t.copies.emplace_back();
    c.modem = r.modem;
    c.receiver = r.receiver;
    c.i_rssi_dbm = r.rssi;
    c.i64_arrival_ms = ms;
  }
  return t;
}

constexpr std::int64_t base_ms = 1796605323456;  // 2026-12-07T01:02:03.456Z

// Meter ABC 12345678 (short header, access numbers 10, 11, 13; intervals 30 s then 14 s),
// XYZ 00000042 (long header, access numbers 250 then 3), QQQ 0000000a (no header, no copy).
app_meter_inventory fixture() {
  app_meter_inventory inv;
  const auto abc = [](std::uint8_t acc) { return frame("ABC", 0x12345678, 1, 7, {0x7A, acc}); };
  const auto xyz = [](std::uint8_t acc) {
    return frame("XYZ", 0x42, 2, 0x16, {0x72, 0x42, 0, 0, 0, 1, 1, 1, 7, acc, 0});
  };
  inv.add(telegram(abc(10), base_ms, {{0x1a2b, 0, -80}, {0x1a2b, 1, -70}, {{}, {}, -90}}));
  inv.add(telegram(abc(11), base_ms + 30000, {{0x1a2b, 0, -60}}, true));
  inv.add(telegram(abc(13), base_ms + 44000, {{0x1a2b, 0, -81}, {0x3, 2, -75}}));
  inv.add(telegram(xyz(250), base_ms + 1000, {{0x1a2b, 0, -85}}));
  inv.add(telegram(xyz(3), base_ms + 2000, {{0x1a2b, 0, -95}}));
  inv.add(telegram(frame("QQQ", 0xA, 3, 4, {0x78, 0x99}), 0, {}));
  bytes cut = frame("DEF", 1, 1, 7, {});  // no device type: not a meter
  cut.resize(9);
  inv.add(telegram(cut, base_ms, {{1, 1, -1}}));
  inv.add(telegram({}, base_ms, {{1, 1, -1}}));
  return inv;
}

std::string members(const app_meter& m) {
  std::string out;
  app_json json(out);
  app_meter_members(m, json);
  return json.end();
}

}  // namespace

// What member_json shows only in part: the histories in order (the receivers it shows whole).
TEST(app_meter, inventory_statistics) {
  const app_meter_inventory inv = fixture();
  ASSERT_EQ(inv.meters().size(), 3u);
  EXPECT_EQ(inv.not_added(), 0u);
  const app_meter& a = inv.meters().begin()->second;
  EXPECT_EQ(a.id, (app_meter_id{"ABC", "12345678", 1, 7}));
  EXPECT_EQ(a.intervals_ms, (std::vector<std::int64_t>{30000, 14000}));
  EXPECT_EQ(a.acc_seen, (bytes{10, 11, 13}));
  EXPECT_EQ(inv.meters().at({"XYZ", "00000042", 2, 0x16}).acc_seen, (bytes{250, 3}));
}

TEST(app_meter, member_json) {
  const app_meter_inventory inv = fixture();
  EXPECT_EQ(members(inv.meters().begin()->second),
            R"({"manufacturer":"ABC","id":"12345678","version":1,"device_type":7,)"
            R"("first_seen":"2026-12-07T01:02:03.456Z","last_seen":"2026-12-07T01:02:47.456Z",)"
            R"("telegrams":3,"copies":6,"repeats":1,"interval_s":{"median":22.000,"max":30.000},)"
            R"("acc":{"distinct":3,"span":4,"loss_estimate":0.250},)"
            R"("best":{"modem":"1a2b","receiver":0,"rssi_dbm":-60},"receivers":[)"
            R"({"copies":1,"rssi_dbm_max":-90,"rssi_dbm_avg":-90.0,"share":0.333},)"
            R"({"modem":"3","receiver":2,"copies":1,"rssi_dbm_max":-75,"rssi_dbm_avg":-75.0,)"
            R"("share":0.333},)"
            R"({"modem":"1a2b","receiver":0,"copies":3,"rssi_dbm_max":-60,"rssi_dbm_avg":-73.7,)"
            R"("share":1.000},)"
            R"({"modem":"1a2b","receiver":1,"copies":1,"rssi_dbm_max":-70,"rssi_dbm_avg":-70.0,)"
            R"("share":0.333}]})");
  EXPECT_EQ(members(inv.meters().at({"QQQ", "0000000a", 3, 4})),
            R"({"manufacturer":"QQQ","id":"0000000a","version":3,"device_type":4,)"
            R"("first_seen":"1970-01-01T00:00:00.000Z","last_seen":"1970-01-01T00:00:00.000Z",)"
            R"("telegrams":1,"copies":0,"repeats":0,"receivers":[]})");
  // Access numbers wrapping past 255: 250 to 3 spans 10, 2 of them seen.
  const std::string xyz = members(inv.meters().at({"XYZ", "00000042", 2, 0x16}));
  EXPECT_NE(xyz.find(R"("acc":{"distinct":2,"span":10,"loss_estimate":0.800})"), xyz.npos);
}

TEST(app_meter, access_number_by_ci_and_length) {
  const bytes h8 = {0x72, 1, 2, 3, 4, 5, 6, 7, 8};  // long header up to ACC
  const struct {
    bytes tail;
    std::optional<std::uint8_t> acc;
  } rows[] = {
      {{}, {}},
      {{0x7A}, {}},
      {{0x7A, 0x21}, 0x21},
      {h8, {}},
      {{0x72, 1, 2, 3, 4, 5, 6, 7, 8, 0x22}, 0x22},
      {{0x8C, 0x20}, {}},
      {{0x8C, 0x20, 0x23}, 0x23},
      {{0x8D, 0x20, 0x24, 0, 0}, 0x24},
      {{0x78, 0x25, 0x26}, {}},
  };
  for (const auto& r : rows) {
    app_meter_inventory inv;
    inv.add(telegram(frame("ABC", 1, 1, 7, r.tail), 0, {}));
    ASSERT_EQ(inv.meters().size(), 1u);
    EXPECT_EQ(inv.meters().begin()->second.acc_seen, r.acc ? bytes{*r.acc} : bytes{});
  }
}

TEST(app_meter, histories_and_meters_are_bounded) {
  app_meter_inventory inv;
  // Telegram i at i(i+1)/2 ms: interval i, access number i mod 256.
  for (std::int64_t i = 0; i < 1005; ++i)
    inv.add(
        telegram(frame("ABC", 1, 1, 7, {0x7A, std::uint8_t(i)}), i * (i + 1) / 2, {{1, 0, -70}}));
  const app_meter& m = inv.meters().begin()->second;
  ASSERT_EQ(m.intervals_ms.size(), 1000u);
  EXPECT_EQ(m.intervals_ms.front(), 5);
  EXPECT_EQ(m.intervals_ms.back(), 1004);
  ASSERT_EQ(m.acc_seen.size(), 1000u);
  EXPECT_EQ(m.acc_seen.front(), 5);
  EXPECT_EQ(m.acc_seen.back(), 1004 % 256);
  EXPECT_EQ(m.u64_telegrams, 1005u);
  for (std::uint32_t i = 2; i <= APP_METER_MAX; ++i)
    inv.add(telegram(frame("ABC", i, 1, 7, {}), 0, {}));
  inv.add(telegram(frame("ABC", 0, 1, 7, {}), 0, {}));
  inv.add(telegram(frame("ABC", 0, 1, 8, {}), 0, {}));
  inv.add(telegram(frame("ABC", 1, 1, 7, {}), 0, {}));  // a meter already held still counts
  EXPECT_EQ(inv.meters().size(), APP_METER_MAX);
  EXPECT_EQ(inv.not_added(), 2u);
  EXPECT_EQ(m.u64_telegrams, 1006u);
}

TEST(app_meter, parse_expected_table) {
  const struct {
    std::string_view line;
    app_meter_expected e;
  } rows[] = {
      {"ABC,12345678", {"ABC", "12345678", {}, {}}},
      {" abc , 1234abCD , -95 , 2 ", {"ABC", "1234abcd", -95, 2u}},
      {"xYz\t,\t00000000\t,+5", {"XYZ", "00000000", 5, {}}},
      {"ABC,12345678,0,1", {"ABC", "12345678", 0, 1u}},
  };
  const std::string_view bad_ids[] = {
      "ABC,1234567",   "ABC,123456789", "ABC,1234567g", "ABC,1234 678", "AB1,12345678",
      "ABCD,12345678", "A C,12345678",  "ABC;12345678", ",12345678",    "",
      "ABC",           "ABC,,-95"};
  const std::string_view bad_numbers[] = {
      "ABC,12345678,",       "ABC,12345678,-",           "ABC,12345678,- 95",
      "ABC,12345678,-9x5",   "ABC,12345678,99999999999", "ABC,12345678,-95,0",
      "ABC,12345678,-95,-1", "ABC,12345678,-95,+1",      "ABC,12345678,-95,2.5",
      "ABC,12345678,-95,2,x"};
  for (const std::string_view line : bad_ids) EXPECT_FALSE(app_meter_parse_expected(line)) << line;
  for (const std::string_view line : bad_numbers)
    EXPECT_FALSE(app_meter_parse_expected(line)) << line;
  for (const auto& r : rows) {
    SCOPED_TRACE(r.line);
    const auto got = app_meter_parse_expected(r.line);
    ASSERT_TRUE(got);
    EXPECT_EQ(got->s_manufacturer, r.e.s_manufacturer);
    EXPECT_EQ(got->s_id, r.e.s_id);
    EXPECT_EQ(got->min_rssi_dbm, r.e.min_rssi_dbm);
    EXPECT_EQ(got->min_receivers, r.e.min_receivers);
  }
}

TEST(app_meter, read_expected_file) {
  test_support::temp_dir dir("app_meter");
  ASSERT_TRUE(dir.ok());
  const auto read = [&](const std::string& content, std::string& err) {
    std::ofstream(dir / "e") << content;
    return app_meter_read_expected((dir / "e").c_str(), err);
  };
  std::string err;
  auto got = read("# meters\n\nABC,12345678 # kitchen\n \t\n xyz,0000000A,-90,2\r\n", err);
  ASSERT_TRUE(got);
  ASSERT_EQ(got->size(), 2u);
  EXPECT_EQ((*got)[1].s_id, "0000000a");
  EXPECT_EQ((*got)[1].min_receivers, 2u);
  got = read("# only comments\n", err);
  ASSERT_TRUE(got);
  EXPECT_TRUE(got->empty());
  EXPECT_FALSE(read("ABC,12345678\n# c\n\nABC,1234#5678\nABC,1\n", err));
  EXPECT_EQ(err, dir / "e" + ":4: malformed expected meter");
  EXPECT_FALSE(app_meter_read_expected((dir / "none").c_str(), err));
  EXPECT_EQ(err, dir / "none" + ": cannot read: No such file or directory");
  EXPECT_FALSE(app_meter_read_expected(dir.path().c_str(), err));
  EXPECT_EQ(err, dir.path() + ": cannot read: Is a directory");
}

TEST(app_meter, survey_verdicts) {
  app_meter_inventory inv = fixture();  // ABC 12345678: best -60, 4 receivers
  // The same meter in another version: counted with the first.
  inv.add(telegram(frame("ABC", 0x12345678, 2, 7, {}), 0, {{9, 0, -50}, {0x1a2b, 0, -99}}));
  inv.add(telegram(frame("AAA", 7, 1, 7, {}), 0, {{9, 0, -50}}));
  const auto survey = [&](std::initializer_list<const char*> lines) {
    std::vector<app_meter_expected> e;
    for (const char* pc : lines) e.push_back(*app_meter_parse_expected(pc));
    return inv.survey(e);
  };
  // ABC ok only with the second version; XYZ best -85, one receiver; QQQ heard, no copy: no
  // threshold to fail.
  const app_survey s = survey({"ZZZ,00000001", "ABC,12345678,-55,5", "XYZ,00000042,-84,2",
                               "qqq,0000000A", "GHI,00000099,-100"});
  EXPECT_TRUE(s.failed());
  std::string out;
  app_json json(out);
  app_survey_member(s, json);
  EXPECT_EQ(json.end(),
            R"({"survey":{"expected":5,"ok":2,"missing":["GHI,00000099","ZZZ,00000001"],)"
            R"("weak":["XYZ,00000042"],"single":["XYZ,00000042"],"unexpected":["AAA,00000007"]}})");
  // The threshold itself passes; one receiver short fails.
  const app_survey edge = survey({"XYZ,00000042,-85,1", "ABC,12345678,-50,6"});
  EXPECT_EQ(edge.u_ok, 1u);
  EXPECT_EQ(edge.single, std::vector<std::string>{"ABC,12345678"});
  EXPECT_TRUE(edge.weak.empty());
}
