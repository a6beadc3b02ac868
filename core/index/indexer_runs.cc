// CIndexer's saves: the index file written in one piece from memory, or merged from the
// sorted runs a bounded build spilled to disk (and the committed file that an appending run
// continues).
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
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
constexpr size_t kMergeFanIn = 256;
constexpr size_t kReadBuffer = size_t{128} << 10;
// The index file is written through a buffer of this size (the merge writes slice by slice).
constexpr size_t kWriteBuffer = size_t{1} << 20;
// Postings copied per read while merging.
constexpr size_t kCopyPostings = 8192;

// A run stores each term's postings in blocks of up to kBlockPostings, each a uint32 byte
// count and the postings as variable-length differences: of the record from the posting
// before (the block's first from 0), and of the position word from the one before when the
// record is the same, else the position word itself. Differences are taken modulo 2^32, so
// any postings round-trip; sorted ones take two to four bytes instead of eight.
constexpr size_t kBlockPostings = 8192;
constexpr size_t kMaxVarint = 5;
constexpr size_t kMaxBlockBytes = kBlockPostings * 2 * kMaxVarint;

size_t PutVarint(uint32_t value, uint8_t* out) {
  size_t n = 0;
  while (value >= 0x80) {
    out[n++] = static_cast<uint8_t>(value | 0x80);
    value >>= 7;
  }
  out[n++] = static_cast<uint8_t>(value);
  return n;
}

// Reads one value of at most five bytes from [*at, end); false when it runs past the end.
bool GetVarint(const uint8_t** at, const uint8_t* end, uint32_t* value) {
  uint32_t result = 0;
  for (int shift = 0; shift < 35 && *at < end; shift += 7) {
    const uint8_t byte = *(*at)++;
    result |= static_cast<uint32_t>(byte & 0x7F) << shift;
    if ((byte & 0x80) == 0) {
      *value = result;
      return true;
    }
  }
  return false;
}

// Encodes postings[0, count) (count <= kBlockPostings) as one block into `out`; returns the
// bytes used (at most kMaxBlockBytes).
size_t EncodeBlock(const tINDEX_STRUCTURE* postings, size_t count, uint8_t* out) {
  uint32_t record = 0;
  uint32_t position = 0;
  size_t used = 0;
  for (size_t i = 0; i < count; ++i) {
    const uint32_t nextRecord = static_cast<uint32_t>(postings[i].record);
    const uint32_t nextPosition = static_cast<uint32_t>(postings[i].position);
    const uint32_t recordStep = nextRecord - record;
    used += PutVarint(recordStep, out + used);
    used += PutVarint(recordStep == 0 ? nextPosition - position : nextPosition, out + used);
    record = nextRecord;
    position = nextPosition;
  }
  return used;
}

// Decodes a block of exactly `count` postings that fills [bytes, bytes + size).
bool DecodeBlock(const uint8_t* bytes, size_t size, size_t count, tINDEX_STRUCTURE* postings) {
  const uint8_t* at = bytes;
  const uint8_t* end = bytes + size;
  uint32_t record = 0;
  uint32_t position = 0;
  for (size_t i = 0; i < count; ++i) {
    uint32_t recordStep = 0;
    uint32_t positionValue = 0;
    if (!GetVarint(&at, end, &recordStep) || !GetVarint(&at, end, &positionValue)) return false;
    record += recordStep;
    position = recordStep == 0 ? position + positionValue : positionValue;
    postings[i] = {static_cast<int32_t>(record), static_cast<int32_t>(position)};
  }
  return at == end;
}

bool PostingLess(const tINDEX_STRUCTURE& a, const tINDEX_STRUCTURE& b) {
  return a.record < b.record || (a.record == b.record && a.position < b.position);
}

// Reads one run front to back: the head (term id, count) of the next entry, then its
// postings.
class CRunReader {
 public:
  explicit CRunReader(FilePtr file) : m_file(std::move(file)) {}
  // An index file read as a run: the heads come from its term table, the file stands at the
  // first posting, and the slices lie in term order, as plain postings.
  CRunReader(FilePtr file, const std::vector<tTermEntry>* table)
      : m_file(std::move(file)), m_table(table) {}

  // Reads the next head; false at the end of the run (or when it is damaged: *failed).
  bool Advance(bool* failed) {
    m_blockLeft = 0;
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
    m_entryLeft = static_cast<size_t>(count);
    return true;
  }

  // The next `wanted` postings of the current entry (no more than it has left).
  bool ReadPostings(tINDEX_STRUCTURE* postings, size_t wanted) {
    if (wanted == 0) return true;
    if (m_table != nullptr) {
      return std::fread(postings, sizeof(tINDEX_STRUCTURE), wanted, m_file.get()) == wanted;
    }
    while (wanted > 0) {
      if (m_blockLeft == 0 && !ReadBlock()) return false;
      const size_t take = std::min(wanted, m_blockLeft);
      std::memcpy(postings, m_block.data() + (m_blockSize - m_blockLeft),
                  take * sizeof(tINDEX_STRUCTURE));
      postings += take;
      wanted -= take;
      m_blockLeft -= take;
    }
    return true;
  }

  int32_t term = 0;
  int32_t count = 0;

 private:
  bool ReadBlock() {
    const size_t postings = std::min(m_entryLeft, kBlockPostings);
    uint32_t bytes = 0;
    if (postings == 0 || std::fread(&bytes, 4, 1, m_file.get()) != 1 || bytes == 0 ||
        bytes > kMaxBlockBytes) {
      return false;
    }
    m_encoded.resize(bytes);
    m_block.resize(kBlockPostings);
    if (std::fread(m_encoded.data(), 1, bytes, m_file.get()) != bytes ||
        !DecodeBlock(m_encoded.data(), bytes, postings, m_block.data())) {
      return false;
    }
    m_blockSize = postings;
    m_blockLeft = postings;
    m_entryLeft -= postings;
    return true;
  }

  FilePtr m_file;
  const std::vector<tTermEntry>* m_table = nullptr;
  size_t m_nextTerm = 0;
  size_t m_entryLeft = 0;  // postings of the current entry not yet decoded
  std::vector<uint8_t> m_encoded;
  std::vector<tINDEX_STRUCTURE> m_block;
  size_t m_blockSize = 0;
  size_t m_blockLeft = 0;  // decoded postings of m_block not yet read
};

// Writes `count` postings as the blocks of one run entry.
bool WriteBlocks(const tINDEX_STRUCTURE* postings, size_t count, std::vector<uint8_t>* scratch,
                 const std::function<bool(const void*, size_t)>& write) {
  scratch->resize(kMaxBlockBytes + 4);
  for (size_t done = 0; done < count;) {
    const size_t take = std::min(count - done, kBlockPostings);
    const uint32_t bytes =
        static_cast<uint32_t>(EncodeBlock(postings + done, take, scratch->data() + 4));
    std::memcpy(scratch->data(), &bytes, 4);
    if (!write(scratch->data(), bytes + 4)) return false;
    done += take;
  }
  return true;
}

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
  m_runsLastRecord = std::max(m_runsLastRecord, lastRecord);
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
  if (!m_runNames) {
    *error = "no folder for the runs of the index";
    return false;
  }
  Step("run");
  LargeArray<tTermEntry> terms;
  LargeArray<tINDEX_STRUCTURE> postings;
  FlattenLog(log, &terms, &postings);
  // Spills fall between records, so a run normally starts after the last record of the one
  // before, and each term's postings of the runs follow one another in order.
  if (log.firstRecord <= m_runsLastRecord) m_runsUnsorted = true;
  m_runsLastRecord = std::max(m_runsLastRecord, log.lastRecord);
  log = tLog();  // the log's memory is free before the run is written
  auto run = std::make_unique<CSpillFile>(m_runNames(m_runsMade++));
  bool written = run->Create();
  std::vector<uint8_t> scratch;
  const std::function<bool(const void*, size_t)> write = [&run](const void* data, size_t size) {
    return run->Write(data, size);
  };
  if (m_runTotals.empty()) m_runTotals.assign(static_cast<size_t>(m_IDCount), 0);
  for (int32_t term = 0; written && term < m_IDCount; ++term) {
    const tTermEntry& slot = terms[term];
    if (slot.count == 0) continue;
    const int32_t head[2] = {term, slot.count};
    written =
        run->Write(head, sizeof head) &&
        WriteBlocks(postings.get() + slot.first, static_cast<size_t>(slot.count), &scratch, write);
    m_runTotals[static_cast<size_t>(term)] += slot.count;
  }
  written = run->Close() && written;
  if (!written) {
    *error = "cannot write " + run->path();
    return false;
  }
  m_runs.push_back(std::move(run));
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
    FilePtr file = OpenFile(m_basePath, "rb", kReadBuffer);
    if (!file) return false;
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
  // Merged into a longer run (withHeaders), a term's postings are encoded in whole blocks as
  // they come; into the index file, they are written as they are.
  std::vector<tINDEX_STRUCTURE> pending;
  std::vector<uint8_t> scratch;
  const std::function<bool(const void*, size_t)> write = [out](const void* data, size_t size) {
    return std::fwrite(data, 1, size, out) == size;
  };
  auto emit = [&](const tINDEX_STRUCTURE* postings, size_t count) {
    if (!withHeaders) return std::fwrite(postings, sizeof(tINDEX_STRUCTURE), count, out) == count;
    while (count > 0) {
      const size_t take = std::min(count, kBlockPostings - pending.size());
      pending.insert(pending.end(), postings, postings + take);
      postings += take;
      count -= take;
      if (pending.size() == kBlockPostings) {
        if (!WriteBlocks(pending.data(), pending.size(), &scratch, write)) return false;
        pending.clear();
      }
    }
    return true;
  };
  auto endTerm = [&]() {
    const bool written = WriteBlocks(pending.data(), pending.size(), &scratch, write);
    pending.clear();
    return written;
  };
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
      if (!emit(slice.data(), slice.size())) return false;
    } else {
      for (size_t reader : group) {
        for (size_t left = static_cast<size_t>(readers[reader].count); left > 0;) {
          size_t take = std::min(left, buffer.size());
          if (!readers[reader].ReadPostings(buffer.data(), take) || !emit(buffer.data(), take)) {
            return false;
          }
          left -= take;
        }
      }
    }
    if (withHeaders && !endTerm()) return false;
    for (size_t reader : group) {
      if (readers[reader].Advance(&failed)) heads.push({readers[reader].term, reader});
      if (failed) return false;
    }
  }
  return true;
}

bool CIndexer::Save(const char* path) {
  if (!m_readOnly && (!m_runs.empty() || !m_basePath.empty())) return SaveMerged(path);
  CPendingFile file(path);
  if (!file.Open(kWriteBuffer)) {
    std::printf("Error Write %s\n", path);
    WriteLog("Error open Indexer result file");
    return false;
  }
  Finalize();
  bool written =
      file.Write(&m_IDCount, 4) &&
      file.Write(m_termTable, sizeof(tTermEntry) * static_cast<size_t>(m_IDCount)) &&
      file.Write(&m_nPostCount, 4) &&
      file.Write(m_postingTable, sizeof(tINDEX_STRUCTURE) * static_cast<size_t>(m_nPostCount)) &&
      file.Finish(true) && file.Commit();
  if (!written) {
    std::printf("Error Write %s\n", path);
    return false;
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
      auto run = std::make_unique<CSpillFile>(m_runNames(m_runsMade++));
      if (!run->Create() || !MergeRuns(first, last, run->get(), true, false) || !run->Close()) {
        return fail();
      }
      for (size_t used = first; used < last; ++used) m_runs[used].reset();  // removes them
      merged.push_back(std::move(run));
    }
    m_runs.swap(merged);
  }
  CPendingFile file(path);
  if (!file.Open(kWriteBuffer)) {
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
