// Action dispatch checked on the wire: which requests each option set sends, in which order,
// and the refusals that send nothing. A raw UDP peer plays the modem in the test's network
// namespace; file actions run in forked children with a private /var/ftp.
#include "app_main_dispatch.h"

#include <string>

#include "lan_peer.h"

using namespace lan_test;
using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStdout;

namespace {

constexpr std::uint32_t modem_id = 0x1a2b3c4d;

class app_main_dispatch : public lan_peer_fixture {
 protected:
  void SetUp() override {
    lan_peer_fixture::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    register_here(modem_id);
  }
  // Dispatches in this process; returns the result and keeps the trace in out_.
  int dispatch(const app_options& opt) {
    CaptureStdout();
    const int i_result = ::app_main_dispatch(opt, modem_id);
    out_ = GetCapturedStdout();
    return i_result;
  }
  // Dispatches in a child with a private /var/ftp bound to ftp_ and @p pc_cwd as working
  // directory; returns the dispatch result (+10, so that 0 is not a child failure code).
  child_run dispatch_in_child(const app_options& opt, const std::string& s_cwd) {
    return run_with_private_ftp(ftp_.path(), [&] {
      detail::app_lan_reset();
      if (register_modem(modem_id, eth0_ip) != 1) return 80;
      if (chdir(s_cwd.c_str()) != 0) return 82;
      return ::app_main_dispatch(opt, modem_id) + 10;
    });
  }
  std::string out_;
  temp_dir ftp_;
};

const bytes command_2 = {2};

}  // namespace

TEST_F(app_main_dispatch, no_option_logs_no_action_requested_and_sends_nothing) {
  app_options opt;
  EXPECT_EQ(dispatch(opt), 0);
  EXPECT_TRUE(re_search_lines(out_, info_line("No action requested").c_str())) << out_;
  {
    SCOPED_TRACE("-c -1, -r 0 and -n 10 0 select nothing either");
    opt.i32_noise_duration = 10;
    EXPECT_EQ(dispatch(opt), 0);
  }
  EXPECT_TRUE(sent().empty());
}

TEST_F(app_main_dispatch, receive_mode_16_sends_the_receiver_table_then_command_2) {
  app_options opt;
  opt.i32_rx_mode = 16;
  EXPECT_EQ(dispatch(opt), 1);
  opt.i32_rx_mode = 5;
  EXPECT_EQ(dispatch(opt), 1);
  const auto requests = sent();
  ASSERT_EQ(requests.size(), 4u);
  expect_request(requests[0], post, "rx_mode_config_req",
                 {0x10, 0x00, 0x10, 0x01, 0x10, 0x02, 0x10, 0x03, 0x10, 0x04, 0x10, 0x05, 0, 0});
  expect_request(requests[1], post, "command_req", command_2);
  expect_request(requests[2], post, "rx_mode_config_req", bytes(14, 0));
  expect_request(requests[3], post, "command_req", command_2);
}

TEST_F(app_main_dispatch, transmit_frame_sends_command_2_then_the_decoded_frame) {
  app_options opt;
  opt.i32_tx_mode = 3;
  opt.i32_tx_channel = 0x105;  // low 8 bits
  opt.i32_tx_type = 1;
  opt.i32_tx_power = 0x11E;  // low 8 bits
  opt.i32_tx_sec = 100;
  opt.i32_tx_msec = 0x10203;    // low 16 bits
  opt.pc_tx_frame = "0A0b0C1";  // the odd last digit is dropped
  EXPECT_EQ(dispatch(opt), 1);
  const auto requests = sent();
  ASSERT_EQ(requests.size(), 2u);
  expect_request(requests[0], post, "command_req", command_2);
  expect_request(requests[1], put, "tx_msg_req",
                 {100, 0, 0, 0, 0x03, 0x02, 3, 0, 3, 0x05, 1, 0x1E, 0, 0x0A, 0x0B, 0x0C});
}

TEST_F(app_main_dispatch, transmit_frame_of_the_whole_buffer_is_sent_one_byte_more_is_refused) {
  app_options opt;
  const std::string fits(2 * APP_WORK_BUFFER_SIZE, 'F');
  opt.pc_tx_frame = fits.c_str();
  EXPECT_EQ(dispatch(opt), 1);
  const std::string too_long(2 * APP_WORK_BUFFER_SIZE + 2, 'F');
  opt.pc_tx_frame = too_long.c_str();
  EXPECT_EQ(dispatch(opt), -1);
  EXPECT_TRUE(
      has_line(out_, "ERROR", "app_main", "Transmit frame too long (1025 bytes, at most 1024)"));
  const auto requests = sent();
  ASSERT_EQ(requests.size(), 2u);  // command 2 and the frame of the first call only
  expect_request(requests[0], post, "command_req", command_2);
  ASSERT_EQ(requests[1].payload.size(), 13u + APP_WORK_BUFFER_SIZE);
  EXPECT_EQ(requests[1].payload[6], 0x00);  // length 1024, little-endian
  EXPECT_EQ(requests[1].payload[7], 0x04);
  EXPECT_EQ(requests[1].payload.back(), 0xFF);
}

TEST_F(app_main_dispatch, parameter_rows_command_and_precedence) {
  struct row {
    const char* pc_case;
    app_options opt;
    int i_code;
    const char* pc_path;
    bytes payload;
  };
  app_options set_and_get;  // -p 101 0AFF -g 102: only the write
  set_and_get.u32_set_param_id = 0x101;
  set_and_get.au8_set_param_value[0] = 0x0A;
  set_and_get.au8_set_param_value[1] = 0xFF;
  set_and_get.u32_set_param_len = 2;
  set_and_get.u32_get_param_id = 0x102;
  app_options get_10000;  // -g 10000: selected on the whole value, sent as its low 16 bits
  get_10000.u32_get_param_id = 0x10000;
  app_options command_0;  // -c 0 sends command 0, before any later row
  command_0.i32_command = 0;
  command_0.b_force_update = true;
  app_options force;
  force.b_force_update = true;
  force.b_statistics = true;
  app_options stats;  // -s: day selector's low 8 bits
  stats.b_statistics = true;
  stats.i32_statistics_day = 257;
  stats.i32_noise_duration = 10;
  stats.i32_noise_nb_sample = 5;
  app_options noise;
  noise.i32_noise_duration = 0x10A;
  noise.i32_noise_nb_sample = 5;
  const row rows[] = {
      {"-p 101 0AFF -g 102",
       set_and_get,
       post,
       "config_set_param_req",
       {0x01, 0x01, 2, 0x0A, 0xFF}},
      {"-g 10000", get_10000, get, "config_get_param_req", {0x00, 0x00}},
      {"-c 0 -f", command_0, post, "command_req", {0x00}},
      {"-f -s", force, post, "firmware_force_update_req", {}},
      {"-s 257 -n 10 5", stats, get, "statistics_req", {0x01}},
      {"-n 266 5", noise, get, "noise_req", {0x0A, 0x05}},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.pc_case);
    EXPECT_EQ(dispatch(r.opt), 1);
  }
  const auto requests = sent();
  ASSERT_EQ(requests.size(), std::size(rows));
  for (std::size_t i = 0; i < std::size(rows); ++i) {
    SCOPED_TRACE(rows[i].pc_case);
    expect_request(requests[i], rows[i].i_code, rows[i].pc_path, rows[i].payload);
  }
}

TEST_F(app_main_dispatch, firmware_path_is_made_absolute_and_wins_over_later_rows) {
  temp_dir src;
  write_file(src / "fw.bin", 1000);
  write_file(src / "abs.bin", 100);
  app_options opt;
  opt.pc_firmware_name = "fw.bin";
  opt.b_force_update = true;
  child_run run = dispatch_in_child(opt, src.path());
  ASSERT_EQ(run.i_status, 11) << run.out;
  EXPECT_TRUE(re_search_lines(
      run.out,
      line("DEBUG", "app_lan", "Request fw upgrade of Modem 1a2b3c4d (" + src.path() + "/fw.bin)")
          .c_str()))
      << run.out;
  EXPECT_EQ(file_size(ftp_ / "1a2b3c4d"), 1000u);
  {
    SCOPED_TRACE("an absolute name is used unchanged");
    const std::string abs = src / "abs.bin";
    opt.pc_firmware_name = abs.c_str();
    run = dispatch_in_child(opt, "/");
    ASSERT_EQ(run.i_status, 11) << run.out;
    EXPECT_TRUE(has_line(run.out, "DEBUG", "app_lan",
                         "Request fw upgrade of Modem 1a2b3c4d (" + abs + ")"));
    EXPECT_EQ(file_size(ftp_ / "1a2b3c4d"), 100u);
  }
  const auto requests = sent();
  ASSERT_EQ(requests.size(), 2u);
  const std::string name = "1a2b3c4d";
  bytes payload = {0xE8, 0x03, 0, 0, 8, 0};
  payload.insert(payload.end(), name.begin(), name.end());
  payload.push_back(0);
  expect_request(requests[0], post, "firmware_upgrade_req", payload);
  payload[0] = 100;
  payload[1] = 0;
  expect_request(requests[1], post, "firmware_upgrade_req", payload);
}

TEST_F(app_main_dispatch, endpoint_file_sends_command_2_then_the_file) {
  temp_dir src;
  write_file(src / "ep.bin", 1000);
  app_options opt;
  opt.pc_ep_file_name = "ep.bin";
  opt.i32_packet_size = 100;
  opt.i32_inter_packet = 0x103;  // low 8 bits
  const child_run run = dispatch_in_child(opt, src.path());
  ASSERT_EQ(run.i_status, 11) << run.out;
  EXPECT_TRUE(
      has_line(run.out, "DEBUG", "app_lan", "Request donwnload  file " + src.path() + "/ep.bin"));
  EXPECT_EQ(file_size(ftp_ / "tx_1a2b3c4d"), 1000u);
  const auto requests = sent();
  ASSERT_EQ(requests.size(), 2u);
  expect_request(requests[0], post, "command_req", command_2);
  bytes payload = {0, 0, 0, 0, 0xE8, 0x03, 0, 0, 11, 0, 0, 0, 100, 0, 3, 16, 2, 0, 27};
  const std::string name = "tx_1a2b3c4d";
  payload.insert(payload.end(), name.begin(), name.end());
  payload.push_back(0);
  expect_request(requests[1], put, "tx_file_req", payload);
}

TEST_F(app_main_dispatch, a_path_that_cannot_be_made_sends_nothing) {
  temp_dir src;
  const std::string gone = src / "gone";
  ASSERT_EQ(mkdir(gone.c_str(), 0755), 0);
  const std::string long_name(APP_WORK_BUFFER_SIZE, 'n');
  const std::string long_abs = "/" + std::string(APP_WORK_BUFFER_SIZE - 1, 'a');
  struct row {
    const char* pc_case;
    bool b_firmware;  // -u, otherwise -d (whose command 2 must not go either)
    std::string name;
    std::string cwd;
    std::string expected;
  };
  const row rows[] = {
      {"-u absolute name of 1024 bytes", true, long_abs, "/",
       "File path too long (1024 bytes, at most 1023)"},
      {"-d relative name beyond the buffer", false, long_name, src.path(),
       "File path too long (" + std::to_string(src.path().size() + 1 + APP_WORK_BUFFER_SIZE) +
           " bytes, at most 1023)"},
      {"-u in a removed working directory", true, "fw.bin", gone,
       "Can not get current directory for fw.bin: No such file or directory"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.pc_case);
    app_options opt;
    (r.b_firmware ? opt.pc_firmware_name : opt.pc_ep_file_name) = r.name.c_str();
    opt.i32_packet_size = 100;
    const child_run run = run_with_private_ftp(ftp_.path(), [&] {
      detail::app_lan_reset();
      if (register_modem(modem_id, eth0_ip) != 1) return 80;
      if (chdir(r.cwd.c_str()) != 0) return 82;
      if (r.cwd == gone && rmdir(gone.c_str()) != 0) return 83;
      return ::app_main_dispatch(opt, modem_id) + 10;
    });
    ASSERT_EQ(run.i_status, 9) << run.out;
    EXPECT_TRUE(has_line(run.out, "ERROR", "app_main", r.expected));
  }
  EXPECT_TRUE(sent().empty());
}
