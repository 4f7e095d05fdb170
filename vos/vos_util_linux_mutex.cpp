// Mutexes of the runtime: a POSIX mutex with default attributes inside an accounted block.
#include "vos_util_linux_mutex.h"

#include "vos_mem.h"

vos_os_mutex_t vos_os_mutex_create(const char* /*pc_name*/) {
  vos_os_mutex_t t_mutex = nullptr;
  vos_os_malloc(&t_mutex, sizeof(pthread_mutex_t));
  if (t_mutex == nullptr) {
    return nullptr;
  }
  if (pthread_mutex_init(t_mutex, nullptr) != 0) {
    vos_os_free(&t_mutex);
    return nullptr;
  }
  return t_mutex;
}

void vos_os_mutex_lock(vos_os_mutex_t t_mutex) {
  if (t_mutex != nullptr) {
    pthread_mutex_lock(t_mutex);
  }
}

void vos_os_mutex_unlock(vos_os_mutex_t t_mutex) {
  if (t_mutex != nullptr) {
    pthread_mutex_unlock(t_mutex);
  }
}

void vos_os_mutex_kill(vos_os_mutex_t* pt_mutex) {
  if (pt_mutex == nullptr || *pt_mutex == nullptr) {
    return;
  }
  pthread_mutex_destroy(*pt_mutex);
  vos_os_free(pt_mutex);
}
