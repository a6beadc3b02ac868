// Mode 4: imports the schema, loads the trie and the word list, scans the configured table
// into a new data-line store and saves the data set under the result base name. Every
// failure prints its line and ends the mode; the exit code stays 0 whatever happens.
#include "indexer/index_mode.h"

#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include "core/records/data_line_index.h"
#include "core/records/data_set_commit.h"
#include "core/records/db/db_factory.h"
#include "core/records/db_config.h"
#include "core/records/field_info.h"
#include "core/records/scan_database.h"
#include "core/text/pdat.h"
#include "core/text/word_list.h"
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

}  // namespace

int RunIndexModeWith(const char* dbConfig, const char* resultBase, const char* schemaText,
                     const char* trieFile, const char* wordListFile,
                     const CIndexModeOptions& options) {
  PrintParameters(dbConfig, resultBase, schemaText, trieFile, wordListFile);

  // Declared in the order of creation, so that everything a store or index borrows (schema,
  // trie) is destroyed after it.
  CFieldInfo schema;
  if (!schema.ImportText(schemaText)) {
    std::printf("Import %s failed!\n", schemaText);
    return kExitInputInvalid;
  }
  // The data set is written as a new generation and committed by its manifest
  // (data_set_commit.h); this also finishes or clears what an interrupted run left.
  CDataSetWriter writer(resultBase, std::string(schemaText) + ".dat");
  writer.SetFaultHook(options.faultHook);
  std::string error;
  if (!writer.Begin(&error)) {
    std::printf("%s\n", error.c_str());
    std::printf("Save %s failed!\n", resultBase);
    return kExitWriteFailed;
  }
  // The binary schema that mode 5 and the server load; written before anything else can
  // fail unless that would break the committed generation, and its result is deliberately
  // not checked here (the schema prints its own failure, and the commit then fails).
  writer.WriteSchema(schema);

  auto trie = std::make_unique<CPDAT>();
  if (!trie->Load(trieFile)) {
    std::printf("Load %s failed!\n", trieFile);
    return kExitInputInvalid;
  }
  // The scan needs no word list; the command line names one, and an unreadable one ends the
  // mode before a data set is made beside it.
  auto wordList = std::make_unique<CWordList>();
  if (!wordList->Load(wordListFile)) {
    std::printf("Load\t%s failed!\n", wordListFile);
    return kExitInputInvalid;
  }
  if (!writer.IdentifyInputs(trieFile, wordListFile, &error)) {
    std::printf("%s\n", error.c_str());
    std::printf("Save %s failed!\n", resultBase);
    return kExitInputInvalid;
  }
  auto store = std::make_unique<CDataLineIndex>(schema, trie.get(), false);
  CDBConfig config;
  if (!config.Load(dbConfig)) {
    std::printf("Load\t%s failed!\n", dbConfig);
    return kExitInputInvalid;
  }
  const int64_t memoryBytes =
      options.memoryBytes >= 0 ? options.memoryBytes : int64_t{config.GetIndexMemoryMB()} << 20;
  // Spilled runs and sections sit beside the pending generation and carry its suffix, so
  // that the next run removes what a crashed one left (data_set_commit.h).
  store->SetMemoryBound(memoryBytes, std::string(resultBase) + ".spill" + writer.PendingSuffix(),
                        options.faultHook);
  store->SetFormatLimits(options.limits);

  std::printf("数据库扫描开始！\n");
  {
    std::unique_ptr<CDbConnection> connection = CreateDbConnection(config.GetConnectString());
    // A failed scan keeps the rows read so far; they are saved all the same.
    CScanOptions scan = options.scan;
    scan.threads = options.threads > 0 ? options.threads : config.GetIndexThreads();
    if (scan.threads <= 0) scan.threads = static_cast<int>(std::thread::hardware_concurrency());
    if (scan.threads <= 0) scan.threads = 1;
    scan.terminalProgress = isatty(STDOUT_FILENO) == 1;
    ScanDatabase(store.get(), config, connection.get(), scan);
  }
  // A build that cannot be whole commits nothing: a record past a limit of the formats, or
  // records that could not be written to disk.
  if (!store->GetLimitMessage().empty()) {
    std::printf("%s\n", store->GetLimitMessage().c_str());
    return kExitFormatLimit;
  }
  if (store->HasSpillFailed()) {
    std::printf("Error Write %s: the records of the build could not be written to disk\n",
                resultBase);
    std::printf("Save %s failed!\n", resultBase);
    return kExitWriteFailed;
  }
  if (options.faultHook) options.faultHook("save");
  if (!store->Save(resultBase, writer.PendingSuffix())) {
    std::printf("Save %s failed!\n", resultBase);
    return kExitWriteFailed;
  }
  if (!writer.Commit(store->GetIndexCount(), store->GetRecordCount(), &error)) {
    std::printf("Error Write %s\n", error.c_str());
    std::printf("Save %s failed!\n", resultBase);
    return kExitWriteFailed;
  }
  return kExitSuccess;
}

int RunIndexMode(const char* dbConfig, const char* resultBase, const char* schemaText,
                 const char* trieFile, const char* wordListFile) {
  return RunIndexModeWith(dbConfig, resultBase, schemaText, trieFile, wordListFile,
                          CIndexModeOptions());
}
