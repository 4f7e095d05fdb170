// CoAP server endpoint: start, stop and failures, inside the test's own network namespace. (What
// it answers to each request is compared on the wire by the end-to-end tests.)
#include "coap_server.h"

#include <arpa/inet.h>
#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "net_support.h"
#include "stdout_capture.h"

using namespace std::chrono_literals;

namespace {

const sockaddr_in server_unicast = ipv4(eth0_ip, 5683);

// Ready once an empty confirmable message (a ping) is answered with a reset; idle passes of 2 s
// go by without the loop ending on its own; quit ends it within one pass, the context with it.
TEST(coap_server, quit_ends_the_loop_within_one_pass) {
  NET_TEST_PREAMBLE();
  quit = false;
  std::atomic<std::int32_t> result{-2};
  std::atomic<bool> b_done{false};
  std::thread server([&] {
    result = coap_server_task();
    b_done = true;
  });
  udp_socket probe(eth0_ip, 0), client(eth0_ip, 0);
  EXPECT_TRUE(probe.ask(server_unicast, {0x40, 0x00, 0x00, 0x01}).has_value()) << "server down";
  std::this_thread::sleep_for(2300ms);
  EXPECT_FALSE(b_done.load());
  const auto start = std::chrono::steady_clock::now();
  coap_server_stop();
  server.join();
  EXPECT_LE(std::chrono::steady_clock::now() - start, 3s);
  EXPECT_EQ(result.load(), 0);
  client.send_to(server_unicast, {0x40, 0x00, 0x00, 0x09});
  EXPECT_FALSE(client.receive(2s).has_value()) << "nobody answers on 5683 any more";
}

// A request the hand-off does not post is refused 5.03 with Max-Age 1 s, never acknowledged
// 2.03 as if it were queued; once the hand-off posts again, the answer is 2.03.
TEST(coap_server, request_not_posted_is_answered_5_03_with_max_age) {
  NET_TEST_PREAMBLE();
  quit = false;
  std::thread server([] { coap_server_task(); });
  udp_socket client(eth0_ip, 0);
  ASSERT_TRUE(client.ask(server_unicast, {0x40, 0x00, 0x00, 0x01}).has_value()) << "server down";
  const bytes put = {0x40, 0x03, 0x12, 0x34, 0xBA, 'r', 'x', '_',
                     'm',  's',  'g',  '_',  'r',  'e', 'q'};
  bytes refused_answer = ack_for(put, 0xA3);
  refused_answer.insert(refused_answer.end(), {0xD1, 0x01, 0x01});
  for (const int i_result : {0, -1, 1}) {
    rx_handler_result = i_result;
    client.send_to(server_unicast, put);
    const auto answer = client.receive(2s);
    EXPECT_EQ(answer ? answer->data : bytes{}, i_result == 1 ? ack_for(put, 0x43) : refused_answer)
        << "hand-off result " << i_result;
  }
  coap_server_stop();
  client.send_to(server_unicast, {0x40, 0x00, 0x00, 0x09});
  server.join();
}

// Runs in a child with only lo in its network namespace: the join has no route to go by, the
// server must still answer unicast. Returns the child's exit status.
int _serve_without_multicast() {
  if (unshare(CLONE_NEWNET) != 0 || std::system("ip link set lo up >/dev/null 2>&1") != 0) {
    return 3;
  }
  quit = false;
  std::thread server([] { coap_server_task(); });
  udp_socket client("127.0.0.1", 0);
  const sockaddr_in to = ipv4("127.0.0.1", 5683);
  const auto answer = client.ask(
      to, {0x40, 0x03, 0x00, 0x05, 0xBA, 'r', 'x', '_', 'm', 's', 'g', '_', 'r', 'e', 'q'});
  const bool b_answered = answer && answer->data == bytes{0x60, 0x43, 0x00, 0x05};
  coap_server_stop();
  client.send_to(to, {0x40, 0x00, 0x00});
  server.join();
  return b_answered ? 0 : 4;
}

TEST(coap_server_start, refused_multicast_join_is_reported_and_unicast_still_served) {
  NET_TEST_PREAMBLE();
  const test_support::child_run run = test_support::run_in_child(_serve_without_multicast);
  const std::string& out = run.out;
  ASSERT_NE(run.i_status, -1) << "the child did not start or did not exit";
  EXPECT_EQ(run.i_status, 0) << "3: no namespace, 4: no 2.03 answer";
  EXPECT_TRUE(
      re_search_lines(out, R"(:ERROR:\.\./tst/coap_server\.c:[0-9]+:cannot join multicast group$)"))
      << out;
  // The library's own lines go to standard error, never into the trace on standard output.
  EXPECT_EQ(out.find("setsockopt"), std::string::npos) << out;
}

// Start-up helpers: an unresolvable node gives no context; a missing, over-long or empty
// interface name leaves the address text as it was. (Their successes: every end-to-end run.)
TEST(coap_server_start, helpers_refuse_what_they_cannot_resolve) {
  NET_TEST_PREAMBLE();
  testing::internal::CaptureStderr();
  EXPECT_EQ(get_context("not-an-address", "5683"), nullptr);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(re_search_lines(err, "^getaddrinfo: .+$")) << err;
  char ac_ip[16] = "0.0.0.0";
  for (const char* pc : {"nosuch0", "an-interface-name-far-too-long", ""}) {
    EXPECT_EQ(app_get_ip(pc, ac_ip), -1) << pc;
  }
  EXPECT_STREQ(ac_ip, "0.0.0.0");
}

}  // namespace
