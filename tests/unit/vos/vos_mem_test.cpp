// Accounted memory and mutexes: totals, ownership of the caller's variable, alignment, threads.
#include "vos_mem.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <thread>
#include <vector>

#include "alloc_balance.h"

namespace {

// Every test starts and ends with the same block count and bytes in use.
class vos_mem : public test_support::alloc_balance_test {};

int g_sentinel = 0;

TEST_F(vos_mem, zero_size_gives_null_and_changes_no_total) {
  const std::uint32_t u32_max = vos_os_maxmem();
  for (const bool b_calloc : {false, true}) {
    SCOPED_TRACE(b_calloc ? "calloc" : "malloc");
    void* pv = &g_sentinel;
    if (b_calloc) {
      vos_os_calloc(&pv, 0);
    } else {
      vos_os_malloc(&pv, 0);
    }
    EXPECT_EQ(pv, nullptr);
    EXPECT_EQ(vos_os_nb_pool(), u32_pool_);
    EXPECT_EQ(vos_os_curmem(), u32_cur_);
    EXPECT_EQ(vos_os_maxmem(), u32_max);
  }
}

TEST_F(vos_mem, totals_follow_allocations_and_frees) {
  void* pv_10 = nullptr;
  void* pv_20 = nullptr;
  vos_os_malloc(&pv_10, 10);
  vos_os_calloc(&pv_20, 20);
  ASSERT_NE(pv_10, nullptr);
  ASSERT_NE(pv_20, nullptr);
  EXPECT_EQ(vos_os_nb_pool(), u32_pool_ + 2);
  EXPECT_EQ(vos_os_curmem(), u32_cur_ + 30);
  vos_os_free(&pv_10);
  EXPECT_EQ(pv_10, nullptr);
  EXPECT_EQ(vos_os_nb_pool(), u32_pool_ + 1);
  EXPECT_EQ(vos_os_curmem(), u32_cur_ + 20);
  EXPECT_GE(vos_os_maxmem(), u32_cur_ + 30);
  vos_os_free(&pv_20);
}

TEST_F(vos_mem, free_nulls_the_variable_and_a_second_free_does_nothing) {
  char* pc = nullptr;
  vos_os_malloc(&pc, 7);
  ASSERT_NE(pc, nullptr);
  vos_os_free(&pc);
  EXPECT_EQ(pc, nullptr);
  const std::uint32_t u32_pool = vos_os_nb_pool();
  const std::uint32_t u32_cur = vos_os_curmem();
  vos_os_free(&pc);
  vos_os_free(static_cast<void**>(nullptr));
  EXPECT_EQ(vos_os_nb_pool(), u32_pool);
  EXPECT_EQ(vos_os_curmem(), u32_cur);
}

TEST_F(vos_mem, calloc_zero_fills_and_blocks_are_usable_whole) {
  std::uint8_t* pu8 = nullptr;
  vos_os_calloc(&pu8, 4096);
  ASSERT_NE(pu8, nullptr);
  for (std::size_t i = 0; i < 4096; ++i) {
    ASSERT_EQ(pu8[i], 0u) << "offset " << i;
  }
  for (std::size_t i = 0; i < 4096; ++i) {
    pu8[i] = static_cast<std::uint8_t>(i);  // the sanitizers catch a block shorter than asked
  }
  vos_os_free(&pu8);
}

TEST_F(vos_mem, blocks_keep_the_strongest_fundamental_alignment) {
  for (const std::uint32_t u32_size : {1u, 3u, 4u, 5u, 8u, 16u, 17u, 100u}) {
    SCOPED_TRACE(u32_size);
    long double* pld = nullptr;
    vos_os_malloc(&pld, u32_size);
    ASSERT_NE(pld, nullptr);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(pld) % alignof(std::max_align_t), 0u);
    vos_os_free(&pld);
  }
}

TEST_F(vos_mem, unique_ptr_returns_its_block) {
  {
    std::uint32_t* pu32 = nullptr;
    vos_os_malloc(&pu32, sizeof *pu32);
    vos_unique_ptr<std::uint32_t> owner(pu32);
    EXPECT_EQ(vos_os_nb_pool(), u32_pool_ + 1);
  }
  EXPECT_EQ(vos_os_nb_pool(), u32_pool_);
}

TEST(vos_mem_init, fresh_process_counts_only_the_mutex_bytes) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        vos_os_init();
        const bool b_ok = vos_os_nb_pool() == 0 && vos_os_curmem() == sizeof(pthread_mutex_t) &&
                          vos_os_maxmem() == sizeof(pthread_mutex_t);
        std::_Exit(b_ok ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(vos_mem_init, second_init_keeps_the_totals) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        const vos_os_mutex_t t_first = vos_os_init();
        void* pv = nullptr;
        vos_os_malloc(&pv, 12);
        const bool b_same = vos_os_init() == t_first;
        const bool b_count = vos_os_nb_pool() == 1;
        vos_os_free(&pv);
        std::_Exit(b_same && b_count && pv == nullptr && vos_os_nb_pool() == 0 ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(vos_mem_init, free_with_no_live_block_keeps_block_variable_and_totals) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        // Allocated before init, so init's reset leaves it off the count.
        void* pv = nullptr;
        vos_os_malloc(&pv, 24);
        vos_os_init();
        const std::uint32_t u32_cur = vos_os_curmem();
        void* pv_kept = pv;
        vos_os_free(&pv);
        const bool b_ok = pv == pv_kept && vos_os_curmem() == u32_cur && vos_os_nb_pool() == 0;
        std::_Exit(b_ok ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST_F(vos_mem, null_mutex_handle_locks_nothing) {
  vos_os_mutex_lock(nullptr);
  vos_os_mutex_lock(nullptr);  // a real non-recursive mutex would deadlock here
  vos_os_mutex_unlock(nullptr);
  vos_os_mutex_unlock(nullptr);
  vos_os_mutex_t t_null = nullptr;
  vos_os_mutex_kill(&t_null);
  vos_os_mutex_kill(nullptr);
  EXPECT_EQ(t_null, nullptr);
}

TEST_F(vos_mem, mutex_is_an_accounted_block_and_kill_nulls_the_handle) {
  vos_os_mutex_t t_mutex = vos_os_mutex_create("stats");
  ASSERT_NE(t_mutex, nullptr);
  EXPECT_EQ(vos_os_nb_pool(), u32_pool_ + 1);
  EXPECT_EQ(vos_os_curmem(), u32_cur_ + sizeof(pthread_mutex_t));
  vos_os_mutex_lock(t_mutex);
  EXPECT_EQ(pthread_mutex_trylock(t_mutex), EBUSY);
  vos_os_mutex_unlock(t_mutex);
  EXPECT_EQ(pthread_mutex_trylock(t_mutex), 0);
  vos_os_mutex_unlock(t_mutex);
  vos_os_mutex_kill(&t_mutex);
  EXPECT_EQ(t_mutex, nullptr);
}

TEST_F(vos_mem, mutex_serialises_threads) {
  vos_os_mutex_t t_mutex = vos_os_mutex_create("lan");
  ASSERT_NE(t_mutex, nullptr);
  long l_counter = 0;
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&] {
      for (int j = 0; j < 20000; ++j) {
        vos_os_lock_guard lock(t_mutex);
        ++l_counter;
      }
    });
  }
  for (auto& t : threads) {
    t.join();
  }
  EXPECT_EQ(l_counter, 80000);
  vos_os_mutex_kill(&t_mutex);
}

TEST_F(vos_mem, totals_stay_exact_under_concurrent_malloc_and_free) {
  constexpr int nb_threads = 4;
  constexpr int nb_rounds = 5000;
  constexpr std::uint32_t held = 8;
  const std::uint32_t u32_max_before = vos_os_maxmem();
  std::vector<std::thread> threads;
  for (int i = 0; i < nb_threads; ++i) {
    threads.emplace_back([i] {
      void* apv[held] = {};
      for (int j = 0; j < nb_rounds; ++j) {
        void*& pv = apv[static_cast<std::uint32_t>(j) % held];
        vos_os_free(&pv);
        const auto u32_size = static_cast<std::uint32_t>(1 + (i * 7 + j) % 64);
        if (j % 2 == 0) {
          vos_os_malloc(&pv, u32_size);
        } else {
          vos_os_calloc(&pv, u32_size);
        }
        if (pv != nullptr) {
          static_cast<unsigned char*>(pv)[u32_size - 1] = 0xA5;
        }
      }
      for (void*& pv : apv) {
        vos_os_free(&pv);
      }
    });
  }
  for (auto& t : threads) {
    t.join();
  }
  // Each thread held up to 8 blocks of at least 1 byte at once.
  EXPECT_GE(vos_os_maxmem(), u32_max_before);
  EXPECT_GE(vos_os_maxmem(), u32_cur_ + held);
}

}  // namespace
