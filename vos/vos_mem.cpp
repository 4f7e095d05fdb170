// Accounted memory: every block carries its requested size in a header so that the totals
// (live blocks, bytes in use, highest bytes in use) can be kept under the "mem" mutex.
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
constinit std::uint32_t _s_list = 0;
constinit std::uint32_t _u32_memsize = 0;
constinit std::uint32_t _u32_maxsize = 0;

vos_os_mutex_t _mem_mutex() { return _t_mem_mutex.load(std::memory_order_acquire); }

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
  {
    vos_os_lock_guard lock(_mem_mutex());
    _u32_memsize += u32_size;
    if (_u32_memsize > _u32_maxsize) {
      _u32_maxsize = _u32_memsize;
    }
    ++_s_list;
  }
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
  vos_os_lock_guard lock(t_mutex);
  _s_list = 0;
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
  unsigned char* pu8_raw = static_cast<unsigned char*>(*ppv_block) - header_size;
  std::uint32_t u32_size = 0;
  std::memcpy(&u32_size, pu8_raw, sizeof u32_size);
  {
    vos_os_lock_guard lock(_mem_mutex());
    // No live block on record: this cannot be one of ours, so it is neither freed nor counted.
    if (_s_list == 0) {
      return;
    }
    --_s_list;
    _u32_memsize = u32_size <= _u32_memsize ? _u32_memsize - u32_size : 0;
  }
  std::free(pu8_raw);
  *ppv_block = nullptr;
}

std::uint32_t vos_os_nb_pool() {
  vos_os_lock_guard lock(_mem_mutex());
  return _s_list;
}

std::uint32_t vos_os_curmem() {
  vos_os_lock_guard lock(_mem_mutex());
  return _u32_memsize;
}

std::uint32_t vos_os_maxmem() {
  vos_os_lock_guard lock(_mem_mutex());
  return _u32_maxsize;
}
