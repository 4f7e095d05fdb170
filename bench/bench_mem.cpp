// Cost of the accounting: a vos_os_malloc/vos_os_free pair against a plain malloc/free pair.
//   bench_mem [pairs] [block size]
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "vos_mem.h"

namespace {

using bench_clock = std::chrono::steady_clock;

// Touching each block keeps the compiler from dropping the pairs.
volatile unsigned char g_sink = 0;

double ns_per_pair(bench_clock::duration d, std::uint64_t u64_pairs) {
  return static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(d).count()) /
         static_cast<double>(u64_pairs);
}

double run_accounted(std::uint64_t u64_pairs, std::uint32_t u32_size) {
  const auto start = bench_clock::now();
  for (std::uint64_t i = 0; i < u64_pairs; ++i) {
    unsigned char* pu8 = nullptr;
    vos_os_malloc(&pu8, u32_size);
    if (pu8 == nullptr) {
      std::fprintf(stderr, "out of memory\n");
      std::exit(1);
    }
    pu8[0] = static_cast<unsigned char>(i);
    g_sink = g_sink + pu8[0];
    vos_os_free(&pu8);
  }
  return ns_per_pair(bench_clock::now() - start, u64_pairs);
}

double run_plain(std::uint64_t u64_pairs, std::uint32_t u32_size) {
  const auto start = bench_clock::now();
  for (std::uint64_t i = 0; i < u64_pairs; ++i) {
    auto* pu8 = static_cast<unsigned char*>(std::malloc(u32_size));
    if (pu8 == nullptr) {
      std::fprintf(stderr, "out of memory\n");
      std::exit(1);
    }
    pu8[0] = static_cast<unsigned char>(i);
    g_sink = g_sink + pu8[0];
    std::free(pu8);
  }
  return ns_per_pair(bench_clock::now() - start, u64_pairs);
}

}  // namespace

int main(int argc, char** argv) {
  const std::uint64_t u64_pairs = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 2'000'000;
  const auto u32_size =
      static_cast<std::uint32_t>(argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 64);
  if (u64_pairs == 0 || u32_size == 0) {
    std::fprintf(stderr, "usage: bench_mem [pairs > 0] [block size > 0]\n");
    return 2;
  }
  vos_os_init();  // measure with the allocator mutex, as the tool runs

  // A first short round of each warms the caches and the platform allocator.
  run_plain(u64_pairs / 10 + 1, u32_size);
  run_accounted(u64_pairs / 10 + 1, u32_size);

  const double d_plain = run_plain(u64_pairs, u32_size);
  const double d_accounted = run_accounted(u64_pairs, u32_size);
  std::printf("pairs=%llu size=%u\n", static_cast<unsigned long long>(u64_pairs), u32_size);
  std::printf("malloc/free          %8.1f ns/op\n", d_plain);
  std::printf("vos_os_malloc/free   %8.1f ns/op\n", d_accounted);
  std::printf("ratio                %8.2f\n", d_plain > 0 ? d_accounted / d_plain : 0.0);
  return vos_os_nb_pool() == 0 ? 0 : 1;
}
