// Registry of the LAN modems: the only file that holds the entries and their lock "lan_modem".
// Every operation takes the lock for its whole body; what runs under it besides is only the
// visitor or the report that the caller hands to an operation.
#include "app_lan.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string_view>

#include "app_lan_internal.h"
#include "vos_task_linux.h"
#include "vos_util_date.h"

namespace {

// Copies a text into a fixed field, cut to fit, always terminated.
template <std::size_t N>
void _copy_text(char (&ac_dest)[N], const char* pc_src) {
  const std::string_view src = pc_src != nullptr ? std::string_view{pc_src} : std::string_view{};
  const std::size_t len = std::min(src.size(), N - 1);
  std::copy_n(src.data(), len, ac_dest);
  ac_dest[len] = '\0';
}

// The registry and its lock: nothing outside this file reaches them but through the
// operations below, each of which takes the lock for its whole body.
constinit lan_modem_entry _as_modem_list[LAN_MODEM_MAX]{};
constinit vos_os_mutex_t _t_lan_modem_mutex = nullptr;
// Moved on, under the lock, by every operation that may change an entry's address, serial or
// use, so that a thread may answer a look-up by sender from its last one while it stays.
constinit std::atomic<std::uint32_t> _u32_registry_version{0};

// The last look-up by sender of this thread (a worker asks for every frame of the same few
// modems).
struct sender_answer {
  std::uint32_t u32_version = 0;
  bool b_valid = false;
  coap_address_t t_addr{};
  bool b_found = false;
  std::uint32_t u32_id = 0;
};
constinit thread_local sender_answer _s_last_sender{};

void _registry_changed() { _u32_registry_version.fetch_add(1, std::memory_order_relaxed); }

// First entry in use whose serial number is @p u32_id, entry 0 first, or null. Lock held.
lan_modem_entry* _find_entry(std::uint32_t u32_id) {
  for (auto& entry : _as_modem_list) {
    if (entry.u8_in_use != 0 && entry.t_info.u32_serial == u32_id) return &entry;
  }
  return nullptr;
}

// The same among the entries whose registration has been reported: a modem is seen by the other
// threads only once its registration lines are out. Lock held.
lan_modem_entry* _find_published(std::uint32_t u32_id) {
  lan_modem_entry* pt_entry = _find_entry(u32_id);
  return pt_entry != nullptr && pt_entry->u8_published != 0 ? pt_entry : nullptr;
}

// Entry in use whose address equals @p pt_sender's, the highest index first; null for an
// unknown (or null) sender, or a modem whose registration is still being reported. Keeps
// "found" apart from the identifier, since a modem may announce serial 0. Lock held.
lan_modem_entry* _find_sender(const coap_address_t* pt_sender) {
  if (pt_sender == nullptr) return nullptr;
  // From the top, so that the highest index wins should several entries match.
  for (auto it = std::rbegin(_as_modem_list); it != std::rend(_as_modem_list); ++it) {
    if (it->u8_in_use != 0 && it->u8_published != 0 &&
        detail::_app_lan_address_equal(it->t_addr, *pt_sender)) {
      return &*it;
    }
  }
  return nullptr;
}

// Entries are never freed, so the free ones are the lowest: the highest of them, or null. Lock
// held.
lan_modem_entry* _free_entry() {
  for (auto it = std::rbegin(_as_modem_list); it != std::rend(_as_modem_list); ++it) {
    if (it->u8_in_use == 0) return &*it;
  }
  return nullptr;
}

}  // namespace

namespace detail {

void _app_lan_registry_init() {
  if (_t_lan_modem_mutex == nullptr) _t_lan_modem_mutex = vos_os_mutex_create("lan_modem");
}

void app_lan_reset() {
  _app_lan_registry_init();
  vos_os_lock_guard lock(_t_lan_modem_mutex);
  _registry_changed();
  std::fill(std::begin(_as_modem_list), std::end(_as_modem_list), lan_modem_entry{});
}

vos_os_lock_guard _app_lan_hold_registry() { return vos_os_lock_guard(_t_lan_modem_mutex); }

bool _app_lan_address_equal(const coap_address_t& t_a, const coap_address_t& t_b) noexcept {
  // Same host (so IPv4 or IPv6, of one family), then the same port.
  const auto port = [](const coap_address_t& t) {
    return t.addr.sa.sa_family == AF_INET ? t.addr.sin.sin_port : t.addr.sin6.sin6_port;
  };
  return t_a.size == t_b.size && app_lan_same_host(t_a, t_b) && port(t_a) == port(t_b);
}

bool _app_lan_find_sender(const coap_address_t* pt_sender, std::uint32_t* pu32_id) {
  if (pt_sender == nullptr) return false;
  sender_answer& last = _s_last_sender;
  if (!last.b_valid || last.u32_version != _u32_registry_version.load(std::memory_order_relaxed) ||
      !_app_lan_address_equal(last.t_addr, *pt_sender)) {
    vos_os_lock_guard lock(_t_lan_modem_mutex);
    const lan_modem_entry* pt_entry = _find_sender(pt_sender);
    last = {_u32_registry_version.load(std::memory_order_relaxed), true, *pt_sender,
            pt_entry != nullptr, pt_entry != nullptr ? pt_entry->t_info.u32_serial : 0};
  }
  if (pu32_id != nullptr) *pu32_id = last.u32_id;
  return last.b_found;
}

std::uint32_t _app_lan_modem_id(const coap_address_t* pt_sender) {
  std::uint32_t u32_id = 0;
  _app_lan_find_sender(pt_sender, &u32_id);
  return u32_id;
}

int _app_lan_register(const coap_address_t* pt_sender, const lan_modem_info& t_info,
                      lan_registry_report pf_report, void* pv_arg) {
  lan_modem_entry t_new{};
  if (pt_sender != nullptr) t_new.t_addr = *pt_sender;
  t_new.u8_in_use = 1;
  t_new.u32_info_time = vos_util_get_timestamp();
  t_new.t_info = t_info;

  // Written under the lock; reported from a copy once the lock is free, so that no line is
  // written while the registry is held, whatever the output does.
  auto e_outcome = lan_registry_outcome::updated;
  lan_modem_entry t_reported{};
  coap_address_t t_before{};
  {
    vos_os_lock_guard lock(_t_lan_modem_mutex);
    _registry_changed();
    lan_modem_entry* pt_entry = _find_entry(t_info.u32_serial);
    if (pt_entry != nullptr) {
      // Same modem: what it tells about itself is replaced, what the tool recorded is kept.
      t_new.t_info.u8_reported_state = pt_entry->t_info.u8_reported_state;
      t_before = pt_entry->t_addr;
      if (!app_lan_same_host(t_before, t_new.t_addr)) e_outcome = lan_registry_outcome::moved;
      pt_entry->t_addr = t_new.t_addr;
      pt_entry->u32_info_time = t_new.u32_info_time;
      pt_entry->t_info = t_new.t_info;
    } else if (pt_entry = _free_entry(); pt_entry != nullptr) {
      e_outcome = lan_registry_outcome::added;
      *pt_entry = t_new;  // not published yet
    } else {
      e_outcome = lan_registry_outcome::full;
    }
    if (pt_entry != nullptr) {
      t_reported = *pt_entry;
      pt_entry->t_info.u8_reported_state = pt_entry->t_info.u8_state;
    } else {
      t_reported = t_new;
    }
  }
  if (pf_report != nullptr) {
    pf_report(e_outcome, &t_reported,
              e_outcome == lan_registry_outcome::moved ? &t_before : nullptr, pv_arg);
  }
  if (e_outcome == lan_registry_outcome::full) return -1;
  if (e_outcome == lan_registry_outcome::added) {
    // Seen by the other threads from now on, after its lines.
    vos_os_lock_guard lock(_t_lan_modem_mutex);
    _registry_changed();
    if (lan_modem_entry* pt_entry = _find_entry(t_info.u32_serial)) pt_entry->u8_published = 1;
  }
  return 1;
}

int _app_lan_store_statistics(const coap_address_t* pt_sender,
                              std::span<const lan_rx_stats, LAN_MAX_RF> stats,
                              lan_registry_report pf_report, void* pv_arg) {
  lan_modem_entry t_reported{};
  bool b_found = false;
  {
    vos_os_lock_guard lock(_t_lan_modem_mutex);
    lan_modem_entry* pt_entry = _find_sender(pt_sender);
    if (pt_entry != nullptr) {
      pt_entry->u32_stats_time = vos_util_get_timestamp();
      std::copy(stats.begin(), stats.end(), pt_entry->at_rx_stats);
      t_reported = *pt_entry;
      b_found = true;
    }
  }
  if (pf_report != nullptr) {
    pf_report(b_found ? lan_registry_outcome::updated : lan_registry_outcome::unknown,
              b_found ? &t_reported : nullptr, nullptr, pv_arg);
  }
  return b_found ? 1 : -1;
}

int _app_lan_take_firmware(const coap_address_t* pt_sender, lan_fw_taken* pt_taken) {
  if (pt_taken == nullptr) return -1;
  vos_os_lock_guard lock(_t_lan_modem_mutex);
  lan_modem_entry* pt_entry = _find_sender(pt_sender);
  if (pt_entry == nullptr) return -1;
  pt_taken->u32_id = pt_entry->t_info.u32_serial;
  _copy_text(pt_taken->ac_label, pt_entry->ac_fw_label);
  _copy_text(pt_taken->ac_staged, pt_entry->ac_fw_staged);
  pt_entry->ac_fw_staged[0] = '\0';  // its file goes with this result
  return 1;
}

}  // namespace detail

int app_lan_first_modem_id(std::uint32_t* pu32_id) {
  if (pu32_id == nullptr) return -1;
  vos_os_lock_guard lock(_t_lan_modem_mutex);
  for (auto it = std::rbegin(_as_modem_list); it != std::rend(_as_modem_list); ++it) {
    if (it->u8_in_use != 0 && it->u8_published != 0) {
      *pu32_id = it->t_info.u32_serial;
      return 1;
    }
  }
  return -1;
}

std::uint32_t app_lan_modem_nb() {
  vos_os_lock_guard lock(_t_lan_modem_mutex);
  return static_cast<std::uint32_t>(
      std::count_if(std::begin(_as_modem_list), std::end(_as_modem_list),
                    [](const lan_modem_entry& entry) { return entry.u8_in_use != 0; }));
}

void app_lan_get_modems_info(lan_modem_entry* pt_entries) {
  if (pt_entries == nullptr) return;
  vos_os_lock_guard lock(_t_lan_modem_mutex);
  std::copy(std::begin(_as_modem_list), std::end(_as_modem_list), pt_entries);
}

int app_lan_find_modem(std::uint32_t u32_id, lan_modem_entry* pt_entry) {
  if (pt_entry == nullptr) return -1;
  vos_os_lock_guard lock(_t_lan_modem_mutex);
  const lan_modem_entry* pt_found = _find_published(u32_id);
  if (pt_found == nullptr) return -1;
  *pt_entry = *pt_found;
  return 1;
}

const char* app_lan_state_name(std::uint8_t u8_state) {
  switch (u8_state) {
    case LAN_STATE_READY:
      return "READY";
    case LAN_STATE_RUNNING:
      return "RUNNING";
    default:
      return "UNKNOWN";
  }
}

int app_lan_set_modem_firmware(std::uint32_t u32_id, const char* pc_label, const char* pc_staged) {
  vos_os_lock_guard lock(_t_lan_modem_mutex);
  lan_modem_entry* pt_found = _find_published(u32_id);
  if (pt_found == nullptr) return -1;
  _copy_text(pt_found->ac_fw_label, pc_label);
  _copy_text(pt_found->ac_fw_staged, pc_staged);
  return 1;
}

std::uint32_t app_lan_for_each_modem(void (*pf_visit)(const lan_modem_entry* pt_entry,
                                                      void* pv_arg),
                                     void* pv_arg) {
  if (pf_visit == nullptr) return 0;
  lan_modem_entry at_copy[LAN_MODEM_MAX];
  {
    vos_os_lock_guard lock(_t_lan_modem_mutex);
    std::copy(std::begin(_as_modem_list), std::end(_as_modem_list), at_copy);
  }
  std::uint32_t u32_nb = 0;
  for (const auto& entry : at_copy) {
    if (entry.u8_in_use == 0 || entry.u8_published == 0) continue;
    pf_visit(&entry, pv_arg);
    ++u32_nb;
  }
  return u32_nb;
}

bool app_lan_same_host(const coap_address_t& t_a, const coap_address_t& t_b) noexcept {
  if (t_a.addr.sa.sa_family != t_b.addr.sa.sa_family) return false;
  switch (t_a.addr.sa.sa_family) {
    case AF_INET:
      return t_a.addr.sin.sin_addr.s_addr == t_b.addr.sin.sin_addr.s_addr;
    case AF_INET6:
      return std::memcmp(&t_a.addr.sin6.sin6_addr, &t_b.addr.sin6.sin6_addr,
                         sizeof t_a.addr.sin6.sin6_addr) == 0;
    default:
      return false;
  }
}
