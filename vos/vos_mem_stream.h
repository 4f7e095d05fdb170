// Memory stream (bytes collected into one growing accounted buffer) and the allocator report.
// A stream has no lock: one thread uses it at a time.
#pragma once

#include <cstdint>

/// Memory stream record, an accounted block. Bytes written = capacity - free, from the start
/// of the buffer.
struct vos_mem_stream {
  std::uint32_t capacity;  ///< size of the buffer in bytes
  std::uint32_t free;      ///< bytes of the buffer not yet written
  std::uint8_t*
      buffer;  ///< accounted, zero-filled block of capacity bytes; null when capacity is 0
};

/// Writes the allocator's totals as one line "Nbpools=%d memsize=%d maxmem=%d (most recent
/// first):\n" to @p pc_file, replacing its content. A file that cannot be opened is skipped
/// silently. Any thread.
void vos_os_print_mem(const char* pc_file);

/// Creates a stream with a zero-filled buffer of @p u32_capacity bytes into the caller's variable.
/// When the record is obtained but not the buffer, the record (capacity 0) stays in the variable
/// and must still be closed with vos_mem_close.
/// @retval 1  the stream is in *pps_stream
/// @retval -1 null address or capacity 0 ("Invalid parameter"), or no memory ("Memory overflow")
int vos_mem_open(vos_mem_stream** pps_stream, std::uint32_t u32_capacity);

/// Appends @p u32_len bytes of @p pv_data, doubling the capacity as often as needed.
/// On failure the stream is left as it was.
/// @retval 1  appended
/// @retval -1 null stream or data, or length 0 ("Invalid parameter"); no memory, or a total above
///            4 GiB - 1 ("Memory overflow"); a stream without buffer, as after vos_mem_extract_buf
///            or a failed vos_mem_open ("Invalid buffer")
int vos_mem_write(vos_mem_stream* ps_stream, const void* pv_data, std::uint32_t u32_len);

/// Hands the collected bytes over: *ppu8_buffer receives the buffer (null if the stream has none)
/// and *pu32_len the number of bytes written; the stream's fields all become 0. The caller owns
/// the buffer and frees it with vos_os_free; the emptied record is still closed with vos_mem_close.
/// @retval 1  handed over
/// @retval -1 a null argument ("Invalid parameter"); nothing is changed
int vos_mem_extract_buf(vos_mem_stream* ps_stream, std::uint8_t** ppu8_buffer,
                        std::uint32_t* pu32_len);

/// Frees the stream and its buffer, and sets the caller's variable to null.
/// @retval 1  closed
/// @retval -1 the address or the variable is null ("Invalid parameter")
int vos_mem_close(vos_mem_stream** pps_stream);
