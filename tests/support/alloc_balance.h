// Allocation balance: the accounted block count and bytes in use at the start of a test must be
// back at its end.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>

#include "vos_mem.h"

namespace test_support {

/// Fixture base: SetUp initialises vos and records the totals, TearDown expects them back.
/// A fixture that must do more overrides both and calls mark_alloc() / expect_alloc_balance()
/// where they belong (after its own set-up, after the threads of the test have ended).
class alloc_balance_test : public ::testing::Test {
 protected:
  void SetUp() override {
    vos_os_init();
    mark_alloc();
  }
  void TearDown() override { expect_alloc_balance(); }

  void mark_alloc() {
    u32_pool_ = vos_os_nb_pool();
    u32_cur_ = vos_os_curmem();
  }
  void expect_alloc_balance() const {
    EXPECT_EQ(vos_os_nb_pool(), u32_pool_) << "accounted blocks left over";
    EXPECT_EQ(vos_os_curmem(), u32_cur_) << "accounted bytes left over";
  }

  std::uint32_t u32_pool_ = 0;
  std::uint32_t u32_cur_ = 0;
};

}  // namespace test_support
