// Support for the socket tests: the private network namespace made by main(), a raw UDP
// socket, a peer that plays the modem, and a recording double of the LAN hand-off (the
// transport's handler).
#pragma once

#include <arpa/inet.h>
#include <coap3/coap.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "test_regex.h"

using bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;
using test_support::re_search_lines;

/// Why main() made no network namespace (lo, veth eth0 10.77.0.1/24), empty when it did.
const std::string& net_skip_reason();

#define NET_TEST_PREAMBLE()                                            \
  do {                                                                 \
    if (!net_skip_reason().empty()) GTEST_SKIP() << net_skip_reason(); \
  } while (0)

inline constexpr const char* eth0_ip = "10.77.0.1";

inline sockaddr_in ipv4(const char* pc_ip, std::uint16_t u16_port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(u16_port);
  inet_pton(AF_INET, pc_ip, &addr.sin_addr);
  return addr;
}

struct datagram {
  bytes data;
  sockaddr_in from{};
};

/// A plain UDP socket, so that every byte on the wire is the test's own.
class udp_socket {
 public:
  udp_socket(const char* pc_ip, std::uint16_t u16_port)
      : fd_(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    const sockaddr_in addr = ipv4(pc_ip, u16_port);
    if (fd_ >= 0 && bind(fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0) {
      close(fd_);
      fd_ = -1;
    }
  }
  udp_socket(const udp_socket&) = delete;
  udp_socket& operator=(const udp_socket&) = delete;
  ~udp_socket() {
    if (fd_ >= 0) close(fd_);
  }

  bool ok() const { return fd_ >= 0; }
  bool send_to(const sockaddr_in& to, const bytes& data) {
    return sendto(fd_, data.data(), data.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                  sizeof(to)) == static_cast<ssize_t>(data.size());
  }
  std::optional<datagram> receive(std::chrono::milliseconds timeout) {
    const timeval tv{static_cast<time_t>(timeout.count() / 1000),
                     static_cast<suseconds_t>((timeout.count() % 1000) * 1000)};
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
  /// Sends @p request every 50 ms, at most 40 times, until an answer comes: the first answer.
  std::optional<datagram> ask(const sockaddr_in& to, const bytes& request) {
    for (int i = 0; i < 40; ++i) {
      send_to(to, request);
      if (auto d = receive(50ms)) return d;
    }
    return std::nullopt;
  }

 private:
  int fd_;
};

/// The calls of app_lan_rx_handler the test double recorded, made on one thread at a time.
struct rx_call {
  std::uint32_t u32_kind;
  coap_address_t sender;
  bytes payload;
};
std::vector<rx_call>& rx_calls();
/// What the test double returns: 1 (posted) unless a test refuses the hand-off.
inline std::atomic<int> rx_handler_result{1};

// The modem's address as the registry records it: its source port, which the request replaces.
inline coap_address_t modem_address() {
  coap_address_t t_addr;
  coap_address_init(&t_addr);
  t_addr.size = sizeof(sockaddr_in);
  t_addr.addr.sin = ipv4(eth0_ip, 40000);
  return t_addr;
}

// Piggybacked answer (ACK, no token) to @p request with @p code and @p payload.
inline bytes ack_for(const bytes& request, std::uint8_t code, std::string_view payload = {}) {
  bytes answer = {0x60, code, request.at(2), request.at(3)};
  if (!payload.empty()) {
    answer.push_back(0xFF);
    answer.insert(answer.end(), payload.begin(), payload.end());
  }
  return answer;
}

// Plays the modem on eth0's address: records every request datagram that arrives within
// @p window and answers each with reply(request) unless that is empty.
class modem_peer {
 public:
  using reply_fn = std::function<bytes(const bytes&)>;

  explicit modem_peer(reply_fn reply, std::uint16_t u16_port = 5683,
                      std::chrono::milliseconds window = 3s)
      : socket_(eth0_ip, u16_port), reply_(std::move(reply)) {
    thread_ = std::thread([this, window] {
      const auto end = std::chrono::steady_clock::now() + window;
      while (!stop_ && std::chrono::steady_clock::now() < end) {
        auto d = socket_.receive(50ms);
        if (!d) continue;
        const bytes answer = reply_ ? reply_(d->data) : bytes{};
        {
          const std::lock_guard lock(mutex_);  // before the answer that lets the request return
          received_.push_back(*d);
        }
        if (!answer.empty()) socket_.send_to(d->from, answer);
      }
    });
  }
  ~modem_peer() {
    stop_ = true;
    thread_.join();
  }
  bool ok() const { return socket_.ok(); }
  std::vector<datagram> received() {
    const std::lock_guard lock(mutex_);
    return received_;
  }

 private:
  udp_socket socket_;
  reply_fn reply_;
  std::mutex mutex_;
  std::vector<datagram> received_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};
