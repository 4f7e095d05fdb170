// Registry of the LAN modems and hand-off of inbound messages. The hand-off takes no lock of
// its own (mailboxes are safe); every registry access holds "lan_modem".
#include "app_lan.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <string_view>

#include "app_lan_internal.h"
#include "vos_mem.h"
#include "vos_task_linux.h"
#include "vos_trace.h"

namespace {

constexpr const char* source_name = "../tst/app_lan.c";

// Copies a text into a fixed field, cut to fit, always terminated.
template <std::size_t N>
void _copy_text(char (&ac_dest)[N], const char* pc_src) {
  const std::string_view src = pc_src != nullptr ? std::string_view{pc_src} : std::string_view{};
  const std::size_t len = std::min(src.size(), N - 1);
  std::copy_n(src.data(), len, ac_dest);
  ac_dest[len] = '\0';
}

}  // namespace

namespace detail {

constinit lan_modem_entry _as_modem_list[LAN_MODEM_MAX]{};
constinit vos_os_mutex_t _t_lan_modem_mutex = nullptr;
constinit vos_os_thread_t _pv_lan_itf_task_handle = nullptr;
constinit vos_os_thread_t _pv_lan_modem_task_handle = nullptr;

void app_lan_reset() {
  if (_t_lan_modem_mutex == nullptr) _t_lan_modem_mutex = vos_os_mutex_create("lan_modem");
  vos_os_lock_guard lock(_t_lan_modem_mutex);
  std::fill(std::begin(_as_modem_list), std::end(_as_modem_list), lan_modem_entry{});
}

lan_modem_entry* _app_lan_find_entry(std::uint32_t u32_id) {
  for (auto& entry : _as_modem_list) {
    if (entry.u8_in_use != 0 && entry.t_info.u32_serial == u32_id) return &entry;
  }
  return nullptr;
}

bool _app_lan_address_equal(const coap_address_t& t_a, const coap_address_t& t_b) noexcept {
  if (t_a.size != t_b.size || t_a.addr.sa.sa_family != t_b.addr.sa.sa_family) return false;
  switch (t_a.addr.sa.sa_family) {
    case AF_INET:
      return t_a.addr.sin.sin_port == t_b.addr.sin.sin_port &&
             t_a.addr.sin.sin_addr.s_addr == t_b.addr.sin.sin_addr.s_addr;
    case AF_INET6:
      return t_a.addr.sin6.sin6_port == t_b.addr.sin6.sin6_port &&
             std::memcmp(&t_a.addr.sin6.sin6_addr, &t_b.addr.sin6.sin6_addr,
                         sizeof t_a.addr.sin6.sin6_addr) == 0;
    default:
      return false;
  }
}

lan_modem_entry* _app_lan_find_sender(const coap_address_t* pt_sender) {
  if (pt_sender == nullptr) return nullptr;
  // From the top, so that the highest index wins should several entries match.
  for (auto it = std::rbegin(_as_modem_list); it != std::rend(_as_modem_list); ++it) {
    if (it->u8_in_use != 0 && _app_lan_address_equal(it->t_addr, *pt_sender)) return &*it;
  }
  return nullptr;
}

std::uint32_t _app_lan_modem_id(const coap_address_t* pt_sender) {
  vos_os_lock_guard lock(_t_lan_modem_mutex);
  const lan_modem_entry* pt_entry = _app_lan_find_sender(pt_sender);
  return pt_entry != nullptr ? pt_entry->t_info.u32_serial : 0;
}

}  // namespace detail

void lan_msg_free(lan_msg** ppt_msg) {
  if (ppt_msg == nullptr || *ppt_msg == nullptr) return;
  if ((*ppt_msg)->pu8_payload != lan_msg_inline_payload(*ppt_msg)) {
    vos_os_free(&(*ppt_msg)->pu8_payload);
  }
  vos_os_free(ppt_msg);
}

int app_lan_first_modem_id(std::uint32_t* pu32_id) {
  if (pu32_id == nullptr) return -1;
  vos_os_lock_guard lock(detail::_t_lan_modem_mutex);
  for (auto it = std::rbegin(detail::_as_modem_list); it != std::rend(detail::_as_modem_list);
       ++it) {
    if (it->u8_in_use != 0) {
      *pu32_id = it->t_info.u32_serial;
      return 1;
    }
  }
  return -1;
}

std::uint32_t app_lan_modem_nb() {
  vos_os_lock_guard lock(detail::_t_lan_modem_mutex);
  return static_cast<std::uint32_t>(
      std::count_if(std::begin(detail::_as_modem_list), std::end(detail::_as_modem_list),
                    [](const lan_modem_entry& entry) { return entry.u8_in_use != 0; }));
}

void app_lan_get_modems_info(lan_modem_entry* pt_entries) {
  if (pt_entries == nullptr) return;
  vos_os_lock_guard lock(detail::_t_lan_modem_mutex);
  std::copy(std::begin(detail::_as_modem_list), std::end(detail::_as_modem_list), pt_entries);
}

int app_lan_find_modem(std::uint32_t u32_id, lan_modem_entry* pt_entry) {
  if (pt_entry == nullptr) return -1;
  vos_os_lock_guard lock(detail::_t_lan_modem_mutex);
  const lan_modem_entry* pt_found = detail::_app_lan_find_entry(u32_id);
  if (pt_found == nullptr) return -1;
  *pt_entry = *pt_found;
  return 1;
}

int app_lan_set_modem_firmware(std::uint32_t u32_id, const char* pc_label, const char* pc_staged) {
  vos_os_lock_guard lock(detail::_t_lan_modem_mutex);
  lan_modem_entry* pt_found = detail::_app_lan_find_entry(u32_id);
  if (pt_found == nullptr) return -1;
  _copy_text(pt_found->ac_fw_label, pc_label);
  _copy_text(pt_found->ac_fw_staged, pc_staged);
  return 1;
}

std::uint32_t app_lan_for_each_modem(void (*pf_visit)(const lan_modem_entry* pt_entry,
                                                      void* pv_arg),
                                     void* pv_arg) {
  if (pf_visit == nullptr) return 0;
  std::uint32_t u32_nb = 0;
  vos_os_lock_guard lock(detail::_t_lan_modem_mutex);
  for (const auto& entry : detail::_as_modem_list) {
    if (entry.u8_in_use == 0) continue;
    pf_visit(&entry, pv_arg);
    ++u32_nb;
  }
  return u32_nb;
}
