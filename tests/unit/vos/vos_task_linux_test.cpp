// Threads and mailboxes: creation, ordering, quotas, waits and their limits, delays, cond and
// condmask objects. (Senders on other threads: the LAN worker tests and bench_task.)
#include "vos_task_linux.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "alloc_balance.h"
#include "test_regex.h"
#include "test_wait.h"
#include "vos_mem.h"
#include "vos_queue.h"
#include "vos_task_linux_internal.h"

namespace {

using test_support::elapsed_ms;
using test_support::re_search_lines;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

using clock_type = std::chrono::steady_clock;
using std::chrono::milliseconds;

// The thread count is raised by each new thread itself, so "back to 1" means "ended" only
// once every thread the test made has entered: tracked threads count their entries.
std::atomic<std::uint32_t> g_created{0};
std::atomic<std::uint32_t> g_entered{0};

struct tracked_start {
  vos_os_thread_entry_t pf_entry;
  void* pv_arg;
};

std::uint32_t tracked_entry(vos_os_thread_t t_thread, void* pv_arg) noexcept {
  auto* ps_start = static_cast<tracked_start*>(pv_arg);
  g_entered.fetch_add(1);
  const tracked_start s_start = *ps_start;
  delete ps_start;
  return s_start.pf_entry(t_thread, s_start.pv_arg);
}

vos_os_thread_t create(vos_os_thread_entry_t pf_entry, const char* pc_name, void* pv_arg,
                       std::uint32_t u32_stack = VOS_OS_DEFAULT_STACK) {
  auto* ps_start = new tracked_start{pf_entry, pv_arg};
  vos_os_thread_t t_thread =
      vos_os_create_thread_stack(&tracked_entry, 6, pc_name, ps_start, u32_stack);
  if (t_thread == nullptr) {
    delete ps_start;
  } else {
    g_created.fetch_add(1);
  }
  return t_thread;
}

// Polls until every thread the test made has started and ended; false after 10 s.
bool wait_for_threads_end() {
  return test_support::wait_until(
      [] { return g_entered.load() == g_created.load() && vos_os_nb_thread() == 1; },
      milliseconds(10'000), milliseconds(2));
}

// Signals the thread's mailbox with nothing in it, as a spurious wake-up would, once the thread
// has entered and waited @p ms_before.
void spurious_wake(vos_os_thread_t t_thread, const std::atomic<bool>& b_entered,
                   milliseconds ms_before) {
  while (!b_entered.load()) std::this_thread::sleep_for(milliseconds(1));
  std::this_thread::sleep_for(ms_before);
  pthread_mutex_lock(&t_thread->lock);
  pthread_cond_signal(&t_thread->signal);
  pthread_mutex_unlock(&t_thread->lock);
}

// Polls a condmask's waiting flag under its own mutex until a waiter is inside.
void wait_for_waiter(vos_os_condmask_rec* ps_condmask) {
  test_support::wait_until([&] {
    pthread_mutex_lock(&ps_condmask->mutex);
    const bool b_waiting = ps_condmask->waiting == 1;
    pthread_mutex_unlock(&ps_condmask->mutex);
    return b_waiting;
  });
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

void* new_msg(std::uint32_t u32_a, std::uint32_t u32_b) {
  std::uint32_t* pu32 = nullptr;
  vos_os_malloc(&pu32, 2 * sizeof(std::uint32_t));
  pu32[0] = u32_a;
  pu32[1] = u32_b;
  return pu32;
}

// Thread that waits on a gate, then takes out every message until a null one, recording them.
struct drain_job {
  vos_os_condmask_rec* ps_gate = vos_os_condmask_create("gate");
  std::vector<void*> received;
  bool b_drain = true;  // false: return without reading
  drain_job() = default;
  drain_job(const drain_job&) = delete;
  drain_job& operator=(const drain_job&) = delete;
  ~drain_job() { vos_os_condmask_kill(&ps_gate); }
};

std::uint32_t drain_entry(vos_os_thread_t t_thread, void* pv_arg) noexcept {
  auto* ps_job = static_cast<drain_job*>(pv_arg);
  std::uint32_t u32_got = 0;
  vos_os_condmask_wait(ps_job->ps_gate, 0, 0x1, &u32_got);
  void* pv_msg = nullptr;
  while (ps_job->b_drain && vos_os_test_msg_to_thread(t_thread)) {
    vos_os_wait_msg_to_thread(t_thread, &pv_msg);
    ps_job->received.push_back(pv_msg);
  }
  return 0;
}

// What a thread sees of itself: its attributes and whether its record was complete.
struct self_view {
  bool b_own_id = false;
  int i_detach = -1;
  std::size_t stack_size = 0;
};

std::uint32_t self_view_entry(vos_os_thread_t t_thread, void* pv_arg) noexcept {
  auto* ps_view = static_cast<self_view*>(pv_arg);
  // The creator stores the id before the entry may run.
  ps_view->b_own_id = pthread_equal(t_thread->thread_id, pthread_self()) != 0;
  pthread_attr_t s_attr;
  if (pthread_getattr_np(pthread_self(), &s_attr) == 0) {
    pthread_attr_getdetachstate(&s_attr, &ps_view->i_detach);
    pthread_attr_getstacksize(&s_attr, &ps_view->stack_size);
    pthread_attr_destroy(&s_attr);
  }
  return 0;
}

struct condmask_job {
  vos_os_condmask_rec* ps_mask = nullptr;
  std::uint32_t u32_ticks = 0;
  std::uint32_t u32_wanted = 0;
  std::uint32_t u32_got = 0xdead;
  int i_result = -1;
};

std::uint32_t condmask_entry(vos_os_thread_t, void* pv_arg) noexcept {
  auto* ps_job = static_cast<condmask_job*>(pv_arg);
  ps_job->i_result = vos_os_condmask_wait(ps_job->ps_mask, ps_job->u32_ticks, ps_job->u32_wanted,
                                          &ps_job->u32_got);
  return 0;
}

TEST_F(vos_task_linux, creation_stack_and_end) {
  self_view big, tiny;
  drain_job job;
  CaptureStdout();
  ASSERT_NE(create(&self_view_entry, "big", &big, 1048576), nullptr);
  ASSERT_NE(create(&self_view_entry, "tiny", &tiny, 100), nullptr);
  vos_os_thread_t t_thread = create(&drain_entry, "short_lived", &job);
  ASSERT_NE(t_thread, nullptr);
  // The count is raised by each new thread itself; the drain thread waits on its gate.
  EXPECT_TRUE(test_support::wait_until([] { return vos_os_nb_thread() >= 2; }));
  EXPECT_EQ(vos_os_terminate_thread(), 1);
  // Messages still waiting when the thread ends are freed with its mailbox.
  void* pv_msg = new_msg(1, 2);
  EXPECT_EQ(vos_os_send_msg_to_thread(t_thread, &pv_msg), 1);
  EXPECT_NE(pv_msg, nullptr) << "the sender's variable is left as it was";
  job.b_drain = false;
  vos_os_condmask_signal(job.ps_gate, 0x1);
  ASSERT_TRUE(wait_for_threads_end());
  const std::string out = GetCapturedStdout();
  char ac_id[32];
  std::snprintf(ac_id, sizeof ac_id, "%p", static_cast<void*>(t_thread));
  const std::string id = ac_id;
  EXPECT_TRUE(re_search_lines(out, R"(^[0-9]{8}-[0-9]{6}:INFO:Thread "short_lived" created, id=)" +
                                       id + R"(, stack_size=262144 min_stack_size=16384$)"))
      << out;
  EXPECT_TRUE(re_search_lines(out, R"(^[0-9]{8}-[0-9]{6}:INFO:End of thread=)" + id + "$")) << out;
  EXPECT_TRUE(re_search_lines(out, R"(Thread "big" created, id=0x[0-9a-f]+, stack_size=1048576 )"));
  EXPECT_TRUE(re_search_lines(
      out,
      R"(:ERROR:vos_task_linux\.c:[0-9]+:Can't set stack size=100 errno=22 errstr:Invalid argument$)"))
      << out;
  // The creator stores the id before the entry runs; threads are detached; sizes in effect.
  for (const self_view* ps_view : {&big, &tiny}) {
    EXPECT_TRUE(ps_view->b_own_id);
    EXPECT_EQ(ps_view->i_detach, PTHREAD_CREATE_DETACHED);
  }
  EXPECT_GE(big.stack_size, 1048576u);
  EXPECT_LT(big.stack_size, 2u * 1048576u);
  EXPECT_GE(tiny.stack_size, 16384u);
}

TEST_F(vos_task_linux, refused_thread_leaves_nothing_behind) {
  detail::vos_os_set_pthread_create(
      [](pthread_t*, const pthread_attr_t*, void* (*)(void*), void*) -> int { return EAGAIN; });
  CaptureStdout();
  const vos_os_thread_t t_thread = vos_os_create_thread(
      [](vos_os_thread_t, void*) noexcept -> std::uint32_t { return 0; }, 6, "refused", nullptr);
  const std::string out = GetCapturedStdout();
  detail::vos_os_set_pthread_create(nullptr);
  EXPECT_EQ(t_thread, nullptr);
  EXPECT_EQ(out, "Can't create thread 11, Resource temporarily unavailable\n");
  EXPECT_EQ(vos_os_nb_thread(), 1u);  // the fixture checks the record and mailbox were freed
}

TEST_F(vos_task_linux, order_quota_and_full_mailbox) {
  drain_job job;
  CaptureStdout();
  vos_os_thread_t t_thread = create(&drain_entry, "order", &job);
  ASSERT_NE(t_thread, nullptr);
  EXPECT_FALSE(vos_os_test_msg_to_thread(t_thread));
  void* pv = value(4);
  EXPECT_EQ(vos_os_send_msg_to_thread_with_quota(t_thread, &pv), 0) << "quota 0 at creation";
  vos_os_set_thread_quota(t_thread, 2);
  vos_os_set_thread_quota(nullptr, 2);
  EXPECT_EQ(vos_os_send_msg_to_thread_with_quota(t_thread, &pv), 1);
  EXPECT_TRUE(vos_os_test_msg_to_thread(t_thread));
  pv = value(5);
  EXPECT_EQ(vos_os_send_msg_to_thread_with_quota(t_thread, &pv), 1);
  pv = value(6);
  EXPECT_EQ(vos_os_send_msg_to_thread_with_quota(t_thread, &pv), 0);
  EXPECT_EQ(pv, value(6)) << "a refused message stays with its sender";
  for (std::uintptr_t i = 6; i < 32767 + 4; ++i) {
    pv = value(i);
    ASSERT_EQ(vos_os_send_msg_to_thread(t_thread, &pv), 1) << i;
  }
  EXPECT_EQ(vos_os_send_msg_to_thread(t_thread, &pv), 0) << "mailbox full";
  vos_os_condmask_signal(job.ps_gate, 0x1);
  ASSERT_TRUE(wait_for_threads_end());
  const std::string out = GetCapturedStdout();
  EXPECT_TRUE(re_search_lines(out, R"(:ERROR:vos_queue\.c:[0-9]+:Queue full)")) << out;
  ASSERT_EQ(job.received.size(), 32767u);
  for (std::uintptr_t i = 0; i < job.received.size(); ++i) ASSERT_EQ(job.received[i], value(i + 4));

  EXPECT_EQ(vos_os_send_msg_to_thread(nullptr, &pv), 0);
  EXPECT_EQ(vos_os_send_msg_to_thread_with_quota(nullptr, &pv), 0);
  EXPECT_EQ(vos_os_wait_msg_to_thread(nullptr, &pv), -1);
  EXPECT_EQ(vos_os_wait_msg_to_thread_timeout(nullptr, &pv, 1), -1);
  EXPECT_EQ(vos_os_wait_msg_to_thread_timeout_ms(nullptr, &pv, 1), -1);
  EXPECT_FALSE(vos_os_test_msg_to_thread(nullptr));
}

// One wait on the own mailbox: ticks or milliseconds, with a limit (0: none).
struct timed_wait_job {
  std::uint32_t u32_limit = 0;
  bool b_ms = false;
  int i_result = -2;
  long long ll_elapsed_ms = 0;
  void* pv_msg = value(0x77);
  std::atomic<bool> b_entered{false};
};

std::uint32_t timed_wait_entry(vos_os_thread_t t_thread, void* pv_arg) noexcept {
  auto* ps_job = static_cast<timed_wait_job*>(pv_arg);
  ps_job->b_entered.store(true);
  const auto t0 = clock_type::now();
  ps_job->i_result =
      ps_job->b_ms
          ? vos_os_wait_msg_to_thread_timeout_ms(t_thread, &ps_job->pv_msg, ps_job->u32_limit)
          : vos_os_wait_msg_to_thread_timeout(t_thread, &ps_job->pv_msg, ps_job->u32_limit);
  ps_job->ll_elapsed_ms = elapsed_ms(t0);
  return 0;
}

TEST_F(vos_task_linux, waits_and_their_limits) {
  struct limit_case {
    std::uint32_t limit;
    bool ms;
    long long expected_ms;  // -1: no limit, a message comes
  };
  const limit_case cases[] = {{49, false, 980}, {100, false, 2000}, {1500, true, 1500},
                              {1, false, 20},   {0, false, -1},     {0, true, -1}};
  std::vector<timed_wait_job> jobs(std::size(cases));
  std::vector<vos_os_thread_t> threads;
  timed_wait_job spurious;  // woken without message after 600 ms: a full second from there
  spurious.u32_limit = 50;
  CaptureStdout();
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    jobs[i].u32_limit = cases[i].limit;
    jobs[i].b_ms = cases[i].ms;
    threads.push_back(create(&timed_wait_entry, "timed", &jobs[i]));
    ASSERT_NE(threads.back(), nullptr);
  }
  vos_os_thread_t t_spurious = create(&timed_wait_entry, "spurious", &spurious);
  ASSERT_NE(t_spurious, nullptr);
  spurious_wake(t_spurious, spurious.b_entered, milliseconds(600));
  std::this_thread::sleep_for(milliseconds(2500));
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    if (cases[i].expected_ms >= 0) continue;
    EXPECT_EQ(jobs[i].i_result, -2) << "a wait with limit 0 must not give up";
    void* pv = value(0x50 + i);
    EXPECT_EQ(vos_os_send_msg_to_thread(threads[i], &pv), 1);
  }
  ASSERT_TRUE(wait_for_threads_end());
  const std::string out = GetCapturedStdout();
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(std::to_string(cases[i].limit) + (cases[i].ms ? " ms" : " ticks"));
    if (cases[i].expected_ms < 0) {
      EXPECT_EQ(jobs[i].i_result, 1);
      EXPECT_EQ(jobs[i].pv_msg, value(0x50 + i));
      continue;
    }
    EXPECT_EQ(jobs[i].i_result, 0);
    EXPECT_EQ(jobs[i].pv_msg, value(0x77)) << "the variable is untouched on time-out";
    EXPECT_GE(jobs[i].ll_elapsed_ms, cases[i].expected_ms - 2);
    EXPECT_LE(jobs[i].ll_elapsed_ms, cases[i].expected_ms + 1000);
  }
  EXPECT_EQ(spurious.i_result, 0);
  EXPECT_GE(spurious.ll_elapsed_ms, 1595);
  EXPECT_TRUE(re_search_lines(out, R"(:ERROR:vos_task_linux\.c:[0-9]+:cond_timedwait:0$)")) << out;

  const auto t0 = clock_type::now();
  EXPECT_EQ(vos_os_wait_delay(25), 0);
  EXPECT_GE(elapsed_ms(t0), 498);
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

  // Bits from another thread; a reset while the waiter is inside does nothing.
  condmask_job job{ps_mask, 250, 0x3};
  CaptureStdout();
  ASSERT_NE(create(&condmask_entry, "maskwaiter", &job), nullptr);
  wait_for_waiter(ps_mask);
  vos_os_condmask_signal(ps_mask, 0x1);
  vos_os_condmask_reset(ps_mask, 0);
  vos_os_condmask_signal(ps_mask, 0x2);
  ASSERT_TRUE(wait_for_threads_end());
  EXPECT_EQ(job.i_result, 1);
  EXPECT_EQ(job.u32_got, 0x3u);
  // Killed during a wait: the waiter returns 2 and frees the object.
  condmask_job killed{ps_mask, 0, 0x1};
  ASSERT_NE(create(&condmask_entry, "killed", &killed), nullptr);
  wait_for_waiter(ps_mask);
  vos_os_condmask_rec* ps_copy = ps_mask;
  vos_os_condmask_kill(&ps_copy);
  EXPECT_NE(ps_copy, nullptr) << "the waiter frees the object, not the killer";
  ASSERT_TRUE(wait_for_threads_end());
  GetCapturedStdout();
  EXPECT_EQ(killed.i_result, 2);
}

}  // namespace
