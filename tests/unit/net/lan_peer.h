// Support for the outbound request and dispatch tests: raw UDP peers that play modems and log
// every request in arrival order, a CoAP request reader, modem registration, trace patterns, and
// a forked child whose /var/ftp is a private bind mount of a test directory.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "alloc_balance.h"
#include "app_lan.h"
#include "app_lan_internal.h"
#include "net_support.h"
#include "stdout_capture.h"
#include "temp_dir.h"
#include "test_regex.h"
#include "vos_mem.h"

namespace lan_test {

using namespace std::chrono_literals;
using test_support::alloc_mark;
using test_support::exists;
using test_support::re_escape;
using test_support::temp_dir;

// ---- requests as a modem sees them ------------------------------------------------------------

/// A CoAP request taken apart: header fields, the Uri-Path, the numbers of any other options,
/// and the payload.
struct coap_request {
  bool b_valid = false;
  int i_type = -1;  ///< 0 CON
  int i_code = -1;  ///< 1 GET, 2 POST, 3 PUT
  std::size_t tkl = 0;
  std::string path;
  std::vector<int> other_options;
  bytes payload;
  std::string peer;  ///< name of the peer that received it
};

inline coap_request parse_request(const bytes& b) {
  coap_request r;
  if (b.size() < 4 || (b[0] >> 6) != 1) return r;
  r.i_type = (b[0] >> 4) & 3;
  r.tkl = b[0] & 0x0F;
  r.i_code = b[1];
  std::size_t i = 4 + r.tkl;
  int i_number = 0;
  // Extended delta or length: 13 one byte more, 14 two bytes more.
  auto extended = [&](int nibble, int& value) {
    value = nibble;
    if (nibble == 13) {
      if (i >= b.size()) return false;
      value = 13 + b[i++];
    } else if (nibble == 14) {
      if (i + 1 >= b.size()) return false;
      value = 269 + (b[i] << 8) + b[i + 1];
      i += 2;
    }
    return nibble != 15;
  };
  while (i < b.size()) {
    if (b[i] == 0xFF) {
      r.payload.assign(b.begin() + static_cast<long>(i) + 1, b.end());
      r.b_valid = !r.payload.empty();
      return r;
    }
    const int delta_nibble = b[i] >> 4;
    const int len_nibble = b[i] & 0x0F;
    ++i;
    int delta = 0;
    int len = 0;
    if (!extended(delta_nibble, delta) || !extended(len_nibble, len)) return r;
    if (i + static_cast<std::size_t>(len) > b.size()) return r;
    i_number += delta;
    const std::string value(b.begin() + static_cast<long>(i),
                            b.begin() + static_cast<long>(i) + len);
    if (i_number == 11) {
      r.path += (r.path.empty() ? "" : "/") + value;
    } else {
      r.other_options.push_back(i_number);
    }
    i += static_cast<std::size_t>(len);
  }
  r.b_valid = true;
  return r;
}

/// Every request the peers received, in arrival order.
class request_log {
 public:
  void add(coap_request r) {
    const std::lock_guard lock(mutex_);
    requests_.push_back(std::move(r));
  }
  std::vector<coap_request> requests() {
    const std::lock_guard lock(mutex_);
    return requests_;
  }

 private:
  std::mutex mutex_;
  std::vector<coap_request> requests_;
};

/// A modem on @p pc_ip port 5683: answers each request with a piggybacked 2.04 (the message ID
/// echoed, no token), after logging it. Stopping drains what arrived but was not read yet.
class modem_peer {
 public:
  modem_peer(const char* pc_ip, std::string name, request_log& log)
      : socket_(pc_ip, 5683), name_(std::move(name)), log_(log) {
    if (socket_.ok()) thread_ = std::thread([this] { run(); });
  }
  modem_peer(const modem_peer&) = delete;
  modem_peer& operator=(const modem_peer&) = delete;
  ~modem_peer() { stop(); }

  bool ok() const { return socket_.ok(); }

  void stop() {
    if (!thread_.joinable()) return;
    stop_ = true;
    thread_.join();
    while (auto d = socket_.receive(20ms)) record(*d);
  }

 private:
  void run() {
    while (!stop_) {
      if (auto d = socket_.receive(20ms)) {
        record(*d);
        if (d->data.size() >= 4) socket_.send_to(d->from, {0x60, 0x44, d->data[2], d->data[3]});
      }
    }
  }
  void record(const datagram& d) {
    coap_request r = parse_request(d.data);
    r.peer = name_;
    log_.add(std::move(r));
  }

  udp_socket socket_;
  std::string name_;
  request_log& log_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

/// Expects @p r to be one confirmable request with method @p i_code on @p path, no token, no
/// option but Uri-Path, and exactly @p payload.
inline void expect_request(const coap_request& r, int i_code, const std::string& path,
                           const bytes& payload) {
  SCOPED_TRACE("request on " + path);
  EXPECT_TRUE(r.b_valid);
  EXPECT_EQ(r.i_type, 0);
  EXPECT_EQ(r.tkl, 0u);
  EXPECT_EQ(r.i_code, i_code);
  EXPECT_EQ(r.path, path);
  EXPECT_TRUE(r.other_options.empty());
  EXPECT_EQ(r.payload, payload);
}

inline constexpr int get = 1;
inline constexpr int post = 2;
inline constexpr int put = 3;

// ---- modems in the registry -------------------------------------------------------------------

inline coap_address_t modem_address(const char* pc_ip, std::uint16_t u16_port) {
  coap_address_t t_addr;
  coap_address_init(&t_addr);
  t_addr.size = sizeof(sockaddr_in);
  t_addr.addr.sin = ipv4(pc_ip, u16_port);
  return t_addr;
}

/// Registers modem @p u32_serial, READY, as sending from @p pc_ip (its source port 40000, which
/// requests replace with 5683). Its trace lines go to standard output.
inline int register_modem(std::uint32_t u32_serial, const char* pc_ip) {
  bytes b;
  auto put_le = [&b](std::uint32_t v, int n) {
    for (int i = 0; i < n; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  };
  put_le(1, 4);  // protocol
  put_le(u32_serial, 4);
  put_le(1000, 4);  // timestamp
  put_le(0x0102, 2);
  put_le(0x0304, 2);
  b.insert(b.end(), {1, 1, 1, 0, 0});  // type, location, state READY, wakeup, no receiver
  const coap_address_t t_addr = modem_address(pc_ip, 40000);
  return detail::_app_lan_treat_info(&t_addr, b.data(), static_cast<std::uint32_t>(b.size()));
}

// ---- trace patterns ---------------------------------------------------------------------------

/// One whole trace line of @p level from @p module ("app_lan", "app_main") saying @p text.
inline std::string line(const char* pc_level, const char* pc_module, const std::string& text) {
  return std::string("^[0-9]{8}-[0-9]{6}:") + pc_level + R"(:\.\./tst/)" + pc_module +
         R"(\.c:[0-9]+:)" + re_escape(text) + "$";
}
inline std::string info_line(const std::string& text) {
  return "^[0-9]{8}-[0-9]{6}:INFO:" + re_escape(text) + "$";
}

/// Whether @p out holds the line(@p pc_level, @p pc_module, @p text); shows @p out when not.
inline ::testing::AssertionResult has_line(const std::string& out, const char* pc_level,
                                           const char* pc_module, const std::string& text) {
  if (re_search_lines(out, line(pc_level, pc_module, text))) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "no " << pc_level << " line \"" << text << "\" in:\n"
                                       << out;
}

// ---- files ------------------------------------------------------------------------------------

inline void write_file(const std::string& s_path, std::size_t size, char c = 'x') {
  std::ofstream(s_path, std::ios::binary) << std::string(size, c);
}

inline std::size_t file_size(const std::string& s_path) {
  std::error_code ec;
  const auto size = std::filesystem::file_size(s_path, ec);
  return ec ? 0 : static_cast<std::size_t>(size);
}

using test_support::child_run;

/// Staging directory of the child: the test's directory, or a plain file in its place.
enum class ftp_dir { bound, blocked };

/// Runs @p body in a forked child that has a mount namespace of its own, a small tmpfs on /var
/// and there /var/ftp bound to @p s_ftp (or a plain file named /var/ftp when @p e_ftp is
/// blocked), so the machine's /var is never touched. The child's standard output is collected;
/// it exits with body's result (90 when the namespace cannot be made). The peers keep running
/// in this process, which shares its network namespace with the child.
inline child_run run_with_private_ftp(const std::string& s_ftp, const std::function<int()>& body,
                                      ftp_dir e_ftp = ftp_dir::bound) {
  return test_support::run_in_child([&] {
    if (unshare(CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", "/var", "tmpfs", 0, "size=1m") != 0) {
      return 90;
    }
    if (e_ftp == ftp_dir::blocked) {
      const int fd = open("/var/ftp", O_CREAT | O_WRONLY, 0644);
      if (fd < 0) return 90;
      close(fd);
    } else if (mkdir("/var/ftp", 0755) != 0 ||
               mount(s_ftp.c_str(), "/var/ftp", nullptr, MS_BIND, nullptr) != 0) {
      return 90;
    }
    return body();
  });
}

/// Fixture base of the outbound tests: an empty registry, a modem peer on eth0's address, and
/// at the end the blocks the test started with.
class lan_peer_fixture : public test_support::alloc_balance_test {
 protected:
  void SetUp() override {
    NET_TEST_PREAMBLE();
    detail::app_lan_reset();  // makes the registry lock once
    mark_alloc();
    peer_ = std::make_unique<modem_peer>(eth0_ip, "eth0", log_);
    ASSERT_TRUE(peer_->ok());
  }
  void TearDown() override {
    if (!net_ready()) return;
    expect_alloc_balance();
    detail::app_lan_reset();
  }
  // Registers the modem silently, in this process.
  void register_here(std::uint32_t u32_id, const char* pc_ip = eth0_ip) {
    int i_result = 0;
    test_support::captured([&] { i_result = register_modem(u32_id, pc_ip); });
    ASSERT_EQ(i_result, 1);
  }
  // What the peers received, once they are stopped.
  std::vector<coap_request> sent() {
    peer_->stop();
    return log_.requests();
  }

  request_log log_;
  std::unique_ptr<modem_peer> peer_;
};

}  // namespace lan_test
