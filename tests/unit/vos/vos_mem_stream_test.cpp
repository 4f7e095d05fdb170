// Memory stream and allocator report.
#include "vos_mem_stream.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "alloc_balance.h"
#include "temp_dir.h"
#include "test_regex.h"
#include "vos_mem.h"

namespace {

using test_support::re_search;
using test_support::read_file;

class vos_mem_stream_test : public test_support::alloc_balance_test {};

std::string error_line(const char* message) {
  return std::string("[0-9]{8}-[0-9]{6}[: ]ERROR[: ]vos_mem\\.c:[0-9]+[: ]") + message + "\n";
}

}  // namespace

TEST_F(vos_mem_stream_test, capacity_doubles_until_the_bytes_fit) {
  vos_mem_stream* ps_stream = nullptr;
  ASSERT_EQ(vos_mem_open(&ps_stream, 4), 1);
  ASSERT_NE(ps_stream, nullptr);
  EXPECT_EQ(ps_stream->capacity, 4u);
  EXPECT_EQ(ps_stream->free, 4u);
  const std::uint8_t au8_first[3] = {1, 2, 3};
  const std::uint8_t au8_second[3] = {4, 5, 6};
  const std::uint8_t au8_third[11] = {7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17};
  {
    SCOPED_TRACE("3 bytes fit in 4");
    ASSERT_EQ(vos_mem_write(ps_stream, au8_first, 3), 1);
    EXPECT_EQ(ps_stream->capacity, 4u);
    EXPECT_EQ(ps_stream->free, 1u);
  }
  {
    SCOPED_TRACE("6 bytes need 8");
    ASSERT_EQ(vos_mem_write(ps_stream, au8_second, 3), 1);
    EXPECT_EQ(ps_stream->capacity, 8u);
    EXPECT_EQ(ps_stream->free, 2u);
  }
  {
    SCOPED_TRACE("17 bytes need 32, 16 being too small");
    ASSERT_EQ(vos_mem_write(ps_stream, au8_third, 11), 1);
    EXPECT_EQ(ps_stream->capacity, 32u);
    EXPECT_EQ(ps_stream->free, 15u);
  }
  for (std::uint8_t i = 0; i < 17; ++i) {
    EXPECT_EQ(ps_stream->buffer[i], i + 1) << "byte " << int(i);
  }
  for (std::uint32_t i = 17; i < 32; ++i) {
    EXPECT_EQ(ps_stream->buffer[i], 0) << "unwritten byte " << i << " is not zero";
  }
  EXPECT_EQ(vos_mem_close(&ps_stream), 1);
  EXPECT_EQ(ps_stream, nullptr);
}

TEST_F(vos_mem_stream_test, a_write_filling_exactly_does_not_grow) {
  vos_mem_stream* ps_stream = nullptr;
  ASSERT_EQ(vos_mem_open(&ps_stream, 4), 1);
  const std::uint8_t au8_data[5] = {9, 8, 7, 6, 5};
  ASSERT_EQ(vos_mem_write(ps_stream, au8_data, 4), 1);
  EXPECT_EQ(ps_stream->capacity, 4u);
  EXPECT_EQ(ps_stream->free, 0u);
  ASSERT_EQ(vos_mem_write(ps_stream, au8_data + 4, 1), 1);
  EXPECT_EQ(ps_stream->capacity, 8u);
  EXPECT_EQ(ps_stream->free, 3u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(ps_stream->buffer), 5),
            std::string("\x09\x08\x07\x06\x05", 5));
  EXPECT_EQ(vos_mem_close(&ps_stream), 1);
}

TEST_F(vos_mem_stream_test, extract_hands_over_the_bytes_and_empties_the_stream) {
  vos_mem_stream* ps_stream = nullptr;
  ASSERT_EQ(vos_mem_open(&ps_stream, 4), 1);
  ASSERT_EQ(vos_mem_write(ps_stream, "abc", 3), 1);
  ASSERT_EQ(vos_mem_write(ps_stream, "def", 3), 1);
  std::uint8_t* pu8_buffer = nullptr;
  std::uint32_t u32_len = 0;
  ASSERT_EQ(vos_mem_extract_buf(ps_stream, &pu8_buffer, &u32_len), 1);
  ASSERT_NE(pu8_buffer, nullptr);
  EXPECT_EQ(u32_len, 6u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(pu8_buffer), u32_len), "abcdef");
  EXPECT_EQ(ps_stream->capacity, 0u);
  EXPECT_EQ(ps_stream->free, 0u);
  EXPECT_EQ(ps_stream->buffer, nullptr);
  {
    SCOPED_TRACE("a write to the emptied stream is refused at once");
    testing::internal::CaptureStdout();
    EXPECT_EQ(vos_mem_write(ps_stream, "x", 1), -1);
    EXPECT_TRUE(re_search(testing::internal::GetCapturedStdout(), error_line("Invalid buffer")));
    EXPECT_EQ(ps_stream->capacity, 0u);
    EXPECT_EQ(ps_stream->buffer, nullptr);
  }
  // The buffer now belongs to the caller; the record is still closed on its own.
  vos_os_free(&pu8_buffer);
  EXPECT_EQ(vos_mem_close(&ps_stream), 1);
  EXPECT_EQ(ps_stream, nullptr);
}

TEST_F(vos_mem_stream_test, invalid_arguments_are_refused_and_logged) {
  vos_mem_stream* ps_stream = nullptr;
  const std::string invalid = error_line("Invalid parameter");
  {
    SCOPED_TRACE("open with capacity 0");
    testing::internal::CaptureStdout();
    EXPECT_EQ(vos_mem_open(&ps_stream, 0), -1);
    EXPECT_TRUE(re_search(testing::internal::GetCapturedStdout(), invalid));
    EXPECT_EQ(ps_stream, nullptr);
  }
  {
    SCOPED_TRACE("open with a null address");
    testing::internal::CaptureStdout();
    EXPECT_EQ(vos_mem_open(nullptr, 8), -1);
    EXPECT_TRUE(re_search(testing::internal::GetCapturedStdout(), invalid));
  }
  ASSERT_EQ(vos_mem_open(&ps_stream, 8), 1);
  ASSERT_EQ(vos_mem_write(ps_stream, "ab", 2), 1);
  {
    SCOPED_TRACE("write of length 0");
    testing::internal::CaptureStdout();
    EXPECT_EQ(vos_mem_write(ps_stream, "cd", 0), -1);
    EXPECT_TRUE(re_search(testing::internal::GetCapturedStdout(), invalid));
  }
  {
    SCOPED_TRACE("write of null data");
    testing::internal::CaptureStdout();
    EXPECT_EQ(vos_mem_write(ps_stream, nullptr, 2), -1);
    EXPECT_TRUE(re_search(testing::internal::GetCapturedStdout(), invalid));
  }
  {
    SCOPED_TRACE("write to a null stream");
    testing::internal::CaptureStdout();
    EXPECT_EQ(vos_mem_write(nullptr, "cd", 2), -1);
    EXPECT_TRUE(re_search(testing::internal::GetCapturedStdout(), invalid));
  }
  {
    SCOPED_TRACE("extract into a null variable");
    std::uint32_t u32_len = 99;
    testing::internal::CaptureStdout();
    EXPECT_EQ(vos_mem_extract_buf(ps_stream, nullptr, &u32_len), -1);
    EXPECT_TRUE(re_search(testing::internal::GetCapturedStdout(), invalid));
    EXPECT_EQ(u32_len, 99u);
  }
  // None of the refusals touched the stream.
  EXPECT_EQ(ps_stream->capacity, 8u);
  EXPECT_EQ(ps_stream->free, 6u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(ps_stream->buffer), 2), "ab");
  ASSERT_EQ(vos_mem_close(&ps_stream), 1);
  {
    SCOPED_TRACE("close of a null variable");
    testing::internal::CaptureStdout();
    EXPECT_EQ(vos_mem_close(&ps_stream), -1);
    EXPECT_TRUE(re_search(testing::internal::GetCapturedStdout(), invalid));
    testing::internal::CaptureStdout();
    EXPECT_EQ(vos_mem_close(nullptr), -1);
    EXPECT_TRUE(re_search(testing::internal::GetCapturedStdout(), invalid));
  }
}

TEST_F(vos_mem_stream_test, a_total_beyond_32_bits_is_refused_without_looping) {
  vos_mem_stream* ps_stream = nullptr;
  ASSERT_EQ(vos_mem_open(&ps_stream, 4), 1);
  ASSERT_EQ(vos_mem_write(ps_stream, "abc", 3), 1);
  // Only the length is read before the refusal, so a short source is safe here.
  const char ac_source[4] = "xyz";
  testing::internal::CaptureStdout();
  EXPECT_EQ(vos_mem_write(ps_stream, ac_source, 0xFFFFFFFFu), -1);
  EXPECT_TRUE(re_search(testing::internal::GetCapturedStdout(), error_line("Memory overflow")));
  EXPECT_EQ(ps_stream->capacity, 4u);
  EXPECT_EQ(ps_stream->free, 1u);
  EXPECT_EQ(vos_mem_close(&ps_stream), 1);
}

TEST_F(vos_mem_stream_test, print_mem_writes_exactly_one_line_of_totals) {
  const test_support::temp_dir dir("vos_mem");
  ASSERT_TRUE(dir.ok());
  const std::filesystem::path report = dir / "mem.txt";
  { std::ofstream(report) << "old content that must go\nsecond line\n"; }
  void* apv_blocks[3] = {};
  vos_os_malloc(&apv_blocks[0], 40);
  vos_os_malloc(&apv_blocks[1], 40);
  vos_os_malloc(&apv_blocks[2], 40);
  const std::string expected = "Nbpools=" + std::to_string(vos_os_nb_pool()) +
                               " memsize=" + std::to_string(vos_os_curmem()) +
                               " maxmem=" + std::to_string(vos_os_maxmem()) +
                               " (most recent first):\n";
  vos_os_print_mem(report.c_str());
  EXPECT_EQ(read_file(report), expected);
  for (void*& pv_block : apv_blocks) {
    vos_os_free(&pv_block);
  }
  {
    SCOPED_TRACE("a file that cannot be opened: nothing written, nothing logged");
    const std::filesystem::path through_file = report / "sub.txt";
    testing::internal::CaptureStdout();
    vos_os_print_mem(through_file.c_str());
    vos_os_print_mem(nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_FALSE(std::filesystem::exists(through_file));
  }
}
