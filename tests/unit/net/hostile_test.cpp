// What a modem's answers or a user's path could abuse in the outbound path: raw bytes of an error
// answer on standard error, and a '\' in a path that would stage another file than the one
// measured.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "app_lan_msg.h"
#include "app_lan_request.h"
#include "coap_client.h"
#include "lan_peer.h"

using namespace lan_test;

namespace {

constexpr std::uint32_t modem_id = 0x1a2b3c4d;

class hostile_request : public lan_peer_fixture {};

}  // namespace

// The measured file is the staged file: 'a\b.bin' is one name, not a/b.bin.
TEST_F(hostile_request, firmware_path_with_a_backslash_stages_the_file_measured) {
  temp_dir src;
  temp_dir ftp;
  ASSERT_EQ(mkdir((src / "a").c_str(), 0755), 0);
  write_file(src / "a/b.bin", 1000, 'o');
  write_file(src / "a\\b.bin", 10, 'n');
  const std::string path = src / "a\\b.bin";
  const child_run run = run_with_private_ftp(ftp.path(), [&] {
    detail::app_lan_reset();
    if (register_modem(modem_id, eth0_ip) != 1) return 80;
    return app_lan_firmware_upgrade_request(modem_id, path.c_str(), "manual") == 1 ? 0 : 1;
  });
  ASSERT_EQ(run.i_status, 0) << run.out;
  EXPECT_EQ(test_support::read_file(ftp / "1a2b3c4d"), std::string(10, 'n'));
  EXPECT_EQ(file_size(src / "a/b.bin"), 1000u);
  EXPECT_FALSE(exists(path));
  const auto requests = sent();
  ASSERT_EQ(requests.size(), 1u);
  ASSERT_GE(requests[0].payload.size(), 4u);
  EXPECT_EQ(requests[0].payload[0], 10);  // the size announced is the size staged
}

// An error answer's text reaches standard error with its control and non-ASCII bytes shown as
// \xHH, never written raw.
TEST(hostile_answer, error_payload_bytes_are_escaped_on_stderr) {
  NET_TEST_PREAMBLE();
  udp_socket modem(eth0_ip, 5683);
  ASSERT_TRUE(modem.ok());
  std::thread answer([&] {
    if (auto d = modem.receive(std::chrono::seconds(5)); d && d->data.size() >= 4) {
      // ACK 4.00, payload marker, then text with an escape sequence, a newline, 0xFF, NUL.
      modem.send_to(d->from, {0x60, 0x80, d->data[2], d->data[3], 0xFF, 'o', 'k', ' ', 0x1b, '[',
                              '2', 'J', '\n', 0xff, 0x00, '\\'});
    }
  });
  coap_address_t t_modem = modem_address(eth0_ip, 40000);
  testing::internal::CaptureStderr();
  const std::uint32_t u32_code = coap_send_msg_request(&t_modem, 5683, command_req, nullptr, 0);
  const std::string err = testing::internal::GetCapturedStderr();
  answer.join();
  EXPECT_EQ(u32_code, 0x80u);
  EXPECT_EQ(err, "4.00 ok \\x1b[2J\\x0a\\xff\\x00\\\n");
}
