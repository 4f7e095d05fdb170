// Dispatch of the command line (the parser is compared on the real binary: end-to-end tests).
#include <gtest/gtest.h>

#include <string>

#include "app_main_dispatch.h"
#include "stdout_capture.h"

// Refusals come before the first request: these runs send nothing (no modem, no socket).
TEST(app_main_args, dispatch_refusals_and_no_action) {
  const std::string long_path(APP_WORK_BUFFER_SIZE, 'p');
  const std::string long_frame(2 * APP_WORK_BUFFER_SIZE + 2, 'A');
  const struct {
    const char* pc_firmware;
    const char* pc_frame;
    int i_result;
    const char* pc_line;
  } rows[] = {{long_path.c_str(), nullptr, -1, "File path too long"},
              {nullptr, long_frame.c_str(), -1, "Transmit frame too long"},
              {nullptr, nullptr, 0, ":INFO:No action requested"}};
  for (const auto& r : rows) {
    app_options opt{};
    opt.pc_firmware_name = r.pc_firmware;
    opt.pc_tx_frame = r.pc_frame;
    int i_result = 99;
    const std::string out = test_support::captured([&] { i_result = app_main_dispatch(opt, 1); });
    EXPECT_EQ(i_result, r.i_result);
    EXPECT_NE(out.find(r.pc_line), std::string::npos) << out;
  }
}
