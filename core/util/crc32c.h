// CRC-32C (Castagnoli polynomial, reflected, initial and final XOR 0xFFFFFFFF): the checksum
// of the data-set manifest. Uses the SSE4.2 CRC instruction when the processor has it (checked
// once at run time) and a slice-by-8 table otherwise; both give the same values.
// Thread safety: every function may run on many threads at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Extends `crc` (the result of an earlier call, or 0 to start) over `size` bytes of `data`.
// Crc32c(Crc32c(0, a), b) equals the checksum of a followed by b; "123456789" gives
// 0xE3069283.
uint32_t Crc32c(uint32_t crc, const void* data, size_t size);

// The same through the table alone, so that tests can compare the two ways.
uint32_t Crc32cPortable(uint32_t crc, const void* data, size_t size);

// True when Crc32c uses the processor's CRC instruction.
bool Crc32cIsHardware();

// Size and checksum of a file's whole contents.
struct tFILE_IDENTITY {
  int64_t size = -1;  // -1: not known
  uint32_t crc = 0;
  bool operator==(const tFILE_IDENTITY& other) const {
    return size == other.size && crc == other.crc;
  }
  bool operator!=(const tFILE_IDENTITY& other) const { return !(*this == other); }
};

// Reads the file at `path` once, in chunks, and fills *identity. False with a description of
// the failure (the system's error text) in *error when it cannot be opened or read.
bool IdentifyFile(const std::string& path, tFILE_IDENTITY* identity, std::string* error);

// The identity of bytes in memory.
tFILE_IDENTITY IdentifyBytes(const void* data, size_t size);
