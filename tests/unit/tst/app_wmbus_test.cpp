#include "app_wmbus.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace {

using bytes = std::vector<std::uint8_t>;

struct golden {
  const char* pc_what;
  bytes frame;
  std::uint8_t l, c;
  std::uint16_t m;
  const char* manufacturer;
  std::uint32_t id_bcd;
  const char* id;
  std::uint8_t version, device_type, ci;
  const char* c_name;       // nullptr: no name
  const char* device_name;  // nullptr: no name
  const char* ci_name;      // nullptr: no name
};

// Frames as the modem delivers them (L-field first, no CRC blocks), each decoded by hand.
const golden goldens[] = {
    {"water meter, short header",
     {0x1E, 0x44, 0x2D, 0x2C, 0x78, 0x56, 0x34, 0x12, 0x01, 0x07, 0x7A, 0x01, 0x00, 0x00, 0x00},
     0x1E,
     0x44,
     0x2C2D,
     "KAM",
     0x12345678,
     "12345678",
     0x01,
     0x07,
     0x7A,
     "SND_NR",
     "water",
     "rsp_short_header"},
    {"gas meter, short header",
     {0x2E, 0x44, 0x93, 0x15, 0x78, 0x56, 0x34, 0x12, 0x33, 0x03, 0x7A, 0x2A, 0x00, 0x20, 0x25},
     0x2E,
     0x44,
     0x1593,
     "ELS",
     0x12345678,
     "12345678",
     0x33,
     0x03,
     0x7A,
     "SND_NR",
     "gas",
     "rsp_short_header"},
    {"water meter, other id",
     {0x18, 0x44, 0xAE, 0x4C, 0x44, 0x55, 0x22, 0x33, 0x68, 0x07, 0x7A, 0x55, 0x00, 0x00, 0x00},
     0x18,
     0x44,
     0x4CAE,
     "SEN",
     0x33225544,
     "33225544",
     0x68,
     0x07,
     0x7A,
     "SND_NR",
     "water",
     "rsp_short_header"},
    {"cold water meter behind an extended link layer",
     {0x2D, 0x44, 0x2D, 0x2C, 0x99, 0x88, 0x77, 0x66, 0x1B, 0x16, 0x8D, 0x20},
     0x2D,
     0x44,
     0x2C2D,
     "KAM",
     0x66778899,
     "66778899",
     0x1B,
     0x16,
     0x8D,
     "SND_NR",
     "cold_water",
     "ell_ii"},
    {"installation request, long header",
     {0x0C, 0x46, 0x01, 0x06, 0x21, 0x43, 0x65, 0x87, 0x02, 0x02, 0x72},
     0x0C,
     0x46,
     0x0601,
     "APA",
     0x87654321,
     "87654321",
     0x02,
     0x02,
     0x72,
     "SND_IR",
     "electricity",
     "rsp_long_header"},
    {"nibbles above 9, zero manufacturer, values without names",
     {0x0F, 0x08, 0x00, 0x00, 0xBA, 0x00, 0x00, 0xF0, 0xFF, 0x80, 0xA0},
     0x0F,
     0x08,
     0x0000,
     "@@@",
     0xF00000BA,
     "f00000ba",
     0xFF,
     0x80,
     0xA0,
     "RSP_UD",
     nullptr,
     nullptr},
    {"bit 15 ignored, groups above 26 kept",
     {0xFF, 0xFF, 0xFF, 0xFF, 0x09, 0x90, 0x00, 0x00, 0x00, 0x00, 0x90, 0xEE},
     0xFF,
     0xFF,
     0xFFFF,
     "___",
     0x00009009,
     "00009009",
     0x00,
     0x00,
     0x90,
     nullptr,
     "other",
     "afl"},
};

void expect_link(const wmbus_link& got, const golden& g, int fields) {
  EXPECT_EQ(got.u8_fields, fields);
  EXPECT_EQ(got.u8_l, fields >= 1 ? g.l : 0);
  EXPECT_EQ(got.u8_c, fields >= 2 ? g.c : 0);
  EXPECT_EQ(got.u16_m, fields >= 3 ? g.m : 0);
  EXPECT_STREQ(got.ac_manufacturer, fields >= 3 ? g.manufacturer : "");
  EXPECT_EQ(got.u32_id_bcd, fields >= 4 ? g.id_bcd : 0u);
  EXPECT_STREQ(got.ac_id, fields >= 4 ? g.id : "");
  EXPECT_EQ(got.u8_version, fields >= 5 ? g.version : 0);
  EXPECT_EQ(got.u8_device_type, fields >= 6 ? g.device_type : 0);
  EXPECT_EQ(got.u8_ci, fields >= 7 ? g.ci : 0);
}

const char* or_null(const char* p) { return p ? p : "(null)"; }

}  // namespace

TEST(app_wmbus, golden_frames_decode_with_their_names) {
  for (const golden& g : goldens) {
    SCOPED_TRACE(g.pc_what);
    wmbus_link link;
    std::memset(&link, 0xA5, sizeof link);  // stale content must not survive
    ASSERT_EQ(app_wmbus_decode(g.frame, &link), 1);
    expect_link(link, g, 7);
    EXPECT_STREQ(or_null(app_wmbus_c_name(link.u8_c)), or_null(g.c_name));
    EXPECT_STREQ(or_null(app_wmbus_device_type_name(link.u8_device_type)), or_null(g.device_name));
    EXPECT_STREQ(or_null(app_wmbus_ci_name(link.u8_ci)), or_null(g.ci_name));
  }
}

TEST(app_wmbus, truncated_frames_leave_missing_fields_out) {
  // Frame length -> result and fields held.
  const struct {
    std::size_t len;
    int rc;
    int fields;
  } cuts[] = {{0, -1, 0}, {1, 1, 1}, {2, 1, 2}, {3, 1, 2}, {4, 1, 3},  {5, 1, 3},
              {6, 1, 3},  {7, 1, 3}, {8, 1, 4}, {9, 1, 5}, {10, 1, 6}, {11, 1, 7}};
  for (const golden& g : goldens) {
    for (const auto& cut : cuts) {
      SCOPED_TRACE(std::string(g.pc_what) + ", length " + std::to_string(cut.len));
      wmbus_link link;
      std::memset(&link, 0xA5, sizeof link);
      EXPECT_EQ(app_wmbus_decode(std::span(g.frame).first(cut.len), &link), cut.rc);
      expect_link(link, g, cut.fields);
    }
  }
  EXPECT_EQ(app_wmbus_decode(goldens[0].frame, nullptr), -1);
}

TEST(app_wmbus, c_field_names_and_masked_bits) {
  const struct {
    std::uint8_t c;
    const char* name;
  } rows[] = {
      {0x40, "SND_NKE"}, {0x43, "SND_UD2"}, {0x44, "SND_NR"},  {0x46, "SND_IR"},
      {0x47, "ACC_NR"},  {0x48, "ACC_DMD"}, {0x53, "SND_UD"},  {0x73, "SND_UD"},
      {0x5A, "REQ_UD1"}, {0x7A, "REQ_UD1"}, {0x5B, "REQ_UD2"}, {0x7B, "REQ_UD2"},
      {0x00, "ACK"},     {0x10, "ACK"},     {0x20, "ACK"},     {0x30, "ACK"},
      {0x01, "NACK"},    {0x31, "NACK"},    {0x06, "CNF_IR"},  {0x26, "CNF_IR"},
      {0x08, "RSP_UD"},  {0x18, "RSP_UD"},  {0x28, "RSP_UD"},  {0x38, "RSP_UD"},
      {0x64, nullptr},  // FCB without FCV
      {0x54, nullptr},  // FCV on a function that takes no FCB
      {0x63, nullptr},   {0xC4, nullptr},   {0x88, nullptr},   {0x80, nullptr},
      {0x45, nullptr},   {0x02, nullptr},   {0x0A, nullptr},   {0x4F, nullptr},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.c);
    EXPECT_STREQ(or_null(app_wmbus_c_name(r.c)), or_null(r.name));
  }
  // Six unmasked primary values, three primary values twice (FCB) and four secondary values
  // four times (ACD, DFC): no other byte may get a name.
  int named = 0;
  for (int c = 0; c < 256; ++c) named += app_wmbus_c_name(static_cast<std::uint8_t>(c)) != nullptr;
  EXPECT_EQ(named, 6 + 3 * 2 + 4 * 4);
}

TEST(app_wmbus, device_type_and_ci_names) {
  const struct {
    std::uint8_t v;
    const char* name;
  } types[] = {
      {0x00, "other"},
      {0x01, "oil"},
      {0x02, "electricity"},
      {0x03, "gas"},
      {0x04, "heat"},
      {0x05, "steam"},
      {0x06, "warm_water"},
      {0x07, "water"},
      {0x08, "heat_cost_allocator"},
      {0x09, "compressed_air"},
      {0x0C, "heat_inlet"},
      {0x0F, "unknown_medium"},
      {0x15, "hot_water"},
      {0x16, "cold_water"},
      {0x1A, "smoke_detector"},
      {0x21, "valve"},
      {0x28, "waste_water"},
      {0x37, "radio_converter_meter"},
      {0x10, nullptr},
      {0x1D, nullptr},
      {0x22, nullptr},
      {0x3F, nullptr},
      {0x80, nullptr},
      {0xFF, nullptr},
  };
  for (const auto& t : types) {
    SCOPED_TRACE(t.v);
    EXPECT_STREQ(or_null(app_wmbus_device_type_name(t.v)), or_null(t.name));
  }
  const struct {
    std::uint8_t v;
    const char* name;
  } cis[] = {
      {0x72, "rsp_long_header"},
      {0x78, "rsp_no_header"},
      {0x7A, "rsp_short_header"},
      {0x8C, "ell_i"},
      {0x8E, "ell_iii"},
      {0x90, "afl"},
      {0x51, "cmd_no_header"},
      {0x5B, "cmd_long_header"},
      {0x6F, "error_long_header"},
      {0x75, "alarm_long_header"},
      {0x8A, "tpl_short_header"},
      {0x00, nullptr},
      {0x73, nullptr},
      {0x79, nullptr},
      {0x91, nullptr},
      {0xFF, nullptr},
  };
  for (const auto& c : cis) {
    SCOPED_TRACE(c.v);
    EXPECT_STREQ(or_null(app_wmbus_ci_name(c.v)), or_null(c.name));
  }
}

TEST(app_wmbus, every_name_is_unique_and_machine_friendly) {
  const struct {
    const char* (*fn)(std::uint8_t);
    bool upper;
    bool unique;  // the C-field maps masked twins onto one name
  } tables[] = {{app_wmbus_c_name, true, false},
                {app_wmbus_device_type_name, false, true},
                {app_wmbus_ci_name, false, true}};
  for (const auto& t : tables) {
    std::set<std::string> seen;
    for (int v = 0; v < 256; ++v) {
      const char* p = t.fn(static_cast<std::uint8_t>(v));
      if (p == nullptr) continue;
      SCOPED_TRACE(p);
      const std::string s(p);
      ASSERT_FALSE(s.empty());
      for (const char ch : s) {
        EXPECT_TRUE(ch == '_' || std::isdigit(static_cast<unsigned char>(ch)) ||
                    (t.upper ? std::isupper(static_cast<unsigned char>(ch))
                             : std::islower(static_cast<unsigned char>(ch))));
      }
      if (t.unique) {
        EXPECT_TRUE(seen.insert(s).second);
      }
    }
  }
}
