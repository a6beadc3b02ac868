// The JSON page: a page of results in UTF-8 under the UTF-8 index names of the schema's
// stored fields, as the HTTP interface answers /search:
//
//   {"total":12,"start":0,"returned":1,"fields":["title","body"],
//    "hits":[{"title":"...","body":"..."}]}
//
// ("total":...,"returned":1,"capped":1000,"fields":... when the page count was capped)
//
// on one line, without blanks. Extras of a search add members: per hit, after its values,
// "match" ("word" or "part"), "score" (%.6g), and "snippets" and "marks" (formats/snippet_html.h)
// keyed by the snippet fields' names; after the hits, "facets" (name: [{"value","count"}]),
// "warnings" (strings) and "explain" (the query as the engine read it). Values are converted from
// GBK (core/text/encoding.h: a byte that starts no character becomes U+FFFD), so the page is always
// valid UTF-8; quotes, backslashes and control characters are escaped (\n, \r, \t, else \u00XX),
// nothing else is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/query/result_page.h"
#include "core/query/snippet.h"

// Appends `utf8` (valid UTF-8) to *json as a JSON string, quotes included.
void AppendJsonString(const std::string& utf8, std::string* json);

// One snippet of a hit: the GBK text of a stored field (borrowed; must outlive the
// formatting) and the excerpt chosen from it.
struct tJsonSnippet {
  const char* text = nullptr;
  tExcerpt excerpt;
};

// What a hit's match under contains matching was: every value found as dictionary words, or
// some only as characters in a row. kNotShown writes no "match" member.
enum class HitMatch { kNotShown, kWord, kPart };

// The members a hit gains beside its values.
struct tJsonHit {
  HitMatch match = HitMatch::kNotShown;
  bool scored = false;  // writes "score" (order=relevance)
  double score = 0;
  std::vector<tJsonSnippet> snippets;  // one per snippet name; none: no "snippets" member
};

// One facet: the field's UTF-8 name and the counts of its values, as they are to be listed.
struct tJsonFacet {
  struct tCount {
    int64_t value = 0;
    int64_t count = 0;
  };
  std::string name;
  std::vector<tCount> counts;
};

// One value of the explain member (all text UTF-8).
struct tJsonExplainValue {
  struct tWord {
    std::string word;
    int32_t number = 0;  // the word number in the dictionary
  };
  bool hasField = false;  // writes "field"
  std::string field;
  std::string value;   // as written
  std::string readAs;  // normalised
  std::vector<tWord> words;
  std::string outside;  // the characters outside every word
  bool restricts = false;
  bool hasPosition = false;  // writes "position" (a search-box term)
  size_t position = 0;
};

// The "explain" member: the syntax read ("text" or "q"), the search-box tree, the values.
struct tJsonExplain {
  std::string syntax;
  bool hasTree = false;
  std::string tree;
  std::vector<tJsonExplainValue> values;
};

// Everything a search adds to its page. Empty lists write no member.
struct tJsonPageExtras {
  std::vector<std::string> snippetNames;  // UTF-8, in the order of each hit's snippets
  std::vector<tJsonHit> hits;             // for the page's first hits.size() hits
  std::vector<tJsonFacet> facets;
  std::vector<std::string> warnings;  // UTF-8
  bool explained = false;             // writes "explain"
  tJsonExplain explain;
};

// The JSON page of `page`, whose records hold one value per entry of `names` (UTF-8). A
// value past the end of `names` is written under the name "". Lengths of the page must agree
// with its text (pages made by GetPage or checked by UnpackResult do). With `extras`, their
// members as the format above shows. With `cappedAt` above 0 the page count asked for was
// larger than the server serves in one page, and the page says so after "returned":
// "capped":<cappedAt>.
std::string FormatJsonPage(const ResultPage& page, const std::vector<std::string>& names,
                           const tJsonPageExtras* extras = nullptr, int cappedAt = 0);
