// Timers: each running timer is a thread of its own that waits on its mailbox for one period and
// calls the user's callback on expiry. The caller knows a timer by a variable holding the
// thread's handle, non-null exactly while the timer thread runs.
#pragma once

#include <cstdint>

#include "vos_task_linux.h"

/// Timer callback: runs on the timer thread with the callback argument; its result is ignored.
using vos_timer_callback_t = std::uint32_t (*)(void* pv_arg);

/// Timer settings.
struct vos_timer_param_rec {
  vos_os_thread_t* timer;         ///< address of the timer variable (unused in a reprogram command)
  std::uint8_t periodic;          ///< non-zero: fire every period; 0: fire once
  std::uint32_t period;           ///< ticks of 20 ms; 0: never expires
  vos_timer_callback_t callback;  ///< may be null
  void* arg;                      ///< callback argument
};

/// Command kinds sent to a timer thread.
inline constexpr std::uint32_t VOS_TIMER_STOP = 1;
inline constexpr std::uint32_t VOS_TIMER_RESTART = 2;
inline constexpr std::uint32_t VOS_TIMER_SUSPEND = 3;
inline constexpr std::uint32_t VOS_TIMER_REPROG = 4;

/// Command to a timer thread: an accounted zeroed block the timer thread frees after reading.
struct vos_timer_msg {
  std::uint32_t kind;         ///< VOS_TIMER_STOP .. VOS_TIMER_REPROG
  vos_timer_param_rec param;  ///< new settings, read for VOS_TIMER_REPROG only
};

// The timer variable is written by vos_util_start_timer on the caller's thread and cleared by the
// timer thread when it ends; another thread that reads it while the timer may be ending reads it
// atomically (std::atomic_ref). The command functions are safe against a timer ending meanwhile.

/// Starts a timer thread ("timer", 262,144-byte stack) armed with the given settings and stores
/// its handle in *pt_timer. Any thread.
/// @retval 1 started
/// @retval 0 null address or a variable that is not null ("vos_util_start_timer refused",
///           debug), or no thread could be made; nothing is left running
int vos_util_start_timer(vos_os_thread_t* pt_timer, std::uint8_t u8_periodic,
                         std::uint32_t u32_period, vos_timer_callback_t pf_callback, void* pv_arg);

/// Sends a restart command: the timer becomes armed with a full period counted from when it
/// takes the command. Does not wait for the timer. Any thread.
/// @retval 1 sent
/// @retval 0 no timer ("vos_util_restart_timer is not started", debug), or the command was refused
int vos_util_restart_timer(vos_os_thread_t* pt_timer);

/// Sends a suspend command: the timer waits, without firing, for the next command. Any thread.
/// @retval 1 sent
/// @retval 0 no timer ("vos_util_suspend_timer is not started", debug), or the command was refused
int vos_util_suspend_timer(vos_os_thread_t* pt_timer);

/// Sends a reprogram command: new periodic flag, period, callback and argument, armed from when
/// the timer takes the command. Any thread.
/// @retval 1 sent
/// @retval 0 no timer (nothing logged), or the command was refused
int vos_util_start_timer_re_prog(vos_os_thread_t* pt_timer, std::uint8_t u8_periodic,
                                 std::uint32_t u32_period, vos_timer_callback_t pf_callback,
                                 void* pv_arg);

/// Sends a stop command: the timer thread sets the variable to null and ends. Commands still
/// waiting behind it are dropped. Any thread.
/// @retval 1 sent
/// @retval 0 no timer ("vos_util_stop_timer already stopped", debug), or the command was refused
int vos_util_stop_timer(vos_os_thread_t* pt_timer);

/// Body of every timer thread; @p pv_param is the vos_timer_param_rec block made by
/// vos_util_start_timer, which the thread frees first.
/// @return 0 when the timer ends
std::uint32_t vos_util_timer_cb(vos_os_thread_t t_thread, void* pv_param);
