#include "testing/records/reference_search.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "core/records/field_info.h"
#include "core/text/pdat.h"
#include "core/text/text_clean.h"

namespace {

std::string Clean(std::string text) {
  const char* blanks = " \t\n\r";
  size_t first = text.find_first_not_of(blanks);
  if (first == std::string::npos) return "";
  text = text.substr(first, text.find_last_not_of(blanks) - first + 1);
  std::vector<char> buffer(text.begin(), text.end());
  buffer.push_back('\0');
  int length = 0;
  StripMarkup(buffer.data(), static_cast<int>(text.size()), buffer.data(), &length);
  buffer[static_cast<size_t>(length)] = '\0';
  NormalizeText(buffer.data());
  return buffer.data();
}

std::vector<int32_t> Words(const CPDAT& trie, const std::string& text) {
  std::vector<int32_t> ids;
  int count = trie.Segment(text.c_str(), &ids, nullptr);
  ids.resize(static_cast<size_t>(count));
  return ids;
}

}  // namespace

CReferenceSearch::CReferenceSearch(const CFieldInfo& schema, const CPDAT& trie)
    : m_schema(schema), m_trie(trie) {}

void CReferenceSearch::AddRow(const CMemoryRow& row) {
  const int fieldCount = m_schema.GetFieldCount();
  std::vector<std::vector<int32_t>> words(static_cast<size_t>(fieldCount));
  std::vector<int32_t> filters(static_cast<size_t>(fieldCount), 0);
  for (int field = 1; field < fieldCount; ++field) {
    const tFIELD_ENTRY& entry = m_schema.GetField(field);
    CDbValue value;
    std::string error;
    std::string text;
    if (row.GetColumn(entry.name.c_str(), &value, &error)) {
      if (entry.type == FIELD_TYPE_T && value.kind == CDbValue::kText) text = value.text;
      if (entry.type == FIELD_TYPE_I) {
        text = value.kind == CDbValue::kInt32 ? std::to_string(value.integer) : "0";
      }
    }
    text = Clean(text);
    if (entry.isIndexed) words[static_cast<size_t>(field)] = Words(m_trie, text);
    if (entry.isFilter) filters[static_cast<size_t>(field)] = std::atoi(text.c_str());
  }
  m_words.push_back(std::move(words));
  m_filters.push_back(std::move(filters));
}

bool CReferenceSearch::HoldsPhrase(int record, int field,
                                   const std::vector<int32_t>& phrase) const {
  const std::vector<int32_t>& words =
      m_words[static_cast<size_t>(record)][static_cast<size_t>(field)];
  return std::search(words.begin(), words.end(), phrase.begin(), phrase.end()) != words.end();
}

std::vector<int> CReferenceSearch::Search(
    const std::vector<tReferenceCondition>& conditions) const {
  const int recordCount = static_cast<int>(m_words.size());
  std::vector<bool> keep(static_cast<size_t>(recordCount), true);
  bool restricted = false;
  for (const tReferenceCondition& condition : conditions) {
    const tFIELD_ENTRY& entry = m_schema.GetField(condition.field);
    if (!entry.isIndexed) continue;
    std::vector<int> fields;
    if (condition.field != 0) {
      fields.push_back(condition.field);
    } else {
      for (int field = 1; field < m_schema.GetFieldCount(); ++field) {
        if (m_schema.GetField(field).isIndexed && m_schema.GetField(field).isWildcard) {
          fields.push_back(field);
        }
      }
    }
    std::vector<bool> any(static_cast<size_t>(recordCount), false);
    bool anyRestricts = false;
    for (const std::string& raw : condition.values) {
      std::vector<int32_t> phrase = Words(m_trie, Clean(raw));
      if (phrase.empty()) continue;
      restricted = true;
      anyRestricts = true;
      for (int record = 0; record < recordCount; ++record) {
        bool holds = false;
        for (int field : fields) holds = holds || HoldsPhrase(record, field, phrase);
        if (condition.anyValue) {
          if (holds) any[static_cast<size_t>(record)] = true;
        } else if (!holds) {
          keep[static_cast<size_t>(record)] = false;
        }
      }
    }
    if (condition.anyValue && anyRestricts) {
      for (int record = 0; record < recordCount; ++record) {
        if (!any[static_cast<size_t>(record)]) keep[static_cast<size_t>(record)] = false;
      }
    }
  }
  std::vector<int> result;
  if (!restricted) return result;
  for (int record = 0; record < recordCount; ++record) {
    bool holds = keep[static_cast<size_t>(record)];
    for (const tReferenceCondition& condition : conditions) {
      const tFIELD_ENTRY& entry = m_schema.GetField(condition.field);
      if (!holds || entry.isIndexed || !entry.isFilter) continue;
      bool any = false;
      for (const std::string& raw : condition.values) {
        any =
            any || std::atoi(Clean(raw).c_str()) ==
                       m_filters[static_cast<size_t>(record)][static_cast<size_t>(condition.field)];
      }
      holds = any;
    }
    if (holds) result.push_back(record);
  }
  return result;
}
