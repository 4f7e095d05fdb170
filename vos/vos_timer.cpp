// Timers, one thread each. A module lock covers reading a timer variable and sending to the
// handle it holds, and the clearing of that variable by the ending timer thread, so that no
// command is ever sent to a thread record that has already been freed.
#include "vos_timer.h"

#include <atomic>
#include <mutex>

#include "vos_mem.h"
#include "vos_trace.h"

namespace {

constexpr const char* source_name = "vos_util.c";

constexpr std::uint32_t timer_thread_ignored = 6;  // the priority argument has no effect

// Outermost lock of the module; taken before a mailbox mutex, never inside one. A static lock
// rather than a vos_os_mutex: it exists before vos_os_init and is not counted as a block.
constinit std::mutex _t_timer_lock;

vos_os_thread_t _load(vos_os_thread_t* pt_timer) {
  return std::atomic_ref<vos_os_thread_t>(*pt_timer).load(std::memory_order_acquire);
}

void _store(vos_os_thread_t* pt_timer, vos_os_thread_t t_value) {
  std::atomic_ref<vos_os_thread_t>(*pt_timer).store(t_value, std::memory_order_release);
}

enum class _timer_result { sent, not_started, refused };

// Allocates a command of @p u32_kind (with @p ps_param for a reprogram) and sends it to the
// timer held by *pt_timer.
_timer_result _vos_util_send_timer_cmd(vos_os_thread_t* pt_timer, std::uint32_t u32_kind,
                                       const vos_timer_param_rec* ps_param) {
  if (pt_timer == nullptr) {
    return _timer_result::not_started;
  }
  vos_timer_msg* ps_msg = nullptr;
  vos_os_calloc(&ps_msg, sizeof(vos_timer_msg));
  if (ps_msg == nullptr) {
    VOS_ERROR("Memory overflow\n");
    return _timer_result::refused;
  }
  vos_unique_ptr<vos_timer_msg> p_msg(ps_msg);
  p_msg->kind = u32_kind;
  if (ps_param != nullptr) {
    p_msg->param = *ps_param;
    p_msg->param.timer = nullptr;
  }
  std::lock_guard lock(_t_timer_lock);
  const vos_os_thread_t t_timer = _load(pt_timer);
  if (t_timer == nullptr) {
    return _timer_result::not_started;
  }
  void* pv_msg = p_msg.get();
  if (vos_os_send_msg_to_thread(t_timer, &pv_msg) != 1) {
    VOS_ERROR("timer command %u refused", u32_kind);
    return _timer_result::refused;
  }
  p_msg.release();
  return _timer_result::sent;
}

struct _timer_settings {
  std::uint8_t periodic;
  std::uint32_t period;
  vos_timer_callback_t callback;
  void* arg;
};

_timer_settings _settings_of(const vos_timer_param_rec& s_param) {
  return {s_param.periodic, s_param.period, s_param.callback, s_param.arg};
}

}  // namespace

int vos_util_start_timer(vos_os_thread_t* pt_timer, std::uint8_t u8_periodic,
                         std::uint32_t u32_period, vos_timer_callback_t pf_callback, void* pv_arg) {
  std::lock_guard lock(_t_timer_lock);
  if (pt_timer == nullptr || _load(pt_timer) != nullptr) {
    VOS_DEBUG("vos_util_start_timer refused");
    return 0;
  }
  vos_timer_param_rec* ps_param = nullptr;
  vos_os_calloc(&ps_param, sizeof(vos_timer_param_rec));
  if (ps_param == nullptr) {
    VOS_ERROR("Memory overflow\n");
    return 0;
  }
  *ps_param = {pt_timer, u8_periodic, u32_period, pf_callback, pv_arg};
  const vos_os_thread_t t_timer = vos_os_create_thread_stack(
      &vos_util_timer_cb, timer_thread_ignored, "timer", ps_param, VOS_OS_DEFAULT_STACK);
  if (t_timer == nullptr) {
    // The thread never ran, so the settings are still ours.
    vos_os_free(&ps_param);
    return 0;
  }
  _store(pt_timer, t_timer);
  return 1;
}

int vos_util_restart_timer(vos_os_thread_t* pt_timer) {
  const _timer_result e_result = _vos_util_send_timer_cmd(pt_timer, VOS_TIMER_RESTART, nullptr);
  if (e_result == _timer_result::not_started) {
    VOS_DEBUG("vos_util_restart_timer is not started");
  }
  return e_result == _timer_result::sent ? 1 : 0;
}

int vos_util_suspend_timer(vos_os_thread_t* pt_timer) {
  const _timer_result e_result = _vos_util_send_timer_cmd(pt_timer, VOS_TIMER_SUSPEND, nullptr);
  if (e_result == _timer_result::not_started) {
    VOS_DEBUG("vos_util_suspend_timer is not started");
  }
  return e_result == _timer_result::sent ? 1 : 0;
}

int vos_util_start_timer_re_prog(vos_os_thread_t* pt_timer, std::uint8_t u8_periodic,
                                 std::uint32_t u32_period, vos_timer_callback_t pf_callback,
                                 void* pv_arg) {
  const vos_timer_param_rec s_param{nullptr, u8_periodic, u32_period, pf_callback, pv_arg};
  return _vos_util_send_timer_cmd(pt_timer, VOS_TIMER_REPROG, &s_param) == _timer_result::sent ? 1
                                                                                               : 0;
}

int vos_util_stop_timer(vos_os_thread_t* pt_timer) {
  const _timer_result e_result = _vos_util_send_timer_cmd(pt_timer, VOS_TIMER_STOP, nullptr);
  if (e_result == _timer_result::not_started) {
    VOS_DEBUG("vos_util_stop_timer already stopped");
  }
  return e_result == _timer_result::sent ? 1 : 0;
}

std::uint32_t vos_util_timer_cb(vos_os_thread_t t_thread, void* pv_param) {
  vos_timer_param_rec* ps_param = static_cast<vos_timer_param_rec*>(pv_param);
  vos_os_thread_t* const pt_timer = ps_param->timer;
  _timer_settings s_settings = _settings_of(*ps_param);
  vos_os_free(&ps_param);

  bool b_armed = true;
  for (;;) {
    void* pv_msg = nullptr;
    const int i_wait = b_armed
                           ? vos_os_wait_msg_to_thread_timeout(t_thread, &pv_msg, s_settings.period)
                           : vos_os_wait_msg_to_thread(t_thread, &pv_msg);
    if (i_wait == 0) {
      if (s_settings.callback != nullptr) {
        s_settings.callback(s_settings.arg);
      }
      if (!vos_os_test_msg_to_thread(t_thread)) {
        // The next period counts from the end of the callback.
        b_armed = s_settings.periodic != 0;
        continue;
      }
      pv_msg = nullptr;
      if (vos_os_wait_msg_to_thread(t_thread, &pv_msg) != 1 || pv_msg == nullptr) {
        VOS_ERROR("Mailbox bug\n");
        b_armed = true;
        continue;
      }
    } else if (i_wait != 1 || pv_msg == nullptr) {
      VOS_ERROR("Mailbox bug\n");
      continue;
    }

    vos_unique_ptr<vos_timer_msg> p_msg(static_cast<vos_timer_msg*>(pv_msg));
    switch (p_msg->kind) {
      case VOS_TIMER_STOP: {
        p_msg.reset();
        std::lock_guard lock(_t_timer_lock);
        _store(pt_timer, nullptr);
        return 0;
      }
      case VOS_TIMER_RESTART:
        b_armed = true;
        break;
      case VOS_TIMER_SUSPEND:
        b_armed = false;
        break;
      case VOS_TIMER_REPROG:
        s_settings = _settings_of(p_msg->param);
        b_armed = true;
        break;
      default:
        VOS_ERROR("timer rec unknown msg %d", static_cast<int>(p_msg->kind));
        b_armed = false;
        break;
    }
  }
}
