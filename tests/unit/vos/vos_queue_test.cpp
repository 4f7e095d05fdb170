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

TEST_F(vos_queue, positions_insertions_and_deletions) {
  vos_queue_rec* ps_queue = vos_queueCreate(0, &keep_ops);
  ASSERT_NE(ps_queue, nullptr);
  EXPECT_EQ(vos_queueGetElem(ps_queue, 0), nullptr);
  EXPECT_EQ(vos_queueGetAndDelElem(ps_queue, 0), nullptr);
  EXPECT_EQ(vos_queueDelElem(ps_queue, 0), -1);
  EXPECT_EQ(vos_queueAddElem(ps_queue, value(11)), 0);
  EXPECT_EQ(vos_queueAddElem(ps_queue, value(12)), 1);
  EXPECT_EQ(vos_queueGetAndDelElem(ps_queue, 0), value(11));
  EXPECT_EQ(vos_queueGetAndDelElem(ps_queue, 0), value(12));
  EXPECT_EQ(ps_queue->last, nullptr) << "the tail follows the last element out";
  EXPECT_EQ(vos_queueAddElem(ps_queue, value(15)), 0);
  vos_queueDestroy(&ps_queue);

  void *a = value(0xa0), *b = value(0xb0), *x = value(0xf0);
  struct insert_case {
    std::int32_t index;
    std::int16_t result;
    std::vector<void*> after;
  };
  for (const insert_case& c : {insert_case{0, 0, {x, a, b}},
                               {1, 1, {a, x, b}},
                               {2, 2, {a, b, x}},
                               {5, -1, {a, b, x}},
                               {-1, -1, {a, b, x}}}) {
    SCOPED_TRACE("index " + std::to_string(c.index));
    ps_queue = vos_queueCreate(0, &keep_ops);
    vos_queueAddElem(ps_queue, a);
    vos_queueAddElem(ps_queue, b);
    EXPECT_EQ(vos_queueInsertElem(ps_queue, x, c.index), c.result);
    EXPECT_EQ(contents(ps_queue), c.after);
    EXPECT_EQ(vos_queueAddElem(ps_queue, value(0xc0)), 3) << "the tail after an insertion";
    vos_queueDestroy(&ps_queue);
  }

  // Deleting frees the data with the accounted allocator; small values are reported instead.
  ps_queue = vos_queueCreate(0, nullptr);
  char* pc_first = nullptr;
  vos_os_malloc(&pc_first, 8);
  vos_queueAddElem(ps_queue, pc_first);
  vos_queueAddElem(ps_queue, value(2));
  vos_queueAddElem(ps_queue, nullptr);
  EXPECT_EQ(vos_queueGetElem(ps_queue, -1), pc_first);
  testing::internal::CaptureStdout();
  EXPECT_EQ(vos_queueDelElem(ps_queue, -7), 2);
  EXPECT_EQ(vos_queueDelElem(ps_queue, 0), 1);
  EXPECT_EQ(vos_queueDelElem(ps_queue, 0), 0);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(
      re_search_lines(out, R"(^[0-9]{8}-[0-9]{6}:ERROR:vos_queue\.c:[0-9]+:BAD POINTER$)") &&
      out.find('\n') == out.size() - 1)
      << out;
  vos_queueDestroy(&ps_queue);
  EXPECT_EQ(ps_queue, nullptr);
  vos_queueDestroy(&ps_queue);
  vos_queueDestroy(nullptr);
}

TEST_F(vos_queue, searches_marks_and_release) {
  static constexpr vos_queue_ops ops{&equal_is_one, &keep_data};
  vos_queue_rec* ps_queue = vos_queueCreate(VOS_QUEUE_UNIQUE, &ops);
  EXPECT_EQ(vos_queueAddElem(ps_queue, value(100)), 0);
  EXPECT_EQ(vos_queueAddElem(ps_queue, value(200)), 1);
  EXPECT_EQ(vos_queueAddElem(ps_queue, value(200)), 1) << "a found key is not added again";
  EXPECT_EQ(vos_queueFindElem(ps_queue, value(200)), 1);
  EXPECT_EQ(vos_queueFindAndGetElem(ps_queue, value(400)), nullptr);
  vos_queueDestroy(&ps_queue);

  const char* const texts[] = {"k", "k", "z", "k", "k", "k", "z"};
  ps_queue = vos_queueCreate(0, &keep_ops);
  for (const char* pc : texts) vos_queueAddElem(ps_queue, const_cast<char*>(pc));
  const std::uint32_t u32_mem = vos_os_curmem();
  std::int16_t* pi16_list = vos_queueFindAllElem(ps_queue, "k");
  EXPECT_EQ(index_list(pi16_list), (std::vector<std::int16_t>{0, 1, 3, 4, 5, -1}));
  EXPECT_EQ(vos_os_curmem() - u32_mem, 6 * sizeof(std::int16_t)) << "one growth, old list freed";
  vos_os_free(&pi16_list);
  pi16_list = vos_queueFindAllElem(ps_queue, "none");
  EXPECT_EQ(index_list(pi16_list), std::vector<std::int16_t>{-1});
  vos_os_free(&pi16_list);
  EXPECT_EQ(vos_queueFindNextElem(ps_queue, "z"), 2);
  EXPECT_EQ(vos_queueFindNextElem(ps_queue, "z"), 6);
  EXPECT_EQ(vos_queueFindNextElem(ps_queue, "z"), -1);
  EXPECT_EQ(vos_queueFindNextElem(ps_queue, "k"), 0) << "marks are per element";
  vos_queueResetElem(ps_queue, "z");
  EXPECT_EQ(vos_queueFindNextElem(ps_queue, "z"), 2);
  EXPECT_EQ(vos_queueFindPtr(ps_queue, texts[3]), 0) << "identity: the same literal";
  EXPECT_EQ(vos_queueFindPtr(ps_queue, "other"), -1);
  g_released = 0;
  vos_queueClear(ps_queue);
  EXPECT_EQ(g_released, 7);
  EXPECT_EQ(vos_queueGetNbElem(ps_queue), 0);

  // The count never wraps: a full queue refuses both ways of adding.
  for (std::uintptr_t i = 0; i < static_cast<std::uintptr_t>(VOS_QUEUE_MAX_ELEM); ++i) {
    ASSERT_EQ(vos_queueAddElem(ps_queue, value(i + 4)), static_cast<std::int16_t>(i));
  }
  testing::internal::CaptureStdout();
  EXPECT_EQ(vos_queueAddElem(ps_queue, value(1'000'000)), -1);
  EXPECT_EQ(vos_queueInsertElem(ps_queue, value(1'000'001), 0), -1);
  EXPECT_TRUE(re_search_lines(testing::internal::GetCapturedStdout(), "Queue full"));
  EXPECT_EQ(vos_queueGetElem(ps_queue, 32766), value(32770));
  vos_queueDestroy(&ps_queue);
}

}  // namespace
