// Tests of the memory of the index build: the growable CLargeBuffer (content kept across
// remapping growth, zero-filled room, moves) and the blocks of AllocateLargeBlock.
#include "core/util/large_buffer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <utility>

#include "core/util/large_block.h"

namespace {

unsigned char PatternByte(size_t position) {
  return static_cast<unsigned char>((position * 131) ^ (position >> 11));
}

TEST(LargeBufferTest, GrowthKeepsTheContentAndZeroFillsTheRoom) {
  CLargeBuffer buffer;
  EXPECT_EQ(buffer.data(), nullptr);
  EXPECT_EQ(buffer.capacity(), 0u);
  size_t written = 0;
  // Small steps first, then steps across several huge-page units (the store's pool grows so).
  for (size_t capacity : {size_t{1}, size_t{5000}, size_t{4096000}, size_t{6200000},
                          size_t{9300000}, size_t{25000000}}) {
    buffer.Reserve(capacity);
    ASSERT_NE(buffer.data(), nullptr);
    ASSERT_GE(buffer.capacity(), capacity);
    for (size_t position = written; position < buffer.capacity(); position += 4093) {
      ASSERT_EQ(buffer.data()[position], 0) << "fresh room at " << position;
    }
    for (size_t position = 0; position < written; ++position) {
      ASSERT_EQ(static_cast<unsigned char>(buffer.data()[position]), PatternByte(position))
          << "byte " << position << " after growth to " << capacity;
    }
    for (; written < capacity; ++written)
      buffer.data()[written] = static_cast<char>(PatternByte(written));
  }
  size_t capacity = buffer.capacity();
  const char* data = buffer.data();
  buffer.Reserve(10);  // never shrinks
  EXPECT_EQ(buffer.capacity(), capacity);
  EXPECT_EQ(buffer.data(), data);

  CLargeBuffer moved(std::move(buffer));
  EXPECT_EQ(buffer.data(), nullptr);
  EXPECT_EQ(buffer.capacity(), 0u);
  ASSERT_EQ(moved.data(), data);
  CLargeBuffer assigned;
  assigned.Reserve(100);
  assigned = std::move(moved);
  ASSERT_EQ(assigned.data(), data);
  EXPECT_EQ(static_cast<unsigned char>(assigned.data()[written - 1]), PatternByte(written - 1));
}

TEST(LargeBufferTest, ImpossibleSizeThrowsAndKeepsTheBuffer) {
  CLargeBuffer buffer;
  buffer.Reserve(100);
  buffer.data()[99] = 'x';
  EXPECT_THROW(buffer.Reserve(SIZE_MAX - 10), std::bad_alloc);
  ASSERT_GE(buffer.capacity(), 100u);
  EXPECT_EQ(buffer.data()[99], 'x');
}

TEST(LargeBlockTest, BlocksOfEverySizeAreUsableAndBigOnesAligned) {
  for (size_t bytes : {size_t{0}, size_t{1}, size_t{4000}, (size_t{2} << 20) - 1, size_t{2} << 20,
                       (size_t{5} << 20) + 3}) {
    LargeArray<char> block(static_cast<char*>(AllocateLargeBlock(bytes)));
    ASSERT_NE(block.get(), nullptr);
    if (bytes >= (size_t{2} << 20)) {
      EXPECT_EQ(reinterpret_cast<uintptr_t>(block.get()) % (uintptr_t{2} << 20), 0u) << bytes;
    }
    for (size_t i = 0; i < bytes; ++i) block[i] = static_cast<char>(i);
    if (bytes > 0) {
      EXPECT_EQ(block[bytes - 1], static_cast<char>(bytes - 1));
    }
  }
  LargeArray<int64_t> values = AllocateLargeArray<int64_t>(1000000);
  for (int64_t i = 0; i < 1000000; ++i) values[static_cast<size_t>(i)] = i * 3;
  EXPECT_EQ(values[999999], 2999997);
  EXPECT_THROW(AllocateLargeBlock(SIZE_MAX - 5), std::bad_alloc);
}

}  // namespace
