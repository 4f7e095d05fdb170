// Radio telegrams: keys of golden frames (CRCs and hashes computed outside this code), the
// correlation windows, and the members of the telegram event.
#include "app_telegram.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app_json.h"

namespace {

using bytes = std::vector<std::uint8_t>;

// FNV-1a 64 written from its definition; pinned below by values computed outside this code.
std::uint64_t fnv1a(const bytes& b) {
  std::uint64_t h = 0xcbf29ce484222325ULL;
  for (const std::uint8_t u8 : b) h = (h ^ u8) * 0x100000001b3ULL;
  return h;
}

bytes cat(std::initializer_list<bytes> parts) {
  bytes out;
  for (const bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// The CRCs below were computed with a bitwise CRC-16 (polynomial 0x3D65, initial 0, result
// inverted) written apart from this code, whose value for "123456789" is 0xC2B7.

// KAM water meter, short transport header (ACC 0x2A), without CRCs: L = 0x13, 20 bytes.
const bytes f1_head = {0x13, 0x44, 0x2D, 0x2C, 0x78, 0x56, 0x34, 0x12, 0x01, 0x07};
const bytes f1_tail = {0x7A, 0x2A, 0x00, 0x00, 0x00, 0x04, 0x13, 0x39, 0x30, 0x00};
const bytes f1 = cat({f1_head, f1_tail});
// The same in format A: CRC 0xD974 after block 1, 0x733E after block 2.
const bytes f1_a = cat({f1_head, {0xD9, 0x74}, f1_tail, {0x73, 0x3E}});

// L = 0x1E: three format A blocks (10, 16, 5 bytes), CRCs 0xED56, 0x5175, 0x8BEB.
const bytes f2_head = {0x1E, 0x44, 0x2D, 0x2C, 0x78, 0x56, 0x34, 0x12, 0x01, 0x07};
const bytes f2_mid = {0x7A, 0x01, 0x00, 0x00, 0x00, 0x10, 0x11, 0x12,
                      0x13, 0x14, 0x15, 0x16, 0x17, 0x18, 0x19, 0x1A};
const bytes f2_end = {0x1B, 0x1C, 0x1D, 0x1E, 0x1F};
const bytes f2 = cat({f2_head, f2_mid, f2_end});
const bytes f2_a = cat({f2_head, {0xED, 0x56}, f2_mid, {0x51, 0x75}, f2_end, {0x8B, 0xEB}});

// f1's content in format B: L = 0x15 counts the CRC 0x75AC over the 20 bytes before it.
const bytes fb_data = cat({{0x15}, bytes(f1.begin() + 1, f1.end())});
const bytes fb = cat({fb_data, {0x75, 0xAC}});

// Format B over 127 bytes, L = 0x8A: byte i is (7 i + 3) mod 256 but L; CRC 0xF219 over
// bytes 0-124 at 125-126, then 10 bytes and CRC 0x46EC over them.
bytes long_b_byte_range(std::size_t from, std::size_t to) {
  bytes out;
  for (std::size_t i = from; i < to; ++i) out.push_back(static_cast<std::uint8_t>(i * 7 + 3));
  if (from == 0) out[0] = 0x8A;
  return out;
}
const bytes fb_long_data = cat({long_b_byte_range(0, 125), long_b_byte_range(127, 137)});
const bytes fb_long =
    cat({long_b_byte_range(0, 125), {0xF2, 0x19}, long_b_byte_range(127, 137), {0x46, 0xEC}});

// SEN cold water meter, ELL II (CI 0x8D); CC at byte 11: 0x20 as sent, 0x30 (H) relayed.
bytes ell_with_cc(std::uint8_t u8_ci, std::uint8_t u8_cc) {
  return {0x14,  0x44, 0xAE, 0x4C, 0x99, 0x88, 0x77, 0x66, 0x1B, 0x16, u8_ci,
          u8_cc, 0x35, 0x11, 0x22, 0x33, 0x44, 0xAA, 0xBB, 0xCC, 0xDD};
}
const bytes ell = ell_with_cc(0x8D, 0x20);
// The relayed copy in format A: CRCs 0xA34C and 0x6506.
const bytes ell_h = ell_with_cc(0x8D, 0x30);
const bytes ell_h_a = cat({bytes(ell_h.begin(), ell_h.begin() + 10),
                           {0xA3, 0x4C},
                           bytes(ell_h.begin() + 10, ell_h.end()),
                           {0x65, 0x06}});

bytes with(bytes b, std::size_t at, std::uint8_t u8) {
  b.at(at) = u8;
  return b;
}

TEST(app_telegram, key_hashes_link_bytes_without_verified_crcs_and_repeater_bits) {
  EXPECT_EQ(fnv1a({}), 0xcbf29ce484222325ULL);  // the reference, against values computed apart
  EXPECT_EQ(fnv1a(f1), 0x57dea57fbf85935fULL);
  EXPECT_EQ(fnv1a(ell), 0xd384371f6ebfc662ULL);
  const struct {
    const char* pc_name;
    bytes frame;
    std::optional<bytes> hashed = {};  // what the key must be the hash of; none: the frame
    bool b_relayed = false;
  } cases[] = {
      {"empty", {}},
      {"no CRC", f1},
      {"format A, every CRC verified", f1_a, f1},
      {"format A, three blocks", f2_a, f2},
      {"format A, block 1 CRC wrong", with(f1_a, 10, 0xD8)},
      {"format A, last CRC wrong", with(f1_a, 23, 0x3F)},
      {"format A, data byte changed", with(f2_a, 20, 0x00)},
      {"format A, one byte short", bytes(f1_a.begin(), f1_a.end() - 1)},
      {"format B", fb, fb_data},
      {"format B, CRC wrong", with(fb, 21, 0xAD)},
      {"format B, two CRCs", fb_long, fb_long_data},
      {"format B, block 3 CRC wrong", with(fb_long, 138, 0xED)},
      {"format B, block 2 CRC wrong", with(fb_long, 126, 0x18)},
      {"ELL, CC as sent", ell},
      {"ELL, H set", ell_with_cc(0x8D, 0x30), ell, true},
      {"ELL, R set", ell_with_cc(0x8D, 0x22), ell, true},
      {"ELL I, H and R set", ell_with_cc(0x8C, 0x32), ell_with_cc(0x8C, 0x20), true},
      {"ELL 0x8E, H set", ell_with_cc(0x8E, 0x10), ell_with_cc(0x8E, 0x00), true},
      {"ELL 0x8F, R set", ell_with_cc(0x8F, 0x02), ell_with_cc(0x8F, 0x00), true},
      {"ELL, other CC bits kept", ell_with_cc(0x8D, 0xED)},
      {"CI 0x7A: byte 11 is not CC", ell_with_cc(0x7A, 0x12)},
      {"ELL relayed, format A: CRCs out, then H masked", ell_h_a, ell, true},
      {"ELL cut before CC", bytes(ell.begin(), ell.begin() + 11)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pc_name);
    const app_telegram_key k = app_telegram_key_of(c.frame);
    EXPECT_EQ(k.u64_hash, fnv1a(c.hashed.value_or(c.frame)));
    EXPECT_EQ(k.b_relayed, c.b_relayed);
  }
}

app_telegram_copy copy_at(std::int64_t i64_ms, std::optional<std::uint32_t> modem,
                          std::optional<std::uint8_t> receiver = 0, int i_rssi_dbm = -70) {
  app_telegram_copy c;
  c.modem = modem;
  c.receiver = receiver;
  c.i_rssi_dbm = i_rssi_dbm;
  c.i64_arrival_ms = i64_ms;
  return c;
}

// One step: a copy of *frame; no frame: expire() at the copy's arrival, or when that is -1 log
// next_close_ms() and open_count().
struct step {
  const bytes* frame;
  app_telegram_copy copy;
};
step at(const bytes& f, std::int64_t ms, std::optional<std::uint32_t> modem = 1,
        std::optional<std::uint8_t> receiver = 0) {
  return {&f, copy_at(ms, modem, receiver)};
}
step expire(std::int64_t ms) { return {nullptr, copy_at(ms, {})}; }
step probe() { return {nullptr, copy_at(-1, {})}; }

// "FRAME FIRST_MS MODEM.RECEIVER[* when relayed] (decimal)... dDUPLICATES[ repeat]"
std::string text(const app_telegram& t) {
  const std::pair<const char*, const bytes*> names[] = {
      {"f1", &f1}, {"f1_a", &f1_a}, {"f2", &f2}, {"ell", &ell}, {"ell_h_a", &ell_h_a}};
  std::string s = "?";
  for (const auto& [pc, b] : names)
    if (t.raw == *b) s = pc;
  s += " " + std::to_string(t.first_ms());
  for (const app_telegram_copy& c : t.copies)
    s += " " + (c.modem ? std::to_string(*c.modem) : "-") + "." +
         (c.receiver ? std::to_string(*c.receiver) : "-") + (c.b_relayed ? "*" : "");
  return s + " d" + std::to_string(t.u32_duplicates) + (t.b_repeat ? " repeat" : "");
}

TEST(app_telegram, correlation_windows) {
  const struct {
    const char* pc_name;
    std::int64_t i64_window_ms;
    std::vector<step> steps;           // then flush()
    std::vector<std::string> emitted;  // text() of each telegram, and the probes, in order
  } cases[] = {
      {"copies in arrival order, CRCs or not; closed at the window's end",
       2'000,
       {at(f1, 10'000, 0x1234, 0), at(f1, 10'350, 0x5678, 2), at(f1_a, 10'400, 0x9ABC, 1), probe(),
        expire(11'999), probe(), expire(12'000), probe()},
       {"next 12000 open 1", "next 12000 open 1", "f1 10000 4660.0 22136.2 39612.1 d0",
        "next - open 0"}},
      {"relayed copy", 2'000, {at(ell, 0), at(ell_h_a, 40, 2)}, {"ell 0 1.0 2.0* d0"}},
      // After the emission at the window's end, the same key within 60 s is a repeat.
      {"at 2 s", 2'000, {at(f1, 0), at(f1, 2'000, 2)}, {"f1 0 1.0 d0", "f1 2000 2.0 d0 repeat"}},
      {"after", 2'000, {at(f1, 0), at(f1, 2'500, 2)}, {"f1 0 1.0 d0", "f1 2500 2.0 d0 repeat"}},
      {"60 s", 2'000, {at(f1, 0), at(f1, 62'000, 2)}, {"f1 0 1.0 d0", "f1 62000 2.0 d0 repeat"}},
      {"past 60 s", 2'000, {at(f1, 0), at(f1, 62'001, 2)}, {"f1 0 1.0 d0", "f1 62001 2.0 d0"}},
      {"duplicates: same modem and receiver; another receiver or no modem is a copy",
       2'000,
       {at(f1, 0, 7, 1), at(f1, 500, 7, 1), at(f1, 1'000, 7, 1), at(f1, 1'500, 7, 1),
        at(f1, 2'000, 7, 1), at(f1, 2'500, 7, 1), at(f1, 3'000, 7, 1), at(f1, 3'500, 7, 1),
        at(f1, 3'600, 7, 2), at(f1, 3'700, {}), at(f1, 3'800, {})},
       {"f1 0 7.1 d3", "f1 2000 7.1 7.2 -.0 d4 repeat"}},
      {"window 0: every frame at once",
       0,
       {at(f1, 100), probe(), at(f1, 100, 2), at(f1, 100, 2), probe()},
       {"f1 100 1.0 d0", "next - open 0", "f1 100 2.0 d0 repeat", "f1 100 2.0 d0 repeat",
        "next - open 0"}},
      {"oldest first; a join keeps the close time; a time back closes nothing",
       1'000,
       {at(f1, 0), at(f2, 300), at(ell, 600), at(f1, 700, 2), probe(), expire(1'300), probe(),
        expire(1'000), probe()},
       {"next 1000 open 3", "f1 0 1.0 2.0 d0", "f2 300 1.0 d0", "next 1600 open 1",
        "next 1600 open 1", "ell 600 1.0 d0"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pc_name);
    std::vector<std::string> log;
    app_telegram_correlator corr(c.i64_window_ms, [&](const app_telegram& t) {
      EXPECT_EQ(t.u64_key, app_telegram_key_of(t.raw).u64_hash);
      log.push_back(text(t));
    });
    for (const step& s : c.steps) {
      if (s.frame != nullptr) {
        corr.add(*s.frame, s.copy);
      } else if (s.copy.i64_arrival_ms >= 0) {
        corr.expire(s.copy.i64_arrival_ms);
      } else {
        const auto next = corr.next_close_ms();
        log.push_back("next " + (next ? std::to_string(*next) : "-") + " open " +
                      std::to_string(corr.open_count()));
      }
    }
    corr.flush();
    EXPECT_EQ(log, c.emitted);
    EXPECT_EQ(corr.closed_early(), 0u);
  }
}

TEST(app_telegram, opening_past_the_cap_closes_the_oldest_early) {
  std::vector<app_telegram> out;
  app_telegram_correlator corr(APP_TELEGRAM_WINDOW_MAX_MS,
                               [&](const app_telegram& t) { out.push_back(t); });
  const auto frame = [](std::size_t i) {  // a distinct id per telegram
    return with(with(f1, 4, std::uint8_t(i)), 5, std::uint8_t(i >> 8));
  };
  for (std::size_t i = 0; i < APP_TELEGRAM_OPEN_MAX; ++i) corr.add(frame(i), copy_at(i, 1));
  corr.add(frame(1), copy_at(5'000, 2));  // a copy of an open telegram opens nothing
  EXPECT_TRUE(out.empty());
  EXPECT_EQ(corr.closed_early(), 0u);
  corr.add(frame(APP_TELEGRAM_OPEN_MAX), copy_at(5'001, 1));
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].raw, frame(0));
  EXPECT_EQ(corr.closed_early(), 1u);
  EXPECT_EQ(corr.open_count(), APP_TELEGRAM_OPEN_MAX);
  EXPECT_EQ(corr.next_close_ms(), 1 + APP_TELEGRAM_WINDOW_MAX_MS);
  corr.add(frame(0), copy_at(5'002, 1));  // the one closed early was emitted: now a repeat
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[1].raw, frame(1));
  EXPECT_EQ(out[1].copies.size(), 2u);
  corr.flush();
  ASSERT_EQ(out.size(), 2 + APP_TELEGRAM_OPEN_MAX);
  for (std::size_t i = 2; i <= APP_TELEGRAM_OPEN_MAX; ++i) ASSERT_EQ(out[i].raw, frame(i)) << i;
  EXPECT_EQ(out.back().raw, frame(0));
  EXPECT_TRUE(out.back().b_repeat);
  EXPECT_EQ(corr.closed_early(), 2u);
}

std::string members(const app_telegram& t) {
  std::string s;
  app_json json(s);
  app_telegram_members(t, json);
  return json.end();
}

// The link members of f1 (without "acc"), of the long header below and of ell up to its CI.
const std::string kam_link =
    R"("l":19,"c":68,"c_name":"SND_NR","m":11309,"manufacturer":"KAM","id":"12345678",)"
    R"("version":1,"device_type":7,"device_type_name":"water","ci":122,)"
    R"("ci_name":"rsp_short_header",)";
const std::string apa_link =
    R"("l":20,"c":68,"c_name":"SND_NR","m":1537,"manufacturer":"APA","id":"87654321",)"
    R"("version":2,"device_type":2,"device_type_name":"electricity","ci":114,)"
    R"("ci_name":"rsp_long_header",)";
const std::string sen_link = R"("c":68,"c_name":"SND_NR","m":19630,"manufacturer":"SEN",)"
                             R"("id":"66778899","version":27,"device_type":22,)"
                             R"("device_type_name":"cold_water",)";

TEST(app_telegram, members_of_one_telegram) {
  app_telegram t{
      .u64_key = 0xdeadbeef, .raw = f1, .copies = {}, .u32_duplicates = 2, .b_repeat = true};
  app_telegram_copy c1 = copy_at(5'000, 0x1a2b, 3, -80);
  c1.s_address = "10.0.0.2:5683";
  c1.i16_freq_offset = -12;
  c1.u32_rtc_sec = 1000;
  c1.u16_rtc_msec = 250;
  app_telegram_copy c2 = copy_at(5'120, 0xc0ffee, 0, -65);
  c2.s_address = "10.0.0.3:5683";
  c2.i16_freq_offset = 7;
  c2.u32_rtc_sec = 1000;
  c2.u16_rtc_msec = 370;
  c2.b_relayed = true;
  t.copies = {c1, c2, copy_at(5'300, std::nullopt, std::nullopt, -65)};  // the last: a replay
  EXPECT_EQ(
      members(t),
      R"({"key":"00000000deadbeef","length":20,"raw":"13442d2c7856341201077a2a0000000413393000",)" +
          kam_link +
          R"("acc":42,"copies":3,"receivers":[)"
          R"({"modem":"1a2b","address":"10.0.0.2:5683","receiver":3,"rssi_dbm":-80,)"
          R"("freq_offset":-12,"rtc_sec":1000,"rtc_msec":250,"delay_ms":0,"relayed":false},)"
          R"({"modem":"c0ffee","address":"10.0.0.3:5683","receiver":0,"rssi_dbm":-65,)"
          R"("freq_offset":7,"rtc_sec":1000,"rtc_msec":370,"delay_ms":120,"relayed":true},)"
          R"({"rssi_dbm":-65,"freq_offset":0,"rtc_sec":0,"rtc_msec":0,"delay_ms":300,)"
          R"("relayed":false}],"best":{"modem":"c0ffee","receiver":0,"rssi_dbm":-65},)"
          R"("rssi_spread_db":15,"repeat":true,"duplicates":2})");
}

TEST(app_telegram, members_decode_the_link_layer_without_crcs_and_find_the_access_number) {
  bytes long_header = {0x14, 0x44, 0x01, 0x06, 0x21, 0x43, 0x65, 0x87, 0x02, 0x02, 0x72,
                       0x78, 0x56, 0x34, 0x12, 0x2D, 0x2C, 0x01, 0x07, 0x9C, 0x00};
  const struct {
    const char* pc_name;
    bytes frame;
    std::string link;  // the members from "l" to before "copies"
  } cases[] = {
      {"format A: CI and ACC after the CRC of block 1", f1_a, kam_link + R"("acc":42,)"},
      {"long header: ACC at CI + 9", long_header, apa_link + R"("acc":156,)"},
      {"long header cut before ACC", bytes(long_header.begin(), long_header.begin() + 19),
       apa_link},
      {"ELL II: ACC after CC", ell,
       R"("l":20,)" + sen_link + R"("ci":141,"ci_name":"ell_ii","acc":53,)"},
      {"ELL I cut before ACC",
       bytes{0x0B, 0x44, 0xAE, 0x4C, 0x99, 0x88, 0x77, 0x66, 0x1B, 0x16, 0x8C, 0x20},
       R"("l":11,)" + sen_link + R"("ci":140,"ci_name":"ell_i",)"},
      {"short transport header cut before ACC", bytes(f1.begin(), f1.begin() + 11), kam_link},
      {"L and C only", bytes{0x05, 0x44}, R"("l":5,"c":68,"c_name":"SND_NR",)"},
      {"empty", bytes{}, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pc_name);
    const std::string s = members({.u64_key = 0, .raw = c.frame, .copies = {copy_at(0, 1)}});
    const std::size_t from = s.find(',', s.find("\"raw\":")) + 1;
    const std::size_t to = s.find("\"copies\":");
    ASSERT_NE(to, std::string::npos);
    EXPECT_EQ(s.substr(from, to - from), c.link);
    EXPECT_NE(s.find(",\"length\":" + std::to_string(c.frame.size()) + ","), std::string::npos);
  }
}

}  // namespace
