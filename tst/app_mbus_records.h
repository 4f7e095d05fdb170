// Data records of the application layer (DIF, DIFE, VIF, VIFE, data): each record's storage,
// tariff and subunit, its quantity in a fixed unit and its value. Pure: no lock, trace or I/O.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

class app_json;

/// Most DIFEs after a DIF, and most VIFEs after a VIF, that a record may have.
inline constexpr std::size_t APP_MBUS_DIFE_MAX = 10;
inline constexpr std::size_t APP_MBUS_VIFE_MAX = 10;

/// The value of a record, scaled to the unit of its quantity.
struct app_mbus_value {
  enum class kind : std::uint8_t {
    none,     ///< no data (data field 0), or a date marked invalid
    integer,  ///< i64 * 10^i8_exp10, exact
    real,     ///< d
    text,     ///< s: a date, a date and time, or a text the meter sent
    hex,      ///< s: lower-case hexadecimal of the data, as it came (what has no number)
  };
  kind e_kind = kind::none;
  std::int64_t i64 = 0;
  std::int8_t i8_exp10 = 0;
  double d = 0;
  std::string s;
};

/// One data record.
struct app_mbus_record {
  std::vector<std::uint8_t> dif;  ///< DIF and DIFEs as on the wire
  std::vector<std::uint8_t> vif;  ///< VIF and VIFEs (and a plain-text unit) as on the wire
  std::uint64_t u64_storage = 0;
  std::uint32_t u32_tariff = 0;
  std::uint16_t u16_subunit = 0;
  const char* pc_function = "instantaneous";  ///< "maximum", "minimum", "error"
  const char* pc_quantity = "raw";            ///< a documented name (see the manual)
  const char* pc_unit = nullptr;              ///< null when the quantity has none
  std::string s_unit;                         ///< a plain-text VIF's unit (pc_unit then null)
  std::vector<const char*> vife_names;        ///< names of the combinable VIFEs known
  app_mbus_value value;
};

/// Why the records ended.
enum class app_mbus_records_end : std::uint8_t {
  complete,      ///< every byte read
  truncated,     ///< a record was cut: the records before it are kept
  manufacturer,  ///< DIF 0x0F or 0x1F: the rest is the manufacturer's (see @c manufacturer)
  bad_dif,       ///< a reserved DIF, or more DIFEs or VIFEs than a record may have
};

struct app_mbus_records {
  std::vector<app_mbus_record> records;
  app_mbus_records_end e_end = app_mbus_records_end::complete;
  bool b_more_follow = false;              ///< DIF 0x1F: more records in the next telegram
  std::vector<std::uint8_t> manufacturer;  ///< bytes after DIF 0x0F / 0x1F
  /// The DIF/VIF part of every record, in order (what a compact frame's signature covers).
  std::vector<std::uint8_t> format;
  void clear();
};

/// Decodes the records of @p data into @p out (cleared first; its capacity is reused). Idle
/// fillers (0x2F) are skipped. Never reads outside @p data.
void app_mbus_records_decode(std::span<const std::uint8_t> data, app_mbus_records& out);

/// Rebuilds the records of a compact frame: @p format is the DIF/VIF part of the full frame
/// (app_mbus_records::format), @p data the compact frame's data. @return the full records in
/// @p out (cleared first); false when @p format is not a sequence of DIF/VIF headers.
bool app_mbus_records_expand(std::span<const std::uint8_t> format,
                             std::span<const std::uint8_t> data, std::vector<std::uint8_t>& out);

/// Writes @p records as a JSON array into @p out (cleared first): [{"dif","vif","storage",
/// "tariff","subunit","function","quantity","unit","vife","value"}, ...].
void app_mbus_records_json(const std::vector<app_mbus_record>& records, std::string& out);
