// Action dispatch of the tool: the one maintenance action that the command line selects
// (app_options::e_action), issued against one modem from the main thread.
#pragma once

#include <cstdint>

#include "app_main_args.h"
#include "app_main_outcome.h"

/// Bytes of the working buffer that holds the absolute file path (terminator included), the
/// receiver configuration or the decoded transmit frame.
inline constexpr std::uint32_t APP_WORK_BUFFER_SIZE = 1024;

/// What the tool does for one action.
struct app_action_entry {
  const char* pc_name;          ///< in the result event and the Outcome line
  app_completion e_completion;  ///< the indication that completes it
  /// Issues it (see app_main_dispatch).
  int (*pf_dispatch)(const app_options& opt, std::uint32_t u32_id);
};

/// The entry of @p e_action: "monitor", "upgrade", "download", "rx_mode", "transmit", "command",
/// "set_param", "get_param", "force_update", "statistics", "noise".
const app_action_entry& app_action_of(app_action e_action);

/// Issues the action of @p opt against modem @p u32_id: firmware upgrade (-u), end-point file
/// (-d, after command 2), receiver modes (-r, then command 2), transmit frame (-t, after
/// command 2), command (-c), parameter write (-p), parameter read (-g), forced update (-f),
/// statistics of every modem (-s; of modem @p u32_id alone when -m names it), noise measurement
/// (-n); for a monitor logs "No action requested". File names are made absolute from the
/// working directory. Blocks until the requests are answered or given up. Main thread.
/// @retval 1  an action was issued (its own failures are reported by the request)
/// @retval 0  no action requested
/// @retval -1 refused here (error line): the working directory cannot be read, the path or the
///            frame does not fit the working buffer, or the request refused its file (empty,
///            unreadable, sizes, staging); for -d, command 2 has gone out before the file check
int app_main_dispatch(const app_options& opt, std::uint32_t u32_id);

/// The checks of the action of @p opt that need no modem, made before waiting for one (a bounded
/// run): the file of -u or -d exists, is a regular file of at most 4 GiB, readable and not
/// empty, -d's packet size (1 to 65,535) divides its size; -t's frame fits. Sends nothing.
/// @retval 1  nothing to refuse
/// @retval -1 refused, with an error line saying why
int app_main_check(const app_options& opt);
