// Timers: expiry, restart, suspend, reprogram, stop and the timer thread's error paths.
// Time windows have a tight lower bound and a loose upper bound.
#include "vos_timer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "alloc_balance.h"
#include "test_regex.h"
#include "test_wait.h"
#include "vos_mem.h"
#include "vos_task_linux.h"

namespace {

using namespace std::chrono_literals;
using std::chrono::milliseconds;
using std::chrono::steady_clock;
using test_support::re_count;
using test_support::re_search;
using test_support::wait_until;
using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStdout;

// Records when the callback ran; an optional pause inside the callback.
struct fire_log {
  std::mutex lock;
  std::vector<steady_clock::time_point> times;
  std::atomic<int> count{0};
  milliseconds pause{0};
  // Optional action on the timer thread after recording (runs inside the callback).
  std::atomic<vos_os_thread_t*> pt_suspend_self{nullptr};

  std::vector<steady_clock::time_point> snapshot() {
    std::lock_guard guard(lock);
    return times;
  }
};

std::uint32_t record_fire(void* pv_arg) {
  auto* ps_log = static_cast<fire_log*>(pv_arg);
  {
    std::lock_guard guard(ps_log->lock);
    ps_log->times.push_back(steady_clock::now());
  }
  ps_log->count.fetch_add(1);
  if (ps_log->pause.count() > 0) {
    std::this_thread::sleep_for(ps_log->pause);
  }
  if (vos_os_thread_t* pt_self = ps_log->pt_suspend_self.load(); pt_self != nullptr) {
    vos_util_suspend_timer(pt_self);
  }
  return 0;
}

vos_os_thread_t read_timer(vos_os_thread_t& t_timer) {
  return std::atomic_ref<vos_os_thread_t>(t_timer).load();
}

long ms_between(steady_clock::time_point t_from, steady_clock::time_point t_to) {
  return static_cast<long>(std::chrono::duration_cast<milliseconds>(t_to - t_from).count());
}

class vos_timer : public test_support::alloc_balance_test {
 protected:
  void SetUp() override {
    vos_os_init();
    u32_nb_thread_ = vos_os_nb_thread();
    mark_alloc();
  }
  void TearDown() override {
    // Every test stops its timers; the threads must be gone before the totals are compared.
    EXPECT_TRUE(wait_until([&] { return vos_os_nb_thread() == u32_nb_thread_; }));
    expect_alloc_balance();
  }

  // Stops the timer and waits until its thread has cleared the variable.
  void stop_and_wait(vos_os_thread_t& t_timer) {
    EXPECT_EQ(vos_util_stop_timer(&t_timer), 1);
    EXPECT_TRUE(wait_until([&] { return read_timer(t_timer) == nullptr; }));
  }

  std::uint32_t u32_nb_thread_ = 0;
};

bool logged(const std::string& s_out, const std::string& s_level, const std::string& s_message) {
  return re_search(s_out, s_level + "[: ]vos_util\\.c:[0-9]+[: ]" + s_message);
}

}  // namespace

TEST_F(vos_timer, periodic_and_one_shot_expiries) {
  fire_log periodic, once;
  periodic.pause = 200ms;
  vos_os_thread_t t_periodic = nullptr, t_once = nullptr;
  const auto t_start = steady_clock::now();
  ASSERT_EQ(vos_util_start_timer(&t_periodic, 1, 25, &record_fire, &periodic), 1);
  ASSERT_EQ(vos_util_start_timer(&t_once, 0, 25, &record_fire, &once), 1);
  ASSERT_TRUE(wait_until([&] { return periodic.count.load() >= 3; }, 5000ms));
  EXPECT_EQ(once.count.load(), 1) << "a one-shot timer fired again by itself";
  const auto t_restart = steady_clock::now();
  ASSERT_EQ(vos_util_restart_timer(&t_once), 1);
  ASSERT_TRUE(wait_until([&] { return once.count.load() >= 2; }));
  stop_and_wait(t_periodic);
  stop_and_wait(t_once);
  const auto times = periodic.snapshot();
  EXPECT_GE(ms_between(t_start, times[0]), 500);
  for (std::size_t i = 1; i < 3; ++i) {
    EXPECT_GE(ms_between(times[i - 1], times[i]), 700) << "the period runs from the callback's end";
    EXPECT_LT(ms_between(times[i - 1], times[i]), 1700);
  }
  EXPECT_GE(ms_between(t_start, once.snapshot()[0]), 500);
  EXPECT_GE(ms_between(t_restart, once.snapshot()[1]), 500);
}

TEST_F(vos_timer, restart_suspend_and_reprogram) {
  fire_log s_log;
  vos_os_thread_t t_timer = nullptr;
  ASSERT_EQ(vos_util_start_timer(&t_timer, 1, 25, &record_fire, &s_log), 1);
  for (int i = 0; i < 3; ++i) {
    std::this_thread::sleep_for(250ms);
    EXPECT_EQ(vos_util_restart_timer(&t_timer), 1);
  }
  EXPECT_EQ(s_log.count.load(), 0) << "restarts every half period keep it from firing";
  ASSERT_EQ(vos_util_suspend_timer(&t_timer), 1);
  std::this_thread::sleep_for(700ms);
  EXPECT_EQ(s_log.count.load(), 0) << "a suspended timer fired";
  ASSERT_EQ(vos_util_start_timer_re_prog(&t_timer, 1, 2, nullptr, &s_log), 1);
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(s_log.count.load(), 0) << "a null callback calls nothing";
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
  stop_and_wait(t_timer);
}

TEST_F(vos_timer, stop_refusals_and_bad_commands) {
  fire_log s_log;
  vos_os_thread_t t_timer = nullptr;
  ASSERT_EQ(vos_util_start_timer(&t_timer, 1, 5, &record_fire, &s_log), 1);
  CaptureStdout();
  EXPECT_EQ(vos_util_start_timer(&t_timer, 1, 5, &record_fire, &s_log), 0);
  EXPECT_EQ(vos_util_start_timer(nullptr, 1, 5, &record_fire, &s_log), 0);
  ASSERT_TRUE(wait_until([&] { return s_log.count.load() >= 1; }));
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
  stop_and_wait(t_timer);
  EXPECT_EQ(vos_util_stop_timer(&t_timer), 0);
  EXPECT_EQ(vos_util_restart_timer(&t_timer), 0);
  EXPECT_EQ(vos_util_suspend_timer(&t_timer), 0);
  EXPECT_EQ(vos_util_start_timer_re_prog(&t_timer, 1, 5, &record_fire, &s_log), 0);
  const std::string s_out = GetCapturedStdout();
  EXPECT_EQ(re_count(s_out, "vos_util_start_timer refused\n"), 2) << s_out;
  EXPECT_TRUE(logged(s_out, "ERROR", "Mailbox bug\n")) << s_out;
  EXPECT_TRUE(logged(s_out, "ERROR", "timer rec unknown msg 7\n")) << s_out;
  EXPECT_TRUE(logged(s_out, "DEBUG", "vos_util_stop_timer already stopped\n")) << s_out;
  EXPECT_TRUE(logged(s_out, "DEBUG", "vos_util_suspend_timer is not started\n")) << s_out;

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
    CaptureStdout();
    vos_util_stop_timer(&t_timer);
    for (auto& sender : senders) sender.join();
    GetCapturedStdout();
    ASSERT_TRUE(wait_until([&] { return read_timer(t_timer) == nullptr; }));
  }
}
