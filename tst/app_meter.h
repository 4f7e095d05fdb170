// Meters heard on the LAN, from the telegrams: an inventory per meter and the survey of the
// meters expected. Pure: no lock, no trace, no I/O but the expected file's reading; one owner
// thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app_telegram.h"

class app_json;

/// Meters the inventory holds at most; telegrams of further meters are counted, not added.
inline constexpr std::size_t APP_METER_MAX = 10'000;

/// What identifies a meter: manufacturer letters, id as printed, version, device type.
struct app_meter_id {
  std::string s_manufacturer;  ///< three letters
  std::string s_id;            ///< eight digits as printed on the meter
  std::uint8_t u8_version = 0;
  std::uint8_t u8_device_type = 0;
  auto operator<=>(const app_meter_id&) const = default;
};

/// One modem and receiver that heard a meter.
struct app_meter_receiver {
  std::optional<std::uint32_t> modem;
  std::optional<std::uint8_t> receiver;
  std::uint64_t u64_copies = 0;
  int i_rssi_dbm_max = 0;
  double d_rssi_sum = 0;  ///< for the average
};

/// What the decoder read of a telegram (-D): the inventory keeps the last records.
struct app_meter_data {
  bool b_decoded = false;
  const char* pc_decrypt = "none";  ///< app_mbus_decrypt_name
  std::string s_records;            ///< the records as a JSON array; empty when none
};

/// What was heard of one meter.
struct app_meter {
  app_meter_id id;
  std::int64_t i64_first_ms = 0, i64_last_ms = 0;
  std::uint64_t u64_telegrams = 0, u64_copies = 0, u64_repeats = 0;
  std::vector<std::int64_t> intervals_ms;  ///< between consecutive telegrams (bounded)
  std::vector<std::uint8_t> acc_seen;      ///< access numbers, in arrival order (bounded)
  std::vector<app_meter_receiver> receivers;
  bool b_decoded = false;                        ///< the telegrams went through the decoder
  std::map<std::string, std::uint64_t> decrypt;  ///< telegrams by decrypt result
  std::string s_last_records;                    ///< JSON array of the last records decoded
};

/// One line of the expected-meters file: MAN,ID[,min_rssi_dbm[,min_receivers]].
struct app_meter_expected {
  std::string s_manufacturer;
  std::string s_id;
  std::optional<int> min_rssi_dbm;
  std::optional<unsigned> min_receivers;
};

/// Reads the expected meters of @p pc_path ('#' starts a comment, blank lines skipped).
/// @return the meters, or none with @p s_error ("FILE:LINE: why") set.
std::optional<std::vector<app_meter_expected>> app_meter_read_expected(const char* pc_path,
                                                                       std::string& s_error);
/// One line of that file (no comment, not blank). @return none when malformed.
std::optional<app_meter_expected> app_meter_parse_expected(std::string_view line);

/// The verdict on the expected meters.
struct app_survey {
  std::size_t u_expected = 0, u_ok = 0;
  std::vector<std::string> missing, weak, single, unexpected;  ///< "MAN,ID" texts, sorted
  bool failed() const { return !missing.empty() || !weak.empty() || !single.empty(); }
};

/// The inventory.
class app_meter_inventory {
 public:
  /// A closed telegram (frames shorter than the id are not meters: ignored), and what the
  /// decoder read of it when @p pt_data is not null.
  void add(const app_telegram& t_telegram, const app_meter_data* pt_data = nullptr);
  /// The meters, sorted by manufacturer, then id (then version and device type).
  const std::map<app_meter_id, app_meter>& meters() const { return meters_; }
  /// Telegrams of meters beyond APP_METER_MAX.
  std::uint64_t not_added() const { return u64_not_added_; }
  /// The survey of @p expected against what was heard.
  app_survey survey(const std::vector<app_meter_expected>& expected) const;

 private:
  std::map<app_meter_id, app_meter> meters_;
  std::uint64_t u64_not_added_ = 0;
};

/// Adds the members of the meter event after "event"/"time" (see the manual): "manufacturer",
/// "id", "version", "device_type", "first_seen", "last_seen", "telegrams", "copies", "repeats",
/// "interval_s" ({"median","max"}), "acc" ({"distinct","span","loss_estimate"}), "best"
/// ({"modem","receiver","rssi_dbm"}), "receivers" ([{"modem","receiver","copies",
/// "rssi_dbm_max","rssi_dbm_avg","share"}]); after decoding (-D) also "decrypt" ({result: count})
/// and "last_records".
void app_meter_members(const app_meter& t_meter, app_json& json);

/// Adds the survey object as member "survey" of the result event: {"expected","ok","missing",
/// "weak","single","unexpected"}.
void app_survey_member(const app_survey& t_survey, app_json& json);
