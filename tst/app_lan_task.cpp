// Start-up of the LAN modem link and its threads. Each worker treats its messages one at a
// time, in the order posted, and frees every message it takes out, whatever its kind; the
// frame worker writes the trace lines of the frames it finds waiting together.
#include <algorithm>
#include <optional>

#include "app_lan.h"
#include "app_lan_internal.h"
#include "app_lan_telegram.h"
#include "coap_server.h"
#include "vos_task_linux.h"
#include "vos_trace.h"
#include "vos_util_linux_mutex.h"

namespace {

constexpr const char* source_name = "../tst/app_lan.c";

constinit vos_os_mutex_t _t_lan_mutex = nullptr;

// Ticks to wait at most: @p u32_wait_ticks, less when a telegram's window closes sooner.
std::uint32_t _wait_ticks(std::uint32_t u32_wait_ticks, bool b_frames) {
  if (!b_frames) return u32_wait_ticks;
  const std::optional<std::int64_t> wait_ms = app_lan_telegram_next_wait_ms();
  if (!wait_ms) return u32_wait_ticks;
  const std::int64_t ms_per_tick = 1000 / VOS_OS_TICKS_PER_SECOND;
  return static_cast<std::uint32_t>(
      std::clamp<std::int64_t>((*wait_ms + ms_per_tick - 1) / ms_per_tick, 1, u32_wait_ticks));
}

// Treats one message taken from the mailbox. @return false for a stop message.
bool _lan_worker_treat(void* pv_msg, std::uint32_t u32_first, std::uint32_t u32_last) noexcept {
  const detail::lan_msg_ptr pt_msg{static_cast<lan_msg*>(pv_msg)};
  if (!pt_msg) return true;
  const std::uint32_t u32_kind = pt_msg->u32_kind;
  if (u32_kind == detail::LAN_MSG_STOP) return false;
  if (u32_kind < u32_first || u32_kind > u32_last) return true;  // not this worker's: dropped
  if (const detail::lan_treat_fn pf_treat = detail::_apf_lan_treat[u32_kind]) {
    pf_treat(&pt_msg->t_sender, pt_msg->pu8_payload, pt_msg->u32_size);
  }
  return true;
}

// Waits for messages until a stop message comes; treats the kinds in [first, last].
std::uint32_t _lan_worker_loop(vos_os_thread_t t_self, std::uint32_t u32_wait_ticks,
                               std::uint32_t u32_first, std::uint32_t u32_last) noexcept {
  const bool b_frames = u32_first == LAN_MSG_RX_FRAME;
  // The frame worker's lines of the messages it finds waiting leave together, once its
  // mailbox is empty (or the batch full): one write per burst, none held for a message to come.
  std::optional<vos_trace_batch> batch;
  if (b_frames) batch.emplace();
  for (;;) {
    void* pv_msg = nullptr;
    bool b_more = false;
    const int i_wait = vos_os_wait_msg_to_thread_more(
        t_self, &pv_msg, _wait_ticks(u32_wait_ticks, b_frames), &b_more);
    detail::_app_lan_report_drops();          // what was dropped while this worker lagged
    if (b_frames) app_lan_telegram_expire();  // windows that closed meanwhile
    if (i_wait < 0) return 0;                 // no mailbox to wait on
    const bool b_go_on = i_wait == 0 || _lan_worker_treat(pv_msg, u32_first, u32_last);
    if (batch && !b_more) batch->flush();
    if (!b_go_on) return 0;
  }
}

}  // namespace

namespace detail {

constinit lan_treat_fn _apf_lan_treat[LAN_MSG_LAST + 1] = {
    nullptr,
    _app_lan_treat_rx_msg_req,
    _app_lan_treat_info,
    _app_lan_treat_firmware_install_ind,
    _app_lan_treat_statistics,
    _app_lan_treat_param,
    _app_lan_treat_noise,
};

std::uint32_t _lan_itf_task(vos_os_thread_t t_self, void*) noexcept {
  return _lan_worker_loop(t_self, LAN_ITF_WAIT_TICKS, LAN_MSG_RX_FRAME, LAN_MSG_RX_FRAME);
}

std::uint32_t _lan_modem_task(vos_os_thread_t t_self, void*) noexcept {
  return _lan_worker_loop(t_self, LAN_MODEM_WAIT_TICKS, LAN_MSG_INFO, LAN_MSG_LAST);
}

std::uint32_t _lan_itf_rx_task(vos_os_thread_t, void*) noexcept {
  // Without its endpoint the tool would wait for ever for a modem it cannot hear.
  if (coap_server_task() < 0) VOS_FATAL("Can not start CoAP server on 0.0.0.0:5683");
  return 0;
}

}  // namespace detail

int app_lan_init(const app_lan_noise_policy* pt_noise) {
  app_lan_set_noise_policy(pt_noise != nullptr ? *pt_noise : app_lan_noise_policy{});
  coap_set_rx_hooks({.pf_handler = app_lan_rx_handler,
                     .pf_hold_wakes = app_lan_rx_hold_wakes,
                     .pf_wakes_owed = app_lan_rx_wakes_owed,
                     .pf_wake = app_lan_rx_wake});
  // Created once: a second call must not replace a lock that threads may hold.
  if (_t_lan_mutex == nullptr) _t_lan_mutex = vos_os_mutex_create("lan");
  detail::_app_lan_registry_init();  // the registry's lock "lan_modem", once
  vos_os_lock_guard lock(_t_lan_mutex);
  // The workers exist before the receive thread, so nothing is ever posted to a null handle.
  if (detail::_pv_lan_itf_task_handle == nullptr) {
    detail::_pv_lan_itf_task_handle =
        vos_os_create_thread_stack(detail::_lan_itf_task, detail::LAN_THREAD_PRIORITY,
                                   "_lan_itf_task", nullptr, detail::LAN_THREAD_STACK);
  }
  if (detail::_pv_lan_modem_task_handle == nullptr) {
    detail::_pv_lan_modem_task_handle =
        vos_os_create_thread_stack(detail::_lan_modem_task, detail::LAN_THREAD_PRIORITY,
                                   "_lan_modem_task", nullptr, detail::LAN_THREAD_STACK);
  }
  vos_os_set_thread_quota(detail::_pv_lan_itf_task_handle, detail::LAN_WORKER_QUOTA);
  vos_os_set_thread_quota(detail::_pv_lan_modem_task_handle, detail::LAN_WORKER_QUOTA);
  vos_os_create_thread(detail::_lan_itf_rx_task, detail::LAN_THREAD_PRIORITY, "lan_itf_rx_thread",
                       nullptr);
  return 1;
}

int app_lan_stop() {
  coap_server_stop();
  return 1;
}
