// Data records. Every read is checked against the end of the data: a record cut anywhere ends
// the list cleanly with the records before it.
#include "app_mbus_records.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <optional>
#include <string_view>

#include "app_json.h"
#include "vos_util_hexa.h"

namespace {

using bytes = std::span<const std::uint8_t>;

constexpr std::uint8_t ext = 0x80;  // another DIFE / VIFE follows
constexpr std::uint8_t dif_manufacturer = 0x0F;
constexpr std::uint8_t dif_manufacturer_more = 0x1F;
constexpr std::uint8_t dif_filler = 0x2F;
constexpr std::uint8_t dif_readout = 0x7F;
constexpr std::uint8_t data_variable = 0x0D;

// What a VIF means and how its raw number becomes the value in the quantity's unit.
struct meaning {
  const char* pc_quantity = "raw";
  const char* pc_unit = nullptr;
  std::int8_t i8_exp10 = 0;  // value = raw * i64_mult * 10^exp10 ...
  std::int64_t i64_mult = 1;
  double d_divisor = 0;  // ... or, when not 0, raw * 10^exp10 / divisor (not exact)
  // What has no name keeps its data as hexadecimal.
  enum class form : std::uint8_t { number, date, date_time, hex } e_form = form::hex;
  bool b_unsigned = false;  // bit fields and numbers that have no sign
};

constexpr std::array<std::int64_t, 4> duration_s = {1, 60, 3600, 86400};

meaning _number(const char* pc_quantity, const char* pc_unit, int i_exp10, std::int64_t mult = 1) {
  meaning t{};
  t.e_form = meaning::form::number;
  t.pc_quantity = pc_quantity;
  t.pc_unit = pc_unit;
  t.i8_exp10 = static_cast<std::int8_t>(i_exp10);
  t.i64_mult = mult;
  return t;
}

meaning _inexact(const char* pc_quantity, const char* pc_unit, int i_exp10, double d_divisor) {
  meaning t = _number(pc_quantity, pc_unit, i_exp10);
  t.d_divisor = d_divisor;
  return t;
}

meaning _plain(const char* pc_quantity, bool b_unsigned = true) {
  meaning t{};
  t.e_form = meaning::form::number;
  t.pc_quantity = pc_quantity;
  t.b_unsigned = b_unsigned;
  return t;
}

meaning _primary(std::uint8_t v) {
  const int n = v & 0x07;
  const int nn = v & 0x03;
  switch (v & 0x78) {
    case 0x00:
      return _number("energy", "kWh", n - 6);
    case 0x08:
      return _inexact("energy", "kWh", n, 3.6e6);  // J
    case 0x10:
      return _number("volume", "m3", n - 6);
    case 0x18:
      return _number("mass", "kg", n - 3);
    case 0x20:
      return _number((v & 0x04) != 0 ? "operating_time" : "on_time", "s", 0, duration_s[nn]);
    case 0x28:
      return _number("power", "W", n - 3);
    case 0x30:
      return _inexact("power", "W", n, 3600);  // J/h
    case 0x38:
      return _number("volume_flow", "m3/h", n - 6);
    case 0x40:
      return _number("volume_flow", "m3/h", n - 7, 60);  // m3/min
    case 0x48:
      return _number("volume_flow", "m3/h", n - 9, 3600);  // m3/s
    case 0x50:
      return _number("mass_flow", "kg/h", n - 3);
    case 0x58:
      return _number((v & 0x04) != 0 ? "return_temperature" : "flow_temperature", "C", nn - 3);
    case 0x60:
      return (v & 0x04) != 0 ? _number("external_temperature", "C", nn - 3)
                             : _number("temperature_difference", "K", nn - 3);
    case 0x68:
      if ((v & 0x04) == 0) return _number("pressure", "bar", nn - 3);
      if (v == 0x6C) return meaning{.pc_quantity = "date", .e_form = meaning::form::date};
      if (v == 0x6D) {
        return meaning{.pc_quantity = "date_time", .e_form = meaning::form::date_time};
      }
      if (v == 0x6E) return _number("hca", "units", 0);
      return meaning{};
    case 0x70:
      return _number((v & 0x04) != 0 ? "actuality_duration" : "averaging_duration", "s", 0,
                     duration_s[nn]);
    default:  // 0x78
      if (v == 0x78) return _plain("fabrication_number");
      if (v == 0x79) return _plain("enhanced_identification");
      if (v == 0x7A) return _plain("bus_address");
      return meaning{};
  }
}

// The first VIFE after VIF 0xFD.
meaning _extension_fd(std::uint8_t e) {
  if ((e & 0x70) == 0x40) return _number("voltage", "V", (e & 0x0F) - 9);
  if ((e & 0x70) == 0x50) return _number("current", "A", (e & 0x0F) - 12);
  switch (e) {
    case 0x08:
      return _plain("access_number");
    case 0x09:
      return _plain("medium");
    case 0x0A:
      return _plain("manufacturer");
    case 0x0B:
      return _plain("parameter_set_id");
    case 0x0C:
      return _plain("model_version");
    case 0x0D:
      return _plain("hardware_version");
    case 0x0E:
      return _plain("firmware_version");
    case 0x0F:
      return _plain("software_version");
    case 0x10:
      return _plain("customer_location");
    case 0x11:
      return _plain("customer");
    case 0x17:
      return _plain("error_flags");
    case 0x18:
      return _plain("error_mask");
    case 0x1A:
      return _plain("digital_output");
    case 0x1B:
      return _plain("digital_input");
    case 0x1F:
      return _plain("remote_control");
    case 0x74:
      return _number("remaining_battery_life", "d", 0);
    default:
      return meaning{};
  }
}

// The first VIFE after VIF 0xFB: the metric entries.
meaning _extension_fb(std::uint8_t e) {
  const int n = e & 0x01;
  switch (e & 0x7E) {
    case 0x00:
      return _number("energy", "kWh", n + 2);  // 0.1 MWh
    case 0x08:
      return _inexact("energy", "kWh", n + 8, 3.6e6);  // 0.1 GJ
    case 0x10:
      return _number("volume", "m3", n + 2);
    case 0x18:
      return _number("mass", "kg", n + 5);  // 100 t
    case 0x28:
      return _number("power", "W", n + 5);  // 0.1 MW
    case 0x30:
      return _inexact("power", "W", n + 8, 3600);  // 0.1 GJ/h
    default:
      return meaning{};
  }
}

const char* _combinable_name(std::uint8_t e) {
  switch (e & 0x7F) {
    case 0x20:
      return "per_second";
    case 0x21:
      return "per_minute";
    case 0x22:
      return "per_hour";
    case 0x23:
      return "per_day";
    case 0x24:
      return "per_week";
    case 0x25:
      return "per_month";
    case 0x26:
      return "per_year";
    case 0x3B:
      return "accumulation_if_positive";
    case 0x3C:
      return "accumulation_if_negative";  // backward flow
    default:
      return nullptr;
  }
}

// The header of a record: DIF, DIFEs, VIF, VIFEs and a plain-text unit, as positions.
struct header {
  std::size_t u_dif_at = 0, u_dif_len = 0;
  std::size_t u_vif_at = 0, u_vif_len = 0;  // VIFEs and the plain-text unit included
  std::size_t u_text_at = 0, u_text_len = 0;
  std::uint8_t u8_data = 0;  // data field of the DIF
};

enum class step : std::uint8_t { record, special, cut, bad };

// Reads a header at @p at. The special DIFs (fillers, manufacturer data, readout) give
// step::special with only the DIF read.
step _header(bytes b, std::size_t at, header& h) {
  h = header{};
  h.u_dif_at = at;
  if (at >= b.size()) return step::cut;
  const std::uint8_t dif = b[at];
  if ((dif & 0x0F) == 0x0F) {
    if (dif == dif_manufacturer || dif == dif_manufacturer_more || dif == dif_filler ||
        dif == dif_readout) {
      h.u_dif_len = 1;
      return step::special;
    }
    return step::bad;
  }
  h.u8_data = dif & 0x0F;
  std::size_t i = at + 1;
  for (std::uint8_t last = dif; (last & ext) != 0; ++i) {
    if (i - at - 1 == APP_MBUS_DIFE_MAX) return step::bad;
    if (i >= b.size()) return step::cut;
    last = b[i];
  }
  h.u_dif_len = i - at;
  h.u_vif_at = i;
  if (i >= b.size()) return step::cut;
  const std::uint8_t vif = b[i];
  ++i;
  for (std::uint8_t last = vif; (last & ext) != 0; ++i) {
    if (i - h.u_vif_at - 1 == APP_MBUS_VIFE_MAX) return step::bad;
    if (i >= b.size()) return step::cut;
    last = b[i];
  }
  if ((vif & 0x7F) == 0x7C) {  // plain-text unit: length, then the text
    if (i >= b.size()) return step::cut;
    h.u_text_len = b[i];
    h.u_text_at = i + 1;
    i = h.u_text_at + h.u_text_len;
    if (i > b.size()) return step::cut;
  }
  h.u_vif_len = i - h.u_vif_at;
  return step::record;
}

// Size of the data of data field @p u8_data; none for variable length.
std::optional<std::size_t> _fixed_size(std::uint8_t u8_data) {
  static constexpr std::array<std::uint8_t, 15> sizes = {0, 1, 2, 3, 4, 4, 6, 8,
                                                         0, 1, 2, 3, 4, 0, 6};
  if (u8_data == data_variable || u8_data >= sizes.size()) return std::nullopt;
  return sizes[u8_data];
}

// Size of variable-length data from its LVAR byte (not counted); none when reserved.
std::optional<std::size_t> _variable_size(std::uint8_t lvar) {
  if (lvar <= 0xBF) return lvar;                         // text
  if (lvar <= 0xC9) return lvar - 0xC0;                  // positive BCD
  if (lvar >= 0xD0 && lvar <= 0xD9) return lvar - 0xD0;  // negative BCD
  if (lvar >= 0xE0 && lvar <= 0xEF) return lvar - 0xE0;  // binary
  if (lvar >= 0xF0 && lvar <= 0xF4) return 4 * (lvar - 0xEC);
  if (lvar == 0xF5) return 48;
  if (lvar == 0xF6) return 64;
  return std::nullopt;
}

void _hex(bytes b, std::string& out) {
  out.clear();
  for (const std::uint8_t u8 : b) out.append(&vos_hexa_pairs_lower[2 * u8], 2);
}

// Little-endian integer of 1 to 8 bytes, sign-extended unless @p b_unsigned.
std::int64_t _integer(bytes b, bool b_unsigned) {
  std::uint64_t u64 = 0;
  for (std::size_t i = b.size(); i-- > 0;) u64 = (u64 << 8) | b[i];
  if (!b_unsigned && b.size() < 8 && (b.back() & 0x80) != 0) {
    u64 |= ~std::uint64_t{0} << (8 * b.size());
  }
  return static_cast<std::int64_t>(u64);
}

// BCD, least significant byte first; a top nibble 0xF makes it negative. None when a digit is
// not decimal.
std::optional<std::int64_t> _bcd(bytes b, bool b_negative) {
  std::int64_t i64 = 0;
  for (std::size_t i = b.size(); i-- > 0;) {
    for (const int shift : {4, 0}) {
      const unsigned d = (b[i] >> shift) & 0x0F;
      if (i + 1 == b.size() && shift == 4 && d == 0x0F && !b_negative) {
        b_negative = true;
        continue;
      }
      if (d > 9) return std::nullopt;
      i64 = i64 * 10 + d;
    }
  }
  return b_negative ? -i64 : i64;
}

int _year(unsigned u_year) {
  return static_cast<int>(u_year <= 80 ? 2000 + u_year : 1900 + u_year);
}

// Date type G (2 bytes), date and time type F (4 bytes) or I (6 bytes, with seconds).
bool _date(bytes b, bool b_time, std::string& out) {
  unsigned u_sec = 0, u_min = 0, u_hour = 0;
  bytes d = b;
  if (b_time) {
    if (b.size() == 6) {
      u_sec = b[0] & 0x3F;
      d = b.subspan(1);
    } else if (b.size() != 4) {
      return false;
    }
    if ((d[0] & 0x80) != 0) return false;  // IV: the time is not valid
    u_min = d[0] & 0x3F;
    u_hour = d[1] & 0x1F;
    d = d.subspan(2);
  } else if (b.size() != 2) {
    return false;
  }
  const unsigned u_day = d[0] & 0x1F;
  const unsigned u_month = d[1] & 0x0F;
  const unsigned u_year = ((d[0] & 0xE0u) >> 5) | ((d[1] & 0xF0u) >> 1);
  if (u_day == 0 || u_month == 0 || u_month > 12 || u_hour > 23 || u_min > 59 || u_sec > 59) {
    return false;
  }
  std::array<char, 32> ac{};
  int n = 0;
  if (!b_time) {
    n = std::snprintf(ac.data(), ac.size(), "%04d-%02u-%02u", _year(u_year), u_month, u_day);
  } else if (b.size() == 6) {
    n = std::snprintf(ac.data(), ac.size(), "%04d-%02u-%02uT%02u:%02u:%02u", _year(u_year), u_month,
                      u_day, u_hour, u_min, u_sec);
  } else {
    n = std::snprintf(ac.data(), ac.size(), "%04d-%02u-%02uT%02u:%02u", _year(u_year), u_month,
                      u_day, u_hour, u_min);
  }
  out.assign(ac.data(), static_cast<std::size_t>(std::max(n, 0)));
  return true;
}

void _set_number(app_mbus_value& v, std::int64_t i64_raw, const meaning& m) {
  if (m.d_divisor != 0) {
    v.e_kind = app_mbus_value::kind::real;
    double d = static_cast<double>(i64_raw);
    for (int i = 0; i < m.i8_exp10; ++i) d *= 10;
    for (int i = 0; i > m.i8_exp10; --i) d /= 10;
    v.d = d / m.d_divisor;
    return;
  }
  v.e_kind = app_mbus_value::kind::integer;
  v.i64 = i64_raw;
  v.i8_exp10 = m.i8_exp10;
  if (m.i64_mult != 1) {
    std::int64_t i64 = 0;
    if (__builtin_mul_overflow(i64_raw, m.i64_mult, &i64)) {
      v.e_kind = app_mbus_value::kind::real;
      v.d = static_cast<double>(i64_raw) * static_cast<double>(m.i64_mult);
      for (int i = 0; i > m.i8_exp10; --i) v.d /= 10;
      return;
    }
    v.i64 = i64;
  }
}

// The value of @p data (data field @p u8_data, LVAR already taken off for variable length).
void _value(bytes data, std::uint8_t u8_data, std::optional<std::uint8_t> lvar, const meaning& m,
            app_mbus_value& v) {
  v.e_kind = app_mbus_value::kind::none;
  v.i64 = 0;
  v.i8_exp10 = 0;
  v.d = 0;
  v.s.clear();
  if (m.e_form == meaning::form::date || m.e_form == meaning::form::date_time) {
    if (_date(data, m.e_form == meaning::form::date_time, v.s)) {
      v.e_kind = app_mbus_value::kind::text;
    } else if (!data.empty()) {
      v.e_kind = app_mbus_value::kind::hex;
      _hex(data, v.s);
    }
    return;
  }
  if (data.empty()) return;
  const auto as_hex = [&] {
    v.e_kind = app_mbus_value::kind::hex;
    _hex(data, v.s);
  };
  if (m.e_form == meaning::form::hex) return as_hex();
  if (lvar) {
    if (*lvar <= 0xBF) {  // text, last character first
      v.e_kind = app_mbus_value::kind::text;
      v.s.assign(data.rbegin(), data.rend());
      return;
    }
    if (*lvar <= 0xD9) {
      const auto bcd = _bcd(data, *lvar >= 0xD0);
      return bcd ? _set_number(v, *bcd, m) : as_hex();
    }
    if (data.size() <= 8) return _set_number(v, _integer(data, m.b_unsigned), m);
    return as_hex();
  }
  switch (u8_data) {
    case 0x05: {  // 32-bit real
      std::uint32_t u32 = static_cast<std::uint32_t>(_integer(data, true));
      float f = 0;
      std::memcpy(&f, &u32, sizeof f);
      v.e_kind = app_mbus_value::kind::real;
      v.d = static_cast<double>(f);
      for (int i = 0; i < m.i8_exp10; ++i) v.d *= 10;
      for (int i = 0; i > m.i8_exp10; --i) v.d /= 10;
      v.d *= static_cast<double>(m.i64_mult);
      if (m.d_divisor != 0) v.d /= m.d_divisor;
      return;
    }
    case 0x09:
    case 0x0A:
    case 0x0B:
    case 0x0C:
    case 0x0E: {
      const auto bcd = _bcd(data, false);
      return bcd ? _set_number(v, *bcd, m) : as_hex();
    }
    default:
      return _set_number(v, _integer(data, m.b_unsigned), m);
  }
}

// The meaning of a record's VIF part; fills its VIFE names.
meaning _meaning(bytes vif_part, std::size_t u_vifs, app_mbus_record& r) {
  const std::uint8_t vif = vif_part[0];
  const std::uint8_t code = vif & 0x7F;
  meaning m{};
  std::size_t first_combinable = 1;
  if ((vif == 0xFD || vif == 0xFB) && u_vifs >= 2) {
    m = vif == 0xFD ? _extension_fd(vif_part[1] & 0x7F) : _extension_fb(vif_part[1] & 0x7F);
    first_combinable = 2;
  } else if (code == 0x7F || code == 0x7E || code == 0x7B || code == 0x7D) {
    m = meaning{.e_form = meaning::form::hex};  // manufacturer's, any VIF, or a table cut
  } else if (code == 0x7C) {
    m = _plain("plain_text", false);
  } else {
    m = _primary(code);
  }
  for (std::size_t i = first_combinable; i < u_vifs; ++i) {
    if ((vif_part[i] & 0x7F) == 0x7F) break;  // manufacturer's VIFEs follow
    if (const char* pc = _combinable_name(vif_part[i])) r.vife_names.push_back(pc);
  }
  return m;
}

// Back to a fresh record, keeping what its vectors and strings have allocated.
void _reset(app_mbus_record& r) {
  r.dif.clear();
  r.vif.clear();
  r.u64_storage = 0;
  r.u32_tariff = 0;
  r.u16_subunit = 0;
  r.s_unit.clear();
  r.vife_names.clear();
}

void _record_fields(bytes b, const header& h, app_mbus_record& r) {
  r.dif.assign(b.begin() + static_cast<std::ptrdiff_t>(h.u_dif_at),
               b.begin() + static_cast<std::ptrdiff_t>(h.u_dif_at + h.u_dif_len));
  r.vif.assign(b.begin() + static_cast<std::ptrdiff_t>(h.u_vif_at),
               b.begin() + static_cast<std::ptrdiff_t>(h.u_vif_at + h.u_vif_len));
  const std::uint8_t dif = r.dif[0];
  static constexpr const char* functions[] = {"instantaneous", "maximum", "minimum", "error"};
  r.pc_function = functions[(dif >> 4) & 0x03];
  r.u64_storage = (dif >> 6) & 0x01;
  for (std::size_t i = 1; i < r.dif.size(); ++i) {
    const std::uint8_t dife = r.dif[i];
    const unsigned k = static_cast<unsigned>(i - 1);
    r.u64_storage |= std::uint64_t{dife & 0x0Fu} << (1 + 4 * k);
    r.u32_tariff |= std::uint32_t{(dife >> 4) & 0x03u} << (2 * k);
    r.u16_subunit = static_cast<std::uint16_t>(r.u16_subunit | ((dife >> 6) & 0x01u) << k);
  }
  if (h.u_text_len != 0) {
    const auto text = b.subspan(h.u_text_at, h.u_text_len);
    r.s_unit.assign(text.rbegin(), text.rend());
  }
}

// The data's size at @p at for header @p h, and its LVAR; none when cut or reserved.
struct data_span {
  std::size_t u_at, u_len;
  std::optional<std::uint8_t> lvar;
};
enum class data_step : std::uint8_t { ok, cut, bad };
data_step _data(bytes b, std::size_t at, const header& h, data_span& d) {
  d = data_span{at, 0, std::nullopt};
  if (const auto n = _fixed_size(h.u8_data)) {
    d.u_len = *n;
  } else {
    if (at >= b.size()) return data_step::cut;
    d.lvar = b[at];
    const auto n_var = _variable_size(*d.lvar);
    if (!n_var) return data_step::bad;
    d.u_at = at + 1;
    d.u_len = *n_var;
  }
  return d.u_at + d.u_len <= b.size() ? data_step::ok : data_step::cut;
}

void _append_decimal(std::string& out, std::int64_t i64, int i_exp10) {
  std::array<char, 24> ac{};
  const bool b_negative = i64 < 0;
  const std::uint64_t u64 =
      b_negative ? ~static_cast<std::uint64_t>(i64) + 1 : static_cast<std::uint64_t>(i64);
  const auto [end, ec] = std::to_chars(ac.data(), ac.data() + ac.size(), u64);
  std::string_view digits{ac.data(), static_cast<std::size_t>(end - ac.data())};
  if (b_negative && u64 != 0) out += '-';
  if (i_exp10 >= 0) {
    out += digits;
    if (u64 != 0) out.append(static_cast<std::size_t>(i_exp10), '0');
    return;
  }
  const std::size_t decimals = static_cast<std::size_t>(-i_exp10);
  if (digits.size() <= decimals) {
    out += "0.";
    out.append(decimals - digits.size(), '0');
    out += digits;
    return;
  }
  out += digits.substr(0, digits.size() - decimals);
  out += '.';
  out += digits.substr(digits.size() - decimals);
}

void _append_real(std::string& out, double d) {
  if (!(d == d) || d > 1.7e308 || d < -1.7e308) {
    out += "null";
    return;
  }
  std::array<char, 40> ac{};
  const auto [end, ec] = std::to_chars(ac.data(), ac.data() + ac.size(), d);
  out.append(ac.data(), static_cast<std::size_t>(end - ac.data()));
}

}  // namespace

void app_mbus_records::clear() {
  records.clear();
  e_end = app_mbus_records_end::complete;
  b_more_follow = false;
  manufacturer.clear();
  format.clear();
}

void app_mbus_records_decode(std::span<const std::uint8_t> b, app_mbus_records& out) {
  // Records are reused: their vectors and strings keep their capacity.
  std::size_t n_used = 0;
  const auto end = [&](app_mbus_records_end e) {
    out.records.resize(n_used);
    out.e_end = e;
  };
  out.e_end = app_mbus_records_end::complete;
  out.b_more_follow = false;
  out.manufacturer.clear();
  out.format.clear();
  std::size_t at = 0;
  header h;
  data_span d;
  while (at < b.size()) {
    switch (_header(b, at, h)) {
      case step::cut:
        return end(app_mbus_records_end::truncated);
      case step::bad:
        return end(app_mbus_records_end::bad_dif);
      case step::special:
        if (b[at] == dif_manufacturer || b[at] == dif_manufacturer_more) {
          out.b_more_follow = b[at] == dif_manufacturer_more;
          out.format.push_back(b[at]);
          out.manufacturer.assign(b.begin() + static_cast<std::ptrdiff_t>(at + 1), b.end());
          return end(app_mbus_records_end::manufacturer);
        }
        ++at;  // filler or readout request: no data
        continue;
      case step::record:
        break;
    }
    const std::size_t data_at = h.u_vif_at + h.u_vif_len;
    switch (_data(b, data_at, h, d)) {
      case data_step::cut:
        return end(app_mbus_records_end::truncated);
      case data_step::bad:
        return end(app_mbus_records_end::bad_dif);
      case data_step::ok:
        break;
    }
    if (n_used == out.records.size()) out.records.emplace_back();
    app_mbus_record& r = out.records[n_used];
    _reset(r);
    ++n_used;
    _record_fields(b, h, r);
    const std::size_t u_vifs =
        (r.vif[0] & 0x7F) == 0x7C ? h.u_vif_len - h.u_text_len - 1 : h.u_vif_len;
    const meaning m = _meaning(r.vif, u_vifs, r);
    r.pc_quantity = m.pc_quantity;
    r.pc_unit = m.pc_unit;
    _value(b.subspan(d.u_at, d.u_len), h.u8_data, d.lvar, m, r.value);
    out.format.insert(out.format.end(), r.dif.begin(), r.dif.end());
    out.format.insert(out.format.end(), r.vif.begin(), r.vif.end());
    at = d.u_at + d.u_len;
  }
  end(app_mbus_records_end::complete);
}

bool app_mbus_records_expand(std::span<const std::uint8_t> format,
                             std::span<const std::uint8_t> data, std::vector<std::uint8_t>& out) {
  out.clear();
  std::size_t at = 0;
  std::size_t data_at = 0;
  header h;
  data_span d;
  while (at < format.size()) {
    const step s = _header(format, at, h);
    if (s == step::cut || s == step::bad) return false;
    if (s == step::special) {
      out.push_back(format[at]);
      if (format[at] == dif_manufacturer || format[at] == dif_manufacturer_more) {
        out.insert(out.end(), data.begin() + static_cast<std::ptrdiff_t>(data_at), data.end());
        return true;
      }
      ++at;
      continue;
    }
    const std::size_t n_header = h.u_dif_len + h.u_vif_len;
    out.insert(out.end(), format.begin() + static_cast<std::ptrdiff_t>(at),
               format.begin() + static_cast<std::ptrdiff_t>(at + n_header));
    at += n_header;
    // The data as the compact frame holds it; a cut record ends the copy (decoded as cut).
    const data_step ds = _data(data, data_at, h, d);
    if (ds == data_step::bad) return false;
    const std::size_t n_end = ds == data_step::ok ? d.u_at + d.u_len : data.size();
    out.insert(out.end(), data.begin() + static_cast<std::ptrdiff_t>(data_at),
               data.begin() + static_cast<std::ptrdiff_t>(n_end));
    data_at = n_end;
    if (ds == data_step::cut) return true;
  }
  return true;
}

void app_mbus_records_json(const std::vector<app_mbus_record>& records, std::string& out) {
  out.clear();
  out += '[';
  thread_local std::string obj;  // grown once a thread: no allocation per call
  thread_local std::string hex;
  for (const app_mbus_record& r : records) {
    if (out.size() > 1) out += ',';
    app_json json(obj);
    _hex(r.dif, hex);
    json.str("dif", hex);
    _hex(r.vif, hex);
    json.str("vif", hex)
        .num("storage", static_cast<std::int64_t>(r.u64_storage))
        .num("tariff", r.u32_tariff)
        .num("subunit", r.u16_subunit)
        .str("function", r.pc_function)
        .str("quantity", r.pc_quantity);
    if (r.pc_unit != nullptr) {
      json.str("unit", r.pc_unit);
    } else if (!r.s_unit.empty()) {
      json.str("unit", r.s_unit);
    }
    if (!r.vife_names.empty()) {
      hex.clear();
      hex += '[';
      for (const char* pc : r.vife_names) {
        if (hex.size() > 1) hex += ',';
        hex += '"';
        hex += pc;
        hex += '"';
      }
      hex += ']';
      json.raw("vife", hex);
    }
    const app_mbus_value& v = r.value;
    switch (v.e_kind) {
      case app_mbus_value::kind::none:
        json.raw("value", "null");
        break;
      case app_mbus_value::kind::integer:
        hex.clear();
        _append_decimal(hex, v.i64, v.i8_exp10);
        json.raw("value", hex);
        break;
      case app_mbus_value::kind::real:
        hex.clear();
        _append_real(hex, v.d);
        json.raw("value", hex);
        break;
      case app_mbus_value::kind::text:
      case app_mbus_value::kind::hex:
        json.str("value", v.s);
        break;
    }
    out += json.end();
  }
  out += ']';
}
