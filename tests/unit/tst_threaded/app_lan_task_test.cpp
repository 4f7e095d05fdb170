// LAN hand-off and workers: which thread treats which kind, copies and null payloads,
// independence of the two workers, a worker that lags while the LAN keeps sending; every block
// comes back. (The whole inbound path, dropped kinds and idle time-outs: end-to-end tests.)
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "alloc_balance.h"
#include "app_lan.h"
#include "app_lan_internal.h"
#include "coap_addr.h"
#include "stdout_capture.h"
#include "test_regex.h"
#include "test_wait.h"
#include "vos_mem.h"
#include "vos_task_linux.h"
#include "vos_trace.h"

namespace {

using namespace std::chrono_literals;
using test_support::wait_until;

// One call of a treating function: kind, thread, payload pointer and bytes, sender port.
struct record {
  std::uint32_t u32_kind;
  pthread_t t_thread;
  const std::uint8_t* pu8_payload;
  std::vector<std::uint8_t> data;
  std::uint16_t u16_port;
};

std::mutex g_mutex;
std::vector<record> g_records;

std::atomic<bool> b_release{false};
std::atomic<bool> b_entered{false};
std::atomic<std::uint32_t> u32_treated{0};

// A frame worker stuck until released (its output unread, say); a line per frame.
std::int32_t stuck_treat(const coap_address_t*, const std::uint8_t*, std::uint32_t) {
  b_entered = true;
  while (!b_release.load()) std::this_thread::sleep_for(1ms);
  ++u32_treated;
  vos_trace_debug("t.c", 1, "frame");
  return 1;
}

// The workers started as app_lan_init starts them, around the treating functions a test sets;
// stop() ends them (a message of kind 0 each) and puts the real functions back.
class app_lan_task : public test_support::alloc_balance_test {
 protected:
  void SetUp() override {
    vos_os_init();
    detail::app_lan_reset();
    std::copy(std::begin(detail::_apf_lan_treat), std::end(detail::_apf_lan_treat), saved_);
    u32_threads_ = vos_os_nb_thread();
    g_records.clear();  // every test starts with no record, the stuck worker neither in nor out
    b_release = b_entered = false;
    u32_treated = 0;
    mark_alloc();
  }
  void TearDown() override {
    stop();
    expect_alloc_balance();
  }
  // The worker of @p pf_entry, its handle in @p t_handle.
  static void start(vos_os_thread_entry_t pf_entry, vos_os_thread_t& t_handle) {
    t_handle = vos_os_create_thread_stack(pf_entry, 6, "worker", nullptr, detail::LAN_THREAD_STACK);
    ASSERT_NE(t_handle, nullptr);
    vos_os_set_thread_quota(t_handle, detail::LAN_WORKER_QUOTA);
  }
  void stop() {
    for (vos_os_thread_t* pt :
         {&detail::_pv_lan_itf_task_handle, &detail::_pv_lan_modem_task_handle}) {
      if (*pt == nullptr) continue;
      void* pv_stop = nullptr;
      vos_os_calloc(&pv_stop, sizeof(lan_msg));
      EXPECT_EQ(vos_os_send_msg_to_thread(*pt, &pv_stop), 1);
      *pt = nullptr;
    }
    EXPECT_TRUE(wait_until([this] { return vos_os_nb_thread() == u32_threads_; }, 10s));
    std::copy(std::begin(saved_), std::end(saved_), detail::_apf_lan_treat);
  }

  // A frame worker held in the first of @p u32_sent frames until all are posted, then
  // released. @return the frames posted.
  static std::uint32_t hold_and_post(std::uint32_t u32_sent) {
    detail::_apf_lan_treat[LAN_MSG_RX_FRAME] = stuck_treat;
    start(detail::_lan_itf_task, detail::_pv_lan_itf_task_handle);
    const std::uint8_t au8_frame[64] = {};
    const coap_address_t t_from{};
    std::uint32_t u32_posted = 0;
    for (std::uint32_t i = 0; i < u32_sent; ++i) {
      u32_posted += app_lan_rx_handler(LAN_MSG_RX_FRAME, &t_from, au8_frame, 64) == 1 ? 1 : 0;
      EXPECT_TRUE(i != 0 || wait_until([] { return b_entered.load(); }, 10s));
    }
    b_release = true;
    return u32_posted;
  }
  detail::lan_treat_fn saved_[detail::LAN_MSG_LAST + 1] = {};
  std::uint32_t u32_threads_ = 0;
};
class app_lan_hostile_task : public app_lan_task {};

// Stands for the treating function of kind K: notes who treated what. Kind 2 takes the registry
// lock first, as the real one does.
template <std::uint32_t K>
std::int32_t recorder(const coap_address_t* pt_sender, const std::uint8_t* pu8_payload,
                      std::uint32_t u32_size) {
  if (K == LAN_MSG_INFO) {
    const auto lock = detail::_app_lan_hold_registry();
  }
  record r{K, pthread_self(), pu8_payload, {}, ntohs(pt_sender->addr.sin.sin_port)};
  if (pu8_payload != nullptr) r.data.assign(pu8_payload, pu8_payload + u32_size);
  const std::lock_guard lock(g_mutex);
  g_records.push_back(std::move(r));
  return 1;
}

std::vector<record> records() {
  const std::lock_guard lock(g_mutex);
  return g_records;
}

bool wait_records(std::size_t n) {
  return wait_until([n] { return records().size() >= n; }, 10s);
}

}  // namespace

// Each kind on its worker with a private copy (a zero-length payload as null); radio frames go
// on while the modem worker waits for the registry.
TEST_F(app_lan_task, each_kind_on_its_worker_and_frames_never_wait_for_the_registry) {
  const detail::lan_treat_fn recorders[] = {recorder<1>, recorder<2>, recorder<3>,
                                            recorder<4>, recorder<5>, recorder<6>};
  std::copy(std::begin(recorders), std::end(recorders), &detail::_apf_lan_treat[1]);
  start(detail::_lan_itf_task, detail::_pv_lan_itf_task_handle);
  start(detail::_lan_modem_task, detail::_pv_lan_modem_task_handle);
  const vos_os_thread_t workers[2] = {detail::_pv_lan_itf_task_handle,
                                      detail::_pv_lan_modem_task_handle};
  const coap_address_t t_sender = ipv4("10.0.0.2", 40000);
  std::uint8_t au8_payload[3] = {0x10, 0x20, 0x30};
  {
    const auto lock = detail::_app_lan_hold_registry();
    for (const std::uint32_t u32_kind : {2u, 3u, 4u, 5u, 6u, 1u}) {
      au8_payload[0] = static_cast<std::uint8_t>(u32_kind);
      EXPECT_EQ(app_lan_rx_handler(u32_kind, &t_sender, au8_payload, u32_kind == 6 ? 0 : 3), 1);
    }
    au8_payload[1] = 0xEE;  // the caller may reuse its buffer at once
    EXPECT_TRUE(wait_records(1));
    EXPECT_EQ(records().size(), 1u);
  }
  EXPECT_TRUE(wait_records(6));
  std::vector<record> got = records();
  std::sort(got.begin(), got.end(), [](auto& a, auto& b) { return a.u32_kind < b.u32_kind; });
  for (const record& r : got) {
    SCOPED_TRACE("kind " + std::to_string(r.u32_kind));
    EXPECT_TRUE(pthread_equal(r.t_thread, workers[r.u32_kind == 1 ? 0 : 1]->thread_id));
    EXPECT_EQ(r.u16_port, 40000);
    EXPECT_NE(r.pu8_payload, au8_payload);
    EXPECT_EQ(r.pu8_payload == nullptr, r.u32_kind == 6) << "a zero-length payload comes as null";
    if (r.u32_kind == 6) continue;
    EXPECT_EQ(r.data,
              (std::vector<std::uint8_t>{static_cast<std::uint8_t>(r.u32_kind), 0x20, 0x30}));
  }
  EXPECT_EQ(records().at(0).u32_kind, LAN_MSG_RX_FRAME) << "the frame waited for the registry";
}

// A worker that lags (its trace stalls) while the LAN keeps sending: its mailbox stays at its
// quota, what does not fit is dropped and counted, and the count is given by a warning line.
TEST_F(app_lan_hostile_task, lagging_worker_gets_its_quota_and_the_rest_is_counted_in_a_warning) {
  constexpr std::uint32_t u32_sent = 1000;
  std::uint32_t u32_posted = 0;
  // The worker holds the first message before the flood: every drop comes after its last
  // report, so one warning carries them all.
  const std::string out = test_support::captured([&] {
    u32_posted = hold_and_post(u32_sent);
    ASSERT_TRUE(wait_until([&] { return u32_treated.load() == u32_posted; }, 10s));
    stop();  // the worker reports after its next wait: a message, or its 2 s time-out
  });
  // The quota, plus the one being treated.
  EXPECT_EQ(u32_posted, detail::LAN_WORKER_QUOTA + 1);
  EXPECT_TRUE(test_support::re_search_lines(
      out, "^[0-9]{8}-[0-9]{6}:WARNING:\\.\\./tst/app_lan\\.c:[0-9]+:" +
               std::to_string(u32_sent - u32_posted) + " LAN messages dropped: worker busy$"))
      << out;
}

// The frames found waiting leave their lines in one write once the mailbox is empty: a frame
// held while ten more come gives two writes (a datagram each), its own and the ten.
TEST_F(app_lan_task, frames_found_waiting_leave_their_lines_in_one_write) {
  int ai_fd[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, ai_fd), 0);
  vos_trace_set_output(ai_fd[0]);
  EXPECT_EQ(hold_and_post(11), 11u);
  std::vector<long> lines;  // per write of the frame lines
  char ac[4096];
  for (long n = 0, len = 0; n < 11 && (len = recv(ai_fd[1], ac, sizeof ac, 0)) > 0;) {
    if (std::string_view(ac, len).find(":frame\n") == std::string_view::npos) continue;
    lines.push_back(std::count(ac, ac + len, '\n'));
    n += lines.back();
  }
  vos_trace_set_output(STDOUT_FILENO);
  close(ai_fd[0]);
  close(ai_fd[1]);
  EXPECT_EQ(lines, (std::vector<long>{1, 10}));
}

// Message blocks are kept for reuse: sizes that fit a kept block, do not fit, or are never kept
// all reach the worker whole, one frame at a time so that each may take the block of the last.
TEST_F(app_lan_task, reused_message_blocks_carry_each_payload_whole) {
  detail::_apf_lan_treat[LAN_MSG_RX_FRAME] = recorder<1>;
  start(detail::_lan_itf_task, detail::_pv_lan_itf_task_handle);
  const coap_address_t t_sender = ipv4("10.0.0.2", 40000);
  std::vector<std::vector<std::uint8_t>> sent;
  for (const std::uint32_t u32_size : {60, 60, 50, 1, 2000, 60, 300, 450, 40, 455}) {
    sent.emplace_back(u32_size, static_cast<std::uint8_t>(0xA0 + sent.size()));
    ASSERT_EQ(app_lan_rx_handler(LAN_MSG_RX_FRAME, &t_sender, sent.back().data(), u32_size), 1);
    ASSERT_TRUE(wait_records(sent.size()));
    EXPECT_EQ(records().back().data, sent.back());
  }
}
