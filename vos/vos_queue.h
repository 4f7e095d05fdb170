// Element queue: doubly linked list of pointer-sized values addressed by position.
// No lock of its own: a queue shared between threads is serialised by its user.
#pragma once

#include <cstdint>

/// Callback table of a queue; either entry may be null.
struct vos_queue_ops {
  /// Compares a search key with an element's data. Without this entry the queue compares
  /// both as NUL-terminated texts (strcmp).
  int (*compare)(const void* pv_key, const void* pv_data);
  /// Takes over an element's non-null data when the queue deletes the element; receives the
  /// address of the element's data field. Without this entry the data is freed with vos_os_free.
  void (*release)(void** ppv_data);
};

/// One element of the list.
struct vos_queue_elem {
  vos_queue_elem* next;      ///< null at the tail
  vos_queue_elem* previous;  ///< null at the head
  void* data;                ///< the user's value
  std::uint8_t mark;         ///< set by vos_queueFindNextElem, cleared by vos_queueResetElem
};

/// Queue record.
struct vos_queue_rec {
  vos_queue_elem* first;           ///< head; null when empty
  vos_queue_elem* last;            ///< tail; null when empty
  std::uint16_t flags;             ///< bit 0: vos_queueAddElem does not add a key already found
  const vos_queue_ops* callbacks;  ///< may be null
  std::int16_t count;              ///< number of elements, at most VOS_QUEUE_MAX_ELEM
  std::int16_t nb_spare;           ///< deleted elements kept for the next insertions
  vos_queue_elem* spare;           ///< their list (through next), parked; freed with the queue
};

/// Flag bit 0 of vos_queueCreate: vos_queueAddElem adds no key that vos_queueFindElem finds.
inline constexpr std::uint16_t VOS_QUEUE_UNIQUE = 0x0001;
/// Largest number of elements a queue holds; further insertions are refused.
inline constexpr std::int16_t VOS_QUEUE_MAX_ELEM = INT16_MAX;
/// Deleted elements a queue keeps for reuse, so that a queue whose length stays about the same
/// (a mailbox) allocates nothing per insertion.
inline constexpr std::int16_t VOS_QUEUE_SPARE_ELEM = 8;

/// Creates an empty queue. The table (may be null) must outlive the queue.
/// @return the queue, owned by the caller and destroyed with vos_queueDestroy; null when the
///         accounted allocator has no memory left.
vos_queue_rec* vos_queueCreate(std::uint16_t u16_flags, const vos_queue_ops* ps_ops);

/// @return the number of elements (0 for a null queue).
std::int16_t vos_queueGetNbElem(const vos_queue_rec* ps_queue);

/// Appends @p pv_data at the tail. With flag bit 0, a key that vos_queueFindElem finds is not
/// added again. The queue takes over the data.
/// @retval >=0 position of the new element (or of the element already holding the key)
/// @retval -1  refused: the queue is full or no memory is left (the caller keeps the data)
std::int16_t vos_queueAddElem(vos_queue_rec* ps_queue, void* pv_data);

/// Inserts @p pv_data in front of the element at @p i32_index; an index beyond the tail
/// (negative indexes included) appends at the tail.
/// @retval >=0 the position where the element was inserted
/// @retval -1  the index lay beyond the tail (the element is appended all the same), or the
///             insertion was refused (queue full or no memory; the caller keeps the data)
std::int16_t vos_queueInsertElem(vos_queue_rec* ps_queue, void* pv_data, std::int32_t i32_index);

/// @return the data at @p i32_index (a negative index means the head), still owned by the
///         queue; null when there is no element there.
void* vos_queueGetElem(const vos_queue_rec* ps_queue, std::int32_t i32_index);

/// Takes the element at @p i32_index (negative: the head) out of the queue.
/// @return its data, now owned by the caller; null when there is no element there.
void* vos_queueGetAndDelElem(vos_queue_rec* ps_queue, std::int32_t i32_index);

/// Deletes the element at @p i32_index (negative: the head) and releases its data: through
/// the release callback, else vos_os_free; the values 1 to 3 are reported ("BAD POINTER")
/// and left alone.
/// @retval >=0 the count after deleting
/// @retval -1  no element at that position
std::int16_t vos_queueDelElem(vos_queue_rec* ps_queue, std::int32_t i32_index);

/// Deletes every element as vos_queueDelElem does.
void vos_queueClear(vos_queue_rec* ps_queue);

/// Clears the queue, frees the record and sets the caller's variable to null.
/// A null address or a variable holding null does nothing.
void vos_queueDestroy(vos_queue_rec** pps_queue);

/// @return the position of the first element whose comparison with @p pv_key yields 1, else -1.
std::int16_t vos_queueFindElem(const vos_queue_rec* ps_queue, const void* pv_key);

/// @return the data (still owned by the queue) of the first element whose comparison with
///         @p pv_key yields 1, else null.
void* vos_queueFindAndGetElem(const vos_queue_rec* ps_queue, const void* pv_key);

/// Collects the positions of every element whose comparison with @p pv_key yields 0.
/// @return an accounted array of positions in head-to-tail order ended by -1 (just -1 when
///         nothing matches), owned by the caller, who frees it with vos_os_free; null only
///         when no memory is left.
std::int16_t* vos_queueFindAllElem(const vos_queue_rec* ps_queue, const void* pv_key);

/// Returns the next element, not yet returned, whose comparison with @p pv_key yields 0,
/// and marks it.
/// @retval >=0 its position
/// @retval -1  none left
std::int16_t vos_queueFindNextElem(vos_queue_rec* ps_queue, const void* pv_key);

/// Clears the marks of every element whose comparison with @p pv_key yields 0, so that
/// vos_queueFindNextElem starts again.
void vos_queueResetElem(vos_queue_rec* ps_queue, const void* pv_key);

/// @return the position of the first element whose data is @p pv_data itself (no
///         comparator), else -1.
std::int16_t vos_queueFindPtr(const vos_queue_rec* ps_queue, const void* pv_data);
