// Hand-off of inbound LAN messages, in a file of its own so that the transport's tests can put
// a recording double in its place: a LAN message is made and freed here. Takes no lock of its
// own: mailboxes are safe.
#include "app_lan_rx.h"

#include <cstdint>
#include <cstring>

#include "app_lan_internal.h"
#include "vos_mem.h"
#include "vos_task_linux.h"
#include "vos_trace.h"

namespace {

constexpr const char* source_name = "../tst/app_lan.c";

}  // namespace

void lan_msg_free(lan_msg** ppt_msg) {
  if (ppt_msg == nullptr || *ppt_msg == nullptr) return;
  if ((*ppt_msg)->pu8_payload != lan_msg_inline_payload(*ppt_msg)) {
    vos_os_free(&(*ppt_msg)->pu8_payload);
  }
  vos_os_free(ppt_msg);
}

int app_lan_rx_handler(std::uint32_t u32_kind, const coap_address_t* pt_sender,
                       const std::uint8_t* pu8_payload, std::uint32_t u32_size) {
  if (u32_size != 0 && pu8_payload == nullptr) {
    VOS_ERROR("LAN message (kind:%u, size:%u) dropped: no payload", u32_kind, u32_size);
    return -1;
  }
  // One block: the record, then its payload.
  lan_msg* pt_new = nullptr;
  if (u32_size <= UINT32_MAX - sizeof(lan_msg)) {
    vos_os_malloc(&pt_new, static_cast<std::uint32_t>(sizeof(lan_msg) + u32_size));
  }
  detail::lan_msg_ptr pt_msg{pt_new};
  if (!pt_msg) {
    VOS_ERROR("LAN message (kind:%u, size:%u) dropped: no memory", u32_kind, u32_size);
    return -1;
  }
  pt_msg->u32_kind = u32_kind;
  pt_msg->pu8_payload = nullptr;
  pt_msg->u32_size = u32_size;
  pt_msg->t_sender = pt_sender != nullptr ? *pt_sender : coap_address_t{};
  if (u32_size != 0) {
    pt_msg->pu8_payload = lan_msg_inline_payload(pt_msg.get());
    std::memcpy(pt_msg->pu8_payload, pu8_payload, u32_size);
  }

  vos_os_thread_t t_worker = u32_kind == LAN_MSG_RX_FRAME ? detail::_pv_lan_itf_task_handle
                                                          : detail::_pv_lan_modem_task_handle;
  void* pv_msg = pt_msg.get();
  // A worker that lags gets no more than its quota: the rest is dropped and counted, so that
  // memory stays bounded whatever the LAN sends.
  const int i_result = t_worker != nullptr ? vos_os_send_msg_to_thread_with_quota(t_worker, &pv_msg)
                                           : vos_os_send_msg_to_thread(t_worker, &pv_msg);
  if (i_result != 1 && t_worker != nullptr) {
    detail::_app_lan_count_drop();
    return i_result;
  }
  if (i_result != 1) {
    // Refused: the message is still ours and goes with pt_msg.
    VOS_ERROR("LAN message (kind:%u, size:%u) dropped: not posted", u32_kind, u32_size);
    return i_result;
  }
  (void)pt_msg.release();  // the worker owns it now
  return i_result;
}
