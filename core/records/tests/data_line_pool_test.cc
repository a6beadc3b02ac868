// Tests of the data-line store beyond its initial room: a text pool that grows several times
// past its 4,096,000 initial bytes keeps every cell, saves and loads back, and the indexes of
// a wildcard field are fed from one segmentation exactly as from two.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "core/index/indexer.h"
#include "core/index/indexer_control.h"
#include "core/records/data_line_index.h"
#include "core/records/field_info.h"
#include "core/scan/record_preparation.h"
#include "core/text/pdat.h"
#include "testing/records/memory_rows.h"
#include "testing/records/store_fixture.h"

namespace {

const std::vector<std::string> kWords = {"中国", "人民", "北京", "大学"};

// 1 title (T indexed stored wildcard), 2 body (T indexed stored wildcard). K = 3, S = 2.
const char kSchema[] =
    "header\n"
    "1 title Title T 1 0 1 1 t\n"
    "2 body Body T 1 0 1 1 b\n";

std::string Body(int record) {
  // 1.5 to 3 KiB per record, different for every record.
  std::string text;
  for (int i = 0; i < 300 + record % 300; ++i) {
    text += kWords[static_cast<size_t>((record + i * 7) % 4)];
    if (i % 5 == record % 5) text += "x";
  }
  return text + std::to_string(record);
}

std::string CellText(const CDataLineIndex& store, int record, int column) {
  int length = -1;
  const char* text = store.GetCell(record, column, &length);
  return std::string(text, static_cast<size_t>(length));
}

TEST(DataLinePoolTest, PoolGrowingPastItsInitialRoomKeepsEveryCell) {
  CScratchDirectory dir;
  CPDAT trie;
  ASSERT_TRUE(BuildTestTrie(kWords, dir.Path("dict.txt"), &trie));
  ASSERT_TRUE(WriteTextFile(dir.Path("schema.txt"), kSchema));
  CFieldInfo schema;
  testing::internal::CaptureStdout();
  ASSERT_TRUE(schema.ImportText(dir.Path("schema.txt").c_str()));
  testing::internal::GetCapturedStdout();

  const int records = 6000;  // about 13 MB of text: the pool grows several times
  CDataLineIndex store(schema, &trie, false);
  std::string error;
  for (int record = 0; record < records; ++record) {
    CMemoryRow row{{"title", TextValue("北京" + std::to_string(record))},
                   {"body", TextValue(Body(record))}};
    ASSERT_TRUE(AddRecord(&store, row, &error)) << error;
  }
  for (int record = 0; record < records; record += 7) {
    ASSERT_EQ(CellText(store, record, 0), "北京" + std::to_string(record));
    ASSERT_EQ(CellText(store, record, 1), Body(record)) << record;
  }

  // The all-fields index holds each wildcard field's words under the field's tag, its own
  // index the same words untagged: both fed from one segmentation.
  std::vector<int32_t> ids;
  CIndexerControl all(&trie, false);
  CIndexerControl body(&trie, false);
  for (int record = 0; record < records; ++record) {
    std::string title = "北京" + std::to_string(record);
    std::string text = Body(record);
    all.AddText(title.c_str(), record, 1);
    all.AddText(text.c_str(), record, 2);
    body.AddText(text.c_str(), record, 255);
  }
  testing::internal::CaptureStdout();
  ASSERT_TRUE(store.Save(dir.Path("set").c_str()));
  ASSERT_TRUE(all.Save(dir.Path("all").c_str()));
  ASSERT_TRUE(body.Save(dir.Path("body").c_str()));
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(ReadBinaryFile(dir.Path("set.index_0")), ReadBinaryFile(dir.Path("all")));
  EXPECT_EQ(ReadBinaryFile(dir.Path("set.index_2")), ReadBinaryFile(dir.Path("body")));

  CDataLineIndex loaded(schema, &trie, true);
  ASSERT_TRUE(loaded.Load(dir.Path("set").c_str()));
  ASSERT_EQ(loaded.GetRecordCount(), records);
  for (int record = 0; record < records; record += 5) {
    ASSERT_EQ(CellText(loaded, record, 1), Body(record)) << record;
  }
}

}  // namespace
