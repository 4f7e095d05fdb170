// Mutexes of the runtime: POSIX mutexes held in accounted blocks. Not recursive.
#pragma once

#include <pthread.h>

/// Mutex handle; null means "no locking" for lock and unlock.
using vos_os_mutex_t = pthread_mutex_t*;

/// Creates a mutex with default attributes. The name is informative only.
/// @return the handle, or null when no memory is left.
vos_os_mutex_t vos_os_mutex_create(const char* pc_name);

/// Locks / unlocks; a null handle does nothing.
void vos_os_mutex_lock(vos_os_mutex_t t_mutex);
void vos_os_mutex_unlock(vos_os_mutex_t t_mutex);

/// Destroys the mutex, frees its block and sets the caller's handle to null.
void vos_os_mutex_kill(vos_os_mutex_t* pt_mutex);

/// Scope guard over a mutex handle (null handle: no locking).
class vos_os_lock_guard {
 public:
  explicit vos_os_lock_guard(vos_os_mutex_t t_mutex) noexcept : t_mutex_(t_mutex) {
    vos_os_mutex_lock(t_mutex_);
  }
  ~vos_os_lock_guard() { vos_os_mutex_unlock(t_mutex_); }
  vos_os_lock_guard(const vos_os_lock_guard&) = delete;
  vos_os_lock_guard& operator=(const vos_os_lock_guard&) = delete;

 private:
  vos_os_mutex_t t_mutex_;
};
