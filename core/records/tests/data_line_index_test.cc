// Tests of the data-line store: what a row becomes (cells, filter values, index postings),
// the data-line file's bytes, atomic saves, and the refusal of damaged or foreign files.
#include "core/records/data_line_index.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <memory>
#include <string>
#include <vector>

#include "core/index/indexer.h"
#include "core/index/indexer_control.h"
#include "core/records/data_set_files.h"
#include "core/records/field_info.h"
#include "core/scan/record_preparation.h"
#include "core/text/pdat.h"
#include "core/util/byte_io.h"
#include "testing/file_image.h"
#include "testing/records/memory_rows.h"
#include "testing/records/store_fixture.h"

namespace {

const std::vector<std::string> kWords = {"中国", "人民", "北京", "大学"};

// Fields: 1 title (T indexed stored wildcard), 2 price (I filter stored), 3 body (T indexed),
// 4 day (D stored), 5 note (L stored). K = 3 (*, title, body), Fl = 1, S = 4.
const char kSchema[] =
    "header\n"
    "1 title Title T 1 0 1 1 t\n"
    "2 price Price I 0 1 1 0 p\n"
    "3 body Body T 1 0 0 0 b\n"
    "4 day Day D 0 0 1 0 d\n"
    "5 note Note L 0 0 1 0 n\n";

std::string CellText(const CDataLineIndex& store, int record, int column) {
  int length = -1;
  const char* text = store.GetCell(record, column, &length);
  return std::string(text, static_cast<size_t>(length));
}

std::vector<int> Matches(const CDataLineIndex& store, int index, const std::string& text) {
  CResultList result;
  store.GetIndexControl(index).Lookup(text.c_str(), &result);
  std::vector<int> records;
  for (const tINDEX_STRUCTURE& entry : result.entries) {
    if (entry.record != -1) records.push_back(entry.record);
  }
  return records;
}

class DataLineIndexTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(m_dir.path().empty());
    ASSERT_TRUE(BuildTestTrie(kWords, m_dir.Path("dict.txt"), &m_trie));
    UseSchema(kSchema);
  }

  void UseSchema(const std::string& text) {
    ASSERT_TRUE(WriteTextFile(m_dir.Path("schema.txt"), text));
    m_schema = std::make_unique<CFieldInfo>();
    testing::internal::CaptureStdout();
    ASSERT_TRUE(m_schema->ImportText(m_dir.Path("schema.txt").c_str()));
    testing::internal::GetCapturedStdout();
  }

  std::unique_ptr<CDataLineIndex> NewStore(bool readOnly) {
    return std::make_unique<CDataLineIndex>(*m_schema, &m_trie, readOnly);
  }

  static CMemoryRow Row(const CDbValue& title, const CDbValue& price, const CDbValue& body,
                        const CDbValue& day = NullValue()) {
    return CMemoryRow{{"title", title}, {"price", price}, {"body", body}, {"day", day}};
  }

  void Add(CDataLineIndex* store, const CMemoryRow& row) {
    std::string error;
    ASSERT_TRUE(AddRecord(store, row, &error)) << error;
  }

  // Saves quietly; returns the console output.
  std::string Save(CDataLineIndex* store, const std::string& base, bool* saved) {
    testing::internal::CaptureStdout();
    *saved = store->Save(base.c_str());
    return testing::internal::GetCapturedStdout();
  }

  CScratchDirectory m_dir;
  CPDAT m_trie;
  std::unique_ptr<CFieldInfo> m_schema;
};

TEST_F(DataLineIndexTest, StoredTextIsTrimmedAndCleanedButNotNormalised) {
  auto store = NewStore(false);
  Add(store.get(), Row(TextValue("  Abc \r\n"), IntValue(7), TextValue("x")));
  Add(store.get(), Row(TextValue("<p>中国</p>"), IntValue(1), TextValue("")));
  Add(store.get(), Row(TextValue("ＡＢ，C"), IntValue(1), TextValue("")));
  EXPECT_EQ(CellText(*store, 0, 0), "Abc");
  EXPECT_EQ(CellText(*store, 1, 0), " 中国 ");
  EXPECT_EQ(CellText(*store, 2, 0), "ＡＢ，C");  // normalisation reaches only the index
  EXPECT_EQ(CellText(*store, 0, 1), "7");
}

TEST_F(DataLineIndexTest, ValuesBecomeTextByFieldType) {
  struct Case {
    CDbValue price;
    CDbValue day;
    const char* storedPrice;
    int32_t filter;
    const char* storedDay;
  } const cases[] = {
      {NullValue(), NullValue(), "0", 0, "0"},
      {IntValue(-42), DateTimeValue("2024-02-29 13:05:09"), "-42", -42, "2024-02-29 13:05:09"},
      {DoubleValue(3.9), TextValue("2024-01-01"), "3", 3, "0"},
      {DoubleValue(-3.9), IntValue(5), "-3", -3, "0"},
      {TextValue("12ab"), DoubleValue(1.5), "12ab", 12, "0"},
      {TextValue(" -0017x"), NullValue(), "-0017x", -17, "0"},
      {DoubleValue(1e12), NullValue(), "1000000000000", 2147483647, "0"},
  };
  auto store = NewStore(false);
  int record = 0;
  for (const Case& c : cases) {
    Add(store.get(), Row(TextValue("t"), c.price, TextValue("b"), c.day));
    EXPECT_EQ(CellText(*store, record, 1), c.storedPrice) << record;
    EXPECT_EQ(store->GetFilterValue(record, 0), c.filter) << record;
    EXPECT_EQ(CellText(*store, record, 2), c.storedDay) << record;
    EXPECT_EQ(CellText(*store, record, 3), "") << record;  // type L reads nothing
    ++record;
  }
}

TEST_F(DataLineIndexTest, NullTextIsAnEmptyCell) {
  auto store = NewStore(false);
  Add(store.get(), Row(NullValue(), IntValue(1), NullValue()));
  int length = -1;
  store->GetCell(0, 0, &length);
  EXPECT_EQ(length, 0);
}

TEST_F(DataLineIndexTest, CellsPointIntoOnePool) {
  UseSchema("h\n1 a a T 0 0 1 0 x\n2 b b T 0 0 1 0 x\n");
  auto store = NewStore(false);
  Add(store.get(), CMemoryRow{{"a", TextValue("x")}, {"b", TextValue("yz")}});
  Add(store.get(), CMemoryRow{{"a", TextValue("")}, {"b", TextValue("w")}});
  bool saved = false;
  Save(store.get(), m_dir.Path("two"), &saved);
  ASSERT_TRUE(saved);
  std::string expected;
  PutI32(&expected, 2);
  for (int32_t value : {0, 0}) PutI32(&expected, value);                    // record bases
  for (int32_t value : {0, 1, 1, 2, 3, 0, 3, 1}) PutI32(&expected, value);  // cells
  PutI32(&expected, 4);
  expected += "xyzw";
  PutI32(&expected, 0);
  EXPECT_EQ(ReadBinaryFile(m_dir.Path("two.dataline")), expected);
}

TEST_F(DataLineIndexTest, SchemaWithoutStoredOrFilterFieldsWritesOnlyCounts) {
  UseSchema("h\n1 a a T 1 0 0 0 x\n");
  auto store = NewStore(false);
  for (int i = 0; i < 3; ++i) Add(store.get(), CMemoryRow{{"a", TextValue("中国")}});
  bool saved = false;
  Save(store.get(), m_dir.Path("bare"), &saved);
  ASSERT_TRUE(saved);
  std::string expected;
  for (int32_t value : {3, 0, 0, 0, 0, 0}) PutI32(&expected, value);
  EXPECT_EQ(ReadBinaryFile(m_dir.Path("bare.dataline")), expected);
}

TEST_F(DataLineIndexTest, IndexedFieldsReachTheirIndexAndWildcardsTheAllFieldsIndex) {
  auto store = NewStore(false);
  Add(store.get(), Row(TextValue("中国人民"), IntValue(1), TextValue("北京")));
  Add(store.get(), Row(TextValue("北京大学"), IntValue(2), TextValue("中国")));
  bool saved = false;
  Save(store.get(), m_dir.Path("set"), &saved);
  ASSERT_TRUE(saved);
  auto loaded = NewStore(true);
  ASSERT_TRUE(loaded->Load(m_dir.Path("set").c_str()));
  EXPECT_EQ(Matches(*loaded, 1, "中国"), std::vector<int>({0}));
  EXPECT_EQ(Matches(*loaded, 2, "中国"), std::vector<int>({1}));
  EXPECT_EQ(Matches(*loaded, 1, "中国人民"), std::vector<int>({0}));
  // Only title is a wildcard field: body's 北京 of record 0 stays out of index 0.
  EXPECT_EQ(Matches(*loaded, 0, "北京"), std::vector<int>({1}));
  EXPECT_EQ(Matches(*loaded, 0, "中国"), std::vector<int>({0}));
}

TEST_F(DataLineIndexTest, FilterResultsMarksOnlyRecordsOutsideTheValues) {
  auto store = NewStore(false);
  for (int value : {3, 4, 5, 3}) {
    Add(store.get(), Row(TextValue("t"), IntValue(value), TextValue("b")));
  }
  int price = m_schema->FindField("Price");
  tINDEX_STRUCTURE results[] = {{0, 0}, {1, 0}, {2, 0}, {-1, 0}};
  EXPECT_EQ(store->FilterResults(price, {"3", "5"}, results, 4), 1);
  EXPECT_EQ(results[0].record, 0);
  EXPECT_EQ(results[1].record, -1);
  EXPECT_EQ(results[2].record, 2);
  EXPECT_EQ(results[3].record, -1);

  tINDEX_STRUCTURE outside[] = {{3, 0}, {4, 0}, {-7, 0}};
  EXPECT_EQ(store->FilterResults(price, {"3"}, outside, 3), 2);  // 4 and -7 are no records
  EXPECT_EQ(outside[0].record, 3);

  std::vector<std::string> many;  // a long list takes the sorted path
  for (int value = 100; value >= 4; --value) many.push_back(std::to_string(value));
  tINDEX_STRUCTURE longList[] = {{0, 0}, {1, 0}, {2, 0}, {3, 0}};
  EXPECT_EQ(store->FilterResults(price, many, longList, 4), 2);
  EXPECT_EQ(longList[1].record, 1);
  EXPECT_EQ(longList[2].record, 2);

  int title = m_schema->FindField("Title");  // not a filter field: nothing happens
  tINDEX_STRUCTURE untouched[] = {{1, 0}};
  EXPECT_EQ(store->FilterResults(title, {"3"}, untouched, 1), 0);
  EXPECT_EQ(untouched[0].record, 1);
}

TEST_F(DataLineIndexTest, DatabaseErrorLeavesNoHalfRecord) {
  auto store = NewStore(false);
  Add(store.get(), Row(TextValue("中国"), IntValue(1), TextValue("x")));
  CMemoryRow missing{{"title", TextValue("北京")}, {"price", IntValue(2)}};  // no body
  CMemoryRow failing = Row(TextValue("北京"), IntValue(2), TextValue("b"));
  failing.SetFailure("day", "cannot convert the date");
  std::string error;
  EXPECT_FALSE(AddRecord(store.get(), missing, &error));
  EXPECT_NE(error.find("body"), std::string::npos);
  EXPECT_FALSE(AddRecord(store.get(), failing, &error));
  EXPECT_EQ(error, "cannot convert the date");
  Add(store.get(), Row(TextValue("大学"), IntValue(3), TextValue("y")));
  EXPECT_EQ(store->GetRecordCount(), 2);
  EXPECT_EQ(CellText(*store, 1, 0), "大学");
  EXPECT_EQ(store->GetFilterValue(1, 0), 3);
}

TEST_F(DataLineIndexTest, SaveWritesEveryFileAndItsLines) {
  ASSERT_EQ(mkdir(m_dir.Path("idx").c_str(), 0755), 0);
  auto store = NewStore(false);
  Add(store.get(), Row(TextValue("中国"), IntValue(1), TextValue("人民")));
  bool saved = false;
  std::string base = m_dir.Path("idx/all");
  std::string output = Save(store.get(), base, &saved);
  ASSERT_TRUE(saved);
  std::string expected = "Save " + base + ".dataline Success!\nBegin Save 3 Index!\n";
  for (int k = 0; k < 3; ++k) {
    std::string index = IndexPath(base, k);
    expected += "Save " + index + " Start!\nSave " + index + " Success!\n";
    EXPECT_TRUE(FileExists(index));
    EXPECT_FALSE(FileExists(index + ".tmp"));
  }
  EXPECT_EQ(output, expected);
  EXPECT_FALSE(FileExists(base + ".dataline.tmp"));
}

TEST_F(DataLineIndexTest, FailedSaveKeepsThePreviousDataSet) {
  auto first = NewStore(false);
  Add(first.get(), Row(TextValue("中国"), IntValue(1), TextValue("人民")));
  bool saved = false;
  std::string base = m_dir.Path("keep");
  Save(first.get(), base, &saved);
  ASSERT_TRUE(saved);
  std::string before = ReadBinaryFile(DataLinePath(base));
  std::string indexBefore = ReadBinaryFile(IndexPath(base, 2));

  // A directory where index 1's temporary must go makes that index fail to save.
  ASSERT_EQ(mkdir((IndexPath(base, 1) + ".tmp").c_str(), 0755), 0);
  auto second = NewStore(false);
  Add(second.get(), Row(TextValue("北京"), IntValue(2), TextValue("大学")));
  Add(second.get(), Row(TextValue("北京"), IntValue(3), TextValue("大学")));
  std::string output = Save(second.get(), base, &saved);
  EXPECT_FALSE(saved);
  EXPECT_NE(output.find("Error Write " + IndexPath(base, 1)), std::string::npos);
  EXPECT_EQ(ReadBinaryFile(DataLinePath(base)), before);
  EXPECT_EQ(ReadBinaryFile(IndexPath(base, 2)), indexBefore);
  EXPECT_FALSE(FileExists(base + ".dataline.tmp"));
  EXPECT_FALSE(FileExists(IndexPath(base, 0) + ".tmp"));

  output = Save(second.get(), m_dir.Path("nowhere/x"), &saved);
  EXPECT_FALSE(saved);
  EXPECT_EQ(output, "Error Write " + m_dir.Path("nowhere/x") + ".dataline\n" +
                        m_dir.Path("nowhere/x") + ".dataline: No such file or directory\n");
}

TEST_F(DataLineIndexTest, LoadGivesBackWhatWasSaved) {
  auto store = NewStore(false);
  Add(store.get(),
      Row(TextValue("中国"), IntValue(10), TextValue("a"), DateTimeValue("2020-01-02 03:04:05")));
  Add(store.get(), Row(NullValue(), IntValue(-5), TextValue("b")));
  Add(store.get(), Row(TextValue("人民"), NullValue(), TextValue("c")));
  bool saved = false;
  Save(store.get(), m_dir.Path("rt"), &saved);
  ASSERT_TRUE(saved);
  auto loaded = NewStore(true);
  ASSERT_TRUE(loaded->Load(m_dir.Path("rt").c_str()));
  ASSERT_EQ(loaded->GetRecordCount(), 3);
  for (int record = 0; record < 3; ++record) {
    for (int column = 0; column < 4; ++column) {
      EXPECT_EQ(CellText(*loaded, record, column), CellText(*store, record, column));
    }
    EXPECT_EQ(loaded->GetFilterValue(record, 0), store->GetFilterValue(record, 0));
  }
  EXPECT_EQ(CellText(*loaded, 3, 0), "");  // past the last record
  EXPECT_EQ(CellText(*loaded, 0, 4), "");  // past the last column
}

TEST_F(DataLineIndexTest, PathsLongerThan256BytesWork) {
  std::string directory = m_dir.path();
  for (int level = 0; level < 3; ++level) {
    directory += "/" + std::string(100, static_cast<char>('a' + level));
    ASSERT_EQ(mkdir(directory.c_str(), 0755), 0);
  }
  std::string base = directory + "/data_set_with_a_long_name";
  ASSERT_GT(base.size() + sizeof(".index_2"), 300u);
  auto store = NewStore(false);
  Add(store.get(), Row(TextValue("中国"), IntValue(1), TextValue("人民")));
  bool saved = false;
  Save(store.get(), base, &saved);
  ASSERT_TRUE(saved);
  auto loaded = NewStore(true);
  ASSERT_TRUE(loaded->Load(base.c_str()));
  EXPECT_EQ(Matches(*loaded, 2, "人民"), std::vector<int>({0}));
}

TEST_F(DataLineIndexTest, AnIndexFileThatCannotBeLoadedFailsTheLoad) {
  auto store = NewStore(false);
  Add(store.get(), Row(TextValue("中国"), IntValue(1), TextValue("中国")));
  bool saved = false;
  std::string base = m_dir.Path("gap");
  Save(store.get(), base, &saved);
  ASSERT_TRUE(saved);
  const std::string index = ReadBinaryFile(IndexPath(base, 1));
  ASSERT_EQ(std::remove((IndexPath(base, 1)).c_str()), 0);
  auto loaded = NewStore(true);
  EXPECT_FALSE(loaded->Load(base.c_str()));
  EXPECT_NE(ReadDailyLog().find("Fail to read " + IndexPath(base, 1) + "\n"), std::string::npos);
  // Damaged: one byte short of what its counts announce.
  ASSERT_TRUE(WriteTextFile(IndexPath(base, 1), index.substr(0, index.size() - 1)));
  EXPECT_FALSE(NewStore(true)->Load(base.c_str()));
  ASSERT_TRUE(WriteTextFile(IndexPath(base, 1), index));
  auto whole = NewStore(true);
  ASSERT_TRUE(whole->Load(base.c_str()));
  EXPECT_EQ(Matches(*whole, 2, "中国"), std::vector<int>({0}));
}

TEST_F(DataLineIndexTest, MissingReferenceFileIsLoggedOnce) {
  auto store = NewStore(true);
  EXPECT_NE(ReadDailyLog().find("] Fail to read Dat/Standard.dataline\n"), std::string::npos);
  ASSERT_EQ(mkdir("Dat", 0755), 0);
  ASSERT_TRUE(WriteTextFile("Dat/Standard.dataline", ""));
  std::string before = ReadDailyLog();
  auto another = NewStore(true);
  EXPECT_EQ(ReadDailyLog(), before);
}

// Offsets into the image of a data set of two records with S = 4 and Fl = 1.
class DamagedDataLineTest : public DataLineIndexTest {
 protected:
  void SetUp() override {
    DataLineIndexTest::SetUp();
    auto store = NewStore(false);
    Add(store.get(), Row(TextValue("abc"), IntValue(1), TextValue("中国")));
    Add(store.get(), Row(TextValue("xyz"), IntValue(2), TextValue("人民")));
    bool saved = false;
    Save(store.get(), m_dir.Path("good"), &saved);
    ASSERT_TRUE(saved);
    ASSERT_TRUE(m_image.Read(m_dir.Path("good.dataline")));
    m_loaded = NewStore(true);
    ASSERT_TRUE(m_loaded->Load(m_dir.Path("good").c_str()));
  }

  // Writes the damaged image as a data set of its own and tries to load it over m_loaded.
  bool LoadDamaged(const CFileImage& image) {
    EXPECT_TRUE(image.Write(m_dir.Path("bad.dataline")));
    return m_loaded->Load(m_dir.Path("bad").c_str());
  }

  static constexpr size_t kCells = 4 + 4 * 2;          // after R and the record bases
  static constexpr size_t kPool = kCells + 8 * 2 * 4;  // offset of P
  CFileImage m_image;
  std::unique_ptr<CDataLineIndex> m_loaded;
};

TEST_F(DamagedDataLineTest, DamagedFilesAreRefusedAndTheStoreKept) {
  // The pool holds "abc" "1" "0" "" per record (day is NULL, note reads nothing): P = 10.
  struct Damage {
    const char* what;
    size_t offset;  // where to put `value`, or SIZE_MAX to cut the file to `value` bytes
    int64_t value;
  } const damages[] = {
      {"empty file", SIZE_MAX, 0},
      {"cut inside R", SIZE_MAX, 3},
      {"cut inside the cells", SIZE_MAX, kCells + 10},
      {"cut inside the pool", SIZE_MAX, kPool + 4 + 5},
      {"cut inside the values", SIZE_MAX, kPool + 4 + 10 + 4 + 2},
      {"huge R", 0, 0x7FFFFFFF},
      {"negative R", 0, -1},
      {"R one too many", 0, 3},
      {"record base not r*Fl", 8, 0},
      {"cell offset past the pool", kCells + 8, 10},
      {"cell length past the pool", kCells + 4, 11},
      {"negative cell length", kCells + 4, -1},
      {"negative cell offset", kCells, -2},
      {"P larger than the file", kPool, 1000},
      {"negative P", kPool, -4},
      {"V not R*Fl", kPool + 4 + 10, 3},
  };
  for (const Damage& damage : damages) {
    CFileImage image = m_image;
    if (damage.offset == SIZE_MAX) {
      image.Truncate(static_cast<size_t>(damage.value));
    } else {
      image.PutI32At(damage.offset, static_cast<int32_t>(damage.value));
    }
    EXPECT_FALSE(LoadDamaged(image)) << damage.what;
    EXPECT_EQ(m_loaded->GetRecordCount(), 2) << damage.what;
    EXPECT_EQ(CellText(*m_loaded, 1, 0), "xyz") << damage.what;
  }
  CFileImage trailing = m_image;
  trailing.Append("x");
  EXPECT_FALSE(LoadDamaged(trailing));
  EXPECT_NE(ReadDailyLog().find("Fail to read " + m_dir.Path("bad.dataline") + "\n"),
            std::string::npos);
  EXPECT_FALSE(m_loaded->Load(m_dir.Path("absent").c_str()));
  EXPECT_NE(ReadDailyLog().find("Fail to read " + m_dir.Path("absent.dataline") + "\n"),
            std::string::npos);
}

TEST_F(DamagedDataLineTest, FileOfAnotherSchemaIsRefused) {
  UseSchema("h\n1 title Title T 1 0 1 1 t\n2 price Price I 0 1 1 0 p\n");  // S = 2
  auto other = NewStore(true);
  EXPECT_FALSE(other->Load(m_dir.Path("good").c_str()));
  UseSchema(
      "h\n1 title Title T 1 0 1 1 t\n2 price Price I 0 0 1 0 p\n3 a a T 0 0 1 0 a\n"
      "4 b b T 0 0 1 0 b\n");  // S = 4, Fl = 0
  auto third = NewStore(true);
  EXPECT_FALSE(third->Load(m_dir.Path("good").c_str()));
}

}  // namespace
