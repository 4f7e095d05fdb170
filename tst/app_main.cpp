// Entry point of the tool: parse the command line, start the LAN modem link, wait for the first
// modem, run the one action asked for, then stay alive so that indications keep being logged.
#include <sys/select.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <variant>

#include "app_lan.h"
#include "app_main_args.h"
#include "vos_mem.h"
#include "vos_task_linux.h"
#include "vos_trace.h"

namespace {

constexpr const char* source_name = "../tst/app_main.c";

constexpr std::uint32_t poll_ticks = 25;  // 500 ms between two looks at the registry

// True when the options select one of the actions, in the order the dispatch looks at them.
bool _action_selected(const app_options& opt) {
  return opt.pc_firmware_name != nullptr || opt.pc_ep_file_name != nullptr ||
         opt.i32_rx_mode != 0 || opt.pc_tx_frame != nullptr || opt.i32_command != -1 ||
         opt.u32_set_param_id != 0 || opt.u32_get_param_id != 0 || opt.b_force_update ||
         opt.b_statistics || (opt.i32_noise_duration != 0 && opt.i32_noise_nb_sample != 0);
}

}  // namespace

int main(int argc, char** argv) {
  auto parsed = app_parse_args(argc, argv, stdout);
  if (const int* status = std::get_if<int>(&parsed)) return *status;
  const app_options& opt = std::get<app_options>(parsed);

  if (std::signal(SIGPIPE, SIG_IGN) == SIG_ERR) {
    VOS_WARNING("can't set signal catcher");
  }
  vos_os_init();
  app_lan_init();

  std::uint32_t u32_modem_id = 0;
  while (app_lan_first_modem_id(&u32_modem_id) == -1) {
    vos_os_wait_delay(poll_ticks);
  }
  vos_trace_info("Perform action on modem LAN:%x", u32_modem_id);

  if (_action_selected(opt)) {
    VOS_ERROR("Action not available yet");
  } else {
    vos_trace_info("No action requested");
  }

  select(0, nullptr, nullptr, nullptr, nullptr);
  const int i_errno = errno;
  VOS_FATAL("Select 0 exit, CRITICAL error \"%s\" (%d) !!!!!\n", std::strerror(i_errno), i_errno);
}
