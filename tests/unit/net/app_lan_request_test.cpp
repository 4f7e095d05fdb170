// Outbound requests the end-to-end tests do not reach: the lower-layer requests on a registry
// entry and the refusals of the public ones, checked on the wire against a raw peer. (Every
// action of the command line is compared on the wire by the end-to-end tests.)
#include "app_lan_request.h"

#include <cstdio>
#include <string>
#include <vector>

#include "app_lan_internal.h"
#include "net_support.h"
#include "stdout_capture.h"
#include "test_wait.h"

namespace {

// "path payload-hex" of a CoAP request to port 5683: its one option is the Uri-Path.
std::string summary(const bytes& req) {
  std::size_t i = 4 + (req.at(0) & 0x0F);
  std::size_t len = req.at(i) & 0x0F;
  if (len == 13) len = 13 + req.at(++i);
  std::string s(req.begin() + static_cast<long>(i + 1),
                req.begin() + static_cast<long>(i + 1 + len));
  s += " ";
  char ac[3];
  for (std::size_t j = i + 2 + len; j < req.size(); ++j) {
    std::snprintf(ac, sizeof ac, "%02x", req[j]);
    s += ac;
  }
  return s;
}

}  // namespace

TEST(app_lan_request, lower_layer_requests_and_refusals) {
  NET_TEST_PREAMBLE();
  modem_peer peer([](const bytes& req) { return ack_for(req, 0x44); });
  ASSERT_TRUE(peer.ok());
  detail::app_lan_reset();
  lan_modem_entry entry{};
  entry.t_addr = modem_address();
  const std::uint8_t frame[2] = {0x11, 0x22}, ext[1] = {0xE1};
  std::uint8_t raw[8] = {0, 0, 0, 0, 0, 0, 0xAB, 0xCD};
  EXPECT_EQ(app_lan_configure(&entry), 0x44u);
  EXPECT_EQ(app_lan_log_req(&entry), 0x44u);
  EXPECT_EQ(app_lan_send_command(&entry, 2), 1);
  app_lan_tx_msg_req(&entry, 7, 8, 1, 2, 3, 4, 9, frame, 2);
  EXPECT_EQ(app_lan_tx_raw_msg_req(&entry, 0x0A0B0C0D, 0x0E0F, raw, 8), 0x44u);
  app_lan_tx_extended_msg_req(&entry, 0x11111111, 0x2222, 0x33333333, 0x44444444, 0x55, 0x66,
                              0x77777777, 0x88, 0x99, 0xAAAA, 0xBB, 0xCCCC, 0xDD, 0xEE, frame, 2,
                              ext, 1);
  const std::uint8_t big[250] = {};
  const std::string out = test_support::captured([&] {
    EXPECT_EQ(app_lan_tx_raw_msg_req(&entry, 1, 2, raw, 5), 0u);
    app_lan_tx_extended_msg_req(&entry, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, nullptr, 4,
                                nullptr, 0);
    app_lan_tx_msg_req(&entry, 0, 0, 0, 0, 0, 0, 0, nullptr, 3);
    EXPECT_EQ(app_lan_configure(nullptr) + app_lan_log_req(nullptr), 0u);
    EXPECT_EQ(app_lan_set_param_req(0x99, 0x101, big, 250), -1);
    EXPECT_EQ(app_lan_modem_command_req(0x99, 7), -1);
    EXPECT_EQ(app_lan_modem_configure(0x99, raw, 8), -1);
    EXPECT_EQ(app_lan_firmware_upgrade_request(0x99, "/nonexistent/fw", "manual"), -1);
    EXPECT_EQ(app_lan_tx_file_request(0x99, "/nonexistent/ep", 100, 5), -1);
    EXPECT_EQ(app_lan_update_modem_statistic(0), 1);  // nobody registered: nothing sent
  });
  for (const char* pc :
       {"Raw tx msg too short (length:5)", "Invalid tx ext msg (frame:4, ext:0)",
        "No frame for tx msg (length:3)", "Invalid value (length:250) for parameter 0x101",
        "Empty firmware for upgrade(/nonexistent/fw), name:manual",
        "Empty file for download(/nonexistent/ep)"}) {
    EXPECT_NE(out.find(pc), std::string::npos) << pc << "\n" << out;
  }
  EXPECT_TRUE(test_support::wait_until([&] { return peer.received().size() >= 6; }));
  std::vector<std::string> got;
  for (const datagram& d : peer.received()) got.push_back(summary(d.data));
  EXPECT_EQ(got,
            (std::vector<std::string>{"rx_mode_config_req 0000000000000000000000000000", "log_req ",
                                      "command_req 02", "tx_msg_req 070000000800020001020304091122",
                                      "tx_msg_req 0d0c0b0a0f0eabcd",
                                      "tx_msg_ext_req 3333333377777777111111114444444422"
                                      "22cccc0200aaaa889966ee55bbdd011122e1"}));
}
