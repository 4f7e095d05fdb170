// Threads with mailboxes, short delays, cond and condmask objects, on POSIX threads.
// Only the thread owning a mailbox waits on it; any thread may send to it.
#pragma once

#include <pthread.h>

#include <cstdint>

struct vos_queue_rec;
struct vos_os_thread_rec;

/// Thread handle: valid from its creation until its entry function returns.
using vos_os_thread_t = vos_os_thread_rec*;

/// Entry function of a thread: receives its own handle and the creation argument; its result
/// is ignored. It must be a plain function that never throws.
using vos_os_thread_entry_t = std::uint32_t (*)(vos_os_thread_t t_thread, void* pv_arg);

/// Thread record; the thread frees it itself when its entry function returns.
struct vos_os_thread_rec {
  vos_os_thread_entry_t entry;
  void* arg;
  pthread_t thread_id;
  pthread_mutex_t lock;    ///< guards the mailbox and the start-up handshake
  pthread_cond_t signal;   ///< signalled for a message sent while the owner waits
  vos_queue_rec* mailbox;  ///< message pointers, first in, first out
  std::uint32_t quota;     ///< waiting messages at which quota sends are refused
  std::uint8_t waiting;    ///< 1 while the owner waits for a message (under lock)
};

/// One-shot wake-up object.
struct vos_os_cond_rec {
  pthread_mutex_t mutex;
  pthread_cond_t cond;
  std::uint8_t waiting;  ///< 1 while a thread is inside vos_os_cond_lock
};

/// Event-mask object.
struct vos_os_condmask_rec {
  std::uint8_t kill;     ///< kill requests made while a waiter was inside
  std::uint8_t waiting;  ///< 1 while a thread is inside vos_os_condmask_wait
  std::uint32_t mask;    ///< event bits signalled and not yet consumed
  pthread_mutex_t mutex;
  pthread_cond_t cond;
};

/// Ticks per second; one tick is 20 ms.
inline constexpr std::uint32_t VOS_OS_TICKS_PER_SECOND = 50;
/// Stack of vos_os_create_thread.
inline constexpr std::uint32_t VOS_OS_DEFAULT_STACK = 262144;

// ---------------------------------------------------------------------------------------------
// Threads

/// Creates a detached thread with a 262,144-byte stack running entry(handle, @p pv_arg).
/// @p u32_ignored is accepted for compatibility and has no effect; @p pc_name appears only
/// in the creation trace line. Any thread.
/// @return the handle; null when no memory is left or the platform refused the thread (the
///         failure is then reported and nothing is left allocated).
vos_os_thread_t vos_os_create_thread(vos_os_thread_entry_t pf_entry, std::uint32_t u32_ignored,
                                     const char* pc_name, void* pv_arg);

/// As vos_os_create_thread with a stack of @p u32_stack_size bytes; a size the platform
/// refuses is reported and the default stack is used.
vos_os_thread_t vos_os_create_thread_stack(vos_os_thread_entry_t pf_entry,
                                           std::uint32_t u32_ignored, const char* pc_name,
                                           void* pv_arg, std::uint32_t u32_stack_size);

/// Does nothing: a thread ends by returning from its entry function.
/// @retval 1 always
int vos_os_terminate_thread();

/// @return the number of running threads, the main thread included.
std::uint32_t vos_os_nb_thread();

// ---------------------------------------------------------------------------------------------
// Mailboxes. A message is the pointer held in the caller's variable, normally an accounted
// block; once sent it belongs to the receiver, who frees it with vos_os_free. Messages still
// waiting when the thread ends are freed with the mailbox.

/// Appends the message at the tail of the mailbox of @p t_thread, and wakes its owner when it
/// waits for one (a running owner finds the message when it next looks). Any thread.
/// @retval 1 sent; the caller's variable is left as it was but the message is no longer its
/// @retval 0 refused (null handle, mailbox full or no memory): the caller keeps the message
int vos_os_send_msg_to_thread(vos_os_thread_t t_thread, void** ppv_msg);

/// As vos_os_send_msg_to_thread, but refuses (0) when as many messages as the quota wait.
int vos_os_send_msg_to_thread_with_quota(vos_os_thread_t t_thread, void** ppv_msg);

/// As vos_os_send_msg_to_thread_with_quota, but wakes the owner only once @p u32_wake_at
/// messages wait: the sender wakes it later with vos_os_wake_thread (one wake-up for a burst).
int vos_os_post_msg_to_thread_with_quota(vos_os_thread_t t_thread, void** ppv_msg,
                                         std::uint32_t u32_wake_at);

/// Wakes the owner of the mailbox when it waits and a message waits for it. Null is ignored.
void vos_os_wake_thread(vos_os_thread_t t_thread);

/// Sets the quota of quota sends (0 at creation: every quota send is refused). Null is ignored.
void vos_os_set_thread_quota(vos_os_thread_t t_thread, std::uint32_t u32_quota);

/// Waits without limit for a message of the own mailbox and stores it in the caller's variable.
/// @retval 1  message stored
/// @retval -1 null handle
int vos_os_wait_msg_to_thread(vos_os_thread_t t_thread, void** ppv_msg);

/// Waits at most @p u32_ticks ticks (0: no limit).
/// @retval 1  message stored in the caller's variable
/// @retval 0  time-out; the variable is untouched
/// @retval -1 null handle
int vos_os_wait_msg_to_thread_timeout(vos_os_thread_t t_thread, void** ppv_msg,
                                      std::uint32_t u32_ticks);

/// As vos_os_wait_msg_to_thread_timeout, and sets *pb_more to whether other messages still
/// wait after the one stored (false on a time-out or a null handle).
int vos_os_wait_msg_to_thread_more(vos_os_thread_t t_thread, void** ppv_msg,
                                   std::uint32_t u32_ticks, bool* pb_more);

/// As vos_os_wait_msg_to_thread_timeout with the limit in milliseconds (0: no limit).
int vos_os_wait_msg_to_thread_timeout_ms(vos_os_thread_t t_thread, void** ppv_msg,
                                         std::uint32_t u32_ms);

/// @return true when at least one message waits; takes nothing out.
bool vos_os_test_msg_to_thread(vos_os_thread_t t_thread);

// ---------------------------------------------------------------------------------------------
// Delay

/// Sleeps @p u32_ticks × 20 ms.
/// @retval 0  full sleep
/// @retval -1 cut short by a signal (no retry)
int vos_os_wait_delay(std::uint32_t u32_ticks);

// ---------------------------------------------------------------------------------------------
// Cond object: one waiter, one wake-up; a wake-up given while nobody waits is lost.

/// @return a new cond object, owned by the caller (vos_os_cond_kill); null when @p pc_name is
///         null or no memory is left.
vos_os_cond_rec* vos_os_cond_create(const char* pc_name);

/// Waits for one wake-up, at most @p u32_ticks ticks (0: no limit). Any wake-up counts.
/// @retval 1 woken (or null object)
/// @retval 0 time-out
int vos_os_cond_lock(vos_os_cond_rec* ps_cond, std::uint32_t u32_ticks);

/// Wakes the thread waiting in vos_os_cond_lock, if any. Null does nothing.
void vos_os_cond_unlock(vos_os_cond_rec* ps_cond);

/// Destroys the object and sets the caller's variable to null. Nobody may be waiting on it.
void vos_os_cond_kill(vos_os_cond_rec** pps_cond);

// ---------------------------------------------------------------------------------------------
// Condmask object: one waiter collects event bits signalled by others.

/// @return a new condmask (mask 0), owned by the caller (vos_os_condmask_kill); null when
///         @p pc_name is null or no memory is left.
vos_os_condmask_rec* vos_os_condmask_create(const char* pc_name);

/// Sets the event bits @p u32_bits and wakes the waiter. Null does nothing.
void vos_os_condmask_signal(vos_os_condmask_rec* ps_condmask, std::uint32_t u32_bits);

/// Waits until every bit of @p u32_wanted is set, at most @p u32_ticks ticks (0: no limit).
/// On return *pu32_got holds the mask as it stood, and the whole mask is consumed.
/// @retval 1 all wanted bits present (or null object: *pu32_got untouched)
/// @retval 0 time-out
/// @retval 2 the object was killed during the wait and is now freed
int vos_os_condmask_wait(vos_os_condmask_rec* ps_condmask, std::uint32_t u32_ticks,
                         std::uint32_t u32_wanted, std::uint32_t* pu32_got);

/// Replaces the mask with @p u32_value, only when no thread waits.
void vos_os_condmask_reset(vos_os_condmask_rec* ps_condmask, std::uint32_t u32_value);

/// Destroys the object and nulls the caller's variable; while a thread waits, the waiter is
/// woken, returns 2 and frees the object itself (the caller's variable is then left as it was
/// and must not be used again).
void vos_os_condmask_kill(vos_os_condmask_rec** pps_condmask);
