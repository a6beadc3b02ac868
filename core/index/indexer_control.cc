#include "core/index/indexer_control.h"

#include <cstring>

CIndexerControl::CIndexerControl(const CPDAT* trie, bool readOnly, bool append, int blockSize,
                                 const CWordList* wordList)
    : BlockSize(blockSize),
      BlockCount(0),
      BlockBaseName(),
      m_trie(trie),
      m_readOnly(readOnly),
      m_append(append),
      m_wordList(wordList),
      m_index(new CIndexer(trie, readOnly, append)) {
  std::strcpy(BlockBaseName, "block.idx");
}

CIndexerControl::~CIndexerControl() = default;

bool CIndexerControl::AddText(const char* text, int record, int fieldTag) {
  return m_index->AddText(text, record, fieldTag);
}

bool CIndexerControl::AddTerms(const int32_t* ids, int count, int record, int fieldTag) {
  return m_index->AddTerms(ids, count, record, fieldTag);
}

bool CIndexerControl::Load(const char* path) { return m_index->Load(path); }

bool CIndexerControl::Save(const char* path) { return m_index->Save(path); }

int CIndexerControl::Lookup(const char* text, CResultList* result) const {
  return m_index->Lookup(text, result);
}
