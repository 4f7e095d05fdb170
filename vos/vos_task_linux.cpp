// Threads with mailboxes, delays, cond and condmask objects on POSIX threads.
// Lock order: a mailbox mutex may be held while tracing and allocating, never the reverse.
#include "vos_task_linux.h"

#include <sched.h>
#include <sys/select.h>
#include <sys/time.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "vos_errno_text.h"
#include "vos_mem.h"
#include "vos_queue.h"
#include "vos_task_linux_internal.h"
#include "vos_trace.h"

namespace {

constexpr const char* source_name = "vos_task_linux.c";

// The platform's smallest thread stack, reported with every creation.
constexpr int min_stack_size = 16384;

constexpr long ns_per_tick = 20'000'000;
constexpr long us_per_tick = 20'000;

constinit std::atomic<detail::vos_os_pthread_create_fn> _pf_pthread_create{&pthread_create};

// The main thread counts as one.
constinit std::atomic<std::uint32_t> _u32_nb_thread{1};

// Absolute wall-clock deadline (the condition variables use the realtime clock).
timespec _vos_os_deadline(std::uint32_t u32_whole, long l_rest_ns) {
  timeval s_now{};
  gettimeofday(&s_now, nullptr);
  timespec s_deadline{};
  s_deadline.tv_sec = s_now.tv_sec + static_cast<std::time_t>(u32_whole);
  s_deadline.tv_nsec = s_now.tv_usec * 1000L + l_rest_ns;
  if (s_deadline.tv_nsec > 999'999'999L) {
    s_deadline.tv_sec += 1;
    s_deadline.tv_nsec -= 1'000'000'000L;
  }
  return s_deadline;
}

timespec _vos_os_deadline_ticks(std::uint32_t u32_ticks) {
  return _vos_os_deadline(u32_ticks / VOS_OS_TICKS_PER_SECOND,
                          static_cast<long>(u32_ticks % VOS_OS_TICKS_PER_SECOND) * ns_per_tick);
}

timespec _vos_os_deadline_ms(std::uint32_t u32_ms) {
  return _vos_os_deadline(u32_ms / 1000, static_cast<long>(u32_ms % 1000) * 1'000'000L);
}

// Frees what creation set up in a record whose thread never ran or has ended.
void _vos_os_release_thread_rec(vos_os_thread_t t_thread) {
  pthread_mutex_destroy(&t_thread->lock);
  pthread_cond_destroy(&t_thread->signal);
  vos_queueDestroy(&t_thread->mailbox);
  vos_os_free(&t_thread);
}

void* _vos_os_virtual_thread(void* pv_rec) noexcept {
  auto t_thread = static_cast<vos_os_thread_t>(pv_rec);
  _u32_nb_thread.fetch_add(1);
  // The creator holds the lock until pthread_create has stored the thread id.
  pthread_mutex_lock(&t_thread->lock);
  pthread_mutex_unlock(&t_thread->lock);
  t_thread->entry(t_thread, t_thread->arg);
  vos_trace_info("End of thread=%p", static_cast<void*>(t_thread));
  _vos_os_release_thread_rec(t_thread);
  _u32_nb_thread.fetch_sub(1);
  return nullptr;
}

// Appends the message; wakes a waiting owner once @p u32_wake_at messages wait (1: always).
int _vos_os_send(vos_os_thread_t t_thread, void** ppv_msg, bool b_quota,
                 std::uint32_t u32_wake_at = 1) {
  if (t_thread == nullptr || ppv_msg == nullptr) {
    return 0;
  }
  pthread_mutex_lock(&t_thread->lock);
  if (b_quota &&
      static_cast<std::uint32_t>(vos_queueGetNbElem(t_thread->mailbox)) >= t_thread->quota) {
    pthread_mutex_unlock(&t_thread->lock);
    return 0;
  }
  // A full mailbox (or no memory for the element) refuses: the sender keeps its message.
  if (vos_queueAddElem(t_thread->mailbox, *ppv_msg) < 0) {
    pthread_mutex_unlock(&t_thread->lock);
    return 0;
  }
  if (t_thread->waiting != 0 &&
      static_cast<std::uint32_t>(vos_queueGetNbElem(t_thread->mailbox)) >= u32_wake_at) {
    pthread_cond_signal(&t_thread->signal);  // a running owner needs no wake-up
  }
  pthread_mutex_unlock(&t_thread->lock);
  return 1;
}

// Wait with a limit; @p pf_deadline turns the limit into a deadline from now. Sets *pb_more,
// when given, to whether other messages wait after the one taken.
int _vos_os_wait_limited(vos_os_thread_t t_thread, void** ppv_msg, std::uint32_t u32_limit,
                         timespec (*pf_deadline)(std::uint32_t), bool* pb_more = nullptr) {
  if (pb_more != nullptr) {
    *pb_more = false;
  }
  if (t_thread == nullptr || ppv_msg == nullptr) {
    return -1;
  }
  pthread_mutex_lock(&t_thread->lock);
  while (vos_queueGetNbElem(t_thread->mailbox) == 0) {
    int i_rc = 0;
    t_thread->waiting = 1;
    if (u32_limit == 0) {
      i_rc = pthread_cond_wait(&t_thread->signal, &t_thread->lock);
    } else {
      // Recomputed on every pass: a wake-up without message starts the full limit again.
      const timespec s_deadline = pf_deadline(u32_limit);
      i_rc = pthread_cond_timedwait(&t_thread->signal, &t_thread->lock, &s_deadline);
    }
    t_thread->waiting = 0;
    if (i_rc == ETIMEDOUT) {
      pthread_mutex_unlock(&t_thread->lock);
      return 0;
    }
    if (vos_queueGetNbElem(t_thread->mailbox) == 0) {
      VOS_ERROR("cond_timedwait:%d", i_rc);
    }
  }
  *ppv_msg = vos_queueGetAndDelElem(t_thread->mailbox, 0);
  if (pb_more != nullptr) {
    *pb_more = vos_queueGetNbElem(t_thread->mailbox) != 0;
  }
  pthread_mutex_unlock(&t_thread->lock);
  return 1;
}

void _vos_os_condmask_release(vos_os_condmask_rec** pps_condmask) {
  if (pps_condmask == nullptr || *pps_condmask == nullptr) {
    return;
  }
  pthread_mutex_destroy(&(*pps_condmask)->mutex);
  pthread_cond_destroy(&(*pps_condmask)->cond);
  vos_os_free(pps_condmask);
}

}  // namespace

void detail::vos_os_set_pthread_create(vos_os_pthread_create_fn pf_create) {
  _pf_pthread_create.store(pf_create != nullptr ? pf_create : &pthread_create);
}

// ---------------------------------------------------------------------------------------------
// Threads

vos_os_thread_t vos_os_create_thread(vos_os_thread_entry_t pf_entry, std::uint32_t u32_ignored,
                                     const char* pc_name, void* pv_arg) {
  return vos_os_create_thread_stack(pf_entry, u32_ignored, pc_name, pv_arg, VOS_OS_DEFAULT_STACK);
}

vos_os_thread_t vos_os_create_thread_stack(vos_os_thread_entry_t pf_entry,
                                           std::uint32_t /*u32_ignored*/, const char* pc_name,
                                           void* pv_arg, std::uint32_t u32_stack_size) {
  if (pf_entry == nullptr) {
    VOS_ERROR("No entry function for thread \"%s\"", pc_name != nullptr ? pc_name : "(null)");
    return nullptr;
  }
  vos_os_thread_t t_thread = nullptr;
  vos_os_malloc(&t_thread, sizeof(vos_os_thread_rec));
  if (t_thread == nullptr) {
    VOS_ERROR("No memory for thread \"%s\"", pc_name != nullptr ? pc_name : "(null)");
    return nullptr;
  }
  vos_queue_rec* ps_mailbox = vos_queueCreate(0, nullptr);
  if (ps_mailbox == nullptr) {
    vos_os_free(&t_thread);
    return nullptr;
  }

  pthread_attr_t s_attr;
  pthread_attr_init(&s_attr);
  // Nobody joins these threads; they take the default scheduling, not the creator's.
  pthread_attr_setdetachstate(&s_attr, PTHREAD_CREATE_DETACHED);
  pthread_attr_setinheritsched(&s_attr, PTHREAD_EXPLICIT_SCHED);
  // Explicit scheduling without a policy of its own is ignored: name the default one.
  pthread_attr_setschedpolicy(&s_attr, SCHED_OTHER);
  sched_param s_param{};
  s_param.sched_priority = 0;
  pthread_attr_setschedparam(&s_attr, &s_param);
  if (const int i_rc = pthread_attr_setstacksize(&s_attr, u32_stack_size); i_rc != 0) {
    // pthread calls return their error rather than setting errno.
    errno = i_rc;
    const vos_errno_text s_text(errno);
    VOS_ERROR("Can't set stack size=%d errno=%d errstr:%s", static_cast<int>(u32_stack_size), errno,
              s_text.c_str());
  }
  std::size_t stack_size = 0;
  pthread_attr_getstacksize(&s_attr, &stack_size);

  pthread_mutex_init(&t_thread->lock, nullptr);
  pthread_cond_init(&t_thread->signal, nullptr);
  t_thread->mailbox = ps_mailbox;
  t_thread->entry = pf_entry;
  t_thread->quota = 0;
  t_thread->waiting = 0;
  t_thread->arg = pv_arg;

  pthread_mutex_lock(&t_thread->lock);
  const int i_rc =
      _pf_pthread_create.load()(&t_thread->thread_id, &s_attr, &_vos_os_virtual_thread, t_thread);
  pthread_mutex_unlock(&t_thread->lock);
  pthread_attr_destroy(&s_attr);
  if (i_rc != 0) {
    const vos_errno_text s_text(i_rc);
    vos_trace_printf("Can't create thread %d, %s", i_rc, s_text.c_str());
    // No thread will ever read this mailbox: a handle would only collect lost messages.
    _vos_os_release_thread_rec(t_thread);
    return nullptr;
  }
  vos_trace_info("Thread \"%s\" created, id=%p, stack_size=%ld min_stack_size=%d",
                 pc_name != nullptr ? pc_name : "(null)", static_cast<void*>(t_thread),
                 static_cast<long>(stack_size), min_stack_size);
  return t_thread;
}

int vos_os_terminate_thread() { return 1; }

std::uint32_t vos_os_nb_thread() { return _u32_nb_thread.load(); }

// ---------------------------------------------------------------------------------------------
// Mailboxes

int vos_os_send_msg_to_thread(vos_os_thread_t t_thread, void** ppv_msg) {
  return _vos_os_send(t_thread, ppv_msg, false);
}

int vos_os_send_msg_to_thread_with_quota(vos_os_thread_t t_thread, void** ppv_msg) {
  return _vos_os_send(t_thread, ppv_msg, true);
}

int vos_os_post_msg_to_thread_with_quota(vos_os_thread_t t_thread, void** ppv_msg,
                                         std::uint32_t u32_wake_at) {
  return _vos_os_send(t_thread, ppv_msg, true, u32_wake_at);
}

void vos_os_wake_thread(vos_os_thread_t t_thread) {
  if (t_thread == nullptr) {
    return;
  }
  pthread_mutex_lock(&t_thread->lock);
  if (t_thread->waiting != 0 && vos_queueGetNbElem(t_thread->mailbox) != 0) {
    pthread_cond_signal(&t_thread->signal);
  }
  pthread_mutex_unlock(&t_thread->lock);
}

void vos_os_set_thread_quota(vos_os_thread_t t_thread, std::uint32_t u32_quota) {
  if (t_thread == nullptr) {
    return;
  }
  pthread_mutex_lock(&t_thread->lock);
  t_thread->quota = u32_quota;
  pthread_mutex_unlock(&t_thread->lock);
}

int vos_os_wait_msg_to_thread(vos_os_thread_t t_thread, void** ppv_msg) {
  if (t_thread == nullptr || ppv_msg == nullptr) {
    return -1;
  }
  pthread_mutex_lock(&t_thread->lock);
  while (vos_queueGetNbElem(t_thread->mailbox) == 0) {
    t_thread->waiting = 1;
    pthread_cond_wait(&t_thread->signal, &t_thread->lock);
    t_thread->waiting = 0;
    if (vos_queueGetNbElem(t_thread->mailbox) == 0) {
      VOS_ERROR("pthread_cond_wait");
    }
  }
  *ppv_msg = vos_queueGetAndDelElem(t_thread->mailbox, 0);
  pthread_mutex_unlock(&t_thread->lock);
  return 1;
}

int vos_os_wait_msg_to_thread_timeout(vos_os_thread_t t_thread, void** ppv_msg,
                                      std::uint32_t u32_ticks) {
  return _vos_os_wait_limited(t_thread, ppv_msg, u32_ticks, &_vos_os_deadline_ticks);
}

int vos_os_wait_msg_to_thread_more(vos_os_thread_t t_thread, void** ppv_msg,
                                   std::uint32_t u32_ticks, bool* pb_more) {
  return _vos_os_wait_limited(t_thread, ppv_msg, u32_ticks, &_vos_os_deadline_ticks, pb_more);
}

int vos_os_wait_msg_to_thread_timeout_ms(vos_os_thread_t t_thread, void** ppv_msg,
                                         std::uint32_t u32_ms) {
  return _vos_os_wait_limited(t_thread, ppv_msg, u32_ms, &_vos_os_deadline_ms);
}

bool vos_os_test_msg_to_thread(vos_os_thread_t t_thread) {
  if (t_thread == nullptr) {
    return false;
  }
  pthread_mutex_lock(&t_thread->lock);
  const std::int16_t i16_count = vos_queueGetNbElem(t_thread->mailbox);
  pthread_mutex_unlock(&t_thread->lock);
  return i16_count != 0;
}

// ---------------------------------------------------------------------------------------------
// Delay

int vos_os_wait_delay(std::uint32_t u32_ticks) {
  timeval s_timeout{};
  s_timeout.tv_sec = static_cast<time_t>(u32_ticks / VOS_OS_TICKS_PER_SECOND);
  s_timeout.tv_usec = static_cast<suseconds_t>((u32_ticks % VOS_OS_TICKS_PER_SECOND) * us_per_tick);
  return select(0, nullptr, nullptr, nullptr, &s_timeout);
}

// ---------------------------------------------------------------------------------------------
// Cond object

vos_os_cond_rec* vos_os_cond_create(const char* pc_name) {
  if (pc_name == nullptr) {
    return nullptr;
  }
  vos_os_cond_rec* ps_cond = nullptr;
  vos_os_malloc(&ps_cond, sizeof(vos_os_cond_rec));
  if (ps_cond == nullptr) {
    VOS_ERROR("No memory for cond \"%s\"", pc_name);
    return nullptr;
  }
  pthread_mutex_init(&ps_cond->mutex, nullptr);
  pthread_cond_init(&ps_cond->cond, nullptr);
  ps_cond->waiting = 0;
  return ps_cond;
}

int vos_os_cond_lock(vos_os_cond_rec* ps_cond, std::uint32_t u32_ticks) {
  if (ps_cond == nullptr) {
    return 1;
  }
  int i_result = 1;
  pthread_mutex_lock(&ps_cond->mutex);
  ps_cond->waiting = 1;
  // No predicate: whatever wakes the wait counts as the signal.
  if (u32_ticks == 0) {
    pthread_cond_wait(&ps_cond->cond, &ps_cond->mutex);
  } else {
    const timespec s_deadline = _vos_os_deadline_ticks(u32_ticks);
    if (pthread_cond_timedwait(&ps_cond->cond, &ps_cond->mutex, &s_deadline) == ETIMEDOUT) {
      i_result = 0;
    }
  }
  ps_cond->waiting = 0;
  pthread_mutex_unlock(&ps_cond->mutex);
  return i_result;
}

void vos_os_cond_unlock(vos_os_cond_rec* ps_cond) {
  if (ps_cond == nullptr) {
    return;
  }
  pthread_mutex_lock(&ps_cond->mutex);
  if (ps_cond->waiting == 1) {
    pthread_cond_signal(&ps_cond->cond);
  }
  pthread_mutex_unlock(&ps_cond->mutex);
}

void vos_os_cond_kill(vos_os_cond_rec** pps_cond) {
  if (pps_cond == nullptr || *pps_cond == nullptr) {
    return;
  }
  pthread_mutex_destroy(&(*pps_cond)->mutex);
  pthread_cond_destroy(&(*pps_cond)->cond);
  vos_os_free(pps_cond);
}

// ---------------------------------------------------------------------------------------------
// Condmask object

vos_os_condmask_rec* vos_os_condmask_create(const char* pc_name) {
  if (pc_name == nullptr) {
    return nullptr;
  }
  vos_os_condmask_rec* ps_condmask = nullptr;
  vos_os_malloc(&ps_condmask, sizeof(vos_os_condmask_rec));
  if (ps_condmask == nullptr) {
    VOS_ERROR("No memory for condmask \"%s\"", pc_name);
    return nullptr;
  }
  ps_condmask->kill = 0;
  ps_condmask->waiting = 0;
  ps_condmask->mask = 0;
  pthread_mutex_init(&ps_condmask->mutex, nullptr);
  pthread_cond_init(&ps_condmask->cond, nullptr);
  return ps_condmask;
}

void vos_os_condmask_signal(vos_os_condmask_rec* ps_condmask, std::uint32_t u32_bits) {
  if (ps_condmask == nullptr) {
    return;
  }
  pthread_mutex_lock(&ps_condmask->mutex);
  if ((ps_condmask->mask & u32_bits) != u32_bits) {
    ps_condmask->mask |= u32_bits;
    if (ps_condmask->waiting == 1) {
      pthread_cond_signal(&ps_condmask->cond);
    }
  }
  pthread_mutex_unlock(&ps_condmask->mutex);
}

int vos_os_condmask_wait(vos_os_condmask_rec* ps_condmask, std::uint32_t u32_ticks,
                         std::uint32_t u32_wanted, std::uint32_t* pu32_got) {
  if (ps_condmask == nullptr) {
    return 1;
  }
  int i_result = 1;
  pthread_mutex_lock(&ps_condmask->mutex);
  ps_condmask->waiting = 1;
  for (;;) {
    if ((ps_condmask->mask & u32_wanted) == u32_wanted || ps_condmask->kill != 0) {
      break;
    }
    if (u32_ticks == 0) {
      pthread_cond_wait(&ps_condmask->cond, &ps_condmask->mutex);
    } else {
      const timespec s_deadline = _vos_os_deadline_ticks(u32_ticks);
      if (pthread_cond_timedwait(&ps_condmask->cond, &ps_condmask->mutex, &s_deadline) ==
          ETIMEDOUT) {
        i_result = 0;
        break;
      }
    }
  }
  if (pu32_got != nullptr) {
    *pu32_got = ps_condmask->mask;
  }
  ps_condmask->waiting = 0;
  ps_condmask->mask = 0;
  // Read under the lock: a killer decides from the same fields who frees the object.
  const bool b_killed = ps_condmask->kill != 0;
  pthread_mutex_unlock(&ps_condmask->mutex);
  if (b_killed) {
    _vos_os_condmask_release(&ps_condmask);
    return 2;
  }
  return i_result;
}

void vos_os_condmask_reset(vos_os_condmask_rec* ps_condmask, std::uint32_t u32_value) {
  if (ps_condmask == nullptr) {
    return;
  }
  pthread_mutex_lock(&ps_condmask->mutex);
  if (ps_condmask->waiting == 0) {
    ps_condmask->mask = u32_value;
  }
  pthread_mutex_unlock(&ps_condmask->mutex);
}

void vos_os_condmask_kill(vos_os_condmask_rec** pps_condmask) {
  if (pps_condmask == nullptr || *pps_condmask == nullptr) {
    return;
  }
  vos_os_condmask_rec* ps_condmask = *pps_condmask;
  pthread_mutex_lock(&ps_condmask->mutex);
  if (ps_condmask->waiting == 1) {
    // The waiter frees the object once it has left the wait.
    ++ps_condmask->kill;
    pthread_cond_signal(&ps_condmask->cond);
    pthread_mutex_unlock(&ps_condmask->mutex);
    return;
  }
  const bool b_waiter_finishing = ps_condmask->kill != 0;
  pthread_mutex_unlock(&ps_condmask->mutex);
  if (!b_waiter_finishing) {
    _vos_os_condmask_release(pps_condmask);
  }
}
