// LAN hand-off and workers: which thread treats which kind, copies and null payloads, kinds that
// are dropped, order, independence of the two workers, allocation balance. (The whole inbound
// path runs in the end-to-end tests.)
#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "alloc_balance.h"
#include "app_lan.h"
#include "app_lan_internal.h"
#include "coap_addr.h"
#include "test_wait.h"
#include "vos_mem.h"
#include "vos_task_linux.h"

namespace {

using namespace std::chrono_literals;

// One call of a treating function: kind, thread, payload pointer and bytes, sender port.
struct record {
  std::uint32_t u32_kind;
  pthread_t t_thread;
  const std::uint8_t* pu8_payload;
  std::vector<std::uint8_t> data;
  std::uint16_t u16_port;
};

std::mutex g_mutex;
std::vector<record> g_records;
std::atomic<bool> g_info_takes_registry_lock{false};

// Stands for the treating function of kind K: notes who treated what.
template <std::uint32_t K>
std::int32_t recorder(const coap_address_t* pt_sender, const std::uint8_t* pu8_payload,
                      std::uint32_t u32_size) {
  if (K == LAN_MSG_INFO && g_info_takes_registry_lock.load()) {
    const auto lock = detail::_app_lan_hold_registry();  // as the real one does
  }
  record r{K, pthread_self(), pu8_payload, {}, ntohs(pt_sender->addr.sin.sin_port)};
  if (pu8_payload != nullptr) r.data.assign(pu8_payload, pu8_payload + u32_size);
  const std::lock_guard lock(g_mutex);
  g_records.push_back(std::move(r));
  return 1;
}

std::vector<record> records() {
  const std::lock_guard lock(g_mutex);
  return g_records;
}

bool wait_records(std::size_t n) {
  return test_support::wait_until([n] { return records().size() >= n; }, 10s);
}

bool wait_threads(std::uint32_t u32_nb) {
  return test_support::wait_until([&] { return vos_os_nb_thread() == u32_nb; }, 10s);
}

// Posts a message straight to a worker's mailbox, bypassing the routing of the hand-off.
void post_direct(vos_os_thread_t t_worker, std::uint32_t u32_kind) {
  lan_msg* pt_msg = nullptr;
  vos_os_calloc(&pt_msg, sizeof(lan_msg));
  ASSERT_NE(pt_msg, nullptr);
  pt_msg->u32_kind = u32_kind;
  vos_os_malloc(&pt_msg->pu8_payload, 8);
  pt_msg->u32_size = 8;
  void* pv = pt_msg;
  ASSERT_EQ(vos_os_send_msg_to_thread(t_worker, &pv), 1);
}

// Runs both workers on recorders; at the end stops them and checks that every block came back.
class app_lan_task : public test_support::alloc_balance_test {
 protected:
  void SetUp() override {
    vos_os_init();
    detail::app_lan_reset();
    g_records.clear();
    g_info_takes_registry_lock = false;
    std::copy(std::begin(detail::_apf_lan_treat), std::end(detail::_apf_lan_treat), saved_);
    const detail::lan_treat_fn recorders[] = {recorder<1>, recorder<2>, recorder<3>,
                                              recorder<4>, recorder<5>, recorder<6>};
    std::copy(std::begin(recorders), std::end(recorders), &detail::_apf_lan_treat[1]);
    mark_alloc();
    u32_threads_ = vos_os_nb_thread();
    itf_ = vos_os_create_thread_stack(detail::_lan_itf_task, 6, "_lan_itf_task", nullptr,
                                      detail::LAN_THREAD_STACK);
    modem_ = vos_os_create_thread_stack(detail::_lan_modem_task, 6, "_lan_modem_task", nullptr,
                                        detail::LAN_THREAD_STACK);
    ASSERT_NE(itf_, nullptr);
    ASSERT_NE(modem_, nullptr);
    for (vos_os_thread_t t : {itf_, modem_}) {
      vos_os_set_thread_quota(t, detail::LAN_WORKER_QUOTA);  // as app_lan_init does
    }
    detail::_pv_lan_itf_task_handle = itf_;
    detail::_pv_lan_modem_task_handle = modem_;
    ASSERT_TRUE(wait_threads(u32_threads_ + 2));
  }
  void TearDown() override {
    if (itf_ != nullptr) post_direct(itf_, detail::LAN_MSG_STOP);
    if (modem_ != nullptr) post_direct(modem_, detail::LAN_MSG_STOP);
    EXPECT_TRUE(wait_threads(u32_threads_));
    detail::_pv_lan_itf_task_handle = nullptr;
    detail::_pv_lan_modem_task_handle = nullptr;
    std::copy(std::begin(saved_), std::end(saved_), detail::_apf_lan_treat);
    expect_alloc_balance();
  }

  vos_os_thread_t itf_ = nullptr;
  vos_os_thread_t modem_ = nullptr;
  std::uint32_t u32_threads_ = 0;
  detail::lan_treat_fn saved_[detail::LAN_MSG_LAST + 1]{};
};

}  // namespace

TEST_F(app_lan_task, each_kind_goes_to_its_worker_with_a_private_copy) {
  const coap_address_t t_sender = ipv4("10.0.0.2", 40000);
  std::uint8_t au8_payload[3] = {0x10, 0x20, 0x30};
  for (std::uint32_t u32_kind = 1; u32_kind <= 6; ++u32_kind) {
    au8_payload[0] = static_cast<std::uint8_t>(u32_kind);
    ASSERT_EQ(app_lan_rx_handler(u32_kind, &t_sender, au8_payload, u32_kind == 6 ? 0 : 3), 1);
  }
  au8_payload[1] = 0xEE;  // the caller may reuse its buffer at once
  ASSERT_TRUE(wait_records(6));
  std::vector<record> got = records();
  std::sort(got.begin(), got.end(), [](auto& a, auto& b) { return a.u32_kind < b.u32_kind; });
  for (const record& r : got) {
    SCOPED_TRACE("kind " + std::to_string(r.u32_kind));
    EXPECT_TRUE(pthread_equal(r.t_thread, (r.u32_kind == 1 ? itf_ : modem_)->thread_id));
    EXPECT_EQ(r.u16_port, 40000);
    EXPECT_NE(r.pu8_payload, au8_payload);
    EXPECT_EQ(r.pu8_payload == nullptr, r.u32_kind == 6) << "a zero-length payload comes as null";
    if (r.u32_kind == 6) continue;
    EXPECT_EQ(r.data,
              (std::vector<std::uint8_t>{static_cast<std::uint8_t>(r.u32_kind), 0x20, 0x30}));
  }
}

// Kinds a worker does not treat are freed without effect; mailboxes are first in, first out:
// the dropped ones have been taken out before the frame that follows them.
TEST_F(app_lan_task, dropped_kinds) {
  const coap_address_t t_sender = ipv4("10.0.0.2", 2);
  const std::uint8_t au8[4] = {1, 2, 3, 4};
  ASSERT_EQ(app_lan_rx_handler(7, &t_sender, au8, 4), 1);       // unknown kind
  ASSERT_EQ(app_lan_rx_handler(0xFFFF, &t_sender, au8, 4), 1);  // far beyond the table
  post_direct(modem_, LAN_MSG_RX_FRAME);                        // kind 1 on the wrong worker
  post_direct(itf_, LAN_MSG_INFO);                              // kind 2 on the wrong worker
  ASSERT_EQ(app_lan_rx_handler(LAN_MSG_RX_FRAME, &t_sender, au8, 1), 1);
  ASSERT_EQ(app_lan_rx_handler(LAN_MSG_PARAM_VALUE, &t_sender, au8, 1), 1);
  ASSERT_TRUE(wait_records(2));
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(records().size(), 2u);
}

TEST_F(app_lan_task, radio_frames_do_not_wait_for_a_blocked_modem_worker) {
  g_info_takes_registry_lock = true;
  const coap_address_t t_sender = ipv4("10.0.0.2", 3);
  {
    const auto lock = detail::_app_lan_hold_registry();
    ASSERT_EQ(app_lan_rx_handler(LAN_MSG_INFO, &t_sender, nullptr, 0), 1);
    ASSERT_EQ(app_lan_rx_handler(LAN_MSG_RX_FRAME, &t_sender, nullptr, 0), 1);
    ASSERT_TRUE(wait_records(1));
    ASSERT_EQ(records().size(), 1u);
    EXPECT_EQ(records()[0].u32_kind, LAN_MSG_RX_FRAME);
  }
  ASSERT_TRUE(wait_records(2));
  EXPECT_EQ(records()[1].u32_kind, LAN_MSG_INFO);
}

TEST_F(app_lan_task, idle_workers_wait_through_their_time_outs_and_stop_on_request) {
  // 2.2 s: the frame worker has passed at least one 2 s time-out.
  std::this_thread::sleep_for(2200ms);
  EXPECT_EQ(vos_os_nb_thread(), u32_threads_ + 2);
  post_direct(itf_, detail::LAN_MSG_STOP);
  EXPECT_TRUE(wait_threads(u32_threads_ + 1));
  itf_ = nullptr;  // gone: TearDown must not post to it
  detail::_pv_lan_itf_task_handle = nullptr;
  const coap_address_t t_sender = ipv4("10.0.0.2", 4);
  ASSERT_EQ(app_lan_rx_handler(LAN_MSG_STATISTICS, &t_sender, nullptr, 0), 1);
  EXPECT_TRUE(wait_records(1)) << "the other worker still treats its messages";
}
