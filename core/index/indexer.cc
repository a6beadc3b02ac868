#include "core/index/indexer.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <type_traits>

#include "core/text/pdat.h"
#include "core/util/mapped_file.h"
#include "core/util/spill_file.h"

static_assert(sizeof(tINDEX_STRUCTURE) == 8 && std::is_standard_layout<tINDEX_STRUCTURE>::value,
              "a posting is two int32 in file order");
static_assert(sizeof(tTermEntry) == 8 && std::is_standard_layout<tTermEntry>::value,
              "a term slot is two int32 in file order");

namespace {

constexpr int32_t kNoTag = 255;
constexpr int kTagShift = 8;  // position word = tag * 256 + ordinal

// The build log grows in chunks of this many int32 values (4 MiB), never reallocated.
constexpr int kChunkShift = 20;
constexpr int64_t kChunkValues = int64_t{1} << kChunkShift;

bool PostingLess(const tINDEX_STRUCTURE& a, const tINDEX_STRUCTURE& b) {
  return a.record < b.record || (a.record == b.record && a.position < b.position);
}

}  // namespace

CIndexer::CIndexer(const CPDAT* trie, bool readOnly)
    : CIndexer(trie != nullptr ? std::max(trie->GetMaxIndex() + 1, trie->GetWordCount()) : 0,
               readOnly) {
  m_trie = trie;
}

CIndexer::CIndexer(int32_t idCount, bool readOnly)
    : m_trie(nullptr), m_readOnly(readOnly), m_IDCount(std::max(idCount, 0)) {
  if (m_readOnly) {
    m_terms = AllocateLargeArray<tTermEntry>(static_cast<size_t>(m_IDCount));
    for (int32_t term = 0; term < m_IDCount; ++term) m_terms[term] = {0, -1};
    m_termTable = m_terms.get();
    ResetRecordCounts();
  } else {
    m_ids.reserve(1000);
  }
}

CIndexer::~CIndexer() = default;

// --- building ------------------------------------------------------------------------------

void CIndexer::AppendToLog(const int32_t* values, int64_t count) {
  while (count > 0) {
    int64_t used = m_log.size & (kChunkValues - 1);
    if (used == 0 && (m_log.size >> kChunkShift) == static_cast<int64_t>(m_log.chunks.size())) {
      m_log.chunks.push_back(AllocateLargeArray<int32_t>(kChunkValues));
    }
    int64_t take = std::min(count, kChunkValues - used);
    std::memcpy(m_log.chunks[static_cast<size_t>(m_log.size >> kChunkShift)].get() + used, values,
                static_cast<size_t>(take) * sizeof(int32_t));
    values += take;
    count -= take;
    m_log.size += take;
  }
}

bool CIndexer::AddText(const char* text, int record, int fieldTag) {
  if (m_readOnly || text == nullptr || m_trie == nullptr) return false;
  int count = m_trie->Segment(text, &m_ids, nullptr);
  count = std::min(count, static_cast<int>(m_ids.size()));
  return AddTerms(m_ids.data(), count, record, fieldTag);
}

bool CIndexer::AddTerms(const int32_t* ids, int count, int record, int fieldTag) {
  if (m_readOnly || record < 0 || fieldTag < 0 || fieldTag > kNoTag ||
      (ids == nullptr && count > 0)) {
    return false;
  }
  if (count <= 0) return true;
  // Position words must stay int32: tag * 256 + ordinal below 2^31.
  int64_t base = fieldTag == kNoTag ? 0 : int64_t{fieldTag} << kTagShift;
  if (base + count - 1 > INT32_MAX) return false;
  // Ids outside the table cannot come from a trie whose slots were counted at construction;
  // they stay in the log (keeping their ordinals) and Finalize skips them.
  int kept = 0;
  for (int ordinal = 0; ordinal < count; ++ordinal) {
    kept += static_cast<uint32_t>(ids[ordinal]) < static_cast<uint32_t>(m_IDCount);
  }
  if (int64_t{m_nPostCount} + kept > m_postingLimit) return false;  // the file counts are int32
  // The log stays in (record, position word) order while every text starts after the last
  // one ended; then every term's postings arrive sorted and Finalize need not check them.
  if (record < m_lastRecord || (record == m_lastRecord && base < m_lastPositionWord)) {
    m_log.mayBeUnsorted = true;
  }
  m_lastRecord = record;
  m_lastPositionWord = base + count - 1;
  m_log.firstRecord = std::min(m_log.firstRecord, record);
  m_log.lastRecord = std::max(m_log.lastRecord, record);
  const int32_t header[3] = {record, fieldTag, count};
  AppendToLog(header, 3);
  AppendToLog(ids, count);
  m_nPostCount += kept;
  return true;
}

void CIndexer::ReleaseBuildStorage() {
  m_log = tLog();
  m_lastRecord = -1;
  std::vector<int32_t>().swap(m_ids);
  m_runs.clear();  // removes the run files
  std::vector<int32_t>().swap(m_runTotals);
  m_basePath.clear();
  std::vector<tTermEntry>().swap(m_baseTable);
}

namespace {

// Reads the build log front to back.
class CLogReader {
 public:
  explicit CLogReader(const CIndexer::tLog& log) : m_chunks(log.chunks), m_size(log.size) {}
  bool AtEnd() const { return m_position >= m_size; }
  int32_t Next() {
    int32_t value =
        m_chunks[static_cast<size_t>(m_position >> kChunkShift)][m_position & (kChunkValues - 1)];
    ++m_position;
    return value;
  }

 private:
  const std::vector<LargeArray<int32_t>>& m_chunks;
  int64_t m_size;
  int64_t m_position = 0;
};

}  // namespace

int32_t CIndexer::FlattenLog(const tLog& log, LargeArray<tTermEntry>* termsOut,
                             LargeArray<tINDEX_STRUCTURE>* postingsOut) const {
  // Pass 1: count each term's postings; the slots' first is the sum of all lower counts.
  LargeArray<tTermEntry> terms = AllocateLargeArray<tTermEntry>(static_cast<size_t>(m_IDCount));
  for (int32_t term = 0; term < m_IDCount; ++term) terms[term] = {0, 0};
  auto inTable = [this](int32_t termId) {
    return static_cast<uint32_t>(termId) < static_cast<uint32_t>(m_IDCount);
  };
  for (CLogReader reader(log); !reader.AtEnd();) {
    reader.Next();  // record
    reader.Next();  // tag
    for (int32_t count = reader.Next(); count > 0; --count) {
      int32_t termId = reader.Next();
      if (inTable(termId)) ++terms[termId].count;
    }
  }
  std::vector<int32_t> next(static_cast<size_t>(m_IDCount));
  int32_t sum = 0;
  for (int32_t term = 0; term < m_IDCount; ++term) {
    terms[term].first = sum;
    next[static_cast<size_t>(term)] = sum;
    sum += terms[term].count;
  }
  // Pass 2: scatter the postings to their slices, in log order.
  LargeArray<tINDEX_STRUCTURE> postings =
      AllocateLargeArray<tINDEX_STRUCTURE>(static_cast<size_t>(sum));
  for (CLogReader reader(log); !reader.AtEnd();) {
    int32_t record = reader.Next();
    int32_t tag = reader.Next();
    int32_t base = tag == kNoTag ? 0 : tag << kTagShift;
    int32_t count = reader.Next();
    for (int32_t ordinal = 0; ordinal < count; ++ordinal) {
      int32_t termId = reader.Next();
      if (inTable(termId)) postings[next[static_cast<size_t>(termId)]++] = {record, base + ordinal};
    }
  }
  // Records are added in ascending order and a text's words in ascending ordinal, so a
  // slice can be out of order only when records came out of order or a field of 256 or more
  // terms ran into the next tag's range (all-fields index): only then are the slices checked,
  // and only the unsorted ones sorted.
  if (log.mayBeUnsorted) {
    for (int32_t term = 0; term < m_IDCount; ++term) {
      tINDEX_STRUCTURE* begin = postings.get() + terms[term].first;
      tINDEX_STRUCTURE* end = begin + terms[term].count;
      if (!std::is_sorted(begin, end, PostingLess)) std::sort(begin, end, PostingLess);
    }
  }
  *termsOut = std::move(terms);
  *postingsOut = std::move(postings);
  return sum;
}

bool CIndexer::Finalize() {
  if (m_readOnly) return false;
  LargeArray<tTermEntry> terms;
  LargeArray<tINDEX_STRUCTURE> postings;
  int32_t sum = FlattenLog(m_log, &terms, &postings);
  ReleaseBuildStorage();
  m_terms = std::move(terms);
  m_postings = std::move(postings);
  m_termTable = m_terms.get();
  m_postingTable = m_postings.get();
  m_nPostCount = sum;
  m_readOnly = true;
  ResetRecordCounts();
  return true;
}

void CIndexer::ResetRecordCounts() {
  m_countedTerms.clear();
  for (int32_t term = 0; term < m_IDCount; ++term) {
    if (m_termTable[term].count >= kCountKeptFrom) m_countedTerms.push_back(term);
  }
  m_countedTerms.shrink_to_fit();
  m_recordCounts.reset(new std::atomic<uint64_t>[m_countedTerms.size()]);
  for (size_t slot = 0; slot < m_countedTerms.size(); ++slot) {
    m_recordCounts[slot].store(UINT64_MAX, std::memory_order_relaxed);
  }
}
