// Mailbox throughput between two threads: the main thread sends accounted messages to one
// receiver thread, which frees them. Quota sends bound the messages in flight (the sender
// yields and retries on refusal), so the mailbox never fills up.
//   bench_task [messages] [rounds] [quota]
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "vos_mem.h"
#include "vos_task_linux.h"
#include "vos_trace.h"

namespace {

using bench_clock = std::chrono::steady_clock;

struct receiver_job {
  std::uint64_t u64_expected = 0;
  std::uint64_t u64_checksum = 0;
  vos_os_condmask_rec* ps_done = nullptr;
};

std::uint32_t receiver_entry(vos_os_thread_t t_thread, void* pv_arg) noexcept {
  auto* ps_job = static_cast<receiver_job*>(pv_arg);
  for (std::uint64_t i = 0; i < ps_job->u64_expected; ++i) {
    void* pv_msg = nullptr;
    vos_os_wait_msg_to_thread(t_thread, &pv_msg);
    ps_job->u64_checksum += *static_cast<std::uint64_t*>(pv_msg);
    vos_os_free(&pv_msg);
  }
  vos_os_condmask_signal(ps_job->ps_done, 0x1);
  return 0;
}

struct round_result {
  double d_msgs_per_s;
  std::uint64_t u64_refused;
};

round_result run_round(std::uint64_t u64_messages, std::uint32_t u32_quota) {
  receiver_job job;
  job.u64_expected = u64_messages;
  job.ps_done = vos_os_condmask_create("done");
  vos_os_thread_t t_receiver = vos_os_create_thread(&receiver_entry, 6, "bench_rx", &job);
  if (t_receiver == nullptr || job.ps_done == nullptr) {
    std::fprintf(stderr, "cannot start the receiver\n");
    std::exit(1);
  }
  vos_os_set_thread_quota(t_receiver, u32_quota);
  std::uint64_t u64_refused = 0;
  const auto start = bench_clock::now();
  for (std::uint64_t i = 0; i < u64_messages; ++i) {
    std::uint64_t* pu64 = nullptr;
    vos_os_malloc(&pu64, sizeof(std::uint64_t));
    if (pu64 == nullptr) {
      std::fprintf(stderr, "out of memory\n");
      std::exit(1);
    }
    *pu64 = i;
    void* pv_msg = pu64;
    while (vos_os_send_msg_to_thread_with_quota(t_receiver, &pv_msg) != 1) {
      ++u64_refused;
      std::this_thread::yield();
    }
  }
  std::uint32_t u32_got = 0;
  vos_os_condmask_wait(job.ps_done, 0, 0x1, &u32_got);
  const double d_s = std::chrono::duration<double>(bench_clock::now() - start).count();
  vos_os_condmask_kill(&job.ps_done);
  if (job.u64_checksum != u64_messages * (u64_messages - 1) / 2) {
    std::fprintf(stderr, "lost or repeated messages\n");
    std::exit(1);
  }
  return {static_cast<double>(u64_messages) / d_s, u64_refused};
}

}  // namespace

int main(int argc, char** argv) {
  const std::uint64_t u64_messages = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1'000'000;
  const unsigned long ul_rounds = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 5;
  const auto u32_quota =
      static_cast<std::uint32_t>(argc > 3 ? std::strtoul(argv[3], nullptr, 10) : 4096);
  if (u64_messages == 0 || ul_rounds == 0 || u32_quota == 0 || u32_quota > 32767) {
    std::fprintf(stderr, "usage: bench_task [messages] [rounds] [quota 1..32767]\n");
    return 2;
  }
  vos_os_init();
  // Creation and end lines would only disturb the timing.
  vos_trace_level(0);
  double d_best = 0;
  double d_sum = 0;
  for (unsigned long r = 0; r < ul_rounds; ++r) {
    const round_result s_round = run_round(u64_messages, u32_quota);
    std::printf("round %lu: %.0f messages/s (%llu sends refused by the quota)\n", r + 1,
                s_round.d_msgs_per_s, static_cast<unsigned long long>(s_round.u64_refused));
    d_sum += s_round.d_msgs_per_s;
    if (s_round.d_msgs_per_s > d_best) {
      d_best = s_round.d_msgs_per_s;
    }
  }
  std::printf(
      "mailbox throughput, %llu messages x %lu rounds, quota %u: mean %.0f messages/s, best %.0f\n",
      static_cast<unsigned long long>(u64_messages), ul_rounds, u32_quota,
      d_sum / static_cast<double>(ul_rounds), d_best);
  // Let the last receiver finish its end of thread before the process goes.
  while (vos_os_nb_thread() > 1) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return 0;
}
