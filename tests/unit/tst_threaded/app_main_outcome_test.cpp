// Outcome of a bounded run: the exit status of every combination of facts, facts arriving in
// any order from any modem or host. (The main thread's wait: the end-to-end bounded runs.)
#include "app_main_outcome.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "coap_addr.h"

namespace {

constexpr std::uint32_t modem_a = 0x1a2b3c4d;
constexpr std::uint32_t modem_b = 0x1a2b3c4e;
using k = lan_event_kind;
using c = app_completion;

// Where modem_a and modem_b announced themselves; where a modem answers from (port 5683) and a
// host that is not registered.
const coap_address_t at_a = ipv4("10.0.0.11", 40001);
const coap_address_t at_b = ipv4("10.0.0.12", 5683);
const coap_address_t a_answers = ipv4("10.0.0.11", 5683);
const coap_address_t stranger = ipv4("10.0.0.99", 5683);
const coap_address_t a_other_port = ipv4("10.0.0.11", 7);

// A response of code @p u32_code (0x44 2.04, 0x45 2.05, 0x84 4.04, 0xA0 5.00, 0 none).
lan_event rsp(std::uint32_t u32_code, std::uint32_t u32_modem = modem_a, bool b_reset = false) {
  return {.e_kind = k::response,
          .u32_modem = u32_modem,
          .b_registered = true,
          .u32_code = u32_code,
          .b_reset = b_reset};
}
// An indication from @p t_from, registered as @p u32_modem unless that is null.
lan_event ind(k e_kind, bool b_ok = true, const coap_address_t& t_from = a_answers,
              const std::uint32_t* pu32_modem = &modem_a, std::uint16_t u16_param = 0x101) {
  return {.e_kind = e_kind,
          .u32_modem = pu32_modem != nullptr ? *pu32_modem : 0,
          .b_registered = pu32_modem != nullptr,
          .b_ok = b_ok,
          .pt_sender = &t_from,
          .u16_param_id = u16_param};
}

}  // namespace

TEST(app_main_outcome, status_is_the_first_fact_that_holds) {
  const struct {
    app_outcome_facts facts;
    int status;
    const char* word;
  } rows[] = {
      {{true}, 0, "done"},
      {{false, true, true, true, true, true, true, true}, 3, "no modem"},
      {{true, true, true, true, true, true, true, true}, 8, "local error"},
      {{true, false, true, true, true, true, true, true}, 9, "events lost"},
      {{true, false, false, true, true, true, true, true}, 4, "refused"},
      {{true, false, false, false, true, true, true, true}, 5, "no answer"},
      {{true, false, false, false, false, true, true, true}, 2, "not written"},
      {{true, false, false, false, false, true, false, true}, 7, "failed"},
      {{true, false, false, false, false, false, false, true}, 6, "not completed"},
  };
  for (const auto& r : rows) {
    EXPECT_EQ(app_outcome_status(r.facts), r.status) << r.word;
    EXPECT_STREQ(app_outcome_word(app_outcome_status(r.facts)), r.word);
  }
  EXPECT_STREQ(app_outcome_word(1), "unknown");
}

// Only what comes from the asked modem counts: a firmware result from the registered modem
// itself (never from a host that is not registered, even when the asked serial is 0), the
// other indications from its IP address whatever the port, a parameter only whole and of the
// asked identifier.
TEST(app_main_outcome, facts_count_for_the_asked_modems_in_any_order) {
  constexpr std::uint32_t m0 = 0;
  const struct {
    app_completion e_completion;
    std::uint32_t u32_asked;
    std::vector<lan_event> events;  // observed between ask and sent, in this order
    int status;
  } rows[] = {
      {c::firmware, modem_a, {ind(k::firmware_result), rsp(0x44)}, 0},
      {c::firmware, modem_a, {rsp(0x44), ind(k::firmware_result, false)}, 7},
      {c::firmware, modem_a, {rsp(0x44), ind(k::firmware_result, true, at_b, &modem_b)}, 6},
      {c::firmware, m0, {rsp(0x44, m0), ind(k::firmware_result, true, stranger, nullptr)}, 6},
      {c::firmware, m0, {rsp(0x44, m0), ind(k::firmware_result, true, at_a, &m0)}, 0},
      {c::firmware, modem_a, {rsp(0x44), ind(k::statistics)}, 6},
      {c::none, modem_a, {rsp(0x44), rsp(0xA0)}, 4},
      {c::none, modem_a, {rsp(0x44), rsp(0x84, modem_b)}, 0},
      {c::statistics, modem_a, {rsp(0x45), ind(k::statistics, true, a_answers, nullptr)}, 0},
      {c::statistics, m0, {rsp(0x45, m0), ind(k::statistics, true, stranger, nullptr)}, 6},
      {c::parameter, modem_a, {rsp(0x45), ind(k::parameter)}, 0},
      {c::parameter, modem_a, {rsp(0x45), ind(k::parameter, false)}, 6},
      {c::parameter, modem_a, {rsp(0x45), ind(k::parameter, true, a_answers, &modem_a, 0x9999)}, 6},
      {c::noise, modem_a, {rsp(0x44), ind(k::noise, false, a_other_port)}, 2},
      {c::noise, modem_a, {rsp(0x44), ind(k::noise, true, at_b, &modem_b)}, 6},
      {c::none, modem_a, {rsp(0x44), {.e_kind = k::output_lost}}, 9},
  };
  for (std::size_t i = 0; i < std::size(rows); ++i) {
    const auto& r = rows[i];
    app_outcome outcome;
    outcome.begin(r.e_completion, 0x101);
    outcome.ask(r.u32_asked, at_a);
    for (const lan_event& e : r.events) outcome.observe(e);
    outcome.sent(r.u32_asked);
    EXPECT_EQ(app_outcome_status(outcome.facts(true)), r.status) << "row " << i;
  }
  app_outcome outcome;
  outcome.begin(c::statistics);
  outcome.ask(modem_a, at_a);
  outcome.ask(modem_b, at_b);
  outcome.ask(modem_a, at_a);
  for (const lan_event& e : {rsp(0x45), ind(k::statistics), rsp(0, modem_b)}) outcome.observe(e);
  outcome.sent(modem_a);
  outcome.sent(modem_b);
  EXPECT_EQ(app_outcome_status(outcome.facts(true)), 5);
  std::string s_yes, s_no;
  outcome.modems(s_yes, s_no);
  EXPECT_EQ(s_yes + "/" + s_no, "1a2b3c4d/1a2b3c4e");
}

// A stop (a signal, the events' reader gone) ends every wait at once.
TEST(app_main_outcome, stop_ends_the_wait) {
  app_outcome outcome;
  outcome.begin(c::firmware);
  outcome.ask(modem_a, at_a);
  outcome.sent(modem_a);
  EXPECT_FALSE(outcome.stopped());
  outcome.stop();
  const auto t_start = std::chrono::steady_clock::now();
  EXPECT_FALSE(outcome.wait(t_start + std::chrono::seconds(30), true, false));
  EXPECT_LT(std::chrono::steady_clock::now() - t_start, std::chrono::seconds(20));
  EXPECT_TRUE(outcome.stopped());
  EXPECT_EQ(app_outcome_status(outcome.facts(true)), 6);
}
