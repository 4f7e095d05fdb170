// Shared set-up of the fuzz targets that reach the LAN modem link: both worker mailboxes are
// parked (their threads only sleep), so the fuzzing thread takes every posted message out and
// treats it itself, and a finding in a treating function is charged to the input that made it.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdlib>

#include "app_lan.h"
#include "app_lan_internal.h"
#include "vos_mem.h"
#include "vos_task_linux.h"

namespace fuzz {
inline std::uint32_t parked(vos_os_thread_t, void*) noexcept {
  for (;;) pause();
}

inline void lan_setup() {  // once per process, before the first input
  vos_os_init();
  detail::app_lan_reset();
  // No report is asked for here, so none is written; were one written, it would go to a path
  // that cannot be created rather than be renamed over a real file.
  // a noise report is not written and does not end the run
  app_lan_set_noise_policy(
      {.pc_file = "/nonexistent-lanmodem-fuzz/noise.txt", .pf_end = [](int) noexcept {}});
  const auto park = [](const char* pc_name) {
    const vos_os_thread_t t = vos_os_create_thread(parked, 6, pc_name, nullptr);
    if (t == nullptr) std::abort();
    vos_os_set_thread_quota(t, detail::LAN_WORKER_QUOTA);
    return t;
  };
  detail::_pv_lan_itf_task_handle = park("_lan_itf_task");
  detail::_pv_lan_modem_task_handle = park("_lan_modem_task");
}

// Takes every message out of one mailbox and treats it as its worker would: kinds outside
// [first, last] are dropped, every message is freed.
inline void drain(vos_os_thread_t t_worker, std::uint32_t u32_first, std::uint32_t u32_last) {
  while (vos_os_test_msg_to_thread(t_worker)) {
    void* pv_msg = nullptr;
    if (vos_os_wait_msg_to_thread(t_worker, &pv_msg) != 1) std::abort();
    const detail::lan_msg_ptr pt_msg{static_cast<lan_msg*>(pv_msg)};
    const std::uint32_t u32_kind = pt_msg ? pt_msg->u32_kind : 0;
    if (u32_kind < u32_first || u32_kind > u32_last) continue;
    if (const detail::lan_treat_fn pf_treat = detail::_apf_lan_treat[u32_kind]) {
      pf_treat(&pt_msg->t_sender, pt_msg->pu8_payload, pt_msg->u32_size);
    }
  }
}

inline void drain_all() {
  drain(detail::_pv_lan_itf_task_handle, LAN_MSG_RX_FRAME, LAN_MSG_RX_FRAME);
  drain(detail::_pv_lan_modem_task_handle, LAN_MSG_INFO, detail::LAN_MSG_LAST);
}
}  // namespace fuzz
