// CIndexer's bounded build: sorted runs spilled to disk and merged into the index file.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <queue>
#include <string>
#include <utility>
#include <vector>

#include "core/index/indexer.h"
#include "core/util/daily_log.h"
#include "core/util/file_util.h"
#include "core/util/spill_file.h"

namespace {

// Runs merged at once; more are first merged in groups, so that a build of any size keeps
// few files open and few read buffers in memory.
constexpr size_t kMergeFanIn = 64;
constexpr size_t kReadBuffer = size_t{256} << 10;
// Postings copied per read while merging.
constexpr size_t kCopyPostings = 8192;

bool PostingLess(const tINDEX_STRUCTURE& a, const tINDEX_STRUCTURE& b) {
  return a.record < b.record || (a.record == b.record && a.position < b.position);
}

// Reads one run front to back: the head (term id, count) of the next entry, then its
// postings.
class CRunReader {
 public:
  explicit CRunReader(FilePtr file) : m_file(std::move(file)) {}
  // An index file read as a run: the heads come from its term table, the file stands at the
  // first posting, and the slices lie in term order.
  CRunReader(FilePtr file, const std::vector<tTermEntry>* table)
      : m_file(std::move(file)), m_table(table) {}

  // Reads the next head; false at the end of the run (or when it is damaged: *failed).
  bool Advance(bool* failed) {
    if (m_table != nullptr) {
      while (m_nextTerm < m_table->size() && (*m_table)[m_nextTerm].count == 0) ++m_nextTerm;
      if (m_nextTerm == m_table->size()) return false;
      term = static_cast<int32_t>(m_nextTerm);
      count = (*m_table)[m_nextTerm].count;
      ++m_nextTerm;
      return true;
    }
    int32_t head[2];
    size_t got = std::fread(head, sizeof(int32_t), 2, m_file.get());
    if (got == 0 && std::feof(m_file.get())) return false;
    if (got != 2 || head[1] < 0) {
      *failed = true;
      return false;
    }
    term = head[0];
    count = head[1];
    return true;
  }

  bool ReadPostings(tINDEX_STRUCTURE* postings, size_t wanted) {
    return wanted == 0 ||
           std::fread(postings, sizeof(tINDEX_STRUCTURE), wanted, m_file.get()) == wanted;
  }

  int32_t term = 0;
  int32_t count = 0;

 private:
  FilePtr m_file;
  const std::vector<tTermEntry>* m_table = nullptr;
  size_t m_nextTerm = 0;
};

}  // namespace

bool CIndexer::StartFromFile(const std::string& path, int32_t lastRecord, std::string* error) {
  auto refuse = [&](const std::string& why) {
    *error = path + ": " + why;
    return false;
  };
  if (m_readOnly || m_log.size > 0 || !m_runs.empty() || !m_basePath.empty()) {
    return refuse("the index has postings already");
  }
  FilePtr file = OpenFile(path, "rb");
  if (!file) return refuse("cannot be opened");
  const int64_t size = FileSize(file.get());
  int32_t idCount = 0;
  if (std::fread(&idCount, 4, 1, file.get()) != 1 || idCount != m_IDCount) {
    return refuse("was built with another dictionary");
  }
  std::vector<tTermEntry> table(static_cast<size_t>(idCount));
  int32_t postCount = 0;
  if ((idCount > 0 &&
       std::fread(table.data(), sizeof(tTermEntry), table.size(), file.get()) != table.size()) ||
      std::fread(&postCount, 4, 1, file.get()) != 1 || postCount < 0 ||
      size != 8 + 8 * (int64_t{idCount} + postCount)) {
    return refuse("is damaged");
  }
  // The slices must lie back to back in term order, as Save writes them.
  int64_t sum = 0;
  for (const tTermEntry& slot : table) {
    if (slot.count < 0 || (slot.count > 0 && slot.first != sum)) return refuse("is not in order");
    sum += slot.count;
  }
  if (sum != postCount) return refuse("is damaged");
  if (int64_t{postCount} > m_postingLimit) return refuse("holds more postings than allowed");
  m_runTotals.assign(table.size(), 0);
  for (size_t term = 0; term < table.size(); ++term) m_runTotals[term] = table[term].count;
  m_baseTable.swap(table);
  m_basePath = path;
  m_basePostingsOffset = 8 + 8 * int64_t{idCount};
  m_nPostCount = postCount;
  m_lastRecord = lastRecord;
  m_lastPositionWord = INT32_MAX;
  return true;
}

int64_t CIndexer::GetBuildBytes() const {
  // A logged posting takes 4 bytes; flattening adds 8 for the posting array.
  return m_log.bytes();
}

bool CIndexer::SpillRun(std::string* error) {
  if (m_readOnly) {
    *error = "the index is read-only";
    return false;
  }
  return WriteRun(DetachLog(), error);
}

CIndexer::tLog CIndexer::DetachLog() {
  tLog log;
  std::swap(log, m_log);
  return log;
}

bool CIndexer::WriteRun(tLog log, std::string* error) {
  if (log.size == 0) return true;
  if (m_runPrefix.empty()) {
    *error = "no folder for the runs of the index";
    return false;
  }
  Step("run");
  LargeArray<tTermEntry> terms;
  LargeArray<tINDEX_STRUCTURE> postings;
  FlattenLog(log, &terms, &postings);
  const bool mayBeUnsorted = log.mayBeUnsorted;
  log = tLog();  // the log's memory is free before the run is written
  auto run = std::make_unique<CSpillFile>(m_runPrefix + ".run" + std::to_string(m_runsMade++));
  bool written = run->Create();
  if (m_runTotals.empty()) m_runTotals.assign(static_cast<size_t>(m_IDCount), 0);
  for (int32_t term = 0; written && term < m_IDCount; ++term) {
    const tTermEntry& slot = terms[term];
    if (slot.count == 0) continue;
    const int32_t head[2] = {term, slot.count};
    written = run->Write(head, sizeof head) &&
              run->Write(postings.get() + slot.first,
                         sizeof(tINDEX_STRUCTURE) * static_cast<size_t>(slot.count));
    m_runTotals[static_cast<size_t>(term)] += slot.count;
  }
  written = run->Close() && written;
  if (!written) {
    *error = "cannot write " + run->path();
    return false;
  }
  m_runs.push_back(std::move(run));
  if (mayBeUnsorted) m_runsUnsorted = true;
  return true;
}

bool CIndexer::MergeRuns(size_t first, size_t last, std::FILE* out, bool withHeaders,
                         bool withBase) const {
  std::vector<CRunReader> readers;
  readers.reserve(last - first + 1);
  // (term id, run) of every run's next entry: runs with the same term come out in run order.
  using Head = std::pair<int32_t, size_t>;
  std::priority_queue<Head, std::vector<Head>, std::greater<Head>> heads;
  bool failed = false;
  if (withBase) {
    FilePtr file = OpenFile(m_basePath, "rb");
    if (!file) return false;
    std::setvbuf(file.get(), nullptr, _IOFBF, kReadBuffer);
    if (fseeko(file.get(), static_cast<off_t>(m_basePostingsOffset), SEEK_SET) != 0) return false;
    readers.emplace_back(std::move(file), &m_baseTable);
    if (readers.back().Advance(&failed)) heads.push({readers.back().term, 0});
  }
  for (size_t run = first; run < last; ++run) {
    FilePtr file = m_runs[run]->OpenForReading(kReadBuffer);
    if (!file) return false;
    readers.emplace_back(std::move(file));
    if (readers.back().Advance(&failed)) heads.push({readers.back().term, readers.size() - 1});
    if (failed) return false;
  }
  std::vector<tINDEX_STRUCTURE> buffer(kCopyPostings);
  std::vector<size_t> group;
  std::vector<tINDEX_STRUCTURE> slice;
  while (!heads.empty()) {
    const int32_t term = heads.top().first;
    group.clear();
    int64_t total = 0;
    while (!heads.empty() && heads.top().first == term) {
      group.push_back(heads.top().second);
      total += readers[heads.top().second].count;
      heads.pop();
    }
    if (total > INT32_MAX) return false;
    if (withHeaders) {
      const int32_t head[2] = {term, static_cast<int32_t>(total)};
      if (std::fwrite(head, sizeof head, 1, out) != 1) return false;
    }
    if (m_runsUnsorted) {
      // Some run did not follow the one before: this term's postings are sorted whole.
      slice.resize(static_cast<size_t>(total));
      size_t at = 0;
      for (size_t reader : group) {
        size_t count = static_cast<size_t>(readers[reader].count);
        if (!readers[reader].ReadPostings(slice.data() + at, count)) return false;
        at += count;
      }
      if (!std::is_sorted(slice.begin(), slice.end(), PostingLess)) {
        std::sort(slice.begin(), slice.end(), PostingLess);
      }
      if (!slice.empty() &&
          std::fwrite(slice.data(), sizeof(tINDEX_STRUCTURE), slice.size(), out) != slice.size()) {
        return false;
      }
    } else {
      for (size_t reader : group) {
        for (size_t left = static_cast<size_t>(readers[reader].count); left > 0;) {
          size_t take = std::min(left, buffer.size());
          if (!readers[reader].ReadPostings(buffer.data(), take) ||
              std::fwrite(buffer.data(), sizeof(tINDEX_STRUCTURE), take, out) != take) {
            return false;
          }
          left -= take;
        }
      }
    }
    for (size_t reader : group) {
      if (readers[reader].Advance(&failed)) heads.push({readers[reader].term, reader});
      if (failed) return false;
    }
  }
  return true;
}

bool CIndexer::SaveMerged(const char* path) {
  auto fail = [path]() {
    std::printf("Error Write %s\n", path);
    return false;
  };
  std::string error;
  if (!SpillRun(&error)) return fail();  // the postings still in memory become the last run
  Step("merge");
  // Too many runs for one merge: merge them group by group into longer runs first.
  while (m_runs.size() > kMergeFanIn) {
    std::vector<std::unique_ptr<CSpillFile>> merged;
    for (size_t first = 0; first < m_runs.size(); first += kMergeFanIn) {
      size_t last = std::min(first + kMergeFanIn, m_runs.size());
      auto run = std::make_unique<CSpillFile>(m_runPrefix + ".run" + std::to_string(m_runsMade++));
      if (!run->Create() || !MergeRuns(first, last, run->get(), true, false) || !run->Close()) {
        return fail();
      }
      for (size_t used = first; used < last; ++used) m_runs[used].reset();  // removes them
      merged.push_back(std::move(run));
    }
    m_runs.swap(merged);
  }
  CPendingFile file(path);
  if (!file.Open()) {
    std::printf("Error Write %s\n", path);
    WriteLog("Error open Indexer result file");
    return false;
  }
  std::vector<tTermEntry> table(static_cast<size_t>(m_IDCount));
  int64_t sum = 0;
  for (int32_t term = 0; term < m_IDCount; ++term) {
    int32_t count = m_runTotals[static_cast<size_t>(term)];
    table[static_cast<size_t>(term)] = {count, static_cast<int32_t>(sum)};
    sum += count;
  }
  if (sum != m_nPostCount) return fail();
  bool written = file.Write(&m_IDCount, 4) &&
                 file.Write(table.data(), sizeof(tTermEntry) * table.size()) &&
                 file.Write(&m_nPostCount, 4) &&
                 MergeRuns(0, m_runs.size(), file.get(), false, !m_basePath.empty()) &&
                 file.Finish(true) && file.Commit();
  if (!written) return fail();
  // The index answers from the file it wrote, as a loaded one does; its pages are read only
  // if it is searched, so that the bound on memory holds through the save.
  ReleaseBuildStorage();
  return LoadMapped(path, false);
}
