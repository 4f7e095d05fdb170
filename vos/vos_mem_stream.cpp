// Memory stream and allocator report, the second half of the vos_mem module.
// Every failure leaves the stream as it was and is reported as an error of "vos_mem.c".
#include "vos_mem_stream.h"

#include <cstdio>
#include <cstring>
#include <limits>

#include "vos_fs.h"
#include "vos_mem.h"
#include "vos_trace.h"

namespace {

constexpr const char* source_name = "vos_mem.c";

// Smallest capacity reached by doubling u32_capacity that holds u64_needed bytes, or 0 when that
// does not fit in 32 bits. A capacity of 0 never grows and is refused by the caller before.
std::uint32_t _vos_mem_grown_capacity(std::uint32_t u32_capacity, std::uint64_t u64_needed) {
  std::uint64_t u64_capacity = u32_capacity;
  while (u64_capacity < u64_needed) {
    u64_capacity *= 2;
  }
  if (u64_capacity > std::numeric_limits<std::uint32_t>::max()) {
    // Doubling overshot 32 bits; the needed size itself may still fit.
    if (u64_needed > std::numeric_limits<std::uint32_t>::max()) {
      return 0;
    }
    return std::numeric_limits<std::uint32_t>::max();
  }
  return static_cast<std::uint32_t>(u64_capacity);
}

}  // namespace

void vos_os_print_mem(const char* pc_file) {
  if (pc_file == nullptr) {
    return;
  }
  std::FILE* pf_report = vos_fs_open(pc_file, "wb");
  if (pf_report == nullptr) {
    return;
  }
  // Each total is read under the allocator mutex.
  const std::uint32_t u32_nb = vos_os_nb_pool();
  const std::uint32_t u32_cur = vos_os_curmem();
  const std::uint32_t u32_max = vos_os_maxmem();
  std::fprintf(pf_report, "Nbpools=%u memsize=%u maxmem=%u (most recent first):\n", u32_nb, u32_cur,
               u32_max);
  vos_fs_close_file(&pf_report);
}

int vos_mem_open(vos_mem_stream** pps_stream, std::uint32_t u32_capacity) {
  if (pps_stream == nullptr || u32_capacity == 0) {
    VOS_ERROR("Invalid parameter\n");
    return -1;
  }
  vos_os_calloc(pps_stream, sizeof(vos_mem_stream));
  vos_mem_stream* ps_stream = *pps_stream;
  if (ps_stream == nullptr) {
    VOS_ERROR("Memory overflow\n");
    return -1;
  }
  vos_os_calloc(&ps_stream->buffer, u32_capacity);
  if (ps_stream->buffer == nullptr) {
    VOS_ERROR("Memory overflow\n");
    return -1;
  }
  ps_stream->capacity = u32_capacity;
  ps_stream->free = u32_capacity;
  return 1;
}

int vos_mem_write(vos_mem_stream* ps_stream, const void* pv_data, std::uint32_t u32_len) {
  if (ps_stream == nullptr || pv_data == nullptr || u32_len == 0) {
    VOS_ERROR("Invalid parameter\n");
    return -1;
  }
  // An emptied or half-opened stream has nothing to grow from: doubling 0 never ends.
  if (ps_stream->buffer == nullptr || ps_stream->capacity == 0 ||
      ps_stream->free > ps_stream->capacity) {
    VOS_ERROR("Invalid buffer\n");
    return -1;
  }
  const std::uint32_t u32_written = ps_stream->capacity - ps_stream->free;
  if (u32_len > ps_stream->free) {
    const std::uint32_t u32_new_capacity = _vos_mem_grown_capacity(
        ps_stream->capacity, static_cast<std::uint64_t>(u32_written) + u32_len);
    std::uint8_t* pu8_new = nullptr;
    if (u32_new_capacity != 0) {
      vos_os_calloc(&pu8_new, u32_new_capacity);
    }
    if (pu8_new == nullptr) {
      VOS_ERROR("Memory overflow\n");
      return -1;
    }
    std::memcpy(pu8_new, ps_stream->buffer, u32_written);
    vos_os_free(&ps_stream->buffer);
    ps_stream->buffer = pu8_new;
    ps_stream->capacity = u32_new_capacity;
    ps_stream->free = u32_new_capacity - u32_written;
  }
  std::memcpy(ps_stream->buffer + u32_written, pv_data, u32_len);
  ps_stream->free -= u32_len;
  return 1;
}

int vos_mem_extract_buf(vos_mem_stream* ps_stream, std::uint8_t** ppu8_buffer,
                        std::uint32_t* pu32_len) {
  if (ps_stream == nullptr || ppu8_buffer == nullptr || pu32_len == nullptr) {
    VOS_ERROR("Invalid parameter\n");
    return -1;
  }
  *ppu8_buffer = ps_stream->buffer;
  *pu32_len = ps_stream->free <= ps_stream->capacity ? ps_stream->capacity - ps_stream->free : 0;
  ps_stream->buffer = nullptr;
  ps_stream->capacity = 0;
  ps_stream->free = 0;
  return 1;
}

int vos_mem_close(vos_mem_stream** pps_stream) {
  if (pps_stream == nullptr || *pps_stream == nullptr) {
    VOS_ERROR("Invalid parameter\n");
    return -1;
  }
  vos_os_free(&(*pps_stream)->buffer);
  vos_os_free(pps_stream);
  return 1;
}
