// Fuzz entries of the saved-file loaders: trie, word list, binary schema, index, data line.
#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/index/indexer.h"
#include "core/index/phrase_keys.h"
#include "core/query/query.h"
#include "core/records/data_line_index.h"
#include "core/records/data_set_check.h"
#include "core/records/data_set_files.h"
#include "core/records/data_set_load.h"
#include "core/records/field_info.h"
#include "core/records/record_keys.h"
#include "core/scan/record_preparation.h"
#include "core/text/char_units.h"
#include "core/text/pdat.h"
#include "core/text/word_list.h"
#include "fuzz/fixture.h"
#include "fuzz/fuzz_entries.h"
#include "fuzz/fuzz_targets.h"
#include "testing/records/memory_rows.h"
#include "testing/records/query_fixture.h"

namespace {

// Texts every loaded trie or index is used on: the fixture's words, their joins, and bytes
// of every kind (single bytes, lone lead bytes, a lead byte at the end).
std::vector<std::string> ProbeTexts(const uint8_t* data, size_t size) {
  std::vector<std::string> texts = FixtureWords();
  std::string all;
  for (const std::string& word : FixtureWords()) all += word;
  texts.push_back(all);
  texts.push_back("\x80\x81\xFE\xFF a\xB0");
  // The input's last bytes, as any text might hold them (a NUL ends a text).
  size_t take = std::min<size_t>(size, 64);
  std::string tail(reinterpret_cast<const char*>(data + size - take), take);
  texts.push_back(tail.substr(0, tail.find('\0')));
  return texts;
}

// The segmentation of `text` only yields word numbers below the trie's count, and never
// more words than bytes.
void CheckSegment(const CPDAT& trie, const std::string& text) {
  std::vector<int32_t> ids;
  std::vector<char> tokens;
  int count = trie.Segment(text.c_str(), &ids, &tokens);
  FuzzCheck(count >= 0 && static_cast<size_t>(count) <= text.size(), "segment count");
  for (int i = 0; i < count; ++i) {
    FuzzCheck(ids[static_cast<size_t>(i)] >= 0 &&
                  ids[static_cast<size_t>(i)] < std::max(trie.GetWordCount(), 1),
              "segment word number");
  }
  FuzzCheck(std::strlen(tokens.data()) <= 2 * text.size() + 1, "segment token text");
}

}  // namespace

int FuzzTrie(const uint8_t* data, size_t size) {
  std::string path = WriteScratch("fuzz.trie", data, size);
  CPDAT trie;
  if (!trie.Load(path.c_str())) return 0;
  // Every table sized by the word count is backed by cells of the file.
  FuzzCheck(trie.GetWordCount() <= trie.GetMaxIndex() + 1, "word count backed by cells");
  for (const std::string& text : ProbeTexts(data, size)) {
    int word = trie.LookupString(text.c_str());
    FuzzCheck(word >= -1 && word < std::max(trie.GetWordCount(), 1), "lookup word number");
    CheckSegment(trie, text);
  }
  // What Load accepted, Save writes back unchanged (cell 0's old leaf form aside).
  std::string saved = WriteScratch("fuzz.saved.trie", "");
  FuzzCheck(trie.Save(saved.c_str()), "save a loaded trie");
  CPDAT again;
  FuzzCheck(again.Load(saved.c_str()), "load a saved trie");
  return 1;
}

int FuzzWordList(const uint8_t* data, size_t size) {
  std::string path = WriteScratch("fuzz.words", data, size);
  CWordList list;
  if (!list.Load(path.c_str())) return 0;
  const int table = list.GetTableSize();
  for (int number : {-1, 0, 1, table / 2, table - 1, table, INT_MAX}) {
    const char* word = list.GetWord(number);
    if (word != nullptr) FuzzCheck(std::strlen(word) < size, "word inside the file");
  }
  for (int number = 0; number < std::min(table, 4096); ++number) list.GetWord(number);
  return 1;
}

int FuzzBinarySchema(const uint8_t* data, size_t size) {
  CFieldInfo schema;
  if (!schema.DecodeBinary(reinterpret_cast<const char*>(data), size)) return 0;
  // A schema the loader accepts saves to the same bytes.
  FuzzCheck(schema.EncodeBinary() == std::string(reinterpret_cast<const char*>(data), size),
            "binary schema round trip");
  for (int list = 0; list < kListCount; ++list) {
    for (int position = 0; position < schema.GetListSize(list); ++position) {
      int field = schema.GetListMember(position, list);
      FuzzCheck(field >= 0 && schema.GetListPosition(field, list) == position, "member tables");
    }
  }
  for (int field = 0; field < schema.GetFieldCount(); ++field) {
    // A name holding a NUL cannot be asked for; the others find their own field.
    const std::string& name = schema.GetField(field).indexName;
    if (name.find('\0') != std::string::npos) continue;
    FuzzCheck(schema.FindField(name.c_str()) == field, "index names unique");
  }
  if (schema.GetFieldCount() > 64) return 1;  // use: small schemas only, to stay fast
  // Build a store with it: every field's column holds a value.
  CMemoryRow row;
  for (int field = 1; field < schema.GetFieldCount(); ++field) {
    row.Set(schema.GetField(field).name, TextValue(FixtureWords()[0] + " 12"));
  }
  CDataLineIndex store(schema, &Fixture().trie(), false);
  std::string error;
  for (int record = 0; record < 3; ++record) AddRecord(&store, row, &error);
  for (int record = 0; record < store.GetRecordCount(); ++record) {
    for (int column = 0; column < schema.GetListSize(LIST_STORED); ++column) {
      int length = 0;
      store.GetCell(record, column, &length);
    }
    for (int column = 0; column < schema.GetListSize(LIST_FILTER); ++column) {
      store.GetFilterValue(record, column);
    }
  }
  CQuery query(schema, store);
  query.Parse("[FIELD] * [AND] x");
  return 1;
}

int FuzzIndex(const uint8_t* data, size_t size) {
  std::string path = WriteScratch("fuzz.index", data, size);
  CIndexer index(&Fixture().trie(), true);
  if (!index.Load(path.c_str())) return 0;
  for (const std::string& text : ProbeTexts(data, size)) {
    CResultList result;
    index.Lookup(text.c_str(), &result);
    for (size_t i = 1; i < result.entries.size(); ++i) {
      FuzzCheck(result.entries[i - 1].record <= result.entries[i].record, "results in order");
    }
    index.Lookup(text.c_str(), &result);  // a second value narrows the first
    // The same postings read as keys, as contains lookups and relevance counts read them.
    std::vector<int32_t> ids;
    CutIntoUnits(text.c_str(), &ids);
    for (int32_t& id : ids) id %= std::max(index.GetIDCount(), 1);
    CResultList keys;
    keys.budget.maxWords = 64;
    LookupPhraseKeys(index, ids.data(), static_cast<int>(ids.size()), &keys);
    std::vector<int32_t> records;
    for (const tINDEX_STRUCTURE& entry : keys.entries) {
      FuzzCheck(records.empty() || records.back() < entry.record, "key lookup records ascend");
      records.push_back(entry.record);
    }
    LookupPhraseKeys(index, ids.data(), static_cast<int>(ids.size()), &keys);
    std::vector<int32_t> counts;
    CountPhraseOccurrences(index, ids.data(), static_cast<int>(ids.size()), records, &counts,
                           nullptr);
    FuzzCheck(counts.size() == records.size(), "a count per record");
  }
  for (int term = -1; term <= index.GetIDCount(); ++term) {
    int count = 0;
    const tINDEX_STRUCTURE* postings = index.GetPostings(term, &count);
    FuzzCheck(count >= 0 && (count == 0 || postings != nullptr), "posting slice");
    if (term > 4096) break;
  }
  return 1;
}

int FuzzFieldLengths(const uint8_t* data, size_t size) {
  // The fixture's data set with the input as its field-lengths file.
  static const std::string base = [] {
    const CFieldInfo& schema = Fixture().schema();
    WriteScratch(DataLinePath("lengthset"), ReadWhole(DataLinePath(FixtureBase())));
    for (size_t k = 0; k < static_cast<size_t>(schema.GetListSize(LIST_INDEXED)); ++k) {
      WriteScratch(IndexPath("lengthset", k), ReadWhole(IndexPath(FixtureBase(), k)));
      if (k > 0) WriteScratch(CharsPath("lengthset", k), ReadWhole(CharsPath(FixtureBase(), k)));
    }
    return ScratchPath("lengthset");
  }();
  WriteScratch(LengthsPath("lengthset"), data, size);
  const CFieldInfo& schema = Fixture().schema();
  CDataLineIndex store(schema, &Fixture().trie(), true);
  store.EnableContains();
  if (!store.Load(base.c_str())) return 0;
  for (int record = -1; record <= store.GetRecordCount(); ++record) {
    for (int position = -1; position <= schema.GetListSize(LIST_INDEXED); ++position) {
      FuzzCheck(store.GetFieldLength(record, position) >= 0, "field length");
    }
  }
  CQuery query(schema, store);
  query.SetMatch(MatchMode::kContains);
  for (const std::string& text : FixtureQueries()) {
    const int total = query.Execute(text.c_str());
    FuzzCheck(query.RankByRelevance({2.0, 1.0}, 10), "ranked without a budget");
    for (int i = 1; i < std::min(total, 10); ++i) {
      FuzzCheck(query.ScoreAt(i - 1) >= query.ScoreAt(i), "scores descend");
    }
  }
  return 1;
}

int FuzzChangeFiles(const uint8_t* data, size_t size) {
  // The fixture's data set with itself as its delta; the input's first half is the deletion
  // list, the rest the delta's record list, and the whole of it a sort-key file.
  static const std::string base = [] {
    const CFieldInfo& schema = Fixture().schema();
    for (const std::string& to : {std::string("changeset"), std::string("changeset.delta")}) {
      WriteScratch(DataLinePath(to), ReadWhole(DataLinePath(FixtureBase())));
      WriteScratch(LengthsPath(to), ReadWhole(LengthsPath(FixtureBase())));
      for (size_t k = 0; k < static_cast<size_t>(schema.GetListSize(LIST_INDEXED)); ++k) {
        WriteScratch(IndexPath(to, k), ReadWhole(IndexPath(FixtureBase(), k)));
        if (k > 0) WriteScratch(CharsPath(to, k), ReadWhole(CharsPath(FixtureBase(), k)));
      }
    }
    return ScratchPath("changeset");
  }();
  const size_t half = size / 2;
  WriteScratch(DeletedPath("changeset"), data, half);
  WriteScratch(DeltaRecordsPath("changeset"), data + half, size - half);
  WriteScratch(KeysPath("changeset"), data, size);
  const CFieldInfo& schema = Fixture().schema();
  CRecordKeys keys;
  if (keys.Load(KeysPath(base), Fixture().store().GetRecordCount())) {
    FuzzCheck(keys.size() == Fixture().store().GetRecordCount(), "key count");
  }
  tDATA_SET_CHECK check;
  check.contains = check.deleted = check.delta = true;
  std::unique_ptr<CDataLineIndex> store = LoadDataSetStore(schema, &Fixture().trie(), base, check);
  if (!store) return 0;
  FuzzCheck(
      store->GetLiveRecordCount() >= 0 && store->GetLiveRecordCount() <= store->GetRecordCount(),
      "live records");
  for (MatchMode match : {MatchMode::kWords, MatchMode::kContains}) {
    CQuery query(schema, *store);
    query.SetMatch(match);
    for (const std::string& text : FixtureQueries()) {
      const int total = query.Execute(text.c_str());
      FuzzCheck(total <= store->GetLiveRecordCount(), "hits within the live records");
      for (bool descending : {false, true}) {
        const ResultPage& page = query.GetPage(0, 10, descending);
        FuzzCheck(page.total == total && page.returned <= std::min(total, 10), "page counts");
      }
      for (const tINDEX_STRUCTURE& hit : query.GetHits()) {
        FuzzCheck(!store->IsDeleted(hit.record), "a deleted record answers");
      }
      FuzzCheck(query.RankByRelevance({2.0, 1.0}, 10), "ranked without a budget");
    }
  }
  return 1;
}

int FuzzDataLine(const uint8_t* data, size_t size) {
  // The fixture's index files with the input as the data-line file.
  static const std::string base = [] {
    std::string fuzzBase = ScratchPath("fuzzset");
    for (size_t k = 0; k < static_cast<size_t>(Fixture().schema().GetListSize(LIST_INDEXED)); ++k) {
      WriteScratch(IndexPath("fuzzset", k), ReadWhole(IndexPath(FixtureBase(), k)));
    }
    return fuzzBase;
  }();
  WriteScratch(DataLinePath("fuzzset"), data, size);
  const CFieldInfo& schema = Fixture().schema();
  CDataLineIndex store(schema, &Fixture().trie(), true);
  if (!store.Load(base.c_str())) return 0;
  const int records = store.GetRecordCount();
  for (int record = -1; record <= std::min(records, 256); ++record) {
    for (int column = -1; column <= schema.GetListSize(LIST_STORED); ++column) {
      int length = -1;
      store.GetCell(record, column, &length);
      FuzzCheck(length >= 0, "cell length");
    }
  }
  std::vector<tINDEX_STRUCTURE> results;
  for (int record = -1; record <= std::min(records, 64); ++record) results.push_back({record, 0});
  store.FilterResults(schema.FindField("year"), {"2005", "x"}, results.data(),
                      static_cast<int>(results.size()));
  CQuery query(schema, store);
  for (const std::string& text : FixtureQueries()) {
    int total = query.Execute(text.c_str());
    const ResultPage& page = query.GetPage(0, 10);
    FuzzCheck(page.total == total && page.returned <= std::min(total, 10), "page counts");
  }
  return 1;
}
