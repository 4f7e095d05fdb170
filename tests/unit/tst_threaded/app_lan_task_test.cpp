// LAN hand-off and workers: which thread treats which kind, copies and null payloads,
// independence of the two workers, allocation balance. (The whole inbound path, dropped kinds
// and the workers' idle time-outs run in the end-to-end tests.)
#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <vector>

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

// Stands for the treating function of kind K: notes who treated what. Kind 2 takes the registry
// lock first, as the real one does.
template <std::uint32_t K>
std::int32_t recorder(const coap_address_t* pt_sender, const std::uint8_t* pu8_payload,
                      std::uint32_t u32_size) {
  if (K == LAN_MSG_INFO) {
    const auto lock = detail::_app_lan_hold_registry();
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

}  // namespace

// Each kind on its worker with a private copy (a zero-length payload as null); radio frames go
// on while the modem worker waits for the registry; every block comes back.
TEST(app_lan_task, each_kind_on_its_worker_and_frames_never_wait_for_the_registry) {
  vos_os_init();
  detail::app_lan_reset();
  detail::lan_treat_fn saved[detail::LAN_MSG_LAST + 1];
  std::copy(std::begin(detail::_apf_lan_treat), std::end(detail::_apf_lan_treat), saved);
  const detail::lan_treat_fn recorders[] = {recorder<1>, recorder<2>, recorder<3>,
                                            recorder<4>, recorder<5>, recorder<6>};
  std::copy(std::begin(recorders), std::end(recorders), &detail::_apf_lan_treat[1]);
  const std::uint32_t u32_pool = vos_os_nb_pool(), u32_cur = vos_os_curmem();
  const std::uint32_t u32_threads = vos_os_nb_thread();
  vos_os_thread_t workers[2] = {};
  for (int i = 0; i < 2; ++i) {
    workers[i] =
        vos_os_create_thread_stack(i == 0 ? detail::_lan_itf_task : detail::_lan_modem_task, 6,
                                   "worker", nullptr, detail::LAN_THREAD_STACK);
    ASSERT_NE(workers[i], nullptr);
    vos_os_set_thread_quota(workers[i], detail::LAN_WORKER_QUOTA);  // as app_lan_init does
  }
  detail::_pv_lan_itf_task_handle = workers[0];
  detail::_pv_lan_modem_task_handle = workers[1];

  const coap_address_t t_sender = ipv4("10.0.0.2", 40000);
  std::uint8_t au8_payload[3] = {0x10, 0x20, 0x30};
  {
    const auto lock = detail::_app_lan_hold_registry();
    for (const std::uint32_t u32_kind : {2u, 3u, 4u, 5u, 6u, 1u}) {
      au8_payload[0] = static_cast<std::uint8_t>(u32_kind);
      EXPECT_EQ(app_lan_rx_handler(u32_kind, &t_sender, au8_payload, u32_kind == 6 ? 0 : 3), 1);
    }
    au8_payload[1] = 0xEE;  // the caller may reuse its buffer at once
    EXPECT_TRUE(wait_records(1));
    EXPECT_EQ(records().size(), 1u);
  }
  EXPECT_TRUE(wait_records(6));
  std::vector<record> got = records();
  std::sort(got.begin(), got.end(), [](auto& a, auto& b) { return a.u32_kind < b.u32_kind; });
  for (const record& r : got) {
    SCOPED_TRACE("kind " + std::to_string(r.u32_kind));
    EXPECT_TRUE(pthread_equal(r.t_thread, workers[r.u32_kind == 1 ? 0 : 1]->thread_id));
    EXPECT_EQ(r.u16_port, 40000);
    EXPECT_NE(r.pu8_payload, au8_payload);
    EXPECT_EQ(r.pu8_payload == nullptr, r.u32_kind == 6) << "a zero-length payload comes as null";
    if (r.u32_kind == 6) continue;
    EXPECT_EQ(r.data,
              (std::vector<std::uint8_t>{static_cast<std::uint8_t>(r.u32_kind), 0x20, 0x30}));
  }
  EXPECT_EQ(records().at(0).u32_kind, LAN_MSG_RX_FRAME) << "the frame waited for the registry";

  for (vos_os_thread_t t_worker : workers) {  // a message of kind 0 stops a worker
    void* pv_stop = nullptr;
    vos_os_calloc(&pv_stop, sizeof(lan_msg));
    EXPECT_EQ(vos_os_send_msg_to_thread(t_worker, &pv_stop), 1);
  }
  EXPECT_TRUE(test_support::wait_until([&] { return vos_os_nb_thread() == u32_threads; }, 10s));
  detail::_pv_lan_itf_task_handle = nullptr;
  detail::_pv_lan_modem_task_handle = nullptr;
  std::copy(std::begin(saved), std::end(saved), detail::_apf_lan_treat);
  EXPECT_EQ(vos_os_nb_pool(), u32_pool);
  EXPECT_EQ(vos_os_curmem(), u32_cur);
}
