// The result options of /search beside the query and its window, and what they add to the
// JSON page:
//   snippet=body,title   excerpts of stored text fields with the query's matches marked
//                        (formats/snippet_html.h), per hit under "snippets" and "marks"
//   snippet_length=N     characters per excerpt (1 to 10000, default 120)
//   facet=year           counts of the hits per value of filter fields, over all hits,
//                        under "facets" (core/query/facets.h)
//   facet_limit=N        values per facet (1 to 100000, default 10)
//   order=asc|desc|relevance  ascending sort column (the default, the binary protocol's
//                        order), newest first, or best match first (each hit then carries
//                        "score"; docs/relevance.md)
//   match=words|contains how values match: dictionary words as phrases, or the value's
//                        characters in a row wherever the dictionary cut them (each hit then
//                        carries "match":"word" or "part"); the default is the server's Match
// Names are index names in UTF-8; snippet= and facet= take several, separated by commas or
// given again. A name that is no field, or a field of the wrong kind, is a 400 answer that
// lists the names that would do.
//
// Thread safety: no state; the data set is only read.
#pragma once

#include <string>
#include <vector>

#include "formats/json_page.h"
#include "server/http/http_request.h"
#include "server/http/http_response.h"
#include "server/search_run.h"

class CFieldInfo;
class CQuery;
class CSearchData;
struct ResultPage;

struct tResultOptions {
  std::vector<int> snippetFields;  // field numbers, in request order, without repeats
  int snippetLength = 120;
  std::vector<int> facetFields;  // field numbers, in request order, without repeats
  int facetLimit = 10;
  bool descending = false;
  bool relevance = false;
  MatchChoice match = MatchChoice::kDefault;
};

// Reads order=, snippet_length= and facet_limit=, which need no data set; false with the 400
// answer in *error.
bool ReadResultLimits(const tSearchParameters& parameters, tResultOptions* options,
                      tHttpResponse* error);

// Resolves snippet= (stored text fields) and facet= (filter fields) against `schema`; false
// with the 400 answer in *error.
bool ReadResultFields(const tSearchParameters& parameters, const CFieldInfo& schema,
                      tResultOptions* options, tHttpResponse* error);

// The 400 answer for index names of a query that name no field:
// {"error":"no field is named ...","fields":[every index name]}.
tHttpResponse UnknownFieldAnswer(const std::vector<std::string>& gbkNames,
                                 const CFieldInfo& schema);

// Fills the snippets of the JSON page: extras->snippetNames and, for each returned hit of
// `page`, extras->hits[i].snippets (hits grow to the page); nothing without snippet fields.
// `page` is engine.GetPage(..., descending) of the engine's last Execute, and the snippets
// borrow the data set's stored text.
void AddSnippets(const CQuery& engine, const ResultPage& page, const CSearchData& data,
                 const tResultOptions& options, tJsonPageExtras* extras);

// The facets of the JSON page, one per facet field; empty without facet fields.
std::vector<tJsonFacet> Facets(const CQuery& engine, const CSearchData& data,
                               const tResultOptions& options);

// The names the search page offers: stored text fields for snippets, filter fields for
// facets (UTF-8).
std::vector<std::string> SnippetFieldNames(const CFieldInfo& schema);
std::vector<std::string> FacetFieldNames(const CFieldInfo& schema);
