// CoAP request client against a raw UDP peer that plays the modem, inside the test's own
// network namespace.
#include "coap_client.h"

#include <arpa/inet.h>

#include <chrono>
#include <string>
#include <thread>

#include "net_support.h"

using namespace std::string_view_literals;

namespace {

class coap_client : public ::testing::Test {
 protected:
  void SetUp() override {
    NET_TEST_PREAMBLE();
    rx_calls().clear();
  }
  const coap_address_t modem_ = modem_address();
};

TEST_F(coap_client, request_bytes_with_and_without_uri_port) {
  modem_peer peer([](const bytes& req) { return ack_for(req, 0x44); });
  modem_peer other([](const bytes& req) { return ack_for(req, 0x44); }, 5684);
  ASSERT_TRUE(peer.ok() && other.ok());
  const std::uint8_t day = 1;
  testing::internal::CaptureStdout();
  EXPECT_EQ(coap_send_msg_request(&modem_, 5683, statistics_req, &day, 1), 0x44u);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(re_search_lines(out, R"(:DEBUG:[^:]*coap_client\.c:[0-9]+:COAP RES:2\.04$)")) << out;
  // A pointer without length, or a length without pointer, sends no payload.
  EXPECT_EQ(coap_send_msg_request(&modem_, 5684, log_req, &day, 0), 0x44u);
  EXPECT_EQ(coap_send_msg_request(&modem_, 5684, log_req, nullptr, 3), 0x44u);
  const auto received = peer.received();
  ASSERT_EQ(received.size(), 1u);
  const bytes& req = received[0].data;
  ASSERT_GE(req.size(), 4u);
  // CON GET, no token, Uri-Path "statistics_req" (extended length 14 - 13), marker, the day.
  bytes expected = {0x40, 0x01, req[2], req[3], 0xBD, 0x01};
  for (const char c : "statistics_req"sv) expected.push_back(static_cast<std::uint8_t>(c));
  expected.insert(expected.end(), {0xFF, 0x01});
  EXPECT_EQ(req, expected);
  const auto to_other = other.received();
  ASSERT_EQ(to_other.size(), 2u);
  for (const datagram& d : to_other) {
    // Uri-Port 5684 (delta 7, 2 bytes), then Uri-Path "log_req" (delta 4, 7 bytes); no marker.
    bytes with_port = {0x40, 0x01, d.data[2], d.data[3], 0x72, 0x16, 0x34, 0x47};
    for (const char c : "log_req"sv) with_port.push_back(static_cast<std::uint8_t>(c));
    EXPECT_EQ(d.data, with_port);
  }
  EXPECT_NE(to_other[0].from.sin_port, to_other[1].from.sin_port) << "a socket per request";
}

// What each answer gives back, what is handed over, and what reaches standard error: an error
// answer's text with its control and non-ASCII bytes shown as \xHH, never written raw.
TEST_F(coap_client, answers_by_code_and_resource) {
  const struct {
    lan_path_t path;
    std::uint8_t u8_type, u8_code;
    std::string_view payload;
    std::uint32_t result, kind;  // kind 0: not handed over
    const char* stderr_text;
  } cases[] = {
      {info_req, 0x60, 0x45, "info", 0x45, 2, ""},
      {statistics_req, 0x60, 0x45, "stats", 0x45, 4, ""},
      {config_get_param_req, 0x60, 0x45, "param", 0x45, 5, ""},
      {config_get_param_req, 0x60, 0x45, "", 0x45, 0, ""},
      {command_req, 0x60, 0x45, "other", 0x45, 0, ""},
      {command_req, 0x60, 0x84, "abc", 0x84, 0, "4.04 abc\n"},
      {command_req, 0x60, 0xA0, "", 0xA0, 0, "5.00\n"},
      {command_req, 0x60, 0x80, "ok \x1b[2J\n\xff\0\\"sv, 0x80, 0,
       "4.00 ok \\x1b[2J\\x0a\\xff\\x00\\\n"},
      {log_req, 0x70, 0x00, "", 0, 0, nullptr},  // reset: at once, 0
      {log_req, 0x60, 0x00, "", 0, 0, nullptr},  // empty acknowledgement
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.path.pc_path) + " " +
                 testing::PrintToString(std::string(c.payload)));
    rx_calls().clear();
    modem_peer peer([&](const bytes& req) {
      bytes answer = ack_for(req, c.u8_code, c.payload);
      answer[0] = c.u8_type;
      return answer;
    });
    ASSERT_TRUE(peer.ok());
    testing::internal::CaptureStderr();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(coap_send_msg_request(&modem_, 5683, c.path, nullptr, 0), c.result);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    const std::string err = testing::internal::GetCapturedStderr();
    if (c.stderr_text != nullptr) {
      EXPECT_EQ(err, c.stderr_text);
    }
    const auto calls = rx_calls();
    ASSERT_EQ(calls.size(), c.kind == 0 ? 0u : 1u);
    if (c.kind == 0) continue;
    EXPECT_EQ(calls[0].u32_kind, c.kind);
    EXPECT_EQ(calls[0].payload, bytes(c.payload.begin(), c.payload.end()));
    // The sender is the modem's address at port 5683.
    EXPECT_EQ(ntohs(calls[0].sender.addr.sin.sin_port), 5683);
    EXPECT_EQ(calls[0].sender.addr.sin.sin_addr.s_addr, modem_.addr.sin.sin_addr.s_addr);
  }
}

TEST_F(coap_client, payload_too_large_or_no_destination_is_not_sent) {
  modem_peer peer([](const bytes& req) { return ack_for(req, 0x44); }, 5683, 1500ms);
  ASSERT_TRUE(peer.ok());
  const bytes fits(1370, 0xA5);
  EXPECT_EQ(coap_send_msg_request(&modem_, 5683, tx_msg_req, fits.data(), 1370), 0x44u);
  const bytes too_large(1400, 0x5A);
  coap_address_t t_unspec;
  coap_address_init(&t_unspec);
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  EXPECT_EQ(coap_send_msg_request(&modem_, 5683, tx_msg_req, too_large.data(), 1400), 0u);
  EXPECT_EQ(coap_send_msg_request(&t_unspec, 5683, log_req, nullptr, 0), 0u);
  EXPECT_EQ(coap_send_msg_request(nullptr, 5683, log_req, nullptr, 0), 0u);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << "library complaints go to stderr";
  EXPECT_TRUE(
      re_search_lines(err, "^payload of 1400 bytes does not fit in a request on tx_msg_req$"))
      << err;
  EXPECT_NE(err.find("cannot create context"), std::string::npos) << err;
  std::this_thread::sleep_for(200ms);
  const auto received = peer.received();
  ASSERT_EQ(received.size(), 1u);
  EXPECT_EQ(received[0].data.size(), 4u + 11u + 1u + 1370u) << "header, Uri-Path, marker, payload";
}

}  // namespace
