// Speed of indexer mode 4 on a real table.
//
//   index_mode_bench run    DBCONFIG BASE SCHEMA TRIE WORDLIST [THREADS [MEMORY_MB]]
//       mode 4 end to end (console output discarded); prints the wall time, records/s, MB/s
//       of field text, the bytes of the data set, the bytes the run wrote and the peak
//       resident memory of the process. THREADS and MEMORY_MB replace the configuration's
//       IndexThreads and IndexMemoryMB (MEMORY_MB 0: no bound; "-" keeps the configuration's). The
//       peak is taken before the written set is read back for the figures.
//   index_mode_bench phases DBCONFIG BASE SCHEMA TRIE WORDLIST
//       the same work split into passes over the table, each timed on its own: database
//       fetch (rows and raw column bytes), conversion to GBK text, cleaning (trim, markup,
//       normalisation), segmentation, postings (index building without the segmentation
//       already counted) and save.
//
// Field text = the GBK bytes of every stored or indexed field as fetched, before cleaning.
// Data made by scripts/make_bench_db.py; trie and word list by indexer modes 1 and 2.
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/index/indexer.h"
#include "core/records/data_line_index.h"
#include "core/records/data_set_files.h"
#include "core/records/field_info.h"
#include "core/scan/db/db_factory.h"
#include "core/scan/db_config.h"
#include "core/scan/db_source.h"
#include "core/scan/record_preparation.h"
#include "core/scan/scan_database.h"
#include "core/text/pdat.h"
#include "core/text/text_clean.h"
#include "core/text/word_list.h"
#include "core/util/file_util.h"
#include "indexer/index_mode.h"
#include "indexer/modes.h"

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Sends stdout to /dev/null until destroyed (mode 4 prints a line per 100 records).
class CQuietStdout {
 public:
  CQuietStdout() {
    std::fflush(stdout);
    m_saved = dup(STDOUT_FILENO);
    int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    close(null);
  }
  ~CQuietStdout() {
    std::fflush(stdout);
    dup2(m_saved, STDOUT_FILENO);
    close(m_saved);
  }

 private:
  int m_saved;
};

int64_t FileBytes(const std::string& path) {
  FilePtr file = OpenFile(path, "rb");
  return file ? FileSize(file.get()) : 0;
}

// The data-line file, the word indexes and, when the set has them, the contains indexes and
// field lengths (a file that is not there counts 0).
int64_t DataSetBytes(const std::string& base, int indexCount) {
  int64_t bytes = FileBytes(DataLinePath(base)) + FileBytes(LengthsPath(base));
  for (int k = 0; k < indexCount; ++k) {
    bytes += FileBytes(IndexPath(base, static_cast<size_t>(k))) +
             (k > 0 ? FileBytes(CharsPath(base, static_cast<size_t>(k))) : 0);
  }
  return bytes;
}

// User + system CPU seconds of the process so far: steadier than wall time on a shared box.
double CpuSeconds() {
  struct rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec +
         usage.ru_stime.tv_usec / 1e6;
}

double PeakMegabytes() {
  struct rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss / 1024.0;
}

struct tArguments {
  const char* config;
  const char* base;
  const char* schemaText;
  const char* trie;
  const char* wordList;
};

// Fields that mode 4 reads (indexed, filter or stored), in field order.
std::vector<int> ReadFields(const CFieldInfo& schema) {
  std::vector<int> fields;
  for (int field = 1; field < schema.GetFieldCount(); ++field) {
    const tFIELD_ENTRY& entry = schema.GetField(field);
    if (entry.isIndexed || entry.isFilter || entry.isStored) fields.push_back(field);
  }
  return fields;
}

// Where the time of one mode-4 run goes, from the steps it reports: the scan (spills
// included, and how long they held it up), the save and the commit.
class CTimeline {
 public:
  explicit CTimeline(Clock::time_point start) : m_start(start), m_last(start) {}
  void Step(const char* name) {
    Clock::time_point now = Clock::now();
    std::string step = name;
    if (step == "spill") {
      m_spillStart = now;
    } else if (step == "spilled") {
      m_spillSeconds += std::chrono::duration<double>(now - m_spillStart).count();
      ++m_spills;
    } else if (step == "save" || step == "commit" || step == "done") {
      m_marks.emplace_back(step, std::chrono::duration<double>(now - m_start).count());
    }
    m_last = now;
  }
  void Print() const {
    double previous = 0;
    const char* phase = "scan";
    for (const auto& mark : m_marks) {
      std::printf("  %-8s %7.2f s", phase, mark.second - previous);
      if (std::strcmp(phase, "scan") == 0 && m_spills > 0) {
        std::printf("  (%d spills holding it %.2f s)", m_spills, m_spillSeconds);
      }
      std::printf("\n");
      previous = mark.second;
      phase = mark.first == "save" ? "save" : mark.first == "commit" ? "commit" : "after";
    }
  }

 private:
  Clock::time_point m_start;
  Clock::time_point m_last;
  Clock::time_point m_spillStart;
  double m_spillSeconds = 0;
  int m_spills = 0;
  std::vector<std::pair<std::string, double>> m_marks;
};

// The bytes the process has handed to write() so far (/proc/self/io "wchar"); -1 when unknown.
int64_t WrittenBytes() {
  // A /proc file reports no size: it is read until its end.
  std::string io;
  FilePtr file = OpenFile("/proc/self/io", "rb");
  char buffer[1024];
  size_t got = 0;
  while (file && (got = std::fread(buffer, 1, sizeof buffer, file.get())) > 0)
    io.append(buffer, got);
  const size_t at = io.find("wchar: ");
  return at == std::string::npos ? -1 : std::atoll(io.c_str() + at + 7);
}

int RunEndToEnd(const tArguments& arguments, tIndexModeOptions options) {
  CFieldInfo schema;
  if (!schema.ImportText(arguments.schemaText)) return 1;
  Clock::time_point start = Clock::now();
  double cpuStart = CpuSeconds();
  const int64_t writtenStart = WrittenBytes();
  CTimeline timeline(start);
  options.faultHook = [&timeline](const char* step) { timeline.Step(step); };
  int status = 0;
  {
    CQuietStdout quiet;
    status = RunIndexModeWith(arguments.config, arguments.base, arguments.schemaText,
                              arguments.trie, arguments.wordList, options);
  }
  if (status != 0) {
    std::printf("mode 4 failed with exit status %d\n", status);
    return 1;
  }
  double seconds = SecondsSince(start);
  double cpu = CpuSeconds() - cpuStart;
  double peak = PeakMegabytes();
  const int64_t written = WrittenBytes() - writtenStart;

  // The field text of the table, measured afterwards from the store that was written.
  CPDAT trie;
  trie.Load(arguments.trie);
  CDataLineIndex store(schema, &trie, true);
  int64_t dataSet = DataSetBytes(arguments.base, schema.GetListSize(LIST_INDEXED));
  if (!store.Load(arguments.base)) return 1;
  int64_t storedBytes = 0;
  for (int record = 0; record < store.GetRecordCount(); ++record) {
    for (int column = 0; column < schema.GetListSize(LIST_STORED); ++column) {
      int length = 0;
      store.GetCell(record, column, &length);
      storedBytes += length;
    }
  }
  std::printf("records %d in %.2f s: %.0f records/s, stored field text %.1f MB: %.2f MB/s\n",
              store.GetRecordCount(), seconds, store.GetRecordCount() / seconds, storedBytes / 1e6,
              storedBytes / 1e6 / seconds);
  std::printf("cpu %.2f s: %.2f MB/s of field text per cpu second\n", cpu, storedBytes / 1e6 / cpu);
  std::printf("data set %.1f MB, peak resident %.1f MB (%.2f x data set)\n", dataSet / 1e6, peak,
              peak * 1048576.0 / static_cast<double>(dataSet));
  std::printf("written %.1f MB (bytes handed to write by the run)\n", written / 1e6);
  timeline.Print();
  return 0;
}

// Pass 1: rows and raw column bytes straight from SQLite (no conversion). Returns the time.
double TimeRawFetch(const std::string& path, const std::string& statement, int64_t* bytes) {
  sqlite3* database = nullptr;
  sqlite3_stmt* prepared = nullptr;
  Clock::time_point start = Clock::now();
  sqlite3_open_v2(path.c_str(), &database, SQLITE_OPEN_READONLY, nullptr);
  sqlite3_prepare_v2(database, statement.c_str(), -1, &prepared, nullptr);
  *bytes = 0;
  while (sqlite3_step(prepared) == SQLITE_ROW) {
    for (int column = 0; column < sqlite3_column_count(prepared); ++column) {
      sqlite3_column_text(prepared, column);
      *bytes += sqlite3_column_bytes(prepared, column);
    }
  }
  sqlite3_finalize(prepared);
  sqlite3_close(database);
  return SecondsSince(start);
}

int RunPhases(const tArguments& arguments) {
  CFieldInfo schema;
  CDBConfig config;
  CPDAT trie;
  CWordList wordList;
  if (!schema.ImportText(arguments.schemaText) || !config.Load(arguments.config) ||
      !trie.Load(arguments.trie) || !wordList.Load(arguments.wordList)) {
    std::printf("cannot load the inputs\n");
    return 1;
  }
  std::string statement =
      std::string("select * from ") + config.GetTable() + " order by " + config.GetSortField();
  std::vector<int> fields = ReadFields(schema);

  // Pass 1: database fetch alone (SQLite only; for ODBC pass 2 holds fetch and conversion).
  double rawFetch = 0;
  int64_t rawBytes = 0;
  std::string connect = config.GetConnectString();
  bool sqlite = connect.rfind("sqlite:", 0) == 0;
  if (sqlite) {
    TimeRawFetch(connect.substr(7), statement, &rawBytes);  // warm the page cache
    rawFetch = TimeRawFetch(connect.substr(7), statement, &rawBytes);
  }

  // Pass 2: fetch + conversion to field text through the database layer and the store.
  std::unique_ptr<CDbConnection> connection = CreateDbConnection(connect);
  std::string error;
  if (!connection || !connection->Open(connect, &error)) {
    std::printf("cannot open %s: %s\n", connect.c_str(), error.c_str());
    return 1;
  }
  std::string text;
  CDbValue value;
  auto readTable = [&](bool keep, std::vector<std::string>* texts, std::vector<int>* textFields) {
    std::unique_ptr<CDbRecordSet> rows = connection->Execute(statement, &error);
    while (rows && !rows->AtEnd()) {
      for (int field : fields) {
        FetchFieldText(schema, rows->GetRow(), field, &value, &text, &error);
        if (keep) {
          texts->push_back(text);
          textFields->push_back(field);
        }
      }
      rows->MoveNext(&error);
    }
  };
  std::vector<std::string> texts;      // every field text of the table, in scan order
  std::vector<int> textFields;         // the field of each text
  readTable(false, nullptr, nullptr);  // warms the cache and the conversion table
  Clock::time_point start = Clock::now();
  readTable(false, nullptr, nullptr);
  double fetchAndConvert = SecondsSince(start);
  readTable(true, &texts, &textFields);  // untimed: the texts for the passes below
  connection->Close();
  int64_t textBytes = 0;
  for (const std::string& value : texts) textBytes += static_cast<int64_t>(value.size());

  // Pass 3: cleaning.
  start = Clock::now();
  for (std::string& value : texts) {
    int length = 0;
    StripMarkup(value.data(), static_cast<int>(value.size()), value.data(), &length);
    value.resize(static_cast<size_t>(length));
    NormalizeText(value.data());
  }
  double cleaning = SecondsSince(start);

  // Pass 4: segmentation (word numbers only, as the index asks for them), once per indexed
  // field: the store feeds the same word numbers to the field's own index and, for a
  // wildcard field, to index 0.
  std::vector<int32_t> ids;
  int64_t terms = 0;
  start = Clock::now();
  for (size_t i = 0; i < texts.size(); ++i) {
    const tFIELD_ENTRY& entry = schema.GetField(textFields[i]);
    if (!entry.isIndexed) continue;
    int count = trie.Segment(texts[i].c_str(), &ids, nullptr);
    terms += entry.isWildcard ? 2 * count : count;
  }
  double segmentation = SecondsSince(start);

  // Pass 5: the whole scan into a store (AddRecord: fetch, conversion, cleaning, storing,
  // segmentation, postings), then its save.
  CDataLineIndex store(schema, &trie, false);
  CScanOptions options;
  double scan = 0, save = 0;
  {
    CQuietStdout quiet;
    std::unique_ptr<CDbConnection> scanConnection = CreateDbConnection(connect);
    start = Clock::now();
    ScanDatabase(&store, config, scanConnection.get(), options);
    scan = SecondsSince(start);
    start = Clock::now();
    store.Save(arguments.base);
    save = SecondsSince(start);
  }

  double conversion = sqlite ? fetchAndConvert - rawFetch : 0;
  double postings = scan - fetchAndConvert - cleaning - segmentation;
  double total = scan + save;
  auto line = [total](const char* name, double seconds) {
    std::printf("  %-28s %7.3f s  %5.1f %%\n", name, seconds, 100 * seconds / total);
  };
  std::printf("%d records, %.1f MB field text, %lld postings\n", store.GetRecordCount(),
              textBytes / 1e6, static_cast<long long>(terms));
  if (sqlite) {
    line("database fetch", rawFetch);
    line("conversion to GBK", conversion);
  } else {
    line("database fetch + conversion", fetchAndConvert);
  }
  line("cleaning", cleaning);
  line("segmentation", segmentation);
  line("postings and storing (rest)", postings);
  line("save", save);
  std::printf("  %-28s %7.3f s  (%.2f MB/s of field text)\n", "scan + save", total,
              textBytes / 1e6 / total);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const bool run = argc >= 2 && std::strcmp(argv[1], "run") == 0;
  if (argc < 7 || argc > (run ? 9 : 7) || (!run && std::strcmp(argv[1], "phases") != 0)) {
    std::fprintf(stderr,
                 "usage: %s run|phases DBCONFIG BASE SCHEMA TRIE WORDLIST [THREADS [MEMORY_MB]]\n",
                 argv[0]);
    return 2;
  }
  tArguments arguments{argv[2], argv[3], argv[4], argv[5], argv[6]};
  if (!run) return RunPhases(arguments);
  tIndexModeOptions options;
  if (argc > 7 && std::strcmp(argv[7], "-") != 0) options.threads = std::atoi(argv[7]);
  if (argc > 8 && std::strcmp(argv[8], "-") != 0) {
    options.memoryBytes = static_cast<int64_t>(std::atoll(argv[8])) << 20;
  }
  return RunEndToEnd(arguments, options);
}
