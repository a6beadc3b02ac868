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
// Ownership: the trie is borrowed and must outlive the index. Thread safety: building is
// single-threaded. A read-only index is never written by Lookup, which keeps its
// segmentation scratch per thread, so any number of threads may call Lookup at once.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

#include "core/util/large_block.h"

class CMappedFile;
class CPDAT;

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
// reads the clock every kCheckEvery steps (a step is one word checked in one record) and
// stops once `deadline` has passed, setting `expired`; the result list is then incomplete and
// must not be answered.
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

  // Flattens the build lists into the term table and the posting array (releasing the
  // build storage) and makes the index read-only. False, nothing changed, when read-only.
  bool Finalize();

  // Finalizes (when building) and writes the index file. The file is written beside `path`
  // and renamed into place, so a failed save never leaves a truncated file under the real
  // name. Cannot create it: prints "Error Write %s\n", logs "Error open Indexer result file"
  // and returns false with the build lists intact. A failed write prints "Error Write %s\n"
  // and returns false.
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
  // cost follows the rarest word of the phrase (its records are the candidates; the other
  // words are found by galloping and binary search), not the first.
  // Work is counted against result->budget: a value of more words than it allows, or a
  // lookup past its deadline, leaves the list incomplete with the budget saying why.
  // Returns 0 (list untouched) on a building index, else 1. Thread-safe on a read-only
  // index.
  int Lookup(const char* text, CResultList* result) const;

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

  // Building state: a log of the added texts, each as (record, field tag, n, n term ids),
  // in chunks of fixed size. The position words follow from the ordinals, so a posting costs
  // 4 bytes here, half its final size, and adding is a sequential write; Finalize counts and
  // scatters the log into the posting array.
  std::vector<LargeArray<int32_t>> m_logChunks;
  int64_t m_logSize = 0;  // int32 values in the log
  // The last text logged: its record and its last position word; and whether some text
  // started before the previous one ended (then Finalize must check each slice's order).
  int32_t m_lastRecord = -1;
  int64_t m_lastPositionWord = 0;
  bool m_mayBeUnsorted = false;
  void AppendToLog(const int32_t* values, int64_t count);

  std::vector<int32_t> m_ids;  // AddText's segmentation scratch (building is one thread)
};
