// Parked blocks: out of the totals while a cache keeps them, counted again when reused.
#include <gtest/gtest.h>

#include "vos_mem.h"

TEST(vos_mem_park, parked_blocks_leave_the_totals_and_come_back_with_their_size) {
  vos_os_init();
  const std::uint32_t u32_pool = vos_os_nb_pool(), u32_cur = vos_os_curmem();
  void* pv = nullptr;
  vos_os_malloc(&pv, 100);
  ASSERT_NE(pv, nullptr);
  EXPECT_EQ(vos_os_size(pv), 100u);
  EXPECT_EQ(vos_os_size(nullptr), 0u);
  vos_os_park(pv);
  EXPECT_EQ(vos_os_nb_pool(), u32_pool);
  EXPECT_EQ(vos_os_curmem(), u32_cur);
  EXPECT_EQ(vos_os_size(pv), 100u) << "a parked block keeps its size";
  vos_os_unpark(pv);
  EXPECT_EQ(vos_os_nb_pool(), u32_pool + 1);
  EXPECT_EQ(vos_os_curmem(), u32_cur + 100);
  EXPECT_GE(vos_os_maxmem(), u32_cur + 100);
  vos_os_park(pv);
  vos_os_free_parked(&pv);
  EXPECT_EQ(pv, nullptr);
  EXPECT_EQ(vos_os_nb_pool(), u32_pool) << "freeing a parked block counts nothing";
  EXPECT_EQ(vos_os_curmem(), u32_cur);
}
