#include "server/http/suggest.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <nlohmann/json.hpp>
#include <vector>

#include "core/index/indexer_control.h"
#include "core/records/data_line_index.h"
#include "core/records/field_info.h"
#include "core/text/encoding.h"
#include "core/text/pdat.h"
#include "core/text/text_clean.h"
#include "core/text/word_list.h"
#include "server/search_data.h"

namespace {

constexpr size_t kMaxPrefixBytes = 64;
constexpr int kMaxCount = 100;

struct tSuggestion {
  int32_t word;
  int64_t records;
};

// Counts the records holding word `id` in any of the indexes at `positions`, over the set's
// own files (less the records its deletion list hides) and its delta; a record met before is
// marked in `seen` (one bit per record, zero again on return).
int64_t RecordsHolding(const CDataLineIndex& store, const std::vector<int>& positions, int32_t id,
                       std::vector<uint64_t>* seen, tQueryBudget* budget) {
  const int32_t recordCount = store.GetRecordCount();
  struct tList {
    const tINDEX_STRUCTURE* postings;
    int count;
    bool delta;
  };
  std::vector<tList> lists;
  for (const CDataLineIndex* part : {&store, store.delta()}) {
    if (part == nullptr) continue;
    for (int position : positions) {
      if (position >= part->GetIndexCount()) continue;
      int count = 0;
      const tINDEX_STRUCTURE* postings =
          part->GetIndexControl(position).GetIndexer().GetPostings(id, &count);
      if (postings == nullptr || count <= 0) continue;
      budget->Spend(static_cast<uint32_t>(count));
      lists.push_back({postings, count, part != &store});
    }
  }
  const int32_t deltaCount = store.delta() != nullptr ? store.delta()->GetRecordCount() : 0;
  // The set's record number of a posting, or -1 when it does not answer.
  auto recordOf = [&](const tList& list, int i) -> int32_t {
    const int32_t record = list.postings[i].record;
    if (list.delta) return record >= 0 && record < deltaCount ? store.DeltaGlobal(record) : -1;
    if (record < 0 || record >= store.GetOwnRecordCount() || store.deletions().IsDeleted(record)) {
      return -1;
    }
    return record < recordCount ? record : -1;
  };
  uint64_t* bits = seen->data();
  int64_t records = 0;
  for (const tList& list : lists) {
    for (int i = 0; i < list.count; ++i) {
      const int32_t record = recordOf(list, i);
      if (record < 0) continue;
      uint64_t& word = bits[record / 64];
      const uint64_t bit = uint64_t{1} << (record % 64);
      records += (word & bit) == 0 ? 1 : 0;
      word |= bit;
    }
  }
  for (const tList& list : lists) {
    for (int i = 0; i < list.count; ++i) {
      const int32_t record = recordOf(list, i);
      if (record >= 0) bits[record / 64] = 0;
    }
  }
  return records;
}

}  // namespace

tHttpResponse SuggestAnswer(const std::optional<std::string>& prefix,
                            const std::optional<std::string>& count, const CSearchData* data,
                            const tSearchLimits& limits) {
  if (!prefix || prefix->empty()) return ErrorAnswer(400, "give the first letters as prefix=");
  if (prefix->size() > kMaxPrefixBytes) {
    return ErrorAnswer(400, "prefix is longer than " + std::to_string(kMaxPrefixBytes) + " bytes");
  }
  std::string gbk;
  std::string message;
  if (!ArgumentToGbk(*prefix, &gbk, &message)) return ErrorAnswer(400, message);
  NormalizeText(&gbk[0]);
  gbk.resize(std::strlen(gbk.c_str()));
  if (gbk.find_first_not_of(" \t\r\n") == std::string::npos) {
    return ErrorAnswer(400, "give the first letters as prefix=");
  }
  int32_t wanted = 10;
  if (count && (!ParseInteger(*count, &wanted) || wanted < 1 || wanted > kMaxCount)) {
    return ErrorAnswer(400, "count must be 1 to " + std::to_string(kMaxCount));
  }
  if (data == nullptr) return ErrorAnswer(503, "the data set is loading");

  tQueryBudget budget;
  if (limits.query.timeoutMs > 0) {
    budget.timed = true;
    budget.deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(limits.query.timeoutMs);
  }
  const CFieldInfo& schema = data->schema();
  const CDataLineIndex& store = data->store();
  std::vector<int> positions;
  for (int field = 1; field < schema.GetFieldCount(); ++field) {
    if (!schema.GetField(field).isIndexed) continue;
    const int position = schema.GetListPosition(field, LIST_INDEXED);
    if (position >= 0 && position < store.GetIndexCount()) positions.push_back(position);
  }
  std::vector<uint64_t> seen((static_cast<size_t>(std::max(store.GetRecordCount(), 0)) + 63) / 64,
                             0);
  std::vector<tSuggestion> found;
  const CWordList& words = data->wordList();
  for (int32_t id = 0; id < words.GetTableSize(); ++id) {
    if (!budget.Spend(1)) break;
    const char* word = words.GetWord(id);
    if (word == nullptr || std::strncmp(word, gbk.c_str(), gbk.size()) != 0) continue;
    // A number that no stored word carries reads as another word: only the trie's own count.
    if (data->trie().LookupString(word) != id) continue;
    const int64_t records = RecordsHolding(store, positions, id, &seen, &budget);
    if (records > 0) found.push_back({id, records});
  }
  if (budget.expired) {
    tHttpResponse answer = ErrorAnswer(503, "the suggestions ran past the time budget of " +
                                                std::to_string(limits.query.timeoutMs) + " ms");
    answer.timedOut = true;
    return answer;
  }
  const size_t shown = std::min(found.size(), static_cast<size_t>(wanted));
  std::partial_sort(found.begin(), found.begin() + static_cast<std::ptrdiff_t>(shown), found.end(),
                    [&words](const tSuggestion& a, const tSuggestion& b) {
                      if (a.records != b.records) return a.records > b.records;
                      return std::strcmp(words.GetWord(a.word), words.GetWord(b.word)) < 0;
                    });
  nlohmann::ordered_json body;
  body["prefix"] = GbkToUtf8(gbk);
  nlohmann::ordered_json list = nlohmann::ordered_json::array();
  for (size_t i = 0; i < shown; ++i) {
    nlohmann::ordered_json one;
    one["word"] = GbkToUtf8(words.GetWord(found[i].word));
    one["records"] = found[i].records;
    list.push_back(std::move(one));
  }
  body["suggestions"] = std::move(list);
  tHttpResponse answer;
  answer.body = body.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
  return answer;
}
