// main() of the socket tests: before any thread starts, the process moves into a network
// namespace of its own, so nothing here ever touches the machine's network.
#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app_lan_rx.h"
#include "coap_server.h"
#include "net_support.h"
#include "vos_mem.h"

namespace {

std::string net_reason;

// Empty when the namespace with lo and a veth eth0 is up, else why not.
std::string _setup_namespace() {
  if (geteuid() != 0) return "net_tests need root to make a private network namespace; skipped";
  if (unshare(CLONE_NEWNET) != 0) {
    return std::string("unshare(CLONE_NEWNET) failed: ") + std::strerror(errno);
  }
  // system() runs in the new namespace, which the shell inherits.
  for (const char* pc_cmd :
       {"ip link set lo up", "ip link add eth0 type veth peer name veth0",
        "ip addr add 10.77.0.1/24 dev eth0", "ip link set veth0 up", "ip link set eth0 up"}) {
    if (std::system((std::string(pc_cmd) + " >/dev/null 2>&1").c_str()) != 0) {
      return std::string("namespace set-up failed: ") + pc_cmd;
    }
  }
  return "";
}

}  // namespace

const std::string& net_skip_reason() { return net_reason; }

std::vector<rx_call>& rx_calls() {
  static std::vector<rx_call> calls;
  return calls;
}

namespace {

// Test double of the LAN hand-off: records what the transport hands over.
int recording_rx_handler(std::uint32_t u32_kind, const coap_address_t* pt_sender,
                         const std::uint8_t* pu8_payload, std::uint32_t u32_size) {
  rx_call call{u32_kind, {}, {}};
  if (pt_sender != nullptr) call.sender = *pt_sender;
  if (pu8_payload != nullptr) call.payload.assign(pu8_payload, pu8_payload + u32_size);
  rx_calls().push_back(std::move(call));
  return rx_handler_result.load();
}

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  net_reason = _setup_namespace();
  if (!net_reason.empty()) std::printf("net_tests: %s\n", net_reason.c_str());
  vos_os_init();
  coap_set_rx_hooks({.pf_handler = recording_rx_handler});
  coap_startup();
  const int i_result = RUN_ALL_TESTS();
  coap_cleanup();
  return i_result;
}
