// Entry point of the tool: parse the command line, start the LAN modem link, wait for the first
// modem, run the one action asked for, then stay alive so that indications keep being logged.
#include <fcntl.h>
#include <sys/select.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <variant>

#include "app_lan.h"
#include "app_main_args.h"
#include "app_main_dispatch.h"
#include "coap_server.h"
#include "vos_mem.h"
#include "vos_task_linux.h"
#include "vos_trace.h"

namespace {

constexpr const char* source_name = "../tst/app_main.c";

constexpr std::uint32_t poll_ticks = 25;  // 500 ms between two looks at the registry

}  // namespace

namespace {

// A descriptor 0 to 2 closed by whoever started the tool would be the next one handed out, and
// a socket of the CoAP library on descriptor 1 would receive the trace: /dev/null takes them.
void _fill_standard_descriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
      const int fd_null = open("/dev/null", O_RDWR);
      if (fd_null >= 0 && fd_null != fd) {
        dup2(fd_null, fd);
        close(fd_null);
      }
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  _fill_standard_descriptors();
  auto parsed = app_parse_args(argc, argv, stdout);
  if (const int* status = std::get_if<int>(&parsed)) return *status;
  const app_options& opt = std::get<app_options>(parsed);

  if (std::signal(SIGPIPE, SIG_IGN) == SIG_ERR) {
    VOS_WARNING("can't set signal catcher");
  }
  vos_os_init();
  if (coap_server_claim_port() != 1) {
    const int i_errno = errno;
    VOS_FATAL("Can not claim CoAP port 5683: \"%s\" (%d), another lanmodem runs on this network",
              std::strerror(i_errno), i_errno);
  }
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
