// Threads and mailboxes (creation, order, quotas, waits and their limits, cond and condmask
// objects) and timers. Time windows: tight lower bounds, loose upper bounds.
#include <gtest/gtest.h>
#include <sched.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "alloc_balance.h"
#include "stdout_capture.h"
#include "test_regex.h"
#include "test_wait.h"
#include "vos_mem.h"
#include "vos_task_linux.h"
#include "vos_task_linux_internal.h"
#include "vos_timer.h"

namespace {

using namespace std::chrono_literals;
// The waits' deadlines are wall-clock times: measured on that clock, a step of the system clock
// during a wait does not move the bounds.
using clock_type = std::chrono::system_clock;
long long elapsed_ms(clock_type::time_point t0) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(clock_type::now() - t0).count();
}
using test_support::captured;
using test_support::re_search_lines;
using test_support::wait_until;
using body_fn = std::function<void(vos_os_thread_t)>;

// Threads made here count their entries: a thread count back to 1 means ended only then.
std::atomic<std::uint32_t> g_created{0}, g_entered{0};

vos_os_thread_t create(body_fn body, const char* pc_name = "t",
                       std::uint32_t u32_stack = VOS_OS_DEFAULT_STACK) {
  auto* p_body = new body_fn(std::move(body));
  const vos_os_thread_entry_t entry = [](vos_os_thread_t t_self, void* pv) noexcept {
    g_entered.fetch_add(1);
    std::unique_ptr<body_fn>(static_cast<body_fn*>(pv))->operator()(t_self);
    return std::uint32_t{0};
  };
  vos_os_thread_t t_thread = u32_stack == VOS_OS_DEFAULT_STACK
                                 ? vos_os_create_thread(entry, 6, pc_name, p_body)
                                 : vos_os_create_thread_stack(entry, 6, pc_name, p_body, u32_stack);
  if (t_thread == nullptr) delete p_body;
  if (t_thread != nullptr) g_created.fetch_add(1);
  return t_thread;
}

// Polls until every thread the test made has started and ended; false after 10 s.
bool wait_for_threads_end() {
  return wait_until([] { return g_entered == g_created && vos_os_nb_thread() == 1; }, 10'000ms,
                    2ms);
}

class vos_task_linux : public test_support::alloc_balance_test {
 protected:
  void SetUp() override {
    vos_os_init();
    ASSERT_TRUE(wait_for_threads_end());
    mark_alloc();
  }
  void TearDown() override {
    ASSERT_TRUE(wait_for_threads_end()) << "a thread of the test did not end";
    expect_alloc_balance();
  }
};

void* value(std::uintptr_t v) { return reinterpret_cast<void*>(v); }

// A thread that waits on a gate, then takes out every message (none when b_drain is false).
struct drain_job {
  vos_os_condmask_rec* ps_gate = vos_os_condmask_create("gate");
  std::vector<void*> received;
  bool b_drain = true;
  ~drain_job() { vos_os_condmask_kill(&ps_gate); }
  body_fn body() {
    return [this](vos_os_thread_t t_self) {
      std::uint32_t u32_got = 0;
      vos_os_condmask_wait(ps_gate, 0, 0x1, &u32_got);
      for (bool b_more = b_drain && vos_os_test_msg_to_thread(t_self); b_more;) {
        void* pv = nullptr;
        vos_os_wait_msg_to_thread_more(t_self, &pv, 1, &b_more);
        received.push_back(pv);
      }
    };
  }
};

// A refused stack size is reported, the thread made all the same; an ending thread frees its
// mailbox's messages; a refused creation is reported, nothing left allocated (fixture checks).
TEST_F(vos_task_linux, creation_stack_end_and_refusal) {
  drain_job job;
  test_support::stdout_capture capture;
  ASSERT_NE(create([](vos_os_thread_t) {}, "tiny", 100), nullptr);
  vos_os_thread_t t_thread = create(job.body(), "short_lived");
  ASSERT_NE(t_thread, nullptr);
  EXPECT_EQ(vos_os_terminate_thread(), 1);
  void* pv_msg = nullptr;
  vos_os_malloc(&pv_msg, 8);
  EXPECT_EQ(vos_os_send_msg_to_thread(t_thread, &pv_msg), 1);
  EXPECT_NE(pv_msg, nullptr) << "the sender's variable is left as it was";
  job.b_drain = false;
  vos_os_condmask_signal(job.ps_gate, 0x1);
  ASSERT_TRUE(wait_for_threads_end());
  const std::string out = capture.take();
  char ac_end[64];
  std::snprintf(ac_end, sizeof ac_end, "^[0-9]{8}-[0-9]{6}:INFO:End of thread=%p$",
                static_cast<void*>(t_thread));
  for (const char* pc_re : {static_cast<const char*>(ac_end),
                            R"(:ERROR:vos_task_linux\.c:[0-9]+:Can't set stack size=100 errno=22 )"
                            "errstr:Invalid argument$"}) {
    EXPECT_TRUE(re_search_lines(out, pc_re)) << pc_re << "\n" << out;
  }
  detail::vos_os_set_pthread_create(
      [](pthread_t*, const pthread_attr_t*, void* (*)(void*), void*) -> int { return EAGAIN; });
  EXPECT_EQ(captured([] { EXPECT_EQ(create([](vos_os_thread_t) {}, "refused"), nullptr); }),
            "Can't create thread 11, Resource temporarily unavailable\n");
  detail::vos_os_set_pthread_create(nullptr);
}

// A quota is 0 until set; a message over it stays with its sender; null handles are refused.
TEST_F(vos_task_linux, quota_and_null_handles) {
  drain_job job;
  vos_os_thread_t t_thread = create(job.body());
  ASSERT_NE(t_thread, nullptr);
  void* pv = value(4);
  EXPECT_EQ(vos_os_send_msg_to_thread_with_quota(t_thread, &pv), 0) << "quota 0 at creation";
  vos_os_set_thread_quota(t_thread, 1);
  vos_os_set_thread_quota(nullptr, 1);
  EXPECT_EQ(vos_os_send_msg_to_thread_with_quota(t_thread, &pv), 1);
  pv = value(5);
  EXPECT_EQ(vos_os_send_msg_to_thread_with_quota(t_thread, &pv), 0);
  EXPECT_EQ(pv, value(5)) << "a refused message stays with its sender";
  captured([&] {
    for (std::uintptr_t i = 6; vos_os_send_msg_to_thread(t_thread, &pv) == 1; ++i) pv = value(i);
  });
  vos_os_condmask_signal(job.ps_gate, 0x1);
  ASSERT_TRUE(wait_for_threads_end());
  ASSERT_EQ(job.received.size(), 32767u);
  EXPECT_EQ(job.received[1], value(5));
  bool b_more = true;
  EXPECT_EQ(vos_os_send_msg_to_thread(nullptr, &pv) +
                vos_os_send_msg_to_thread_with_quota(nullptr, &pv) +
                vos_os_wait_msg_to_thread(nullptr, &pv) +
                vos_os_wait_msg_to_thread_timeout(nullptr, &pv, 1) +
                vos_os_wait_msg_to_thread_timeout_ms(nullptr, &pv, 1) +
                vos_os_wait_msg_to_thread_more(nullptr, &pv, 1, &b_more),
            -4);
  EXPECT_FALSE(vos_os_test_msg_to_thread(nullptr));
}

// A wait in ms woken without a message mid-way: an error line, then the full limit again from
// the wake-up; it gives up with the caller's variable untouched.
TEST_F(vos_task_linux, wait_woken_without_message_starts_its_limit_again) {
  std::atomic<bool> b_entered{false};
  int i_result = -2;
  long long ll_elapsed_ms = 0;
  void* pv_msg = value(0x77);
  test_support::stdout_capture capture;
  const vos_os_thread_t t_thread = create([&](vos_os_thread_t t_self) {
    b_entered = true;
    const auto t0 = clock_type::now();
    i_result = vos_os_wait_msg_to_thread_timeout_ms(t_self, &pv_msg, 400);
    ll_elapsed_ms = elapsed_ms(t0);
  });
  ASSERT_NE(t_thread, nullptr);
  ASSERT_TRUE(wait_until([&] { return b_entered.load(); }));
  std::this_thread::sleep_for(200ms);  // the wake-up comes half-way through the limit
  pthread_mutex_lock(&t_thread->lock);
  pthread_cond_signal(&t_thread->signal);
  pthread_mutex_unlock(&t_thread->lock);
  ASSERT_TRUE(wait_for_threads_end());
  EXPECT_EQ(std::pair(i_result, pv_msg), std::pair(0, value(0x77))) << "given up, untouched";
  EXPECT_TRUE(ll_elapsed_ms >= 600 - 2 && ll_elapsed_ms <= 1600) << ll_elapsed_ms;
  const std::string out = capture.take();
  EXPECT_TRUE(re_search_lines(out, R"(:ERROR:vos_task_linux\.c:[0-9]+:cond_timedwait:0$)")) << out;
}

TEST_F(vos_task_linux, cond_and_condmask) {
  EXPECT_EQ(vos_os_cond_create(nullptr), nullptr);
  EXPECT_EQ(vos_os_cond_lock(nullptr, 5), 1);
  vos_os_cond_unlock(nullptr);
  vos_os_cond_rec* ps_cond = vos_os_cond_create("cond");
  ASSERT_NE(ps_cond, nullptr);
  vos_os_cond_unlock(ps_cond);  // lost: nobody waits
  auto t0 = clock_type::now();
  EXPECT_EQ(vos_os_cond_lock(ps_cond, 5), 0);
  EXPECT_GE(elapsed_ms(t0), 98);
  vos_os_cond_kill(&ps_cond);
  EXPECT_EQ(ps_cond, nullptr);
  EXPECT_EQ(vos_os_condmask_create(nullptr), nullptr);
  std::uint32_t u32_got = 0xdead;
  EXPECT_EQ(vos_os_condmask_wait(nullptr, 1, 0x1, &u32_got), 1);
  vos_os_condmask_signal(nullptr, 1);
  vos_os_condmask_reset(nullptr, 1);
  vos_os_condmask_rec* ps_mask = vos_os_condmask_create("mask");
  ASSERT_NE(ps_mask, nullptr);
  vos_os_condmask_signal(ps_mask, 0x1);
  t0 = clock_type::now();
  EXPECT_EQ(vos_os_condmask_wait(ps_mask, 5, 0x3, &u32_got), 0) << "missing bit: time-out";
  EXPECT_GE(elapsed_ms(t0), 98);
  EXPECT_EQ(u32_got, 0x1u);
  vos_os_condmask_signal(ps_mask, 0x14);
  EXPECT_EQ(vos_os_condmask_wait(ps_mask, 50, 0x4, &u32_got), 1);
  EXPECT_EQ(u32_got, 0x14u) << "unwanted bits consumed too";
  vos_os_condmask_reset(ps_mask, 0x20);
  EXPECT_EQ(vos_os_condmask_wait(ps_mask, 1, 0, &u32_got), 1);
  EXPECT_EQ(u32_got, 0x20u);
  EXPECT_EQ(ps_mask->mask, 0u);
  // A waiter on another thread until a waiter is inside (read under the object's mutex).
  int i_result = -1;
  const auto start_waiter = [&](std::uint32_t u32_ticks, std::uint32_t u32_wanted) {
    ASSERT_NE(create([=, &i_result, &u32_got](vos_os_thread_t) {
                i_result = vos_os_condmask_wait(ps_mask, u32_ticks, u32_wanted, &u32_got);
              }),
              nullptr);
    wait_until([&] {
      pthread_mutex_lock(&ps_mask->mutex);
      const bool b_waiting = ps_mask->waiting == 1;
      pthread_mutex_unlock(&ps_mask->mutex);
      return b_waiting;
    });
  };
  // Bits from another thread; a reset while the waiter is inside does nothing.
  test_support::stdout_capture capture;
  start_waiter(250, 0x3);
  vos_os_condmask_signal(ps_mask, 0x1);
  vos_os_condmask_reset(ps_mask, 0);
  vos_os_condmask_signal(ps_mask, 0x2);
  ASSERT_TRUE(wait_for_threads_end());
  EXPECT_EQ(i_result, 1);
  EXPECT_EQ(u32_got, 0x3u);
  // Killed during a wait: the waiter returns 2 and frees the object.
  start_waiter(0, 0x1);
  vos_os_condmask_rec* ps_copy = ps_mask;
  vos_os_condmask_kill(&ps_copy);
  EXPECT_NE(ps_copy, nullptr) << "the waiter frees the object, not the killer";
  ASSERT_TRUE(wait_for_threads_end());
  EXPECT_EQ(i_result, 2);
}

// Counts the callback's runs; it may suspend its own timer from inside.
struct fire_log {
  std::atomic<int> count{0};
  std::atomic<vos_os_thread_t*> pt_suspend_self{nullptr};
};

std::uint32_t record_fire(void* pv_arg) {
  auto* ps_log = static_cast<fire_log*>(pv_arg);
  ps_log->count.fetch_add(1);
  if (vos_os_thread_t* pt_self = ps_log->pt_suspend_self.load()) vos_util_suspend_timer(pt_self);
  return 0;
}

vos_os_thread_t read_timer(vos_os_thread_t& t_timer) {
  return std::atomic_ref<vos_os_thread_t>(t_timer).load();
}

using vos_timer = vos_task_linux;  // timer threads too must have ended at the end of a test

TEST_F(vos_timer, commands_refusals_and_races) {
  fire_log s_log;
  vos_os_thread_t t_timer = nullptr;
  const auto t_start = clock_type::now();
  ASSERT_EQ(vos_util_start_timer(&t_timer, 1, 25, &record_fire, &s_log), 1);
  std::this_thread::sleep_for(250ms);  // half of the 500 ms period: the restart moves the expiry
  const auto t_restart = clock_type::now();
  EXPECT_EQ(vos_util_restart_timer(&t_timer), 1);
  ASSERT_TRUE(wait_until([&] { return s_log.count.load() >= 1; }));
  EXPECT_GE(elapsed_ms(t_restart), 480) << "a restart arms a full period from when it is taken";
  EXPECT_LT(elapsed_ms(t_start), 3000);
  ASSERT_EQ(vos_util_suspend_timer(&t_timer), 1);
  s_log.count = 0;  // the next expiry is a period away
  std::this_thread::sleep_for(700ms);
  EXPECT_EQ(s_log.count.load(), 0) << "a suspended timer fired";
  // The callback suspends its own timer: the command waits until it returns.
  s_log.pt_suspend_self = &t_timer;
  ASSERT_EQ(vos_util_start_timer_re_prog(&t_timer, 1, 2, &record_fire, &s_log), 1);
  ASSERT_TRUE(wait_until([&] { return s_log.count.load() >= 1; }));
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(s_log.count.load(), 1);
  s_log.pt_suspend_self = nullptr;
  ASSERT_EQ(vos_util_start_timer_re_prog(&t_timer, 1, 0, &record_fire, &s_log), 1);
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(s_log.count.load(), 1) << "period 0 never expires";
  ASSERT_EQ(vos_util_start_timer_re_prog(&t_timer, 1, 5, &record_fire, &s_log), 1);
  test_support::stdout_capture capture;
  EXPECT_EQ(vos_util_start_timer(&t_timer, 1, 5, &record_fire, &s_log), 0);
  EXPECT_EQ(vos_util_start_timer(nullptr, 1, 5, &record_fire, &s_log), 0);
  ASSERT_TRUE(wait_until([&] { return s_log.count.load() >= 2; }));
  void* pv_null = nullptr;  // a null message keeps the timer armed
  ASSERT_EQ(vos_os_send_msg_to_thread(read_timer(t_timer), &pv_null), 1);
  const int i_count = s_log.count.load();
  EXPECT_TRUE(wait_until([&] { return s_log.count.load() >= i_count + 2; }));
  vos_timer_msg* ps_msg = nullptr;  // an unknown kind makes it idle until a restart
  vos_os_calloc(&ps_msg, sizeof(vos_timer_msg));
  ps_msg->kind = 7;
  void* pv_msg = ps_msg;
  ASSERT_EQ(vos_os_send_msg_to_thread(read_timer(t_timer), &pv_msg), 1);
  std::this_thread::sleep_for(100ms);
  const int i_idle = s_log.count.load();
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(s_log.count.load(), i_idle) << "an idle timer fired";
  EXPECT_EQ(vos_util_stop_timer(&t_timer), 1);
  ASSERT_TRUE(wait_until([&] { return read_timer(t_timer) == nullptr; }));
  EXPECT_EQ(vos_util_stop_timer(&t_timer) + vos_util_restart_timer(&t_timer) +
                vos_util_suspend_timer(&t_timer) +
                vos_util_start_timer_re_prog(&t_timer, 1, 5, &record_fire, &s_log),
            0);
  const std::string s_out = capture.take();
  EXPECT_TRUE(test_support::re_search(s_out, "(vos_util_start_timer refused\n.*){2}")) << s_out;
  EXPECT_FALSE(test_support::re_search(s_out, "(vos_util_start_timer refused\n.*){3}"));
  for (const char* pc : {"ERROR:vos_util\\.c:[0-9]+:Mailbox bug$",
                         "ERROR:vos_util\\.c:[0-9]+:timer rec unknown msg 7$",
                         "DEBUG:vos_util\\.c:[0-9]+:vos_util_stop_timer already stopped$",
                         "DEBUG:vos_util\\.c:[0-9]+:vos_util_suspend_timer is not started$"}) {
    EXPECT_TRUE(re_search_lines(s_out, pc)) << pc << "\n" << s_out;
  }
  // Commands racing with the timer's own end must never reach a freed thread.
  for (int i_round = 0; i_round < 20; ++i_round) {
    ASSERT_EQ(vos_util_start_timer(&t_timer, 1, 1, &record_fire, &s_log), 1);
    std::vector<std::thread> senders;
    for (int i = 0; i < 3; ++i) {
      senders.emplace_back([&t_timer] {
        for (int j = 0; j < 20; ++j) {
          vos_util_restart_timer(&t_timer);
          vos_util_start_timer_re_prog(&t_timer, 1, 1, nullptr, nullptr);
        }
      });
    }
    captured([&] {
      vos_util_stop_timer(&t_timer);
      for (auto& sender : senders) sender.join();
    });
    ASSERT_TRUE(wait_until([&] { return read_timer(t_timer) == nullptr; }));
  }
}

}  // namespace
