// CDeletionList: the records of a data set that no longer answer, because their rows were
// deleted from the table (or replaced) after the records were indexed. A change run commits
// one with a generation instead of rewriting the data files; every answer then leaves the
// listed records out, as a full rebuild of the table would.
//
// File <base>.deleted: D, then D record numbers in strictly ascending order (little-endian
// int32, no header). Load refuses a file whose count does not fit its size, whose numbers are
// not strictly ascending or name a record outside the data set.
//
// A plain value once loaded; read by many threads without a lock.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class CDeletionList {
 public:
  // Takes `records` (ascending, distinct, each in [0, recordCount)); false otherwise.
  bool Assign(std::vector<int32_t> records, int32_t recordCount);
  // Reads the file at `path` for a data set of `recordCount` records; false (the list then
  // empty) when it cannot be read or is damaged.
  bool Load(const std::string& path, int32_t recordCount);
  // Writes the list to `path` (exactly the bytes above); false when the write fails.
  bool Save(const std::string& path) const;

  bool empty() const { return m_records.empty(); }
  int32_t size() const { return static_cast<int32_t>(m_records.size()); }
  const std::vector<int32_t>& records() const { return m_records; }
  bool IsDeleted(int32_t record) const {
    return record >= 0 && static_cast<size_t>(record) / 64 < m_bits.size() &&
           (m_bits[static_cast<size_t>(record) / 64] >> (record % 64) & 1) != 0;
  }

 private:
  std::vector<int32_t> m_records;
  std::vector<uint64_t> m_bits;
};
