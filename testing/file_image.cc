#include "testing/file_image.h"

#include <cstring>

#include "core/util/file_util.h"

bool CFileImage::Read(const std::string& path) {
  FilePtr file = OpenFile(path, "rb");
  if (!file) return false;
  std::string bytes;
  char buffer[4096];
  size_t got = 0;
  while ((got = std::fread(buffer, 1, sizeof buffer, file.get())) > 0) bytes.append(buffer, got);
  if (std::ferror(file.get())) return false;
  m_bytes = std::move(bytes);
  return true;
}

bool CFileImage::Write(const std::string& path) const {
  FilePtr file = OpenFile(path, "wb");
  if (!file) return false;
  if (!m_bytes.empty() &&
      std::fwrite(m_bytes.data(), 1, m_bytes.size(), file.get()) != m_bytes.size()) {
    return false;
  }
  return std::fclose(file.release()) == 0;
}

void CFileImage::Truncate(size_t size) {
  if (size < m_bytes.size()) m_bytes.resize(size);
}

void CFileImage::PutI32At(size_t offset, int32_t value) {
  if (m_bytes.size() < offset + 4) m_bytes.resize(offset + 4, '\0');
  std::memcpy(&m_bytes[offset], &value, 4);  // little-endian host, as byte_io asserts
}

void CFileImage::PutByteAt(size_t offset, uint8_t value) {
  if (m_bytes.size() < offset + 1) m_bytes.resize(offset + 1, '\0');
  m_bytes[offset] = static_cast<char>(value);
}
