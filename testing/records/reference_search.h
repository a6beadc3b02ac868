// CReferenceSearch: a brute-force model of query evaluation for the query tests. It keeps,
// for every record, the word numbers of each indexed field's text and each filter field's
// integer, computed from the rows the way the data-line store prepares them (trim, markup
// removal, normalisation, Segment), and answers a query by scanning every record:
//  - an indexed condition's value with at least one dictionary word keeps the records whose
//    field holds its words consecutively (for "*": consecutively within one field marked
//    for the all-fields index); a value without a dictionary word restricts nothing;
//  - an indexed condition marked anyValue (the OR word) keeps the records that hold any one
//    of its values with a dictionary word (none of them having one, it restricts nothing);
//  - a filter condition keeps the records whose value is one of its values (atoi rules);
//  - a query in which no value restricts anything finds no record.
// Fields of fewer than 256 words only: the all-fields index cannot tell longer fields apart.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "testing/records/memory_rows.h"

class CFieldInfo;
class CPDAT;

struct tReferenceCondition {
  int field = 0;                    // field number, 0 = "*"
  std::vector<std::string> values;  // raw value texts (normalised by the model)
  bool anyValue = false;            // any one value holds (else all of them)
};

class CReferenceSearch {
 public:
  // Borrows the schema and the trie; both must outlive the model.
  CReferenceSearch(const CFieldInfo& schema, const CPDAT& trie);
  virtual ~CReferenceSearch() = default;

  // Adds the next record (types T and I only; other columns count as empty).
  void AddRow(const CMemoryRow& row);

  // The matching record numbers in ascending order.
  std::vector<int> Search(const std::vector<tReferenceCondition>& conditions) const;

 private:
  bool HoldsPhrase(int record, int field, const std::vector<int32_t>& phrase) const;

  const CFieldInfo& m_schema;
  const CPDAT& m_trie;
  std::vector<std::vector<std::vector<int32_t>>> m_words;  // [record][field] word numbers
  std::vector<std::vector<int32_t>> m_filters;             // [record][field] filter value
};
