// Element queue. No lock of its own: the caller serialises.
#include "vos_queue.h"

#include <cstring>

#include "vos_mem.h"
#include "vos_trace.h"

namespace {

constexpr const char* source_name = "vos_queue.c";

// Room added to an index list each time it fills up.
constexpr std::uint32_t index_list_step = 3;

int _vos_queue_compare_elem(const vos_queue_ops* ps_ops, const void* pv_key, const void* pv_data) {
  if (ps_ops == nullptr || ps_ops->compare == nullptr) {
    // A null value sorts before every text instead of crashing the text comparison.
    if (pv_key == nullptr || pv_data == nullptr) {
      return (pv_key != nullptr ? 1 : 0) - (pv_data != nullptr ? 1 : 0);
    }
    return std::strcmp(static_cast<const char*>(pv_key), static_cast<const char*>(pv_data));
  }
  return ps_ops->compare(pv_key, pv_data);
}

// The element at a position; a negative index addresses the head. Null when the index lies
// beyond the tail.
vos_queue_elem* _vos_queue_locate(const vos_queue_rec* ps_queue, std::int32_t i32_index) {
  vos_queue_elem* ps_elem = ps_queue->first;
  if (ps_elem == nullptr || i32_index <= 0) {
    return ps_elem;
  }
  for (std::uint16_t u16_step = 0; ps_elem != nullptr && u16_step < i32_index; ++u16_step) {
    ps_elem = ps_elem->next;
  }
  return ps_elem;
}

void _vos_queue_unlink(vos_queue_rec* ps_queue, vos_queue_elem* ps_elem) {
  if (ps_elem->previous != nullptr) {
    ps_elem->previous->next = ps_elem->next;
  } else {
    ps_queue->first = ps_elem->next;
  }
  if (ps_elem->next != nullptr) {
    ps_elem->next->previous = ps_elem->previous;
  } else {
    ps_queue->last = ps_elem->previous;
  }
  ps_elem->next = nullptr;
  ps_elem->previous = nullptr;
}

// A new unlinked element, a spare one if any, or null (reported) when the queue is full or
// memory is out.
vos_queue_elem* _vos_queue_new_elem(vos_queue_rec* ps_queue, void* pv_data) {
  // The count is 16-bit signed: one more element would wrap it.
  if (ps_queue->count >= VOS_QUEUE_MAX_ELEM) {
    VOS_ERROR("Queue full (%d elements)", static_cast<int>(ps_queue->count));
    return nullptr;
  }
  vos_queue_elem* ps_elem = ps_queue->spare;
  if (ps_elem != nullptr) {
    ps_queue->spare = ps_elem->next;
    --ps_queue->nb_spare;
    vos_os_unpark(ps_elem);
  } else {
    vos_os_malloc(&ps_elem, sizeof(vos_queue_elem));
  }
  if (ps_elem == nullptr) {
    VOS_ERROR("No memory for a queue element");
    return nullptr;
  }
  ps_elem->next = nullptr;
  ps_elem->previous = nullptr;
  ps_elem->data = pv_data;
  ps_elem->mark = 0;
  return ps_elem;
}

// Keeps an unlinked element for a later insertion, or frees it when enough are kept. A kept
// element is parked: the accounted totals count it as freed.
void _vos_queue_recycle(vos_queue_rec* ps_queue, vos_queue_elem* ps_elem) {
  if (ps_queue->nb_spare < VOS_QUEUE_SPARE_ELEM) {
    vos_os_park(ps_elem);
    ps_elem->next = ps_queue->spare;
    ps_queue->spare = ps_elem;
    ++ps_queue->nb_spare;
    return;
  }
  vos_os_free(&ps_elem);
}

void _vos_queue_link_last(vos_queue_rec* ps_queue, vos_queue_elem* ps_elem) {
  ps_elem->previous = ps_queue->last;
  if (ps_queue->last != nullptr) {
    ps_queue->last->next = ps_elem;
  } else {
    ps_queue->first = ps_elem;
  }
  ps_queue->last = ps_elem;
}

void _vos_queue_link_before(vos_queue_rec* ps_queue, vos_queue_elem* ps_elem,
                            vos_queue_elem* ps_target) {
  ps_elem->next = ps_target;
  ps_elem->previous = ps_target->previous;
  if (ps_target->previous != nullptr) {
    ps_target->previous->next = ps_elem;
  } else {
    ps_queue->first = ps_elem;
  }
  ps_target->previous = ps_elem;
}

// Gives a deleted element's data back to its owner.
void _vos_queue_release_data(const vos_queue_rec* ps_queue, void** ppv_data) {
  if (*ppv_data == nullptr) {
    return;
  }
  if (ps_queue->callbacks != nullptr && ps_queue->callbacks->release != nullptr) {
    ps_queue->callbacks->release(ppv_data);
  } else if (reinterpret_cast<std::uintptr_t>(*ppv_data) > 3) {
    vos_os_free(ppv_data);
  } else {
    // Small integers are markers some users store; they were never allocated.
    VOS_ERROR("BAD POINTER");
  }
}

}  // namespace

vos_queue_rec* vos_queueCreate(std::uint16_t u16_flags, const vos_queue_ops* ps_ops) {
  vos_queue_rec* ps_queue = nullptr;
  vos_os_malloc(&ps_queue, sizeof(vos_queue_rec));
  if (ps_queue == nullptr) {
    VOS_ERROR("No memory for a queue");
    return nullptr;
  }
  ps_queue->first = nullptr;
  ps_queue->last = nullptr;
  ps_queue->flags = u16_flags;
  ps_queue->callbacks = ps_ops;
  ps_queue->count = 0;
  ps_queue->nb_spare = 0;
  ps_queue->spare = nullptr;
  return ps_queue;
}

std::int16_t vos_queueGetNbElem(const vos_queue_rec* ps_queue) {
  return ps_queue == nullptr ? 0 : ps_queue->count;
}

std::int16_t vos_queueAddElem(vos_queue_rec* ps_queue, void* pv_data) {
  if (ps_queue == nullptr) {
    return -1;
  }
  if ((ps_queue->flags & VOS_QUEUE_UNIQUE) != 0) {
    const std::int16_t i16_found = vos_queueFindElem(ps_queue, pv_data);
    if (i16_found >= 0) {
      return i16_found;
    }
  }
  vos_queue_elem* ps_elem = _vos_queue_new_elem(ps_queue, pv_data);
  if (ps_elem == nullptr) {
    return -1;
  }
  // The kept count is the tail position: no walk needed.
  const std::int16_t i16_position = ps_queue->count;
  _vos_queue_link_last(ps_queue, ps_elem);
  ++ps_queue->count;
  return i16_position;
}

std::int16_t vos_queueInsertElem(vos_queue_rec* ps_queue, void* pv_data, std::int32_t i32_index) {
  if (ps_queue == nullptr) {
    return -1;
  }
  vos_queue_elem* ps_elem = _vos_queue_new_elem(ps_queue, pv_data);
  if (ps_elem == nullptr) {
    return -1;
  }
  const auto u32_index = static_cast<std::uint32_t>(i32_index);
  vos_queue_elem* ps_target = ps_queue->first;
  std::uint16_t u16_step = 0;
  if (u32_index != 0) {
    while (ps_target != nullptr && u32_index > u16_step) {
      ps_target = ps_target->next;
      ++u16_step;
    }
  }
  if (ps_target != nullptr) {
    _vos_queue_link_before(ps_queue, ps_elem, ps_target);
  } else {
    _vos_queue_link_last(ps_queue, ps_elem);
  }
  ++ps_queue->count;
  if (u32_index > u16_step) {
    return -1;
  }
  return static_cast<std::int16_t>(u16_step);
}

void* vos_queueGetElem(const vos_queue_rec* ps_queue, std::int32_t i32_index) {
  if (ps_queue == nullptr) {
    return nullptr;
  }
  const vos_queue_elem* ps_elem = _vos_queue_locate(ps_queue, i32_index);
  return ps_elem == nullptr ? nullptr : ps_elem->data;
}

void* vos_queueGetAndDelElem(vos_queue_rec* ps_queue, std::int32_t i32_index) {
  if (ps_queue == nullptr) {
    return nullptr;
  }
  vos_queue_elem* ps_elem = _vos_queue_locate(ps_queue, i32_index);
  if (ps_elem == nullptr) {
    return nullptr;
  }
  _vos_queue_unlink(ps_queue, ps_elem);
  --ps_queue->count;
  void* pv_data = ps_elem->data;
  _vos_queue_recycle(ps_queue, ps_elem);
  return pv_data;
}

std::int16_t vos_queueDelElem(vos_queue_rec* ps_queue, std::int32_t i32_index) {
  if (ps_queue == nullptr) {
    return -1;
  }
  vos_queue_elem* ps_elem = _vos_queue_locate(ps_queue, i32_index);
  if (ps_elem == nullptr) {
    return -1;
  }
  _vos_queue_unlink(ps_queue, ps_elem);
  _vos_queue_release_data(ps_queue, &ps_elem->data);
  --ps_queue->count;
  _vos_queue_recycle(ps_queue, ps_elem);
  return ps_queue->count;
}

void vos_queueClear(vos_queue_rec* ps_queue) {
  if (ps_queue == nullptr) {
    return;
  }
  while (ps_queue->count != 0) {
    vos_queueDelElem(ps_queue, 0);
  }
}

void vos_queueDestroy(vos_queue_rec** pps_queue) {
  if (pps_queue == nullptr || *pps_queue == nullptr) {
    return;
  }
  vos_queueClear(*pps_queue);
  while (vos_queue_elem* ps_spare = (*pps_queue)->spare) {
    (*pps_queue)->spare = ps_spare->next;
    void* pv_spare = ps_spare;
    vos_os_free_parked(&pv_spare);
  }
  vos_os_free(pps_queue);
}

std::int16_t vos_queueFindElem(const vos_queue_rec* ps_queue, const void* pv_key) {
  if (ps_queue == nullptr) {
    return -1;
  }
  std::uint16_t u16_position = 0;
  for (const vos_queue_elem* ps_elem = ps_queue->first; ps_elem != nullptr;
       ps_elem = ps_elem->next, ++u16_position) {
    if (_vos_queue_compare_elem(ps_queue->callbacks, pv_key, ps_elem->data) == 1) {
      return static_cast<std::int16_t>(u16_position);
    }
  }
  return -1;
}

void* vos_queueFindAndGetElem(const vos_queue_rec* ps_queue, const void* pv_key) {
  if (ps_queue == nullptr) {
    return nullptr;
  }
  for (const vos_queue_elem* ps_elem = ps_queue->first; ps_elem != nullptr;
       ps_elem = ps_elem->next) {
    if (_vos_queue_compare_elem(ps_queue->callbacks, pv_key, ps_elem->data) == 1) {
      return ps_elem->data;
    }
  }
  return nullptr;
}

std::int16_t* vos_queueFindAllElem(const vos_queue_rec* ps_queue, const void* pv_key) {
  std::uint32_t u32_room = index_list_step;
  std::int16_t* pi16_list = nullptr;
  vos_os_malloc(&pi16_list, u32_room * sizeof(std::int16_t));
  if (pi16_list == nullptr) {
    VOS_ERROR("No memory for an index list");
    return nullptr;
  }
  std::uint32_t u32_stored = 0;
  std::uint16_t u16_position = 0;
  for (const vos_queue_elem* ps_elem = ps_queue == nullptr ? nullptr : ps_queue->first;
       ps_elem != nullptr; ps_elem = ps_elem->next, ++u16_position) {
    if (_vos_queue_compare_elem(ps_queue->callbacks, pv_key, ps_elem->data) != 0) {
      continue;
    }
    pi16_list[u32_stored++] = static_cast<std::int16_t>(u16_position);
    if (u32_stored == u32_room) {
      // Grow before the list is full, so that the terminator always fits.
      std::int16_t* pi16_grown = nullptr;
      vos_os_malloc(&pi16_grown, (u32_room + index_list_step) * sizeof(std::int16_t));
      if (pi16_grown == nullptr) {
        VOS_ERROR("No memory for an index list");
        vos_os_free(&pi16_list);
        return nullptr;
      }
      std::memcpy(pi16_grown, pi16_list, u32_stored * sizeof(std::int16_t));
      vos_os_free(&pi16_list);
      pi16_list = pi16_grown;
      u32_room += index_list_step;
    }
  }
  pi16_list[u32_stored] = -1;
  return pi16_list;
}

std::int16_t vos_queueFindNextElem(vos_queue_rec* ps_queue, const void* pv_key) {
  if (ps_queue == nullptr) {
    return -1;
  }
  std::uint16_t u16_position = 0;
  for (vos_queue_elem* ps_elem = ps_queue->first; ps_elem != nullptr;
       ps_elem = ps_elem->next, ++u16_position) {
    if (ps_elem->mark == 0 &&
        _vos_queue_compare_elem(ps_queue->callbacks, pv_key, ps_elem->data) == 0) {
      ps_elem->mark = 1;
      return static_cast<std::int16_t>(u16_position);
    }
  }
  return -1;
}

void vos_queueResetElem(vos_queue_rec* ps_queue, const void* pv_key) {
  if (ps_queue == nullptr) {
    return;
  }
  // One walk clears the same marks as collecting the matches first, without the list.
  for (vos_queue_elem* ps_elem = ps_queue->first; ps_elem != nullptr; ps_elem = ps_elem->next) {
    if (_vos_queue_compare_elem(ps_queue->callbacks, pv_key, ps_elem->data) == 0) {
      ps_elem->mark = 0;
    }
  }
}

std::int16_t vos_queueFindPtr(const vos_queue_rec* ps_queue, const void* pv_data) {
  if (ps_queue == nullptr) {
    return -1;
  }
  std::uint16_t u16_position = 0;
  for (const vos_queue_elem* ps_elem = ps_queue->first; ps_elem != nullptr;
       ps_elem = ps_elem->next, ++u16_position) {
    if (ps_elem->data == pv_data) {
      return static_cast<std::int16_t>(u16_position);
    }
  }
  return -1;
}
