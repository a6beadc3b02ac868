#include "core/util/crc32c.h"

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

// The register after `zeros` zero bytes, as a table per byte of the register: appending a
// block B to data A gives register(A + B) = Shift(register(A)) ^ register(B from 0), which
// lets three blocks be summed side by side and joined.
struct tSHIFT_TABLE {
  std::array<std::array<uint32_t, 256>, 4> table;

  explicit tSHIFT_TABLE(size_t zeros) {
    std::vector<uint8_t> zeroBytes(zeros, 0);
    uint32_t basis[32];
    for (int bit = 0; bit < 32; ++bit) {
      basis[bit] = UpdatePortable(uint32_t{1} << bit, zeroBytes.data(), zeros);
    }
    for (size_t part = 0; part < 4; ++part) {
      for (uint32_t value = 0; value < 256; ++value) {
        uint32_t shifted = 0;
        for (int bit = 0; bit < 8; ++bit) {
          if ((value >> bit) & 1) shifted ^= basis[part * 8 + static_cast<size_t>(bit)];
        }
        table[part][value] = shifted;
      }
    }
  }

  uint32_t Shift(uint32_t state) const {
    return table[0][state & 0xFF] ^ table[1][(state >> 8) & 0xFF] ^ table[2][(state >> 16) & 0xFF] ^
           table[3][state >> 24];
  }
};

constexpr size_t kLongBlock = 8192;  // bytes per stream
constexpr size_t kShortBlock = 256;

#if defined(__x86_64__)
// One CRC instruction has a latency of three cycles but can start every cycle: three
// independent streams over three adjacent blocks keep it busy, and the shift tables join them.
__attribute__((target("sse4.2"))) uint64_t ThreeStreams(uint64_t state, const uint8_t** bytes,
                                                        size_t* size, size_t block,
                                                        const tSHIFT_TABLE& shift) {
  while (*size >= 3 * block) {
    const uint8_t* next = *bytes;
    uint64_t second = 0;
    uint64_t third = 0;
    for (const uint8_t* end = next + block; next < end; next += 8) {
      uint64_t words[3];
      std::memcpy(&words[0], next, 8);
      std::memcpy(&words[1], next + block, 8);
      std::memcpy(&words[2], next + 2 * block, 8);
      state = _mm_crc32_u64(state, words[0]);
      second = _mm_crc32_u64(second, words[1]);
      third = _mm_crc32_u64(third, words[2]);
    }
    state = shift.Shift(static_cast<uint32_t>(state)) ^ second;
    state = shift.Shift(static_cast<uint32_t>(state)) ^ third;
    *bytes += 3 * block;
    *size -= 3 * block;
  }
  return state;
}

__attribute__((target("sse4.2"))) uint32_t UpdateHardware(uint32_t state, const uint8_t* bytes,
                                                          size_t size) {
  static const tSHIFT_TABLE kLongShift(kLongBlock);
  static const tSHIFT_TABLE kShortShift(kShortBlock);
  while (size > 0 && (reinterpret_cast<uintptr_t>(bytes) & 7) != 0) {
    state = _mm_crc32_u8(state, *bytes++);
    --size;
  }
  uint64_t wide = state;
  wide = ThreeStreams(wide, &bytes, &size, kLongBlock, kLongShift);
  wide = ThreeStreams(wide, &bytes, &size, kShortBlock, kShortShift);
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
