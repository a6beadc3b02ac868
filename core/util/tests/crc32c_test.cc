// Tests of CRC-32C: published check values, the processor path against the table path and a
// bitwise reference over many lengths and alignments, chaining, and file identities.
#include "core/util/crc32c.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

namespace {

// One bit at a time, straight from the definition.
uint32_t BitwiseCrc32c(const std::string& bytes) {
  uint32_t crc = 0xFFFFFFFF;
  for (unsigned char byte : bytes) {
    crc ^= byte;
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ ((crc & 1) != 0 ? 0x82F63B78 : 0);
  }
  return ~crc;
}

TEST(Crc32cTest, PublishedCheckValues) {
  std::string ascending;
  for (int i = 0; i < 32; ++i) ascending += static_cast<char>(i);
  struct Case {
    std::string bytes;
    uint32_t crc;
  } const cases[] = {
      {"", 0},
      {"123456789", 0xE3069283},
      {std::string(32, '\0'), 0x8A9136AA},
      {std::string(32, '\xFF'), 0x62A8AB43},
      {ascending, 0x46DD794E},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Crc32c(0, c.bytes.data(), c.bytes.size()), c.crc) << c.bytes.size();
    EXPECT_EQ(Crc32cPortable(0, c.bytes.data(), c.bytes.size()), c.crc) << c.bytes.size();
  }
}

TEST(Crc32cTest, BothPathsAgreeWithTheDefinitionAtEveryLengthAndAlignment) {
  std::mt19937 random(13);
  // Long enough for the three-stream blocks of 3 x 256 and 3 x 8192 bytes and what follows.
  std::string pool(3 * 8192 * 2 + 3 * 256 + 100, '\0');
  for (char& byte : pool) byte = static_cast<char>(random());
  for (size_t offset = 0; offset < 9; ++offset) {
    for (size_t length = 0; length + offset <= pool.size(); length += 1 + length / 7) {
      const std::string piece = pool.substr(offset, length);
      const uint32_t expected = BitwiseCrc32c(piece);
      ASSERT_EQ(Crc32c(0, pool.data() + offset, length), expected) << offset << " " << length;
      ASSERT_EQ(Crc32cPortable(0, pool.data() + offset, length), expected)
          << offset << " " << length;
    }
  }
}

TEST(Crc32cTest, ChainedCallsEqualOneCall) {
  std::mt19937 random(5);
  std::string bytes(5000, '\0');
  for (char& byte : bytes) byte = static_cast<char>(random());
  const uint32_t whole = Crc32c(0, bytes.data(), bytes.size());
  for (size_t cut : {size_t{0}, size_t{1}, size_t{7}, size_t{8}, size_t{33}, size_t{4999}}) {
    uint32_t chained = Crc32c(0, bytes.data(), cut);
    chained = Crc32c(chained, bytes.data() + cut, bytes.size() - cut);
    EXPECT_EQ(chained, whole) << cut;
  }
}

TEST(Crc32cTest, FileIdentityIsTheIdentityOfItsBytes) {
  char pattern[] = "/tmp/crc32c_test_XXXXXX";
  const int descriptor = mkstemp(pattern);
  ASSERT_GE(descriptor, 0);
  close(descriptor);
  const std::string path = pattern;
  std::mt19937 random(3);
  // Longer than the read chunk, so the file is summed in several reads.
  for (size_t size : {size_t{0}, size_t{1}, size_t{(1 << 18) + 5}, size_t{3 << 18}}) {
    std::string bytes(size, '\0');
    for (char& byte : bytes) byte = static_cast<char>(random());
    FILE* file = std::fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), file), bytes.size());
    std::fclose(file);
    tFILE_IDENTITY identity;
    std::string error;
    ASSERT_TRUE(IdentifyFile(path, &identity, &error)) << error;
    EXPECT_EQ(identity, IdentifyBytes(bytes.data(), bytes.size())) << size;
    EXPECT_EQ(identity.size, static_cast<int64_t>(size));
  }
  std::remove(path.c_str());
  tFILE_IDENTITY identity;
  std::string error;
  EXPECT_FALSE(IdentifyFile(path, &identity, &error));
  EXPECT_NE(error.find("No such file"), std::string::npos) << error;
}

}  // namespace
