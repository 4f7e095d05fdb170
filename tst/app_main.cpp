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
#include "app_main_dispatch.h"
#include "vos_mem.h"
#include "vos_task_linux.h"
#include "vos_trace.h"

namespace {

constexpr const char* source_name = "../tst/app_main.c";

constexpr std::uint32_t poll_ticks = 25;  // 500 ms between two looks at the registry

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

  app_main_dispatch(opt, u32_modem_id);

  select(0, nullptr, nullptr, nullptr, nullptr);
  const int i_errno = errno;
  VOS_FATAL("Select 0 exit, CRITICAL error \"%s\" (%d) !!!!!\n", std::strerror(i_errno), i_errno);
}
