// Wireless M-Bus link layer: frames decoded by hand and every cut of them.
#include "app_wmbus.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

// L C M manufacturer id-BCD id version device-type CI, then the three names ("-": none).
std::string text(const wmbus_link& l) {
  char ac[128];
  const auto name = [](const char* pc) { return pc ? pc : "-"; };
  std::snprintf(ac, sizeof ac, "%02X %02X %04X %s %08X %s %02X %02X %02X | %s %s %s", l.u8_l,
                l.u8_c, l.u16_m, l.ac_manufacturer, l.u32_id_bcd, l.ac_id, l.u8_version,
                l.u8_device_type, l.u8_ci, name(app_wmbus_c_name(l.u8_c)),
                name(app_wmbus_device_type_name(l.u8_device_type)),
                name(app_wmbus_ci_name(l.u8_ci)));
  return ac;
}

// The fields of @p full a frame holding @p n_fields fields keeps; the others read as zero.
std::string cut_to(const std::string& full, int n_fields) {
  static constexpr int needs[] = {1, 2, 3, 3, 4, 4, 5, 6, 7};
  std::string out;
  std::size_t b = 0;
  for (int i = 0; i < 9; ++i) {
    const std::size_t e = full.find(' ', b);
    std::string tok = full.substr(b, e - b);
    if (needs[i] > n_fields) tok = i == 3 || i == 5 ? "" : std::string(tok.size(), '0');
    out += tok + " ";
    b = e + 1;
  }
  return out;
}

// Frames as the modem delivers them (L-field first, no CRC blocks).
const struct {
  std::vector<std::uint8_t> frame;
  const char* pc_text;
} goldens[] = {
    {{0x1E, 0x44, 0x2D, 0x2C, 0x78, 0x56, 0x34, 0x12, 0x01, 0x07, 0x7A, 0x01, 0x00},
     "1E 44 2C2D KAM 12345678 12345678 01 07 7A | SND_NR water rsp_short_header"},
    {{0x2E, 0x44, 0x93, 0x15, 0x78, 0x56, 0x34, 0x12, 0x33, 0x03, 0x7A, 0x2A, 0x00},
     "2E 44 1593 ELS 12345678 12345678 33 03 7A | SND_NR gas rsp_short_header"},
    {{0x2D, 0x44, 0xAE, 0x4C, 0x99, 0x88, 0x77, 0x66, 0x1B, 0x16, 0x8D, 0x20},
     "2D 44 4CAE SEN 66778899 66778899 1B 16 8D | SND_NR cold_water ell_ii"},
    {{0x0C, 0x46, 0x01, 0x06, 0x21, 0x43, 0x65, 0x87, 0x02, 0x02, 0x72},
     "0C 46 0601 APA 87654321 87654321 02 02 72 | SND_IR electricity rsp_long_header"},
    // Nibbles above 9, zero manufacturer, values without names.
    {{0x0F, 0x08, 0x00, 0x00, 0xBA, 0x00, 0x00, 0xF0, 0xFF, 0x80, 0xA0},
     "0F 08 0000 @@@ F00000BA f00000ba FF 80 A0 | RSP_UD - -"},
    // Bit 15 of M ignored, letter groups above 26 kept.
    {{0xFF, 0xFF, 0xFF, 0xFF, 0x09, 0x90, 0x00, 0x00, 0x00, 0x00, 0x90, 0xEE},
     "FF FF FFFF ___ 00009009 00009009 00 00 90 | - other afl"},
};

}  // namespace

TEST(app_wmbus, golden_frames_and_every_cut_of_them) {
  static constexpr int fields_of_length[] = {0, 1, 2, 2, 3, 3, 3, 3, 4, 5, 6, 7};
  for (const auto& g : goldens) {
    const std::string full = g.pc_text;
    for (std::size_t n = 0; n <= g.frame.size(); ++n) {
      SCOPED_TRACE(full + ", length " + std::to_string(n));
      wmbus_link link;
      std::memset(&link, 0xA5, sizeof link);  // stale content must not survive
      ASSERT_EQ(app_wmbus_decode(std::span(g.frame).first(n), &link), n == 0 ? -1 : 1);
      const int n_fields = fields_of_length[std::min<std::size_t>(n, 11)];
      EXPECT_EQ(link.u8_fields, n_fields);
      const std::string got = text(link);
      EXPECT_EQ(got.substr(0, got.find('|')), cut_to(full, n_fields));
      if (n >= 11) {
        EXPECT_EQ(got, full);
      }
    }
  }
  EXPECT_EQ(app_wmbus_decode(goldens[0].frame, nullptr), -1);
}
