// Mode 4: imports the schema, loads the trie and the word list, scans the configured table
// into a new data-line store (or, appending, continues the committed one with the rows after
// its last sort key) and saves the data set under the result base name as a new generation.
// Every failure prints its line and ends the mode with the exit status of exit_status.h; a
// scan that fails saves nothing, so the committed generation stays as it was.
#include "indexer/index_mode.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include "core/records/data_line_index.h"
#include "core/records/data_set_files.h"
#include "core/records/data_set_writer.h"
#include "core/records/field_info.h"
#include "core/records/record_keys.h"
#include "core/records/record_list.h"
#include "core/scan/db/db_factory.h"
#include "core/scan/db_config.h"
#include "core/scan/scan_database.h"
#include "core/text/pdat.h"
#include "core/text/word_list.h"
#include "indexer/change_run.h"
#include "indexer/exit_status.h"
#include "indexer/modes.h"

namespace {

void PrintParameters(const char* dbConfig, const char* resultBase, const char* schemaText,
                     const char* trieFile, const char* wordListFile) {
  std::printf("参数如下：\n");
  std::printf("数据库配置文件名：%s\n", dbConfig);
  std::printf("索引分析结果文件名：%s\n", resultBase);
  std::printf("字段信息文件名：%s\n", schemaText);
  std::printf("词典文件名：%s\n", trieFile);
  std::printf("词表文件名：%s\n", wordListFile);
}

// A sort field that names one column (letters, digits, underscores): only then can the run
// follow its values and an appending run ask for the rows after the last one.
bool IsPlainColumn(const char* sortField) {
  if (*sortField == '\0' || (*sortField >= '0' && *sortField <= '9')) return false;
  for (const char* c = sortField; *c != '\0'; ++c) {
    if (!((*c >= 'a' && *c <= 'z') || (*c >= 'A' && *c <= 'Z') || (*c >= '0' && *c <= '9') ||
          *c == '_')) {
      return false;
    }
  }
  return true;
}

// An appending run that takes deletions and edits too (change_run.h).
bool IsChangeRun(const CDBConfig& config) {
  return config.GetAppend() &&
         (!config.GetDeletedKeys().empty() || !config.GetChangedColumn().empty());
}

// Whether an appending run can continue the committed data set; otherwise why not.
bool CanAppend(const CDataSetWriter& writer, const CDBConfig& config, const char* resultBase,
               const char* schemaText, const char* trieFile, const char* wordListFile,
               std::string* why) {
  const CManifest* previous = writer.previous();
  if (previous == nullptr) {
    *why = "there is no committed data set";
    return false;
  }
  if (!IsPlainColumn(config.GetSortField())) {
    *why = std::string("the sort field \"") + config.GetSortField() + "\" is not one column";
    return false;
  }
  if (previous->lastKey.empty()) {
    *why = "the committed data set does not record its last sort key";
    return false;
  }
  std::string from;
  if (!RestrictTable(config.GetTable(), "x", &from, why)) return false;
  if (!writer.SameInputsAsPrevious(why)) return false;
  if (previous->deltaRecords >= 0 && !IsChangeRun(config)) {
    *why =
        "the committed data set has a delta, which only a run with DeletedKeys or "
        "ChangedColumn continues";
    return false;
  }
  if (previous->contains != config.GetContainsIndex()) {
    *why = config.GetContainsIndex() ? "the committed data set has no contains indexes"
                                     : "the committed data set has contains indexes";
    return false;
  }
  // An append reads the committed files into the next generation: they are checked against
  // the manifest first. A change run keeps them as they are and reads only the sort keys and
  // the deletion list, which it checks itself (change_run.h).
  tDATA_SET_CHECK check;
  if (!IsChangeRun(config) &&
      !CheckDataSet({resultBase, std::string(schemaText) + ".dat", trieFile, wordListFile},
                    &check)) {
    *why = check.message;
    return false;
  }
  return true;
}

// The deletion list and sort keys an appending run continues from.
struct tAppendState {
  CRecordList deleted;  // the committed deletion list
  CRecordKeys keys;     // the committed set's sort keys (empty when it has none)
};

// Reads the committed deletion list and sort keys; false with the reason in *why when one
// does not fit the committed set.
bool PrepareAppend(const CManifest& previous, const char* resultBase, tAppendState* state,
                   std::string* why) {
  if (previous.hasDeleted && !state->deleted.Load(DeletedPath(resultBase), previous.recordCount)) {
    *why = DeletedPath(resultBase) + " does not fit the data set";
    return false;
  }
  if (previous.hasKeys && !state->keys.Load(KeysPath(resultBase), previous.recordCount)) {
    *why = KeysPath(resultBase) + " does not fit the data set";
    return false;
  }
  return true;
}

// Saves the deletion list (when it has records) and the sort keys (when known) under their
// pending names and tells the writer. False when a write fails.
bool SaveChangeFiles(const char* resultBase, const CRecordList& deleted, const CRecordKeys* keys,
                     CDataSetWriter* writer) {
  if (!deleted.empty()) {
    if (!deleted.Save(DeletedPath(resultBase) + writer->PendingSuffix())) return false;
    writer->SetDeletedSaved();
  }
  if (keys != nullptr) {
    if (!keys->Save(KeysPath(resultBase) + writer->PendingSuffix())) return false;
    writer->SetKeysSaved();
  }
  return true;
}

}  // namespace

int IncompleteBuildStatus(const CDataLineIndex& store, const char* resultBase) {
  if (!store.GetLimitMessage().empty()) {
    std::printf("%s\n", store.GetLimitMessage().c_str());
    return exit_status::kFormatLimit;
  }
  if (store.HasSpillFailed()) {
    std::printf("Error Write %s: the records of the build could not be written to disk\n",
                resultBase);
    std::printf("Save %s failed!\n", resultBase);
    return exit_status::kOutput;
  }
  return exit_status::kSuccess;
}

int RunIndexModeWith(const char* dbConfig, const char* resultBase, const char* schemaText,
                     const char* trieFile, const char* wordListFile,
                     const tIndexModeOptions& options) {
  PrintParameters(dbConfig, resultBase, schemaText, trieFile, wordListFile);

  // Declared in the order of creation, so that everything a store or index borrows (schema,
  // trie) is destroyed after it.
  CFieldInfo schema;
  if (!schema.ImportText(schemaText)) {
    std::printf("Import %s failed!\n", schemaText);
    return exit_status::kBadInput;
  }
  // The data set is written as a new generation and committed by its manifest
  // (data_set_writer.h); this also finishes or clears what an interrupted run left.
  CDataSetWriter writer(resultBase, std::string(schemaText) + ".dat");
  writer.SetFaultHook(options.faultHook);
  std::string error;
  if (!writer.Begin(&error)) {
    std::printf("%s\n", error.c_str());
    std::printf("Save %s failed!\n", resultBase);
    return exit_status::kOutput;
  }
  // A binary schema file shared with another data set (built from the same schema text) is
  // not changed under it: that set's next load would fail.
  std::string user;
  if (writer.SchemaUsedByAnother(schema, &user)) {
    std::printf(
        "The binary schema %s.dat is the one the data set %s was built with, and this schema "
        "differs: build each data set from a schema text of its own\n",
        schemaText, user.c_str());
    std::printf("Save %s failed!\n", resultBase);
    return exit_status::kBadInput;
  }
  // The binary schema that mode 5 and the server load; written before anything else can
  // fail unless that would break the committed generation, and its result is deliberately
  // not checked here (the schema prints its own failure, and the commit then fails).
  writer.WriteSchema(schema);

  auto trie = std::make_unique<CPDAT>();
  if (!trie->Load(trieFile)) {
    std::printf("Load %s failed!\n", trieFile);
    return exit_status::kBadInput;
  }
  // The scan needs no word list; the command line names one, and an unreadable one ends the
  // mode before a data set is made beside it.
  auto wordList = std::make_unique<CWordList>();
  if (!wordList->Load(wordListFile)) {
    std::printf("Load\t%s failed!\n", wordListFile);
    return exit_status::kBadInput;
  }
  if (!writer.IdentifyInputs(trieFile, wordListFile, &error)) {
    std::printf("%s\n", error.c_str());
    std::printf("Save %s failed!\n", resultBase);
    return exit_status::kBadInput;
  }
  CDBConfig config;
  if (!config.Load(dbConfig)) {
    std::printf("Load\t%s failed!\n", dbConfig);
    return exit_status::kBadInput;
  }
  const int64_t memoryBytes =
      options.memoryBytes >= 0 ? options.memoryBytes : int64_t{config.GetIndexMemoryMB()} << 20;
  CScanOptions scan = options.scan;
  scan.threads = options.threads > 0 ? options.threads : config.GetIndexThreads();
  if (scan.threads <= 0) scan.threads = static_cast<int>(std::thread::hardware_concurrency());
  if (scan.threads <= 0) scan.threads = 1;
  scan.terminalProgress = isatty(STDOUT_FILENO) == 1;

  std::string why;
  bool append = config.GetAppend() &&
                CanAppend(writer, config, resultBase, schemaText, trieFile, wordListFile, &why);
  if (config.GetAppend() && !append) std::printf("Append: %s; building in full\n", why.c_str());
  if (!config.GetChangedColumn().empty() && !IsPlainColumn(config.GetChangedColumn().c_str())) {
    std::printf("The value of ChangedColumn in %s is not one column\n", dbConfig);
    return exit_status::kBadInput;
  }
  if (append && IsChangeRun(config)) {
    tChangeRunInput input;
    input.resultBase = resultBase;
    input.schema = &schema;
    input.trie = trie.get();
    input.config = &config;
    input.scan = scan;
    input.memoryBytes = memoryBytes;
    input.options = &options;
    int status = exit_status::kSuccess;
    switch (RunChanges(&writer, input, &status, &why)) {
      case ChangeOutcome::kCommitted:
      case ChangeOutcome::kFailed:
        return status;
      case ChangeOutcome::kBuildInFull:
        std::printf("Append: %s; building in full\n", why.c_str());
        append = false;
        break;
    }
  }
  tAppendState state;
  if (append && !PrepareAppend(*writer.previous(), resultBase, &state, &why)) {
    std::printf("Append: %s; building in full\n", why.c_str());
    append = false;
  }
  // A full build that later runs follow by a change column records its greatest value
  // before reading the rows: a row changed during the scan is read again by the next run.
  if (!append && !config.GetChangedColumn().empty()) {
    std::string mark;
    if (!ReadChangeMark(config, scan, &mark)) {
      std::printf("Database scan failed, %s not saved!\n", resultBase);
      return exit_status::kDatabase;
    }
    writer.SetChangeMark(mark);
  }
  std::unique_ptr<CDataLineIndex> store;
  tSORT_KEYS keys;
  std::string keyLines;
  for (;;) {
    store = std::make_unique<CDataLineIndex>(schema, trie.get(), false);
    if (config.GetContainsIndex()) store->EnableContains();
    // Spilled runs and sections sit beside the pending generation and carry its suffix, so
    // that the next run removes what a crashed one left (data_set_files.h).
    store->SetMemoryBound(memoryBytes, SpillPrefix(resultBase, writer.generation()),
                          options.faultHook);
    store->SetFormatLimits(options.limits);
    store->SetWorkThreads(scan.threads);
    const CManifest* previous = writer.previous();
    if (append && !store->StartFrom(resultBase, &error)) {
      std::printf("Append: %s; building in full\n", error.c_str());
      append = false;
      continue;
    }
    keys = tSORT_KEYS();
    keys.column = IsPlainColumn(config.GetSortField()) ? config.GetSortField() : "";
    keyLines.clear();
    keys.lines = &keyLines;
    int counted = -1;
    scan.count = &counted;
    scan.sortKeys = &keys;
    scan.countCondition.clear();
    scan.scanCondition.clear();
    scan.countParameters.clear();
    scan.scanParameters.clear();
    if (append) {
      // The rows up to the last indexed key must be exactly the committed records, and the
      // rows after it are read in strictly increasing order; otherwise the table changed
      // elsewhere than at its end.
      // The key is a parameter of the statements: a text key is never read as SQL.
      std::printf("Last indexed key: %s\n", SortKeyLiteral(previous->lastKey).c_str());
      const tDbParameter key = SortKeyParameter(previous->lastKey);
      // NULL keys are counted too: they are read by no "above the key" condition.
      scan.countCondition = keys.column + " <= ? or " + keys.column + " is null";
      scan.scanCondition = keys.column + " > ?";
      scan.countParameters = {key};
      scan.scanParameters = {key};
      keys.before = previous->lastKey;
      keys.stopWhenNotIncreasing = true;
    }
    std::printf("数据库扫描开始！\n");
    bool scanned = false;
    {
      std::unique_ptr<CDbConnection> connection = CreateDbConnection(config.GetConnectString());
      scanned = ScanDatabase(store.get(), config, connection.get(), scan);
    }
    const int incomplete = IncompleteBuildStatus(*store, resultBase);
    if (incomplete != exit_status::kSuccess) return incomplete;
    if (append && !keys.increasing) {
      std::printf("Append: %s; building in full\n", keys.reason.c_str());
      append = false;
      continue;
    }
    // A scan that failed holds only some of the rows, or none: saving them would replace a
    // good data set with a partial one that every server would then serve. Nothing is saved;
    // the writer removes what this run left pending, and the committed generation stays.
    if (!scanned) {
      std::printf("Database scan failed, %s not saved!\n", resultBase);
      return exit_status::kDatabase;
    }
    if (append && counted != previous->recordCount - state.deleted.size()) {
      std::printf(
          "Append: the table holds %d rows up to the last indexed key, the data set %d "
          "records that answer (rows were changed or deleted); building in full\n",
          counted, previous->recordCount - state.deleted.size());
      append = false;
      state = tAppendState();
      continue;
    }
    break;
  }
  // The key an appending run continues from: the last one read, or the committed one when
  // no row was added.
  std::string lastKey = keys.increasing ? keys.last : std::string();
  if (append && lastKey.empty()) lastKey = writer.previous()->lastKey;
  writer.SetLastKey(lastKey);

  if (options.faultHook) options.faultHook("save");
  if (!store->Save(resultBase, writer.PendingSuffix())) {
    std::printf("Save %s failed!\n", resultBase);
    return exit_status::kOutput;
  }
  if (store->HasContains()) writer.SetContainsCount(store->GetIndexCount() - 1);
  // The sort keys are kept when every record's is known: a full build whose keys increased,
  // or an append to a set that records them.
  CRecordKeys recordKeys;
  bool keysKnown = !keys.column.empty() && keys.increasing;
  if (append) {
    recordKeys = std::move(state.keys);
    keysKnown = keysKnown && writer.previous()->hasKeys;
  }
  keysKnown =
      keysKnown && recordKeys.AppendLines(keyLines) && recordKeys.size() == store->GetRecordCount();
  if (!SaveChangeFiles(resultBase, state.deleted, keysKnown ? &recordKeys : nullptr, &writer)) {
    std::printf("Save %s failed!\n", resultBase);
    return exit_status::kOutput;
  }
  if (!writer.Commit(store->GetIndexCount(), store->GetRecordCount(), &error)) {
    std::printf("Error Write %s\n", error.c_str());
    std::printf("Save %s failed!\n", resultBase);
    return exit_status::kOutput;
  }
  return exit_status::kSuccess;
}

int RunIndexMode(const char* dbConfig, const char* resultBase, const char* schemaText,
                 const char* trieFile, const char* wordListFile) {
  return RunIndexModeWith(dbConfig, resultBase, schemaText, trieFile, wordListFile,
                          tIndexModeOptions());
}
