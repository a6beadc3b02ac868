// Fuzz entries of the text readers and the query path: dictionary text, schema text,
// tag-value text, database configuration, cleaning and segmentation, query evaluation.
#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "core/query/query.h"
#include "core/query/text_query.h"
#include "core/records/field_info.h"
#include "core/scan/db_config.h"
#include "core/text/dictionary_reader.h"
#include "core/text/encoding.h"
#include "core/text/pdat.h"
#include "core/text/text_clean.h"
#include "core/text/word_list.h"
#include "core/util/file_util.h"
#include "core/util/tag_value.h"
#include "formats/xml_text.h"
#include "fuzz/fixture.h"
#include "fuzz/fuzz_entries.h"
#include "fuzz/fuzz_targets.h"
#include "testing/gbk_reference.h"
#include "testing/records/query_fixture.h"
#include "testing/records/reference_search.h"

namespace {

constexpr size_t kMaxDictionaryBytes = 8192;  // builds stay fast

std::string AsText(const uint8_t* data, size_t size) {
  return std::string(reinterpret_cast<const char*>(data), size);
}

}  // namespace

int FuzzDictionaryText(const uint8_t* data, size_t size) {
  if (size > kMaxDictionaryBytes) return 0;
  std::string path = WriteScratch("fuzz.dict", data, size);
  CPDAT trie;
  std::fflush(stdout);
  int count = trie.BuildFromText(path.c_str());
  if (count <= 0) return 0;
  FuzzCheck(trie.GetWordCount() == count, "word count");
  // Every word the reader yields is found, and by a number below the count.
  FilePtr file = OpenFile(path, "rb");
  CDictionaryReader reader(file.get(), kDictionaryPieceSize);
  const char* word = nullptr;
  int length = 0;
  while (reader.NextWord(&word, &length)) {
    int number = trie.LookupWord(word, length);
    FuzzCheck(number >= 0 && number < count, "dictionary word found");
  }
  // The trie's file loads back with the same answers; the word list built from the same
  // text too.
  std::string triePath = ScratchPath("fuzz.built.trie");
  FuzzCheck(trie.Save(triePath.c_str()), "save a built trie");
  CPDAT loaded;
  FuzzCheck(loaded.Load(triePath.c_str()), "load a saved trie");
  FuzzCheck(loaded.GetWordCount() == count, "loaded word count");
  CWordList list;
  list.BuildFromText(path.c_str(), loaded);
  std::string listPath = ScratchPath("fuzz.built.words");
  FuzzCheck(list.Save(listPath.c_str()), "save a word list");
  CWordList listLoaded;
  FuzzCheck(listLoaded.Load(listPath.c_str()), "load a saved word list");
  CDictionaryReader again(OpenFile(path, "rb").get(), kWordListPieceSize);
  while (again.NextWord(&word, &length)) {
    int number = loaded.LookupWord(word, length);
    if (number < 0) continue;
    const char* text = listLoaded.GetWord(number);
    FuzzCheck(text != nullptr, "word list holds every trie word");
  }
  return 1;
}

int FuzzSchemaText(const uint8_t* data, size_t size) {
  std::string path = WriteScratch("fuzz.schema.txt", data, size);
  CFieldInfo schema;
  if (!schema.ImportText(path.c_str())) return 0;
  // Whatever the import accepts, the binary loader accepts (mode 4 writes it for mode 5).
  std::string binary = schema.EncodeBinary();
  CFieldInfo decoded;
  FuzzCheck(decoded.DecodeBinary(binary.data(), binary.size()), "imported schema loads");
  FuzzCheck(decoded.EncodeBinary() == binary, "schema round trip");
  schema.ExportText(ScratchPath("fuzz.review.txt").c_str());
  return 1;
}

int FuzzTagValue(const uint8_t* data, size_t size) {
  std::string text = AsText(data, size);
  const char* keys[] = {"Table", "SortField", "DBConnectString", "SourceEncoding", "", "a"};
  for (const char* key : keys) {
    std::string value;
    if (GetTagValue(text.c_str(), key, &value)) {
      FuzzCheck(value.size() <= size, "value inside the text");
    }
    bool tooLong = false;
    GetTagValueLimited(text.c_str(), key, 16, &value, &tooLong);
    FuzzCheck(value.size() < 16 && (!tooLong || value.empty()), "limited value");
  }
  // The key is the input's first line, looked for in the rest.
  size_t newline = text.find('\n');
  if (newline != std::string::npos) {
    std::string value;
    GetTagValue(text.c_str() + newline + 1, text.substr(0, newline).c_str(), &value);
  }
  return 1;
}

int FuzzDbConfig(const uint8_t* data, size_t size) {
  std::string path = WriteScratch("fuzz.db.xml", data, size);
  CDBConfig config;
  if (!config.Load(path.c_str())) return 0;
  FuzzCheck(std::strlen(config.GetTable()) <= CDBConfig::kMaxValueLength, "table length");
  FuzzCheck(std::strlen(config.GetConnectString()) <= CDBConfig::kMaxValueLength,
            "connect string length");
  return 1;
}

int FuzzCleanSegment(const uint8_t* data, size_t size) {
  if (size > INT_MAX / 2) return 0;
  std::string text = AsText(data, size);
  std::vector<char> cleaned(size + 1);
  int length = -1;
  StripMarkup(text.data(), static_cast<int>(size), cleaned.data(), &length);
  FuzzCheck(length >= 0 && static_cast<size_t>(length) <= size && cleaned[length] == '\0',
            "markup removal never grows");
  // In place, as the store does it, gives the same bytes.
  std::string inPlace = text;
  inPlace.push_back('\0');
  int inPlaceLength = -1;
  StripMarkup(&inPlace[0], static_cast<int>(size), &inPlace[0], &inPlaceLength);
  FuzzCheck(inPlaceLength == length &&
                std::memcmp(inPlace.data(), cleaned.data(), static_cast<size_t>(length)) == 0,
            "in-place markup removal");
  size_t before = std::strlen(cleaned.data());
  NormalizeText(cleaned.data());
  size_t after = std::strlen(cleaned.data());
  FuzzCheck(after <= before, "normalisation never grows");
  const CPDAT& trie = Fixture().trie();
  std::vector<int32_t> ids;
  std::vector<char> tokens;
  int count = trie.Segment(cleaned.data(), &ids, &tokens);
  FuzzCheck(count >= 0 && static_cast<size_t>(count) <= after, "segment count");
  for (int i = 0; i < count; ++i) {
    FuzzCheck(ids[static_cast<size_t>(i)] >= 0 && ids[static_cast<size_t>(i)] < trie.GetWordCount(),
              "segment word number");
  }
  FuzzCheck(std::strlen(tokens.data()) <= 2 * after + 1, "token text");
  return 1;
}

int FuzzQuery(const uint8_t* data, size_t size) {
  std::string text = AsText(data, size);
  const CQueryFixture& fixture = Fixture();
  CQuery query(fixture.schema(), fixture.store());
  int total = query.Execute(text.c_str());
  FuzzCheck(total >= 0 && total <= fixture.store().GetRecordCount(), "total");
  // Pages: every hit once, in record order, values within the page's text.
  const int fieldCount = fixture.schema().GetListSize(LIST_STORED);
  FuzzCheck(query.GetPage(-1, 2).returned == 0 && query.GetPage(0, 0).returned == 0, "empty pages");
  int seen = 0;
  for (int start = 0; start <= total; start += 2) {
    const ResultPage& page = query.GetPage(start, 2);
    FuzzCheck(page.total == total, "page total");
    int expected = start >= total ? 0 : std::min(2, total - start);
    FuzzCheck(page.returned == expected && page.fieldCount == fieldCount, "page size");
    size_t sum = 0;
    for (int32_t length : page.valueLengths) sum += static_cast<size_t>(length);
    FuzzCheck(page.valueLengths.size() == static_cast<size_t>(page.returned * fieldCount) &&
                  sum == page.text.size(),
              "page values");
    seen += page.returned;
  }
  FuzzCheck(seen == total, "every hit on a page");
  // The brute-force model agrees, when every value stays the same cleaned again (the model
  // removes markup from the values it is given and normalises them, as stored text is
  // prepared; the engine normalises query values only).
  std::vector<tReferenceCondition> conditions;
  for (const tCondition& condition : query.GetConditions()) {
    if (condition.kind == ConditionKind::kNeither) continue;
    for (const std::string& value : condition.values) {
      std::string again = value + '\0';
      int length = 0;
      StripMarkup(&again[0], static_cast<int>(value.size()), &again[0], &length);
      NormalizeText(&again[0]);
      if (std::string(again.c_str()) != value) return 1;
    }
    conditions.push_back(
        {condition.field, condition.values, condition.orFlag == OperatorWord::kOr});
  }
  std::vector<int> expected = fixture.reference().Search(conditions);
  if (static_cast<int>(expected.size()) != total) {
    std::fprintf(stderr, "query: %d hits, reference: %zu\n", total, expected.size());
    for (const tCondition& condition : query.GetConditions()) {
      std::fprintf(stderr, "condition field %d kind %d:", condition.field,
                   static_cast<int>(condition.kind));
      for (const std::string& value : condition.values)
        std::fprintf(stderr, " [%s]", value.c_str());
      std::fprintf(stderr, "\n");
    }
  }
  FuzzCheck(static_cast<int>(expected.size()) == total, "query agrees with the reference");
  return 1;
}

namespace {

constexpr int kTextTerms = 64;

// The set a tree stands for, by set algebra over the engine's answers to its terms one by
// one; false when a term is refused.
bool TextModel(const tTextNode& node, CQuery* engine, bool* restricts, std::vector<int32_t>* set) {
  *restricts = false;
  set->clear();
  if (node.kind == TextNodeKind::kTerm) {
    tTextEvaluation evaluation;
    if (!EvaluateTextQuery(node, "*", Fixture().schema(), engine, &evaluation)) return false;
    *restricts = evaluation.unrestricting.empty();
    for (const tINDEX_STRUCTURE& hit : engine->GetHits()) set->push_back(hit.record);
    return true;
  }
  std::vector<int32_t> child;
  std::vector<int32_t> excluded;
  std::vector<int32_t> merged;
  bool childRestricts = false;
  for (const tTextNode& member : node.children) {
    const bool exclusion = member.kind == TextNodeKind::kNot;
    if (!TextModel(exclusion ? member.children.front() : member, engine, &childRestricts, &child)) {
      return false;
    }
    if (!childRestricts) continue;
    merged.clear();
    if (exclusion) {
      std::set_union(excluded.begin(), excluded.end(), child.begin(), child.end(),
                     std::back_inserter(merged));
      excluded.swap(merged);
      continue;
    }
    if (!*restricts) {
      set->swap(child);
      *restricts = true;
      continue;
    }
    if (node.kind == TextNodeKind::kAny) {
      std::set_union(set->begin(), set->end(), child.begin(), child.end(),
                     std::back_inserter(merged));
    } else {
      std::set_intersection(set->begin(), set->end(), child.begin(), child.end(),
                            std::back_inserter(merged));
    }
    set->swap(merged);
  }
  merged.clear();
  std::set_difference(set->begin(), set->end(), excluded.begin(), excluded.end(),
                      std::back_inserter(merged));
  set->swap(merged);
  return true;
}

int TreeDepth(const tTextNode& node) {
  int depth = 0;
  for (const tTextNode& child : node.children) depth = std::max(depth, TreeDepth(child));
  return depth + 1;
}

}  // namespace

// The search-box language: a rejection says where within the text; an accepted text has at
// most the allowed terms and a bounded tree, and its hits are the set algebra of its terms'
// answers (ascending, within the data set).
int FuzzTextQuery(const uint8_t* data, size_t size) {
  const std::string text = AsText(data, size);
  const tTextParse parse = ParseTextQuery(text, kTextTerms);
  const size_t bytes = std::strlen(text.c_str());
  if (!parse.ok) {
    FuzzCheck(!parse.error.empty() && parse.position <= bytes, "error and its position");
    return 0;
  }
  FuzzCheck(parse.terms >= 1 && parse.terms <= kTextTerms, "term count");
  FuzzCheck(TreeDepth(parse.root) <= 2 * kMaxTextDepth + 2, "tree depth");
  FuzzCheck(!DescribeTextTree(parse.root).empty(), "description");
  CQuery engine(Fixture().schema(), Fixture().store());
  engine.SetLimits({kTextTerms, 0});
  tTextEvaluation evaluation;
  if (!EvaluateTextQuery(parse.root, "*", Fixture().schema(), &engine, &evaluation)) {
    FuzzCheck(!evaluation.error.empty() && evaluation.position <= bytes, "evaluation error");
    return 1;
  }
  if (engine.stop() != QueryStop::kNone) return 1;
  std::vector<int32_t> hits;
  for (const tINDEX_STRUCTURE& hit : engine.GetHits()) hits.push_back(hit.record);
  FuzzCheck(
      std::adjacent_find(hits.begin(), hits.end(), std::greater_equal<int32_t>()) == hits.end() &&
          (hits.empty() || (hits.front() >= 0 && hits.back() < Fixture().store().GetRecordCount())),
      "hits ascending within the data set");
  bool restricts = false;
  std::vector<int32_t> model;
  FuzzCheck(TextModel(parse.root, &engine, &restricts, &model), "terms evaluate one by one");
  if (!restricts) model.clear();
  FuzzCheck(model == hits, "text query agrees with set algebra over its terms");
  return 1;
}

// Stored GBK values as the JSON page and the XML document show them: the one-pass decoding
// must give exactly what the character-by-character reference gives, valid UTF-8, within
// four bytes per input byte.
int FuzzGbkToUtf8(const uint8_t* data, size_t size) {
  const std::string gbk = AsText(data, size);
  std::string utf8 = "prefix";
  AppendGbkAsUtf8(gbk.data(), gbk.size(), &utf8);
  FuzzCheck(utf8.compare(0, 6, "prefix") == 0, "appends to what was there");
  utf8.erase(0, 6);
  FuzzCheck(utf8 == ReferenceGbkToUtf8(gbk), "UTF-8 as the reference decodes it");
  FuzzCheck(IsValidUtf8(utf8), "valid UTF-8");
  FuzzCheck(utf8.size() <= 4 * size, "bounded growth");
  std::string text;
  AppendDocumentText(gbk.data(), gbk.size(), &text);
  FuzzCheck(text == ReferenceDocumentText(gbk), "XML text as the reference cleans it");
  FuzzCheck(text.size() <= size, "XML text never grows");
  return 1;
}
