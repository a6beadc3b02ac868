// CRecordList: an ascending list of record numbers kept in a file of a data set. Two files
// have this form:
//  - the deletion list <base>.deleted: the records of the own files that no longer answer
//    from them, because their rows were deleted from the table (or answer from the delta
//    with new content) after the files were built; every answer leaves them out, as a full
//    rebuild of the table would;
//  - the delta's record list <base>.delta.records: for each record of the delta, the record
//    number it answers as.
//
// File: D, then D record numbers in strictly ascending order (little-endian int32, no
// header). Load refuses a file whose count does not fit its size, whose numbers are not
// strictly ascending or fall outside [0, limit).
//
// A plain value once loaded; read by many threads without a lock.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class CRecordList {
 public:
  // Takes `records` (ascending, distinct, each in [0, limit)); false otherwise.
  bool Assign(std::vector<int32_t> records, int32_t limit);
  // Reads the file at `path`, whose numbers must lie in [0, limit); false (the list then
  // empty) when it cannot be read or is damaged.
  bool Load(const std::string& path, int32_t limit);
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
