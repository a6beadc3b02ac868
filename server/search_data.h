// CSearchData: the data set one server serves: the field schema, the dictionary trie, the
// word list and the data-line store with its per-field indexes, loaded together and read-only
// afterwards. Connection threads borrow it through a shared pointer to const, so the
// compiler holds the query path to reading, and the set is freed only after the last
// connection that uses it has ended. Facts about the schema that every answer needs (the
// stored fields' names in GBK and UTF-8, the indexed fields' names in UTF-8) are computed once
// at load.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/records/data_line_index.h"
#include "core/records/data_set_check.h"
#include "core/records/field_info.h"
#include "core/text/pdat.h"
#include "core/text/word_list.h"

class CSearchData {
 public:
  CSearchData();
  virtual ~CSearchData();
  CSearchData(const CSearchData&) = delete;
  CSearchData& operator=(const CSearchData&) = delete;

  const CFieldInfo& schema() const { return m_schema; }
  const CPDAT& trie() const { return m_trie; }
  const CWordList& wordList() const { return m_wordList; }
  const CDataLineIndex& store() const { return *m_store; }
  // The generation its manifest records; 0 for a data set without a manifest.
  int64_t generation() const { return m_generation; }
  // Index names of the stored fields in stored-list order: GBK, each able to name an XML
  // element (a schema where one cannot fails the load), and their UTF-8 form.
  const std::vector<std::string>& storedNames() const { return m_storedNames; }
  const std::vector<std::string>& storedNamesUtf8() const { return m_storedNamesUtf8; }
  // UTF-8 index names of the indexed fields in indexed-list order, without the all-fields
  // entry.
  const std::vector<std::string>& indexedNamesUtf8() const { return m_indexedNamesUtf8; }

 private:
  friend std::shared_ptr<const CSearchData> LoadSearchData(const tDataSetPaths&);
  // Loads the four parts without the manifest check; null (line printed) on failure.
  // The contains indexes and field lengths, and the deletion list, are loaded when `check`
  // found them.
  static std::shared_ptr<CSearchData> LoadFiles(const tDataSetPaths& paths,
                                                const tDATA_SET_CHECK& check);
  CFieldInfo m_schema;
  CPDAT m_trie;
  CWordList
      m_wordList;  // read by no query; the configuration names it and a bad one stops the load
  // Fills the names above from the schema; false when a stored name cannot name an XML
  // element.
  bool ComputeNames();

  std::unique_ptr<CDataLineIndex> m_store;
  int64_t m_generation = 0;
  std::vector<std::string> m_storedNames;
  std::vector<std::string> m_storedNamesUtf8;
  std::vector<std::string> m_indexedNamesUtf8;
};

// The names CSearchData keeps for a schema: the stored fields' index names (GBK, each able to
// name an XML element) and their UTF-8 form, and the indexed fields' UTF-8 index names without
// the all-fields entry. False when a stored name cannot name an XML element.
bool ComputeFieldNames(const CFieldInfo& schema, std::vector<std::string>* storedNames,
                       std::vector<std::string>* storedNamesUtf8,
                       std::vector<std::string>* indexedNamesUtf8);

// Checks the files against the data set's manifest (when it has one; a mismatch prints the
// check's one line naming the file), then loads the schema, the trie, the word list and the
// data set of `paths`, in this order, stopping at the first failure with its line on standard
// output: "Error Read <schema>" (the schema's own), "Load <schema> failed: ..." (a stored
// field's index name cannot name an element of the XML result document, so no client could
// write a page), "Load <trie> failed!", "Load\t<word list> failed!" or "Load <base> failed!".
// When a new generation is committed while the files are read, the load starts over (three
// tries in all), so the set returned is one generation. Null on failure.
std::shared_ptr<const CSearchData> LoadSearchData(const tDataSetPaths& paths);
