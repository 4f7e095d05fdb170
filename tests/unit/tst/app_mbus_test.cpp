// Meter data: golden frames (the standard's annex example, and frames built apart from this code
// by scripts/mbus-vectors with Python's AES and CMAC), every truncation of them, wrong
// keys, the frame forms, the data-record table and the keys file's rules.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "app_json.h"
#include "app_mbus_decode.h"
#include "app_mbus_keys.h"
#include "temp_dir.h"

namespace {

using bytes = std::vector<std::uint8_t>;

bytes from_hex(std::string_view s) {
  bytes out;
  for (std::size_t i = 0; i + 1 < s.size(); i += 2) {
    out.push_back(static_cast<std::uint8_t>(std::stoul(std::string(s.substr(i, 2)), nullptr, 16)));
  }
  return out;
}

// The annex example: gas meter 12345678 of ELS, no encryption, no CRC.
constexpr std::string_view annex =
    "2E4493157856341233037A2A0000002F2F0C1427048502046D32371F1502FD1700002F2F2F2F2F2F2F2F2F2F2F2F2"
    "F";
// The same in security mode 5, format A (the annex's key ending 0x11).
constexpr std::string_view annex_mode5_a =
    "2E44931578563412330333637A2A0020255923C95AAA26D1B2E7493BC2AD013EC4A6F6D3529B520EDFF0EA6DEFC9"
    "55B29D6D69EBF3EC8A";
constexpr std::string_view annex_key = "ELS,12345678,0102030405060708090A0B0C0D0E0F11";
constexpr std::string_view annex_records =
    R"([{"dif":"0c","vif":"14","storage":0,"tariff":0,"subunit":0,"function":"instantaneous",)"
    R"("quantity":"volume","unit":"m3","value":28504.27},)"
    R"({"dif":"04","vif":"6d","storage":0,"tariff":0,"subunit":0,"function":"instantaneous",)"
    R"("quantity":"date_time","value":"2008-05-31T23:50"},)"
    R"({"dif":"02","vif":"fd17","storage":0,"tariff":0,"subunit":0,"function":"instantaneous",)"
    R"("quantity":"error_flags","value":0}])";
// Water meter 12345678, format B, extended link layer 0x8C, no transport header: 876.543 m3.
constexpr std::string_view water_b = "1444AE0C7856341201078C2027780B134365877AC5";

// Built by scripts/mbus-vectors; meter ABC 11223344 (water), key 000102...0F.
constexpr std::string_view abc_key = "ABC,11223344,000102030405060708090A0B0C0D0E0F";
constexpr std::string_view mode7 =
    "40444304443322110107900F002C25020100005DDB42D58706527F7A5A00200710382C0EFCBD435C06D2A9DF80"
    "B228EF85E66FF15CD435A6DA1EF9E09CCDF3F0B8";
constexpr std::string_view ell_ctr =
    "264443044433221101078D205B563412205D630218A4476C54943529D07B0F7F0DA26D523CE9C1";
constexpr std::string_view ell_ctr_hop =
    "264443044433221101078D305B563412205D630218A4476C54943529D07B0F7F0DA26D523CE9C1";
constexpr std::string_view partial =
    "2A44D60D999999990131724433221143040107210410053DFBD33C9BE610E39011B0D94B53AB750265D700";
constexpr std::string_view full = "15444304443322110107780413A086010002FD170300";
constexpr std::string_view compact = "144443044433221101077916F25349B08601000000";

// "quantity=value" of each record, for tables.
std::string summary(const app_mbus_decoded& d) {
  std::string s_json;
  app_mbus_records_json(d.records.records, s_json);
  std::string out;
  for (const app_mbus_record& r : d.records.records) {
    std::string s_one;
    app_mbus_records_json({r}, s_one);
    const std::size_t at = s_one.find("\"value\":");
    out += std::string(r.pc_quantity) + "=" + s_one.substr(at + 8, s_one.size() - at - 10) + " ";
  }
  return out;
}

std::string members(const app_mbus_decoded& d) {
  std::string s_out;
  std::string s_scratch;
  app_json json(s_out);
  app_mbus_members(d, json, s_scratch);
  return json.end();
}

struct golden {
  const char* pc_name;
  std::string_view frame;
  std::string_view key;  // "" for none
  const char* pc_form;
  const char* pc_decrypt;
  const char* pc_records;
};

const golden goldens[] = {
    {"annex", annex, "", "none", "none",
     "volume=28504.27 date_time=\"2008-05-31T23:50\" error_flags=0 "},
    {"annex mode 5, format A", annex_mode5_a, annex_key, "A", "ok",
     "volume=28504.27 date_time=\"2008-05-31T23:50\" error_flags=0 "},
    {"format B behind ELL", water_b, "", "B", "none", "volume=876.543 "},
    {"mode 7", mode7, abc_key, "none", "ok", "volume=100.000 date=\"2020-12-31\" error_flags=3 "},
    {"ELL counter mode", ell_ctr, abc_key, "none", "ok",
     "volume=100.000 date=\"2020-12-31\" error_flags=3 "},
    {"ELL counter mode, hop bit", ell_ctr_hop, abc_key, "none", "ok",
     "volume=100.000 date=\"2020-12-31\" error_flags=3 "},
    {"partial, radio converter", partial, abc_key, "none", "ok",
     "volume=100.000 external_temperature=2.15 "},
};

TEST(app_mbus, golden_frames_decode_to_their_records) {
  for (const golden& g : goldens) {
    SCOPED_TRACE(g.pc_name);
    app_mbus_keys keys;
    if (!g.key.empty()) {
      ASSERT_TRUE(keys.add_line(g.key));
    }
    app_mbus_decoder decoder(&keys);
    app_mbus_decoded d;
    decoder.decode(from_hex(g.frame), d);
    const std::string s = members(d);
    EXPECT_NE(s.find(std::string("\"frame_format\":\"") + g.pc_form + "\""), std::string::npos)
        << s;
    EXPECT_STREQ(app_mbus_decrypt_name(d.e_decrypt), g.pc_decrypt);
    EXPECT_EQ(summary(d), g.pc_records) << s;
    EXPECT_EQ(d.records.e_end, app_mbus_records_end::complete);
  }
}

TEST(app_mbus, annex_event_members) {
  app_mbus_decoder decoder;
  app_mbus_decoded d;
  decoder.decode(from_hex(annex), d);
  EXPECT_EQ(members(d),
            std::string(R"({"frame_format":"none","tpl":{"ci":122,"acc":42,"status":0,)"
                        R"("status_text":[],"cf":0,"security_mode":0,"encrypted_blocks":0},)"
                        R"("decrypt":"none","records":)") +
                std::string(annex_records) + "}");
  // The long header names the meter behind a radio converter; the status bits are named.
  app_mbus_keys keys;
  ASSERT_TRUE(keys.add_line(abc_key));
  app_mbus_decoder with_key(&keys);
  with_key.decode(from_hex(partial), d);
  const std::string s = members(d);
  EXPECT_NE(s.find(R"("tpl":{"ci":114,"acc":33,"status":4,"status_text":["power_low"],"cf":1296,)"
                   R"("security_mode":5,"encrypted_blocks":1,"id":"11223344","manufacturer":"ABC",)"
                   R"("version":1,"device_type":7,"device_type_name":"water"})"),
            std::string::npos)
      << s;
}

TEST(app_mbus, wrong_or_missing_keys_are_told_apart) {
  struct row {
    std::string_view frame;
    std::string_view key;
    app_mbus_decrypt e_expected;
  };
  const std::string_view wrong_abc = "ABC,11223344,000102030405060708090A0B0C0D0E0E";
  const row rows[] = {
      {annex_mode5_a, "", app_mbus_decrypt::no_key},
      {annex_mode5_a, "ELS,12345678,0102030405060708090A0B0C0D0E0F10", app_mbus_decrypt::bad_key},
      {annex_mode5_a, "ELS,12345679,0102030405060708090A0B0C0D0E0F11", app_mbus_decrypt::no_key},
      {mode7, wrong_abc, app_mbus_decrypt::mac_fail},
      {mode7, "", app_mbus_decrypt::no_key},
      {ell_ctr, wrong_abc, app_mbus_decrypt::bad_key},
      {ell_ctr, "", app_mbus_decrypt::no_key},
      {partial, wrong_abc, app_mbus_decrypt::bad_key},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(std::string(r.frame.substr(0, 24)) + " " + std::string(r.key));
    app_mbus_keys keys;
    if (!r.key.empty()) {
      ASSERT_TRUE(keys.add_line(r.key));
    }
    app_mbus_decoder decoder(&keys);
    app_mbus_decoded d;
    decoder.decode(from_hex(r.frame), d);
    EXPECT_EQ(d.e_decrypt, r.e_expected) << app_mbus_decrypt_name(d.e_decrypt);
    EXPECT_TRUE(d.records.records.empty());
    EXPECT_FALSE(d.b_records);
  }
  // A MAC changed in one bit fails even with the right key.
  bytes b = from_hex(mode7);
  b[20] ^= 0x01;
  app_mbus_keys keys;
  ASSERT_TRUE(keys.add_line(abc_key));
  app_mbus_decoder decoder(&keys);
  app_mbus_decoded d;
  decoder.decode(b, d);
  EXPECT_EQ(d.e_decrypt, app_mbus_decrypt::mac_fail);
}

// Every prefix of every golden frame's link bytes: a clean partial result, records a prefix of
// the whole frame's (heap copies of the exact size, so a read past the end is caught by ASan).
TEST(app_mbus, every_truncation_gives_a_partial_result) {
  for (const golden& g : goldens) {
    SCOPED_TRACE(g.pc_name);
    app_mbus_keys keys;
    if (!g.key.empty()) {
      ASSERT_TRUE(keys.add_line(g.key));
    }
    std::array<std::uint8_t, 256> buf{};
    app_mbus_form e_form{};
    bool b_crc_ok = false;
    const bytes frame = from_hex(g.frame);
    const auto link_span = app_mbus_link_bytes(frame, buf, e_form, b_crc_ok);
    const bytes link(link_span.begin(), link_span.end());
    app_mbus_decoder decoder(&keys);
    app_mbus_decoded whole;
    decoder.decode_link(link, whole);
    const std::string s_whole = summary(whole);
    for (std::size_t n = 0; n < link.size(); ++n) {
      const auto cut = std::make_unique<std::uint8_t[]>(n + 1);
      std::copy_n(link.begin(), n, cut.get());
      app_mbus_decoded d;
      decoder.decode_link({cut.get(), n}, d);
      const std::string s = summary(d);
      EXPECT_EQ(s_whole.compare(0, s.size(), s), 0) << n << ": " << s;
      EXPECT_TRUE(d.records.e_end == app_mbus_records_end::complete ||
                  d.records.e_end == app_mbus_records_end::truncated)
          << n;
      EXPECT_NE(members(d).find("\"frame_format\":\"none\""), std::string::npos);
      // A cut frame never counts as the whole: fewer records, or the last one cut, or nothing
      // left to decrypt.
      EXPECT_FALSE(s == s_whole && d.records.e_end == app_mbus_records_end::complete &&
                   d.e_decrypt == whole.e_decrypt && n + 16 < link.size())
          << n;
    }
    // Cut frames as a modem would forward them: no form fits their length, or format A's
    // CRCs no longer verify.
    for (std::size_t n = 1; n < frame.size(); ++n) {
      const bytes cut(frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(n));
      app_mbus_decoded d;
      decoder.decode(cut, d);
      EXPECT_FALSE(d.b_records) << n;
    }
  }
}

TEST(app_mbus, frame_forms_are_chosen_only_on_proof) {
  struct row {
    const char* pc_name;
    bytes frame;
    app_mbus_form e_form;
    bool b_crc_ok;
    bool b_records;
  };
  bytes a_bad = from_hex(annex_mode5_a);
  a_bad[30] ^= 0x40;  // one data bit in block 2: its CRC fails
  bytes b_bad = from_hex(water_b);
  b_bad.back() ^= 0x01;  // the CRC itself: taken for a frame without CRC
  bytes longer = from_hex(annex);
  longer.push_back(0x00);
  const row rows[] = {
      {"A", from_hex(annex_mode5_a), app_mbus_form::a, true, false},  // no key: no records
      {"A, a bad block", a_bad, app_mbus_form::a, false, false},
      {"B", from_hex(water_b), app_mbus_form::b, true, true},
      {"B, bad CRC: none", b_bad, app_mbus_form::none, false, true},
      {"none", from_hex(annex), app_mbus_form::none, false, true},
      {"one byte more", longer, app_mbus_form::unknown, false, false},
      {"empty", {}, app_mbus_form::unknown, false, false},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.pc_name);
    app_mbus_decoder decoder;
    app_mbus_decoded d;
    decoder.decode(r.frame, d);
    EXPECT_EQ(d.e_form, r.e_form);
    EXPECT_EQ(d.b_crc_ok, r.b_crc_ok);
    EXPECT_EQ(d.b_records, r.b_records);
  }
  app_mbus_decoder decoder;
  app_mbus_decoded d;
  decoder.decode(a_bad, d);
  EXPECT_EQ(members(d), R"({"frame_format":"A","crc":"bad"})");
}

TEST(app_mbus, compact_frame_needs_the_full_frame_format) {
  app_mbus_decoder decoder;
  app_mbus_decoded d;
  decoder.decode(from_hex(compact), d);
  EXPECT_TRUE(d.b_compact_unknown);
  EXPECT_NE(members(d).find(R"("compact":"unknown format")"), std::string::npos);
  decoder.decode(from_hex(full), d);
  EXPECT_EQ(summary(d), "volume=100.000 error_flags=3 ");
  EXPECT_EQ(decoder.formats(), 1u);
  decoder.decode(from_hex(compact), d);
  EXPECT_FALSE(d.b_compact_unknown);
  EXPECT_EQ(summary(d), "volume=100.016 error_flags=0 ");
  // Another meter's compact frame of the same signature is not this one's.
  bytes other = from_hex(compact);
  other[4] = 0x45;
  decoder.decode(other, d);
  EXPECT_TRUE(d.b_compact_unknown);
}

// One record a row: DIF/VIF part and data, and the record's JSON from "storage" on.
TEST(app_mbus, data_records_table) {
  struct row {
    std::string_view record;
    const char* pc_json;
  };
  const row rows[] = {
      // integers are signed; 8 digits of BCD; negative BCD (top nibble F); 64 bits
      {"0213FEFF", R"("quantity":"volume","unit":"m3","value":-0.002)"},
      {"0C1378563412", R"("quantity":"volume","unit":"m3","value":12345.678)"},
      {"0A5A12F0", R"("quantity":"flow_temperature","unit":"C","value":-1.2)"},
      {"0A5A1201", R"("quantity":"flow_temperature","unit":"C","value":11.2)"},
      {"0A5AF201", R"("quantity":"flow_temperature","unit":"C","value":"f201")"},  // not BCD
      {"07060100000000000000", R"("quantity":"energy","unit":"kWh","value":1)"},
      {"0403E8030000", R"("quantity":"energy","unit":"kWh","value":1.000)"},
      {"040B01000000", R"("quantity":"energy","unit":"kWh","value":0.0002777777777777778)"},
      // 32-bit real 1.5; power; duration in days as seconds; hca; pressure
      {"052B0000C03F", R"("quantity":"power","unit":"W","value":1.5)"},
      {"012301", R"("quantity":"on_time","unit":"s","value":86400)"},
      {"02260200", R"("quantity":"operating_time","unit":"s","value":7200)"},
      {"026E0A00", R"("quantity":"hca","unit":"units","value":10)"},
      {"016A0F", R"("quantity":"pressure","unit":"bar","value":1.5)"},
      {"02424B00", R"("quantity":"volume_flow","unit":"m3/h","value":0.04500)"},
      // storage, tariff and subunit from DIF and DIFEs; function
      {"C4011300000000", R"("storage":3,"tariff":0,"subunit":0,"function":"instantaneous")"},
      {"8460130100000000", R"("storage":0,"tariff":2,"subunit":1,"function":"instantaneous")"},
      {"9480401301000000", R"("storage":0,"tariff":0,"subunit":2,"function":"maximum")"},
      {"241301000000", R"("function":"minimum")"},
      {"341301000000", R"("function":"error")"},
      // the 0xFD table; voltage and current scaled; combinable VIFE names
      {"02FD480100", R"("quantity":"voltage","unit":"V","value":0.1)"},
      {"02FD590100", R"("quantity":"current","unit":"A","value":0.001)"},
      {"01FD0807", R"("quantity":"access_number","value":7)"},
      {"0DFD100341424A", R"("quantity":"customer_location","value":"JBA")"},
      {"0C78785634", nullptr},  // cut: no record
      {"0C7878563412", R"("quantity":"fabrication_number","value":12345678)"},
      {"0493223C00000000", R"("vife":["per_hour"])"},
      {"04933C01000000", R"("vife":["accumulation_if_negative"])"},
      {"04FB10050000", nullptr},
      {"04FB1005000000", R"("quantity":"volume","unit":"m3","value":500)"},
      // plain-text unit (last character first), manufacturer VIF, dates
      {"027C03626B4C0100", R"("quantity":"plain_text","unit":"Lkb","value":1)"},
      {"02FF01AB12", R"("quantity":"raw","value":"ab12")"},
      {"026C9F2C", R"("quantity":"date","value":"2020-12-31")"},
      {"026C0000", R"("quantity":"date","value":"0000")"},
      {"046DB2371F15", R"("quantity":"date_time","value":"b2371f15")"},  // invalid time
      {"066D3B32371F1500", R"("quantity":"date_time","value":"2008-05-31T23:50:59")"},
      // the rest of the tables, a row each
      {"011805", R"("mass","unit":"kg","value":0.005)"},
      {"013302", R"("power","unit":"W","value":0.5555555555555556)"},
      {"013E07", R"("volume_flow","unit":"m3/h","value":7)"},
      {"014803", R"("volume_flow","unit":"m3/h","value":0.000010800)"},
      {"015264", R"("mass_flow","unit":"kg/h","value":10.0)"},
      {"017102", R"("averaging_duration","unit":"s","value":120)"},
      {"017602", R"("actuality_duration","unit":"s","value":7200)"},
      {"017905", R"("enhanced_identification","value":5)"},
      {"017A05", R"("bus_address","value":5)"},
      {"016F05", R"("raw","value":"05")"},
      {"01FD0907", R"("medium","value":7)"},
      {"02FD0A2D2C", R"("manufacturer","value":11309)"},
      {"01FD0B01", R"("parameter_set_id","value":1)"},
      {"01FD0C01", R"("model_version","value":1)"},
      {"01FD0D01", R"("hardware_version","value":1)"},
      {"01FD0E01", R"("firmware_version","value":1)"},
      {"01FD0F01", R"("software_version","value":1)"},
      {"01FD1101", R"("customer","value":1)"},
      {"01FD18FF", R"("error_mask","value":255)"},
      {"01FD1A01", R"("digital_output","value":1)"},
      {"01FD1B01", R"("digital_input","value":1)"},
      {"01FD1F01", R"("remote_control","value":1)"},
      {"02FD74E803", R"("remaining_battery_life","unit":"d","value":1000)"},
      {"01FD3A01", R"("raw","value":"01")"},
      {"01FB0003", R"("energy","unit":"kWh","value":300)"},
      {"01FB0901", R"("energy","unit":"kWh","value":277.77777777777777)"},
      {"01FB1901", R"("mass","unit":"kg","value":1000000)"},
      {"01FB2801", R"("power","unit":"W","value":100000)"},
      {"01FB3001", R"("power","unit":"W","value":27777.777777777777)"},
      {"01FB7001", R"("raw","value":"01")"},
      {"0493A1A3A4A52601000000", R"(["per_minute","per_day","per_week","per_month","per_year"])"},
      {"0493A0BB0101000000", R"("vife":["per_second","accumulation_if_positive"])"},
      // no data; a selection for readout
      {"0013", R"("value":null)"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.record);
    app_mbus_records out;
    app_mbus_records_decode(from_hex(r.record), out);
    if (r.pc_json == nullptr) {
      EXPECT_TRUE(out.records.empty());
      EXPECT_EQ(out.e_end, app_mbus_records_end::truncated);
      continue;
    }
    ASSERT_EQ(out.records.size(), 1u);
    std::string s;
    app_mbus_records_json(out.records, s);
    EXPECT_NE(s.find(r.pc_json), std::string::npos) << s;
  }
}

TEST(app_mbus, special_difs_end_or_skip) {
  app_mbus_records out;
  app_mbus_records_decode(from_hex("2F2F02FD1700000FAABB"), out);
  EXPECT_EQ(out.records.size(), 1u);
  EXPECT_EQ(out.e_end, app_mbus_records_end::manufacturer);
  EXPECT_EQ(out.manufacturer, (bytes{0xAA, 0xBB}));
  EXPECT_FALSE(out.b_more_follow);
  app_mbus_records_decode(from_hex("1F01"), out);
  EXPECT_TRUE(out.b_more_follow);
  app_mbus_records_decode(from_hex("3F00"), out);  // reserved DIF
  EXPECT_EQ(out.e_end, app_mbus_records_end::bad_dif);
  // eleven DIFEs: more than a record may have
  app_mbus_records_decode(from_hex("848080808080808080808000130000"), out);
  EXPECT_EQ(out.e_end, app_mbus_records_end::bad_dif);
}

TEST(app_mbus, keys_file_rules) {
  test_support::temp_dir dir("mbus_keys");
  ASSERT_TRUE(dir.ok());
  const std::string s_path = dir.path() + "/keys";
  const auto write = [&](const std::string& s_text, mode_t mode) {
    std::ofstream(s_path, std::ios::binary | std::ios::trunc) << s_text;
    ASSERT_EQ(::chmod(s_path.c_str(), mode), 0);
  };
  app_mbus_keys keys;
  std::string s_error;
  write(
      "# meters of block 4\n\nels,12345678,0102030405060708090a0b0c0d0e0f11  # gas\n"
      "ABC,11223344,000102030405060708090A0B0C0D0E0F\r\n",
      0600);
  ASSERT_EQ(keys.read(s_path.c_str(), s_error), 1) << s_error;
  EXPECT_EQ(keys.size(), 2u);
  EXPECT_NE(keys.find(0x1593, 0x12345678), nullptr);
  EXPECT_EQ(keys.find(0x1593, 0x12345679), nullptr);
  const struct {
    const char* pc_text;
    mode_t mode;
    const char* pc_error;
  } refusals[] = {
      {"ELS,12345678,0102030405060708090A0B0C0D0E0F11\n", 0640, "group or others may access"},
      {"ELS,12345678,0102030405060708090A0B0C0D0E0F11\n", 0604, "group or others may access"},
      {"# ok\nELS,12345678,0102030405060708090A0B0C0D0E0F1\n", 0600, ":2: not MAN,ID,KEY"},
      {"ELS,1234567,0102030405060708090A0B0C0D0E0F11\n", 0600, ":1: not MAN,ID,KEY"},
      {"EL1,12345678,0102030405060708090A0B0C0D0E0F11\n", 0600, ":1: not MAN,ID,KEY"},
      {"ELS,12345678,0102030405060708090A0B0C0D0E0F1G\n", 0600, ":1: not MAN,ID,KEY"},
      {"ELS,12345678\n", 0600, ":1: not MAN,ID,KEY"},
  };
  for (const auto& r : refusals) {
    SCOPED_TRACE(r.pc_text);
    write(r.pc_text, r.mode);
    EXPECT_EQ(keys.read(s_path.c_str(), s_error), -1);
    EXPECT_NE(s_error.find(r.pc_error), std::string::npos) << s_error;
    EXPECT_EQ(keys.size(), 0u);
    // the key is never in the message
    EXPECT_EQ(s_error.find("0102030405"), std::string::npos);
  }
  EXPECT_EQ(keys.read((dir.path() + "/none").c_str(), s_error), -1);
  EXPECT_NE(s_error.find("No such file"), std::string::npos) << s_error;
}

}  // namespace
