// Outcome of a bounded run. Facts arrive in any order: a completing indication may be treated
// before the request that caused it has returned to the main thread.
#include "app_main_outcome.h"

#include <cstdio>

#include "app_lan_internal.h"

namespace {

constexpr std::uint32_t class_success = 2;

}  // namespace

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
    if (detail::_app_lan_same_host(at_modems_[i].t_addr, *pt_sender)) return &at_modems_[i];
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
    char ac_serial[12];
    std::snprintf(ac_serial, sizeof ac_serial, "%x", m.u32_serial);
    if (!out.empty()) out += ' ';
    out += ac_serial;
  }
}
