// Fuzz target: sequences of inbound LAN messages handed over by app_lan_rx_handler and treated
// as the workers treat them, from a registry emptied for each input. Input: records of kind % 8
// (0 and 7 are no worker's kind), sender % 8 (0-5 fixed addresses, 6 none, 7 any: 19 address
// bytes follow), payload length u16 little-endian, payload (cut to what is left). No staged
// firmware is ever recorded. Every input must leave no accounted block behind.
#include <sys/un.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "coap_addr.h"
#include "fuzz_support.h"

namespace {
constexpr std::size_t nb_sender = 6;
constexpr std::size_t any_size = 19;
coap_address_t at_sender[nb_sender];

// Family selector (IPv4, IPv6 or any family and size), port, then 16 address bytes.
coap_address_t any_address(std::span<const std::uint8_t> b) {
  coap_address_t t{};
  const std::uint16_t u16_port = static_cast<std::uint16_t>(b[1] | (b[2] << 8));
  if (b[0] % 3 == 0) {
    t.size = sizeof(sockaddr_in);
    t.addr.sin.sin_family = AF_INET;
    t.addr.sin.sin_port = u16_port;
    std::memcpy(&t.addr.sin.sin_addr, b.data() + 3, sizeof t.addr.sin.sin_addr);
  } else if (b[0] % 3 == 1) {
    t.size = sizeof(sockaddr_in6);
    t.addr.sin6.sin6_family = AF_INET6;
    t.addr.sin6.sin6_port = u16_port;
    std::memcpy(&t.addr.sin6.sin6_addr, b.data() + 3, sizeof t.addr.sin6.sin6_addr);
  } else {
    t.size = b[3];
    t.addr.sa.sa_family = u16_port;
  }
  return t;
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::lan_setup();
  at_sender[0] = ipv4("10.0.0.11", 5683);
  at_sender[1] = ipv4("10.0.0.12", 5683);
  at_sender[2] = ipv4("10.0.0.11", 40000);  // same host, other port: another modem
  at_sender[3] = ipv6("fe80::11", 5683);
  at_sender[4].size = sizeof(sockaddr_un);  // a family the registry never matches
  at_sender[4].addr.sa.sa_family = AF_UNIX;
  return 0;  // at_sender[5]: all zero
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pu8_data, std::size_t size) {
  detail::app_lan_reset();
  const std::uint32_t u32_pool = vos_os_nb_pool();
  const std::uint32_t u32_mem = vos_os_curmem();
  std::span<const std::uint8_t> rest{pu8_data, size};
  while (rest.size() >= 4) {
    const std::uint32_t u32_kind = rest[0] % 8u;
    const std::uint8_t u8_sender = rest[1] % (nb_sender + 2);
    const std::size_t len = std::min<std::size_t>(rest[2] | (rest[3] << 8), rest.size() - 4);
    rest = rest.subspan(4);
    coap_address_t t_any{};
    const coap_address_t* pt_sender = u8_sender < nb_sender ? &at_sender[u8_sender] : nullptr;
    if (u8_sender == nb_sender + 1) {
      if (rest.size() < any_size) break;
      t_any = any_address(rest.first(any_size));
      pt_sender = &t_any;
      rest = rest.subspan(any_size);
    }
    const std::span<const std::uint8_t> payload = rest.first(std::min(len, rest.size()));
    rest = rest.subspan(payload.size());
    app_lan_rx_handler(u32_kind, pt_sender, payload.empty() ? nullptr : payload.data(),
                       static_cast<std::uint32_t>(payload.size()));
    fuzz::drain_all();
  }
  // Each entry in use: published, a serial of its own found again, receivers in bounds.
  std::array<lan_modem_entry, LAN_MODEM_MAX> at{};
  app_lan_get_modems_info(at.data());
  bool b_ok = vos_os_nb_pool() == u32_pool && vos_os_curmem() == u32_mem;
  std::uint32_t u32_first = 0, u32_last = 0, u32_in_use = 0;
  for (const lan_modem_entry& e : at) {
    if (e.u8_in_use == 0) continue;
    lan_modem_entry t{};
    b_ok = b_ok && e.u8_published == 1 && e.t_info.u8_nb_rf <= LAN_MAX_RF &&
           std::count_if(at.begin(), at.end(),
                         [&e](const lan_modem_entry& o) {
                           return o.u8_in_use != 0 && o.t_info.u32_serial == e.t_info.u32_serial;
                         }) == 1 &&
           app_lan_find_modem(e.t_info.u32_serial, &t) == 1 && t.u32_info_time == e.u32_info_time;
    u32_last = e.t_info.u32_serial;
    ++u32_in_use;
  }
  b_ok = b_ok && app_lan_first_modem_id(&u32_first) == (u32_in_use != 0 ? 1 : -1) &&
         (u32_in_use == 0 || u32_first == u32_last);
  if (!b_ok) __builtin_trap();
  return 0;
}
