// The search page in headless Chromium against an in-process HTTP interface: the rendered
// page marks the query's matches where the engine matched them and nowhere else (the same
// marks as the JSON answer), a facet value's link narrows the total to the value's count,
// the paging and the newest-first links show the next window and the reversed order, and a
// screenshot is left in the build tree's tests folder. Each step loads the address a click
// would go to, since every control of the page is a link to the address of its search.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "core/query/query.h"
#include "core/text/encoding.h"
#include "core/text/word_list.h"
#include "server/http/http_answers.h"
#include "server/http/http_server.h"
#include "server/metrics.h"
#include "server/search_data.h"
#include "testing/records/query_fixture.h"

namespace {

using Json = nlohmann::json;

const std::vector<std::string> kWords = {"人生", "人生观", "中国", "人民", "北京", "大学"};
const char kSchema[] =
    "1 TITLE title T 1 0 1 1 标题\n"
    "2 BODY body T 1 0 1 1 正文\n"
    "3 YEAR year I 0 1 1 0 年份\n";

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

size_t Count(const std::string& text, const std::string& piece) {
  size_t count = 0;
  for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) {
    ++count;
  }
  return count;
}

// The value of attribute `name` of the first tag that holds `marker`, "&amp;" undone.
std::string Attribute(const std::string& dom, const std::string& marker, const std::string& name) {
  const size_t at = dom.find(marker);
  if (at == std::string::npos) return "";
  const size_t tagStart = dom.rfind('<', at);
  const size_t tagEnd = dom.find('>', at);
  const size_t value = dom.find(name + "=\"", tagStart);
  if (value == std::string::npos || value > tagEnd) return "";
  const size_t begin = value + name.size() + 2;
  std::string text = dom.substr(begin, dom.find('"', begin) - begin);
  for (size_t amp = text.find("&amp;"); amp != std::string::npos;
       amp = text.find("&amp;", amp + 1)) {
    text.erase(amp + 1, 4);
  }
  return text;
}

class SearchPageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::access("/usr/bin/chromium", X_OK) != 0) GTEST_SKIP() << "chromium is not installed";
    m_fixture = std::make_unique<CQueryFixture>(kWords, kSchema);
    ASSERT_TRUE(m_fixture->ok());
    m_fixture->EnableContains();
    // 30 records with 人生 in the body (every third also with 人生观, which must stay
    // unmarked), some long enough to be cut; 10 without.
    for (int record = 0; record < 40; ++record) {
      std::string body = "第" + std::to_string(record) + "条：";
      if (record < 30) {
        body += record % 3 == 0 ? "人生观与人生。" : "北京的人生，";
        if (record % 4 == 0) {
          for (int i = 0; i < 30; ++i) body += "中国人民大学";
          body += "人生";
        }
      } else {
        body += "中国北京";
      }
      ASSERT_TRUE(
          m_fixture->AddRow(CMemoryRow{{"TITLE", TextValue("标题" + std::to_string(record))},
                                       {"BODY", TextValue(body)},
                                       {"YEAR", IntValue(2000 + record % 4)}}));
    }
    ASSERT_TRUE(m_fixture->SaveAndLoad("set"));
    CWordList words;
    ASSERT_GT(words.BuildFromText(Path("dict.txt").c_str(), m_fixture->trie()), 0);
    ASSERT_TRUE(words.Save(Path("set.words").c_str()));
    m_data = LoadSearchData({Path("set"), Path("set.schema"), Path("set.trie"), Path("set.words")});
    ASSERT_TRUE(m_data);
    m_server = std::make_unique<CHttpServer>(
        tHttpOptions{}, [this] { return m_data; }, &m_metrics);
    in_addr loopback{};
    loopback.s_addr = htonl(INADDR_LOOPBACK);
    std::string error;
    ASSERT_TRUE(m_server->Start(loopback, 0, &error)) << error;
  }
  std::string Path(const std::string& name) const { return m_fixture->directory().Path(name); }
  std::string Base() const { return "http://127.0.0.1:" + std::to_string(m_server->port()) + "/"; }
  std::string Browser() const {
    return "timeout 90 /usr/bin/chromium --headless --no-sandbox --disable-gpu --disable-quic "
           "--no-first-run --disable-background-networking --disable-component-update "
           "--disable-sync --user-data-dir=" +
           Path("chromium-profile") + " --virtual-time-budget=5000 ";
  }
  // The DOM of the page at `address` (relative to the server) once its script has run.
  std::string Dom(const std::string& address) {
    const int status = std::system((Browser() + "--dump-dom '" + Base() + address + "' > " +
                                    Path("dom.html") + " 2> " + Path("chromium.err"))
                                       .c_str());
    EXPECT_EQ(status, 0) << ReadFile(Path("chromium.err"));
    return ReadFile(Path("dom.html"));
  }

  std::unique_ptr<CQueryFixture> m_fixture;
  std::shared_ptr<const CSearchData> m_data;
  CServerMetrics m_metrics;
  std::unique_ptr<CHttpServer> m_server;
};

TEST_F(SearchPageTest, MarksFacetsPagingAndNewestFirstInABrowser) {
  const std::string word = GbkToUtf8("人生");
  const std::string query = GbkToUtf8("[FIELD] body [AND] 人生");
  // What the page asks for its first window: every occurrence, best match first.
  tSearchParameters parameters;
  parameters.q = query;
  parameters.snippet = "title,body";
  parameters.facet = "year";
  parameters.match = "contains";
  parameters.order = "relevance";
  const Json answer = Json::parse(AnswerJsonSearch(parameters, m_data.get()).body);
  ASSERT_EQ(answer["total"], 30);
  size_t expectedMarks = 0;
  for (const Json& hit : answer["hits"]) expectedMarks += hit["marks"]["body"].size();

  const std::string dom = Dom("?text=%E4%BA%BA%E7%94%9F&field=body");
  EXPECT_NE(dom.find(">30 hits<"), std::string::npos) << dom;
  // Marks where the engine matched, and nowhere else: inside 人生观 too, not in the titles.
  EXPECT_EQ(Count(dom, "<mark>"), expectedMarks) << dom;
  EXPECT_EQ(Count(dom, "<mark>" + word + "</mark>"), expectedMarks) << dom;
  EXPECT_GT(Count(dom, "<mark>" + word + "</mark>" + GbkToUtf8("观")), 0u) << dom;
  // The best match comes first, and the switch leads back to the table's order.
  const std::string best = answer["hits"][0]["title"].get<std::string>();
  EXPECT_EQ(dom.compare(dom.find(GbkToUtf8("标题")), best.size(), best), 0) << dom;
  EXPECT_NE(Attribute(dom, "id=\"rank\"", "href").find("order=asc"), std::string::npos) << dom;
  // By whole words in the table's order, 人生 inside 人生观 is no match.
  const std::string wordsDom = Dom("?text=%E4%BA%BA%E7%94%9F&field=body&match=words&order=asc");
  EXPECT_NE(wordsDom.find(">30 hits<"), std::string::npos) << wordsDom;
  EXPECT_EQ(Count(wordsDom, "<mark>" + word + "</mark>" + GbkToUtf8("观")), 0u) << wordsDom;
  EXPECT_GT(Count(wordsDom, word + GbkToUtf8("观")), 0u) << wordsDom;
  // The long records come first there, cut, with their whole text a click away.
  EXPECT_GT(Count(wordsDom, "<summary>Full text</summary>"), 0u) << wordsDom;
  EXPECT_EQ(wordsDom.compare(wordsDom.find(GbkToUtf8("标题")), GbkToUtf8("标题0").size(),
                             GbkToUtf8("标题0")),
            0);

  // A facet value narrows the total to its count.
  const Json& first = answer["facets"]["year"][0];
  const std::string value = std::to_string(first["value"].get<int>());
  const std::string narrowed = Attribute(dom, "f_year=" + value, "href");
  ASSERT_FALSE(narrowed.empty()) << dom;
  const std::string narrowedDom = Dom(narrowed);
  EXPECT_NE(narrowedDom.find(">" + std::to_string(first["count"].get<int>()) + " hits<"),
            std::string::npos)
      << narrowed << narrowedDom;
  EXPECT_NE(narrowedDom.find(value + " \xC3\x97"), std::string::npos) << narrowedDom;

  // Paging: the next window.
  const std::string next = Attribute(dom, "id=\"next\"", "href");
  ASSERT_NE(next.find("start=20"), std::string::npos) << next;
  EXPECT_NE(Dom(next).find(">21\xE2\x80\x93"
                           "30<"),
            std::string::npos);

  // Newest first: the first hit of the switched page is the last record of the hits.
  const std::string switched = Attribute(dom, "id=\"order\"", "href");
  ASSERT_NE(switched.find("order=desc"), std::string::npos) << switched;
  const std::string newestDom = Dom(switched);
  EXPECT_NE(newestDom.find("aria-checked=\"true\""), std::string::npos);
  const size_t firstTitle = newestDom.find(GbkToUtf8("标题"));
  ASSERT_NE(firstTitle, std::string::npos) << newestDom;
  EXPECT_EQ(newestDom.compare(firstTitle, GbkToUtf8("标题29").size(), GbkToUtf8("标题29")), 0)
      << newestDom.substr(firstTitle, 40);

  const std::string screenshot = TEST_ARTIFACT_DIR "/http_search_page_snippets.png";
  ::unlink(screenshot.c_str());
  EXPECT_EQ(std::system((Browser() + "--window-size=1100,800 --screenshot=" + screenshot + " '" +
                         Base() + "?text=%E4%BA%BA%E7%94%9F&field=body' > /dev/null 2>&1")
                            .c_str()),
            0);
  EXPECT_EQ(::access(screenshot.c_str(), R_OK), 0) << screenshot;
}

}  // namespace
