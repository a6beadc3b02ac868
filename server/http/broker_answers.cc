#include "server/http/broker_answers.h"

#include <microhttpd.h>

#include <cstring>

#include "core/query/query_parser.h"
#include "core/text/encoding.h"
#include "formats/json_page.h"
#include "formats/result_document.h"
#include "server/http/broker_relevance.h"
#include "server/http/search_options.h"
#include "server/shard_broker.h"

namespace {

// True for a query argument that asks for snippets or facets, whatever its exact name.
MHD_Result FindSnippetOrFacet(void* context, MHD_ValueKind, const char* key, const char*) {
  if (key != nullptr &&
      (std::strncmp(key, "snippet", 7) == 0 || std::strncmp(key, "facet", 5) == 0)) {
    *static_cast<bool*>(context) = true;
    return MHD_NO;
  }
  return MHD_YES;
}

}  // namespace

tHttpResponse BrokerHealthAnswer(const tBrokerView& view) {
  tHttpResponse answer;
  answer.body = "{\"status\":\"serving\",\"shards\":" +
                std::to_string(view.broker != nullptr ? view.broker->shards().size() : 0) + "}";
  return answer;
}

tHttpResponse AnswerBrokerSearch(MHD_Connection* connection, const tSearchParameters& parameters,
                                 const tBrokerView& view, const tSearchLimits& limits,
                                 PageFormat format) {
  tHttpSearch search;
  tHttpResponse refused;
  if (!ReadSearch(parameters, limits, SearchReader::kBroker, &search, &refused)) return refused;
  const std::string& query = search.query;
  const int32_t start = search.start;
  int32_t count = search.count;
  bool extras = false;
  if (connection != nullptr) {
    MHD_get_connection_values(connection, MHD_GET_ARGUMENT_KIND, FindSnippetOrFacet, &extras);
  }
  if (extras) return ErrorAnswer(400, "snippets and facets are not offered through a broker");
  const bool relevance = parameters.order && *parameters.order == "relevance";
  if (parameters.order && *parameters.order != "asc" && !relevance) {
    return ErrorAnswer(400, "only order=asc and order=relevance are offered through a broker");
  }
  if (parameters.match && *parameters.match != "words" && *parameters.match != "contains") {
    return ErrorAnswer(400, "match must be words or contains");
  }
  if (relevance && format == PageFormat::kXml) {
    return ErrorAnswer(400, "order=relevance through a broker answers /search only");
  }
  if (!relevance && parameters.match) {
    return ErrorAnswer(400, "match= through a broker goes with order=relevance");
  }
  if (view.schema != nullptr) {
    // Parsed over the schema alone: the bounds a query's text alone can pass are checked here,
    // before any shard is asked, in the order one server checks them.
    tParsedQuery parsed;
    ParseQuery(*view.schema, query, &parsed);
    if (OverWordLimit(parsed, limits.query.maxWords)) {
      return StoppedAnswer(SearchStop::kTooLarge, limits);
    }
    if (!parsed.unknownFields.empty())
      return UnknownFieldAnswer(parsed.unknownFields, *view.schema);
  }
  // The page cap holds through a broker as on a server over the whole table.
  tHttpResponse answer;
  count = CapPageCount(count, limits.maxPageCount, &answer.cappedAt);
  if (relevance) {
    // The query came from UTF-8 through a conversion that refuses what GBK lacks, so it goes
    // back unchanged.
    tHttpResponse ranked = AnswerBrokerRelevance(
        view, GbkToUtf8(query), parameters.match.value_or(""), start, count, view.shardTimeout);
    ranked.cappedAt = answer.cappedAt;
    return ranked;
  }
  ResultPage page;
  std::string failed;
  BrokerStop stop = BrokerStop::kNone;
  if (!view.broker->Answer(query, start, count, &page, &failed, &stop)) {
    // A query the shards refused gets the answer one server gives it.
    if (RefusalOf(stop) != SearchStop::kNone) return StoppedAnswer(RefusalOf(stop), limits);
    return ErrorAnswer(502, "shard " + failed + " did not answer");
  }
  if (format == PageFormat::kJson) {
    answer.body = FormatJsonPage(page, view.storedNamesUtf8, nullptr, answer.cappedAt);
    return answer;
  }
  bool declaredGbk = false;
  if (!FormatResultDocument(page, view.storedNames, &answer.body, &declaredGbk)) {
    return ErrorAnswer(500, "the result document could not be formed");
  }
  answer.contentType =
      declaredGbk ? "application/xml; charset=GBK" : "application/xml; charset=gb2312";
  return answer;
}
