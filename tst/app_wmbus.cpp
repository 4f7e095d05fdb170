// Wireless M-Bus link layer. Every field is read only when the frame reaches it; a short frame
// leaves the rest cleared rather than guessed.
#include "app_wmbus.h"

#include <array>
#include <cstring>

#include "app_json.h"
#include "vos_util_hexa.h"

namespace {

struct named {
  std::uint8_t u8_value;
  const char* pc_name;
};

template <std::size_t N>
const char* find_name(const std::array<named, N>& table, std::uint8_t v) {
  for (const named& n : table)
    if (n.u8_value == v) return n.pc_name;
  return nullptr;
}

// Primary station, FCV clear: FCB must be clear as well, so the whole byte is the key.
constexpr std::array<named, 6> c_primary_no_fcv{{
    {0x40, "SND_NKE"},
    {0x43, "SND_UD2"},
    {0x44, "SND_NR"},
    {0x46, "SND_IR"},
    {0x47, "ACC_NR"},
    {0x48, "ACC_DMD"},
}};
// Primary station, FCV set: keyed with FCB cleared.
constexpr std::array<named, 3> c_primary_fcv{{
    {0x53, "SND_UD"},
    {0x5A, "REQ_UD1"},
    {0x5B, "REQ_UD2"},
}};
// Secondary station: keyed with ACD and DFC cleared.
constexpr std::array<named, 4> c_secondary{{
    {0x00, "ACK"},
    {0x01, "NACK"},
    {0x06, "CNF_IR"},
    {0x08, "RSP_UD"},
}};

constexpr std::array<named, 35> device_types{{
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
    {0x0A, "cooling_load_outlet"},
    {0x0B, "cooling_load_inlet"},
    {0x0C, "heat_inlet"},
    {0x0D, "heat_cooling_load"},
    {0x0E, "bus_system"},
    {0x0F, "unknown_medium"},
    {0x14, "calorific_value"},
    {0x15, "hot_water"},
    {0x16, "cold_water"},
    {0x17, "hot_cold_water"},
    {0x18, "pressure"},
    {0x19, "ad_converter"},
    {0x1A, "smoke_detector"},
    {0x1B, "room_sensor"},
    {0x1C, "gas_detector"},
    {0x20, "breaker"},
    {0x21, "valve"},
    {0x25, "customer_unit"},
    {0x28, "waste_water"},
    {0x29, "garbage"},
    {0x31, "communication_controller"},
    {0x32, "unidirectional_repeater"},
    {0x33, "bidirectional_repeater"},
    {0x36, "radio_converter_system"},
    {0x37, "radio_converter_meter"},
}};

constexpr std::array<named, 23> ci_values{{
    {0x51, "cmd_no_header"},
    {0x5A, "cmd_short_header"},
    {0x5B, "cmd_long_header"},
    {0x6C, "clock_sync_absolute"},
    {0x6D, "clock_sync_relative"},
    {0x6E, "error_short_header"},
    {0x6F, "error_long_header"},
    {0x70, "error_no_header"},
    {0x71, "alarm_no_header"},
    {0x72, "rsp_long_header"},
    {0x74, "alarm_short_header"},
    {0x75, "alarm_long_header"},
    {0x78, "rsp_no_header"},
    {0x7A, "rsp_short_header"},
    {0x80, "tpl_to_device_long_header"},
    {0x86, "ell_v"},
    {0x8A, "tpl_short_header"},
    {0x8B, "tpl_long_header"},
    {0x8C, "ell_i"},
    {0x8D, "ell_ii"},
    {0x8E, "ell_iii"},
    {0x8F, "ell_iv"},
    {0x90, "afl"},
}};

}  // namespace

int app_wmbus_decode(std::span<const std::uint8_t> frame, wmbus_link* pt_link) {
  if (pt_link == nullptr) return -1;
  *pt_link = wmbus_link{};
  if (frame.empty()) return -1;

  wmbus_link& l = *pt_link;
  const std::size_t n = frame.size();
  l.u8_l = frame[0];
  l.u8_fields = 1;
  if (n < 2) return 1;
  l.u8_c = frame[1];
  l.u8_fields = 2;
  if (n < 4) return 1;
  l.u16_m = static_cast<std::uint16_t>(frame[2] | (frame[3] << 8));
  for (int i = 0; i < 3; ++i)
    l.ac_manufacturer[i] = static_cast<char>(((l.u16_m >> (10 - 5 * i)) & 0x1F) + 64);
  l.u8_fields = 3;
  if (n < 8) return 1;
  l.u32_id_bcd =
      static_cast<std::uint32_t>(frame[4]) | (static_cast<std::uint32_t>(frame[5]) << 8) |
      (static_cast<std::uint32_t>(frame[6]) << 16) | (static_cast<std::uint32_t>(frame[7]) << 24);
  for (int i = 0; i < 8; ++i) l.ac_id[i] = vos_hexa_lower[(l.u32_id_bcd >> (28 - 4 * i)) & 0xF];
  l.u8_fields = 4;
  if (n < 9) return 1;
  l.u8_version = frame[8];
  l.u8_fields = 5;
  if (n < 10) return 1;
  l.u8_device_type = frame[9];
  l.u8_fields = 6;
  if (n < 11) return 1;
  l.u8_ci = frame[10];
  l.u8_fields = 7;
  return 1;
}

const char* app_wmbus_c_name(std::uint8_t u8_c) {
  if (u8_c & 0x80) return nullptr;
  if ((u8_c & 0x40) == 0) return find_name(c_secondary, static_cast<std::uint8_t>(u8_c & 0x4F));
  if (u8_c & 0x10) return find_name(c_primary_fcv, static_cast<std::uint8_t>(u8_c & 0x5F));
  return find_name(c_primary_no_fcv, u8_c);
}

const char* app_wmbus_device_type_name(std::uint8_t u8_type) {
  return find_name(device_types, u8_type);
}

const char* app_wmbus_ci_name(std::uint8_t u8_ci) { return find_name(ci_values, u8_ci); }

void app_wmbus_members(const wmbus_link& link, app_json& json) {
  json.num("l", link.u8_l);
  if (link.u8_fields >= 2) {
    json.num("c", link.u8_c);
    if (const char* pc = app_wmbus_c_name(link.u8_c)) json.str("c_name", pc);
  }
  if (link.u8_fields >= 3) json.num("m", link.u16_m).str("manufacturer", link.ac_manufacturer);
  if (link.u8_fields >= 4) json.str("id", link.ac_id);
  if (link.u8_fields >= 5) json.num("version", link.u8_version);
  if (link.u8_fields >= 6) {
    json.num("device_type", link.u8_device_type);
    if (const char* pc = app_wmbus_device_type_name(link.u8_device_type)) {
      json.str("device_type_name", pc);
    }
  }
  if (link.u8_fields >= 7) {
    json.num("ci", link.u8_ci);
    if (const char* pc = app_wmbus_ci_name(link.u8_ci)) json.str("ci_name", pc);
  }
}
