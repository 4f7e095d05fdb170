// CoAP request client against a raw UDP peer that plays the modem, inside the test's own
// network namespace.
#include "coap_client.h"

#include <arpa/inet.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "coap_client_internal.h"
#include "net_support.h"

using namespace std::chrono_literals;

namespace {

// The modem's address as the registry records it: its source port, which the request replaces.
coap_address_t modem_address() {
  coap_address_t t_addr;
  coap_address_init(&t_addr);
  t_addr.size = sizeof(sockaddr_in);
  t_addr.addr.sin = ipv4(eth0_ip, 40000);
  return t_addr;
}

// Piggybacked answer (ACK, no token) to @p request with @p code and @p payload.
bytes ack_for(const bytes& request, std::uint8_t code, std::string_view payload = {}) {
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
          // Recorded before the answer, which lets the request return.
          const std::lock_guard lock(mutex_);
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

class coap_client : public ::testing::Test {
 protected:
  void SetUp() override {
    NET_TEST_PREAMBLE();
    rx_calls().clear();
  }
  void TearDown() override { detail::u32_request_timeout_ms = detail::request_timeout_s * 1000; }
  const coap_address_t modem_ = modem_address();
};

TEST_F(coap_client, request_is_one_confirmable_message_with_the_name_as_uri_path) {
  modem_peer peer([](const bytes& req) { return ack_for(req, 0x44); });
  ASSERT_TRUE(peer.ok());
  const std::uint8_t day = 1;
  testing::internal::CaptureStdout();
  const std::uint32_t result = coap_send_msg_request(&modem_, 5683, statistics_req, &day, 1);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(result, 0x44u);
  EXPECT_TRUE(re_search_lines(out, R"(:DEBUG:[^:]*coap_client\.c:[0-9]+:COAP RES:2\.04$)")) << out;

  const auto received = peer.received();
  ASSERT_EQ(received.size(), 1u);
  const bytes& req = received[0].data;
  ASSERT_GE(req.size(), 4u);
  // CON GET, no token, the message ID the library drew, Uri-Path "statistics_req" (14 bytes:
  // extended length 14 - 13), payload marker, the day.
  bytes expected = {0x40, 0x01, req[2], req[3], 0xBD, 0x01};
  const bytes name = text_bytes("statistics_req");
  expected.insert(expected.end(), name.begin(), name.end());
  expected.insert(expected.end(), {0xFF, 0x01});
  EXPECT_EQ(req, expected);
  EXPECT_TRUE(rx_calls().calls().empty());  // a 2.04 carries nothing the tool wants
}

TEST_F(coap_client, content_answers_are_handed_over_by_resource) {
  struct routed {
    lan_path_t path;
    const char* payload;
    std::uint32_t kind;  // 0: not handed over
  };
  const routed cases[] = {
      {info_req, "info", 2},
      {statistics_req, "stats", 4},
      {config_get_param_req, "param", 5},
      {config_get_param_req, "", 0},  // 2.05 without payload
      {command_req, "other", 0},
  };
  for (const routed& c : cases) {
    SCOPED_TRACE(std::string(c.path.pc_path) + " '" + c.payload + "'");
    rx_calls().clear();
    modem_peer peer([&](const bytes& req) { return ack_for(req, 0x45, c.payload); });
    ASSERT_TRUE(peer.ok());
    EXPECT_EQ(coap_send_msg_request(&modem_, 5683, c.path, nullptr, 0), 0x45u);
    const auto calls = rx_calls().calls();
    if (c.kind == 0) {
      EXPECT_TRUE(calls.empty());
      continue;
    }
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].u32_kind, c.kind);
    EXPECT_EQ(calls[0].payload, text_bytes(c.payload));
    // The sender is the modem's address at port 5683.
    EXPECT_EQ(calls[0].sender.addr.sin.sin_family, AF_INET);
    EXPECT_EQ(ntohs(calls[0].sender.addr.sin.sin_port), 5683);
    EXPECT_EQ(calls[0].sender.addr.sin.sin_addr.s_addr, modem_.addr.sin.sin_addr.s_addr);
  }
}

TEST_F(coap_client, error_answers_are_written_to_stderr) {
  struct failing {
    std::uint8_t code;
    const char* payload;
    const char* expected;
  };
  const failing cases[] = {
      {0x84, "abc", "4.04 abc\n"},
      {0x84, "", "4.04\n"},
      {0xA0, "", "5.00\n"},
  };
  for (const failing& c : cases) {
    SCOPED_TRACE(c.expected);
    modem_peer peer([&](const bytes& req) { return ack_for(req, c.code, c.payload); });
    ASSERT_TRUE(peer.ok());
    testing::internal::CaptureStderr();
    const std::uint32_t result = coap_send_msg_request(&modem_, 5683, command_req, nullptr, 0);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(result, c.code);
    EXPECT_EQ(err, c.expected);
  }
  EXPECT_TRUE(rx_calls().calls().empty());
}

TEST_F(coap_client, reset_or_empty_ack_ends_the_request_at_once_with_0) {
  struct ending {
    const char* what;
    std::uint8_t first_byte;
  };
  for (const ending& c : {ending{"reset", 0x70}, ending{"empty acknowledgement", 0x60}}) {
    SCOPED_TRACE(c.what);
    modem_peer peer([&](const bytes& req) { return bytes{c.first_byte, 0x00, req[2], req[3]}; });
    ASSERT_TRUE(peer.ok());
    testing::internal::CaptureStderr();
    const auto start = std::chrono::steady_clock::now();
    const std::uint32_t result = coap_send_msg_request(&modem_, 5683, log_req, nullptr, 0);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    testing::internal::GetCapturedStderr();  // the library reports the reset itself
    EXPECT_EQ(result, 0u);
    EXPECT_LT(elapsed, 1s);
    EXPECT_EQ(peer.received().size(), 1u);
  }
}

TEST_F(coap_client, unanswered_request_is_retransmitted_and_gives_0_at_the_deadline) {
  // The first retransmission comes 2 to 3 s after the first send, the next one 4 to 6 s later.
  detail::u32_request_timeout_ms = 3500;
  modem_peer peer(nullptr, 5683, 5s);
  ASSERT_TRUE(peer.ok());
  const auto start = std::chrono::steady_clock::now();
  const std::uint32_t result = coap_send_msg_request(&modem_, 5683, noise_req, nullptr, 0);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(result, 0u);
  EXPECT_GE(elapsed, 3500ms);
  EXPECT_LT(elapsed, 6s);
  const auto received = peer.received();
  ASSERT_EQ(received.size(), 2u);
  EXPECT_EQ(received[0].data, received[1].data);  // same message, same ID
}

TEST_F(coap_client, other_port_adds_uri_port_before_uri_path) {
  modem_peer peer([](const bytes& req) { return ack_for(req, 0x44); }, 5684);
  ASSERT_TRUE(peer.ok());
  const std::uint8_t unused = 0x55;
  SCOPED_TRACE("payload pointer without length and length without pointer send no payload");
  EXPECT_EQ(coap_send_msg_request(&modem_, 5684, log_req, &unused, 0), 0x44u);
  EXPECT_EQ(coap_send_msg_request(&modem_, 5684, log_req, nullptr, 3), 0x44u);
  const auto received = peer.received();
  ASSERT_EQ(received.size(), 2u);
  for (const datagram& d : received) {
    const bytes& req = d.data;
    ASSERT_GE(req.size(), 4u);
    // Uri-Port 5684 (delta 7, 2 bytes), then Uri-Path "log_req" (delta 4, 7 bytes); no marker.
    bytes expected = {0x40, 0x01, req[2], req[3], 0x72, 0x16, 0x34, 0x47};
    const bytes name = text_bytes("log_req");
    expected.insert(expected.end(), name.begin(), name.end());
    EXPECT_EQ(req, expected);
  }
  // Each request has a socket of its own.
  EXPECT_NE(received[0].from.sin_port, received[1].from.sin_port);
}

TEST_F(coap_client, payload_too_large_for_one_message_is_not_sent) {
  modem_peer peer([](const bytes& req) { return ack_for(req, 0x44); }, 5683, 1500ms);
  ASSERT_TRUE(peer.ok());
  SCOPED_TRACE("the largest payload that fits goes out whole");
  const bytes fits(1370, 0xA5);
  EXPECT_EQ(coap_send_msg_request(&modem_, 5683, tx_msg_req, fits.data(), 1370), 0x44u);
  const bytes too_large(1400, 0x5A);
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  EXPECT_EQ(coap_send_msg_request(&modem_, 5683, tx_msg_req, too_large.data(), 1400), 0u);
  const std::string err = testing::internal::GetCapturedStderr();
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(
      re_search_lines(err, "^payload of 1400 bytes does not fit in a request on tx_msg_req$"))
      << err;
  // The library's own complaint goes to standard error too, never into the trace.
  EXPECT_EQ(out, "");
  std::this_thread::sleep_for(200ms);
  const auto received = peer.received();
  ASSERT_EQ(received.size(), 1u);
  // Header 4, Uri-Path 1 + 10, marker 1, payload.
  EXPECT_EQ(received[0].data.size(), 4u + 11u + 1u + 1370u);
}

TEST_F(coap_client, unreachable_destination_family_gives_0) {
  coap_address_t t_addr;
  coap_address_init(&t_addr);  // AF_UNSPEC
  testing::internal::CaptureStderr();
  EXPECT_EQ(coap_send_msg_request(&t_addr, 5683, log_req, nullptr, 0), 0u);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("cannot create context"),
            std::string::npos);
  EXPECT_EQ(coap_send_msg_request(nullptr, 5683, log_req, nullptr, 0), 0u);
}

TEST(coap_client_options, insertion_keeps_number_order_and_path_order) {
  NET_TEST_PREAMBLE();
  const std::uint8_t a = 'a', b = 'b', port = 1;
  coap_optlist_t* pt_chain = nullptr;
  detail::insert_option(&pt_chain, new_option_node(COAP_OPTION_URI_PATH, 1, &a));
  detail::insert_option(&pt_chain, new_option_node(COAP_OPTION_URI_PORT, 1, &port));
  detail::insert_option(&pt_chain, new_option_node(COAP_OPTION_URI_PATH, 1, &b));
  ASSERT_NE(pt_chain, nullptr);
  std::vector<std::pair<std::uint16_t, std::uint8_t>> seen;
  for (const coap_optlist_t* p = pt_chain; p != nullptr; p = p->next) {
    ASSERT_EQ(p->length, 1u);
    seen.emplace_back(p->number, p->data[0]);
  }
  EXPECT_EQ(
      seen,
      (std::vector<std::pair<std::uint16_t, std::uint8_t>>{
          {COAP_OPTION_URI_PORT, 1}, {COAP_OPTION_URI_PATH, 'a'}, {COAP_OPTION_URI_PATH, 'b'}}));

  SCOPED_TRACE("order_opts: -1 smaller, 1 equal, 0 larger");
  EXPECT_EQ(order_opts(pt_chain, pt_chain->next), -1);
  EXPECT_EQ(order_opts(pt_chain->next, pt_chain->next->next), 1);
  EXPECT_EQ(order_opts(pt_chain->next, pt_chain), 0);
  coap_delete_optlist(pt_chain);
}

}  // namespace
