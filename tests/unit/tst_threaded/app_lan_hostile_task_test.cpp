// A worker that lags (its trace stalls) while the LAN keeps sending: its mailbox stays at its
// quota, what does not fit is dropped and counted, and the count is given by a warning line.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

#include "alloc_balance.h"
#include "app_lan.h"
#include "app_lan_internal.h"
#include "stdout_capture.h"
#include "test_regex.h"
#include "test_wait.h"
#include "vos_mem.h"
#include "vos_task_linux.h"

namespace {

using namespace std::chrono_literals;
using test_support::wait_until;

std::atomic<bool> b_release{false};
std::atomic<bool> b_entered{false};
std::atomic<std::uint32_t> u32_treated{0};

// A frame worker stuck until released, as one whose standard output nobody reads.
std::int32_t stuck_treat(const coap_address_t*, const std::uint8_t*, std::uint32_t) {
  b_entered = true;
  while (!b_release.load()) std::this_thread::sleep_for(1ms);
  ++u32_treated;
  return 1;
}

}  // namespace

TEST(app_lan_hostile_task, lagging_worker_gets_its_quota_and_the_rest_is_counted_in_a_warning) {
  vos_os_init();
  detail::app_lan_reset();
  const std::uint32_t u32_threads = vos_os_nb_thread();
  const detail::lan_treat_fn pf_saved = detail::_apf_lan_treat[LAN_MSG_RX_FRAME];
  detail::_apf_lan_treat[LAN_MSG_RX_FRAME] = stuck_treat;
  b_release = false;
  b_entered = false;
  u32_treated = 0;
  const std::uint32_t u32_pool = vos_os_nb_pool();
  const std::uint32_t u32_cur = vos_os_curmem();
  vos_os_thread_t t_itf = vos_os_create_thread_stack(detail::_lan_itf_task, 6, "_lan_itf_task",
                                                     nullptr, detail::LAN_THREAD_STACK);
  ASSERT_NE(t_itf, nullptr);
  vos_os_set_thread_quota(t_itf, detail::LAN_WORKER_QUOTA);
  detail::_pv_lan_itf_task_handle = t_itf;

  constexpr std::uint32_t u32_sent = 1000;
  std::uint32_t u32_posted = 0;
  const std::string out = test_support::captured([&] {
    const std::uint8_t au8_frame[64] = {};
    const coap_address_t t_from{};
    const auto post = [&] {
      if (app_lan_rx_handler(LAN_MSG_RX_FRAME, &t_from, au8_frame, sizeof au8_frame) == 1) {
        ++u32_posted;
      }
    };
    // The worker holds the first message before the flood: every drop comes after its last
    // report, so one warning carries them all.
    post();
    ASSERT_TRUE(wait_until([] { return b_entered.load(); }, 10s));
    for (std::uint32_t i = 1; i < u32_sent; ++i) post();
    b_release = true;
    ASSERT_TRUE(wait_until([&] { return u32_treated.load() == u32_posted; }, 10s));
    // The worker reports after its next wait: a message, or its 2 s time-out.
    void* pv_stop = nullptr;
    vos_os_calloc(&pv_stop, sizeof(lan_msg));
    ASSERT_EQ(vos_os_send_msg_to_thread(t_itf, &pv_stop), 1);
    ASSERT_TRUE(wait_until([&] { return vos_os_nb_thread() == u32_threads; }, 10s));
  });
  detail::_pv_lan_itf_task_handle = nullptr;
  detail::_apf_lan_treat[LAN_MSG_RX_FRAME] = pf_saved;

  // The quota, plus the one being treated.
  EXPECT_EQ(u32_posted, detail::LAN_WORKER_QUOTA + 1);
  EXPECT_TRUE(test_support::re_search_lines(
      out, "^[0-9]{8}-[0-9]{6}:WARNING:\\.\\./tst/app_lan\\.c:[0-9]+:" +
               std::to_string(u32_sent - u32_posted) + " LAN messages dropped: worker busy$"))
      << out;
  // Every dropped message was freed.
  EXPECT_EQ(vos_os_nb_pool(), u32_pool);
  EXPECT_EQ(vos_os_curmem(), u32_cur);
}
