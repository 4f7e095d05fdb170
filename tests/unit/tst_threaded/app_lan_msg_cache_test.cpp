// Message blocks kept for reuse: sizes that fit, do not fit or are never kept all reach the
// worker whole, and every accounted block comes back.
#include <gtest/gtest.h>

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

std::mutex g_mutex;
std::vector<std::vector<std::uint8_t>> g_payloads;

std::int32_t keep_payload(const coap_address_t*, const std::uint8_t* pu8, std::uint32_t u32_size) {
  const std::lock_guard lock(g_mutex);
  g_payloads.emplace_back(pu8, pu8 + u32_size);
  return 1;
}

}  // namespace

TEST(app_lan_msg_cache, reused_message_blocks_carry_each_payload_whole) {
  vos_os_init();
  detail::app_lan_reset();
  const detail::lan_treat_fn saved = detail::_apf_lan_treat[LAN_MSG_RX_FRAME];
  detail::_apf_lan_treat[LAN_MSG_RX_FRAME] = keep_payload;
  const std::uint32_t u32_pool = vos_os_nb_pool(), u32_cur = vos_os_curmem();
  const std::uint32_t u32_threads = vos_os_nb_thread();
  vos_os_thread_t t_worker = vos_os_create_thread_stack(detail::_lan_itf_task, 6, "worker", nullptr,
                                                        detail::LAN_THREAD_STACK);
  ASSERT_NE(t_worker, nullptr);
  vos_os_set_thread_quota(t_worker, detail::LAN_WORKER_QUOTA);
  detail::_pv_lan_itf_task_handle = t_worker;
  const coap_address_t t_sender = ipv4("10.0.0.2", 40000);
  // Same size, smaller, much smaller, too large to keep, larger than any kept block.
  const std::vector<std::uint32_t> sizes = {60, 60, 50, 1, 2000, 60, 300, 450, 40, 455};
  std::vector<std::vector<std::uint8_t>> sent;
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    sent.emplace_back(sizes[i], static_cast<std::uint8_t>(0xA0 + i));
    ASSERT_EQ(app_lan_rx_handler(LAN_MSG_RX_FRAME, &t_sender, sent.back().data(), sizes[i]), 1);
    // One at a time, so that each frame may take the block of the one before.
    ASSERT_TRUE(test_support::wait_until(
        [&] {
          const std::lock_guard lock(g_mutex);
          return g_payloads.size() == i + 1;
        },
        std::chrono::seconds(10)));
  }
  EXPECT_EQ(g_payloads, sent);
  void* pv_stop = nullptr;
  vos_os_calloc(&pv_stop, sizeof(lan_msg));
  EXPECT_EQ(vos_os_send_msg_to_thread(t_worker, &pv_stop), 1);
  EXPECT_TRUE(test_support::wait_until([&] { return vos_os_nb_thread() == u32_threads; },
                                       std::chrono::seconds(10)));
  detail::_pv_lan_itf_task_handle = nullptr;
  detail::_apf_lan_treat[LAN_MSG_RX_FRAME] = saved;
  EXPECT_EQ(vos_os_nb_pool(), u32_pool);
  EXPECT_EQ(vos_os_curmem(), u32_cur);
}
