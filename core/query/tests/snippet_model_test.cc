// The marks of snippets against an independent model on real text: the jieba dictionary and
// the fortunes texts (scripts/prepare_data.sh), mixed as in the benchmark table with
// sentences of dictionary words, capitals, full-width letters and markup. Queries are sampled
// like the benchmark's: phrases of one to three consecutive words of a record's field, on the
// field or on "*", some written in capitals or full-width letters. For every hit the model
// takes the places of the phrase from the index itself (postings of consecutive position
// words of the record), maps their ordinals to bytes through the token text that Segment
// writes and a character-by-character normalisation, and the engine's excerpt must mark
// exactly those places that lie inside it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "core/index/indexer_control.h"
#include "core/query/query.h"
#include "core/query/snippet.h"
#include "core/text/text_clean.h"
#include "testing/records/query_fixture.h"
#include "testing/text_ranges.h"

namespace {

const char kSchema[] =
    "1 TITLE title T 1 0 1 1 标题\n"
    "2 BODY body T 1 0 1 1 正文\n"
    "3 YEAR year I 0 1 1 0 年份\n";

std::string ReadData(const char* name) {
  const char* source = std::getenv("TRINDLE_SOURCE_DIR");
  std::ifstream file(std::string(source != nullptr ? source : ".") + "/data/" + name,
                     std::ios::binary);
  std::stringstream content;
  content << file.rdbuf();
  return content.str();
}

// ASCII letters of `text` written as full-width letters (A3 C1.. / A3 E1..).
std::string FullWidth(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x80 && i + 1 < text.size()) {
      out += text.substr(i++, 2);
    } else if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) {
      out += '\xA3';
      out += static_cast<char>(c + 0x80);
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::string Upper(std::string text) {
  for (size_t i = 0; i < text.size(); ++i) {
    if (static_cast<unsigned char>(text[i]) >= 0x80) {
      ++i;
    } else if (text[i] >= 'a' && text[i] <= 'z') {
      text[i] = static_cast<char>(text[i] - 32);
    }
  }
  return text;
}

// The model: the byte ranges of `stored` where the index holds the phrase `ids` for `record`
// at consecutive position words, the position word of ordinal k being base + k.
std::vector<tTextRange> ModelMatches(const CPDAT& trie, const CIndexer& index, int record, int base,
                                     const std::vector<int32_t>& ids, const std::string& stored) {
  // Normalisation one character at a time: where each normalised byte came from.
  std::string normalized;
  std::vector<int32_t> source;
  NormalizeWithSource(stored, &normalized, &source);
  // Tokens from the token text: each followed by a tab; a token that starts with a tab is
  // the tab alone. The dictionary-word tokens take the ordinals.
  std::vector<int32_t> scratchIds;
  std::vector<char> tokenText;
  const int count = trie.Segment(normalized.c_str(), &scratchIds, &tokenText);
  std::vector<tTextRange> words;  // normalised byte ranges by ordinal
  size_t at = 0;
  for (size_t q = 0; tokenText[q] != '\0';) {
    size_t length = 1;
    if (tokenText[q] != '\t') {
      while (tokenText[q + length] != '\t') ++length;
    }
    if (trie.LookupWord(&tokenText[q], static_cast<int>(length)) != -1) {
      words.push_back({static_cast<int32_t>(at), static_cast<int32_t>(at + length)});
    }
    at += length;
    q += length + 1;
  }
  EXPECT_EQ(static_cast<int>(words.size()), count);
  EXPECT_EQ(at, normalized.size());
  // Places of each word of the phrase in this record, from the postings.
  std::vector<std::set<int32_t>> places(ids.size());
  for (size_t j = 0; j < ids.size(); ++j) {
    int postings = 0;
    const tINDEX_STRUCTURE* list = index.GetPostings(ids[j], &postings);
    for (int p = 0; p < postings; ++p) {
      if (list[p].record == record) places[j].insert(list[p].position);
    }
  }
  std::vector<tTextRange> ranges;
  for (const int32_t first : places[0]) {
    const int32_t ordinal = first - base;
    if (ordinal < 0 ||
        ordinal + static_cast<int32_t>(ids.size()) > static_cast<int32_t>(words.size())) {
      continue;  // a place of another field of the all-fields index
    }
    bool phrase = true;
    for (size_t j = 1; j < ids.size() && phrase; ++j) {
      phrase = places[j].count(first + static_cast<int32_t>(j)) > 0;
    }
    if (!phrase) continue;
    ranges.push_back(
        {source[static_cast<size_t>(words[static_cast<size_t>(ordinal)].start)],
         source[static_cast<size_t>(words[static_cast<size_t>(ordinal) + ids.size() - 1].end)]});
  }
  return ranges;
}

// Sorted, overlapping ranges merged, clipped to [begin, end).
std::vector<tTextRange> Clipped(std::vector<tTextRange> ranges, int32_t begin, int32_t end) {
  const std::vector<tTextRange> merged = SortedMerged(std::move(ranges));
  std::vector<tTextRange> clipped;
  for (const tTextRange& range : merged) {
    const int32_t start = std::max(range.start, begin);
    const int32_t stop = std::min(range.end, end);
    if (start < stop) clipped.push_back({start, stop});
  }
  return clipped;
}

TEST(SnippetModel, MarksAreExactlyThePhrasePlacesOfTheIndexForSampledQueries) {
  const std::string dictionary = ReadData("dict.gbk.txt");
  const std::string fortunes = ReadData("fortunes.gbk.txt");
  if (dictionary.empty() || fortunes.empty()) {
    GTEST_SKIP() << "no data/dict.gbk.txt or data/fortunes.gbk.txt (scripts/prepare_data.sh)";
  }
  std::vector<std::string> words;
  {
    std::istringstream lines(dictionary);
    std::string line;
    while (std::getline(lines, line)) {
      std::istringstream columns(line);
      std::string word;
      if (columns >> word) words.push_back(word);
    }
  }
  CQueryFixture fixture(words, kSchema);
  ASSERT_TRUE(fixture.ok());
  // Records: fortunes texts, and sentences of dictionary words with punctuation, capitals,
  // full-width letters and markup.
  std::mt19937 random(20261209);
  std::vector<std::string> texts;
  for (size_t from = 0; texts.size() < 900;) {
    const size_t end = fortunes.find("\n%\n", from);
    if (end == std::string::npos) break;
    texts.push_back(fortunes.substr(from, end - from));
    from = end + 3;
  }
  const char* const punctuation[] = {"，",  "。",   "、",    "！", " ",
                                     "<b>", "</b>", "&amp;", "-",  "\n"};
  for (int i = 0; i < 600; ++i) {
    std::string text;
    for (int n = 5 + static_cast<int>(random() % 60); n > 0; --n) {
      std::string word = words[random() % words.size()];
      if (random() % 9 == 0) word = Upper(word);
      if (random() % 11 == 0) word = FullWidth(word);
      text += word;
      if (random() % 4 == 0) text += punctuation[random() % 10];
    }
    texts.push_back(text);
  }
  std::shuffle(texts.begin(), texts.end(), random);
  for (size_t record = 0; record < texts.size(); ++record) {
    const std::string& body = texts[record];
    const std::string title = body.substr(0, std::min<size_t>(body.find('\n'), 40));
    ASSERT_TRUE(
        fixture.AddRow(CMemoryRow{{"TITLE", TextValue(title)},
                                  {"BODY", TextValue(body)},
                                  {"YEAR", IntValue(2000 + static_cast<int>(record % 9))}}));
  }
  ASSERT_TRUE(fixture.SaveAndLoad("set"));
  const CFieldInfo& schema = fixture.schema();
  const CDataLineIndex& store = fixture.store();
  const CPDAT& trie = fixture.trie();

  CQuery engine(schema, store);
  CMatchFinder finder(trie);
  std::vector<tTextRange> matches;
  tExcerpt excerpt;
  std::vector<int32_t> ids;
  std::vector<char> tokens;
  int queries = 0;
  int checkedMarks = 0;
  for (int attempt = 0; attempt < 5000 && queries < 240; ++attempt) {
    // A phrase of 1 to 3 consecutive words of a record's field, as the benchmark samples.
    const int record = static_cast<int>(random() % texts.size());
    const int field = 1 + static_cast<int>(random() % 2);
    int length = 0;
    const char* cell = store.GetCell(record, field - 1, &length);
    std::string normalized(cell, static_cast<size_t>(length));
    NormalizeText(&normalized[0]);
    normalized.resize(std::strlen(normalized.c_str()));
    const int count = trie.Segment(normalized.c_str(), &ids, &tokens);
    if (count == 0) continue;
    std::vector<std::string> wordTokens;
    for (size_t q = 0; tokens[q] != '\0';) {
      size_t size = 1;
      if (tokens[q] != '\t') {
        while (tokens[q + size] != '\t') ++size;
      }
      if (trie.LookupWord(&tokens[q], static_cast<int>(size)) != -1) {
        wordTokens.emplace_back(&tokens[q], size);
      }
      q += size + 1;
    }
    const int take = 1 + static_cast<int>(random() % 3);
    const int at = static_cast<int>(random() % static_cast<unsigned>(count));
    std::string value;
    for (int k = at; k < std::min(count, at + take); ++k)
      value += wordTokens[static_cast<size_t>(k)];
    if (value.find_first_of(" \t\r\n[") != std::string::npos) continue;
    if (random() % 5 == 0) value = Upper(value);
    if (random() % 7 == 0) value = FullWidth(value);
    const bool allFields = random() % 3 == 0;
    const std::string query = std::string("[FIELD] ") +
                              (allFields    ? "*"
                               : field == 1 ? "title"
                                            : "body") +
                              " [AND] " + value;
    const int total = engine.Execute(query.c_str());
    if (total == 0) continue;  // a value that normalises into another phrase
    ++queries;
    const CQueryPhrases phrases(schema, trie, engine.GetConditions());
    const tCondition& condition = engine.GetConditions()[0];
    std::vector<int32_t> phrase(
        static_cast<size_t>(trie.Segment(condition.values[0].c_str(), &ids, nullptr)));
    std::copy(ids.begin(), ids.begin() + static_cast<long>(phrase.size()), phrase.begin());
    const std::vector<tINDEX_STRUCTURE>& hits = engine.GetHits();
    for (size_t h = 0; h < hits.size() && h < 25; ++h) {
      const int hit = hits[h].record;
      for (int marked = 1; marked <= 2; ++marked) {
        if (!allFields && marked != field) continue;
        int storedLength = 0;
        const char* storedCell = store.GetCell(hit, marked - 1, &storedLength);
        const std::string stored(storedCell, static_cast<size_t>(storedLength));
        const int indexNumber = allFields ? 0 : schema.GetListPosition(marked, LIST_INDEXED);
        const int base = allFields ? schema.GetListPosition(marked, LIST_INDEXED) * 256 : 0;
        const std::vector<tTextRange> model = ModelMatches(
            trie, store.GetIndexControl(indexNumber).GetIndexer(), hit, base, phrase, stored);
        // Excerpts of 40 characters, whose matches Find looks for only near the first one,
        // and of the whole text, whose matches it looks for everywhere.
        for (const int excerptLength : {40, 100000}) {
          finder.Find(stored.data(), storedLength, phrases.ForField(marked),
                      excerptLength == 40 ? 40 : 0, &matches);
          ChooseExcerpt(stored.data(), storedLength, matches, excerptLength, &excerpt);
          const std::vector<tTextRange> expected = Clipped(model, excerpt.begin, excerpt.end);
          ASSERT_EQ(expected.size(), excerpt.marks.size()) << query << " record " << hit;
          for (size_t m = 0; m < expected.size(); ++m) {
            ASSERT_EQ(expected[m].start, excerpt.marks[m].start) << query << " record " << hit;
            ASSERT_EQ(expected[m].end, excerpt.marks[m].end) << query << " record " << hit;
          }
          checkedMarks += static_cast<int>(expected.size());
        }
        // A field condition's own field always holds the phrase in a hit.
        if (!allFields) {
          EXPECT_FALSE(model.empty()) << query << " record " << hit;
        }
      }
    }
  }
  EXPECT_GE(queries, 200);
  EXPECT_GT(checkedMarks, 1000);
}

}  // namespace
