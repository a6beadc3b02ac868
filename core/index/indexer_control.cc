#include "core/index/indexer_control.h"

CIndexerControl::CIndexerControl(const CPDAT* trie, bool readOnly)
    : m_index(new CIndexer(trie, readOnly)) {}

CIndexerControl::CIndexerControl(int32_t idCount, bool readOnly)
    : m_index(new CIndexer(idCount, readOnly)) {}

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
