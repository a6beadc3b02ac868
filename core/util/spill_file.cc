#include "core/util/spill_file.h"

#include <vector>

namespace {

// Large buffers: a spill file is written in long sequential runs.
constexpr size_t kWriteBuffer = size_t{1} << 20;
constexpr size_t kCopyChunk = size_t{1} << 20;

}  // namespace

CSpillFile::CSpillFile(std::string path) : m_path(std::move(path)) {}

CSpillFile::~CSpillFile() {
  m_file.reset();
  if (m_created) std::remove(m_path.c_str());
}

bool CSpillFile::Create() {
  m_file = OpenFile(m_path, "wb", kWriteBuffer);
  m_created = m_file != nullptr;
  m_failed = !m_created;
  m_size = 0;
  return !m_failed;
}

bool CSpillFile::Write(const void* data, size_t size) {
  if (m_failed || !m_file) return false;
  if (size > 0 && std::fwrite(data, 1, size, m_file.get()) != size) m_failed = true;
  m_size += static_cast<int64_t>(size);
  return !m_failed;
}

bool CSpillFile::Flush() {
  if (m_failed || !m_file) return false;
  if (std::fflush(m_file.get()) != 0) m_failed = true;
  return !m_failed;
}

bool CSpillFile::Close() {
  if (!m_file) return !m_failed && m_created;
  if (std::fflush(m_file.get()) != 0 || std::ferror(m_file.get()) != 0) m_failed = true;
  long length = std::ftell(m_file.get());
  if (length >= 0) m_size = length;
  if (!CloseFile(&m_file)) m_failed = true;
  return !m_failed;
}

bool CSpillFile::CopyTo(std::FILE* out) const {
  if (m_failed || !m_created) return false;
  return CopyFileRange(m_path, 0, m_size, out);
}

bool CopyFileRange(const std::string& path, int64_t offset, int64_t bytes, std::FILE* out) {
  if (bytes == 0) return true;
  FilePtr in = OpenFile(path, "rb");
  if (!in || fseeko(in.get(), static_cast<off_t>(offset), SEEK_SET) != 0) return false;
  std::vector<char> chunk(kCopyChunk);
  int64_t left = bytes;
  while (left > 0) {
    size_t want =
        left < static_cast<int64_t>(chunk.size()) ? static_cast<size_t>(left) : chunk.size();
    if (std::fread(chunk.data(), 1, want, in.get()) != want) return false;
    if (std::fwrite(chunk.data(), 1, want, out) != want) return false;
    left -= static_cast<int64_t>(want);
  }
  return true;
}

FilePtr CSpillFile::OpenForReading(size_t bufferBytes) const {
  if (m_failed || !m_created || m_file) return nullptr;
  return OpenFile(m_path, "rb", bufferBytes);
}
