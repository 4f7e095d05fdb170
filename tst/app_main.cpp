// Entry point of the tool: parse the command line, start the LAN modem link, wait for the first
// (or the named) modem, run the one action asked for, then stay alive so that indications keep
// being logged; or, with -w, end at the outcome or the deadline with the outcome as exit status.
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <variant>
#include <vector>

#include "app_lan.h"
#include "app_lan_event.h"
#include "app_lan_mbus.h"
#include "app_lan_request.h"
#include "app_lan_telegram.h"
#include "app_main_args.h"
#include "app_main_dispatch.h"
#include "app_main_outcome.h"
#include "app_meter.h"
#include "app_replay.h"
#include "coap_client.h"
#include "coap_server.h"
#include "vos_mem.h"
#include "vos_mem_stream.h"
#include "vos_task_linux.h"
#include "vos_trace.h"

#ifdef LANMODEM_COVERAGE
extern "C" void __gcov_dump();
#endif

namespace {

constexpr const char* source_name = "../tst/app_main.c";

constexpr long poll_ns = 500'000'000;  // 500 ms between two looks at the registry
// A bounded run also looks at the registry this often while it waits (new modems for -s).
constexpr std::chrono::milliseconds bounded_poll{200};
// A run that is to end does so this long after its deadline (or its stop) at the latest,
// whatever its output does.
constexpr std::chrono::milliseconds end_grace{900};

using steady = std::chrono::steady_clock;

app_outcome _t_outcome;
// Whether the run's (target) modem announced itself: what the outcome's first fact is made of.
std::atomic<bool> _b_saw_modem{false};

void _observe(const lan_event& t_event) noexcept { _t_outcome.observe(t_event); }

// A noise report in a bounded run is a fact of the outcome; the run ends through it.
void _noise_end_in_bounded_run(int) noexcept {}

void _exit_now(int i_status) {
  app_lan_mbus_forget_keys();
#ifdef LANMODEM_COVERAGE
  __gcov_dump();  // _Exit skips the counters' own writing at exit
#endif
  std::_Exit(i_status);
}

// Ends the process with the outcome's status once its time limit passes, should the run still
// be writing its last lines then (an output that nobody reads blocks the writer, and the lines
// of every other thread wait behind it).
class end_guard {
 public:
  void start(steady::time_point t_limit) {
    t_limit_ = t_limit;
    thread_ = std::thread([this] { watch(); });
    thread_.detach();  // it ends with the process
  }
  // Ends the process at @p t_limit at the latest (sooner when it was due sooner).
  void tighten(steady::time_point t_limit) {
    {
      const std::lock_guard lock(mutex_);
      t_limit_ = std::min(t_limit_, t_limit);
    }
    cond_.notify_all();
  }

 private:
  void watch() {
    std::unique_lock lock(mutex_);
    while (steady::now() < t_limit_) cond_.wait_until(lock, t_limit_);
    lock.unlock();
    _exit_now(app_outcome_status(_t_outcome.facts(_b_saw_modem.load())));
  }
  std::mutex mutex_;
  std::condition_variable cond_;
  steady::time_point t_limit_ = steady::time_point::max();
  std::thread thread_;
};

end_guard _t_end_guard;

// The modem the action goes to: the one named by -m, else the first registered.
bool _target(const app_options& opt, std::uint32_t* pu32_id) {
  if (!opt.b_target) return app_lan_first_modem_id(pu32_id) == 1;
  lan_modem_entry entry{};
  if (app_lan_find_modem(opt.u32_target, &entry) != 1) return false;
  *pu32_id = opt.u32_target;
  return true;
}

// At the end of a run that did not see its modem: whether it registered all the same (its
// registration may still have been on its way out when the run was stopped).
bool _registered_late(const app_options& opt, std::uint32_t* pu32_id) {
  std::array<lan_modem_entry, LAN_MODEM_MAX> at_entries{};
  app_lan_get_modems_info(at_entries.data());
  for (auto it = at_entries.rbegin(); it != at_entries.rend(); ++it) {
    if (it->u8_in_use != 0 && (!opt.b_target || it->t_info.u32_serial == opt.u32_target)) {
      *pu32_id = it->t_info.u32_serial;
      return true;
    }
  }
  return false;
}

// Asks modem @p u32_id of the outcome: its answers and indications count from now.
bool _ask(std::uint32_t u32_id) {
  lan_modem_entry entry{};  // a zero address when the modem is gone: no indication matches it
  app_lan_find_modem(u32_id, &entry);
  return _t_outcome.ask(u32_id, entry.t_addr);
}

// Asks every registered modem that was not asked yet for its statistics.
void _ask_new_modems(std::uint8_t u8_day, steady::time_point t_deadline) {
  std::array<lan_modem_entry, LAN_MODEM_MAX> at_entries{};
  app_lan_get_modems_info(at_entries.data());
  // The first registered sits at the highest index: ask in the order of registration.
  for (auto it = at_entries.rbegin(); it != at_entries.rend(); ++it) {
    const lan_modem_entry& entry = *it;
    if (entry.u8_in_use == 0 || entry.u8_published == 0 || steady::now() >= t_deadline ||
        _t_outcome.stopped()) {
      continue;
    }
    const std::uint32_t u32_id = entry.t_info.u32_serial;
    if (!_t_outcome.ask(u32_id, entry.t_addr)) continue;
    app_lan_statistics_req(u32_id, u8_day);
    _t_outcome.sent(u32_id);
  }
}

// The meters expected (-e), read before the run starts.
const std::vector<app_meter_expected>* _pt_expected = nullptr;

long long _elapsed_ms(steady::time_point t_start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(steady::now() - t_start).count();
}

// Replays the recorded frames of -i: telegrams, meters and the result (with the survey of -e).
// @return the exit status: 0, or 10 when the survey failed
int _replay(const app_options& opt, steady::time_point t_start) {
  std::FILE* pf_in =
      std::string_view{opt.pc_replay} == "-" ? stdin : std::fopen(opt.pc_replay, "r");
  if (pf_in == nullptr) {
    const int i_errno = errno;
    VOS_FATAL("Can not read %s: \"%s\" (%d)", opt.pc_replay, std::strerror(i_errno), i_errno);
  }
  std::uint64_t u64_frames = 0;
  std::uint64_t u64_skipped = 0;
  std::int64_t i64_last_ms = 0;
  char* pc_line = nullptr;
  std::size_t line_room = 0;
  app_replay_frame t_frame;
  for (ssize_t n; (n = getline(&pc_line, &line_room, pf_in)) >= 0;) {
    std::string_view line{pc_line, static_cast<std::size_t>(n)};
    if (line.ends_with('\n')) line.remove_suffix(1);
    t_frame = {};
    switch (app_replay_parse(line, &t_frame)) {
      case app_replay_line::frame:
        // A hexadecimal line has no time: it comes one window after the line before, a telegram
        // of its own. The recording's clock never goes back.
        if (t_frame.copy.i64_arrival_ms == 0)
          t_frame.copy.i64_arrival_ms = i64_last_ms + opt.i32_window_ms;
        t_frame.copy.i64_arrival_ms = std::max(t_frame.copy.i64_arrival_ms, i64_last_ms);
        i64_last_ms = t_frame.copy.i64_arrival_ms;
        app_lan_telegram_add(t_frame.frame, t_frame.copy);
        ++u64_frames;
        break;
      case app_replay_line::skipped:
        break;
      case app_replay_line::malformed:
        ++u64_skipped;
        break;
    }
  }
  std::free(pc_line);
  if (pf_in != stdin) std::fclose(pf_in);
  app_survey t_survey;
  app_lan_telegram_close(_pt_expected, &t_survey);
  const int i_status =
      _pt_expected != nullptr && t_survey.failed() ? APP_EXIT_SURVEY_FAILED : APP_EXIT_DONE;
  const app_run_end end{"replay",     i_status, _elapsed_ms(t_start),
                        std::nullopt, false,    _pt_expected != nullptr ? &t_survey : nullptr};
  return app_outcome_report_replay(end, u64_frames, u64_skipped);
}

// What a run did, for its closing lines.
struct run_facts {
  bool b_each_modem = false;       // -s without -m under -w: every modem that announced itself
  bool b_modem = false;            // the (target) modem announced itself
  bool b_no_modem_needed = false;  // refused before any modem mattered
  std::uint32_t u32_id = 0;        // that modem
};

// Closes a run at its outcome, its deadline or its stop (app_outcome_report).
// @return the exit status
int _close_run(const app_options& opt, run_facts run, steady::time_point t_start) {
  if (!run.b_modem && _t_outcome.stopped()) run.b_modem = _registered_late(opt, &run.u32_id);
  const app_outcome_facts facts = _t_outcome.facts(run.b_modem || run.b_no_modem_needed);
  int i_status = app_outcome_status(facts);
  app_survey t_survey;
  app_lan_telegram_close(_pt_expected, &t_survey);
  if (i_status == APP_EXIT_DONE && _pt_expected != nullptr && t_survey.failed()) {
    i_status = APP_EXIT_SURVEY_FAILED;
  }
  app_run_end end;
  end.pc_action = app_action_of(opt.e_action).pc_name;
  end.i_status = i_status;
  end.ms = _elapsed_ms(t_start);
  end.b_each_modem = run.b_each_modem;
  if (!run.b_each_modem && (run.b_modem || opt.b_target)) {
    end.modem = run.b_modem ? run.u32_id : opt.u32_target;
  }
  if (_pt_expected != nullptr) end.pt_survey = &t_survey;
  app_outcome_report(_t_outcome, end);
  return i_status;
}

// Waits for the run's (target) modem until @p t_until or a stop. @return whether it came.
bool _wait_for_modem(const app_options& opt, steady::time_point t_until, std::uint32_t* pu32_id) {
  bool b_modem = _target(opt, pu32_id);
  while (!b_modem && steady::now() < t_until && !_t_outcome.stopped()) {
    _t_outcome.wait(std::min(steady::now() + bounded_poll, t_until), true, true);
    b_modem = _target(opt, pu32_id);
  }
  _b_saw_modem.store(b_modem);
  return b_modem;
}

// Issues the action against modem @p u32_id as a fact of the outcome (none for a monitor:
// nothing is asked). @return the dispatch's result
int _act(const app_options& opt, const run_facts& run) {
  vos_trace_info("Perform action on modem LAN:%x", run.u32_id);
  const bool b_asks = opt.e_action != app_action::monitor;
  if (b_asks) _ask(run.u32_id);
  const int i_dispatch = app_main_dispatch(opt, run.u32_id);
  if (i_dispatch < 0) _t_outcome.local_error();
  if (b_asks) _t_outcome.sent(run.u32_id);
  return i_dispatch;
}

// Runs the action within -w seconds from @p t_start and waits for its outcome, its deadline or
// its stop. @return what the run did
run_facts _bounded_run(const app_options& opt, steady::time_point t_start) {
  const steady::time_point t_deadline = t_start + std::chrono::seconds(opt.i32_wait_s);
  _t_end_guard.start(t_deadline + end_grace);
  coap_set_request_deadline(t_deadline);
  run_facts run;
  run.b_each_modem = opt.e_action == app_action::statistics && !opt.b_target;
  _t_outcome.begin(app_action_of(opt.e_action).e_completion,
                   static_cast<std::uint16_t>(opt.u32_get_param_id));

  // What can be refused without a modem is refused before waiting for one.
  if (app_main_check(opt) != 1) {
    _t_outcome.local_error();
    run.b_no_modem_needed = true;
    _b_saw_modem.store(true);
    return run;
  }
  run.b_modem = _wait_for_modem(opt, t_deadline, &run.u32_id);
  if (run.b_modem && !_t_outcome.stopped()) {
    if (run.b_each_modem) {
      vos_trace_info("Perform action on modem LAN:%x", run.u32_id);
      const auto u8_day = static_cast<std::uint8_t>(opt.i32_statistics_day);
      // Until the deadline: a modem may still announce itself and is asked then.
      for (;;) {
        _ask_new_modems(u8_day, t_deadline);
        const steady::time_point t_now = steady::now();
        if (t_now >= t_deadline || _t_outcome.stopped()) break;
        _t_outcome.wait(std::min(t_now + bounded_poll, t_deadline), true, true);
      }
    } else {
      const int i_dispatch = _act(opt, run);
      _t_outcome.wait(t_deadline, i_dispatch == 0, false);
    }
  }
  return run;
}

// A -j run without -w: as the plain run, until a signal or the loss of the events' reader
// closes it as a deadline would. @return what the run did
run_facts _json_run(const app_options& opt) {
  run_facts run;
  _t_outcome.begin(app_action_of(opt.e_action).e_completion,
                   static_cast<std::uint16_t>(opt.u32_get_param_id));
  run.b_modem = _wait_for_modem(opt, steady::time_point::max(), &run.u32_id);
  if (run.b_modem && !_t_outcome.stopped()) _act(opt, run);
  while (!_t_outcome.stopped()) _t_outcome.wait(steady::now() + std::chrono::hours(1), true, false);
  return run;
}

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

// SIGUSR1 asks for the allocator report; under -w or -j, SIGINT and SIGTERM end the run as its
// deadline would. They are blocked in every thread (the mask is set before the first thread
// starts) and taken synchronously, by the main thread or, in a run that waits on its outcome,
// by a thread of their own: nothing runs in signal context.
sigset_t _handled_signals(bool b_stops) {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGUSR1);
  if (b_stops) {
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
  }
  return set;
}

void _print_mem_report() {
  vos_trace_info("Nbpools=%u memsize=%u maxmem=%u (most recent first):", vos_os_nb_pool(),
                 vos_os_curmem(), vos_os_maxmem());
}

#ifdef LANMODEM_COVERAGE
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

// Takes the signals of a -w or -j run: the report, or the end of the run.
void _signal_loop(sigset_t set) {
  for (;;) {
    int i_signal = 0;
    if (sigwait(&set, &i_signal) != 0) return;
    if (i_signal == SIGUSR1) {
      _print_mem_report();
      continue;
    }
    _t_outcome.stop();
    coap_cancel_requests();
    _t_end_guard.tighten(steady::now() + end_grace);
  }
}

}  // namespace

int main(int argc, char** argv) {
  _fill_standard_descriptors();
  const steady::time_point t_start = steady::now();
  // What parsing prints is held until the options are known: under -j the notes of a run that
  // goes on ("Unused argument") must not land among the JSON lines.
  char* pc_parse_text = nullptr;
  std::size_t parse_len = 0;
  std::FILE* pf_parse = open_memstream(&pc_parse_text, &parse_len);
  auto parsed = app_parse_args(argc, argv, pf_parse != nullptr ? pf_parse : stdout);
  if (pf_parse != nullptr) std::fclose(pf_parse);
  const app_options* pt_opt = std::get_if<app_options>(&parsed);
  if (pc_parse_text != nullptr) {
    std::FILE* pf_out = pt_opt != nullptr && pt_opt->b_json ? stderr : stdout;
    std::fwrite(pc_parse_text, 1, parse_len, pf_out);
    std::fflush(pf_out);
    std::free(pc_parse_text);
  }
  if (const int* status = std::get_if<int>(&parsed)) return *status;
  const app_options& opt = *pt_opt;
  std::vector<app_meter_expected> expected;
  if (opt.pc_expected != nullptr) {
    std::string s_error;
    auto read = app_meter_read_expected(opt.pc_expected, s_error);
    if (!read) {
      std::printf("Invalid argument -e %s\nUsage: %s -?\n", s_error.c_str(),
                  argc > 0 && argv[0] != nullptr ? argv[0] : "lanmodem");
      return -1;
    }
    expected = std::move(*read);
    _pt_expected = &expected;
  }

  if (opt.b_decode) {
    std::string s_error;
    if (app_lan_mbus_start(opt.pc_keys, s_error) != 1) {
      std::printf("Invalid argument -a %s\nUsage: %s -?\n", s_error.c_str(),
                  argc > 0 && argv[0] != nullptr ? argv[0] : "lanmodem");
      return -1;
    }
  }

  // With -j standard output carries the events; the log moves out of their way.
  if (opt.b_json) vos_trace_set_output(STDERR_FILENO);
  if (std::signal(SIGPIPE, SIG_IGN) == SIG_ERR) {
    VOS_WARNING("can't set signal catcher");
  }
#ifdef LANMODEM_COVERAGE
  _flush_coverage_on_stop();
#endif
  if (opt.pc_replay != nullptr) {
    // Offline: no socket, no claim; a replay runs beside a live instance.
    if (opt.i32_level >= 0) vos_trace_level(static_cast<std::uint32_t>(opt.i32_level));
    app_lan_event_start(true, nullptr);
    app_lan_telegram_start(opt.i32_window_ms);
    const int i_status = _replay(opt, t_start);
    std::fflush(nullptr);
    _exit_now(i_status);
  }
  const bool b_bounded = opt.i32_wait_s > 0;
  // A run whose outcome is watched: bounded, or giving its events to a program.
  const bool b_watched = b_bounded || opt.b_json;
  const sigset_t report_set = _handled_signals(b_watched);
  pthread_sigmask(SIG_BLOCK, &report_set, nullptr);
  vos_os_init();
  coap_claim_holder t_holder{};
  if (coap_server_claim_port(&t_holder) != 1) {
    const int i_errno = errno;
    if (i_errno == EADDRINUSE && !t_holder.b_same) {
      const auto known = [](std::int64_t v) { return v >= 0 ? std::to_string(v) : "unknown"; };
      VOS_FATAL(
          "Can not claim CoAP port 5683: held by uid %s (pid %s), not a lanmodem of this user",
          known(t_holder.i64_uid).c_str(), known(t_holder.i32_pid).c_str());
    }
    VOS_FATAL("Can not claim CoAP port 5683: \"%s\" (%d), another lanmodem runs on this network",
              std::strerror(i_errno), i_errno);
  }
  if (opt.i32_level >= 0) vos_trace_level(static_cast<std::uint32_t>(opt.i32_level));
  if (b_watched) app_lan_event_start(opt.b_json, _observe);
  // Telegrams and meters only where they are asked for: the frame path stays as it is.
  if (opt.b_json || _pt_expected != nullptr) app_lan_telegram_start(opt.i32_window_ms);
  // In a bounded run the noise report is one fact of the outcome: the run ends through it.
  const app_lan_noise_policy t_noise{.pf_end = _noise_end_in_bounded_run};
  app_lan_init(b_bounded ? &t_noise : nullptr);
  if (b_watched) {
    std::thread(_signal_loop, report_set).detach();
    const run_facts run = b_bounded ? _bounded_run(opt, t_start) : _json_run(opt);
    const int i_status = _close_run(opt, run, t_start);
    // The LAN threads are still running: no static destructor may run under them.
    std::fflush(nullptr);
    _exit_now(i_status);
  }

  std::uint32_t u32_modem_id = 0;
  while (!_target(opt, &u32_modem_id)) {
    const timespec poll{0, poll_ns};
    if (sigtimedwait(&report_set, nullptr, &poll) == SIGUSR1) _print_mem_report();
  }
  vos_trace_info("Perform action on modem LAN:%x", u32_modem_id);

  app_main_dispatch(opt, u32_modem_id);

  for (;;) {
    int i_signal = 0;
    const int i_err = sigwait(&report_set, &i_signal);
    if (i_err != 0) {
      VOS_FATAL("Select 0 exit, CRITICAL error \"%s\" (%d) !!!!!\n", std::strerror(i_err), i_err);
    }
    _print_mem_report();
  }
}
