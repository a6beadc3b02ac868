// Tests of contains matching and relevance order: the hits of every value against a substring
// model of the fields' normalised texts (generated texts with mixed ASCII, and the demo's real
// texts when data/ holds them), word and part matches, and the ranking's properties.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "core/query/query.h"
#include "core/text/text_clean.h"
#include "testing/records/query_fixture.h"

namespace {

// title and body go to the all-fields index, code is indexed alone, year is a filter.
const char kSchema[] =
    "1 TITLE title T 1 0 1 1 标题\n"
    "2 BODY body T 1 0 1 1 正文\n"
    "3 CODE code T 1 0 1 0 代码\n"
    "4 YEAR year I 0 1 1 0 年份\n";

bool IsAlnum(unsigned char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

std::string Lowered(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

// What the engine sees of a field's or a value's text: trimmed, cleaned, normalised, letters
// in lower case.
std::string Seen(const std::string& raw) {
  std::string text = raw;
  const size_t first = text.find_first_not_of(" \t\r\n");
  text = first == std::string::npos
             ? ""
             : text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
  std::vector<char> buffer(text.begin(), text.end());
  buffer.push_back('\0');
  int length = 0;
  StripMarkup(buffer.data(), static_cast<int>(text.size()), buffer.data(), &length);
  NormalizeText(buffer.data());
  return Lowered(buffer.data());
}

// The model: `value` stands in `text` starting at a character, and a run of letters and
// digits at either end of the value is a whole run of the text.
bool ModelHolds(const std::string& text, const std::string& value) {
  if (value.empty()) return false;
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  bool previousAlnum = false;
  for (size_t at = 0; at < text.size();) {
    const size_t width = bytes[at] >= 0x80 && at + 1 < text.size() ? 2 : 1;
    if (text.compare(at, value.size(), value) == 0) {
      const size_t end = at + value.size();
      const bool runBefore = IsAlnum(static_cast<unsigned char>(value.front())) && previousAlnum;
      const bool runAfter = IsAlnum(static_cast<unsigned char>(value.back())) &&
                            end < text.size() && IsAlnum(bytes[end]);
      if (!runBefore && !runAfter) return true;
    }
    previousAlnum = width == 1 && IsAlnum(bytes[at]);
    at += width;
  }
  return false;
}

std::vector<int32_t> Intersection(const std::vector<int32_t>& a, const std::vector<int32_t>& b) {
  std::vector<int32_t> both;
  std::set_intersection(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(both));
  return both;
}

// Splits a text into its characters (a lone last high byte stands alone).
std::vector<std::string> Characters(const std::string& text) {
  std::vector<std::string> characters;
  for (size_t at = 0; at < text.size();) {
    const size_t width =
        static_cast<unsigned char>(text[at]) >= 0x80 && at + 1 < text.size() ? 2 : 1;
    characters.push_back(text.substr(at, width));
    at += width;
  }
  return characters;
}

class ContainsTest : public ::testing::Test {
 protected:
  void Build(const std::vector<std::string>& words,
             const std::vector<std::vector<std::string>>& rows) {
    m_fixture = std::make_unique<CQueryFixture>(words, kSchema);
    ASSERT_TRUE(m_fixture->ok());
    m_fixture->EnableContains();
    int year = 0;
    for (const std::vector<std::string>& row : rows) {
      ASSERT_TRUE(m_fixture->AddRow(CMemoryRow{{"TITLE", TextValue(row[0])},
                                               {"BODY", TextValue(row[1])},
                                               {"CODE", TextValue(row[2])},
                                               {"YEAR", IntValue(2000 + year++ % 5)}}));
      m_seen.push_back({Seen(row[0]), Seen(row[1]), Seen(row[2])});
    }
    ASSERT_TRUE(m_fixture->SaveAndLoad("set"));
    m_query = std::make_unique<CQuery>(m_fixture->schema(), m_fixture->store());
    m_query->SetMatch(MatchMode::kContains);
  }

  // Hits of the query, in the order of its pages.
  std::vector<int32_t> Hits(const std::string& text) {
    const int total = m_query->Execute(text.c_str());
    std::vector<int32_t> hits;
    for (int i = 0; i < total; ++i) hits.push_back(m_query->RecordAt(i, false));
    return hits;
  }

  // The model's records for `value` in the fields of `fields` (0 title, 1 body, 2 code).
  std::vector<int32_t> Expected(const std::string& value, const std::vector<int>& fields,
                                int year = -1) const {
    std::vector<int32_t> records;
    const std::string seen = Seen(value);
    for (size_t record = 0; record < m_seen.size(); ++record) {
      if (year >= 0 && 2000 + static_cast<int>(record) % 5 != year) continue;
      for (int field : fields) {
        if (ModelHolds(m_seen[record][static_cast<size_t>(field)], seen)) {
          records.push_back(static_cast<int32_t>(record));
          break;
        }
      }
    }
    return records;
  }

  // Every value, on each field and on "*", against the model.
  void ExpectModelAnswers(const std::vector<std::string>& values) {
    for (const std::string& value : values) {
      if (Seen(value).empty() || value.find_first_of(" \t\r\n[") != std::string::npos) continue;
      EXPECT_EQ(Hits("[FIELD] title [AND] " + value), Expected(value, {0})) << value;
      EXPECT_EQ(Hits("[FIELD] code [AND] " + value), Expected(value, {2})) << value;
      EXPECT_EQ(Hits("[FIELD] * [AND] " + value), Expected(value, {0, 1})) << value;
      // "*" after a field's condition narrows what that condition found.
      EXPECT_EQ(Hits("[FIELD] code [AND] " + value + " [FIELD] * [AND] " + value),
                Intersection(Expected(value, {2}), Expected(value, {0, 1})))
          << value;
      EXPECT_EQ(Hits("[FIELD] body [AND] " + value + " [FIELD] year [AND] 2003"),
                Expected(value, {1}, 2003))
          << value;
    }
  }

  std::unique_ptr<CQueryFixture> m_fixture;
  std::unique_ptr<CQuery> m_query;
  std::vector<std::vector<std::string>> m_seen;
};

TEST_F(ContainsTest, GeneratedTextsFindExactlyWhatTheSubstringModelFinds) {
  // A few characters, so that values recur inside and across words; ASCII runs of mixed case,
  // full-width letters and digits, punctuation that normalisation turns into a tab.
  const std::vector<std::string> pieces = {"中",     "国",   "人",   "民",       "和",   "服",
                                           "务",     "中国", "人民", "和服",     "服务", "Debian",
                                           "debian", "GNU",  "cat",  "category", "2005", "x",
                                           "ＩＢＭ", "，",   "。",   " ",        "-",    "１９"};
  const std::vector<std::string> words = {"中国",   "人民",   "和服", "服务",
                                          "中国人", "debian", "cat"};
  std::mt19937 random(5150);
  auto text = [&](int most) {
    std::string made;
    for (int i = 0, n = static_cast<int>(random() % static_cast<unsigned>(most)); i < n; ++i) {
      made += pieces[random() % pieces.size()];
    }
    return made;
  };
  std::vector<std::vector<std::string>> rows;
  for (int record = 0; record < 240; ++record) rows.push_back({text(8), text(40), text(6)});
  Build(words, rows);
  // Pieces of every length taken from the texts at character starts, and made-up values.
  std::set<std::string> values = {"cat",          "CAT",  "categ", "ebian",  "Debian",
                                  "ｄｅｂｉａｎ", "2005", "200",   "ＩＢＭ", "ibm",
                                  "国人",         "和服", "服务",  "x",      "中国，人民"};
  for (int i = 0; i < 300; ++i) {
    const std::vector<std::string>& row = rows[random() % rows.size()];
    const std::vector<std::string> characters = Characters(row[random() % 3]);
    if (characters.empty()) continue;
    const size_t from = random() % characters.size();
    const size_t length = 1 + random() % 6;
    std::string value;
    for (size_t c = from; c < std::min(characters.size(), from + length); ++c)
      value += characters[c];
    values.insert(value);
  }
  ExpectModelAnswers(std::vector<std::string>(values.begin(), values.end()));
  // Values of one condition all hold.
  EXPECT_EQ(Hits("[FIELD] body [AND] 中国 debian"),
            Intersection(Expected("中国", {1}), Expected("debian", {1})));
}

TEST_F(ContainsTest, RealTextsFindExactlyWhatTheSubstringModelFinds) {
  const char* source = std::getenv("TRINDLE_SOURCE_DIR");
  std::ifstream file(std::string(source != nullptr ? source : ".") + "/data/fortunes.gbk.txt",
                     std::ios::binary);
  if (!file) GTEST_SKIP() << "data/fortunes.gbk.txt is missing (scripts/prepare_data.sh makes it)";
  // Records are separated by lines holding "%"; the first line of a record is its title.
  std::vector<std::vector<std::string>> rows;
  std::string line;
  std::string body;
  while (std::getline(file, line) && rows.size() < 600) {
    if (line == "%") {
      if (!body.empty()) rows.push_back({body.substr(0, body.find('\n')), body, ""});
      body.clear();
    } else {
      body += line + "\n";
    }
  }
  ASSERT_GT(rows.size(), 100u);
  Build({"人生", "朋友", "明月", "故乡"}, rows);
  std::mt19937 random(77);
  std::set<std::string> values = {"Debian", "linux", "GNU", "the"};
  for (int i = 0; i < 250; ++i) {
    const std::vector<std::string> characters = Characters(rows[random() % rows.size()][1]);
    if (characters.empty()) continue;
    const size_t from = random() % characters.size();
    std::string value;
    for (size_t c = from; c < std::min(characters.size(), from + 1 + random() % 4); ++c) {
      value += characters[c];
    }
    values.insert(value);
  }
  ExpectModelAnswers(std::vector<std::string>(values.begin(), values.end()));
}

TEST_F(ContainsTest, PartMatchesAreFoundAndRankBelowWordMatchesOfTheSameCounts) {
  // 和服务 is one dictionary word: 和服 stands in it only as a part.
  Build({"和服", "和服务", "一件"}, {{"和服务好", "", ""}, {"一件和服", "", ""}, {"无关", "", ""}});
  m_query->SetMatch(MatchMode::kWords);
  EXPECT_EQ(Hits("[FIELD] title [AND] 和服"), std::vector<int32_t>({1}));
  m_query->SetMatch(MatchMode::kContains);
  EXPECT_EQ(Hits("[FIELD] title [AND] 和服"), std::vector<int32_t>({0, 1}));
  EXPECT_FALSE(m_query->IsWordMatchAt(0, false));
  EXPECT_TRUE(m_query->IsWordMatchAt(1, false));
  ASSERT_TRUE(m_query->RankByRelevance({}));
  EXPECT_EQ(m_query->RecordAt(0, false), 1);
  EXPECT_TRUE(m_query->IsWordMatchAt(0, false));
  EXPECT_GT(m_query->ScoreAt(0), m_query->ScoreAt(1));
}

TEST_F(ContainsTest, RelevanceFollowsWeightFrequencyLengthAndTiesBySortColumn) {
  // Records 0..5: the value once in the body; once in the title; twice in a body of the same
  // length; once in a much longer body; and twice the same text as record 0 (ties).
  const std::string pad = "无关文字";
  Build({"明月"}, {{"标题", "明月" + pad, ""},
                   {"明月", "其他" + pad, ""},
                   {"标题", "明月明月", ""},
                   {"标题", "明月" + pad + pad + pad + pad + pad, ""},
                   {"标题", "明月" + pad, ""},
                   {"标题", "明月" + pad, ""}});
  struct {
    std::vector<double> weights;  // by field number: -, title, body
    std::vector<int32_t> order;
  } const cases[] = {
      {{1, 1, 1}, {2, 0, 4, 5, 1, 3}},  // two in a short body first, one in a long body last
      {{1, 5, 1}, {1, 2, 0, 4, 5, 3}},
      {{1, 0.1, 1}, {2, 0, 4, 5, 3, 1}},
  };
  for (const auto& c : cases) {
    for (MatchMode match : {MatchMode::kWords, MatchMode::kContains}) {
      m_query->SetMatch(match);
      ASSERT_EQ(m_query->Execute("[FIELD] * [AND] 明月"), 6);
      ASSERT_TRUE(m_query->RankByRelevance(c.weights));
      std::vector<int32_t> order;
      for (int i = 0; i < 6; ++i) order.push_back(m_query->RecordAt(i, false));
      EXPECT_EQ(order, c.order) << c.weights[1];
      for (int i = 1; i < 6; ++i) EXPECT_GE(m_query->ScoreAt(i - 1), m_query->ScoreAt(i));
      // The pages of the ranked order tile it.
      const std::string whole = m_query->GetPage(0, 6).text;
      std::string paged = m_query->GetPage(0, 4).text;
      paged += m_query->GetPage(4, 4).text;
      EXPECT_EQ(paged, whole);
    }
  }
}

}  // namespace
