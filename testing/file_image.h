// CFileImage: the bytes of a saved file held in memory, for loader tests. A test reads a
// good file, damages the image (cut it short, overwrite a 32-bit value, flip a byte) and
// writes it back or feeds the bytes straight to a decoder, expecting a clean refusal.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

class CFileImage {
 public:
  CFileImage() = default;
  explicit CFileImage(std::string bytes) : m_bytes(std::move(bytes)) {}
  virtual ~CFileImage() = default;

  // Replaces the image by the file's bytes; false when the file cannot be read.
  bool Read(const std::string& path);
  // Writes the image to `path`; false when it cannot.
  bool Write(const std::string& path) const;

  // Keeps the first `size` bytes (no effect when the image is shorter).
  void Truncate(size_t size);
  // Overwrites the little-endian int32 at `offset`; the image grows with zeros if needed.
  void PutI32At(size_t offset, int32_t value);
  // Overwrites one byte (growing as above).
  void PutByteAt(size_t offset, uint8_t value);
  void Append(const std::string& bytes) { m_bytes += bytes; }

  const std::string& bytes() const { return m_bytes; }
  const char* data() const { return m_bytes.data(); }
  size_t size() const { return m_bytes.size(); }

 private:
  std::string m_bytes;
};
