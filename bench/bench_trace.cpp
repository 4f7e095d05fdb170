// One trace line: vos_trace_debug of the frame worker's longest line, against the same line
// made with gmtime_r and snprintf, in the same run. Both write to /dev/null (standard output
// is pointed there while timing): one write per line, and a frame's five lines in one write
// (vos_trace_batch against five snprintf into one buffer), also with the lines put together
// piece by piece (vos_trace_line).
//   bench_trace [lines]
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string_view>

#include "vos_trace.h"

namespace {

using bench_clock = std::chrono::steady_clock;
constexpr const char* source_name = "../tst/app_lan.c";
constexpr const char* packet_format =
    "\n################\n PACKET RECEIVED \n################\n RTC:%d,%03d, FREQ:%d, RSSI:-%d, "
    "FREQ_OFFSET:%d, RF_MOD:%d, RF_RECEIVER:%d";

// The reference: the line as printf makes it, prefix included.
std::size_t printf_line(char* pc, std::size_t size, int i_line, int i) {
  const std::time_t t_now = std::time(nullptr);
  std::tm s_tm{};
  gmtime_r(&t_now, &s_tm);
  int n = std::snprintf(pc, size, "%04d%02d%02d-%02d%02d%02d:%s:%s:%d:", s_tm.tm_year + 1900,
                        s_tm.tm_mon + 1, s_tm.tm_mday, s_tm.tm_hour, s_tm.tm_min, s_tm.tm_sec,
                        "DEBUG", source_name, i_line);
  n += std::snprintf(pc + n, size - static_cast<std::size_t>(n), packet_format, 1733500000 + i,
                     i % 1000, 868950000, 70, -12, 16, 0);
  pc[n] = '\n';
  return static_cast<std::size_t>(n) + 1;
}

double ns_per(bench_clock::duration d, std::uint64_t n) {
  return std::chrono::duration<double, std::nano>(d).count() / static_cast<double>(n);
}

}  // namespace

int main(int argc, char** argv) {
  const std::uint64_t u64_lines = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 200000;
  if (u64_lines == 0) {
    std::fprintf(stderr, "usage: bench_trace [lines]\n");
    return 64;
  }
  std::fflush(stdout);
  const int i_saved = dup(STDOUT_FILENO);
  const int i_null = open("/dev/null", O_WRONLY);
  if (i_saved < 0 || i_null < 0 || dup2(i_null, STDOUT_FILENO) < 0) {
    std::perror("bench_trace: /dev/null");
    return 1;
  }
  char ac_buf[4096];
  std::uint64_t u64_bytes = 0;

  auto start = bench_clock::now();
  for (std::uint64_t i = 0; i < u64_lines; ++i) {
    const int k = static_cast<int>(i);
    vos_trace_debug(source_name, 97, packet_format, 1733500000 + k, k % 1000, 868950000, 70, -12,
                    16, 0);
  }
  const double d_trace = ns_per(bench_clock::now() - start, u64_lines);

  start = bench_clock::now();
  for (std::uint64_t i = 0; i < u64_lines; ++i) {
    const std::size_t n = printf_line(ac_buf, sizeof ac_buf, 97, static_cast<int>(i));
    u64_bytes += static_cast<std::uint64_t>(write(STDOUT_FILENO, ac_buf, n));
  }
  const double d_printf = ns_per(bench_clock::now() - start, u64_lines);

  // A frame: five lines in one write.
  const std::uint64_t u64_frames = u64_lines / 5;
  start = bench_clock::now();
  for (std::uint64_t i = 0; i < u64_frames; ++i) {
    const vos_trace_batch batch;
    for (int k = 0; k < 5; ++k) {
      vos_trace_debug(source_name, 97, packet_format, 1733500000 + k, k, 868950000, 70, -12, 16, 0);
    }
  }
  const double d_trace_frame = ns_per(bench_clock::now() - start, u64_frames * 5);

  // The same lines put together piece by piece, as the frame worker writes them.
  start = bench_clock::now();
  for (std::uint64_t i = 0; i < u64_frames; ++i) {
    const vos_trace_batch batch;
    for (int k = 0; k < 5; ++k) {
      VOS_DEBUG_LINE()
          .text("\n################\n PACKET RECEIVED \n################\n RTC:")
          .dec(1733500000 + k)
          .text(",")
          .dec(k, 3)
          .text(", FREQ:")
          .dec(868950000)
          .text(", RSSI:-")
          .dec(70)
          .text(", FREQ_OFFSET:")
          .dec(-12)
          .text(", RF_MOD:")
          .dec(16)
          .text(", RF_RECEIVER:")
          .dec(0);
    }
  }
  const double d_line_frame = ns_per(bench_clock::now() - start, u64_frames * 5);

  start = bench_clock::now();
  for (std::uint64_t i = 0; i < u64_frames; ++i) {
    std::size_t n = 0;
    for (int k = 0; k < 5; ++k) n += printf_line(ac_buf + n, sizeof ac_buf - n, 97, k);
    u64_bytes += static_cast<std::uint64_t>(write(STDOUT_FILENO, ac_buf, n));
  }
  const double d_printf_frame = ns_per(bench_clock::now() - start, u64_frames * 5);

  std::fflush(stdout);
  dup2(i_saved, STDOUT_FILENO);
  close(i_saved);
  close(i_null);
  std::printf("trace line (%zu characters), %llu lines, output to /dev/null:\n",
              printf_line(ac_buf, sizeof ac_buf, 97, 0) - 1,
              static_cast<unsigned long long>(u64_lines));
  std::printf(
      "  one write per line:   vos_trace_debug %7.1f ns/line, snprintf %7.1f ns/line, "
      "ratio %.2f\n",
      d_trace, d_printf, d_trace / d_printf);
  std::printf(
      "  five lines per write: vos_trace_debug %7.1f ns/line, snprintf %7.1f ns/line, "
      "ratio %.2f\n",
      d_trace_frame, d_printf_frame, d_trace_frame / d_printf_frame);
  std::printf(
      "  five lines per write: vos_trace_line  %7.1f ns/line, snprintf %7.1f ns/line, "
      "ratio %.2f\n",
      d_line_frame, d_printf_frame, d_line_frame / d_printf_frame);
  return u64_bytes != 0 ? 0 : 1;
}
