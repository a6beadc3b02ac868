#include "core/text/crc32c.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <vector>

#if defined(__x86_64__)
#include <nmmintrin.h>
#endif

namespace {

constexpr uint32_t kPolynomial = 0x82F63B78;  // Castagnoli, reflected

using Tables = std::array<std::array<uint32_t, 256>, 8>;

constexpr Tables MakeTables() {
  Tables tables{};
  for (uint32_t byte = 0; byte < 256; ++byte) {
    uint32_t crc = byte;
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ ((crc & 1) != 0 ? kPolynomial : 0);
    tables[0][byte] = crc;
  }
  for (uint32_t byte = 0; byte < 256; ++byte) {
    for (size_t k = 1; k < 8; ++k) {
      uint32_t previous = tables[k - 1][byte];
      tables[k][byte] = (previous >> 8) ^ tables[0][previous & 0xFF];
    }
  }
  return tables;
}

constexpr Tables kTables = MakeTables();

// `state` is the register before the final XOR.
uint32_t UpdatePortable(uint32_t state, const uint8_t* bytes, size_t size) {
  while (size > 0 && (reinterpret_cast<uintptr_t>(bytes) & 7) != 0) {
    state = (state >> 8) ^ kTables[0][(state ^ *bytes++) & 0xFF];
    --size;
  }
  while (size >= 8) {
    uint32_t low = 0;
    uint32_t high = 0;
    std::memcpy(&low, bytes, 4);  // little-endian, as every target of this project
    std::memcpy(&high, bytes + 4, 4);
    low ^= state;
    state = kTables[7][low & 0xFF] ^ kTables[6][(low >> 8) & 0xFF] ^
            kTables[5][(low >> 16) & 0xFF] ^ kTables[4][low >> 24] ^ kTables[3][high & 0xFF] ^
            kTables[2][(high >> 8) & 0xFF] ^ kTables[1][(high >> 16) & 0xFF] ^
            kTables[0][high >> 24];
    bytes += 8;
    size -= 8;
  }
  while (size > 0) {
    state = (state >> 8) ^ kTables[0][(state ^ *bytes++) & 0xFF];
    --size;
  }
  return state;
}

#if defined(__x86_64__)
__attribute__((target("sse4.2"))) uint32_t UpdateHardware(uint32_t state, const uint8_t* bytes,
                                                          size_t size) {
  while (size > 0 && (reinterpret_cast<uintptr_t>(bytes) & 7) != 0) {
    state = _mm_crc32_u8(state, *bytes++);
    --size;
  }
  uint64_t wide = state;
  while (size >= 32) {
    uint64_t words[4];
    std::memcpy(words, bytes, sizeof words);
    wide = _mm_crc32_u64(wide, words[0]);
    wide = _mm_crc32_u64(wide, words[1]);
    wide = _mm_crc32_u64(wide, words[2]);
    wide = _mm_crc32_u64(wide, words[3]);
    bytes += 32;
    size -= 32;
  }
  while (size >= 8) {
    uint64_t word = 0;
    std::memcpy(&word, bytes, 8);
    wide = _mm_crc32_u64(wide, word);
    bytes += 8;
    size -= 8;
  }
  state = static_cast<uint32_t>(wide);
  while (size > 0) {
    state = _mm_crc32_u8(state, *bytes++);
    --size;
  }
  return state;
}

bool DetectHardware() { return __builtin_cpu_supports("sse4.2") != 0; }
#else
uint32_t UpdateHardware(uint32_t state, const uint8_t* bytes, size_t size) {
  return UpdatePortable(state, bytes, size);
}
bool DetectHardware() { return false; }
#endif

const bool kHardware = DetectHardware();

constexpr size_t kChunk = 1 << 18;  // stays in the second-level cache between read and sum

}  // namespace

uint32_t Crc32c(uint32_t crc, const void* data, size_t size) {
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
  return ~(kHardware ? UpdateHardware(~crc, bytes, size) : UpdatePortable(~crc, bytes, size));
}

uint32_t Crc32cPortable(uint32_t crc, const void* data, size_t size) {
  return ~UpdatePortable(~crc, static_cast<const uint8_t*>(data), size);
}

bool Crc32cIsHardware() { return kHardware; }

tFILE_IDENTITY IdentifyBytes(const void* data, size_t size) {
  tFILE_IDENTITY identity;
  identity.size = static_cast<int64_t>(size);
  identity.crc = Crc32c(0, data, size);
  return identity;
}

bool IdentifyFile(const std::string& path, tFILE_IDENTITY* identity, std::string* error) {
  const int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (descriptor < 0) {
    *error = std::strerror(errno);
    return false;
  }
  ::posix_fadvise(descriptor, 0, 0, POSIX_FADV_SEQUENTIAL);
  std::vector<char> buffer(kChunk);
  uint32_t crc = 0;
  int64_t size = 0;
  for (;;) {
    ssize_t got = ::read(descriptor, buffer.data(), buffer.size());
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      *error = std::strerror(errno);
      ::close(descriptor);
      return false;
    }
    if (got == 0) break;
    crc = Crc32c(crc, buffer.data(), static_cast<size_t>(got));
    size += got;
  }
  ::close(descriptor);
  identity->size = size;
  identity->crc = crc;
  return true;
}
