#include "vos_util_hexa.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>

namespace {

std::uint32_t hex(const char* s) {
  return vos_hexa_to_i(s, static_cast<std::uint16_t>(std::strlen(s)));
}

}  // namespace

TEST(vos_util_hexa, character_classes) {
  for (int c : {'0', '9', 'a', 'f', 'A', 'F'}) EXPECT_EQ(vos_is_hexa(c), c);
  for (int c : {int{'g'}, int{'G'}, int{'x'}, int{'/'}, int{':'}, int{'@'}, int{'`'}, int{' '}, 0})
    EXPECT_EQ(vos_is_hexa(c), 0) << c;
  EXPECT_EQ(vos_is_hexa_str("0123456789abcdefABCDEF"), 1);
  EXPECT_EQ(vos_is_hexa_str(""), 1);
  EXPECT_EQ(vos_is_hexa_str("12g"), 0);
  EXPECT_EQ(vos_is_hexa_str("0x12"), 0);
  EXPECT_EQ(vos_is_hexa_str(nullptr), 0);
}

TEST(vos_util_hexa, text_to_integer) {
  EXPECT_EQ(hex("1A2b"), 0x1A2Bu);
  EXPECT_EQ(hex("0x1A"), 0x1Au);
  EXPECT_EQ(hex("0X1A"), 0u) << "upper-case X is no prefix";
  EXPECT_EQ(hex("12G4"), 0u) << "a bad digit anywhere gives 0, not the value so far";
  EXPECT_EQ(hex("0x"), 0u);
  EXPECT_EQ(hex("123456789"), 0x23456789u) << "modulo 2^32";
  EXPECT_EQ(hex("FFFFFFFF"), 0xFFFFFFFFu);
  EXPECT_EQ(hex("ffffffff"), 0xFFFFFFFFu);
  EXPECT_EQ(vos_hexa_to_i("12", 0), 0u);
  EXPECT_EQ(vos_hexa_to_i("12", 4), 0u) << "the NUL inside len is a non-digit";
  EXPECT_EQ(vos_hexa_to_i("ff", 1), 0xFu);
  EXPECT_EQ(vos_hexa_to_i(nullptr, 4), 0u);
  EXPECT_EQ(vos_hexa_to_i("0x", 1), 0u) << "the prefix alone: nothing left to parse";
}

TEST(vos_util_hexa, text_to_bytes) {
  struct row {
    const char* text;
    std::string expected;
  };
  const row rows[] = {
      {"0102ff", std::string("\x01\x02\xFF", 3)}, {"abc", std::string("\xAB", 1)},
      {"0x12", std::string("\x00\x12", 2)},       {"zz12", std::string("\x00\x12", 2)},
      {"0AFF", std::string("\x0A\xFF", 2)},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.text);
    std::array<std::uint8_t, 8> buf;
    buf.fill(0xEE);
    EXPECT_EQ(vos_hexa_to_ibuf(buf.data(), r.text), buf.data());
    EXPECT_EQ(std::string(buf.begin(), buf.begin() + r.expected.size()), r.expected);
    EXPECT_EQ(buf[r.expected.size()], 0xEE) << "nothing written past the byte count";
  }
  std::array<std::uint8_t, 2> untouched{0x55, 0x66};
  EXPECT_EQ(vos_hexa_to_ibuf(untouched.data(), ""), untouched.data());
  EXPECT_EQ(untouched[0], 0x55);
  EXPECT_EQ(vos_hexa_to_ibuf(untouched.data(), nullptr), nullptr);
  EXPECT_EQ(untouched[0], 0x55);
}

TEST(vos_util_hexa, integer_to_text) {
  char buf[16];
  std::memset(buf, 'Z', sizeof buf);
  vos_i_to_hexa(buf, 0, 0);
  EXPECT_STREQ(buf, "0");
  vos_i_to_hexa(buf, 0x1F, 4);
  EXPECT_STREQ(buf, "001F");
  vos_i_to_hexa(buf, 0x12345, 2);
  EXPECT_STREQ(buf, "12345") << "min_digits never truncates";
  std::memset(buf, 'Z', sizeof buf);
  vos_i_to_hexa(buf, 0xAB, 12);
  EXPECT_STREQ(buf, "000000AB") << "padding stops at 8 digits";
  EXPECT_EQ(buf[9], 'Z');
  vos_i_to_hexa(buf, 0xDEADBEEF, 0);
  EXPECT_STREQ(buf, "DEADBEEF");
}

TEST(vos_util_hexa, bytes_to_text) {
  const std::uint8_t bytes[] = {0x00, 0x0A, 0xFF};
  char buf[8];
  EXPECT_EQ(vos_ibuf_to_hexa(buf, bytes, 3), buf);
  EXPECT_STREQ(buf, "000AFF");
  vos_ibuf_to_hexa(buf, bytes, 0);
  EXPECT_STREQ(buf, "");
}
