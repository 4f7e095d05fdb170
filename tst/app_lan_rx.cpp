// Hand-off of inbound LAN messages: a LAN message is made and freed here, posted to the worker
// of its kind, and what a full mailbox drops is counted. Takes no lock of its own: mailboxes are
// safe.
#include "app_lan_rx.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>

#include "app_lan_internal.h"
#include "vos_mem.h"
#include "vos_task_linux.h"
#include "vos_trace.h"

namespace {

constexpr const char* source_name = "../tst/app_lan.c";

// Blocks of treated messages kept for the next messages. Without them every frame's block
// would be allocated on the receiving thread and freed on a worker, the costliest way through
// the system allocator. A kept block is parked (the accounted totals count it as freed). Any
// thread takes a slot's block with an exchange and fills an empty slot with a compare-and-swap:
// a block is only ever in one slot or with one owner.
constexpr std::size_t msg_cache_slots = 8;
// Largest block kept, and how much larger than asked a reused block may be.
constexpr std::uint32_t msg_cache_max_block = 512;
constexpr std::uint32_t msg_cache_max_slack = 128;
constinit std::atomic<lan_msg*> _apt_msg_cache[msg_cache_slots]{};

// Messages dropped because their worker's mailbox was at its quota, and when they were last
// reported.
constinit std::atomic<std::uint32_t> _u32_dropped{0};
constinit std::atomic<std::int64_t> _i64_last_report_ms{INT64_MIN / 2};

std::int64_t _now_ms() noexcept {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Keeps a parked block when a slot is free; false when every slot is taken.
bool _msg_cache_put(lan_msg* pt_block) {
  for (std::atomic<lan_msg*>& slot : _apt_msg_cache) {
    lan_msg* pt_empty = nullptr;
    if (slot.load(std::memory_order_relaxed) == nullptr &&
        slot.compare_exchange_strong(pt_empty, pt_block, std::memory_order_release,
                                     std::memory_order_relaxed)) {
      return true;
    }
  }
  return false;
}

// A kept block of between @p u32_need and u32_need + msg_cache_max_slack bytes, counted again,
// or null. A kept block of another size goes back to its slot (or is freed when the slot was
// filled meanwhile).
lan_msg* _msg_cache_take(std::uint32_t u32_need) {
  for (std::atomic<lan_msg*>& slot : _apt_msg_cache) {
    if (slot.load(std::memory_order_relaxed) == nullptr) continue;
    lan_msg* pt_block = slot.exchange(nullptr, std::memory_order_acquire);
    if (pt_block == nullptr) continue;
    const std::uint32_t u32_room = vos_os_size(pt_block);
    if (u32_room >= u32_need && u32_room - u32_need <= msg_cache_max_slack) {
      vos_os_unpark(pt_block);
      return pt_block;
    }
    lan_msg* pt_empty = nullptr;
    if (!slot.compare_exchange_strong(pt_empty, pt_block, std::memory_order_release,
                                      std::memory_order_relaxed)) {
      void* pv_block = pt_block;
      vos_os_free_parked(&pv_block);
    }
  }
  return nullptr;
}

// Frames of this thread posted without waking the frame worker (held: see app_lan_rx_hold_wakes).
constinit thread_local bool _b_hold_wakes = false;
constinit thread_local std::uint32_t _u32_wakes_owed = 0;
constexpr std::uint32_t frame_wake_burst = 32;

}  // namespace

namespace detail {

constinit vos_os_thread_t _pv_lan_itf_task_handle = nullptr;
constinit vos_os_thread_t _pv_lan_modem_task_handle = nullptr;

void _app_lan_count_drop() noexcept {
  // Counted only: the receiving thread never writes a trace line, which could block it.
  _u32_dropped.fetch_add(1, std::memory_order_relaxed);
}

void _app_lan_report_drops() noexcept {
  if (_u32_dropped.load(std::memory_order_relaxed) == 0) return;
  const std::int64_t i64_now = _now_ms();
  std::int64_t i64_last = _i64_last_report_ms.load(std::memory_order_relaxed);
  // One thread wins the second; the others leave the count for the next report.
  if (i64_now - i64_last < LAN_DROP_REPORT_MS ||
      !_i64_last_report_ms.compare_exchange_strong(i64_last, i64_now)) {
    return;
  }
  const std::uint32_t u32_nb = _u32_dropped.exchange(0, std::memory_order_relaxed);
  if (u32_nb != 0) VOS_WARNING("%u LAN messages dropped: worker busy", u32_nb);
}

}  // namespace detail

void lan_msg_free(lan_msg** ppt_msg) {
  if (ppt_msg == nullptr || *ppt_msg == nullptr) return;
  lan_msg* pt_msg = *ppt_msg;
  if (pt_msg->pu8_payload != lan_msg_inline_payload(pt_msg)) {
    vos_os_free(&pt_msg->pu8_payload);
  }
  if (vos_os_size(pt_msg) <= msg_cache_max_block) {
    vos_os_park(pt_msg);
    if (_msg_cache_put(pt_msg)) {
      *ppt_msg = nullptr;
      return;
    }
    vos_os_unpark(pt_msg);
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
    const auto u32_need = static_cast<std::uint32_t>(sizeof(lan_msg) + u32_size);
    pt_new = u32_need <= msg_cache_max_block ? _msg_cache_take(u32_need) : nullptr;
    if (pt_new == nullptr) {
      vos_os_malloc(&pt_new, u32_need);
    }
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
  const bool b_held = _b_hold_wakes && u32_kind == LAN_MSG_RX_FRAME && t_worker != nullptr;
  const int i_result =
      b_held ? vos_os_post_msg_to_thread_with_quota(t_worker, &pv_msg, frame_wake_burst)
      : t_worker != nullptr ? vos_os_send_msg_to_thread_with_quota(t_worker, &pv_msg)
                            : vos_os_send_msg_to_thread(t_worker, &pv_msg);
  if (b_held && i_result == 1) ++_u32_wakes_owed;
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

void app_lan_rx_hold_wakes() { _b_hold_wakes = true; }

std::uint32_t app_lan_rx_wakes_owed() { return _u32_wakes_owed; }

void app_lan_rx_wake() {
  if (_u32_wakes_owed != 0) {
    _u32_wakes_owed = 0;
    vos_os_wake_thread(detail::_pv_lan_itf_task_handle);
  }
}
