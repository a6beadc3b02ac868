#include "core/records/record_keys.h"

#include <cstdio>
#include <string_view>

#include "core/records/manifest.h"
#include "core/util/file_util.h"

void CRecordKeys::Append(const std::string& key) {
  m_starts.push_back(static_cast<uint32_t>(m_text.size()));
  m_text += key;
  m_text += '\n';
}

bool CRecordKeys::AppendLines(const std::string& lines) {
  size_t start = 0;
  while (start < lines.size()) {
    const size_t end = lines.find('\n', start);
    if (end == std::string::npos) return false;
    const std::string_view key(lines.data() + start, end - start);
    if (!IsLastKey(key)) return false;
    // The offsets are 32-bit: a key file past 4 GiB is not kept.
    if (m_text.size() + key.size() + 1 > UINT32_MAX) return false;
    m_starts.push_back(static_cast<uint32_t>(m_text.size()));
    m_text.append(key);
    m_text += '\n';
    start = end + 1;
  }
  return true;
}

bool CRecordKeys::Load(const std::string& path, int32_t recordCount) {
  m_text.clear();
  m_starts.clear();
  FilePtr file = OpenFile(path, "rb");
  if (!file) return false;
  const int64_t bytes = FileSize(file.get());
  // A key is at most 13 bytes ("i -2147483648") or two hex digits a byte of a text value
  // (at most a few hundred), each with its line end: a file beyond what R keys can take, or
  // past the offsets' range, is refused before it is read.
  if (bytes < 0 || bytes >= int64_t{UINT32_MAX} || bytes > int64_t{recordCount} * 4096) {
    return false;
  }
  std::string lines(static_cast<size_t>(bytes), '\0');
  if (std::fread(lines.data(), 1, lines.size(), file.get()) != lines.size()) return false;
  m_text.reserve(lines.size());
  m_starts.reserve(static_cast<size_t>(recordCount));
  if (!AppendLines(lines) || size() != recordCount) {
    m_text.clear();
    m_starts.clear();
    return false;
  }
  return true;
}

bool CRecordKeys::Save(const std::string& path) const {
  FilePtr file = OpenFile(path, "wb");
  if (!file) return false;
  const bool wrote = std::fwrite(m_text.data(), 1, m_text.size(), file.get()) == m_text.size();
  return CloseFile(&file) && wrote;
}

std::string CRecordKeys::At(int32_t record) const {
  if (record < 0 || record >= size()) return std::string();
  const size_t start = m_starts[static_cast<size_t>(record)];
  return m_text.substr(start, m_text.find('\n', start) - start);
}
