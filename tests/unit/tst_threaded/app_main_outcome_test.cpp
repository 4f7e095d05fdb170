// Outcome of a bounded run: the exit status of every combination of facts, facts arriving in
// any order from any modem, and the main thread's wait ended by a LAN thread.
#include "app_main_outcome.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr std::uint32_t modem_a = 0x1a2b3c4d;
constexpr std::uint32_t modem_b = 0x1a2b3c4e;
constexpr std::uint32_t code_2_04 = 0x44;
constexpr std::uint32_t code_2_05 = 0x45;
constexpr std::uint32_t code_4_04 = 0x84;
constexpr std::uint32_t code_5_00 = 0xA0;

lan_event response(std::uint32_t u32_modem, std::uint32_t u32_code, bool b_reset = false) {
  return {lan_event_kind::response, u32_modem, u32_code, b_reset};
}
lan_event indication(lan_event_kind e_kind, std::uint32_t u32_modem, bool b_ok = true) {
  return {e_kind, u32_modem, 0, false, b_ok};
}

}  // namespace

TEST(app_main_outcome, status_is_the_first_fact_that_holds) {
  struct row {
    const char* name;
    app_outcome_facts facts;
    int status;
    const char* word;
  };
  const row rows[] = {
      {"all good", {true}, 0, "done"},
      {"no modem hides everything", {false, true, true, true, true, true, true}, 3, "no modem"},
      {"local error before refusal", {true, true, true, true, true, true, true}, 8, "local error"},
      {"refused before silence", {true, false, true, true, true, true, true}, 4, "refused"},
      {"no answer before a failure", {true, false, false, true, true, true, true}, 5, "no answer"},
      {"report not written", {true, false, false, false, true, true, true}, 2, "not written"},
      {"failure before pending", {true, false, false, false, true, false, true}, 7, "failed"},
      {"pending", {true, false, false, false, false, false, true}, 6, "not completed"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    EXPECT_EQ(app_outcome_status(r.facts), r.status);
    EXPECT_STREQ(app_outcome_word(app_outcome_status(r.facts)), r.word);
  }
  EXPECT_STREQ(app_outcome_word(1), "unknown");
}

TEST(app_main_outcome, facts_count_for_the_asked_modems_in_any_order) {
  struct row {
    const char* name;
    app_completion e_completion;
    std::vector<lan_event> events;  // observed between ask and sent, in this order
    int status;
    const char* answered;
    const char* not_answered;
  };
  using k = lan_event_kind;
  const std::vector<row> rows = {
      {"upgrade installed",
       app_completion::firmware,
       {response(modem_a, code_2_04), indication(k::firmware_result, modem_a)},
       0,
       "1a2b3c4d",
       ""},
      {"result before the answer came back",
       app_completion::firmware,
       {indication(k::firmware_result, modem_a), response(modem_a, code_2_04)},
       0,
       "1a2b3c4d",
       ""},
      {"install KO",
       app_completion::firmware,
       {response(modem_a, code_2_04), indication(k::firmware_result, modem_a, false)},
       7,
       "",
       "1a2b3c4d"},
      {"install result of another modem",
       app_completion::firmware,
       {response(modem_a, code_2_04), indication(k::firmware_result, modem_b)},
       6,
       "",
       "1a2b3c4d"},
      {"an indication of another kind",
       app_completion::firmware,
       {response(modem_a, code_2_04), indication(k::statistics, modem_a)},
       6,
       "",
       "1a2b3c4d"},
      {"4.04", app_completion::none, {response(modem_a, code_4_04)}, 4, "", "1a2b3c4d"},
      {"5.00 after a success",
       app_completion::none,
       {response(modem_a, code_2_04), response(modem_a, code_5_00)},
       4,
       "",
       "1a2b3c4d"},
      {"reset", app_completion::none, {response(modem_a, 0, true)}, 4, "", "1a2b3c4d"},
      {"silence", app_completion::parameter, {response(modem_a, 0)}, 5, "", "1a2b3c4d"},
      {"parameter read",
       app_completion::parameter,
       {response(modem_a, code_2_05), indication(k::parameter, modem_a)},
       0,
       "1a2b3c4d",
       ""},
      {"noise written",
       app_completion::noise,
       {response(modem_a, code_2_04), indication(k::noise, modem_a)},
       0,
       "1a2b3c4d",
       ""},
      {"noise not written",
       app_completion::noise,
       {response(modem_a, code_2_04), indication(k::noise, modem_a, false)},
       2,
       "",
       "1a2b3c4d"},
      {"a response of a modem not asked",
       app_completion::none,
       {response(modem_a, code_2_04), response(modem_b, code_4_04)},
       0,
       "1a2b3c4d",
       ""},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    app_outcome outcome;
    outcome.begin(r.e_completion);
    outcome.ask(modem_a);
    for (const lan_event& e : r.events) outcome.observe(e);
    outcome.sent(modem_a);
    EXPECT_EQ(app_outcome_status(outcome.facts(true)), r.status);
    std::string answered;
    std::string not_answered;
    outcome.modems(answered, not_answered);
    EXPECT_EQ(answered, r.answered);
    EXPECT_EQ(not_answered, r.not_answered);
  }
  {
    SCOPED_TRACE("statistics of two modems, one silent");
    app_outcome outcome;
    outcome.begin(app_completion::statistics);
    for (const std::uint32_t u32_id : {modem_a, modem_b, modem_a}) outcome.ask(u32_id);
    outcome.observe(response(modem_a, code_2_05));
    outcome.observe(indication(k::statistics, modem_a));
    outcome.observe(response(modem_b, 0));
    outcome.sent(modem_a);
    outcome.sent(modem_b);
    EXPECT_EQ(app_outcome_status(outcome.facts(true)), 5);
    std::string answered;
    std::string not_answered;
    outcome.modems(answered, not_answered);
    EXPECT_EQ(answered, "1a2b3c4d");
    EXPECT_EQ(not_answered, "1a2b3c4e");
  }
}

TEST(app_main_outcome, wait_ends_when_a_lan_thread_completes_or_at_the_deadline) {
  using namespace std::chrono;
  using steady = steady_clock;
  app_outcome outcome;
  outcome.begin(app_completion::firmware);
  outcome.ask(modem_a);
  outcome.observe(response(modem_a, code_2_04));
  outcome.sent(modem_a);
  {
    SCOPED_TRACE("nothing completes: the deadline ends the wait");
    const steady::time_point t0 = steady::now();
    EXPECT_FALSE(outcome.wait(t0 + milliseconds(100), false, false));
    EXPECT_GE(steady::now() - t0, milliseconds(100));
  }
  {
    SCOPED_TRACE("a modem event wakes a wait that asks for it");
    std::thread t([&] {
      std::this_thread::sleep_for(milliseconds(50));
      outcome.observe({lan_event_kind::modem, modem_b});
    });
    const steady::time_point t0 = steady::now();
    EXPECT_FALSE(outcome.wait(t0 + seconds(10), true, true));
    EXPECT_LT(steady::now() - t0, seconds(5));
    t.join();
  }
  {
    SCOPED_TRACE("the completing indication from another thread ends the wait");
    std::thread t([&] {
      std::this_thread::sleep_for(milliseconds(50));
      outcome.observe(indication(lan_event_kind::firmware_result, modem_a));
    });
    const steady::time_point t0 = steady::now();
    EXPECT_TRUE(outcome.wait(t0 + seconds(10), false, false));
    const auto elapsed = steady::now() - t0;
    EXPECT_GE(elapsed, milliseconds(40));
    EXPECT_LT(elapsed, seconds(5));
    t.join();
  }
  EXPECT_EQ(app_outcome_status(outcome.facts(true)), 0);
}
