// Date and time of the vos_util module: timestamps (u32 seconds since 1970-01-01 00:00:00 UTC),
// date texts "YYYY-MM-DD hh:mm:ss" and date-time records, and setting the system clock.
#pragma once

#include <cstdint>

/// Broken-down date and time. Month 1-12, day 1-31, hour 0-23, minute 0-59, second 0-59.
struct vos_date_time_rec {
  std::uint16_t u16_year;  ///< full year, e.g. 2016
  std::uint8_t u8_month;
  std::uint8_t u8_day;
  std::uint8_t u8_hour;
  std::uint8_t u8_minute;
  std::uint8_t u8_second;
};

/// Length of a date text, without its NUL; a buffer for one holds at least 20 bytes.
inline constexpr int vos_util_date_len = 19;

/// Reads the clock. Any thread.
/// @return the timestamp of now, or 0 when the clock cannot be read (logged).
std::uint32_t vos_util_get_timestamp();

/// Writes the UTC date text of @p u32_timestamp into @p pc_date (caller's buffer, at least
/// 20 bytes, NUL-terminated on return).
/// @return the number of characters written (19), or 0 when @p pc_date is null.
std::int32_t vos_util_timestamp_to_date_gmt(std::uint32_t u32_timestamp, char* pc_date);

/// Reads a date text as local time (daylight saving decided by the platform).
/// @return the timestamp; 0 when the text is invalid ("Invalid date" logged).
std::int32_t vos_util_date_to_timestamp(const char* pc_date);

/// Reads a date text as UTC.
/// @return the timestamp; 0 when the text is empty (silently) or invalid ("Invalid date").
std::uint32_t vos_util_gmt_date_to_timestamp(const char* pc_date);

/// Reads a date-time record as UTC.
/// @return the timestamp; 0 when the record is null or invalid ("Invalid date").
std::uint32_t vos_util_gmt_date_time_to_timestamp(const vos_date_time_rec* ps_date);

/// @return minus the local zone's offset east of UTC in seconds (-3600 one hour east; 0 in UTC).
std::int32_t vos_util_gmt_offset();

/// Sets the system clock to the UTC date of @p ps_date, then copies it to the hardware clock.
/// Null does nothing. The commands' results are not examined.
void vos_util_set_date_time(const vos_date_time_rec* ps_date);

/// As vos_util_set_date_time with the UTC date of @p u32_timestamp.
void vos_util_set_date_time_with_timestamp(std::uint32_t u32_timestamp);
