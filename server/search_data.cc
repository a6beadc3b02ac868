#include "server/search_data.h"

#include <cstdio>

#include "core/records/data_set_check.h"
#include "core/records/data_set_load.h"
#include "core/text/encoding.h"
#include "formats/xml_text.h"

CSearchData::CSearchData() = default;
CSearchData::~CSearchData() = default;

std::shared_ptr<CSearchData> CSearchData::LoadFiles(const tDataSetPaths& paths,
                                                    const tDATA_SET_CHECK& check) {
  auto data = std::make_shared<CSearchData>();
  if (!data->m_schema.LoadBinary(paths.schema.c_str())) return nullptr;
  if (!data->ComputeNames()) {
    std::printf("Load %s failed: a stored field's name cannot name an XML element\n",
                paths.schema.c_str());
    return nullptr;
  }
  if (!data->m_trie.Load(paths.trie.c_str())) {
    std::printf("Load %s failed!\n", paths.trie.c_str());
    return nullptr;
  }
  if (!data->m_wordList.Load(paths.wordList.c_str())) {
    std::printf("Load\t%s failed!\n", paths.wordList.c_str());
    return nullptr;
  }
  data->m_store = LoadDataSetStore(data->m_schema, &data->m_trie, paths.base, check);
  if (!data->m_store) {
    std::printf("Load %s failed!\n", paths.base.c_str());
    return nullptr;
  }
  return data;
}

bool ComputeFieldNames(const CFieldInfo& schema, std::vector<std::string>* storedNames,
                       std::vector<std::string>* storedNamesUtf8,
                       std::vector<std::string>* indexedNamesUtf8) {
  for (int position = 0; position < schema.GetListSize(LIST_STORED); ++position) {
    const std::string& name =
        schema.GetField(schema.GetListMember(position, LIST_STORED)).indexName;
    bool gbkOnly = false;
    if (!IsDocumentName(name, &gbkOnly)) return false;
    storedNames->push_back(name);
    storedNamesUtf8->push_back(GbkToUtf8(name));
  }
  for (int position = 0; position < schema.GetListSize(LIST_INDEXED); ++position) {
    const int field = schema.GetListMember(position, LIST_INDEXED);
    if (field <= 0) continue;  // the all-fields entry
    indexedNamesUtf8->push_back(GbkToUtf8(schema.GetField(field).indexName));
  }
  return true;
}

bool CSearchData::ComputeNames() {
  return ComputeFieldNames(m_schema, &m_storedNames, &m_storedNamesUtf8, &m_indexedNamesUtf8);
}

std::shared_ptr<const CSearchData> LoadSearchData(const tDataSetPaths& paths) {
  constexpr int kTries = 3;
  for (int attempt = 1; attempt <= kTries; ++attempt) {
    tDATA_SET_CHECK check;
    if (!CheckDataSet(paths, &check)) {
      std::printf("%s\n", check.message.c_str());
      return nullptr;
    }
    std::shared_ptr<CSearchData> data = CSearchData::LoadFiles(paths, check);
    if (!data) return nullptr;
    data->m_generation = check.generation;
    if (check.generation == 0 || ReadDataSetGeneration(paths.base) == check.generation) {
      return data;
    }
  }
  std::printf("Load %s failed!\n", paths.base.c_str());
  return nullptr;
}
