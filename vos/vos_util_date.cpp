// Date and time conversions and clock setting. Date texts have a fixed layout: the fields are
// read at fixed offsets and the separators between them are not checked.
#include "vos_util_date.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <optional>
#include <string_view>

#include "vos_trace.h"
#include "vos_util_date_internal.h"

namespace {

constexpr const char* source_name = "vos_util.c";

std::time_t _vos_util_system_clock(std::time_t* pt) { return std::time(pt); }
int _vos_util_system_runner(const char* pc_command) { return std::system(pc_command); }

constinit std::atomic<detail::vos_util_clock_fn> _pf_clock{&_vos_util_system_clock};
constinit std::atomic<detail::vos_util_runner_fn> _pf_runner{&_vos_util_system_runner};

void _vos_util_run(const char* pc_command) {
  _pf_runner.load(std::memory_order_relaxed)(pc_command);
}

// Decimal number at the start of @p text, reading up to the first non-digit; none without a
// digit. Large values saturate, which every range check then refuses.
std::optional<long> _vos_util_read_number(std::string_view text) {
  long l_value = 0;
  std::size_t i = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    if (l_value < 100'000'000L) {
      l_value = l_value * 10 + (text[i] - '0');
    }
  }
  if (i == 0) {
    return std::nullopt;
  }
  return l_value;
}

struct date_fields {
  long l_year, l_month, l_day, l_hour, l_minute, l_second;
};

// Year test shared by the three conversions: false on a year before 1900 (logged); warns
// with @p pc_old_year_warning on a year before 2000.
bool _vos_util_check_year(long l_year, const char* pc_old_year_warning) {
  if (l_year <= 1899) {
    VOS_ERROR("Invalid date");
    return false;
  }
  if (l_year < 2000) {
    VOS_WARNING("%s", pc_old_year_warning);
  }
  return true;
}

bool _in(long l_value, long l_min, long l_max) { return l_value >= l_min && l_value <= l_max; }

// Range test of month to second, in that order; logs "Invalid date" on the first failure.
bool _vos_util_check_fields(const date_fields& s) {
  if (!_in(s.l_month, 1, 12) || !_in(s.l_day, 1, 31) || !_in(s.l_hour, 0, 23) ||
      !_in(s.l_minute, 0, 59) || !_in(s.l_second, 0, 59)) {
    VOS_ERROR("Invalid date");
    return false;
  }
  return true;
}

// Parses and checks a date text; @p pc_old_year_warning as for _vos_util_check_year.
std::optional<date_fields> _vos_util_parse_date(const char* pc_date,
                                                const char* pc_old_year_warning) {
  const std::string_view text(pc_date, strnlen(pc_date, vos_util_date_len + 1));
  const auto year = _vos_util_read_number(text);
  if (!year) {
    VOS_ERROR("Invalid date");
    return std::nullopt;
  }
  if (!_vos_util_check_year(*year, pc_old_year_warning)) {
    return std::nullopt;
  }
  if (text.size() != static_cast<std::size_t>(vos_util_date_len)) {
    VOS_ERROR("Invalid date");
    return std::nullopt;
  }
  date_fields s{*year, -1, -1, -1, -1, -1};
  long* apl[] = {&s.l_month, &s.l_day, &s.l_hour, &s.l_minute, &s.l_second};
  std::size_t offset = 5;
  for (long* pl : apl) {
    // A field without a digit is left at -1, out of every range.
    if (const auto value = _vos_util_read_number(text.substr(offset))) {
      *pl = *value;
    }
    offset += 3;
  }
  if (!_vos_util_check_fields(s)) {
    return std::nullopt;
  }
  return s;
}

std::tm _vos_util_to_tm(const date_fields& s, int i_isdst) {
  std::tm s_tm{};
  s_tm.tm_year = static_cast<int>(s.l_year - 1900);
  s_tm.tm_mon = static_cast<int>(s.l_month - 1);
  s_tm.tm_mday = static_cast<int>(s.l_day);
  s_tm.tm_hour = static_cast<int>(s.l_hour);
  s_tm.tm_min = static_cast<int>(s.l_minute);
  s_tm.tm_sec = static_cast<int>(s.l_second);
  s_tm.tm_isdst = i_isdst;
  return s_tm;
}

// UTC reading of checked fields; days past the month's end roll over into the next month.
// Dates a u32 timestamp cannot hold (before 1970, after 2106) are invalid.
std::uint32_t _vos_util_utc_timestamp(const date_fields& s) {
  std::tm s_tm = _vos_util_to_tm(s, 0);
  const std::time_t t = timegm(&s_tm);
  if (t < 0 || static_cast<unsigned long long>(t) > std::numeric_limits<std::uint32_t>::max()) {
    VOS_ERROR("Invalid date");
    return 0;
  }
  return static_cast<std::uint32_t>(t);
}

}  // namespace

namespace detail {

void vos_util_set_clock(vos_util_clock_fn pf_clock) {
  _pf_clock.store(pf_clock != nullptr ? pf_clock : &_vos_util_system_clock,
                  std::memory_order_relaxed);
}

void vos_util_set_runner(vos_util_runner_fn pf_runner) {
  _pf_runner.store(pf_runner != nullptr ? pf_runner : &_vos_util_system_runner,
                   std::memory_order_relaxed);
}

}  // namespace detail

std::uint32_t vos_util_get_timestamp() {
  const auto pf_clock = _pf_clock.load(std::memory_order_relaxed);
  std::time_t t_now = pf_clock(nullptr);
  if (t_now < 0) {
    VOS_ERROR("time request failed %ld", static_cast<long>(t_now));
    t_now = pf_clock(nullptr);
    if (t_now < 0) {
      VOS_ERROR("time request failed once again %ld", static_cast<long>(t_now));
      return 0;
    }
  }
  return static_cast<std::uint32_t>(t_now);
}

std::int32_t vos_util_timestamp_to_date_gmt(std::uint32_t u32_timestamp, char* pc_date) {
  if (pc_date == nullptr) {
    return 0;
  }
  const std::time_t t = u32_timestamp;
  std::tm s_tm{};
  gmtime_r(&t, &s_tm);
  const int n = std::snprintf(pc_date, vos_util_date_len + 1, "%04d-%02d-%02d %02d:%02d:%02d",
                              s_tm.tm_year + 1900, s_tm.tm_mon + 1, s_tm.tm_mday, s_tm.tm_hour,
                              s_tm.tm_min, s_tm.tm_sec);
  return n < 0 ? 0 : (n > vos_util_date_len ? vos_util_date_len : n);
}

std::int32_t vos_util_date_to_timestamp(const char* pc_date) {
  if (pc_date == nullptr) {
    VOS_ERROR("Invalid date");
    return 0;
  }
  const auto fields = _vos_util_parse_date(pc_date, "Year is less than 2006");
  if (!fields) {
    return 0;
  }
  std::tm s_tm = _vos_util_to_tm(*fields, -1);
  const std::time_t t = std::mktime(&s_tm);
  // mktime's failure value, and dates a signed 32-bit timestamp cannot hold, are invalid.
  if (t == static_cast<std::time_t>(-1) || t < std::numeric_limits<std::int32_t>::min() ||
      t > std::numeric_limits<std::int32_t>::max()) {
    VOS_ERROR("Invalid date");
    return 0;
  }
  return static_cast<std::int32_t>(t);
}

std::uint32_t vos_util_gmt_date_to_timestamp(const char* pc_date) {
  if (pc_date == nullptr || pc_date[0] == '\0') {
    return 0;
  }
  const auto fields = _vos_util_parse_date(pc_date, "Year is less than 2000");
  return fields ? _vos_util_utc_timestamp(*fields) : 0;
}

std::uint32_t vos_util_gmt_date_time_to_timestamp(const vos_date_time_rec* ps_date) {
  if (ps_date == nullptr) {
    VOS_ERROR("Invalid date");
    return 0;
  }
  const date_fields s{ps_date->u16_year, ps_date->u8_month,  ps_date->u8_day,
                      ps_date->u8_hour,  ps_date->u8_minute, ps_date->u8_second};
  if (!_vos_util_check_year(s.l_year, "Year is less than 2006") || !_vos_util_check_fields(s)) {
    return 0;
  }
  return _vos_util_utc_timestamp(s);
}

std::int32_t vos_util_gmt_offset() {
  std::tm s_tm{};
  s_tm.tm_year = 70;
  s_tm.tm_mday = 1;
  s_tm.tm_hour = 24;
  s_tm.tm_isdst = -1;
  return static_cast<std::int32_t>(std::mktime(&s_tm) - 86400);
}

void vos_util_set_date_time(const vos_date_time_rec* ps_date) {
  if (ps_date == nullptr) {
    return;
  }
  char ac_command[64];
  std::snprintf(ac_command, sizeof ac_command, "date -u %02d%02d%02d%02d%04d.%02d",
                ps_date->u8_month, ps_date->u8_day, ps_date->u8_hour, ps_date->u8_minute,
                ps_date->u16_year, ps_date->u8_second);
  _vos_util_run(ac_command);
  _vos_util_run("hwclock -w -u");
}

void vos_util_set_date_time_with_timestamp(std::uint32_t u32_timestamp) {
  const std::time_t t = u32_timestamp;
  std::tm s_tm{};
  gmtime_r(&t, &s_tm);
  const vos_date_time_rec s_date{
      static_cast<std::uint16_t>(s_tm.tm_year + 1900), static_cast<std::uint8_t>(s_tm.tm_mon + 1),
      static_cast<std::uint8_t>(s_tm.tm_mday),         static_cast<std::uint8_t>(s_tm.tm_hour),
      static_cast<std::uint8_t>(s_tm.tm_min),          static_cast<std::uint8_t>(s_tm.tm_sec)};
  vos_util_set_date_time(&s_date);
}
