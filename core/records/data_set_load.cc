#include "core/records/data_set_load.h"

#include <utility>
#include <vector>

#include "core/records/data_set_files.h"
#include "core/records/record_list.h"
#include "core/util/daily_log.h"

std::unique_ptr<CDataLineIndex> LoadDataSetStore(const CFieldInfo& schema, const CPDAT* trie,
                                                 const std::string& base,
                                                 const tDATA_SET_CHECK& check) {
  constexpr bool kReadOnly = true;
  auto store = std::make_unique<CDataLineIndex>(schema, trie, kReadOnly);
  if (check.contains) store->EnableContains();
  if (check.deleted) store->EnableDeletions();
  if (!store->Load(base.c_str())) return nullptr;
  if (!check.delta) return store;
  auto delta = std::make_unique<CDataLineIndex>(schema, trie, kReadOnly);
  if (check.contains) delta->EnableContains();
  if (!delta->Load(DeltaBase(base).c_str())) return nullptr;
  CRecordList globals;
  if (!globals.Load(DeltaRecordsPath(base), INT32_MAX)) {
    WriteLog("Fail to read " + DeltaRecordsPath(base));
    return nullptr;
  }
  std::string error;
  std::vector<int32_t> numbers = globals.records();
  if (!store->AttachDelta(std::move(delta), std::move(numbers), &error)) {
    WriteLog("Fail to read " + DeltaRecordsPath(base) + ": " + error);
    return nullptr;
  }
  return store;
}
