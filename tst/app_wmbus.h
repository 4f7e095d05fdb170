// Wireless M-Bus link layer of a received radio frame: the address fields decoded, and the names
// of the C-field, CI-field and device type values. Pure functions: no allocation, lock or trace.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

class app_json;

/// The link-layer fields of one frame. A frame as the modem delivers it has no CRC blocks:
/// L (byte 0), C (1), M (2-3, little-endian), identification number (4-7, BCD, little-endian),
/// version (8), device type (9), CI (10). Fields beyond @c u8_fields are zero / empty.
struct wmbus_link {
  std::uint8_t u8_fields;  ///< how many of the fields below the frame holds, in frame order:
                           ///< 0 none, 1 L, 2 +C, 3 +M, 4 +id, 5 +version, 6 +device type,
                           ///< 7 +CI
  std::uint8_t u8_l, u8_c;
  std::uint16_t u16_m;       ///< manufacturer field as a number
  char ac_manufacturer[4];   ///< three letters + NUL ("" when not held)
  std::uint32_t u32_id_bcd;  ///< the 4 id bytes read little-endian
  char ac_id[9];             ///< eight digits as printed on the meter, most significant first
                             ///< ("" when not held); a nibble above 9 printed as its lower-case
                             ///< hex digit, never invented
  std::uint8_t u8_version, u8_device_type, u8_ci;
};

/// Number of frame bytes up to and including the CI-field.
inline constexpr std::size_t WMBUS_LINK_SIZE = 11;

/// Decodes the link layer of @p frame into @p pt_link, which is cleared first (when not null).
/// The manufacturer letters are the three 5-bit groups of M (bits 14-10, 9-5, 4-0) each plus 64,
/// so 1 is 'A'; a group of 0 or above 26 gives '@' or one of "[\]^_" as it is; bit 15 is ignored.
/// Any thread; reads only @p frame.
/// @retval 1 at least L held (@c u8_fields says how far the frame went).
/// @retval -1 empty frame or null @p pt_link; @p pt_link, when not null, is left cleared.
int app_wmbus_decode(std::span<const std::uint8_t> frame, wmbus_link* pt_link);

/// Adds the decoded fields to an event, only those the frame holds: "l", "c" and "c_name",
/// "m" and "manufacturer", "id", "version", "device_type" and "device_type_name", "ci" and
/// "ci_name" (a name only when the value has one).
void app_wmbus_members(const wmbus_link& link, app_json& json);

/// Name of a C-field ("SND_NR", "RSP_UD", ...), or null for a value without a name.
/// Bit 7 must be 0. Bit 6 (PRM) chooses the table. From a primary station (PRM 1): when FCV
/// (bit 4) is set, FCB (bit 5) is ignored (SND_UD 0x53/0x73, REQ_UD1 0x5A/0x7A, REQ_UD2
/// 0x5B/0x7B); when FCV is clear, FCB must be clear too (SND_NKE 0x40, SND_UD2 0x43, SND_NR 0x44,
/// SND_IR 0x46, ACC_NR 0x47, ACC_DMD 0x48). From a secondary station (PRM 0) ACD (bit 5) and DFC
/// (bit 4) are ignored: ACK 0x00, NACK 0x01, CNF_IR 0x06, RSP_UD 0x08, each also with 0x10, 0x20,
/// 0x30 added. The result is a static string.
const char* app_wmbus_c_name(std::uint8_t u8_c);

/// Short lower-case snake_case name of a device type (the medium of the A-field): 0x00 "other",
/// 0x07 "water", 0x08 "heat_cost_allocator", ...; null for a reserved or unknown value.
/// The result is a static string.
const char* app_wmbus_device_type_name(std::uint8_t u8_type);

/// Short snake_case name of a CI-field value: 0x72 "rsp_long_header", 0x78 "rsp_no_header",
/// 0x7A "rsp_short_header", 0x8C "ell_i", 0x90 "afl", ...; null for a value without a name.
/// The result is a static string.
const char* app_wmbus_ci_name(std::uint8_t u8_ci);
