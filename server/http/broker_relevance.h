// order=relevance through a broker. The binary protocol carries no scores, so the broker asks
// each shard's HTTP port (ShardsHttp, in the order of the shards' ranges) for its best
// start + count hits of the query with their scores, and merges them: higher score first,
// equal scores in shard order and then in each shard's own order, which is the order of the
// sort column. The totals add up. Each shard scores with its own statistics (record count,
// the values' document frequencies, average field lengths), so scores of different shards are
// comparable only as far as their statistics agree; see docs/relevance.md.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string>
#include <vector>

#include "server/http/http_response.h"
#include "server/shard_broker.h"

struct tBrokerView;
struct tSearchParameters;

// The JSON page of the relevance window [start, start + count) of `utf8Query` (the q= text
// in UTF-8), asking every HTTP shard with `matchArgument` (empty, "words" or "contains").
// 502 naming a shard that fails or answers something else than a page; 400 without HTTP
// shards.
tHttpResponse AnswerBrokerRelevance(const tBrokerView& view, const std::string& utf8Query,
                                    const std::string& matchArgument, int32_t start, int32_t count,
                                    int timeoutSeconds);

// The body of GET `target` from host:port, and its status code; false when the exchange
// failed before a whole answer came (connection, time-out, no status line).
bool HttpGetBody(const tShard& shard, const std::string& target, int timeoutSeconds, int* status,
                 std::string* body);
