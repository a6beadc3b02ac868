// Loading a saved data set the way the server does, for the query benchmarks: the manifest
// check, binary schema, trie, word list, then the data-line store with its indexes,
// read-only. Load prints what failed and the load time (which leaves out the check).
#pragma once

#include <chrono>
#include <cstdio>
#include <memory>

#include "core/records/data_line_index.h"
#include "core/records/data_set_check.h"
#include "core/records/data_set_load.h"
#include "core/records/field_info.h"
#include "core/text/pdat.h"
#include "core/text/word_list.h"

namespace bench {

struct CLoadedDataSet {
  CFieldInfo schema;
  CPDAT trie;
  CWordList wordList;
  std::unique_ptr<CDataLineIndex> store;  // borrows the three above

  bool Load(const char* base, const char* schemaFile, const char* trieFile,
            const char* wordListFile) {
    tDATA_SET_CHECK check;
    if (!CheckDataSet({base, schemaFile, trieFile, wordListFile}, &check)) {
      std::printf("%s\n", check.message.c_str());
      return false;
    }
    if (!schema.LoadBinary(schemaFile) || !trie.Load(trieFile) || !wordList.Load(wordListFile)) {
      std::printf("cannot load %s, %s or %s\n", schemaFile, trieFile, wordListFile);
      return false;
    }
    auto started = std::chrono::steady_clock::now();
    store = LoadDataSetStore(schema, &trie, base, check);
    if (!store) {
      std::printf("cannot load the data set %s\n", base);
      return false;
    }
    std::printf("data set %s: %d records, loaded in %.2f s\n", base, store->GetRecordCount(),
                std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
    return true;
  }
};

}  // namespace bench
