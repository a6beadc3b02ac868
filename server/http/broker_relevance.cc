#include "server/http/broker_relevance.h"

#include <algorithm>
#include <future>
#include <nlohmann/json.hpp>

#include "core/util/string_format.h"
#include "net/socket_io.h"
#include "server/http/broker_answers.h"

namespace {

using Json = nlohmann::ordered_json;

// One shard's answer: its total and its hits in its order.
struct tShardPage {
  bool ok = false;
  int64_t total = 0;
  Json hits;
};

}  // namespace

bool HttpGetBody(const tShard& shard, const std::string& target, int timeoutSeconds, int* status,
                 std::string* body) {
  const Deadline deadline = DeadlineAfter(timeoutSeconds);
  CSocket socket;
  int error = 0;
  if (!ConnectTcp(shard.address, shard.port, deadline, &socket, &error)) return false;
  const std::string request = "GET " + target + " HTTP/1.0\r\nHost: " + shard.name + "\r\n\r\n";
  if (SendFully(socket.fd(), request.data(), static_cast<int>(request.size()), deadline, 0) !=
      static_cast<int>(request.size())) {
    return false;
  }
  // HTTP/1.0 without keep-alive: the answer ends where the shard closes the connection.
  std::string response;
  char buffer[65536];
  constexpr size_t kMostBytes = size_t{1} << 30;
  for (;;) {
    if (RecvFully(socket.fd(), buffer, 1, deadline) != 1) break;
    response += buffer[0];
    const ssize_t more = ::recv(socket.fd(), buffer, sizeof buffer, MSG_DONTWAIT);
    if (more > 0) response.append(buffer, static_cast<size_t>(more));
    if (response.size() > kMostBytes) return false;
  }
  if (!PeerHasClosed(socket.fd()) && response.empty()) return false;
  const size_t headerEnd = response.find("\r\n\r\n");
  if (response.compare(0, 9, "HTTP/1.1 ") != 0 && response.compare(0, 9, "HTTP/1.0 ") != 0) {
    return false;
  }
  if (headerEnd == std::string::npos || response.size() < 12) return false;
  *status = std::atoi(response.c_str() + 9);
  *body = response.substr(headerEnd + 4);
  return true;
}

tHttpResponse AnswerBrokerRelevance(const tBrokerView& view, const std::string& utf8Query,
                                    const std::string& matchArgument, int32_t start, int32_t count,
                                    int timeoutSeconds) {
  if (view.httpShards.empty()) {
    return ErrorAnswer(400,
                       "order=relevance through a broker needs the shards' HTTP ports "
                       "(ShardsHttp)");
  }
  tHttpResponse answer;
  const int64_t first = std::max<int32_t>(start, 0);
  const int64_t wanted = start < 0 || count < 1 ? 0 : std::min<int64_t>(first + count, INT32_MAX);
  const std::string target = "/search?q=" + PercentEncode(utf8Query) +
                             "&order=relevance&start=0&count=" + std::to_string(wanted) +
                             (matchArgument.empty() ? "" : "&match=" + matchArgument);
  std::vector<std::future<tShardPage>> asked;
  for (const tShard& shard : view.httpShards) {
    asked.push_back(std::async(std::launch::async, [&shard, &target, timeoutSeconds, wanted] {
      tShardPage page;
      int status = 0;
      std::string body;
      if (!HttpGetBody(shard, target, timeoutSeconds, &status, &body) || status != 200) return page;
      const Json parsed = Json::parse(body, nullptr, false);
      if (!parsed.is_object() || !parsed.contains("total") || !parsed["total"].is_number() ||
          !parsed.contains("hits") || !parsed["hits"].is_array()) {
        return page;
      }
      page.total = parsed["total"].get<int64_t>();
      page.hits = parsed["hits"];
      // A shard must give every hit asked of it (a page cap below the window is a failure).
      page.ok = static_cast<int64_t>(page.hits.size()) == std::min(page.total, wanted);
      return page;
    }));
  }
  std::vector<tShardPage> pages;
  for (size_t i = 0; i < asked.size(); ++i) {
    pages.push_back(asked[i].get());
    if (!pages.back().ok) {
      // Let the other requests end before the answer goes.
      for (size_t j = i + 1; j < asked.size(); ++j) asked[j].wait();
      return ErrorAnswer(502, "shard " + view.httpShards[i].name + " did not answer");
    }
  }
  struct tRanked {
    double score;
    size_t shard;
    size_t position;
  };
  std::vector<tRanked> ranked;
  int64_t total = 0;
  for (size_t s = 0; s < pages.size(); ++s) {
    total += pages[s].total;
    for (size_t p = 0; p < pages[s].hits.size(); ++p) {
      const Json& hit = pages[s].hits[p];
      const double score =
          hit.contains("score") && hit["score"].is_number() ? hit["score"].get<double>() : 0;
      ranked.push_back({score, s, p});
    }
  }
  std::stable_sort(ranked.begin(), ranked.end(), [](const tRanked& a, const tRanked& b) {
    return a.score > b.score ||
           (a.score == b.score &&
            (a.shard < b.shard || (a.shard == b.shard && a.position < b.position)));
  });
  Json hits = Json::array();
  for (int64_t i = first; i < wanted && i < static_cast<int64_t>(ranked.size()); ++i) {
    const tRanked& hit = ranked[static_cast<size_t>(i)];
    hits.push_back(pages[hit.shard].hits[hit.position]);
  }
  Json page;
  page["total"] = std::min<int64_t>(total, INT32_MAX);
  page["start"] = start;
  page["returned"] = hits.size();
  page["fields"] = view.storedNamesUtf8;
  page["hits"] = std::move(hits);
  answer.body = page.dump(-1, ' ', false, Json::error_handler_t::replace);
  return answer;
}
