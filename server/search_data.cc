#include "server/search_data.h"

#include <cstdio>

#include "core/records/data_set_commit.h"
#include "core/text/encoding.h"
#include "formats/xml_text.h"

namespace {

// The store of a served data set is loaded, never built.
constexpr bool kReadOnly = true;

}  // namespace

CSearchData::CSearchData() = default;
CSearchData::~CSearchData() = default;

std::shared_ptr<CSearchData> CSearchData::LoadFiles(const std::string& standard,
                                                    const std::string& fieldInfo,
                                                    const std::string& pdat,
                                                    const std::string& wordList) {
  auto data = std::make_shared<CSearchData>();
  if (!data->m_schema.LoadBinary(fieldInfo.c_str())) return nullptr;
  if (!data->ComputeNames()) {
    std::printf("Load %s failed: a stored field's name cannot name an XML element\n",
                fieldInfo.c_str());
    return nullptr;
  }
  if (!data->m_trie.Load(pdat.c_str())) {
    std::printf("Load %s failed!\n", pdat.c_str());
    return nullptr;
  }
  if (!data->m_wordList.Load(wordList.c_str())) {
    std::printf("Load\t%s failed!\n", wordList.c_str());
    return nullptr;
  }
  data->m_store = std::make_unique<CDataLineIndex>(data->m_schema, &data->m_trie, kReadOnly);
  if (!data->m_store->Load(standard.c_str())) {
    std::printf("Load %s failed!\n", standard.c_str());
    return nullptr;
  }
  return data;
}

bool CSearchData::ComputeNames() {
  for (int position = 0; position < m_schema.GetListSize(LIST_STORED); ++position) {
    const std::string& name =
        m_schema.GetField(m_schema.GetListMember(position, LIST_STORED)).indexName;
    bool gbkOnly = false;
    if (!IsDocumentName(name, &gbkOnly)) return false;
    m_storedNames.push_back(name);
    m_storedNamesUtf8.push_back(GbkToUtf8(name));
  }
  for (int position = 0; position < m_schema.GetListSize(LIST_INDEXED); ++position) {
    const int field = m_schema.GetListMember(position, LIST_INDEXED);
    if (field <= 0) continue;  // the all-fields entry
    m_indexedNamesUtf8.push_back(GbkToUtf8(m_schema.GetField(field).indexName));
  }
  return true;
}

std::shared_ptr<const CSearchData> LoadSearchData(const std::string& standard,
                                                  const std::string& fieldInfo,
                                                  const std::string& pdat,
                                                  const std::string& wordList) {
  constexpr int kTries = 3;
  for (int attempt = 1; attempt <= kTries; ++attempt) {
    tDATA_SET_CHECK check;
    if (!CheckDataSet(standard, fieldInfo, pdat, wordList, &check)) {
      std::printf("%s\n", check.message.c_str());
      return nullptr;
    }
    std::shared_ptr<CSearchData> data = CSearchData::LoadFiles(standard, fieldInfo, pdat, wordList);
    if (!data) return nullptr;
    data->m_generation = check.generation;
    if (check.generation == 0 || ReadDataSetGeneration(standard) == check.generation) {
      return data;
    }
  }
  std::printf("Load %s failed!\n", standard.c_str());
  return nullptr;
}
