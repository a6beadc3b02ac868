// Tests of the result options of /search, through the answer functions over a loaded data
// set: the snippet HTML agrees with its mark offsets and with the engine's matches, facets
// sum to the total, descending pages reverse the ascending list, and names of the wrong kind
// or of no field are 400 answers listing the names that would do.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <nlohmann/json.hpp>
#include <random>

#include "core/query/query.h"
#include "core/query/snippet.h"
#include "core/text/encoding.h"
#include "core/text/word_list.h"
#include "server/http/http_answers.h"
#include "server/http/search_options.h"
#include "server/http/suggest.h"
#include "server/search_data.h"
#include "testing/records/query_fixture.h"

namespace {

using Json = nlohmann::json;

const std::vector<std::string> kWords = {"中国", "人民", "北京", "大学", "学生", "上海", "hello"};
const char kSchema[] =
    "1 TITLE title T 1 0 1 1 标题\n"
    "2 BODY body T 1 0 1 1 正文\n"
    "3 YEAR year I 0 1 1 0 年份\n"
    "4 KIND kind I 0 1 0 0 类别\n";

// The plain text of snippet HTML: markers removed, the five escapes undone.
std::string PlainOf(const std::string& html) {
  std::string plain;
  for (size_t i = 0; i < html.size();) {
    if (html.compare(i, 6, "<mark>") == 0) {
      i += 6;
    } else if (html.compare(i, 7, "</mark>") == 0) {
      i += 7;
    } else if (html[i] == '&') {
      const size_t end = html.find(';', i);
      const std::string entity = html.substr(i, end - i + 1);
      plain += entity == "&amp;"    ? "&"
               : entity == "&lt;"   ? "<"
               : entity == "&gt;"   ? ">"
               : entity == "&quot;" ? "\""
                                    : "'";
      i = end + 1;
    } else {
      plain += html[i++];
    }
  }
  return plain;
}

// Code points of `utf8` as a vector, so that offsets can index them.
std::vector<std::string> Characters(const std::string& utf8) {
  std::vector<std::string> characters;
  for (size_t i = 0; i < utf8.size(); ++i) {
    if ((static_cast<unsigned char>(utf8[i]) & 0xC0u) != 0x80u) characters.emplace_back();
    characters.back() += utf8[i];
  }
  return characters;
}

class HttpResultsTest : public ::testing::Test {
 protected:
  void SetUp() override { Load(false); }
  // Builds and loads the test set, with or without its contains indexes.
  void Load(bool contains) {
    m_data.reset();
    m_fixture = std::make_unique<CQueryFixture>(kWords, kSchema);
    ASSERT_TRUE(m_fixture->ok());
    if (contains) m_fixture->EnableContains();
    std::mt19937 random(2121);
    for (int record = 0; record < 150; ++record) {
      std::string title, body;
      for (int i = 0; i < 3; ++i) title += kWords[random() % kWords.size()];
      for (int i = 0, n = 1 + static_cast<int>(random() % 60); i < n; ++i) {
        body += kWords[random() % kWords.size()];
        if (random() % 4 == 0) body += random() % 2 == 0 ? "，" : "<&\"'>";
      }
      ASSERT_TRUE(m_fixture->AddRow(CMemoryRow{{"TITLE", TextValue(title)},
                                               {"BODY", TextValue(body)},
                                               {"YEAR", IntValue(2000 + record % 7)},
                                               {"KIND", IntValue(record % 3)}}));
    }
    ASSERT_TRUE(m_fixture->SaveAndLoad("set"));
    CWordList words;
    ASSERT_GT(words.BuildFromText(Path("dict.txt").c_str(), m_fixture->trie()), 0);
    ASSERT_TRUE(words.Save(Path("set.words").c_str()));
    m_data = LoadSearchData({Path("set"), Path("set.schema"), Path("set.trie"), Path("set.words")});
    ASSERT_TRUE(m_data);
  }
  std::string Path(const std::string& name) const { return m_fixture->directory().Path(name); }

  Json Search(const tSearchParameters& parameters, int status = 200,
              const tSearchLimits& limits = tSearchLimits()) {
    const tHttpResponse answer = AnswerJsonSearch(parameters, m_data.get(), limits);
    EXPECT_EQ(answer.status, status) << answer.body;
    return Json::parse(answer.body);
  }

  std::unique_ptr<CQueryFixture> m_fixture;
  std::shared_ptr<const CSearchData> m_data;
};

TEST_F(HttpResultsTest, SnippetHtmlAgreesWithItsOffsetsAndTheEngineMatches) {
  const char* queries[] = {"[FIELD] body [AND] 北京", "[FIELD] body [AND] 中国人民 上海",
                           "[FIELD] * [AND] 大学",
                           "[FIELD] title [AND] 学生 [FIELD] year [AND] 2003",
                           "[FIELD] * [AND] HELLO [FIELD] body [AND] 人民"};
  int marked = 0;
  for (const char* query : queries) {
    for (const int length : {8, 120}) {
      tSearchParameters parameters;
      parameters.q = GbkToUtf8(query);
      parameters.snippet = "body,title";
      parameters.snippetLength = std::to_string(length);
      parameters.count = "200";
      const Json answer = Search(parameters);
      ASSERT_GT(answer["returned"].get<int>(), 0) << query;
      CQuery engine(m_data->schema(), m_data->store());
      engine.Execute(query);
      const CQueryPhrases phrases(m_data->schema(), m_data->trie(), engine.GetConditions());
      CMatchFinder finder(m_data->trie());
      std::vector<tTextRange> matches;
      for (const Json& hit : answer["hits"]) {
        for (const auto& [name, field] : {std::pair<const char*, int>{"body", 2}, {"title", 1}}) {
          const std::string html = hit["snippets"][name].get<std::string>();
          const std::vector<std::string> plain = Characters(PlainOf(html));
          ASSERT_LE(plain.size(), static_cast<size_t>(length) + 2) << html;
          // Every marked piece of the HTML is what the offsets name.
          std::vector<std::string> pieces;
          for (size_t at = html.find("<mark>"); at != std::string::npos;
               at = html.find("<mark>", at + 1)) {
            pieces.push_back(PlainOf(html.substr(at + 6, html.find("</mark>", at) - at - 6)));
          }
          const Json& marks = hit["marks"][name];
          ASSERT_EQ(marks.size(), pieces.size()) << html;
          for (size_t m = 0; m < pieces.size(); ++m) {
            std::string named;
            for (int c = marks[m][0].get<int>(); c < marks[m][1].get<int>(); ++c) {
              named += plain.at(static_cast<size_t>(c));
            }
            EXPECT_EQ(named, pieces[m]) << html;
          }
          marked += static_cast<int>(pieces.size());
          // A whole stored text that fits is marked exactly where the engine matches.
          if (length == 120 && Characters(hit[name].get<std::string>()).size() <= 120) {
            std::string gbk;
            const std::string utf8 = hit[name].get<std::string>();
            ASSERT_TRUE(Utf8ToGbk(utf8.data(), utf8.size(), &gbk, ToGbk::kReject));
            finder.Find(gbk.data(), static_cast<int>(gbk.size()), phrases.ForField(field), 0,
                        &matches);
            ASSERT_EQ(marks.size(), matches.size()) << html;
          }
        }
      }
    }
  }
  EXPECT_GT(marked, 100);
}

TEST_F(HttpResultsTest, FacetsSumToTheTotalAndDescendingPagesReverseAscendingOnes) {
  for (const char* query :
       {"[FIELD] body [AND] 北京", "[FIELD] * [AND] 大学 [FIELD] kind [AND] 1"}) {
    tSearchParameters parameters;
    parameters.q = GbkToUtf8(query);
    parameters.facet = "year,kind,year";
    parameters.facetLimit = "100";
    parameters.count = "0";
    const Json answer = Search(parameters);
    const int total = answer["total"].get<int>();
    ASSERT_GT(total, 0);
    ASSERT_EQ(answer["facets"].size(), 2u);
    for (const char* name : {"year", "kind"}) {
      int sum = 0;
      for (const Json& entry : answer["facets"][name]) sum += entry["count"].get<int>();
      EXPECT_EQ(sum, total) << query << " " << name;
    }
    parameters.facetLimit = "2";
    EXPECT_EQ(Search(parameters)["facets"]["year"].size(), 2u);

    parameters.facet.reset();
    parameters.count = "1000";
    const Json ascending = Search(parameters)["hits"];
    Json descending = Json::array();
    parameters.order = "desc";
    parameters.count = "4";
    for (int start = 0; start < total; start += 4) {
      parameters.start = std::to_string(start);
      const Json page = Search(parameters);
      for (const Json& hit : page["hits"]) descending.push_back(hit);
    }
    std::vector<Json> reversed(ascending.begin(), ascending.end());
    std::reverse(reversed.begin(), reversed.end());
    EXPECT_EQ(Json(reversed), descending) << query;
  }
}

TEST_F(HttpResultsTest, NamesOfNoFieldOrTheWrongKindAreBadRequests) {
  const struct {
    const char* q;
    const char* snippet;
    const char* facet;
    const char* order;
    std::vector<std::string> fields;  // listed in the answer; empty: no list
  } cases[] = {
      {"[FIELD] titel [AND] 北京",
       nullptr,
       nullptr,
       nullptr,
       {"*", "title", "body", "year", "kind"}},
      {"[FIELD] body [AND] 北京", "body,year", nullptr, nullptr, {"title", "body"}},
      {"[FIELD] body [AND] 北京", "kind", nullptr, nullptr, {"title", "body"}},
      {"[FIELD] body [AND] 北京", "nosuch", nullptr, nullptr, {"title", "body"}},
      {"[FIELD] body [AND] 北京", nullptr, "title", nullptr, {"year", "kind"}},
      {"[FIELD] body [AND] 北京", nullptr, "*", nullptr, {"year", "kind"}},
      {"[FIELD] body [AND] 北京", nullptr, nullptr, "DESC", {}},
  };
  for (const auto& test : cases) {
    tSearchParameters parameters;
    parameters.q = GbkToUtf8(test.q);
    if (test.snippet != nullptr) parameters.snippet = test.snippet;
    if (test.facet != nullptr) parameters.facet = test.facet;
    if (test.order != nullptr) parameters.order = test.order;
    const Json answer = Search(parameters, 400);
    EXPECT_FALSE(answer["error"].get<std::string>().empty());
    if (!test.fields.empty()) {
      EXPECT_EQ(answer["fields"], Json(test.fields)) << test.q;
    }
  }
  // The words shortcut names its field too; limits are checked before the data set.
  tSearchParameters parameters;
  parameters.text = GbkToUtf8("北京");
  parameters.field = "bdy";
  EXPECT_NE(Search(parameters, 400)["error"].get<std::string>().find("bdy"), std::string::npos);
  parameters.field = "body";
  for (const char* length : {"0", "10001", "x"}) {
    parameters.snippetLength = length;
    EXPECT_EQ(AnswerJsonSearch(parameters, nullptr).status, 400) << length;
  }
}

TEST_F(HttpResultsTest, ContainsAndRelevanceSayHowEachHitMatched) {
  tSearchParameters parameters;
  parameters.text = GbkToUtf8("京大");  // only across the words 北京 and 大学
  parameters.match = "contains";
  // A set built without contains indexes says why it cannot answer; the server's Match
  // setting alone falls back to words there.
  EXPECT_NE(Search(parameters, 400)["error"].get<std::string>().find("contains indexes"),
            std::string::npos);
  tSearchLimits containsByDefault;
  containsByDefault.containsMatch = true;
  parameters.match.reset();
  EXPECT_EQ(Search(parameters, 200, containsByDefault)["total"], 0);

  Load(true);
  parameters.match = "contains";
  parameters.count = "1000";
  const Json part = Search(parameters);
  ASSERT_GT(part["total"].get<int>(), 0);
  for (const Json& hit : part["hits"]) EXPECT_EQ(hit["match"], "part");
  parameters.match.reset();
  EXPECT_EQ(Search(parameters, 200, containsByDefault)["total"], part["total"]);
  EXPECT_EQ(Search(parameters)["total"], 0);

  // 北京 as a word and inside 北京大学-like runs: every hit says word or part, ranked pages
  // carry descending scores and tile the order, and the totals count both kinds.
  parameters.text = GbkToUtf8("北京");
  parameters.match = "contains";
  parameters.order = "relevance";
  parameters.snippet = "body";
  const Json ranked = Search(parameters);
  Json paged = Json::array();
  parameters.count = "7";
  for (int start = 0; start < ranked["total"].get<int>(); start += 7) {
    parameters.start = std::to_string(start);
    const Json page = Search(parameters);
    for (const Json& hit : page["hits"]) paged.push_back(hit);
  }
  EXPECT_EQ(paged, ranked["hits"]);
  double last = 1e300;
  for (const Json& hit : ranked["hits"]) {
    EXPECT_TRUE(hit["match"] == "word" || hit["match"] == "part");
    EXPECT_LE(hit["score"].get<double>(), last);
    last = hit["score"].get<double>();
    if (hit["body"].get<std::string>().find(GbkToUtf8("北京")) != std::string::npos) {
      EXPECT_FALSE(hit["marks"]["body"].empty());
    }
  }
  for (const char* bad : {"word", "CONTAINS", ""}) {
    parameters.match = bad;
    Search(parameters, 400);
  }
}

// The hits of an answer by their title and body (UTF-8), in answer order.
std::vector<std::string> HitKeys(const Json& answer) {
  std::vector<std::string> keys;
  for (const Json& hit : answer["hits"]) {
    keys.push_back(hit["title"].get<std::string>() + "|" + hit["body"].get<std::string>());
  }
  return keys;
}

TEST_F(HttpResultsTest, TextSyntaxAnswersWhatTheEngineAnswersForTheSameSets) {
  // Each text= against a q= of the binary-port syntax with the same record set.
  const struct {
    const char* text;
    const char* field;
    const char* query;
  } cases[] = {
      {"北京 OR 上海", nullptr, "[FIELD] * [OR] 北京 上海"},
      {"title:北京|title:上海 body:人民", nullptr,
       "[FIELD] title [OR] 北京 上海 [FIELD] body [AND] 人民"},
      {"北京 year:2003", "body", "[FIELD] body [AND] 北京 [FIELD] year [AND] 2003"},
      {"北京 year:2002..2004", nullptr, "[FIELD] * [AND] 北京 [FIELD] year [AND] 2002 2003 2004"},
      {"\"北京大学\" year:<2001", nullptr, "[FIELD] * [AND] 北京大学 [FIELD] year [AND] 2000"},
  };
  for (const auto& test : cases) {
    tSearchParameters parameters;
    parameters.text = GbkToUtf8(test.text);
    if (test.field != nullptr) parameters.field = test.field;
    parameters.count = "1000";
    for (const char* order : {"asc", "desc", "relevance"}) {
      parameters.order = order;
      const Json answer = Search(parameters);
      tSearchParameters q;
      q.q = GbkToUtf8(test.query);
      q.count = "1000";
      q.order = order;
      const Json expected = Search(q);
      EXPECT_EQ(answer["total"], expected["total"]) << test.text << " " << order;
      if (std::string(order) == "relevance") {
        // Scores read the terms outside exclusions, as the binary-port syntax reads values.
        std::vector<std::string> a = HitKeys(answer), b = HitKeys(expected);
        std::sort(a.begin(), a.end());
        std::sort(b.begin(), b.end());
        EXPECT_EQ(a, b) << test.text;
      } else {
        EXPECT_EQ(HitKeys(answer), HitKeys(expected)) << test.text << " " << order;
      }
    }
  }
  // An exclusion: the words' hits less the excluded word's.
  tSearchParameters both, minus, excluded;
  both.text = GbkToUtf8("北京 -上海");
  minus.text = GbkToUtf8("北京");
  excluded.text = GbkToUtf8("北京 上海");
  for (tSearchParameters* p : {&both, &minus, &excluded}) p->count = "1000";
  EXPECT_EQ(Search(both)["total"].get<int>(),
            Search(minus)["total"].get<int>() - Search(excluded)["total"].get<int>());
  EXPECT_GT(Search(both)["total"].get<int>(), 0);
  // Snippets mark the terms outside exclusions.
  both.snippet = "title";
  const Json marked = Search(both);
  for (const Json& hit : marked["hits"]) {
    EXPECT_EQ(hit["title"].get<std::string>().find(GbkToUtf8("上海")), std::string::npos);
  }
}

TEST_F(HttpResultsTest, ValuesThatRestrictNothingAreWarnedAboutAndExplained) {
  tSearchParameters parameters;
  parameters.text = GbkToUtf8("北京 xyz");
  Json answer = Search(parameters);
  ASSERT_EQ(answer["warnings"].size(), 1u);
  EXPECT_NE(answer["warnings"][0].get<std::string>().find("xyz"), std::string::npos);
  EXPECT_FALSE(answer.contains("explain"));
  parameters.explain = "1";
  answer = Search(parameters);
  const Json& explain = answer["explain"];
  EXPECT_EQ(explain["tree"], GbkToUtf8("(and 北京 xyz)"));
  ASSERT_EQ(explain["values"].size(), 2u);
  EXPECT_EQ(explain["values"][0]["words"][0]["word"], GbkToUtf8("北京"));
  EXPECT_EQ(explain["values"][0]["words"][0]["number"], 2);
  EXPECT_EQ(explain["values"][0]["restricts"], true);
  EXPECT_EQ(explain["values"][1]["outside_words"], "xyz");
  EXPECT_EQ(explain["values"][1]["restricts"], false);
  // The binary-port syntax is warned about too; a value that restricts leaves no warning.
  tSearchParameters q;
  q.q = GbkToUtf8("[FIELD] title [AND] 京大");
  EXPECT_EQ(Search(q)["warnings"].size(), 1u);
  q.q = GbkToUtf8("[FIELD] title [AND] 北京");
  EXPECT_FALSE(Search(q).contains("warnings"));
  q.explain = "2";
  Search(q, 400);
  // Syntax errors and terms on the wrong fields are 400 answers with a position.
  const struct {
    const char* text;
    size_t position;
  } bad[] = {{"北京 -", 3}, {"北京 nosuch:x", 3}, {"-北京", 0}, {"北京 year:abc", 3}};
  for (const auto& test : bad) {
    tSearchParameters wrong;
    wrong.text = GbkToUtf8(test.text);
    const Json error = Search(wrong, 400);
    EXPECT_EQ(error["position"], test.position) << test.text;
  }
}

TEST_F(HttpResultsTest, SuggestionsAreTheWordsOfThePrefixByTheirRecords) {
  // The model: each dictionary word with the prefix, by the records the reference scan finds
  // it in (title and body are both in the all-fields entry), then by word.
  for (const char* prefix : {"北", "中", "学", "上海", "h", "HE", "xyz"}) {
    std::vector<std::pair<int, std::string>> model;
    std::string normalised = prefix;
    for (char& c : normalised) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (const std::string& word : kWords) {
      if (word.compare(0, normalised.size(), normalised) != 0) continue;
      const int records = static_cast<int>(m_fixture->reference().Search({{0, {word}}}).size());
      if (records > 0) model.emplace_back(-records, word);
    }
    std::sort(model.begin(), model.end());
    for (const int count : {1, 2, 10}) {
      const tHttpResponse answer =
          SuggestAnswer(GbkToUtf8(prefix), std::to_string(count), m_data.get());
      ASSERT_EQ(answer.status, 200) << answer.body;
      const Json list = Json::parse(answer.body)["suggestions"];
      ASSERT_EQ(list.size(), std::min(model.size(), static_cast<size_t>(count))) << prefix;
      for (size_t i = 0; i < list.size(); ++i) {
        EXPECT_EQ(list[i]["word"], GbkToUtf8(model[i].second)) << prefix;
        EXPECT_EQ(list[i]["records"], -model[i].first) << prefix;
      }
    }
  }
  for (const auto& [prefix, count] :
       std::vector<std::pair<std::optional<std::string>, std::optional<std::string>>>{
           {std::nullopt, std::nullopt},
           {std::string(), std::nullopt},
           {std::string("  "), std::nullopt},
           {std::string(65, 'a'), std::nullopt},
           {std::string("\xC3\x28"), std::nullopt},
           {std::string("a"), std::string("0")},
           {std::string("a"), std::string("101")},
           {std::string("a"), std::string("x")}}) {
    EXPECT_EQ(SuggestAnswer(prefix, count, m_data.get()).status, 400) << prefix.value_or("-");
  }
  EXPECT_EQ(SuggestAnswer(std::string("a"), std::nullopt, nullptr).status, 503);
}

}  // namespace
