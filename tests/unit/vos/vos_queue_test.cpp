// Element queue: positions, searches, marks, ownership of deleted data, bounded count.
#include "vos_queue.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "alloc_balance.h"
#include "test_regex.h"
#include "vos_mem.h"

namespace {

using test_support::re_search_lines;

class vos_queue_fixture : public test_support::alloc_balance_test {};

// Release callback that leaves the data alone: lets tests store plain values.
int g_released = 0;
void keep_data(void** ppv_data) {
  ++g_released;
  *ppv_data = nullptr;
}
constexpr vos_queue_ops keep_ops{nullptr, &keep_data};

// Compare callback returning 1 for equal integers (the "found" value of FindElem).
int equal_is_one(const void* pv_key, const void* pv_data) { return pv_key == pv_data ? 1 : 0; }

void* value(std::uintptr_t v) { return reinterpret_cast<void*>(v); }

// Data of every position, head to tail, checked against the backward links from the tail.
std::vector<void*> contents(const vos_queue_rec* ps_queue) {
  std::vector<void*> forward;
  for (std::int32_t i = 0; i < vos_queueGetNbElem(ps_queue); ++i) {
    forward.push_back(vos_queueGetElem(ps_queue, i));
  }
  std::vector<void*> backward;
  for (const vos_queue_elem* ps = ps_queue->last; ps != nullptr; ps = ps->previous) {
    backward.insert(backward.begin(), ps->data);
  }
  EXPECT_EQ(forward, backward) << "forward and backward links disagree";
  return forward;
}

std::vector<std::int16_t> index_list(const std::int16_t* pi16_list) {
  std::vector<std::int16_t> v;
  for (; *pi16_list != -1; ++pi16_list) {
    v.push_back(*pi16_list);
  }
  v.push_back(-1);
  return v;
}

using vos_queue = vos_queue_fixture;

TEST_F(vos_queue, new_queue_is_empty_and_finds_nothing) {
  vos_queue_rec* ps_queue = vos_queueCreate(0, nullptr);
  ASSERT_NE(ps_queue, nullptr);
  EXPECT_EQ(vos_queueGetNbElem(ps_queue), 0);
  EXPECT_EQ(vos_queueGetElem(ps_queue, 0), nullptr);
  EXPECT_EQ(vos_queueGetAndDelElem(ps_queue, 0), nullptr);
  EXPECT_EQ(vos_queueDelElem(ps_queue, 0), -1);
  EXPECT_EQ(vos_queueFindElem(ps_queue, "x"), -1);
  EXPECT_EQ(vos_queueFindAndGetElem(ps_queue, "x"), nullptr);
  EXPECT_EQ(vos_queueFindNextElem(ps_queue, "x"), -1);
  EXPECT_EQ(vos_queueFindPtr(ps_queue, "x"), -1);
  std::int16_t* pi16_list = vos_queueFindAllElem(ps_queue, "x");
  ASSERT_NE(pi16_list, nullptr);
  EXPECT_EQ(pi16_list[0], -1);
  vos_os_free(&pi16_list);
  vos_queueDestroy(&ps_queue);
}

TEST_F(vos_queue, add_returns_positions_and_takes_out_in_order) {
  vos_queue_rec* ps_queue = vos_queueCreate(0, &keep_ops);
  EXPECT_EQ(vos_queueAddElem(ps_queue, value(11)), 0);
  EXPECT_EQ(vos_queueAddElem(ps_queue, value(12)), 1);
  EXPECT_EQ(vos_queueAddElem(ps_queue, value(13)), 2);
  EXPECT_EQ(vos_queueGetNbElem(ps_queue), 3);
  EXPECT_EQ(vos_queueGetAndDelElem(ps_queue, 0), value(11));
  EXPECT_EQ(vos_queueGetAndDelElem(ps_queue, 0), value(12));
  // The tail moved back correctly when the last element left: appending still links after it.
  EXPECT_EQ(vos_queueAddElem(ps_queue, value(14)), 1);
  EXPECT_EQ(vos_queueGetAndDelElem(ps_queue, 0), value(13));
  EXPECT_EQ(vos_queueGetAndDelElem(ps_queue, 0), value(14));
  EXPECT_EQ(vos_queueGetAndDelElem(ps_queue, 0), nullptr);
  EXPECT_EQ(ps_queue->first, nullptr);
  EXPECT_EQ(ps_queue->last, nullptr);
  EXPECT_EQ(vos_queueAddElem(ps_queue, value(15)), 0);
  EXPECT_EQ(contents(ps_queue), std::vector<void*>{value(15)});
  vos_queueDestroy(&ps_queue);
}

TEST_F(vos_queue, insert_positions_and_past_tail) {
  void* a = value(0xa0);
  void* b = value(0xb0);
  void* x = value(0xf0);
  struct insert_case {
    std::int32_t index;
    std::int16_t result;
    std::vector<void*> after;
  };
  const insert_case cases[] = {
      {0, 0, {x, a, b}},  {1, 1, {a, x, b}},   {2, 2, {a, b, x}},
      {5, -1, {a, b, x}}, {-1, -1, {a, b, x}},
  };
  for (const insert_case& c : cases) {
    SCOPED_TRACE("index " + std::to_string(c.index));
    vos_queue_rec* ps_queue = vos_queueCreate(0, &keep_ops);
    vos_queueAddElem(ps_queue, a);
    vos_queueAddElem(ps_queue, b);
    EXPECT_EQ(vos_queueInsertElem(ps_queue, x, c.index), c.result);
    EXPECT_EQ(vos_queueGetNbElem(ps_queue), 3);
    EXPECT_EQ(contents(ps_queue), c.after);
    // Appending after an insertion still reports the tail position.
    EXPECT_EQ(vos_queueAddElem(ps_queue, value(0xc0)), 3);
    EXPECT_EQ(vos_queueGetElem(ps_queue, 3), value(0xc0));
    vos_queueDestroy(&ps_queue);
  }
  SCOPED_TRACE("empty queue");
  vos_queue_rec* ps_queue = vos_queueCreate(0, &keep_ops);
  EXPECT_EQ(vos_queueInsertElem(ps_queue, x, 0), 0);
  EXPECT_EQ(vos_queueInsertElem(ps_queue, a, 3), -1);
  EXPECT_EQ(contents(ps_queue), (std::vector<void*>{x, a}));
  vos_queueDestroy(&ps_queue);
}

TEST_F(vos_queue, negative_index_addresses_the_head) {
  vos_queue_rec* ps_queue = vos_queueCreate(0, nullptr);
  char* pc_first = nullptr;
  char* pc_second = nullptr;
  vos_os_malloc(&pc_first, 8);
  vos_os_malloc(&pc_second, 16);
  vos_queueAddElem(ps_queue, pc_first);
  vos_queueAddElem(ps_queue, pc_second);
  EXPECT_EQ(vos_queueGetElem(ps_queue, -1), pc_first);
  EXPECT_EQ(vos_queueGetElem(ps_queue, 2), nullptr);
  EXPECT_EQ(vos_queueDelElem(ps_queue, 2), -1);
  const std::uint32_t u32_pool = vos_os_nb_pool();
  // Deleting frees the data with the accounted allocator.
  EXPECT_EQ(vos_queueDelElem(ps_queue, -7), 1);
  EXPECT_EQ(vos_os_nb_pool(), u32_pool - 2);
  EXPECT_EQ(vos_queueGetElem(ps_queue, 0), pc_second);
  vos_queueDestroy(&ps_queue);
}

TEST_F(vos_queue, unique_flag_does_not_add_a_found_key) {
  static constexpr vos_queue_ops ops{&equal_is_one, &keep_data};
  vos_queue_rec* ps_queue = vos_queueCreate(VOS_QUEUE_UNIQUE, &ops);
  EXPECT_EQ(vos_queueAddElem(ps_queue, value(100)), 0);
  EXPECT_EQ(vos_queueAddElem(ps_queue, value(200)), 1);
  EXPECT_EQ(vos_queueAddElem(ps_queue, value(300)), 2);
  EXPECT_EQ(vos_queueAddElem(ps_queue, value(200)), 1);
  EXPECT_EQ(vos_queueGetNbElem(ps_queue), 3);
  EXPECT_EQ(vos_queueFindElem(ps_queue, value(300)), 2);
  EXPECT_EQ(vos_queueFindAndGetElem(ps_queue, value(300)), value(300));
  EXPECT_EQ(vos_queueFindAndGetElem(ps_queue, value(400)), nullptr);
  vos_queueDestroy(&ps_queue);

  SCOPED_TRACE("without the flag the key is added again");
  ps_queue = vos_queueCreate(0, &ops);
  vos_queueAddElem(ps_queue, value(100));
  EXPECT_EQ(vos_queueAddElem(ps_queue, value(100)), 1);
  vos_queueDestroy(&ps_queue);
}

TEST_F(vos_queue, text_matches_iterate_with_marks) {
  char ac_x1[] = "x";
  char ac_y[] = "y";
  char ac_x2[] = "x";
  vos_queue_rec* ps_queue = vos_queueCreate(0, nullptr);
  vos_queueAddElem(ps_queue, ac_x1);
  vos_queueAddElem(ps_queue, ac_y);
  vos_queueAddElem(ps_queue, ac_x2);
  std::int16_t* pi16_list = vos_queueFindAllElem(ps_queue, "x");
  ASSERT_NE(pi16_list, nullptr);
  EXPECT_EQ(index_list(pi16_list), (std::vector<std::int16_t>{0, 2, -1}));
  vos_os_free(&pi16_list);

  EXPECT_EQ(vos_queueFindNextElem(ps_queue, "x"), 0);
  EXPECT_EQ(vos_queueFindNextElem(ps_queue, "x"), 2);
  EXPECT_EQ(vos_queueFindNextElem(ps_queue, "x"), -1);
  // Marks are per element: "y" is still found.
  EXPECT_EQ(vos_queueFindNextElem(ps_queue, "y"), 1);
  vos_queueResetElem(ps_queue, "x");
  EXPECT_EQ(vos_queueFindNextElem(ps_queue, "x"), 0);
  EXPECT_EQ(vos_queueFindNextElem(ps_queue, "y"), -1);
  // The queue must not free these stack texts.
  while (vos_queueGetAndDelElem(ps_queue, 0) != nullptr) {
  }
  vos_queueDestroy(&ps_queue);
}

TEST_F(vos_queue, find_all_grows_its_list) {
  const char* const texts[] = {"k", "k", "z", "k", "k", "k", "z"};
  vos_queue_rec* ps_queue = vos_queueCreate(0, &keep_ops);
  for (const char* pc : texts) {
    vos_queueAddElem(ps_queue, const_cast<char*>(pc));
  }
  const std::uint32_t u32_mem = vos_os_curmem();
  std::int16_t* pi16_list = vos_queueFindAllElem(ps_queue, "k");
  ASSERT_NE(pi16_list, nullptr);
  EXPECT_EQ(index_list(pi16_list), (std::vector<std::int16_t>{0, 1, 3, 4, 5, -1}));
  // Room 3, then 6: exactly one growth, the old list freed.
  EXPECT_EQ(vos_os_curmem() - u32_mem, 6 * sizeof(std::int16_t));
  vos_os_free(&pi16_list);

  SCOPED_TRACE("exactly the room of the first list");
  pi16_list = vos_queueFindAllElem(ps_queue, "z");
  EXPECT_EQ(index_list(pi16_list), (std::vector<std::int16_t>{2, 6, -1}));
  vos_os_free(&pi16_list);
  vos_queueDestroy(&ps_queue);
}

TEST_F(vos_queue, small_values_are_reported_not_freed) {
  vos_queue_rec* ps_queue = vos_queueCreate(0, nullptr);
  vos_queueAddElem(ps_queue, value(2));
  vos_queueAddElem(ps_queue, nullptr);
  testing::internal::CaptureStdout();
  EXPECT_EQ(vos_queueDelElem(ps_queue, 0), 1);
  // Null data is nobody's block: deleted silently.
  EXPECT_EQ(vos_queueDelElem(ps_queue, 0), 0);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(
      re_search_lines(out, R"(^[0-9]{8}-[0-9]{6}:ERROR:vos_queue\.c:[0-9]+:BAD POINTER$)") &&
      out.find('\n') == out.size() - 1)
      << out;
  vos_queueDestroy(&ps_queue);
}

TEST_F(vos_queue, release_callback_takes_the_data) {
  static void** s_ppv_seen = nullptr;
  static void* s_pv_seen = nullptr;
  static constexpr vos_queue_ops ops{nullptr, [](void** ppv) {
                                       s_ppv_seen = ppv;
                                       s_pv_seen = *ppv;
                                     }};
  vos_queue_rec* ps_queue = vos_queueCreate(0, &ops);
  vos_queueAddElem(ps_queue, value(1));
  vos_queueAddElem(ps_queue, value(0x1234));
  void** ppv_field = &ps_queue->first->data;
  testing::internal::CaptureStdout();
  EXPECT_EQ(vos_queueDelElem(ps_queue, 0), 1);
  EXPECT_EQ(s_ppv_seen, ppv_field);
  EXPECT_EQ(s_pv_seen, value(1));
  vos_queueClear(ps_queue);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(s_pv_seen, value(0x1234));
  EXPECT_EQ(vos_queueGetNbElem(ps_queue), 0);
  vos_queueDestroy(&ps_queue);
}

TEST_F(vos_queue, destroy_frees_everything_and_nulls_the_variable) {
  vos_queue_rec* ps_queue = vos_queueCreate(0, nullptr);
  for (int i = 0; i < 5; ++i) {
    void* pv = nullptr;
    vos_os_calloc(&pv, 32);
    vos_queueAddElem(ps_queue, pv);
  }
  vos_queueDestroy(&ps_queue);
  EXPECT_EQ(ps_queue, nullptr);
  vos_queueDestroy(&ps_queue);
  EXPECT_EQ(ps_queue, nullptr);
  vos_queueDestroy(nullptr);
}

TEST_F(vos_queue, find_ptr_uses_identity) {
  char ac_a[] = "same";
  char ac_b[] = "same";
  vos_queue_rec* ps_queue = vos_queueCreate(0, &keep_ops);
  vos_queueAddElem(ps_queue, ac_a);
  vos_queueAddElem(ps_queue, ac_b);
  // The text comparator sees both as equal; identity tells them apart.
  EXPECT_EQ(vos_queueFindNextElem(ps_queue, ac_b), 0);
  EXPECT_EQ(vos_queueFindPtr(ps_queue, ac_b), 1);
  EXPECT_EQ(vos_queueFindPtr(ps_queue, "same"), -1);
  vos_queueDestroy(&ps_queue);
}

TEST_F(vos_queue, count_never_wraps) {
  g_released = 0;
  vos_queue_rec* ps_queue = vos_queueCreate(0, &keep_ops);
  for (std::uintptr_t i = 0; i < static_cast<std::uintptr_t>(VOS_QUEUE_MAX_ELEM); ++i) {
    ASSERT_EQ(vos_queueAddElem(ps_queue, value(i + 4)), static_cast<std::int16_t>(i));
  }
  EXPECT_EQ(vos_queueGetNbElem(ps_queue), 32767);
  testing::internal::CaptureStdout();
  EXPECT_EQ(vos_queueAddElem(ps_queue, value(1'000'000)), -1);
  EXPECT_EQ(vos_queueInsertElem(ps_queue, value(1'000'001), 0), -1);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(re_search_lines(out, R"(:ERROR:vos_queue\.c:[0-9]+:Queue full)")) << out;
  EXPECT_EQ(vos_queueGetNbElem(ps_queue), 32767);
  EXPECT_EQ(vos_queueGetElem(ps_queue, 0), value(4));
  EXPECT_EQ(vos_queueGetElem(ps_queue, 32766), value(32770));
  EXPECT_EQ(vos_queueFindPtr(ps_queue, value(32770)), 32766);
  EXPECT_EQ(vos_queueGetAndDelElem(ps_queue, 0), value(4));
  EXPECT_EQ(vos_queueAddElem(ps_queue, value(7)), 32766);
  vos_queueDestroy(&ps_queue);
  EXPECT_EQ(g_released, 32767);
}

}  // namespace
