// Phrase queries against two in-process peers over the same words: Xapian (an on-disk glass
// database under /tmp, compacted; positional terms; removed at the end) and SQLite FTS5
// (in-memory, contentless, one table per field, optimised). Both peers get pre-segmented
// text: every indexed and stored field of every record is normalised as the store normalises
// indexed text and cut by CPDAT::Segment, and the word numbers become the tokens
// ("X<field>W<word>" terms at positions 1, 2, ... in Xapian; "w<word>" tokens separated by
// spaces in FTS5). Non-dictionary characters take no ordinal in our index and appear in
// neither peer's token stream, so a phrase means the same on all three engines.
//
// The phrase queries are sampled exactly as query_bench samples its phrase queries (same
// seed, same draws): 1 to 3 consecutive dictionary words of a record's field. Every engine
// answers each with the exact hit count and the first page of 20 hits in record order:
//  - ours:   CQuery::Execute("[FIELD] <field> [AND] <phrase>") + GetPage(0, 20);
//  - Xapian: OP_PHRASE (window = word count; one word is a term query), BoolWeight,
//            ascending docid order, get_mset(0, 20, doccount) so that the count is exact;
//  - FTS5:   SELECT count(*) ... MATCH '"w1 w2"' plus SELECT rowid ... ORDER BY rowid
//            LIMIT 20 (two statements), and as a second variant one statement that steps
//            through all matching rowids, counting them and keeping the first 20.
// The peers get the word numbers ready-made; ours parses the query text and segments it, and
// copies the stored values of the page where the peers return ids only.
//
// A checked round first makes sure all engines agree on every count and every first page (our
// page's stored values are compared with the store's values of the peers' records); then
// `rounds` timed rounds run the queries on one thread, engine after engine. Reported: median
// queries/s over the rounds by wall time and by thread CPU time, p50/p99 latency, the ratios,
// and the peers' build times. Exit status 2 when the engines disagree.
//
//   peer_bench BASE SCHEMA.dat TRIE WORDLIST [phrases=1000] [seed=7] [rounds=5]
//              [xapian dir=/tmp/peer_bench_xapian]
#include <sqlite3.h>
#include <xapian.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bench/data_set.h"
#include "bench/query_sampler.h"
#include "core/query/query.h"
#include "core/records/data_line_index.h"
#include "core/records/field_info.h"
#include "core/text/pdat.h"
#include "core/text/text_clean.h"
#include "core/text/word_list.h"

namespace {

using bench::CSampler;
using bench::tPhraseQuery;
using bench::tSampleField;

using Clock = std::chrono::steady_clock;

constexpr int kPageSize = 20;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// What an engine answered: the exact hit count and the record numbers of the first page.
struct tAnswer {
  long total = -1;
  std::vector<int32_t> page;
};

// The word numbers of one record's field, as our index saw them.
void SegmentField(const CDataLineIndex& store, const CPDAT& trie, int record, int storedColumn,
                  std::string* text, std::vector<int32_t>* ids, int* count) {
  int length = 0;
  const char* cell = store.GetCell(record, storedColumn, &length);
  text->assign(cell != nullptr ? cell : "", static_cast<size_t>(std::max(length, 0)));
  NormalizeText(&(*text)[0]);
  text->resize(std::strlen(text->c_str()));
  *count = trie.Segment(text->c_str(), ids, nullptr);
}

std::string XapianTerm(int field, int32_t word) {
  return "X" + std::to_string(field) + "W" + std::to_string(word);
}

// --- Xapian ------------------------------------------------------------------------------

// Removes `directory` when it holds a Xapian glass database (and nothing else is touched).
void RemoveXapianDatabase(const std::string& directory) {
  std::error_code error;
  if (std::filesystem::exists(std::filesystem::path(directory) / "iamglass", error)) {
    std::filesystem::remove_all(directory, error);
  }
}

class CXapianPeer {
 public:
  // Builds the database in `directory` (overwritten) and opens it for reading.
  CXapianPeer(const CDataLineIndex& store, const CPDAT& trie,
              const std::vector<tSampleField>& fields, const std::string& directory)
      : m_directory(directory) {
    auto started = Clock::now();
    {
      Xapian::WritableDatabase writable(directory,
                                        Xapian::DB_CREATE_OR_OVERWRITE | Xapian::DB_NO_SYNC);
      std::string text;
      std::vector<int32_t> ids;
      for (int record = 0; record < store.GetRecordCount(); ++record) {
        Xapian::Document document;
        for (const tSampleField& field : fields) {
          int count = 0;
          SegmentField(store, trie, record, field.storedColumn, &text, &ids, &count);
          for (int ordinal = 0; ordinal < count; ++ordinal) {
            document.add_posting(XapianTerm(field.field, ids[static_cast<size_t>(ordinal)]),
                                 static_cast<Xapian::termpos>(ordinal + 1));
          }
        }
        writable.replace_document(static_cast<Xapian::docid>(record + 1), document);
      }
      writable.commit();
    }
    m_buildSeconds = SecondsSince(started);
    // Compacted into full blocks: the form a finished database is queried in.
    started = Clock::now();
    const std::string compacted = directory + "_compact";
    RemoveXapianDatabase(compacted);  // compact() does not overwrite
    Xapian::Database(directory).compact(compacted, Xapian::DBCOMPACT_NO_RENUMBER);
    m_compactSeconds = SecondsSince(started);
    m_database = Xapian::Database(compacted);
    m_enquire.reset(new Xapian::Enquire(m_database));
    m_enquire->set_weighting_scheme(Xapian::BoolWeight());
    m_enquire->set_docid_order(Xapian::Enquire::ASCENDING);
  }

  // The databases are scratch: both are removed when the benchmark ends.
  ~CXapianPeer() {
    m_enquire.reset();
    m_database.close();
    RemoveXapianDatabase(m_directory);
    RemoveXapianDatabase(m_directory + "_compact");
  }
  CXapianPeer(const CXapianPeer&) = delete;
  CXapianPeer& operator=(const CXapianPeer&) = delete;

  double buildSeconds() const { return m_buildSeconds; }
  double compactSeconds() const { return m_compactSeconds; }

  void Answer(const tPhraseQuery& query, tAnswer* answer) {
    std::vector<std::string> terms;
    terms.reserve(query.words.size());
    for (int32_t word : query.words) terms.push_back(XapianTerm(query.field, word));
    if (terms.size() == 1) {
      m_enquire->set_query(Xapian::Query(terms[0]));
    } else {
      m_enquire->set_query(
          Xapian::Query(Xapian::Query::OP_PHRASE, terms.begin(), terms.end(), terms.size()));
    }
    Xapian::MSet matches = m_enquire->get_mset(0, kPageSize, m_database.get_doccount());
    // With checkatleast = the document count every candidate is checked: the bounds meet.
    if (matches.get_matches_lower_bound() != matches.get_matches_upper_bound()) {
      answer->total = -2;  // reported as a disagreement
    } else {
      answer->total = static_cast<long>(matches.get_matches_estimated());
    }
    answer->page.clear();
    for (Xapian::MSetIterator it = matches.begin(); it != matches.end(); ++it) {
      answer->page.push_back(static_cast<int32_t>(*it) - 1);
    }
  }

 private:
  std::string m_directory;
  Xapian::Database m_database;
  std::unique_ptr<Xapian::Enquire> m_enquire;
  double m_buildSeconds = 0;
  double m_compactSeconds = 0;
};

// --- SQLite FTS5 --------------------------------------------------------------------------

class CFts5Peer {
 public:
  CFts5Peer(const CDataLineIndex& store, const CPDAT& trie,
            const std::vector<tSampleField>& fields) {
    auto started = Clock::now();
    Check(sqlite3_open(":memory:", &m_db), "open");
    Exec("BEGIN");
    std::string text;
    std::vector<int32_t> ids;
    std::string tokens;
    for (const tSampleField& field : fields) {
      std::string table = "f" + std::to_string(field.field);
      // Contentless: the table keeps the full-text index (with positions) but no copy of
      // the token text, which no query reads.
      Exec("CREATE VIRTUAL TABLE " + table + " USING fts5(words, content='', detail=full)");
      sqlite3_stmt* insert = Prepare("INSERT INTO " + table + "(rowid, words) VALUES(?, ?)");
      for (int record = 0; record < store.GetRecordCount(); ++record) {
        int count = 0;
        SegmentField(store, trie, record, field.storedColumn, &text, &ids, &count);
        if (count == 0) continue;
        tokens.clear();
        for (int ordinal = 0; ordinal < count; ++ordinal) {
          if (ordinal > 0) tokens += ' ';
          tokens += 'w';
          tokens += std::to_string(ids[static_cast<size_t>(ordinal)]);
        }
        sqlite3_bind_int64(insert, 1, record);
        sqlite3_bind_text(insert, 2, tokens.data(), static_cast<int>(tokens.size()), SQLITE_STATIC);
        Check(sqlite3_step(insert) == SQLITE_DONE ? SQLITE_OK : SQLITE_ERROR, "insert");
        sqlite3_reset(insert);
      }
      sqlite3_finalize(insert);
      // One b-tree per table: the form a finished index is queried in.
      Exec("INSERT INTO " + table + "(" + table + ") VALUES('optimize')");
      if (static_cast<size_t>(field.field) >= m_count.size()) {
        m_count.resize(static_cast<size_t>(field.field) + 1, nullptr);
        m_page.resize(static_cast<size_t>(field.field) + 1, nullptr);
        m_all.resize(static_cast<size_t>(field.field) + 1, nullptr);
      }
      m_count[static_cast<size_t>(field.field)] =
          Prepare("SELECT count(*) FROM " + table + " WHERE " + table + " MATCH ?");
      m_page[static_cast<size_t>(field.field)] =
          Prepare("SELECT rowid FROM " + table + " WHERE " + table +
                  " MATCH ? ORDER BY rowid "
                  "LIMIT " +
                  std::to_string(kPageSize));
      m_all[static_cast<size_t>(field.field)] =
          Prepare("SELECT rowid FROM " + table + " WHERE " + table + " MATCH ?");
    }
    Exec("COMMIT");
    m_buildSeconds = SecondsSince(started);
  }

  ~CFts5Peer() {
    for (auto* list : {&m_count, &m_page, &m_all}) {
      for (sqlite3_stmt* statement : *list) sqlite3_finalize(statement);
    }
    sqlite3_close(m_db);
  }
  CFts5Peer(const CFts5Peer&) = delete;
  CFts5Peer& operator=(const CFts5Peer&) = delete;

  double buildSeconds() const { return m_buildSeconds; }
  long MemoryUsed() const { return static_cast<long>(sqlite3_memory_used()); }

  // count(*) and the first page, two statements.
  void AnswerTwoStatements(const tPhraseQuery& query, tAnswer* answer) {
    MatchText(query);
    sqlite3_stmt* count = m_count[static_cast<size_t>(query.field)];
    sqlite3_bind_text(count, 1, m_match.data(), static_cast<int>(m_match.size()), SQLITE_STATIC);
    answer->total = sqlite3_step(count) == SQLITE_ROW ? sqlite3_column_int64(count, 0) : -3;
    sqlite3_reset(count);
    sqlite3_stmt* page = m_page[static_cast<size_t>(query.field)];
    sqlite3_bind_text(page, 1, m_match.data(), static_cast<int>(m_match.size()), SQLITE_STATIC);
    answer->page.clear();
    while (sqlite3_step(page) == SQLITE_ROW) {
      answer->page.push_back(static_cast<int32_t>(sqlite3_column_int64(page, 0)));
    }
    sqlite3_reset(page);
  }

  // One statement: every matching rowid is stepped through (rowid order), counted, and the
  // first page kept.
  void AnswerOnePass(const tPhraseQuery& query, tAnswer* answer) {
    MatchText(query);
    sqlite3_stmt* all = m_all[static_cast<size_t>(query.field)];
    sqlite3_bind_text(all, 1, m_match.data(), static_cast<int>(m_match.size()), SQLITE_STATIC);
    answer->page.clear();
    long total = 0;
    while (sqlite3_step(all) == SQLITE_ROW) {
      if (total < kPageSize) {
        answer->page.push_back(static_cast<int32_t>(sqlite3_column_int64(all, 0)));
      }
      ++total;
    }
    answer->total = total;
    sqlite3_reset(all);
  }

 private:
  void MatchText(const tPhraseQuery& query) {
    m_match.assign(1, '"');
    for (size_t j = 0; j < query.words.size(); ++j) {
      if (j > 0) m_match += ' ';
      m_match += 'w';
      m_match += std::to_string(query.words[j]);
    }
    m_match += '"';
  }

  void Check(int code, const char* what) const {
    if (code != SQLITE_OK) {
      std::fprintf(stderr, "sqlite %s: %s\n", what, sqlite3_errmsg(m_db));
      std::exit(1);
    }
  }
  void Exec(const std::string& sql) {
    char* error = nullptr;
    if (sqlite3_exec(m_db, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
      std::fprintf(stderr, "sqlite: %s: %s\n", sql.c_str(), error != nullptr ? error : "?");
      std::exit(1);
    }
  }
  sqlite3_stmt* Prepare(const std::string& sql) {
    sqlite3_stmt* statement = nullptr;
    Check(sqlite3_prepare_v2(m_db, sql.c_str(), -1, &statement, nullptr), sql.c_str());
    return statement;
  }

  sqlite3* m_db = nullptr;
  std::vector<sqlite3_stmt*> m_count;  // by field number
  std::vector<sqlite3_stmt*> m_page;
  std::vector<sqlite3_stmt*> m_all;
  std::string m_match;
  double m_buildSeconds = 0;
};

// --- running and reporting ----------------------------------------------------------------

using tEngine = std::function<void(const tPhraseQuery&, tAnswer*)>;

// CPU seconds of this thread: the machine is shared, and time spent descheduled is not the
// engine's.
double ThreadSeconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

struct tRound {
  double seconds = 0;
  double cpuSeconds = 0;
  std::vector<double> latencies;  // microseconds
};

tRound RunRound(const tEngine& engine, const std::vector<tPhraseQuery>& queries,
                std::vector<tAnswer>* answers) {
  tRound round;
  round.latencies.reserve(queries.size());
  tAnswer answer;
  double cpuStarted = ThreadSeconds();
  auto started = Clock::now();
  for (size_t i = 0; i < queries.size(); ++i) {
    auto start = Clock::now();
    engine(queries[i], answers != nullptr ? &(*answers)[i] : &answer);
    round.latencies.push_back(
        std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  round.seconds = SecondsSince(started);
  round.cpuSeconds = ThreadSeconds() - cpuStarted;
  return round;
}

double Percentile(std::vector<double> values, double fraction) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  size_t index = static_cast<size_t>(fraction * static_cast<double>(values.size() - 1) + 0.5);
  return values[std::min(index, values.size() - 1)];
}

// The record numbers of our page, found by matching its stored values against the store's
// values of the expected records; our page holds values, not record numbers.
bool PageMatches(const ResultPage& page, const CDataLineIndex& store, int storedCount,
                 const std::vector<int32_t>& expected) {
  if (page.returned != static_cast<int32_t>(expected.size())) return false;
  size_t offset = 0;
  size_t value = 0;
  for (int32_t record : expected) {
    for (int column = 0; column < storedCount; ++column, ++value) {
      int length = 0;
      const char* cell = store.GetCell(record, column, &length);
      if (value >= page.valueLengths.size() || page.valueLengths[value] != length ||
          offset + static_cast<size_t>(length) > page.text.size() ||
          (length > 0 && std::memcmp(page.text.data() + offset, cell, length) != 0)) {
        return false;
      }
      offset += static_cast<size_t>(length);
    }
  }
  return offset == page.text.size();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) {
    std::printf(
        "usage: %s BASE SCHEMA.dat TRIE WORDLIST [phrases=1000] [seed=7] [rounds=5] "
        "[xapian dir=/tmp/peer_bench_xapian]\n",
        argv[0]);
    return 1;
  }
  const int phraseCount = argc > 5 ? std::max(1, std::atoi(argv[5])) : 1000;
  const int seed = argc > 6 ? std::atoi(argv[6]) : 7;
  const int rounds = argc > 7 ? std::max(1, std::atoi(argv[7])) : 5;
  const std::string xapianDirectory = argc > 8 ? argv[8] : "/tmp/peer_bench_xapian";

  bench::CLoadedDataSet data;
  if (!data.Load(argv[1], argv[2], argv[3], argv[4])) return 1;
  const CFieldInfo& schema = data.schema;
  const CPDAT& trie = data.trie;
  const CDataLineIndex& store = *data.store;

  CSampler sampler(schema, trie, store, seed);
  if (!sampler.usable()) {
    std::printf("no indexed and stored field to sample queries from\n");
    return 1;
  }
  std::vector<tPhraseQuery> queries;
  for (int i = 0; i < phraseCount; ++i) queries.push_back(sampler.PhraseQuery());
  int byLength[4] = {0, 0, 0, 0};
  for (const tPhraseQuery& query : queries) ++byLength[std::min<size_t>(query.words.size(), 3)];
  std::printf("%zu phrase queries (seed %d): %d of 1 word, %d of 2, %d of 3; fields:",
              queries.size(), seed, byLength[1], byLength[2], byLength[3]);
  for (const tSampleField& field : sampler.fields()) {
    std::printf(" %s", schema.GetField(field.field).indexName.c_str());
  }
  std::printf("\n");

  CXapianPeer xapian(store, trie, sampler.fields(), xapianDirectory);
  std::printf("Xapian %s: database %s built in %.2f s, compacted to %s_compact in %.2f s\n",
              Xapian::version_string(), xapianDirectory.c_str(), xapian.buildSeconds(),
              xapianDirectory.c_str(), xapian.compactSeconds());
  CFts5Peer fts5(store, trie, sampler.fields());
  std::printf("SQLite %s FTS5: in-memory tables built (and optimised) in %.2f s, %.0f MB\n",
              sqlite3_libversion(), fts5.buildSeconds(),
              static_cast<double>(fts5.MemoryUsed()) / 1e6);

  const int storedCount = schema.GetListSize(LIST_STORED);
  CQuery query(schema, store);
  struct tNamedEngine {
    const char* name;
    tEngine run;
  };
  const std::vector<tNamedEngine> engines = {
      {"ours (Execute + GetPage)",
       [&](const tPhraseQuery& phrase, tAnswer* answer) {
         answer->total = query.Execute(phrase.text.c_str());
         query.GetPage(0, kPageSize);
       }},
      {"Xapian (phrase, exact)",
       [&](const tPhraseQuery& phrase, tAnswer* answer) { xapian.Answer(phrase, answer); }},
      {"FTS5 (count + page)", [&](const tPhraseQuery& phrase,
                                  tAnswer* answer) { fts5.AnswerTwoStatements(phrase, answer); }},
      {"FTS5 (one pass)",
       [&](const tPhraseQuery& phrase, tAnswer* answer) { fts5.AnswerOnePass(phrase, answer); }},
  };

  // Warm-up round with the answers kept and compared.
  std::vector<std::vector<tAnswer>> answers(engines.size(), std::vector<tAnswer>(queries.size()));
  for (size_t e = 0; e < engines.size(); ++e) RunRound(engines[e].run, queries, &answers[e]);
  int countMismatches = 0;
  int pageMismatches = 0;
  long hits = 0;
  for (size_t i = 0; i < queries.size(); ++i) {
    hits += answers[0][i].total;
    bool countsAgree = true;
    for (size_t e = 1; e < engines.size(); ++e) {
      countsAgree = countsAgree && answers[e][i].total == answers[0][i].total;
    }
    bool pagesAgree = true;
    for (size_t e = 2; e < engines.size(); ++e) {
      pagesAgree = pagesAgree && answers[e][i].page == answers[1][i].page;
    }
    query.Execute(queries[i].text.c_str());
    pagesAgree = pagesAgree &&
                 PageMatches(query.GetPage(0, kPageSize), store, storedCount, answers[1][i].page);
    if (!countsAgree || !pagesAgree) {
      if (countMismatches + pageMismatches < 10) {
        std::printf("disagreement on query %zu (%s):", i, queries[i].text.c_str());
        for (size_t e = 0; e < engines.size(); ++e) std::printf(" %ld", answers[e][i].total);
        std::printf("%s\n", pagesAgree ? "" : " (first pages differ)");
      }
      countMismatches += countsAgree ? 0 : 1;
      pageMismatches += pagesAgree ? 0 : 1;
    }
  }
  std::printf(
      "agreement: %zu queries, %d hit-count mismatches, %d first-page mismatches, %.1f "
      "hits per query on average\n",
      queries.size(), countMismatches, pageMismatches,
      static_cast<double>(hits) / static_cast<double>(queries.size()));

  // Timed rounds, engine after engine within each round.
  std::vector<std::vector<double>> rates(engines.size());
  std::vector<std::vector<double>> cpuRates(engines.size());
  std::vector<std::vector<double>> latencies(engines.size());
  for (int round = 0; round < rounds; ++round) {
    for (size_t e = 0; e < engines.size(); ++e) {
      tRound result = RunRound(engines[e].run, queries, nullptr);
      rates[e].push_back(static_cast<double>(queries.size()) / result.seconds);
      cpuRates[e].push_back(static_cast<double>(queries.size()) / result.cpuSeconds);
      latencies[e].insert(latencies[e].end(), result.latencies.begin(), result.latencies.end());
    }
  }
  std::vector<double> medians;
  std::vector<double> cpuMedians;
  std::printf(
      "one thread, %d timed rounds of %zu queries; medians over the rounds of queries/s "
      "by wall time and by thread CPU time; latency (wall) over all rounds:\n",
      rounds, queries.size());
  for (size_t e = 0; e < engines.size(); ++e) {
    medians.push_back(Percentile(rates[e], 0.5));
    cpuMedians.push_back(Percentile(cpuRates[e], 0.5));
    std::printf(
        "  %-26s %8.0f queries/s wall, %8.0f queries/s CPU, p50 %7.1f us, p99 %8.1f us "
        "(wall rounds:",
        engines[e].name, medians.back(), cpuMedians.back(), Percentile(latencies[e], 0.5),
        Percentile(latencies[e], 0.99));
    for (double rate : rates[e]) std::printf(" %.0f", rate);
    std::printf(")\n");
  }
  // Mean latency by phrase length: latencies[e] holds the rounds one after the other, each
  // in query order.
  std::printf("mean us per query by words in the phrase (1 / 2 / 3):\n");
  for (size_t e = 0; e < engines.size(); ++e) {
    double sums[4] = {0, 0, 0, 0};
    for (size_t i = 0; i < latencies[e].size(); ++i) {
      sums[std::min<size_t>(queries[i % queries.size()].words.size(), 3)] += latencies[e][i];
    }
    std::printf("  %-26s", engines[e].name);
    for (int words = 1; words <= 3; ++words) {
      double count = static_cast<double>(byLength[words]) * rounds;
      std::printf(" %8.1f", count > 0 ? sums[words] / count : 0.0);
    }
    std::printf("\n");
  }
  for (size_t e = 1; e < engines.size(); ++e) {
    std::printf("ours / %-26s %6.2fx wall, %6.2fx CPU\n", engines[e].name, medians[0] / medians[e],
                cpuMedians[0] / cpuMedians[e]);
  }
  return countMismatches + pageMismatches == 0 ? 0 : 2;
}
