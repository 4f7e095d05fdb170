// Recorded frames read back: one line of a recording, as the JSON lines of -j write frame
// events, or a plain line of hexadecimal (one frame). Pure: no I/O, no lock.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "app_telegram.h"

/// A recorded frame.
struct app_replay_frame {
  std::vector<std::uint8_t> frame;
  app_telegram_copy copy;  ///< i64_arrival_ms from "time" (0 for a hexadecimal line)
};

/// What one line of a recording holds.
enum class app_replay_line : std::uint8_t {
  frame,      ///< a frame, in the record
  skipped,    ///< another event, or a blank line: not a frame, not an error
  malformed,  ///< neither a JSON object with "event" nor hexadecimal (counted by the caller)
};

/// Reads one line (without its newline) into @p pt_out. A JSON "frame" event gives its "raw"
/// bytes, "time" (ISO 8601 UTC with milliseconds) as the arrival, "modem", "address",
/// "receiver", "rssi_dbm", "freq_offset", "rtc_sec", "rtc_msec" (each when present); a line
/// of an even number of hexadecimal digits (blanks around allowed) gives the frame alone.
app_replay_line app_replay_parse(std::string_view line, app_replay_frame* pt_out);
