#include "core/scan/db/named_record_set.h"

#include <cstdio>

#include "core/text/encoding.h"
#include "core/util/daily_log.h"

namespace {

void Report(const std::string& line) {
  std::printf("%s\n", line.c_str());
  WriteLog(line);
}

}  // namespace

CNamedRecordSet::~CNamedRecordSet() {
  if (m_invalidCount > kListedInvalid) {
    Report(std::to_string(m_invalidCount) + " values in all were not valid " +
           SourceEncodingName(m_encoding) + "; their bad bytes were stored as ?");
  }
}

void CNamedRecordSet::AddColumn(const std::string& gbkName) {
  m_names.Add(gbkName);
  m_columnNames.push_back(gbkName);
  m_reported.push_back(0);
}

void CNamedRecordSet::DecodeBytes(int column, const char* bytes, size_t size,
                                  std::string* gbk) const {
  bool valid = m_encoding == SourceEncoding::kGbk
                   ? CopyGbk(bytes, size, gbk)
                   : Utf8ToGbk(bytes, size, gbk, ToGbk::kQuestionMark);
  if (valid || column < 0 || static_cast<size_t>(column) >= m_reported.size()) return;
  int64_t& reported = m_reported[static_cast<size_t>(column)];
  if (reported == m_rowNumber) return;  // the same value read again
  reported = m_rowNumber;
  ++m_invalidCount;
  if (m_invalidCount <= kListedInvalid) {
    Report("Row " + std::to_string(m_rowNumber) + " column " +
           m_columnNames[static_cast<size_t>(column)] + ": not valid " +
           SourceEncodingName(m_encoding) + "; its bad bytes were stored as ?" +
           (m_invalidCount == kListedInvalid ? " (further such values are counted only)" : ""));
  }
}
