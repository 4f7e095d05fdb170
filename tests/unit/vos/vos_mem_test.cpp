// Accounted memory, mutexes, memory streams and the element queue.
#include "vos_mem.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <cerrno>
#include <cstddef>
#include <string>
#include <thread>
#include <vector>

#include "alloc_balance.h"
#include "stdout_capture.h"
#include "temp_dir.h"
#include "test_regex.h"
#include "vos_mem_stream.h"
#include "vos_queue.h"

namespace {

using test_support::captured;
using test_support::re_search_lines;

class vos_mem : public test_support::alloc_balance_test {};
using vos_queue = vos_mem;

void* value(std::uintptr_t v) { return reinterpret_cast<void*>(v); }

// The allocator's report (one line of totals), the mutex handle's life, and memory streams.
TEST_F(vos_mem, report_mutex_handle_and_streams) {
  void* pv = &pv;
  vos_os_malloc(&pv, 0);
  EXPECT_EQ(pv, nullptr) << "size 0 gives null";
  const test_support::temp_dir dir("vos_mem");
  vos_os_print_mem((dir / "report").c_str());
  EXPECT_EQ(test_support::read_file(dir / "report"),
            "Nbpools=" + std::to_string(vos_os_nb_pool()) +
                " memsize=" + std::to_string(vos_os_curmem()) +
                " maxmem=" + std::to_string(vos_os_maxmem()) + " (most recent first):\n");
  vos_os_print_mem(nullptr);
  vos_os_mutex_kill(nullptr);
  vos_os_mutex_t t_mutex = vos_os_mutex_create("lan");
  ASSERT_NE(t_mutex, nullptr);
  vos_os_mutex_kill(&t_mutex);
  EXPECT_EQ(t_mutex, nullptr);
  std::uint8_t* pu8 = nullptr;
  // A memory stream grows, hands its buffer over and refuses what would overflow it.
  vos_mem_stream* ps = nullptr;
  ASSERT_EQ(vos_mem_open(&ps, 4), 1);
  const std::uint8_t au8[17] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17};
  for (const auto& [u32_len, u32_capacity] :
       {std::pair<std::uint32_t, std::uint32_t>{3, 4}, {1, 4}, {1, 8}, {12, 32}}) {
    ASSERT_EQ(vos_mem_write(ps, au8 + (ps->capacity - ps->free), u32_len), 1);
    EXPECT_EQ(ps->capacity, u32_capacity);
  }
  EXPECT_EQ(ps->free, 15u);
  EXPECT_EQ(
      std::vector<std::uint8_t>(ps->buffer, ps->buffer + 18),
      std::vector<std::uint8_t>({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 0}))
      << "the grown part is zero-filled";
  const std::string out = captured([&] {
    EXPECT_EQ(vos_mem_write(ps, au8, 0xFFFFFFFFu), -1);  // only the length is read
    EXPECT_EQ(vos_mem_write(ps, nullptr, 2), -1);
    EXPECT_EQ(vos_mem_open(&ps, 0), -1);
  });
  EXPECT_TRUE(re_search_lines(out, ":ERROR:vos_mem\\.c:[0-9]+:Memory overflow")) << out;
  EXPECT_EQ(ps->capacity, 32u) << "refusals leave the stream as it was";
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

// Release callback that leaves the data alone: lets tests store plain values.
int g_released = 0;
void keep_data(void** ppv_data) {
  ++g_released;
  *ppv_data = nullptr;
}
constexpr vos_queue_ops keep_ops{nullptr, &keep_data};

// Data of every position, head to tail, checked against the backward links from the tail.
std::vector<void*> contents(const vos_queue_rec* ps_queue) {
  std::vector<void*> forward, backward;
  for (std::int32_t i = 0; i < vos_queueGetNbElem(ps_queue); ++i) {
    forward.push_back(vos_queueGetElem(ps_queue, i));
  }
  for (const vos_queue_elem* ps = ps_queue->last; ps != nullptr; ps = ps->previous) {
    backward.insert(backward.begin(), ps->data);
  }
  EXPECT_EQ(forward, backward) << "forward and backward links disagree";
  return forward;
}

// The index list up to its -1 end, freed.
std::vector<std::int16_t> taken_list(std::int16_t* pi16_list) {
  std::vector<std::int16_t> v;
  for (const std::int16_t* pi16 = pi16_list; *pi16 != -1; ++pi16) v.push_back(*pi16);
  vos_os_free(&pi16_list);
  return v;
}

TEST_F(vos_queue, positions_searches_marks_and_release) {
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
  for (const auto& [i32_index, i16_result, after] :
       {std::tuple<std::int32_t, std::int16_t, std::vector<void*>>{0, 0, {x, a, b}},
        {1, 1, {a, x, b}},
        {2, 2, {a, b, x}},
        {5, -1, {a, b, x}},
        {-1, -1, {a, b, x}}}) {
    ps_queue = vos_queueCreate(0, &keep_ops);
    vos_queueAddElem(ps_queue, a);
    vos_queueAddElem(ps_queue, b);
    EXPECT_EQ(vos_queueInsertElem(ps_queue, x, i32_index), i16_result) << i32_index;
    EXPECT_EQ(contents(ps_queue), after) << i32_index;
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
  const std::string out = captured([&] {
    EXPECT_EQ(vos_queueDelElem(ps_queue, -7), 2);
    EXPECT_EQ(vos_queueDelElem(ps_queue, 0), 1);
    EXPECT_EQ(vos_queueDelElem(ps_queue, 0), 0);
  });
  EXPECT_TRUE(
      re_search_lines(out, R"(^[0-9]{8}-[0-9]{6}:ERROR:vos_queue\.c:[0-9]+:BAD POINTER$)") &&
      out.find('\n') == out.size() - 1)
      << out;
  vos_queueDestroy(&ps_queue);
  EXPECT_EQ(ps_queue, nullptr);
  vos_queueDestroy(&ps_queue);
  vos_queueDestroy(nullptr);
  static constexpr vos_queue_ops ops{
      [](const void* pv_key, const void* pv_data) { return pv_key == pv_data ? 1 : 0; },
      &keep_data};
  ps_queue = vos_queueCreate(VOS_QUEUE_UNIQUE, &ops);
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
  EXPECT_EQ(vos_os_curmem() - u32_mem, 6 * sizeof(std::int16_t)) << "one growth, old list freed";
  EXPECT_EQ(taken_list(pi16_list), (std::vector<std::int16_t>{0, 1, 3, 4, 5}));
  EXPECT_TRUE(taken_list(vos_queueFindAllElem(ps_queue, "none")).empty());
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
  EXPECT_TRUE(re_search_lines(captured([&] {
                                EXPECT_EQ(vos_queueAddElem(ps_queue, value(1'000'000)), -1);
                                EXPECT_EQ(vos_queueInsertElem(ps_queue, value(1'000'001), 0), -1);
                              }),
                              "Queue full"));
  EXPECT_EQ(vos_queueGetElem(ps_queue, 32766), value(32770));
  vos_queueDestroy(&ps_queue);
}

}  // namespace
