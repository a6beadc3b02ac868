// CIndexerControl: the data-line store's handle on one inverted index (one per indexed
// position; position 0 is the all-fields index). It owns the current CIndexer and forwards
// AddText, AddTerms, Save, Load and Lookup to it, reporting exactly what the index reports and
// adding no message of its own. Every index of a scan is built in that one CIndexer and saved
// in one piece.
//
// Ownership: the trie is borrowed and must outlive the control.
// Thread safety: as CIndexer; Lookup on a read-only control may run on many threads at once.
#pragma once

#include <cstdint>
#include <memory>

#include "core/index/indexer.h"

class CPDAT;

class CIndexerControl {
 public:
  // Creates the current index as CIndexer(trie, readOnly).
  CIndexerControl(const CPDAT* trie, bool readOnly);
  // Creates the current index as CIndexer(idCount, readOnly): an index of pre-cut terms.
  CIndexerControl(int32_t idCount, bool readOnly);
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
  // The same for the builder's settings (posting limit, runs of a bounded build).
  CIndexer& GetIndexer() { return *m_index; }

 private:
  std::unique_ptr<CIndexer> m_index;
};
