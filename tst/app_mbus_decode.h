// What a meter says in a frame: the frame's form (link-layer CRCs), the extended link layer,
// the authentication and fragmentation layer, the transport layer, the decryption with the
// meter's key and the data records. Pure: no lock, trace or I/O; one owner thread at a time
// per decoder (it learns compact-frame formats).
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "app_mbus_records.h"

class app_json;
class app_mbus_keys;

/// Compact-frame formats a decoder remembers at most (then the oldest is forgotten).
inline constexpr std::size_t APP_MBUS_FORMATS_MAX = 4'096;

/// The frame's form, as its length and CRCs show it.
enum class app_mbus_form : std::uint8_t {
  none,     ///< no link-layer CRC: length L + 1 (and not format B's CRCs)
  a,        ///< format A: a CRC after the first 10 bytes and after every 16 further
  b,        ///< format B: a CRC over the frame in its last 2 bytes (another after byte 126)
  unknown,  ///< a length that fits no form: decoded no further
};

/// What became of the encrypted part.
enum class app_mbus_decrypt : std::uint8_t {
  none,         ///< not encrypted
  ok,           ///< decrypted and verified
  no_key,       ///< encrypted, no key for this meter
  bad_key,      ///< the check after decryption failed (0x2F 0x2F, or the payload CRC)
  mac_fail,     ///< the message authentication code does not verify (or is not there)
  unsupported,  ///< a security mode or encryption this decoder does not read
  truncated,    ///< fewer bytes than the encrypted blocks announced
};

/// Extended link layer (CI 0x8C to 0x8F).
struct app_mbus_ell {
  std::uint8_t u8_ci = 0, u8_cc = 0, u8_acc = 0;
  std::optional<std::uint32_t> sn;      ///< session number (0x8D, 0x8F)
  std::optional<std::uint16_t> u16_m2;  ///< the other address (0x8E, 0x8F)
  std::optional<std::uint64_t> u64_a2;  ///< its 6 bytes read little-endian
  app_mbus_decrypt e_decrypt = app_mbus_decrypt::none;
};

/// Authentication and fragmentation layer (CI 0x90).
struct app_mbus_afl {
  std::uint8_t u8_length = 0;
  std::uint16_t u16_fcl = 0;
  std::optional<std::uint8_t> mcl;
  std::optional<std::uint16_t> u16_key_info;
  std::optional<std::uint32_t> counter;
  std::vector<std::uint8_t> mac;
  std::optional<std::uint16_t> u16_message_length;
  bool fragment() const { return (u16_fcl & 0x4000) != 0 || (u16_fcl & 0x00FF) != 0; }
};

/// Transport layer header.
struct app_mbus_tpl {
  std::uint8_t u8_ci = 0;
  std::optional<std::uint8_t> acc, status;
  std::optional<std::uint16_t> cf;  ///< configuration field
  std::optional<std::uint8_t> cfe;  ///< its extension (security mode 7)
  bool b_long = false;              ///< CI 0x72/0x73: the meter's own address below
  std::uint32_t u32_id_bcd = 0;
  std::uint16_t u16_m = 0;
  std::uint8_t u8_version = 0, u8_device_type = 0;
  unsigned security_mode() const { return cf ? (*cf >> 8) & 0x1F : 0; }
  unsigned encrypted_blocks() const { return cf ? (*cf >> 4) & 0x0F : 0; }
};

/// Everything decoded from one frame; reused between frames (capacity kept).
struct app_mbus_decoded {
  app_mbus_form e_form = app_mbus_form::unknown;
  bool b_crc_ok = false;  ///< the CRCs of format A or B verify
  std::optional<app_mbus_ell> ell;
  std::optional<app_mbus_afl> afl;
  std::optional<app_mbus_tpl> tpl;
  app_mbus_decrypt e_decrypt = app_mbus_decrypt::none;
  bool b_fragment = false;                     ///< a fragment: decoded no further
  bool b_compact = false;                      ///< a compact frame (CI 0x79, 0x7B, 0x73)
  bool b_compact_unknown = false;              ///< ... whose format was not seen before
  std::optional<std::uint16_t> u16_signature;  ///< the compact frame's format signature
  bool b_records = false;                      ///< records were decoded (the list may be empty)
  app_mbus_records records;
  void clear();
};

/// The name of a decrypt result ("none", "ok", "no_key", ...).
const char* app_mbus_decrypt_name(app_mbus_decrypt e);

/// Decodes frames. Keys (optional) are read, never copied or written anywhere.
class app_mbus_decoder {
 public:
  explicit app_mbus_decoder(const app_mbus_keys* pt_keys = nullptr) : pt_keys_(pt_keys) {}
  /// Decodes @p frame as a modem forwards it (L first, CRCs as sent) into @p out.
  void decode(std::span<const std::uint8_t> frame, app_mbus_decoded& out);
  /// Decodes link-layer bytes @p link (L first, no CRC; L itself is not checked) into @p out.
  void decode_link(std::span<const std::uint8_t> link, app_mbus_decoded& out);
  std::size_t formats() const { return formats_.size(); }

 private:
  struct format_key {
    std::uint64_t u64_meter;  // M, id, version, device type
    std::uint16_t u16_signature;
    auto operator<=>(const format_key&) const = default;
  };
  void learn(std::uint64_t u64_meter, const app_mbus_records& records);
  const app_mbus_keys* pt_keys_;
  std::map<format_key, std::vector<std::uint8_t>> formats_;
  std::vector<format_key> format_order_;                   // oldest first
  std::vector<std::uint8_t> ell_plain_, work_, expanded_;  // reused: capacity kept
};

/// Adds the members of a decoded frame to a frame or telegram event: "frame_format", "crc",
/// "ell", "afl", "tpl", "decrypt", "fragment", "compact", "records", "records_end".
void app_mbus_members(const app_mbus_decoded& t_decoded, app_json& json, std::string& s_scratch);

/// EN 13757-4's CRC of @p data: polynomial 0x3D65, initial 0, result inverted.
std::uint16_t app_mbus_crc(std::span<const std::uint8_t> data);

/// The link-layer bytes of @p frame with its CRCs left out, copied into @p buf, and its form:
/// none and unknown give @p frame itself; a form whose CRCs do not all verify gives an empty
/// span and @p b_crc_ok false.
std::span<const std::uint8_t> app_mbus_link_bytes(std::span<const std::uint8_t> frame,
                                                  std::span<std::uint8_t, 256> buf,
                                                  app_mbus_form& e_form, bool& b_crc_ok);
