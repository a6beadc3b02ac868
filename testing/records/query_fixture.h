// CQueryFixture: a small loaded data set for the query-engine and mode-5 tests. It builds a
// trie from a word list, imports a schema text, adds in-memory rows to a building store,
// saves the data set under a base name in a scratch directory (also the working directory)
// and loads it back into a read-only store, keeping a brute-force reference model beside it.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "core/records/data_line_index.h"
#include "core/records/field_info.h"
#include "core/text/pdat.h"
#include "testing/records/memory_rows.h"
#include "testing/records/reference_search.h"
#include "testing/records/store_fixture.h"

class CQueryFixture {
 public:
  // `schemaLines`: the field lines of the schema text (a header is added).
  CQueryFixture(const std::vector<std::string>& words, const std::string& schemaLines);
  virtual ~CQueryFixture();
  CQueryFixture(const CQueryFixture&) = delete;
  CQueryFixture& operator=(const CQueryFixture&) = delete;

  bool ok() const { return m_ok; }
  // Builds and loads the contains indexes too; call before the first row.
  void EnableContains();
  // Adds rows to the building store and to the reference.
  bool AddRow(const CMemoryRow& row);
  // Saves the data set as `base` (inside the scratch directory) and loads it read-only; also
  // writes the binary schema to base + ".schema" and the trie to base + ".trie".
  bool SaveAndLoad(const std::string& base);

  const CFieldInfo& schema() const { return m_schema; }
  const CPDAT& trie() const { return m_trie; }
  // REQUIRES: SaveAndLoad succeeded.
  const CDataLineIndex& store() const { return *m_loaded; }
  const CReferenceSearch& reference() const { return *m_reference; }
  const CScratchDirectory& directory() const { return m_directory; }

 private:
  CScratchDirectory m_directory;
  CFieldInfo m_schema;
  CPDAT m_trie;
  std::unique_ptr<CDataLineIndex> m_building;
  std::unique_ptr<CDataLineIndex> m_loaded;
  std::unique_ptr<CReferenceSearch> m_reference;
  bool m_ok = false;
  bool m_contains = false;
};
