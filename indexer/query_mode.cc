// Mode 5: loads a data set the way the search server does and runs one query through the
// query engine, page by page, printing the number of hits and every hit's stored values.
#include <cstdio>
#include <string>

#include "core/query/query.h"
#include "core/records/data_line_index.h"
#include "core/records/data_set_commit.h"
#include "core/records/field_info.h"
#include "core/text/gbk_chars.h"
#include "core/text/pdat.h"
#include "core/text/word_list.h"
#include "indexer/modes.h"

namespace {

constexpr int kPageSize = 15;
const char kFixedQuery[] = "[FIELD] code [AND] BS";

// One line per record: its stored values in stored-list order, separated by tabs. Tabs and
// line breaks inside a value are shown as blanks so that a record stays on its line (these
// bytes never occur inside a two-byte GBK character).
void PrintPage(const ResultPage& page) {
  size_t offset = 0;
  for (int32_t record = 0; record < page.returned; ++record) {
    std::string line;
    for (int32_t field = 0; field < page.fieldCount; ++field) {
      size_t length = static_cast<size_t>(
          page.valueLengths[static_cast<size_t>(record) * static_cast<size_t>(page.fieldCount) +
                            static_cast<size_t>(field)]);
      if (field > 0) line += '\t';
      for (size_t i = offset; i < offset + length; ++i) {
        char byte = page.text[i];
        line += gbk::IsLineSpace(static_cast<unsigned char>(byte)) ? ' ' : byte;
      }
      offset += length;
    }
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), stdout);
  }
}

}  // namespace

void RunQueryTestMode(const char* /*unused*/, const char* resultBase, const char* schemaBinary,
                      const char* trieFile, const char* wordListFile, const char* queryText) {
  // Checked before anything is loaded, so that the files loaded are the ones checked.
  tDATA_SET_CHECK check;
  if (!CheckDataSet({resultBase, schemaBinary, trieFile, wordListFile}, &check)) {
    std::printf("%s\n", check.message.c_str());
    std::printf("Save %s failed!\n", resultBase);
    return;
  }
  CFieldInfo schema;
  schema.LoadBinary(schemaBinary);  // a failure shows as a data set that cannot be loaded
  CPDAT trie;
  if (!trie.Load(trieFile)) {
    std::printf("Load %s failed!\n", trieFile);
    return;
  }
  // The query needs no word list; the command line names one, and an unreadable one ends the
  // mode.
  CWordList wordList;
  if (!wordList.Load(wordListFile)) {
    std::printf("Load\t%s failed!\n", wordListFile);
    return;
  }
  CDataLineIndex store(schema, &trie, true);
  if (!store.Load(resultBase)) {
    std::printf("Save %s failed!\n", resultBase);
    return;
  }
  CQuery query(schema, store);
  const int total = query.Execute(queryText != nullptr ? queryText : kFixedQuery);
  std::printf("Total %d\n", total);
  for (int start = 0; start < total; start += kPageSize) {
    PrintPage(query.GetPage(start, kPageSize));
  }
  std::fflush(stdout);
}
