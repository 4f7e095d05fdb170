// Fuzz target: any datagram a LAN can deliver, sent to the CoAP server's endpoint on
// 0.0.0.0:5683 from 127.0.0.1 and processed at once; what the resources hand over is treated
// in this thread (see fuzz_support.h). It opens sockets: run it only inside a network
// namespace of its own with lo up (`unshare -n`, as scripts/fuzz does).
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdio>

#include "coap_server.h"
#include "coap_server_internal.h"
#include "fuzz_support.h"

namespace {
coap_context_t* pt_ctx = nullptr;
int i_peer = -1;  // the modem side: a UDP socket on 127.0.0.1
sockaddr_in t_server{.sin_family = AF_INET,
                     .sin_port = htons(5683),
                     .sin_addr = {htonl(INADDR_LOOPBACK)},
                     .sin_zero = {}};

[[noreturn]] void fail(const char* pc_what) {
  std::perror(pc_what);
  std::abort();
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::lan_setup();
  detail::coap_log_init();
  coap_set_log_level(LOG_EMERG);
  pt_ctx = get_context("0.0.0.0", "5683");
  if (pt_ctx == nullptr || !detail::coap_server_add_resources(pt_ctx)) fail("server context");
  sockaddr_in t_local = t_server;
  t_local.sin_port = 0;
  i_peer = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
  if (i_peer < 0) fail("socket");
  if (bind(i_peer, reinterpret_cast<const sockaddr*>(&t_local), sizeof t_local) != 0) fail("bind");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pu8_data, std::size_t size) {
  if (size > 65507) return 0;  // the largest UDP payload: anything longer cannot come from a LAN
  detail::app_lan_reset();     // each input from an empty registry, so that findings replay
  const std::uint32_t u32_pool = vos_os_nb_pool();
  if (sendto(i_peer, pu8_data, size, 0, reinterpret_cast<const sockaddr*>(&t_server),
             sizeof t_server) != static_cast<ssize_t>(size)) {
    fail("sendto");
  }
  coap_io_process(pt_ctx, COAP_IO_NO_WAIT);  // loopback delivered the datagram during sendto
  fuzz::drain_all();
  std::uint8_t au8_answer[2048];  // answers are not looked at, but they must not pile up
  while (recv(i_peer, au8_answer, sizeof au8_answer, 0) >= 0) {
  }
  if (vos_os_nb_pool() != u32_pool) __builtin_trap();
  return 0;
}
