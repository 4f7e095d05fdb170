// Radio telegrams: the copies of one radio transmission that several modems and receivers
// forwarded, told apart from a meter's later transmissions of the same content. Pure: no lock,
// no trace, no I/O; one owner thread at a time (the frame worker, or a replay).
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

class app_json;

/// Longest correlation window (-y), in milliseconds; the default.
inline constexpr std::int64_t APP_TELEGRAM_WINDOW_MAX_MS = 60'000;
inline constexpr std::int64_t APP_TELEGRAM_WINDOW_DEFAULT_MS = 2'000;
/// Telegrams whose window may be open at once; beyond that the oldest is closed early.
inline constexpr std::size_t APP_TELEGRAM_OPEN_MAX = 4'096;
/// How long an emitted key is remembered, so that the same content later is a repeat.
inline constexpr std::int64_t APP_TELEGRAM_REPEAT_MS = 60'000;

/// The key of a frame: a stable 64-bit hash (FNV-1a) of the link-layer bytes from L to the end,
/// link-layer CRCs left out when the frame carries them (format A or B, every CRC verified), and
/// in an extended link layer (CI 0x8C to 0x8F) the CC field's bits H (0x10) and R (0x02) masked.
struct app_telegram_key {
  std::uint64_t u64_hash = 0;
  bool b_relayed = false;  ///< H or R was set in this copy
};

/// Key of @p frame (as the modem forwarded it). An empty frame hashes the empty string.
app_telegram_key app_telegram_key_of(std::span<const std::uint8_t> frame);

/// The access number of link-layer bytes @p link (no CRC blocks), when they hold one: after CI
/// 0x7A, after the long header of CI 0x72, after CC in an extended link layer (0x8C, 0x8D).
std::optional<std::uint8_t> app_telegram_access_number(std::span<const std::uint8_t> link);

/// One receiver's copy of a telegram.
struct app_telegram_copy {
  std::optional<std::uint32_t> modem;    ///< serial of the registered modem; none: not registered
  std::string s_address;                 ///< "ip:port" of the sender ("" when unknown: replay)
  std::optional<std::uint8_t> receiver;  ///< RF_RECEIVER; none when unknown (replay of hex)
  int i_rssi_dbm = 0;
  std::int16_t i16_freq_offset = 0;
  std::uint32_t u32_rtc_sec = 0;
  std::uint16_t u16_rtc_msec = 0;
  std::int64_t i64_arrival_ms = 0;  ///< gateway clock (UTC milliseconds) when it arrived
  bool b_relayed = false;
};

/// A closed telegram: its first copy's bytes and every distinct (modem, receiver) copy in
/// arrival order.
struct app_telegram {
  std::uint64_t u64_key = 0;
  std::vector<std::uint8_t> raw;  ///< the first copy's frame
  std::vector<app_telegram_copy> copies;
  std::uint32_t u32_duplicates = 0;  ///< copies from a (modem, receiver) already listed
  bool b_repeat = false;  ///< the same key was emitted within APP_TELEGRAM_REPEAT_MS before
  std::int64_t first_ms() const { return copies.empty() ? 0 : copies.front().i64_arrival_ms; }
};

/// Adds the members of the telegram event after "event"/"time" (see the manual): "key" (16
/// lower-case hex digits), "length", "raw", the link layer as in the frame event, "acc" when the
/// frame has an access number, "copies", "receivers", "best", "rssi_spread_db", "repeat",
/// "duplicates".
void app_telegram_members(const app_telegram& t_telegram, app_json& json);

/// Groups copies into telegrams. Times are the gateway's (milliseconds); they never go back.
class app_telegram_correlator {
 public:
  using sink = std::function<void(const app_telegram&)>;
  /// @p i64_window_ms: 0 makes every frame a telegram of its own.
  explicit app_telegram_correlator(std::int64_t i64_window_ms, sink pf_emit);

  /// A frame arrived at @p t_copy.i64_arrival_ms. Closes first the telegrams whose window has
  /// passed by then; joins the open telegram of the same key or opens one.
  void add(std::span<const std::uint8_t> frame, app_telegram_copy t_copy);
  /// Closes (emits) every telegram whose window has passed at @p i64_now_ms.
  void expire(std::int64_t i64_now_ms);
  /// Closes every open telegram, oldest first (end of a run).
  void flush();
  /// When the next window closes (for the owner's wait); none when nothing is open.
  std::optional<std::int64_t> next_close_ms() const;
  /// Telegrams closed before their window because APP_TELEGRAM_OPEN_MAX were open.
  std::uint64_t closed_early() const { return u64_closed_early_; }
  std::size_t open_count() const { return open_.size(); }

 private:
  struct open_telegram {
    app_telegram t;
    std::int64_t i64_close_ms;
  };
  struct emission {
    std::uint64_t u64_key;
    std::int64_t i64_ms;
  };
  void close_front(std::int64_t i64_at_ms);
  void emit(app_telegram t, std::int64_t i64_at_ms);
  void forget_emitted(std::int64_t i64_now_ms);
  void advance_clock(std::int64_t i64_ms);
  std::int64_t i64_window_ms_;
  sink pf_emit_;
  // Every window is as long, so open order is close order: a queue, oldest first.
  std::deque<open_telegram> open_;
  std::unordered_map<std::uint64_t, std::uint64_t> by_key_;  // key -> u64_front_seq_ + index
  std::uint64_t u64_front_seq_ = 0;                          // sequence number of open_.front()
  std::unordered_map<std::uint64_t, std::int64_t> emitted_;  // key -> last emission time
  std::deque<emission> emissions_;  // emission order, for forgetting keys after REPEAT_MS
  std::int64_t i64_clock_ms_ = 0;   // latest time seen (a time that goes back is taken as this)
  bool b_clock_ = false;            // a time was seen
  std::uint64_t u64_closed_early_ = 0;
};
