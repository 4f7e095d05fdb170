// What a modem's answers could abuse in the outbound path: raw bytes of an error answer on
// standard error.
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "app_lan_msg.h"
#include "coap_client.h"
#include "net_support.h"

// An error answer's text reaches standard error with its control and non-ASCII bytes shown as
// \xHH, never written raw.
TEST(hostile_answer, error_payload_bytes_are_escaped_on_stderr) {
  NET_TEST_PREAMBLE();
  // ACK 4.00 with text holding an escape sequence, a newline, 0xFF, NUL and a backslash.
  static constexpr char text[] = "ok \x1b[2J\n\xff";
  modem_peer peer([](const bytes& req) {
    std::string payload(text);
    payload.append(1, '\0').append(1, '\\');
    return ack_for(req, 0x80, payload);
  });
  ASSERT_TRUE(peer.ok());
  coap_address_t t_modem = modem_address();
  testing::internal::CaptureStderr();
  const std::uint32_t u32_code = coap_send_msg_request(&t_modem, 5683, command_req, nullptr, 0);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(u32_code, 0x80u);
  EXPECT_EQ(err, "4.00 ok \\x1b[2J\\x0a\\xff\\x00\\\n");
}
