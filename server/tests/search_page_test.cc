// The search page in headless Chromium against an in-process HTTP interface: the rendered
// page marks the query's matches where the engine matched them and nowhere else (the same
// marks as the JSON answer), a facet value's link narrows the total to the value's count,
// the paging and the newest-first links show the next window and the reversed order, and a
// screenshot is left in the build tree's tests folder. Each step loads the address a click
// would go to, since every control of the page is a link to the address of its search. The
// type-ahead is driven through the browser's DevTools protocol over a pipe: typed text and
// keys go in as input events, and the list shown is the /suggest answer, with Up, Down, Enter
// and Escape doing what they say.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "core/query/query.h"
#include "core/text/encoding.h"
#include "core/text/word_list.h"
#include "server/http/http_answers.h"
#include "server/http/http_server.h"
#include "server/http/suggest.h"
#include "server/metrics.h"
#include "server/search_data.h"
#include "testing/net/wire_client.h"
#include "testing/records/query_fixture.h"
#include "testing/trie_test_files.h"

namespace {

using Json = nlohmann::json;

const std::vector<std::string> kWords = {"人生", "人生观", "中国", "人民", "北京", "大学"};
const char kSchema[] =
    "1 TITLE title T 1 0 1 1 标题\n"
    "2 BODY body T 1 0 1 1 正文\n"
    "3 YEAR year I 0 1 1 0 年份\n";

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

// Headless Chromium driven over --remote-debugging-pipe: requests are JSON objects, each
// ended by a NUL byte, written to the browser's descriptor 3; answers and events come back
// the same way on its descriptor 4. Every wait is bounded.
class CBrowserPipe {
 public:
  bool Start(const std::string& profile, const std::string& address) {
    int toBrowser[2];
    int fromBrowser[2];
    if (::pipe(toBrowser) != 0) return false;
    if (::pipe(fromBrowser) != 0) return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, toBrowser[0], 3);
    posix_spawn_file_actions_adddup2(&actions, fromBrowser[1], 4);
    posix_spawn_file_actions_addclose(&actions, toBrowser[1]);
    posix_spawn_file_actions_addclose(&actions, fromBrowser[0]);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    const std::string userData = "--user-data-dir=" + profile;
    std::vector<std::string> arguments = {"/usr/bin/chromium",
                                          "--headless",
                                          "--no-sandbox",
                                          "--disable-gpu",
                                          "--no-first-run",
                                          "--disable-background-networking",
                                          "--disable-component-update",
                                          "--disable-sync",
                                          "--remote-debugging-pipe",
                                          userData,
                                          address};
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    const int spawned = posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(toBrowser[0]);
    ::close(fromBrowser[1]);
    m_out = toBrowser[1];
    m_in = fromBrowser[0];
    if (spawned != 0) {
      m_pid = -1;
      return false;
    }
    // Attach to the page the browser opened.
    for (int attempt = 0; attempt < 100 && m_session.empty(); ++attempt) {
      const Json targets = Call("Target.getTargets", Json::object());
      for (const Json& target : targets["result"]["targetInfos"]) {
        if (target["type"] == "page") {
          const Json attached =
              Call("Target.attachToTarget", {{"targetId", target["targetId"]}, {"flatten", true}});
          m_session = attached["result"].value("sessionId", "");
          break;
        }
      }
      if (m_session.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return !m_session.empty();
  }

  ~CBrowserPipe() {
    if (m_out >= 0) ::close(m_out);
    if (m_in >= 0) ::close(m_in);
    if (m_pid > 0) {
      ::kill(m_pid, SIGTERM);
      for (int i = 0; i < 100; ++i) {
        if (::waitpid(m_pid, nullptr, WNOHANG) == m_pid) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
      ::kill(m_pid, SIGKILL);
      ::waitpid(m_pid, nullptr, 0);
    }
  }

  // Sends a request (to the page when attached) and returns its answer; null after 10 s.
  Json Call(const std::string& method, const Json& parameters) {
    Json request = {{"id", ++m_id}, {"method", method}, {"params", parameters}};
    if (!m_session.empty()) request["sessionId"] = m_session;
    const std::string text = request.dump() + '\0';
    if (::write(m_out, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
      return nullptr;
    }
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < until) {
      const size_t end = m_buffer.find('\0');
      if (end != std::string::npos) {
        const std::string message = m_buffer.substr(0, end);
        m_buffer.erase(0, end + 1);
        const Json answer = Json::parse(message, nullptr, false);
        if (answer.is_object() && answer.value("id", -1) == m_id) return answer;
        continue;  // an event, or the answer to an earlier request
      }
      pollfd ready{m_in, POLLIN, 0};
      if (::poll(&ready, 1, 100) <= 0) continue;
      char chunk[65536];
      const ssize_t got = ::read(m_in, chunk, sizeof chunk);
      if (got <= 0) return nullptr;
      m_buffer.append(chunk, static_cast<size_t>(got));
    }
    return nullptr;
  }

  // The value of a JavaScript expression in the page.
  Json Evaluate(const std::string& expression) {
    const Json answer =
        Call("Runtime.evaluate", {{"expression", expression}, {"returnByValue", true}});
    if (answer.is_null() || !answer["result"].contains("result")) return nullptr;
    return answer["result"]["result"].value("value", Json());
  }

  // Waits up to 5 s for `expression` to be true.
  bool WaitFor(const std::string& expression) {
    for (int i = 0; i < 100; ++i) {
      if (Evaluate(expression) == Json(true)) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }

  void Key(const std::string& key, int code) {
    for (const char* type : {"keyDown", "keyUp"}) {
      Json event = {{"type", type},
                    {"key", key},
                    {"code", key},
                    {"windowsVirtualKeyCode", code},
                    {"nativeVirtualKeyCode", code}};
      // Enter also types its character, which is what submits a form.
      if (code == 13 && std::string(type) == "keyDown") event["text"] = "\r";
      Call("Input.dispatchKeyEvent", event);
    }
  }
  // Types into the focused box of id `id` and waits until the box holds the text. A loaded
  // machine can hand the page its focus after the first insertion, which is then lost: the
  // text is typed again while the box still holds what it held before.
  bool Type(const std::string& id, const std::string& utf8) {
    const std::string value = "document.getElementById('" + id + "').value";
    const Json before = Evaluate(value);
    if (!before.is_string()) return false;
    const Json after = Json(before.get<std::string>() + utf8);
    for (int attempt = 0; attempt < 5; ++attempt) {
      Evaluate("document.getElementById('" + id + "').focus()");
      Call("Input.insertText", {{"text", utf8}});
      for (int i = 0; i < 40; ++i) {
        const Json now = Evaluate(value);
        if (now == after) return true;
        if (now != before) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
    }
    return false;
  }

 private:
  pid_t m_pid = -1;
  int m_out = -1;
  int m_in = -1;
  int m_id = 0;
  std::string m_session;
  std::string m_buffer;
};

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
    EXPECT_EQ(status, 0) << ReadFileBytes(Path("chromium.err"));
    return ReadFileBytes(Path("dom.html"));
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

TEST_F(SearchPageTest, TypeAheadOffersTheSuggestionsAndTheKeysChooseOne) {
  // What /suggest answers for 人: 人生 (in 30 records) before 人民 (in 10), and 人生观.
  const Json expected =
      Json::parse(SuggestAnswer(GbkToUtf8("人"), std::string("8"), m_data.get()).body);
  ASSERT_EQ(expected["suggestions"].size(), 3u) << expected.dump();
  EXPECT_EQ(expected["suggestions"][0]["word"], GbkToUtf8("人生"));
  EXPECT_EQ(expected["suggestions"][0]["records"], 30);

  CBrowserPipe browser;
  ASSERT_TRUE(browser.Start(Path("pipe-profile"), Base() + "?text=")) << "no DevTools pipe";
  ASSERT_TRUE(browser.WaitFor("document.readyState === 'complete'"));
  // A headless page has no window focus of its own: emulate it, so that the box takes keys.
  browser.Call("Emulation.setFocusEmulationEnabled", {{"enabled", true}});
  ASSERT_TRUE(
      browser.WaitFor("document.getElementById('text').focus(), "
                      "document.activeElement.id === 'text' && document.hasFocus()"));
  ASSERT_TRUE(browser.Type("text", GbkToUtf8("北京 人")));
  ASSERT_TRUE(browser.WaitFor("!document.getElementById('suggestions').hidden"))
      << "typed: " << browser.Evaluate("document.getElementById('text').value").dump();
  Json shown = browser.Evaluate(
      "[...document.querySelectorAll('#suggestions li')].map(li => li.dataset.word)");
  ASSERT_EQ(shown.size(), expected["suggestions"].size()) << shown.dump();
  for (size_t i = 0; i < shown.size(); ++i) {
    EXPECT_EQ(shown[i], expected["suggestions"][i]["word"]) << i;
  }
  const std::string selected =
      "document.querySelector('#suggestions li[aria-selected=true]')?.dataset.word ?? ''";
  // Down twice, Up once: the first word; Up again wraps to the last.
  browser.Key("ArrowDown", 40);
  browser.Key("ArrowDown", 40);
  EXPECT_EQ(browser.Evaluate(selected), expected["suggestions"][1]["word"]);
  browser.Key("ArrowUp", 38);
  EXPECT_EQ(browser.Evaluate(selected), expected["suggestions"][0]["word"]);
  EXPECT_EQ(browser.Evaluate("document.getElementById('text').getAttribute("
                             "'aria-activedescendant')"),
            "suggestion-0");
  // Enter takes the word in place of the typed letters, and does not search yet.
  browser.Key("Enter", 13);
  EXPECT_EQ(browser.Evaluate("document.getElementById('text').value"), GbkToUtf8("北京 人生"));
  EXPECT_EQ(browser.Evaluate("document.getElementById('suggestions').hidden"), true);
  EXPECT_EQ(browser.Evaluate("location.search"), "?text=");
  // A term after "-" and a field name is completed too; Escape closes the list.
  ASSERT_TRUE(browser.Type("text", GbkToUtf8(" -body:人民")));
  ASSERT_TRUE(browser.WaitFor("!document.getElementById('suggestions').hidden"));
  EXPECT_EQ(browser.Evaluate("document.querySelectorAll('#suggestions li').length"), 1);
  browser.Key("Escape", 27);
  EXPECT_EQ(browser.Evaluate("document.getElementById('suggestions').hidden"), true);
  // Enter without a chosen word searches the text as typed.
  browser.Key("Enter", 13);
  ASSERT_TRUE(browser.WaitFor("location.search.includes('body')"));
  ASSERT_TRUE(
      browser.WaitFor("/[0-9]+ hits?/.test(document.getElementById('status')"
                      ".textContent)"));
  tSearchParameters parameters;
  parameters.text = GbkToUtf8("北京 人生 -body:人民");
  const Json answer = Json::parse(AnswerJsonSearch(parameters, m_data.get()).body);
  EXPECT_NE(browser.Evaluate("document.getElementById('status').textContent")
                .get<std::string>()
                .find(std::to_string(answer["total"].get<int>()) + " hit"),
            std::string::npos);
}

}  // namespace
