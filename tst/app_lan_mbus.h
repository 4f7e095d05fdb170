// The meters' data in the events of a run (-D, -a): one decoder for the run, shared by the frame
// events (frame worker), the telegram events and the replay, behind one lock taken only when
// decoding is on.
#pragma once

#include <atomic>
#include <cstdint>
#include <span>
#include <string>

class app_json;
struct app_meter_data;

/// Switches decoding on, with the keys of @p pc_keys when not null. Main thread, before the
/// LAN or a replay starts.
/// @retval 1 on. @retval -1 the keys file was refused: @p s_error says why; decoding stays off.
int app_lan_mbus_start(const char* pc_keys, std::string& s_error);

/// True once started.
bool app_lan_mbus_on();

/// Decodes @p frame and adds its members to @p json; what the meter inventory keeps of it goes
/// to @p pt_data when not null. Any thread.
void app_lan_mbus_members(std::span<const std::uint8_t> frame, app_json& json,
                          app_meter_data* pt_data = nullptr);

/// Clears the keys from memory (the process is about to end). Any thread; decoding goes on
/// without keys.
void app_lan_mbus_forget_keys() noexcept;
