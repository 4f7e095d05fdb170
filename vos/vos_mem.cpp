// Accounted memory: every block carries its requested size in a header so that the totals
// (live blocks, bytes in use, highest bytes in use) can be kept, each in an atomic counter.
#include "vos_mem.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace {

// The header holds the requested size in its first 4 bytes; it is padded so that the address
// handed out keeps the platform's strongest fundamental alignment.
constexpr std::size_t header_size = alignof(std::max_align_t) > sizeof(std::uint32_t)
                                        ? alignof(std::max_align_t)
                                        : sizeof(std::uint32_t);

// Set once by vos_os_init before any thread exists; atomic so that late readers never race.
constinit std::atomic<vos_os_mutex_t> _t_mem_mutex{nullptr};
// The totals, plain words (a debugger reads them by name) changed only through atomic_ref,
// so that an allocation takes no lock.
alignas(std::atomic_ref<std::uint32_t>::required_alignment) constinit std::uint32_t _s_list = 0;
alignas(std::atomic_ref<std::uint32_t>::required_alignment) constinit std::uint32_t _u32_memsize =
    0;
alignas(std::atomic_ref<std::uint32_t>::required_alignment) constinit std::uint32_t _u32_maxsize =
    0;
using counter = std::atomic_ref<std::uint32_t>;

vos_os_mutex_t _mem_mutex() { return _t_mem_mutex.load(std::memory_order_acquire); }

unsigned char* _raw_of(void* pv_block) {
  return static_cast<unsigned char*>(pv_block) - header_size;
}

const unsigned char* _raw_of(const void* pv_block) {
  return static_cast<const unsigned char*>(pv_block) - header_size;
}

std::uint32_t _size_of(const unsigned char* pu8_raw) {
  std::uint32_t u32_size = 0;
  std::memcpy(&u32_size, pu8_raw, sizeof u32_size);
  return u32_size;
}

void _count_in(std::uint32_t u32_size) {
  const std::uint32_t u32_now =
      counter(_u32_memsize).fetch_add(u32_size, std::memory_order_relaxed) + u32_size;
  std::uint32_t u32_max = counter(_u32_maxsize).load(std::memory_order_relaxed);
  while (
      u32_now > u32_max &&
      !counter(_u32_maxsize).compare_exchange_weak(u32_max, u32_now, std::memory_order_relaxed)) {
  }
  counter(_s_list).fetch_add(1, std::memory_order_relaxed);
}

// False when no live block is on record: the block cannot be one of ours.
bool _count_out(std::uint32_t u32_size) {
  std::uint32_t u32_live = counter(_s_list).load(std::memory_order_relaxed);
  do {
    if (u32_live == 0) {
      return false;
    }
  } while (
      !counter(_s_list).compare_exchange_weak(u32_live, u32_live - 1, std::memory_order_relaxed));
  std::uint32_t u32_mem = counter(_u32_memsize).load(std::memory_order_relaxed);
  while (!counter(_u32_memsize)
              .compare_exchange_weak(u32_mem, u32_size <= u32_mem ? u32_mem - u32_size : 0,
                                     std::memory_order_relaxed)) {
  }
  return true;
}

void _vos_os_alloc(void** ppv_block, std::uint32_t u32_size, bool b_zero) {
  if (ppv_block == nullptr) {
    return;
  }
  *ppv_block = nullptr;
  if (u32_size == 0 || u32_size > std::numeric_limits<std::size_t>::max() - header_size) {
    return;
  }
  const std::size_t total = header_size + u32_size;
  void* pv_raw = b_zero ? std::calloc(1, total) : std::malloc(total);
  if (pv_raw == nullptr) {
    return;
  }
  auto* pu8_raw = static_cast<unsigned char*>(pv_raw);
  std::memcpy(pu8_raw, &u32_size, sizeof u32_size);
  _count_in(u32_size);
  *ppv_block = pu8_raw + header_size;
}

}  // namespace

vos_os_mutex_t vos_os_init() {
  // A second call keeps the running totals: resetting the count with live blocks would make
  // later frees look like frees of unknown blocks.
  if (vos_os_mutex_t t_existing = _mem_mutex(); t_existing != nullptr) {
    return t_existing;
  }
  vos_os_mutex_t t_mutex = vos_os_mutex_create("mem");
  _t_mem_mutex.store(t_mutex, std::memory_order_release);
  counter(_s_list).store(0, std::memory_order_relaxed);
  return t_mutex;
}

void vos_os_malloc(void** ppv_block, std::uint32_t u32_size) {
  _vos_os_alloc(ppv_block, u32_size, false);
}

void vos_os_calloc(void** ppv_block, std::uint32_t u32_size) {
  _vos_os_alloc(ppv_block, u32_size, true);
}

void vos_os_free(void** ppv_block) {
  if (ppv_block == nullptr || *ppv_block == nullptr) {
    return;
  }
  unsigned char* pu8_raw = _raw_of(*ppv_block);
  // No live block on record: this cannot be one of ours, so it is neither freed nor counted.
  if (!_count_out(_size_of(pu8_raw))) {
    return;
  }
  std::free(pu8_raw);
  *ppv_block = nullptr;
}

void vos_os_park(void* pv_block) {
  if (pv_block != nullptr) {
    _count_out(_size_of(_raw_of(pv_block)));
  }
}

void vos_os_unpark(void* pv_block) {
  if (pv_block != nullptr) {
    _count_in(_size_of(_raw_of(pv_block)));
  }
}

void vos_os_free_parked(void** ppv_block) {
  if (ppv_block != nullptr && *ppv_block != nullptr) {
    std::free(_raw_of(*ppv_block));
    *ppv_block = nullptr;
  }
}

std::uint32_t vos_os_size(const void* pv_block) {
  return pv_block != nullptr ? _size_of(_raw_of(pv_block)) : 0;
}

std::uint32_t vos_os_nb_pool() { return counter(_s_list).load(std::memory_order_relaxed); }

std::uint32_t vos_os_curmem() { return counter(_u32_memsize).load(std::memory_order_relaxed); }

std::uint32_t vos_os_maxmem() { return counter(_u32_maxsize).load(std::memory_order_relaxed); }
