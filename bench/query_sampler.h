// The query sampler shared by query_bench and peer_bench: with the same data set and seed
// both benchmarks answer exactly the same queries, drawn from the records:
//  - phrase queries of 1 to 3 consecutive dictionary words of a record's indexed and stored
//    field, "[FIELD] <field> [AND] <phrase>";
//  - two-condition queries: a phrase on one field plus a phrase of the same record on the
//    all-fields entry "*", or plus a filter condition with the record's filter value.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "core/records/data_line_index.h"
#include "core/records/field_info.h"
#include "core/text/pdat.h"
#include "core/text/text_clean.h"

namespace bench {

// One sampled phrase query: the text the engine parses, and the field and word numbers that
// the peers of peer_bench are given.
struct tPhraseQuery {
  std::string text;
  int field = 0;
  std::vector<int32_t> words;
};

struct tSampleField {
  int field;
  int storedColumn;
};

class CSampler {
 public:
  CSampler(const CFieldInfo& schema, const CPDAT& trie, const CDataLineIndex& store, int seed)
      : m_schema(schema), m_trie(trie), m_store(store), m_random(static_cast<unsigned>(seed)) {
    for (int field = 1; field < schema.GetFieldCount(); ++field) {
      const tFIELD_ENTRY& entry = schema.GetField(field);
      if (entry.isIndexed && entry.isStored) {
        m_fields.push_back({field, schema.GetListPosition(field, LIST_STORED)});
      }
      if (entry.isFilter && !entry.isIndexed) m_filterFields.push_back(field);
    }
  }

  bool usable() const { return !m_fields.empty() && m_store.GetRecordCount() > 0; }
  const std::vector<tSampleField>& fields() const { return m_fields; }

  // A phrase of `words` consecutive dictionary words of the record's field, or "".
  std::string Phrase(int record, const tSampleField& field, int words) {
    int length = 0;
    const char* cell = m_store.GetCell(record, field.storedColumn, &length);
    std::string text(cell != nullptr ? cell : "", static_cast<size_t>(std::max(length, 0)));
    NormalizeText(&text[0]);
    text.resize(std::strlen(text.c_str()));
    m_trie.Segment(text.c_str(), &m_ids, &m_tokens);
    std::vector<std::string> tokens;
    for (const char* token = m_tokens.data(); *token != '\0';) {
      const char* tab = std::strchr(token, '\t');
      std::string piece(token, static_cast<size_t>(tab - token));
      tokens.push_back(m_trie.LookupString(piece.c_str()) >= 0 ? piece : "");
      token = tab + 1;
    }
    if (static_cast<int>(tokens.size()) < words) return "";
    size_t start = m_random() % (tokens.size() - static_cast<size_t>(words) + 1);
    std::string phrase;
    for (size_t i = start; i < start + static_cast<size_t>(words); ++i) {
      if (tokens[i].empty()) return "";
      phrase += tokens[i];
    }
    if (m_trie.Segment(phrase.c_str(), &m_ids, nullptr) != words) return "";
    return phrase;
  }

  tPhraseQuery PhraseQuery() {
    for (;;) {
      int record = static_cast<int>(m_random() % static_cast<unsigned>(m_store.GetRecordCount()));
      const tSampleField& field = m_fields[m_random() % m_fields.size()];
      std::string phrase = Phrase(record, field, 1 + static_cast<int>(m_random() % 3));
      if (phrase.empty()) continue;
      tPhraseQuery query;
      query.text = Selector(field.field, phrase);
      query.field = field.field;
      // The words the engine looks up: the value normalised as Execute normalises it.
      std::string value = phrase;
      NormalizeText(&value[0]);
      value.resize(std::strlen(value.c_str()));
      int count = m_trie.Segment(value.c_str(), &m_ids, nullptr);
      query.words.assign(m_ids.begin(), m_ids.begin() + count);
      return query;
    }
  }

  std::string PairQuery() {
    for (;;) {
      int record = static_cast<int>(m_random() % static_cast<unsigned>(m_store.GetRecordCount()));
      const tSampleField& field = m_fields[m_random() % m_fields.size()];
      std::string phrase = Phrase(record, field, 1 + static_cast<int>(m_random() % 2));
      if (phrase.empty()) continue;
      if (!m_filterFields.empty() && m_random() % 2 == 0) {
        int filter = m_filterFields[m_random() % m_filterFields.size()];
        int32_t value =
            m_store.GetFilterValue(record, m_schema.GetListPosition(filter, LIST_FILTER));
        return Selector(field.field, phrase) + " " + Selector(filter, std::to_string(value));
      }
      const tSampleField& other = m_fields[m_random() % m_fields.size()];
      std::string second = Phrase(record, other, 1 + static_cast<int>(m_random() % 2));
      if (second.empty()) continue;
      return Selector(field.field, phrase) + " " + Selector(0, second);
    }
  }

 private:
  std::string Selector(int field, const std::string& value) const {
    return "[FIELD] " + m_schema.GetField(field).indexName + " [AND] " + value;
  }

  const CFieldInfo& m_schema;
  const CPDAT& m_trie;
  const CDataLineIndex& m_store;
  std::mt19937 m_random;
  std::vector<tSampleField> m_fields;
  std::vector<int> m_filterFields;
  std::vector<int32_t> m_ids;
  std::vector<char> m_tokens;
};

}  // namespace bench
