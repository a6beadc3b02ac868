#include "indexer/change_run.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "core/records/data_set_files.h"
#include "core/records/record_keys.h"
#include "core/records/record_list.h"
#include "core/scan/db/db_factory.h"
#include "core/scan/db_config.h"
#include "core/scan/scan_pipeline.h"
#include "core/util/crc32c.h"
#include "indexer/exit_status.h"

namespace {

// The record of `key` among the own files' keys (ascending), or -1.
int32_t FindKey(const CRecordKeys& keys, const std::string& key) {
  int32_t low = 0;
  int32_t high = keys.size();
  while (low < high) {
    const int32_t middle = low + (high - low) / 2;
    if (SortKeyLess(keys.At(middle), key)) {
      low = middle + 1;
    } else {
      high = middle;
    }
  }
  return low < keys.size() && keys.At(low) == key ? low : -1;
}

// The keys of `lines` ("key\n" each).
std::vector<std::string> SplitLines(const std::string& lines) {
  std::vector<std::string> keys;
  size_t start = 0;
  while (start < lines.size()) {
    const size_t end = lines.find('\n', start);
    keys.push_back(lines.substr(start, end - start));
    start = end + 1;
  }
  return keys;
}

}  // namespace

bool ReadChangeMark(const CDBConfig& config, const CScanOptions& scan, std::string* mark) {
  tCHANGE_QUERY query;
  query.changedColumn = config.GetChangedColumn();
  std::unique_ptr<CDbConnection> connection = CreateDbConnection(config.GetConnectString());
  if (!QueryChanges(config, connection.get(), scan, &query)) return false;
  *mark = query.mark;
  return true;
}

ChangeOutcome RunChanges(CDataSetWriter* writer, const tChangeRunInput& input, int* exitStatus,
                         std::string* why) {
  const CManifest& previous = *writer->previous();
  const CDBConfig& config = *input.config;
  const std::string base = input.resultBase;
  const int32_t own = previous.recordCount;
  const std::string changed = config.GetChangedColumn();
  if (!previous.hasKeys) {
    *why = "the committed data set does not record its sort keys";
    return ChangeOutcome::kBuildInFull;
  }
  if (!changed.empty() && previous.changeMark.empty()) {
    *why = "the committed data set records no change mark of " + changed;
    return ChangeOutcome::kBuildInFull;
  }
  // The run reads only these two files of the committed generation: each must be the one its
  // manifest records.
  CRecordKeys keys;
  CRecordList hidden;
  tFILE_IDENTITY identity;
  std::string reason;
  if (!IdentifyFile(KeysPath(base), &identity, &reason) || identity != previous.keys ||
      !keys.Load(KeysPath(base), own)) {
    *why = KeysPath(base) + " is not the one the manifest records, or does not fit the data set";
    return ChangeOutcome::kBuildInFull;
  }
  if (previous.hasDeleted &&
      (!IdentifyFile(DeletedPath(base), &identity, &reason) || identity != previous.deleted ||
       !hidden.Load(DeletedPath(base), own))) {
    *why = DeletedPath(base) + " is not the one the manifest records, or does not fit the data set";
    return ChangeOutcome::kBuildInFull;
  }

  // What the table says now: its rows up to the last key, the change column's greatest
  // value and the deleted rows.
  tCHANGE_QUERY query;
  query.lastKey = previous.lastKey;
  query.changedColumn = changed;
  query.deletedStatement = config.GetDeletedKeys();
  {
    std::unique_ptr<CDbConnection> connection = CreateDbConnection(config.GetConnectString());
    if (!QueryChanges(config, connection.get(), input.scan, &query)) {
      std::printf("Database scan failed, %s not saved!\n", input.resultBase);
      *exitStatus = exit_status::kDatabase;
      return ChangeOutcome::kFailed;
    }
  }
  if (!changed.empty() && !query.mark.empty() && SortKeyLess(query.mark, previous.changeMark)) {
    *why = "the greatest value of " + changed + " went back from " +
           SortKeyLiteral(previous.changeMark) + " to " + SortKeyLiteral(query.mark);
    return ChangeOutcome::kBuildInFull;
  }

  // The delta: every row changed since the own files were read, and every row after them.
  const int64_t memoryBytes = input.memoryBytes;
  auto delta = std::make_unique<CDataLineIndex>(*input.schema, input.trie, false);
  if (previous.contains) delta->EnableContains();
  delta->SetMemoryBound(memoryBytes, SpillPrefix(DeltaBase(base), writer->generation()),
                        input.options->faultHook);
  delta->SetFormatLimits(input.options->limits);
  delta->SetWorkThreads(input.scan.threads);
  CScanOptions scan = input.scan;
  const std::string column = config.GetSortField();
  const tDbParameter lastKey = SortKeyParameter(previous.lastKey);
  scan.scanCondition = column + " > ?";
  scan.scanParameters = {lastKey};
  if (!changed.empty()) {
    scan.scanCondition = changed + " > ? or " + scan.scanCondition;
    scan.scanParameters.insert(scan.scanParameters.begin(), SortKeyParameter(previous.changeMark));
  }
  scan.countCondition = scan.scanCondition;
  scan.countParameters = scan.scanParameters;
  tSORT_KEYS deltaKeys;
  std::string deltaLines;
  deltaKeys.column = column;
  deltaKeys.stopWhenNotIncreasing = true;
  deltaKeys.lines = &deltaLines;
  scan.sortKeys = &deltaKeys;
  int counted = -1;
  scan.count = &counted;
  std::printf("Change run: reading the rows changed since the last full build\n");
  bool scanned = false;
  {
    std::unique_ptr<CDbConnection> connection = CreateDbConnection(config.GetConnectString());
    scanned = ScanDatabase(delta.get(), config, connection.get(), scan);
  }
  *exitStatus = IncompleteBuildStatus(*delta, input.resultBase);
  if (*exitStatus != exit_status::kSuccess) return ChangeOutcome::kFailed;
  if (!deltaKeys.increasing) {
    *why = deltaKeys.reason;
    return ChangeOutcome::kBuildInFull;
  }
  if (!scanned) {
    std::printf("Database scan failed, %s not saved!\n", input.resultBase);
    *exitStatus = exit_status::kDatabase;
    return ChangeOutcome::kFailed;
  }

  // Each delta record answers as the own record of its key, or as the next one after them.
  const std::vector<std::string> changedKeys = SplitLines(deltaLines);
  std::vector<int32_t> globals;
  std::vector<int32_t> hide = hidden.records();
  int32_t edited = 0;
  int32_t next = own;
  for (const std::string& key : changedKeys) {
    if (SortKeyLess(previous.lastKey, key)) {
      globals.push_back(next++);
      continue;
    }
    const int32_t record = FindKey(keys, key);
    if (record < 0) {
      *why = "the changed row " + SortKeyLiteral(key) +
             " is not in the data set (inserted before its last key, or its key changed)";
      return ChangeOutcome::kBuildInFull;
    }
    globals.push_back(record);
    hide.push_back(record);
    ++edited;
  }
  for (const std::string& key : query.deletedKeys) {
    const int32_t record = FindKey(keys, key);
    if (record >= 0) hide.push_back(record);
  }
  std::sort(hide.begin(), hide.end());
  hide.erase(std::unique(hide.begin(), hide.end()), hide.end());
  // A deleted row's key can come back: a row inserted anew with it answers from the delta.
  int64_t gone = static_cast<int64_t>(hide.size()) - edited;
  if (query.rowsUpToKey != own - gone) {
    *why = "the table holds " + std::to_string(query.rowsUpToKey) +
           " rows up to the last indexed key, the data set " + std::to_string(own - gone) +
           " records that answer (rows were changed or deleted without being reported)";
    return ChangeOutcome::kBuildInFull;
  }
  const int64_t share = static_cast<int64_t>(hide.size()) + (next - own);
  if (share * 100 > int64_t{config.GetMergeShare()} * std::max(own, 1)) {
    *why = "the deleted, changed and added rows (" + std::to_string(share) + " of " +
           std::to_string(own) + " records) pass MergeShare " +
           std::to_string(config.GetMergeShare()) + "%";
    return ChangeOutcome::kBuildInFull;
  }
  std::printf("Change run: %d records deleted, %d changed, %d added; the data files are kept\n",
              static_cast<int>(gone), edited, next - own);

  // The generation: the own files as they are, the deletion list and the delta.
  if (input.options->faultHook) input.options->faultHook("save");
  writer->ShareDataFilesOfPrevious();
  writer->SetLastKey(previous.lastKey);
  writer->SetChangeMark(previous.changeMark);
  CRecordList list;
  const bool listed = list.Assign(std::move(hide), own);
  bool saved = listed && (list.empty() || list.Save(DeletedPath(base) + writer->PendingSuffix()));
  if (saved && !list.empty()) writer->SetDeletedSaved();
  if (saved && !globals.empty()) {
    CRecordList numbers;
    saved = numbers.Assign(globals, INT32_MAX) &&
            delta->Save(DeltaBase(base).c_str(), writer->PendingSuffix()) &&
            numbers.Save(DeltaRecordsPath(base) + writer->PendingSuffix());
    if (saved) writer->SetDeltaSaved(static_cast<int32_t>(globals.size()));
  }
  std::string error;
  if (!saved) {
    std::printf("Save %s failed!\n", input.resultBase);
    *exitStatus = exit_status::kOutput;
    return ChangeOutcome::kFailed;
  }
  if (!writer->Commit(static_cast<int>(previous.indexes.size()), own, &error)) {
    std::printf("Error Write %s\n", error.c_str());
    std::printf("Save %s failed!\n", input.resultBase);
    *exitStatus = exit_status::kOutput;
    return ChangeOutcome::kFailed;
  }
  *exitStatus = exit_status::kSuccess;
  return ChangeOutcome::kCommitted;
}
