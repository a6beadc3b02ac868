#include "core/records/record_list.h"

#include <cstdio>

#include "core/util/byte_io.h"
#include "core/util/file_util.h"

bool CRecordList::Assign(std::vector<int32_t> records, int32_t limit) {
  for (size_t i = 0; i < records.size(); ++i) {
    if (records[i] < 0 || records[i] >= limit || (i > 0 && records[i] <= records[i - 1])) {
      return false;
    }
  }
  m_records.swap(records);
  m_bits.assign(m_records.empty() ? 0 : static_cast<size_t>(m_records.back()) / 64 + 1, 0);
  for (int32_t record : m_records) {
    m_bits[static_cast<size_t>(record) / 64] |= uint64_t{1} << (record % 64);
  }
  return true;
}

bool CRecordList::Load(const std::string& path, int32_t limit) {
  m_records.clear();
  m_bits.clear();
  std::string bytes;
  FilePtr file = OpenFile(path, "rb");
  if (!file) return false;
  const int64_t size = FileSize(file.get());
  // At most one entry per record: a larger file is refused before it is read.
  if (size < 4 || size > 4 + 4 * int64_t{limit}) return false;
  bytes.resize(static_cast<size_t>(size));
  if (std::fread(bytes.data(), 1, bytes.size(), file.get()) != bytes.size()) return false;
  CByteReader reader(bytes.data(), bytes.size());
  int32_t count = 0;
  if (!reader.ReadI32(&count) || count < 0 ||
      reader.remaining() != 4 * static_cast<size_t>(count)) {
    return false;
  }
  std::vector<int32_t> records(static_cast<size_t>(count));
  if (!reader.ReadI32Array(records.data(), records.size())) return false;
  return Assign(std::move(records), limit);
}

bool CRecordList::Save(const std::string& path) const {
  std::string bytes;
  PutI32(&bytes, size());
  for (int32_t record : m_records) PutI32(&bytes, record);
  FilePtr file = OpenFile(path, "wb");
  if (!file) return false;
  const bool wrote = std::fwrite(bytes.data(), 1, bytes.size(), file.get()) == bytes.size();
  return CloseFile(&file) && wrote;
}
