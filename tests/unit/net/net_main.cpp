// main() of the socket tests: before any thread starts, the process moves into a network
// namespace of its own, so nothing here ever touches the machine's network.
#include <arpa/inet.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app_lan_rx.h"
#include "net_support.h"
#include "vos_mem.h"

namespace {

bool b_net_ready = false;
std::string net_reason;

void _setup_namespace() {
  if (geteuid() != 0) {
    net_reason = "net_tests need root to make a private network namespace; test skipped";
    return;
  }
  if (unshare(CLONE_NEWNET) != 0) {
    net_reason = std::string("unshare(CLONE_NEWNET) failed: ") + std::strerror(errno);
    return;
  }
  // system() runs in the new namespace, which the shell inherits.
  static constexpr const char* commands[] = {
      "ip link set lo up",
      "ip link add eth0 type veth peer name veth0",
      "ip addr add 10.77.0.1/24 dev eth0",
      "ip link set veth0 up",
      "ip link set eth0 up",
  };
  for (const char* pc_cmd : commands) {
    const std::string cmd = std::string(pc_cmd) + " >/dev/null 2>&1";
    if (std::system(cmd.c_str()) != 0) {
      net_reason = std::string("namespace set-up failed: ") + pc_cmd;
      return;
    }
  }
  b_net_ready = true;
}

}  // namespace

bool net_ready() { return b_net_ready; }
const std::string& net_skip_reason() { return net_reason; }

bytes text_bytes(std::string_view text) { return bytes(text.begin(), text.end()); }

sockaddr_in ipv4(const char* pc_ip, std::uint16_t u16_port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(u16_port);
  inet_pton(AF_INET, pc_ip, &addr.sin_addr);
  return addr;
}

udp_socket::udp_socket(const char* pc_ip, std::uint16_t u16_port) {
  fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return;
  const sockaddr_in addr = ipv4(pc_ip, u16_port);
  if (bind(fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0) {
    close(fd_);
    fd_ = -1;
  }
}

udp_socket::~udp_socket() {
  if (fd_ >= 0) close(fd_);
}

std::uint16_t udp_socket::port() const {
  sockaddr_in addr{};
  socklen_t len = sizeof(addr);
  getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
  return ntohs(addr.sin_port);
}

bool udp_socket::send_to(const sockaddr_in& to, const bytes& data) {
  return sendto(fd_, data.data(), data.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                sizeof(to)) == static_cast<ssize_t>(data.size());
}

std::optional<datagram> udp_socket::receive(std::chrono::milliseconds timeout) {
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(timeout.count() / 1000);
  tv.tv_usec = static_cast<suseconds_t>((timeout.count() % 1000) * 1000);
  setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
  datagram d;
  d.data.resize(2048);
  socklen_t len = sizeof(d.from);
  const ssize_t n =
      recvfrom(fd_, d.data.data(), d.data.size(), 0, reinterpret_cast<sockaddr*>(&d.from), &len);
  if (n < 0) return std::nullopt;
  d.data.resize(static_cast<std::size_t>(n));
  return d;
}

void rx_recorder::clear() {
  const std::lock_guard lock(mutex_);
  calls_.clear();
}

void rx_recorder::add(rx_call call) {
  const std::lock_guard lock(mutex_);
  calls_.push_back(std::move(call));
}

std::vector<rx_call> rx_recorder::calls() {
  const std::lock_guard lock(mutex_);
  return calls_;
}

rx_recorder& rx_calls() {
  static rx_recorder recorder;
  return recorder;
}

// Test double of the LAN hand-off: records what the transport hands over.
int app_lan_rx_handler(std::uint32_t u32_kind, const coap_address_t* pt_sender,
                       const std::uint8_t* pu8_payload, std::uint32_t u32_size) {
  rx_call call{u32_kind, {}, pu8_payload == nullptr, {}};
  if (pt_sender != nullptr) call.sender = *pt_sender;
  if (pu8_payload != nullptr) call.payload.assign(pu8_payload, pu8_payload + u32_size);
  rx_calls().add(std::move(call));
  return 1;
}

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  _setup_namespace();
  if (!b_net_ready) std::printf("net_tests: %s\n", net_reason.c_str());
  vos_os_init();
  coap_startup();
  const int i_result = RUN_ALL_TESTS();
  coap_cleanup();
  return i_result;
}
