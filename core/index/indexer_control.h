// CIndexerControl: the data-line store's handle on one inverted index (one per indexed
// position; position 0 is the all-fields index). It owns the current CIndexer and forwards
// AddText, AddTerms, Save, Load and Lookup to it, reporting exactly what the index reports and
// adding no message of its own.
//
// The block fields (BlockSize, BlockCount, BlockBaseName) belong to a spill mechanism that
// nothing sets going: BlockSize is kept but never compared with anything, BlockCount stays 0
// and no block file is ever written, so every index of a scan is built in one CIndexer and
// saved in one piece.
//
// Ownership: the trie and the word list are borrowed and must outlive the control.
// Thread safety: as CIndexer; Lookup on a read-only control may run on many threads at once.
#pragma once

#include <cstdint>
#include <memory>

#include "core/index/indexer.h"

class CPDAT;
class CWordList;

class CIndexerControl {
 public:
  // `wordList` may be null. The data-line store passes (trie, false, true, 20000, list)
  // when building and (trie, true, true, 20000, list) on the search side.
  CIndexerControl(const CPDAT* trie, bool readOnly, bool append, int blockSize,
                  const CWordList* wordList);
  virtual ~CIndexerControl();
  CIndexerControl(const CIndexerControl&) = delete;
  CIndexerControl& operator=(const CIndexerControl&) = delete;

  bool AddText(const char* text, int record, int fieldTag);
  // The current index's AddTerms: the postings of a text segmented by the caller.
  bool AddTerms(const int32_t* ids, int count, int record, int fieldTag);
  bool Load(const char* path);
  bool Save(const char* path);
  int Lookup(const char* text, CResultList* result) const;

  // The current index, for tools, tests and benchmarks.
  const CIndexer& GetIndexer() const { return *m_index; }

  int32_t BlockSize;
  int32_t BlockCount;
  char BlockBaseName[256];

 private:
  const CPDAT* m_trie;
  bool m_readOnly;
  bool m_append;
  const CWordList* m_wordList;
  std::unique_ptr<CIndexer> m_index;
};
