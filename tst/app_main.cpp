// Entry point of the tool: parse the command line, start the LAN modem link, wait for the first
// modem, run the one action asked for, then stay alive so that indications keep being logged.
#include <pthread.h>

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
#include "vos_mem_stream.h"
#include "vos_task_linux.h"
#include "vos_trace.h"

namespace {

constexpr const char* source_name = "../tst/app_main.c";

constexpr long poll_ns = 500'000'000;  // 500 ms between two looks at the registry

// SIGUSR1 asks for the allocator report. It is blocked in every thread (the mask is set before
// the first thread starts) and taken synchronously by the main thread, which writes the report
// as a trace line: nothing runs in signal context.
sigset_t _report_signals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGUSR1);
  return set;
}

void _print_mem_report() {
  vos_trace_info("Nbpools=%u memsize=%u maxmem=%u (most recent first):", vos_os_nb_pool(),
                 vos_os_curmem(), vos_os_maxmem());
}

#ifdef LANMODEM_COVERAGE
extern "C" void __gcov_dump();

// Coverage build only: the tests stop the tool with a signal, so write the counters first and
// then die of the signal as before (the handler is reset, the signal is pending until return).
void _on_stop_signal(int i_signal) {
  __gcov_dump();
  raise(i_signal);
}

void _flush_coverage_on_stop() {
  struct sigaction sa {};
  sa.sa_handler = _on_stop_signal;
  sa.sa_flags = SA_RESETHAND;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
}
#endif

}  // namespace

int main(int argc, char** argv) {
  auto parsed = app_parse_args(argc, argv, stdout);
  if (const int* status = std::get_if<int>(&parsed)) return *status;
  const app_options& opt = std::get<app_options>(parsed);

  if (std::signal(SIGPIPE, SIG_IGN) == SIG_ERR) {
    VOS_WARNING("can't set signal catcher");
  }
#ifdef LANMODEM_COVERAGE
  _flush_coverage_on_stop();
#endif
  const sigset_t report_set = _report_signals();
  pthread_sigmask(SIG_BLOCK, &report_set, nullptr);
  vos_os_init();
  app_lan_init();

  std::uint32_t u32_modem_id = 0;
  while (app_lan_first_modem_id(&u32_modem_id) == -1) {
    const timespec poll{0, poll_ns};
    if (sigtimedwait(&report_set, nullptr, &poll) == SIGUSR1) _print_mem_report();
  }
  vos_trace_info("Perform action on modem LAN:%x", u32_modem_id);

  app_main_dispatch(opt, u32_modem_id);

  for (;;) {
    int i_signal = 0;
    const int i_err = sigwait(&report_set, &i_signal);
    if (i_err != 0) {
      VOS_FATAL("Signal wait exit, CRITICAL error \"%s\" (%d) !!!!!\n", std::strerror(i_err),
                i_err);
    }
    _print_mem_report();
  }
}
