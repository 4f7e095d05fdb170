// Thread service internals reachable from the tests: the seam in front of pthread_create.
#pragma once

#include <pthread.h>

namespace detail {

/// Signature of pthread_create.
using vos_os_pthread_create_fn = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*),
                                         void*);

/// Installs @p pf_create in place of pthread_create (null restores it). Call while no thread
/// is being created.
void vos_os_set_pthread_create(vos_os_pthread_create_fn pf_create);

}  // namespace detail
