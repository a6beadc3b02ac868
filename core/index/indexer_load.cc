// CIndexer's reading side: loading an index file (mapped in place, checked before use) and
// the postings of a term. Phrase lookups are in indexer_lookup.cc; the build is indexer.cc,
// its runs and saves indexer_runs.cc.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

#include "core/index/indexer.h"
#include "core/util/mapped_file.h"

bool CIndexer::Load(const char* path) { return LoadMapped(path, true); }

bool CIndexer::LoadMapped(const char* path, bool faultIn) {
  auto refuse = [path]() {
    std::printf("Error Open %s\n", path);
    return false;
  };
  // The file is mapped, not copied: the tables are read in place from the page cache.
  auto mapped = std::make_unique<CMappedFile>();
  if (!mapped->Map(path, faultIn)) return refuse();
  const int64_t size = static_cast<int64_t>(mapped->size());
  int32_t idCount = 0;
  int32_t postCount = 0;
  if (size < 8) return refuse();
  std::memcpy(&idCount, mapped->data(), 4);
  if (idCount < 0 || 8 + 8 * int64_t{idCount} > size) return refuse();
  std::memcpy(&postCount, mapped->data() + 4 + 8 * int64_t{idCount}, 4);
  if (postCount < 0 || 8 + 8 * (int64_t{idCount} + postCount) != size) return refuse();
  const auto* terms = reinterpret_cast<const tTermEntry*>(mapped->data() + 4);
  for (int32_t term = 0; term < idCount; ++term) {
    const tTermEntry& slot = terms[term];
    // A read-only table that was never loaded saves its empty slots as (0, -1).
    if (slot.count == 0 && slot.first == -1) continue;
    if (slot.count < 0 || slot.first < 0 || int64_t{slot.first} + slot.count > postCount) {
      return refuse();
    }
  }
  ReleaseBuildStorage();
  m_terms.reset();
  m_postings.reset();
  m_mapped = std::move(mapped);
  m_termTable = terms;
  m_postingTable =
      reinterpret_cast<const tINDEX_STRUCTURE*>(m_mapped->data() + 8 + 8 * int64_t{idCount});
  m_IDCount = idCount;
  m_nPostCount = postCount;
  m_readOnly = true;
  ResetRecordCounts();
  return true;
}

bool CIndexer::IsDamaged() const { return m_mapped != nullptr && m_mapped->faulted(); }

const tINDEX_STRUCTURE* CIndexer::GetPostings(int termId, int* count) const {
  *count = 0;
  if (!m_readOnly || termId < 0 || termId >= m_IDCount || m_termTable == nullptr) return nullptr;
  const tTermEntry& slot = m_termTable[termId];
  if (slot.count <= 0 || slot.first < 0) return nullptr;
  *count = slot.count;
  return m_postingTable + slot.first;
}
