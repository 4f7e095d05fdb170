// Accounted memory. Every dynamic block of the system comes from here so that the
// live-block count and the bytes in use can be watched; blocks go back through vos_os_free only.
#pragma once

#include <cstdint>
#include <memory>
#include <type_traits>

#include "vos_util_linux_mutex.h"

/// Creates the allocator mutex ("mem") and resets the live-block count.
/// Call once on the main thread before any thread exists.
/// @return the allocator's mutex handle.
vos_os_mutex_t vos_os_init();

/// Allocates @p u32_size bytes. The caller's variable receives the block, or null when the
/// size is 0, too large, or the platform has no memory. The block belongs to the caller,
/// who returns it with vos_os_free. Any thread.
void vos_os_malloc(void** ppv_block, std::uint32_t u32_size);

/// As vos_os_malloc, with the block zero-filled.
void vos_os_calloc(void** ppv_block, std::uint32_t u32_size);

/// Frees the block the caller's variable points to and sets the variable to null.
/// A null address or a variable holding null does nothing. Any thread.
void vos_os_free(void** ppv_block);

/// A cache's door: a block its owner keeps aside for reuse instead of freeing it.
/// vos_os_park takes the block out of the totals as vos_os_free would, without giving it back;
/// vos_os_unpark counts it again as the allocation of a block of its size would; a parked block
/// leaves through vos_os_free_parked, never vos_os_free. So the totals count blocks in use,
/// whatever caches hold. Any thread. The three calls only count: keeping the cache safe across
/// threads is its owner's business (the LAN message-block cache uses lock-free slots, the
/// mailbox element cache its queue's lock).
void vos_os_park(void* pv_block);
void vos_os_unpark(void* pv_block);
void vos_os_free_parked(void** ppv_block);
/// Size a live or parked block was asked with (0 for null).
std::uint32_t vos_os_size(const void* pv_block);

/// Number of live blocks ("Nbpools").
std::uint32_t vos_os_nb_pool();
/// Sum of the requested sizes of the live blocks.
std::uint32_t vos_os_curmem();
/// Highest value vos_os_curmem has reached.
std::uint32_t vos_os_maxmem();

// Typed forms, so that callers never cast.
template <class T>
requires(!std::is_void_v<T>) void vos_os_malloc(T** pp_block, std::uint32_t u32_size) {
  void* pv = nullptr;
  vos_os_malloc(&pv, u32_size);
  *pp_block = static_cast<T*>(pv);
}

template <class T>
requires(!std::is_void_v<T>) void vos_os_calloc(T** pp_block, std::uint32_t u32_size) {
  void* pv = nullptr;
  vos_os_calloc(&pv, u32_size);
  *pp_block = static_cast<T*>(pv);
}

template <class T>
requires(!std::is_void_v<T>) void vos_os_free(T** pp_block) {
  void* pv = const_cast<std::remove_const_t<T>*>(*pp_block);
  vos_os_free(&pv);
  *pp_block = static_cast<T*>(pv);
}

/// Deleter for owning an accounted block inside an implementation.
struct vos_free_deleter {
  void operator()(void* pv) const noexcept { vos_os_free(&pv); }
};
template <class T>
using vos_unique_ptr = std::unique_ptr<T, vos_free_deleter>;
