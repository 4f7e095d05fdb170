// Outcome of a bounded run (-w): what each asked modem answered and whether the indication
// that completes the action came. The LAN threads report facts, the main thread waits for the
// outcome; one lock guards everything, and it is a leaf (no other lock is taken under it).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "app_lan_event.h"

/// Exit statuses of a bounded run. Stable: scripts test them.
enum : int {
  APP_EXIT_DONE = 0,            ///< every answer 2.xx, every completing indication positive
  APP_EXIT_NOT_WRITTEN = 2,     ///< the noise report could not be written
  APP_EXIT_NO_MODEM = 3,        ///< no (target) modem announced itself before the deadline
  APP_EXIT_REFUSED = 4,         ///< an answer 4.xx or 5.xx, or a reset
  APP_EXIT_NO_ANSWER = 5,       ///< a request went unanswered (20 s, or the deadline)
  APP_EXIT_NOT_COMPLETED = 6,   ///< answered, but the completing indication did not come
  APP_EXIT_FAILED = 7,          ///< the modem reported failure (firmware install KO)
  APP_EXIT_LOCAL_ERROR = 8,     ///< refused here before anything was sent
  APP_EXIT_EVENTS_LOST = 9,     ///< -j: the events could not be written on standard output
  APP_EXIT_SURVEY_FAILED = 10,  ///< -e: an expected meter missing, weak or single
};

/// The indication that completes an action.
enum class app_completion : std::uint8_t { none, firmware, statistics, parameter, noise };

/// What a run found, summed over the modems asked.
struct app_outcome_facts {
  bool b_modem = false;        ///< the (target) modem announced itself
  bool b_local_error = false;  ///< refused before anything was sent
  bool b_events_lost = false;  ///< standard output refused the events (-j)
  bool b_refused = false;      ///< some answer 4.xx / 5.xx / other non-success, or a reset
  bool b_no_answer = false;    ///< some request without an answer
  bool b_failed = false;       ///< some completing indication negative
  bool b_not_written = false;  ///< the noise report could not be written
  bool b_pending = false;      ///< some completing indication missing
};

/// Exit status of @p facts: the first that holds of no modem (3), local error (8), events lost
/// (9), refused (4), no answer (5), not written (2), failed (7), pending (6); else 0. Pure.
int app_outcome_status(const app_outcome_facts& facts);

/// Word of the Outcome line for an exit status of app_outcome_status: "done", "no modem",
/// "refused", "no answer", "not written", "failed", "not completed", "local error", "events
/// lost"; "unknown" for any other value. Static text.
const char* app_outcome_word(int i_status);

/// Facts of one bounded run (or of a -j run). One object, shared by the main thread (begin, ask,
/// sent, local_error, wait, facts), the LAN threads (observe) and whoever stops the run (stop).
/// An indication completes a modem's action only when it comes from that modem: a firmware
/// result from the registered modem itself, statistics, a parameter value or a noise report
/// from its IP address (whatever the port, as the tool accepts them).
class app_outcome {
 public:
  /// Modems one run may ask: the registry's entries and then some.
  static constexpr std::size_t max_modems = 16;

  /// Starts a run whose action is completed by @p e_completion; for a parameter, only a whole
  /// value of parameter @p u16_param_id completes it. Main thread, before any fact.
  void begin(app_completion e_completion, std::uint16_t u16_param_id = 0);

  /// Modem @p u32_serial, registered at @p t_addr, is about to be asked; its answers and
  /// indications count from now.
  /// @retval true  newly asked
  /// @retval false asked before, or no room left (max_modems): not to be asked again
  bool ask(std::uint32_t u32_serial, const coap_address_t& t_addr);
  /// Every request to modem @p u32_serial has returned.
  void sent(std::uint32_t u32_serial);
  /// The action was refused here before anything was sent.
  void local_error();

  /// A fact from the LAN link. Any thread; takes only this object's lock.
  void observe(const lan_event& t_event);

  /// Ends the run as its deadline would (a signal, or the events' reader gone). Any thread.
  void stop();
  /// True once stop was called or standard output refused the events.
  bool stopped() const;

  /// Waits until every asked modem's outcome is known (when @p b_to_deadline is false), a
  /// modem event arrives (when @p b_wake_on_modem), the run is stopped, or @p t_until passes.
  /// Main thread.
  /// @retval true every asked modem's outcome is known (and at least one was asked)
  bool wait(std::chrono::steady_clock::time_point t_until, bool b_to_deadline,
            bool b_wake_on_modem);

  /// Facts so far (@p b_modem as the caller saw it).
  app_outcome_facts facts(bool b_modem) const;

  /// The asked modems as "%x" separated by blanks: those that answered every request with
  /// success and gave the completing indication into @p answered, the others into
  /// @p not_answered.
  void modems(std::string& answered, std::string& not_answered) const;

 private:
  struct modem_state {
    std::uint32_t u32_serial = 0;
    coap_address_t t_addr{};
    bool b_sent = false;
    bool b_refused = false;
    bool b_no_answer = false;
    bool b_completed = false;
    bool b_failed = false;
    bool b_not_written = false;
  };
  modem_state* find(std::uint32_t u32_serial);
  modem_state* find_host(const coap_address_t* pt_sender);
  bool finished(const modem_state& m) const;
  bool good(const modem_state& m) const;

  mutable std::mutex mutex_;
  std::condition_variable cond_;
  app_completion e_completion_ = app_completion::none;
  std::uint16_t u16_param_id_ = 0;
  modem_state at_modems_[max_modems];
  std::size_t nb_modems_ = 0;
  bool b_local_error_ = false;
  bool b_events_lost_ = false;
  bool b_stopped_ = false;
  std::uint32_t u32_modem_events_ = 0;
};

struct app_survey;

/// How a run ends, for its closing lines.
struct app_run_end {
  const char* pc_action = "";  ///< name of the action (app_action_entry), or "replay"
  int i_status = APP_EXIT_DONE;
  long long ms = 0;                       ///< since the start
  std::optional<std::uint32_t> modem;     ///< the one modem named (never with b_each_modem)
  bool b_each_modem = false;              ///< -s asked every modem (-w without -m)
  const app_survey* pt_survey = nullptr;  ///< the survey of -e
};

/// The closing lines of a bounded or -j run: with b_each_modem "Answered: ...; not answered:
/// ..." (the modems @p outcome asked), the registered modems (information lines and the summary
/// event), the result event (under -j), and the Outcome line of the action (or of the survey):
/// information for status 0, a warning for any other.
void app_outcome_report(const app_outcome& outcome, const app_run_end& end);

/// Closing lines of a replay (-i) of @p u64_frames frames (@p u64_skipped lines not read): the
/// result event and the Outcome line (of the survey when there is one).
/// @return @p end's status, or APP_EXIT_EVENTS_LOST when the events could not be written
int app_outcome_report_replay(const app_run_end& end, std::uint64_t u64_frames,
                              std::uint64_t u64_skipped);
