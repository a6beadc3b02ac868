// Mode 5: loads a data set the way the search server does and runs one query through the
// query engine, page by page, printing the number of hits and every hit's stored values.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "core/query/query.h"
#include "core/records/data_line_index.h"
#include "core/records/data_set_check.h"
#include "core/records/data_set_load.h"
#include "core/records/field_info.h"
#include "core/text/gbk_chars.h"
#include "core/text/pdat.h"
#include "core/text/word_list.h"
#include "indexer/exit_status.h"
#include "indexer/modes.h"
#include "programs/console.h"

namespace {

constexpr int kPageSize = 15;
const char kFixedQuery[] = "[FIELD] code [AND] BS";

// The stored values of each record of a page, in stored-list order. Tabs and line breaks
// inside a value become blanks so that a record stays on its line (these bytes never occur
// inside a two-byte GBK character).
std::vector<std::vector<std::string>> PageValues(const ResultPage& page) {
  std::vector<std::vector<std::string>> records(static_cast<size_t>(page.returned));
  const size_t fieldCount = static_cast<size_t>(page.fieldCount);
  size_t offset = 0;
  for (size_t record = 0; record < records.size(); ++record) {
    for (size_t field = 0; field < fieldCount; ++field) {
      const size_t length = static_cast<size_t>(page.valueLengths[record * fieldCount + field]);
      std::string value = page.text.substr(offset, length);
      for (char& byte : value) {
        if (gbk::IsLineSpace(static_cast<unsigned char>(byte))) byte = ' ';
      }
      records[record].push_back(std::move(value));
      offset += length;
    }
  }
  return records;
}

void WriteLine(const std::string& line) { std::fwrite(line.data(), 1, line.size(), stdout); }

// For files and pipes: one line per record, its stored values separated by tabs.
void PrintPage(const ResultPage& page) {
  for (const auto& values : PageValues(page)) {
    std::string line;
    for (size_t field = 0; field < values.size(); ++field) {
      if (field > 0) line += '\t';
      line += values[field];
    }
    WriteLine(line + '\n');
  }
}

// For a terminal: a table of one line per hit under a line of the stored fields' names, each
// column padded to its width and the line cut to the terminal's width (a CJK character takes
// two columns). The columns are sized once, from the names and the first page, so that they
// stay aligned from page to page: every column but the last is as wide as its widest value,
// at most an equal share of the terminal; the last one takes what is left.
class CHitTable {
 public:
  CHitTable(const CFieldInfo& schema, size_t columns) : m_columns(columns) {
    for (int position = 0; position < schema.GetListSize(LIST_STORED); ++position) {
      m_names.push_back(schema.GetField(schema.GetListMember(position, LIST_STORED)).indexName);
    }
  }
  virtual ~CHitTable() = default;

  void Print(const ResultPage& page) {
    const auto records = PageValues(page);
    if (!m_sized) {
      SizeColumns(records);
      PrintLine(m_names);
      m_sized = true;
    }
    for (const auto& values : records) PrintLine(values);
  }

 private:
  void SizeColumns(const std::vector<std::vector<std::string>>& records) {
    const size_t share = std::max<size_t>(6, m_columns / std::max<size_t>(1, m_names.size()));
    for (size_t field = 0; field < m_names.size(); ++field) {
      size_t widest = GbkColumns(m_names[field]);
      for (const auto& values : records) {
        if (field < values.size()) widest = std::max(widest, GbkColumns(values[field]));
      }
      m_widths.push_back(std::min(widest, share));
    }
  }

  void PrintLine(const std::vector<std::string>& values) {
    std::string line;
    for (size_t field = 0; field < values.size(); ++field) {
      if (field > 0) line += ' ';
      const bool last = field + 1 == values.size();
      const size_t width = field < m_widths.size() && !last ? m_widths[field] : m_columns;
      const std::string cut = CutGbkToColumns(values[field], width);
      line += cut;
      if (!last) line.append(width - GbkColumns(cut), ' ');
    }
    line = CutGbkToColumns(line, m_columns);
    line.erase(line.find_last_not_of(' ') + 1);
    WriteLine(line + '\n');
  }

  size_t m_columns;
  std::vector<std::string> m_names;
  std::vector<size_t> m_widths;
  bool m_sized = false;  // the widths are taken and the names printed with the first page
};

}  // namespace

int RunQueryTestMode(const char* /*unused*/, const char* resultBase, const char* schemaBinary,
                     const char* trieFile, const char* wordListFile, const char* queryText,
                     int terminalColumns) {
  // Checked before anything is loaded, so that the files loaded are the ones checked.
  tDATA_SET_CHECK check;
  if (!CheckDataSet({resultBase, schemaBinary, trieFile, wordListFile}, &check)) {
    std::printf("%s\n", check.message.c_str());
    std::printf("Save %s failed!\n", resultBase);
    return exit_status::kBadInput;
  }
  CFieldInfo schema;
  schema.LoadBinary(schemaBinary);  // a failure shows as a data set that cannot be loaded
  CPDAT trie;
  if (!trie.Load(trieFile)) {
    std::printf("Load %s failed!\n", trieFile);
    return exit_status::kBadInput;
  }
  // The query needs no word list; the command line names one, and an unreadable one ends the
  // mode.
  CWordList wordList;
  if (!wordList.Load(wordListFile)) {
    std::printf("Load\t%s failed!\n", wordListFile);
    return exit_status::kBadInput;
  }
  std::unique_ptr<CDataLineIndex> store = LoadDataSetStore(schema, &trie, resultBase, check);
  if (!store) {
    std::printf("Save %s failed!\n", resultBase);
    return exit_status::kBadInput;
  }
  CQuery query(schema, *store);
  const int total = query.Execute(queryText != nullptr ? queryText : kFixedQuery);
  std::printf("Total %d\n", total);
  CHitTable table(schema, static_cast<size_t>(std::max(terminalColumns, 1)));
  for (int start = 0; start < total; start += kPageSize) {
    if (terminalColumns > 0) {
      table.Print(query.GetPage(start, kPageSize));
    } else {
      PrintPage(query.GetPage(start, kPageSize));
    }
  }
  std::fflush(stdout);
  return exit_status::kSuccess;
}
