// Outcome of a bounded run. Facts arrive in any order: a completing indication may be treated
// before the request that caused it has returned to the main thread.
#include "app_main_outcome.h"

#include <algorithm>
#include <array>
#include <cstdio>

#include "app_lan.h"
#include "app_meter.h"
#include "vos_trace.h"

namespace {

constexpr const char* source_name = "../tst/app_main.c";

constexpr std::uint32_t class_success = 2;

// The modems registered, as information lines and as the summary event.
void _summary() {
  std::array<lan_modem_entry, LAN_MODEM_MAX> at_entries{};
  app_lan_get_modems_info(at_entries.data());
  const auto nb = std::count_if(at_entries.begin(), at_entries.end(),
                                [](const lan_modem_entry& e) { return e.u8_in_use != 0; });
  vos_trace_info("Modems registered: %d", static_cast<int>(nb));
  std::string s_modems = "[";
  std::string s_one;
  // Registry order is newest first at the lowest index: list the first registered first.
  for (auto it = at_entries.rbegin(); it != at_entries.rend(); ++it) {
    if (it->u8_in_use == 0) continue;
    std::array<unsigned char, 48> ac_addr{};
    coap_print_addr(&it->t_addr, ac_addr.data(), ac_addr.size() - 1);
    const char* pc_addr = reinterpret_cast<const char*>(ac_addr.data());
    const lan_modem_info& info = it->t_info;
    vos_trace_info("Modem %x (IP:%s): state %d %s", info.u32_serial, pc_addr, info.u8_state,
                   app_lan_state_name(info.u8_state));
    if (!app_lan_event_json_on()) continue;
    app_json one(s_one);
    one.str("modem", lan_serial_text(info.u32_serial).view())
        .str("address", pc_addr)
        .num("state", info.u8_state)
        .str("state_name", app_lan_state_name(info.u8_state));
    if (s_modems.size() > 1) s_modems += ',';
    s_modems += one.end();
  }
  s_modems += ']';
  if (app_lan_event_json_on()) {
    std::string s_line;
    app_json json = app_lan_event_begin(s_line, "summary", std::nullopt);
    json.num("count", nb).raw("modems", s_modems);
    app_lan_event_write(json);
  }
}

// "a b c" as the JSON array ["a","b","c"].
std::string _json_list(const std::string& s_list) {
  std::string s_json = "[";
  std::size_t pos = 0;
  while (pos < s_list.size()) {
    const std::size_t end = std::min(s_list.find(' ', pos), s_list.size());
    if (s_json.size() > 1) s_json += ',';
    s_json += '"';
    s_json.append(s_list, pos, end - pos);  // hexadecimal digits: nothing to escape
    s_json += '"';
    pos = end + 1;
  }
  return s_json + "]";
}

// The run's last line, @p pc_text: information for status 0, a warning for any other.
void _outcome_line(int i_status, const char* pc_text) {
  if (i_status == APP_EXIT_DONE) {
    vos_trace_info("%s", pc_text);
  } else {
    VOS_WARNING("%s", pc_text);
  }
}

// "Outcome: survey of N meters: ..." in place of the action's Outcome line.
void _survey_outcome(const app_survey& t_survey, int i_status, long long ms) {
  char ac_text[160];
  std::snprintf(
      ac_text, sizeof ac_text,
      "Outcome: survey of %zu meters: %zu missing, %zu weak, %zu single (exit %d, %lld ms)",
      t_survey.u_expected, t_survey.missing.size(), t_survey.weak.size(), t_survey.single.size(),
      i_status, ms);
  _outcome_line(i_status, ac_text);
}

}  // namespace

void app_outcome_report(const app_outcome& outcome, const app_run_end& end) {
  std::string s_answered;
  std::string s_not_answered;
  outcome.modems(s_answered, s_not_answered);
  std::string s_modems;
  if (end.b_each_modem) {
    s_modems = s_answered;
    if (!s_modems.empty() && !s_not_answered.empty()) s_modems += ' ';
    s_modems += s_not_answered;
    vos_trace_info("Answered: %s; not answered: %s",
                   s_answered.empty() ? "none" : s_answered.c_str(),
                   s_not_answered.empty() ? "none" : s_not_answered.c_str());
  } else if (end.modem) {
    s_modems = lan_serial_text(*end.modem).view();
  }
  _summary();
  if (app_lan_event_json_on()) {
    std::string s_line;
    app_json json = app_lan_event_begin(s_line, "result", end.modem);
    json.str("action", end.pc_action)
        .str("word", app_outcome_word(end.i_status))
        .num("exit", end.i_status)
        .num("elapsed_ms", end.ms)
        .raw("answered", _json_list(s_answered))
        .raw("not_answered", _json_list(s_not_answered));
    if (end.pt_survey != nullptr) app_survey_member(*end.pt_survey, json);
    app_lan_event_write(json);
  }
  if (end.pt_survey != nullptr) {
    _survey_outcome(*end.pt_survey, end.i_status, end.ms);
    return;
  }
  const std::string s_text = "Outcome: " + std::string(end.pc_action) + " on modem " +
                             (s_modems.empty() ? "none" : s_modems) + ": " +
                             app_outcome_word(end.i_status) + " (exit " +
                             std::to_string(end.i_status) + ", " + std::to_string(end.ms) + " ms)";
  _outcome_line(end.i_status, s_text.c_str());
}

int app_outcome_report_replay(const app_run_end& end, std::uint64_t u64_frames,
                              std::uint64_t u64_skipped) {
  std::string s_line;
  app_json json = app_lan_event_begin(s_line, "result", std::nullopt);
  json.str("action", end.pc_action)
      .str("word", app_outcome_word(end.i_status))
      .num("exit", end.i_status)
      .num("elapsed_ms", end.ms)
      .num("frames", static_cast<std::int64_t>(u64_frames))
      .num("skipped", static_cast<std::int64_t>(u64_skipped));
  if (end.pt_survey != nullptr) app_survey_member(*end.pt_survey, json);
  app_lan_event_write(json);
  // Events that could not be written come before the survey in the order of the statuses.
  const int i_status = app_lan_event_output_lost() ? APP_EXIT_EVENTS_LOST : end.i_status;
  if (end.pt_survey != nullptr) {
    _survey_outcome(*end.pt_survey, i_status, end.ms);
  } else {
    char ac_text[160];
    std::snprintf(ac_text, sizeof ac_text,
                  "Outcome: replay of %llu frames (%llu lines skipped): %s (exit %d, %lld ms)",
                  static_cast<unsigned long long>(u64_frames),
                  static_cast<unsigned long long>(u64_skipped), app_outcome_word(i_status),
                  i_status, end.ms);
    _outcome_line(i_status, ac_text);
  }
  return i_status;
}

int app_outcome_status(const app_outcome_facts& facts) {
  if (!facts.b_modem) return APP_EXIT_NO_MODEM;
  if (facts.b_local_error) return APP_EXIT_LOCAL_ERROR;
  if (facts.b_events_lost) return APP_EXIT_EVENTS_LOST;
  if (facts.b_refused) return APP_EXIT_REFUSED;
  if (facts.b_no_answer) return APP_EXIT_NO_ANSWER;
  if (facts.b_not_written) return APP_EXIT_NOT_WRITTEN;
  if (facts.b_failed) return APP_EXIT_FAILED;
  if (facts.b_pending) return APP_EXIT_NOT_COMPLETED;
  return APP_EXIT_DONE;
}

const char* app_outcome_word(int i_status) {
  switch (i_status) {
    case APP_EXIT_DONE:
      return "done";
    case APP_EXIT_NOT_WRITTEN:
      return "not written";
    case APP_EXIT_NO_MODEM:
      return "no modem";
    case APP_EXIT_REFUSED:
      return "refused";
    case APP_EXIT_NO_ANSWER:
      return "no answer";
    case APP_EXIT_NOT_COMPLETED:
      return "not completed";
    case APP_EXIT_FAILED:
      return "failed";
    case APP_EXIT_LOCAL_ERROR:
      return "local error";
    case APP_EXIT_EVENTS_LOST:
      return "events lost";
    case APP_EXIT_SURVEY_FAILED:
      return "survey failed";
    default:
      return "unknown";
  }
}

void app_outcome::begin(app_completion e_completion, std::uint16_t u16_param_id) {
  const std::lock_guard lock(mutex_);
  e_completion_ = e_completion;
  u16_param_id_ = u16_param_id;
  nb_modems_ = 0;
  b_local_error_ = false;
}

app_outcome::modem_state* app_outcome::find(std::uint32_t u32_serial) {
  for (std::size_t i = 0; i < nb_modems_; ++i) {
    if (at_modems_[i].u32_serial == u32_serial) return &at_modems_[i];
  }
  return nullptr;
}

app_outcome::modem_state* app_outcome::find_host(const coap_address_t* pt_sender) {
  if (pt_sender == nullptr) return nullptr;
  for (std::size_t i = 0; i < nb_modems_; ++i) {
    if (app_lan_same_host(at_modems_[i].t_addr, *pt_sender)) return &at_modems_[i];
  }
  return nullptr;
}

bool app_outcome::ask(std::uint32_t u32_serial, const coap_address_t& t_addr) {
  const std::lock_guard lock(mutex_);
  if (find(u32_serial) != nullptr || nb_modems_ == max_modems) return false;
  at_modems_[nb_modems_++] = modem_state{u32_serial, t_addr};
  return true;
}

void app_outcome::sent(std::uint32_t u32_serial) {
  {
    const std::lock_guard lock(mutex_);
    if (modem_state* pt = find(u32_serial)) pt->b_sent = true;
  }
  cond_.notify_all();
}

void app_outcome::local_error() {
  {
    const std::lock_guard lock(mutex_);
    b_local_error_ = true;
  }
  cond_.notify_all();
}

void app_outcome::observe(const lan_event& t_event) {
  {
    const std::lock_guard lock(mutex_);
    switch (t_event.e_kind) {
      case lan_event_kind::modem:
        ++u32_modem_events_;
        break;
      case lan_event_kind::output_lost:
        b_events_lost_ = true;
        break;
      case lan_event_kind::response: {
        modem_state* pt = find(t_event.u32_modem);
        if (pt == nullptr) return;
        if (t_event.u32_code == 0 && !t_event.b_reset) {
          pt->b_no_answer = true;
        } else if (t_event.b_reset || (t_event.u32_code >> 5) != class_success) {
          pt->b_refused = true;
        }
        break;
      }
      case lan_event_kind::firmware_result: {
        // Only the registered modem itself: its staged file goes with the result.
        modem_state* pt = t_event.b_registered ? find(t_event.u32_modem) : nullptr;
        if (e_completion_ != app_completion::firmware || pt == nullptr) return;
        pt->b_completed = true;
        pt->b_failed = !t_event.b_ok;
        break;
      }
      case lan_event_kind::statistics: {
        modem_state* pt = find_host(t_event.pt_sender);
        if (e_completion_ != app_completion::statistics || pt == nullptr) return;
        pt->b_completed = true;
        break;
      }
      case lan_event_kind::parameter: {
        // A value cut short, or another parameter's, leaves the run waiting.
        modem_state* pt = find_host(t_event.pt_sender);
        if (e_completion_ != app_completion::parameter || pt == nullptr || !t_event.b_ok ||
            t_event.u16_param_id != u16_param_id_) {
          return;
        }
        pt->b_completed = true;
        break;
      }
      case lan_event_kind::noise: {
        modem_state* pt = find_host(t_event.pt_sender);
        if (e_completion_ != app_completion::noise || pt == nullptr) return;
        pt->b_completed = true;
        pt->b_not_written = !t_event.b_ok;
        break;
      }
    }
  }
  cond_.notify_all();
}

void app_outcome::stop() {
  {
    const std::lock_guard lock(mutex_);
    b_stopped_ = true;
  }
  cond_.notify_all();
}

bool app_outcome::stopped() const {
  const std::lock_guard lock(mutex_);
  return b_stopped_ || b_events_lost_;
}

bool app_outcome::finished(const modem_state& m) const {
  if (!m.b_sent) return false;
  return m.b_refused || m.b_no_answer || e_completion_ == app_completion::none || m.b_completed;
}

bool app_outcome::good(const modem_state& m) const {
  return m.b_sent && !m.b_refused && !m.b_no_answer && !m.b_failed && !m.b_not_written &&
         (e_completion_ == app_completion::none || m.b_completed);
}

bool app_outcome::wait(std::chrono::steady_clock::time_point t_until, bool b_to_deadline,
                       bool b_wake_on_modem) {
  std::unique_lock lock(mutex_);
  const std::uint32_t u32_events = u32_modem_events_;
  auto all_finished = [this] {
    if (nb_modems_ == 0 && !b_local_error_) return false;
    for (std::size_t i = 0; i < nb_modems_; ++i) {
      if (!finished(at_modems_[i])) return false;
    }
    return true;
  };
  cond_.wait_until(lock, t_until, [&] {
    return (!b_to_deadline && (b_local_error_ || all_finished())) ||
           (b_wake_on_modem && u32_modem_events_ != u32_events) || b_stopped_ || b_events_lost_;
  });
  return b_local_error_ || all_finished();
}

app_outcome_facts app_outcome::facts(bool b_modem) const {
  const std::lock_guard lock(mutex_);
  app_outcome_facts facts;
  facts.b_modem = b_modem;
  facts.b_local_error = b_local_error_;
  facts.b_events_lost = b_events_lost_;
  for (std::size_t i = 0; i < nb_modems_; ++i) {
    const modem_state& m = at_modems_[i];
    facts.b_refused |= m.b_refused;
    facts.b_no_answer |= m.b_no_answer;
    facts.b_failed |= m.b_failed;
    facts.b_not_written |= m.b_not_written;
    facts.b_pending |= e_completion_ != app_completion::none && !m.b_completed;
  }
  return facts;
}

void app_outcome::modems(std::string& answered, std::string& not_answered) const {
  const std::lock_guard lock(mutex_);
  answered.clear();
  not_answered.clear();
  for (std::size_t i = 0; i < nb_modems_; ++i) {
    const modem_state& m = at_modems_[i];
    std::string& out = good(m) ? answered : not_answered;
    if (!out.empty()) out += ' ';
    out += lan_serial_text(m.u32_serial).view();
  }
}
