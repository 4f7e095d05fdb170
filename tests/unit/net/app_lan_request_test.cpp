// Outbound modem requests checked on the wire: raw UDP peers play the modems inside the test's
// network namespace; files are staged only in forked children whose /var/ftp is private.
#include "app_lan_request.h"

#include <array>
#include <string>

#include "lan_peer.h"

using namespace lan_test;
using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStdout;

namespace {

constexpr std::uint32_t modem_id = 0x1a2b3c4d;

// Every test starts with an empty registry, a modem peer on eth0's address, and ends with the
// blocks it started with.
class app_lan_request : public lan_peer_fixture {};

bytes with_name(bytes head, const std::string& name) {
  head.insert(head.end(), name.begin(), name.end());
  head.push_back(0);
  return head;
}

// A registry entry of a modem at @p pc_ip, outside the registry.
lan_modem_entry entry_at(const char* pc_ip) {
  lan_modem_entry entry{};
  entry.t_addr = modem_address(pc_ip, 40000);
  return entry;
}

// Child body: registers the modem (unless told not to), runs @p op and reports the blocks.
int in_child(bool b_register, const std::function<int()>& op) {
  detail::app_lan_reset();
  if (b_register && register_modem(modem_id, eth0_ip) != 1) return 80;
  const alloc_mark mark;
  const int i_result = op();
  if (!mark.balanced()) return 81;
  return i_result;
}

}  // namespace

// ---- firmware upgrade -------------------------------------------------------------------------

TEST_F(app_lan_request, firmware_upgrade_stages_the_image_records_it_and_sends_size_and_name) {
  temp_dir src;
  temp_dir ftp;
  write_file(src / "fw.bin", 1000);
  write_file(ftp / "1a2b3c4d", 10, 'o');  // an earlier image for the same modem
  const std::string path = src / "fw.bin";
  const child_run run = run_with_private_ftp(ftp.path(), [&] {
    return in_child(true, [&] {
      if (app_lan_firmware_upgrade_request(modem_id, path.c_str(), "manual") != 1) return 1;
      lan_modem_entry entry{};
      if (app_lan_find_modem(modem_id, &entry) != 1) return 2;
      std::printf("label:%s staged:%s\n", entry.ac_fw_label, entry.ac_fw_staged);
      return 0;
    });
  });
  ASSERT_EQ(run.i_status, 0) << run.out;
  EXPECT_TRUE(
      has_line(run.out, "DEBUG", "app_lan", "Request fw upgrade of Modem 1a2b3c4d (" + path + ")"));
  EXPECT_TRUE(re_search_lines(run.out, line("DEBUG", "app_lan",
                                            "Request fw upgrade of Modem 1a2b3c4d (1a2b3c4d), "
                                            "name:manual, size:1000")
                                           .c_str()))
      << run.out;
  EXPECT_TRUE(re_search_lines(run.out, "^label:manual staged:1a2b3c4d$")) << run.out;
  EXPECT_FALSE(exists(path));
  EXPECT_EQ(file_size(ftp / "1a2b3c4d"), 1000u);

  const auto requests = sent();
  ASSERT_EQ(requests.size(), 1u);
  expect_request(requests[0], post, "firmware_upgrade_req",
                 with_name({0xE8, 0x03, 0x00, 0x00, 0x08, 0x00}, "1a2b3c4d"));
  EXPECT_EQ(requests[0].payload.size(), 15u);
}

TEST_F(app_lan_request, firmware_upgrade_takes_a_relative_path_from_the_working_directory) {
  temp_dir src;
  temp_dir ftp;
  write_file(src / "fw.bin", 64);
  const child_run run = run_with_private_ftp(ftp.path(), [&] {
    return in_child(true, [&] {
      if (chdir(src.path().c_str()) != 0) return 3;
      return app_lan_firmware_upgrade_request(modem_id, "fw.bin", "manual") == 1 ? 0 : 1;
    });
  });
  ASSERT_EQ(run.i_status, 0) << run.out;
  EXPECT_FALSE(exists(src / "fw.bin"));
  EXPECT_EQ(file_size(ftp / "1a2b3c4d"), 64u);
  const auto requests = sent();
  ASSERT_EQ(requests.size(), 1u);
  expect_request(requests[0], post, "firmware_upgrade_req",
                 with_name({64, 0, 0, 0, 8, 0}, "1a2b3c4d"));
}

TEST_F(app_lan_request, firmware_upgrade_with_an_empty_file_deletes_it_and_sends_nothing) {
  temp_dir src;
  temp_dir ftp;
  write_file(src / "fw.bin", 0);
  const std::string path = src / "fw.bin";
  const child_run run = run_with_private_ftp(ftp.path(), [&] {
    return in_child(true, [&] {
      return app_lan_firmware_upgrade_request(modem_id, path.c_str(), "manual") == -1 ? 0 : 1;
    });
  });
  ASSERT_EQ(run.i_status, 0) << run.out;
  EXPECT_TRUE(has_line(run.out, "ERROR", "app_lan",
                       "Empty firmware for upgrade(" + path + "), name:manual"));
  EXPECT_FALSE(exists(path));
  EXPECT_TRUE(std::filesystem::is_empty(ftp.path()));
  EXPECT_TRUE(sent().empty());
}

TEST_F(app_lan_request, firmware_upgrade_that_fails_leaves_the_image_where_it_was) {
  struct row {
    const char* pc_case;
    bool b_register;
    ftp_dir e_ftp;
    std::string expected;
  };
  temp_dir src;
  const std::string path = src / "fw.bin";
  const row rows[] = {
      {"modem not registered", false, ftp_dir::bound,
       "No Modem 1a2b3c4d for fw upgrade(1a2b3c4d), name:manual"},
      {"staging directory is a file", true, ftp_dir::blocked,
       "Can not move fw file " + path + " to /var/ftp/1a2b3c4d"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.pc_case);
    temp_dir ftp;
    write_file(path, 1000);
    const child_run run = run_with_private_ftp(
        ftp.path(),
        [&] {
          return in_child(r.b_register, [&] {
            return app_lan_firmware_upgrade_request(modem_id, path.c_str(), "manual") == -1 ? 0 : 1;
          });
        },
        r.e_ftp);
    ASSERT_EQ(run.i_status, 0) << run.out;
    EXPECT_TRUE(has_line(run.out, "ERROR", "app_lan", r.expected));
    EXPECT_EQ(file_size(path), 1000u);
    EXPECT_TRUE(std::filesystem::is_empty(ftp.path()));
  }
  EXPECT_TRUE(sent().empty());
}

// ---- end-point file ---------------------------------------------------------------------------

TEST_F(app_lan_request, endpoint_file_is_staged_and_sent_with_its_packet_size) {
  temp_dir src;
  temp_dir ftp;
  write_file(src / "ep.bin", 1000);
  const std::string path = src / "ep.bin";
  const child_run run = run_with_private_ftp(ftp.path(), [&] {
    return in_child(
        true, [&] { return app_lan_tx_file_request(modem_id, path.c_str(), 100, 5) == 1 ? 0 : 1; });
  });
  ASSERT_EQ(run.i_status, 0) << run.out;
  EXPECT_TRUE(has_line(run.out, "DEBUG", "app_lan", "Request donwnload  file " + path));
  EXPECT_FALSE(exists(path));
  EXPECT_EQ(file_size(ftp / "tx_1a2b3c4d"), 1000u);
  const auto requests = sent();
  ASSERT_EQ(requests.size(), 1u);
  // reserved, size 1000, name length 11, reserved, packet size 100, gap 5, radio 16 2 0 27.
  expect_request(requests[0], put, "tx_file_req",
                 with_name({0, 0, 0, 0, 0xE8, 0x03, 0, 0, 11, 0, 0, 0, 100, 0, 5, 16, 2, 0, 27},
                           "tx_1a2b3c4d"));
}

TEST_F(app_lan_request, endpoint_file_that_is_refused_stays_where_it_was) {
  struct row {
    const char* pc_case;
    std::size_t size;
    std::uint32_t u32_packet;
    bool b_register;
    ftp_dir e_ftp;
    std::string expected;
  };
  temp_dir src;
  const std::string path = src / "ep.bin";
  const row rows[] = {
      {"size not a multiple", 1000, 300, true, ftp_dir::bound,
       "file not wellformed, size 1000 is not modulo 300 "},
      {"packet size 0", 1000, 0, true, ftp_dir::bound,
       "Invalid packet size 0 for download(" + path + ")"},
      {"packet size beyond 16 bits", 65536 * 2, 65536, true, ftp_dir::bound,
       "Invalid packet size 65536 for download(" + path + ")"},
      {"empty file", 0, 100, true, ftp_dir::bound, "Empty file for download(" + path + ")"},
      {"modem not registered", 1000, 100, false, ftp_dir::bound,
       "No Modem 1a2b3c4d for fw download(" + path + ")"},
      {"staging directory is a file", 1000, 100, true, ftp_dir::blocked,
       "Can not move fw file " + path + " to /var/ftp/tx_1a2b3c4d"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.pc_case);
    temp_dir ftp;
    write_file(path, r.size);
    const child_run run = run_with_private_ftp(
        ftp.path(),
        [&] {
          return in_child(r.b_register, [&] {
            return app_lan_tx_file_request(modem_id, path.c_str(), r.u32_packet, 5) == -1 ? 0 : 1;
          });
        },
        r.e_ftp);
    ASSERT_EQ(run.i_status, 0) << run.out;
    EXPECT_TRUE(has_line(run.out, "ERROR", "app_lan", r.expected));
    EXPECT_TRUE(exists(path));
    EXPECT_EQ(file_size(path), r.size);
    EXPECT_TRUE(std::filesystem::is_empty(ftp.path()));
  }
  EXPECT_TRUE(sent().empty());
}

// ---- requests without a file ------------------------------------------------------------------

TEST_F(app_lan_request, statistics_go_to_every_registered_modem_entry_0_first) {
  modem_peer loopback("127.0.0.1", "lo", log_);
  ASSERT_TRUE(loopback.ok());
  register_here(0x11, eth0_ip);      // first registered: entry 4
  register_here(0x22, "127.0.0.1");  // then entry 3
  EXPECT_EQ(app_lan_update_modem_statistic(1), 1);
  loopback.stop();
  const auto requests = sent();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].peer, "lo");
  EXPECT_EQ(requests[1].peer, "eth0");
  for (const auto& r : requests) expect_request(r, get, "statistics_req", {0x01});
}

TEST_F(app_lan_request, statistics_without_modems_send_nothing) {
  EXPECT_EQ(app_lan_update_modem_statistic(0), 1);
  EXPECT_TRUE(sent().empty());
}

TEST_F(app_lan_request, parameter_write_sends_identifier_length_and_value) {
  register_here(modem_id);
  const std::array<std::uint8_t, 2> value{0x0A, 0xFF};
  EXPECT_EQ(app_lan_set_param_req(modem_id, 0x101, value.data(), 2), 1);
  {
    SCOPED_TRACE("value longer than 249 bytes is refused");
    const std::array<std::uint8_t, 250> big{};
    CaptureStdout();
    EXPECT_EQ(app_lan_set_param_req(modem_id, 0x101, big.data(), 250), -1);
    const std::string out = GetCapturedStdout();
    EXPECT_TRUE(
        has_line(out, "ERROR", "app_lan", "Invalid value (length:250) for parameter 0x101"));
  }
  {
    SCOPED_TRACE("249 bytes are sent whole");
    const std::array<std::uint8_t, 249> full{};
    EXPECT_EQ(app_lan_set_param_req(modem_id, 0x0203, full.data(), 249), 1);
  }
  EXPECT_EQ(app_lan_set_param_req(0x999, 0x101, value.data(), 2), 1);  // not registered
  const auto requests = sent();
  ASSERT_EQ(requests.size(), 2u);
  expect_request(requests[0], post, "config_set_param_req", {0x01, 0x01, 0x02, 0x0A, 0xFF});
  bytes full_payload = {0x03, 0x02, 249};
  full_payload.resize(252, 0);
  expect_request(requests[1], post, "config_set_param_req", full_payload);
}

TEST_F(app_lan_request, parameter_read_noise_and_forced_update) {
  register_here(modem_id);
  EXPECT_EQ(app_lan_get_param_req(modem_id, 0x0102), 1);
  EXPECT_EQ(app_lan_noise_req_test(modem_id, 10, 5), 1);
  EXPECT_EQ(app_lan_force_update_req(modem_id), 1);
  {
    SCOPED_TRACE("modem not registered: 1, nothing sent");
    EXPECT_EQ(app_lan_get_param_req(0x999, 0x0102), 1);
    EXPECT_EQ(app_lan_noise_req_test(0x999, 10, 5), 1);
    EXPECT_EQ(app_lan_force_update_req(0x999), 1);
  }
  const auto requests = sent();
  ASSERT_EQ(requests.size(), 3u);
  expect_request(requests[0], get, "config_get_param_req", {0x02, 0x01});
  expect_request(requests[1], get, "noise_req", {0x0A, 0x05});
  expect_request(requests[2], post, "firmware_force_update_req", {});
}

TEST_F(app_lan_request, command_and_receiver_modes_need_a_registered_modem) {
  register_here(modem_id);
  const std::array<std::uint8_t, 14> modes{16, 0, 16, 1, 16, 2, 16, 3, 16, 4, 16, 5, 0, 0};
  EXPECT_EQ(app_lan_modem_command_req(modem_id, 7), 1);
  EXPECT_EQ(app_lan_modem_configure(modem_id, modes.data(), 14), 1);
  EXPECT_EQ(app_lan_modem_command_req(0x999, 7), -1);
  EXPECT_EQ(app_lan_modem_configure(0x999, modes.data(), 14), -1);
  const auto requests = sent();
  ASSERT_EQ(requests.size(), 2u);
  expect_request(requests[0], post, "command_req", {7});
  expect_request(requests[1], post, "rx_mode_config_req", bytes(modes.begin(), modes.end()));
}

TEST_F(app_lan_request, transmit_frame_carries_the_header_then_the_frame) {
  register_here(modem_id);
  const std::array<std::uint8_t, 3> frame{0xAA, 0xBB, 0xCC};
  app_lan_modem_tx_msg_req(modem_id, 0x01020304, 0x0506, 3, 5, 1, 0x1E, frame.data(), 3);
  {
    SCOPED_TRACE("modem not registered: nothing sent, nothing logged");
    CaptureStdout();
    app_lan_modem_tx_msg_req(0x999, 1, 2, 3, 4, 5, 6, frame.data(), 3);
    EXPECT_EQ(GetCapturedStdout(), "");
  }
  const auto requests = sent();
  ASSERT_EQ(requests.size(), 1u);
  expect_request(requests[0], put, "tx_msg_req",
                 {0x04, 0x03, 0x02, 0x01, 0x06, 0x05, 3, 0, 3, 5, 1, 0x1E, 0, 0xAA, 0xBB, 0xCC});
}

// ---- lower layer ------------------------------------------------------------------------------

TEST_F(app_lan_request, lower_layer_sends_to_the_entry_given_and_returns_the_code) {
  const lan_modem_entry entry = entry_at(eth0_ip);
  EXPECT_EQ(app_lan_configure(&entry), 0x44u);
  EXPECT_EQ(app_lan_log_req(&entry), 0x44u);
  EXPECT_EQ(app_lan_send_command(&entry, 2), 1);
  const std::array<std::uint8_t, 2> frame{0x11, 0x22};
  app_lan_tx_msg_req(&entry, 7, 8, 1, 2, 3, 4, 9, frame.data(), 2);

  std::array<std::uint8_t, 8> raw{0, 0, 0, 0, 0, 0, 0xAB, 0xCD};
  EXPECT_EQ(app_lan_tx_raw_msg_req(&entry, 0x0A0B0C0D, 0x0E0F, raw.data(), 8), 0x44u);
  EXPECT_EQ(raw, (std::array<std::uint8_t, 8>{0x0D, 0x0C, 0x0B, 0x0A, 0x0F, 0x0E, 0xAB, 0xCD}));
  {
    SCOPED_TRACE("refused: short raw payload, null entries");
    CaptureStdout();
    EXPECT_EQ(app_lan_tx_raw_msg_req(&entry, 1, 2, raw.data(), 5), 0u);
    const std::string out = GetCapturedStdout();
    EXPECT_TRUE(has_line(out, "ERROR", "app_lan", "Raw tx msg too short (length:5)"));
    EXPECT_EQ(app_lan_configure(nullptr), 0u);
    EXPECT_EQ(app_lan_log_req(nullptr), 0u);
  }
  const auto requests = sent();
  ASSERT_EQ(requests.size(), 5u);
  expect_request(requests[0], post, "rx_mode_config_req", bytes(14, 0));
  expect_request(requests[1], get, "log_req", {});
  expect_request(requests[2], post, "command_req", {2});
  expect_request(requests[3], put, "tx_msg_req",
                 {7, 0, 0, 0, 8, 0, 2, 0, 1, 2, 3, 4, 9, 0x11, 0x22});
  expect_request(requests[4], put, "tx_msg_req", {0x0D, 0x0C, 0x0B, 0x0A, 0x0F, 0x0E, 0xAB, 0xCD});
}

TEST_F(app_lan_request, extended_frame_has_the_32_byte_header_then_frame_then_extension) {
  const lan_modem_entry entry = entry_at(eth0_ip);
  const std::array<std::uint8_t, 2> frame{0xF1, 0xF2};
  const std::array<std::uint8_t, 1> ext{0xE1};
  app_lan_tx_extended_msg_req(&entry, 0x11111111, 0x2222, 0x33333333, 0x44444444, 0x55, 0x66,
                              0x77777777, 0x88, 0x99, 0xAAAA, 0xBB, 0xCCCC, 0xDD, 0xEE,
                              frame.data(), 2, ext.data(), 1);
  {
    SCOPED_TRACE("refused: null frame with a length");
    CaptureStdout();
    app_lan_tx_extended_msg_req(&entry, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, nullptr, 4,
                                nullptr, 0);
    const std::string out = GetCapturedStdout();
    EXPECT_TRUE(has_line(out, "ERROR", "app_lan", "Invalid tx ext msg (frame:4, ext:0)"));
  }
  const auto requests = sent();
  ASSERT_EQ(requests.size(), 1u);
  expect_request(requests[0], put, "tx_msg_ext_req",
                 {0x33, 0x33, 0x33, 0x33, 0x77, 0x77, 0x77, 0x77, 0x11, 0x11, 0x11, 0x11,
                  0x44, 0x44, 0x44, 0x44, 0x22, 0x22, 0xCC, 0xCC, 0x02, 0x00, 0xAA, 0xAA,
                  0x88, 0x99, 0x66, 0xEE, 0x55, 0xBB, 0xDD, 0x01, 0xF1, 0xF2, 0xE1});
}
