// The HTTP answers of a broker (a server configured with Shards): the same routes as over a
// data set, with the pages asked of the shards. A shard that fails makes the search a 502
// naming it; snippets and facets are not offered through a broker (400).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "server/http/http_answers.h"
#include "server/shard_broker.h"

class CFieldInfo;
class CShardBroker;
struct MHD_Connection;

// What a broker's HTTP interface serves: the broker and the names of the schema every shard
// serves (as CSearchData keeps them).
struct tBrokerView {
  const CShardBroker* broker = nullptr;
  std::vector<std::string> storedNames;
  std::vector<std::string> storedNamesUtf8;
  std::vector<std::string> indexedNamesUtf8;
  // The schema the queries are parsed over, so that a query naming no field of it is refused
  // as a server over the data set refuses it (read-only once set).
  std::shared_ptr<const CFieldInfo> schema;
  // The shards' HTTP ports, in the order of their ranges (ShardsHttp), for order=relevance;
  // empty when not configured.
  std::vector<tShard> httpShards;
  int shardTimeout = 5;
};

// /health of a broker: {"status":"serving","shards":N}.
tHttpResponse BrokerHealthAnswer(const tBrokerView& view);

// /search (PageFormat::kJson) or /search.xml (kXml) through the broker: 400 for bad arguments or
// for snippet or facet arguments (order=relevance: JSON only, see broker_relevance.h), 502
// {"error":"shard host:port did not answer"} when a shard fails, else the page one server over the
// whole set would give.
tHttpResponse AnswerBrokerSearch(MHD_Connection* connection, const tSearchParameters& parameters,
                                 const tBrokerView& view, const tSearchLimits& limits,
                                 PageFormat format);
