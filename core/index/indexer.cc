#include "core/index/indexer.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <type_traits>

#include "core/text/daily_log.h"
#include "core/text/file_util.h"
#include "core/text/pdat.h"

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

CIndexer::CIndexer(const CPDAT* trie, bool readOnly, bool append)
    : m_trie(trie), m_readOnly(readOnly), m_append(append) {
  if (trie != nullptr) {
    m_IDCount = std::max(trie->GetMaxIndex() + 1, trie->GetWordCount());
    if (m_IDCount < 0) m_IDCount = 0;
  }
  if (m_readOnly) {
    m_terms.reset(new tTermEntry[static_cast<size_t>(m_IDCount)]);
    for (int32_t term = 0; term < m_IDCount; ++term) m_terms[term] = {0, -1};
  } else {
    m_ids.reserve(1000);
  }
}

CIndexer::~CIndexer() = default;

// --- building ------------------------------------------------------------------------------

void CIndexer::AppendToLog(const int32_t* values, int64_t count) {
  while (count > 0) {
    int64_t used = m_logSize & (kChunkValues - 1);
    if (used == 0 && (m_logSize >> kChunkShift) == static_cast<int64_t>(m_logChunks.size())) {
      m_logChunks.emplace_back(new int32_t[kChunkValues]);
    }
    int64_t take = std::min(count, kChunkValues - used);
    std::memcpy(m_logChunks[static_cast<size_t>(m_logSize >> kChunkShift)].get() + used, values,
                static_cast<size_t>(take) * sizeof(int32_t));
    values += take;
    count -= take;
    m_logSize += take;
  }
}

bool CIndexer::AddText(const char* text, int record, int fieldTag) {
  if (m_readOnly || text == nullptr || record < 0 || fieldTag < 0 || fieldTag > kNoTag ||
      m_trie == nullptr) {
    return false;
  }
  int count = m_trie->Segment(text, &m_ids, nullptr);
  count = std::min(count, static_cast<int>(m_ids.size()));
  if (count <= 0) return true;
  if (int64_t{m_nPostCount} + count > INT32_MAX) return false;  // the file counts are int32
  // Position words must stay int32: tag * 256 + ordinal below 2^31.
  int64_t base = fieldTag == kNoTag ? 0 : int64_t{fieldTag} << kTagShift;
  if (base + count - 1 > INT32_MAX) return false;
  // Ids outside the table cannot come from a trie whose slots were counted at construction;
  // they are dropped here (their ordinals stay used) so that Finalize can trust the log.
  int kept = 0;
  for (int ordinal = 0; ordinal < count; ++ordinal) {
    int32_t termId = m_ids[static_cast<size_t>(ordinal)];
    if (termId < 0 || termId >= m_IDCount) {
      m_ids[static_cast<size_t>(ordinal)] = -1;
    } else {
      ++kept;
    }
  }
  const int32_t header[3] = {record, fieldTag, count};
  AppendToLog(header, 3);
  AppendToLog(m_ids.data(), count);
  m_nPostCount += kept;
  return true;
}

void CIndexer::ReleaseBuildStorage() {
  std::vector<std::unique_ptr<int32_t[]>>().swap(m_logChunks);
  m_logSize = 0;
  std::vector<int32_t>().swap(m_ids);
}

namespace {

// Reads the build log front to back.
class CLogReader {
 public:
  CLogReader(const std::vector<std::unique_ptr<int32_t[]>>& chunks, int64_t size)
      : m_chunks(chunks), m_size(size) {}
  bool AtEnd() const { return m_position >= m_size; }
  int32_t Next() {
    int32_t value =
        m_chunks[static_cast<size_t>(m_position >> kChunkShift)][m_position & (kChunkValues - 1)];
    ++m_position;
    return value;
  }

 private:
  const std::vector<std::unique_ptr<int32_t[]>>& m_chunks;
  int64_t m_size;
  int64_t m_position = 0;
};

}  // namespace

bool CIndexer::Finalize() {
  if (m_readOnly) return false;
  // Pass 1: count each term's postings; the slots' first is the sum of all lower counts.
  std::unique_ptr<tTermEntry[]> terms(new tTermEntry[static_cast<size_t>(m_IDCount)]);
  for (int32_t term = 0; term < m_IDCount; ++term) terms[term] = {0, 0};
  for (CLogReader log(m_logChunks, m_logSize); !log.AtEnd();) {
    log.Next();  // record
    log.Next();  // tag
    for (int32_t count = log.Next(); count > 0; --count) {
      int32_t termId = log.Next();
      if (termId >= 0) ++terms[termId].count;
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
  std::unique_ptr<tINDEX_STRUCTURE[]> postings(
      new tINDEX_STRUCTURE[static_cast<size_t>(std::max(sum, 1))]);
  for (CLogReader log(m_logChunks, m_logSize); !log.AtEnd();) {
    int32_t record = log.Next();
    int32_t tag = log.Next();
    int32_t base = tag == kNoTag ? 0 : tag << kTagShift;
    int32_t count = log.Next();
    for (int32_t ordinal = 0; ordinal < count; ++ordinal) {
      int32_t termId = log.Next();
      if (termId >= 0) postings[next[static_cast<size_t>(termId)]++] = {record, base + ordinal};
    }
  }
  ReleaseBuildStorage();
  // Records are added in ascending order and a text's words in ascending ordinal, so a
  // slice is out of order only when records came out of order or a field of 256 or more
  // terms ran into the next tag's range (all-fields index): only such slices are sorted.
  for (int32_t term = 0; term < m_IDCount; ++term) {
    tINDEX_STRUCTURE* begin = postings.get() + terms[term].first;
    tINDEX_STRUCTURE* end = begin + terms[term].count;
    if (!std::is_sorted(begin, end, PostingLess)) std::sort(begin, end, PostingLess);
  }
  m_terms = std::move(terms);
  m_postings = std::move(postings);
  m_nPostCount = sum;
  m_readOnly = true;
  return true;
}

// --- files ---------------------------------------------------------------------------------

bool CIndexer::Save(const char* path) {
  CPendingFile file(path);
  if (!file.Open()) {
    std::printf("Error Write %s\n", path);
    WriteLog("Error open Indexer result file");
    return false;
  }
  Finalize();
  bool written =
      file.Write(&m_IDCount, 4) &&
      file.Write(m_terms.get(), sizeof(tTermEntry) * static_cast<size_t>(m_IDCount)) &&
      file.Write(&m_nPostCount, 4) &&
      file.Write(m_postings.get(), sizeof(tINDEX_STRUCTURE) * static_cast<size_t>(m_nPostCount)) &&
      file.Finish() && file.Commit();
  if (!written) {
    std::printf("Error Write %s\n", path);
    return false;
  }
  return true;
}

bool CIndexer::Load(const char* path) {
  auto refuse = [path]() {
    std::printf("Error Open %s\n", path);
    return false;
  };
  FilePtr file = OpenFile(path, "rb");
  if (!file) return refuse();
  const int64_t size = FileSize(file.get());
  int32_t idCount = 0;
  if (size < 8 || std::fread(&idCount, 4, 1, file.get()) != 1 || idCount < 0 ||
      8 + 8 * int64_t{idCount} > size) {
    return refuse();
  }
  std::unique_ptr<tTermEntry[]> terms(new tTermEntry[static_cast<size_t>(idCount)]);
  int32_t postCount = 0;
  if (std::fread(terms.get(), sizeof(tTermEntry), static_cast<size_t>(idCount), file.get()) !=
          static_cast<size_t>(idCount) ||
      std::fread(&postCount, 4, 1, file.get()) != 1 || postCount < 0 ||
      8 + 8 * (int64_t{idCount} + postCount) != size) {
    return refuse();
  }
  for (int32_t term = 0; term < idCount; ++term) {
    const tTermEntry& slot = terms[term];
    // A read-only table that was never loaded saves its empty slots as (0, -1).
    if (slot.count == 0 && slot.first == -1) continue;
    if (slot.count < 0 || slot.first < 0 || int64_t{slot.first} + slot.count > postCount) {
      return refuse();
    }
  }
  std::unique_ptr<tINDEX_STRUCTURE[]> postings(
      new tINDEX_STRUCTURE[static_cast<size_t>(std::max(postCount, 1))]);
  if (std::fread(postings.get(), sizeof(tINDEX_STRUCTURE), static_cast<size_t>(postCount),
                 file.get()) != static_cast<size_t>(postCount)) {
    return refuse();
  }
  ReleaseBuildStorage();
  m_terms = std::move(terms);
  m_postings = std::move(postings);
  m_IDCount = idCount;
  m_nPostCount = postCount;
  m_readOnly = true;
  return true;
}

const tINDEX_STRUCTURE* CIndexer::GetPostings(int termId, int* count) const {
  *count = 0;
  if (!m_readOnly || termId < 0 || termId >= m_IDCount || !m_terms) return nullptr;
  const tTermEntry& slot = m_terms[termId];
  if (slot.count <= 0 || slot.first < 0) return nullptr;
  *count = slot.count;
  return m_postings.get() + slot.first;
}
