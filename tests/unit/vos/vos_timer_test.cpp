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
  vos_os_thread_t* pt_suspend_self = nullptr;

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
  if (ps_log->pt_suspend_self != nullptr) {
    vos_util_suspend_timer(ps_log->pt_suspend_self);
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

TEST_F(vos_timer, periodic_timer_counts_each_period_from_the_end_of_the_callback) {
  fire_log s_log;
  s_log.pause = 200ms;
  vos_os_thread_t t_timer = nullptr;
  const auto t_start = steady_clock::now();
  ASSERT_EQ(vos_util_start_timer(&t_timer, 1, 25, &record_fire, &s_log), 1);
  ASSERT_NE(read_timer(t_timer), nullptr);
  ASSERT_TRUE(wait_until([&] { return s_log.count.load() >= 3; }, 5000ms));
  stop_and_wait(t_timer);
  const auto times = s_log.snapshot();
  ASSERT_GE(times.size(), 3u);
  EXPECT_GE(ms_between(t_start, times[0]), 500);
  EXPECT_LT(ms_between(t_start, times[0]), 1500);
  for (std::size_t i = 1; i < 3; ++i) {
    SCOPED_TRACE("interval " + std::to_string(i));
    // 500 ms period after a 200 ms callback.
    EXPECT_GE(ms_between(times[i - 1], times[i]), 700);
    EXPECT_LT(ms_between(times[i - 1], times[i]), 1700);
  }
}

TEST_F(vos_timer, one_shot_timer_fires_once_and_again_after_a_restart) {
  fire_log s_log;
  vos_os_thread_t t_timer = nullptr;
  const auto t_start = steady_clock::now();
  ASSERT_EQ(vos_util_start_timer(&t_timer, 0, 25, &record_fire, &s_log), 1);
  ASSERT_TRUE(wait_until([&] { return s_log.count.load() >= 1; }));
  std::this_thread::sleep_for(700ms);
  EXPECT_EQ(s_log.count.load(), 1) << "a one-shot timer fired again by itself";
  const auto t_restart = steady_clock::now();
  ASSERT_EQ(vos_util_restart_timer(&t_timer), 1);
  ASSERT_TRUE(wait_until([&] { return s_log.count.load() >= 2; }));
  std::this_thread::sleep_for(700ms);
  EXPECT_EQ(s_log.count.load(), 2);
  stop_and_wait(t_timer);
  const auto times = s_log.snapshot();
  ASSERT_EQ(times.size(), 2u);
  EXPECT_GE(ms_between(t_start, times[0]), 500);
  EXPECT_LT(ms_between(t_start, times[0]), 1500);
  EXPECT_GE(ms_between(t_restart, times[1]), 500);
  EXPECT_LT(ms_between(t_restart, times[1]), 1500);
}

TEST_F(vos_timer, restarts_every_half_period_keep_the_timer_from_firing) {
  fire_log s_log;
  vos_os_thread_t t_timer = nullptr;
  ASSERT_EQ(vos_util_start_timer(&t_timer, 1, 50, &record_fire, &s_log), 1);
  for (int i = 0; i < 4; ++i) {
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(vos_util_restart_timer(&t_timer), 1);
  }
  EXPECT_EQ(s_log.count.load(), 0);
  // Left alone, it fires a period after the last restart.
  ASSERT_TRUE(wait_until([&] { return s_log.count.load() >= 1; }));
  stop_and_wait(t_timer);
}

TEST_F(vos_timer, suspended_timer_waits_for_restart_or_reprogram) {
  fire_log s_log;
  vos_os_thread_t t_timer = nullptr;
  ASSERT_EQ(vos_util_start_timer(&t_timer, 1, 10, &record_fire, &s_log), 1);
  ASSERT_EQ(vos_util_suspend_timer(&t_timer), 1);
  std::this_thread::sleep_for(600ms);
  EXPECT_EQ(s_log.count.load(), 0) << "a suspended timer fired";
  {
    SCOPED_TRACE("restart after suspend");
    ASSERT_EQ(vos_util_restart_timer(&t_timer), 1);
    ASSERT_TRUE(wait_until([&] { return s_log.count.load() >= 1; }));
  }
  ASSERT_EQ(vos_util_suspend_timer(&t_timer), 1);
  std::this_thread::sleep_for(100ms);
  const int i_after_suspend = s_log.count.load();
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(s_log.count.load(), i_after_suspend);
  {
    SCOPED_TRACE("reprogram after suspend");
    ASSERT_EQ(vos_util_start_timer_re_prog(&t_timer, 0, 5, &record_fire, &s_log), 1);
    ASSERT_TRUE(wait_until([&] { return s_log.count.load() > i_after_suspend; }));
  }
  stop_and_wait(t_timer);
}

TEST_F(vos_timer, a_callback_may_suspend_its_own_timer) {
  fire_log s_log;
  vos_os_thread_t t_timer = nullptr;
  // The callback suspends its own periodic timer: the command waits when it returns.
  s_log.pt_suspend_self = &t_timer;
  ASSERT_EQ(vos_util_start_timer(&t_timer, 1, 10, &record_fire, &s_log), 1);
  ASSERT_TRUE(wait_until([&] { return s_log.count.load() >= 1; }));
  std::this_thread::sleep_for(700ms);
  EXPECT_EQ(s_log.count.load(), 1);
  stop_and_wait(t_timer);
}

TEST_F(vos_timer, stop_clears_the_variable_and_allows_a_new_start) {
  fire_log s_log;
  vos_os_thread_t t_timer = nullptr;
  ASSERT_EQ(vos_util_start_timer(&t_timer, 1, 5, &record_fire, &s_log), 1);
  ASSERT_EQ(vos_util_stop_timer(&t_timer), 1);
  ASSERT_TRUE(wait_until([&] { return read_timer(t_timer) == nullptr; }));
  CaptureStdout();
  EXPECT_EQ(vos_util_stop_timer(&t_timer), 0);
  EXPECT_EQ(vos_util_restart_timer(&t_timer), 0);
  EXPECT_EQ(vos_util_suspend_timer(&t_timer), 0);
  EXPECT_EQ(vos_util_start_timer_re_prog(&t_timer, 1, 5, &record_fire, &s_log), 0);
  const std::string s_out = GetCapturedStdout();
  EXPECT_TRUE(logged(s_out, "DEBUG", "vos_util_stop_timer already stopped\n")) << s_out;
  EXPECT_TRUE(logged(s_out, "DEBUG", "vos_util_restart_timer is not started\n")) << s_out;
  EXPECT_TRUE(logged(s_out, "DEBUG", "vos_util_suspend_timer is not started\n")) << s_out;
  EXPECT_EQ(re_count(s_out, "vos_util\\.c"), 3)
      << "reprogramming a stopped timer logged something: " << s_out;
  const int i_count = s_log.count.load();
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(s_log.count.load(), i_count) << "a stopped timer fired";
  ASSERT_EQ(vos_util_start_timer(&t_timer, 1, 5, &record_fire, &s_log), 1);
  ASSERT_TRUE(wait_until([&] { return s_log.count.load() > i_count; }));
  {
    SCOPED_TRACE("two stops before the thread acts: both are sent, the second is dropped");
    EXPECT_EQ(vos_util_stop_timer(&t_timer), 1);
    vos_util_stop_timer(&t_timer);
    EXPECT_TRUE(wait_until([&] { return read_timer(t_timer) == nullptr; }));
  }
}

TEST_F(vos_timer, start_refuses_a_running_variable_and_a_null_address) {
  fire_log s_log;
  vos_os_thread_t t_timer = nullptr;
  ASSERT_EQ(vos_util_start_timer(&t_timer, 1, 0, &record_fire, &s_log), 1);
  ASSERT_TRUE(wait_until([&] { return vos_os_nb_thread() == u32_nb_thread_ + 1; }));
  const vos_os_thread_t t_first = read_timer(t_timer);
  CaptureStdout();
  EXPECT_EQ(vos_util_start_timer(&t_timer, 1, 5, &record_fire, &s_log), 0);
  EXPECT_EQ(vos_util_start_timer(nullptr, 1, 5, &record_fire, &s_log), 0);
  const std::string s_out = GetCapturedStdout();
  EXPECT_EQ(re_count(s_out, "vos_util_start_timer refused\n"), 2) << s_out;
  EXPECT_EQ(read_timer(t_timer), t_first);
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(vos_os_nb_thread(), u32_nb_thread_ + 1) << "a refused start made a thread";
  stop_and_wait(t_timer);
}

TEST_F(vos_timer, null_callback_and_zero_period) {
  fire_log s_log;
  vos_os_thread_t t_timer = nullptr;
  {
    SCOPED_TRACE("period 0 never expires");
    ASSERT_EQ(vos_util_start_timer(&t_timer, 1, 0, &record_fire, &s_log), 1);
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(s_log.count.load(), 0);
  }
  {
    SCOPED_TRACE("reprogrammed with a null callback it runs without calling anything");
    ASSERT_EQ(vos_util_start_timer_re_prog(&t_timer, 1, 2, nullptr, &s_log), 1);
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(s_log.count.load(), 0);
  }
  {
    SCOPED_TRACE("reprogrammed with a callback, the same thread fires again");
    ASSERT_EQ(vos_util_start_timer_re_prog(&t_timer, 1, 2, &record_fire, &s_log), 1);
    ASSERT_TRUE(wait_until([&] { return s_log.count.load() >= 2; }));
  }
  stop_and_wait(t_timer);
}

TEST_F(vos_timer, unknown_and_null_commands_are_reported) {
  fire_log s_log;
  vos_os_thread_t t_timer = nullptr;
  ASSERT_EQ(vos_util_start_timer(&t_timer, 1, 10, &record_fire, &s_log), 1);
  ASSERT_TRUE(wait_until([&] { return s_log.count.load() >= 1; }));
  {
    SCOPED_TRACE("a null message keeps the timer armed");
    CaptureStdout();
    void* pv_null = nullptr;
    ASSERT_EQ(vos_os_send_msg_to_thread(read_timer(t_timer), &pv_null), 1);
    const int i_count = s_log.count.load();
    const bool b_fired = wait_until([&] { return s_log.count.load() >= i_count + 2; });
    const std::string s_out = GetCapturedStdout();
    EXPECT_TRUE(b_fired);
    EXPECT_TRUE(logged(s_out, "ERROR", "Mailbox bug\n")) << s_out;
  }
  {
    SCOPED_TRACE("an unknown kind makes the timer idle");
    vos_timer_msg* ps_msg = nullptr;
    vos_os_calloc(&ps_msg, sizeof(vos_timer_msg));
    ASSERT_NE(ps_msg, nullptr);
    ps_msg->kind = 7;
    CaptureStdout();
    void* pv_msg = ps_msg;
    ASSERT_EQ(vos_os_send_msg_to_thread(read_timer(t_timer), &pv_msg), 1);
    std::this_thread::sleep_for(100ms);
    const int i_count = s_log.count.load();
    std::this_thread::sleep_for(500ms);
    const std::string s_out = GetCapturedStdout();
    EXPECT_EQ(s_log.count.load(), i_count) << "an idle timer fired";
    EXPECT_TRUE(logged(s_out, "ERROR", "timer rec unknown msg 7\n")) << s_out;
    ASSERT_EQ(vos_util_restart_timer(&t_timer), 1);
    EXPECT_TRUE(wait_until([&] { return s_log.count.load() > i_count; }));
  }
  stop_and_wait(t_timer);
}

TEST_F(vos_timer, commands_from_many_threads_while_the_timer_stops) {
  // Commands racing with the timer's own end must never reach a freed thread.
  fire_log s_log;
  for (int i_round = 0; i_round < 20; ++i_round) {
    vos_os_thread_t t_timer = nullptr;
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
    for (auto& sender : senders) {
      sender.join();
    }
    GetCapturedStdout();
    ASSERT_TRUE(wait_until([&] { return read_timer(t_timer) == nullptr; }));
  }
}
