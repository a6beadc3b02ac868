// The OR operator word end to end: the client library asks a search server on 127.0.0.1 over a
// served set, and the document it writes is the one of the in-process engine, whose hits are
// the reference scan's (any one value of an [OR] condition holds; [AND] needs all of them).
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "client/query_client.h"
#include "client/tests/fake_server.h"
#include "core/query/query.h"
#include "formats/result_document.h"
#include "server/search_data.h"
#include "testing/formats/document_check.h"
#include "testing/records/served_set.h"
#include "testing/server/loopback_server.h"

namespace {

const std::vector<std::string> kWords = {"中国", "人民", "北京", "大学", "学生", "上海"};

std::vector<int> HitRecords(const CQuery& engine) {
  std::vector<int> records;
  for (const tINDEX_STRUCTURE& hit : engine.GetHits()) records.push_back(hit.record);
  return records;
}

TEST(OrWordTest, TheClientGetsAnyOneValueUnderOrAndEveryValueUnderAnd) {
  CServedSetFixture fixture(kWords);
  ASSERT_TRUE(fixture.ok());
  std::mt19937 random(2929);
  for (int record = 0; record < 120; ++record) {
    ASSERT_TRUE(fixture.AddRecord(RandomText(&random, kWords, 1 + static_cast<int>(random() % 3)),
                                  RandomText(&random, kWords, static_cast<int>(random() % 6)),
                                  2000 + record % 5));
  }
  ASSERT_TRUE(fixture.SaveServedSet());
  const std::shared_ptr<const CSearchData> data = LoadSearchData(fixture.ServedPaths());
  ASSERT_TRUE(data);
  CLoopbackServer server;
  tAcceptOptions options;
  options.currentData = [data] { return data; };
  ASSERT_TRUE(server.Start(std::move(options)));

  CScratchFolder folder;
  const std::string schema = WriteSchema(folder.path(), {"title", "body", "year"});
  tClientConfig config;
  ASSERT_TRUE(ReadClientConfig(
      WriteConfig(folder.File("client.xml"), "127.0.0.1", server.port(), schema, 5).c_str(),
      &config));
  struct tCase {
    const char* query;
    std::vector<tReferenceCondition> model;
  };
  const std::vector<tCase> cases = {
      {"[FIELD] * [OR] 中国 北京", {{0, {"中国", "北京"}, true}}},
      {"[FIELD] * [AND] 中国 北京", {{0, {"中国", "北京"}, false}}},
      {"[FIELD] title [OR] 中国 上海 xyz [FIELD] body [AND] 人民",
       {{1, {"中国", "上海", "xyz"}, true}, {2, {"人民"}, false}}},
      {"[FIELD] title [OR] xyz [FIELD] body [OR] 大学学生 人民", {{2, {"大学学生", "人民"}, true}}},
      {"[FIELD] body [or] 学生 学生 [FIELD] year [OR] 2001 2003",
       {{2, {"学生"}, true}, {3, {"2001", "2003"}, false}}},
  };
  int nonEmpty = 0;
  for (const tCase& test : cases) {
    CQuery engine(data->schema(), data->store());
    const int total = engine.Execute(test.query);
    const std::vector<int> expected = fixture.reference().Search(test.model);
    EXPECT_EQ(HitRecords(engine), expected) << test.query;
    if (total > 0) ++nonEmpty;
    const std::string got = folder.File("got.xml");
    const std::string want = folder.File("want.xml");
    ASSERT_EQ(QueryServer(config, test.query, 0, 1000, got.c_str()), 0) << test.query;
    ASSERT_TRUE(BuildResultDocument(engine.GetPage(0, 1000), config.storedNames, want.c_str()));
    EXPECT_EQ(FileText(got), FileText(want)) << test.query;
  }
  EXPECT_GE(nonEmpty, 4);
  server.Stop();
}

}  // namespace
