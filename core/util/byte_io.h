// Encoding and bounds-checked decoding of the saved formats: little-endian 32-bit integers
// and raw byte strings, no padding, no headers. Readers never read past what they hold and
// report too few bytes with false, so counts taken from a file can be checked against the
// bytes left before anything is allocated.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "saved files are little-endian; a big-endian port must convert in byte_io");

inline void PutI32(std::string* out, int32_t value) {
  char bytes[4];
  std::memcpy(bytes, &value, 4);
  out->append(bytes, 4);
}

inline void PutBytes(std::string* out, const void* data, size_t size) {
  out->append(static_cast<const char*>(data), size);
}

// Writes `count` int32 values in file byte order; false when the stream reports an error.
inline bool WriteI32Array(std::FILE* file, const int32_t* values, size_t count) {
  return count == 0 || std::fwrite(values, sizeof(int32_t), count, file) == count;
}

inline bool WriteI32(std::FILE* file, int32_t value) { return WriteI32Array(file, &value, 1); }

class CByteReader {
 public:
  CByteReader(const char* data, size_t size) : m_data(data), m_size(size) {}

  size_t remaining() const { return m_size - m_position; }
  size_t position() const { return m_position; }

  bool ReadI32(int32_t* value) {
    if (remaining() < 4) return false;
    std::memcpy(value, m_data + m_position, 4);
    m_position += 4;
    return true;
  }

  // Reads `count` int32 values into `values`; false (nothing consumed) when too few bytes
  // remain. The check is written so that a huge count cannot overflow.
  bool ReadI32Array(int32_t* values, size_t count) {
    if (count > remaining() / 4) return false;
    if (count > 0) std::memcpy(values, m_data + m_position, count * 4);
    m_position += count * 4;
    return true;
  }

  // Points *bytes at the next `count` bytes and consumes them.
  bool ReadBytes(size_t count, const char** bytes) {
    if (count > remaining()) return false;
    *bytes = m_data + m_position;
    m_position += count;
    return true;
  }

  bool ReadU8(uint8_t* value) {
    if (remaining() < 1) return false;
    *value = static_cast<uint8_t>(m_data[m_position++]);
    return true;
  }

 private:
  const char* m_data;
  size_t m_size;
  size_t m_position = 0;
};
