// The sort key of every record of a data set, so that a change run can find the record of a
// row that the table reports deleted or changed. Keys are in the encoding of
// CManifest::lastKey ("i <decimal>" or "t <hex bytes>"), strictly ascending in record order.
//
// File <base>.keys: one key per record, each followed by "\n", in record order (ASCII). Load
// refuses a file whose line count is not the data set's record count or whose lines are not
// keys.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class CRecordKeys {
 public:
  // Adds `key` (no line end) as the next record's.
  void Append(const std::string& key);
  // Adds the keys of `lines` ("key\n" each), as tSORT_KEYS collects them; false when a line
  // is not a key.
  bool AppendLines(const std::string& lines);
  bool Load(const std::string& path, int32_t recordCount);
  bool Save(const std::string& path) const;

  int32_t size() const { return static_cast<int32_t>(m_starts.size()); }
  std::string At(int32_t record) const;

 private:
  std::string m_text;              // the keys, each followed by "\n"
  std::vector<uint32_t> m_starts;  // where each record's key starts in m_text
};
