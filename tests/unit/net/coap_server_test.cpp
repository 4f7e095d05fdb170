// CoAP server endpoint against hand-built datagrams, inside the test's own network namespace.
#include "coap_server.h"

#include <arpa/inet.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "net_support.h"
#include "stdout_capture.h"

using namespace std::chrono_literals;

namespace {

const sockaddr_in server_unicast = ipv4(eth0_ip, 5683);

// The payload of a CoAP message: the bytes after the 0xFF marker, if any. Options are walked so
// that a 0xFF inside an option value is not taken for the marker.
bytes coap_payload(const bytes& msg) {
  if (msg.size() < 4) return {};
  std::size_t i = 4 + (msg[0] & 0x0F);
  while (i < msg.size() && msg[i] != 0xFF) {
    const unsigned delta = msg[i] >> 4;
    unsigned len = msg[i] & 0x0F;
    ++i;
    i += delta == 13 ? 1 : delta == 14 ? 2 : 0;
    if (len == 13)
      len = 13 + msg[i++];
    else if (len == 14) {
      len = 269 + (msg[i] << 8 | msg[i + 1]);
      i += 2;
    }
    i += len;
  }
  return i < msg.size() ? bytes(msg.begin() + static_cast<long>(i) + 1, msg.end()) : bytes{};
}

class coap_server : public ::testing::Test {
 protected:
  void SetUp() override {
    NET_TEST_PREAMBLE();
    rx_calls().clear();
    quit = false;
    done_ = false;
    server_ = std::thread([this] {
      result_ = coap_server_task();
      done_ = true;
    });
    // Ready once an empty confirmable message (a ping) is answered with a reset.
    udp_socket probe(eth0_ip, 0);
    for (int i = 0; i < 40 && !ready_; ++i) {
      probe.send_to(server_unicast, {0x40, 0x00, 0x00, 0x01});
      ready_ = probe.receive(50ms).has_value();
    }
    ASSERT_TRUE(ready_) << "server did not come up";
  }

  void TearDown() override {
    if (server_.joinable()) stop_and_join();
  }

  // Sets quit, wakes the loop with a datagram too short to be CoAP, waits for the end.
  void stop_and_join() {
    coap_server_stop();
    udp_socket waker(eth0_ip, 0);
    waker.send_to(server_unicast, {0x40, 0x00, 0x00});
    server_.join();
    EXPECT_EQ(result_, 0);
  }

  // Sends one datagram and returns the first answer.
  std::optional<datagram> exchange(const bytes& request, const sockaddr_in& to = server_unicast) {
    return client_.send_to(to, request) ? client_.receive(2s) : std::nullopt;
  }

  udp_socket client_{eth0_ip, 0};
  std::thread server_;
  std::atomic<std::int32_t> result_{-2};
  std::atomic<bool> done_{false};
  bool ready_ = false;
};

TEST_F(coap_server, confirmable_put_rx_msg_req_is_handed_over_and_acknowledged_2_03) {
  // CON PUT, MID 0x1234, token a1 b2, Uri-Path "rx_msg_req", payload of 18 bytes.
  bytes request = {0x42, 0x03, 0x12, 0x34, 0xA1, 0xB2, 0xBA};
  const bytes path = text_bytes("rx_msg_req");
  request.insert(request.end(), path.begin(), path.end());
  const bytes payload = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 0xFF};
  request.push_back(0xFF);
  request.insert(request.end(), payload.begin(), payload.end());

  const auto answer = exchange(request);
  ASSERT_TRUE(answer.has_value());
  // ACK 2.03 with the request's MID and token, no option, no payload.
  EXPECT_EQ(answer->data, (bytes{0x62, 0x43, 0x12, 0x34, 0xA1, 0xB2}));

  ASSERT_TRUE(rx_calls().wait_for(1, 1s));
  const auto calls = rx_calls().calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].u32_kind, 1u);
  EXPECT_EQ(calls[0].payload, payload);
  EXPECT_EQ(calls[0].sender.size, sizeof(sockaddr_in));
  EXPECT_EQ(calls[0].sender.addr.sin.sin_family, AF_INET);
  EXPECT_EQ(ntohs(calls[0].sender.addr.sin.sin_port), client_.port());
  EXPECT_EQ(calls[0].sender.addr.sin.sin_addr.s_addr, server_unicast.sin_addr.s_addr);
}

TEST_F(coap_server, each_served_resource_hands_over_its_kind) {
  struct served {
    const char* path;
    std::uint8_t code;
    std::uint32_t kind;
    bytes payload;
  };
  const served cases[] = {
      {"info_ind", 0x02, 2, bytes(21, 0x11)},
      {"firmware_install_ind", 0x02, 3, {}},
      {"noise_ind", 0x02, 6, bytes(14, 0x22)},
      {"rx_msg_req", 0x03, 1, bytes(18, 0x33)},
  };
  std::uint16_t mid = 0x0100;
  for (const served& c : cases) {
    SCOPED_TRACE(c.path);
    rx_calls().clear();
    const bytes path = text_bytes(c.path);
    ++mid;
    bytes request = {0x40, c.code, static_cast<std::uint8_t>(mid >> 8),
                     static_cast<std::uint8_t>(mid)};
    if (path.size() <= 12) {
      request.push_back(static_cast<std::uint8_t>(0xB0 | path.size()));
    } else {
      request.push_back(0xBD);
      request.push_back(static_cast<std::uint8_t>(path.size() - 13));
    }
    request.insert(request.end(), path.begin(), path.end());
    if (!c.payload.empty()) {
      request.push_back(0xFF);
      request.insert(request.end(), c.payload.begin(), c.payload.end());
    }
    const auto answer = exchange(request);
    ASSERT_TRUE(answer.has_value());
    EXPECT_EQ(answer->data, (bytes{0x60, 0x43, static_cast<std::uint8_t>(mid >> 8),
                                   static_cast<std::uint8_t>(mid)}));
    ASSERT_TRUE(rx_calls().wait_for(1, 1s));
    const auto calls = rx_calls().calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].u32_kind, c.kind);
    EXPECT_EQ(calls[0].payload, c.payload);
    // Without payload the hand-off gets a null pointer and size 0.
    EXPECT_EQ(calls[0].b_null_payload, c.payload.empty());
  }
}

TEST_F(coap_server, non_confirmable_request_gets_non_confirmable_2_03) {
  // NON POST noise_ind, MID 0x4321, token 7e.
  bytes request = {0x51, 0x02, 0x43, 0x21, 0x7E, 0xB9};
  const bytes path = text_bytes("noise_ind");
  request.insert(request.end(), path.begin(), path.end());
  request.insert(request.end(), {0xFF, 90, 91, 92, 93, 94, 95, 96, 3, 4, 5, 6, 7, 8, 9});

  const auto answer = exchange(request);
  ASSERT_TRUE(answer.has_value());
  ASSERT_EQ(answer->data.size(), 5u);
  EXPECT_EQ(answer->data[0], 0x51);  // NON, token length 1
  EXPECT_EQ(answer->data[1], 0x43);  // 2.03
  EXPECT_EQ(answer->data[4], 0x7E);  // the request's token
  ASSERT_TRUE(rx_calls().wait_for(1, 1s));
  EXPECT_EQ(rx_calls().calls()[0].u32_kind, 6u);
}

TEST_F(coap_server, well_known_core_lists_the_four_resources_with_ct_0) {
  // CON GET .well-known/core, MID 0x0042.
  bytes request = {0x40, 0x01, 0x00, 0x42, 0xBB};
  const bytes seg1 = text_bytes(".well-known");
  request.insert(request.end(), seg1.begin(), seg1.end());
  request.push_back(0x04);
  const bytes seg2 = text_bytes("core");
  request.insert(request.end(), seg2.begin(), seg2.end());

  const auto answer = exchange(request);
  ASSERT_TRUE(answer.has_value());
  ASSERT_GE(answer->data.size(), 4u);
  EXPECT_EQ(answer->data[0], 0x60);
  EXPECT_EQ(answer->data[1], 0x45);  // 2.05
  const bytes listing = coap_payload(answer->data);
  EXPECT_EQ(std::string(listing.begin(), listing.end()),
            "</rx_msg_req>;ct=0,</info_ind>;ct=0,</firmware_install_ind>;ct=0,</noise_ind>;ct=0");
  EXPECT_FALSE(rx_calls().wait_for(1, 100ms));
}

TEST_F(coap_server, requests_without_handler_get_error_answers_and_are_not_handed_over) {
  struct unserved {
    const char* what;
    std::uint8_t code;
    const char* path;
    std::uint8_t expected;
  };
  const unserved cases[] = {
      {"GET on a modem resource", 0x01, "statistics_req", 0x84},  // 4.04
      {"PUT on info_ind", 0x03, "info_ind", 0x85},                // 4.05
      {"GET on noise_ind", 0x01, "noise_ind", 0x85},
  };
  for (const unserved& c : cases) {
    SCOPED_TRACE(c.what);
    const bytes path = text_bytes(c.path);
    bytes request = {0x40, c.code, 0x00, 0x07};
    if (path.size() <= 12) {
      request.push_back(static_cast<std::uint8_t>(0xB0 | path.size()));
    } else {
      request.push_back(0xBD);
      request.push_back(static_cast<std::uint8_t>(path.size() - 13));
    }
    request.insert(request.end(), path.begin(), path.end());
    request.insert(request.end(), {0xFF, 0x01});
    const auto answer = exchange(request);
    ASSERT_TRUE(answer.has_value());
    ASSERT_GE(answer->data.size(), 4u);
    EXPECT_EQ(answer->data[0], 0x60);
    EXPECT_EQ(answer->data[1], c.expected);
    EXPECT_EQ(answer->data[3], 0x07);
  }
  EXPECT_FALSE(rx_calls().wait_for(1, 100ms));
}

TEST_F(coap_server, multicast_request_to_the_group_is_handed_over) {
  udp_socket sender(eth0_ip, 0);
  sender.use_eth0_for_multicast();
  bytes request = {0x50, 0x02, 0x55, 0x66, 0xB9};
  const bytes path = text_bytes("noise_ind");
  request.insert(request.end(), path.begin(), path.end());
  request.insert(request.end(), {0xFF, 70, 71, 72, 73, 74, 75, 76, 1, 2, 3, 4, 5, 6, 7});
  ASSERT_TRUE(sender.send_to(ipv4("224.1.2.3", 5683), request));
  ASSERT_TRUE(rx_calls().wait_for(1, 2s));
  const auto calls = rx_calls().calls();
  EXPECT_EQ(calls[0].u32_kind, 6u);
  EXPECT_EQ(ntohs(calls[0].sender.addr.sin.sin_port), sender.port());
}

TEST_F(coap_server, quit_ends_the_loop_within_one_pass) {
  // More than one idle pass of 2 s goes by without the loop ending on its own.
  std::this_thread::sleep_for(2300ms);
  EXPECT_FALSE(done_.load());
  const auto start = std::chrono::steady_clock::now();
  coap_server_stop();
  server_.join();
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(result_.load(), 0);
  EXPECT_LE(elapsed, 3s);  // one pass is at most 2 s
  // The context is gone with the loop: nobody answers on 5683 any more.
  EXPECT_FALSE(exchange({0x40, 0x00, 0x00, 0x09}).has_value());
}

TEST(coap_server_start, fails_without_start_line_when_the_port_is_held) {
  NET_TEST_PREAMBLE();
  // A socket without SO_REUSEADDR keeps the library off port 5683.
  udp_socket holder("0.0.0.0", 5683);
  ASSERT_TRUE(holder.ok());
  quit = false;
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  const std::int32_t result = coap_server_task();
  const std::string out = testing::internal::GetCapturedStdout();
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(result, -1);
  EXPECT_EQ(out.find("Start CoAP server"), std::string::npos) << out;  // no endpoint, no start
  EXPECT_NE(err.find("no context available for interface '0.0.0.0'\n"), std::string::npos) << err;
}

// Runs in a child with only lo in its network namespace: the join has no route to go by, the
// server must still answer unicast. Returns the child's exit status.
int _serve_without_multicast() {
  if (unshare(CLONE_NEWNET) != 0 || std::system("ip link set lo up >/dev/null 2>&1") != 0) {
    return 3;
  }
  quit = false;
  std::thread server([] { coap_server_task(); });
  udp_socket client("127.0.0.1", 0);
  const sockaddr_in to = ipv4("127.0.0.1", 5683);
  bool b_answered = false;
  for (int i = 0; i < 40 && !b_answered; ++i) {
    client.send_to(
        to, {0x40, 0x03, 0x00, 0x05, 0xBA, 'r', 'x', '_', 'm', 's', 'g', '_', 'r', 'e', 'q'});
    const auto answer = client.receive(50ms);
    b_answered = answer && answer->data == bytes{0x60, 0x43, 0x00, 0x05};
  }
  coap_server_stop();
  client.send_to(to, {0x40, 0x00, 0x00});
  server.join();
  return b_answered ? 0 : 4;
}

TEST(coap_server_start, refused_multicast_join_is_reported_and_unicast_still_served) {
  NET_TEST_PREAMBLE();
  const test_support::child_run run = test_support::run_in_child(_serve_without_multicast);
  const std::string& out = run.out;
  ASSERT_NE(run.i_status, -1) << "the child did not start or did not exit";
  EXPECT_EQ(run.i_status, 0) << "3: no namespace, 4: no 2.03 answer";
  EXPECT_TRUE(
      re_search_lines(out, R"(:ERROR:\.\./tst/coap_server\.c:[0-9]+:cannot join multicast group$)"))
      << out;
  // The library's own lines go to standard error, never into the trace on standard output.
  EXPECT_EQ(out.find("setsockopt"), std::string::npos) << out;
}

TEST(coap_server_start, get_context_reports_unresolvable_node) {
  NET_TEST_PREAMBLE();
  testing::internal::CaptureStderr();
  coap_context_t* pt_ctx = get_context("not-an-address", "5683");
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(pt_ctx, nullptr);
  EXPECT_TRUE(re_search_lines(err, "^getaddrinfo: .+$")) << err;

  pt_ctx = get_context("0.0.0.0", "0");
  EXPECT_NE(pt_ctx, nullptr);
  coap_free_context(pt_ctx);
}

TEST(coap_server_start, app_get_ip_reads_eth0_and_leaves_text_on_failure) {
  NET_TEST_PREAMBLE();
  char ac_ip[16] = "0.0.0.0";
  EXPECT_EQ(app_get_ip("eth0", ac_ip), 1);
  EXPECT_STREQ(ac_ip, "10.77.0.1");

  std::strcpy(ac_ip, "0.0.0.0");
  SCOPED_TRACE("missing, over-long and empty interface names");
  EXPECT_EQ(app_get_ip("nosuch0", ac_ip), -1);
  EXPECT_EQ(app_get_ip("an-interface-name-far-too-long", ac_ip), -1);
  EXPECT_EQ(app_get_ip("", ac_ip), -1);
  EXPECT_STREQ(ac_ip, "0.0.0.0");
}

}  // namespace
