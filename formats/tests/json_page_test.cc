// Tests of the JSON page as bytes: the members a search's extras add, where each stands, and
// that a hit past the extras' list gains none.
#include "formats/json_page.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

ResultPage TwoHits() {
  ResultPage page;
  page.total = 5;
  page.start = 2;
  page.returned = 2;
  page.fieldCount = 2;
  page.valueLengths = {1, 1, 2, 2};
  page.text = "tbt2b2";
  return page;
}

TEST(JsonPageTest, APlainPageHoldsTheValuesUnderTheFieldNames) {
  EXPECT_EQ(FormatJsonPage(TwoHits(), {"title", "body"}),
            "{\"total\":5,\"start\":2,\"returned\":2,\"fields\":[\"title\",\"body\"],"
            "\"hits\":[{\"title\":\"t\",\"body\":\"b\"},{\"title\":\"t2\",\"body\":\"b2\"}]}");
}

TEST(JsonPageTest, ExtrasAddTheirMembersToTheHitsAndThePage) {
  const std::string body = "abc";
  tJsonPageExtras extras;
  extras.snippetNames = {"body"};
  tJsonHit& hit = extras.hits.emplace_back();
  hit.match = HitMatch::kWord;
  hit.scored = true;
  hit.score = 1.5;
  tJsonSnippet& snippet = hit.snippets.emplace_back();
  snippet.text = body.c_str();
  snippet.excerpt.end = 3;
  extras.facets.push_back({"year", {{2005, 3}, {2006, 1}}});
  extras.warnings = {"w"};
  extras.explained = true;
  extras.explain.syntax = "text";
  extras.explain.hasTree = true;
  extras.explain.tree = "x";
  tJsonExplainValue& value = extras.explain.values.emplace_back();
  value.hasField = true;
  value.field = "body";
  value.value = "v";
  value.readAs = "v";
  value.words = {{"v", 7}};
  value.restricts = true;
  value.hasPosition = true;
  value.position = 4;
  EXPECT_EQ(
      FormatJsonPage(TwoHits(), {"title", "body"}, &extras, 1000),
      "{\"total\":5,\"start\":2,\"returned\":2,\"capped\":1000,\"fields\":[\"title\",\"body\"],"
      "\"hits\":[{\"title\":\"t\",\"body\":\"b\",\"match\":\"word\",\"score\":1.5,"
      "\"snippets\":{\"body\":\"abc\"},\"marks\":{\"body\":[]}},"
      "{\"title\":\"t2\",\"body\":\"b2\"}],"
      "\"facets\":{\"year\":[{\"value\":2005,\"count\":3},{\"value\":2006,\"count\":1}]},"
      "\"warnings\":[\"w\"],"
      "\"explain\":{\"syntax\":\"text\",\"tree\":\"x\",\"values\":[{\"field\":\"body\","
      "\"value\":\"v\",\"read_as\":\"v\",\"words\":[{\"word\":\"v\",\"number\":7}],"
      "\"outside_words\":\"\",\"restricts\":true,\"position\":4}]}}");
}

}  // namespace
