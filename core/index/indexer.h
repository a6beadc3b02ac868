// CIndexer: one inverted index. For every term id (the word number the dictionary trie gives
// a word) it keeps the places where the term occurs, each a tINDEX_STRUCTURE of record
// number and position word. The position word is field tag * 256 + term ordinal, or the bare
// ordinal when the field tag is 255 ("no tag"); the ordinal is added, not masked, so an
// ordinal of 256 or more runs into the next tag's range (the file format fixes this).
//
// Life: building (AddText ..., then Finalize or Save) or read-only (constructed read-only,
// then Load; or after Finalize/Save). A building index answers Lookup with 0; a read-only
// index refuses AddText and Finalize with false. There is no way back to building.
//
// Index file (little-endian int32, no header): m_IDCount, m_IDCount term slots of (count,
// first), m_nPostCount, then m_nPostCount postings of (record, position word); exactly
// 8 + 8 * (m_IDCount + m_nPostCount) bytes. Within each term's slice the postings stand in
// ascending (record, position word) order: Finalize sorts a term's list when, and only when,
// it arrived out of order (records added out of order, or a field of 256 or more terms in
// the all-fields index).
//
// Bounded build: with the names of its runs set (SetRunNames), SpillRun writes the postings
// logged so far to a sorted run file and frees them; Save then merges the runs, in
// the order they were spilled, into exactly the file an in-memory build writes (a term's
// postings come run by run, so runs must hold ascending records: spill between records).
// A run is a sequence of (term id, count, the count postings) in ascending term id, the two
// numbers int32 little-endian and the postings in blocks of delta-coded variable-length
// numbers (a third of the bytes of plain postings, so a large build reads and writes much
// less). Run files are removed when the index is saved or destroyed.
//
// Files: the reading side is indexer_load.cc (Load, postings) and indexer_lookup.cc (phrase
// lookups); the writing side is indexer.cc (construction, the build log, Finalize, the record
// counts kept for frequent terms) and indexer_runs.cc (runs, merges, Save).
//
// Ownership: the trie is borrowed and must outlive the index. Thread safety: building is
// single-threaded. A read-only index is never written by Lookup, which keeps its
// segmentation scratch per thread, so any number of threads may call Lookup at once.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/util/large_block.h"

class CMappedFile;
class CPDAT;
class CSpillFile;

// One posting, and one entry of a query's result list. record -1 marks an eliminated entry.
struct tINDEX_STRUCTURE {
  int32_t record;
  int32_t position;
};

// One slot of the flat term table: `count` postings from index `first` of the posting array.
struct tTermEntry {
  int32_t count;
  int32_t first;
};

// A query's result list. entries: ascending record order, record -1 = eliminated (until
// CompactResult). seeded: false while no value with recognised words has been applied;
// once true, an empty list means "nothing matches" for good.
// The work one query may do. maxWords bounds the dictionary words of one value (0: no
// bound); a value over it is not applied and sets tooManyWords. With `timed`, phrase matching
// reads the clock every kCheckEvery steps (a step is one skip of one word's cursor through its
// postings) and stops once `deadline` has passed, setting `expired`; the result list is then
// incomplete and must not be answered.
struct tQueryBudget {
  static constexpr uint32_t kCheckEvery = 4096;
  int maxWords = 0;
  bool timed = false;
  std::chrono::steady_clock::time_point deadline;
  bool expired = false;
  bool tooManyWords = false;
  uint32_t steps = 0;

  // Counts `units` steps; false once the deadline has passed.
  bool Spend(uint32_t units) {
    if (!timed) return true;
    steps += units;
    if (steps >= kCheckEvery) {
      steps = 0;
      if (std::chrono::steady_clock::now() >= deadline) expired = true;
    }
    return !expired;
  }
  bool stopped() const { return expired || tooManyWords; }
};

struct CResultList {
  std::vector<tINDEX_STRUCTURE> entries;
  bool seeded = false;
  tQueryBudget budget;  // reset by the query for every evaluation
};

// Removes the eliminated entries and keeps one entry per record (the list must be in
// ascending record order, holes aside). Only the record of a kept entry is meaningful
// afterwards. Returns the new count.
int CompactResult(std::vector<tINDEX_STRUCTURE>* result);

class CIndexer {
 public:
  // Term slots: m_IDCount = max(trie->GetMaxIndex() + 1, trie->GetWordCount()), so every word
  // number the trie can emit has a slot. Read-only: every slot count 0 and first -1, no
  // postings.
  CIndexer(const CPDAT* trie, bool readOnly);
  // An index over the fixed term ids 0 .. idCount-1 that needs no trie: its texts come
  // segmented (AddTerms) and its values as ids (LookupIds). AddText and Lookup answer as
  // for an index without a trie.
  CIndexer(int32_t idCount, bool readOnly);
  virtual ~CIndexer();
  CIndexer(const CIndexer&) = delete;
  CIndexer& operator=(const CIndexer&) = delete;

  // Adds the postings of one cleaned field text of `record`: the i-th dictionary word of the
  // text gets position word base + i (base 0 for tag 255, else fieldTag * 256). True also
  // when the text yields no term. False, nothing added, on a read-only index, for a null
  // text, a negative record or a tag outside 0..255.
  bool AddText(const char* text, int record, int fieldTag);

  // AddText for a text that the caller has segmented already: ids[0 .. count) are the word
  // numbers Segment gave it, in ordinal order. Gives exactly the postings AddText gives for
  // that text, so one segmentation can feed several indexes. Ids outside the table add no
  // posting but keep their ordinal. False, nothing added, where AddText is false (a null
  // `ids` with count > 0 too).
  bool AddTerms(const int32_t* ids, int count, int record, int fieldTag);

  // The most postings the index may hold (the file's counts are int32). AddTerms refuses a
  // text that would pass it. Tests lower it to reach the limit with small tables.
  void SetPostingLimit(int64_t limit) { m_postingLimit = limit; }
  int64_t GetPostingLimit() const { return m_postingLimit; }

  // Bounded build: the file name of run n (0, 1, ...; SpillRun and the merge of many runs make
  // them), and a hook called with "run" before each run is written and with "merge" before the
  // runs are merged (tests stop the process there).
  void SetRunNames(std::function<std::string(int)> names) { m_runNames = std::move(names); }
  void SetFaultHook(std::function<void(const char*)> hook) { m_hook = std::move(hook); }

  // Memory the building index holds for its postings, counted with what turning them into
  // the file's tables takes on top (the log, plus the sorted postings made from it).
  int64_t GetBuildBytes() const;

  // Writes the postings logged since the last run as the next sorted run and frees them.
  // Nothing logged: true, no file. False with the reason in *error when the run cannot be
  // written (full disk included) or no run prefix is set; the index is then unusable.
  // SpillRun is DetachLog then WriteRun.
  bool SpillRun(std::string* error);

  // The postings logged since the last run, as DetachLog hands them over.
  struct tLog {
    std::vector<LargeArray<int32_t>> chunks;
    int64_t size = 0;  // int32 values
    bool mayBeUnsorted = false;
    // The lowest and highest record logged (none: INT32_MAX and -1).
    int32_t firstRecord = INT32_MAX;
    int32_t lastRecord = -1;
    int64_t bytes() const { return size * 3 * static_cast<int64_t>(sizeof(int32_t)); }
  };
  // Takes the postings logged so far out of the index (which goes on with an empty log), so
  // that WriteRun can write them on another thread while more are added. The order checks
  // go on across the runs.
  tLog DetachLog();
  // Writes a detached log as the next run (nothing for an empty log) and frees it. Logs must
  // be written one at a time in the order they were detached; AddTerms and DetachLog may
  // run on another thread meanwhile, nothing else. False as SpillRun.
  bool WriteRun(tLog log, std::string* error);
  int GetRunCount() const { return static_cast<int>(m_runs.size()); }

  // Continues a committed index (an appending run): the postings of the index file at
  // `path`, written by Save for the same trie, come first in every term, before the runs and
  // the postings added afterwards, which must all be of records above `lastRecord`. Save then
  // merges them all (the file is read at the save, so it must stay in place until then).
  // False with *error when the file cannot be read or does not fit this index.
  bool StartFromFile(const std::string& path, int32_t lastRecord, std::string* error);

  // Flattens the build lists into the term table and the posting array (releasing the
  // build storage) and makes the index read-only. False, nothing changed, when read-only.
  bool Finalize();

  // Finalizes (when building; with runs, merges them instead) and writes the index file. The file
  // is written beside `path` and renamed into place, so a failed save never leaves a truncated file
  // under the real name. Cannot create it: prints "Error Write %s\n", logs "Error open Indexer
  // result file" and returns false with the build lists intact. A failed write prints "Error Write
  // %s\n" and returns false.
  bool Save(const char* path);

  // Replaces the index by the file's content and makes it read-only. A file that cannot be
  // opened, or whose size or slots disagree with its counts, is refused with
  // "Error Open %s\n" and false; the index then keeps its previous content.
  bool Load(const char* path);

  // Applies one query value to `result`: a value whose segmentation yields no dictionary
  // word leaves it alone; otherwise the value is a phrase and
  //  - an unseeded list is seeded with one entry per record that holds the phrase (and is
  //    marked seeded, even when no record does);
  //  - in a seeded list, every live entry whose record does not hold the phrase is set to
  //    record -1 (positions of the list are not used).
  // A record holds the phrase when, for some posting (record, p) of the first word, the
  // j-th word has a posting (record, p + j) for every j: adjacency is the position word + j
  // exactly as stored. In the all-fields index this keeps a phrase within one field, except
  // where a field of 256 or more words has run into the next tag's range: there the file
  // holds the same position word for two places and no reading can tell them apart. The
  // words' postings are intersected as sorted lists of (record, position word - j), each
  // word skipping by galloping to the furthest place another word has reached, rarest word
  // first: the cost follows the places where the words come close, not the longest list.
  // A seeded list takes part as one more list: an entry is looked at once, and postings
  // between entries are skipped.
  // Work is counted against result->budget: a value of more words than it allows, or a
  // lookup past its deadline, leaves the list incomplete with the budget saying why.
  // Returns 0 (list untouched) on a building index, else 1. Thread-safe on a read-only
  // index.
  int Lookup(const char* text, CResultList* result) const;
  // Lookup for a value already cut into term ids: ids[0 .. count) is the phrase (count 0:
  // the value restricts nothing).
  int LookupIds(const int32_t* ids, int count, CResultList* result) const;

  // For a value that Lookup cuts into exactly one dictionary word: true, with that word's
  // term id in *termId. False for a value of no word or of several, and on a building index.
  bool OneWordValue(const char* text, int32_t* termId) const;
  // The records that Lookup seeds a list with for the one-word value `termId`, counted
  // without listing them: their number, and in *lastRecord the highest of them (-1 when
  // none). A term of many postings is counted at its first call and the figures kept.
  // Thread-safe on a read-only index; -1 on a building one.
  int32_t CountRecords(int32_t termId, int32_t* lastRecord) const;

  // Read access for tests, tools and benchmarks.
  bool IsReadOnly() const { return m_readOnly; }
  // True once a lookup read past the end of the loaded file because the file was shortened
  // under it (only under InstallMappedFileGuard, see core/util/mapped_file.h): its answers
  // since then cannot be trusted.
  bool IsDamaged() const;
  int32_t GetIDCount() const { return m_IDCount; }
  int32_t GetPostCount() const { return m_nPostCount; }
  // The postings of `termId` (empty for ids outside the table or a building index).
  const tINDEX_STRUCTURE* GetPostings(int termId, int* count) const;

 private:
  void ReleaseBuildStorage();
  bool WriteFile(const char* path) const;
  bool LoadMapped(const char* path, bool faultIn);
  bool SaveMerged(const char* path);
  // Counts and scatters `log` into a term table and a posting array (each term's slice
  // sorted); returns the number of postings. The log is left as it is.
  int32_t FlattenLog(const tLog& log, LargeArray<tTermEntry>* terms,
                     LargeArray<tINDEX_STRUCTURE>* postings) const;
  bool MergeRuns(size_t first, size_t last, std::FILE* out, bool withHeaders, bool withBase) const;
  void Step(const char* name) const {
    if (m_hook) m_hook(name);
  }

  const CPDAT* m_trie;
  bool m_readOnly;

  int32_t m_IDCount = 0;
  int32_t m_nPostCount = 0;

  // Read-only state: the flat term table and posting array, exactly the file's bytes, either
  // owned (after Finalize) or mapped from the loaded file. The two pointers are what the read
  // path uses, whichever holds them.
  LargeArray<tTermEntry> m_terms;
  LargeArray<tINDEX_STRUCTURE> m_postings;
  std::unique_ptr<CMappedFile> m_mapped;
  const tTermEntry* m_termTable = nullptr;
  const tINDEX_STRUCTURE* m_postingTable = nullptr;
  // CountRecords' kept figures, for the terms of kCountKeptFrom postings or more (the others
  // are counted at every call, a pass over fewer postings than that): the terms in
  // ascending order, and beside each the count in the low half and the last record + 1 in
  // the high half, all ones until counted. Made whenever the index becomes read-only; at
  // most 12 bytes per kCountKeptFrom postings.
  static constexpr int32_t kCountKeptFrom = 4096;
  std::vector<int32_t> m_countedTerms;
  mutable std::unique_ptr<std::atomic<uint64_t>[]> m_recordCounts;
  void ResetRecordCounts();

  // Building state: a log of the added texts, each as (record, field tag, n, n term ids),
  // in chunks of fixed size. The position words follow from the ordinals, so a posting costs
  // 4 bytes here, half its final size, and adding is a sequential write; Finalize counts and
  // scatters the log into the posting array. m_log.mayBeUnsorted: some text started before
  // the previous one ended (then Finalize must check each slice's order).
  tLog m_log;
  // The last text logged: its record and its last position word.
  int32_t m_lastRecord = -1;
  int64_t m_lastPositionWord = 0;
  void AppendToLog(const int32_t* values, int64_t count);

  int64_t m_postingLimit = INT32_MAX;

  // Bounded build: the runs spilled so far, in order, and every term's postings in them
  // (written by WriteRun only).
  std::function<std::string(int)> m_runNames;
  std::vector<std::unique_ptr<CSpillFile>> m_runs;
  std::vector<int32_t> m_runTotals;  // per term id; empty until the first run
  int m_runsMade = 0;
  // Some run holds a record at or before the highest record of the runs (and the committed
  // file) before it; only then can a term's postings of two runs be out of order, and the
  // merge sorts each term whole. A run out of order within itself was sorted when written.
  bool m_runsUnsorted = false;
  int32_t m_runsLastRecord = -1;  // the highest record of the runs written and the base file
  // A committed index file whose postings precede the runs (StartFromFile).
  std::string m_basePath;
  std::vector<tTermEntry> m_baseTable;
  int64_t m_basePostingsOffset = 0;
  std::function<void(const char*)> m_hook;

  std::vector<int32_t> m_ids;  // AddText's segmentation scratch (building is one thread)
};
