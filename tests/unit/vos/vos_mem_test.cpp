// Accounted memory, mutexes and memory streams: totals, ownership of the caller's variable,
// alignment, threads, stream growth and refusals.
#include "vos_mem.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "alloc_balance.h"
#include "stdout_capture.h"
#include "temp_dir.h"
#include "vos_mem_stream.h"

namespace {

using test_support::captured;

class vos_mem : public test_support::alloc_balance_test {};

}  // namespace

TEST_F(vos_mem, totals_ownership_and_alignment) {
  void* pv = &pv;
  vos_os_malloc(&pv, 0);
  EXPECT_EQ(pv, nullptr) << "size 0 gives null";
  void* pv_10 = nullptr;
  std::uint8_t* pu8 = nullptr;
  vos_os_malloc(&pv_10, 10);
  vos_os_calloc(&pu8, 4096);
  ASSERT_NE(pu8, nullptr);
  EXPECT_EQ(vos_os_nb_pool(), u32_pool_ + 2);
  EXPECT_EQ(vos_os_curmem(), u32_cur_ + 4106);
  EXPECT_GE(vos_os_maxmem(), u32_cur_ + 4106);
  for (std::size_t i = 0; i < 4096; ++i) ASSERT_EQ(pu8[i], 0u) << i;
  vos_os_free(&pu8);
  EXPECT_EQ(pu8, nullptr);
  vos_os_free(&pu8);  // a second free does nothing
  vos_os_free(static_cast<void**>(nullptr));
  {
    vos_unique_ptr<void> owner(pv_10);
    EXPECT_EQ(vos_os_nb_pool(), u32_pool_ + 1);
  }
  EXPECT_EQ(vos_os_curmem(), u32_cur_);
  for (const std::uint32_t u32_size : {1u, 3u, 17u, 100u}) {
    long double* pld = nullptr;
    vos_os_malloc(&pld, u32_size);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(pld) % alignof(std::max_align_t), 0u);
    vos_os_free(&pld);
  }
}

TEST(vos_mem_init, fresh_second_init_and_blocks_from_before) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        const vos_os_mutex_t t_first = vos_os_init();
        bool b_ok = vos_os_nb_pool() == 0 && vos_os_curmem() == sizeof(pthread_mutex_t);
        void* pv = nullptr;
        vos_os_malloc(&pv, 12);
        b_ok = b_ok && vos_os_init() == t_first && vos_os_nb_pool() == 1;
        std::_Exit(b_ok ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
  EXPECT_EXIT(
      {
        void* pv_before = nullptr;  // allocated before init: off the count, never freed
        vos_os_malloc(&pv_before, 24);
        vos_os_init();
        const std::uint32_t u32_cur = vos_os_curmem();
        void* pv_kept = pv_before;
        vos_os_free(&pv_before);
        std::_Exit(pv_before == pv_kept && vos_os_curmem() == u32_cur && vos_os_nb_pool() == 0 ? 0
                                                                                               : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST_F(vos_mem, mutexes_and_concurrent_totals) {
  vos_os_mutex_lock(nullptr);
  vos_os_mutex_lock(nullptr);  // a real non-recursive mutex would deadlock here
  vos_os_mutex_unlock(nullptr);
  vos_os_mutex_kill(nullptr);
  vos_os_mutex_t t_mutex = vos_os_mutex_create("lan");
  ASSERT_NE(t_mutex, nullptr);
  EXPECT_EQ(vos_os_curmem(), u32_cur_ + sizeof(pthread_mutex_t));
  vos_os_mutex_lock(t_mutex);
  EXPECT_EQ(pthread_mutex_trylock(t_mutex), EBUSY);
  vos_os_mutex_unlock(t_mutex);
  long l_counter = 0;
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&, i] {
      void* apv[8] = {};
      for (int j = 0; j < 5000; ++j) {
        {
          vos_os_lock_guard lock(t_mutex);
          ++l_counter;
        }
        void*& pv = apv[j % 8];
        vos_os_free(&pv);
        const auto u32_size = static_cast<std::uint32_t>(1 + (i * 7 + j) % 64);
        if (j % 2 == 0)
          vos_os_malloc(&pv, u32_size);
        else
          vos_os_calloc(&pv, u32_size);
      }
      for (void*& pv : apv) vos_os_free(&pv);
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(l_counter, 20000);
  vos_os_mutex_kill(&t_mutex);
  EXPECT_EQ(t_mutex, nullptr);
}

TEST_F(vos_mem, stream_grows_hands_over_and_refuses) {
  vos_mem_stream* ps = nullptr;
  ASSERT_EQ(vos_mem_open(&ps, 4), 1);
  const std::uint8_t au8[17] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17};
  for (const auto& [u32_len, u32_capacity] :
       {std::pair<std::uint32_t, std::uint32_t>{3, 4}, {1, 4}, {1, 8}, {12, 32}}) {
    const std::uint32_t u32_at = ps->capacity - ps->free;
    ASSERT_EQ(vos_mem_write(ps, au8 + u32_at, u32_len), 1);
    EXPECT_EQ(ps->capacity, u32_capacity);
  }
  EXPECT_EQ(ps->free, 15u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(ps->buffer), 17),
            std::string(reinterpret_cast<const char*>(au8), 17));
  EXPECT_EQ(ps->buffer[17], 0) << "the grown part is zero-filled";
  const std::string out = captured([&] {
    EXPECT_EQ(vos_mem_write(ps, au8, 0xFFFFFFFFu), -1);  // only the length is read
    EXPECT_EQ(vos_mem_write(ps, nullptr, 2), -1);
    EXPECT_EQ(vos_mem_open(&ps, 0), -1);
  });
  EXPECT_NE(out.find(":ERROR:vos_mem.c:"), std::string::npos);
  EXPECT_NE(out.find("Memory overflow"), std::string::npos) << out;
  EXPECT_EQ(ps->capacity, 32u) << "refusals leave the stream as it was";
  std::uint8_t* pu8 = nullptr;
  std::uint32_t u32_len = 0;
  ASSERT_EQ(vos_mem_extract_buf(ps, &pu8, &u32_len), 1);
  EXPECT_EQ(u32_len, 17u);
  EXPECT_EQ(ps->buffer, nullptr);
  EXPECT_NE(captured([&] { EXPECT_EQ(vos_mem_write(ps, "x", 1), -1); }).find("Invalid buffer"),
            std::string::npos);
  vos_os_free(&pu8);
  EXPECT_EQ(vos_mem_close(&ps), 1);
  EXPECT_EQ(ps, nullptr);
  captured([&] { EXPECT_EQ(vos_mem_close(&ps), -1); });
}

TEST_F(vos_mem, print_mem_writes_one_line_of_totals) {
  char ac_path[] = "/tmp/vos_mem_report.XXXXXX";
  const int fd = mkstemp(ac_path);
  ASSERT_GE(fd, 0);
  close(fd);
  vos_os_print_mem(ac_path);
  const std::string expected = "Nbpools=" + std::to_string(vos_os_nb_pool()) +
                               " memsize=" + std::to_string(vos_os_curmem()) +
                               " maxmem=" + std::to_string(vos_os_maxmem()) +
                               " (most recent first):\n";
  EXPECT_EQ(test_support::read_file(ac_path), expected);
  unlink(ac_path);
  vos_os_print_mem(nullptr);
}
