// Outcome of a bounded run: the exit status of every combination of facts, facts arriving in
// any order from any modem. (The main thread's wait: the end-to-end bounded runs.)
#include "app_main_outcome.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

constexpr std::uint32_t modem_a = 0x1a2b3c4d;
constexpr std::uint32_t modem_b = 0x1a2b3c4e;
using k = lan_event_kind;
using c = app_completion;

// A response of code @p u32_code (0x44 2.04, 0x45 2.05, 0x84 4.04, 0xA0 5.00, 0 none).
lan_event rsp(std::uint32_t u32_code, std::uint32_t u32_modem = modem_a, bool b_reset = false) {
  return {k::response, u32_modem, u32_code, b_reset};
}
lan_event ind(k e_kind, bool b_ok = true, std::uint32_t u32_modem = modem_a) {
  return {e_kind, u32_modem, 0, false, b_ok};
}

}  // namespace

TEST(app_main_outcome, status_is_the_first_fact_that_holds) {
  const struct {
    app_outcome_facts facts;
    int status;
    const char* word;
  } rows[] = {
      {{true}, 0, "done"},
      {{false, true, true, true, true, true, true}, 3, "no modem"},
      {{true, true, true, true, true, true, true}, 8, "local error"},
      {{true, false, true, true, true, true, true}, 4, "refused"},
      {{true, false, false, true, true, true, true}, 5, "no answer"},
      {{true, false, false, false, true, true, true}, 2, "not written"},
      {{true, false, false, false, true, false, true}, 7, "failed"},
      {{true, false, false, false, false, false, true}, 6, "not completed"},
  };
  for (const auto& r : rows) {
    EXPECT_EQ(app_outcome_status(r.facts), r.status) << r.word;
    EXPECT_STREQ(app_outcome_word(app_outcome_status(r.facts)), r.word);
  }
  EXPECT_STREQ(app_outcome_word(1), "unknown");
}

// Facts of other modems or kinds do not count; a modem asked twice counts once.
TEST(app_main_outcome, facts_count_for_the_asked_modems_in_any_order) {
  const struct {
    app_completion e_completion;
    std::vector<lan_event> events;  // observed between ask and sent, in this order
    int status;
  } rows[] = {
      {c::firmware, {ind(k::firmware_result), rsp(0x44)}, 0},
      {c::firmware, {rsp(0x44), ind(k::firmware_result, true, modem_b)}, 6},
      {c::firmware, {rsp(0x44), ind(k::statistics)}, 6},
      {c::none, {rsp(0x44), rsp(0xA0)}, 4},
      {c::none, {rsp(0x44), rsp(0x84, modem_b)}, 0},
      {c::parameter, {rsp(0x45), ind(k::parameter)}, 0},
      {c::noise, {rsp(0x44), ind(k::noise, false)}, 2},
  };
  for (std::size_t i = 0; i < std::size(rows); ++i) {
    const auto& r = rows[i];
    app_outcome outcome;
    outcome.begin(r.e_completion);
    outcome.ask(modem_a);
    for (const lan_event& e : r.events) outcome.observe(e);
    outcome.sent(modem_a);
    EXPECT_EQ(app_outcome_status(outcome.facts(true)), r.status) << "row " << i;
  }
  app_outcome outcome;
  outcome.begin(c::statistics);
  for (const std::uint32_t u32_id : {modem_a, modem_b, modem_a}) outcome.ask(u32_id);
  for (const lan_event& e : {rsp(0x45), ind(k::statistics), rsp(0, modem_b)}) outcome.observe(e);
  outcome.sent(modem_a);
  outcome.sent(modem_b);
  EXPECT_EQ(app_outcome_status(outcome.facts(true)), 5);
  std::string s_yes, s_no;
  outcome.modems(s_yes, s_no);
  EXPECT_EQ(s_yes + "/" + s_no, "1a2b3c4d/1a2b3c4e");
}
